#include "metadata/IPTC_XMP_Utils.h"

#include "NRF/NRFImageInfo.h"
#include "app/LumoLog.h"
#include "metadata/IPTCCatalogue.h"
#include "metadata/IPTCStructureMembers.h"
#include "support/PathDigest.h"
#include "support/TextUtils.h"

#include <exempi/xmp.h>
#include <exempi/xmpconsts.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <iostream>
#include <mutex>
#include <optional>
#include <streambuf>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

const char* const kLumographXMPNamespaceURI = "http://ns.kestrellabs.com/lumograph/1.0/";

namespace {

// -- namespaces

constexpr char kNsTiff[] = "http://ns.adobe.com/tiff/1.0/";
constexpr char kNsCrs[] = "http://ns.adobe.com/camera-raw-settings/1.0/";
constexpr char kNsXmpNote[] = "http://ns.adobe.com/xmp/note/";

struct ExtraNamespace {
    const char* prefix;
    const char* uri;
};

constexpr ExtraNamespace kExtraNamespaces[] = {
    {"tiff", kNsTiff},
    {"crs", kNsCrs},
    {"xmpNote", kNsXmpNote},
    {"theap", "http://ns.ap.org/photo/1.0/"},
    {"crss", "http://ns.adobe.com/camera-raw-saved-settings/1.0/"},
};

// The Apple image namespaces, registered under these prefixes and removed from packets the program
// updates (any version of them).
constexpr ExtraNamespace kAppleNamespaces[] = {
    {"HDRGainMap", "http://ns.apple.com/HDRGainMap/1.0/"},
    {"apdi", "http://ns.apple.com/pixeldatainfo/1.0/"},
    {"depthData", "http://ns.apple.com/depthData/1.0/"},
    {"depthBlurEffect", "http://ns.apple.com/depthBlurEffect/1.0/"},
    {"portraitLightingEffect", "http://ns.apple.com/portraitLightingEffect/1.0/"},
    {"semanticSegmentationMatte", "http://ns.apple.com/semanticSegmentationMatte/1.0/"},
};

bool isAppleNamespace(std::string_view uri) {
    for (const ExtraNamespace& ns : kAppleNamespaces) {
        // "http://ns.apple.com/NAME/" whatever the version
        const std::string_view full(ns.uri);
        const std::size_t versionStart = full.find('/', std::strlen("http://ns.apple.com/")) + 1;
        if (uri.substr(0, versionStart) == full.substr(0, versionStart))
            return true;
    }
    return false;
}

std::mutex gInitMutex;
bool gInitialized = false;

// The toolkit reports every error it catches on std::cerr (which the program itself never writes to):
// those lines go to the log instead of the user's terminal. Each thread gathers its own line.
class LogLineBuffer : public std::streambuf {
protected:
    int_type overflow(int_type c) override {
        if (c != traits_type::eof())
            put(static_cast<char>(c));
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        for (std::streamsize i = 0; i < n; ++i)
            put(s[i]);
        return n;
    }

private:
    static void put(char c) {
        thread_local std::string line;
        if (c != '\n' && line.size() < 4096) {
            line += c;
            return;
        }
        if (c == '\n') {
            LUMO_LOG("XMP toolkit: %s", line.c_str());
            line.clear();
        }
    }
};

bool ensureInitialized() {
    const std::lock_guard lock(gInitMutex);
    if (gInitialized)
        return true;
    static LogLineBuffer* const toolkitMessages = new LogLineBuffer; // lives as long as std::cerr
    std::cerr.rdbuf(toolkitMessages);
    if (!xmp_init()) {
        LUMO_LOG("Unable to start the XMP toolkit: %d", xmp_get_error());
        return false;
    }
    XmpStringPtr registered = xmp_string_new();
    const auto add = [&](const char* prefix, const char* uri) {
        if (!xmp_register_namespace(uri, prefix, registered))
            LUMO_LOG("Unable to register the XMP namespace %s (%s): %d", prefix, uri, xmp_get_error());
    };
    for (const IPTCXMPNamespace& ns : IPTCXMPNamespaces())
        add(ns.prefix, ns.uri);
    for (const ExtraNamespace& ns : kExtraNamespaces)
        add(ns.prefix, ns.uri);
    for (const ExtraNamespace& ns : kAppleNamespaces)
        add(ns.prefix, ns.uri);
    xmp_string_free(registered);
    gInitialized = true;
    return true;
}

// -- toolkit wrappers

const char* errorName(int code) {
    switch (code) {
    case -4:
        return "bad parameter";
    case -5:
        return "bad value";
    case -15:
        return "out of memory";
    case -101:
        return "bad schema";
    case -102:
        return "bad path";
    case -103:
        return "bad options";
    case -104:
        return "bad index";
    case -106:
        return "bad parse";
    case -107:
        return "bad serialize";
    case -201:
        return "bad XML";
    case -202:
        return "bad RDF";
    case -203:
        return "bad XMP";
    case -205:
        return "bad Unicode";
    default:
        return "error";
    }
}

std::string lastError() {
    const int code = xmp_get_error();
    return lumo::formatString("%s (%d)", errorName(code), code);
}

class XStr {
public:
    XStr() : m_s(xmp_string_new()) {}
    ~XStr() { xmp_string_free(m_s); }
    XStr(const XStr&) = delete;
    XStr& operator=(const XStr&) = delete;
    XmpStringPtr get() const { return m_s; }
    std::string str() const {
        const char* c = xmp_string_cstr(m_s);
        return c ? std::string(c, xmp_string_len(m_s)) : std::string();
    }

private:
    XmpStringPtr m_s;
};

class Meta {
public:
    Meta() : m_x(xmp_new_empty()) {}
    explicit Meta(XmpPtr x) : m_x(x) {}
    ~Meta() {
        if (m_x)
            xmp_free(m_x);
    }
    Meta(const Meta&) = delete;
    Meta& operator=(const Meta&) = delete;
    XmpPtr get() const { return m_x; }
    explicit operator bool() const { return m_x != nullptr; }

private:
    XmpPtr m_x;
};

// Splits "prefix:Name/..." into the namespace URI of the prefix and the path.
struct Prop {
    std::string ns;
    std::string path;
};

std::string uriOfPrefix(std::string_view prefix) {
    if (prefix == "lumograph")
        return kLumographXMPNamespaceURI;
    std::string uri = IPTCXMPNamespaceURI(prefix);
    if (!uri.empty())
        return uri;
    for (const ExtraNamespace& ns : kExtraNamespaces)
        if (prefix == ns.prefix)
            return ns.uri;
    return {};
}

Prop prop(std::string_view qualified) {
    const std::size_t colon = qualified.find(':');
    return {uriOfPrefix(qualified.substr(0, colon)), std::string(qualified)};
}

// Parses `packet` into `meta`; false (logged with `where`) when it does not parse or is too large.
bool parsePacket(const Meta& meta, const char* packet, std::size_t length, const char* where) {
    if (!meta) {
        LUMO_LOG("%s: XMPError creating the XMP object: '%s'", where, lastError().c_str());
        return false;
    }
    if (length > kXMPMaxPacketSize) {
        LUMO_LOG("%s: XMP packet of %zu bytes refused (larger than %zu bytes)", where, length,
                 kXMPMaxPacketSize);
        return false;
    }
    if (length == 0 || !packet)
        return true; // nothing to read: an empty tree
    if (!xmp_parse(meta.get(), packet, length)) {
        LUMO_LOG("%s: XMPError parsing the packet: '%s'", where, lastError().c_str());
        return false;
    }
    return true;
}

bool serialize(const Meta& meta, const XMPSerializeOptions& options, bool compact, std::string& out,
               const char* where) {
    XStr buffer;
    std::uint32_t flags = options.wrapper ? 0u : static_cast<std::uint32_t>(XMP_SERIAL_OMITPACKETWRAPPER);
    if (compact)
        flags |= XMP_SERIAL_USECOMPACTFORMAT;
    // Padding 0 asks the toolkit for its standard padding; 1 for as little as it writes.
    const std::uint32_t padding = options.padding && options.wrapper ? 0u : 1u;
    if (!xmp_serialize_and_format(meta.get(), buffer.get(), flags, padding, "\n", " ", 0)) {
        LUMO_LOG("%s: XMPError serializing to buffer: '%s'", where, lastError().c_str());
        return false;
    }
    out = buffer.str();
    return true;
}

// -- reading helpers

// The top-level properties of the packet as (namespace URI, qualified name).
std::vector<std::pair<std::string, std::string>> topLevelProperties(XmpPtr x) {
    std::vector<std::pair<std::string, std::string>> out;
    XmpIteratorPtr it = xmp_iterator_new(x, "", "", XMP_ITER_PROPERTIES);
    if (!it)
        return out;
    XStr schema, name, value;
    std::uint32_t options = 0;
    while (xmp_iterator_next(it, schema.get(), name.get(), value.get(), &options)) {
        const std::string n = name.str();
        if (n.empty())
            continue; // the schema node itself
        if (n.find('/') == std::string::npos && n.find('[') == std::string::npos)
            out.emplace_back(schema.str(), n);
        if (!XMP_IS_PROP_SIMPLE(options))
            xmp_iterator_skip(it, XMP_ITER_SKIPSUBTREE);
    }
    xmp_iterator_free(it);
    return out;
}

// The top-level properties of the tree being read or written, by namespace and local name, so that
// the many properties a packet does not hold are answered without asking the toolkit. Set for one
// tree and one thread by IndexScope; properties set through the writers are added to it.
struct TopLevelIndex {
    XmpPtr x = nullptr;
    std::unordered_set<std::string> names;
};
thread_local TopLevelIndex* tIndex = nullptr;

std::string topKey(std::string_view ns, std::string_view path) {
    const std::size_t end = path.find_first_of("/[");
    std::string_view first = path.substr(0, end);
    const std::size_t colon = first.find(':');
    if (colon != std::string_view::npos)
        first = first.substr(colon + 1);
    std::string key(ns);
    key += '\n';
    key += first;
    return key;
}

bool mayHave(XmpPtr x, const std::string& ns, const std::string& path) {
    return !tIndex || tIndex->x != x || tIndex->names.count(topKey(ns, path)) != 0;
}

void noteAdded(XmpPtr x, const std::string& ns, const std::string& path) {
    if (tIndex && tIndex->x == x)
        tIndex->names.insert(topKey(ns, path));
}

class IndexScope {
public:
    explicit IndexScope(XmpPtr x) : m_previous(tIndex) {
        m_index.x = x;
        for (const auto& [ns, name] : topLevelProperties(x))
            m_index.names.insert(topKey(ns, name));
        tIndex = &m_index;
    }
    ~IndexScope() { tIndex = m_previous; }
    IndexScope(const IndexScope&) = delete;
    IndexScope& operator=(const IndexScope&) = delete;

private:
    TopLevelIndex m_index;
    TopLevelIndex* m_previous;
};

// The value and options of a property; empty when it is absent.
std::optional<std::string> getRaw(XmpPtr x, const Prop& p, std::uint32_t* options = nullptr) {
    if (p.ns.empty() || !mayHave(x, p.ns, p.path))
        return std::nullopt;
    XStr value;
    std::uint32_t bits = 0;
    if (!xmp_get_property(x, p.ns.c_str(), p.path.c_str(), value.get(), &bits))
        return std::nullopt;
    if (options)
        *options = bits;
    return value.str();
}

bool exists(XmpPtr x, const Prop& p) {
    return !p.ns.empty() && mayHave(x, p.ns, p.path) && xmp_has_property(x, p.ns.c_str(), p.path.c_str());
}

// Limit on array items read, so that work stays bounded by what the packet holds.
constexpr int kMaxArrayItems = 100000;

// The items of an array; a simple property counts as one item; an Alt gives its x-default.
std::optional<std::vector<std::string>> getItems(XmpPtr x, const Prop& p) {
    std::uint32_t bits = 0;
    std::optional<std::string> raw = getRaw(x, p, &bits);
    if (!raw)
        return std::nullopt;
    std::vector<std::string> items;
    if (XMP_IS_PROP_SIMPLE(bits)) {
        items.push_back(std::move(*raw));
        return items;
    }
    if (!XMP_IS_PROP_ARRAY(bits))
        return items;
    for (int i = 1; i <= kMaxArrayItems; ++i) {
        XStr value;
        std::uint32_t itemBits = 0;
        if (!xmp_get_array_item(x, p.ns.c_str(), p.path.c_str(), i, value.get(), &itemBits))
            break;
        if (XMP_IS_PROP_SIMPLE(itemBits))
            items.push_back(value.str());
    }
    return items;
}

// A language alternative's x-default item (else its first); a simple property's value.
std::optional<std::string> getAlt(XmpPtr x, const Prop& p) {
    std::uint32_t bits = 0;
    std::optional<std::string> raw = getRaw(x, p, &bits);
    if (!raw)
        return std::nullopt;
    if (XMP_IS_PROP_SIMPLE(bits))
        return raw;
    if (!XMP_IS_PROP_ARRAY(bits))
        return std::string();
    if (XMP_IS_ARRAY_ALTTEXT(bits)) {
        XStr lang, value;
        std::uint32_t itemBits = 0;
        if (xmp_get_localized_text(x, p.ns.c_str(), p.path.c_str(), "", "x-default", lang.get(), value.get(),
                                   &itemBits))
            return value.str();
    }
    std::optional<std::vector<std::string>> items = getItems(x, p);
    return items && !items->empty() ? items->front() : std::string();
}

std::optional<std::string> getText(XmpPtr x, const Prop& p) {
    std::uint32_t bits = 0;
    std::optional<std::string> raw = getRaw(x, p, &bits);
    if (!raw)
        return std::nullopt;
    if (XMP_IS_PROP_SIMPLE(bits))
        return raw;
    return getAlt(x, p); // tolerates an Alt or array where a text belongs
}

std::optional<long> parseLong(const std::string& text) {
    const std::string_view t = lumo::trim(text);
    if (t.empty() || t.size() > 20)
        return std::nullopt;
    const std::string copy(t);
    char* end = nullptr;
    const double value = std::strtod(copy.c_str(), &end);
    if (end == copy.c_str() || *end != '\0' || !std::isfinite(value) || std::fabs(value) > 1e15)
        return std::nullopt;
    return std::lround(value);
}

std::optional<double> parseDouble(const std::string& text) {
    const std::string copy(lumo::trim(text));
    if (copy.empty())
        return std::nullopt;
    char* end = nullptr;
    const double value = std::strtod(copy.c_str(), &end);
    if (end == copy.c_str() || *end != '\0' || !std::isfinite(value))
        return std::nullopt;
    return value;
}

// A rational "n/d" or a decimal number.
std::optional<double> parseRational(const std::string& text) {
    const std::size_t slash = text.find('/');
    if (slash == std::string::npos)
        return parseDouble(text);
    const std::optional<double> n = parseDouble(text.substr(0, slash));
    const std::optional<double> d = parseDouble(text.substr(slash + 1));
    if (!n || !d || *d == 0.0)
        return std::nullopt;
    return *n / *d;
}

std::optional<bool> parseBool(const std::string& text) {
    const std::string_view t = lumo::trim(text);
    if (lumo::iequals(t, "True") || t == "1")
        return true;
    if (lumo::iequals(t, "False") || t == "0")
        return false;
    return std::nullopt;
}

// An ISO 8601 date and time as XMP holds it: "YYYY[-MM[-DD[Thh:mm[:ss[.s+]][Z|+hh:mm|-hh:mm]]]]".
struct XMPDate {
    int year = 0, month = 0, day = 0;
    bool hasTime = false;
    int hour = 0, minute = 0, second = 0;
    bool hasZone = false;
    int zoneSign = 1, zoneHours = 0, zoneMinutes = 0;
};

bool digits(std::string_view t, std::size_t at, std::size_t count, int& value) {
    if (at + count > t.size())
        return false;
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(t[i])))
            return false;
        value = value * 10 + (t[i] - '0');
    }
    return true;
}

