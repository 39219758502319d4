#include "NRF/EXIFMakerNotes.h"

#include "NRF/NRFImageInfo.h"
#include "app/LumoLog.h"

#include <cmath>
#include <cstdio>
#include <exception>
#include <limits>
#include <optional>

// Olympus (and OM Digital) maker notes. Three headers are in use:
//   "OLYMP\0" + version        IFD at note + 8, offsets from the EXIF TIFF header, its byte order;
//   "OLYMPUS\0" + "II"/"MM" + 3 IFD at note + 12, offsets from the note's start, its own byte order;
//   "OM SYSTEM\0\0\0" + "II"/"MM" + 4  IFD at note + 16, the same.
// The main IFD points at sub-IFDs (Equipment, CameraSettings) either as IFD-typed offsets or as
// UNDEFINED blocks that hold the IFD; offsets inside them count from the same base as the main IFD.

namespace {

constexpr std::uint16_t kTagThumbnail = 0x0100;
constexpr std::uint16_t kTagQuality = 0x0201;
constexpr std::uint16_t kTagCameraType = 0x0207;
constexpr std::uint16_t kTagSerial = 0x0404;
constexpr std::uint16_t kTagFirmware = 0x0405;
constexpr std::uint16_t kTagFocusMode = 0x100b;
constexpr std::uint16_t kTagSharpness = 0x100f;
constexpr std::uint16_t kTagSerial2 = 0x101a;
constexpr std::uint16_t kTagEquipment = 0x2010;
constexpr std::uint16_t kTagCameraSettings = 0x2020;

struct LensName {
    std::uint32_t number; // make << 16 | model << 8 | sub-model
    const char* name;
};

// The common lenses of the Four Thirds and Micro Four Thirds systems.
const LensName kLenses[] = {
    {0x000100, "Olympus Zuiko Digital ED 50mm F2.0 Macro"},
    {0x000300, "Olympus Zuiko Digital ED 300mm F2.8"},
    {0x000310, "Olympus M.Zuiko Digital ED 14-150mm F4.0-5.6"},
    {0x000410, "Olympus M.Zuiko Digital ED 9-18mm F4.0-5.6"},
    {0x000500, "Olympus Zuiko Digital 14-54mm F2.8-3.5"},
    {0x000510, "Olympus M.Zuiko Digital ED 14-42mm F3.5-5.6 L"},
    {0x000600, "Olympus Zuiko Digital ED 50-200mm F2.8-3.5"},
    {0x000610, "Olympus M.Zuiko Digital ED 40-150mm F4.0-5.6"},
    {0x000700, "Olympus Zuiko Digital 11-22mm F2.8-3.5"},
    {0x000710, "Olympus M.Zuiko Digital ED 12mm F2.0"},
    {0x000810, "Olympus M.Zuiko Digital ED 75-300mm F4.8-6.7"},
    {0x000910, "Olympus M.Zuiko Digital 14-42mm F3.5-5.6 II"},
    {0x001010, "Olympus M.Zuiko Digital ED 12-50mm F3.5-6.3 EZ"},
    {0x001110, "Olympus M.Zuiko Digital 45mm F1.8"},
    {0x001210, "Olympus M.Zuiko Digital ED 60mm F2.8 Macro"},
    {0x001310, "Olympus M.Zuiko Digital 14-42mm F3.5-5.6 II R"},
    {0x001410, "Olympus M.Zuiko Digital ED 40-150mm F4.0-5.6 R"},
    {0x001510, "Olympus M.Zuiko Digital ED 75mm F1.8"},
    {0x001610, "Olympus M.Zuiko Digital 17mm F1.8"},
    {0x001910, "Olympus M.Zuiko Digital ED 12-40mm F2.8 Pro"},
    {0x002010, "Olympus M.Zuiko Digital ED 40-150mm F2.8 Pro"},
    {0x002110, "Olympus M.Zuiko Digital ED 14-42mm F3.5-5.6 EZ"},
    {0x002210, "Olympus M.Zuiko Digital 25mm F1.8"},
    {0x002310, "Olympus M.Zuiko Digital ED 7-14mm F2.8 Pro"},
    {0x002410, "Olympus M.Zuiko Digital ED 300mm F4.0 IS Pro"},
    {0x002510, "Olympus M.Zuiko Digital ED 8mm F1.8 Fisheye Pro"},
    {0x002610, "Olympus M.Zuiko Digital ED 12-100mm F4.0 IS Pro"},
    {0x002710, "Olympus M.Zuiko Digital ED 30mm F3.5 Macro"},
    {0x002810, "Olympus M.Zuiko Digital ED 25mm F1.2 Pro"},
    {0x002910, "Olympus M.Zuiko Digital ED 17mm F1.2 Pro"},
    {0x003010, "Olympus M.Zuiko Digital ED 45mm F1.2 Pro"},
    {0x003210, "Olympus M.Zuiko Digital ED 12-200mm F3.5-6.3"},
    {0x003410, "Olympus M.Zuiko Digital ED 12-45mm F4.0 Pro"},
    {0x003510, "Olympus M.Zuiko 100-400mm F5.0-6.3"},
};

const char* lensName(std::uint32_t number) {
    for (const LensName& lens : kLenses)
        if (lens.number == number)
            return lens.name;
    return nullptr;
}

struct Code {
    std::uint32_t value;
    const char* text;
};

const char* lookUp(const Code* table, std::size_t size, std::uint32_t value) {
    for (std::size_t i = 0; i < size; ++i)
        if (table[i].value == value)
            return table[i].text;
    return nullptr;
}

template <std::size_t N>
const char* lookUp(const Code (&table)[N], std::uint32_t value) {
    return lookUp(table, N, value);
}

// Quality of the older models: "SX" cameras (except the SX151) and the D4322 count from 0.
const Code kQualityFromZero[] = {{0, "SQ (Low)"}, {1, "HQ (Normal)"}, {2, "SHQ (Fine)"}, {6, "RAW"}};
const Code kQualityFromOne[] = {{1, "SQ (Low)"},    {2, "HQ (Normal)"}, {3, "SHQ (Fine)"},   {4, "RAW"},
                                {5, "Medium-Fine"}, {6, "Small-Fine"},  {33, "Uncompressed"}};
const Code kImageQuality2[] = {{1, "SQ"}, {2, "HQ"}, {3, "SHQ"}, {4, "RAW"}, {5, "SQ (5)"}};
const Code kOldFocusMode[] = {{0, "Auto"}, {1, "Manual"}};
const Code kOldSharpness[] = {{0, "Normal"}, {1, "Hard"}, {2, "Soft"}};
const Code kFocusMode[] = {{0, "Single AF"},     {1, "Sequential shooting AF"},
                           {2, "Continuous AF"}, {3, "Multi AF"},
                           {4, "Face Detect"},   {10, "MF"}};
const Code kWhiteBalance[] = {
    {0, "Auto"},
    {1, "Auto (Keep Warm Color Off)"},
    {16, "7500K (Fine Weather with Shade)"},
    {17, "6000K (Cloudy)"},
    {18, "5300K (Fine Weather)"},
    {20, "3000K (Tungsten light)"},
    {21, "3600K (Tungsten light-like)"},
    {22, "Auto Setup"},
    {23, "5500K (Flash)"},
    {33, "6600K (Daylight fluorescent)"},
    {34, "4500K (Neutral white fluorescent)"},
    {35, "4000K (Cool white fluorescent)"},
    {36, "White Fluorescent"},
    {48, "3600K (Tungsten light-like)"},
    {67, "Underwater"},
    {256, "One Touch WB 1"},
    {257, "One Touch WB 2"},
    {258, "One Touch WB 3"},
    {259, "One Touch WB 4"},
    {512, "Custom WB 1"},
    {513, "Custom WB 2"},
    {514, "Custom WB 3"},
    {515, "Custom WB 4"},
};
const Code kPictureMode[] = {
    {1, "Vivid"},
    {2, "Natural"},
    {3, "Muted"},
    {4, "Portrait"},
    {5, "i-Enhance"},
    {6, "e-Portrait"},
    {7, "Color Creator"},
    {9, "Color Profile 1"},
    {10, "Color Profile 2"},
    {11, "Color Profile 3"},
    {12, "Monochrome Profile 1"},
    {13, "Monochrome Profile 2"},
    {14, "Monochrome Profile 3"},
    {256, "Monotone"},
    {512, "Sepia"},
};

// A number as the lens texts write it: no decimals when whole, one otherwise.
std::string lensNumber(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    const std::string s = text;
    if (s.size() > 2 && s.compare(s.size() - 2, 2, ".0") == 0) {
        std::snprintf(text, sizeof text, "%.0f", value);
        return text;
    }
    return s;
}

// The aperture an Olympus lens value stands for: sqrt(2) to the power value / 256.
double aperture(std::uint32_t value) {
    return value == 0 ? 0.0 : std::pow(std::sqrt(2.0), value / 256.0);
}

void setIfEmpty(std::string& field, const std::string& value) {
    if (field.empty() && !value.empty())
        field = value;
}

void setCode(std::string& field, const char* text) {
    if (field.empty() && text)
        field = text;
}

class OlympusNote {
public:
    OlympusNote(EXIFMakerNote& note, NRFBasicTIFF& tiff)
        : m_note(note), m_tiff(tiff), m_record(note.record) {}

