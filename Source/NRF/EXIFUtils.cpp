#include "NRF/EXIFUtils.h"

#include "NRF/EXIFMakerNotes.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFRawUtils.h"
#include "app/LumoLog.h"
#include "support/TextUtils.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>
#include <new>

namespace {

enum : std::uint16_t {
    kTagNewSubfileType = 254,
    kTagImageWidth = 256,
    kTagImageLength = 257,
    kTagBitsPerSample = 258,
    kTagCompression = 259,
    kTagPhotometric = 262,
    kTagImageDescription = 270,
    kTagMake = 271,
    kTagModel = 272,
    kTagStripOffsets = 273,
    kTagOrientation = 274,
    kTagSamplesPerPixel = 277,
    kTagRowsPerStrip = 278,
    kTagStripByteCounts = 279,
    kTagXResolution = 282,
    kTagYResolution = 283,
    kTagPlanarConfig = 284,
    kTagResolutionUnit = 296,
    kTagSoftware = 305,
    kTagDateTime = 306,
    kTagArtist = 315,
    kTagWhitePoint = 318,
    kTagPrimaryChromaticities = 319,
    kTagSubIFDs = 330,
    kTagExtraSamples = 338,
    kTagJPEGInterchangeFormat = 513,
    kTagJPEGInterchangeFormatLength = 514,
    kTagYCbCrCoefficients = 529,
    kTagYCbCrPositioning = 531,
    kTagXMP = 700,
    kTagCopyright = 33432,
    kTagExposureTime = 33434,
    kTagFNumber = 33437,
    kTagIPTC = 33723,
    kTagLeafData = 34310,
    kTagPhotoshop = 34377,
    kTagExifIFD = 34665,
    kTagICCProfile = 34675,
    kTagExposureProgram = 34850,
    kTagGPSIFD = 34853,
    kTagISO = 34855,
    kTagSensitivityType = 34864,
    kTagStandardOutputSensitivity = 34865,
    kTagRecommendedExposureIndex = 34866,
    kTagISOSpeed = 34867,
    kTagExifVersion = 36864,
    kTagDateTimeOriginal = 36867,
    kTagDateTimeDigitized = 36868,
    kTagOffsetTimeOriginal = 36881,
    kTagShutterSpeedValue = 37377,
    kTagApertureValue = 37378,
    kTagBrightnessValue = 37379,
    kTagExposureBiasValue = 37380,
    kTagMaxApertureValue = 37381,
    kTagSubjectDistance = 37382,
    kTagMeteringMode = 37383,
    kTagLightSource = 37384,
    kTagFlash = 37385,
    kTagFocalLength = 37386,
    kTagImageNumber = 37393,
    kTagMakerNote = 37500,
    kTagUserComment = 37510,
    kTagSubSecTimeOriginal = 37521,
    kTagSubSecTimeDigitized = 37522,
    kTagColorSpace = 40961,
    kTagPixelXDimension = 40962,
    kTagPixelYDimension = 40963,
    kTagInteropIFD = 40965,
    kTagWhiteBalance = 41987,
    kTagFocalLengthIn35mm = 41989,
    kTagCameraOwnerName = 42032,
    kTagBodySerialNumber = 42033,
    kTagLensModel = 42036,
    kTagColorMatrix1 = 50721,
    kTagCameraSerialNumber = 50735,
    kTagDNGPrivateData = 50740,
    kTagPreviewColorSpace = 50970,
};

constexpr std::uint16_t kColorSpaceEmbedded = 1, kColorSpaceSRGB = 2, kColorSpaceAdobeRGB = 3;

// IFD pointers: LONG or IFD, and the SLONG some writers use for them (Unsigned() refuses a negative one).
bool isPointer(const NRFTIFFEntry& e) {
    return e.type == kTIFFLong || e.type == kTIFFIFD || e.type == kTIFFSLong;
}

// Text that is not UTF-8 is taken as Latin-1, which is what cameras that predate UTF-8 wrote.
std::string toUTF8(const std::string& s) {
    if (lumo::isValidUtf8(s))
        return s;
    std::string out;
    out.reserve(s.size() * 2);
    for (const char ch : s) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out += ch;
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string trimRight(std::string s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0'))
        s.pop_back();
    return s;
}

// "YYYY:MM:DD HH:MM:SS": digits at their fixed places, any separator between them.
bool parseDate(const std::string& text, KLDateTime& out) {
    if (text.size() < 19)
        return false;
    auto num = [&](std::size_t at, std::size_t n, int& v) {
        v = 0;
        for (std::size_t i = at; i < at + n; ++i) {
            if (text[i] < '0' || text[i] > '9')
                return false;
            v = v * 10 + (text[i] - '0');
        }
        return true;
    };
    int y, mo, d, h, mi, s;
    if (!num(0, 4, y) || !num(5, 2, mo) || !num(8, 2, d) || !num(11, 2, h) || !num(14, 2, mi) ||
        !num(17, 2, s))
        return false;
    if (y == 0 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60)
        return false;
    out =
        KLDateTime{static_cast<std::int16_t>(y), static_cast<std::uint8_t>(mo), static_cast<std::uint8_t>(d),
                   static_cast<std::uint8_t>(h), static_cast<std::uint8_t>(mi), static_cast<std::uint8_t>(s)};
    return true;
}

std::uint32_t pos32(std::uint64_t pos) {
    return pos > std::numeric_limits<std::uint32_t>::max() ? 0 : static_cast<std::uint32_t>(pos);
}

} // namespace

// What one IFD said about its image, applied to the record by its role once the IFD has been read.
struct EXIFParser::IFDValues {
    bool haveWidth = false, haveHeight = false;
    std::uint32_t width = 0, height = 0;
    std::uint32_t bitsPerSample = 0;
    bool haveCompression = false, havePhotometric = false;
    std::uint32_t compression = 0, photometric = 0;
    bool haveStrips = false;
    std::uint64_t stripPos = 0, stripLength = 0;
    bool haveJPEGIF = false, haveJPEGIFLength = false;
    std::uint64_t jpegIFPos = 0, jpegIFLength = 0;
    std::uint32_t jpegIFEntryPos = 0;
    std::uint32_t gpsOffset = 0;
    bool haveGPS = false;
    // ISO rule
    std::uint32_t iso = 0, sos = 0, rei = 0, isoSpeed = 0;
    int sensitivityType = -1;
};

EXIFParser::EXIFParser(NRFImageInfoRec& record, NRFBasicTIFF& tiff, EXIFParseOptions options)
    : m_record(record), m_tiff(tiff), m_options(options), m_ifd0Orientation(options.outerOrientation) {}

bool EXIFParser::isJPEGOrPhotoshop() const {
    return m_options.fileType == kNRFTypeJPEG || m_options.fileType == NRFMakeFileType("APSD");
}
bool EXIFParser::isDNG() const {
    return m_options.fileType == kNRFTypeADNG;
}

bool EXIFParser::visit(std::uint32_t offset) {
    const std::uint64_t pos = m_tiff.Base() + offset;
    if (std::find(m_visited.begin(), m_visited.end(), pos) != m_visited.end())
        return false;
    m_visited.push_back(pos);
    return true;
}

NRFErr EXIFParser::ParseIFD0(std::uint32_t recoveryOffset, NRFIFDRole role) {
    const auto attempt = [&](std::uint32_t offset) -> NRFErr {
        m_ifd0Offset = offset;
        IFDValues v;
        if (!visit(offset))
            return kEXIFErrBadStructure;
        m_inIFD0 = true;
        struct Leave {
            bool& flag;
            ~Leave() { flag = false; }
        } leave{m_inIFD0};
        const NRFErr err = parse(offset, role, kEXIFMaxIFDEntries, false, v, &m_ifd0Next);
        if (err == 0) {
            m_ifd0StripOffset = v.haveStrips ? v.stripPos : 0;
            m_ifd0StripLength = v.haveStrips ? v.stripLength : 0;
        }
        return err;
    };
    try {
        // What the record held before (file status, sidecars, what an outer reader read) comes back
        // when the table at the header's offset is given up.
        const NRFImageInfoFields before = m_record;
        const auto restore = [&] { static_cast<NRFImageInfoFields&>(m_record) = before; };
        const std::uint32_t headerOffset = m_tiff.IFD0Offset();
        NRFErr err = attempt(headerOffset);
        if (err == 0)
            return 0;
        LUMO_LOG("Failed to parse EXIF IFD0 for file \"%s\"", m_record.m_path.c_str());
        // Only a table that could not be read at all is looked for elsewhere: a strict-mode stop or an
        // exception says nothing about where IFD0 is. (The child IFDs' own faults never come here.)
        if (recoveryOffset == 0 || recoveryOffset == headerOffset ||
            (err != kEXIFErrBadStructure && err != kEXIFErrTooManyEntries))
            return err;
        // The header may point at an abandoned table: start again at the format's standard place.
        const bool outside = tableOutsideSource(headerOffset);
        restore();
        reset();
        const NRFErr original = err;
        err = attempt(recoveryOffset);
        // What lies at the standard place counts as IFD0 only when it names the camera.
        if (err == 0 && m_record.m_make.empty()) {
            restore();
            return original;
        }
        if (err != 0)
            return err;
        m_recovered = true;
        m_repairCertain = outside && m_record.m_malformedCount == before.m_malformedCount;
        LUMO_LOG("IFD0 of file \"%s\" read at offset %u: the header's offset %u leads to no readable table",
                 m_record.m_path.c_str(), recoveryOffset, headerOffset);
        return 0;
    } catch (const std::bad_alloc&) {
        return 7;
    } catch (...) {
        LUMO_LOG("Unexpected exception in EXIFParseIFD0()");
        return kEXIFErrException;
    }
}

bool EXIFParser::tableOutsideSource(std::uint32_t offset) {
    const std::uint64_t pos = m_tiff.Base() + offset, size = m_tiff.FileSize();
    if (pos > size || size - pos < 2)
        return true;
    std::uint16_t count = 0;
    if (!m_tiff.ReadU16(pos, count))
        return false; // unreadable for another reason than where it lies: nothing is certain
    return std::uint64_t{count} * 12 > size - pos - 2;
}

void EXIFParser::reset() {
    m_visited.clear();
    m_ifd0Offset = m_ifd0Next = m_exifOffset = m_interopOffset = 0;
    m_ifd0StripOffset = m_ifd0StripLength = 0;
    m_recovered = m_repairCertain = m_dateFromOriginal = m_dateFromDigitized = m_subSecFromOriginal = false;
    m_haveDescription = m_haveArtist = m_haveCopyright = m_haveXmp = m_haveIptc = false;
    m_previewIFD = m_inIFD0 = false;
    m_ifd0Orientation = m_options.outerOrientation;
    m_ifd0OrientationPositions = 0;
    m_interopIndex.clear();
}

NRFErr EXIFParser::ParseExifIFD(NRFIFDRole role) {
    if (m_exifOffset == 0)
        return 0;
    try {
        const std::uint32_t notePosBefore = m_record.m_makerNotePos;
        const NRFErr err = ParseIFD(m_exifOffset, role);
        if (err == 0) {
            if (m_interopOffset != 0)
                parseInterop(m_interopOffset);
            decideColorSpace();
            // The maker's own values, now that IFD0 has said who the maker is.
            if (m_record.m_makerNotePos != 0 && m_record.m_makerNotePos != notePosBefore)
                EXIFParseMakerNote(m_record, m_tiff.Source(), m_record.m_makerNotePos,
                                   m_record.m_makerNoteLength, m_tiff.Base(), m_tiff.BigEndian(),
                                   m_options.fileType);
        }
        return err;
    } catch (const std::bad_alloc&) {
        return 7;
    } catch (...) {
        LUMO_LOG("Unexpected exception in EXIFParseExifIFD()");
        return kEXIFErrException;
    }
}

NRFErr EXIFParser::ParseExifIFDAt(std::uint32_t offset, NRFIFDRole role) {
    m_exifOffset = offset;
    m_record.m_exifIFDPos = pos32(m_tiff.Base() + offset);
    return ParseExifIFD(role);
}

NRFErr EXIFParser::ParseGPSIFDAt(std::uint32_t offset) {
    try {
        return parseGPS(offset);
    } catch (const std::bad_alloc&) {
        return 7;
    } catch (...) {
        LUMO_LOG("Unexpected exception in EXIFParseGPSIFD()");
        return kEXIFErrException;
    }
}

NRFErr EXIFParser::ParseIFD1() {
    if (m_ifd0Next == 0 || !visit(m_ifd0Next))
        return 0;
    try {
        IFDValues v;
        return parse(m_ifd0Next, NRFIFDRole::Reduced, kEXIFMaxIFDEntries, true, v, nullptr);
    } catch (const std::bad_alloc&) {
        return 7;
    } catch (...) {
        LUMO_LOG("Unexpected exception in EXIFParseIFD1()");
        return kEXIFErrException;
    }
}

NRFErr EXIFParser::ParseIFD(std::uint32_t offset, NRFIFDRole role) {
    if (!visit(offset))
        return 0;
    IFDValues v;
    return parse(offset, role, kEXIFMaxIFDEntries, false, v, nullptr);
}

NRFErr EXIFParser::ParseSubIFDs() {
    const std::uint32_t count = std::min<std::uint32_t>(m_record.m_subIFDCount, kEXIFMaxSubIFDs);
    if (count == 0)
        return 0;
    // A SubIFD may list SubIFDs of its own; the walk is over the list IFD0 gave.
    const auto offsets = m_record.m_subIFDOffsets;
    try {
        if (count == 1)
            return ParseIFD(offsets[0], NRFIFDRole::Main);
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t offset = offsets[i];
            // Classify by NewSubfileType before reading the IFD for real.
            std::vector<NRFTIFFEntry> entries;
            if (m_tiff.ReadIFD(offset, kEXIFMaxIFDEntries, entries) != 0)
                continue;
            std::uint32_t subfileType = 1;
            bool haveSubfileType = false;
            for (const NRFTIFFEntry& e : entries)
                if (e.tag == kTagNewSubfileType && !m_tiff.IsMalformed(e))
                    haveSubfileType = m_tiff.Unsigned(e, 0, subfileType);
            const NRFEmbeddedImageLoc previous = m_record.m_preview;
            const bool previousIsJPEG = m_record.m_previewIsJPEG;
            if (haveSubfileType && subfileType == 0) {
                const bool hadPhotometric = m_record.m_photometric != 0;
                const std::uint32_t width = m_record.m_width, height = m_record.m_height;
                if (const NRFErr err = ParseIFD(offset, NRFIFDRole::Main); err == kEXIFErrMalformed)
                    return err;
                // The raw image keeps the size its own IFD gave; a raw without a photometric value keeps
                // the size the IFDs before it gave.
                if (!hadPhotometric && m_record.m_photometric == 0 && (width | height) != 0 &&
                    (m_record.m_width == 0 || m_record.m_height == 0)) {
                    m_record.m_width = width;
                    m_record.m_height = height;
                }
                m_record.m_preview = previous;
                m_record.m_previewIsJPEG = previousIsJPEG;
                continue;
            }
            m_record.m_preview = NRFEmbeddedImageLoc{};
            const std::uint32_t width = m_record.m_width, height = m_record.m_height;
            const std::uint16_t photometric = m_record.m_photometric, compression = m_record.m_compression;
            const std::uint16_t bits = m_record.m_bitsPerSample;
            m_previewIFD = true; // its JPEG, however it is stored, is a preview
            const NRFErr err = ParseIFD(offset, NRFIFDRole::Reduced);
            m_previewIFD = false;
            if (err == kEXIFErrMalformed)
                return err;
            // A preview's IFD says nothing about the main image.
            m_record.m_width = width;
            m_record.m_height = height;
            m_record.m_photometric = photometric;
            m_record.m_compression = compression;
            m_record.m_bitsPerSample = bits;
            const NRFEmbeddedImageLoc& found = m_record.m_preview;
            const bool better =
                found.present() && (found.width >= previous.width || found.height >= previous.height);
            if (!better) {
                m_record.m_preview = previous;
                m_record.m_previewIsJPEG = previousIsJPEG;
            }
        }
        return 0;
    } catch (const std::bad_alloc&) {
        return 7;
    } catch (...) {
        LUMO_LOG("Unexpected exception in EXIFParseSubIFDs()");
        return kEXIFErrException;
    }
}

