// The readers of TIFF files and of the raw formats built on the TIFF structure: each checks its
// format's header, reads IFD0 (starting again at the format's standard place when the header points at
// an abandoned table), the EXIF, GPS and interoperability IFDs, IFD1 and the SubIFDs, and then applies
// the raw rules: a raw must have an image size, and a rotated raw reports its sizes as shown.

#include "NRF/NRFTIFFReaders.h"

#include "NRF/EXIFUtils.h"
#include "NRF/NRF.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFRawUtils.h"
#include "app/LumoLog.h"
#include "support/FileIO.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <new>
#include <utility>

namespace {

// Olympus writes "RO" or "SR" (read in the file's byte order) where TIFF has 42, Panasonic 85.
constexpr std::uint16_t kMagicOlympusRO = 0x4F52, kMagicOlympusSR = 0x5253, kMagicOlympusRS = 0x5352;
constexpr std::uint16_t kMagicPanasonic = 0x55;

struct TIFFFormat {
    const char* code;
    std::initializer_list<std::uint16_t> otherMagics;
    std::uint32_t ifd0Position; // the format's standard IFD0 position; 0 when it has none
    bool raw;
};

// The TIFF-structured rows. CR2 has its own reader below.
const TIFFFormat kFormats[] = {
    {"TIFF", {}, 0, false},
    {"NNEF", {}, 8, true},
    {"NNRW", {}, 8, true},
    {"C1DT", {}, 0, true},
    {"P1RT", {}, 0, true},
    {"OORF", {kMagicOlympusRO, kMagicOlympusSR, kMagicOlympusRS}, 8, true},
    {"EERF", {}, 8, true},
    {"LMOS", {}, 0, true},
    {"PRAW", {kMagicPanasonic}, 24, true},
    {"PRW2", {kMagicPanasonic}, 24, true},
    {"PRWL", {kMagicPanasonic}, 24, true},
    {"PPEF", {}, 8, true},
    {"SSR2", {}, 8, true},
    {"SARW", {}, 8, true},
    {"SSRF", {}, 8, true},
    {"SSTI", {}, 0, true},
    {"SSRW", {}, 8, true},
    {"P1IQ", {}, 0, true},
    {"KDCS", {}, 0, true},
    {"ADNG", {}, 8, true},
};

const TIFFFormat* formatOf(NRFFileType type) {
    for (const TIFFFormat& f : kFormats)
        if (NRFMakeFileType(f.code) == type)
            return &f;
    return nullptr;
}

const NRFFileType kTypeCR2 = NRFMakeFileType("CCR2");
const NRFFileType kTypeC1DT = NRFMakeFileType("C1DT");

// IFD0 was read at the format's standard place because the header's offset led to no table. The header
// is pointed there only when that is certain to lose nothing (see EXIFParser::RepairIsCertain) and the
// file's modification time can be put back (browsing must not reorder a folder sorted by it): the file
// is its owner's to write and ours, and it is still the file that was read. Otherwise, and whenever the
// caller only reads, the file is left as it is and the next reading recovers again.
void repairHeader(const NRFImageInfoRec& record, const NRFBasicTIFF& tiff, const EXIFParser& parser,
                  bool repairFile) {
    const std::uint32_t was = parser.HeaderIFD0Offset(), now = parser.IFD0Offset();
    const char* path = record.m_path.c_str();
    const auto leave = [&](const char* why) {
        LUMO_LOG("Left the IFD0 offset of \"%s\" at %u (IFD0 read at %u): %s", path, was, now, why);
    };
    if (record.m_path.empty())
        return;
    if (!repairFile)
        return leave("the caller only reads");
    if (!parser.RepairIsCertain())
        return leave("what lies there may be another program's table");
    struct stat before {};
    if (::stat(path, &before) != 0 || !S_ISREG(before.st_mode))
        return leave("the file cannot be looked at");
    // A file its owner made read-only stays as it is, whoever we run as.
    if ((before.st_mode & S_IWUSR) == 0)
        return leave("the file is read-only");
    // Only the owner (or the superuser) may put the modification time back after the write.
    if (before.st_uid != ::geteuid() && ::geteuid() != 0)
        return leave("the file belongs to another user");
    unsigned char bytes[4], held[4];
    for (int i = 0; i < 4; ++i) {
        bytes[tiff.BigEndian() ? 3 - i : i] = static_cast<unsigned char>(now >> (8 * i));
        held[tiff.BigEndian() ? 3 - i : i] = static_cast<unsigned char>(was >> (8 * i));
    }
    lumo::File file;
    int err = file.open(record.m_path, lumo::File::Mode::Update);
    if (err == 0) {
        // The four bytes are written in place (the write cannot grow the file), and only over the very
        // pointer that was read: a file changed since then is someone else's business.
        unsigned char current[4];
        std::size_t got = 0;
        std::uint64_t size = 0;
        if (file.size(size) != 0 || size != tiff.FileSize() ||
            file.readAt(current, sizeof current, tiff.Base() + 4, got) != 0 || got != sizeof current ||
            std::memcmp(current, held, sizeof held) != 0) {
            file.close();
            return leave("the file changed since it was read");
        }
        err = file.writeAt(bytes, sizeof bytes, tiff.Base() + 4);
    }
    if (err == 0)
        err = file.sync();
    if (const int closed = file.close(); err == 0)
        err = closed;
    if (err != 0) {
        LUMO_LOG("Could not repair the IFD0 offset of \"%s\": %s", path, std::strerror(err));
        return;
    }
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    if (::utimensat(AT_FDCWD, path, times, 0) != 0)
        LUMO_LOG("Could not put back the modification time of \"%s\": %s", path, std::strerror(errno));
    LUMO_LOG("Repaired the IFD0 offset of \"%s\" (was %u, now %u)", path, was, now);
}

// A child IFD that cannot be read (9, 8195) costs only its own values; a strict reading's stop, an
// exception or want of memory ends the reading.
bool childFailureEndsReading(NRFErr err, const char* what, const std::string& path) {
    if (err == kNRFErrNone)
        return false;
    if (err != kEXIFErrBadStructure && err != kEXIFErrTooManyEntries)
        return true;
    LUMO_LOG("%s of file \"%s\" not read (error %u)", what, path.c_str(), static_cast<unsigned>(err));
    return false;
}

// A JPEG at a file position becomes the preview when it lies inside the file and its SOF is readable.
bool takeJPEGPreview(NRFImageInfoRec& record, NRFByteSource& source, std::uint64_t pos,
                     std::uint64_t length) {
    NRFEmbeddedImageLoc preview;
    if (!NRFLocateJPEG(source, pos, length, preview))
        return false;
    NRFSetJPEGPreview(record, preview);
    return true;
}

// Panasonic's raw IFD0 keeps the sensor size, the ISO and a full JPEG (with its own EXIF block) in tags
// of its own.
struct PanasonicTags {
    std::uint32_t sensorWidth = 0, sensorHeight = 0, top = 0, left = 0, bottom = 0, right = 0;
    std::uint64_t jpegPos = 0, jpegLength = 0;

