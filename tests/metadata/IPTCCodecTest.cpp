// The IIM codec: reading and packing blocks, character sets, the field accessors and list helpers.

#include "metadata/IPTCUtils.h"
#include "support/IIMBlockBuilder.h"
#include "support/TestSupport.h"
#include "support/TextUtils.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>

using lumo::test::IIMBlockBuilder;
using DataSet = IIMBlockBuilder::DataSet;

namespace {

std::string get(const IPTCRec& record, IPTCFieldID id, int item = 1) {
    std::string text;
    EXPECT_TRUE(IPTCGetDataSet(&record, id, item, true, text)) << id;
    return text;
}

IPTCStatus read(const IIMBlockBuilder& block, IPTCRec& record, const IPTCEncodingSettings& settings = {},
                bool templateMode = false) {
    return IPTCUnpackRecFromBinary(settings, block.data(), block.size(), templateMode, &record);
}

// The datasets of the packed record after the leading ones (1:90, record 1, 2:00).
std::vector<DataSet> pack(const IPTCRec& record, const IPTCEncodingSettings& settings = {},
                          bool templateMode = false, IPTCStatus expected = kIPTCNoErr) {
    std::unique_ptr<std::uint8_t[]> built;
    std::size_t size = 0;
    EXPECT_EQ(IPTCPackRecToBinary(settings, &record, &built, &size, templateMode), expected);
    return IIMBlockBuilder::parse(built.get(), size);
}

std::vector<DataSet> fieldsOf(const std::vector<DataSet>& sets) {
    std::vector<DataSet> fields;
    for (const DataSet& set : sets)
        if (set.record == 2 && set.dataset != 0)
            fields.push_back(set);
    return fields;
}

} // namespace

TEST(IPTCCodec, ReadingStopsAtTheEndOrAtBadData) {
    IPTCRec record;
    EXPECT_EQ(read(IIMBlockBuilder(), record), kIPTCNoErr);
    EXPECT_EQ(read(IIMBlockBuilder().raw("\x1D\x02\x05\x00\x01x"), record), kIPTCNoErr);
    EXPECT_EQ(read(IIMBlockBuilder().add(2, 5, "x").raw("\x1C\x02"), record), kIPTCNoErr); // 4 bytes left
    EXPECT_EQ(get(record, IPTC_OBJECT_NAME), "x");
    IPTCClearRecord(&record);
    EXPECT_TRUE(IPTCIsBlankIPTC(&record));

    // A dataset declaring 100 bytes with 40 left keeps what came before it.
    const IIMBlockBuilder past = IIMBlockBuilder().add(2, 5, "Title").add(2, 120, std::string(40, 'c'), 100);
    EXPECT_EQ(read(past, record), kIPTCErrBadData);
    EXPECT_EQ(get(record, IPTC_OBJECT_NAME), "Title");
    EXPECT_EQ(get(record, IPTC_CAPTION), "");

    EXPECT_EQ(IPTCUnpackRecFromBinary({}, past.data(), past.size(), false, nullptr), kIPTCErrBadParameters);
    EXPECT_EQ(IPTCPackRecToBinary({}, nullptr, nullptr, nullptr, false), kIPTCErrBadParameters);
}