NRFErr EXIFParser::parse(std::uint32_t offset, NRFIFDRole role, unsigned maxEntries, bool isIFD1,
                         IFDValues& v, std::uint32_t* next) {
    if (++m_depth > 8) { // IFDs reach each other only through the calls of this class
        --m_depth;
        return kEXIFErrBadStructure;
    }
    struct Depth {
        int& d;
        ~Depth() { --d; }
    } depth{m_depth};
    std::vector<NRFTIFFEntry> entries;
    if (const NRFErr err = m_tiff.ReadIFD(offset, maxEntries, entries, next); err != 0)
        return err;
    return parseEntries(entries, role, isIFD1, v);
}

NRFErr EXIFParser::parseEntries(std::vector<NRFTIFFEntry>& entries, NRFIFDRole role, bool isIFD1,
                                IFDValues& v) {
    // In a DNG the IFD's own NewSubfileType says whether it holds the main image or a preview.
    if (isDNG() && role != NRFIFDRole::Other)
        for (const NRFTIFFEntry& e : entries) {
            std::uint32_t type = 0;
            if (e.tag == kTagNewSubfileType && !m_tiff.IsMalformed(e) && m_tiff.Unsigned(e, 0, type))
                role = (type & 1) ? NRFIFDRole::Reduced : NRFIFDRole::Main;
        }
    for (const NRFTIFFEntry& e : entries) {
        if (m_tiff.IsMalformed(e)) {
            ++m_record.m_malformedCount;
            LUMO_LOG("Malformed Exif tag 0x%04x (bad pointer/size) in file %s", e.tag,
                     m_record.m_path.c_str());
            if (m_options.strictExif)
                return kEXIFErrMalformed;
            continue;
        }
        dispatch(e, role, isIFD1, v);
    }
    finishIFD(role, v);
    if (v.haveGPS)
        if (const NRFErr err = parseGPS(v.gpsOffset); err != 0) {
            // A strict reading stops at a malformed entry; any other fault of the GPS IFD costs only its
            // own values, never the IFD that points at it.
            if (err == kEXIFErrMalformed)
                return err;
            LUMO_LOG("GPS IFD of file \"%s\" not read (error %u)", m_record.m_path.c_str(),
                     static_cast<unsigned>(err));
        }
    return 0;
}