std::optional<XMPDate> parseDate(std::string_view t) {
    t = lumo::trim(t);
    XMPDate d;
    std::size_t at = 0;
    bool negative = false;
    if (!t.empty() && t[0] == '-') {
        negative = true;
        at = 1;
    }
    if (!digits(t, at, 4, d.year))
        return std::nullopt;
    if (negative)
        d.year = -d.year;
    at += 4;
    // "YYYY:MM:DD hh:mm:ss" as EXIF writes it is accepted too.
    const auto sep = [&](char a, char b) { return at < t.size() && (t[at] == a || t[at] == b); };
    if (at == t.size())
        return d;
    if (!sep('-', ':') || !digits(t, at + 1, 2, d.month) || d.month < 1 || d.month > 12)
        return std::nullopt;
    at += 3;
    if (at == t.size())
        return d;
    if (!sep('-', ':') || !digits(t, at + 1, 2, d.day) || d.day < 1 || d.day > 31)
        return std::nullopt;
    at += 3;
    if (at == t.size())
        return d;
    if (!sep('T', ' ') || !digits(t, at + 1, 2, d.hour) || at + 3 >= t.size() || t[at + 3] != ':' ||
        !digits(t, at + 4, 2, d.minute) || d.hour > 23 || d.minute > 59)
        return std::nullopt;
    d.hasTime = true;
    at += 6;
    if (at < t.size() && t[at] == ':') {
        if (!digits(t, at + 1, 2, d.second) || d.second > 60)
            return std::nullopt;
        at += 3;
        if (at < t.size() && t[at] == '.') {
            ++at;
            while (at < t.size() && std::isdigit(static_cast<unsigned char>(t[at])))
                ++at;
        }
    }
    if (at == t.size())
        return d;
    if (t[at] == 'Z' && at + 1 == t.size()) {
        d.hasZone = true;
        return d;
    }
    if ((t[at] == '+' || t[at] == '-') && digits(t, at + 1, 2, d.zoneHours) && at + 3 < t.size() &&
        t[at + 3] == ':' && digits(t, at + 4, 2, d.zoneMinutes) && at + 6 == t.size() && d.zoneHours < 24 &&
        d.zoneMinutes < 60) {
        d.hasZone = true;
        d.zoneSign = t[at] == '-' ? -1 : 1;
        return d;
    }
    return std::nullopt;
}

// The structures of a list property (a plain structure counts as a list of one); empty when absent.
template <typename T>
std::optional<std::vector<T>> readStructs(XmpPtr x, const iptc_structs::ListKind<T>& kind) {
    const std::string base = std::string(kind.prefix) + ":" + kind.property;
    const Prop p = prop(base);
    std::uint32_t bits = 0;
    if (!getRaw(x, p, &bits))
        return std::nullopt;
    std::vector<T> list;
    const auto readOne = [&](const std::string& path) {
        T s;
        for (const iptc_structs::Member<T>& m : kind.members) {
            const Prop mp{p.ns, path + "/" + kind.prefix + ":" + m.name};
            if (m.text) {
                if (std::optional<std::string> v =
                        m.form == iptc_structs::MemberForm::Alt ? getAlt(x, mp) : getText(x, mp))
                    s.*(m.text) = std::move(*v);
            } else if (std::optional<std::vector<std::string>> items = getItems(x, mp)) {
                for (std::string& item : *items)
                    if (!lumo::trim(item).empty())
                        (s.*(m.list)).push_back(std::move(item));
            }
        }
        if (!s.isEmpty())
            list.push_back(std::move(s));
    };
    if (XMP_IS_PROP_STRUCT(bits)) {
        readOne(base);
    } else if (XMP_IS_PROP_ARRAY(bits)) {
        for (int i = 1; i <= kMaxArrayItems; ++i) {
            const std::string item = base + "[" + std::to_string(i) + "]";
            std::uint32_t itemBits = 0;
            if (!getRaw(x, Prop{p.ns, item}, &itemBits))
                break;
            if (XMP_IS_PROP_STRUCT(itemBits))
                readOne(item);
        }
    }
    if (kind.single && list.size() > 1)
        list.resize(1);
    return list;
}

// The items of a list text as the record would hold them after reading them back.
std::string normalisedList(const std::string& text, char separator) {
    return IPTCGetRepeatableItemsAsString(IPTCGetRepeatableItemsAsVector(text, separator), separator);
}

class Reader {
public:
    Reader(const IPTCEncodingSettings& settings, XmpPtr x, const char* packet, std::size_t length,
           bool templateMode, IPTCRec& record)
        : m_settings(settings), m_x(x), m_packet(packet), m_length(length), m_template(templateMode),
          m_record(record) {}

    void readIPTC() {
        // 1. the photoshop fields, the edit status and the supplemental categories
        for (const char* label : {"City", "State/Province", "Country", "Category", "Creator's Job Title",
                                  "Credit", "Source", "Description Writers"})
            readRow(label);
        if (!readRow("Headline"))
            readRowFrom("Headline", prop("Iptc4xmpExt:Headline"), IPTCXMPForm::Alt);
        for (const char* label : {"Special Instructions", "Job ID/Trans Ref", "Urgency", "Edit Status"})
            readRow(label);
        readSuppCategories();
        // 2. the caption, its fallback, the accessibility texts
        readRow("Description/Caption");
        if (m_record.m_fields[slot(IPTC_CAPTION)].empty())
            readCaptionAlias();
        readRow("Alt Text");
        readRow("Extended Description");
        // 3. the creator
        if (!readRow("Creator/Photographer"))
            readRowFrom("Creator/Photographer", prop("photoshop:Author"), IPTCXMPForm::Simple);
        // 4. title, copyright, web statement, country code, location
        if (!readRow("Title/Object Name"))
            readRowFrom("Title/Object Name", prop("photoshop:Title"), IPTCXMPForm::Simple);
        if (!readRow("Copyright"))
            readRowFrom("Copyright", prop("photoshop:Copyright"), IPTCXMPForm::Simple);
        if (!readRow("Copyright URL"))
            readRowFrom("Copyright URL", prop("photoshop:WebStatement"), IPTCXMPForm::Simple);
        if (!readRow("ISO Country Code"))
            readRowFrom("ISO Country Code", prop("lumograph:CountryCode"), IPTCXMPForm::Simple);
        readRow("Location");
        // 5. keywords
        readKeywords();
        // 6. date created
        readDate();
        // 7. the program's state
        readState();
        // 8. every other field of the catalogue
        for (const IPTCCatalogueEntry& e : IPTCCatalogue())
            if (!m_done[static_cast<std::size_t>(&e - IPTCCatalogue().data())])
                readRow(e);
        readStructures();
        // 9. the template's own properties
        if (m_template)
            readTemplate();
    }

private:
    static std::size_t slot(IPTCFieldID id, int item = 1) {
        return static_cast<std::size_t>(IPTCFieldIndexOf(IPTCStorageFieldID(id), item));
    }

    std::size_t rowIndex(const IPTCCatalogueEntry& e) const {
        return static_cast<std::size_t>(&e - IPTCCatalogue().data());
    }

    void found(IPTCFieldID id, int item = 1) {
        if (m_template)
            if (const std::optional<int> index = IPTCFindFieldIndex(id, item))
                m_record.m_applyFlags[static_cast<std::size_t>(*index)] = 1;
    }

