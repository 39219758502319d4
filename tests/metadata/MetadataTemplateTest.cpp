#include "metadata/MetadataTemplate.h"

#include "app/LumoPaths.h"
#include "db/PreferenceKeys.h"
#include "db/Preferences.h"
#include "metadata/IPTC_XMP_Utils.h"
#include "metadata/MRUStringList.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

std::size_t slot(IPTCFieldID id, int item = 1) {
    return static_cast<std::size_t>(IPTCFieldIndexOf(id, item));
}

// A template field: its value, applied, and merged when asked.
void set(IPTCRec& stationery, IPTCFieldID id, const std::string& value, bool merge = false) {
    stationery.m_fields[slot(id)] = value;
    stationery.m_applyFlags[slot(id)] = 1;
    stationery.m_mergeFlags[slot(id)] = merge ? 1 : 0;
}

IPTCRec photo() {
    IPTCRec record;
    record.m_fields[slot(IPTC_KEYWORDS)] = "a,b";
    record.m_fields[slot(IPTC_CAPTION)] = "X";
    record.m_fields[slot(IPTC_HEADLINE)] = "Old headline";
    record.m_fields[slot(IPTC_CITY)] = "Lyon";
    record.m_fields[slot(IPTC_SUPP_CATEGORIES, 1)] = "first slot";
    record.m_fields[slot(IPTC_SUPP_CATEGORIES, 2)] = "old slot";
    record.m_locationShown = {IPTCLocation{.m_city = "Rome"}};
    return record;
}

IPTCRec applied(const std::function<void(IPTCRec&)>& build, IPTCRec target = photo(),
                const StationeryDateInfo& date = {}) {
    IPTCRec stationery;
    build(stationery);
    std::string message;
    EXPECT_EQ(IPTCApplyStationery(stationery, target, date, "", &message), 0) << message;
    return target;
}

// The settings of one test, in a temporary folder.
class StationerySettings : public ::testing::Test {
protected:
    void SetUp() override {
        LumoPaths::initialise(
            ResolvedLocations{m_dir.file("settings"), lumo::test::testRunFolder() + "/cache"});
        ASSERT_TRUE(CPreferences::GetPreferences());
    }
    void TearDown() override {
        CPreferences::ClosePreferences();
        LumoPaths::reset();
    }
    lumo::test::TempDir m_dir;
};

// A template that uses most kinds of field, every flag meaningful.
IPTCRec fullTemplate() {
    IPTCRec t;
    set(t, IPTC_KEYWORDS, "b,c", true);
    set(t, IPTC_CAPTION, "Caption of {filename}");
    set(t, IPTC_HEADLINE, ""); // applied and empty
    set(t, IPTC_CITY, "Paris");
    set(t, XMP_PERSONS_SHOWN, "Ann,Bob", true);
    set(t, IPTC_COPYRIGHT, "(c) Someone");
    t.m_fields[slot(IPTC_SUPP_CATEGORIES, 2)] = "second"; // the first slot empty, the second kept in place
    t.m_applyFlags[slot(IPTC_SUPP_CATEGORIES, 2)] = 1;
    t.m_locationShown = {IPTCLocation{.m_city = "Oslo"}};
    t.m_applyFlags[slot(XMP_LOCATION_SHOWN)] = t.m_mergeFlags[slot(XMP_LOCATION_SHOWN)] = 1;
    t.m_dateYear = 2024, t.m_dateMonth = 5, t.m_dateDay = 17, t.m_noDate = false;
    t.m_applyFlags[slot(IPTC_DATE_CREATED)] = 1;
    t.m_colorClassEval = "4", t.m_colorClassApply = true;
    t.m_ratingEval = "3", t.m_ratingApply = true;
    t.m_captionMergeStyle = kCaptionMergeAppend;
    t.m_applyDateType = kStationeryDateCapture;
    t.m_reverseGeocodingApply[1] = true;
    return t;
}

} // namespace