void EXIFParser::dispatch(const NRFTIFFEntry& e, NRFIFDRole& role, bool isIFD1, IFDValues& v) {
    NRFImageInfoRec& r = m_record;
    const bool main = role == NRFIFDRole::Main, reduced = role == NRFIFDRole::Reduced;
    const bool isShortOrLong = e.type == kTIFFShort || e.type == kTIFFLong;
    std::uint32_t n = 0;
    double d = 0;
    std::string text;

    // Text of first occurrence, kept with the position and length of its value for in-place edits.
    const auto firstText = [&](bool& have, std::string& field, std::uint32_t& pos, std::uint32_t& length) {
        if (have || !m_tiff.Ascii(e, text))
            return;
        have = true;
        field = toUTF8(trimRight(text));
        pos = pos32(e.valuePos);
        length = e.count;
    };
    const auto unsigned0 = [&](std::uint32_t& out) { return isShortOrLong && m_tiff.Unsigned(e, 0, out); };
    const auto rational = [&](std::uint16_t type, std::optional<float>& out) {
        if (e.type == type && e.count >= 1 && m_tiff.Real(e, 0, d))
            out = static_cast<float>(d);
    };
    // A coded 16-bit value; some writers store it as a LONG.
    const auto code = [&](std::optional<std::uint16_t>& out) {
        if (unsigned0(n) && n <= 0xFFFF)
            out = static_cast<std::uint16_t>(n);
    };
    // Some editors write the 19 characters of a date without the NUL (count 19): the date is whole and
    // is taken, but its place is not kept for rewriting, since a date with its NUL would not fit it.
    const auto dateTag = [&](int kind) { // 0 DateTime, 1 Original, 2 Digitized
        if (e.type != kTIFFAscii || e.count < 19 || !m_tiff.Ascii(e, text, 64))
            return;
        KLDateTime t;
        if (!parseDate(text, t))
            return;
        if (e.count >= 20 && r.m_datePosCount < r.m_datePos.size())
            r.m_datePos[r.m_datePosCount++] = pos32(e.valuePos);
        if (reduced)
            return;
        if (kind == 1) {
            r.m_captureTime = t;
            m_dateFromOriginal = true;
            r.m_dateFromExif = true;
        } else if (kind == 2) {
            if (!m_dateFromOriginal) {
                r.m_captureTime = t;
                m_dateFromDigitized = true;
                r.m_dateFromExif = true;
            }
        } else if (!m_dateFromOriginal && !m_dateFromDigitized) {
            r.m_captureTime = t;
        }
    };

    if (m_privateTags && m_privateTags(m_tiff, e, role))
        return;

    switch (e.tag) {
    case kTagNewSubfileType:
        return; // read before the entries (DNG)
    case kTagImageWidth:
    case kTagImageLength:
        if (unsigned0(n)) {
            (e.tag == kTagImageWidth ? v.width : v.height) = n;
            (e.tag == kTagImageWidth ? v.haveWidth : v.haveHeight) = true;
        }
        return;
    case kTagPixelXDimension:
    case kTagPixelYDimension:
        if (unsigned0(n)) {
            (e.tag == kTagPixelXDimension ? r.m_pixelXDimension : r.m_pixelYDimension) = n;
            if (main) {
                (e.tag == kTagPixelXDimension ? v.width : v.height) = n;
                (e.tag == kTagPixelXDimension ? v.haveWidth : v.haveHeight) = true;
            }
        }
        return;
    case kTagBitsPerSample:
        if (e.type == kTIFFShort && m_tiff.Unsigned(e, 0, n)) {
            v.bitsPerSample = n;
            if (main)
                r.m_bitsPerSample = static_cast<std::uint16_t>(n);
        }
        return;
    case kTagCompression:
        if (e.type == kTIFFShort && m_tiff.Unsigned(e, 0, n)) {
            v.compression = n;
            v.haveCompression = true;
            if (main)
                r.m_compression = static_cast<std::uint16_t>(n);
        }
        return;
    case kTagPhotometric:
        if (e.type == kTIFFShort && m_tiff.Unsigned(e, 0, n)) {
            v.photometric = n;
            v.havePhotometric = true;
            if (main) {
                r.m_photometric = static_cast<std::uint16_t>(n);
                if (n >= 2)
                    r.m_isColor = true;
            }
        }
        return;
    case kTagImageDescription:
        firstText(m_haveDescription, r.m_description, r.m_descriptionPos, r.m_descriptionLength);
        return;
    case kTagArtist:
        firstText(m_haveArtist, r.m_artist, r.m_artistPos, r.m_artistLength);
        return;
    case kTagCopyright:
        firstText(m_haveCopyright, r.m_copyright, r.m_copyrightPos, r.m_copyrightLength);
        return;
    case kTagMake:
        if (m_tiff.Ascii(e, text, 255))
            r.m_make = toUTF8(trimRight(text));
        return;
    case kTagModel:
        if (m_tiff.Ascii(e, text, 255)) {
            r.m_model = toUTF8(trimRight(text));
            if (r.m_model.rfind("E-20", 0) == 0)
                r.m_model = "E-20";
        }
        return;
    case kTagSoftware:
        if (m_tiff.Ascii(e, text, 255))
            r.m_software = toUTF8(trimRight(text));
        return;
    case kTagStripOffsets:
        if (unsigned0(n)) {
            v.stripPos = m_tiff.Base() + n;
            v.haveStrips = true;
        }
        return;
    case kTagStripByteCounts:
        if (unsigned0(n)) // the first strip: previews and thumbnails are stored in one
            v.stripLength = n;
        return;
    case kTagOrientation:
        if (e.type == kTIFFShort && m_tiff.Unsigned(e, 0, n) && n >= 1 && n <= 8)
            takeOrientation(e, n, isIFD1);
        return;
    case kTagSamplesPerPixel:
        if (main && e.type == kTIFFShort && m_tiff.Unsigned(e, 0, n))
            r.m_samplesPerPixel = static_cast<std::uint16_t>(n);
        return;
    case kTagRowsPerStrip:
        if (main && unsigned0(n))
            r.m_rowsPerStrip = static_cast<std::uint16_t>(std::min<std::uint32_t>(n, 0xFFFF));
        return;
    case kTagPlanarConfig:
        if (main && e.type == kTIFFShort && m_tiff.Unsigned(e, 0, n))
            r.m_planarConfig = static_cast<std::uint16_t>(n);
        return;
    case kTagExtraSamples:
        if (main && e.type == kTIFFShort && m_tiff.Unsigned(e, 0, n))
            r.m_extraSamples = static_cast<std::uint16_t>(n);
        return;
    case kTagXResolution:
    case kTagYResolution:
        if (main && e.type == kTIFFRational && m_tiff.Real(e, 0, d))
            (e.tag == kTagXResolution ? r.m_xResolution : r.m_yResolution) = d;
        return;
    case kTagResolutionUnit:
        if (main && e.type == kTIFFShort && m_tiff.Unsigned(e, 0, n))
            r.m_resolutionUnit = static_cast<std::uint16_t>(n);
        return;
    case kTagDateTime:
        dateTag(0);
        return;
    case kTagDateTimeOriginal:
        dateTag(1);
        return;
    case kTagDateTimeDigitized:
        dateTag(2);
        return;
    case kTagWhitePoint:
        if (r.m_colorSpaceCode != kColorSpaceEmbedded && e.type == kTIFFRational && e.count == 2)
            for (std::uint32_t i = 0; i < 2; ++i)
                if (m_tiff.Real(e, i, d))
                    r.m_whitePoint[i] = d;
        return;
    case kTagPrimaryChromaticities:
        if (r.m_colorSpaceCode != kColorSpaceEmbedded && e.type == kTIFFRational && e.count == 6)
            for (std::uint32_t i = 0; i < 6; ++i)
                if (m_tiff.Real(e, i, d))
                    r.m_primaryChromaticities[i] = d;
        return;
    case kTagSubIFDs:
        if (isPointer(e)) {
            const std::uint32_t count = std::min<std::uint32_t>(e.count, kEXIFMaxSubIFDs);
            r.m_subIFDCount = 0;
            for (std::uint32_t i = 0; i < count; ++i)
                if (m_tiff.Unsigned(e, i, n))
                    r.m_subIFDOffsets[r.m_subIFDCount++] = n;
        }
        return;
    case kTagJPEGInterchangeFormat:
        if (e.type == kTIFFLong && m_tiff.Unsigned(e, 0, n)) {
            v.jpegIFPos = m_tiff.Base() + n;
            v.haveJPEGIF = true;
            v.jpegIFEntryPos = pos32(e.entryPos);
        }
        return;
    case kTagJPEGInterchangeFormatLength:
        if (e.type == kTIFFLong && m_tiff.Unsigned(e, 0, n)) {
            v.jpegIFLength = n;
            v.haveJPEGIFLength = true;
        }
        return;
    case kTagYCbCrCoefficients:
        if (e.type == kTIFFRational && e.count == 3) {
            double l[3];
            for (std::uint32_t i = 0; i < 3; ++i)
                if (!m_tiff.Real(e, i, l[i]) || !(l[i] > 0.0 && l[i] < 1.0))
                    return;
            // Y = LR·R + LG·G + LB·B: the factors that take Cr and Cb back to R, B and G.
            const double scale = 16384.0;
            const double crR = 2 - 2 * l[0], cbB = 2 - 2 * l[2];
            const double f[4] = {crR, cbB, l[2] * cbB / l[1], l[0] * crR / l[1]};
            for (int i = 0; i < 4; ++i)
                r.m_yCbCrCoefficients[i] =
                    static_cast<std::uint16_t>(std::min(65535.0, std::round(f[i] * scale)));
        }
        return;
    case kTagYCbCrPositioning:
        if (main && e.type == kTIFFShort && m_tiff.Unsigned(e, 0, n))
            r.m_yCbCrPositioning = static_cast<std::uint16_t>(n);
        return;
    case kTagXMP:
        if (isJPEGOrPhotoshop() || reduced || m_haveXmp ||
            (e.type != kTIFFByte && e.type != kTIFFUndefined) || e.count == 0)
            return;
        {
            // A packet is taken when its start looks like one; the XMP library reads it later.
            std::string head;
            if (!m_tiff.ValueBytes(e, head, 512))
                return;
            if (head.find("<?xpacket") == std::string::npos && head.find("<x:xmpmeta") == std::string::npos &&
                head.find("<x:xapmeta") == std::string::npos && head.find("<rdf:RDF") == std::string::npos)
                return;
            m_haveXmp = true;
            r.m_xmpPacketPos = pos32(e.valuePos);
            r.m_xmpPacketLength = e.count;
            r.m_xmpIFDEntryPos = pos32(e.entryPos);
        }
        return;
    case kTagExposureTime:
        rational(kTIFFRational, r.m_exposureTime);
        return;
    case kTagFNumber:
        rational(kTIFFRational, r.m_fNumber);
        return;
    case kTagIPTC:
        if (isJPEGOrPhotoshop() || m_haveIptc || e.count == 0)
            return;
        m_haveIptc = true;
        r.m_iptcPos = pos32(e.valuePos);
        r.m_iptcLength =
            static_cast<std::uint32_t>(e.type == kTIFFLong ? std::uint64_t{e.count} * 4 : e.count);
        r.m_iptcIFDEntryPos = pos32(e.entryPos);
        return;
    case kTagPhotoshop:
        if (isJPEGOrPhotoshop() || r.m_photoshopPos != 0 || (e.type != kTIFFByte && e.type != kTIFFUndefined))
            return;
        {
            std::string block;
            if (!m_tiff.ValueBytes(e, block, 16 << 20) ||
                !EXIFWalkPhotoshopResources(block,
                                            [](std::uint16_t, std::size_t, std::size_t) { return true; }))
                return;
            r.m_photoshopPos = pos32(e.valuePos);
            r.m_photoshopLength = e.count;
            r.m_photoshopCount = 1;
        }
        return;
    case kTagLeafData:
        if ((e.type == kTIFFUndefined || e.type == kTIFFByte) && e.count != 0)
            EXIFParseLeafData(r, m_tiff.Source(), e.valuePos, e.count, m_tiff.Base(), m_tiff.BigEndian(),
                              m_options.fileType);
        return;
    case kTagExifIFD:
        if (isPointer(e) && m_tiff.Unsigned(e, 0, n) && m_exifOffset == 0) {
            m_exifOffset = n;
            r.m_exifIFDPos = pos32(m_tiff.Base() + n);
            r.m_exifIFDEntryPos = pos32(e.entryPos);
        }
        return;
    case kTagICCProfile:
        if (isJPEGOrPhotoshop() || e.type != kTIFFUndefined || e.count == 0)
            return;
        r.m_colorSpaceCode = kColorSpaceEmbedded;
        r.m_iccIFDEntryPos = pos32(e.entryPos);
        r.m_iccTotalLength = e.count;
        r.m_iccChunkCount = 1;
        r.m_iccChunkPos[0] = pos32(e.valuePos);
        return;
    case kTagExposureProgram:
        if (e.type == kTIFFShort && m_tiff.Unsigned(e, 0, n) && n >= 1 && n <= 9) {
            r.m_exposureProgram = static_cast<std::uint16_t>(n);
            r.m_exposureProgramText = EXIFExposureProgramText(n);
        }
        return;
    case kTagGPSIFD:
        if (isPointer(e) && e.count == 1 && m_tiff.Unsigned(e, 0, n)) {
            v.gpsOffset = n;
            v.haveGPS = true;
            r.m_gpsIFDEntryPos = pos32(e.entryPos);
        }
        return;
    case kTagISO:
        if (unsigned0(n) && n >= 8)
            v.iso = n;
        return;
    case kTagSensitivityType:
        if (e.type == kTIFFShort && m_tiff.Unsigned(e, 0, n))
            v.sensitivityType = static_cast<int>(std::min<std::uint32_t>(n, 1000));
        return;
    case kTagStandardOutputSensitivity:
        if (e.type == kTIFFLong && m_tiff.Unsigned(e, 0, n))
            v.sos = n;
        return;
    case kTagRecommendedExposureIndex:
        if (e.type == kTIFFLong && m_tiff.Unsigned(e, 0, n))
            v.rei = n;
        return;
    case kTagISOSpeed:
        if (e.type == kTIFFLong && m_tiff.Unsigned(e, 0, n))
            v.isoSpeed = n;
        return;
    case kTagExifVersion:
        if (e.count == 4 && (e.type == kTIFFUndefined || e.type == kTIFFByte || e.type == kTIFFAscii)) {
            unsigned char b[4];
            if (m_tiff.Read(e.valuePos, b, 4))
                r.m_exifVersion = (std::uint32_t{b[0]} << 24) | (b[1] << 16) | (b[2] << 8) | b[3];
        }
        return;
    case kTagOffsetTimeOriginal:
        if (e.type == kTIFFAscii && e.count == 7 && m_tiff.Ascii(e, text, 7) && text.size() == 6 &&
            (text[0] == '+' || text[0] == '-') && text[3] == ':') {
            int parts[4];
            const int idx[4] = {1, 2, 4, 5};
            for (int i = 0; i < 4; ++i) {
                if (text[idx[i]] < '0' || text[idx[i]] > '9')
                    return;
                parts[i] = text[idx[i]] - '0';
            }
            const int minutes = (parts[0] * 10 + parts[1]) * 60 + parts[2] * 10 + parts[3];
            if (minutes <= 14 * 60)
                r.m_timeZoneOffset = static_cast<std::int16_t>(text[0] == '-' ? -minutes : minutes);
        }
        return;
    case kTagShutterSpeedValue:
        if (e.type == kTIFFSRational && m_tiff.Real(e, 0, d) && d > -99 && d < 99)
            r.m_shutterSpeedValue = static_cast<float>(d);
        return;
    case kTagApertureValue:
        rational(kTIFFRational, r.m_apertureValue);
        return;
    case kTagMaxApertureValue:
        rational(kTIFFRational, r.m_maxApertureValue);
        return;
    case kTagBrightnessValue:
        rational(kTIFFSRational, r.m_brightness);
        return;
    case kTagExposureBiasValue:
        rational(kTIFFSRational, r.m_exposureBias);
        return;
    case kTagSubjectDistance:
        rational(kTIFFRational, r.m_subjectDistance);
        return;
    case kTagMeteringMode:
        code(r.m_meteringMode);
        return;
    case kTagLightSource:
        code(r.m_lightSource);
        return;
    case kTagFlash:
        code(r.m_flash);
        return;
    case kTagFocalLength:
        rational(kTIFFRational, r.m_focalLength);
        return;
    case kTagImageNumber:
        if (unsigned0(n))
            r.m_exifImageNumber = n;
        return;
    case kTagMakerNote:
        if (e.count != 0 && r.m_makerNotePos == 0) {
            r.m_makerNotePos = pos32(e.valuePos);
            r.m_makerNoteLength = e.count;
        }
        return;
    case kTagUserComment:
        if (e.count >= 9 && (e.type == kTIFFUndefined || e.type == kTIFFByte)) {
            std::string bytes;
            if (m_tiff.ValueBytes(e, bytes, 65536) && bytes.compare(0, 8, std::string("ASCII\0\0\0", 8)) == 0)
                r.m_userComment = toUTF8(
                    trimRight(std::string(bytes.c_str() + 8, strnlen(bytes.c_str() + 8, bytes.size() - 8))));
        }
        return;
    case kTagSubSecTimeOriginal:
    case kTagSubSecTimeDigitized:
        if (e.type == kTIFFAscii && m_tiff.Ascii(e, text, 16)) {
            std::uint32_t units = 0;
            // The sub-seconds follow the date they belong to: the original's win over the digitized.
            if (!EXIFParseSubSeconds(trimRight(text), units))
                return;
            if (e.tag == kTagSubSecTimeOriginal) {
                r.m_subSeconds = units;
                m_subSecFromOriginal = true;
            } else if (!m_subSecFromOriginal) {
                r.m_subSeconds = units;
            }
        }
        return;
    case kTagColorSpace:
        if (e.type == kTIFFShort && m_tiff.Unsigned(e, 0, n))
            r.m_exifColorSpace = static_cast<std::uint16_t>(n);
        return;
    case kTagInteropIFD:
        if (isPointer(e) && m_tiff.Unsigned(e, 0, n) && m_interopOffset == 0)
            m_interopOffset = n;
        return;
    case kTagWhiteBalance:
        code(r.m_whiteBalance);
        return;
    case kTagFocalLengthIn35mm:
        if (e.type == kTIFFShort && m_tiff.Unsigned(e, 0, n))
            r.m_focalLength35 = static_cast<std::uint16_t>(n);
        return;
    case kTagCameraOwnerName:
        if (m_tiff.Ascii(e, text, 255))
            r.m_owner = toUTF8(trimRight(text));
        return;
    case kTagBodySerialNumber:
        if (m_tiff.Ascii(e, text, 255))
            r.m_bodySerial = toUTF8(trimRight(text));
        return;
    case kTagLensModel:
        if (m_tiff.Ascii(e, text, 255))
            r.m_lensModel = toUTF8(trimRight(text));
        return;
    case kTagColorMatrix1:
        if (isDNG())
            r.m_isColor = true;
        return;
    case kTagCameraSerialNumber:
        if (m_tiff.Ascii(e, text, 255))
            r.m_cameraSerial = toUTF8(trimRight(text));
        return;
    case kTagDNGPrivateData:
        if ((e.type == kTIFFByte || e.type == kTIFFUndefined) && e.count > 20 && r.m_makerNotePos == 0)
            makerNoteInPrivateData(e);
        return;
    case kTagPreviewColorSpace:
        if (isDNG() && e.type == kTIFFLong && m_tiff.Unsigned(e, 0, n) &&
            r.m_colorSpaceCode != kColorSpaceEmbedded) {
            if (n == 2)
                r.m_colorSpaceCode = kColorSpaceSRGB;
            else if (n == 3)
                r.m_colorSpaceCode = kColorSpaceAdobeRGB;
        }
        return;
    default:
        return;
    }
}

