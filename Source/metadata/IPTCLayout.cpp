#include "metadata/IPTCLayout.h"

#include "app/LumoLog.h"
#include "metadata/IPTCCatalogue.h"
#include "support/QuietXMLErrors.h"
#include "support/TextUtils.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>

namespace {

constexpr int kGroupLabelCount = 20;
constexpr char kGroupLabelPrefix[] = "Group Label ";
constexpr int kMaxNumRows = 100;

constexpr const char* kDefaultGroups[] = {
    "Image Content",
    "Image Preferences",
    "Image Rights",
    "Event and Location",
    "Locations Taken and Shown",
    "Status",
    "Models, Properties, and Artwork",
    "Contact Info",
    "Licensing",
    "Media",
    "Getty Images",
};

// The group (1 to 11 of kDefaultGroups) of each catalogue field in the default layout.
const std::map<std::string_view, int>& defaultGroupOfField() {
    static const std::map<std::string_view, int> groups = [] {
        std::map<std::string_view, int> g;
        const auto put = [&](int group, std::initializer_list<std::string_view> labels) {
            for (std::string_view label : labels)
                g.emplace(label, group);
        };
        put(1, {"Description/Caption", "Alt Text", "Extended Description", "Description Writers", "Headline",
                "Keywords", "Title/Object Name", "Category", "Supp Cat 1", "Supp Cat 2", "Supp Cat 3",
                "IPTC Scene", "IPTC Subject Code", "Intellectual Genre", "Persons shown",
                "Featured Org. Name", "Featured Org. Code", "Products shown"});
        put(2, {"Color Class", "Rating", "Label"});
        put(3, {"Rights Usage Terms", "Creator/Photographer", "Creator's Identity", "Creator's Job Title",
                "Credit", "Source", "Copyright", "Copyright URL"});
        put(4,
            {"City", "Location", "State/Province", "Country", "ISO Country Code", "Time and Date", "Event"});
        put(5, {"Location Created", "Location Shown"});
        put(6, {"Job ID/Trans Ref", "Edit Status", "Special Instructions", "Urgency"});
        put(7,
            {"Additional Model Info", "Model Ages", "Model Age Disclosure", "Model Release IDs",
             "Model Release Status", "Property Release IDs", "Property Release Status", "Artwork or Object"});
        put(8, {"Contact Address", "Contact City", "Contact State", "Contact Zip", "Contact Country",
                "Contact Emails", "Contact Phones", "Contact Web URLs"});
        put(9, {"Image Creators", "Copyright Owners", "Licensors", "Image Supplier Name", "Image Supplier ID",
                "Supplier's Image ID", "Image Registry Entries"});
        put(10, {"Max. Image Dimensions", "Digital Source Type"});
        put(11, {"Personality", "Composition", "Routing Destinations", "Routing Exclusions", "Image Rank",
                 "Call for Image", "Exclusive Coverage"});
        return g;
    }();
    return groups;
}

int defaultNumRows(std::string_view label) {
    if (label == "Description/Caption")
        return 5;
    if (label == "Extended Description")
        return 4;
    if (label == "Alt Text" || label == "Keywords" || label == "Special Instructions" ||
        label == "Rights Usage Terms")
        return 2;
    return 0;
}

std::string groupLabel(int number) {
    return kGroupLabelPrefix + std::to_string(number);
}

CIPTCFieldInfo fieldEntry(std::string_view label, bool visible) {
    return {.m_Identifier = std::string(label),
            .m_FieldName = std::string(label),
            .m_NumRows = defaultNumRows(label),
            .m_Visible = visible};
}

CIPTCFieldInfo groupEntry(int number, std::string title) {
    const bool visible = !title.empty();
    return {.m_Identifier = groupLabel(number), .m_FieldName = std::move(title), .m_Visible = visible};
}

// The layouts of the older versions: the IIM fields in three groups, everything else hidden after them.
std::vector<CIPTCFieldInfo> classicLayout(bool withSceneAndSubject) {
    std::vector<CIPTCFieldInfo> entries;
    std::set<std::string_view> shown;
    const auto group = [&](int number, const char* title, std::initializer_list<std::string_view> labels) {
        entries.push_back(groupEntry(number, title));
        for (std::string_view label : labels) {
            entries.push_back(fieldEntry(label, true));
            shown.insert(label);
        }
    };
    if (withSceneAndSubject)
        group(1, "Caption",
              {"Title/Object Name", "Description/Caption", "Description Writers", "Headline",
               "Special Instructions", "Keywords", "Category", "Supp Cat 1", "Supp Cat 2", "Supp Cat 3",
               "IPTC Scene", "IPTC Subject Code", "Urgency", "Color Class", "Rating"});
    else
        group(1, "Caption",
              {"Title/Object Name", "Description/Caption", "Description Writers", "Headline",
               "Special Instructions", "Keywords", "Category", "Supp Cat 1", "Supp Cat 2", "Supp Cat 3",
               "Urgency", "Color Class", "Rating"});
    group(2, "Origin",
          {"Time and Date", "City", "Location", "State/Province", "Country", "ISO Country Code",
           "Job ID/Trans Ref"});
    group(3, "Credits",
          {"Creator/Photographer", "Creator's Job Title", "Credit", "Source", "Copyright", "Edit Status"});
    for (const IPTCCatalogueEntry& row : IPTCCatalogue())
        if (!shown.contains(row.label))
            entries.push_back(fieldEntry(row.label, false));
    for (int number = 4; number <= kGroupLabelCount; ++number)
        entries.push_back(groupEntry(number, ""));
    return entries;
}

std::vector<CIPTCFieldInfo> militaryLayout() {
    std::vector<CIPTCFieldInfo> entries = classicLayout(false);
    for (CIPTCFieldInfo& entry : entries) {
        if (entry.m_Identifier == "Title/Object Name")
            entry.m_FieldName = "VIRIN:";
        else if (entry.m_Identifier == "Supp Cat 1")
            entry.m_FieldName = "Classification:";
        else if (entry.m_Identifier == "Special Instructions")
            entry.m_FieldName = "Public Release Inst.:";
    }
    return entries;
}

struct DocDeleter {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
struct TextDeleter {
    void operator()(xmlChar* text) const { xmlFree(text); }
};

const char* rootName(IPTCLayoutKind kind) {
    return kind == IPTCLayoutKind::Editor ? "CustomizedIPTCInfoSettings" : "CustomizedIPTCStationerySettings";
}

const xmlChar* xml(const char* text) {
    return reinterpret_cast<const xmlChar*>(text);
}

std::optional<std::string> attribute(xmlNode* node, const char* name) {
    std::unique_ptr<xmlChar, TextDeleter> value(xmlGetProp(node, xml(name)));
    if (!value)
        return std::nullopt;
    return std::string(reinterpret_cast<const char*>(value.get()));
}

std::optional<long long> parseNumber(std::string_view text) {
    text = lumo::trim(text);
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return value;
}

std::optional<bool> parseBool(std::string_view text) {
    text = lumo::trim(text);
    if (lumo::iequals(text, "true") || text == "1")
        return true;
    if (lumo::iequals(text, "false") || text == "0")
        return false;
    return std::nullopt;
}

// The position n of an element named "Field_<n>".
std::optional<long long> fieldPosition(const xmlNode* node) {
    const char* name = reinterpret_cast<const char*>(node->name);
    if (node->type != XML_ELEMENT_NODE || std::strncmp(name, "Field_", 6) != 0)
        return std::nullopt;
    const std::optional<long long> position = parseNumber(name + 6);
    if (!position || *position < 0)
        return std::nullopt;
    return position;
}

CIPTCFieldInfo readEntry(xmlNode* node) {
    CIPTCFieldInfo entry;
    entry.m_Identifier = attribute(node, "Identifier").value_or("");
    entry.m_FieldName = attribute(node, "FieldName").value_or(entry.m_Identifier);
    if (const auto rows = attribute(node, "NumRows"))
        entry.m_NumRows =
            static_cast<int>(std::clamp<long long>(parseNumber(*rows).value_or(0), 0, kMaxNumRows));
    if (const auto column = attribute(node, "Column"))
        entry.m_Column = parseNumber(*column).value_or(0) == 1 ? 1 : 0;
    if (const auto enabled = attribute(node, "Enabled"))
        entry.m_Enabled = parseBool(*enabled).value_or(true);
    if (const auto visible = attribute(node, "Visible"))
        entry.m_Visible = parseBool(*visible).value_or(true);
    return entry;
}

} // namespace

bool CIPTCFieldInfo::IsGroupLabel(std::string_view identifier) {
    const std::string_view prefix = kGroupLabelPrefix;
    if (!identifier.starts_with(prefix) || identifier.size() > prefix.size() + 2)
        return false;
    const std::string_view digits = identifier.substr(prefix.size());
    if (digits.empty() || digits[0] == '0')
        return false;
    const std::optional<long long> number = parseNumber(digits);
    return number && *number >= 1 && *number <= kGroupLabelCount &&
           std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool CIPTCFieldInfo::ValidateFieldIdentifiers(std::vector<CIPTCFieldInfo>& entries) {
    const std::size_t before = entries.size();
    std::erase_if(entries, [](const CIPTCFieldInfo& entry) {
        if (entry.IsGroupLabel() || IPTCFindCatalogueEntry(entry.m_Identifier) != nullptr)
            return false;
        LUMO_LOG("CIPTCFieldInfo::ValidateFieldIdentifiers() invalid identifier %s",
                 entry.m_Identifier.c_str());
        return true;
    });
    return entries.size() == before;
}

std::vector<CIPTCFieldCluster> IPTCClusterLayout(const std::vector<CIPTCFieldInfo>& entries) {
    std::vector<CIPTCFieldCluster> clusters;
    for (const CIPTCFieldInfo& entry : entries) {
        if (entry.IsGroupLabel())
            clusters.push_back({.m_Group = entry});
        else {
            if (clusters.empty())
                clusters.push_back({.m_Group = {.m_Identifier = "", .m_FieldName = ""}});
            clusters.back().m_Fields.push_back(entry);
        }
    }
    return clusters;
}

std::string IPTCLayoutToXML(const std::vector<CIPTCFieldInfo>& entries, IPTCLayoutKind kind) {
    std::unique_ptr<xmlDoc, DocDeleter> doc(xmlNewDoc(xml("1.0")));
    xmlNode* root = xmlNewNode(nullptr, xml(rootName(kind)));
    xmlDocSetRootElement(doc.get(), root);
    xmlNewTextChild(root, nullptr, xml("NumFields"), xml(std::to_string(entries.size()).c_str()));
    xmlNewTextChild(root, nullptr, xml("Version"), xml("1.400000"));
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const CIPTCFieldInfo& entry = entries[i];
        xmlNode* node = xmlNewChild(root, nullptr, xml(("Field_" + std::to_string(i)).c_str()), nullptr);
        xmlNewProp(node, xml("Identifier"), xml(entry.m_Identifier.c_str()));
        xmlNewProp(node, xml("FieldName"), xml(entry.m_FieldName.c_str()));
        xmlNewProp(node, xml("NumRows"), xml(std::to_string(entry.m_NumRows).c_str()));
        xmlNewProp(node, xml("Column"), xml(std::to_string(entry.m_Column).c_str()));
        xmlNewProp(node, xml("Enabled"), xml(entry.m_Enabled ? "true" : "false"));
        xmlNewProp(node, xml("Visible"), xml(entry.m_Visible ? "true" : "false"));
    }
    xmlChar* text = nullptr;
    int length = 0;
    xmlDocDumpFormatMemoryEnc(doc.get(), &text, &length, "UTF-8", 1);
    std::unique_ptr<xmlChar, TextDeleter> owned(text);
    return text ? std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(length)) : "";
}