TEST(IPTCCodec, ListsSupplementalCategoriesAndLineBreaks) {
    IPTCRec record;
    ASSERT_EQ(read(IIMBlockBuilder()
                       .add(2, 25, "a")
                       .add(2, 25, "b")
                       .add(2, 120, "one\ntwo")
                       .add(2, 20, " ")
                       .add(2, 20, "")
                       .add(2, 20, "y")
                       .add(2, 20, "z")
                       .add(2, 20, "fourth")
                       .add(2, 25, "c|d")
                       .add(2, 25, "e"),
                   record),
              kIPTCNoErr);
    // The stored hierarchical keyword takes its display form before the next one is appended.
    EXPECT_EQ(get(record, IPTC_KEYWORDS), "a,b,c | d,e");
    EXPECT_EQ(get(record, IPTC_CAPTION), "one\r\ntwo");
    // " " uses up its slot, an empty dataset is skipped, a fourth is ignored.
    EXPECT_EQ(get(record, IPTC_SUPP_CATEGORIES, 1), "");
    EXPECT_EQ(get(record, IPTC_SUPP_CATEGORIES, 2), "y");
    EXPECT_EQ(get(record, IPTC_SUPP_CATEGORIES, 3), "z");

    IPTCClearRecord(&record);
    IPTCSetDataSet(&record, IPTC_KEYWORDS, 1, "a, b,, c | d ");
    IPTCSetDataSet(&record, IPTC_SUPP_CATEGORIES, 3, "x");
    IPTCSetDataSet(&record, IPTC_CAPTION, 1, "one\ntwo\r\nthree");
    const std::vector<DataSet> sets = fieldsOf(pack(record));
    const std::vector<DataSet> expected = {{2, 20, " "},
                                           {2, 20, " "},
                                           {2, 20, "x"},
                                           {2, 25, "a"},
                                           {2, 25, "b"},
                                           {2, 25, "c|d"},
                                           {2, 120, "one\rtwo\rthree"}};
    EXPECT_EQ(sets, expected);

    IIMBlockBuilder block;
    for (const DataSet& set : sets)
        block.add(set.record, set.dataset, set.data);
    IPTCRec back;
    ASSERT_EQ(read(block, back), kIPTCNoErr);
    EXPECT_EQ(get(back, IPTC_SUPP_CATEGORIES, 1), "");
    EXPECT_EQ(get(back, IPTC_SUPP_CATEGORIES, 2), "");
    EXPECT_EQ(get(back, IPTC_SUPP_CATEGORIES, 3), "x");
    EXPECT_EQ(get(back, IPTC_CAPTION), "one\r\ntwo\r\nthree");

    IPTCEncodingSettings lf;
    lf.m_lineEndings = 1;
    EXPECT_EQ(fieldsOf(pack(back, lf)).back().data, "one\ntwo\nthree");

    EXPECT_EQ(FixLineEndings("a\r\nb\n\rc\rd\ne\n\nf", 0), "a\rb\rc\rd\re\r\rf");
    EXPECT_EQ(FixLineEndings("a\r\nb\rc", 2), "a\r\nb\r\nc");
    EXPECT_EQ(IPTCCountItems(" a ;;b;", ';'), 2u);
    EXPECT_EQ(IPTCFormatVectorAsString({"a", "b"}, ';'), "a; b");
    EXPECT_TRUE(IPTCItemExistsInVector(IPTCGetRepeatableItemsAsVector("a,\tb\r\n", ','), "b"));
}

TEST(IPTCCodec, CharacterSets) {
    // Latin-1 both ways.
    IPTCEncodingSettings latin1;
    latin1.m_readEncoding = latin1.m_writeEncoding = "ISO-8859-1";
    IPTCRec record;
    ASSERT_EQ(read(IIMBlockBuilder().add(2, 120, "Caf\xE9 \xE0 l'ombre"), record, latin1), kIPTCNoErr);
    EXPECT_EQ(get(record, IPTC_CAPTION), "Caf\xC3\xA9 \xC3\xA0 l'ombre");
    EXPECT_FALSE(record.m_isUTF8);
    EXPECT_EQ(fieldsOf(pack(record, latin1)).at(0).data, "Caf\xE9 \xE0 l'ombre");

    // A UTF-8 block stays UTF-8 under CP1252, and says so first.
    IPTCRec utf8;
    ASSERT_EQ(read(IIMBlockBuilder().add(1, 90, "\x1B%G").add(2, 5, "\xCE\xA9 \xE2\x82\xAC"), utf8),
              kIPTCNoErr);
    EXPECT_TRUE(utf8.m_isUTF8);
    EXPECT_EQ(get(utf8, IPTC_OBJECT_NAME), "\xCE\xA9 \xE2\x82\xAC");
    const std::vector<DataSet> sets = pack(utf8);
    ASSERT_GE(sets.size(), 3u);
    EXPECT_EQ(sets[0], (DataSet{1, 90, "\x1B%G"}));
    EXPECT_EQ(sets[1], (DataSet{2, 0, std::string("\x00\x03", 2)}));
    EXPECT_EQ(sets[2], (DataSet{2, 5, "\xCE\xA9 \xE2\x82\xAC"}));
    EXPECT_EQ(sets.size(), 3u); // the 1:90 read is not carried a second time

    // CP1252 holds the euro sign but not omega: the whole pack fails.
    utf8.m_isUTF8 = false;
    IPTCSetDataSet(&utf8, IPTC_OBJECT_NAME, 1, "\xE2\x82\xAC 5");
    EXPECT_EQ(fieldsOf(pack(utf8)).at(0).data, "\x80 5");
    IPTCSetDataSet(&utf8, IPTC_OBJECT_NAME, 1, "\xCE\xA9");
    EXPECT_TRUE(pack(utf8, {}, false, kIPTCErrBadData).empty());

    // Bytes that are not valid UTF-8 under the UTF-8 escape are read in the read encoding; an encoding
    // that neither ICU nor iconv knows gives an empty value.
    IPTCRec mixed;
    ASSERT_EQ(read(IIMBlockBuilder().add(1, 90, "\x1B%G").add(2, 5, "caf\xE9"), mixed), kIPTCNoErr);
    EXPECT_EQ(get(mixed, IPTC_OBJECT_NAME), "caf\xC3\xA9");
    IPTCEncodingSettings bogus;
    bogus.m_readEncoding = "no-such-charset";
    IPTCClearRecord(&mixed);
    ASSERT_EQ(read(IIMBlockBuilder().add(2, 5, "abc"), mixed, bogus), kIPTCNoErr);
    EXPECT_EQ(get(mixed, IPTC_OBJECT_NAME), "");

    std::string text;
    EXPECT_TRUE(IPTCConvertToUTF8("\x8A", "MacRoman", text));
    EXPECT_EQ(text, "\xC3\xA4");
}

