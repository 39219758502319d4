#include "NRF/NRFExtractPreview.h"

#include "NRF/NRF.h"
#include "NRF/NRFBasicJPEG.h"
#include "NRF/NRFImageInfo.h"
#include "app/LumoLog.h"
#include "support/FileIO.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <utility>
#include <vector>

namespace {

// ---- The EXIF segment ---------------------------------------------------------------------------

enum : std::uint16_t { kByte = 1, kAscii = 2, kShort = 3, kLong = 4, kRational = 5, kUndefined = 7 };

// One IFD of the segment, written big-endian. Values of up to four bytes sit in the entry; larger ones
// follow the IFD's next-IFD offset, each at an even offset.
class IfdWriter {
public:
    void add(std::uint16_t tag, std::uint16_t type, std::uint32_t count, std::string value) {
        m_entries.push_back({tag, type, count, std::move(value)});
    }
    void addShort(std::uint16_t tag, std::uint16_t value) { add(tag, kShort, 1, be16(value)); }
    void addLong(std::uint16_t tag, std::uint32_t value) { add(tag, kLong, 1, be32(value)); }
    void addAscii(std::uint16_t tag, const std::string& text) {
        add(tag, kAscii, static_cast<std::uint32_t>(text.size() + 1), text + '\0');
    }
    void addRationals(std::uint16_t tag, const std::vector<std::pair<std::uint32_t, std::uint32_t>>& values) {
        std::string bytes;
        for (const auto& [numerator, denominator] : values)
            bytes += be32(numerator) + be32(denominator);
        add(tag, kRational, static_cast<std::uint32_t>(values.size()), bytes);
    }
    // Sets the value of an entry added before (the offset of a child IFD, known once laid out).
    void setLong(std::uint16_t tag, std::uint32_t value) {
        for (Entry& e : m_entries)
            if (e.tag == tag)
                e.value = be32(value);
    }

    std::size_t byteSize() const {
        std::size_t size = 2 + 12 * m_entries.size() + 4;
        for (const Entry& e : m_entries)
            if (e.value.size() > 4)
                size += e.value.size() + (e.value.size() & 1);
        return size;
    }

    // Appends the IFD to `tiff`, whose size is the IFD's offset from the TIFF header.
    void write(std::string& tiff) const {
        std::vector<const Entry*> sorted;
        for (const Entry& e : m_entries)
            sorted.push_back(&e);
        std::stable_sort(sorted.begin(), sorted.end(),
                         [](const Entry* a, const Entry* b) { return a->tag < b->tag; });
        const std::size_t start = tiff.size();
        std::uint32_t dataOffset = static_cast<std::uint32_t>(start + 2 + 12 * sorted.size() + 4);
        std::string data;
        tiff += be16(static_cast<std::uint16_t>(sorted.size()));
        for (const Entry* e : sorted) {
            tiff += be16(e->tag) + be16(e->type) + be32(e->count);
            if (e->value.size() <= 4) {
                tiff += e->value + std::string(4 - e->value.size(), '\0');
                continue;
            }
            tiff += be32(dataOffset + static_cast<std::uint32_t>(data.size()));
            data += e->value;
            if (e->value.size() & 1)
                data += '\0';
        }
        tiff += be32(0); // no next IFD
        tiff += data;
    }

    static std::string be16(std::uint16_t v) {
        return {static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)};
    }
    static std::string be32(std::uint32_t v) {
        return be16(static_cast<std::uint16_t>(v >> 16)) + be16(v & 0xFFFF);
    }

private:
    struct Entry {
        std::uint16_t tag, type;
        std::uint32_t count;
        std::string value; // big-endian element bytes
    };
    std::vector<Entry> m_entries;
};

enum : std::uint16_t {
    kTagOrientation = 274,
    kTagXResolution = 282,
    kTagYResolution = 283,
    kTagResolutionUnit = 296,
    kTagDateTime = 306,
    kTagYCbCrPositioning = 531,
    kTagExifIFD = 34665,
    kTagGPSIFD = 34853,
    kTagExifVersion = 36864,
    kTagDateTimeOriginal = 36867,
    kTagComponentsConfiguration = 37121,
    kTagUserComment = 37510,
    kTagFlashpixVersion = 40960,
    kTagColorSpace = 40961,
    kTagPixelXDimension = 40962,
    kTagPixelYDimension = 40963,
};

