#pragma once

// The values lately given to the template's text fields, newest first, for their pop-up menus. Each
// field with such a list keeps it in the settings under its own key; the "USA Military" layout keeps a
// second set, whose keys end in "_MIL".

#include "metadata/IPTCFields.h"

#include <cstddef>
#include <string>
#include <vector>

class MRUStringList {
public:
    static constexpr std::size_t kDefaultCapacity = 20;

    explicit MRUStringList(std::size_t capacity = kDefaultCapacity) : m_capacity(capacity ? capacity : 1) {}

    // Puts `value` first (once: an equal value further down goes); the oldest beyond the capacity goes.
    // Empty values (after trimming " \t\r\n") are not kept.
    void add(const std::string& value);
    const std::vector<std::string>& items() const { return m_items; }

    // From and to the settings; false without open preferences (load: or when nothing is kept).
    bool load(const std::string& key);
    bool save(const std::string& key) const;

private:
    std::size_t m_capacity;
    std::vector<std::string> m_items;
};

class CIPTCStationeryLists {
public:
    // The settings key of a field's list ("CAT_CAPTIONS", "CAT_KEYWORDS_MIL"); empty for a field that
    // keeps none.
    static std::string KeyFor(IPTCFieldID field, bool military = false);
    // Adds `value` to the field's list in the settings; false when the field keeps none or the
    // settings could not store it.
    static bool Remember(IPTCFieldID field, const std::string& value, bool military = false);
    static std::vector<std::string> Values(IPTCFieldID field, bool military = false);
};
