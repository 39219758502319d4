#include "metadata/IPTCRecFields.h"

#include "metadata/IPTCStructureMembers.h"
#include "support/TextUtils.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <type_traits>
#include <vector>

namespace {

using iptc_structs::Member;
using iptc_structs::MemberForm;

std::size_t slot(const IPTCCatalogueEntry& e) {
    return static_cast<std::size_t>(IPTCFieldIndexOf(IPTCStorageFieldID(e.fieldId), e.item ? e.item : 1));
}

// -- the text form of structures

std::string escaped(std::string_view value) {
    std::string out;
    for (const char c : value) {
        if (c == '\\' || c == ';' || c == '|' || c == '=')
            out += '\\';
        out += c;
    }
    return out;
}

// Splits at unescaped `separator`, keeping the escapes for the next level.
std::vector<std::string> splitUnescaped(std::string_view text, char separator) {
    std::vector<std::string> parts(1);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            parts.back() += text[i];
            parts.back() += text[++i];
        } else if (text[i] == separator) {
            parts.emplace_back();
        } else {
            parts.back() += text[i];
        }
    }
    return parts;
}

std::string unescaped(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size())
            ++i;
        out += text[i];
    }
    return out;
}

template <typename T>
std::string structuresText(const std::vector<T>& list, std::span<const Member<T>> members, char separator) {
    std::string out;
    for (const T& s : list) {
        if (s.isEmpty())
            continue;
        std::string one;
        for (const Member<T>& m : members) {
            std::string value;
            if (m.text)
                value = escaped(s.*(m.text));
            else
                for (const std::string& item : s.*(m.list)) {
                    if (!value.empty())
                        value += std::string(1, separator) + " ";
                    value += escaped(item);
                }
            if (value.empty())
                continue;
            if (!one.empty())
                one += "; ";
            one += std::string(m.name) + "=" + value;
        }
        if (!out.empty())
            out += " | ";
        out += one;
    }
    return out;
}

template <typename T>
bool parseStructures(std::string_view text, std::span<const Member<T>> members, char separator,
                     std::vector<T>& out, std::string& error) {
    out.clear();
    if (lumo::trim(text).empty())
        return true;
    for (const std::string& part : splitUnescaped(text, '|')) {
        T s;
        for (const std::string& assignment : splitUnescaped(part, ';')) {
            if (lumo::trim(assignment).empty())
                continue;
            const std::vector<std::string> nameValue = splitUnescaped(assignment, '=');
            if (nameValue.size() != 2) {
                error = "expected Member=value, not '" + std::string(lumo::trim(assignment)) + "'";
                return false;
            }
            const std::string name(lumo::trim(nameValue[0]));
            const std::string value(lumo::trim(nameValue[1]));
            const auto member = std::find_if(members.begin(), members.end(),
                                             [&](const Member<T>& m) { return lumo::iequals(name, m.name); });
            if (member == members.end()) {
                std::string known;
                for (const Member<T>& m : members)
                    known += (known.empty() ? "" : ", ") + std::string(m.name);
                error = "unknown member '" + name + "' (members: " + known + ")";
                return false;
            }
            if (member->text) {
                s.*(member->text) = unescaped(value);
            } else {
                for (const std::string& item : IPTCGetRepeatableItemsAsVector(value, separator))
                    (s.*(member->list)).push_back(unescaped(item));
            }
        }
        if constexpr (std::is_same_v<T, PLUSLicensor>) {
            s.m_telephoneType1 = PLUSTelephoneTypeURI(s.m_telephoneType1);
            s.m_telephoneType2 = PLUSTelephoneTypeURI(s.m_telephoneType2);
        }
        if (!s.isEmpty())
            out.push_back(std::move(s));
    }
    return true;
}

// Calls `f` with the description of the structure list behind a catalogue label; false when there is none.
template <typename F>
bool withStructList(const IPTCCatalogueEntry& e, F&& f) {
    bool found = false;
    iptc_structs::forEachStructList([&](const auto& kind) {
        if (!found && std::string_view(kind.label) == e.label) {
            found = true;
            f(kind);
        }
    });
    return found;
}

// -- dates

std::string dateText(const IPTCRec& r) {
    if (r.m_noDate)
        return {};
    std::string t = lumo::formatString("%04d-%02d-%02d", r.m_dateYear, r.m_dateMonth, r.m_dateDay);
    if (r.m_noTime)
        return t;
    t += lumo::formatString("T%02d:%02d:%02d", r.m_timeHour, r.m_timeMinute, r.m_timeSecond);
    if (r.m_hasZone)
        t += lumo::formatString("%c%02d:%02d", r.m_zoneHours < 0 ? '-' : '+', std::abs(r.m_zoneHours),
                                r.m_zoneMinutes);
    return t;
}

