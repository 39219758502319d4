// Sony's maker note: an IFD after a 12-byte header ("SONY DSC \0\0\0", "SONY CAM \0\0\0", "SONY MOBILE")
// or, in the raws and the interchangeable-lens bodies, at the note's first byte. Offsets count from the
// EXIF TIFF header; the byte order is the file's for nearly every body, and the other one is tried when
// the table does not read in it. Besides the settings, the note gives the lens number, the shutter
// count (in an enciphered block) and, on a few bodies, the serial number.

#include "NRF/EXIFMakerNotes.h"

#include "NRF/NRFImageInfo.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace {

enum : std::uint16_t {
    kQuality = 0x0102,
    kWhiteBalance = 0x0115,
    kSharpness = 0x2006,
    kFocusMode = 0x201B,
    kSerialNumber = 0x2031,
    kEnciphered9050 = 0x9050,
    kColorTemperature = 0xB021,
    kLensType = 0xB027,
    kFocusModeOld = 0xB042,
};

using Named = EXIFNamedValue;

const Named kQualityTexts[] = {{0, "RAW"},
                               {1, "Super Fine"},
                               {2, "Fine"},
                               {3, "Standard"},
                               {4, "Economy"},
                               {5, "Extra Fine"},
                               {6, "RAW + JPEG/HEIF"},
                               {7, "Compressed RAW"},
                               {8, "Compressed RAW + JPEG"},
                               {9, "Light"}};

const Named kWhiteBalanceTexts[] = {{0x00, "Auto"},     {0x01, "Color Temperature/Color Filter"},
                                    {0x10, "Daylight"}, {0x20, "Cloudy"},
                                    {0x30, "Shade"},    {0x40, "Tungsten"},
                                    {0x50, "Flash"},    {0x60, "Fluorescent"},
                                    {0x70, "Custom"},   {0x80, "Underwater"}};

const Named kFocusModeTexts[] = {{0, "Manual"}, {2, "AF-S"}, {3, "AF-C"},
                                 {4, "AF-A"},   {6, "DMF"},  {7, "AF-D"}};
const Named kFocusModeOldTexts[] = {{1, "AF-S"}, {2, "AF-C"}, {4, "Permanent-AF"}};

// The common A-mount lenses by number; E-mount lenses all report 65535 and are named by the EXIF
// LensModel.
const Named kLensTypes[] = {
    {2, "Minolta AF 28-70mm F2.8 G"},
    {19, "Minolta AF 35mm F1.4 G"},
    {28, "Minolta/Sony AF 100mm F2.8 Macro (D)"},
    {40, "Minolta/Sony AF DT 18-70mm F3.5-5.6 (D)"},
    {41, "Minolta/Sony AF DT 11-18mm F4.5-5.6 (D)"},
    {42, "Minolta/Sony AF DT 18-200mm F3.5-6.3 (D)"},
    {43, "Sony 35mm F1.4 G (SAL35F14G)"},
    {44, "Sony 50mm F1.4 (SAL50F14)"},
    {45, "Carl Zeiss Planar T* 85mm F1.4 ZA (SAL85F14Z)"},
    {46, "Carl Zeiss Vario-Sonnar T* DT 16-80mm F3.5-4.5 ZA (SAL1680Z)"},
    {48, "Carl Zeiss Vario-Sonnar T* 24-70mm F2.8 ZA SSM (SAL2470Z)"},
    {49, "Sony DT 55-200mm F4-5.6 (SAL55200)"},
    {50, "Sony DT 18-250mm F3.5-6.3 (SAL18250)"},
    {51, "Sony DT 16-105mm F3.5-5.6 (SAL16105)"},
    {52, "Sony 70-300mm F4.5-5.6 G SSM (SAL70300G)"},
    {53, "Sony 70-400mm F4-5.6 G SSM (SAL70400G)"},
    {54, "Carl Zeiss Vario-Sonnar T* 16-35mm F2.8 ZA SSM (SAL1635Z)"},
    {55, "Sony DT 18-55mm F3.5-5.6 SAM (SAL1855)"},
    {57, "Sony DT 50mm F1.8 SAM (SAL50F18)"},
    {59, "Sony 28-75mm F2.8 SAM (SAL2875)"},
    {62, "Sony DT 35mm F1.8 SAM (SAL35F18)"},
    {63, "Sony DT 16-50mm F2.8 SSM (SAL1650)"},
};

bool startsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// Whether the IFD at `at` reads as one in the byte order `tiff` is set to: a sane entry count whose
// first entry has a known type.
bool plausibleIFD(NRFBasicTIFF& tiff, std::uint64_t at) {
    unsigned char head[4];
    if (!tiff.Read(at, head, 2) || !tiff.Read(at + 4, head + 2, 2))
        return false;
    const unsigned count = tiff.U16(head), type = tiff.U16(head + 2);
    return count >= 1 && count <= 512 && type >= 1 && type <= 13;
}

// Where the enciphered block 0x9050 keeps the shutter count: 0x3A on the ILCE bodies from mid-2015,
// 0x32 on the older SLT, ILCA, NEX and ILCE bodies; the compacts keep none there.
std::uint64_t shutterCountAt(const std::string& model) {
    static const char* const kNewer[] = {"ILCE-1",    "ILCE-6100", "ILCE-6300", "ILCE-6400", "ILCE-6500",
                                         "ILCE-6600", "ILCE-7C",   "ILCE-7M3",  "ILCE-7M4",  "ILCE-7RM2",
                                         "ILCE-7RM3", "ILCE-7RM4", "ILCE-7RM5", "ILCE-7SM2", "ILCE-7SM3",
                                         "ILCE-9",    "ILCA-99M2", "ILME-FX3",  "ZV-E10"};
    for (const char* newer : kNewer)
        if (startsWith(model, newer))
            return 0x3A;
    if (startsWith(model, "DSC-") || startsWith(model, "Stellar") || startsWith(model, "ZV-"))
        return 0;
    return 0x32;
}