    std::string joinItems(const std::vector<std::string>& items) const {
        std::vector<std::string> cleaned;
        for (const std::string& item : items) {
            const std::string_view t = lumo::trim(item);
            if (!t.empty())
                cleaned.emplace_back(t);
        }
        return IPTCGetRepeatableItemsAsString(cleaned, m_settings.m_separator);
    }

    // Reads a catalogue row from its own property.
    bool readRow(const char* label) {
        const IPTCCatalogueEntry* e = IPTCFindCatalogueEntry(label);
        return e && readRow(*e);
    }

    bool readRow(const IPTCCatalogueEntry& e) {
        m_done[rowIndex(e)] = true;
        return readRowFrom(e, prop(e.xmp), e.xmpForm);
    }

    bool readRowFrom(const char* label, const Prop& p, IPTCXMPForm form) {
        const IPTCCatalogueEntry* e = IPTCFindCatalogueEntry(label);
        return e && readRowFrom(*e, p, form);
    }

    bool readRowFrom(const IPTCCatalogueEntry& e, const Prop& p, IPTCXMPForm form) {
        try {
            if (e.list == IPTCListKind::StructList || e.fieldId == 0 || e.fieldId == IPTC_DATE_CREATED ||
                e.fieldId == IPTC_SUPP_CATEGORIES || e.fieldId == XMP_LOCATION_CREATED ||
                e.fieldId == XMP_MAX_IMAGE_DIMENSIONS)
                return false; // read on their own
            if (const std::optional<IPTCVocabulary> vocabulary = iptc_structs::vocabularyOf(e.fieldId)) {
                const std::optional<std::string> text = getText(m_x, p);
                if (!text)
                    return false;
                unsigned* code = iptc_structs::codeOf(m_record, e.fieldId);
                *code = exactCode(*vocabulary, *text);
                found(e.fieldId);
                return true;
            }
            std::optional<std::string> value;
            switch (form) {
            case IPTCXMPForm::Alt:
                value = getAlt(m_x, p);
                break;
            case IPTCXMPForm::Bag:
            case IPTCXMPForm::Seq:
                if (std::optional<std::vector<std::string>> items = getItems(m_x, p))
                    value = joinItems(*items);
                break;
            default:
                value = getText(m_x, p);
                break;
            }
            if (!value)
                return false;
            m_record.m_fields[slot(e.fieldId)] = std::move(*value);
            found(e.fieldId);
            return true;
        } catch (const std::exception& ex) {
            LUMO_LOG("Unexpected exception in IPTC_XMP_Utils::ReadIPTCFromXMPTree(): %s", ex.what());
        }
        return false;
    }

    // The toolkit takes photoshop:Caption for an alias of dc:description and drops it when the packet
    // holds both, so an empty dc:description would hide it. The packet is read a second time with the
    // photoshop namespace renamed, where the caption is a property of its own.
    void readCaptionAlias() {
        static constexpr std::string_view kPhotoshop = "http://ns.adobe.com/photoshop/1.0/";
        static constexpr char kUnaliased[] = "http://ns.lumograph.invalid/photoshop-unaliased/";
        const std::string_view text(m_packet, m_length);
        if (text.find("Caption") == std::string_view::npos || text.find(kPhotoshop) == std::string_view::npos)
            return;
        std::string renamed;
        renamed.reserve(text.size() + 64);
        for (std::size_t at = 0; at < text.size();) {
            const std::size_t found = text.find(kPhotoshop, at);
            renamed.append(
                text.substr(at, found == std::string_view::npos ? std::string_view::npos : found - at));
            if (found == std::string_view::npos)
                break;
            renamed += kUnaliased;
            at = found + kPhotoshop.size();
        }
        Meta unaliased;
        if (!unaliased || !xmp_parse(unaliased.get(), renamed.data(), renamed.size()))
            return;
        if (const std::optional<std::string> caption = getText(unaliased.get(), Prop{kUnaliased, "Caption"});
            caption && !caption->empty()) {
            m_record.m_fields[slot(IPTC_CAPTION)] = *caption;
            found(IPTC_CAPTION);
        }
    }

    // Exact comparison with the stored forms; anything else is unset.
    static unsigned exactCode(IPTCVocabulary vocabulary, const std::string& text) {
        const auto terms = IPTCVocabularyTerms(vocabulary);
        for (std::size_t i = 0; i < terms.size(); ++i)
            if (text == terms[i].stored)
                return static_cast<unsigned>(i + 1);
        return 0;
    }

    void readSuppCategories() {
        const IPTCCatalogueEntry* first = IPTCFindCatalogueEntry(IPTC_SUPP_CATEGORIES, 1);
        for (std::uint8_t item = 1; item <= 3; ++item)
            if (const IPTCCatalogueEntry* e = IPTCFindCatalogueEntry(IPTC_SUPP_CATEGORIES, item))
                m_done[rowIndex(*e)] = true;
        if (!first)
            return;
        const std::optional<std::vector<std::string>> items = getItems(m_x, prop(first->xmp));
        if (!items)
            return;
        // A template keeps its slots in place: an empty item stands for an empty slot before a set one.
        std::vector<std::string> kept;
        for (const std::string& item : *items)
            if (m_template || !lumo::trim(item).empty())
                kept.emplace_back(lumo::trim(item));
        for (int item = 1; item <= 3; ++item) {
            m_record.m_fields[slot(IPTC_SUPP_CATEGORIES, item)] =
                static_cast<std::size_t>(item) <= kept.size() ? kept[static_cast<std::size_t>(item - 1)] : "";
            found(IPTC_SUPP_CATEGORIES, item);
        }
    }

    void readKeywords() {
        const IPTCCatalogueEntry* e = IPTCFindCatalogueEntry("Keywords");
        if (!e)
            return;
        m_done[rowIndex(*e)] = true;
        std::optional<std::vector<std::string>> flat = getItems(m_x, prop("dc:subject"));
        if (!flat)
            flat = getItems(m_x, prop("photoshop:Keywords"));
        const std::optional<std::vector<std::string>> hierarchical =
            getItems(m_x, prop("lr:hierarchicalSubject"));
        if (!flat && !hierarchical)
            return;
        std::vector<std::string> keywords;
        const auto add = [&](const std::string& keyword) {
            std::string shown = spaced(keyword);
            if (!shown.empty() && std::find(keywords.begin(), keywords.end(), shown) == keywords.end())
                keywords.push_back(std::move(shown));
        };
        for (const std::string& k : flat ? *flat : std::vector<std::string>())
            add(k);
        for (const std::string& k : hierarchical ? *hierarchical : std::vector<std::string>())
            add(k);
        m_record.m_fields[slot(IPTC_KEYWORDS)] =
            IPTCGetRepeatableItemsAsString(keywords, m_settings.m_separator);
        found(IPTC_KEYWORDS);
    }

    // A hierarchical keyword as the record shows it: "a | b | c".
    static std::string spaced(std::string_view keyword) { return IPTCJoinKeywordLevels(keyword, " | "); }

    void readDate() {
        const IPTCCatalogueEntry* e = IPTCFindCatalogueEntry("Time and Date");
        if (e)
            m_done[rowIndex(*e)] = true;
        std::optional<XMPDate> date;
        for (const char* name : {"photoshop:DateCreated", "xmp:CreateDate", "exif:DateTimeOriginal"}) {
            if (const std::optional<std::string> text = getText(m_x, prop(name))) {
                date = parseDate(*text);
                if (date)
                    break;
            }
        }
        if (!date)
            return;
        m_record.m_dateYear = static_cast<std::uint16_t>(date->year);
        m_record.m_dateMonth = static_cast<std::uint16_t>(date->month);
        m_record.m_dateDay = static_cast<std::uint16_t>(date->day);
        m_record.m_noDate = false;
        found(IPTC_DATE_CREATED);
        if (date->hasTime) {
            m_record.m_timeHour = static_cast<std::uint16_t>(date->hour);
            m_record.m_timeMinute = static_cast<std::uint16_t>(date->minute);
            m_record.m_timeSecond = static_cast<std::uint16_t>(date->second);
            m_record.m_noTime = false;
            m_record.m_hasZone = date->hasZone && (date->zoneHours != 0 || date->zoneMinutes != 0);
            m_record.m_zoneHours =
                static_cast<std::int16_t>(m_record.m_hasZone ? date->zoneSign * date->zoneHours : 0);
            m_record.m_zoneMinutes = static_cast<std::uint16_t>(m_record.m_hasZone ? date->zoneMinutes : 0);
            found(IPTC_TIME_CREATED);
            return;
        }
        if (const std::optional<std::string> text = getText(m_x, prop("lumograph:TimeCreated"))) {
            int hour = 0, minute = 0, second = 0, zoneHours = 0, zoneMinutes = 0;
            if (std::sscanf(text->c_str(), "%02d%02d%02d%03d%02d", &hour, &minute, &second, &zoneHours,
                            &zoneMinutes) == 5 &&
                hour >= 0 && hour < 24 && minute >= 0 && minute < 60 && second >= 0 && second <= 60 &&
                zoneHours > -24 && zoneHours < 24 && zoneMinutes >= 0 && zoneMinutes < 60) {
                m_record.m_timeHour = static_cast<std::uint16_t>(hour);
                m_record.m_timeMinute = static_cast<std::uint16_t>(minute);
                m_record.m_timeSecond = static_cast<std::uint16_t>(second);
                m_record.m_noTime = false;
                m_record.m_hasZone = zoneHours != 0;
                m_record.m_zoneHours = static_cast<std::int16_t>(zoneHours);
                m_record.m_zoneMinutes = static_cast<std::uint16_t>(m_record.m_hasZone ? zoneMinutes : 0);
                found(IPTC_TIME_CREATED);
            }
        }
    }

    void readState() {
        for (const char* label : {"Color Class", "Rating", "Label"})
            if (const IPTCCatalogueEntry* e = IPTCFindCatalogueEntry(label))
                m_done[rowIndex(*e)] = true;
        if (const std::optional<std::string> version = getText(m_x, prop("lumograph:LumoVersion")))
            m_record.m_lumoVersion = *version;
        if (const std::optional<std::string> prefs = getText(m_x, prop("lumograph:Prefs"))) {
            int tagged = 0, colorClass = 0, rating = 0;
            unsigned imageNumber = 0;
            if (std::sscanf(prefs->c_str(), "%d:%d:%d:%u", &tagged, &colorClass, &rating, &imageNumber) ==
                    4 &&
                colorClass >= 0 && colorClass <= 8 && rating >= -1 && rating <= 5) {
                m_record.m_tagged = tagged != 0 ? "1" : "0";
                m_record.m_colorClass = std::to_string(colorClass);
                m_record.m_rating = std::to_string(rating);
                m_record.m_imageNumber = imageNumber;
            }
        }
        if (const std::optional<std::string> rating = getText(m_x, prop("xmp:Rating")))
            if (const std::optional<long> value = parseLong(*rating); value && *value >= -1 && *value <= 5)
                m_record.m_rating = std::to_string(*value);
        if (const std::optional<std::string> tagged = getText(m_x, prop("lumograph:Tagged")))
            if (const std::optional<bool> value = parseBool(*tagged))
                m_record.m_tagged = *value ? "1" : "0";
        if (const std::optional<std::string> colorClass = getText(m_x, prop("lumograph:ColorClass")))
            if (const std::optional<long> value = parseLong(*colorClass); value && *value >= 0 && *value <= 8)
                m_record.m_colorClass = std::to_string(*value);
        if (const std::optional<std::string> label = getText(m_x, prop("xmp:Label"))) {
            m_record.m_fields[slot(XMP_LABEL)] = *label;
            found(XMP_LABEL);
        }
    }

