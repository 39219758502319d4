// The gather step of a sort job: one sort record per item, from the item's record when it is loaded,
// else from the sort cache when its row is fresh, else from the file (and then into the sort cache).

#include "app/LumoLog.h"
#include "contactsheet/ContactSheetSortManager.h"
#include "db/LumoSortCache.h"
#include "variables/VariableExpander.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <unordered_map>
#include <unordered_set>

namespace {

struct FileStamp {
    std::uint64_t size = 0;
    std::int64_t modTimeNs = 0;
};

bool statFile(const std::string& path, FileStamp& stamp) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0)
        return false;
    stamp.size = static_cast<std::uint64_t>(st.st_size);
    stamp.modTimeNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return true;
}

// The sort cache keeps modification times as nanoseconds since 1970, as the image records do.
std::uint64_t cacheTime(std::int64_t ns) {
    return ns > 0 ? static_cast<std::uint64_t>(ns) : 0;
}

std::string modificationTimeKey(std::int64_t ns) {
    char key[24];
    std::snprintf(key, sizeof key, "%016lX", static_cast<unsigned long>(cacheTime(ns)));
    return key;
}

void fillFromRecord(ContactSheetSortRecord& out, const NRFImageInfoRec& record) {
    out.colorClass = record.m_colorClass;
    out.rating = record.m_rating;
    out.tag = record.m_tag;
    out.captureTime = record.m_captureTime;
    out.captureSubSeconds = record.m_subSeconds.value_or(0);
    out.modificationTimeKey = modificationTimeKey(record.m_modTimeNs);
}

void fillCustomKeys(ContactSheetSortRecord& out, const NRFImageInfoRec* record,
                    const ContactSheetSortSettings& settings) {
    VariableContext context;
    context.image = record;
    context.index = out.index + 1;
    if (!settings.custom.primary.empty())
        out.customPrimary = ExpandVariables(settings.custom.primary, context, kVariableSortable).text;
    if (!settings.custom.secondary.empty())
        out.customSecondary = ExpandVariables(settings.custom.secondary, context, kVariableSortable).text;
}

LumoSortCacheInfo cacheRow(const NRFImageInfoRec& record, const FileStamp& file, const FileStamp& sidecar) {
    LumoSortCacheInfo info;
    info.ColorClass = record.m_colorClass;
    info.Rating = std::clamp<std::int32_t>(record.m_rating, 0, 5);
    info.Tag = record.m_tag ? 1 : 0;
    info.CaptureTime = ContactSheetCaptureTimeText(record.m_captureTime, record.m_subSeconds.value_or(0),
                                                   record.m_subSeconds.has_value());
    // The values the row is checked against next time: the file's as the record read it.
    const bool recordStamped = record.m_fileSize != 0 || record.m_modTimeNs != 0;
    info.FileSize = recordStamped ? record.m_fileSize : file.size;
    info.ModificationTime = cacheTime(recordStamped ? record.m_modTimeNs : file.modTimeNs);
    if (record.m_hasXmpSidecar) {
        info.ExtraFileSize = record.m_xmpSidecarSize;
        info.ExtraModificationTime = cacheTime(record.m_xmpSidecarModTimeNs);
    } else {
        info.ExtraFileSize = sidecar.size;
        info.ExtraModificationTime = cacheTime(sidecar.modTimeNs);
    }
    return info;
}

using SidecarLookup = std::function<std::string(const std::string& imagePath)>;

// The XMP sidecars of a job's photos as NRFLocalImageInfoRec::FindXmpSidecar finds them (the name with
// ".XMP", else ".xmp"), looked up in one listing of each folder instead of two file lookups per photo.
class JobSidecars {
public:
    std::string find(const std::string& imagePath) {
        const std::filesystem::path image(imagePath);
        const auto* names = namesIn(image.parent_path().string());
        if (!names)
            return NRFLocalImageInfoRec::FindXmpSidecar(imagePath);
        for (const char* ext : {".XMP", ".xmp"}) {
            std::filesystem::path candidate = image;
            candidate.replace_extension(ext);
            if (candidate != image && names->count(candidate.filename().string()) != 0)
                return candidate.string();
        }
        return {};
    }

private:
    using Names = std::unordered_set<std::string>;
    const Names* namesIn(const std::string& folder) {
        const auto found = m_folders.find(folder);
        if (found != m_folders.end())
            return found->second ? &*found->second : nullptr;
        std::optional<Names>& names = m_folders[folder];
        DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
        if (!dir)
            return nullptr;
        names.emplace();
        while (const dirent* entry = ::readdir(dir)) {
            const std::size_t size = std::strlen(entry->d_name);
            if (size > 4 && entry->d_type != DT_DIR &&
                (std::strcmp(entry->d_name + size - 4, ".XMP") == 0 ||
                 std::strcmp(entry->d_name + size - 4, ".xmp") == 0))
                names->emplace(entry->d_name, size);
        }
        ::closedir(dir);
        return &*names;
    }
    std::unordered_map<std::string, std::optional<Names>> m_folders;
};

// An item whose keys are not in memory: where its file is and how it stands.
struct PendingItem {
    DocumentItem* item = nullptr;
    std::uint32_t index = 0;
    std::string path;
    FileStamp file, sidecar;
};

