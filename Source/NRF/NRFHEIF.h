#pragma once

// The HEIC and HEIF readers: the item boxes (primary item, EXIF and XMP items, locations, size,
// rotation, colour profile) walked by the engine, the size and the pixels through libheif, and the
// placing of a new XMP packet into the file.

#include "NRF/NRFImageInfo.h"
#include "NRF/NRFPlugin.h"

#include <cstdint>
#include <memory>
#include <string>

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

// Decodes the primary image upright, scaled to fit `size` x `size` (0: full size), as 8-bit RGB.
NRFErr NRFHEIFDecode(const std::string& path, std::uint32_t size, NRFBitmapBase& out);

// Places `packet` as the file's XMP item: in place when it fits, otherwise by rewriting the file
// through a temporary file. 0 on success; the record's XMP location is updated.
NRFErr NRFHEIFWriteXMP(NRFImageInfoRec& record, const std::string& packet);