    template <typename T>
    void readStructList(const iptc_structs::ListKind<T>& kind) {
        try {
            if (std::optional<std::vector<T>> list = readStructs(m_x, kind)) {
                m_record.*(kind.list) = std::move(*list);
                if (const IPTCCatalogueEntry* e = IPTCFindCatalogueEntry(kind.label))
                    found(e->fieldId);
            }
        } catch (const std::exception& ex) {
            LUMO_LOG("Unexpected exception in IPTC_XMP_Utils::ReadIPTCFromXMPTree(): %s", ex.what());
        }
    }

    void readStructures() {
        iptc_structs::forEachStructList([&](const auto& kind) { readStructList(kind); });
        const std::optional<std::string> width = getText(m_x, prop("Iptc4xmpExt:MaxAvailWidth"));
        const std::optional<std::string> height = getText(m_x, prop("Iptc4xmpExt:MaxAvailHeight"));
        if (width || height) {
            const auto dimension = [](const std::optional<std::string>& t) -> std::uint32_t {
                const std::optional<long> v = t ? parseLong(*t) : std::nullopt;
                return v && *v > 0 && *v <= 0xFFFFFFFFL ? static_cast<std::uint32_t>(*v) : 0u;
            };
            m_record.m_maxImageDimensions.m_width = dimension(width);
            m_record.m_maxImageDimensions.m_height = dimension(height);
            found(XMP_MAX_IMAGE_DIMENSIONS);
        }
    }

    void readTemplate() {
        const auto text = [&](const char* name, std::string& out) {
            if (std::optional<std::string> v = getText(m_x, prop(name)))
                out = std::move(*v);
        };
        const auto flag = [&](const char* name, bool& out) {
            if (const std::optional<std::string> v = getText(m_x, prop(name)))
                if (const std::optional<bool> b = parseBool(*v))
                    out = *b;
        };
        const auto number = [&](const char* name, int& out) {
            if (const std::optional<std::string> v = getText(m_x, prop(name)))
                if (const std::optional<long> n = parseLong(*v); n && *n >= -1000000 && *n <= 1000000)
                    out = static_cast<int>(*n);
        };
        text("lumograph:ColorClassEval", m_record.m_colorClassEval);
        text("lumograph:RatingEval", m_record.m_ratingEval);
        text("lumograph:TagEval", m_record.m_tagEval);
        flag("lumograph:ColorClassApply", m_record.m_colorClassApply);
        flag("lumograph:RatingApply", m_record.m_ratingApply);
        flag("lumograph:TagApply", m_record.m_tagApply);
        number("lumograph:CaptionMergeStyle", m_record.m_captionMergeStyle);
        number("lumograph:ApplyDateType", m_record.m_applyDateType);
        const auto flags = [&](const char* name, std::array<std::uint8_t, kIPTCFieldIndexCount>& out) {
            if (const std::optional<std::vector<std::string>> items = getItems(m_x, prop(name)))
                for (const std::string& item : *items)
                    if (const std::optional<long> n = parseLong(item);
                        n && *n >= 0 && *n < kIPTCFieldIndexCount)
                        out[static_cast<std::size_t>(*n)] = 1;
        };
        flags("lumograph:FieldsToApply", m_record.m_applyFlags);
        flags("lumograph:FieldsToMerge", m_record.m_mergeFlags);
        if (const std::optional<std::vector<std::string>> items =
                getItems(m_x, prop("lumograph:ApplyReverseGeocoding")))
            for (const std::string& item : *items) {
                const unsigned long n = std::strtoul(item.c_str(), nullptr, 16);
                if (n < m_record.m_reverseGeocodingApply.size())
                    m_record.m_reverseGeocodingApply[n] = true;
            }
    }

    const IPTCEncodingSettings& m_settings;
    XmpPtr m_x;
    const char* m_packet;
    std::size_t m_length;
    bool m_template;
    IPTCRec& m_record;
    std::vector<bool> m_done = std::vector<bool>(IPTCCatalogue().size(), false);
};

// -- photo state, GPS, orientation, crop

constexpr std::array<int, 8> kRotationToExif = {1, 6, 3, 8, 2, 7, 4, 5};
constexpr std::array<int, 9> kExifToRotation = {-1, 0, 4, 2, 6, 7, 1, 5, 3};

void readStateIntoInfo(XmpPtr x, NRFImageInfoRec& info) {
    if (const std::optional<std::string> prefs = getText(x, prop("lumograph:Prefs"))) {
        int tagged = 0, colorClass = 0, rating = 0;
        unsigned imageNumber = 0;
        if (std::sscanf(prefs->c_str(), "%d:%d:%d:%u", &tagged, &colorClass, &rating, &imageNumber) == 4 &&
            colorClass >= 0 && colorClass <= 8 && rating >= -1 && rating <= 5) {
            info.m_tag = tagged != 0;
            info.m_colorClass = static_cast<std::int16_t>(colorClass);
            info.m_rating = static_cast<std::int16_t>(std::max(rating, 0));
            info.m_imageNumber = imageNumber;
        }
    }
    if (const std::optional<std::string> tagged = getText(x, prop("lumograph:Tagged")))
        if (const std::optional<bool> value = parseBool(*tagged))
            info.m_tag = *value;
    if (const std::optional<std::string> cc = getText(x, prop("lumograph:ColorClass")))
        if (const std::optional<long> value = parseLong(*cc); value && *value >= 0 && *value <= 8)
            info.m_colorClass = static_cast<std::int16_t>(*value);
    if (const std::optional<std::string> rating = getText(x, prop("xmp:Rating")))
        if (const std::optional<long> value = parseLong(*rating); value && *value >= -1 && *value <= 5)
            info.m_rating = static_cast<std::int16_t>(std::max<long>(*value, 0));
}

bool validCrop(double l, double t, double r, double b) {
    return l >= 0.0 && l < r && r <= 1.0 && t >= 0.0 && t < b && b <= 1.0;
}

// ReadCropFromXMPTree: the crs crop into the crop, the program's proxy crop into the draft crop.
void readCrop(XmpPtr x, NRFImageInfoRec& info) {
    const auto number = [&](const char* name) -> std::optional<double> {
        const std::optional<std::string> t = getText(x, prop(name));
        return t ? parseDouble(*t) : std::nullopt;
    };
    if (const std::optional<std::string> has = getText(x, prop("crs:HasCrop"))) {
        const std::optional<bool> hasCrop = parseBool(*has);
        const std::optional<double> l = number("crs:CropLeft"), t = number("crs:CropTop"),
                                    r = number("crs:CropRight"), b = number("crs:CropBottom");
        if (hasCrop == true && l && t && r && b && validCrop(*l, *t, *r, *b)) {
            NRFNormalizedCrop crop;
            crop.left = *l;
            crop.top = *t;
            crop.right = *r;
            crop.bottom = *b;
            crop.angle = number("crs:CropAngle").value_or(0.0);
            if (const std::optional<std::string> c = getText(x, prop("lumograph:CropConstraint"))) {
                double w = 0, h = 0;
                if (std::sscanf(c->c_str(), "%lf,%lf", &w, &h) == 2 && std::isfinite(w) && std::isfinite(h) &&
                    w > 0 && h > 0) {
                    crop.constraintWidth = w;
                    crop.constraintHeight = h;
                    crop.constrained = true;
                }
            }
            info.m_crop = crop;
        } else if (hasCrop == false) {
            info.m_crop = NRFNormalizedCrop();
        }
    }
    if (const std::optional<std::string> has = getText(x, prop("lumograph:HasProxyCrop"))) {
        const std::optional<double> l = number("lumograph:ProxyCropLeft"),
                                    t = number("lumograph:ProxyCropTop"),
                                    r = number("lumograph:ProxyCropRight"),
                                    b = number("lumograph:ProxyCropBottom");
        if (parseBool(*has) == true && l && t && r && b && validCrop(*l, *t, *r, *b)) {
            NRFNormalizedCrop crop;
            crop.left = *l;
            crop.top = *t;
            crop.right = *r;
            crop.bottom = *b;
            crop.angle = number("lumograph:ProxyCropAngle").value_or(0.0);
            const std::optional<std::string> constrained = getText(x, prop("lumograph:ProxyCropConstrained"));
            const std::optional<double> w = number("lumograph:ProxyCropWidth"),
                                        h = number("lumograph:ProxyCropHeight");
            if (constrained && parseBool(*constrained) == true && w && h && *w > 0 && *h > 0) {
                crop.constrained = true;
                crop.constraintWidth = *w;
                crop.constraintHeight = *h;
            }
            info.m_draftCrop = crop;
        }
    }
}

void readOrientation(XmpPtr x, NRFImageInfoRec& info) {
    if (const std::optional<std::string> t = getText(x, prop("tiff:Orientation")))
        if (const std::optional<long> v = parseLong(*t); v && *v >= 1 && *v <= 8)
            info.m_orientation = static_cast<std::int16_t>(kExifToRotation[static_cast<std::size_t>(*v)]);
}

// "DDD,MM.mmmk" or "DDD,MM,SSk" in degrees; the hemisphere letter gives the sign.
std::optional<double> parseCoordinate(const std::string& text, char& hemisphere) {
    const std::string_view t = lumo::trim(text);
    if (t.size() < 3 || t.size() > 40)
        return std::nullopt;
    hemisphere = static_cast<char>(std::toupper(static_cast<unsigned char>(t.back())));
    if (hemisphere != 'N' && hemisphere != 'S' && hemisphere != 'E' && hemisphere != 'W')
        return std::nullopt;
    const std::string body(t.substr(0, t.size() - 1));
    double degrees = 0, minutes = 0, seconds = 0;
    char extra = 0;
    const int parts = std::sscanf(body.c_str(), "%lf,%lf,%lf%c", &degrees, &minutes, &seconds, &extra);
    if (parts < 2 || parts > 3 || degrees < 0 || degrees > 180 || minutes < 0 || minutes >= 60 ||
        seconds < 0 || seconds >= 60)
        return std::nullopt;
    double value = degrees + minutes / 60.0 + (parts == 3 ? seconds / 3600.0 : 0.0);
    if (hemisphere == 'S' || hemisphere == 'W')
        value = -value;
    return value;
}

void readGPS(XmpPtr x, NRFImageInfoRec& info) {
    const std::optional<std::string> lat = getText(x, prop("exif:GPSLatitude"));
    const std::optional<std::string> lon = getText(x, prop("exif:GPSLongitude"));
    if (!lat || !lon)
        return;
    char latRef = 0, lonRef = 0;
    const std::optional<double> latitude = parseCoordinate(*lat, latRef);
    const std::optional<double> longitude = parseCoordinate(*lon, lonRef);
    if (!latitude || !longitude || std::fabs(*latitude) > 90.0 || (latRef != 'N' && latRef != 'S') ||
        (lonRef != 'E' && lonRef != 'W'))
        return;
    info.m_hasGPS = true;
    info.m_latitude = *latitude;
    info.m_longitude = *longitude;
    info.m_gpsLatitudeRef = static_cast<std::uint8_t>(latRef);
    info.m_gpsLongitudeRef = static_cast<std::uint8_t>(lonRef);
    if (const std::optional<std::string> alt = getText(x, prop("exif:GPSAltitude")))
        if (const std::optional<double> a = parseRational(*alt)) {
            const std::optional<std::string> ref = getText(x, prop("exif:GPSAltitudeRef"));
            const bool below = ref && lumo::trim(*ref) == "1";
            info.m_altitude = below ? -*a : *a;
            info.m_gpsAltitudeRef = below ? 1 : 0;
        }
    if (const std::optional<std::string> stamp = getText(x, prop("exif:GPSTimeStamp")))
        if (const std::optional<XMPDate> d = parseDate(*stamp); d && d->hasTime) {
            std::tm tm{};
            tm.tm_year = d->year - 1900;
            tm.tm_mon = d->month - 1;
            tm.tm_mday = d->day;
            tm.tm_hour = d->hour;
            tm.tm_min = d->minute;
            tm.tm_sec = d->second;
            const std::int64_t zone =
                d->hasZone ? d->zoneSign * (d->zoneHours * 3600 + d->zoneMinutes * 60) : 0;
            info.m_gpsTime = static_cast<double>(static_cast<std::int64_t>(timegm(&tm)) - zone);
        }
    if (const std::optional<std::string> dir = getText(x, prop("exif:GPSImgDirection")))
        if (const std::optional<double> b = parseRational(*dir))
            info.m_bearing = *b;
}