// DNG converters keep the camera's maker note in DNGPrivateData ("Adobe\0MakN", its length, its byte
// order and where it lay in the original file, so that offsets counted from that file's TIFF header still
// land); some cameras put their own note there as it is.
void EXIFParser::makerNoteInPrivateData(const NRFTIFFEntry& e) {
    unsigned char head[20];
    if (!m_tiff.Read(e.valuePos, head, sizeof head))
        return;
    const auto be32 = [&](int at) {
        return (std::uint32_t{head[at]} << 24) | (head[at + 1] << 16) | (head[at + 2] << 8) | head[at + 3];
    };
    std::uint64_t pos = e.valuePos, length = e.count, base = m_tiff.Base();
    bool bigEndian = m_tiff.BigEndian();
    if (std::memcmp(head, "Adobe\0MakN", 10) == 0) {
        const std::uint32_t count = be32(10);
        if (count < 6 || (head[14] != head[15]) || (head[14] != 'I' && head[14] != 'M'))
            return;
        bigEndian = head[14] == 'M';
        pos = e.valuePos + 20;
        length = std::min<std::uint64_t>(count - 6, e.count - 20);
        const std::uint32_t originalOffset = be32(16);
        if (originalOffset > pos)
            return;
        base = pos - originalOffset;
    } else if (std::memcmp(head, "PENTAX \0", 8) != 0 && std::memcmp(head, "AOC\0", 4) != 0) {
        return;
    }
    m_record.m_makerNotePos = pos32(pos);
    m_record.m_makerNoteLength = static_cast<std::uint32_t>(length);
    EXIFParseMakerNote(m_record, m_tiff.Source(), pos, length, base, bigEndian, m_options.fileType);
}