bool setDate(IPTCRec& r, std::string_view text, std::string& error) {
    text = lumo::trim(text);
    if (text.empty()) {
        r.m_noDate = r.m_noTime = true;
        r.m_dateYear = r.m_dateMonth = r.m_dateDay = 0;
        r.m_timeHour = r.m_timeMinute = r.m_timeSecond = 0;
        r.m_hasZone = false;
        r.m_zoneHours = 0;
        r.m_zoneMinutes = 0;
        return true;
    }
    const std::string t(text);
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, zh = 0, zm = 0;
    char sign = 0;
    int consumed = 0;
    const bool dateOk = std::sscanf(t.c_str(), "%4d-%2d-%2d%n", &year, &month, &day, &consumed) == 3 &&
                        consumed == 10 && month >= 1 && month <= 12 && day >= 1 && day <= 31 && year >= 0;
    bool timeOk = true, hasTime = false, hasZone = false;
    if (dateOk && t.size() > 10) {
        hasTime = true;
        int used = 0;
        timeOk = t[10] == 'T' &&
                 std::sscanf(t.c_str() + 11, "%2d:%2d:%2d%n", &hour, &minute, &second, &used) == 3 &&
                 used == 8 && hour < 24 && minute < 60 && second < 60 && hour >= 0 && minute >= 0 &&
                 second >= 0;
        const std::string zone = timeOk ? t.substr(19) : std::string();
        if (timeOk && !zone.empty()) {
            int zoneUsed = 0;
            hasZone = true;
            timeOk = std::sscanf(zone.c_str(), "%c%2d:%2d%n", &sign, &zh, &zm, &zoneUsed) == 3 &&
                     zoneUsed == 6 && (sign == '+' || sign == '-') && zh >= 0 && zh < 24 && zm >= 0 &&
                     zm < 60;
        }
    }
    if (!dateOk || !timeOk) {
        error = "not a date: '" + t + "' (YYYY-MM-DD[THH:MM:SS[+HH:MM]])";
        return false;
    }
    r.m_dateYear = static_cast<std::uint16_t>(year);
    r.m_dateMonth = static_cast<std::uint16_t>(month);
    r.m_dateDay = static_cast<std::uint16_t>(day);
    r.m_noDate = false;
    r.m_noTime = !hasTime;
    r.m_timeHour = static_cast<std::uint16_t>(hour);
    r.m_timeMinute = static_cast<std::uint16_t>(minute);
    r.m_timeSecond = static_cast<std::uint16_t>(second);
    r.m_hasZone = hasZone && (zh != 0 || zm != 0);
    r.m_zoneHours = static_cast<std::int16_t>(r.m_hasZone ? (sign == '-' ? -zh : zh) : 0);
    r.m_zoneMinutes = static_cast<std::uint16_t>(r.m_hasZone ? zm : 0);
    return true;
}

std::optional<long> wholeNumber(std::string_view text) {
    const std::string t(lumo::trim(text));
    if (t.empty() || t.size() > 12)
        return std::nullopt;
    char* end = nullptr;
    const long value = std::strtol(t.c_str(), &end, 10);
    if (*end != '\0')
        return std::nullopt;
    return value;
}

std::string joinedList(std::string_view existing, std::string_view added, bool append, char separator,
                       bool keywords) {
    std::vector<std::string> items;
    const auto normal = [&](std::string item) {
        if (!keywords || item.find('|') == std::string::npos)
            return item;
        std::string out;
        for (const std::string& part : IPTCGetRepeatableItemsAsVector(item, '|'))
            out += (out.empty() ? "" : " | ") + part;
        return out;
    };
    if (append)
        for (const std::string& item : IPTCGetRepeatableItemsAsVector(existing, separator))
            items.push_back(normal(item));
    for (const std::string& item : IPTCGetRepeatableItemsAsVector(added, separator)) {
        std::string n = normal(item);
        if (!n.empty() && std::find(items.begin(), items.end(), n) == items.end())
            items.push_back(std::move(n));
    }
    return IPTCGetRepeatableItemsAsString(items, separator);
}

template <typename T>
bool setStructures(IPTCRec& record, const iptc_structs::ListKind<T>& kind, std::string_view text, bool append,
                   const IPTCEncodingSettings& settings, std::string& error) {
    std::vector<T> parsed;
    if (!parseStructures<T>(text, kind.members, settings.m_separator, parsed, error))
        return false;
    std::vector<T> list = append ? record.*(kind.list) : std::vector<T>();
    for (T& s : parsed)
        if (std::find(list.begin(), list.end(), s) == list.end())
            list.push_back(std::move(s));
    if (kind.single && list.size() > 1) {
        error = std::string(kind.label) + " holds one structure";
        return false;
    }
    record.*(kind.list) = std::move(list);
    return true;
}

} // namespace

