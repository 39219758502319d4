#include "contactsheet/ContactSheetSort.h"
#include "contactsheet/ContactSheetSortManager.h"
#include "support/TestLog.h"

#include "app/LumoLogger.h"
#include "app/LumoPaths.h"
#include "db/PreferenceKeys.h"
#include "db/Preferences.h"
#include "support/TestSupport.h"
#include "variables/VariableExpander.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using lumo::test::loggedSoFar;

namespace {

ContactSheetSortRecord rec(std::string name) {
    ContactSheetSortRecord r;
    r.fileName = std::move(name);
    return r;
}

ContactSheetSortSettings sortBy(std::uint32_t type, bool reverse = false) {
    ContactSheetSortSettings s;
    s.sortType = type;
    s.reverse = reverse;
    return s;
}

// The item indexes in the order a job over `records` gives.
std::vector<std::uint32_t> sorted(std::vector<ContactSheetSortRecord> records,
                                  const ContactSheetSortSettings& s,
                                  std::vector<unsigned>* percents = nullptr) {
    for (std::size_t i = 0; i < records.size(); ++i)
        records[i].index = static_cast<std::uint32_t>(i);
    ContactSheetSortWork work;
    work.settings = s;
    if (percents)
        work.status = [percents](const ContactSheetSortStatus& status) {
            if (status.phase == ContactSheetSortStatus::Sorting)
                percents->push_back(status.percent);
        };
    const auto result = SortContactSheetRecords(std::move(records), {}, work, {});
    return result ? result->order : std::vector<std::uint32_t>{99};
}

KLDateTime at(int year, int month, int day, int second) {
    return KLDateTime{static_cast<std::int16_t>(year),
                      static_cast<std::uint8_t>(month),
                      static_cast<std::uint8_t>(day),
                      12,
                      0,
                      static_cast<std::uint8_t>(second)};
}

} // namespace

TEST(ContactSheetSort, LogicalCompareOrdersNumbersByValueAndLettersWithoutCase) {
    const struct {
        const char *a, *b;
        int expected;
    } cases[] = {
        {"IMG_2.JPG", "IMG_10.JPG", -1},
        {"img_10.jpg", "IMG_9.JPG", 1},
        {"IMG_0002.JPG", "IMG_10.JPG", -1},                                  // leading zeros do not count
        {"a99999999999999999999999999", "a100000000000000000000000000", -1}, // longer than any integer
        {"abc.jpg", "ABD.JPG", -1},
        {"IMG_1", "IMG_1a", -1},
        {"same.jpg", "same.jpg", 0},
        {"\xC3\xA9t\xC3\xA9", "zoo", 1}, // bytes above 0x7F as bytes
    };
    for (const auto& c : cases) {
        EXPECT_EQ(LogicalCompare(c.a, c.b), c.expected) << c.a << " / " << c.b;
        EXPECT_EQ(LogicalCompare(c.b, c.a), -c.expected) << c.b << " / " << c.a;
    }
    // Equal by value and without case, yet distinct: never 0, and the same answer both ways round.
    for (const auto& [a, b] : {std::pair{"IMG_01", "IMG_1"}, std::pair{"img.jpg", "IMG.JPG"}}) {
        EXPECT_NE(LogicalCompare(a, b), 0) << a << " / " << b;
        EXPECT_EQ(LogicalCompare(a, b), -LogicalCompare(b, a)) << a << " / " << b;
    }
}