// Every Orientation value's position is kept, so that a rotation reaches them all; IFD0's come first.
// IFD0 describes the image: its value is the rotation, and another IFD's (a SubIFD's preview or raw
// image) counts only when IFD0 has none. IFD1's describes the thumbnail alone.
void EXIFParser::takeOrientation(const NRFTIFFEntry& e, unsigned value, bool isIFD1) {
    NRFImageInfoRec& r = m_record;
    const bool ownIFD0 = m_inIFD0 && !m_options.outerOrientation;
    const std::uint32_t capacity = static_cast<std::uint32_t>(r.m_orientationPos.size());
    const std::uint32_t count = std::min(r.m_orientationPosCount, capacity);
    const std::uint32_t at = ownIFD0 ? std::min(m_ifd0OrientationPositions, count) : count;
    if (at < capacity) {
        // When the list is full, an IFD0 value pushes the last of the others out.
        for (std::uint32_t i = std::min(count, capacity - 1); i > at; --i) {
            r.m_orientationPos[i] = r.m_orientationPos[i - 1];
            r.m_orientationBigEndian[i] = r.m_orientationBigEndian[i - 1];
        }
        r.m_orientationPos[at] = pos32(e.valuePos);
        r.m_orientationBigEndian[at] = m_tiff.BigEndian();
        r.m_orientationPosCount = std::min(count + 1, capacity);
        if (ownIFD0)
            ++m_ifd0OrientationPositions;
    }
    if (isIFD1)
        return;
    if (m_inIFD0 ? !m_options.outerOrientation : !m_ifd0Orientation)
        r.m_orientation = static_cast<std::int16_t>(EXIFOrientationToRotation(value));
    if (m_inIFD0)
        m_ifd0Orientation = true;
}