TEST(IPTCCodec, DateTimeAccessorsAndAliases) {
    IPTCRec record;
    EXPECT_TRUE(IPTCSetDataSet(&record, IPTC_DATE_CREATED, 1, "20240229"));
    EXPECT_TRUE(IPTCSetDataSet(&record, IPTC_DATE_CREATED, 1, "2024-3")); // unchanged
    EXPECT_EQ(get(record, IPTC_DATE_CREATED), "20240229");
    EXPECT_EQ(get(record, IPTC_TIME_CREATED), "");

    EXPECT_TRUE(IPTCSetDataSet(&record, IPTC_TIME_CREATED, 1, "101500-0530"));
    EXPECT_EQ(get(record, IPTC_TIME_CREATED), "101500-0530");
    EXPECT_TRUE(IPTCSetDataSet(&record, IPTC_TIME_CREATED, 1, "1015"));
    EXPECT_EQ(get(record, IPTC_TIME_CREATED), "101500-0530");

    // No zone stored: the computer's current offset.
    EXPECT_TRUE(IPTCSetDataSet(&record, IPTC_TIME_CREATED, 1, "101500+0000"));
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const long offset = local.tm_gmtoff / 60;
    char zone[16];
    std::snprintf(zone, sizeof zone, "%c%02ld%02ld", offset < 0 ? '-' : '+',
                  (offset < 0 ? -offset : offset) / 60, (offset < 0 ? -offset : offset) % 60);
    EXPECT_EQ(get(record, IPTC_TIME_CREATED), std::string("101500") + zone);
    const std::vector<DataSet> sets = fieldsOf(pack(record));
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(sets[0], (DataSet{2, 55, "20240229"}));
    EXPECT_EQ(sets[1], (DataSet{2, 60, std::string("101500") + zone}));

    // The aliases share storage whichever id writes.
    EXPECT_TRUE(IPTCSetDataSet(&record, XMP_IPTC_SUBJECT_CODE, 1, "01000000"));
    EXPECT_EQ(get(record, IPTC_SUBJECT_CODE), "01000000");
    EXPECT_TRUE(IPTCSetDataSet(&record, IPTC_INTELLECTUAL_GENRE, 1, "Feature"));
    EXPECT_EQ(get(record, XMP_INTELLECTUAL_GENRE), "Feature");

    std::string text;
    EXPECT_FALSE(IPTCGetDataSet(&record, XMP_INTELLECTUAL_GENRE, 1, false, text));
    EXPECT_FALSE(IPTCSetDataSet(&record, XMP_UNASSIGNED_27, 1, "x"));
    EXPECT_FALSE(IPTCSetDataSet(&record, IPTC_SUPP_CATEGORIES, 4, "x"));
    EXPECT_FALSE(IPTCGetDataSet(&record, 0x0216, 1, true, text));
}

