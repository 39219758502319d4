#pragma once

// One cell of a contact sheet: one photo, a single file or a raw file joined with its JPEG, HEIF or
// HEIC partner. The item holds shared handles on the cached images of its files; the photo's data
// (tag, rating, colour class, rotation, crop, capture time) lives in their information records. The
// item adds its document number, the joining state, its change signal, and the operations that change
// the photo and then tell whoever listens.
//
// Handles are replaced under the item's lock; a reader copies the handle (and the record pointer) and
// reads through the copy, so an item being changed never leaves a dangling reference. Records are
// published whole (CachedImage::SetRecord): an operation changes a clone and publishes it.

#include "NRF/NRFImageInfo.h"
#include "NRF/NRFPlugin.h"
#include "support/Signal.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

class CachedImage;
struct IPTCRec;
struct CopyFileRequest;

// The refusals for items that are not locally available (folder items always are; catalog items may
// not be).
namespace DocumentItemText {
inline constexpr char kNotLocalRename[] = "This file is not locally available and cannot be renamed.";
inline constexpr char kNotLocalRotate[] = "This item is not locally available and cannot be rotated.";
inline constexpr char kNotLocalMirror[] = "This item is not locally available and cannot be mirrored.";
inline constexpr char kNotLocalModify[] = "This item is not locally available and cannot be modified.";
inline constexpr char kRenameHeading[] = "While renaming an error occurred:";
inline constexpr char kCopyHeading[] = "While copying/moving an error occurred:";
} // namespace DocumentItemText

class DocumentItem : public lumo::SlotHolder {
public:
    using Ref = std::shared_ptr<DocumentItem>;

    // What a change operation came to: 0 and an empty message on success; otherwise the engine's
    // result and the text to show ("While setting a rating an error occurred:\n" + the error).
    struct Result {
        std::uint32_t code = 0;
        std::string message;
        explicit operator bool() const { return code == 0; }
    };

    DocumentItem(std::shared_ptr<CachedImage> primary, std::shared_ptr<CachedImage> companion = {});
    ~DocumentItem();
    // An item for one file whose type the scan found (the record is read later, by Load()).
    static Ref ForFile(const std::string& path, NRFFileType type, bool isRaw);
    // An item on a handle that exists already (separating a joined item gives its companion one).
    static Ref ForHandle(std::shared_ptr<CachedImage> image, NRFFileType type, bool isRaw);

    // ---- handles
    std::shared_ptr<CachedImage> Primary() const;
    std::shared_ptr<CachedImage> Companion() const;
    void SetPrimary(std::shared_ptr<CachedImage> primary);
    void SetCompanion(std::shared_ptr<CachedImage> companion);
    bool HasCompanion() const;
    // The type and raw flag the scan found for the companion (the joining step sets them with it).
    void SetCompanion(std::shared_ptr<CachedImage> companion, NRFFileType type, bool isRaw);
    // The primary's type as the scan found it (0 for an item made from a handle).
    NRFFileType ScannedType() const;
    NRFFileType CompanionScannedType() const;
    bool CompanionIsRaw() const;
    // The records (null until read).
    NRFImageInfoRef PrimaryRecord() const;
    NRFImageInfoRef CompanionRecord() const;
    // Reads the records through the engine when they are not read yet (or the files changed); 0 on
    // success, else the engine's result for the primary.
    std::uint32_t Load();
    bool IsLoaded() const;

    // ---- document state
    std::int32_t DocumentNumber() const { return m_documentNumber; }
    void SetDocumentNumber(std::int32_t number) { m_documentNumber = number; }
    bool m_joinFlag = false;            // used by the RAW+JPEG joining step of the rescan
    std::uint8_t m_selectOnArrival = 0; // 1: the document selects the item as it adds it

