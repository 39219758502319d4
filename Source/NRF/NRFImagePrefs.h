#pragma once

// Where the per-image prefs live beside or inside the file: the ".XIP" sidecar (every type but JPEG),
// and the legacy block at the end of older image files, which is recognised so that it can be read and
// removed.

#include "support/FileIO.h"

#include <cstdint>
#include <string>

class NRFImageInfoRec;

using NRFErr = std::uint32_t;

// The ".XIP" sidecar of `imagePath`: the path with its extension replaced by "XIP", else "xip" when
// only that exists. With `existingOnly`, empty when neither exists; otherwise the "XIP" name.
std::string NRFXIPSidecarPath(const std::string& imagePath, bool existingOnly);

// Imports the record's ".XIP" sidecar; 5 when there is none, 6 when it cannot be read, 9 when it is not
// an image prefs document.
NRFErr NRFLoadXMLPrefs(NRFImageInfoRec* record);
// Deletes the record's ".XIP" sidecar (0 when there is none).
NRFErr NRFWhackXMLPrefs(NRFImageInfoRec* record);
// The record's prefs written beside its sidecar, ready to take the sidecar's place: a change that also
// touches the image file (a rotation) prepares the sidecar first, changes the file, then commits, so
// that a sidecar that cannot be written leaves the image as it was.
//
// Prepare() refuses, leaving everything as it is, when the sidecar is there but cannot be read (6), is
// not an image prefs document (9), or is read-only (6: its owner has said it must not change); it
// keeps every element of the old document that the record does not write itself
// (NRFXMLImagePrefsMerge). A sidecar that is a symbolic link is written through to the file it leads
// to. Commit() puts the new document in place. Going without Commit() leaves the sidecar as it was.
// Errors leave their text in NRFGetErrorText().
class NRFPendingImagePrefs {
public:
    NRFErr Prepare(NRFImageInfoRec& record);
    NRFErr Commit();
    void Discard() { m_replace.discard(); }

private:
    lumo::PendingReplace m_replace;
    std::string m_sidecar;
};

// Writes the record's prefs where its type keeps them: a JPEG's into its own metadata (XMP and IIM
// 2:221) through the installed writer; every other type's into the ".XIP" sidecar
// (NRFPendingImagePrefs) and, through the writer, into the XMP where the type keeps one (the sidecar's
// new document is committed only after the writer succeeded). Without a writer a JPEG answers 22 with
// "Saving image prefs into the file's own metadata is not available for '%s'.".
NRFErr NRFSaveImagePrefs(NRFImageInfoRec* record);

// Writes a photo's state (tag, colour class, rating, image number, rotation, crop) into the file's own
// metadata or its XMP sidecar. The metadata layer installs it at start (the engine does not link that
// layer); its errors leave their text in NRFGetErrorText().
using NRFImagePrefsWriter = NRFErr (*)(NRFImageInfoRec& record);
void NRFSetImagePrefsWriter(NRFImagePrefsWriter writer);
NRFImagePrefsWriter NRFGetImagePrefsWriter();

// The legacy block at the end of a file: 2048 bytes of payload and a 12-byte trailer (length, kind,
// "klbl").
inline constexpr std::uint32_t kNRFEOFPayloadLength = 2048;
inline constexpr std::uint32_t kNRFEOFBlockLength = 2060;

struct NRFEOFBlock {
    bool present = false;   // a trailer with "klbl" and a known kind
    std::uint32_t kind = 0; // "klip" (image prefs) or "kltn"
    std::uint32_t length = 0;
    std::string payload; // the 2048 bytes of a "klip" block
};
// Reads the trailer (and a "klip" block's payload) of the file at `path`. 0 also when there is none.
NRFErr NRFLoadEOFBlocks(const std::string& path, NRFEOFBlock& out);
// Removes a "klip" block of exactly 2060 bytes from the end of the file (truncating it in place) or of
// `bytes`; anything else is left alone. `removed` says whether a block went.
NRFErr NRFRemoveEOFPrefs(const std::string& path, bool& removed);
NRFErr NRFRemoveEOFPrefs(std::string& bytes, bool& removed);
