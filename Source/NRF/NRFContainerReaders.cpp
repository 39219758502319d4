// The readers of the raw formats that wrap their previews and metadata in containers of their own:
// Canon CRW (a tree of CIFF heaps), Fuji RAF (a header pointing at a full JPEG with its EXIF block and
// at the raw's own directory) and Sigma X3F (a section directory at the end of the file, with image
// sections and a property list). Each fills the record with the camera, the capture time, the image
// size and the locations of the embedded JPEGs. Every offset and count comes from the file and is
// checked before it is used; the CIFF tree is walked with limits on depth, entries and heaps visited,
// so a heap that contains itself ends the walk.

#include "NRF/NRFContainerReaders.h"

#include "NRF/EXIFUtils.h"
#include "NRF/NRF.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFRawUtils.h"
#include "app/LumoLog.h"
#include "support/FileIO.h"
#include "support/TextUtils.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace {

const NRFFileType kTypeCRW = NRFMakeFileType("CCRW");
const NRFFileType kTypeRAF = NRFMakeFileType("FRAF");
const NRFFileType kTypeX3F = NRFMakeFileType("FX3F");

// ---- shared ---------------------------------------------------------------------------------------

// A raw name on a JPEG stream is the JPEG reader's; anything else that is not the format is error 9.
NRFErr notThisFormat(NRFImageInfoRec& record, NRFByteSource& source) {
    if (NRFStartsWithJPEG(source)) {
        record.m_fileType = kNRFTypeJPEG;
        return kNRFErrWrongType;
    }
    return kNRFErrBadFormat;
}

