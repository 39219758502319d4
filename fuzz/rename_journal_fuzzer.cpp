// The rename journal's reader over any bytes: every name it would rebuild stays inside the journal's
// folder, and what it takes writes back and reads again as the same journal.

#include "fileops/RenameJournal.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

bool staysInFolder(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    RenameJournal journal;
    if (!ParseRenameJournal(text, journal))
        return 0;
    for (const RenameJournalEntry& entry : journal.entries)
        for (const std::string& suffix : entry.suffixes)
            if (!staysInFolder(entry.originalStem + suffix) || !staysInFolder(entry.temporaryStem + suffix) ||
                (!entry.newStem.empty() && !staysInFolder(entry.newStem + suffix)))
                std::abort();
    RenameJournal back;
    if (!ParseRenameJournal(RenameJournalText(journal), back) || back.entries != journal.entries ||
        !(back.owner == journal.owner))
        std::abort();
    return 0;
}
