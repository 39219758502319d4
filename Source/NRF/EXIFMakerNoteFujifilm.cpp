// Fujifilm's maker note: "FUJIFILM", then the 32-bit offset of an IFD. The note is little-endian
// whatever the file's byte order, and its offsets count from the note's first byte. The lens comes from
// the EXIF LensModel; the note adds the settings and the camera's serial number.

#include "NRF/EXIFMakerNotes.h"

#include "NRF/NRFImageInfo.h"

#include <cstdint>
#include <string>
#include <vector>

namespace {

enum : std::uint16_t {
    kSerialNumber = 0x0010,
    kQuality = 0x1000,
    kSharpness = 0x1001,
    kWhiteBalance = 0x1002,
    kColorTemperature = 0x1005,
    kFocusMode = 0x1021,
};

using Named = EXIFNamedValue;

const Named kSharpnessTexts[] = {
    {0x00, "-4 (softest)"},      {0x01, "-3 (very soft)"},   {0x02, "-2 (soft)"},
    {0x03, "0 (normal)"},        {0x04, "+2 (hard)"},        {0x05, "+3 (very hard)"},
    {0x06, "+4 (hardest)"},      {0x82, "-1 (medium soft)"}, {0x84, "+1 (medium hard)"},
    {0x8000, "Film Simulation"},
};

const Named kWhiteBalanceTexts[] = {
    {0x000, "Auto"},
    {0x001, "Auto (white priority)"},
    {0x002, "Auto (ambiance priority)"},
    {0x100, "Daylight"},
    {0x200, "Cloudy"},
    {0x300, "Daylight Fluorescent"},
    {0x301, "Day White Fluorescent"},
    {0x302, "White Fluorescent"},
    {0x303, "Warm White Fluorescent"},
    {0x304, "Living Room Warm White Fluorescent"},
    {0x400, "Incandescent"},
    {0x500, "Flash"},
    {0x600, "Underwater"},
    {0xF00, "Custom"},
    {0xF01, "Custom2"},
    {0xF02, "Custom3"},
    {0xF03, "Custom4"},
    {0xF04, "Custom5"},
    {0xFF0, "Kelvin"},
};

const Named kFocusModeTexts[] = {{0, "Auto"}, {1, "Manual"}, {65535, "Movie"}};

} // namespace

void EXIFParseFujifilmMakerNote(EXIFMakerNote& note) {
    if (!note.StartsWith(note.pos, "FUJIFILM", 8))
        return;
    NRFBasicTIFF tiff(note.note, note.pos);
    tiff.SetBigEndian(false);
    std::uint32_t ifdOffset = 0;
    if (!tiff.ReadU32(note.pos + 8, ifdOffset) || ifdOffset < 12 || ifdOffset >= note.length)
        return;
    std::vector<NRFTIFFEntry> entries;
    if (note.ReadIFD(tiff, ifdOffset, entries) != 0)
        return;

    NRFImageInfoRec& r = note.record;
    std::string text;
    for (const NRFTIFFEntry& e : entries) {
        std::uint32_t n = 0;
        const bool number = e.type == kTIFFShort && tiff.Unsigned(e, 0, n);
        switch (e.tag) {
        case kSerialNumber:
            if (r.m_bodySerial.empty() && note.Text(tiff, e, text))
                r.m_bodySerial = text;
            break;
        case kQuality:
            if (note.Text(tiff, e, text))
                r.m_quality = text;
            break;
        case kSharpness:
            if (const char* t = number ? EXIFLookup(kSharpnessTexts, n) : nullptr)
                r.m_sharpness = t;
            break;
        case kWhiteBalance:
            if (const char* t = number ? EXIFLookup(kWhiteBalanceTexts, n) : nullptr)
                r.m_whiteMode = t;
            break;
        case kColorTemperature:
            if (number && n != 0)
                r.m_kelvin = n;
            break;
        case kFocusMode:
            if (const char* t = number ? EXIFLookup(kFocusModeTexts, n) : nullptr)
                r.m_focusMode = t;
            break;
        default:
            break;
        }
    }
}
