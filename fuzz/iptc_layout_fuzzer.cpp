// A stored editor or template layout over any bytes: whatever is read is reconciled into a complete
// layout (every catalogue field and group label once), which writes and reads back unchanged. Then the
// same bytes as a field-list setting.

#include "FuzzSupport.h"
#include "metadata/IPTCCatalogue.h"
#include "metadata/IPTCLayout.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lumoFuzzScratchFolder();
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::size_t complete = IPTCCatalogue().size() + 20;
    for (const IPTCLayoutKind kind : {IPTCLayoutKind::Editor, IPTCLayoutKind::Template}) {
        std::vector<CIPTCFieldInfo> entries;
        if (!IPTCLayoutFromXML(text, kind, entries)) {
            if (!entries.empty())
                std::abort();
            continue;
        }
        std::set<std::string> identifiers;
        for (const CIPTCFieldInfo& entry : entries)
            if (!identifiers.insert(entry.m_Identifier).second || entry.m_NumRows < 0 || entry.m_Column < 0 ||
                entry.m_Column > 1)
                std::abort();
        if (entries.size() != complete)
            std::abort();
        std::vector<CIPTCFieldInfo> back;
        if (!IPTCLayoutFromXML(IPTCLayoutToXML(entries, kind), kind, back) || back != entries)
            std::abort();
    }
    for (const std::string& identifier : IPTCParseFieldList(text))
        if (identifier != "Date" && !IPTCFindCatalogueEntry(identifier))
            std::abort();
    return 0;
}
