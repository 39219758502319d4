// The Photoshop reader: the file header (size, depth, channels, colour mode) and the image-resource
// section, whose resources give the IPTC block, the XMP packet, the EXIF block, the ICC profile and
// the JPEG thumbnail. The resources are walked in the file one header at a time, so a large document
// costs a few small reads; the layers and the pixel data are never read here.

#include "NRF/NRFPSD.h"

#include "NRF/EXIFUtils.h"
#include "NRF/NRF.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFRawUtils.h"
#include "app/LumoLog.h"

#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr std::uint64_t kHeaderSize = 26;
constexpr std::uint32_t kMaxSidePSD = 30000;  // version 1
constexpr std::uint32_t kMaxSidePSB = 300000; // version 2, the large document format
constexpr unsigned kMaxResources = 100000;
constexpr std::uint32_t kThumbnailHeader = 28; // format, sizes, bits and planes before the JFIF data
constexpr std::uint32_t kThumbnailJFIF = 1;

constexpr std::uint16_t kResourceThumbnailBGR = 0x0409; // Photoshop 4 and earlier
constexpr std::uint16_t kResourceIPTC = 0x0404;
constexpr std::uint16_t kResourceThumbnail = 0x040C;
constexpr std::uint16_t kResourceICC = 0x040F;
constexpr std::uint16_t kResourceEXIF = 0x0422;
constexpr std::uint16_t kResourceXMP = 0x0424;

// Colour modes of the header.
enum : std::uint16_t {
    kModeBitmap = 0,
    kModeGrayscale = 1,
    kModeIndexed = 2,
    kModeRGB = 3,
    kModeCMYK = 4,
    kModeMultichannel = 7,
    kModeDuotone = 8,
    kModeLab = 9,
};