// -- writing

class Writer {
public:
    Writer(const IPTCEncodingSettings& settings, XmpPtr x, const IPTCRec& record, bool templateMode,
           const NRFImageInfoRec* info)
        : m_settings(settings), m_x(x), m_record(record), m_template(templateMode), m_info(info) {}

    void writeAll() {
        for (const char* label :
             {"City", "State/Province", "Country", "Category", "Creator's Job Title", "Credit", "Source",
              "Description Writers", "Headline", "Special Instructions", "Job ID/Trans Ref"})
            writeRow(label);
        writeUrgency();
        // Marked only when there is a copyright notice
        const bool copyright = !text(IPTC_COPYRIGHT).empty();
        if (!m_template || applies(IPTC_COPYRIGHT)) {
            if (copyright)
                set(prop("xmpRights:Marked"), "True");
            else
                remove(prop("xmpRights:Marked"));
        }
        writeRow("Copyright URL");
        writeSuppCategories();
        writeKeywords();
        writeDate();
        for (const char* label : {"Description/Caption", "Alt Text", "Extended Description",
                                  "Creator/Photographer", "Title/Object Name", "Copyright", "Edit Status"})
            writeRow(label);
        writeCountryCode();
        for (const char* label :
             {"Location", "IPTC Scene", "IPTC Subject Code", "Intellectual Genre", "Contact Address",
              "Contact City", "Contact State", "Contact Zip", "Contact Country", "Contact Emails",
              "Contact Phones", "Contact Web URLs", "Rights Usage Terms"})
            writeRow(label);
        pruneEmpty(prop("Iptc4xmpCore:CreatorContactInfo"));
        // the IPTC Extension, PLUS and Getty fields, then the creator's identity
        for (const IPTCCatalogueEntry& e : IPTCCatalogue()) {
            const std::string_view xmp(e.xmp);
            if (xmp.starts_with("Iptc4xmpExt:") || xmp.starts_with("plus:") ||
                xmp.starts_with("GettyImagesGIFT:"))
                writeRow(e);
        }
        pruneEmpty(prop("plus:ImageSupplier"));
        writeStructures();
        writeRow("Creator's Identity");
        writeState();
        if (m_template)
            writeTemplate();
    }

private:
    static std::size_t slot(IPTCFieldID id, int item = 1) {
        return static_cast<std::size_t>(IPTCFieldIndexOf(IPTCStorageFieldID(id), item));
    }

    const std::string& text(IPTCFieldID id, int item = 1) const { return m_record.m_fields[slot(id, item)]; }

    bool applies(IPTCFieldID id, int item = 1) const {
        const std::optional<int> index = IPTCFindFieldIndex(id, item);
        return index && m_record.m_applyFlags[static_cast<std::size_t>(*index)] != 0;
    }

    void logSetError(const Prop& p) const {
        LUMO_LOG("IPTC_XMP_Utils::AddFieldToXMP(): XMPError setting properties: '%s'",
                 (lastError() + " at " + p.path).c_str());
    }

    void remove(const Prop& p) {
        if (!p.ns.empty() && mayHave(m_x, p.ns, p.path) &&
            xmp_has_property(m_x, p.ns.c_str(), p.path.c_str()))
            xmp_delete_property(m_x, p.ns.c_str(), p.path.c_str());
    }

    void set(const Prop& p, const std::string& value) {
        if (p.ns.empty())
            return;
        remove(p);
        noteAdded(m_x, p.ns, p.path);
        if (!xmp_set_property(m_x, p.ns.c_str(), p.path.c_str(), value.c_str(), 0))
            logSetError(p);
    }

    // Replaces the x-default item; the other languages of a language alternative stay.
    void setAlt(const Prop& p, const std::string& value) {
        if (p.ns.empty())
            return;
        std::uint32_t bits = 0;
        if (!getRaw(m_x, p, &bits) || !XMP_IS_ARRAY_ALTTEXT(bits))
            remove(p);
        noteAdded(m_x, p.ns, p.path);
        if (!xmp_set_localized_text(m_x, p.ns.c_str(), p.path.c_str(), "", "x-default", value.c_str(), 0))
            logSetError(p);
    }

    void setArray(const Prop& p, const std::vector<std::string>& items, bool ordered) {
        if (p.ns.empty())
            return;
        remove(p);
        noteAdded(m_x, p.ns, p.path);
        const std::uint32_t form =
            ordered ? XMP_PROP_VALUE_IS_ARRAY | XMP_PROP_ARRAY_IS_ORDERED : XMP_PROP_VALUE_IS_ARRAY;
        if (items.empty()) {
            if (!xmp_set_property(m_x, p.ns.c_str(), p.path.c_str(), "", form))
                logSetError(p);
            return;
        }
        for (const std::string& item : items)
            if (!xmp_append_array_item(m_x, p.ns.c_str(), p.path.c_str(), form, item.c_str(), 0)) {
                logSetError(p);
                return;
            }
    }

    // A Seq holding the structure "name[1]/..." (plus:ImageSupplier) must exist before its fields are set.
    void ensureContainer(const Prop& p) {
        const std::size_t bracket = p.path.find("[1]/");
        if (bracket == std::string::npos)
            return;
        const Prop array{p.ns, p.path.substr(0, bracket)};
        std::uint32_t bits = 0;
        if (getRaw(m_x, array, &bits) && XMP_IS_PROP_ARRAY(bits))
            return;
        remove(array);
        noteAdded(m_x, array.ns, array.path);
        xmp_set_property(m_x, array.ns.c_str(), array.path.c_str(), "",
                         XMP_PROP_VALUE_IS_ARRAY | XMP_PROP_ARRAY_IS_ORDERED);
    }

    // Removes a structure or array left without members.
    void pruneEmpty(const Prop& p) {
        std::uint32_t bits = 0;
        if (!getRaw(m_x, p, &bits) || XMP_IS_PROP_SIMPLE(bits))
            return;
        XmpIteratorPtr it = xmp_iterator_new(m_x, p.ns.c_str(), p.path.c_str(), XMP_ITER_JUSTLEAFNODES);
        bool any = false;
        if (it) {
            XStr schema, name, value;
            std::uint32_t options = 0;
            any = xmp_iterator_next(it, schema.get(), name.get(), value.get(), &options);
            xmp_iterator_free(it);
        }
        if (!any)
            remove(p);
    }

    bool writeRow(const char* label) {
        const IPTCCatalogueEntry* e = IPTCFindCatalogueEntry(label);
        return e && writeRow(*e);
    }

    bool writeRow(const IPTCCatalogueEntry& e) {
        try {
            if (e.list == IPTCListKind::StructList || e.fieldId == 0 || e.fieldId == IPTC_DATE_CREATED ||
                e.fieldId == IPTC_SUPP_CATEGORIES || e.fieldId == XMP_LOCATION_CREATED ||
                e.fieldId == XMP_MAX_IMAGE_DIMENSIONS || e.fieldId == XMP_LABEL)
                return false;
            const Prop p = prop(e.xmp);
            if (m_template && !applies(e.fieldId))
                return false;
            std::string value;
            if (const std::optional<IPTCVocabulary> vocabulary = iptc_structs::vocabularyOf(e.fieldId))
                value = IPTCVocabularyStoredForm(*vocabulary, *iptc_structs::codeOf(m_record, e.fieldId));
            else
                value = text(e.fieldId);
            if (value.empty() && !m_template) {
                remove(p);
                removeFallbacks(e.fieldId);
                return true;
            }
            if (!m_template && unchanged(p, e.xmpForm, value))
                return true; // kept as the packet holds it (other languages, its own item split)
            ensureContainer(p);
            switch (e.xmpForm) {
            case IPTCXMPForm::Alt:
                setAlt(p, value);
                break;
            case IPTCXMPForm::Bag:
            case IPTCXMPForm::Seq:
                setArray(p,
                         IPTCIsListField(e.fieldId)
                             ? IPTCGetRepeatableItemsAsVector(value, m_settings.m_separator)
                             : std::vector<std::string>{value},
                         e.xmpForm == IPTCXMPForm::Seq);
                break;
            default:
                set(p, value);
                break;
            }
            return true;
        } catch (const std::exception& ex) {
            LUMO_LOG("Unexpected exception in IPTC_XMP_Utils::AddFieldToXMP(): %s", ex.what());
        }
        return false;
    }

    // Whether the packet already holds `value` for the property, as the reader would read it.
    bool unchanged(const Prop& p, IPTCXMPForm form, const std::string& value) const {
        std::optional<std::string> current;
        switch (form) {
        case IPTCXMPForm::Alt:
            current = getAlt(m_x, p);
            break;
        case IPTCXMPForm::Bag:
        case IPTCXMPForm::Seq:
            if (const std::optional<std::vector<std::string>> items = getItems(m_x, p)) {
                std::vector<std::string> cleaned;
                for (const std::string& item : *items)
                    if (!lumo::trim(item).empty())
                        cleaned.emplace_back(lumo::trim(item));
                const std::string joined = IPTCGetRepeatableItemsAsString(cleaned, m_settings.m_separator);
                return joined == value || joined == normalisedList(value, m_settings.m_separator);
            }
            return false;
        default:
            current = getText(m_x, p);
            break;
        }
        return current && *current == value;
    }

    // Properties the reader falls back to: removed with the field so that an emptied field stays empty.
    // (The photoshop fallbacks are aliases that the toolkit folds into their dc and xmpRights properties
    // when it parses a packet, so removing those removes them.)
    void removeFallbacks(IPTCFieldID id) {
        if (id == IPTC_HEADLINE)
            remove(prop("Iptc4xmpExt:Headline"));
    }

    // The colour class 0 to 8 of the record (a digit or a class name); -1 when it holds none.
    int recordColorClass() const { return IPTCRecordColorClass(m_record, m_settings); }

    int colorClass() const {
        if (!m_info)
            return recordColorClass();
        return m_info->m_colorClass >= 0 && m_info->m_colorClass <= 8 ? m_info->m_colorClass : -1;
    }

    void writeUrgency() {
        const int cc = colorClass();
        if (m_settings.m_colorClassAsUrgency && cc >= 1 && cc <= 8 &&
            (!m_template || m_record.m_colorClassApply)) {
            set(prop("photoshop:Urgency"), std::to_string(cc));
            return;
        }
        writeRow("Urgency");
    }

    void writeSuppCategories() {
        const Prop p = prop("photoshop:SupplementalCategories");
        std::vector<std::string> items;
        bool any = false;
        std::size_t used = 0; // a template keeps the slots up to the last set one, the empty ones as " "
        for (int item = 1; item <= 3; ++item) {
            any = any || applies(IPTC_SUPP_CATEGORIES, item);
            const std::string value(lumo::trim(text(IPTC_SUPP_CATEGORIES, item)));
            if (value.empty() && !m_template)
                continue;
            items.push_back(value.empty() ? " " : value);
            if (!value.empty())
                used = items.size();
        }
        if (m_template)
            items.resize(used);
        if (m_template && !any)
            return;
        if (items.empty() && !m_template)
            remove(p);
        else
            setArray(p, items, false);
    }