    void parseMain(std::uint32_t offset) {
        std::vector<NRFTIFFEntry> entries;
        if (m_note.ReadIFD(m_tiff, offset, entries) != 0)
            return;
        std::string text;
        for (const NRFTIFFEntry& e : entries)
            if (e.tag == kTagCameraType)
                m_note.Text(m_tiff, e, m_cameraType, 32);
        for (const NRFTIFFEntry& e : entries) {
            std::uint32_t n = 0;
            switch (e.tag) {
            case kTagThumbnail:
                if (e.type == kTIFFUndefined && e.count != 0)
                    m_note.TakeJPEG(e.valuePos, e.count, EXIFEmbeddedKind::Thumbnail);
                break;
            case kTagQuality:
                if (m_tiff.Unsigned(e, 0, n)) {
                    const bool fromZero = (m_cameraType.rfind("SX", 0) == 0 && m_cameraType != "SX151") ||
                                          m_cameraType.rfind("D4322", 0) == 0;
                    setCode(m_record.m_quality,
                            fromZero ? lookUp(kQualityFromZero, n) : lookUp(kQualityFromOne, n));
                }
                break;
            case kTagSerial:
            case kTagSerial2:
                if (m_note.Text(m_tiff, e, text, 32))
                    setIfEmpty(m_record.m_bodySerial, text);
                break;
            case kTagFirmware:
                if (m_note.Text(m_tiff, e, text, 32))
                    setIfEmpty(m_record.m_firmware, text);
                break;
            case kTagFocusMode:
                if (m_tiff.Unsigned(e, 0, n))
                    setCode(m_record.m_focusMode, lookUp(kOldFocusMode, n));
                break;
            case kTagSharpness:
                if (m_tiff.Unsigned(e, 0, n))
                    setCode(m_record.m_sharpness, lookUp(kOldSharpness, n));
                break;
            case kTagEquipment:
                guarded("GetOlympusEquipment", e, &OlympusNote::parseEquipment);
                break;
            case kTagCameraSettings:
                guarded("GetOlympusCameraSettings", e, &OlympusNote::parseCameraSettings);
                break;
            default:
                break;
            }
        }
        finishLens();
    }

private:
    using SubParser = void (OlympusNote::*)(std::vector<NRFTIFFEntry>&);

