// The gather step of a sort job: one sort record per item, from the item's record when it is loaded,
// else from the sort cache when its row is fresh, else from the file (and then into the sort cache).

#include "app/LumoLog.h"
#include "contactsheet/ContactSheetSortManager.h"
#include "db/LumoSortCache.h"
#include "variables/VariableExpander.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

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

} // namespace

ContactSheetSortRecord GatherContactSheetSortRecord(DocumentItem& item, std::uint32_t index,
                                                    const ContactSheetSortSettings& settings) {
    ContactSheetSortRecord out;
    out.index = index;
    out.fileName = item.FileName();
    const bool custom = settings.sortType >= kSortCustomFirst;

    NRFImageInfoRef record = item.PrimaryRecord();
    if (!record && custom) {
        item.Load();
        record = item.PrimaryRecord();
    }
    if (record) {
        fillFromRecord(out, *record);
        if (custom)
            fillCustomKeys(out, record.get(), settings);
        return out;
    }

    // Not loaded: the sort cache's row when the file and its sidecar are as the row says.
    const std::string path = item.FullPath();
    FileStamp file{item.FileSize(), item.ModificationTimeNs()};
    if (file.size == 0 && file.modTimeNs == 0)
        statFile(path, file);
    FileStamp sidecar;
    if (const std::string xmp = NRFLocalImageInfoRec::FindXmpSidecar(path); !xmp.empty())
        statFile(xmp, sidecar);

    LumoSortCacheInfo cached;
    if (LumoSortCache::GetSortInfoFor(path, cached) && cached.FileSize == file.size &&
        cached.ModificationTime == cacheTime(file.modTimeNs) && cached.ExtraFileSize == sidecar.size &&
        cached.ExtraModificationTime == cacheTime(sidecar.modTimeNs)) {
        out.colorClass = cached.ColorClass;
        out.rating = cached.Rating;
        out.tag = cached.Tag != 0;
        ParseContactSheetCaptureTime(cached.CaptureTime, out.captureTime, out.captureSubSeconds);
        out.modificationTimeKey = modificationTimeKey(file.modTimeNs);
        LUMO_CHANNEL_LOG(DebugFlag::SORT_INFO_LOGGING, "sort info for %s from the cache: %s", path.c_str(),
                         cached.toLogString().c_str());
        return out;
    }

    // Stale or missing: read the file and remember what it says.
    item.Load();
    record = item.PrimaryRecord();
    if (!record) {
        out.modificationTimeKey = modificationTimeKey(file.modTimeNs);
        return out;
    }
    fillFromRecord(out, *record);
    const LumoSortCacheInfo info = cacheRow(*record, file, sidecar);
    LUMO_CHANNEL_LOG(DebugFlag::SORT_INFO_LOGGING, "sort info for %s read from the file: %s", path.c_str(),
                     info.toLogString().c_str());
    LumoSortCache::setSortInfoFor(path, info);
    return out;
}

std::optional<ContactSheetSortResult> RunContactSheetSort(const ContactSheetSortWork& work,
                                                          const std::function<bool()>& shouldCancel) {
    const std::size_t count = work.items.size();
    std::vector<ContactSheetSortRecord> records;
    std::vector<std::int32_t> numbers;
    records.reserve(count);
    numbers.reserve(count);
    unsigned reported = 101;
    for (std::size_t i = 0; i < count; ++i) {
        if (shouldCancel && shouldCancel())
            return std::nullopt;
        const unsigned percent = static_cast<unsigned>(i * 100 / count);
        if (percent != reported && work.status) {
            reported = percent;
            work.status(ContactSheetSortStatus{ContactSheetSortStatus::Gathering, percent});
        }
        DocumentItem* item = work.items[i].get();
        if (!item) {
            ContactSheetSortRecord empty;
            empty.index = static_cast<std::uint32_t>(i);
            records.push_back(std::move(empty));
            numbers.push_back(-1);
            continue;
        }
        records.push_back(GatherContactSheetSortRecord(*item, static_cast<std::uint32_t>(i), work.settings));
        numbers.push_back(item->DocumentNumber());
    }
    return SortContactSheetRecords(std::move(records), numbers, work, shouldCancel);
}
