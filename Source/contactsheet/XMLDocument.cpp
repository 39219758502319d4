#include "contactsheet/XMLDocument.h"

#include <libxml/tree.h>

#include <cstdio>

namespace {

const xmlChar* X(const std::string& text) {
    return reinterpret_cast<const xmlChar*>(text.c_str());
}

} // namespace

XMLDocument::XMLDocument(const std::string& rootName) {
    m_doc = xmlNewDoc(BAD_CAST "1.0");
    m_root = xmlNewDocNode(m_doc, nullptr, X(rootName), nullptr);
    xmlDocSetRootElement(m_doc, m_root);
}

XMLDocument::~XMLDocument() {
    xmlFreeDoc(m_doc);
}

XMLDocument::Node XMLDocument::AddElement(Node parent, const std::string& name) {
    return xmlNewChild(parent, nullptr, X(name), nullptr);
}

XMLDocument::Node XMLDocument::AddText(Node parent, const std::string& name, const std::string& text) {
    return xmlNewTextChild(parent, nullptr, X(name), X(text));
}

XMLDocument::Node XMLDocument::AddUnsigned(Node parent, const std::string& name, std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%u", value);
    return AddText(parent, name, text);
}

XMLDocument::Node XMLDocument::AddSigned(Node parent, const std::string& name, std::int32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", value);
    return AddText(parent, name, text);
}

XMLDocument::Node XMLDocument::AddDouble(Node parent, const std::string& name, double value) {
    char text[400];
    std::snprintf(text, sizeof text, "%lf", value);
    return AddText(parent, name, text);
}

XMLDocument::Node XMLDocument::AddDate(Node parent, const std::string& name, int day, int month, int year) {
    Node node = AddElement(parent, name);
    SetAttribute(node, "Day", std::to_string(day));
    SetAttribute(node, "Month", std::to_string(month));
    SetAttribute(node, "Year", std::to_string(year));
    return node;
}

void XMLDocument::SetAttribute(Node node, const std::string& name, const std::string& value) {
    xmlSetProp(node, X(name), X(value));
}

std::string XMLDocument::Text() const {
    xmlChar* buffer = nullptr;
    int size = 0;
    xmlDocDumpFormatMemoryEnc(m_doc, &buffer, &size, "UTF-8", 1);
    std::string text(reinterpret_cast<const char*>(buffer), buffer && size > 0 ? size : 0);
    xmlFree(buffer);
    return text;
}

bool XMLDocument::IsXMLText(const std::string& text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        std::uint32_t c = *p;
        int more = 0;
        if (c < 0x80)
            more = 0;
        else if ((c & 0xE0) == 0xC0)
            c &= 0x1F, more = 1;
        else if ((c & 0xF0) == 0xE0)
            c &= 0x0F, more = 2;
        else if ((c & 0xF8) == 0xF0)
            c &= 0x07, more = 3;
        else
            return false;
        if (end - p <= more)
            return false;
        for (int i = 1; i <= more; ++i) {
            if ((p[i] & 0xC0) != 0x80)
                return false;
            c = (c << 6) | (p[i] & 0x3F);
        }
        static constexpr std::uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
        if (c < kLeast[more])
            return false; // overlong
        // XML 1.0 Char: #x9 | #xA | #xD | [#x20-#xD7FF] | [#xE000-#xFFFD] | [#x10000-#x10FFFF]
        const bool ok = c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
                        (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
        if (!ok)
            return false;
        p += more + 1;
    }
    return true;
}
