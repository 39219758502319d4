#pragma once

// The metadata record in XMP: reading a packet into an IPTCRec (and the photo state into the image
// record), writing a record into a new packet or merging it into an existing one, GPS, orientation and
// crop in XMP, and the split of a large packet for JPEG's extended XMP. Everything goes through the XMP
// toolkit; its errors are caught and logged here, never thrown to the caller.
//
// Packets handed in are bounded (kXMPMaxPacketSize); a larger one is refused. Written packets carry the
// packet wrapper with the id W5M0MpCehiHzreSzNTczkc9d, a byte-order mark and a writable trailer.
//
// Emptied fields: outside template mode, updating an existing packet removes the properties of every
// field the record holds empty (and of the structures it holds none of), so that clearing a field in
// the editor clears it in the file. Properties the record does not describe stay untouched.

#include "metadata/IPTCRec.h"
#include "metadata/IPTCUtils.h"

#include <cstddef>
#include <string>

class NRFImageInfoRec;

// The program's own namespace (prefix "lumograph").
extern const char* const kLumographXMPNamespaceURI;

// Larger packets (joined extended XMP included) are refused.
inline constexpr std::size_t kXMPMaxPacketSize = 16u * 1024u * 1024u;

// Once per process before any other call (thread-safe; later calls only answer): starts the toolkit and
// registers the namespaces. False when the toolkit cannot start.
bool IPTCXMPInitialize();
// Closes the toolkit at exit ("Closing up XMP Files library", "Closing up XMP Core library").
void IPTCXMPTerminate();

struct XMPSerializeOptions {
    bool padding = true; // the toolkit's standard padding, for in-place embedding
    bool wrapper = true; // the <?xpacket?> header and trailer
};

// Reads a packet into `record` (fields found replace the record's, fields absent are left alone). In
// template mode every field found sets its apply flag and the template properties are read. When `info`
// is not null the photo state is read into it as well: tag, colour class, rating, image number, the
// crop, tiff:Orientation, and GPS when the record holds none. False when the packet does not parse.
bool LoadXMPMetadata(const IPTCEncodingSettings& settings, const char* packet, std::size_t length,
                     NRFImageInfoRec* info, bool templateMode, IPTCRec* record);
// Only the photo state (tag, colour class, rating, image number, crop, orientation).
bool XMPReadImageState(const std::string& packet, NRFImageInfoRec& info);

// JPEG extended XMP. Join: the extension's properties are merged into the main packet (the main
// packet's xmpNote:HasExtendedXMP removed). Split: `main` fits one APP1 segment (65502 bytes) and, when
// the whole packet does not, names `guid` (the upper-case hex MD5 of `extended`) in
// xmpNote:HasExtendedXMP; `extended` and `guid` are empty when the whole packet fits.
bool XMPJoinExtended(std::string& main, const std::string& extended);
bool XMPSplitForJPEG(const std::string& full, std::string& main, std::string& extended, std::string& guid);

// Writes `record` into `existing` (null or empty: a new packet), keeping every other property; the six
// Apple namespaces' properties are removed. With `info` the photo state (tag, colour class, rating,
// image number, lumograph:Prefs) comes from it instead of the record's 2:221 texts.
bool XMPUpdateIPTC(const IPTCEncodingSettings& settings, const std::string* existing, const IPTCRec& record,
                   const NRFImageInfoRec* info, const XMPSerializeOptions& options, std::string& out);
// A complete packet for a record (templates, snapshots); empty on failure.
std::string BuildIPTCRecordAsXMP(const IPTCEncodingSettings& settings, const IPTCRec& record,
                                 bool templateMode);

enum : unsigned {
    kXMPUpdateGPS = 1,
    kXMPUpdateOrientation = 2,
    kXMPUpdateCrop = 4,
    kXMPUpdateImageState = 8,
};
// Writes the parts of `info` named by `what` into `existing` (null or empty: a new packet). GPS: every
// exif:GPS property is replaced by the record's position (removed when it has none).
bool XMPUpdateXMP(const IPTCEncodingSettings& settings, const std::string* existing,
                  const NRFImageInfoRec& info, unsigned what, const XMPSerializeOptions& options,
                  std::string& out);

// Whether the packet holds the property (a path as the toolkit takes it, "CropLeft" or "Struct/ns:Field").
bool PropertyExistsInXMP(const std::string& packet, const char* namespaceURI, const char* path);
// "crs:AlreadyApplied=...\ncrs:CropAngle=..." over the crop properties present; empty when none is.
std::string GetACRSettingsDigest(const std::string& packet);
