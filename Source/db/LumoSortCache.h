#pragma once

// The sort cache: colour class, rating, tag and capture time of files, remembered by path in
// "LumoSortCache_3.db" in the image cache folder so that a folder opened again sorts at once.
//
// One worker thread owns the database. Stores and purges are posted and return at once; a fetch and
// purgeEntries() wait for the worker's answer. Every function may be called from any thread; before
// InitSortCache() and after TerminateSortCache() they do nothing (a fetch answers false). When the
// database cannot be opened the cache answers "not found" and drops stores; the program works on.

#include <cstdint>
#include <string>
#include <vector>

inline constexpr char kSortCacheFileName[] = "LumoSortCache_3.db";

// One row of the cache. A caller compares the two time/size pairs with the file's (and its XMP
// sidecar's) current values: a difference means the row is stale.
struct LumoSortCacheInfo {
    std::int32_t ColorClass = 0;
    std::int32_t Rating = 0; // stored clamped to 0..5
    std::int32_t Tag = 0;
    std::string CaptureTime; // the program's date-time text form, stored and returned as is
    std::uint64_t ModificationTime = 0;
    std::uint64_t FileSize = 0;
    std::uint64_t ExtraModificationTime = 0; // the XMP sidecar's; 0 without one
    std::uint64_t ExtraFileSize = 0;

    // "color class:%d, rating:%d, tag:%d, capture time:%s, modification time:%lu, file size:%lu, ..."
    std::string toLogString() const;
    bool operator==(const LumoSortCacheInfo&) const = default;
};

class LumoSortCache {
public:
    LumoSortCache() = delete;

    // Starts the worker on the database in `cacheFolder` (created when missing). Does nothing while the
    // cache runs; after TerminateSortCache() it starts a fresh worker.
    static void InitSortCache(const std::string& cacheFolder);
    // Ends the worker after it has done every command posted before; the open transaction is committed.
    static void TerminateSortCache();
    static bool isRunning();

    // True and `info` filled when the cache holds a row for the path; `info` is untouched otherwise.
    static bool GetSortInfoFor(const std::string& path, LumoSortCacheInfo& info);
    // The fetches of many paths, queued together and answered in one wait (a contact sheet's sort):
    // found[i] says whether infos[i] holds the row of paths[i]; nothing is found while the cache is not
    // running.
    static void GetSortInfoForMany(const std::vector<std::string>& paths,
                                   std::vector<LumoSortCacheInfo>& infos, std::vector<bool>& found);
    static void setSortInfoFor(const std::string& path, const LumoSortCacheInfo& info);
    static void purgeSortInfoFor(const std::string& path);
    // Forgets rows stored `days` × 24 hours ago or earlier (0: every row stored up to this second).
    static void purgeEntriesDaysOld(int days);
    // Forgets every row; returns when the worker has done it.
    static void purgeEntries();
};