TEST(ContactSheetSort, EachSortTypeOrdersByItsKeyThenByName) {
    auto rated = [](const char* name, int rating) {
        auto r = rec(name);
        r.rating = rating;
        return r;
    };
    auto classed = [](const char* name, int colorClass) {
        auto r = rec(name);
        r.colorClass = colorClass;
        return r;
    };
    auto taken = [](const char* name, KLDateTime time, std::uint32_t sub) {
        auto r = rec(name);
        r.captureTime = time;
        r.captureSubSeconds = sub;
        return r;
    };
    auto modified = [](const char* name, const char* key) {
        auto r = rec(name);
        r.modificationTimeKey = key;
        return r;
    };
    const struct {
        const char* what;
        std::uint32_t type;
        bool reverse;
        std::vector<ContactSheetSortRecord> records;
        std::vector<std::uint32_t> expected;
    } cases[] = {
        {"rating, larger first",
         kSortRating,
         false,
         {rated("a", 0), rated("b", 5), rated("c", 3)},
         {1, 2, 0}},
        {"rating descending", kSortRating, true, {rated("a", 0), rated("b", 5), rated("c", 3)}, {0, 2, 1}},
        {"file name",
         kSortFilename,
         false,
         {rec("IMG_10.JPG"), rec("IMG_2.JPG"), rec("img_1.jpg")},
         {2, 1, 0}},
        {"colour class, smaller first, then name",
         kSortColorClass,
         false,
         {classed("b", 2), classed("a", 2), classed("c", 0)},
         {2, 1, 0}},
        {"capture time: none first, then seconds and sub-seconds",
         kSortCaptureTime,
         false,
         {taken("a", at(2024, 6, 1, 7), 5000), taken("b", KLDateTime{}, 0),
          taken("c", at(2024, 6, 1, 7), 100), taken("d", at(2023, 12, 31, 59), 0)},
         {1, 3, 2, 0}},
        {"modification time key, byte by byte",
         kSortModificationTime,
         false,
         {modified("a", "00000000FFFFFFFF"), modified("b", "0000000100000000"),
          modified("c", "000000000000000A")},
         {2, 0, 1}},
        {"arrangement keeps the order", kSortArrangement, true, {rated("z", 0), rated("a", 5)}, {0, 1}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(sorted(c.records, sortBy(c.type, c.reverse)), c.expected) << c.what;
}

TEST(ContactSheetSort, EqualKeysKeepTheirOrderAscendingAndReverseDescending) {
    std::vector<ContactSheetSortRecord> same(50, rec("IMG_1.JPG"));
    std::vector<std::uint32_t> ascending(50), descending(50);
    for (std::uint32_t i = 0; i < 50; ++i) {
        ascending[i] = i;
        descending[i] = 49 - i;
    }
    for (std::uint32_t type : {0u, 1u, 2u, 3u, 4u}) {
        EXPECT_EQ(sorted(same, sortBy(type)), ascending) << type;
        EXPECT_EQ(sorted(same, sortBy(type, true)), descending) << type;
    }
}

TEST(ContactSheetSort, CustomSortUsesPrimaryThenSecondaryKeys) {
    auto keyed = [](const char* name, const char* primary, const char* secondary) {
        auto r = rec(name);
        r.customPrimary = primary;
        r.customSecondary = secondary;
        return r;
    };
    const std::vector<ContactSheetSortRecord> records = {keyed("a", "JPEG", "100"), keyed("b", "CR2", "9"),
                                                         keyed("c", "JPEG", "20"), keyed("d", "CR2", "10")};
    ContactSheetSortSettings s = sortBy(kSortCustomFirst);
    s.custom = {"Sort by {type}", "{type}", "{filesize}", false};
    EXPECT_EQ(sorted(records, s), (std::vector<std::uint32_t>{1, 3, 2, 0}));
    s.custom.reverseSecondary = true; // the secondary key against the primary's direction
    EXPECT_EQ(sorted(records, s), (std::vector<std::uint32_t>{3, 1, 0, 2}));
    s.reverse = true; // the whole order reversed
    EXPECT_EQ(sorted(records, s), (std::vector<std::uint32_t>{2, 0, 1, 3}));
    // An empty primary with a secondary leaves the order alone; both empty: by name.
    s = sortBy(kSortCustomFirst);
    s.custom = {"x", "", "{filesize}", false};
    EXPECT_EQ(sorted(records, s), (std::vector<std::uint32_t>{0, 1, 2, 3}));
    s.custom.secondary.clear();
    EXPECT_EQ(sorted({rec("b"), rec("a")}, s), (std::vector<std::uint32_t>{1, 0}));
}

TEST(ContactSheetSort, OutOfRangeCellsCompareByIndexAndAreLogged) {
    const std::vector<ContactSheetSortRecord> records = {rec("b"), rec("a")};
    EXPECT_LT(ContactSheetCommonCompareCells(records, 1, 7, sortBy(kSortFilename)), 0);
    EXPECT_GT(ContactSheetCommonCompareCells(records, 1, 7, sortBy(kSortFilename, true)), 0);
    EXPECT_NE(
        loggedSoFar().find("ContactSheetCommonCompareCells() cell 1 (1) or cell 2 (7) is out of range (2)"),
        std::string::npos);
}

TEST(ContactSheetSort, ProgressFollowsTheGapTable) {
    const struct {
        std::size_t count;
        std::vector<unsigned> percents;
    } cases[] = {
        {1, {}},
        {2, {94}},
        {10, {81, 88, 94}},
        {2000, {44, 50, 56, 63, 69, 75, 81, 88, 94}},
    };
    for (const auto& c : cases) {
        std::vector<ContactSheetSortRecord> records;
        for (std::size_t i = 0; i < c.count; ++i)
            records.push_back(rec("IMG_" + std::to_string((i * 7919) % c.count)));
        std::vector<unsigned> percents;
        const auto order = sorted(records, sortBy(kSortFilename), &percents);
        EXPECT_EQ(percents, c.percents) << c.count;
        for (std::size_t i = 1; i < order.size(); ++i)
            ASSERT_LT(LogicalCompare(records[order[i - 1]].fileName, records[order[i]].fileName), 0)
                << c.count;
    }
    // A cancelled sort gives no result.
    ContactSheetSortWork work;
    work.settings = sortBy(kSortFilename);
    EXPECT_FALSE(SortContactSheetRecords(std::vector<ContactSheetSortRecord>(100, rec("x")), {}, work,
                                         [] { return true; }));
}

TEST(ContactSheetSort, FiltersDropWhatTheViewExcludes) {
    std::vector<ContactSheetSortRecord> records;
    for (int i = 0; i < 6; ++i) {
        auto r = rec("IMG_" + std::to_string(i));
        r.index = static_cast<std::uint32_t>(i);
        r.tag = i % 2 == 1;
        r.rating = i;
        r.colorClass = i % 3;
        records.push_back(r);
    }
    const std::vector<std::int32_t> numbers = {10, 11, 12, 13, 14, 15};
    auto kept = [&](const ContactSheetSortWork& work) {
        const auto result = SortContactSheetRecords(records, numbers, work, {});
        return result ? result->order : std::vector<std::uint32_t>{99};
    };
    ContactSheetSortWork work;
    work.settings.sortType = kSortFilename;
    work.settings.tagFilter = ContactSheetTagFilter::Tagged;
    EXPECT_EQ(kept(work), (std::vector<std::uint32_t>{1, 3, 5}));
    work.settings.tagFilter = ContactSheetTagFilter::Untagged;
    EXPECT_EQ(kept(work), (std::vector<std::uint32_t>{0, 2, 4}));
    work.settings.tagFilter = ContactSheetTagFilter::All;
    work.settings.colorClassActive[1] = false;
    work.settings.ratingActive[0] = false;
    EXPECT_EQ(kept(work), (std::vector<std::uint32_t>{2, 3, 5}));
    work.settings.selectedOnly = true;
    work.selection.select(13);
    work.selection.select(14); // colour class 1: still out
    EXPECT_EQ(kept(work), (std::vector<std::uint32_t>{3}));
    // The result carries every item's keys, filtered or not.
    EXPECT_EQ(SortContactSheetRecords(records, numbers, work, {})->records.size(), 6u);
}

TEST(ContactSheetSort, CaptureTimeTextRoundTripsAndLabelsNameTheTypes) {
    KLDateTime time;
    std::uint32_t sub = 0;
    const std::string text = ContactSheetCaptureTimeText(at(2024, 6, 1, 7), 1200, true);
    EXPECT_EQ(text, "2024:06:01 12:00:07.1200");
    ASSERT_TRUE(ParseContactSheetCaptureTime(text, time, sub));
    EXPECT_EQ(time, at(2024, 6, 1, 7));
    EXPECT_EQ(sub, 1200u);
    ASSERT_TRUE(ParseContactSheetCaptureTime("2024:06:01 12:00:07.12", time, sub));
    EXPECT_EQ(sub, 1200u);
    EXPECT_EQ(ContactSheetCaptureTimeText(KLDateTime{}, 0, false), "");
    EXPECT_FALSE(ParseContactSheetCaptureTime("", time, sub));
    EXPECT_FALSE(ParseContactSheetCaptureTime("2024:13:01 12:00:07", time, sub));
    EXPECT_FALSE(time.isValid());

    EXPECT_EQ(ContactSheetSortTypeLabel(kSortCaptureTime), "Capture Time");
    EXPECT_EQ(ContactSheetSortTypeLabel(kSortArrangement), "Arrangement");
    EXPECT_EQ(ContactSheetSortTypeLabel(7, "Sort by {serial}"), "7: Sort by {serial}");
}

TEST(ContactSheetSort, CustomSortsLiveInThePreferencesWithPredefinedOnesByDefault) {
    lumo::test::TempDir settings;
    LumoPaths::initialise(ResolvedLocations{settings.path(), lumo::test::testRunFolder() + "/cache"});
    ASSERT_TRUE(CPreferences::GetPreferences());

    const std::vector<ContactSheetCustomSort>& predefined = PredefinedCustomSorts();
    ASSERT_EQ(LoadCustomSorts().size(), predefined.size());
    EXPECT_EQ(CustomSortForType(kSortCustomFirst)->name, "Sort by {type}");
    for (const ContactSheetCustomSort& sort : predefined) // every key names a variable
        EXPECT_TRUE(ExpandVariables(sort.primary, VariableContext{}, kVariableSortable).expanded)
            << sort.name;

    ASSERT_TRUE(SaveCustomSorts({{"Size, newest first", "{filesize}", "{type}", true}}));
    auto preferences = CPreferences::instance();
    ASSERT_TRUE(preferences->setInt(kPrefContactSheetSortExtended, kSortCustomFirst));
    ASSERT_TRUE(preferences->setBool(kPrefContactSheetSortReverse, true));
    ContactSheetSortSettings s = ContactSheetSortSettingsFromPreferences();
    EXPECT_EQ(s.sortType, std::uint32_t{kSortCustomFirst});
    EXPECT_TRUE(s.reverse);
    EXPECT_EQ(s.custom.primary, "{filesize}");
    EXPECT_EQ(s.custom.secondary, "{type}");
    EXPECT_TRUE(s.custom.reverseSecondary);
    EXPECT_FALSE(CustomSortForType(kSortCustomFirst + 1)); // past the list
    ASSERT_TRUE(preferences->setInt(kPrefContactSheetSortExtended, kSortCustomFirst + 1));
    EXPECT_EQ(ContactSheetSortSettingsFromPreferences().sortType, std::uint32_t{kSortCaptureTime});
    // The key takes a list of objects only.
    const PreferenceKey* key = findPreferenceKey(kPrefCustomSortSettings);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(preferenceValueProblem(*key, CILA::VObject("x")),
              "takes a list of objects (as JSON: [{...}, ...])");
    preferences.reset();
    CPreferences::ClosePreferences();
    LumoPaths::reset();
}