// The record's rotation code as an EXIF Orientation (1 when it has none that makes sense).
std::uint16_t orientationFromRotation(int rotation) {
    static constexpr std::uint16_t kOrientation[8] = {1, 6, 3, 8, 2, 7, 4, 5};
    return rotation >= 0 && rotation < 8 ? kOrientation[rotation] : 1;
}

std::string exifDate(const KLDateTime& t) {
    char text[32];
    std::snprintf(text, sizeof text, "%4d:%02d:%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    return text;
}

// Degrees as degrees, minutes and seconds to 1/10000 s of arc.
std::vector<std::pair<std::uint32_t, std::uint32_t>> degreesMinutesSeconds(double degrees) {
    constexpr std::uint64_t kSecondParts = 10000;
    const auto total = static_cast<std::uint64_t>(std::llround(std::fabs(degrees) * 3600.0 * kSecondParts));
    const auto whole = static_cast<std::uint32_t>(total / (3600 * kSecondParts));
    const auto minutes = static_cast<std::uint32_t>(total / (60 * kSecondParts) % 60);
    const auto seconds = static_cast<std::uint32_t>(total % (60 * kSecondParts));
    return {{whole, 1}, {minutes, 1}, {seconds, static_cast<std::uint32_t>(kSecondParts)}};
}

IfdWriter gpsIfd(const NRFImageInfoRec& record) {
    IfdWriter gps;
    gps.add(0, kByte, 4, std::string{2, 2, 0, 0}); // GPSVersionID 2.2
    gps.addAscii(1, record.m_latitude < 0 ? "S" : "N");
    gps.addRationals(2, degreesMinutesSeconds(record.m_latitude));
    gps.addAscii(3, record.m_longitude < 0 ? "W" : "E");
    gps.addRationals(4, degreesMinutesSeconds(record.m_longitude));
    if (record.m_altitude) {
        gps.add(5, kByte, 1, std::string(1, *record.m_altitude < 0 ? 1 : 0));
        const auto millimetres =
            static_cast<std::uint32_t>(std::llround(std::fabs(*record.m_altitude) * 1000.0));
        gps.addRationals(6, {{millimetres, 1000}});
    }
    return gps;
}

// ---- The preview stream -------------------------------------------------------------------------

struct JpegSegment {
    std::size_t start, end; // the 0xFF marker byte .. past the segment
    std::uint8_t marker;
};

// The marker segments ahead of the first SOF (and the SOF itself) of a JPEG stream. False unless the
// stream starts with SOI and a frame header with a size and 1, 3 or 4 components is reached.
bool walkJpegHeader(const std::string& data, std::vector<JpegSegment>& segments) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(data[i]); };
    if (data.size() < 4 || byte(0) != 0xFF || byte(1) != 0xD8)
        return false;
    std::size_t pos = 2;
    while (pos + 4 <= data.size()) {
        if (byte(pos) != 0xFF)
            return false;
        const std::uint8_t marker = byte(pos + 1);
        if (marker == 0xFF) { // fill byte
            ++pos;
            continue;
        }
        if (marker == 0xD8 || marker == 0xD9 || marker == 0xDA || marker == 0x00)
            return false; // no frame header before the image data
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            pos += 2;
            continue;
        }
        const std::size_t length = (std::size_t{byte(pos + 2)} << 8) | byte(pos + 3);
        if (length < 2 || pos + 2 + length > data.size())
            return false;
        segments.push_back({pos, pos + 2 + length, marker});
        const bool frame =
            marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            if (length < 8)
                return false;
            const unsigned height = (unsigned{byte(pos + 5)} << 8) | byte(pos + 6);
            const unsigned width = (unsigned{byte(pos + 7)} << 8) | byte(pos + 8);
            const unsigned components = byte(pos + 9);
            return width != 0 && height != 0 && (components == 1 || components == 3 || components == 4);
        }
        pos += 2 + length;
    }
    return false;
}