    void writeKeywords() {
        if (m_template && !applies(IPTC_KEYWORDS))
            return;
        std::vector<std::string> subject, hierarchical;
        for (const std::string& keyword :
             IPTCGetRepeatableItemsAsVector(text(IPTC_KEYWORDS), m_settings.m_separator)) {
            const std::string k = packed(keyword);
            if (k.empty())
                continue;
            const bool structured = k.find('|') != std::string::npos;
            if ((!structured || !m_settings.m_structuredKeywordsHierarchicalOnly) &&
                std::find(subject.begin(), subject.end(), k) == subject.end())
                subject.push_back(k);
            if (structured && std::find(hierarchical.begin(), hierarchical.end(), k) == hierarchical.end())
                hierarchical.push_back(k);
        }
        const Prop dcSubject = prop("dc:subject"), lrHierarchical = prop("lr:hierarchicalSubject");
        if (subject.empty() && !m_template)
            remove(dcSubject);
        else if (m_template || getItems(m_x, dcSubject) != subject)
            setArray(dcSubject, subject, false);
        if (hierarchical.empty())
            remove(lrHierarchical);
        else if (m_template || getItems(m_x, lrHierarchical) != hierarchical)
            setArray(lrHierarchical, hierarchical, false);
    }

    // "a | b |c" as written: "a|b|c".
    static std::string packed(std::string_view keyword) { return IPTCJoinKeywordLevels(keyword, "|"); }

    std::string dateText() const {
        const IPTCRec& r = m_record;
        if (r.m_noDate || r.m_dateMonth < 1 || r.m_dateMonth > 12 || r.m_dateDay < 1 || r.m_dateDay > 31 ||
            r.m_dateYear > 9999)
            return {};
        std::string t = lumo::formatString("%04d-%02d-%02d", r.m_dateYear, r.m_dateMonth, r.m_dateDay);
        if (r.m_noTime || r.m_timeHour > 23 || r.m_timeMinute > 59 || r.m_timeSecond > 60)
            return t;
        t += lumo::formatString("T%02d:%02d:%02d", r.m_timeHour, r.m_timeMinute, r.m_timeSecond);
        if (r.m_hasZone)
            t += lumo::formatString("%c%02d:%02d", r.m_zoneHours < 0 ? '-' : '+', std::abs(r.m_zoneHours),
                                    r.m_zoneMinutes % 60);
        return t;
    }

    void writeDate() {
        if (m_template && !applies(IPTC_DATE_CREATED))
            return;
        const std::string date = dateText();
        const Prop created = prop("photoshop:DateCreated"), createDate = prop("xmp:CreateDate"),
                   original = prop("exif:DateTimeOriginal");
        if (date.empty()) {
            if (!m_template) {
                remove(created);
                remove(createDate);
                remove(prop("lumograph:TimeCreated"));
            }
            return;
        }
        set(created, date);
        set(createDate, date);
        if (date.find('T') != std::string::npos && exists(m_x, original)) // a date alone loses the time
            set(original, date);
        remove(prop("lumograph:TimeCreated"));
    }

    void writeCountryCode() {
        if (m_template && !applies(IPTC_COUNTRY_CODE))
            return;
        const std::string_view code = lumo::trim(text(IPTC_COUNTRY_CODE));
        const bool valid =
            code.size() >= 2 && code.size() <= 3 && std::all_of(code.begin(), code.end(), [](char c) {
                return std::isalpha(static_cast<unsigned char>(c)) != 0;
            });
        const Prop p = prop("Iptc4xmpCore:CountryCode");
        if (valid)
            set(p, std::string(code));
        else if (m_template)
            set(p, "");
        else
            remove(p);
        if (!m_template)
            remove(prop("lumograph:CountryCode"));
    }

    template <typename T>
    void writeStructList(const iptc_structs::ListKind<T>& kind) {
        try {
            const IPTCCatalogueEntry* e = IPTCFindCatalogueEntry(kind.label);
            if (m_template && (!e || !applies(e->fieldId)))
                return;
            const std::string base = std::string(kind.prefix) + ":" + kind.property;
            const Prop p = prop(base);
            std::vector<T> wanted;
            for (const T& s : m_record.*(kind.list))
                if (!s.isEmpty())
                    wanted.push_back(s);
            if (kind.single && wanted.size() > 1)
                wanted.resize(1);
            if (!m_template && !wanted.empty() && readStructs(m_x, kind) == wanted)
                return; // kept with the members the record does not know
            remove(p);
            std::vector<const T*> kept;
            for (const T& s : m_record.*(kind.list))
                if (!s.isEmpty())
                    kept.push_back(&s);
            if (kind.single && kept.size() > 1)
                kept.resize(1);
            if (kept.empty())
                return; // an emptied list leaves no property (a template's says so by its apply flag)
            noteAdded(m_x, p.ns, base);
            if (!kind.single &&
                !xmp_set_property(m_x, p.ns.c_str(), base.c_str(), "",
                                  kind.ordered ? XMP_PROP_VALUE_IS_ARRAY | XMP_PROP_ARRAY_IS_ORDERED
                                               : XMP_PROP_VALUE_IS_ARRAY)) {
                logSetError(p);
                return;
            }
            for (std::size_t i = 0; i < kept.size(); ++i) {
                const std::string item = kind.single ? base : base + "[" + std::to_string(i + 1) + "]";
                for (const iptc_structs::Member<T>& m : kind.members) {
                    const Prop mp{p.ns, item + "/" + kind.prefix + ":" + m.name};
                    if (m.text) {
                        const std::string& v = kept[i]->*(m.text);
                        if (v.empty())
                            continue;
                        if (m.form == iptc_structs::MemberForm::Alt)
                            setAlt(mp, v);
                        else
                            set(mp, v);
                    } else {
                        std::vector<std::string> items;
                        for (const std::string& v : kept[i]->*(m.list))
                            if (!lumo::trim(v).empty())
                                items.emplace_back(lumo::trim(v));
                        if (!items.empty())
                            setArray(mp, items, m.form == iptc_structs::MemberForm::Seq);
                    }
                }
            }
        } catch (const std::exception& ex) {
            LUMO_LOG("Unexpected exception in IPTC_XMP_Utils::AddFieldToXMP(): %s", ex.what());
        }
    }

    void writeStructures() {
        iptc_structs::forEachStructList([&](const auto& kind) { writeStructList(kind); });
        if (m_template && !applies(XMP_MAX_IMAGE_DIMENSIONS))
            return;
        const IPTCMaxImageDimensions& d = m_record.m_maxImageDimensions;
        const Prop w = prop("Iptc4xmpExt:MaxAvailWidth"), h = prop("Iptc4xmpExt:MaxAvailHeight");
        if (d.m_width)
            set(w, std::to_string(d.m_width));
        else
            remove(w);
        if (d.m_height)
            set(h, std::to_string(d.m_height));
        else
            remove(h);
    }

    // xmp:Label, colour class, rating, tag, image number, Prefs and the version.
    void writeState() {
        const Prop label = prop("xmp:Label");
        const int cc = colorClass();
        if (m_settings.m_colorClassAsLabel) {
            const std::string name = cc >= 1 && cc <= 8
                                         ? m_settings.m_colorClassNames[static_cast<std::size_t>(cc - 1)]
                                         : std::string();
            if (!name.empty())
                set(label, name);
            else if (cc == 0)
                remove(label);
        } else if (!m_template || applies(XMP_LABEL)) {
            const std::string& value = text(XMP_LABEL);
            if (value.empty() && !m_template)
                remove(label);
            else
                set(label, value);
        }
        std::optional<int> rating;
        std::optional<bool> tagged;
        std::optional<std::uint32_t> imageNumber;
        if (m_info) {
            rating = std::clamp<int>(m_info->m_rating, -1, 5);
            tagged = m_info->m_tag;
            imageNumber = m_info->m_imageNumber;
        } else {
            if (const std::optional<long> r = parseLong(m_record.m_rating); r && *r >= -1 && *r <= 5)
                rating = static_cast<int>(*r);
            if (m_record.m_tagged == "1" || m_record.m_tagged == "0")
                tagged = m_record.m_tagged == "1";
            if (m_record.m_imageNumber)
                imageNumber = m_record.m_imageNumber;
        }
        if (cc >= 0)
            set(prop("lumograph:ColorClass"), std::to_string(cc));
        if (rating)
            set(prop("xmp:Rating"), std::to_string(*rating));
        if (tagged)
            set(prop("lumograph:Tagged"), *tagged ? "True" : "False");
        if (imageNumber)
            set(prop("aux:ImageNumber"), std::to_string(*imageNumber));
        if (!m_template && cc >= 0 && rating && tagged)
            set(prop("lumograph:Prefs"),
                lumo::formatString("%d:%d:%d:%06u", *tagged ? 1 : 0, cc, std::max(*rating, 0),
                                   static_cast<unsigned>(imageNumber.value_or(0))));
        set(prop("lumograph:LumoVersion"), "Lumo6");
    }

    void writeTemplate() {
        const IPTCRec& r = m_record;
        set(prop("lumograph:ColorClassEval"), r.m_colorClassEval);
        set(prop("lumograph:RatingEval"), r.m_ratingEval);
        set(prop("lumograph:TagEval"), r.m_tagEval);
        set(prop("lumograph:ColorClassApply"), r.m_colorClassApply ? "True" : "False");
        set(prop("lumograph:RatingApply"), r.m_ratingApply ? "True" : "False");
        set(prop("lumograph:TagApply"), r.m_tagApply ? "True" : "False");
        const auto flags = [&](const char* name,
                               const std::array<std::uint8_t, kIPTCFieldIndexCount>& values) {
            std::vector<std::string> items;
            for (std::size_t i = 0; i < values.size(); ++i)
                if (values[i])
                    items.push_back(std::to_string(i));
            setArray(prop(name), items, false);
        };
        flags("lumograph:FieldsToApply", r.m_applyFlags);
        flags("lumograph:FieldsToMerge", r.m_mergeFlags);
        set(prop("lumograph:CaptionMergeStyle"), std::to_string(r.m_captionMergeStyle));
        std::vector<std::string> geocoding;
        for (std::size_t i = 0; i < r.m_reverseGeocodingApply.size(); ++i)
            if (r.m_reverseGeocodingApply[i])
                geocoding.push_back(lumo::formatString("0x%lx", static_cast<unsigned long>(i)));
        setArray(prop("lumograph:ApplyReverseGeocoding"), geocoding, false);
        set(prop("lumograph:ApplyDateType"), std::to_string(r.m_applyDateType));
    }

    const IPTCEncodingSettings& m_settings;
    XmpPtr m_x;
    const IPTCRec& m_record;
    bool m_template;
    const NRFImageInfoRec* m_info;
};

void removeAppleProperties(XmpPtr x) {
    for (const auto& [ns, name] : topLevelProperties(x))
        if (isAppleNamespace(ns) && !xmp_delete_property(x, ns.c_str(), name.c_str()))
            LUMO_LOG("IPTC_XMP_Utils::XMPUpdateIPTC(): XMPError removing Apple namespace properties: '%s'",
                     lastError().c_str());
}

// -- GPS, orientation and crop writing

void setOrRemove(XmpPtr x, const char* name, const std::optional<std::string>& value) {
    const Prop p = prop(name);
    if (mayHave(x, p.ns, p.path) && xmp_has_property(x, p.ns.c_str(), p.path.c_str()))
        xmp_delete_property(x, p.ns.c_str(), p.path.c_str());
    if (value)
        noteAdded(x, p.ns, p.path);
    if (value && !xmp_set_property(x, p.ns.c_str(), p.path.c_str(), value->c_str(), 0))
        LUMO_LOG("IPTC_XMP_Utils::XMPUpdateXMP(): XMPError setting properties: '%s'",
                 (lastError() + " at " + name).c_str());
}