    bool handle(NRFImageInfoRec& record, NRFBasicTIFF& tiff, const NRFTIFFEntry& e) {
        std::uint32_t n = 0;
        if (e.tag > 0x2F)
            return false;
        switch (e.tag) {
        case 0x02:
        case 0x03:
        case 0x04:
        case 0x05:
        case 0x06:
        case 0x07:
            if (tiff.Unsigned(e, 0, n)) {
                std::uint32_t* field[] = {&sensorWidth, &sensorHeight, &top, &left, &bottom, &right};
                *field[e.tag - 2] = n;
            }
            return true;
        case 0x17:
            if (tiff.Unsigned(e, 0, n) && n >= 8)
                record.m_iso = n;
            return true;
        case 0x2E:
            if (e.type == kTIFFUndefined && e.count != 0) {
                jpegPos = e.valuePos;
                jpegLength = e.count;
            }
            return true;
        default:
            return true;
        }
    }

    void apply(NRFImageInfoRec& record) const {
        if (right > left && bottom > top) {
            record.m_width = right - left;
            record.m_height = bottom - top;
        } else if (sensorWidth != 0 && sensorHeight != 0) {
            record.m_width = sensorWidth;
            record.m_height = sensorHeight;
        }
    }
};

NRFErr readCR2(NRFContext& context, NRFImageInfoRec& record, NRFByteSource& source, bool repairFile);

NRFErr readTIFF(NRFContext& context, NRFImageInfoRec& record, NRFByteSource& source, const TIFFFormat& format,
                bool repairFile) {
    NRFBasicTIFF tiff(source);
    if (!tiff.ReadHeader(format.otherMagics)) {
        // A raw name on a JPEG stream: the JPEG reader takes the file.
        if (format.raw && NRFStartsWithJPEG(source)) {
            record.m_fileType = kNRFTypeJPEG;
            return kNRFErrWrongType;
        }
        return kNRFErrBadFormat;
    }
    record.m_tiffBigEndian = record.m_fileBigEndian = tiff.BigEndian();
    EXIFParseOptions options;
    options.fileType = record.m_fileType;
    options.strictExif = context.strictExif;
    EXIFParser parser(record, tiff, options);
    PanasonicTags panasonic;
    if (tiff.Magic() == kMagicPanasonic)
        parser.SetPrivateTagHandler([&](NRFBasicTIFF& t, const NRFTIFFEntry& e, NRFIFDRole) {
            return panasonic.handle(record, t, e);
        });

    if (const NRFErr err = parser.ParseIFD0(format.ifd0Position); err != kNRFErrNone)
        return err;
    if (parser.Recovered())
        repairHeader(record, tiff, parser, repairFile);
    const std::uint32_t ifd0Width = record.m_width, ifd0Height = record.m_height;
    if (const NRFErr err = parser.ParseExifIFD(); childFailureEndsReading(err, "EXIF IFD", record.m_path))
        return err;
    // A TIFF file's pixels are what IFD0 describes: EXIF dimensions left from the camera's original
    // (before the picture was resized) do not change them.
    if (!format.raw && ifd0Width != 0 && ifd0Height != 0) {
        record.m_width = ifd0Width;
        record.m_height = ifd0Height;
    }
    if (const NRFErr err = parser.ParseIFD1(); err == kEXIFErrMalformed)
        return err;
    if (format.raw)
        if (const NRFErr err = parser.ParseSubIFDs(); err == kEXIFErrMalformed)
            return err;

    if (tiff.Magic() == kMagicPanasonic) {
        // The full JPEG is the preview, and its EXIF block holds the exposure values.
        if (panasonic.jpegLength != 0 &&
            takeJPEGPreview(record, source, panasonic.jpegPos, panasonic.jpegLength)) {
            std::uint64_t exifPos = 0, exifLength = 0;
            if (NRFFindJPEGExif(source, panasonic.jpegPos, panasonic.jpegLength, exifPos, exifLength)) {
                NRFBasicTIFF inner(source, exifPos);
                if (inner.ReadHeader()) {
                    const NRFEmbeddedImageLoc preview = record.m_preview;
                    EXIFParseOptions innerOptions = options;
                    innerOptions.outerOrientation = parser.IFD0HasOrientation();
                    EXIFParser exif(record, inner, innerOptions);
                    if (exif.ParseIFD0() == kNRFErrNone) {
                        exif.ParseExifIFD();
                        exif.ParseIFD1();
                    }
                    record.m_preview = preview;
                    record.m_previewIsJPEG = true;
                }
            }
        }
        // The raw's size is the sensor area, whatever the JPEG's EXIF block says of the JPEG.
        panasonic.apply(record);
    }

    if (format.raw) {
        if (record.m_width == 0 || record.m_height == 0) {
            LUMO_LOG("No raw image size in file \"%s\"", record.m_path.c_str());
            return kNRFErrBadFormat;
        }
        if (record.m_model == "NIKON D1X") // non-square pixels
            record.m_height *= 2;
        NRFSwapSizesForRotation(record);
        NRFSetDisplaySize(record);
    } else {
        record.m_displayWidth = record.m_width;
        record.m_displayHeight = record.m_height;
    }
    record.m_hasInfo = true;
    return kNRFErrNone;
}

NRFErr readCR2(NRFContext& context, NRFImageInfoRec& record, NRFByteSource& source, bool repairFile) {
    const char* path = record.m_path.c_str();
    unsigned char header[16];
    if (!source.ReadAt(0, header, sizeof header)) {
        LUMO_LOG("Failed reading CR2 header for file \"%s\"", path);
        return kNRFErrOpen;
    }
    NRFBasicTIFF tiff(source);
    if (!tiff.ReadHeader()) {
        LUMO_LOG("CR2 header for file \"%s\" does not match expected data", path);
        return kNRFErrBadFormat;
    }
    if (header[8] != 'C' || header[9] != 'R' || header[10] != 2 || header[11] != 0)
        LUMO_LOG("CR2 missing signature for file \"%s\"", path);
    record.m_tiffBigEndian = record.m_fileBigEndian = tiff.BigEndian();
    EXIFParseOptions options;
    options.fileType = record.m_fileType;
    options.strictExif = context.strictExif;
    EXIFParser parser(record, tiff, options);
    if (const NRFErr err = parser.ParseIFD0(16); err != kNRFErrNone)
        return err;
    if (parser.Recovered())
        repairHeader(record, tiff, parser, repairFile);
    if (record.m_model == "Canon EOS-1D" || record.m_model == "Canon EOS-1DS") {
        record.m_fileType = kTypeC1DT;
        return kNRFErrWrongType;
    }
    // IFD0 describes the JPEG preview in its strips, not the raw image; its size is the JPEG's own.
    record.m_width = record.m_height = 0;
    record.m_preview = NRFEmbeddedImageLoc{};
    record.m_previewIsJPEG = false;
    takeJPEGPreview(record, source, parser.IFD0StripOffset(), parser.IFD0StripLength());
    if (const NRFErr err = parser.ParseExifIFD(); childFailureEndsReading(err, "EXIF IFD", record.m_path))
        return err;
    if (const NRFErr err = parser.ParseIFD1(); err == kEXIFErrMalformed)
        return err;

    if (record.m_width == 0 || record.m_height == 0) {
        record.m_width = record.m_preview.width;
        record.m_height = record.m_preview.height;
    }
    if (record.m_width == 0 || record.m_height == 0) {
        LUMO_LOG("CR2 width(%lu) or height(%lu) for file \"%s\" are bogus",
                 static_cast<unsigned long>(record.m_width), static_cast<unsigned long>(record.m_height),
                 path);
        return kNRFErrBadFormat;
    }
    if (record.m_width < record.m_height) {
        // A portrait-sized CR2 is not what a camera writes: its embedded images cannot be trusted.
        record.m_orientation = 0;
        record.m_thumbnail = NRFEmbeddedImageLoc{};
        record.m_stripThumbnail = NRFEmbeddedImageLoc{};
        record.m_preview = NRFEmbeddedImageLoc{};
    }
    NRFSwapSizesForRotation(record);
    NRFSetDisplaySize(record);

    // Some bodies append blocks of their own, each ending in a 64-byte trailer.
    const std::uint64_t size = source.Size();
    unsigned char tail[64];
    if (size < 64 || !source.ReadAt(size - 64, tail, sizeof tail)) {
        LUMO_LOG("Failed to read 64 bytes at end of file \"%s\"", path);
        return kNRFErrOpen;
    }
    static constexpr char kOptional[] = "CANON OPTIONAL DATA";
    if (std::memcmp(tail, kOptional, sizeof kOptional - 1) == 0) {
        const std::uint32_t length =
            ((std::uint32_t{tail[20]} << 24) | (tail[21] << 16) | (tail[22] << 8) | tail[23]) + 92u;
        unsigned char other[64];
        if (length < 1048576 && length <= size && source.ReadAt(size - length, other, sizeof other) &&
            std::memcmp(other, kOptional, sizeof kOptional - 1) == 0)
            record.m_canonOptionalDataLength = length;
    }
    record.m_hasInfo = true;
    return kNRFErrNone;
}

NRFErr getImageInfo(NRFContext& context, NRFImageInfoRec& record, lumo::File& file) {
    NRFFileByteSource source(file);
    return NRFReadTIFFStructure(context, record, source, true);
}

} // namespace

NRFErr NRFReadTIFFStructure(NRFContext& context, NRFImageInfoRec& record, NRFByteSource& source,
                            bool repairFile) {
    try {
        if (record.m_fileType == kTypeCR2)
            return readCR2(context, record, source, repairFile);
        if (const TIFFFormat* format = formatOf(record.m_fileType))
            return readTIFF(context, record, source, *format, repairFile);
        return kNRFErrParam;
    } catch (const std::bad_alloc&) {
        return kNRFErrMemory;
    } catch (...) {
        LUMO_LOG("Unexpected exception in EXIFParseExifIFD()");
        return kNRFErrException;
    }
}

NRFGetImageInfoProc NRFTIFFReaderGetImageInfo(NRFFileType type) {
    return type == kTypeCR2 || formatOf(type) ? &getImageInfo : nullptr;
}