    // A sub-IFD: an IFD-typed (or LONG) offset from the base, or an UNDEFINED block that holds it.
    bool readSubIFD(const NRFTIFFEntry& e, std::vector<NRFTIFFEntry>& entries) {
        std::uint32_t offset = 0;
        if ((e.type == kTIFFIFD || e.type == kTIFFLong) && e.count == 1) {
            if (!m_tiff.Unsigned(e, 0, offset))
                return false;
        } else if (e.type == kTIFFUndefined && e.count >= 6) {
            if (e.valuePos < m_tiff.Base() ||
                e.valuePos - m_tiff.Base() > std::numeric_limits<std::uint32_t>::max())
                return false;
            offset = static_cast<std::uint32_t>(e.valuePos - m_tiff.Base());
        } else {
            return false;
        }
        return m_note.ReadIFD(m_tiff, offset, entries) == 0;
    }

    // Bad data in a block is skipped quietly; only what throws is logged, and the rest of the note is
    // still read.
    void guarded(const char* name, const NRFTIFFEntry& e, SubParser parse) {
        try {
            std::vector<NRFTIFFEntry> entries;
            if (readSubIFD(e, entries))
                (this->*parse)(entries);
        } catch (const std::exception& ex) {
            LUMO_LOG("Unexpected exception in %s() %s", name, ex.what());
        } catch (...) {
            LUMO_LOG("Unexpected exception in %s()", name);
        }
    }

