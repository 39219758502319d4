// The JPEG reader's GetImageInfo: one walk over the markers in front of the image data finds every
// metadata segment (EXIF, XMP, Photoshop/IPTC, ICC, JFIF, comments) and the image size, and then the
// embedded thumbnail and preview are checked against the image they claim to show.

#include "NRF/NRFJPEGReader.h"

#include "NRF/EXIFUtils.h"
#include "NRF/NRF.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFImageInfo.h"
#include "app/LumoLog.h"
#include "support/FileIO.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

namespace {

constexpr std::uint8_t kSOF0 = 0xC0, kDHT = 0xC4, kJPG = 0xC8, kDAC = 0xCC, kSOI = 0xD8, kEOI = 0xD9,
                       kSOS = 0xDA, kDQT = 0xDB, kDRI = 0xDD, kAPP0 = 0xE0, kAPP1 = 0xE1, kAPP2 = 0xE2,
                       kAPP9 = 0xE9, kAPP13 = 0xED, kAPP15 = 0xEF, kCOM = 0xFE;

// The namespace that starts an XMP APP1 segment; its first 23 characters are what identifies one.
constexpr char kXMPNamespace[] = "http://ns.adobe.com/xap/1.0/";
constexpr std::size_t kXMPCompared = 23;
constexpr char kPhotoshop[] = "Photoshop 3.0";
constexpr std::uint16_t kIPTCResource = 0x0404;

std::uint32_t pos32(std::uint64_t pos) {
    return pos > 0xFFFFFFFFull ? 0 : static_cast<std::uint32_t>(pos);
}

bool landscape(std::uint32_t width, std::uint32_t height) {
    return width >= height;
}

class MarkerWalk {
public:
    MarkerWalk(NRFContext& context, NRFImageInfoRec& record, NRFByteSource& source)
        : m_context(context), m_record(record), m_source(source) {}

    NRFErr run();

private:
    NRFErr segment(std::uint8_t marker, std::uint64_t pos, std::uint32_t length);
    NRFErr exif(std::uint64_t pos, std::uint32_t length);
    void xmp(std::uint64_t pos, std::uint32_t length);
    void photoshop(std::uint64_t pos, std::uint32_t length);
    void icc(std::uint64_t pos, std::uint32_t length, bool followsAPP2);
    void validate();
    bool payloadStarts(std::uint64_t pos, std::uint32_t length, const char* text, std::size_t size);

