#pragma once

// What an ingest takes from a source: the files and folders never copied (the bad-file patterns), the
// scan filters of a folder and of a camera card's DCIM tree, the camera-card test of a volume, the lock
// and raw filters, and the scan of one source into the list of photos to copy.

#include "contactsheet/FindFiles.h"

#include <cstdint>
#include <string>
#include <vector>

// The listing's attribute bit of a photo whose file may not be written (set by IngestFileFilter).
inline constexpr std::uint32_t kEntryLocked = 0x10000;

// The two patterns of names an ingest never copies, each matched without regard to case against the
// whole name of a file or a folder. Live ingest uses the same two.
class IngestBadfilePatterns {
public:
    static const char* const kBadFilePattern;
    static const char* const kBadDirPattern;

    static bool IsBadFile(const std::string& name);
    static bool IsBadDir(const std::string& name);
};

// "IngestFilterLocked": 0 locked and unlocked photos, 1 locked photos only, 2 unlocked photos only.
enum class IngestLockFilter : int { All = 0, LockedOnly = 1, UnlockedOnly = 2 };
// "IngestFilterRaw": 0 raw and non-raw photos, 1 raw photos only, 2 non-raw photos only.
enum class IngestRawFilter : int { All = 0, RawOnly = 1, NonRawOnly = 2 };

// A photo is locked when its file may not be written (the camera's protect flag is the file's read-only
// attribute). False when the file cannot be looked at.
bool IngestFileIsLocked(const std::string& path);
// Whether a photo with this lock flag and raw-ness passes the two filters.
bool IngestFiltersAccept(IngestLockFilter locked, IngestRawFilter raw, bool isLocked, bool isRaw);

// The names of a camera card's root folders that hold video structures, carried whole.
bool IngestIsVideoFolderName(const std::string& name);

// The filter of one folder of an ingest source: hidden, system and linked items are rejected, files and
// folders matching the bad-file patterns are never copied, files of a type the image engine knows are
// accepted (with their type, raw-ness and lock flag) when the lock and raw filters let them through.
// Every item is logged as accepted or rejected. Folders go to subfolders() (they are not accepted).
class IngestFileFilter : public FindFiles::Filter {
public:
    IngestFileFilter(IngestLockFilter locked = IngestLockFilter::All,
                     IngestRawFilter raw = IngestRawFilter::All);
    ~IngestFileFilter() override;

    bool accept(DirectoryEntry& entry, const std::string& folder, const std::string& name) override;

    // The folders of the last listing to scan in turn, in name order (names only).
    const std::vector<std::string>& subfolders() const { return m_subfolders; }
    void clearSubfolders() { m_subfolders.clear(); }
    // Photos the lock and raw filters left out.
    std::uint64_t filteredOut() const { return m_filteredOut; }
    // The files of the last listing that are not taken and not refused either: files of no type the
    // engine knows (they may still travel with a photo as its attached files) and photos the lock and
    // raw filters left out. Names only.
    const std::vector<std::string>& passedOver() const { return m_passedOver; }
    void clearPassedOver() { m_passedOver.clear(); }

protected:
    const char* m_name = "IngestFileFilter";
    std::vector<std::string> m_subfolders;
    std::vector<std::string> m_passedOver;
    IngestLockFilter m_locked;
    IngestRawFilter m_raw;
    std::uint64_t m_filteredOut = 0;
};

// The filter below a camera card's DCIM folder: the same decisions, logged under its own name.
class DCIMFilter : public IngestFileFilter {
public:
    DCIMFilter(IngestLockFilter locked = IngestLockFilter::All, IngestRawFilter raw = IngestRawFilter::All);
};

