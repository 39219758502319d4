#include "db/PreferencesConversion.h"

#include "app/LumoLog.h"
#include "support/QuietXMLErrors.h"
#include "support/TextUtils.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

const char* text(const xmlChar* s) {
    return reinterpret_cast<const char*>(s);
}

std::string attribute(const xmlNode* node, const char* name) {
    for (const xmlAttr* a = node->properties; a; a = a->next) {
        if (a->name && std::strcmp(text(a->name), name) == 0 && a->children && a->children->content)
            return text(a->children->content);
    }
    return {};
}

std::string nameOf(const xmlNode* node) {
    std::string name = attribute(node, "name");
    if (name.empty())
        name = attribute(node, "key");
    return name.empty() ? text(node->name) : name;
}

bool hasElementChildren(const xmlNode* node) {
    for (const xmlNode* child = node->children; child; child = child->next)
        if (child->type == XML_ELEMENT_NODE)
            return true;
    return false;
}

// Only the element's own text and CDATA: no entity is ever expanded.
std::string ownText(const xmlNode* node) {
    std::string out;
    for (const xmlNode* child = node->children; child; child = child->next)
        if ((child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE) && child->content)
            out += text(child->content);
    return out;
}

std::optional<std::int64_t> readInteger(std::string_view t) {
    if (t.empty() || t.size() > 32)
        return std::nullopt;
    const std::string s(t);
    std::size_t i = (s[0] == '-' || s[0] == '+') ? 1 : 0;
    if (i == s.size())
        return std::nullopt;
    for (std::size_t j = i; j < s.size(); ++j)
        if (s[j] < '0' || s[j] > '9')
            return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(s.c_str(), &end, 10);
    if (errno == ERANGE || *end != '\0')
        return std::nullopt;
    return static_cast<std::int64_t>(value);
}

// A plain decimal number ("1.5", "-2e3"); not "nan", "inf" or hexadecimal.
std::optional<double> readDecimal(std::string_view t) {
    if (t.empty() || t.size() > 64 || t.find_first_not_of("+-.0123456789eE") != std::string_view::npos ||
        t.find_first_of("0123456789") == std::string_view::npos)
        return std::nullopt;
    const std::string s(t);
    char* end = nullptr;
    const double value = std::strtod(s.c_str(), &end);
    if (*end != '\0' || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<bool> readBool(std::string_view t, bool digitsToo) {
    if (lumo::iequals(t, "true") || (digitsToo && (lumo::iequals(t, "yes") || t == "1")))
        return true;
    if (lumo::iequals(t, "false") || (digitsToo && (lumo::iequals(t, "no") || t == "0")))
        return false;
    return std::nullopt;
}

std::optional<CILA::VObject> readValue(const xmlNode* node, const std::string& key) {
    const std::string raw = ownText(node);
    const std::string_view trimmed = lumo::trim(raw);
    const std::string type = attribute(node, "type");
    if (type.empty()) {
        if (const auto i = readInteger(trimmed))
            return CILA::VObject(*i);
        if (const auto d = readDecimal(trimmed))
            return CILA::VObject(*d);
        if (const auto b = readBool(trimmed, false))
            return CILA::VObject(*b);
        return CILA::VObject(raw);
    }
    std::optional<CILA::VObject> value;
    if (lumo::iequals(type, "int") || lumo::iequals(type, "integer")) {
        if (const auto i = readInteger(trimmed))
            value = CILA::VObject(*i);
    } else if (lumo::iequals(type, "bool") || lumo::iequals(type, "boolean")) {
        if (const auto b = readBool(trimmed, true))
            value = CILA::VObject(*b);
    } else if (lumo::iequals(type, "double") || lumo::iequals(type, "real") || lumo::iequals(type, "float")) {
        if (const auto d = readDecimal(trimmed))
            value = CILA::VObject(*d);
    } else if (lumo::iequals(type, "string")) {
        value = CILA::VObject(raw);
    }
    if (!value)
        LUMO_LOG("Preferences: the older preference %s (type \"%s\") cannot be read; it is left out",
                 key.c_str(), type.c_str());
    return value;
}

void readSection(const xmlNode* section, const std::string& prefix, int depth, PreferenceValues& out) {
    for (const xmlNode* node = section->children; node; node = node->next) {
        if (node->type != XML_ELEMENT_NODE)
            continue;
        const std::string key = prefix + nameOf(node);
        if (!hasElementChildren(node)) {
            if (auto value = readValue(node, key))
                out.emplace_back(key, std::move(*value));
        } else if (depth < kMaxSectionDepth) {
            readSection(node, key + "/", depth + 1, out);
        } else {
            LUMO_LOG("Preferences: the older section %s is nested too deep; it is left out", key.c_str());
        }
    }
}

} // namespace

std::optional<PreferenceValues> readOlderPreferences(const std::string& document) {
    const lumo::XMLDocumentPtr doc =
        lumo::parseOwnXMLDocument(document, kMaxOlderPreferencesSize, "LumoPreferencesRoot");
    if (!doc)
        return std::nullopt;
    const xmlNode* root = xmlDocGetRootElement(doc.get());
    PreferenceValues values;
    readSection(root, {}, 1, values);
    return values;
}
