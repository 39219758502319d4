#include "NRF/EXIFMakerNotes.h"

#include "NRF/NRFImageInfo.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

// Nikon maker notes come in three forms:
// - "Nikon\0" 0x02 ..: a TIFF header of its own 10 bytes in, whose offsets count from that header (all
//   bodies since the D100 and the later Coolpix);
// - "Nikon\0" 0x01 0x00: the first Coolpix bodies; an IFD of numeric codes without published meanings,
//   so nothing is taken from it;
// - no header at all (D1, E990, E775...): an IFD at the note's first byte, offsets counting from the EXIF
//   TIFF header, with the same tags as the first form.
// Lens data and shot information of the newer bodies are encrypted with a key made of the serial number
// and the shutter count; the fuzzy preview lies in an IFD of the note.

namespace {

enum : std::uint16_t {
    kTagColorMode = 0x0003,
    kTagQuality = 0x0004,
    kTagWhiteBalance = 0x0005,
    kTagSharpness = 0x0006,
    kTagFocusMode = 0x0007,
    kTagPreviewIFD = 0x0011,
    kTagSerialNumber = 0x001D,
    kTagMakerNotes51 = 0x0051,
    kTagPictureControl = 0x0023,
    kTagToneComp = 0x0081,
    kTagLensType = 0x0083,
    kTagLens = 0x0084,
    kTagShotInfo = 0x0091,
    kTagLensData = 0x0098,
    kTagSerialText = 0x00A0,
    kTagShutterCount = 0x00A7,
    kTagPreviewStart = 0x0201,
    kTagPreviewLength = 0x0202,
};

// The shutter count reads this when the camera did not count.
constexpr std::uint32_t kShutterCountNotAvailable = 4294965247u;

// The substitution tables of the encrypted blocks: the first is indexed by the serial number's low byte,
// the second by the XOR of the shutter count's four bytes.
const std::uint8_t kXlat[2][256] = {
    {
        0xc1, 0xbf, 0x6d, 0x0d, 0x59, 0xc5, 0x13, 0x9d, 0x83, 0x61, 0x6b, 0x4f, 0xc7, 0x7f, 0x3d, 0x3d,
        0x53, 0x59, 0xe3, 0xc7, 0xe9, 0x2f, 0x95, 0xa7, 0x95, 0x1f, 0xdf, 0x7f, 0x2b, 0x29, 0xc7, 0x0d,
        0xdf, 0x07, 0xef, 0x71, 0x89, 0x3d, 0x13, 0x3d, 0x3b, 0x13, 0xfb, 0x0d, 0x89, 0xc1, 0x65, 0x1f,
        0xb3, 0x0d, 0x6b, 0x29, 0xe3, 0xfb, 0xef, 0xa3, 0x6b, 0x47, 0x7f, 0x95, 0x35, 0xa7, 0x47, 0x4f,
        0xc7, 0xf1, 0x59, 0x95, 0x35, 0x11, 0x29, 0x61, 0xf1, 0x3d, 0xb3, 0x2b, 0x0d, 0x43, 0x89, 0xc1,
        0x9d, 0x9d, 0x89, 0x65, 0xf1, 0xe9, 0xdf, 0xbf, 0x3d, 0x7f, 0x53, 0x97, 0xe5, 0xe9, 0x95, 0x17,
        0x1d, 0x3d, 0x8b, 0xfb, 0xc7, 0xe3, 0x67, 0xa7, 0x07, 0xf1, 0x71, 0xa7, 0x53, 0xb5, 0x29, 0x89,
        0xe5, 0x2b, 0xa7, 0x17, 0x29, 0xe9, 0x4f, 0xc5, 0x65, 0x6d, 0x6b, 0xef, 0x0d, 0x89, 0x49, 0x2f,
        0xb3, 0x43, 0x53, 0x65, 0x1d, 0x49, 0xa3, 0x13, 0x89, 0x59, 0xef, 0x6b, 0xef, 0x65, 0x1d, 0x0b,
        0x59, 0x13, 0xe3, 0x4f, 0x9d, 0xb3, 0x29, 0x43, 0x2b, 0x07, 0x1d, 0x95, 0x59, 0x59, 0x47, 0xfb,
        0xe5, 0xe9, 0x61, 0x47, 0x2f, 0x35, 0x7f, 0x17, 0x7f, 0xef, 0x7f, 0x95, 0x95, 0x71, 0xd3, 0xa3,
        0x0b, 0x71, 0xa3, 0xad, 0x0b, 0x3b, 0xb5, 0xfb, 0xa3, 0xbf, 0x4f, 0x83, 0x1d, 0xad, 0xe9, 0x2f,
        0x71, 0x65, 0xa3, 0xe5, 0x07, 0x35, 0x3d, 0x0d, 0xb5, 0xe9, 0xe5, 0x47, 0x3b, 0x9d, 0xef, 0x35,
        0xa3, 0xbf, 0xb3, 0xdf, 0x53, 0xd3, 0x97, 0x53, 0x49, 0x71, 0x07, 0x35, 0x61, 0x71, 0x2f, 0x43,
        0x2f, 0x11, 0xdf, 0x17, 0x97, 0xfb, 0x95, 0x3b, 0x7f, 0x6b, 0xd3, 0x25, 0xbf, 0xad, 0xc7, 0xc5,
        0xc5, 0xb5, 0x8b, 0xef, 0x2f, 0xd3, 0x07, 0x6b, 0x25, 0x49, 0x95, 0x25, 0x49, 0x6d, 0x71, 0xc7,
    },
    {
        0xa7, 0xbc, 0xc9, 0xad, 0x91, 0xdf, 0x85, 0xe5, 0xd4, 0x78, 0xd5, 0x17, 0x46, 0x7c, 0x29, 0x4c,
        0x4d, 0x03, 0xe9, 0x25, 0x68, 0x11, 0x86, 0xb3, 0xbd, 0xf7, 0x6f, 0x61, 0x22, 0xa2, 0x26, 0x34,
        0x2a, 0xbe, 0x1e, 0x46, 0x14, 0x68, 0x9d, 0x44, 0x18, 0xc2, 0x40, 0xf4, 0x7e, 0x5f, 0x1b, 0xad,
        0x0b, 0x94, 0xb6, 0x67, 0xb4, 0x0b, 0xe1, 0xea, 0x95, 0x9c, 0x66, 0xdc, 0xe7, 0x5d, 0x6c, 0x05,
        0xda, 0xd5, 0xdf, 0x7a, 0xef, 0xf6, 0xdb, 0x1f, 0x82, 0x4c, 0xc0, 0x68, 0x47, 0xa1, 0xbd, 0xee,
        0x39, 0x50, 0x56, 0x4a, 0xdd, 0xdf, 0xa5, 0xf8, 0xc6, 0xda, 0xca, 0x90, 0xca, 0x01, 0x42, 0x9d,
        0x8b, 0x0c, 0x73, 0x43, 0x75, 0x05, 0x94, 0xde, 0x24, 0xb3, 0x80, 0x34, 0xe5, 0x2c, 0xdc, 0x9b,
        0x3f, 0xca, 0x33, 0x45, 0xd0, 0xdb, 0x5f, 0xf5, 0x52, 0xc3, 0x21, 0xda, 0xe2, 0x22, 0x72, 0x6b,
        0x3e, 0xd0, 0x5b, 0xa8, 0x87, 0x8c, 0x06, 0x5d, 0x0f, 0xdd, 0x09, 0x19, 0x93, 0xd0, 0xb9, 0xfc,
        0x8b, 0x0f, 0x84, 0x60, 0x33, 0x1c, 0x9b, 0x45, 0xf1, 0xf0, 0xa3, 0x94, 0x3a, 0x12, 0x77, 0x33,
        0x4d, 0x44, 0x78, 0x28, 0x3c, 0x9e, 0xfd, 0x65, 0x57, 0x16, 0x94, 0x6b, 0xfb, 0x59, 0xd0, 0xc8,
        0x22, 0x36, 0xdb, 0xd2, 0x63, 0x98, 0x43, 0xa1, 0x04, 0x87, 0x86, 0xf7, 0xa6, 0x26, 0xbb, 0xd6,
        0x59, 0x4d, 0xbf, 0x6a, 0x2e, 0xaa, 0x2b, 0xef, 0xe6, 0x78, 0xb6, 0x4e, 0xe0, 0x2f, 0xdc, 0x7c,
        0xbe, 0x57, 0x19, 0x32, 0x7e, 0x2a, 0xd0, 0xb8, 0xba, 0x29, 0x00, 0x3c, 0x52, 0x7d, 0xa8, 0x49,
        0x3b, 0x2d, 0xeb, 0x25, 0x49, 0xfa, 0xa3, 0xaa, 0x39, 0xa7, 0xc5, 0xa7, 0x50, 0x11, 0x36, 0xfb,
        0xc6, 0x67, 0x4a, 0xf5, 0xa5, 0x12, 0x65, 0x7e, 0xb0, 0xdf, 0xaf, 0x4e, 0xb3, 0x61, 0x7f, 0x2f,
    },
};

// Decrypts `bytes` from `start` to their end, the block's encryption starting at `start`.
void decrypt(std::string& bytes, std::size_t start, std::uint8_t serialKey, std::uint32_t shutterCount) {
    const std::uint8_t countKey = static_cast<std::uint8_t>(shutterCount ^ (shutterCount >> 8) ^
                                                            (shutterCount >> 16) ^ (shutterCount >> 24));
    const std::uint8_t ci = kXlat[0][serialKey];
    std::uint8_t cj = kXlat[1][countKey];
    std::uint8_t ck = 0x60;
    for (std::size_t i = start; i < bytes.size(); ++i) {
        cj = static_cast<std::uint8_t>(cj + ci * ck);
        ++ck;
        bytes[i] = static_cast<char>(static_cast<std::uint8_t>(bytes[i]) ^ cj);
    }
}

// The serial number's share of the key: the number itself when it is all digits (its low byte, taken
// digit by digit so that no length overflows), else the constant the bodies with a text serial use.
std::uint8_t serialKey(const std::string& serial, const std::string& model) {
    bool digits = !serial.empty();
    std::uint8_t low = 0;
    for (const char c : serial) {
        if (c < '0' || c > '9') {
            digits = false;
            break;
        }
        low = static_cast<std::uint8_t>(low * 10 + (c - '0'));
    }
    if (digits)
        return low;
    const bool isD50 = model.size() >= 3 && model.compare(model.size() - 3, 3, "D50") == 0 &&
                       (model.size() == 3 || model[model.size() - 4] == ' ');
    return isD50 ? 0x22 : 0x60;
}

std::uint8_t byteAt(const std::string& bytes, std::size_t at) {
    return at < bytes.size() ? static_cast<std::uint8_t>(bytes[at]) : 0;
}

// A NUL-terminated text of at most `size` bytes at `at`, without trailing spaces.
std::string textAt(const std::string& bytes, std::size_t at, std::size_t size) {
    if (at >= bytes.size())
        return {};
    std::string s = bytes.substr(at, size);
    s.resize(std::strlen(s.c_str()));
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

bool allZero(const std::string& bytes, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i)
        if (byteAt(bytes, i) != 0)
            return false;
    return true;
}

// The camera writes its setting names in capitals ("FINE", "AF-S", "MED.H"): words with a vowel keep
// their first letter and lower the rest ("Fine", "AF-S", "Med.H"), as the maker's software shows them;
// "AF" and "RAW" stay as they are.
std::string settingText(const std::string& text) {
    static const char kVowels[] = "AEIOUY";
    std::string out = text;
    std::size_t i = 0;
    while (i < out.size()) {
        if (!std::isalpha(static_cast<unsigned char>(out[i]))) {
            ++i;
            continue;
        }
        std::size_t end = i;
        bool upper = true, vowel = false;
        while (end < out.size() && std::isalpha(static_cast<unsigned char>(out[end]))) {
            upper = upper && std::isupper(static_cast<unsigned char>(out[end]));
            vowel = vowel || std::strchr(kVowels, out[end]) != nullptr;
            ++end;
        }
        const std::string word = out.substr(i, end - i);
        if (upper && vowel && word.size() > 1 && word != "AF" && word != "RAW")
            for (std::size_t j = i + 1; j < end; ++j)
                out[j] = static_cast<char>(std::tolower(static_cast<unsigned char>(out[j])));
        i = end;
    }
    return out;
}

// "18", "3.5", "27.5": a focal length or an aperture as the lens text shows it.
std::string lensNumber(double value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", value);
    std::string s = buf;
    while (s.back() == '0')
        s.pop_back();
    if (s.back() == '.')
        s.pop_back();
    return s;
}

// "18-70mm f/3.5-4.5", "50mm f/1.8".
std::string lensText(double minFocal, double maxFocal, double apertureAtMin, double apertureAtMax) {
    std::string text = lensNumber(minFocal);
    if (maxFocal > 0 && lensNumber(maxFocal) != text)
        text += "-" + lensNumber(maxFocal);
    const std::string aperture = lensNumber(apertureAtMin);
    text += "mm f/" + aperture;
    if (apertureAtMax > 0 && lensNumber(apertureAtMax) != aperture)
        text += "-" + lensNumber(apertureAtMax);
    return text;
}

// F-mount lenses by the eight bytes that name them together: lens id number, f-stops, minimum and maximum
// focal length, apertures at both, MCU version (from the lens data) and the lens type.
struct FMountLens {
    std::uint8_t key[8];
    const char* name;
};

const FMountLens kFMountLenses[] = {
    {{0x76, 0x58, 0x50, 0x50, 0x14, 0x14, 0x7A, 0x02}, "AF Nikkor 50mm f/1.8D"},
    {{0x5D, 0x48, 0x3C, 0x5C, 0x24, 0x24, 0x63, 0x02}, "AF-S Zoom-Nikkor 28-70mm f/2.8D IF-ED"},
    {{0x77, 0x48, 0x5C, 0x80, 0x24, 0x24, 0x7B, 0x0E}, "AF-S VR Zoom-Nikkor 70-200mm f/2.8G IF-ED"},
    {{0x7F, 0x40, 0x2D, 0x5C, 0x2C, 0x34, 0x84, 0x06}, "AF-S DX Zoom-Nikkor 18-70mm f/3.5-4.5G IF-ED"},
    {{0x8B, 0x40, 0x2D, 0x80, 0x2C, 0x3C, 0xFD, 0x0E},
     "AF-S DX VR Zoom-Nikkor 18-200mm f/3.5-5.6G IF-ED [II]"},
    {{0x8C, 0x40, 0x2D, 0x53, 0x2C, 0x3C, 0x8E, 0x06}, "AF-S DX Zoom-Nikkor 18-55mm f/3.5-5.6G ED"},
    {{0x8D, 0x44, 0x5C, 0x8E, 0x34, 0x3C, 0x8F, 0x0E}, "AF-S VR Zoom-Nikkor 70-300mm f/4.5-5.6G IF-ED"},
    {{0x9A, 0x40, 0x2D, 0x53, 0x2C, 0x3C, 0x9C, 0x0E}, "AF-S DX VR Zoom-Nikkor 18-55mm f/3.5-5.6G"},
    {{0x9E, 0x40, 0x2D, 0x6A, 0x2C, 0x3C, 0xA0, 0x0E}, "AF-S DX VR Zoom-Nikkor 18-105mm f/3.5-5.6G ED"},
    {{0x9F, 0x58, 0x44, 0x44, 0x14, 0x14, 0xA1, 0x06}, "AF-S DX Nikkor 35mm f/1.8G"},
    {{0xA0, 0x54, 0x50, 0x50, 0x0C, 0x0C, 0xA2, 0x06}, "AF-S Nikkor 50mm f/1.4G"},
    {{0xA4, 0x48, 0x5C, 0x80, 0x24, 0x24, 0xCF, 0x4E}, "AF-S Nikkor 70-200mm f/2.8E FL ED VR"},
    {{0xAA, 0x3C, 0x37, 0x6E, 0x30, 0x30, 0xAC, 0x0E}, "AF-S Nikkor 24-120mm f/4G ED VR"},
    {{0xAA, 0x48, 0x37, 0x5C, 0x24, 0x24, 0xC5, 0x4E}, "AF-S Nikkor 24-70mm f/2.8E ED VR"},
    {{0xB0, 0x4C, 0x50, 0x50, 0x14, 0x14, 0xB2, 0x06}, "AF-S Nikkor 50mm f/1.8G"},
    {{0xB3, 0x4C, 0x62, 0x62, 0x14, 0x14, 0xB5, 0x06}, "AF-S Nikkor 85mm f/1.8G"},
    {{0x79, 0x54, 0x31, 0x31, 0x0C, 0x0C, 0x4B, 0x06}, "Sigma 20mm F1.4 DG HSM | A"},
    {{0x88, 0x54, 0x50, 0x50, 0x0C, 0x0C, 0x4B, 0x06}, "Sigma 50mm F1.4 DG HSM | A"},
    {{0xC8, 0x54, 0x62, 0x62, 0x0C, 0x0C, 0x4B, 0x46}, "Sigma 85mm F1.4 DG HSM | A"},
    {{0xC9, 0x48, 0x37, 0x5C, 0x24, 0x24, 0x4B, 0x4E}, "Sigma 24-70mm F2.8 DG OS HSM | A"},
    {{0x8D, 0x48, 0x6E, 0x8E, 0x24, 0x24, 0x4B, 0x0E}, "Sigma 120-300mm F2.8 DG OS HSM Sports"},
    {{0xF4, 0x4C, 0x7C, 0x7C, 0x2C, 0x2C, 0x4B, 0x02}, "Sigma APO Macro 180mm F3.5 EX DG HSM"},
    {{0xFE, 0x48, 0x37, 0x5C, 0x24, 0x24, 0xDF, 0x0E}, "Tamron SP 24-70mm f/2.8 Di VC USD (A007)"},
    {{0xFE, 0x54, 0x5C, 0x80, 0x24, 0x24, 0xDF, 0x0E}, "Tamron SP 70-200mm f/2.8 Di VC USD (A009)"},
    {{0xC8, 0x54, 0x44, 0x44, 0x0D, 0x0D, 0xDF, 0x46}, "Tamron SP 35mm f/1.4 Di USD (F045)"},
    {{0xCF, 0x47, 0x5C, 0x8E, 0x31, 0x3D, 0xDF, 0x0E}, "Tamron SP 70-300mm f/4-5.6 Di VC USD (A030)"},
    {{0x80, 0x48, 0x1C, 0x29, 0x24, 0x24, 0x7A, 0x06}, "Tokina atx-i 11-16mm F2.8 CF"},
};

// Z-mount lenses by the lens id of the newer lens data.
struct ZMountLens {
    std::uint16_t id;
    const char* name;
};

const ZMountLens kZMountLenses[] = {
    {1, "Nikkor Z 24-70mm f/4 S"},    {4, "Nikkor Z 35mm f/1.8 S"},         {9, "Nikkor Z 50mm f/1.8 S"},
    {13, "Nikkor Z 24-70mm f/2.8 S"}, {18, "Nikkor Z 24-200mm f/4-6.3 VR"},
};

// A Picture Control setting: the stored byte less 0x80, with the maker's words for the special values.
std::string pictureControlValue(std::uint8_t raw, const char* zero = "Normal", const char* format = "%+d",
                                int divisor = 1) {
    const int value = raw - 0x80;
    if (value == 0)
        return zero;
    if (value == 0x7F)
        return "n/a";
    if (value == -128)
        return "Auto";
    if (value == -127)
        return "User";
    char buf[32];
    if (divisor == 1)
        std::snprintf(buf, sizeof buf, format, value);
    else
        std::snprintf(buf, sizeof buf, format, static_cast<double>(value) / divisor);
    return buf;
}

std::string filterEffect(std::uint8_t raw) {
    static const char* const kNames[] = {"Off", "Yellow", "Orange", "Red", "Green"};
    if (raw == 0xFF)
        return "n/a";
    return raw >= 0x80 && raw < 0x80 + std::size(kNames) ? kNames[raw - 0x80] : std::string();
}

std::string toningEffect(std::uint8_t raw) {
    static const char* const kNames[] = {"B&W",   "Sepia",      "Cyanotype", "Red",         "Yellow",
                                         "Green", "Blue-green", "Blue",      "Purple-blue", "Red-purple"};
    if (raw == 0xFF)
        return "n/a";
    return raw >= 0x80 && raw < 0x80 + std::size(kNames) ? kNames[raw - 0x80] : std::string();
}

// Picture Control block (tag 0x0023), versions 01xx to 03xx; the layouts differ in where each setting
// sits and in the scale of the newer ones (quarter steps).
void readPictureControl(const std::string& b, NRFPictureControl& pc) {
    if (b.size() < 58 || b[0] != '0' || b[1] < '1' || b[1] > '3')
        return;
    const int version = b[1] - '0';
    if (version == 3 && b.size() < 74)
        return;
    if (version == 2 && b.size() < 66)
        return;
    const std::size_t nameAt = version == 3 ? 8 : 4;
    NRFPictureControl out;
    out.name = settingText(textAt(b, nameAt, 20));
    out.base = settingText(textAt(b, nameAt + 20, 20));
    const auto at = [&](std::size_t offset) { return byteAt(b, offset); };
    static const char* const kAdjust[] = {"Default Settings", "Quick Adjust", "Full Control"};
    if (const std::uint8_t adjust = at(version == 3 ? 54 : 48); adjust < std::size(kAdjust))
        out.adjust = kAdjust[adjust];
    if (version == 1) {
        out.quickAdjust = pictureControlValue(at(49));
        out.sharpening = pictureControlValue(at(50), "No Sharpening", "%d");
        out.contrast = pictureControlValue(at(51));
        out.brightness = pictureControlValue(at(52));
        out.saturation = pictureControlValue(at(53));
        out.hue = pictureControlValue(at(54), "None");
        out.filterEffect = filterEffect(at(55));
        out.toningEffect = toningEffect(at(56));
        out.toningSaturation = at(57) == 0xFF ? "n/a" : std::to_string(at(57) - 0x80);
    } else {
        // Version 3 puts every setting six bytes further on and adds mid-range sharpening after
        // sharpening, which moves the settings after it two more bytes.
        const std::size_t shift = version == 3 ? 6 : 0;
        const std::size_t extra = version == 3 ? 2 : 0;
        out.quickAdjust = pictureControlValue(at(49 + shift));
        out.sharpening = pictureControlValue(at(51 + shift), "None", "%.2f", 4);
        if (version == 3)
            out.midRangeSharpening = pictureControlValue(at(59), "None", "%.2f", 4);
        out.clarity = pictureControlValue(at(53 + shift + extra), "None", "%.2f", 4);
        out.contrast = pictureControlValue(at(55 + shift + extra), "None", "%.2f", 4);
        out.brightness = pictureControlValue(at(57 + shift + extra), "Normal", "%.2f", 4);
        out.saturation = pictureControlValue(at(59 + shift + extra), "None", "%.2f", 4);
        out.hue = pictureControlValue(at(61 + shift + extra), "None", "%.2f", 4);
        out.filterEffect = filterEffect(at(63 + shift + extra));
        out.toningEffect = toningEffect(at(64 + shift + extra));
        out.toningSaturation = pictureControlValue(at(65 + shift + extra), "None", "%.2f", 4);
    }
    if (!out.name.empty() || !out.base.empty())
        pc = out;
}

// The values of the note's IFD that the record takes, gathered first: the encrypted blocks need the
// serial number and the shutter count, wherever they stand in the IFD.
struct NikonValues {
    std::string serial;     // the number the encrypted blocks use as a key
    std::string serialText; // the older bodies' serial ("NO= 20025585"), shown when there is no number
    std::string firmware;   // the newer mirrorless bodies keep it in a block of their own
    std::optional<std::uint32_t> shutterCount;
    std::optional<std::uint8_t> lensType;
    std::string lensData, shotInfo;
};

// The lens data block (tag 0x0098): the lens id number and the bytes that name the lens with it.
void readLensData(EXIFMakerNote& note, NikonValues& v, std::optional<std::uint8_t> key) {
    std::string& b = v.lensData;
    if (b.size() < 4)
        return;
    const std::string version = b.substr(0, 4);
    const bool encrypted = version[0] != '0' || version[1] != '1';
    if (encrypted) {
        if (!key || !v.shutterCount)
            return;
        decrypt(b, 4, *key, *v.shutterCount);
    }
    NRFImageInfoRec& r = note.record;
    std::size_t idAt = 0; // where the lens id number and its seven companions begin
    if (version == "0100")
        idAt = 6;
    else if (version == "0101" || version == "0201" || version == "0202" || version == "0203")
        idAt = 11;
    else if (version == "0204")
        idAt = 12;
    else if (version.compare(0, 3, "080") == 0) {
        // Mirrorless bodies: F-mount data of an adapted lens, and the native lens id.
        if (!allZero(b, 4, 20) && b.size() >= 20)
            idAt = 13;
        if (b.size() >= 0x40 && !allZero(b, 0x30, 0x40)) {
            const std::uint16_t id = static_cast<std::uint16_t>(byteAt(b, 0x30) | (byteAt(b, 0x31) << 8));
            r.m_lensTypeNumber = id;
            for (const ZMountLens& lens : kZMountLenses)
                if (lens.id == id)
                    r.m_lensType = lens.name;
        }
    } else if (version.compare(0, 3, "040") == 0 && r.m_lensModel.empty()) {
        // Bodies of the 1 system name the lens in a text.
        const std::size_t modelAt = version == "0403" ? 0x2AC : version == "0402" ? 0x18B : 0x18A;
        const std::string model = textAt(b, modelAt, 64);
        if (!model.empty())
            r.m_lensModel = model;
    }
    if (idAt == 0 || b.size() < idAt + 7)
        return;
    r.m_lensTypeNumber = byteAt(b, idAt);
    if (!v.lensType)
        return;
    std::uint8_t key8[8];
    for (std::size_t i = 0; i < 7; ++i)
        key8[i] = byteAt(b, idAt + i);
    key8[7] = *v.lensType;
    for (const FMountLens& lens : kFMountLenses)
        if (std::memcmp(lens.key, key8, 8) == 0)
            r.m_lensType = lens.name;
}

// The shot information block (tag 0x0091): the firmware version of the newer bodies.
void readShotInfo(EXIFMakerNote& note, NikonValues& v, std::optional<std::uint8_t> key) {
    std::string& b = v.shotInfo;
    if (b.size() < 12 || !key || !v.shutterCount)
        return;
    for (std::size_t i = 0; i < 4; ++i)
        if (!std::isdigit(static_cast<unsigned char>(b[i])))
            return;
    std::string firmware;
    if (b.compare(0, 2, "02") == 0) {
        decrypt(b, 4, *key, *v.shutterCount);
        // "1.03a", "1.10 ".
        firmware = textAt(b, 4, 5);
        if (firmware.size() < 3 || !std::isdigit(static_cast<unsigned char>(firmware[0])) ||
            firmware[1] != '.' || !std::isdigit(static_cast<unsigned char>(firmware[2])))
            return;
    } else if (b.compare(0, 2, "08") == 0) {
        decrypt(b, 4, *key, *v.shutterCount);
        // "01.00.h1".
        firmware = textAt(b, 4, 8);
        if (firmware.empty() || !std::isdigit(static_cast<unsigned char>(firmware[0])))
            return;
    } else {
        return;
    }
    for (const char c : firmware)
        if (c < 0x20 || c > 0x7E)
            return;
    note.record.m_firmware = firmware;
}

// The small preview: an IFD of the note with a JPEG offset and length counting from the note's header.
void readPreviewIFD(EXIFMakerNote& note, NRFBasicTIFF& tiff, std::uint32_t offset) {
    std::vector<NRFTIFFEntry> entries;
    if (note.ReadIFD(tiff, offset, entries) != 0)
        return;
    std::uint32_t start = 0, length = 0;
    for (const NRFTIFFEntry& e : entries) {
        if (e.tag == kTagPreviewStart)
            tiff.Unsigned(e, 0, start);
        else if (e.tag == kTagPreviewLength)
            tiff.Unsigned(e, 0, length);
    }
    if (start != 0 && length != 0)
        note.TakeJPEG(tiff.Base() + start, length, EXIFEmbeddedKind::FuzzyPreview);
}

void readNikonIFD(EXIFMakerNote& note, NRFBasicTIFF& tiff, std::uint32_t offset) {
    std::vector<NRFTIFFEntry> entries;
    if (note.ReadIFD(tiff, offset, entries) != 0)
        return;
    NRFImageInfoRec& r = note.record;
    NikonValues v;
    std::uint32_t previewIFD = 0;
    std::string text;
    // Encrypted blocks are read up to the bytes that hold what the record takes.
    constexpr std::size_t kBlockBytes = 1024;
    for (const NRFTIFFEntry& e : entries) {
        std::uint32_t n = 0;
        switch (e.tag) {
        case kTagColorMode:
        case kTagQuality:
        case kTagWhiteBalance:
        case kTagSharpness:
        case kTagFocusMode:
        case kTagToneComp:
            if (e.type == kTIFFAscii && note.Text(tiff, e, text, 64)) {
                std::string& field = e.tag == kTagColorMode      ? r.m_colorMode
                                     : e.tag == kTagQuality      ? r.m_quality
                                     : e.tag == kTagWhiteBalance ? r.m_whiteMode
                                     : e.tag == kTagSharpness    ? r.m_sharpness
                                     : e.tag == kTagFocusMode    ? r.m_focusMode
                                                                 : r.m_toneComp;
                field = settingText(text);
            }
            break;
        case kTagSerialNumber:
            if (e.type == kTIFFAscii && note.Text(tiff, e, text, 64))
                v.serial = text;
            break;
        case kTagSerialText:
            if (e.type == kTIFFAscii && note.Text(tiff, e, text, 64))
                v.serialText = text;
            break;
        case kTagMakerNotes51:
            // "01000400": eight digits, unencrypted.
            if (e.type == kTIFFUndefined && tiff.ValueBytes(e, text, 8) && text.size() == 8 &&
                std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
                v.firmware = text;
            break;
        case kTagShutterCount:
            if (tiff.Unsigned(e, 0, n) && n != kShutterCountNotAvailable)
                v.shutterCount = n;
            break;
        case kTagLensType:
            if ((e.type == kTIFFByte || e.type == kTIFFUndefined) && tiff.Unsigned(e, 0, n))
                v.lensType = static_cast<std::uint8_t>(n);
            break;
        case kTagLens: {
            double f[4] = {};
            if (e.count == 4 && tiff.Real(e, 0, f[0]) && tiff.Real(e, 1, f[1]) && tiff.Real(e, 2, f[2]) &&
                tiff.Real(e, 3, f[3]) && f[0] > 0 && f[0] < 10000 && f[1] < 10000 && f[2] > 0 && f[2] < 100 &&
                f[3] < 100 && r.m_lensModel.empty())
                r.m_lensModel = lensText(f[0], f[1], f[2], f[3]);
            break;
        }
        case kTagPictureControl:
            if ((e.type == kTIFFUndefined || e.type == kTIFFByte) && tiff.ValueBytes(e, text, 128))
                readPictureControl(text, r.m_pictureControl);
            break;
        case kTagLensData:
            if (e.type == kTIFFUndefined || e.type == kTIFFByte)
                tiff.ValueBytes(e, v.lensData, kBlockBytes);
            break;
        case kTagShotInfo:
            if (e.type == kTIFFUndefined || e.type == kTIFFByte)
                tiff.ValueBytes(e, v.shotInfo, 16);
            break;
        case kTagPreviewIFD:
            if (e.count == 1)
                tiff.Unsigned(e, 0, previewIFD);
            break;
        default:
            break;
        }
    }
    if (r.m_bodySerial.empty())
        r.m_bodySerial = !v.serial.empty() ? v.serial : v.serialText;
    if (!v.firmware.empty())
        r.m_firmware = v.firmware;
    if (v.shutterCount)
        r.m_shutterCount = v.shutterCount;
    std::optional<std::uint8_t> key;
    if (!v.serial.empty())
        key = serialKey(v.serial, r.m_model);
    readLensData(note, v, key);
    readShotInfo(note, v, key);
    if (previewIFD != 0)
        readPreviewIFD(note, tiff, previewIFD);
}

} // namespace

void EXIFParseNikonMakerNote(EXIFMakerNote& note) {
    if (note.StartsWith(note.pos, "Nikon\0\x02", 7)) {
        // A TIFF structure of its own after the 10-byte header.
        NRFBasicTIFF tiff(note.note, note.pos + 10);
        if (!tiff.ReadHeader())
            return;
        readNikonIFD(note, tiff, tiff.IFD0Offset());
        return;
    }
    if (note.StartsWith(note.pos, "Nikon\0", 6) || note.pos < note.tiffBase ||
        note.pos - note.tiffBase > 0xFFFFFFFFull)
        return;
    // No header: the IFD begins the note, its offsets count from the EXIF TIFF header.
    NRFBasicTIFF tiff(note.note, note.tiffBase);
    tiff.SetBigEndian(note.tiffBigEndian);
    readNikonIFD(note, tiff, static_cast<std::uint32_t>(note.pos - note.tiffBase));
}