std::string coordinate(double value, char positive, char negative) {
    const double a = std::fabs(value);
    long degrees = static_cast<long>(a);
    double minutes = (a - static_cast<double>(degrees)) * 60.0;
    if (std::lround(minutes * 1000.0) >= 60000) { // 59.9996 rounds up to the next degree
        ++degrees;
        minutes = 0.0;
    }
    return lumo::formatString("%ld,%.3f%c", degrees, minutes, value < 0 ? negative : positive);
}

constexpr const char* kGPSProperties[] = {
    "exif:GPSLatitude",
    "exif:GPSLongitude",
    "exif:GPSAltitude",
    "exif:GPSAltitudeRef",
    "exif:GPSTimeStamp",
    "exif:GPSSpeed",
    "exif:GPSSpeedRef",
    "exif:GPSSatellites",
    "exif:GPSMapDatum",
    "exif:GPSVersionID",
    "exif:GPSAreaInformation",
    "exif:GPSDestBearing",
    "exif:GPSDestBearingRef",
    "exif:GPSDestDistance",
    "exif:GPSDestDistanceRef",
    "exif:GPSDestLatitude",
    "exif:GPSDestLongitude",
    "exif:GPSDifferential",
    "exif:GPSDOP",
    "exif:GPSHPositioningError",
    "exif:GPSImgDirection",
    "exif:GPSImgDirectionRef",
    "exif:GPSMeasureMode",
    "exif:GPSProcessingMethod",
    "exif:GPSStatus",
    "exif:GPSTrack",
    "exif:GPSTrackRef",
};

std::string rational(double value, long denominator) {
    return lumo::formatString("%ld/%ld", std::lround(value * static_cast<double>(denominator)), denominator);
}

std::optional<std::string> refText(std::uint8_t ref) {
    return ref >= 'A' && ref <= 'Z' ? std::optional<std::string>(std::string(1, static_cast<char>(ref)))
                                    : std::nullopt;
}

void writeGPS(XmpPtr x, const NRFImageInfoRec& info) {
    for (const char* name : kGPSProperties)
        setOrRemove(x, name, std::nullopt);
    if (!info.m_hasGPS || !std::isfinite(info.m_latitude) || !std::isfinite(info.m_longitude))
        return;
    const std::uint32_t version = info.m_gpsVersion ? info.m_gpsVersion : 0x02020000u;
    setOrRemove(x, "exif:GPSVersionID",
                lumo::formatString("%u.%u.%u.%u", (version >> 24) & 0xFF, (version >> 16) & 0xFF,
                                   (version >> 8) & 0xFF, version & 0xFF));
    setOrRemove(x, "exif:GPSLatitude", coordinate(info.m_latitude, 'N', 'S'));
    setOrRemove(x, "exif:GPSLongitude", coordinate(info.m_longitude, 'E', 'W'));
    if (info.m_altitude && std::isfinite(*info.m_altitude)) {
        setOrRemove(x, "exif:GPSAltitude",
                    lumo::formatString("%ld/10", std::lround(std::fabs(*info.m_altitude) * 10.0)));
        setOrRemove(x, "exif:GPSAltitudeRef", std::string(*info.m_altitude < 0 ? "1" : "0"));
    }
    if (info.m_gpsTime && std::isfinite(*info.m_gpsTime) && std::fabs(*info.m_gpsTime) < 253402300800.0) {
        const std::time_t t = static_cast<std::time_t>(std::floor(*info.m_gpsTime));
        std::tm tm{};
        if (gmtime_r(&t, &tm))
            setOrRemove(x, "exif:GPSTimeStamp",
                        lumo::formatString("%4ld-%02ld-%02ldT%02ld:%02ld:%02ldZ",
                                           static_cast<long>(tm.tm_year + 1900),
                                           static_cast<long>(tm.tm_mon + 1), static_cast<long>(tm.tm_mday),
                                           static_cast<long>(tm.tm_hour), static_cast<long>(tm.tm_min),
                                           static_cast<long>(tm.tm_sec)));
    }
    if (!info.m_gpsMapDatum.empty())
        setOrRemove(x, "exif:GPSMapDatum", info.m_gpsMapDatum);
    if (!info.m_gpsSatellites.empty())
        setOrRemove(x, "exif:GPSSatellites", info.m_gpsSatellites);
    if (info.m_gpsStatus)
        setOrRemove(x, "exif:GPSStatus", refText(info.m_gpsStatus));
    if (info.m_gpsMeasureMode)
        setOrRemove(x, "exif:GPSMeasureMode",
                    info.m_gpsMeasureMode >= '2' && info.m_gpsMeasureMode <= '3'
                        ? std::optional<std::string>(std::string(1, static_cast<char>(info.m_gpsMeasureMode)))
                        : std::nullopt);
    if (info.m_gpsDOP && std::isfinite(*info.m_gpsDOP) && *info.m_gpsDOP >= 0 && *info.m_gpsDOP < 1e6)
        setOrRemove(x, "exif:GPSDOP", rational(*info.m_gpsDOP, 100));
    if (info.m_gpsSpeed && std::isfinite(*info.m_gpsSpeed) && *info.m_gpsSpeed >= 0 &&
        *info.m_gpsSpeed < 1e6) {
        setOrRemove(x, "exif:GPSSpeed", rational(*info.m_gpsSpeed, 100));
        setOrRemove(x, "exif:GPSSpeedRef", refText(info.m_gpsSpeedRef));
    }
    if (info.m_gpsTrack && std::isfinite(*info.m_gpsTrack) && *info.m_gpsTrack >= 0 &&
        *info.m_gpsTrack < 360.0) {
        setOrRemove(x, "exif:GPSTrack", rational(*info.m_gpsTrack, 100));
        setOrRemove(x, "exif:GPSTrackRef", refText(info.m_gpsTrackRef));
    }
    if (info.m_bearing && std::isfinite(*info.m_bearing) && *info.m_bearing >= 0 && *info.m_bearing < 360.0) {
        setOrRemove(x, "exif:GPSImgDirection", rational(*info.m_bearing, 100));
        setOrRemove(x, "exif:GPSImgDirectionRef", refText(info.m_gpsImgDirectionRef));
    }
}

void writeOrientation(XmpPtr x, const NRFImageInfoRec& info) {
    const int code = info.m_orientation;
    setOrRemove(x, "tiff:Orientation",
                code >= 0 && code <= 7 ? std::optional<std::string>(
                                             std::to_string(kRotationToExif[static_cast<std::size_t>(code)]))
                                       : std::nullopt);
}

std::string f6(double v) {
    return lumo::formatString("%0.6f", std::isfinite(v) ? v : 0.0);
}

void writeCrop(XmpPtr x, const NRFImageInfoRec& info) {
    const NRFNormalizedCrop& c = info.m_crop;
    const bool cropped = c != NRFNormalizedCrop() && validCrop(c.left, c.top, c.right, c.bottom);
    for (const char* name : {"crs:CropLeft", "crs:CropTop", "crs:CropRight", "crs:CropBottom",
                             "crs:CropAngle", "crs:CropConstrainToWarp", "crs:AlreadyApplied", "crs:CropUnit",
                             "crs:CropImageWidth", "crs:CropImageHeight", "lumograph:CropConstraint"})
        setOrRemove(x, name, std::nullopt);
    setOrRemove(x, "crs:HasCrop", std::string(cropped ? "True" : "False"));
    if (cropped) {
        setOrRemove(x, "crs:CropLeft", f6(c.left));
        setOrRemove(x, "crs:CropTop", f6(c.top));
        setOrRemove(x, "crs:CropRight", f6(c.right));
        setOrRemove(x, "crs:CropBottom", f6(c.bottom));
        setOrRemove(x, "crs:CropAngle", f6(c.angle));
        setOrRemove(x, "crs:CropConstrainToWarp", std::string("0"));
        setOrRemove(x, "crs:AlreadyApplied", std::string("False"));
        if (info.m_width && info.m_height) {
            setOrRemove(x, "crs:CropUnit", std::string("0"));
            setOrRemove(x, "crs:CropImageWidth", std::to_string(info.m_width));
            setOrRemove(x, "crs:CropImageHeight", std::to_string(info.m_height));
        }
        if (c.constrained)
            setOrRemove(x, "lumograph:CropConstraint", f6(c.constraintWidth) + "," + f6(c.constraintHeight));
    }
    const NRFNormalizedCrop& d = info.m_draftCrop;
    const bool draft = d != NRFNormalizedCrop() && validCrop(d.left, d.top, d.right, d.bottom);
    for (const char* name :
         {"lumograph:HasProxyCrop", "lumograph:ProxyWidth", "lumograph:ProxyHeight",
          "lumograph:ProxyCropLeft", "lumograph:ProxyCropTop", "lumograph:ProxyCropRight",
          "lumograph:ProxyCropBottom", "lumograph:ProxyCropAngle", "lumograph:ProxyCropConstrained",
          "lumograph:ProxyCropWidth", "lumograph:ProxyCropHeight"})
        setOrRemove(x, name, std::nullopt);
    if (draft) {
        setOrRemove(x, "lumograph:HasProxyCrop", std::string("True"));
        setOrRemove(x, "lumograph:ProxyWidth", std::to_string(info.m_displayWidth));
        setOrRemove(x, "lumograph:ProxyHeight", std::to_string(info.m_displayHeight));
        setOrRemove(x, "lumograph:ProxyCropLeft", f6(d.left));
        setOrRemove(x, "lumograph:ProxyCropTop", f6(d.top));
        setOrRemove(x, "lumograph:ProxyCropRight", f6(d.right));
        setOrRemove(x, "lumograph:ProxyCropBottom", f6(d.bottom));
        setOrRemove(x, "lumograph:ProxyCropAngle", f6(d.angle));
        setOrRemove(x, "lumograph:ProxyCropConstrained", std::string(d.constrained ? "True" : "False"));
        if (d.constrained) {
            setOrRemove(x, "lumograph:ProxyCropWidth", f6(d.constraintWidth));
            setOrRemove(x, "lumograph:ProxyCropHeight", f6(d.constraintHeight));
        }
    }
}

void writeImageState(XmpPtr x, const NRFImageInfoRec& info) {
    const int cc = std::clamp<int>(info.m_colorClass, 0, 8);
    const int rating = std::clamp<int>(info.m_rating, 0, 5);
    setOrRemove(x, "lumograph:Tagged", std::string(info.m_tag ? "True" : "False"));
    setOrRemove(x, "lumograph:ColorClass", std::to_string(cc));
    setOrRemove(x, "xmp:Rating", std::to_string(rating));
    if (info.m_imageNumber)
        setOrRemove(x, "aux:ImageNumber", std::to_string(*info.m_imageNumber));
    setOrRemove(x, "lumograph:Prefs",
                lumo::formatString("%d:%d:%d:%06u", info.m_tag ? 1 : 0, cc, rating,
                                   static_cast<unsigned>(info.m_imageNumber.value_or(0))));
    setOrRemove(x, "lumograph:LumoVersion", std::string("Lumo6"));
}

// JPEG's APP1 holds at most this many bytes of packet.
constexpr std::size_t kJPEGMaxMainPacket = 65502;

std::string upperHex(std::string hex) {
    for (char& c : hex)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return hex;
}

// Approximate serialised size of a property's subtree.
std::size_t propertySize(XmpPtr x, const std::string& ns, const std::string& name) {
    std::size_t size = name.size() * 2 + 8;
    XmpIteratorPtr it = xmp_iterator_new(x, ns.c_str(), name.c_str(), XMP_ITER_PROPERTIES);
    if (!it)
        return size;
    XStr schema, path, value;
    std::uint32_t options = 0;
    while (xmp_iterator_next(it, schema.get(), path.get(), value.get(), &options))
        size += xmp_string_len(value.get()) + 24;
    xmp_iterator_free(it);
    return size;
}

} // namespace

