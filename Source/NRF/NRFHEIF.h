#pragma once

// The HEIC and HEIF readers: the item boxes (primary item, EXIF and XMP items, locations, size,
// rotation, colour profile) walked by the engine, the size and the pixels through libheif, and the
// placing of a new XMP packet into the file.

#include "NRF/NRFBasicBMFF.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFPlugin.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class NRFBitmapBase;
class NRFByteSource;

// What the HEIF reader keeps about an open file: the items it found.
class HEIFPluginPrivateInfo : public PluginPrivateInfo {
public:
    std::shared_ptr<PluginPrivateInfo> clone() const override {
        return std::make_shared<HEIFPluginPrivateInfo>(*this);
    }

    std::uint32_t primaryItem = 0;
    std::uint32_t exifItem = 0, xmpItem = 0; // 0: none
    std::uint64_t exifOffset = 0, exifLength = 0;
    std::uint64_t xmpOffset = 0, xmpLength = 0;
    std::uint32_t imageWidth = 0, imageHeight = 0; // the primary item's "ispe"
    int rotation = 0;                              // the primary item's "irot", quarter turns anticlockwise
    std::uint64_t iccOffset = 0, iccLength = 0;    // the primary item's "colr"/"prof" profile
    int mdatCount = 0;
};

// Fills the row's entries: GetImageInfo, the thumbnail and preview loaders (decoded by libheif) and
// SaveXMP.
void NRFInstallHEIFReader(const NRFFileTypeInfo& row, NRFPluginFunctions& functions);

// The item walk alone, without libheif (the fuzzer calls it over any bytes): fills the record's EXIF
// values and block locations and its HEIFPluginPrivateInfo. `record` must carry the path and type.
NRFErr NRFReadHEIFItems(NRFContext& context, NRFImageInfoRec& record, NRFByteSource& source);

// Decodes the primary image upright, scaled to fit `size` x `size` (0: full size), as 8-bit RGB. For a
// size, a stored thumbnail item that covers it answers, else `exifThumbnail` (the EXIF block's JPEG
// thumbnail, when given) if it covers it, else the picture. An image whose declared size ("ispe", a
// grid's output size) would need more than NRFDecodeMemoryLimit() to decode answers 7 before libheif
// is asked to decode it.
NRFErr NRFHEIFDecode(const std::string& path, std::uint32_t size, NRFBitmapBase& out,
                     const NRFEmbeddedImageLoc* exifThumbnail = nullptr);

// Places `packet` as the file's XMP item: over the old packet when it fits, otherwise by rebuilding the
// file; either way the new file replaces the old one through a temporary file. 0 on success (the
// record's locations are those of the new file), else one of the kNRFHEIFErr codes below with the file
// as it was.
NRFErr NRFHEIFWriteXMP(NRFImageInfoRec& record, const std::string& packet);

// What NRFHEIFWriteXMP writes, made in memory from the bytes of `file`: `out` is the new file, read back
// and shown to be `file` with the packet placed and nothing else changed, or the result is one of the
// kNRFHEIFErr codes (nothing is logged with a path; the caller names the file).
NRFErr NRFHEIFPlaceXMP(const std::string& file, const std::string& packet, std::string& out);

// ---- the item boxes as laid out in the file, for the reader and the XMP writer ----------------------

// One extent of an item's data: values as stored and the file positions of their fields (0 when the
// field has no bytes), so that a writer can patch them.
struct NRFHEIFExtent {
    std::uint64_t index = 0; // extent_index: for construction method 2, which "iloc" reference (1-based)
    std::uint64_t offset = 0, length = 0;
    std::uint64_t offsetPos = 0, lengthPos = 0;
};

// One "iloc" entry.
struct NRFHEIFLocation {
    std::uint32_t itemId = 0;
    std::uint8_t constructionMethod = 0;     // 0 file offsets, 1 inside "idat", 2 inside another item
    std::uint64_t constructionMethodPos = 0; // its 16-bit field (0 for "iloc" version 0)
    std::uint16_t dataReference = 0;         // 0: this file; otherwise an entry of "dinf"/"dref"
    std::uint64_t baseOffset = 0, baseOffsetPos = 0;
    std::vector<NRFHEIFExtent> extents;
};

// One "infe" entry.
struct NRFHEIFItem {
    std::uint32_t id = 0;
    std::uint32_t type = 0; // "hvc1", "Exif", "mime"; 0 for the oldest entries, which have none
    std::string contentType;
};

struct NRFHEIFReference {
    std::uint32_t type = 0, from = 0, to = 0; // "thmb", "cdsc", "dimg", ...
};

// The top-level "meta" box and what it holds, with the boxes and count fields a writer changes.
struct NRFHEIFItemTable {
    NRFBMFFBox meta, iinf, iloc, idat;
    bool haveMeta = false, haveIinf = false, haveIloc = false, haveIdat = false;
    std::uint8_t iinfVersion = 0, ilocVersion = 0;
    std::uint8_t offsetSize = 0, lengthSize = 0, baseOffsetSize = 0, indexSize = 0;
    std::uint64_t iinfCountPos = 0, ilocCountPos = 0;
    std::uint64_t ilocEntriesEnd = 0; // the position after the last "iloc" entry
    std::uint32_t primaryItem = 0;
    std::vector<NRFHEIFItem> items;
    std::vector<NRFHEIFLocation> locations;
    std::vector<NRFHEIFReference> references;
    std::vector<NRFBMFFBox> properties; // "ipco" children; property index i is properties[i - 1]
    std::vector<std::pair<std::uint32_t, std::vector<std::uint16_t>>> associations; // item, indexes
    // The "grpl" entity groups' identifiers, which share the item identifiers' space; groupsDamaged
    // when a group could not be read (some identifier may be missing).
    std::vector<std::uint32_t> groupIds;
    bool groupsDamaged = false;
    std::vector<NRFBMFFBox> topLevel; // every top-level box in file order
    int mdatCount = 0;

    const NRFHEIFItem* FindItem(std::uint32_t id) const;
    const NRFHEIFLocation* FindLocation(std::uint32_t id) const;
    // The item's property box of `type` (the first associated), or null.
    const NRFBMFFBox* FindProperty(std::uint32_t itemId, const char* type) const;
};

// Walks the top-level boxes and the first top-level "meta" box of `source`. 0, or 10 for a malformed
// item box (its read error logged), 5 when the source cannot be read. Boxes after a readable "meta"
// that run past the end of a cut file do not fail the walk.
NRFErr NRFReadHEIFItemTable(NRFByteSource& source, NRFHEIFItemTable& table);

// The file position and length of an item's data when it is one run of bytes inside the source (one
// extent, or extents that follow each other), from the file or from "idat". False otherwise.
bool NRFHEIFItemExtent(const NRFHEIFItemTable& table, std::uint32_t itemId, std::uint64_t sourceSize,
                       std::uint64_t& pos, std::uint64_t& length);

// The XMP item: "mime" with the content type "application/rdf+xml" (the oldest entries have no type
// and are known by the content type alone). Null when there is none.
const NRFHEIFItem* NRFHEIFFindXMPItem(const NRFHEIFItemTable& table);

// Result codes of NRFHEIFWriteXMP beyond 0.
enum : NRFErr {
    kNRFHEIFErrXMPSize = 1,      // the packet cannot be placed (sizes or fields too narrow)
    kNRFHEIFErrMultipleMdat = 9, // more than one "mdat": the file is left alone
    kNRFHEIFErrWrite = 8,        // reading, writing or renaming failed; the file is as it was
};