bool isExifSegment(const std::string& data, const JpegSegment& s) {
    return s.marker == 0xE1 && s.end - s.start >= 10 &&
           data.compare(s.start + 4, 6, std::string("Exif\0\0", 6)) == 0;
}

// The stream with `exif` inserted: right after a leading JFIF APP0 (which must stay first), else right
// after the SOI (where EXIF readers expect it). EXIF segments the stream had are left out, so that
// readers do not meet two that disagree.
std::string withExifSegment(const std::string& stream, const std::vector<JpegSegment>& segments,
                            const std::string& exif) {
    std::string out;
    out.reserve(stream.size() + exif.size());
    std::size_t copied = 2;
    out.append(stream, 0, 2);
    if (!segments.empty() && segments.front().marker == 0xE0 && segments.front().start == 2) {
        out.append(stream, 2, segments.front().end - 2);
        copied = segments.front().end;
    }
    out += exif;
    for (const JpegSegment& s : segments) {
        if (s.start < copied || !isExifSegment(stream, s))
            continue;
        out.append(stream, copied, s.start - copied);
        copied = s.end;
    }
    out.append(stream, copied, std::string::npos);
    return out;
}

std::string errnoText(int error) {
    return std::strerror(error);
}

// Reads the record's preview location from its file. 0, 5 when the file cannot be opened or read, 9
// when the location lies outside the file.
NRFErr readPreview(const NRFImageInfoRec& record, std::string& bytes) {
    const std::lock_guard lock(NRFEmbeddedReadLock()); // one thread reads embedded images at a time
    lumo::File file;
    if (const int e = file.open(record.m_path, lumo::File::Mode::Read)) {
        NRFSetErrorText("Unable to open '%s' for reading: %s", record.m_path.c_str(), errnoText(e).c_str());
        return kNRFErrOpen;
    }
    std::uint64_t size = 0;
    if (const int e = file.size(size)) {
        NRFSetErrorText("Unable to read '%s': %s", record.m_path.c_str(), errnoText(e).c_str());
        return kNRFErrOpen;
    }
    const NRFEmbeddedImageLoc& preview = record.m_preview;
    if (std::uint64_t{preview.offset} + preview.length > size) {
        NRFSetErrorText("The preview of '%s' lies past the end of the file", record.m_path.c_str());
        return kNRFErrBadFormat;
    }
    bytes.resize(preview.length);
    std::size_t got = 0;
    if (const int e = file.readAt(bytes.data(), bytes.size(), preview.offset, got);
        e != 0 || got != bytes.size()) {
        NRFSetErrorText("Unable to read the preview of '%s': %s", record.m_path.c_str(),
                        errnoText(e ? e : EIO).c_str());
        return kNRFErrOpen;
    }
    return kNRFErrNone;
}

NRFErr extractPreview(NRFContext&, NRFImageInfoRec& record, NRFOperationArgs* args) {
    if (!args || args->destination.empty())
        return kNRFErrParam;
    const NRFEmbeddedImageLoc& preview = record.m_preview;
    if (!preview.offset || !preview.length || !preview.width || !preview.height) {
        NRFSetErrorText("'%s' has no embedded preview", record.m_path.c_str());
        return kNRFErrNoThumbnail;
    }
    std::string stream;
    if (const NRFErr err = readPreview(record, stream))
        return err;
    std::vector<JpegSegment> segments;
    if (!walkJpegHeader(stream, segments)) {
        NRFSetErrorText("The embedded preview of '%s' is not a JPEG image", record.m_path.c_str());
        return kNRFErrBadFormat;
    }
    if (args->withExif)
        stream =
            withExifSegment(stream, segments, NRFBuildExifSegment(record, preview.width, preview.height));
    if (const int e = lumo::writeFileReplacing(args->destination, stream)) {
        NRFSetErrorText("Unable to write '%s': %s", args->destination.c_str(), errnoText(e).c_str());
        LUMO_LOG("NRFExtractPreview() failed to write '%s' for '%s': %s", args->destination.c_str(),
                 record.m_path.c_str(), errnoText(e).c_str());
        return kNRFErrOpen;
    }
    return kNRFErrNone;
}

} // namespace

void NRFInstallPreviewExtractor(const NRFFileTypeInfo& row, NRFPluginFunctions& functions) {
    if ((row.capabilities & kNRFCapRawPreview) || row.fileType == kNRFTypeJPEG)
        functions.ExtractPreview = &extractPreview;
}

