// The Windows Bitmap reader: the 14-byte file header and the info header that follows it, in any of
// its sizes (12 bytes for the OS/2 core header; 40, 52, 56, 108 and 124 for the Windows versions, 64
// for OS/2 2.x). It gives the size, the bit depth and whether the image has colour; bitmaps carry no
// metadata, so no location is recorded.

#include "NRF/NRFBMP.h"

#include "NRF/NRF.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFRawUtils.h"
#include "app/LumoLog.h"

#include <cstdint>
#include <cstring>
#include <new>

namespace {

constexpr std::uint64_t kFileHeaderSize = 14;
constexpr std::uint32_t kCoreHeaderSize = 12;

// Compression values of the Windows headers.
enum : std::uint32_t { kBIRGB = 0, kBIBitFields = 3, kBIJPEG = 4, kBIPNG = 5, kBIAlphaBitFields = 6 };

std::uint16_t le16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t le32(const unsigned char* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

bool knownHeaderSize(std::uint32_t size) {
    switch (size) {
    case 12:
    case 40:
    case 52:
    case 56:
    case 64:
    case 108:
    case 124:
        return true;
    default:
        return false;
    }
}

// A palette of grey entries only makes a grey image. Entries are 3 bytes after the core header and 4
// after the others (blue, green, red, reserved); a palette that cannot be read counts as colour.
bool paletteHasColour(NRFByteSource& source, std::uint64_t at, std::uint32_t entries,
                      std::uint32_t entrySize) {
    unsigned char palette[256 * 4];
    if (entries == 0 || !source.ReadAt(at, palette, std::size_t{entries} * entrySize))
        return true;
    for (std::uint32_t i = 0; i < entries; ++i) {
        const unsigned char* e = palette + std::size_t{i} * entrySize;
        if (e[0] != e[1] || e[1] != e[2])
            return true;
    }
    return false;
}

NRFErr readBMP(NRFImageInfoRec& record, NRFByteSource& source) {
    unsigned char head[kFileHeaderSize + 64];
    if (!source.ReadAt(0, head, kFileHeaderSize + 4) || head[0] != 'B' || head[1] != 'M') {
        LUMO_LOG("Bitmap header for file \"%s\" does not match expected data", record.m_path.c_str());
        return kNRFErrBadFormat;
    }
    const std::uint32_t infoSize = le32(head + kFileHeaderSize);
    if (!knownHeaderSize(infoSize)) {
        LUMO_LOG("Bitmap file \"%s\" has an unknown info header size (%lu)", record.m_path.c_str(),
                 static_cast<unsigned long>(infoSize));
        return kNRFErrBadFormat;
    }
    // The fields read here lie in the first 56 bytes of every Windows header.
    const std::uint32_t readSize = infoSize < 56 ? infoSize : 56;
    if (!source.ReadAt(kFileHeaderSize, head + kFileHeaderSize, readSize)) {
        LUMO_LOG("Bitmap file \"%s\" is truncated", record.m_path.c_str());
        return kNRFErrBadFormat;
    }
    const unsigned char* info = head + kFileHeaderSize;

    std::int64_t width = 0, height = 0;
    std::uint16_t planes = 0, bitCount = 0;
    std::uint32_t compression = kBIRGB, colorsUsed = 0, alphaMask = 0;
    if (infoSize == kCoreHeaderSize) {
        width = le16(info + 4);
        height = le16(info + 6);
        planes = le16(info + 8);
        bitCount = le16(info + 10);
    } else {
        width = static_cast<std::int32_t>(le32(info + 4));
        height = static_cast<std::int32_t>(le32(info + 8)); // negative: the rows run top-down
        planes = le16(info + 12);
        bitCount = le16(info + 14);
        compression = le32(info + 16);
        colorsUsed = le32(info + 32);
        if (infoSize >= 56 && infoSize != 64)
            alphaMask = le32(info + 52);
    }
    if (height < 0)
        height = -height;
    const bool embedded = compression == kBIJPEG || compression == kBIPNG;
    const bool depthKnown = bitCount == 1 || bitCount == 4 || bitCount == 8 || bitCount == 16 ||
                            bitCount == 24 || bitCount == 32 || (bitCount == 0 && embedded) ||
                            (bitCount == 2 && infoSize != 12);
    if (width <= 0 || height == 0 || planes != 1 || !depthKnown) {
        LUMO_LOG("Bitmap file \"%s\" has a bad info header (%lldx%lld, %u planes, %u bits)",
                 record.m_path.c_str(), static_cast<long long>(width), static_cast<long long>(height), planes,
                 bitCount);
        return kNRFErrBadFormat;
    }

    record.m_width = static_cast<std::uint32_t>(width);
    record.m_height = static_cast<std::uint32_t>(height);
    if (bitCount != 0 && bitCount <= 8) {
        const std::uint32_t full = 1u << bitCount;
        const std::uint32_t entries = colorsUsed != 0 && colorsUsed < full ? colorsUsed : full;
        const std::uint32_t entrySize = infoSize == kCoreHeaderSize ? 3 : 4;
        std::uint64_t paletteAt = kFileHeaderSize + infoSize;
        // Bit masks written after a 40-byte header come before the palette.
        if (infoSize == 40 && (compression == kBIBitFields || compression == kBIAlphaBitFields))
            paletteAt += compression == kBIBitFields ? 12 : 16;
        record.m_bitsPerSample = bitCount;
        record.m_samplesPerPixel = 1;
        record.m_isColor = paletteHasColour(source, paletteAt, entries, entrySize);
    } else {
        record.m_bitsPerSample = 8;
        record.m_samplesPerPixel = bitCount == 32 && alphaMask != 0 ? 4 : 3;
        record.m_isColor = true;
    }
    NRFSetDisplaySize(record);
    record.m_hasInfo = true;
    return kNRFErrNone;
}

NRFErr getImageInfo(NRFContext& context, NRFImageInfoRec& record, lumo::File& file) {
    NRFFileByteSource source(file, 4096);
    return NRFReadBMPStructure(context, record, source);
}

} // namespace

NRFErr NRFReadBMPStructure(NRFContext&, NRFImageInfoRec& record, NRFByteSource& source) {
    try {
        return readBMP(record, source);
    } catch (const std::bad_alloc&) {
        return kNRFErrMemory;
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFBMPGetImageInfo()");
        return kNRFErrException;
    }
}

NRFGetImageInfoProc NRFBMPReaderGetImageInfo() {
    return &getImageInfo;
}