    void parseEquipment(std::vector<NRFTIFFEntry>& entries) {
        std::string text;
        for (const NRFTIFFEntry& e : entries) {
            std::uint32_t n = 0;
            switch (e.tag) {
            case 0x0101: // serial number of the body
                if (m_note.Text(m_tiff, e, text, 32))
                    setIfEmpty(m_record.m_bodySerial, text);
                break;
            case 0x0104: // body firmware, shown as its hexadecimal digits with the last three as decimals
                if (m_tiff.Unsigned(e, 0, n) && n != 0) {
                    char hex[16];
                    std::snprintf(hex, sizeof hex, "%x", n);
                    std::string version = hex;
                    if (version.size() > 3)
                        version.insert(version.size() - 3, ".");
                    m_record.m_firmware = version;
                }
                break;
            case 0x0201: { // lens type: make, unused, model, sub-model, unused, unused
                std::uint32_t make = 0, model = 0, sub = 0;
                if (e.count >= 4 && m_tiff.Unsigned(e, 0, make) && m_tiff.Unsigned(e, 2, model) &&
                    m_tiff.Unsigned(e, 3, sub) && (make | model | sub) != 0) {
                    const std::uint32_t number = (make << 16) | (model << 8) | sub;
                    m_record.m_lensTypeNumber = number;
                    if (const char* name = lensName(number))
                        m_record.m_lensType = name;
                }
                break;
            }
            case 0x0203:
                m_note.Text(m_tiff, e, m_lensModel, 64);
                break;
            case 0x0205:
                if (m_tiff.Unsigned(e, 0, n))
                    m_apertureAtMin = aperture(n);
                break;
            case 0x0206:
                if (m_tiff.Unsigned(e, 0, n))
                    m_apertureAtMax = aperture(n);
                break;
            case 0x0207:
                if (m_tiff.Unsigned(e, 0, n))
                    m_minFocal = n;
                break;
            case 0x0208:
                if (m_tiff.Unsigned(e, 0, n))
                    m_maxFocal = n;
                break;
            default:
                break;
            }
        }
    }

    void parseCameraSettings(std::vector<NRFTIFFEntry>& entries) {
        std::optional<std::uint32_t> previewValid, previewStart, previewLength;
        for (const NRFTIFFEntry& e : entries) {
            if (e.tag == 0x0506) {
                sharpness(e);
                continue;
            }
            std::uint32_t n = 0;
            if (!m_tiff.Unsigned(e, 0, n))
                continue;
            switch (e.tag) {
            case 0x0100:
                previewValid = n;
                break;
            case 0x0101:
                previewStart = n;
                break;
            case 0x0102:
                previewLength = n;
                break;
            case 0x0301:
                setCode(m_record.m_focusMode, lookUp(kFocusMode, n));
                break;
            case 0x0500:
                setCode(m_record.m_whiteMode, lookUp(kWhiteBalance, n));
                break;
            case 0x0501:
                if (n != 0)
                    m_record.m_kelvin = n;
                break;
            case 0x0520:
                setCode(m_record.m_colorMode, lookUp(kPictureMode, n));
                break;
            case 0x0603:
                setCode(m_record.m_quality, lookUp(kImageQuality2, n));
                break;
            default:
                break;
            }
        }
        if (previewStart && previewLength && *previewLength != 0 && previewValid.value_or(1) != 0)
            m_note.TakeJPEG(m_tiff.Base() + *previewStart, *previewLength, EXIFEmbeddedKind::Preview);
    }