std::string NRFBuildExifSegment(const NRFImageInfoRec& record, std::uint32_t width, std::uint32_t height) {
    const bool dated = record.m_captureTime.isValid();
    IfdWriter ifd0, exif;
    ifd0.addShort(kTagOrientation, orientationFromRotation(record.m_orientation));
    // The tags every EXIF JPEG must carry, with the values of a camera's own file: 72 dpi, centred
    // chroma samples, Y Cb Cr components.
    ifd0.addRationals(kTagXResolution, {{72, 1}});
    ifd0.addRationals(kTagYResolution, {{72, 1}});
    ifd0.addShort(kTagResolutionUnit, 2);
    ifd0.addShort(kTagYCbCrPositioning, 1);
    if (dated)
        ifd0.addAscii(kTagDateTime, exifDate(record.m_captureTime));
    ifd0.addLong(kTagExifIFD, 0);
    if (record.m_hasGPS)
        ifd0.addLong(kTagGPSIFD, 0);

    exif.add(kTagExifVersion, kUndefined, 4, "0221");
    if (dated)
        exif.addAscii(kTagDateTimeOriginal, exifDate(record.m_captureTime));
    // A segment holds at most 65533 bytes after its length field: a longer comment is cut to fit.
    const std::string comment = std::string("ASCII\0\0\0", 8) + record.m_userComment.substr(0, 60000);
    exif.add(kTagUserComment, kUndefined, static_cast<std::uint32_t>(comment.size()), comment);
    exif.add(kTagComponentsConfiguration, kUndefined, 4, std::string("\1\2\3\0", 4));
    exif.add(kTagFlashpixVersion, kUndefined, 4, "0100");
    // The camera's own ColorSpace when it is one EXIF defines (1 sRGB, 0xFFFF uncalibrated, as for
    // Adobe RGB), else sRGB: previews are written in sRGB unless the camera says otherwise.
    const std::uint16_t colorSpace = record.m_exifColorSpace == 0xFFFF ? 0xFFFF : 1;
    exif.addShort(kTagColorSpace, colorSpace);
    exif.addLong(kTagPixelXDimension, width);
    exif.addLong(kTagPixelYDimension, height);

    IfdWriter gps;
    if (record.m_hasGPS)
        gps = gpsIfd(record);

    // IFD0 right after the 8-byte header, then the EXIF IFD, then the GPS IFD.
    const std::uint32_t exifOffset = static_cast<std::uint32_t>(8 + ifd0.byteSize());
    const std::uint32_t gpsOffset = static_cast<std::uint32_t>(exifOffset + exif.byteSize());
    ifd0.setLong(kTagExifIFD, exifOffset);
    if (record.m_hasGPS)
        ifd0.setLong(kTagGPSIFD, gpsOffset);

    std::string tiff("MM\0\x2A\0\0\0\x08", 8);
    ifd0.write(tiff);
    exif.write(tiff);
    if (record.m_hasGPS)
        gps.write(tiff);

    const std::string payload = std::string("Exif\0\0", 6) + tiff;
    return std::string{'\xFF', '\xE1'} + IfdWriter::be16(static_cast<std::uint16_t>(payload.size() + 2)) +
           payload;
}

NRFErr NRFExtractPreview(NRFImageInfoRec* record, const char* destination, bool withExif) {
    try {
        if (!record || !destination)
            return kNRFErrParam;
        if (!record->IsLocal())
            return kNRFErrNotLocal;
        const int index = NRFFindFileType(record->m_fileType);
        if (index < 0)
            return kNRFErrParam;
        const NRFPluginFunctions& reader = *NRFGetPluginFunctions(index);
        if (!reader.ExtractPreview)
            return kNRFErrParam;
        NRFOperationArgs args;
        args.destination = destination;
        args.withExif = withExif;
        return reader.ExtractPreview(NRFGetContext(), *record, &args);
    } catch (const std::exception& e) {
        LUMO_LOG("Unexpected exception in NRFExtractPreview() %s", e.what());
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFExtractPreview()");
    }
    return kNRFErrException;
}
