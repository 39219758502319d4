#pragma once

// One photo's metadata as the IIM codec sees it: the date and time created, one UTF-8 text per known
// field (list fields hold their items joined by the repeating-field separator), the values kept in
// dataset 2:221, the datasets the program does not know (carried through unchanged) and the template's
// apply and merge flags. The record is a plain value; IPTCNewRecord and IPTCDisposeRecord are for
// callers that keep it on the heap.

#include "metadata/IPTCFields.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// A dataset the program does not know, kept byte for byte.
struct IPTCUnknownDataSet {
    IPTCFieldID m_id = 0;
    std::vector<std::uint8_t> m_data;
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

    // Indexed by field index (templates).
    std::array<std::uint8_t, kIPTCFieldIndexCount> m_applyFlags{};
    std::array<std::uint8_t, kIPTCFieldIndexCount> m_mergeFlags{};
};

// Null when out of memory.
IPTCRec* IPTCNewRecord();
void IPTCDisposeRecord(IPTCRec* record);
// Empties every field, the unknown datasets and the flags.
void IPTCClearRecord(IPTCRec* record);
void IPTCClearUnknownFields(IPTCRec* record);
// True when no field, date, time, 2:221 value or unknown dataset is set (the flags are not looked at).
bool IPTCIsBlankIPTC(const IPTCRec* record);