bool EXIFParser::recordJPEG(std::uint64_t pos, std::uint64_t length, bool thumbnail, std::uint32_t entryPos) {
    // A JPEG file's own thumbnail must lie inside its EXIF segment.
    if (thumbnail && m_options.segmentEnd != 0 &&
        (pos < m_options.segmentStart || pos + length > m_options.segmentEnd))
        return false;
    NRFEmbeddedImageLoc loc;
    if (!NRFLocateJPEG(m_tiff.Source(), pos, length, loc))
        return false;
    if (thumbnail) {
        m_record.m_thumbnail = loc;
        m_record.m_thumbnailIsJPEG = true;
        m_record.m_thumbnailIFDEntryPos = entryPos;
    } else {
        m_record.m_preview = loc;
        m_record.m_previewIsJPEG = true;
        m_record.m_previewOffsetIsAbsolute = true; // a file position, not counted from the image data
    }
    return true;
}

void EXIFParser::finishIFD(NRFIFDRole role, IFDValues& v) {
    NRFImageInfoRec& r = m_record;
    // ISO: the sensitivity type names which of the newer values replaces PhotographicSensitivity.
    if (v.iso != 0)
        r.m_iso = v.iso;
    if (v.sensitivityType >= 0 && v.sensitivityType <= 7) {
        const int t = v.sensitivityType;
        if (v.sos != 0 && (t == 1 || t == 4 || t == 5 || t == 7))
            r.m_iso = v.sos;
        if (v.rei != 0 && (t == 2 || t == 4 || t == 6 || t == 7))
            r.m_iso = v.rei;
    }
    if (v.isoSpeed != 0)
        r.m_iso = v.isoSpeed;

    if (role == NRFIFDRole::Main) {
        if (v.haveWidth)
            r.m_width = v.width;
        if (v.haveHeight)
            r.m_height = v.height;
        if (v.haveStrips) {
            r.m_stripOffset = pos32(v.stripPos);
            r.m_stripByteCount =
                static_cast<std::uint32_t>(std::min<std::uint64_t>(v.stripLength, 0xFFFFFFFFu));
        }
        if (v.haveJPEGIF && v.haveJPEGIFLength)
            recordJPEG(v.jpegIFPos, v.jpegIFLength, false, v.jpegIFEntryPos);
        return;
    }
    if (role != NRFIFDRole::Reduced)
        return;
    // A DNG preview of another kind than grey, RGB or a YCbCr JPEG is not something to show.
    if (isDNG() && v.havePhotometric && v.photometric != 1 && v.photometric != 2 && v.photometric != 6) {
        r.m_preview.width = r.m_preview.height = 0;
        return;
    }
    if (v.haveStrips && v.haveCompression && (v.compression == 6 || v.compression == 7)) {
        recordJPEG(v.stripPos, v.stripLength, false, 0);
    } else if (v.haveStrips && (!v.haveCompression || v.compression == 1) && v.havePhotometric &&
               (v.photometric == 1 || v.photometric == 2) && (v.bitsPerSample == 0 || v.bitsPerSample == 8) &&
               v.width != 0 && v.height != 0) {
        const std::uint64_t length = std::uint64_t{v.width} * v.height * (v.photometric == 2 ? 3 : 1);
        const std::uint64_t size = m_tiff.FileSize();
        if (v.stripPos >= 8 && length <= size && v.stripPos <= size - length)
            r.m_stripThumbnail = NRFEmbeddedImageLoc{static_cast<std::uint32_t>(v.stripPos),
                                                     static_cast<std::uint32_t>(length), v.width, v.height};
    }
    if (v.haveJPEGIF && v.haveJPEGIFLength)
        recordJPEG(v.jpegIFPos, v.jpegIFLength, !m_previewIFD, v.jpegIFEntryPos);
}

