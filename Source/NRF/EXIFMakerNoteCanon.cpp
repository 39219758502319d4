// Canon's maker note: a plain IFD in the EXIF byte order whose offsets count from the EXIF TIFF header.
// Most settings sit in arrays of 16-bit values whose first element is the array's size in bytes
// (camera settings, shot information, processing, file information); the rest are plain entries.

#include "NRF/EXIFMakerNotes.h"

#include "NRF/EXIFUtils.h"
#include "NRF/NRFImageInfo.h"
#include "app/LumoLog.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

namespace {

enum : std::uint16_t {
    kCameraSettings = 0x0001,
    kShotInfo = 0x0004,
    kFirmware = 0x0007,
    kOwner = 0x0009,
    kSerialNumber = 0x000C,
    kCameraInfo = 0x000D,
    kFileInfo = 0x0093,
    kLensModel = 0x0095,
    kInternalSerial = 0x0096,
    kProcessing = 0x00A0,
    kColorTemperature = 0x00AE,
    kPreviewImageInfo = 0x00B6,
};

// A Canon array of 16-bit values. Element 0 holds the array's size in bytes; an array that says
// otherwise is not the layout this reader knows and is left alone.
class CanonArray {
public:
    CanonArray(NRFBasicTIFF& tiff, const NRFTIFFEntry& entry) : m_tiff(tiff) {
        if ((entry.type != kTIFFShort && entry.type != kTIFFSShort) || entry.count < 2 ||
            !tiff.ValueBytes(entry, m_bytes, 65536) || m_bytes.size() < 4)
            m_bytes.clear();
        else if (tiff.U16(reinterpret_cast<const unsigned char*>(m_bytes.data())) != m_bytes.size())
            m_bytes.clear();
    }
    bool valid() const { return !m_bytes.empty(); }
    bool u16(std::size_t index, unsigned& out) const {
        if (index * 2 + 2 > m_bytes.size())
            return false;
        out = m_tiff.U16(reinterpret_cast<const unsigned char*>(m_bytes.data()) + index * 2);
        return true;
    }
    bool s16(std::size_t index, int& out) const {
        unsigned u = 0;
        if (!u16(index, u))
            return false;
        out = static_cast<std::int16_t>(u);
        return true;
    }
    // Two elements read as one 32-bit value in the note's byte order.
    bool u32(std::size_t index, std::uint32_t& out) const {
        if (index * 2 + 4 > m_bytes.size())
            return false;
        out = m_tiff.U32(reinterpret_cast<const unsigned char*>(m_bytes.data()) + index * 2);
        return true;
    }

private:
    NRFBasicTIFF& m_tiff;
    std::string m_bytes;
};

using Named = EXIFNamedValue;

const Named kQuality[] = {{1, "Economy"},   {2, "Normal"}, {3, "Fine"},          {4, "RAW"},
                          {5, "Superfine"}, {7, "CRAW"},   {130, "Light (RAW)"}, {131, "Standard (RAW)"}};

const Named kFocusMode[] = {
    {0, "One-shot AF"}, {1, "AI Servo AF"}, {2, "AI Focus AF"},        {3, "Manual Focus (3)"},
    {4, "Single"},      {5, "Continuous"},  {6, "Manual Focus (6)"},   {16, "Pan Focus"},
    {256, "AF + MF"},   {257, "Live View"}, {512, "Movie Snap Focus"}, {519, "Movie Servo AF"}};

const Named kWhiteBalance[] = {{0, "Auto"},        {1, "Daylight"},
                               {2, "Cloudy"},      {3, "Tungsten"},
                               {4, "Fluorescent"}, {5, "Flash"},
                               {6, "Custom"},      {7, "Black & White"},
                               {8, "Shade"},       {9, "Manual Temperature (Kelvin)"},
                               {10, "PC Set1"},    {11, "PC Set2"},
                               {12, "PC Set3"},    {14, "Daylight Fluorescent"},
                               {15, "Custom 1"},   {16, "Custom 2"},
                               {17, "Underwater"}, {18, "Custom 3"},
                               {19, "Custom 4"},   {20, "PC Set4"},
                               {21, "PC Set5"},    {23, "Auto (ambience priority)"}};

const Named kPictureStyle[] = {{0x01, "Standard"},    {0x02, "Portrait"},       {0x03, "High Saturation"},
                               {0x04, "Adobe RGB"},   {0x05, "Low Saturation"}, {0x06, "CM Set 1"},
                               {0x07, "CM Set 2"},    {0x21, "User Def. 1"},    {0x22, "User Def. 2"},
                               {0x23, "User Def. 3"}, {0x41, "PC 1"},           {0x42, "PC 2"},
                               {0x43, "PC 3"},        {0x81, "Standard"},       {0x82, "Portrait"},
                               {0x83, "Landscape"},   {0x84, "Neutral"},        {0x85, "Faithful"},
                               {0x86, "Monochrome"},  {0x87, "Auto"},           {0x88, "Fine Detail"}};

// The common lenses by Canon's lens number. A number Canon shares with third-party lenses names the
// Canon lens; the lens the camera reports by name (LensModel) is the better source when there is one.
const Named kLensTypes[] = {
    {1, "Canon EF 50mm f/1.8"},
    {2, "Canon EF 28mm f/2.8"},
    {9, "Canon EF 70-210mm f/4"},
    {21, "Canon EF 80-200mm f/2.8L"},
    {24, "Canon EF 35-80mm f/4-5.6 Power Zoom"},
    {27, "Canon EF 35-80mm f/4-5.6"},
    {35, "Canon EF 35-80mm f/4-5.6"},
    {37, "Canon EF 35-80mm f/4-5.6"},
    {40, "Canon EF 28-80mm f/3.5-5.6"},
    {124, "Canon MP-E 65mm f/2.8 1-5x Macro Photo"},
    {135, "Canon EF 200mm f/1.8L USM"},
    {136, "Canon EF 300mm f/2.8L USM"},
    {137, "Canon EF 85mm f/1.2L USM"},
    {143, "Canon EF 500mm f/4L IS USM"},
    {150, "Canon EF 14mm f/2.8L USM"},
    {151, "Canon EF 200mm f/2.8L USM"},
    {155, "Canon EF 85mm f/1.8 USM"},
    {160, "Canon EF 20-35mm f/3.5-4.5 USM"},
    {161, "Canon EF 28-70mm f/2.8L USM"},
    {169, "Canon EF 17-35mm f/2.8L USM"},
    {173, "Canon EF 180mm Macro f/3.5L USM"},
    {174, "Canon EF 135mm f/2L USM"},
    {180, "Canon EF 35mm f/1.4L USM"},
    {193, "Canon EF 35-80mm f/4-5.6 USM"},
    {197, "Canon EF 75-300mm f/4-5.6 IS USM"},
    {198, "Canon EF 50mm f/1.4 USM"},
    {224, "Canon EF 70-200mm f/2.8L IS USM"},
    {229, "Canon EF 16-35mm f/2.8L USM"},
    {230, "Canon EF 24-70mm f/2.8L USM"},
    {231, "Canon EF 17-40mm f/4L USM"},
    {235, "Canon EF-S 10-22mm f/3.5-4.5 USM"},
    {236, "Canon EF-S 60mm f/2.8 Macro USM"},
    {237, "Canon EF 24-105mm f/4L IS USM"},
    {238, "Canon EF 70-300mm f/4-5.6 IS USM"},
    {246, "Canon EF 16-35mm f/2.8L II USM"},
    {247, "Canon EF 14mm f/2.8L II USM"},
    {248, "Canon EF 200mm f/2L IS USM"},
    {250, "Canon EF 24mm f/1.4L II USM"},
    {251, "Canon EF 70-200mm f/2.8L IS II USM"},
    {254, "Canon EF 100mm f/2.8L Macro IS USM"},
    {488, "Canon EF-S 15-85mm f/3.5-5.6 IS USM"},
    {489, "Canon EF 70-300mm f/4-5.6L IS USM"},
    {491, "Canon EF 300mm f/2.8L IS II USM"},
    {495, "Canon EF 24-70mm f/2.8L II USM"},
    {505, "Canon EF 35mm f/2 IS USM"},
    {507, "Canon EF 16-35mm f/4L IS USM"},
    {508, "Canon EF 11-24mm f/4L USM"},
    {747, "Canon EF 100-400mm f/4.5-5.6L IS II USM"},
    {750, "Canon EF 35mm f/1.4L II USM"},
    {4142, "Canon EF-S 18-135mm f/3.5-5.6 IS STM"},
    {4144, "Canon EF 40mm f/2.8 STM"},
    {4145, "Canon EF-M 22mm f/2 STM"},
    {4146, "Canon EF-S 18-55mm f/3.5-5.6 IS STM"},
    {4148, "Canon EF-S 55-250mm f/4-5.6 IS STM"},
    {4152, "Canon EF 24-105mm f/3.5-5.6 IS STM"},
    {4153, "Canon EF-M 15-45mm f/3.5-6.3 IS STM"},
    {4154, "Canon EF-S 24mm f/2.8 STM"},
    {4156, "Canon EF 50mm f/1.8 STM"},
    {4158, "Canon EF-S 18-55mm f/4-5.6 IS STM"},
    {61182, "Canon RF Lens"},
};

bool modelHas(const std::string& model, const char* part) {
    return model.find(part) != std::string::npos;
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// A focal length as the lens texts write it: whole numbers without decimals.
std::string focalText(double mm) {
    char buf[32];
    std::snprintf(buf, sizeof buf, std::fabs(mm - std::round(mm)) < 0.05 ? "%.0f" : "%.1f", mm);
    return buf;
}

// The body serial number as Canon prints it: the D30 as four hexadecimal and five decimal digits,
// the 1D family with six digits, the others with ten.
std::string serialText(const std::string& model, std::uint32_t value) {
    char buf[32];
    if (modelHas(model, "EOS D30"))
        std::snprintf(buf, sizeof buf, "%.4x%.5u", value >> 16, value & 0xFFFF);
    else if (modelHas(model, "EOS-1D"))
        std::snprintf(buf, sizeof buf, "%.6u", value);
    else
        std::snprintf(buf, sizeof buf, "%.10u", value);
    return buf;
}

// "1D Mark II", "1Ds Mark II" and "1D Mark II N", not "1D Mark III".
bool isMarkII(const std::string& model) {
    for (const char* body : {"1D Mark II", "1Ds Mark II"}) {
        const std::size_t at = model.find(body);
        if (at != std::string::npos) {
            const std::size_t after = at + std::string(body).size();
            if (after == model.size() || model[after] == ' ')
                return true;
        }
    }
    return false;
}

void readCameraSettings(NRFImageInfoRec& r, const CanonArray& cs) {
    int v = 0;
    if (cs.s16(3, v))
        if (const char* text = EXIFLookup(kQuality, v))
            r.m_quality = text;
    if (cs.s16(7, v))
        if (const char* text = EXIFLookup(kFocusMode, v))
            r.m_focusMode = text;
    if (cs.s16(15, v) && v != 0x7FFF)
        r.m_sharpness = v > 0 ? "+" + std::to_string(v) : std::to_string(v);
    unsigned lens = 0;
    if (cs.u16(22, lens) && lens != 0 && lens != 0xFFFF) {
        r.m_lensTypeNumber = lens;
        if (const char* text = EXIFLookup(kLensTypes, static_cast<int>(lens)))
            r.m_lensType = text;
    }
    // Without a lens name, the focal range makes one ("18-55mm", "50mm").
    unsigned maxFocal = 0, minFocal = 0, units = 0;
    if (r.m_lensModel.empty() && cs.u16(23, maxFocal) && cs.u16(24, minFocal) && cs.u16(25, units) &&
        minFocal != 0 && maxFocal >= minFocal) {
        const double unit = units == 0 ? 1.0 : units;
        const std::string lo = focalText(minFocal / unit), hi = focalText(maxFocal / unit);
        r.m_lensModel = lo == hi ? lo + "mm" : lo + "-" + hi + "mm";
    }
}

void readShotInfo(NRFImageInfoRec& r, const CanonArray& si) {
    int v = 0;
    if (si.s16(7, v))
        if (const char* text = EXIFLookup(kWhiteBalance, v))
            r.m_whiteMode = text;
}

void readProcessing(NRFImageInfoRec& r, const CanonArray& pi) {
    int v = 0;
    // The 20D and 350D keep something else there.
    if (r.m_sharpness.empty() && pi.s16(2, v) && !modelHas(r.m_model, "20D") &&
        !modelHas(r.m_model, "350D") && !modelHas(r.m_model, "REBEL XT") &&
        !modelHas(r.m_model, "Kiss Digital N"))
        r.m_sharpness = std::to_string(v);
    if (r.m_whiteMode.empty() && pi.s16(8, v) && v >= 0)
        if (const char* text = EXIFLookup(kWhiteBalance, v))
            r.m_whiteMode = text;
    if (!r.m_kelvin && pi.s16(9, v) && v > 0)
        r.m_kelvin = static_cast<std::uint32_t>(v);
    if (pi.s16(10, v))
        if (const char* text = EXIFLookup(kPictureStyle, v))
            r.m_colorMode = text;
}

// The shutter count of the bodies that write it: the 1D and 1Ds (big-endian notes) and the Mark II
// bodies in the file information, the Mark III bodies in their camera information.
void readShutterCount(EXIFMakerNote& note, NRFBasicTIFF& tiff, const std::vector<NRFTIFFEntry>& entries) {
    NRFImageInfoRec& r = note.record;
    for (const NRFTIFFEntry& e : entries) {
        if (e.tag == kFileInfo) {
            const CanonArray fi(tiff, e);
            std::uint32_t count = 0;
            if (!fi.valid() || !fi.u32(1, count))
                continue;
            if (tiff.BigEndian())
                r.m_shutterCount = count;
            else if (isMarkII(r.m_model))
                r.m_shutterCount = (count >> 16) | ((count & 0xFFFF) << 16);
        } else if (e.tag == kCameraInfo &&
                   (endsWith(r.m_model, "1D Mark III") || endsWith(r.m_model, "1Ds Mark III"))) {
            constexpr std::uint64_t kShutterCountAt = 0x176;
            std::uint32_t count = 0;
            if (e.byteSize >= kShutterCountAt + 4 && tiff.ReadU32(e.valuePos + kShutterCountAt, count) &&
                count != 0xFFFFFFFF)
                r.m_shutterCount = count + 1;
        }
    }
}

// The large preview some bodies (the 300D) write after the image: 32-bit values giving its length, size
// and start, the start counting from the TIFF header.
void readPreview(EXIFMakerNote& note, NRFBasicTIFF& tiff, const NRFTIFFEntry& e) {
    std::uint32_t length = 0, start = 0;
    if (e.type != kTIFFLong || e.count < 6 || !tiff.Unsigned(e, 2, length) || !tiff.Unsigned(e, 5, start))
        return;
    note.TakeJPEG(note.tiffBase + start, length, EXIFEmbeddedKind::Preview);
}

// Reads one block; a block that throws is logged under its own name and the others are still read.
template <typename Read>
void guarded(const char* name, Read&& read) {
    try {
        read();
    } catch (const std::exception& e) {
        LUMO_LOG("Unexpected exception in %s() %s", name, e.what());
    }
}

} // namespace

void EXIFParseCanonMakerNote(EXIFMakerNote& note) {
    NRFBasicTIFF tiff(note.note, note.tiffBase);
    tiff.SetBigEndian(note.tiffBigEndian);
    if (note.pos < note.tiffBase || note.pos - note.tiffBase > 0xFFFFFFFFull)
        return;
    std::vector<NRFTIFFEntry> entries;
    if (note.ReadIFD(tiff, static_cast<std::uint32_t>(note.pos - note.tiffBase), entries) != 0)
        return;

    NRFImageInfoRec& r = note.record;
    std::string text;
    bool haveSerial = false;
    for (const NRFTIFFEntry& e : entries) {
        std::uint32_t n = 0;
        switch (e.tag) {
        case kFirmware:
            if (note.Text(tiff, e, text))
                r.m_firmware = text;
            break;
        case kOwner:
            if (note.Text(tiff, e, text))
                r.m_owner = text;
            break;
        case kSerialNumber:
            if (e.type == kTIFFLong && e.count == 1 && tiff.Unsigned(e, 0, n)) {
                haveSerial = true;
                if (r.m_bodySerial.empty())
                    r.m_bodySerial = serialText(r.m_model, n);
            }
            break;
        case kLensModel:
            if (r.m_lensModel.empty() && note.Text(tiff, e, text))
                r.m_lensModel = text;
            break;
        case kColorTemperature:
            if (e.type == kTIFFShort && tiff.Unsigned(e, 0, n) && n != 0)
                r.m_kelvin = n;
            break;
        case kPreviewImageInfo:
            readPreview(note, tiff, e);
            break;
        default:
            break;
        }
    }
    // The arrays, once the plain values (the lens name above all) are known.
    for (const NRFTIFFEntry& e : entries) {
        if (e.tag != kCameraSettings && e.tag != kShotInfo && e.tag != kProcessing)
            continue;
        const CanonArray values(tiff, e);
        if (!values.valid())
            continue;
        if (e.tag == kCameraSettings)
            guarded("GetCanonCameraSettings", [&] { readCameraSettings(r, values); });
        else if (e.tag == kShotInfo)
            guarded("GetCanonShotInfo", [&] { readShotInfo(r, values); });
        else
            guarded("GetCanonProcessingInfo", [&] { readProcessing(r, values); });
    }
    // The sensor's serial number stands in for the body's when the camera writes no other.
    if (!haveSerial && r.m_bodySerial.empty())
        for (const NRFTIFFEntry& e : entries) {
            if (e.tag != kInternalSerial)
                continue;
            std::string bytes;
            if (e.type != kTIFFAscii && e.type != kTIFFUndefined && e.type != kTIFFByte)
                continue;
            if (!tiff.ValueBytes(e, bytes, 256))
                continue;
            // The 5D family keeps it as a text at byte 9 of a block.
            if (modelHas(r.m_model, "EOS 5D"))
                bytes = bytes.size() > 9 ? bytes.substr(9) : std::string();
            bytes.resize(bytes.find('\0') == std::string::npos ? bytes.size() : bytes.find('\0'));
            // Some bodies pad it with 0xFF.
            while (!bytes.empty() &&
                   (static_cast<unsigned char>(bytes.back()) == 0xFF || bytes.back() == ' '))
                bytes.pop_back();
            if (!bytes.empty())
                r.m_bodySerial = EXIFCleanText(bytes);
        }
    guarded("GetCanonShutterCount", [&] { readShutterCount(note, tiff, entries); });
}