std::uint16_t be16(const unsigned char* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
std::uint32_t be32(const unsigned char* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

// Resources signed by programs other than Photoshop follow the same layout.
bool isResourceSignature(const unsigned char* p) {
    for (const char* signature : {"8BIM", "MeSa", "AgHg", "PHUT", "DCSR"})
        if (std::memcmp(p, signature, 4) == 0)
            return true;
    return false;
}

struct Block {
    std::uint64_t pos = 0, length = 0;
    bool present() const { return length != 0; }
};

// The resources the record wants, the first of each kind.
struct Resources {
    Block iptc, xmp, exif, icc, thumbnail, oldThumbnail;
};

void keepFirst(Block& block, std::uint64_t pos, std::uint64_t length) {
    if (!block.present() && length != 0)
        block = Block{pos, length};
}

// Walks the resources between `start` and `end`: signature, id, a Pascal name padded to an even
// length, a 32-bit size and the data padded to an even length. A signature that is not one of the
// resource signatures ends the list (padding some writers leave); a resource whose size runs past the
// section is logged and ends the walk.
void walkResources(NRFByteSource& source, std::uint64_t start, std::uint64_t end, Resources& found) {
    std::uint64_t pos = start;
    for (unsigned count = 0; count < kMaxResources && end - pos >= 12; ++count) {
        unsigned char head[7];
        if (!source.ReadAt(pos, head, sizeof head) || !isResourceSignature(head))
            return;
        const std::uint16_t id = be16(head + 4);
        const std::uint64_t sizePos = pos + 6 + ((std::uint64_t{head[6]} + 2) & ~std::uint64_t{1});
        unsigned char sizeBytes[4];
        if (sizePos + 4 > end || !source.ReadAt(sizePos, sizeBytes, sizeof sizeBytes))
            return;
        const std::uint64_t size = be32(sizeBytes);
        const std::uint64_t data = sizePos + 4;
        if (size > end - data) {
            LUMO_LOG("RemovePSResources(): bad resource size (%lu > %lu", static_cast<unsigned long>(size),
                     static_cast<unsigned long>(end - data));
            return;
        }
        switch (id) {
        case kResourceIPTC:
            keepFirst(found.iptc, data, size);
            break;
        case kResourceXMP:
            keepFirst(found.xmp, data, size);
            break;
        case kResourceEXIF:
            keepFirst(found.exif, data, size);
            break;
        case kResourceICC:
            keepFirst(found.icc, data, size);
            break;
        case kResourceThumbnail:
            keepFirst(found.thumbnail, data, size);
            break;
        case kResourceThumbnailBGR:
            keepFirst(found.oldThumbnail, data, size);
            break;
        default:
            break;
        }
        const std::uint64_t next = data + size + (size & 1);
        if (next > end)
            return;
        pos = next;
    }
}

std::uint32_t pos32(std::uint64_t pos) {
    return pos > 0xFFFFFFFFull ? 0 : static_cast<std::uint32_t>(pos);
}

// Blocks the record keeps must be addressable with its 32-bit locations.
bool fits32(const Block& block) {
    return block.present() && block.pos + block.length <= 0xFFFFFFFFull;
}

// The camera values of the EXIF resource: a TIFF structure from its first byte (some writers put the
// "Exif\0\0" of a JPEG segment before it).
NRFErr readExif(NRFContext& context, NRFImageInfoRec& record, NRFByteSource& source, const Block& exif) {
    std::uint64_t tiffPos = exif.pos;
    unsigned char start[6];
    if (exif.length >= 14 && source.ReadAt(exif.pos, start, sizeof start) &&
        std::memcmp(start, "Exif\0\0", 6) == 0)
        tiffPos += 6;
    NRFBasicTIFF tiff(source, tiffPos);
    if (!tiff.ReadHeader()) {
        LUMO_LOG("Photoshop EXIF resource in file \"%s\" has no TIFF header", record.m_path.c_str());
        return kNRFErrNone;
    }
    record.m_exifSegmentPos = pos32(exif.pos);
    record.m_exifSegmentLength = static_cast<std::uint32_t>(exif.length);
    record.m_tiffBigEndian = tiff.BigEndian();
    EXIFParseOptions options;
    options.fileType = record.m_fileType;
    options.strictExif = context.strictExif;
    options.segmentStart = exif.pos;
    options.segmentEnd = exif.pos + exif.length;
    EXIFParser parser(record, tiff, options);
    NRFErr err = parser.ParseIFD0();
    if (err == kNRFErrNone) {
        err = parser.ParseExifIFD();
        if (err != kEXIFErrMalformed)
            if (const NRFErr ifd1 = parser.ParseIFD1(); ifd1 == kEXIFErrMalformed)
                err = ifd1;
    }
    return err == kEXIFErrMalformed ? err : kNRFErrNone;
}

// The JFIF stream of a thumbnail resource, after its 28-byte header; raw-pixel thumbnails are left
// out.
bool readThumbnail(NRFImageInfoRec& record, NRFByteSource& source, const Block& thumbnail) {
    unsigned char head[kThumbnailHeader];
    if (!fits32(thumbnail) || thumbnail.length <= kThumbnailHeader ||
        !source.ReadAt(thumbnail.pos, head, sizeof head) || be32(head) != kThumbnailJFIF)
        return false;
    NRFEmbeddedImageLoc loc;
    if (!NRFLocateJPEG(source, thumbnail.pos + kThumbnailHeader, thumbnail.length - kThumbnailHeader, loc))
        return false;
    record.m_thumbnail = loc;
    record.m_thumbnailIsJPEG = true;
    record.m_thumbnailIFDEntryPos = 0;
    return true;
}

NRFErr readPSD(NRFContext& context, NRFImageInfoRec& record, NRFByteSource& source) {
    unsigned char header[kHeaderSize];
    if (!source.ReadAt(0, header, sizeof header) || std::memcmp(header, "8BPS", 4) != 0) {
        LUMO_LOG("Photoshop header for file \"%s\" does not match expected data", record.m_path.c_str());
        return kNRFErrBadFormat;
    }
    const std::uint16_t version = be16(header + 4);
    const std::uint16_t channels = be16(header + 12);
    const std::uint32_t height = be32(header + 14), width = be32(header + 18);
    const std::uint16_t depth = be16(header + 22), mode = be16(header + 24);
    const std::uint32_t maxSide = version == 2 ? kMaxSidePSB : kMaxSidePSD;
    if ((version != 1 && version != 2) || width == 0 || height == 0 || width > maxSide || height > maxSide ||
        channels == 0 || depth == 0) {
        LUMO_LOG("Photoshop file \"%s\" has a bad header (version %u, %lux%lu, %u channels, depth %u)",
                 record.m_path.c_str(), version, static_cast<unsigned long>(width),
                 static_cast<unsigned long>(height), channels, depth);
        return kNRFErrBadFormat;
    }

    // The colour-mode data (a palette or duotone settings) is skipped; the resources follow it.
    const std::uint64_t fileSize = source.Size();
    unsigned char length[4];
    if (!source.ReadAt(kHeaderSize, length, sizeof length)) {
        LUMO_LOG("Photoshop file \"%s\" is truncated", record.m_path.c_str());
        return kNRFErrBadFormat;
    }
    const std::uint64_t resourcesAt = kHeaderSize + 4 + std::uint64_t{be32(length)};
    Resources found;
    NRFErr err = kNRFErrNone;
    if (resourcesAt + 4 <= fileSize && source.ReadAt(resourcesAt, length, sizeof length)) {
        const std::uint64_t start = resourcesAt + 4;
        std::uint64_t blockLength = be32(length);
        if (blockLength > fileSize - start) {
            LUMO_LOG("Photoshop image resources of file \"%s\" run past its end (%lu > %lu)",
                     record.m_path.c_str(), static_cast<unsigned long>(blockLength),
                     static_cast<unsigned long>(fileSize - start));
            blockLength = fileSize - start;
        } else if (blockLength != 0 && start + blockLength <= 0xFFFFFFFFull) {
            record.m_photoshopPos = static_cast<std::uint32_t>(start);
            record.m_photoshopLength = static_cast<std::uint32_t>(blockLength);
            record.m_photoshopCount = 1;
        }
        walkResources(source, start, start + blockLength, found);
    } else {
        LUMO_LOG("Photoshop file \"%s\" has no image resources", record.m_path.c_str());
    }

    // EXIF first: the header's values and the resource thumbnail take precedence over what it says.
    if (fits32(found.exif))
        err = readExif(context, record, source, found.exif);
    if (fits32(found.iptc)) {
        record.m_iptcPos = static_cast<std::uint32_t>(found.iptc.pos);
        record.m_iptcLength = static_cast<std::uint32_t>(found.iptc.length);
    }
    if (fits32(found.xmp)) {
        record.m_xmpPacketPos = static_cast<std::uint32_t>(found.xmp.pos);
        record.m_xmpPacketLength = static_cast<std::uint32_t>(found.xmp.length);
    }
    if (fits32(found.icc)) {
        record.m_colorSpaceCode = 1;
        record.m_iccIFDEntryPos = 0;
        record.m_iccTotalLength = static_cast<std::uint32_t>(found.icc.length);
        record.m_iccChunkCount = 1;
        record.m_iccChunkPos = {};
        record.m_iccChunkPos[0] = static_cast<std::uint32_t>(found.icc.pos);
    }
    // The resource thumbnail replaces one the EXIF block may carry.
    auto info = std::make_shared<PSDPluginPrivateInfo>();
    info->m_thumbnailIsBGR =
        !readThumbnail(record, source, found.thumbnail) && readThumbnail(record, source, found.oldThumbnail);
    record.m_privateInfo = info;

    record.m_width = width;
    record.m_height = height;
    record.m_bitsPerSample = depth;
    record.m_samplesPerPixel = channels;
    record.m_isColor = mode == kModeIndexed || mode == kModeRGB || mode == kModeCMYK || mode == kModeLab ||
                       (mode == kModeMultichannel && channels >= 3);
    record.m_preview = {};
    record.m_previewIsJPEG = false;
    NRFSetDisplaySize(record);
    record.m_hasInfo = true;
    return err;
}

NRFErr getImageInfo(NRFContext& context, NRFImageInfoRec& record, lumo::File& file) {
    NRFFileByteSource source(file);
    return NRFReadPSDStructure(context, record, source);
}

} // namespace

NRFErr NRFReadPSDStructure(NRFContext& context, NRFImageInfoRec& record, NRFByteSource& source) {
    try {
        return readPSD(context, record, source);
    } catch (const std::bad_alloc&) {
        return kNRFErrMemory;
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFPSDGetImageInfo()");
        return kNRFErrException;
    }
}

NRFGetImageInfoProc NRFPSDReaderGetImageInfo() {
    return &getImageInfo;
}
