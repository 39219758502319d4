#include "metadata/MRUStringList.h"

#include "db/PreferenceKeys.h"
#include "db/Preferences.h"

#include <algorithm>

namespace {

std::string trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

struct FieldList {
    IPTCFieldID field;
    const char* key;
};
constexpr FieldList kFieldLists[] = {
    {IPTC_CAPTION, kPrefCatCaptions},     {IPTC_KEYWORDS, kPrefCatKeywords},    {IPTC_CITY, kPrefCatCities},
    {IPTC_COPYRIGHT, kPrefCatCopyrights}, {IPTC_BYLINE, kPrefCatPhotographers},
};

} // namespace

void MRUStringList::add(const std::string& value) {
    std::string item = trimmed(value);
    if (item.empty())
        return;
    std::erase(m_items, item);
    m_items.insert(m_items.begin(), std::move(item));
    if (m_items.size() > m_capacity)
        m_items.resize(m_capacity);
}

bool MRUStringList::load(const std::string& key) {
    const std::shared_ptr<CPreferences> preferences = CPreferences::instance();
    CILA::VObject list;
    if (!preferences || !preferences->getValue(key, list) || list.dataType() != CILA::VObject::DT_VECTOR)
        return false;
    m_items.clear();
    for (const CILA::VObject& entry : list.getvec()) {
        if (entry.dataType() != CILA::VObject::DT_HASH)
            continue;
        const auto value = entry.gethash().find("Value");
        if (value != entry.gethash().end() && value->second.dataType() == CILA::VObject::DT_STR &&
            m_items.size() < m_capacity && !trimmed(value->second.getstr()).empty())
            m_items.push_back(value->second.getstr());
    }
    return true;
}

bool MRUStringList::save(const std::string& key) const {
    const std::shared_ptr<CPreferences> preferences = CPreferences::instance();
    if (!preferences)
        return false;
    CILA::VObject list = CILA::VObject::makeVector();
    for (const std::string& item : m_items) {
        CILA::VObject entry = CILA::VObject::makeHash();
        entry.gethash()["Value"] = CILA::VObject(item);
        list.getvec().push_back(std::move(entry));
    }
    return preferences->setValue(key, list) && preferences->save();
}

std::string CIPTCStationeryLists::KeyFor(IPTCFieldID field, bool military) {
    for (const FieldList& list : kFieldLists)
        if (list.field == field)
            return military ? std::string(list.key) + "_MIL" : std::string(list.key);
    return {};
}

bool CIPTCStationeryLists::Remember(IPTCFieldID field, const std::string& value, bool military) {
    const std::string key = KeyFor(field, military);
    if (key.empty())
        return false;
    MRUStringList list;
    list.load(key);
    list.add(value);
    return list.save(key);
}

std::vector<std::string> CIPTCStationeryLists::Values(IPTCFieldID field, bool military) {
    MRUStringList list;
    const std::string key = KeyFor(field, military);
    if (!key.empty())
        list.load(key);
    return list.items();
}
