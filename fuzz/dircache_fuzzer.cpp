// The directory cache's reader over any bytes. The folders the file names are taken as the sheet's (so
// that inputs get past that check); whatever the reader takes must hold together as the scan would
// have listed it, and write back and read again as the same listing.

#include "archive/PacketBuf.h"
#include "archive/VObject.h"
#include "contactsheet/DirectoryCache.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

namespace {

// The "folders" of the file, when it has such a list of strings at all.
std::vector<std::string> foldersNamed(const std::string& bytes) {
    std::vector<std::string> folders;
    if (bytes.size() < 8)
        return folders;
    CILA::PacketBuf in;
    in.assign(bytes.data() + 8, bytes.size() - 8);
    try {
        const CILA::VObject root = CILA::VObject::deserialize(in);
        if (const CILA::VObject* list = root.fetch("folders");
            list && list->type() == CILA::VObject::DT_VECTOR)
            for (const CILA::VObject& folder : list->getvec())
                if (folder.type() == CILA::VObject::DT_STR)
                    folders.push_back(folder.getstr());
    } catch (const std::exception&) {
    }
    return folders;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> folders = foldersNamed(bytes);
    for (const bool proxies : {false, true}) {
        FolderScanResult listing;
        if (!DirectoryCacheDecode(bytes, folders, proxies, listing)) {
            if (!listing.entries.empty() || !listing.digest.empty())
                std::abort();
            continue;
        }
        if (listing.digest.size() != 32 || listing.entries.size() > size ||
            listing.raw + listing.nonRaw + listing.unknown != listing.entries.size())
            std::abort();
        for (const FolderScanEntry& entry : listing.entries)
            if (entry.entry.name.empty() || entry.entry.name.find('/') != std::string::npos ||
                entry.entry.name.find('\0') != std::string::npos || entry.entry.name[0] == '.')
                std::abort();
        FolderScanResult back;
        if (!DirectoryCacheDecode(DirectoryCacheEncode(folders, proxies, listing), folders, proxies, back) ||
            back.digest != listing.digest || back.entries.size() != listing.entries.size())
            std::abort();
        for (std::size_t i = 0; i < back.entries.size(); ++i) {
            const DirectoryEntry& a = listing.entries[i].entry;
            const DirectoryEntry& b = back.entries[i].entry;
            if (listing.entries[i].folder != back.entries[i].folder || a.name != b.name || a.size != b.size ||
                a.lastWriteTime != b.lastWriteTime || a.attributes != b.attributes ||
                a.fileType != b.fileType || a.isRaw != b.isRaw)
                std::abort();
        }
        // The other proxy setting, or other folders, never take it.
        if (DirectoryCacheDecode(bytes, folders, !proxies, back) ||
            DirectoryCacheDecode(bytes, std::vector<std::string>(folders.size() + 1, "/x"), proxies, back))
            std::abort();
    }
    return 0;
}
