#pragma once

// A small XML 1.0 document writer over libxml2: elements with text children, written in UTF-8 and
// indented. Integers are written as "%u" and "%d" text, floating-point numbers as "%lf" text, dates as
// an element with the attributes "Day", "Month" and "Year".

#include <cstdint>
#include <memory>
#include <string>

struct _xmlDoc;
struct _xmlNode;

class XMLDocument {
public:
    using Node = _xmlNode*;

    explicit XMLDocument(const std::string& rootName);
    ~XMLDocument();
    XMLDocument(const XMLDocument&) = delete;
    XMLDocument& operator=(const XMLDocument&) = delete;

    Node Root() const { return m_root; }
    Node AddElement(Node parent, const std::string& name);
    // The text is escaped; bytes that XML cannot hold must have been dealt with by the caller.
    Node AddText(Node parent, const std::string& name, const std::string& text);
    Node AddUnsigned(Node parent, const std::string& name, std::uint32_t value);
    Node AddSigned(Node parent, const std::string& name, std::int32_t value);
    Node AddDouble(Node parent, const std::string& name, double value);
    Node AddDate(Node parent, const std::string& name, int day, int month, int year);
    void SetAttribute(Node node, const std::string& name, const std::string& value);

    // The document as text: the XML declaration with UTF-8, then the indented elements.
    std::string Text() const;

    // True when `text` can be the text of an element as it is: well-formed UTF-8 of characters that
    // XML 1.0 allows.
    static bool IsXMLText(const std::string& text);

private:
    _xmlDoc* m_doc = nullptr;
    Node m_root = nullptr;
};