// Fills `out` (index and name already set) from the item's record when it is loaded (custom keys load
// it); false when the keys must come from the sort cache or the file.
bool fillLoaded(DocumentItem& item, ContactSheetSortRecord& out, const ContactSheetSortSettings& settings) {
    const bool custom = settings.sortType >= kSortCustomFirst;
    NRFImageInfoRef record = item.PrimaryRecord();
    if (!record && custom) {
        item.Load();
        record = item.PrimaryRecord();
    }
    if (!record)
        return false;
    fillFromRecord(out, *record);
    if (custom)
        fillCustomKeys(out, record.get(), settings);
    return true;
}

PendingItem pendingItem(DocumentItem& item, std::uint32_t index, const SidecarLookup& findSidecar) {
    PendingItem pending{&item, index, item.FullPath(), {item.FileSize(), item.ModificationTimeNs()}, {}};
    if (pending.file.size == 0 && pending.file.modTimeNs == 0)
        statFile(pending.path, pending.file);
    if (const std::string xmp = findSidecar(pending.path); !xmp.empty())
        statFile(xmp, pending.sidecar);
    return pending;
}

// The keys from the sort cache's row when the file and its sidecar are as the row says; otherwise read
// from the file, and the row stored.
void fillPending(const PendingItem& pending, bool rowFound, const LumoSortCacheInfo& cached,
                 ContactSheetSortRecord& out) {
    const FileStamp& file = pending.file;
    const FileStamp& sidecar = pending.sidecar;
    if (rowFound && cached.FileSize == file.size && cached.ModificationTime == cacheTime(file.modTimeNs) &&
        cached.ExtraFileSize == sidecar.size &&
        cached.ExtraModificationTime == cacheTime(sidecar.modTimeNs)) {
        out.colorClass = cached.ColorClass;
        out.rating = cached.Rating;
        out.tag = cached.Tag != 0;
        ParseContactSheetCaptureTime(cached.CaptureTime, out.captureTime, out.captureSubSeconds);
        out.modificationTimeKey = modificationTimeKey(file.modTimeNs);
        LUMO_CHANNEL_LOG(DebugFlag::SORT_INFO_LOGGING, "sort info for %s from the cache: %s",
                         pending.path.c_str(), cached.toLogString().c_str());
        return;
    }
    pending.item->Load();
    const NRFImageInfoRef record = pending.item->PrimaryRecord();
    if (!record) {
        out.modificationTimeKey = modificationTimeKey(file.modTimeNs);
        return;
    }
    fillFromRecord(out, *record);
    const LumoSortCacheInfo info = cacheRow(*record, file, sidecar);
    LUMO_CHANNEL_LOG(DebugFlag::SORT_INFO_LOGGING, "sort info for %s read from the file: %s",
                     pending.path.c_str(), info.toLogString().c_str());
    LumoSortCache::setSortInfoFor(pending.path, info);
}

} // namespace

ContactSheetSortRecord GatherContactSheetSortRecord(DocumentItem& item, std::uint32_t index,
                                                    const ContactSheetSortSettings& settings) {
    ContactSheetSortRecord out;
    out.index = index;
    out.fileName = item.FileName();
    if (fillLoaded(item, out, settings))
        return out;
    const PendingItem pending = pendingItem(item, index, &NRFLocalImageInfoRec::FindXmpSidecar);
    LumoSortCacheInfo cached;
    const bool found = LumoSortCache::GetSortInfoFor(pending.path, cached);
    fillPending(pending, found, cached, out);
    return out;
}

// The items in memory first; then the sort-cache rows of the others, fetched together; then what the
// cache could not answer, from the files. The cancel check runs between items.
std::optional<ContactSheetSortResult> RunContactSheetSort(const ContactSheetSortWork& work,
                                                          const std::function<bool()>& shouldCancel) {
    const std::size_t count = work.items.size();
    std::vector<ContactSheetSortRecord> records(count);
    std::vector<std::int32_t> numbers(count, -1);
    std::vector<PendingItem> pending;
    JobSidecars sidecars;
    const SidecarLookup findSidecar = [&sidecars](const std::string& path) { return sidecars.find(path); };
    unsigned reported = 101;
    // Progress: the first pass counts for half, the items left for the files the other half.
    const auto progress = [&](std::size_t done, std::size_t of, unsigned base) {
        const unsigned percent = base + static_cast<unsigned>(of ? done * 50 / of : 50);
        if (percent != reported && work.status) {
            reported = percent;
            work.status(ContactSheetSortStatus{ContactSheetSortStatus::Gathering, percent});
        }
    };
    for (std::size_t i = 0; i < count; ++i) {
        if (shouldCancel && shouldCancel())
            return std::nullopt;
        progress(i, count, 0);
        ContactSheetSortRecord& out = records[i];
        out.index = static_cast<std::uint32_t>(i);
        DocumentItem* item = work.items[i].get();
        if (!item)
            continue;
        numbers[i] = item->DocumentNumber();
        out.fileName = item->FileName();
        if (!fillLoaded(*item, out, work.settings))
            pending.push_back(pendingItem(*item, out.index, findSidecar));
    }

    std::vector<std::string> paths;
    paths.reserve(pending.size());
    for (const PendingItem& p : pending)
        paths.push_back(p.path);
    std::vector<LumoSortCacheInfo> rows;
    std::vector<bool> found;
    LumoSortCache::GetSortInfoForMany(paths, rows, found);
    for (std::size_t n = 0; n < pending.size(); ++n) {
        if (shouldCancel && shouldCancel())
            return std::nullopt;
        progress(n, pending.size(), 50);
        fillPending(pending[n], found[n], rows[n], records[pending[n].index]);
    }
    return SortContactSheetRecords(std::move(records), numbers, work, shouldCancel);
}