NRFErr EXIFParser::parseGPS(std::uint32_t offset) {
    NRFImageInfoRec& r = m_record;
    if (!visit(offset))
        return 0;
    std::vector<NRFTIFFEntry> entries;
    if (const NRFErr err = m_tiff.ReadIFD(offset, kEXIFMaxGPSEntries, entries); err != 0)
        return err;
    r.m_gpsIFDPos = pos32(m_tiff.Base() + offset);
    double lat = 0, lon = 0, alt = 0;
    bool haveLat = false, haveLon = false, haveAlt = false;
    char latRef = '?', lonRef = '?';
    std::string text;
    double d = 0;
    std::uint32_t n = 0;
    const auto threeRationals = [&](const NRFTIFFEntry& e, double(&v)[3]) {
        if ((e.type != kTIFFRational && e.type != kTIFFSRational) || e.count < 3)
            return false;
        for (std::uint32_t i = 0; i < 3; ++i)
            if (!m_tiff.Real(e, i, v[i]))
                return false;
        return true;
    };
    const auto refChar = [&](const NRFTIFFEntry& e, char& out) {
        if (e.type != kTIFFAscii || e.count < 1 || e.count > 2 || !m_tiff.Ascii(e, text, 2) || text.empty())
            return false;
        out = text[0];
        return true;
    };
    for (const NRFTIFFEntry& e : entries) {
        if (m_tiff.IsMalformed(e)) {
            ++r.m_malformedCount;
            LUMO_LOG("Malformed Exif tag 0x%04x (bad pointer/size) in file %s", e.tag, r.m_path.c_str());
            if (m_options.strictExif)
                return kEXIFErrMalformed;
            continue;
        }
        if (e.tag > 30)
            continue;
        double v3[3];
        char c = 0;
        switch (e.tag) {
        case 0:
            if (e.type == kTIFFByte && e.count == 4) {
                unsigned char b[4];
                if (m_tiff.Read(e.valuePos, b, 4))
                    r.m_gpsVersion = (std::uint32_t{b[0]} << 24) | (b[1] << 16) | (b[2] << 8) | b[3];
            }
            break;
        case 1:
        case 3:
            if (refChar(e, c)) {
                (e.tag == 1 ? latRef : lonRef) = c;
                (e.tag == 1 ? r.m_gpsLatitudeRefPos : r.m_gpsLongitudeRefPos) = pos32(e.valuePos);
            }
            break;
        case 2:
        case 4:
            if (threeRationals(e, v3)) {
                const double degrees = v3[0] + v3[1] / 60.0 + v3[2] / 3600.0;
                if (e.tag == 2) {
                    lat = degrees;
                    haveLat = true;
                    r.m_gpsLatitudePos = pos32(e.valuePos);
                } else {
                    lon = degrees;
                    haveLon = true;
                    r.m_gpsLongitudePos = pos32(e.valuePos);
                }
            }
            break;
        case 5:
            if ((e.type == kTIFFByte || e.type == kTIFFUndefined) && m_tiff.Unsigned(e, 0, n)) {
                r.m_gpsAltitudeRef = static_cast<std::uint8_t>(n);
                r.m_gpsAltitudeRefPos = pos32(e.valuePos);
            }
            break;
        case 6:
            if ((e.type == kTIFFRational || e.type == kTIFFSRational) && m_tiff.Real(e, 0, d)) {
                alt = d;
                haveAlt = true;
                r.m_gpsAltitudePos = pos32(e.valuePos);
            }
            break;
        case 7:
            if (e.type == kTIFFRational && threeRationals(e, v3) && v3[0] >= 0 && v3[0] < 24 && v3[1] >= 0 &&
                v3[1] < 60 && v3[2] >= 0 && v3[2] < 60) {
                r.m_gpsHasTimeStamp = true;
                r.m_gpsHours = static_cast<std::uint8_t>(v3[0]);
                r.m_gpsMinutes = static_cast<std::uint8_t>(v3[1]);
                r.m_gpsSeconds = static_cast<std::uint8_t>(v3[2]);
                const double fraction = v3[2] - std::floor(v3[2]);
                r.m_gpsMilliseconds =
                    static_cast<std::uint16_t>(std::min(999.0, std::round(fraction * 1000.0)));
                r.m_gpsTimeHasFraction = fraction != 0.0;
            }
            break;
        case 8:
            if (m_tiff.Ascii(e, text, 255))
                r.m_gpsSatellites = toUTF8(trimRight(text));
            break;
        case 9:
            if (refChar(e, c))
                r.m_gpsStatus = static_cast<std::uint8_t>(c);
            break;
        case 10:
            if (refChar(e, c))
                r.m_gpsMeasureMode = static_cast<std::uint8_t>(c);
            break;
        case 11:
            if (e.type == kTIFFRational && m_tiff.Real(e, 0, d))
                r.m_gpsDOP = d;
            break;
        case 12:
            if (refChar(e, c))
                r.m_gpsSpeedRef = static_cast<std::uint8_t>(c);
            break;
        case 13:
            if (e.type == kTIFFRational && m_tiff.Real(e, 0, d))
                r.m_gpsSpeed = d;
            break;
        case 14:
            if (refChar(e, c))
                r.m_gpsTrackRef = static_cast<std::uint8_t>(c);
            break;
        case 15:
            if (e.type == kTIFFRational && m_tiff.Real(e, 0, d))
                r.m_gpsTrack = d;
            break;
        case 16:
            if (refChar(e, c))
                r.m_gpsImgDirectionRef = static_cast<std::uint8_t>(c);
            break;
        case 17:
            if (e.type == kTIFFRational && m_tiff.Real(e, 0, d))
                r.m_bearing = d;
            break;
        case 18:
            if (m_tiff.Ascii(e, text, 255))
                r.m_gpsMapDatum = toUTF8(trimRight(text));
            break;
        case 29:
            if (m_tiff.Ascii(e, text, 32))
                r.m_gpsDateStamp = trimRight(text);
            break;
        default:
            break;
        }
    }
    r.m_gpsLatitudeRef = static_cast<std::uint8_t>(latRef);
    r.m_gpsLongitudeRef = static_cast<std::uint8_t>(lonRef);
    // A GPS IFD without both coordinates is no position (a receiver that had no fix writes one).
    if (haveLat && haveLon && lat <= 90.0 && lon <= 180.0) {
        r.m_latitude = latRef == 'S' || latRef == 's' ? -lat : lat;
        r.m_longitude = lonRef == 'W' || lonRef == 'w' ? -lon : lon;
        r.m_hasGPS = true;
    }
    if (haveAlt)
        r.m_altitude = r.m_gpsAltitudeRef == 1 ? -alt : alt;
    // Date stamp and time stamp together give the fix's time.
    KLDateTime day;
    if (r.m_gpsHasTimeStamp && r.m_gpsDateStamp.size() >= 10 &&
        parseDate(r.m_gpsDateStamp + " 00:00:00", day)) {
        std::tm tm{};
        tm.tm_year = day.year - 1900;
        tm.tm_mon = day.month - 1;
        tm.tm_mday = day.day;
        tm.tm_hour = r.m_gpsHours;
        tm.tm_min = r.m_gpsMinutes;
        tm.tm_sec = r.m_gpsSeconds;
        r.m_gpsTime = static_cast<double>(timegm(&tm)) + r.m_gpsMilliseconds / 1000.0;
    }
    return 0;
}

