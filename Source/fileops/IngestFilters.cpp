#include "fileops/IngestFilters.h"

#include "NRF/NRF.h"
#include "app/LumoLog.h"
#include "support/TextUtils.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <regex>
#include <set>
#include <unordered_set>
#include <utility>

// Cards written by other systems carry their own bookkeeping files and folders; none of them is a photo.
const char* const IngestBadfilePatterns::kBadFilePattern =
    "(\\..*|FINDER\\.DAT|FILEID\\.DAT|Desktop DF|Desktop DB|DesktopPrinters DB|OpenFolderListDF_|AppleShare "
    "PDS|!DESKTOP\\.PRI|FASTLOAD\\.DAT|META_[0-9]*\\.DAT|META_[0-9]*\\.TMP|NIKON[A-Z]*[0-9]+\\.DSC|M\\$A\\$"
    "W\\$"
    "\\.S\\$N|.*\\.CTG|COMSTATE\\.TO[0-9]+|FFDB\\.dat|SONYCARD\\.IND|MEDIAPRO\\.XML|.*\\.BIN|REQC|REQM|SRPC|"
    "RSPM|version\\.txt|RDSC\\.DB|.*\\.NMS|NC_FLLST\\.DAT)";
// "$" is escaped in "$RECYCLE.BIN": bare, it is an anchor and the recycle bin of a card would never match.
const char* const IngestBadfilePatterns::kBadDirPattern =
    "(\\..*|Trash|Desktop Folder|TheVolumeSettingsFolder|Temporary "
    "Items|RECYCLER|\\$RECYCLE.BIN|RESOURCE.FRK|"
    "___Move&Rename|EYEFI|FFDB|AVF_INFO|System Volume Information|PANA_GRP|Backups.backupdb)";

