#pragma once

// A photo's metadata record as the program reads and writes it: the record filled from the file's
// embedded XMP or its ".XMP" sidecar, then its IIM block, then its EXIF values; saving the record back
// by the type's metadata policy; the photo state (tag, colour class, rating, image number, rotation,
// crop) kept in the file's XMP and IIM 2:221; and the item operations of the command line and the
// desktop.
//
// Metadata policy of a type (the type table's `metadataStorage`):
//   1 ordinary image files (JPEG, TIFF, Photoshop, GIF, PNG, DNG): read the embedded XMP; write IIM
//     (when the container holds IIM and "IPTCXMP_StandardAddIPTC" is on) and XMP into the file in one
//     rewrite; never a sidecar.
//   2 TIFF-structured raws: read the sidecar when it is newer than the file, else the embedded XMP;
//     write into the file only when "AllowRawModification" is on, "IPTCXMP_RawDontUpdateEmbedded" is
//     off and "IPTCXMP_RawAddXMP" or "IPTCXMP_RawAddIPTC" asks for it (IIM only with RawAddIPTC, which
//     also embeds XMP) and the container can take the block; write the sidecar when the file is not
//     written or "IPTCXMP_RawAddXMPSidecar" is on.
//   3 HEIF containers: read the sidecar when there is one, else the embedded XMP; write the XMP item
//     into the file when the container can take it (no IIM: HEIF holds none), else the sidecar.
//   4 raws and movies whose metadata lives beside the file: read the sidecar, else the embedded XMP;
//     write only the sidecar.
//   5 no metadata: reading gives the EXIF values only; saving is refused ("Plugin for '%s' cannot update
//     IPTC metadata.").
// Whether a container holds IIM or XMP is NRFContainerHoldsIIM/NRFContainerHoldsXMP. A raw whose file
// is written and whose sidecar is written gets the same record in both.

#include "NRF/NRFImageInfo.h"
#include "metadata/IPTCRec.h"
#include "metadata/IPTCUtils.h"

#include <cstdint>
#include <string>

using NRFErr = std::uint32_t;
class NRFMetadataCommit;

// -- settings

struct IPTCSaveSettings {
    bool m_standardAddIPTC = true;       // non-raw files: write IIM besides the embedded XMP
    bool m_rawAddXMPSidecar = true;      // raws: write the ".XMP" sidecar
    bool m_rawDontUpdateEmbedded = true; // raws: leave the file's own metadata alone
    bool m_rawAddXMP = false;            // raws: embed XMP
    bool m_rawAddIPTC = false;           // raws: embed IIM (and so XMP)
    bool m_allowRawModification = false; // raws may be modified at all
    // Not a preference: keep what a save replaced for DoUndoSaveIPTC (off for files the program makes
    // itself, such as an extracted preview).
    bool m_keepUndo = true;
};

// The settings as the preferences hold them (the defaults above without preferences).
IPTCSaveSettings IPTCSaveSettingsFromPreferences();

// What a save decides for one file (the decision table above), without touching it.
struct IPTCSavePlan {
    int m_policy = 0;        // metadataStorage of the type (0: unknown type)
    bool m_writeIIM = false; // into the file
    bool m_writeXMP = false; // into the file
    bool m_writeSidecar = false;
    // Why nothing can be written; empty when something will be.
    std::string m_refusal;
};
IPTCSavePlan IPTCPlanSave(const NRFImageInfoRec& image, const IPTCSaveSettings& settings);
// A file (or sidecar) its owner made read-only is the owner's "do not change": a save would replace it
// all the same (a rename needs only the folder's permission), so callers refuse it before anything is
// written with this text ("Unable to gain write access to '%s'. ..."); empty when the save may go ahead.
// The user may fix the permissions and retry.
std::string IPTCReadOnlySaveRefusal(const NRFImageInfoRec& image, const IPTCSaveSettings& settings);

// Where a load took its XMP from.
enum class IPTCXMPSource { kNone, kEmbedded, kSidecar };

// What a save did (for the caller's message and the tests).
struct IPTCSaveReport {
    bool m_wroteFile = false;
    bool m_wroteSidecar = false;
    bool m_iimAsUTF8 = false; // a text the write encoding cannot carry: the IIM was written as UTF-8
    std::string m_sidecarPath;
};

// -- life cycle

// Initialises the XMP toolkit and installs the photo-state writer into the image engine (so that
// NRFSaveImagePrefs writes a JPEG's prefs into its XMP). Call once where the program starts; 0 on
// success.
NRFErr IPTCMetadataInitialize();

// -- reading

// Fills `record` for the photo: cleared, XMP by the type's policy, then the IIM block
// (mergeMissingFromIIM), then EXIF (caption <- image description, creator <- artist, copyright <-
// copyright, an invalid date/time <- capture time). The photo state found in the XMP (or IIM 2:221 when
// the XMP has none) goes into `image`. 0, or the engine's result when the file cannot be read.
NRFErr NRFLoadIPTC(NRFImageInfoRec* image, IPTCRec* record, IPTCXMPSource* source = nullptr);

