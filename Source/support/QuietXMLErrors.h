#pragma once

// For the libxml2 users above this layer (header only: they link libxml2 themselves).

#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>

namespace lumo {

// libxml2 reports some problems (broken encodings) outside the parser's own switches; while one is in
// scope, what this thread parses is dropped instead of reaching the terminal.
class QuietXMLErrors {
public:
    QuietXMLErrors()
        : m_generic(xmlGenericError), m_genericContext(xmlGenericErrorContext),
          m_structured(xmlStructuredError), m_structuredContext(xmlStructuredErrorContext) {
        xmlSetGenericErrorFunc(nullptr, discardMessage);
        xmlSetStructuredErrorFunc(nullptr, discardError);
    }
    ~QuietXMLErrors() {
        xmlSetGenericErrorFunc(m_genericContext, m_generic);
        xmlSetStructuredErrorFunc(m_structuredContext, m_structured);
    }
    QuietXMLErrors(const QuietXMLErrors&) = delete;
    QuietXMLErrors& operator=(const QuietXMLErrors&) = delete;

    // The parser's global state is made once, before any thread parses.
    static void ensureParserReady() {
        static std::once_flag once;
        std::call_once(once, [] { xmlInitParser(); });
    }

private:
    static void discardMessage(void*, const char*, ...) {}
    static void discardError(void*, xmlError*) {}

    xmlGenericErrorFunc m_generic;
    void* m_genericContext;
    xmlStructuredErrorFunc m_structured;
    void* m_structuredContext;
};

struct XMLDocumentDeleter {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using XMLDocumentPtr = std::unique_ptr<xmlDoc, XMLDocumentDeleter>;

// `text` read as one of the program's own documents, or null: empty or larger than `maxSize`, not
// well-formed, without a root element, with a root not named `rootName` (when given), or carrying a
// document type (ours never do; one that does may define entities meant to blow up when expanded).
// No network, no entity substitution and no messages: whatever is in the file is only ever read as this
// document.
inline XMLDocumentPtr parseOwnXMLDocument(std::string_view text, std::size_t maxSize,
                                          const char* rootName = nullptr) {
    if (text.empty() || text.size() > maxSize || text.size() > 0x7fffffff)
        return nullptr;
    QuietXMLErrors::ensureParserReady();
    const QuietXMLErrors quiet;
    const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    XMLDocumentPtr doc(xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr, options));
    if (!doc)
        return nullptr;
    const xmlNode* root = xmlDocGetRootElement(doc.get());
    if (doc->intSubset || doc->extSubset || !root ||
        (rootName && std::strcmp(reinterpret_cast<const char*>(root->name), rootName) != 0))
        return nullptr;
    return doc;
}

} // namespace lumo