    NRFContext& m_context;
    NRFImageInfoRec& m_record;
    NRFByteSource& m_source;
    std::uint64_t m_previewShift = 0;
    bool m_haveSOF = false, m_haveExif = false, m_haveJFIF = false, m_appleMark = false, m_haveXMP = false;
    bool m_haveIPTC = false;
    std::uint32_t m_sofWidth = 0, m_sofHeight = 0;
    std::uint8_t m_lastMarker = 0;
};

bool MarkerWalk::payloadStarts(std::uint64_t pos, std::uint32_t length, const char* text, std::size_t size) {
    if (length < 2 + size)
        return false;
    std::string bytes(size, '\0');
    return m_source.ReadAt(pos + 4, bytes.data(), size) && std::memcmp(bytes.data(), text, size) == 0;
}

NRFErr MarkerWalk::run() {
    unsigned char head[512];
    const std::size_t headSize =
        static_cast<std::size_t>(std::min<std::uint64_t>(sizeof head, m_source.Size()));
    if (!m_source.ReadAt(0, head, headSize))
        return kNRFErrOpen;
    // A TIFF under a JPEG name: the TIFF reader takes it.
    if (headSize >= 4 && (std::memcmp(head, "II*\0", 4) == 0 || std::memcmp(head, "MM\0*", 4) == 0)) {
        m_record.m_fileType = kNRFTypeTIFF;
        return kNRFErrWrongType;
    }
    // The image may come after a wrapper of up to 511 bytes.
    std::uint64_t soi = 0;
    bool found = false;
    for (std::size_t i = 0; i + 1 < headSize && i < 511; ++i)
        if (head[i] == 0xFF && head[i + 1] == kSOI) {
            soi = i;
            found = true;
            break;
        }
    if (!found)
        return kNRFErrBadFormat;
    m_record.m_jpegSOIPos = pos32(soi);
    m_previewShift = soi;

    const std::uint64_t size = m_source.Size();
    std::uint64_t pos = soi + 2;
    unsigned char b[4];
    while (pos + 4 <= size && m_source.ReadAt(pos, b, 4)) {
        if (b[0] != 0xFF) { // a stray byte where a marker should be
            ++m_record.m_malformedCount;
            ++pos;
            continue;
        }
        const std::uint8_t marker = b[1];
        if (marker == 0xFF) { // fill
            ++pos;
            continue;
        }
        if (marker == 0x00) {
            m_record.m_malformedCount += 2;
            pos += 2;
            continue;
        }
        if (marker == kSOI)
            break;
        const std::uint32_t length = (std::uint32_t{b[2]} << 8) | b[3];
        if (length < 2)
            return kNRFErrBadFormat;
        if (marker == kSOS || marker == kEOI) {
            m_record.m_jpegSOSPos = pos32(pos);
            break;
        }
        if ((marker < kAPP0 || marker > kAPP15) && m_record.m_jpegInsertPos == 0)
            m_record.m_jpegInsertPos = pos32(pos);
        if (const NRFErr err = segment(marker, pos, length); err != kNRFErrNone)
            return err;
        if (marker != kSOF0 && marker != kDHT && marker != kDQT && marker != kDRI && marker != kAPP1 &&
            marker != kAPP9)
            m_previewShift += 2 + length;
        m_lastMarker = marker;
        pos += 2 + length;
    }
    if (m_haveSOF) {
        m_record.m_width = m_sofWidth;
        m_record.m_height = m_sofHeight;
    }
    m_record.m_cameraOriginal = m_haveExif && !m_haveJFIF && !m_appleMark;
    validate();
    m_record.m_displayWidth = m_record.m_width;
    m_record.m_displayHeight = m_record.m_height;
    m_record.m_hasInfo = true;
    return kNRFErrNone;
}

NRFErr MarkerWalk::segment(std::uint8_t marker, std::uint64_t pos, std::uint32_t length) {
    if ((marker >= kAPP0 && marker <= kAPP15) || marker == kCOM)
        m_record.m_jpegEndOfMetadata = pos32(pos + 2 + length);
    if (marker >= 0xC0 && marker <= 0xCF && marker != kDHT && marker != kJPG && marker != kDAC) {
        unsigned char sof[6];
        if (length < 8 || !m_source.ReadAt(pos + 4, sof, sizeof sof))
            return kNRFErrBadFormat;
        const std::uint8_t components = sof[5];
        if (components != 1 && components != 3 && components != 4)
            return kNRFErrBadFormat;
        m_sofHeight = (std::uint32_t{sof[1]} << 8) | sof[2];
        m_sofWidth = (std::uint32_t{sof[3]} << 8) | sof[4];
        m_haveSOF = true;
        m_record.m_isColor = components != 1;
        m_record.m_samplesPerPixel = components;
        return kNRFErrNone;
    }
    switch (marker) {
    case kAPP0:
        if (length >= 16 && payloadStarts(pos, length, "JFIF", 4)) {
            unsigned char jfif[12];
            if (m_source.ReadAt(pos + 4, jfif, sizeof jfif)) {
                m_haveJFIF = true;
                m_record.m_jfifPos = pos32(pos);
                const std::uint8_t unit = jfif[7];
                if (unit == 1 || unit == 2) {
                    m_record.m_jfifUnit = unit;
                    m_record.m_jfifXDensity = static_cast<std::uint16_t>((jfif[8] << 8) | jfif[9]);
                    m_record.m_jfifYDensity = static_cast<std::uint16_t>((jfif[10] << 8) | jfif[11]);
                }
            }
        }
        break;
    case kAPP1:
        if (payloadStarts(pos, length, "Exif\0\0", 6)) {
            if (!m_haveExif)
                return exif(pos, length);
        } else if (payloadStarts(pos, length, kXMPNamespace, kXMPCompared)) {
            xmp(pos, length);
        }
        break;
    case kAPP13:
        if (payloadStarts(pos, length, kPhotoshop, sizeof kPhotoshop))
            photoshop(pos, length);
        break;
    case kAPP2:
        if (payloadStarts(pos, length, "ICC_PROFILE", 12))
            icc(pos, length, m_lastMarker == kAPP2);
        break;
    case kCOM:
        if (length >= 12 && payloadStarts(pos, length, "AppleMark", 9))
            m_appleMark = true;
        break;
    default:
        break;
    }
    return kNRFErrNone;
}

// The EXIF block's values. Its faults cost only what they hold, but for a strict reading's stop at a
// malformed entry, which fails the file as it fails a TIFF (10).
NRFErr MarkerWalk::exif(std::uint64_t pos, std::uint32_t length) {
    m_haveExif = true;
    m_record.m_exifSegmentPos = pos32(pos);
    m_record.m_exifSegmentLength = length;
    NRFBasicTIFF tiff(m_source, pos + 10);
    if (!tiff.ReadHeader())
        return kNRFErrNone;
    m_record.m_tiffBigEndian = tiff.BigEndian();
    EXIFParseOptions options;
    options.fileType = kNRFTypeJPEG;
    options.strictExif = m_context.strictExif;
    options.segmentStart = pos + 10;
    options.segmentEnd = pos + 2 + length;
    EXIFParser parser(m_record, tiff, options);
    const auto strictStop = [&](NRFErr err) { return options.strictExif && err == kEXIFErrMalformed; };
    NRFErr err = parser.ParseIFD0();
    if (err != kNRFErrNone)
        return strictStop(err) ? err : kNRFErrNone;
    if (err = parser.ParseExifIFD(); strictStop(err))
        return err;
    if (err = parser.ParseIFD1(); strictStop(err))
        return err;
    return kNRFErrNone;
}

void MarkerWalk::xmp(std::uint64_t pos, std::uint32_t length) {
    if (m_haveXMP && m_context.firstMetadataWins)
        return;
    const std::uint32_t header = sizeof kXMPNamespace; // the namespace and its NUL
    if (length < 2 + header)
        return;
    m_haveXMP = true;
    m_record.m_xmpSegmentPos = pos32(pos);
    m_record.m_xmpSegmentLength = length;
    m_record.m_xmpPacketPos = pos32(pos + 4 + header);
    m_record.m_xmpPacketLength = length - 2 - header;
}

void MarkerWalk::photoshop(std::uint64_t pos, std::uint32_t length) {
    if (length & 1)
        LUMO_LOG("Photoshop APPD marker is odd-sized and may cause problems.  File is: '%s'",
                 m_record.m_path.c_str());
    ++m_record.m_photoshopCount;
    if (m_haveIPTC && m_context.firstMetadataWins)
        return;
    const std::uint64_t dataPos = pos + 4 + sizeof kPhotoshop;
    const std::uint32_t dataLength = length - 2 - static_cast<std::uint32_t>(sizeof kPhotoshop);
    std::string block(dataLength, '\0');
    std::uint64_t iptcPos = 0, iptcLength = 0;
    if (m_source.ReadAt(dataPos, block.data(), block.size()))
        EXIFWalkPhotoshopResources(block, [&](std::uint16_t id, std::size_t at, std::size_t size) {
            if (id != kIPTCResource)
                return true;
            iptcPos = dataPos + at;
            iptcLength = size;
            return false;
        });
    if (iptcLength != 0) {
        m_haveIPTC = true;
        m_record.m_photoshopPos = pos32(pos);
        m_record.m_photoshopLength = length;
        m_record.m_iptcPos = pos32(iptcPos);
        m_record.m_iptcLength = static_cast<std::uint32_t>(iptcLength);
    } else if (m_record.m_photoshopPos == 0) {
        m_record.m_photoshopPos = pos32(pos);
        m_record.m_photoshopLength = length;
    }
}

void MarkerWalk::icc(std::uint64_t pos, std::uint32_t length, bool followsAPP2) {
    unsigned char chunk[6];
    if (length < 2 + 14 || !m_source.ReadAt(pos + 4 + 12, chunk, 2))
        return;
    const std::uint8_t sequence = chunk[0], count = chunk[1];
    NRFImageInfoRec& r = m_record;
    if (sequence == 1) {
        r.m_colorSpaceCode = 1;
        r.m_iccChunkCount = 0;
        r.m_iccTotalLength = length - 16;
        if (count > 1 && length >= 2 + 14 + 4 && m_source.ReadAt(pos + 4 + 14, chunk + 2, 4))
            r.m_iccTotalLength =
                (std::uint32_t{chunk[2]} << 24) | (chunk[3] << 16) | (chunk[4] << 8) | chunk[5];
        r.m_iccChunkPos[r.m_iccChunkCount++] = pos32(pos);
        return;
    }
    if (r.m_iccChunkCount == 0)
        return; // a continuation without its start
    if (!followsAPP2)
        LUMO_LOG("ICC Profile markers not in sequence!  File is: '%s'", r.m_path.c_str());
    if (r.m_iccChunkCount < r.m_iccChunkPos.size())
        r.m_iccChunkPos[r.m_iccChunkCount++] = pos32(pos);
}

// Embedded images that do not show this image are dropped: one turned the other way, or one left from
// before the picture was edited and saved again.
void MarkerWalk::validate() {
    NRFImageInfoRec& r = m_record;
    const bool imageLandscape = landscape(r.m_width, r.m_height);
    if (r.m_thumbnail.present() && landscape(r.m_thumbnail.width, r.m_thumbnail.height) != imageLandscape) {
        r.m_thumbnail = NRFEmbeddedImageLoc{};
        r.m_stripThumbnail = NRFEmbeddedImageLoc{};
    }
    if (r.m_preview.present() && landscape(r.m_preview.width, r.m_preview.height) != imageLandscape)
        r.m_preview = NRFEmbeddedImageLoc{};
    // EXIF without pixel dimensions says nothing about a later edit.
    const bool haveExifSize = r.m_pixelXDimension != 0 && r.m_pixelYDimension != 0;
    const bool sameSize = r.m_width == r.m_pixelXDimension && r.m_height == r.m_pixelYDimension;
    if (r.m_cameraOriginal && sameSize) {
        if (r.m_preview.present() && !r.m_previewOffsetIsAbsolute)
            r.m_preview.offset = pos32(r.m_preview.offset + m_previewShift);
        return;
    }
    r.m_preview = NRFEmbeddedImageLoc{};
    if (haveExifSize && !sameSize) {
        r.m_thumbnail = NRFEmbeddedImageLoc{};
        r.m_stripThumbnail = NRFEmbeddedImageLoc{};
    }
}

NRFErr getImageInfo(NRFContext& context, NRFImageInfoRec& record, lumo::File& file) {
    NRFFileByteSource source(file);
    return NRFReadJPEGStructure(context, record, source);
}

} // namespace

NRFErr NRFReadJPEGStructure(NRFContext& context, NRFImageInfoRec& record, NRFByteSource& source) {
    try {
        MarkerWalk walk(context, record, source);
        return walk.run();
    } catch (const std::bad_alloc&) {
        return kNRFErrMemory;
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFJPEGGetImageInfo()");
        return kNRFErrException;
    }
}

NRFGetImageInfoProc NRFJPEGReaderGetImageInfo() {
    return &getImageInfo;
}
