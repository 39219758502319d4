#pragma once

// The image file engine's flat API. Every function returns a result code (0 for success) and catches
// every exception at its boundary ("Unexpected exception in NRFGetType()", result 8). After a non-zero
// result, NRFGetErrorText() holds the text to show the user, kept per thread.

#include "NRF/NRFPlugin.h"

#include <memory>
#include <string>
#include <vector>

enum : NRFErr {
    kNRFErrNone = 0,
    kNRFErrParam = 1,       // bad parameter, type not in the table, or entry missing
    kNRFErrUnknownType = 2, // no reader recognises the file
    kNRFErrOpen = 5,        // the file could not be opened for reading
    kNRFErrMemory = 7,
    kNRFErrException = 8, // an unexpected exception was caught at the API boundary
    kNRFErrBadFormat = 9,
    kNRFErrFileInfo = 10, // the record failed to get file-system information
    kNRFErrNoThumbnail = 13,
    kNRFErrNotLocal = 20,
    kNRFErrWrongType = 40961, // the reader found another type and wrote it into the record: dispatch again
};

// Life cycle. NRFInit runs on the main thread before any other use: it stores the plugin folder (empty
// when none), loads the readers and seeds the pseudo-random generator. NRFTerminate ends the engine.
NRFErr NRFInit(const std::string& pluginPath);
void NRFTerminate();