    // Sharpness setting: value, minimum and maximum, signed.
    void sharpness(const NRFTIFFEntry& e) {
        std::string bytes;
        if (e.type != kTIFFSShort || e.count < 3 || !m_tiff.ValueBytes(e, bytes, 6) || bytes.size() != 6)
            return;
        const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
        const auto at = [&](int i) { return static_cast<std::int16_t>(m_tiff.U16(p + 2 * i)); };
        char text[64];
        std::snprintf(text, sizeof text, "%d (min %d, max %d)", at(0), at(1), at(2));
        setIfEmpty(m_record.m_sharpness, text);
    }

    // The lens name: EXIF's, the note's own, one built from the focal lengths and apertures, or the name
    // of the lens number.
    void finishLens() {
        if (!m_record.m_lensModel.empty())
            return;
        if (!m_lensModel.empty())
            m_record.m_lensModel = m_lensModel;
        else if (m_minFocal != 0 && m_apertureAtMin > 0.0)
            m_record.m_lensModel =
                EXIFOlympusLensText(m_minFocal, m_maxFocal, m_apertureAtMin, m_apertureAtMax);
        else
            m_record.m_lensModel = m_record.m_lensType;
    }

    EXIFMakerNote& m_note;
    NRFBasicTIFF& m_tiff;
    NRFImageInfoRec& m_record;
    std::string m_cameraType, m_lensModel;
    std::uint32_t m_minFocal = 0, m_maxFocal = 0;
    double m_apertureAtMin = 0.0, m_apertureAtMax = 0.0;
};

} // namespace

std::string EXIFOlympusLensText(double minFocal, double maxFocal, double maxApertureAtMin,
                                double maxApertureAtMax) {
    const std::string minText = lensNumber(minFocal), maxText = lensNumber(maxFocal);
    const std::string atMin = lensNumber(maxApertureAtMin), atMax = lensNumber(maxApertureAtMax);
    if (maxFocal <= minFocal || maxText == minText)
        return minText + "mm f/" + atMin;
    if (maxApertureAtMax <= 0.0 || atMax == atMin)
        return "Zoom " + minText + "-" + maxText + "mm f/" + atMin;
    return "Zoom " + minText + "-" + maxText + "mm f/" + atMin + "-" + atMax;
}

void EXIFParseOlympusMakerNote(EXIFMakerNote& note) {
    std::uint64_t base = note.tiffBase, ifdPos = 0;
    bool bigEndian = note.tiffBigEndian;
    // The byte order that the newer headers carry, at `at`.
    const auto order = [&](std::uint64_t at) {
        if (note.StartsWith(at, "II", 2))
            bigEndian = false;
        else if (note.StartsWith(at, "MM", 2))
            bigEndian = true;
        else
            return false;
        return true;
    };
    if (note.StartsWith(note.pos, "OLYMPUS\0", 8)) {
        if (!order(note.pos + 8))
            return;
        base = note.pos;
        ifdPos = note.pos + 12;
    } else if (note.StartsWith(note.pos, "OM SYSTEM\0\0\0", 12)) {
        if (!order(note.pos + 12))
            return;
        base = note.pos;
        ifdPos = note.pos + 16;
    } else if (note.StartsWith(note.pos, "OLYMP\0", 6)) {
        ifdPos = note.pos + 8;
    } else {
        return;
    }
    if (ifdPos < base || ifdPos - base > std::numeric_limits<std::uint32_t>::max())
        return;
    NRFBasicTIFF tiff(note.note, base);
    tiff.SetBigEndian(bigEndian);
    OlympusNote(note, tiff).parseMain(static_cast<std::uint32_t>(ifdPos - base));
}