void EXIFParser::parseInterop(std::uint32_t offset) {
    if (!visit(offset))
        return;
    std::vector<NRFTIFFEntry> entries;
    if (m_tiff.ReadIFD(offset, kEXIFMaxIFDEntries, entries) != 0)
        return;
    m_record.m_interopIFDPos = pos32(m_tiff.Base() + offset);
    for (const NRFTIFFEntry& e : entries) {
        std::string text;
        if (e.tag == 1 && e.type == kTIFFAscii && e.count == 4 && !m_tiff.IsMalformed(e) &&
            m_tiff.Ascii(e, text, 4))
            m_interopIndex = text;
    }
}

void EXIFParser::decideColorSpace() {
    NRFImageInfoRec& r = m_record;
    if (r.m_colorSpaceCode == kColorSpaceEmbedded || r.m_exifVersion < 0x30323231u)
        return;
    if (r.m_exifColorSpace == 1)
        r.m_colorSpaceCode = kColorSpaceSRGB;
    else if (r.m_exifColorSpace == 2)
        r.m_colorSpaceCode = kColorSpaceAdobeRGB;
    else if (r.m_exifColorSpace == 0xFFFF) {
        if (m_interopIndex == "R98")
            r.m_colorSpaceCode = kColorSpaceSRGB;
        else if (m_interopIndex == "R03")
            r.m_colorSpaceCode = kColorSpaceAdobeRGB;
    }
}

bool EXIFWalkPhotoshopResources(
    const std::string& block, const std::function<bool(std::uint16_t, std::size_t, std::size_t)>& resource) {
    const auto be16 = [&](std::size_t at) {
        return static_cast<std::uint16_t>((static_cast<unsigned char>(block[at]) << 8) |
                                          static_cast<unsigned char>(block[at + 1]));
    };
    std::size_t pos = 0;
    for (int count = 0; count < 100000 && pos + 12 <= block.size(); ++count) {
        if (block.compare(pos, 4, "8BIM") != 0)
            return true; // padding or another signature ends the list
        const std::uint16_t id = be16(pos + 4);
        const std::size_t nameLength = static_cast<unsigned char>(block[pos + 6]);
        std::size_t at = pos + 6 + ((nameLength + 2) & ~std::size_t{1}); // Pascal string padded to even
        if (at + 4 > block.size())
            return true;
        const std::size_t size = (std::size_t{be16(at)} << 16) | be16(at + 2);
        at += 4;
        if (size > block.size() - at) {
            LUMO_LOG("RemovePSResources(): bad resource size (%lu > %lu", static_cast<unsigned long>(size),
                     static_cast<unsigned long>(block.size() - at));
            return false;
        }
        if (!resource(id, at, size))
            return true;
        pos = at + size + (size & 1);
    }
    return true;
}

std::string EXIFCleanText(const std::string& text) {
    return toUTF8(trimRight(text));
}

const char* EXIFExposureProgramText(unsigned program) {
    static constexpr const char* kTexts[] = {"Manual",           "Normal",    "Aperture Priority",
                                             "Shutter Priority", "Creative",  "Action",
                                             "Portrait",         "Landscape", "Bulb"};
    return program >= 1 && program <= 9 ? kTexts[program - 1] : "";
}

int EXIFOrientationToRotation(unsigned orientation) {
    static constexpr int kRotation[8] = {0, 4, 2, 6, 7, 1, 5, 3};
    return orientation >= 1 && orientation <= 8 ? kRotation[orientation - 1] : -1;
}

bool EXIFParseSubSeconds(const std::string& text, std::uint32_t& out) {
    if (text.empty() || text.size() > 8)
        return false;
    std::uint32_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    switch (text.size()) {
    case 1:
        out = value * 1000;
        break;
    case 2:
        out = value * 100;
        break;
    case 3:
        out = value * 10;
        break;
    case 4:
        out = value;
        break;
    default: {
        std::uint32_t divisor = 1;
        for (std::size_t i = 4; i < text.size(); ++i)
            divisor *= 10;
        out = (value + divisor / 2) / divisor;
        break;
    }
    }
    return true;
}
