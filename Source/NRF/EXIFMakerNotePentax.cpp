#include "NRF/EXIFMakerNotes.h"

#include "NRF/NRFImageInfo.h"

#include <cstdio>
#include <limits>
#include <string>

// Pentax (and Ricoh Imaging) maker notes:
//   "AOC\0" + "II"/"MM"        IFD at note + 6, offsets from the EXIF TIFF header (two spaces or NULs
//                              in place of the byte order keep the EXIF one);
//   "PENTAX \0" + "II"/"MM"    IFD at note + 10, offsets from the note's start (newer bodies, DNG).

namespace {

struct Code {
    std::uint32_t value;
    const char* text;
};

template <std::size_t N>
const char* lookUp(const Code (&table)[N], std::uint32_t value) {
    for (const Code& code : table)
        if (code.value == value)
            return code.text;
    return nullptr;
}

const Code kQuality[] = {{0, "Good"},
                         {1, "Better"},
                         {2, "Best"},
                         {3, "TIFF"},
                         {4, "RAW"},
                         {5, "Premium"},
                         {7, "RAW (pixel shift enabled)"},
                         {8, "Dynamic Pixel Shift"}};
const Code kFocusMode[] = {
    {0, "Normal"},
    {1, "Macro"},
    {2, "Infinity"},
    {3, "Manual"},
    {4, "Super Macro"},
    {5, "Pan Focus"},
    {16, "AF-S (Focus-priority)"},
    {17, "AF-C (Focus-priority)"},
    {18, "AF-A (Focus-priority)"},
    {32, "Contrast-detect (Focus-priority)"},
    {33, "Tracking Contrast-detect (Focus-priority)"},
    {272, "AF-S (Release-priority)"},
    {273, "AF-C (Release-priority)"},
    {274, "AF-A (Release-priority)"},
    {288, "Contrast-detect (Release-priority)"},
};
// The Asahi-branded bodies number their focus modes their own way.
const Code kAsahiFocusMode[] = {{0, "Normal"}, {1, "Macro (1)"}, {2, "Macro (2)"}, {3, "Infinity"}};
const Code kWhiteBalance[] = {
    {0, "Auto"},
    {1, "Daylight"},
    {2, "Shade"},
    {3, "Fluorescent"},
    {4, "Tungsten"},
    {5, "Manual"},
    {6, "Daylight Fluorescent"},
    {7, "Day White Fluorescent"},
    {8, "White Fluorescent"},
    {9, "Flash"},
    {10, "Cloudy"},
    {11, "Warm White Fluorescent"},
    {14, "Multi Auto"},
    {15, "Color Temperature Enhancement"},
    {17, "Kelvin"},
    {0xFFFE, "Unknown"},
    {0xFFFF, "User-Selected"},
};
const Code kSharpness[] = {{0, "-2 (soft)"},        {1, "0 (normal)"},       {2, "+2 (hard)"},
                           {3, "-1 (medium soft)"}, {4, "+1 (medium hard)"}, {5, "-3 (very soft)"},
                           {6, "+3 (very hard)"},   {7, "-4 (minimum)"},     {8, "+4 (maximum)"}};

// Lens numbers (series << 8 | model) of common lenses; numbers shared by several third-party lenses
// are left out.
const Code kLenses[] = {
    {0x0304, "smc PENTAX-FA 50mm F1.4"},
    {0x0311, "smc PENTAX-FA SOFT 85mm F2.8"},
    {0x0414, "smc PENTAX-FA 28-80mm F3.5-5.6"},
    {0x04E5, "smc PENTAX-DA 18-55mm F3.5-5.6 AL II"},
    {0x04E6, "Tamron SP AF 17-50mm F2.8 XR Di II"},
    {0x04FD, "smc PENTAX-DA 14mm F2.8 ED[IF]"},
    {0x04FE, "smc PENTAX-DA 16-45mm F4 ED AL"},
    {0x07EE, "Tamron AF 18-250mm F3.5-6.3 Di II LD Aspherical [IF] Macro"},
    {0x07F3, "smc PENTAX-DA 70mm F2.4 Limited"},
    {0x07F4, "smc PENTAX-DA 21mm F3.2 AL Limited"},
    {0x080E, "Sigma 17-70mm F2.8-4.0 DC Macro OS HSM"},
    {0x0812, "Sigma 8-16mm F4.5-5.6 DC HSM"},
    {0x0816, "Sigma 85mm F1.4 EX DG HSM"},
    {0x08C4, "HD PENTAX-DA* 11-18mm F2.8 ED DC AW"},
    {0x08D7, "smc PENTAX-DA 18-135mm F3.5-5.6 ED AL [IF] DC WR"},
    {0x08E2, "smc PENTAX-DA* 55mm F1.4 SDM"},
    {0x08E3, "smc PENTAX-DA* 60-250mm F4 [IF] SDM"},
    {0x08E8, "smc PENTAX-DA 17-70mm F4 AL [IF] SDM"},
};

// Some writers rewrite a note in another byte order and keep its header: the order whose entry count
// and first entry type make sense wins, the header's when both do.
bool plausibleIFD(NRFBasicTIFF& tiff, std::uint64_t pos) {
    std::uint16_t count = 0, type = 0;
    return tiff.ReadU16(pos, count) && count != 0 && count <= 1000 && tiff.ReadU16(pos + 4, type) &&
           type != 0 && type <= kTIFFIFD;
}

std::uint32_t bigEndian32(const unsigned char* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

} // namespace

void EXIFParsePentaxMakerNote(EXIFMakerNote& note) {
    std::uint64_t base = note.tiffBase, ifdPos = 0;
    bool bigEndian = note.tiffBigEndian;
    std::uint64_t orderAt = 0;
    if (note.StartsWith(note.pos, "AOC\0", 4)) {
        orderAt = note.pos + 4;
        ifdPos = note.pos + 6;
    } else if (note.StartsWith(note.pos, "PENTAX \0", 8)) {
        orderAt = note.pos + 8;
        ifdPos = note.pos + 10;
        base = note.pos;
    } else {
        return;
    }
    if (note.StartsWith(orderAt, "II", 2))
        bigEndian = false;
    else if (note.StartsWith(orderAt, "MM", 2))
        bigEndian = true;
    if (ifdPos < base || ifdPos - base > std::numeric_limits<std::uint32_t>::max())
        return;
    NRFBasicTIFF tiff(note.note, base);
    tiff.SetBigEndian(bigEndian);
    if (!plausibleIFD(tiff, ifdPos)) {
        tiff.SetBigEndian(!bigEndian);
        if (!plausibleIFD(tiff, ifdPos))
            return;
    }
    std::vector<NRFTIFFEntry> entries;
    if (note.ReadIFD(tiff, static_cast<std::uint32_t>(ifdPos - base), entries) != 0)
        return;

    NRFImageInfoRec& r = note.record;
    const bool asahi = r.m_make.rfind("Asahi", 0) == 0;
    std::string date, time, shutterCount, firmware, text;
    std::uint32_t previewStart = 0, previewLength = 0;
    for (const NRFTIFFEntry& e : entries) {
        std::uint32_t n = 0;
        const auto code = [&](std::string& field, const char* found) {
            if (field.empty() && found)
                field = found;
        };
        switch (e.tag) {
        case 0x0003:
            if (tiff.Unsigned(e, 0, n))
                previewLength = n;
            break;
        case 0x0004:
            if (tiff.Unsigned(e, 0, n))
                previewStart = n;
            break;
        case 0x0006: // date: year (big-endian whatever the note's order), month, day
            if (e.count == 4)
                tiff.ValueBytes(e, date, 4);
            break;
        case 0x0007: // time: hour, minute, second
            if (e.count >= 3)
                tiff.ValueBytes(e, time, 3);
            break;
        case 0x0008:
            if (tiff.Unsigned(e, 0, n))
                code(r.m_quality, lookUp(kQuality, n));
            break;
        case 0x000D:
            if (tiff.Unsigned(e, 0, n))
                code(r.m_focusMode, asahi ? lookUp(kAsahiFocusMode, n) : lookUp(kFocusMode, n));
            break;
        case 0x0019:
            if (tiff.Unsigned(e, 0, n))
                code(r.m_whiteMode, lookUp(kWhiteBalance, n));
            break;
        case 0x0021:
            if (tiff.Unsigned(e, 0, n))
                code(r.m_sharpness, lookUp(kSharpness, n));
            break;
        case 0x0027: // firmware of the image processor, every bit inverted
            if (e.count == 4 && firmware.empty())
                tiff.ValueBytes(e, firmware, 4);
            break;
        case 0x003F: { // lens record: series, model
            std::uint32_t series = 0, model = 0;
            if (e.count >= 2 && tiff.Unsigned(e, 0, series) && tiff.Unsigned(e, 1, model) &&
                (series | model) != 0) {
                const std::uint32_t number = (series << 8) | model;
                r.m_lensTypeNumber = number;
                if (const char* name = lookUp(kLenses, number)) {
                    r.m_lensType = name;
                    if (r.m_lensModel.empty())
                        r.m_lensModel = name;
                }
            }
            break;
        }
        case 0x005D:
            if (e.count == 4)
                tiff.ValueBytes(e, shutterCount, 4);
            break;
        case 0x0229:
            if (note.Text(tiff, e, text, 32) && r.m_bodySerial.empty())
                r.m_bodySerial = text;
            break;
        default:
            break;
        }
    }

    if (firmware.size() == 4) {
        char version[32];
        const auto byte = [&](int i) {
            return static_cast<unsigned>(static_cast<unsigned char>(firmware[i]) ^ 0xFF);
        };
        std::snprintf(version, sizeof version, "%u.%02u.%02u.%02u", byte(0), byte(1), byte(2), byte(3));
        r.m_firmware = version;
    }
    // The shutter count is stored mixed with the capture date and time: count ^ date ^ ~time, each read
    // as a big-endian word (the time padded with a zero byte).
    if (shutterCount.size() == 4 && date.size() == 4 && time.size() == 3) {
        const auto* count = reinterpret_cast<const unsigned char*>(shutterCount.data());
        const auto* d = reinterpret_cast<const unsigned char*>(date.data());
        const unsigned char t[4] = {static_cast<unsigned char>(time[0]), static_cast<unsigned char>(time[1]),
                                    static_cast<unsigned char>(time[2]), 0};
        r.m_shutterCount = bigEndian32(count) ^ bigEndian32(d) ^ ~bigEndian32(t);
    }
    if (previewStart != 0 && previewLength != 0)
        note.TakeJPEG(base + previewStart, previewLength, EXIFEmbeddedKind::Preview);
}
