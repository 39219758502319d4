#include "NRF/EXIFMakerNotes.h"

#include "NRF/NRFImageInfo.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdlib>
#include <limits>
#include <string>

// Sigma (and Foveon) maker notes: "SIGMA\0\0\0" or "FOVEON\0\0", a two-byte version, then an IFD at
// note + 10 in the EXIF byte order with offsets from the EXIF TIFF header. Most values are texts, some
// with a "Name:" prefix ("Qual:12", "Shar:+1.0").

namespace {

struct LensName {
    std::uint32_t number;
    const char* name;
};

// Sigma lens numbers of common lenses.
const LensName kLenses[] = {
    {0x010, "Sigma 50mm f/2.8 EX DG Macro"},
    {0x016, "Sigma 18-50mm f/3.5-5.6 DC"},
    {0x103, "Sigma 180mm f/3.5 EX IF HSM APO Macro"},
    {0x104, "Sigma 150mm f/2.8 EX DG HSM APO Macro"},
    {0x134, "Sigma 100-300mm f/4 EX DG HSM APO"},
    {0x135, "Sigma 120-300mm f/2.8 EX DG HSM APO"},
    {0x150, "Sigma 30mm f/1.4 DC HSM"},
    {0x165, "Sigma 70-200mm f/2.8 EX"},
    {0x169, "Sigma 18-50mm f/2.8 EX DC"},
    {0x200, "Sigma 12-24mm f/4.5-5.6 EX DG ASP HSM"},
    {0x201, "Sigma 10-20mm f/4-5.6 EX DC HSM"},
    {0x202, "Sigma 10-20mm f/3.5 EX DC HSM"},
    {0x203, "Sigma 8-16mm f/4.5-5.6 DC HSM"},
    {0x210, "Sigma 18-35mm f/1.8 DC HSM | A"},
    {0x257, "Sigma 105mm f/2.8 EX DG Macro"},
    {0x258, "Sigma 105mm f/2.8 EX DG OS HSM Macro"},
    {0x300, "Sigma 30mm f/1.4 EX DC HSM"},
    {0x301, "Sigma 30mm f/1.4 DC HSM | A"},
    {0x310, "Sigma 50mm f/1.4 EX DG HSM"},
    {0x311, "Sigma 50mm f/1.4 DG HSM | A"},
    {0x320, "Sigma 85mm f/1.4 EX DG HSM"},
    {0x340, "Sigma 35mm f/1.4 DG HSM"},
    {0x401, "Sigma 24mm f/1.4 DG HSM | A"},
    {0x477, "Sigma 10mm f/2.8 EX DC HSM Fisheye"},
    {0x484, "Sigma 8mm f/4 EX DG Circular Fisheye"},
    {0x508, "Sigma 70-300mm f/4-5.6 DG APO Macro"},
    {0x509, "Sigma 70-300mm f/4-5.6 DG Macro"},
    {0x513, "Sigma 20-40mm f/2.8 EX DG"},
    {0x548, "Sigma 24-70mm f/2.8 EX DG Macro"},
    {0x566, "Sigma 70-200mm f/2.8 EX IF APO"},
    {0x567, "Sigma 70-200mm f/2.8 EX IF HSM APO"},
    {0x568, "Sigma 70-200mm f/2.8 EX DG IF HSM APO"},
};

const char* lensName(std::uint32_t number) {
    for (const LensName& lens : kLenses)
        if (lens.number == number)
            return lens.name;
    return nullptr;
}

// A text value without the "Name:" prefix some bodies write ("Qual:12", "Shar:+1.0") and the spaces
// after it.
std::string withoutPrefix(const std::string& text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0 ||
        !std::all_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(colon),
                     [](char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }))
        return text;
    const std::size_t start = text.find_first_not_of(' ', colon + 1);
    return start == std::string::npos ? std::string() : text.substr(start);
}

} // namespace

void EXIFParseSigmaMakerNote(EXIFMakerNote& note) {
    if (!note.StartsWith(note.pos, "SIGMA\0\0\0", 8) && !note.StartsWith(note.pos, "FOVEON\0\0", 8))
        return;
    // The newer layout ("...\0" then version 3 or more) moves the preview and adds the lens number.
    unsigned char version[2] = {0xFF, 0};
    const int layout = note.note.ReadAt(note.pos + 8, version, 2) && version[0] == 0 ? version[1] : -1;
    const std::uint64_t ifdPos = note.pos + 10;
    if (ifdPos < note.tiffBase || ifdPos - note.tiffBase > std::numeric_limits<std::uint32_t>::max())
        return;
    NRFBasicTIFF tiff(note.note, note.tiffBase);
    tiff.SetBigEndian(note.tiffBigEndian);
    std::vector<NRFTIFFEntry> entries;
    if (note.ReadIFD(tiff, static_cast<std::uint32_t>(ifdPos - note.tiffBase), entries) != 0)
        return;

    NRFImageInfoRec& r = note.record;
    std::uint32_t previewStart = 0, previewLength = 0;
    std::string text;
    for (const NRFTIFFEntry& e : entries) {
        std::uint32_t n = 0;
        const bool isText = e.type == kTIFFAscii && note.Text(tiff, e, text, 64);
        const bool isLong = e.type == kTIFFLong && tiff.Unsigned(e, 0, n);
        switch (e.tag) {
        case 0x0002:
            if (isText && r.m_bodySerial.empty())
                r.m_bodySerial = text;
            break;
        case 0x0005:
            if (isText && r.m_focusMode.empty())
                r.m_focusMode = text;
            break;
        case 0x0007:
            if (isText && r.m_whiteMode.empty())
                r.m_whiteMode = text;
            break;
        case 0x0011:
            if (isText && r.m_sharpness.empty())
                r.m_sharpness = withoutPrefix(text);
            break;
        case 0x0016:
            if (isText && r.m_quality.empty())
                r.m_quality = withoutPrefix(text);
            break;
        case 0x0017:
            if (isText)
                r.m_firmware = text;
            break;
        case 0x001A: // preview start and length; the newer layout keeps them at 0x001C and 0x001D
        case 0x001C:
            if (isLong && (e.tag == 0x001A || layout >= 3))
                previewStart = n;
            break;
        case 0x001B:
        case 0x001D:
            if (isLong && (e.tag == 0x001B || layout >= 3))
                previewLength = n;
            break;
        case 0x0027: { // lens number: hexadecimal digits as text, or a SHORT
            if (layout < 3)
                break;
            std::uint32_t number = 0;
            if (isText) {
                char* end = nullptr;
                const unsigned long value = std::strtoul(text.c_str(), &end, 16);
                if (end == text.c_str() || *end != '\0' || value > 0xFFFF)
                    break;
                number = static_cast<std::uint32_t>(value);
            } else if (e.type != kTIFFShort || !tiff.Unsigned(e, 0, number)) {
                break;
            }
            r.m_lensTypeNumber = number;
            if (const char* name = lensName(number)) {
                r.m_lensType = name;
                if (r.m_lensModel.empty())
                    r.m_lensModel = name;
            }
            break;
        }
        default:
            break;
        }
    }
    if (previewStart != 0 && previewLength != 0)
        note.TakeJPEG(note.tiffBase + previewStart, previewLength, EXIFEmbeddedKind::Preview);
}
