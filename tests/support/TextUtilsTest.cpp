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

TEST(TextUtils, Utf8IsCheckedStrictlyAndMendedPieceByPiece) {
    const struct {
        std::string in, mended; // mended == in: well-formed
    } cases[] = {
        {"plain", "plain"},
        {"Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xB7", "Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xB7"},
        {"a\xFF"
         "b",
         "a\xEF\xBF\xBD"
         "b"},                                                    // a byte no sequence starts with
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                 // overlong '/'
        {"\xE0\x80\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}, // overlong, three bytes
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}, // a surrogate
        {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}, // above U+10FFFF
        {"\xE2\x82", "\xEF\xBF\xBD"}, // cut short: one replacement
        {"\xE2\x82"
         "x",
         "\xEF\xBF\xBD"
         "x"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(lumo::isValidUtf8(c.in), c.in == c.mended) << c.in;
        EXPECT_EQ(lumo::toValidUtf8(c.in), c.mended) << c.in;
        EXPECT_TRUE(lumo::isValidUtf8(lumo::toValidUtf8(c.in)));
    }
}

TEST(TextUtils, NearestWordIsASlipOfAFewLettersOrABeginning) {
    EXPECT_EQ(editDistance("kitten", "sitting"), 3u);
    EXPECT_EQ(editDistance("SortCacheDays", "sortcachedays"), 0u);
    EXPECT_EQ(editDistance("", "abc"), 3u);
    const std::vector<std::string> commands = {"paths", "prefs", "preview", "rotate", "crop"};
    const struct {
        const char* word;
        const char* nearest;
    } cases[] = {{"frob", "crop"}, {"rot", "rotate"}, {"prefz", "prefs"}, {"Paths", "paths"}, {"r", ""},
                 {"ingest", ""},   {"", ""}};
    for (const auto& c : cases)
        EXPECT_EQ(nearestWord(c.word, commands), c.nearest) << c.word;
}