// The per-thread text of the last failure.
const std::string& NRFGetErrorText();
void NRFSetErrorText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Type detection: the row whose extension matches (confirmed by its content check where the row needs
// one), the lower priority winning; with `allowProxy`, a file no reader takes goes to "PRXY" unless it
// is one of the program's own work files. 2 when nothing takes the file.
NRFErr NRFGetType(const char* path, NRFFileType* type, bool allowProxy);
// Sidecar extensions (".xmp", ".wav" ...) or any row's extension, without reading the file.
NRFErr NRFIsAKnownFileType(const char* path, bool* yes);
// Whether the proxy would represent this file (it is not one of the program's work files).
NRFErr NRFCouldRepresentWithProxy(const char* path, bool* yes);

NRFErr NRFGetDescription(NRFFileType type, std::string* description);
// "still", "video", "audio", "meta" or "unknown".
NRFErr NRFGetMediaType(NRFFileType type, std::string* mediaType);
// Questions answered from the table (code -> yes/no); 1 for a code not in the table.
NRFErr NRFGetCapabilities(NRFFileType type, std::uint32_t* capabilities);
NRFErr NRFUsesMovieSidecars(NRFFileType type, bool* yes); // capability 0x0800
NRFErr NRFUsesRawSidecar(NRFFileType type, bool* yes);    // capability 0x1000
NRFErr NRFIsNeverCachedFullSize(NRFFileType type, bool* yes);
// Whether metadata of this type can be written without asking the reader: yes for sidecar types and
// types whose metadata the program keeps beside the file, no for the proxy and types without IPTC.
// `askReader` is set when only the reader can tell.
NRFErr NRFCanUpdateIPTCForType(NRFFileType type, bool* yes, bool* askReader);

// Labels of the colour classes 1 to 8; other indexes are ignored (and read as empty).
void NRFSetColorClassLabel(int index, const char* text);
std::string NRFGetColorClassLabel(int index);

// The files that travel with the photo at `path` of type `type` (sidecars, sound files, settings of
// other programs), as the user's switches allow; `soundFiles` receives how many are sound files.
NRFErr NRFFindAttachedFiles(const std::string& path, NRFFileType type, std::vector<std::string>* files,
                            int* soundFiles);

// The attached-file kinds the user can switch (each one's preference is "AttachedFiles/" + its name).
enum NRFAttachedKind {
    kNRFAttachAAE = 0,
    kNRFAttachACR = 1,
    kNRFAttachBIB = 2,
    kNRFAttachDOP = 3,
    kNRFAttachFLT = 4,
    kNRFAttachIDPRE = 5,
    kNRFAttachIDSF = 6,
    kNRFAttachLZN = 7,
    kNRFAttachNKS = 8,
    kNRFAttachON1 = 9,
    kNRFAttachORI = 10,
    kNRFAttachPP3 = 11,
    kNRFAttachRDSF = 12,
    kNRFAttachSound = 13,
    kNRFAttachTHM = 14,
    kNRFAttachXIP = 15,
    kNRFAttachKindCount = 16,
};
const char* NRFAttachedKindName(int kind);

// ---- Operations on an open record ---------------------------------------------------------------
// Each answers 1 for null arguments, 20 for a record that is not local, 1 for a type not in the table,
// answers from the capability word where that decides, and otherwise asks the type's reader (1 when the
// reader has no such entry). Every exception is caught and logged; the result is then 8.

class NRFImageInfoRec;
using NRFImageInfoRef = std::shared_ptr<NRFImageInfoRec>;

// A new local record for `path` of `type` (0: detect it, the proxy allowed), prepared by its reader.
// 1 with "Fatal error while opening file, bad parameter(s)." for null arguments, 2 with "No plugin
// available for '%s'" when nothing takes the file, 7 with "Out of memory."; `record` stays empty on
// failure.
NRFErr NRFOpenImage(const char* path, NRFFileType type, NRFImageInfoRef* record);
// Lets the reader release what it holds and drops the caller's reference.
NRFErr NRFCloseImage(NRFImageInfoRef* record);
// Fills the record from its file. A record read before is only brought up to date: when the file and
// its XMP sidecar are unchanged nothing is read again; otherwise the type is detected again (the record
// is re-initialised when it changed) and the reader reads the file. A reader answering
// kNRFErrWrongType has written the file's real type into the record: the record is re-initialised for
// that type and read again. 10 once the file's status could not be read ("Unable to get filesystem
// information for '%s'"), 5 when the file cannot be opened, otherwise the reader's result.
NRFErr NRFGetImageInfo(NRFImageInfoRec* record);

// Sets the record's rotation code (0..7: quarter turns clockwise, +4 mirrored) and writes it into the
// file's EXIF orientation values in place (the file's length never changes); a file without them keeps
// the rotation in its image prefs only. 1 with "Error setting rotation, bad parameter" for a code outside
// 0..7; 6 when the file cannot be made writable (the record keeps the new code).
NRFErr NRFSetRotation(NRFImageInfoRec* record, int code);
// NRFSetRotation and the image prefs (NRFSaveImagePrefs) as one change: the sidecar's new document is
// written aside first, then the file's orientation values, then the document takes the sidecar's place;
// when that last step fails the file's values are put back as they were. Either both change or neither
// (a sidecar that cannot be written leaves the file untouched). The results of both.
NRFErr NRFSetRotationAndSaveImagePrefs(NRFImageInfoRec* record, int code);

NRFErr NRFHaveThumbnail(NRFImageInfoRec* record, bool* yes);
class NRFBitmapBase;
// The file's embedded thumbnail (`fuzzy`: the small fuzzy preview some raws carry, else the thumbnail)
// decoded at `size` (0: as stored) and turned upright by the record's rotation. 13 when there is none.
NRFErr NRFLoadFileThumbnail(NRFImageInfoRec* record, NRFBitmapBase* bitmap, std::uint32_t size, bool fuzzy);
// The best embedded image for display (preview, else thumbnail, else strip thumbnail) at `size`, by
// the request flags kNRFLoad...; 13 when there is none, 22 when none was allowed.
NRFErr NRFLoadFilePreview(NRFImageInfoRec* record, NRFBitmapBase* bitmap, std::uint32_t size,
                          std::uint32_t requestFlags);
// Writes the file's embedded JPEG preview to `destination` (through a temporary file renamed into
// place), with an EXIF segment built from the record inserted when `withExif`.
NRFErr NRFExtractPreview(NRFImageInfoRec* record, const char* destination, bool withExif);
// The whole image decoded (`size` 0: at full size; otherwise scaled so that its long side is at least
// `size`, as cheaply as the format allows) and turned upright by the record's rotation. For raws this is
// their best embedded image. 13 when the reader cannot produce one.
NRFErr NRFLoadFileAsBitmap(NRFImageInfoRec* record, NRFBitmapBase* bitmap, std::uint32_t size = 0);
// The profile the file embeds (13 when none).
NRFErr NRFLoadICCProfile(NRFImageInfoRec* record, std::string* profile);
// Writes `bitmap` as a new file of the record's type at the record's path (through a temporary file
// renamed into place). A type that cannot save bitmaps answers 1 with "Plugin for '%s' cannot save
// bitmaps." as the error text.
NRFErr NRFSaveBitmapAsFile(NRFImageInfoRec* record, const NRFBitmapBase* bitmap,
                           const NRFSaveOptions* options);
NRFErr NRFCanPreview(NRFImageInfoRec* record, bool* yes);
NRFErr NRFCanRender(NRFImageInfoRec* record, bool* yes);
NRFErr NRFCanExtractPreview(NRFImageInfoRec* record, bool* yes);
// `embeddedOnly`: only metadata inside the file counts, not an XMP sidecar.
NRFErr NRFHaveIPTC(NRFImageInfoRec* record, bool embeddedOnly, bool* yes);
NRFErr NRFCanUpdateIPTC(NRFImageInfoRec* record, bool* yes);
// The file's IPTC-IIM block, raw (empty when it has none). 9 when the recorded block lies outside the
// file or the Photoshop segments holding it are damaged.
NRFErr NRFLoadIPTC(NRFImageInfoRec* record, std::string* block);
// Writes `block` as the file's IPTC-IIM block (an empty block removes it) through a temporary file that
// is read back before it replaces the file; every other byte of the file is kept. The record is read
// again afterwards. 1 with "Plugin for '%s' cannot update IPTC metadata." for a type that cannot hold
// IPTC, 9 for a structure that cannot be rewritten safely, 5 when the new file could not be written (the
// file is then untouched).
NRFErr NRFSaveIPTC(NRFImageInfoRec* record, const std::string* block);
// Puts back the file as it was before the record's last NRFSaveIPTC; 1 when there is nothing to undo.
NRFErr NRFUndoSaveIPTC(NRFImageInfoRec* record);
NRFErr NRFCanUpdateXMP(NRFImageInfoRec* record, bool* yes);
NRFErr NRFCanMaskUnmask(NRFImageInfoRec* record, bool* yes);
// Whether the file can carry a crop (capability 0x0002).
NRFErr NRFCanCrop(NRFImageInfoRec* record, bool* yes);
// Lets the reader release what it holds for the record.
NRFErr NRFCloseImageForPlugin(NRFImageInfoRec* record);
// Refreshes the record's attached files and its count of sound files.
NRFErr NRFCheckForAttachedFiles(NRFImageInfoRec* record);

// ---- Copying, moving and renaming a photo with its attached files -------------------------------
// The result of a copy or rename that could not write: a read-only destination or a file that could not
// be written (the text says which).
enum : NRFErr { kNRFErrWrite = 6 };
enum : unsigned {
    kNRFCopyWithSound = 1, // the photo's sound files go along
    kNRFCopyMove = 2,      // move: the sources are gone once every file has arrived
    kNRFRenameReplace = 4, // NRFRenameFile: replace files of the new names
};
// Copies (or moves) the photo to `destination` and each attached file to the name that follows it (the
// same base name, each keeping its own extension or suffix); sound files only with kNRFCopyWithSound.
// Every file arrives complete or not at all, and a destination file that exists is never replaced: 6
// with "Destination path is read-only: '%s'." when the destination folder fails the writable probe, 2
// with "No plugin available to handle '%s'" for a type without a handler, 6 with the system's text when
// a file could not be written (whatever had arrived of the set is removed again; a move leaves every
// source in place).
NRFErr DoCopyFile(NRFImageInfoRec* record, const char* destination, unsigned flags);
// Renames the photo and its attached files so that the photo is called `newPath`; each attached file
// follows with its own extension. Existing files of the new names are replaced only with
// kNRFRenameReplace. All or nothing: a failure puts back what was renamed. The record takes the new
// path and its attached files are found again.
NRFErr NRFRenameFile(NRFImageInfoRec* record, const char* newPath, unsigned flags);
// The names `path`'s attached files would have if the photo were called `newPath` (in the order of
// NRFFindAttachedFiles), for checking that they are free before anything is renamed or copied.
NRFErr NRFAttachedFileNamesFor(NRFImageInfoRec* record, const std::string& newPath,
                               std::vector<std::string>* names);
// Sends the disk primitives' log lines (support/DiskUtils) to the program's log under the
// "COPY_MOVE_LOGGING" channel. The engine's copy and rename install it themselves; callers of the
// primitives above the engine may call it once more at no cost.
void NRFInstallDiskUtilsLog();