namespace {

const std::regex& badFileRegex() {
    static const std::regex pattern(IngestBadfilePatterns::kBadFilePattern,
                                    std::regex::ECMAScript | std::regex::icase | std::regex::optimize);
    return pattern;
}

const std::regex& badDirRegex() {
    static const std::regex pattern(IngestBadfilePatterns::kBadDirPattern,
                                    std::regex::ECMAScript | std::regex::icase | std::regex::optimize);
    return pattern;
}

std::string joinPath(const std::string& folder, const std::string& name) {
    if (folder.empty())
        return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

bool logScan() {
    return isDebugFlagOn(DebugFlag::INGEST_SCAN_LOGGING);
}

} // namespace

bool IngestBadfilePatterns::IsBadFile(const std::string& name) {
    return std::regex_match(name, badFileRegex());
}

bool IngestBadfilePatterns::IsBadDir(const std::string& name) {
    return std::regex_match(name, badDirRegex());
}

bool IngestFileIsLocked(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return false;
    return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

bool IngestFiltersAccept(IngestLockFilter locked, IngestRawFilter raw, bool isLocked, bool isRaw) {
    if ((locked == IngestLockFilter::LockedOnly && !isLocked) ||
        (locked == IngestLockFilter::UnlockedOnly && isLocked))
        return false;
    if ((raw == IngestRawFilter::RawOnly && !isRaw) || (raw == IngestRawFilter::NonRawOnly && isRaw))
        return false;
    return true;
}

bool IngestIsVideoFolderName(const std::string& name) {
    return lumo::iequals(name, "AVCHD") || lumo::iequals(name, "PRIVATE") || lumo::iequals(name, "M4ROOT");
}

IngestFileFilter::IngestFileFilter(IngestLockFilter locked, IngestRawFilter raw)
    : m_locked(locked), m_raw(raw) {}

IngestFileFilter::~IngestFileFilter() = default;

bool IngestFileFilter::accept(DirectoryEntry& entry, const std::string& folder, const std::string& name) {
    const bool log = logScan();
    const char* const cname = name.c_str();
    if (entry.attributes & (kEntryHidden | kEntrySystem | kEntryLink)) {
        if (log)
            LUMO_LOG("%s: rejecting \"%s\" (hidden, system or link)", m_name, cname);
        return false;
    }
    if (entry.attributes & kEntryDirectory) {
        if (IngestBadfilePatterns::IsBadDir(name)) {
            LUMO_LOG("%s: rejecting \"%s\": Ignoring due to baddir match.", m_name, cname);
            return false;
        }
        if (log)
            LUMO_LOG("%s: accepting folder \"%s\"", m_name, cname);
        m_subfolders.push_back(name);
        return false;
    }
    if (IngestBadfilePatterns::IsBadFile(name)) {
        LUMO_LOG("%s: rejecting \"%s\": Ignoring due to badfile match.", m_name, cname);
        return false;
    }
    const std::string path = joinPath(folder, name);
    NRFFileType type = 0;
    std::uint32_t capabilities = 0;
    if (NRFGetType(path.c_str(), &type, false) != kNRFErrNone || type == 0 ||
        NRFGetCapabilities(type, &capabilities) != kNRFErrNone) {
        if (log)
            LUMO_LOG("%s: rejecting \"%s\" (not a photo)", m_name, cname);
        m_passedOver.push_back(name);
        return false;
    }
    entry.fileType = type;
    entry.isRaw = (capabilities & kNRFCapRawPreview) != 0;
    const bool locked = IngestFileIsLocked(path);
    if (!IngestFiltersAccept(m_locked, m_raw, locked, entry.isRaw)) {
        if (log)
            LUMO_LOG("%s: rejecting \"%s\" (%s)", m_name, cname,
                     locked        ? "locked"
                     : entry.isRaw ? "raw"
                                   : "not raw");
        ++m_filteredOut;
        m_passedOver.push_back(name);
        return false;
    }
    // The lock flag rides in the attributes: the listing has no field of its own for it.
    if (locked)
        entry.attributes |= kEntryLocked;
    if (log)
        LUMO_LOG("%s: accepting \"%s\"", m_name, cname);
    return true;
}

DCIMFilter::DCIMFilter(IngestLockFilter locked, IngestRawFilter raw) : IngestFileFilter(locked, raw) {
    m_name = "DCIMFilter";
}

bool CameraCardFileFilter::accept(DirectoryEntry& entry, const std::string& /*folder*/,
                                  const std::string& name) {
    const char* const cname = name.c_str();
    const bool directory = (entry.attributes & kEntryDirectory) != 0;
    if (!directory) {
        // The ingest marker is the program's own and hidden by its name; it says nothing of the card.
        if (name == ".lumoingest.dat")
            return false;
        if ((entry.attributes & (kEntryHidden | kEntrySystem)) || name.starts_with(".")) {
            ++m_systemOrHidden;
            LUMO_LOG("CameraCardFileFilter: system or hidden file \"%s\" on the volume", cname);
        }
        return false;
    }
    if (lumo::iequals(name, "DCIM")) {
        m_hasDCIM = true;
        m_dcimName = name;
    } else if (IngestIsVideoFolderName(name)) {
        m_hasVideo = true;
        m_videoFolders.push_back(name);
    } else if (lumo::iequals(name, "MISC") || lumo::iequals(name, "NIKON") || lumo::iequals(name, "SONY")) {
        // expected on a camera card
    } else {
        ++m_otherFolders;
        LUMO_LOG("CameraCardFileFilter: unexpected folder \"%s\" at the root of the volume", cname);
    }
    return false;
}

bool IngestIsCameraCard(const std::string& volumeRoot) {
    CameraCardFileFilter filter;
    std::vector<DirectoryEntry> unused;
    if (FindFiles::List(volumeRoot, filter, unused) != 0)
        return false;
    LUMO_CHANNEL_LOG(
        DebugFlag::INGEST_SCAN_LOGGING,
        "IngestIsCameraCard(): \"%s\": DCIM %d, video %d, system or hidden files %llu, other folders %llu",
        volumeRoot.c_str(), filter.hasDCIM() ? 1 : 0, filter.hasVideoFolder() ? 1 : 0,
        static_cast<unsigned long long>(filter.systemOrHiddenFiles()),
        static_cast<unsigned long long>(filter.otherFolders()));
    return filter.isCameraCard();
}

namespace {

struct FolderToScan {
    std::string path;
    std::string relative;
};

// The bytes and files below a folder copied whole; links are not followed.
void measureFolder(const std::string& root, std::uint64_t& bytes, std::uint64_t& files) {
    std::vector<std::string> pending{root};
    std::set<std::pair<dev_t, ino_t>> seen;
    while (!pending.empty()) {
        const std::string folder = std::move(pending.back());
        pending.pop_back();
        struct stat st {};
        if (::lstat(folder.c_str(), &st) != 0 || !seen.emplace(st.st_dev, st.st_ino).second)
            continue;
        struct Everything : FindFiles::Filter {
            bool accept(DirectoryEntry&, const std::string&, const std::string&) override { return true; }
        } everything;
        std::vector<DirectoryEntry> entries;
        if (FindFiles::List(folder, everything, entries) != 0)
            continue;
        for (const DirectoryEntry& entry : entries) {
            if (entry.attributes & kEntryLink)
                continue;
            if (entry.attributes & kEntryDirectory)
                pending.push_back(joinPath(folder, entry.name));
            else if (!(entry.attributes & kEntrySystem)) {
                bytes += entry.size;
                ++files;
            }
        }
    }
}

// Lists the folders of the tree below `start` through `filter`, depth first in name order.
void scanTree(const FolderToScan& start, IngestFileFilter& filter, IngestSourceScan& scan) {
    std::vector<FolderToScan> pending{start};
    std::set<std::pair<dev_t, ino_t>> seen;
    while (!pending.empty()) {
        FolderToScan folder = std::move(pending.back());
        pending.pop_back();
        struct stat st {};
        if (::stat(folder.path.c_str(), &st) != 0 || !seen.emplace(st.st_dev, st.st_ino).second)
            continue;
        filter.clearSubfolders();
        filter.clearPassedOver();
        std::vector<DirectoryEntry> accepted;
        if (const int error = FindFiles::List(folder.path, filter, accepted); error != 0) {
            LUMO_LOG("ScanIngestSource(): cannot read folder \"%s\": %s", folder.path.c_str(),
                     std::strerror(error));
            if (folder.path == start.path && scan.error == 0)
                scan.error = error;
            continue;
        }
        const std::size_t firstOfFolder = scan.files.size();
        for (const DirectoryEntry& entry : accepted) {
            IngestSourceFile file;
            file.path = joinPath(folder.path, entry.name);
            file.relativePath = folder.relative.empty() ? entry.name : folder.relative + "/" + entry.name;
            file.size = entry.size;
            file.modificationTime = entry.lastWriteTime / 1'000'000'000;
            if (entry.lastWriteTime < 0 && entry.lastWriteTime % 1'000'000'000 != 0)
                --file.modificationTime; // whole seconds, rounded down as the file system shows them
            file.fileType = entry.fileType;
            file.isRaw = entry.isRaw;
            file.locked = (entry.attributes & kEntryLocked) != 0;
            scan.files.push_back(std::move(file));
        }
        // Each photo's attached files; one that is itself listed as a photo goes with it and not alone,
        // unless it came first in the list and was taken as a photo of its own.
        std::unordered_set<std::string> attached, photos;
        for (std::size_t i = firstOfFolder; i < scan.files.size(); ++i) {
            IngestSourceFile& file = scan.files[i];
            if (attached.count(file.path))
                continue;
            photos.insert(file.path);
            std::vector<std::string> found;
            int sounds = 0;
            if (NRFFindAttachedFiles(file.path, file.fileType, &found, &sounds) != kNRFErrNone)
                continue;
            std::erase_if(found, [&photos](const std::string& path) { return photos.count(path) != 0; });
            for (const std::string& path : found) {
                struct stat ast {};
                if (::stat(path.c_str(), &ast) == 0)
                    file.attachedBytes += static_cast<std::uint64_t>(ast.st_size);
                attached.insert(path);
            }
            file.attachedFiles = std::move(found);
        }
        for (std::size_t i = firstOfFolder; i < scan.files.size(); ++i) {
            IngestSourceFile& file = scan.files[i];
            file.isAttached = attached.count(file.path) != 0;
            if (file.isAttached) {
                // It goes with its owner (and counts with its owner's bytes).
                file.attachedFiles.clear();
                file.attachedBytes = 0;
                continue;
            }
            scan.totalBytes += file.size + file.attachedBytes;
        }
        for (const std::string& name : filter.passedOver())
            if (!attached.count(joinPath(folder.path, name)))
                scan.passedOver.push_back(folder.relative.empty() ? name : folder.relative + "/" + name);
        const std::vector<std::string> subfolders = filter.subfolders();
        for (auto it = subfolders.rbegin(); it != subfolders.rend(); ++it)
            pending.push_back(
                {joinPath(folder.path, *it), folder.relative.empty() ? *it : folder.relative + "/" + *it});
    }
}

} // namespace

IngestSourceScan ScanIngestSource(const std::string& root, const IngestScanOptions& options) {
    IngestSourceScan scan;
    scan.root = root;
    CameraCardFileFilter card;
    {
        std::vector<DirectoryEntry> unused;
        if (const int error = FindFiles::List(root, card, unused); error != 0) {
            LUMO_LOG("ScanIngestSource(): cannot read \"%s\": %s", root.c_str(), std::strerror(error));
            scan.error = error;
            return scan;
        }
    }
    scan.cameraCard = card.isCameraCard();
    scan.cardLayout =
        options.card == IngestScanOptions::Card::Yes ||
        (options.card == IngestScanOptions::Card::Auto && (card.hasDCIM() || card.hasVideoFolder()));
    if (!scan.cardLayout) {
        IngestFileFilter filter(options.locked, options.raw);
        scanTree({root, {}}, filter, scan);
        return scan;
    }
    // A camera card: its DCIM tree photo by photo, its video structures whole.
    if (!card.dcimName().empty()) {
        DCIMFilter filter(options.locked, options.raw);
        scanTree({joinPath(root, card.dcimName()), card.dcimName()}, filter, scan);
    }
    for (const std::string& name : card.videoFolders()) {
        IngestSpecialFolder folder;
        folder.path = joinPath(root, name);
        folder.relativePath = name;
        measureFolder(folder.path, folder.size, folder.fileCount);
        if (folder.fileCount == 0)
            continue;
        LUMO_CHANNEL_LOG(DebugFlag::INGEST_SCAN_LOGGING, "ScanIngestSource(): special folder \"%s\"",
                         folder.path.c_str());
        scan.totalBytes += folder.size;
        scan.specialFolders.push_back(std::move(folder));
    }
    return scan;
}
