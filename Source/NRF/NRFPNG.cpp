// The PNG reader: the header chunk gives size and colour; the chunk headers are walked to IEND (XMP may
// follow the image data) and the metadata chunks are located: the XMP text chunk, the EXIF chunk (parsed
// as a TIFF block), the embedded profile, the sRGB marker and the raw-profile text chunks that other
// programs use for IPTC and Photoshop resources. Only the chunk headers and the few chunks read are
// touched; every length is checked against the file before it is used.

#include "NRF/NRFPNG.h"

#include "NRF/EXIFUtils.h"
#include "NRF/NRF.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFImageInfo.h"
#include "app/LumoLog.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <string>

namespace {

constexpr unsigned kMaxChunks = 1u << 20;
constexpr std::uint32_t kMaxChunkLength = 0x7FFFFFFF; // the format's own limit
const char kSignature[8] = {'\x89', 'P', 'N', 'G', '\r', '\n', '\x1A', '\n'};

std::uint32_t be32(const unsigned char* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}

std::uint32_t pos32(std::uint64_t value) {
    return static_cast<std::uint32_t>(
        std::min<std::uint64_t>(value, std::numeric_limits<std::uint32_t>::max()));
}

// The keyword of a text chunk (up to its NUL, at most 79 characters) and the bytes read after it.
bool readTextChunkHead(NRFByteSource& source, std::uint64_t data, std::uint32_t length, std::string& keyword,
                       std::string& head) {
    head.assign(std::min<std::uint32_t>(length, 1024), '\0');
    if (head.empty() || !source.ReadAt(data, head.data(), head.size()))
        return false;
    const std::size_t nul = head.find('\0');
    if (nul == std::string::npos || nul == 0 || nul > 79)
        return false;
    keyword = head.substr(0, nul);
    return true;
}

void readXMPChunk(NRFImageInfoRec& record, NRFByteSource& source, std::uint64_t chunk, std::uint32_t length) {
    std::string keyword, head;
    if (!readTextChunkHead(source, chunk + 8, length, keyword, head) || keyword != "XML:com.adobe.xmp")
        return;
    if (record.m_xmpSegmentPos != 0) // the first one counts
        return;
    // keyword NUL, compression flag, method, language tag NUL, translated keyword NUL, text
    std::size_t at = keyword.size() + 1;
    if (at + 2 > head.size())
        return;
    const bool compressed = head[at] != 0;
    at += 2;
    for (int field = 0; field < 2; ++field) {
        const std::size_t nul = head.find('\0', at);
        if (nul == std::string::npos) {
            LUMO_LOG("PNG XMP chunk of file \"%s\" is malformed", record.m_path.c_str());
            return;
        }
        at = nul + 1;
    }
    record.m_xmpSegmentPos = pos32(chunk);
    record.m_xmpSegmentLength = pos32(std::uint64_t(length) + 12);
    if (compressed) {
        LUMO_LOG("PNG XMP chunk of file \"%s\" is compressed", record.m_path.c_str());
        return;
    }
    record.m_xmpPacketPos = pos32(chunk + 8 + at);
    record.m_xmpPacketLength = pos32(length - at);
}

void readExifChunk(NRFContext& context, NRFImageInfoRec& record, NRFByteSource& source, std::uint64_t data,
                   std::uint32_t length) {
    if (record.m_exifSegmentPos != 0 || length < 8)
        return;
    std::uint64_t tiffPos = data;
    // Some writers keep the "Exif\0\0" of a JPEG segment in front of the header.
    unsigned char head[6];
    if (length >= 14 && source.ReadAt(data, head, 6) && std::memcmp(head, "Exif\0\0", 6) == 0)
        tiffPos += 6;
    NRFBasicTIFF tiff(source, tiffPos);
    if (!tiff.ReadHeader()) {
        LUMO_LOG("PNG EXIF chunk of file \"%s\" has no TIFF header", record.m_path.c_str());
        return;
    }
    record.m_exifSegmentPos = pos32(data);
    record.m_exifSegmentLength = length;
    record.m_tiffBigEndian = tiff.BigEndian();
    // The image's own header chunk describes the image; what an EXIF IFD0 says about size and samples
    // is the camera's and does not replace it.
    const std::uint32_t width = record.m_width, height = record.m_height;
    const std::uint16_t bits = record.m_bitsPerSample, samples = record.m_samplesPerPixel;
    const std::uint16_t compression = record.m_compression, photometric = record.m_photometric;
    const bool isColor = record.m_isColor;
    EXIFParseOptions options;
    options.fileType = record.m_fileType;
    options.strictExif = context.strictExif;
    options.segmentStart = tiffPos;
    options.segmentEnd = data + length;
    EXIFParser parser(record, tiff, options);
    NRFErr err = parser.ParseIFD0();
    if (err == 0)
        err = parser.ParseExifIFD();
    if (err != 0)
        LUMO_LOG("PNG EXIF chunk of file \"%s\" cannot be read (%d)", record.m_path.c_str(), int(err));
    record.m_width = width;
    record.m_height = height;
    record.m_bitsPerSample = bits;
    record.m_samplesPerPixel = samples;
    record.m_compression = compression;
    record.m_photometric = photometric;
    record.m_isColor = isColor;
}

// tEXt/zTXt/iTXt chunks named "Raw profile type ...": a hex dump of a block from another format. Their
// location is kept for the IPTC and Photoshop blocks; their content is for the metadata readers.
void readRawProfileChunk(NRFImageInfoRec& record, NRFByteSource& source, std::uint64_t chunk,
                         std::uint32_t length) {
    std::string keyword, head;
    if (!readTextChunkHead(source, chunk + 8, length, keyword, head))
        return;
    if (keyword == "Raw profile type iptc" && record.m_iptcPos == 0) {
        record.m_iptcPos = pos32(chunk);
        record.m_iptcLength = pos32(std::uint64_t(length) + 12);
    } else if ((keyword == "Raw profile type 8bim" || keyword == "Raw profile type APP13") &&
               record.m_photoshopPos == 0) {
        record.m_photoshopPos = pos32(chunk);
        record.m_photoshopLength = pos32(std::uint64_t(length) + 12);
    }
}

void readHeader(NRFImageInfoRec& record, const unsigned char* ihdr) {
    record.m_width = be32(ihdr);
    record.m_height = be32(ihdr + 4);
    const unsigned depth = ihdr[8], colourType = ihdr[9];
    record.m_bitsPerSample = static_cast<std::uint16_t>(depth);
    record.m_isColor = (colourType & 2) != 0;
    // samples by colour type: grey, -, RGB, palette indexes, grey and alpha, -, RGB and alpha
    static const std::uint16_t kSamples[7] = {1, 0, 3, 1, 2, 0, 4};
    record.m_samplesPerPixel = colourType < 7 ? kSamples[colourType] : 0;
    record.m_compression = ihdr[10];
    record.m_fileBigEndian = true;
}

NRFErr readPNG(NRFContext& context, NRFImageInfoRec& record, NRFByteSource& source) {
    const std::uint64_t size = source.Size();
    unsigned char head[8 + 8 + 13];
    if (!source.ReadAt(0, head, sizeof head) || std::memcmp(head, kSignature, 8) != 0 ||
        std::memcmp(head + 12, "IHDR", 4) != 0 || be32(head + 8) != 13) {
        LUMO_LOG("PNG header of file \"%s\" is not valid", record.m_path.c_str());
        return kNRFErrBadFormat;
    }
    readHeader(record, head + 16);
    if (record.m_width == 0 || record.m_height == 0 || record.m_width > kMaxChunkLength ||
        record.m_height > kMaxChunkLength || record.m_samplesPerPixel == 0) {
        LUMO_LOG("PNG header of file \"%s\" gives no valid image", record.m_path.c_str());
        return kNRFErrBadFormat;
    }
    bool sRGB = false;
    std::uint64_t pos = 8;
    for (unsigned n = 0; n < kMaxChunks && pos + 12 <= size; ++n) {
        unsigned char chunk[8];
        if (!source.ReadAt(pos, chunk, 8))
            break;
        const std::uint32_t length = be32(chunk);
        if (length > kMaxChunkLength || pos + 12 + length > size) {
            LUMO_LOG("PNG chunk at %llu of file \"%s\" runs past the end of the file",
                     static_cast<unsigned long long>(pos), record.m_path.c_str());
            break;
        }
        const std::uint64_t data = pos + 8;
        const char* type = reinterpret_cast<const char*>(chunk + 4);
        if (std::memcmp(type, "IEND", 4) == 0)
            break;
        if (std::memcmp(type, "iTXt", 4) == 0) {
            readXMPChunk(record, source, pos, length);
            readRawProfileChunk(record, source, pos, length);
        } else if (std::memcmp(type, "tEXt", 4) == 0 || std::memcmp(type, "zTXt", 4) == 0) {
            readRawProfileChunk(record, source, pos, length);
        } else if (std::memcmp(type, "eXIf", 4) == 0) {
            readExifChunk(context, record, source, data, length);
        } else if (std::memcmp(type, "iCCP", 4) == 0 && record.m_iccChunkCount == 0) {
            // keyword NUL, method, then the compressed profile: the chunk's data is what is kept
            record.m_iccChunkPos[0] = pos32(data);
            record.m_iccTotalLength = length;
            record.m_iccChunkCount = 1;
        } else if (std::memcmp(type, "sRGB", 4) == 0) {
            sRGB = true;
        }
        pos = data + length + 4;
        if (pos > std::numeric_limits<std::uint32_t>::max())
            break; // the record keeps 32-bit positions
    }
    if (record.m_iccChunkCount != 0)
        record.m_colorSpaceCode = 1;
    else if (sRGB)
        record.m_colorSpaceCode = 2;
    return kNRFErrNone;
}

NRFErr getImageInfo(NRFContext& context, NRFImageInfoRec& record, lumo::File& file) {
    NRFFileByteSource source(file);
    return NRFReadPNGStructure(context, record, source);
}

} // namespace

NRFErr NRFReadPNGStructure(NRFContext& context, NRFImageInfoRec& record, NRFByteSource& source) {
    try {
        return readPNG(context, record, source);
    } catch (const std::bad_alloc&) {
        return kNRFErrMemory;
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFGetImageInfo()");
        return kNRFErrException;
    }
}

NRFGetImageInfoProc NRFPNGReaderGetImageInfo() {
    return &getImageInfo;
}
