#include "contactsheet/ContactSheetFilter.h"

#include "NRF/NRF.h"
#include "app/LumoLog.h"
#include "cache/LumoCache.h"
#include "db/LumoSortCache.h"
#include "support/TextUtils.h"

#include <openssl/evp.h>

#include <cstdio>
#include <string_view>

namespace {

constexpr NRFFileType kTypeIllegal = NRFMakeFileType("ILGL");
constexpr char kRogueFileName[] = "desktop.ini";
// Files other systems leave in photo folders and hide by their own means.
constexpr std::string_view kSpecialHiddenNames[] = {"Thumbs.db", "ehthumbs.db", "Icon\r"};

bool isSpecialHidden(std::string_view name) {
    if (!name.empty() && name.front() == '.')
        return true;
    for (const std::string_view special : kSpecialHiddenNames)
        if (lumo::iequals(name, special))
            return true;
    return false;
}

void putLE(unsigned char* out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out[i] = static_cast<unsigned char>(value >> (8 * i));
}

} // namespace

struct ContactSheetFilter::Digest {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    Digest() {
        if (context)
            EVP_DigestInit_ex(context, EVP_md5(), nullptr);
    }
    ~Digest() { EVP_MD_CTX_free(context); }
    Digest(const Digest&) = delete;
    Digest& operator=(const Digest&) = delete;
};

ContactSheetFilter::ContactSheetFilter(bool includeProxies)
    : m_digest(std::make_unique<Digest>()), m_includeProxies(includeProxies),
      m_logDecisions(isDebugFlagOn(DebugFlag::SHOW_DIRSCAN_FILTER)) {}

ContactSheetFilter::~ContactSheetFilter() {
    try {
        purgeStaleSortRows();
    } catch (...) {
        LUMO_LOG("Unexpected exception in ContactSheetFilter::~ContactSheetFilter()");
    }
}

void ContactSheetFilter::purgeStaleSortRows() {
    std::vector<SortCandidate> candidates = std::move(m_sortCandidates);
    m_sortCandidates.clear();
    if (candidates.empty() || !LumoSortCache::isRunning())
        return;
    std::vector<std::string> paths;
    paths.reserve(candidates.size());
    for (const SortCandidate& candidate : candidates)
        paths.push_back(candidate.path);
    std::vector<LumoSortCacheInfo> rows;
    std::vector<bool> found;
    LumoSortCache::GetSortInfoForMany(paths, rows, found);
    for (std::size_t i = 0; i < candidates.size() && i < rows.size() && i < found.size(); ++i) {
        const SortCandidate& file = candidates[i];
        const LumoSortCacheInfo* row = &rows[i];
        if (!found[i] || (row->FileSize == file.size &&
                          row->ModificationTime == static_cast<std::uint64_t>(file.lastWriteTime)))
            continue;
        LUMO_CHANNEL_LOG(
            DebugFlag::SORT_CACHE_LOGGING,
            "ContactSheetFilter::accept() sort data for '%s' rejected size(%ld, %ld) mod_time(%ld, %ld)",
            file.path.c_str(), static_cast<long>(row->FileSize), static_cast<long>(file.size),
            static_cast<long>(row->ModificationTime), static_cast<long>(file.lastWriteTime));
        LumoSortCache::purgeSortInfoFor(file.path);
        if (LumoCache* cache = LumoCache::instance())
            cache->forget(file.path);
    }
}

std::string ContactSheetFilter::digest() const {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    EVP_MD_CTX* copy = EVP_MD_CTX_new();
    const bool ok = copy && m_digest->context && EVP_MD_CTX_copy_ex(copy, m_digest->context) == 1 &&
                    EVP_DigestFinal_ex(copy, md, &length) == 1;
    EVP_MD_CTX_free(copy);
    if (!ok)
        return {};
    std::string text;
    char hex[3];
    for (unsigned i = 0; i < length; ++i) {
        std::snprintf(hex, sizeof hex, "%02x", md[i]);
        text += hex;
    }
    return text;
}