bool IPTCLayoutFromXML(std::string_view text, IPTCLayoutKind kind, std::vector<CIPTCFieldInfo>& entries) {
    entries.clear();
    try {
        if (text.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
            return false;
        lumo::QuietXMLErrors::ensureParserReady();
        const lumo::QuietXMLErrors quiet;
        const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
        std::unique_ptr<xmlDoc, DocDeleter> doc(
            xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, "UTF-8", options));
        xmlNode* root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
        if (!root || std::strcmp(reinterpret_cast<const char*>(root->name), rootName(kind)) != 0)
            return false;
        std::optional<long long> numFields;
        std::multimap<long long, CIPTCFieldInfo> byPosition;
        for (xmlNode* node = root->children; node; node = node->next) {
            if (node->type != XML_ELEMENT_NODE)
                continue;
            if (std::strcmp(reinterpret_cast<const char*>(node->name), "NumFields") == 0) {
                std::unique_ptr<xmlChar, TextDeleter> content(xmlNodeGetContent(node));
                if (content)
                    numFields = parseNumber(reinterpret_cast<const char*>(content.get()));
            } else if (const auto position = fieldPosition(node)) {
                byPosition.emplace(*position, readEntry(node));
            }
        }
        for (auto& [position, entry] : byPosition)
            if (!numFields || position < *numFields)
                entries.push_back(std::move(entry));
        IPTCReconcileLayout(entries);
        return true;
    } catch (const std::exception& e) {
        LUMO_LOG("IPTCLayoutFromXML() %s", e.what());
    }
    entries.clear();
    return false;
}

