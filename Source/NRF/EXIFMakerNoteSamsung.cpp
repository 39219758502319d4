// Samsung's maker notes come in two layouts. The older compacts write "STMN" and a version, then 32-bit
// values in the file's byte order, the third and fourth of which locate a large preview by its position
// in the file. The newer bodies and phones write an IFD at the note's first byte; its offsets count
// from the EXIF TIFF header on some models and from the note on others, and the raws (SRW) carry a
// preview IFD (0x0035), the body's serial number (0xA002) and the lens number (0xA003) there.

#include "NRF/EXIFMakerNotes.h"

#include "NRF/NRFImageInfo.h"

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

namespace {

enum : std::uint16_t {
    kPreviewIFD = 0x0035,
    kPreviewStart = 0x0201,
    kPreviewLength = 0x0202,
    kSerialNumber = 0xA002,
    kLensType = 0xA003,
};

const char* const kLensTypes[] = {
    "Built-in or Manual Lens",
    "Samsung NX 30mm F2 Pancake",
    "Samsung NX 18-55mm F3.5-5.6 OIS",
    "Samsung NX 50-200mm F4-5.6 ED OIS",
    "Samsung NX 20-50mm F3.5-5.6 ED",
    "Samsung NX 20mm F2.8 Pancake",
    "Samsung NX 18-200mm F3.5-6.3 ED OIS",
    "Samsung NX 60mm F2.8 Macro ED OIS SSA",
    "Samsung NX 16mm F2.4 Pancake",
    "Samsung NX 85mm F1.4 ED SSA",
    "Samsung NX 45mm F1.8",
    "Samsung NX 45mm F1.8 2D/3D",
    "Samsung NX 12-24mm F4-5.6 ED",
    "Samsung NX 16-50mm F2-2.8 S ED OIS",
    "Samsung NX 10mm F3.5 Fisheye",
    "Samsung NX 16-50mm F3.5-5.6 Power Zoom ED OIS",
};

// A serial number is at least five letters or digits.
bool looksLikeSerial(const std::string& text) {
    if (text.size() < 5)
        return false;
    for (std::size_t i = 0; i < 5; ++i)
        if (!std::isalnum(static_cast<unsigned char>(text[i])) && text[i] != '_')
            return false;
    return true;
}

void parseSTMN(EXIFMakerNote& note) {
    NRFBasicTIFF tiff(note.note, note.pos);
    tiff.SetBigEndian(note.tiffBigEndian);
    std::uint32_t start = 0, length = 0;
    if (!tiff.ReadU32(note.pos + 8, start) || !tiff.ReadU32(note.pos + 12, length) || start == 0 ||
        length == 0)
        return;
    // The position counts from the start of the file.
    if (note.TakeJPEG(start, length, EXIFEmbeddedKind::Preview))
        note.record.m_previewOffsetIsAbsolute = true;
}

void parseIFD(EXIFMakerNote& note) {
    if (note.pos < note.tiffBase || note.pos - note.tiffBase > 0xFFFFFFFFull)
        return;
    NRFBasicTIFF tiff(note.note, note.tiffBase);
    tiff.SetBigEndian(note.tiffBigEndian);
    std::vector<NRFTIFFEntry> entries;
    if (note.ReadIFD(tiff, static_cast<std::uint32_t>(note.pos - note.tiffBase), entries) != 0)
        return;
    // The same entries with their offsets counted from the note, for the models that write them so.
    NRFBasicTIFF fromNote(note.note, note.pos);
    fromNote.SetBigEndian(note.tiffBigEndian);
    const auto relocated = [&](const NRFTIFFEntry& e) {
        NRFTIFFEntry moved = e;
        if (!e.inLine())
            moved.valuePos = note.pos + e.value;
        return moved;
    };

    NRFImageInfoRec& r = note.record;
    std::string text;
    for (const NRFTIFFEntry& e : entries) {
        std::uint32_t n = 0;
        switch (e.tag) {
        case kSerialNumber:
            if (!r.m_bodySerial.empty())
                break;
            if (note.Text(tiff, e, text) && looksLikeSerial(text))
                r.m_bodySerial = text;
            else if (const NRFTIFFEntry moved = relocated(e); !e.inLine() && !fromNote.IsMalformed(moved) &&
                                                              note.Text(fromNote, moved, text) &&
                                                              looksLikeSerial(text))
                r.m_bodySerial = text;
            break;
        case kLensType:
            if ((e.type == kTIFFShort || e.type == kTIFFLong) && tiff.Unsigned(e, 0, n)) {
                r.m_lensTypeNumber = n;
                if (n < std::size(kLensTypes))
                    r.m_lensType = kLensTypes[n];
                else if (n == 20)
                    r.m_lensType = "Samsung NX 50-150mm F2.8 S ED OIS";
                else if (n == 21)
                    r.m_lensType = "Samsung NX 300mm F2.8 ED OIS";
            }
            break;
        case kPreviewIFD:
            // An IFD elsewhere in the file whose offsets count from the same header.
            if ((e.type == kTIFFLong || e.type == kTIFFIFD) && tiff.Unsigned(e, 0, n)) {
                NRFBasicTIFF whole(note.file, note.tiffBase);
                whole.SetBigEndian(note.tiffBigEndian);
                std::vector<NRFTIFFEntry> preview;
                if (whole.ReadIFD(n, 100, preview) != 0)
                    break;
                std::uint32_t start = 0, length = 0;
                for (const NRFTIFFEntry& p : preview) {
                    if (p.tag == kPreviewStart && !whole.Unsigned(p, 0, start))
                        start = 0;
                    else if (p.tag == kPreviewLength && !whole.Unsigned(p, 0, length))
                        length = 0;
                }
                if (start != 0)
                    note.TakeJPEG(note.tiffBase + start, length, EXIFEmbeddedKind::Preview);
            }
            break;
        default:
            break;
        }
    }
}

} // namespace

void EXIFParseSamsungMakerNote(EXIFMakerNote& note) {
    if (note.StartsWith(note.pos, "STMN", 4))
        parseSTMN(note);
    else
        parseIFD(note);
}