bool IPTCXMPInitialize() {
    return ensureInitialized();
}

void IPTCXMPTerminate() {
    const std::lock_guard lock(gInitMutex);
    if (!gInitialized)
        return;
    LUMO_LOG("Closing up XMP Files library");
    LUMO_LOG("Closing up XMP Core library");
    xmp_terminate();
    gInitialized = false;
}

bool LoadXMPMetadata(const IPTCEncodingSettings& settings, const char* packet, std::size_t length,
                     NRFImageInfoRec* info, bool templateMode, IPTCRec* record) {
    try {
        if (!record || !ensureInitialized())
            return false;
        Meta meta;
        if (!parsePacket(meta, packet, length, "IPTC_XMP_Utils::LoadXMPMetadata()"))
            return false;
        const IndexScope index(meta.get());
        Reader(settings, meta.get(), packet, length, templateMode, *record).readIPTC();
        if (info) {
            readStateIntoInfo(meta.get(), *info);
            readCrop(meta.get(), *info);
            if (!info->m_hasGPS)
                readGPS(meta.get(), *info);
        }
        return true;
    } catch (const std::exception& ex) {
        LUMO_LOG("Unexpected exception in IPTC_XMP_Utils::LoadXMPMetadata(): %s", ex.what());
    } catch (...) {
        LUMO_LOG("Unexpected exception in IPTC_XMP_Utils::LoadXMPMetadata()");
    }
    return false;
}

bool XMPReadImageState(const std::string& packet, NRFImageInfoRec& info) {
    try {
        if (!ensureInitialized())
            return false;
        Meta meta;
        if (!parsePacket(meta, packet.data(), packet.size(), "IPTC_XMP_Utils::XMPReadImageState()"))
            return false;
        const IndexScope index(meta.get());
        readStateIntoInfo(meta.get(), info);
        readCrop(meta.get(), info);
        readOrientation(meta.get(), info);
        return true;
    } catch (...) {
        LUMO_LOG("Unexpected exception in IPTC_XMP_Utils::XMPReadImageState()");
    }
    return false;
}

bool XMPJoinExtended(std::string& main, const std::string& extended) {
    try {
        if (!ensureInitialized() || main.size() + extended.size() > kXMPMaxPacketSize)
            return false;
        if (extended.empty())
            return true;
        // The extension's descriptions go into the main packet's RDF, where the parser merges them.
        const std::size_t rdf = extended.find("<rdf:RDF");
        const std::size_t rdfBodyStart = rdf == std::string::npos ? rdf : extended.find('>', rdf);
        const std::size_t rdfEnd = extended.rfind("</rdf:RDF>");
        const std::size_t mainEnd = main.rfind("</rdf:RDF>");
        if (rdfBodyStart == std::string::npos || rdfEnd == std::string::npos || rdfEnd <= rdfBodyStart ||
            mainEnd == std::string::npos) {
            LUMO_LOG("IPTC_XMP_Utils::XMPJoinExtended(): the extended XMP holds no RDF");
            return false;
        }
        std::string joined = main.substr(0, mainEnd);
        joined.append(extended, rdfBodyStart + 1, rdfEnd - rdfBodyStart - 1);
        joined.append(main, mainEnd, std::string::npos);
        Meta meta;
        if (!parsePacket(meta, joined.data(), joined.size(), "IPTC_XMP_Utils::XMPJoinExtended()"))
            return false;
        const Prop note = prop("xmpNote:HasExtendedXMP");
        if (xmp_has_property(meta.get(), note.ns.c_str(), note.path.c_str()))
            xmp_delete_property(meta.get(), note.ns.c_str(), note.path.c_str());
        std::string out;
        if (!serialize(meta, XMPSerializeOptions{false, true}, false, out,
                       "IPTC_XMP_Utils::XMPJoinExtended()"))
            return false;
        main = std::move(out);
        return true;
    } catch (...) {
        LUMO_LOG("Unexpected exception in IPTC_XMP_Utils::XMPJoinExtended()");
    }
    return false;
}

bool XMPSplitForJPEG(const std::string& full, std::string& main, std::string& extended, std::string& guid) {
    try {
        extended.clear();
        guid.clear();
        if (full.size() <= kJPEGMaxMainPacket) {
            main = full;
            return true;
        }
        if (!ensureInitialized())
            return false;
        constexpr const char* where = "IPTC_XMP_Utils::XMPSplitForJPEG()";
        Meta whole;
        if (!parsePacket(whole, full.data(), full.size(), where))
            return false;
        const Prop note = prop("xmpNote:HasExtendedXMP");
        const XMPSerializeOptions tight{false, true};
        // (xmp_copy shares the tree with its source, so each copy is parsed anew.)
        Meta mainMeta;
        if (!parsePacket(mainMeta, full.data(), full.size(), where))
            return false;
        xmp_set_property(mainMeta.get(), note.ns.c_str(), note.path.c_str(), std::string(32, '0').c_str(), 0);
        std::string text;
        if (!serialize(mainMeta, tight, true, text, where))
            return false;
        if (text.size() <= kJPEGMaxMainPacket) {
            // fits once serialised compactly: no extension needed
            xmp_delete_property(mainMeta.get(), note.ns.c_str(), note.path.c_str());
            return serialize(mainMeta, tight, true, main, where);
        }
        // Move the largest properties to the extension until the main packet fits.
        std::vector<std::pair<std::size_t, std::pair<std::string, std::string>>> bySize;
        for (auto& property : topLevelProperties(whole.get()))
            if (!(property.first == note.ns && property.second == note.path))
                bySize.emplace_back(propertySize(whole.get(), property.first, property.second),
                                    std::move(property));
        std::stable_sort(bySize.begin(), bySize.end(),
                         [](const auto& a, const auto& b) { return a.first > b.first; });
        std::vector<std::pair<std::string, std::string>> moved;
        for (const auto& [size, property] : bySize) {
            xmp_delete_property(mainMeta.get(), property.first.c_str(), property.second.c_str());
            moved.push_back(property);
            if (!serialize(mainMeta, tight, true, text, where))
                return false;
            if (text.size() <= kJPEGMaxMainPacket)
                break;
        }
        if (text.size() > kJPEGMaxMainPacket) {
            LUMO_LOG("%s: the main packet does not fit a JPEG segment", where);
            return false;
        }
        Meta extension;
        if (!parsePacket(extension, full.data(), full.size(), where))
            return false;
        for (const auto& property : topLevelProperties(whole.get()))
            if (std::find(moved.begin(), moved.end(), property) == moved.end())
                xmp_delete_property(extension.get(), property.first.c_str(), property.second.c_str());
        if (!serialize(extension, XMPSerializeOptions{false, false}, true, extended, where))
            return false;
        guid = upperHex(lumo::pathDigest(extended));
        xmp_set_property(mainMeta.get(), note.ns.c_str(), note.path.c_str(), guid.c_str(), 0);
        return serialize(mainMeta, tight, true, main, where);
    } catch (...) {
        LUMO_LOG("Unexpected exception in IPTC_XMP_Utils::XMPSplitForJPEG()");
    }
    main.clear();
    extended.clear();
    guid.clear();
    return false;
}

bool XMPUpdateIPTC(const IPTCEncodingSettings& settings, const std::string* existing, const IPTCRec& record,
                   const NRFImageInfoRec* info, const XMPSerializeOptions& options, std::string& out) {
    try {
        if (!ensureInitialized())
            return false;
        Meta meta;
        const bool merging = existing && !existing->empty();
        if (!parsePacket(meta, merging ? existing->data() : nullptr, merging ? existing->size() : 0,
                         "IPTC_XMP_Utils::XMPUpdateIPTC()"))
            return false;
        if (merging)
            removeAppleProperties(meta.get());
        const IndexScope index(meta.get());
        Writer(settings, meta.get(), record, false, info).writeAll();
        return serialize(meta, options, false, out, "IPTC_XMP_Utils::XMPUpdateIPTC()");
    } catch (const std::exception& ex) {
        LUMO_LOG("Unexpected exception in IPTC_XMP_Utils::XMPUpdateIPTC(): %s", ex.what());
    } catch (...) {
        LUMO_LOG("Unexpected exception in IPTC_XMP_Utils::XMPUpdateIPTC()");
    }
    return false;
}

std::string BuildIPTCRecordAsXMP(const IPTCEncodingSettings& settings, const IPTCRec& record,
                                 bool templateMode) {
    try {
        if (!ensureInitialized())
            return {};
        Meta meta;
        if (!meta)
            return {};
        const IndexScope index(meta.get());
        Writer(settings, meta.get(), record, templateMode, nullptr).writeAll();
        std::string out;
        if (serialize(meta, XMPSerializeOptions{}, false, out, "IPTC_XMP_Utils::BuildIPTCRecordAsXMP()"))
            return out;
    } catch (...) {
        LUMO_LOG("Unexpected exception in IPTC_XMP_Utils::BuildIPTCRecordAsXMP()");
    }
    return {};
}

bool XMPUpdateXMP(const IPTCEncodingSettings&, const std::string* existing, const NRFImageInfoRec& info,
                  unsigned what, const XMPSerializeOptions& options, std::string& out) {
    try {
        if (!ensureInitialized())
            return false;
        Meta meta;
        const bool merging = existing && !existing->empty();
        if (!parsePacket(meta, merging ? existing->data() : nullptr, merging ? existing->size() : 0,
                         "IPTC_XMP_Utils::XMPUpdateXMP()"))
            return false;
        const IndexScope index(meta.get());
        if (what & kXMPUpdateGPS)
            writeGPS(meta.get(), info);
        if (what & kXMPUpdateOrientation)
            writeOrientation(meta.get(), info);
        if (what & kXMPUpdateCrop)
            writeCrop(meta.get(), info);
        if (what & kXMPUpdateImageState)
            writeImageState(meta.get(), info);
        return serialize(meta, options, false, out, "IPTC_XMP_Utils::XMPUpdateXMP()");
    } catch (...) {
        LUMO_LOG("Unexpected exception in IPTC_XMP_Utils::XMPUpdateXMP()");
    }
    return false;
}

bool PropertyExistsInXMP(const std::string& packet, const char* namespaceURI, const char* path) {
    try {
        if (!namespaceURI || !path || !*namespaceURI || !*path || !ensureInitialized())
            return false;
        Meta meta;
        if (!parsePacket(meta, packet.data(), packet.size(), "IPTC_XMP_Utils::PropertyExistsInXMP()"))
            return false;
        return xmp_has_property(meta.get(), namespaceURI, path);
    } catch (...) {
        LUMO_LOG("Unexpected exception in IPTC_XMP_Utils::PropertyExistsInXMP()");
    }
    return false;
}

std::string GetACRSettingsDigest(const std::string& packet) {
    try {
        if (!ensureInitialized())
            return {};
        Meta meta;
        if (!parsePacket(meta, packet.data(), packet.size(), "IPTC_XMP_Utils::GetACRSettingsDigest()"))
            return {};
        std::string digest;
        for (const char* name :
             {"crs:AlreadyApplied", "crs:CropAngle", "crs:CropBottom", "crs:CropConstrainToWarp",
              "crs:CropLeft", "crs:CropRight", "crs:CropTop", "crs:HasCrop"})
            if (const std::optional<std::string> value = getText(meta.get(), prop(name))) {
                if (!digest.empty())
                    digest += '\n';
                digest += lumo::formatString("%s=%s", name, value->c_str());
            }
        return digest;
    } catch (...) {
        LUMO_LOG("Unexpected exception in IPTC_XMP_Utils::GetACRSettingsDigest()");
    }
    return {};
}