// The block is enciphered byte by byte: each byte b below 249 is written as b³ mod 249, the others as
// they are.
std::uint8_t decipher(std::uint8_t c) {
    static const auto table = [] {
        std::array<std::uint8_t, 256> t{};
        for (unsigned b = 0; b < 256; ++b)
            t[b < 249 ? (b * b * b) % 249 : b] = static_cast<std::uint8_t>(b);
        return t;
    }();
    return table[c];
}

void readShutterCount(EXIFMakerNote& note, NRFBasicTIFF& tiff, const NRFTIFFEntry& e) {
    const std::uint64_t at = shutterCountAt(note.record.m_model);
    unsigned char b[4];
    if (at == 0 || e.type != kTIFFUndefined || e.byteSize < at + 4 || !tiff.Read(e.valuePos + at, b, 4))
        return;
    const std::uint32_t count = decipher(b[0]) | decipher(b[1]) << 8 | decipher(b[2]) << 16;
    note.record.m_shutterCount = count;
}

} // namespace

void EXIFParseSonyMakerNote(EXIFMakerNote& note) {
    std::uint64_t ifdAt = note.pos;
    if (note.StartsWith(note.pos, "SONY DSC ", 9) || note.StartsWith(note.pos, "SONY CAM ", 9) ||
        note.StartsWith(note.pos, "SONY MOBILE", 11))
        ifdAt = note.pos + 12;
    else if (note.StartsWith(note.pos, "SONY PI", 7) || note.StartsWith(note.pos, "\x01\x00", 2))
        return; // other layouts, without the values read here
    if (ifdAt < note.tiffBase || ifdAt - note.tiffBase > 0xFFFFFFFFull)
        return;

    NRFBasicTIFF tiff(note.note, note.tiffBase);
    tiff.SetBigEndian(note.tiffBigEndian);
    if (!plausibleIFD(tiff, ifdAt)) {
        tiff.SetBigEndian(!note.tiffBigEndian);
        if (!plausibleIFD(tiff, ifdAt))
            return;
    }
    std::vector<NRFTIFFEntry> entries;
    if (note.ReadIFD(tiff, static_cast<std::uint32_t>(ifdAt - note.tiffBase), entries) != 0)
        return;

    NRFImageInfoRec& r = note.record;
    // The newer focus-mode tag is not meaningful for most compact (DSC-) bodies.
    const bool newFocusMode = !startsWith(r.m_model, "DSC-") || startsWith(r.m_model, "DSC-RX10M4") ||
                              startsWith(r.m_model, "DSC-RX100M6") || startsWith(r.m_model, "DSC-RX100M7") ||
                              startsWith(r.m_model, "DSC-RX100M5A") || startsWith(r.m_model, "DSC-HX99") ||
                              startsWith(r.m_model, "DSC-RX0M2");
    std::string text;
    for (const NRFTIFFEntry& e : entries) {
        std::uint32_t n = 0;
        switch (e.tag) {
        case kQuality:
            if (e.count == 1 && tiff.Unsigned(e, 0, n))
                if (const char* t = EXIFLookup(kQualityTexts, n))
                    r.m_quality = t;
            break;
        case kWhiteBalance:
            if (tiff.Unsigned(e, 0, n))
                if (const char* t = EXIFLookup(kWhiteBalanceTexts, n))
                    r.m_whiteMode = t;
            break;
        case kSharpness:
            // Signed: read the word itself, since a negative value is not an unsigned one.
            if (e.count == 1 && e.byteSize == 4 && tiff.ValueBytes(e, text, 4) && text.size() == 4) {
                const auto v =
                    static_cast<std::int32_t>(tiff.U32(reinterpret_cast<const unsigned char*>(text.data())));
                r.m_sharpness = v > 0 ? "+" + std::to_string(v) : std::to_string(v);
            }
            break;
        case kFocusMode:
            if (newFocusMode && tiff.Unsigned(e, 0, n))
                if (const char* t = EXIFLookup(kFocusModeTexts, n))
                    r.m_focusMode = t;
            break;
        case kFocusModeOld:
            if (r.m_focusMode.empty() && tiff.Unsigned(e, 0, n))
                if (const char* t = EXIFLookup(kFocusModeOldTexts, n))
                    r.m_focusMode = t;
            break;
        case kColorTemperature:
            if (tiff.Unsigned(e, 0, n) && n != 0 && n != 0xFFFFFFFF)
                r.m_kelvin = n;
            break;
        case kEnciphered9050:
            readShutterCount(note, tiff, e);
            break;
        case kLensType:
            if (tiff.Unsigned(e, 0, n)) {
                r.m_lensTypeNumber = n;
                if (const char* t = EXIFLookup(kLensTypes, n))
                    r.m_lensType = t;
            }
            break;
        case kSerialNumber:
            // Eight digits written as four pairs in reverse order.
            if (r.m_bodySerial.empty() && note.Text(tiff, e, text) && text.size() == 8 &&
                text.find_first_not_of("0123456789") == std::string::npos) {
                const std::string digits =
                    text.substr(6, 2) + text.substr(4, 2) + text.substr(2, 2) + text.substr(0, 2);
                r.m_bodySerial = digits;
            }
            break;
        default:
            break;
        }
    }
}