std::uint16_t le16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t le32(const unsigned char* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}
std::uint16_t be16(const unsigned char* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
std::uint32_t be32(const unsigned char* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

// These cameras count capture time in seconds since 1970 as if their local clock were UTC: the
// calendar date of that count is the local time the photographer saw.
KLDateTime localTimeFromSeconds(std::uint32_t seconds) {
    return KLDateTimeFromSeconds(seconds);
}

// Clockwise degrees to display the image as the record's rotation code; -1 for other angles.
int rotationFromDegrees(std::int64_t degrees) {
    switch (((degrees % 360) + 360) % 360) {
    case 0:
        return 0;
    case 90:
        return 1;
    case 180:
        return 2;
    case 270:
        return 3;
    default:
        return -1;
    }
}

// The raw rules every reader ends with: an image size (the preview's when the raw gave none), the
// sizes turned with the picture, and the displayed size.
NRFErr finishRaw(NRFImageInfoRec& record) {
    if (record.m_width == 0 || record.m_height == 0) {
        record.m_width = record.m_preview.width;
        record.m_height = record.m_preview.height;
    }
    if (record.m_width == 0 || record.m_height == 0) {
        LUMO_LOG("No raw image size in file \"%s\"", record.m_path.c_str());
        return kNRFErrBadFormat;
    }
    NRFSwapSizesForRotation(record);
    NRFSetDisplaySize(record);
    record.m_hasInfo = true;
    return kNRFErrNone;
}

// The EXIF block inside an embedded JPEG: camera, dates, exposure, GPS and the IFD1 thumbnail. The
// reader's own preview stays: a maker note naming a smaller one does not replace it.
NRFErr readEmbeddedExif(NRFContext& context, NRFImageInfoRec& record, NRFByteSource& source,
                        const NRFEmbeddedImageLoc& jpeg) {
    std::uint64_t tiffPos = 0, tiffLength = 0;
    if (!jpeg.present() || !NRFFindJPEGExif(source, jpeg.offset, jpeg.length, tiffPos, tiffLength))
        return kNRFErrNone;
    NRFBasicTIFF tiff(source, tiffPos);
    if (!tiff.ReadHeader())
        return kNRFErrNone;
    const NRFEmbeddedImageLoc preview = record.m_preview;
    record.m_tiffBigEndian = tiff.BigEndian();
    EXIFParseOptions options;
    options.fileType = record.m_fileType;
    options.strictExif = context.strictExif;
    options.segmentStart = tiffPos;
    options.segmentEnd = tiffPos + tiffLength;
    EXIFParser parser(record, tiff, options);
    NRFErr err = parser.ParseIFD0();
    if (err == kNRFErrNone) {
        err = parser.ParseExifIFD();
        if (err != kEXIFErrMalformed)
            if (const NRFErr ifd1 = parser.ParseIFD1(); ifd1 == kEXIFErrMalformed)
                err = ifd1;
    }
    if (preview.present())
        NRFSetJPEGPreview(record, preview);
    return err == kEXIFErrMalformed ? err : kNRFErrNone;
}

// ---- Canon CRW: CIFF heaps ------------------------------------------------------------------------
//
// A heap is a block whose last 4 bytes give the offset (from the block's start) of its directory: a
// 16-bit count and 10-byte entries (tag, size, offset). Bits 14-15 of the tag say where the value is
// (0: in the heap at the offset; 1: the 8 bytes of size and offset themselves); bits 11-13 its type,
// where 0x2800 and 0x3000 are heaps of their own.

constexpr unsigned kCIFFMaxDepth = 8;
constexpr unsigned kCIFFMaxEntriesPerHeap = 1000;
constexpr unsigned kCIFFMaxEntries = 10000; // over the whole tree
constexpr unsigned kCIFFMaxHeaps = 256;

enum : std::uint16_t {
    kCIFFMakeModel = 0x080a,
    kCIFFOwnerName = 0x0810,
    kCIFFShotInfo = 0x102a,
    kCIFFCameraSettings = 0x102d,
    kCIFFSensorInfo = 0x1031,
    kCIFFTimeStamp = 0x180e,
    kCIFFImageInfo = 0x1810,
    kCIFFFocalLength = 0x1029,
    kCIFFJpgFromRaw = 0x2007,
    kCIFFThumbnail = 0x2008,
};

// Canon's exposure steps: 32 to a stop, with 0x0c and 0x14 standing for a third and two thirds.
double canonEv(std::int16_t value) {
    const int sign = value < 0 ? -1 : 1;
    int v = std::abs(static_cast<int>(value));
    const int fraction = v & 0x1f;
    v -= fraction;
    const double part = fraction == 0x0c ? 32.0 / 3 : fraction == 0x14 ? 64.0 / 3 : fraction;
    return sign * (v + part) / 32.0;
}

class CIFFReader {
public:
    CIFFReader(NRFImageInfoRec& record, NRFByteSource& source, bool bigEndian)
        : m_record(record), m_source(source), m_bigEndian(bigEndian) {}

    // False when the heap's directory cannot be read.
    bool heap(std::uint64_t start, std::uint64_t length, unsigned depth);
    void finish();

private:
    std::uint16_t u16(const unsigned char* p) const { return m_bigEndian ? be16(p) : le16(p); }
    std::uint32_t u32(const unsigned char* p) const { return m_bigEndian ? be32(p) : le32(p); }
    void value(std::uint16_t tag, std::uint64_t pos, std::uint32_t size);
    // Up to `max` 16-bit values of a value.
    std::vector<std::int16_t> shorts(std::uint64_t pos, std::uint32_t size, std::size_t max);

    NRFImageInfoRec& m_record;
    NRFByteSource& m_source;
    bool m_bigEndian;
    unsigned m_entries = 0;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> m_heaps; // the heaps read, so none is read twice
    std::uint32_t m_infoWidth = 0, m_infoHeight = 0, m_sensorWidth = 0, m_sensorHeight = 0;
    int m_rotation = -1;
    bool m_sawPreview = false, m_sawThumbnail = false;
    std::uint16_t m_focalUnits = 0, m_focalLength = 0;
};

bool CIFFReader::heap(std::uint64_t start, std::uint64_t length, unsigned depth) {
    const std::pair<std::uint64_t, std::uint64_t> extent{start, length};
    if (depth > kCIFFMaxDepth || m_heaps.size() >= kCIFFMaxHeaps || length < 6 ||
        std::find(m_heaps.begin(), m_heaps.end(), extent) != m_heaps.end())
        return false;
    m_heaps.push_back(extent);
    unsigned char b[4];
    if (!m_source.ReadAt(start + length - 4, b, 4))
        return false;
    const std::uint32_t dirOffset = u32(b);
    if (dirOffset > length - 6 || !m_source.ReadAt(start + dirOffset, b, 2))
        return false;
    const std::uint32_t count = u16(b);
    if (count > kCIFFMaxEntriesPerHeap || std::uint64_t{count} * 10 > length - 4 - dirOffset - 2)
        return false;
    std::vector<unsigned char> entries(std::size_t{count} * 10);
    if (count != 0 && !m_source.ReadAt(start + dirOffset + 2, entries.data(), entries.size()))
        return false;
    for (std::uint32_t i = 0; i < count && m_entries < kCIFFMaxEntries; ++i, ++m_entries) {
        const unsigned char* e = entries.data() + std::size_t{i} * 10;
        const std::uint16_t tag = u16(e);
        std::uint32_t size = u32(e + 2);
        const std::uint32_t offset = u32(e + 6);
        std::uint64_t pos = 0;
        switch (tag & 0xC000) {
        case 0x0000:
            if (offset > length || size > length - offset)
                continue; // outside its heap
            pos = start + offset;
            break;
        case 0x4000:
            pos = start + dirOffset + 2 + std::uint64_t{i} * 10 + 2;
            size = 8;
            break;
        default:
            continue;
        }
        const std::uint16_t type = tag & 0x3800;
        if (type == 0x2800 || type == 0x3000) {
            // A heap inside a heap is smaller than it; one that is not would contain itself.
            if ((tag & 0xC000) == 0 && size < length)
                heap(pos, size, depth + 1);
            continue;
        }
        value(tag & 0x3FFF, pos, size);
    }
    return true;
}

std::vector<std::int16_t> CIFFReader::shorts(std::uint64_t pos, std::uint32_t size, std::size_t max) {
    const std::size_t count = std::min<std::size_t>(size / 2, max);
    std::vector<unsigned char> bytes(count * 2);
    std::vector<std::int16_t> out;
    if (count == 0 || !m_source.ReadAt(pos, bytes.data(), bytes.size()))
        return out;
    for (std::size_t i = 0; i < count; ++i)
        out.push_back(static_cast<std::int16_t>(u16(bytes.data() + 2 * i)));
    return out;
}

void CIFFReader::value(std::uint16_t tag, std::uint64_t pos, std::uint32_t size) {
    NRFImageInfoRec& r = m_record;
    switch (tag) {
    case kCIFFMakeModel: {
        // The make in a field of 6 bytes ("Canon" and its NUL), then the model up to its NUL.
        std::string text(std::min<std::uint32_t>(size, 256), '\0');
        if (text.size() < 6 || !m_source.ReadAt(pos, text.data(), text.size()))
            return;
        const std::size_t end = std::min<std::size_t>(text.find('\0'), 6);
        r.m_make = EXIFCleanText(text.substr(0, end));
        r.m_model = EXIFCleanText(std::string(text.c_str() + (end == 6 ? 6 : end + 1)));
        return;
    }
    case kCIFFOwnerName: {
        std::string text(std::min<std::uint32_t>(size, 64), '\0');
        if (!text.empty() && m_source.ReadAt(pos, text.data(), text.size()))
            r.m_owner = EXIFCleanText(std::string(text.c_str()));
        return;
    }
    case kCIFFTimeStamp: {
        unsigned char b[12];
        if (size < 4 || !m_source.ReadAt(pos, b, size >= 12 ? 12 : 4))
            return;
        if (const std::uint32_t seconds = u32(b); seconds != 0) {
            r.m_captureTime = localTimeFromSeconds(seconds);
            r.m_dateFromExif = true;
        }
        // The zone's offset in seconds, valid when the top bit of the next word is set.
        if (size >= 12 && (u32(b + 8) & 0x80000000u) != 0) {
            const auto zone = static_cast<std::int32_t>(u32(b + 4));
            if (zone >= -14 * 3600 && zone <= 14 * 3600)
                r.m_timeZoneOffset = static_cast<std::int16_t>(zone / 60);
        }
        return;
    }
    case kCIFFImageInfo: {
        unsigned char b[16];
        if (size < 16 || !m_source.ReadAt(pos, b, sizeof b))
            return;
        m_infoWidth = u32(b);
        m_infoHeight = u32(b + 4);
        m_rotation = rotationFromDegrees(static_cast<std::int32_t>(u32(b + 12)));
        return;
    }
    case kCIFFSensorInfo: {
        const std::vector<std::int16_t> s = shorts(pos, size, 9);
        if (s.size() < 3)
            return;
        m_sensorWidth = static_cast<std::uint16_t>(s[1]);
        m_sensorHeight = static_cast<std::uint16_t>(s[2]);
        // The area inside the borders, where given.
        if (s.size() >= 9) {
            const int left = static_cast<std::uint16_t>(s[5]), top = static_cast<std::uint16_t>(s[6]);
            const int right = static_cast<std::uint16_t>(s[7]), bottom = static_cast<std::uint16_t>(s[8]);
            if (right > left && bottom > top) {
                m_sensorWidth = static_cast<std::uint32_t>(right - left + 1);
                m_sensorHeight = static_cast<std::uint32_t>(bottom - top + 1);
            }
        }
        return;
    }
    case kCIFFShotInfo: {
        const std::vector<std::int16_t> s = shorts(pos, size, 23);
        if (s.size() > 2 && s[2] != 0) {
            // Base ISO and, for the automatic setting, the factor the camera applied.
            double iso = std::exp(s[2] / 32.0 * std::log(2.0)) * 100.0 / 32.0;
            if (s[1] != 0)
                iso *= std::exp(s[1] / 32.0 * std::log(2.0));
            if (iso >= 1 && iso <= 1e6)
                r.m_iso = static_cast<std::uint32_t>(std::lround(iso));
        }
        // The actual values (21, 22), else the targets (4, 5); values no lens or shutter gives are left out.
        auto pick = [&](std::size_t actual, std::size_t target) -> std::int16_t {
            return s.size() > actual && s[actual] != 0 ? s[actual] : s.size() > target ? s[target] : 0;
        };
        if (const std::int16_t v = pick(21, 4); v != 0) {
            const double fNumber = std::exp(canonEv(v) * std::log(2.0) / 2);
            if (fNumber >= 0.5 && fNumber <= 1000)
                r.m_fNumber = static_cast<float>(fNumber);
        }
        if (const std::int16_t v = pick(22, 5); v != 0) {
            const double seconds = std::exp(-canonEv(v) * std::log(2.0));
            if (seconds >= 1e-6 && seconds <= 1e5)
                r.m_exposureTime = static_cast<float>(seconds);
        }
        return;
    }
    case kCIFFCameraSettings: {
        const std::vector<std::int16_t> s = shorts(pos, size, 26);
        if (s.size() > 25 && s[25] > 0)
            m_focalUnits = static_cast<std::uint16_t>(s[25]);
        return;
    }
    case kCIFFFocalLength: {
        const std::vector<std::int16_t> s = shorts(pos, size, 2);
        if (s.size() > 1 && s[1] > 0)
            m_focalLength = static_cast<std::uint16_t>(s[1]);
        return;
    }
    case kCIFFJpgFromRaw: {
        // Only the first of each embedded image is looked at: a tree naming many costs no more.
        NRFEmbeddedImageLoc jpeg;
        if (std::exchange(m_sawPreview, true))
            return;
        if (NRFLocateJPEG(m_source, pos, size, jpeg))
            NRFSetJPEGPreview(r, jpeg);
        return;
    }
    case kCIFFThumbnail: {
        NRFEmbeddedImageLoc jpeg;
        if (std::exchange(m_sawThumbnail, true))
            return;
        if (NRFLocateJPEG(m_source, pos, size, jpeg)) {
            r.m_thumbnail = jpeg;
            r.m_thumbnailIsJPEG = true;
        }
        return;
    }
    default:
        return;
    }
}

void CIFFReader::finish() {
    NRFImageInfoRec& r = m_record;
    if (m_infoWidth != 0 && m_infoHeight != 0) {
        r.m_width = m_infoWidth;
        r.m_height = m_infoHeight;
    } else if (m_sensorWidth != 0 && m_sensorHeight != 0) {
        r.m_width = m_sensorWidth;
        r.m_height = m_sensorHeight;
    }
    if (m_rotation > 0)
        r.m_orientation = static_cast<std::int16_t>(m_rotation);
    if (m_focalLength != 0)
        r.m_focalLength = static_cast<float>(m_focalLength) / (m_focalUnits ? m_focalUnits : 1);
}

NRFErr readCRW(NRFImageInfoRec& record, NRFByteSource& source) {
    // Byte order, header length, "HEAPCCDR"; the root heap runs from the header's end to the file's.
    unsigned char header[14];
    if (!source.ReadAt(0, header, sizeof header) || std::memcmp(header + 6, "HEAPCCDR", 8) != 0 ||
        !(std::memcmp(header, "II", 2) == 0 || std::memcmp(header, "MM", 2) == 0))
        return notThisFormat(record, source);
    const bool bigEndian = header[0] == 'M';
    const std::uint32_t headerLength = bigEndian ? be32(header + 2) : le32(header + 2);
    const std::uint64_t size = source.Size();
    record.m_fileBigEndian = record.m_tiffBigEndian = bigEndian;
    if (headerLength < sizeof header || headerLength >= size) {
        LUMO_LOG("CRW header of file \"%s\" points outside the file", record.m_path.c_str());
        return kNRFErrBadFormat;
    }
    CIFFReader reader(record, source, bigEndian);
    if (!reader.heap(headerLength, size - headerLength, 0)) {
        LUMO_LOG("CRW heap of file \"%s\" cannot be read", record.m_path.c_str());
        return kNRFErrBadFormat;
    }
    reader.finish();
    return finishRaw(record);
}

// ---- Fuji RAF -------------------------------------------------------------------------------------
//
// A big-endian header: the magic, a format version, the camera's id and model name (at 28), then at
// 84 the offset and length of a full JPEG (with the EXIF block) and at 92 those of the raw's directory
// (a count, then entries of tag, size and value).

constexpr char kRAFMagic[] = "FUJIFILMCCD-RAW ";
constexpr unsigned kRAFMaxEntries = 256;

// The raw image size the directory gives: the area inside the borders, else the raw size, else the
// whole sensor; each written as height, width.
void readRAFDirectory(NRFImageInfoRec& record, NRFByteSource& source, std::uint64_t pos,
                      std::uint64_t length) {
    const std::uint64_t size = source.Size();
    if (pos < 8 || pos >= size || length < 4)
        return;
    const std::uint64_t end = pos + std::min(length, size - pos);
    unsigned char b[8];
    if (!source.ReadAt(pos, b, 4))
        return;
    const std::uint32_t count = std::min<std::uint32_t>(be32(b), kRAFMaxEntries);
    std::uint32_t sizes[3][2] = {}; // cropped, raw, full: width and height
    std::uint64_t at = pos + 4;
    for (std::uint32_t i = 0; i < count && at + 4 <= end; ++i) {
        if (!source.ReadAt(at, b, 4))
            return;
        const std::uint16_t tag = be16(b), valueSize = be16(b + 2);
        const std::uint64_t valuePos = at + 4;
        if (valueSize > end - valuePos)
            return;
        const int slot = tag == 0x111 ? 0 : tag == 0x121 ? 1 : tag == 0x100 ? 2 : -1;
        if (slot >= 0 && valueSize >= 4 && source.ReadAt(valuePos, b, 4)) {
            sizes[slot][0] = be16(b + 2);
            sizes[slot][1] = be16(b);
        }
        at = valuePos + valueSize;
    }
    for (const auto& s : sizes)
        if (s[0] != 0 && s[1] != 0) {
            record.m_width = s[0];
            record.m_height = s[1];
            return;
        }
}

NRFErr readRAF(NRFContext& context, NRFImageInfoRec& record, NRFByteSource& source) {
    unsigned char header[100];
    if (!source.ReadAt(0, header, sizeof header) || std::memcmp(header, kRAFMagic, 16) != 0)
        return notThisFormat(record, source);
    record.m_fileBigEndian = true;
    const std::uint32_t jpegPos = be32(header + 84), jpegLength = be32(header + 88);
    const std::uint32_t dirPos = be32(header + 92), dirLength = be32(header + 96);

    NRFEmbeddedImageLoc jpeg;
    if (NRFLocateJPEG(source, jpegPos, jpegLength, jpeg))
        NRFSetJPEGPreview(record, jpeg);
    else
        LUMO_LOG("RAF JPEG of file \"%s\" cannot be read", record.m_path.c_str());
    if (const NRFErr err = readEmbeddedExif(context, record, source, jpeg); err != kNRFErrNone)
        return err;
    // The JPEG's EXIF block describes the JPEG; the raw's size comes from its own directory.
    record.m_width = record.m_height = 0;
    readRAFDirectory(record, source, dirPos, dirLength);

    if (record.m_make.empty())
        record.m_make = "FUJIFILM";
    if (record.m_model.empty())
        record.m_model = EXIFCleanText(std::string(reinterpret_cast<const char*>(header + 28), 32).c_str());
    return finishRaw(record);
}

// ---- Sigma X3F ------------------------------------------------------------------------------------
//
// A little-endian header ("FOVb", version, id, columns at 28, rows at 32, rotation at 36 in the
// versions before 4); the last 4 bytes of the file give the offset of the section directory ("SECd",
// version, count, then offset, length and kind of each section). Image sections ("SECi") carry their
// kind, data format (18: JPEG), columns and rows ahead of the data; the property list ("SECp") holds
// UTF-16 name and value pairs.

constexpr unsigned kX3FMaxSections = 1000;
constexpr unsigned kX3FMaxProperties = 1000;
constexpr unsigned kX3FMaxJPEGs = 8;
constexpr std::uint32_t kX3FMaxPropertyBytes = 1 << 20;
constexpr std::uint32_t kX3FFormatJPEG = 18;
constexpr std::uint32_t kX3FImageRaw = 3;

std::string utf16ToUtf8(const unsigned char* p, std::size_t units) {
    std::string out;
    for (std::size_t i = 0; i < units; ++i) {
        std::uint32_t c = le16(p + 2 * i);
        if (c == 0)
            break;
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < units) {
            const std::uint32_t low = le16(p + 2 * (i + 1));
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        lumo::appendUtf8(out, c);
    }
    return out;
}

bool parseNumber(const std::string& text, double& out) {
    char* end = nullptr;
    out = std::strtod(text.c_str(), &end);
    return end != text.c_str() && std::isfinite(out);
}

void x3fProperty(NRFImageInfoRec& r, const std::string& name, const std::string& value) {
    double n = 0;
    if (name == "CAMMANUF" && !value.empty())
        r.m_make = value;
    else if (name == "CAMMODEL" && !value.empty())
        r.m_model = value;
    else if (name == "CAMSERIAL")
        r.m_cameraSerial = value;
    else if (name == "FIRMVERS")
        r.m_firmware = value;
    else if (name == "TIME" && parseNumber(value, n) && n > 0 && n < 4294967296.0) {
        r.m_captureTime = localTimeFromSeconds(static_cast<std::uint32_t>(n));
        r.m_dateFromExif = true;
    } else if (name == "ISO" && parseNumber(value, n) && n >= 1 && n < 1e7)
        r.m_iso = static_cast<std::uint32_t>(std::lround(n));
    else if (name == "SHUTTER" && parseNumber(value, n) && n > 0) // seconds
        r.m_exposureTime = static_cast<float>(n);
    else if (name == "APERTURE" && parseNumber(value, n) && n > 0)
        r.m_fNumber = static_cast<float>(n);
    else if (name == "FLENGTH" && parseNumber(value, n) && n > 0)
        r.m_focalLength = static_cast<float>(n);
    else if (name == "FLEQ35MM" && parseNumber(value, n) && n > 0 && n < 65536)
        r.m_focalLength35 = static_cast<std::uint16_t>(std::lround(n));
}

void readX3FProperties(NRFImageInfoRec& record, NRFByteSource& source, std::uint64_t pos,
                       std::uint32_t length) {
    if (length < 24 || length > kX3FMaxPropertyBytes)
        return;
    std::vector<unsigned char> section(length);
    if (!source.ReadAt(pos, section.data(), section.size()))
        return;
    const std::uint32_t count = le32(&section[8]), format = le32(&section[12]);
    if (format != 0 || count > kX3FMaxProperties || 24 + std::uint64_t{count} * 8 > length)
        return;
    const std::size_t textStart = 24 + std::size_t{count} * 8;
    const std::size_t textUnits = (length - textStart) / 2;
    auto text = [&](std::uint32_t unit) {
        return unit < textUnits ? utf16ToUtf8(&section[textStart + 2 * std::size_t{unit}], textUnits - unit)
                                : std::string();
    };
    for (std::uint32_t i = 0; i < count; ++i) {
        const unsigned char* e = &section[24 + std::size_t{i} * 8];
        x3fProperty(record, text(le32(e)), text(le32(e + 4)));
    }
}

NRFErr readX3F(NRFContext& context, NRFImageInfoRec& record, NRFByteSource& source) {
    unsigned char header[40];
    const std::uint64_t size = source.Size();
    if (!source.ReadAt(0, header, sizeof header) || std::memcmp(header, "FOVb", 4) != 0)
        return notThisFormat(record, source);
    unsigned char b[28];
    if (size < sizeof header + 4 || !source.ReadAt(size - 4, b, 4))
        return kNRFErrBadFormat;
    const std::uint32_t dirPos = le32(b);
    if (dirPos < sizeof header || dirPos > size - 12 || !source.ReadAt(dirPos, b, 12) ||
        std::memcmp(b, "SECd", 4) != 0) {
        LUMO_LOG("X3F section directory of file \"%s\" cannot be read", record.m_path.c_str());
        return kNRFErrBadFormat;
    }
    const std::uint32_t count = le32(b + 8);
    if (count > kX3FMaxSections || dirPos + 12 + std::uint64_t{count} * 12 > size) {
        LUMO_LOG("X3F section directory of file \"%s\" cannot be read", record.m_path.c_str());
        return kNRFErrBadFormat;
    }
    std::vector<unsigned char> entries(std::size_t{count} * 12);
    if (count != 0 && !source.ReadAt(dirPos + 12, entries.data(), entries.size()))
        return kNRFErrBadFormat;

    // A directory that names many sections costs no more than a camera's: a few JPEGs are looked at,
    // and one property list.
    NRFEmbeddedImageLoc preview;
    std::uint32_t rawWidth = 0, rawHeight = 0;
    unsigned jpegsSeen = 0;
    bool sawProperties = false;
    for (std::uint32_t i = 0; i < count; ++i) {
        const unsigned char* e = &entries[std::size_t{i} * 12];
        const std::uint32_t pos = le32(e), length = le32(e + 4);
        if (pos < 8 || pos > size || length > size - pos || length < 4 || !source.ReadAt(pos, b, 4))
            continue;
        if (std::memcmp(b, "SECi", 4) == 0 && length >= 28 && source.ReadAt(pos, b, 28)) {
            const std::uint32_t kind = le32(b + 8), format = le32(b + 12);
            NRFEmbeddedImageLoc jpeg;
            // The largest JPEG is the preview.
            if (format == kX3FFormatJPEG && jpegsSeen++ < kX3FMaxJPEGs &&
                NRFLocateJPEG(source, pos + 28, length - 28, jpeg) &&
                std::uint64_t{jpeg.width} * jpeg.height > std::uint64_t{preview.width} * preview.height)
                preview = jpeg;
            if (kind == kX3FImageRaw && rawWidth == 0) {
                rawWidth = le32(b + 16);
                rawHeight = le32(b + 20);
            }
        } else if (std::memcmp(b, "SECp", 4) == 0 && !std::exchange(sawProperties, true)) {
            readX3FProperties(record, source, pos, length);
        }
    }
    if (preview.present())
        NRFSetJPEGPreview(record, preview);
    // Newer cameras put an EXIF block in the JPEG.
    if (const NRFErr err = readEmbeddedExif(context, record, source, preview); err != kNRFErrNone)
        return err;

    record.m_width = record.m_height = 0;
    const std::uint32_t major = le32(header + 4) >> 16;
    if (major < 4) {
        record.m_width = le32(header + 28);
        record.m_height = le32(header + 32);
        // The header's rotation counts when the EXIF block (if any) said nothing.
        if (const int rotation = rotationFromDegrees(le32(header + 36));
            rotation > 0 && record.m_orientation == 0)
            record.m_orientation = static_cast<std::int16_t>(rotation);
    }
    if (record.m_width == 0 || record.m_height == 0 || record.m_width > 100000 || record.m_height > 100000) {
        record.m_width = rawWidth;
        record.m_height = rawHeight;
    }
    if (record.m_make.empty())
        record.m_make = "SIGMA";
    return finishRaw(record);
}

NRFErr getImageInfo(NRFContext& context, NRFImageInfoRec& record, lumo::File& file) {
    NRFFileByteSource source(file);
    return NRFReadContainerStructure(context, record, source);
}

} // namespace

NRFGetImageInfoProc NRFContainerReaderGetImageInfo(NRFFileType type) {
    return type == kTypeCRW || type == kTypeRAF || type == kTypeX3F ? &getImageInfo : nullptr;
}

NRFErr NRFReadContainerStructure(NRFContext& context, NRFImageInfoRec& record, NRFByteSource& source) {
    try {
        if (record.m_fileType == kTypeCRW)
            return readCRW(record, source);
        if (record.m_fileType == kTypeRAF)
            return readRAF(context, record, source);
        if (record.m_fileType == kTypeX3F)
            return readX3F(context, record, source);
        return kNRFErrParam;
    } catch (const std::bad_alloc&) {
        return kNRFErrMemory;
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFGetImageInfo()");
        return kNRFErrException;
    }
}
