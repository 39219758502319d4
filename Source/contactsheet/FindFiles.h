#pragma once

// Listing one folder and passing every entry through a filter, which decides what becomes an item.

#include "NRF/NRFPlugin.h"

#include <cstdint>
#include <string>
#include <vector>

// One file listed.
struct DirectoryEntry {
    std::string name;
    std::uint64_t size = 0;
    std::int64_t lastWriteTime = 0; // nanoseconds since 1970
    std::uint32_t attributes = 0;   // kEntry... bits
    NRFFileType fileType = 0;       // set by the filter; 'ILGL' not accepted, 'PRXY' a proxy item
    bool isRaw = false;
};

enum : std::uint32_t {
    kEntryDirectory = 0x1000,
    kEntryHidden = 0x2000, // the file system's hidden flag (FAT, exFAT, SMB)
    kEntrySystem = 0x4000,
    kEntryLink = 0x8000, // a symbolic link
};

class FindFiles {
public:
    class Filter {
    public:
        virtual ~Filter() = default;
        virtual bool accept(DirectoryEntry& entry, const std::string& folder, const std::string& name) = 0;
    };

    // Lists `folder` (not its subfolders), calling `filter` for each entry; the accepted entries, in
    // name order, go to `accepted`. 0, or the errno value when the folder cannot be read.
    static int List(const std::string& folder, Filter& filter, std::vector<DirectoryEntry>& accepted);
};