void IPTCReconcileLayout(std::vector<CIPTCFieldInfo>& entries) {
    CIPTCFieldInfo::ValidateFieldIdentifiers(entries);
    std::set<std::string> seen;
    std::erase_if(entries,
                  [&](const CIPTCFieldInfo& entry) { return !seen.insert(entry.m_Identifier).second; });
    for (const IPTCCatalogueEntry& row : IPTCCatalogue())
        if (!seen.contains(row.label))
            entries.push_back(fieldEntry(row.label, false));
    for (int number = 1; number <= kGroupLabelCount; ++number)
        if (!seen.contains(groupLabel(number)))
            entries.push_back(groupEntry(number, ""));
}

const std::vector<std::string>& IPTCBuiltInLayoutNames() {
    static const std::vector<std::string> names = {"Lumo 4.4 - 4.6", "Lumo Classic", "Lumo Classic+2",
                                                   "USA Military"};
    return names;
}

std::vector<CIPTCFieldInfo> IPTCBuiltInLayout(std::string_view name) {
    if (name == "Lumo 4.4 - 4.6")
        return IPTCDefaultLayout();
    if (name == "Lumo Classic")
        return classicLayout(false);
    if (name == "Lumo Classic+2")
        return classicLayout(true);
    if (name == "USA Military")
        return militaryLayout();
    return {};
}

std::vector<CIPTCFieldInfo> IPTCDefaultLayout() {
    std::vector<CIPTCFieldInfo> entries;
    const auto& groupOf = defaultGroupOfField();
    const int groups = static_cast<int>(std::size(kDefaultGroups));
    for (int group = 1; group <= groups; ++group) {
        entries.push_back(groupEntry(group, kDefaultGroups[group - 1]));
        for (const IPTCCatalogueEntry& row : IPTCCatalogue()) {
            const auto found = groupOf.find(row.label);
            if (found != groupOf.end() && found->second == group)
                entries.push_back(fieldEntry(row.label, true));
        }
    }
    for (int number = groups + 1; number <= kGroupLabelCount; ++number)
        entries.push_back(groupEntry(number, ""));
    return entries;
}
