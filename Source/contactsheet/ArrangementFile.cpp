#include "contactsheet/ArrangementFile.h"

#include "app/LumoLog.h"
#include "app/LumoPaths.h"
#include "contactsheet/XMLDocument.h"
#include "support/FileIO.h"
#include "support/PathDigest.h"
#include "support/QuietXMLErrors.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unordered_map>

namespace {

constexpr char kRootSingle[] = "Arrangement";
constexpr char kRootMulti[] = "Multi-Folder";
constexpr char kFilesArray[] = "FilesArray";
constexpr char kPathsArray[] = "PathsArray";

std::string itemName(std::size_t index) {
    char name[24];
    std::snprintf(name, sizeof name, "item_%08x", static_cast<unsigned>(index));
    return name;
}

std::string toHex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        out += kDigits[static_cast<unsigned char>(c) >> 4];
        out += kDigits[static_cast<unsigned char>(c) & 15];
    }
    return out;
}

bool fromHex(const std::string& text, std::string& out) {
    if (text.size() % 2)
        return false;
    out.clear();
    const auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = digit(text[i]), low = digit(text[i + 1]);
        if (high < 0 || low < 0)
            return false;
        out += static_cast<char>(high * 16 + low);
    }
    return true;
}

void addArray(XMLDocument& doc, const char* arrayName, const std::vector<std::string>& values) {
    const XMLDocument::Node array = doc.AddElement(doc.Root(), arrayName);
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (XMLDocument::IsXMLText(values[i])) {
            doc.AddText(array, itemName(i), values[i]);
        } else {
            const XMLDocument::Node item = doc.AddText(array, itemName(i), toHex(values[i]));
            doc.SetAttribute(item, "hex", "1");
        }
    }
}

bool named(const xmlNode* node, const char* name) {
    return node->type == XML_ELEMENT_NODE &&
           std::strcmp(reinterpret_cast<const char*>(node->name), name) == 0;
}

// The text directly inside `node` (text and CDATA children only: nothing is expanded).
std::string textOf(const xmlNode* node) {
    std::string text;
    for (const xmlNode* child = node->children; child; child = child->next)
        if ((child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE) && child->content)
            text += reinterpret_cast<const char*>(child->content);
    return text;
}

// The items of an array in document order; false when an item cannot be read or there are too many.
bool readArray(const xmlNode* array, std::vector<std::string>& out) {
    for (const xmlNode* item = array->children; item; item = item->next) {
        if (item->type != XML_ELEMENT_NODE)
            continue;
        if (std::strncmp(reinterpret_cast<const char*>(item->name), "item_", 5) != 0)
            continue;
        if (out.size() >= kArrangementMaxItems)
            return false;
        std::string value = textOf(item);
        xmlChar* hex = xmlGetProp(item, BAD_CAST "hex");
        const bool isHex = hex && std::strcmp(reinterpret_cast<const char*>(hex), "1") == 0;
        xmlFree(hex);
        if (isHex) {
            std::string bytes;
            if (!fromHex(value, bytes))
                return false;
            value = std::move(bytes);
        }
        out.push_back(std::move(value));
    }
    return true;
}

} // namespace

std::string ArrangementFilePath(const std::vector<std::string>& folders) {
    if (folders.empty())
        return {};
    if (folders.size() == 1) {
        std::string folder = folders.front();
        while (folder.size() > 1 && folder.back() == '/')
            folder.pop_back();
        return folder + "/" + kArrangementFileName;
    }
    std::vector<std::string> sorted = folders;
    std::sort(sorted.begin(), sorted.end());
    std::string joined;
    for (const std::string& folder : sorted)
        joined += folder + "\n";
    return LumoPaths::imageCacheFolder() + "/Arrangements/" + lumo::pathDigest(joined) + kArrangementFileName;
}

std::string ArrangementToXML(const ArrangementData& arrangement) {
    XMLDocument doc(arrangement.multiFolder ? kRootMulti : kRootSingle);
    if (arrangement.multiFolder)
        addArray(doc, kPathsArray, arrangement.paths);
    addArray(doc, kFilesArray, arrangement.files);
    return doc.Text();
}

bool ArrangementFromXML(const std::string& text, ArrangementData& out) {
    out = {};
    const lumo::XMLDocumentPtr doc = lumo::parseOwnXMLDocument(text, kArrangementMaxFileSize);
    if (!doc)
        return false;
    const xmlNode* root = xmlDocGetRootElement(doc.get());
    if (named(root, kRootMulti))
        out.multiFolder = true;
    else if (!named(root, kRootSingle))
        return false;
    bool sawFiles = false;
    for (const xmlNode* child = root->children; child; child = child->next) {
        if (named(child, kFilesArray) && !sawFiles) {
            sawFiles = true;
            if (!readArray(child, out.files))
                return false;
        } else if (named(child, kPathsArray) && out.multiFolder && out.paths.empty()) {
            if (!readArray(child, out.paths))
                return false;
        }
    }
    return sawFiles;
}

bool ReadArrangementFile(const std::string& path, ArrangementData& out) {
    out = {};
    std::string text;
    const int err = lumo::readFile(path, text, kArrangementMaxFileSize + 1);
    if (err == ENOENT)
        return false;
    if (err != 0) {
        LUMO_LOG("ReadArrangementFile() could not read '%s': %s", path.c_str(), std::strerror(err));
        return false;
    }
    if (!ArrangementFromXML(text, out)) {
        LUMO_LOG("ReadArrangementFile() '%s' is not an arrangement, ignored", path.c_str());
        out = {};
        return false;
    }
    return true;
}

int WriteArrangementFile(const std::string& path, const ArrangementData& arrangement) {
    const std::size_t slash = path.rfind('/');
    if (arrangement.multiFolder && slash != std::string::npos && slash > 0)
        if (const int err = lumo::createDirectories(path.substr(0, slash)))
            return err;
    const int err = lumo::writeFileReplacing(path, ArrangementToXML(arrangement));
    if (err)
        LUMO_LOG("WriteArrangementFile() could not write '%s': %s", path.c_str(), std::strerror(err));
    return err;
}

std::vector<std::uint32_t> ArrangedOrder(const std::vector<std::string>& arranged,
                                         const std::vector<std::string>& names) {
    std::unordered_map<std::string, std::uint32_t> position; // name -> place in the arrangement
    position.reserve(arranged.size());
    for (std::size_t i = 0; i < arranged.size(); ++i)
        position.emplace(arranged[i], static_cast<std::uint32_t>(i)); // the first place of a name counts
    std::vector<std::pair<std::uint32_t, std::uint32_t>> placed;      // (place, index)
    std::vector<std::uint32_t> rest;
    std::vector<bool> taken(arranged.size(), false);
    for (std::size_t i = 0; i < names.size(); ++i) {
        const auto at = position.find(names[i]);
        if (at != position.end() && !taken[at->second]) {
            taken[at->second] = true;
            placed.emplace_back(at->second, static_cast<std::uint32_t>(i));
        } else {
            rest.push_back(static_cast<std::uint32_t>(i));
        }
    }
    std::sort(placed.begin(), placed.end());
    std::vector<std::uint32_t> order;
    order.reserve(names.size());
    for (const auto& [place, index] : placed)
        order.push_back(index);
    order.insert(order.end(), rest.begin(), rest.end());
    return order;
}