    // ---- attributes (forwarded from the primary's record and handle; empty values without them)
    std::string FileName() const;
    std::string FullPath() const;
    std::string CompanionPath() const;
    NRFFileType FileType() const; // "????" without a primary handle
    bool IsRaw() const;
    std::string UniqueID() const;
    // From the primary's record; before it is read, as the folder scan listed the file (0 without).
    std::uint64_t FileSize() const;
    std::int64_t ModificationTimeNs() const;
    // The primary's size and last-write time as the folder scan listed them.
    void SetListedStamp(std::uint64_t size, std::int64_t lastWriteTime);
    bool Tag() const;
    int Rating() const;
    int ColorClass() const;
    int Rotation() const; // rotation code: quarter turns clockwise, +4 mirrored
    bool HasCrop() const;
    NRFNormalizedCrop Crop() const;
    KLDateTime CaptureDateTime() const;
    bool HasSoundFile() const;
    bool IsLocallyAvailable() const { return true; }
    bool NeedsRescan() const { return m_needsRescan; }
    void SetNeedsRescan(bool needs) { m_needsRescan = needs; }
    // Every file the item owns: primary, companion and their attached files.
    std::vector<std::string> AllFiles() const;

    // ---- operations that change the photo; each fires Changed on success and leaves the item as it
    // was on failure
    Result SetTag(bool on);
    Result ToggleTag();
    Result ClearTag();
    Result SetColorClass(int colorClass); // 0..8
    Result SetRating(int rating);         // 0..5
    Result RotateClockwise();
    Result RotateCounterClockwise();
    Result SetRotation(int code);
    Result MirrorHorizontally();
    Result MirrorVertically();
    Result SetMirror(bool mirrored);
    Result SetCrop(const NRFNormalizedCrop& crop);
    Result RemoveCrop();
    Result SaveMetadata(const IPTCRec& record);
    Result SaveCompanionIptcOnly(const IPTCRec& record);
    // Renames every file the item owns to `newBaseName` (no folder, no extension), each keeping its own
    // extension; all or nothing. With `extensionCaseOf` (an extension, without the dot), the primary's
    // and the companion's extensions are put into its case: upper case when its first letter is upper
    // case or it has no letter, lower case otherwise.
    Result Rename(const std::string& newBaseName, const std::string& extensionCaseOf = {});
    // Refreshes the item from its files; false (logged) leaves the previous data.
    bool UpdateDocumentItem();
    // Copies the item to `request.destinationFolder` with the file copy (primary first, then the
    // companion under the primary's resulting base name). 1 when the primary copied, 0 otherwise;
    // `name` in/out as CopyFile::FileCopyEx.
    int ImageCopy(const CopyFileRequest& request, std::string& name, std::string* error = nullptr);

    // Emitted after every change with the item.
    lumo::Signal<DocumentItem&> Changed;

    // Kept by the document (an implementation may keep that state in the document instead).
    std::set<std::uint32_t> m_documentSet;

private:
    mutable std::mutex m_lock;
    // One change of the photo at a time (each reads the current state, writes, and publishes); the
    // signal is emitted after it is let go, so a slot may change the item again.
    std::mutex m_changeLock;
    std::int32_t m_documentNumber = -1;
    std::shared_ptr<CachedImage> m_primary;
    std::shared_ptr<CachedImage> m_companion;
    bool m_needsRescan = false;
    NRFFileType m_scannedType = 0;
    bool m_scannedRaw = false;
    NRFFileType m_companionType = 0;
    bool m_companionRaw = false;
    std::uint64_t m_listedSize = 0;
    std::int64_t m_listedTime = 0;

    // The steps every change operation shares: the refusal for items that are not local, the change on
    // a clone of the primary's record, publishing it and telling the caches and the listeners.
    Result change(const char* heading, const char* refusal,
                  const std::function<NRFErr(NRFImageInfoRec&)>& apply, bool picturesChange);
    void published(const std::string& path, std::uint64_t oldSize, std::int64_t oldTime, bool picturesChange);
};