TEST(MetadataTemplate, AppliesFieldsByTheirFlags) {
    struct Case {
        const char* what;
        std::function<void(IPTCRec&)> build;
        IPTCFieldID field;
        std::string expected;
    };
    const Case cases[] = {
        {"merged list", [](IPTCRec& t) { set(t, IPTC_KEYWORDS, "b, c", true); }, IPTC_KEYWORDS, "a,b,c"},
        {"replaced list", [](IPTCRec& t) { set(t, IPTC_KEYWORDS, "b,c"); }, IPTC_KEYWORDS, "b,c"},
        {"caption after",
         [](IPTCRec& t) { set(t, IPTC_CAPTION, "Y"), t.m_captionMergeStyle = kCaptionMergeAppend; },
         IPTC_CAPTION, "X Y"},
        {"caption before",
         [](IPTCRec& t) { set(t, IPTC_CAPTION, "Y"), t.m_captionMergeStyle = kCaptionMergeBefore; },
         IPTC_CAPTION, "Y X"},
        {"caption replacing with the old one",
         [](IPTCRec& t) {
             set(t, IPTC_CAPTION, "new: {caption}"), t.m_captionMergeStyle = kCaptionMergeReplace;
         },
         IPTC_CAPTION, "new: X"},
        {"flagged empty clears", [](IPTCRec& t) { set(t, IPTC_HEADLINE, ""); }, IPTC_HEADLINE, ""},
        {"not flagged stays", [](IPTCRec& t) { t.m_fields[slot(IPTC_CITY)] = "Paris"; }, IPTC_CITY, "Lyon"},
        {"replaced single", [](IPTCRec& t) { set(t, IPTC_CITY, "Paris", true); }, IPTC_CITY, "Paris"},
        {"variables of the photo's old record",
         [](IPTCRec& t) { set(t, IPTC_HEADLINE, "{city}!"), set(t, IPTC_CITY, "Paris"); }, IPTC_HEADLINE,
         "Lyon!"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(applied(c.build).m_fields[slot(c.field)], c.expected) << c.what;

    // A photo's own text is never read as variables when the template merges into it.
    IPTCRec braces = photo();
    braces.m_fields[slot(IPTC_KEYWORDS)] = "{city}";
    EXPECT_EQ(
        applied([](IPTCRec& t) { set(t, IPTC_KEYWORDS, "d", true); }, braces).m_fields[slot(IPTC_KEYWORDS)],
        "{city},d");

    // Supplemental category slots, structures merged and replaced, colour class, rating and tag.
    const IPTCRec merged = applied([](IPTCRec& t) {
        t.m_fields[slot(IPTC_SUPP_CATEGORIES, 2)] = "";
        t.m_applyFlags[slot(IPTC_SUPP_CATEGORIES, 2)] = 1;
        t.m_locationShown = {IPTCLocation{.m_city = "Rome"}, IPTCLocation{.m_city = "Oslo"}};
        t.m_applyFlags[slot(XMP_LOCATION_SHOWN)] = t.m_mergeFlags[slot(XMP_LOCATION_SHOWN)] = 1;
        t.m_imageCreators = {PLUSNameIDPair{.m_name = "Ann"}};
        t.m_applyFlags[slot(XMP_IMAGE_CREATORS)] = 1;
        t.m_colorClassEval = "2", t.m_colorClassApply = true;
        t.m_ratingEval = "5", t.m_tagEval = "1", t.m_tagApply = true;
    });
    EXPECT_EQ(merged.m_fields[slot(IPTC_SUPP_CATEGORIES, 2)], "");
    EXPECT_EQ(merged.m_locationShown,
              (std::vector<IPTCLocation>{IPTCLocation{.m_city = "Rome"}, IPTCLocation{.m_city = "Oslo"}}));
    EXPECT_EQ(merged.m_imageCreators, std::vector<PLUSNameIDPair>{PLUSNameIDPair{.m_name = "Ann"}});
    EXPECT_EQ(merged.m_colorClass, "2");
    EXPECT_EQ(merged.m_rating, "");
    EXPECT_EQ(merged.m_tagged, "1");
    const IPTCRec replaced = applied([](IPTCRec& t) {
        t.m_locationShown = {IPTCLocation{.m_city = "Oslo"}};
        t.m_applyFlags[slot(XMP_LOCATION_SHOWN)] = 1;
    });
    EXPECT_EQ(replaced.m_locationShown, std::vector<IPTCLocation>{IPTCLocation{.m_city = "Oslo"}});
}

TEST(MetadataTemplate, DateFollowsTheApplyType) {
    StationeryDateInfo date;
    date.capture = StationeryDateInfo::LocalDateTime{2021, 3, 4, 5, 6, 7};
    const auto withType = [](int type) {
        return [type](IPTCRec& t) {
            t.m_dateYear = 2024, t.m_dateMonth = 5, t.m_dateDay = 17, t.m_noDate = false;
            t.m_applyFlags[slot(IPTC_DATE_CREATED)] = 1;
            t.m_applyDateType = type;
        };
    };
    const IPTCRec own = applied(withType(kStationeryDateTemplate), photo(), date);
    EXPECT_EQ(std::tie(own.m_dateYear, own.m_dateMonth, own.m_dateDay), std::make_tuple(2024, 5, 17));
    const IPTCRec capture = applied(withType(kStationeryDateCapture), photo(), date);
    EXPECT_EQ(std::tie(capture.m_dateYear, capture.m_dateMonth, capture.m_dateDay),
              std::make_tuple(2021, 3, 4));
    EXPECT_TRUE(capture.m_noTime);                                   // the time is not flagged
    EXPECT_TRUE(applied(withType(kStationeryDateCapture)).m_noDate); // no capture date known: left alone
    const IPTCRec now = applied(withType(kStationeryDateCurrent));
    EXPECT_FALSE(now.m_noDate);
    EXPECT_GE(now.m_dateYear, 2024);
}

TEST(MetadataTemplate, FieldsHoldingTheirOwnVariableAreRefused) {
    struct Case {
        std::function<void(IPTCRec&)> build;
        std::string message; // empty: applied
    };
    const Case cases[] = {
        {[](IPTCRec& t) { set(t, IPTC_KEYWORDS, "x,{keywords}", true); },
         "The Keywords field contains its own variable and is set to append.  This will cause an "
         "error.\nEither "
         "remove the variable or uncheck the append (+) check box.\n"},
        {[](IPTCRec& t) { set(t, XMP_PERSONS_SHOWN, "{prsn:UC}", true); },
         "The Person Shown field contains its own variable and is set to append.  This will cause an "
         "error.\nEither remove the variable or uncheck the append (+) check box.\n"},
        {[](IPTCRec& t) {
             set(t, IPTC_CAPTION, "{caption} more"), t.m_captionMergeStyle = kCaptionMergeAppend;
         },
         "The Caption field contains its own variable and is not set to replace on apply.  This will cause "
         "an "
         "error.\nEither remove the variable or change the popup menu to 'Replace'.\n"},
        {[](IPTCRec& t) { set(t, IPTC_KEYWORDS, "{keywords},x"); }, ""},          // replacing
        {[](IPTCRec& t) { set(t, IPTC_KEYWORDS, "{{keywords}}", true); }, ""},    // braces, no variable
        {[](IPTCRec& t) { t.m_fields[slot(IPTC_KEYWORDS)] = "{keywords}"; }, ""}, // not applied
    };
    for (const Case& c : cases) {
        IPTCRec stationery;
        c.build(stationery);
        IPTCRec target = photo();
        std::string message;
        EXPECT_EQ(IPTCApplyStationery(stationery, target, {}, "", &message),
                  c.message.empty() ? 0 : kStationeryErrSelfVariable);
        EXPECT_EQ(message, c.message);
        if (!c.message.empty())
            EXPECT_EQ(target, photo()); // nothing applied
    }
}

TEST(MetadataTemplate, SequenceVariableIsFoundInAppliedFieldsOnly) {
    IPTCRec stationery;
    stationery.m_fields[slot(IPTC_HEADLINE)] = "Frame {seqn}";
    EXPECT_FALSE(IPTCHaveSequenceVar(stationery));
    stationery.m_applyFlags[slot(IPTC_HEADLINE)] = 1;
    EXPECT_TRUE(IPTCHaveSequenceVar(stationery));
    stationery.m_fields[slot(IPTC_HEADLINE)] = "Frame {city}";
    EXPECT_FALSE(IPTCHaveSequenceVar(stationery));
}

TEST_F(StationerySettings, TemplateKeepsEveryFieldAndFlagInSettingsAndFiles) {
    IPTCRec none;
    EXPECT_FALSE(IPTCLoadCurrentStationery(none));

    const IPTCRec t = fullTemplate();
    ASSERT_TRUE(IPTCSaveCurrentStationery(t));
    IPTCRec current;
    ASSERT_TRUE(IPTCLoadCurrentStationery(current));
    IPTCRec expected = t;
    expected.m_lumoVersion = current.m_lumoVersion;
    EXPECT_EQ(current, expected);

    // An XMP template file.
    const std::string xmpPath = m_dir.file(kStationeryFileName);
    ASSERT_EQ(IPTCSaveStationeryFile(t, xmpPath), 0);
    IPTCRec fromXMP;
    std::string message;
    ASSERT_EQ(IPTCLoadStationeryFile(xmpPath, fromXMP, &message), 0) << message;
    expected.m_lumoVersion = fromXMP.m_lumoVersion;
    // The file holds the supplemental categories as one list: each slot is applied.
    expected.m_applyFlags[slot(IPTC_SUPP_CATEGORIES, 1)] =
        expected.m_applyFlags[slot(IPTC_SUPP_CATEGORIES, 3)] = 1;
    EXPECT_EQ(fromXMP, expected);

    // A raw IIM block: every field it holds is applied (an empty one included), nothing else.
    std::unique_ptr<std::uint8_t[]> block;
    std::size_t size = 0;
    ASSERT_EQ(IPTCPackRecToBinary({}, &t, &block, &size, true), kIPTCNoErr);
    const std::string iimPath = m_dir.file("Template.IPT");
    lumo::test::writeWholeFile(iimPath, std::string(reinterpret_cast<const char*>(block.get()), size));
    IPTCRec fromIIM;
    ASSERT_EQ(IPTCLoadStationeryFile(iimPath, fromIIM, &message), 0) << message;
    for (const IPTCFieldID id : {IPTC_KEYWORDS, IPTC_CAPTION, IPTC_HEADLINE, IPTC_CITY, IPTC_COPYRIGHT}) {
        EXPECT_EQ(fromIIM.m_fields[slot(id)], t.m_fields[slot(id)]) << id;
        EXPECT_TRUE(fromIIM.m_applyFlags[slot(id)]) << id;
    }
    EXPECT_EQ(fromIIM.m_fields[slot(IPTC_SUPP_CATEGORIES, 1)], "");
    EXPECT_EQ(fromIIM.m_fields[slot(IPTC_SUPP_CATEGORIES, 2)], "second");
    EXPECT_FALSE(fromIIM.m_applyFlags[slot(IPTC_SOURCE)]);

    // Unreadable files are refused with a message and leave the template alone.
    lumo::test::writeWholeFile(iimPath, std::string("\x1c\x02\x19\xff\xff", 5));
    IPTCRec kept = t;
    EXPECT_NE(IPTCLoadStationeryFile(iimPath, kept, &message), 0);
    EXPECT_NE(IPTCLoadStationeryFile(m_dir.file("missing.XMP"), kept, &message), 0);
    EXPECT_EQ(kept, t);
}

TEST_F(StationerySettings, SnapshotsAreNamedKeptAndPastedAsReplacingTemplates) {
    EXPECT_EQ(IPTCNextSnapshotName(), "IPTC Snapshot 1");
    IPTCRec source = photo();
    source.m_fields[slot(IPTC_HEADLINE)] = "Snap";
    source.m_rating = "4";
    ASSERT_TRUE(IPTCTakeSnapshot(source, IPTCNextSnapshotName()));
    ASSERT_TRUE(IPTCTakeSnapshot(IPTCRec{}, "Empty"));
    EXPECT_EQ(IPTCNextSnapshotName(), "IPTC Snapshot 2");
    EXPECT_EQ(IPTCSnapshotNames(), (std::vector<std::string>{"IPTC Snapshot 1", "Empty"}));

    IPTCRec snapshot;
    EXPECT_FALSE(IPTCLoadSnapshot("none", snapshot));
    ASSERT_TRUE(IPTCLoadSnapshot("IPTC Snapshot 1", snapshot));
    IPTCRec target;
    target.m_fields[slot(IPTC_SOURCE)] = "cleared by the paste";
    target.m_fields[slot(IPTC_CAPTION)] = "replaced";
    ASSERT_EQ(IPTCApplyStationery(snapshot, target, {}, ""), 0);
    EXPECT_EQ(target.m_fields, source.m_fields);
    EXPECT_EQ(target.m_locationShown, source.m_locationShown);
    EXPECT_EQ(target.m_rating, "4");
}

TEST_F(StationerySettings, FieldsKeepTheirLastValuesNewestFirst) {
    MRUStringList list(2);
    for (const char* value : {"a", " ", "b", "a ", "c"})
        list.add(value);
    EXPECT_EQ(list.items(), (std::vector<std::string>{"c", "a"}));

    EXPECT_EQ(CIPTCStationeryLists::KeyFor(IPTC_CAPTION, true), "CAT_CAPTIONS_MIL");
    EXPECT_FALSE(CIPTCStationeryLists::Remember(IPTC_HEADLINE, "no list"));
    ASSERT_TRUE(CIPTCStationeryLists::Remember(IPTC_CITY, "Porto"));
    ASSERT_TRUE(CIPTCStationeryLists::Remember(IPTC_CITY, "Lyon"));
    ASSERT_TRUE(CIPTCStationeryLists::Remember(IPTC_CITY, "Porto"));
    EXPECT_EQ(CIPTCStationeryLists::Values(IPTC_CITY), (std::vector<std::string>{"Porto", "Lyon"}));
    EXPECT_TRUE(CIPTCStationeryLists::Values(IPTC_CITY, true).empty());
}

TEST(MetadataTemplate, ReverseGeocodingFillsTheFlaggedTargets) {
    const IPTCLocation place{.m_sublocation = "Ribeira", .m_city = "Porto", .m_countryCode = "PT"};
    const struct {
        std::vector<std::size_t> flags;
        std::string city, sublocation;
        std::size_t created, shown; // Location Created and Locations Shown entries after applying
    } cases[] = {
        {{kGeocodeCity, kGeocodeSublocation}, "Porto", "Ribeira", 0, 1},
        {{kGeocodeCity, kGeocodeNeverOverwrite}, "Lyon", "", 0, 1}, // the photo's city kept
        {{kGeocodeCreatedCity, kGeocodeCreatedCountryCode}, "Lyon", "", 1, 1},
        {{kGeocodeLocationShown}, "Lyon", "", 0, 2},
    };
    for (const auto& c : cases) {
        IPTCRec stationery;
        for (const std::size_t flag : c.flags)
            stationery.m_reverseGeocodingApply[flag] = true;
        IPTCRec target = photo();
        IPTCApplyReverseGeocoding(stationery, target, place);
        IPTCApplyReverseGeocoding(stationery, target, place); // a second time changes nothing
        EXPECT_EQ(target.m_fields[slot(IPTC_CITY)], c.city) << c.flags[0];
        EXPECT_EQ(target.m_fields[slot(IPTC_SUB_LOCATION)], c.sublocation) << c.flags[0];
        ASSERT_EQ(target.m_locationCreated.size(), c.created) << c.flags[0];
        if (c.created)
            EXPECT_EQ(target.m_locationCreated[0], (IPTCLocation{.m_city = "Porto", .m_countryCode = "PT"}));
        ASSERT_EQ(target.m_locationShown.size(), c.shown) << c.flags[0];
        if (c.shown == 2)
            EXPECT_EQ(target.m_locationShown[1], place);
    }
}
