#include "support/TextUtils.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

using namespace lumo;

// Trimming, splitting, case-blind comparison and the byte-order mark are exercised through
// DebugFlagSettings::parse.
TEST(TextUtils, BaseNameFormatStringAndGuids) {
    EXPECT_EQ(baseName("C:\\src\\Lumo4.cpp"), "Lumo4.cpp");
    EXPECT_EQ(baseName("mixed\\dir/file.h"), "file.h");
    EXPECT_EQ(baseName("folder/"), "");
    const std::string big(10000, 'q');
    EXPECT_EQ(formatString("<%s|%d>", big.c_str(), 7), "<" + big + "|7>");

    const std::regex shape("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$");
    const std::string a = newGuidString(), b = newGuidString();
    EXPECT_TRUE(std::regex_match(a, shape) && std::regex_match(b, shape)) << a << " " << b;
    EXPECT_NE(a, b);
}
