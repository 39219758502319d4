#pragma once

// The disk cache of thumbnails and previews: JPEG files under "thumb" and "preview" in the image cache
// folder. A file's key is its path relative to the cache folder: the kind, '/', the first two hex digits
// of the MD5 of the image's full path followed by its size and modification time (two 64-bit values),
// '/', the other 30 digits, '#', the image's file name; a derived variant's key continues with
// '#', the variant number, '#', 'd' (draft) or 'h' (high quality), '#', the pixel size and "#.jpg".
// A changed file therefore gets new keys and its old entries are simply never asked for again.
//
// Entries are written through a temporary file and a rename, so a crash or a kill never leaves a torn
// JPEG under a valid key. Every member is safe to call from several threads at once.

#include "NRF/NRFBitmapBase.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class CThumbfileCache {
public:
    enum class Kind { Thumb, Preview };

    struct Variant {
        int number = 0;
        bool highQuality = true;
        std::uint32_t pixelSize = 0; // the long side
    };

    // One entry found on disk for an image.
    struct Entry {
        std::string key;
        Variant variant;
    };

    struct Counts {
        std::size_t entries = 0; // files found under "thumb" and "preview"
        std::size_t usable = 0;  // of them, those with a valid key
        std::uint64_t bytes = 0;
    };

    // The process's cache: made by the start-up step "CThumbfileCache::GetThumbfileCache()" in the image
    // cache folder, null before it and after "Closing Thumbfile cache".
    static CThumbfileCache* GetThumbfileCache();
    // Makes (or replaces) the process's cache in `folder`, creating "thumb" and "preview". False, with a
    // sentence in `error`, when the folder cannot be made or written.
    static bool OpenThumbfileCache(const std::string& folder, std::string& error);
    static void CloseThumbfileCache();
    // The sentence for a folder that cannot be made or written.
    static std::string FolderErrorMessage(const std::string& folder);
    // Creates the folder with "thumb" and "preview" and proves it can be written: 0 or an errno value.
    static int PrepareFolder(const std::string& folder);

    explicit CThumbfileCache(std::string folder);
    ~CThumbfileCache();
    CThumbfileCache(const CThumbfileCache&) = delete;
    CThumbfileCache& operator=(const CThumbfileCache&) = delete;

    const std::string& Folder() const { return m_folder; }

    // The base key of the image at `path` as the file is now (its size, and its modification time in
    // nanoseconds since 1970); empty when it cannot be examined. A relative path is taken from the
    // current folder, and the path is compared as written after "." and doubled '/' are dropped.
    static std::string MakeKey(Kind kind, const std::string& path);
    static std::string MakeKey(Kind kind, const std::string& path, std::uint64_t size, std::int64_t modified);
    static std::string VariantKey(const std::string& baseKey, const Variant& variant);
    // False (logged as the invalid-key line) for a key shorter than 44 characters or not starting with
    // "thumb" or "preview", and for any key not of the shape above (lower-case digits, a file name
    // without '/'), which could otherwise name a file outside the cache folder.
    static bool validate_key(const std::string& key);

    // The variant entries stored for a base key, smallest first (one reading of its folder).
    std::vector<Entry> EntriesFor(const std::string& baseKey) const;
    bool Exists(const std::string& key) const;
    // The entry's JPEG bytes, or its pixels. False when it is missing or unreadable (the caller purges).
    bool LoadBytes(const std::string& key, std::string& jpeg) const;
    bool Load(const std::string& key, NRFBitmapBase& out) const;
    // Writes the bitmap as a JPEG under the key. False when the entry exists already or cannot be written,
    // and for an error bitmap or the standard EXIF thumbnail (flags), which are never stored. Whether a
    // bitmap is of transient quality or colour-managed only the caller knows: it does not store those.
    bool Store(const std::string& key, const NRFBitmapBase& bitmap, int quality = 90);
    bool StoreBytes(const std::string& key, const std::string& jpeg);
    bool Purge(const std::string& key);
    // Moves every entry of the image at oldPath to the keys of newPath (the file renamed, so its size and
    // time are the same). Logs "cache: renamed on-disk %s to %s\n" per entry. The number moved.
    int RenameImage(const std::string& oldPath, const std::string& newPath);
    void TouchByCacheKey(const std::string& key);
    Counts Count() const;
    Counts Count(bool thumbs, bool previews) const;
    // Deletes the entries of the chosen kinds, reporting ("Clearing Disk Cache, scanning cache
    // folders...", "Clearing Disk Cache, deleting files...") and done/total as it goes; stops early
    // when `progress` returns false. The number deleted.
    std::size_t Clear(bool thumbs, bool previews,
                      const std::function<bool(const std::string& status, std::size_t done,
                                               std::size_t total)>& progress = {});

private:
    std::string PathOf(const std::string& key) const;
    bool WriteEntry(const std::string& key, const std::string& jpeg);
    // Removes what stores of processes that have ended left in the folder, the first time this cache
    // writes into it.
    void RemoveDeadTemporariesOnce(const std::string& folder);
    template <typename Visit>
    void ForEachFile(bool thumbs, bool previews, Visit&& visit) const;

    std::string m_folder;
    std::mutex m_mutex;
    std::set<std::string> m_cleanedFolders;
};
