#pragma once

// What a contact sheet is sorted and filtered by, the sort record of one item, and the comparison that
// orders them. Every order is total: equal keys fall back to the file names in logical order and then
// to the index before sorting, and the direction reverses the whole order.

#include "NRF/NRFImageInfo.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

enum ContactSheetSortType : std::uint32_t {
    kSortCaptureTime = 0,      // "Capture Time"
    kSortModificationTime = 1, // "Modification Time"
    kSortFilename = 2,         // "Filename"
    kSortColorClass = 3,       // "Color Class"
    kSortRating = 4,           // "Rating"
    kSortArrangement = 5,      // "Arrangement"
    kSortCustomFirst = 6,      // "%u: %s"
};

struct ContactSheetCustomSort {
    std::string name;
    std::string primary;           // "PrimarySort": a text with {variables}
    std::string secondary;         // "SecondarySort", may be empty
    bool reverseSecondary = false; // "ReverseSecondaryCheckbox"
};

enum class ContactSheetTagFilter : std::uint8_t { All, Tagged, Untagged };

struct ContactSheetSortSettings {
    std::uint32_t sortType = kSortCaptureTime;
    bool reverse = false;
    ContactSheetTagFilter tagFilter = ContactSheetTagFilter::All;
    std::array<bool, 9> colorClassActive{true, true, true, true, true, true, true, true, true}; // 0..8
    std::array<bool, 6> ratingActive{true, true, true, true, true, true};                       // 0..5
    bool selectedOnly = false;
    ContactSheetCustomSort custom; // for sortType >= kSortCustomFirst
};

// One item's keys.
struct ContactSheetSortRecord {
    std::int32_t colorClass = 0;
    std::int32_t rating = 0;
    bool tag = false;
    KLDateTime captureTime; // compared field by field, year first: no capture time (year 0) orders first
    std::uint32_t captureSubSeconds = 0;
    std::string modificationTimeKey; // "%016lX" of the last-write time (nanoseconds since 1970)
    std::string fileName;
    std::string customPrimary;
    std::string customSecondary;
    std::uint32_t index = 0; // in the document before sorting
};

// Negative, zero or positive as a orders before b (zero only for the same record). Indexes outside
// the table compare by index ("ContactSheetCommonCompareCells() cell 1 (%d) or cell 2 (%d) is out of
// range (%d)").
int ContactSheetCommonCompareCells(const std::vector<ContactSheetSortRecord>& records, std::uint32_t a,
                                   std::uint32_t b, const ContactSheetSortSettings& settings);

// The platform's logical file-name order: runs of digits by numeric value, letters without case.
int LogicalCompare(const std::string& a, const std::string& b);

// The menu label of a sort type ("Capture Time"; custom: "%u: %s").
std::string ContactSheetSortTypeLabel(std::uint32_t type, const std::string& customName = {});

// The gaps of the Shell sort, largest first; a sort uses those smaller than its number of records.
inline constexpr std::array<std::uint32_t, 16> kContactSheetSortGaps{
    1391376, 463792, 198768, 86961, 33936, 13776, 4592, 1968, 861, 336, 112, 48, 21, 7, 3, 1};

// Sorts `order` (indexes into `records`) in place with the comparison above. After the pass of gap
// number k of the table (skipped gaps counted) the percentage k x 6.25 + 0.5 (truncated) is reported,
// each value once. False, with `order` partly sorted, when `shouldCancel` answered true.
bool ContactSheetShellSort(std::vector<std::uint32_t>& order,
                           const std::vector<ContactSheetSortRecord>& records,
                           const ContactSheetSortSettings& settings,
                           const std::function<void(unsigned)>& progress,
                           const std::function<bool()>& shouldCancel);

// A capture time as the sort cache keeps it: "YYYY:MM:DD HH:MM:SS", then ".ssss" (1/10000 s) when
// the sub-seconds are known; empty for no capture time. Parsing accepts any number of fraction digits
// and answers false (leaving the values cleared) for a text that is no date.
std::string ContactSheetCaptureTimeText(const KLDateTime& time, std::uint32_t subSeconds, bool hasSubSeconds);
bool ParseContactSheetCaptureTime(const std::string& text, KLDateTime& time, std::uint32_t& subSeconds);

// ---- the settings as the preferences keep them

// The custom sorts offered when none are stored ("Sort by {type}", "Sort by {serial}", ...).
const std::vector<ContactSheetCustomSort>& PredefinedCustomSorts();
// The stored custom sorts ("CustomSortSettings"), or the predefined ones when none are stored or the
// preferences are not open. Entries without a name or a primary key are left out.
std::vector<ContactSheetCustomSort> LoadCustomSorts();
// Stores the list (an empty list brings the predefined ones back); false when the preferences are not
// open or refused it.
bool SaveCustomSorts(const std::vector<ContactSheetCustomSort>& sorts);
// The custom sort of a sort type: kSortCustomFirst is the first of LoadCustomSorts(); nullopt for the
// built-in types and numbers past the list.
std::optional<ContactSheetCustomSort> CustomSortForType(std::uint32_t type);
// The sort type and direction the preferences hold ("ContactSheetSortExtended", "ContactSheetSortReverse"),
// with the custom sort filled in; a custom type that no longer exists falls back to capture time.
ContactSheetSortSettings ContactSheetSortSettingsFromPreferences();