TEST(IPTCCodec, WritingRules) {
    IPTCRec record;
    IPTCSetDataSet(&record, IPTC_URGENCY, 1, "12");              // not one character: not written
    IPTCSetDataSet(&record, IPTC_COUNTRY_CODE, 1, " DE\n");      // trimmed
    IPTCSetDataSet(&record, IPTC_CITY, 1, std::string(40, 'c')); // longer than the IIM 32: written whole
    IPTCSetDataSet(&record, XMP_LABEL, 1, "xmp only");
    record.m_tagged = "1";
    record.m_colorClass = "Red";
    record.m_rating = "4";
    record.m_imageNumber = 42;
    IPTCEncodingSettings settings;
    settings.m_colorClassNames[1] = "red";
    std::vector<DataSet> expected = {{2, 90, std::string(40, 'c')}, {2, 100, "DE"}, {2, 221, "1:2:4:000042"}};
    EXPECT_EQ(fieldsOf(pack(record, settings)), expected);

    // The colour class written as the urgency; a rating out of range drops 2:221.
    record.m_colorClass = "3";
    record.m_rating = "6";
    settings.m_colorClassAsUrgency = true;
    expected = {{2, 90, std::string(40, 'c')}, {2, 100, "DE"}, {2, 10, "3"}}; // field-index order
    EXPECT_EQ(fieldsOf(pack(record, settings)), expected);

    IPTCRec back;
    ASSERT_EQ(read(IIMBlockBuilder().add(2, 221, "1:5:3:000007").add(2, 221, "junk"), back), kIPTCNoErr);
    EXPECT_EQ(back.m_tagged, "1");
    EXPECT_EQ(back.m_colorClass, "5");
    EXPECT_EQ(back.m_rating, "3");
    EXPECT_EQ(back.m_imageNumber, 7u);

    // A value no dataset can hold fails the pack rather than writing a wrong length.
    IPTCSetDataSet(&record, IPTC_CAPTION, 1, std::string(70000, 'x'));
    EXPECT_TRUE(pack(record, settings, false, kIPTCErrBadData).empty());
}

TEST(IPTCCodec, UnknownDataSetsAndTemplates) {
    IIMBlockBuilder block;
    block.add(1, 0, std::string("\x00\x04", 2)).add(1, 20, "env").add(2, 0, std::string("\x00\x04", 2));
    block.add(0, 0, "SCCU-data").add(2, 199, "custom");
    for (int i = 0; i < 20; ++i)
        block.add(3, i, "u" + std::to_string(i));
    IPTCRec record;
    ASSERT_EQ(read(block, record), kIPTCNoErr);
    ASSERT_EQ(record.m_unknown.size(), kIPTCMaxUnknownDataSets);
    EXPECT_EQ(record.m_unknown[1].m_id, IPTC_SCCU_DATASET);
    const std::vector<DataSet> sets = pack(record);
    ASSERT_EQ(sets.size(), 21u); // 1:20, 2:00, SCCU as 2:243, 3:0 to 3:17; 3:18 and 3:19 lost
    EXPECT_EQ(sets[0], (DataSet{1, 20, "env"}));
    EXPECT_EQ(sets[2], (DataSet{2, 243, "SCCU-data"}));
    EXPECT_EQ(sets.back(), (DataSet{3, 17, "u17"}));
    IPTCClearUnknownFields(&record);
    EXPECT_TRUE(IPTCIsBlankIPTC(&record));

    // Template mode: empty datasets clear, every field read is applied, unknown ones are ignored.
    IPTCRec stationery;
    ASSERT_EQ(read(IIMBlockBuilder().add(2, 120, "").add(2, 25, "k").add(2, 20, "").add(3, 1, "u"),
                   stationery, {}, true),
              kIPTCNoErr);
    EXPECT_TRUE(stationery.m_unknown.empty());
    EXPECT_EQ(stationery.m_applyFlags[18], 1); // caption
    EXPECT_EQ(stationery.m_applyFlags[11], 1); // keywords
    EXPECT_EQ(stationery.m_applyFlags[8], 1);  // supp cat 1
    IPTCSetDataSet(&stationery, IPTC_SUPP_CATEGORIES, 3, "s3");
    stationery.m_applyFlags[10] = 1;
    const std::vector<DataSet> expected = {
        {2, 20, ""}, {2, 20, " "}, {2, 20, "s3"}, {2, 25, "k"}, {2, 120, ""}};
    EXPECT_EQ(fieldsOf(pack(stationery, {}, true)), expected);

    IPTCRec nothing;
    EXPECT_TRUE(pack(nothing, {}, true, kIPTCErrNothingToApply).empty());
}