// Every field of `record` still empty takes the value of `iim`; the date and the time are taken from
// `iim` when the record's own are not valid and the IIM's are. 2:221 values and unknown datasets fill
// in too.
void mergeMissingFromIIM(IPTCRec& record, const IPTCRec& iim);

// True when the record's date (and time, when it has one) is in range (year -999..9999, month 1..12,
// day 1..31, hour < 24, minute and second < 60).
bool IPTCDateTimeIsValid(const IPTCRec& record);

// -- writing

// Saves `record` by the type's policy and the save settings: IIM and XMP into the file in one rewrite
// and/or the ".XMP" sidecar (read back after writing). The photo state of `image` is written with it.
// The previous blocks (or sidecar) are kept in the cache folder for DoUndoSaveIPTC. Errors leave their
// text in NRFGetErrorText(): "Unable to save metadata for %s.", "Plugin for '%s' cannot update IPTC
// metadata.", "Plugin for '%s' cannot update XMP metadata.", "No plugin available for '%s'" and the
// sidecar texts.
NRFErr DoSaveIPTC(NRFImageInfoRec* image, const IPTCRec& record, NRFMetadataCommit* batch = nullptr,
                  IPTCSaveReport* report = nullptr);
// The same with explicit settings (tests, callers that read the preferences once).
NRFErr DoSaveIPTC(NRFImageInfoRec* image, const IPTCRec& record, const IPTCSaveSettings& settings,
                  const IPTCEncodingSettings& encoding, NRFMetadataCommit* batch = nullptr,
                  IPTCSaveReport* report = nullptr);

// Puts back what the last DoSaveIPTC of this file replaced (works from another process: the undo data
// lives in the cache folder). Refused (1) when there is nothing to undo or the file changed since that
// save; "Unable to read IPTC in NRFUndoSaveIPTC()" when the undo data cannot be read.
NRFErr DoUndoSaveIPTC(NRFImageInfoRec* image);

// Updates only the given parts of the photo's XMP (kXMPUpdateGPS, kXMPUpdateOrientation,
// kXMPUpdateCrop, kXMPUpdateImageState) from `image`, where its policy keeps XMP.
NRFErr NRFSaveXMP(NRFImageInfoRec* image, unsigned what);

// Removes the embedded IIM and XMP (and the ".XMP" sidecar of types that keep one).
NRFErr NRFDeleteMetadata(NRFImageInfoRec* image);

// Gives `jpeg` (a JPEG the program just made from `source`, such as its extracted preview) the
// source's metadata record (by its policy: embedded or sidecar), its prefs (tag, colour class, rating,
// image number, rotation, crop) and, when `withProfile`, the source's colour profile (its own, else the
// built-in profile of its colour space). The profile goes in first (a JPEG that has one keeps it), then
// IIM and XMP in one rewrite; no undo data is kept.
NRFErr IPTCCopyMetadataToJPEG(NRFImageInfoRec* source, const std::string& jpeg, bool withProfile);

// -- the photo state (item operations). Each writes the state where the type keeps it (XMP and IIM
// 2:221 for JPEG, ".XIP" and the XMP where the type keeps XMP for the others) and on failure leaves the
// record's state as it was. The texts are the ones the caller shows before the error.

enum class IPTCPhotoOperation {
    kSetTag,
    kToggleTag,
    kClearTag,
    kSetColorClass,
    kSetRating,
    kRotateClockwise,
    kRotateCounterClockwise,
    kSetRotation,
    kMirrorHorizontally,
    kMirrorVertically,
    kSetMirror,
    kSetCrop,
    kRemoveCrop,
    kSaveMetadata,
};
// "While setting a tag an error occurred:" and the others.
const char* IPTCPhotoOperationErrorText(IPTCPhotoOperation operation);

// The photo state (tag, colour class, rating) that `record` sets, into `image`; what the record leaves
// empty stays as it is. A save writes the image's state with the record, so a new file (a copy, a file
// saved as) takes its original's state this way before its metadata is saved.
void IPTCPhotoStateIntoImage(const IPTCRec& record, const IPTCEncodingSettings& encoding,
                             NRFImageInfoRec& image);

// Brings the photo's current state into `image` before a part of it changes: the ".XIP" of the types
// that keep one, then the XMP by the type's policy (a JPEG without state in its XMP: its IIM 2:221). A
// rotation the file holds in its own orientation values stays the file's.
NRFErr IPTCLoadPhotoState(NRFImageInfoRec* image);

// mode: 0 off, 1 on, 2 toggle.
NRFErr IPTCSetPhotoTag(NRFImageInfoRec* image, int mode);
NRFErr IPTCSetPhotoRating(NRFImageInfoRec* image, int rating);         // 0..5
NRFErr IPTCSetPhotoColorClass(NRFImageInfoRec* image, int colorClass); // 0..8
// The rotation code 0..7: the file's own orientation values in place, and the prefs (for a JPEG its
// XMP with the tiff:Orientation copy; a JPEG whose XMP holds no orientation and whose EXIF does is only
// changed in place).
NRFErr IPTCSetPhotoRotation(NRFImageInfoRec* image, int code);
// A valid normalised crop, or the full image to remove it.
NRFErr IPTCSetPhotoCrop(NRFImageInfoRec* image, const NRFNormalizedCrop& crop);
