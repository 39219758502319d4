#pragma once

// For the libxml2 users above this layer (header only: they link libxml2 themselves).

#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <mutex>

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

} // namespace lumo
