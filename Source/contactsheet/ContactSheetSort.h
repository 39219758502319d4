#pragma once

// What a contact sheet is sorted and filtered by, the sort record of one item, and the comparison that
// orders them. Every order is total: equal keys fall back to the file names in logical order and then
// to the index before sorting, and the direction reverses the whole order.

#include "NRF/NRFImageInfo.h"

#include <array>
#include <cstdint>
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
    KLDateTime captureTime;
    std::uint32_t captureSubSeconds = 0;
    std::string modificationTimeKey; // "%016lX" of the last-write time
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