// The camera-card test of a volume: its root is listed; the folders "DCIM", "MISC", "NIKON", "SONY",
// "AVCHD", "PRIVATE" and "M4ROOT" are expected; other root folders and system or hidden files are
// counted and logged. A camera card has a DCIM folder or a video folder and no system or hidden file.
class CameraCardFileFilter : public FindFiles::Filter {
public:
    CameraCardFileFilter() = default;
    bool accept(DirectoryEntry& entry, const std::string& folder, const std::string& name) override;

    bool hasDCIM() const { return m_hasDCIM; }
    bool hasVideoFolder() const { return m_hasVideo; }
    std::uint64_t systemOrHiddenFiles() const { return m_systemOrHidden; }
    std::uint64_t otherFolders() const { return m_otherFolders; }
    bool isCameraCard() const { return (m_hasDCIM || m_hasVideo) && m_systemOrHidden == 0; }
    // The DCIM folder and the video folders as named on the card.
    const std::string& dcimName() const { return m_dcimName; }
    const std::vector<std::string>& videoFolders() const { return m_videoFolders; }

private:
    bool m_hasDCIM = false;
    bool m_hasVideo = false;
    std::uint64_t m_systemOrHidden = 0;
    std::uint64_t m_otherFolders = 0;
    std::string m_dcimName;
    std::vector<std::string> m_videoFolders;
};

// Lists the root of `volumeRoot` through a CameraCardFileFilter. False when it is no camera card or
// cannot be read.
bool IngestIsCameraCard(const std::string& volumeRoot);

// One file of a source to copy.
struct IngestSourceFile {
    std::string path;         // the file's full path
    std::string relativePath; // below the source's root, "/" separated ("DCIM/100CANON/IMG_0001.CR2")
    std::uint64_t size = 0;
    std::int64_t modificationTime = 0; // seconds since 1970
    NRFFileType fileType = 0;
    bool isRaw = false;
    bool locked = false;
    // The files that travel with this photo (sidecars, sound files), full paths, found by the engine.
    std::vector<std::string> attachedFiles;
    std::uint64_t attachedBytes = 0;
    // This file travels with another photo of the list (as its attached file) and is not copied alone.
    bool isAttached = false;
};

// A folder copied whole (a camera's video structure).
struct IngestSpecialFolder {
    std::string path;
    std::string relativePath;
    std::uint64_t size = 0; // every file below it
    std::uint64_t fileCount = 0;
};

struct IngestScanOptions {
    IngestLockFilter locked = IngestLockFilter::All;
    IngestRawFilter raw = IngestRawFilter::All;
    // Scan as a camera card (only the DCIM tree and the video folders): Auto does so when the root has
    // a DCIM folder or a video folder, whether or not other systems left files beside them.
    enum class Card { Auto, Yes, No } card = Card::Auto;
};

struct IngestSourceScan {
    std::string root;
    // Scanned as a camera card (the DCIM tree and the video folders only).
    bool cardLayout = false;
    // The camera-card test of the root (CameraCardFileFilter::isCameraCard): a card layout with no
    // system or hidden files. Only such a card may be erased.
    bool cameraCard = false;
    // In scan order: folder by folder, each folder's files in name order, then its subfolders.
    std::vector<IngestSourceFile> files;
    std::vector<IngestSpecialFolder> specialFolders;
    // Files below the scanned folders that will not be copied although nothing marks them as refuse:
    // files of unknown types that travel with no photo, and photos the lock and raw filters left out
    // (relative paths). Erasing a card deletes them.
    std::vector<std::string> passedOver;
    // Every byte to copy: the photos, their attached files and the special folders.
    std::uint64_t totalBytes = 0;
    // 0, or the errno value when the root could not be read (folders below it that cannot be read are
    // logged and skipped).
    int error = 0;
};

// Scans one source (a folder with its subfolders, or a camera card's DCIM tree and video folders) into
// the photos to copy, each with its attached files, and the special folders. The work is bounded by the
// tree: links are not followed and a folder is entered once.
IngestSourceScan ScanIngestSource(const std::string& root, const IngestScanOptions& options = {});
