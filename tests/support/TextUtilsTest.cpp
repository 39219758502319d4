#include "support/TextUtils.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <string_view>
#include <vector>

using namespace lumo;
using Views = std::vector<std::string_view>;

TEST(TextUtils, TrimAndCaseBlindCompare) {
    EXPECT_EQ(trim(" \t\r\n\v\fvalue \t\r\n"), "value");
    EXPECT_EQ(trim("a b"), "a b");
    EXPECT_EQ(trim(" \t "), "");
    EXPECT_TRUE(iequals("Yes", "YES"));
    EXPECT_TRUE(iequals("", ""));
    EXPECT_FALSE(iequals("yes", "yes "));
    EXPECT_FALSE(iequals("on", "no"));
}

TEST(TextUtils, SplitLinesKnowsEveryLineEnd) {
    EXPECT_EQ(splitLines("a\r\nb\nc\rd"), (Views{"a", "b", "c", "d"}));
    EXPECT_EQ(splitLines("a\r\n"), (Views{"a"}));
    EXPECT_EQ(splitLines("a\r\n\r\nb"), (Views{"a", "", "b"}));
    EXPECT_EQ(splitLines("a\r\rb\n\n"), (Views{"a", "", "b", ""}));
    EXPECT_EQ(splitLines(""), Views{});
    EXPECT_EQ(splitLines("no end"), (Views{"no end"}));
}

TEST(TextUtils, SplitWhitespaceNeverYieldsEmptyTokens) {
    EXPECT_EQ(splitWhitespace("  NAME \t\t value  extra\r"), (Views{"NAME", "value", "extra"}));
    EXPECT_EQ(splitWhitespace(" \t "), Views{});
    EXPECT_EQ(splitWhitespace("one"), (Views{"one"}));
}

TEST(TextUtils, ByteOrderMarkAndBaseName) {
    EXPECT_EQ(stripByteOrderMark("\xEF\xBB\xBFtext"), "text");
    EXPECT_EQ(stripByteOrderMark("\xEF\xBBtext"), "\xEF\xBBtext");
    EXPECT_EQ(stripByteOrderMark("x\xEF\xBB\xBF"), "x\xEF\xBB\xBF");
    EXPECT_EQ(baseName("/src/Source/app/LumoApp.cpp"), "LumoApp.cpp");
    EXPECT_EQ(baseName("C:\\src\\Lumo4.cpp"), "Lumo4.cpp");
    EXPECT_EQ(baseName("mixed\\dir/file.h"), "file.h");
    EXPECT_EQ(baseName("plain.cpp"), "plain.cpp");
    EXPECT_EQ(baseName("folder/"), "");
}

TEST(TextUtils, FormatStringHandlesShortAndLongTexts) {
    EXPECT_EQ(formatString("%s:%d %s", "a.cpp", 12, "msg"), "a.cpp:12 msg");
    const std::string big(10000, 'q');
    EXPECT_EQ(formatString("<%s|%d>", big.c_str(), 7), "<" + big + "|7>");
    EXPECT_EQ(formatString("%s", ""), "");
}

TEST(TextUtils, GuidsAreRandomVersionFourInUpperCase) {
    const std::regex shape("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$");
    const std::string a = newGuidString(), b = newGuidString();
    EXPECT_TRUE(std::regex_match(a, shape)) << a;
    EXPECT_TRUE(std::regex_match(b, shape)) << b;
    EXPECT_NE(a, b);
}
