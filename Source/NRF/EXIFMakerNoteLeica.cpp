#include "NRF/EXIFMakerNotes.h"

#include "NRF/NRFImageInfo.h"

#include <cstdio>
#include <limits>
#include <string>
#include <string_view>

// Leica maker notes begin "LEICA" and hold an IFD in the EXIF byte order:
//   "LEICA\0\0\0"                M8: IFD at note + 8; serial (LONG) and lens number in line;
//   "LEICA\0" + model + "\0"     X1, X2, X Vario, T, Q, SL, CL: IFD at note + 8, lens name 0x0303 and
//                                serial 0x0305 (the Q, SL and CL count offsets from the TIFF header,
//                                the others from the note);
//   "LEICA\0\x02\xff"           S2, M (Typ 240) and later: IFD at note + 8, lens name 0x0303, offsets
//                                from the TIFF header;
//   "LEICA CAMERA AG\0"          the compacts made with Panasonic: IFD at note + 18, lens name 0x0051.

namespace {

enum class LeicaLayout { M8, X, S, Compact };

} // namespace

void EXIFParseLeicaMakerNote(EXIFMakerNote& note) {
    unsigned char head[8];
    if (!note.note.ReadAt(note.pos, head, sizeof head))
        return;
    LeicaLayout layout;
    std::uint64_t base = note.tiffBase, ifdPos = note.pos + 8;
    if (note.StartsWith(note.pos, "LEICA CAMERA AG\0", 16)) {
        layout = LeicaLayout::Compact;
        ifdPos = note.pos + 18;
    } else if (!note.StartsWith(note.pos, "LEICA\0", 6)) {
        return;
    } else if (head[6] == 0 && head[7] == 0) {
        layout = LeicaLayout::M8;
    } else if (head[6] == 2 && head[7] == 0xFF) {
        layout = LeicaLayout::S;
    } else if (head[7] == 0 &&
               std::string_view("\x01\x04\x05\x06\x07\x08\x09\x10\x1a").find(static_cast<char>(head[6])) !=
                   std::string_view::npos) {
        layout = LeicaLayout::X;
        if (head[6] != 8 && head[6] != 9)
            base = note.pos;
    } else {
        return;
    }
    if (ifdPos < base || ifdPos - base > std::numeric_limits<std::uint32_t>::max())
        return;
    NRFBasicTIFF tiff(note.note, base);
    tiff.SetBigEndian(note.tiffBigEndian);
    std::vector<NRFTIFFEntry> entries;
    if (note.ReadIFD(tiff, static_cast<std::uint32_t>(ifdPos - base), entries) != 0)
        return;

    NRFImageInfoRec& r = note.record;
    std::string text;
    const auto lens = [&](const NRFTIFFEntry& e) {
        if (e.type == kTIFFAscii && note.Text(tiff, e, text, 64) && r.m_lensModel.empty())
            r.m_lensModel = text;
    };
    const auto serial = [&](const NRFTIFFEntry& e, const char* format) {
        std::uint32_t n = 0;
        if (e.type == kTIFFLong && tiff.Unsigned(e, 0, n) && n != 0 && r.m_bodySerial.empty()) {
            char digits[16];
            std::snprintf(digits, sizeof digits, format, n);
            r.m_bodySerial = digits;
        }
    };
    for (const NRFTIFFEntry& e : entries) {
        std::uint32_t n = 0;
        switch (layout) {
        case LeicaLayout::M8:
            if (e.tag == 0x0300 && tiff.Unsigned(e, 0, n) && (n == 1 || n == 2) && r.m_quality.empty())
                r.m_quality = n == 1 ? "Fine" : "Basic";
            else if (e.tag == 0x0303)
                serial(e, "%07u");
            else if (e.tag == 0x0310 && e.type == kTIFFLong && tiff.Unsigned(e, 0, n) && (n >> 2) != 0)
                r.m_lensTypeNumber = n >> 2; // the low two bits are the frame selector's position
            break;
        case LeicaLayout::X:
            if (e.tag == 0x0303)
                lens(e);
            else if (e.tag == 0x0305)
                serial(e, "%u");
            break;
        case LeicaLayout::S:
            if (e.tag == 0x0303)
                lens(e);
            break;
        case LeicaLayout::Compact:
            if (e.tag == 0x0051)
                lens(e);
            break;
        }
    }
}