bool IPTCGetFieldText(const IPTCRec& record, const IPTCCatalogueEntry& e,
                      const IPTCEncodingSettings& settings, std::string& text) {
    text.clear();
    const std::string_view label(e.label);
    if (label == "Color Class") {
        text = record.m_colorClass;
        return true;
    }
    if (label == "Rating") {
        text = record.m_rating;
        return true;
    }
    if (e.fieldId == IPTC_DATE_CREATED) {
        text = dateText(record);
        return true;
    }
    if (e.fieldId == XMP_MAX_IMAGE_DIMENSIONS) {
        const IPTCMaxImageDimensions& d = record.m_maxImageDimensions;
        if (!d.isEmpty())
            text = std::to_string(d.m_width) + "x" + std::to_string(d.m_height);
        return true;
    }
    if (const std::optional<IPTCVocabulary> vocabulary = iptc_structs::vocabularyOf(e.fieldId)) {
        const unsigned code = *iptc_structs::codeOf(record, e.fieldId);
        text = code ? IPTCVocabularyLabel(*vocabulary, code) : std::string();
        return true;
    }
    if (withStructList(e, [&](const auto& kind) {
            text = structuresText(record.*(kind.list), kind.members, settings.m_separator);
        }))
        return true;
    if (e.fieldId == 0)
        return false;
    text = record.m_fields[slot(e)];
    return true;
}

bool IPTCSetFieldText(IPTCRec& record, const IPTCCatalogueEntry& e, const IPTCEncodingSettings& settings,
                      std::string_view text, bool append, std::string& error) {
    error.clear();
    const std::string_view label(e.label);
    const std::string_view trimmed = lumo::trim(text);
    if (label == "Color Class") {
        if (trimmed.empty()) {
            record.m_colorClass.clear();
            return true;
        }
        if (const std::optional<long> n = wholeNumber(trimmed); n && *n >= 0 && *n <= 8) {
            record.m_colorClass = std::to_string(*n);
            return true;
        }
        for (std::size_t i = 0; i < settings.m_colorClassNames.size(); ++i)
            if (!settings.m_colorClassNames[i].empty() &&
                lumo::iequals(trimmed, settings.m_colorClassNames[i])) {
                record.m_colorClass = std::to_string(i + 1);
                return true;
            }
        error = "a colour class is 0 to 8 or a class name, not '" + std::string(trimmed) + "'";
        return false;
    }
    if (label == "Rating") {
        if (trimmed.empty()) {
            record.m_rating.clear();
            return true;
        }
        if (const std::optional<long> n = wholeNumber(trimmed); n && *n >= -1 && *n <= 5) {
            record.m_rating = std::to_string(*n);
            return true;
        }
        error = "a rating is -1 to 5, not '" + std::string(trimmed) + "'";
        return false;
    }
    if (e.fieldId == IPTC_DATE_CREATED)
        return setDate(record, trimmed, error);
    if (e.fieldId == XMP_MAX_IMAGE_DIMENSIONS) {
        if (trimmed.empty()) {
            record.m_maxImageDimensions.clear();
            return true;
        }
        const std::size_t x = trimmed.find_first_of("xX");
        const std::optional<long> w =
            x == std::string_view::npos ? std::nullopt : wholeNumber(trimmed.substr(0, x));
        const std::optional<long> h =
            x == std::string_view::npos ? std::nullopt : wholeNumber(trimmed.substr(x + 1));
        if (!w || !h || *w < 0 || *h < 0 || *w > 0xFFFFFFFFL || *h > 0xFFFFFFFFL) {
            error = "dimensions are WIDTHxHEIGHT, not '" + std::string(trimmed) + "'";
            return false;
        }
        record.m_maxImageDimensions = {static_cast<std::uint32_t>(*w), static_cast<std::uint32_t>(*h)};
        return true;
    }
    if (const std::optional<IPTCVocabulary> vocabulary = iptc_structs::vocabularyOf(e.fieldId)) {
        unsigned* code = iptc_structs::codeOf(record, e.fieldId);
        if (trimmed.empty()) {
            *code = 0;
            return true;
        }
        const auto terms = IPTCVocabularyTerms(*vocabulary);
        for (std::size_t i = 0; i < terms.size(); ++i)
            if (lumo::iequals(trimmed, terms[i].label) || trimmed == terms[i].stored) {
                *code = static_cast<unsigned>(i + 1);
                return true;
            }
        if (const unsigned byStored = IPTCVocabularyCode(*vocabulary, trimmed)) {
            *code = byStored;
            return true;
        }
        if (const std::optional<long> n = wholeNumber(trimmed);
            n && *n >= 0 && *n <= static_cast<long>(terms.size())) {
            *code = static_cast<unsigned>(*n);
            return true;
        }
        std::string labels;
        for (const IPTCVocabularyTerm& term : terms)
            labels += (labels.empty() ? "" : ", ") + std::string(term.label);
        error = "'" + std::string(trimmed) + "' is none of: " + labels;
        return false;
    }
    bool ok = true;
    if (withStructList(
            e, [&](const auto& kind) { ok = setStructures(record, kind, text, append, settings, error); }))
        return ok;
    if (e.fieldId == 0) {
        error = "the field cannot be set";
        return false;
    }
    std::string& stored = record.m_fields[slot(e)];
    if (e.list == IPTCListKind::List)
        stored = joinedList(stored, text, append, settings.m_separator, e.fieldId == IPTC_KEYWORDS);
    else if (append && !stored.empty() && !trimmed.empty())
        stored += " " + std::string(text);
    else
        stored = std::string(text);
    return true;
}