bool ContactSheetFilter::accept(DirectoryEntry& entry, const std::string& folder, const std::string& name) {
    const char* const cname = name.c_str();
    // 1. attributes
    const std::uint32_t attributes = entry.attributes;
    if (attributes & (kEntryDirectory | kEntryHidden | kEntrySystem | kEntryLink)) {
        if (m_logDecisions) {
            if (attributes & kEntryHidden)
                LUMO_LOG("Rejecting \"%s\" due to having hidden attribute set", cname);
            if (attributes & kEntrySystem)
                LUMO_LOG("Rejecting \"%s\" due to having system attribute set", cname);
            if (attributes & kEntryLink)
                LUMO_LOG("Rejecting \"%s\" due to having link attribute set", cname);
            if (attributes & kEntryDirectory)
                LUMO_LOG("Rejecting \"%s\" because it is a directory", cname);
        }
        return false;
    }
    // 2. dot files and the special hidden names
    if (isSpecialHidden(name)) {
        if (m_logDecisions)
            LUMO_LOG("Rejecting \"%s\" due to name beginning with dot (.) (or special hidden file)", cname);
        return false;
    }
    // 3. the rogue file
    if (lumo::iequals(name, kRogueFileName)) {
        if (m_logDecisions)
            LUMO_LOG("Rejecting rogue \"%s\" file", cname);
        return false;
    }

    const std::string path = folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
    bool accepted = false;
    // 4. recognition by name (a content check only where the extension alone does not decide)
    NRFFileType type = 0;
    std::uint32_t capabilities = 0;
    if (NRFGetType(path.c_str(), &type, false) == kNRFErrNone && type != 0 &&
        NRFGetCapabilities(type, &capabilities) == kNRFErrNone) {
        entry.fileType = type;
        entry.isRaw = (capabilities & kNRFCapRawPreview) != 0;
        if (m_logDecisions)
            LUMO_LOG("Accepting \"%s\"", cname);
        ++(entry.isRaw ? m_raw : m_nonRaw);
        accepted = true;
    } else {
        // 5. the broader recognition: sidecars and files of a known extension that failed their
        // content check are not photos; anything else may be shown as a proxy.
        bool known = false;
        bool representable = false;
        if (NRFIsAKnownFileType(path.c_str(), &known) != kNRFErrNone)
            known = false;
        if (!known && NRFCouldRepresentWithProxy(path.c_str(), &representable) != kNRFErrNone)
            representable = false;
        entry.isRaw = false;
        if (known || !representable) {
            entry.fileType = kTypeIllegal;
            if (m_logDecisions)
                LUMO_LOG("Rejecting unknown file \"%s\"", cname);
        } else if (m_includeProxies) {
            entry.fileType = kNRFTypeProxy;
            accepted = true;
        } else {
            entry.fileType = kTypeIllegal;
            if (m_logDecisions)
                LUMO_LOG("Rejecting unknown file \"%s\" due to proxies being disabled", cname);
        }
        ++m_unknown;
    }

    // 6. a sort-cache row of an earlier state of the file is stale: purged with what the image cache
    // holds for the file (checked for the whole folder at once, purgeStaleSortRows)
    if (entry.fileType != kTypeIllegal && entry.fileType != kNRFTypeProxy)
        m_sortCandidates.push_back({path, entry.size, entry.lastWriteTime});

    // 7. the folder digest: name, size, last-write time, attributes (little-endian)
    if (m_digest->context) {
        unsigned char numbers[20];
        putLE(numbers, entry.size, 8);
        putLE(numbers + 8, static_cast<std::uint64_t>(entry.lastWriteTime), 8);
        putLE(numbers + 16, entry.attributes, 4);
        EVP_DigestUpdate(m_digest->context, name.data(), name.size());
        EVP_DigestUpdate(m_digest->context, numbers, sizeof numbers);
    }
    return accepted;
}
