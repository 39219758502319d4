#include "contactsheet/FolderScan.h"

#include "app/LumoLog.h"
#include "contactsheet/ContactSheetFilter.h"
#include "support/PathDigest.h"

#include <cctype>
#include <unordered_map>

std::string FolderScanEntry::path() const {
    if (folder.empty() || folder.back() == '/')
        return folder + entry.name;
    return folder + "/" + entry.name;
}

FolderScanResult ScanFolders(const std::vector<std::string>& folders, bool includeProxies) {
    FolderScanResult result;
    // The combined digest: each folder's path and its own digest, in the document's order.
    std::string combined;
    for (const std::string& folder : folders) {
        LUMO_CHANNEL_LOG(DebugFlag::SHOW_CSHEET_RESCAN, "Scanning path: '%s'", folder.c_str());
        ContactSheetFilter filter(includeProxies);
        std::vector<DirectoryEntry> accepted;
        const int error = FindFiles::List(folder, filter, accepted);
        filter.purgeStaleSortRows();
        if (error != 0 && result.error == 0)
            result.error = error;
        LUMO_CHANNEL_LOG(
            DebugFlag::SHOW_CSHEET_RESCAN, "File counts added for path, RAW(%lu), Non-RAW(%lu), Unknown(%lu)",
            static_cast<unsigned long>(filter.rawCount()), static_cast<unsigned long>(filter.nonRawCount()),
            static_cast<unsigned long>(filter.unknownCount()));
        result.raw += filter.rawCount();
        result.nonRaw += filter.nonRawCount();
        result.unknown += filter.unknownCount();
        combined += folder;
        combined += '\0';
        combined += error != 0 ? "unreadable:" + std::to_string(error) : filter.digest();
        combined += '\0';
        result.entries.reserve(result.entries.size() + accepted.size());
        for (DirectoryEntry& entry : accepted)
            result.entries.push_back(FolderScanEntry{folder, std::move(entry)});
    }
    result.digest = lumo::pathDigest(combined);
    return result;
}

std::string JoinBaseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot != 0)
        name.resize(dot);
    return name;
}

namespace {

// Partners are matched without regard to letter case (IMG_1.CR2 and IMG_1.jpg are one photo), within
// the same folder.
std::string joinKey(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    std::string key = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    for (const char c : JoinBaseName(path))
        key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return key;
}

// The partner preference: HEIF, then HEIC, then JPEG; 0 for a type that is no partner.
int partnerRank(NRFFileType type) {
    if (type == kNRFTypeHEIF)
        return 3;
    if (type == kNRFTypeHEIC)
        return 2;
    if (type == kNRFTypeJPEG)
        return 1;
    return 0;
}

} // namespace

std::vector<DocumentItem::Ref> JoinRawPlusJpeg(std::vector<DocumentItem::Ref> items) {
    // Every single JPEG, HEIF and HEIC item under its base name.
    std::unordered_map<std::string, std::vector<std::size_t>> partners;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const DocumentItem& item = *items[i];
        if (!item.HasCompanion() && partnerRank(item.FileType()) > 0)
            partners[joinKey(item.FullPath())].push_back(i);
    }
    if (partners.empty())
        return items;
    std::vector<bool> taken(items.size(), false);
    for (std::size_t i = 0; i < items.size(); ++i) {
        DocumentItem& item = *items[i];
        const NRFFileType type = item.FileType();
        // Only raw files take a partner; DNG files (which carry their own full preview) and proxies
        // never do.
        if (taken[i] || item.HasCompanion() || !item.IsRaw() || type == kNRFTypeADNG || type == kNRFTypeProxy)
            continue;
        const auto found = partners.find(joinKey(item.FullPath()));
        if (found == partners.end())
            continue;
        std::size_t chosen = items.size();
        for (const std::size_t candidate : found->second)
            if (!taken[candidate] && (chosen == items.size() || partnerRank(items[candidate]->FileType()) >
                                                                    partnerRank(items[chosen]->FileType())))
                chosen = candidate;
        if (chosen == items.size())
            continue;
        const DocumentItem& partner = *items[chosen];
        item.SetCompanion(partner.Primary(), partner.FileType(), partner.IsRaw());
        item.m_joinFlag = true;
        taken[chosen] = true;
    }
    std::vector<DocumentItem::Ref> joined;
    joined.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i)
        if (!taken[i])
            joined.push_back(std::move(items[i]));
    return joined;
}

std::vector<DocumentItem::Ref> SeparateCompanions(std::vector<DocumentItem::Ref> items) {
    std::vector<DocumentItem::Ref> separated;
    separated.reserve(items.size() * 2);
    for (DocumentItem::Ref& item : items) {
        std::shared_ptr<CachedImage> companion = item->Companion();
        const NRFFileType type = item->CompanionScannedType();
        const bool raw = item->CompanionIsRaw();
        item->SetCompanion(nullptr);
        item->m_joinFlag = false;
        separated.push_back(std::move(item));
        if (companion)
            separated.push_back(DocumentItem::ForHandle(std::move(companion), type, raw));
    }
    return separated;
}