namespace {

std::string fromBase64(std::string_view text) {
    static const std::string digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0, count = 0;
    for (char c : text) {
        const std::size_t value = digits.find(c);
        if (value == std::string::npos)
            continue;
        bits = (bits << 6) | static_cast<unsigned>(value);
        if ((count += 6) >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

} // namespace

// Every IIM block of the corpus (as exiftool finds it) reads with a result code, packs and reads back
// the same, and its common fields agree with exiftool's reading (values with NUL bytes aside, which
// exiftool cuts).
TEST(IPTCCodec, CorpusBlocksAgreeWithExiftool) {
    const std::vector<std::string> files =
        lumo::test::corpusFiles({".jpg", ".jpeg", ".tif", ".psd", ".exv", ".nef", ".cr2", ".dng", ".eps"});
    if (files.empty())
        LUMO_SKIP_OR_FAIL("no corpus");
    const char* names[] = {"ObjectName", "Caption-Abstract", "By-line", "City", "Headline", "Keywords"};
    const IPTCFieldID ids[] = {IPTC_OBJECT_NAME, IPTC_CAPTION,  IPTC_BYLINE,
                               IPTC_CITY,        IPTC_HEADLINE, IPTC_KEYWORDS};
    std::vector<std::string> args = {"-b", "-a", "-G1", "-IPTC:IPTC"};
    for (const char* name : names)
        args.push_back(std::string("-IPTC:") + name);
    args.insert(args.end(), files.begin(), files.end());
    const std::optional<nlohmann::json> json = lumo::test::exiftoolJson(args);
    if (!json)
        LUMO_SKIP_OR_FAIL("exiftool is not installed");
    int compared = 0;
    for (const nlohmann::json& file : *json) {
        if (!file.contains("IPTC:IPTC") || !file["IPTC:IPTC"].is_string())
            continue;
        SCOPED_TRACE(file["SourceFile"].get<std::string>());
        const std::string value = file["IPTC:IPTC"].get<std::string>();
        const std::string block = value.starts_with("base64:") ? fromBase64(value.substr(7)) : value;
        const auto* data = reinterpret_cast<const std::uint8_t*>(block.data());
        IPTCRec record;
        const IPTCStatus status = IPTCUnpackRecFromBinary({}, data, block.size(), false, &record);
        EXPECT_TRUE(status == kIPTCNoErr || status == kIPTCErrBadData) << status;

        std::unique_ptr<std::uint8_t[]> built;
        std::size_t size = 0;
        if (IPTCPackRecToBinary({}, &record, &built, &size, false) == kIPTCNoErr) {
            IPTCRec back;
            EXPECT_EQ(IPTCUnpackRecFromBinary({}, built.get(), size, false, &back), kIPTCNoErr);
            EXPECT_EQ(back.m_fields, record.m_fields);
        }
        if (status != kIPTCNoErr)
            continue;
        for (std::size_t i = 0; i < std::size(ids); ++i) {
            const auto found = file.find(std::string("IPTC:") + names[i]);
            std::string ours = get(record, ids[i]);
            if (found == file.end() || ours.find('\0') != std::string::npos)
                continue;
            const auto text = [](const nlohmann::json& v) {
                return v.is_string() ? v.get<std::string>() : v.dump();
            };
            std::string expected;
            if (found->is_array() && ids[i] == IPTC_KEYWORDS) {
                for (const auto& item : *found)
                    expected += (expected.empty() ? "" : ",") + text(item);
                IPTCCleanupItems(expected, ',');
                if (ours.find('|') != std::string::npos)
                    continue; // the display form of hierarchical keywords
            } else {
                // A repeated single field keeps its last dataset.
                expected = text(found->is_array() ? found->back() : *found);
                ours = FixLineEndings(lumo::trim(ours), 1);
                expected = FixLineEndings(lumo::trim(expected), 1);
            }
            EXPECT_EQ(ours, expected) << names[i];
            ++compared;
        }
    }
    EXPECT_GT(compared, 20);
}
