#pragma once

// The contact sheet's filter: which files of a folder become items, their types, the stale sort-cache
// rows it purges on the way, and the digest of the folder's content that tells a rescan whether
// anything changed.

#include "contactsheet/FindFiles.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class ContactSheetFilter : public FindFiles::Filter {
public:
    // `includeProxies`: the preference "IncludeUnknownFilesAsProxies" (read by the caller).
    explicit ContactSheetFilter(bool includeProxies);
    ~ContactSheetFilter() override;

    bool accept(DirectoryEntry& entry, const std::string& folder, const std::string& name) override;

    std::uint64_t rawCount() const { return m_raw; }
    std::uint64_t nonRawCount() const { return m_nonRaw; }
    std::uint64_t unknownCount() const { return m_unknown; }
    // The digest so far, as 32 lower-case hexadecimal digits (the running digest goes on).
    std::string digest() const;
    // Checks the accepted files against the sort cache: a row whose file size or modification time
    // differs from the file's is purged, with what the image cache holds for the file. The rows of all
    // files accepted so far are fetched in one round trip; the destructor runs what is left.
    void purgeStaleSortRows();

private:
    struct SortCandidate {
        std::string path;
        std::uint64_t size;
        std::int64_t lastWriteTime;
    };
    std::vector<SortCandidate> m_sortCandidates;
    struct Digest;
    std::unique_ptr<Digest> m_digest;
    std::uint64_t m_raw = 0, m_nonRaw = 0, m_unknown = 0;
    bool m_includeProxies;
    bool m_logDecisions;
};
