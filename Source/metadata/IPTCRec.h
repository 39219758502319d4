#pragma once

// One photo's metadata as the IIM codec sees it: the date and time created, one UTF-8 text per known
// field (list fields hold their items joined by the repeating-field separator), the values kept in
// dataset 2:221, the datasets the program does not know (carried through unchanged) and the template's
// apply and merge flags. The record is a plain value; IPTCNewRecord and IPTCDisposeRecord are for
// callers that keep it on the heap.

#include "metadata/IPTCFields.h"
#include "metadata/IPTCStructures.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// A dataset the program does not know, kept byte for byte.
struct IPTCUnknownDataSet {
    IPTCFieldID m_id = 0;
    std::vector<std::uint8_t> m_data;

    bool operator==(const IPTCUnknownDataSet&) const = default;
};

// Datasets beyond these many unknown ones are dropped when reading.
inline constexpr std::size_t kIPTCMaxUnknownDataSets = 20;

struct IPTCRec {
    // Date created; m_noDate when none is set.
    std::uint16_t m_dateYear = 0, m_dateMonth = 0, m_dateDay = 0;
    bool m_noDate = true;
    // Time created; m_noTime when none is set. The zone hours carry the sign of the offset.
    std::uint16_t m_timeHour = 0, m_timeMinute = 0, m_timeSecond = 0;
    bool m_noTime = true;
    bool m_hasZone = false;
    std::int16_t m_zoneHours = 0;
    std::uint16_t m_zoneMinutes = 0;

    // One text per field index (Supplemental Categories at their three slots; the aliases 0x8002 and
    // 0x8003 stored at 2:12 and 2:04). The entries of the date, the time, 2:199 and the unassigned ids
    // stay empty.
    std::array<std::string, kIPTCFieldIndexCount> m_fields;

    // Kept in dataset 2:221: colour class and rating as decimal texts, tagged as "1" or "0".
    std::string m_colorClass, m_rating, m_tagged;
    std::uint32_t m_imageNumber = 0;

    // Set when the block read said its text is UTF-8 (the 1:90 escape); such a record is written back
    // as UTF-8.
    bool m_isUTF8 = false;

    std::vector<IPTCUnknownDataSet> m_unknown; // at most kIPTCMaxUnknownDataSets

    // -- XMP only. The text fields live in m_fields; these are the coded fields (0 unset, otherwise the
    // 1-based position of the term in the field's vocabulary) and the structures.
    unsigned m_modelAgeDisclosure = 0, m_modelReleaseStatus = 0, m_propertyReleaseStatus = 0;
    unsigned m_digitalSourceType = 0, m_composition = 0, m_imageRank = 0;
    unsigned m_callForImage = 0, m_exclusiveCoverage = 0; // 1 "No", 2 "Yes"
    std::vector<IPTCLocation> m_locationCreated;          // at most one is written
    std::vector<IPTCLocation> m_locationShown;
    std::vector<PLUSNameIDPair> m_imageCreators, m_copyrightOwners;
    std::vector<PLUSLicensor> m_licensors;
    std::vector<IPTCArtworkOrObject> m_artworkOrObjects;
    std::vector<IPTCProduct> m_productsShown;
    std::vector<IPTCImageRegistry> m_registryEntries;
    IPTCMaxImageDimensions m_maxImageDimensions;
    // The program version that last wrote the packet the record was read from (lumograph:LumoVersion).
    std::string m_lumoVersion;

    // Indexed by field index (templates).
    std::array<std::uint8_t, kIPTCFieldIndexCount> m_applyFlags{};
    std::array<std::uint8_t, kIPTCFieldIndexCount> m_mergeFlags{};

    // -- template only: the colour class, rating and tag to apply and whether to apply each, how the
    // caption is merged, which reverse-geocoding targets are applied and how the date is applied.
    std::string m_colorClassEval, m_ratingEval, m_tagEval;
    bool m_colorClassApply = false, m_ratingApply = false, m_tagApply = false;
    int m_captionMergeStyle = 0;
    std::array<bool, 12> m_reverseGeocodingApply{};
    int m_applyDateType = 0;

    bool operator==(const IPTCRec&) const = default;
};

// Null when out of memory.
IPTCRec* IPTCNewRecord();
void IPTCDisposeRecord(IPTCRec* record);
// Empties every field, the coded fields and structures, the unknown datasets, the flags and the template
// members.
void IPTCClearRecord(IPTCRec* record);
void IPTCClearUnknownFields(IPTCRec* record);
// True when no field, coded field, non-empty structure, date, time, 2:221 value or unknown dataset is
// set (the flags and template members are not looked at).
bool IPTCIsBlankIPTC(const IPTCRec* record);
// Whether every text of the record's structures survives the IIM write encoding.
bool IPTCStructuresSurviveEncoding(const IPTCRec& record, const std::string& encoding);
