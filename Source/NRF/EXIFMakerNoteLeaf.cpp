#include "NRF/EXIFMakerNotes.h"

#include "NRF/NRFImageInfo.h"

#include <cstring>
#include <string>

// Leaf backs write two kinds of maker data, both read here:
// - the catalogue of IFD0 tag 34310: records of "PKTS", a 4-byte version, a 40-byte NUL-padded name, a
//   32-bit size (big-endian) and that many bytes of data; a record's data may itself be a catalogue;
// - the EXIF maker note of the newer backs: "IIII" + 4 bytes (or "MMMM" + 4), the offset of a table
//   (from the note's start) holding a 32-bit count, 4 unused bytes and 16-byte entries: tag, format,
//   size and the value itself when it fits in 4 bytes, else its offset from the note's start.

namespace {

constexpr std::size_t kRecordHeader = 52;
constexpr int kMaxDepth = 4;

void setIfEmpty(std::string& field, const std::string& value) {
    if (field.empty() && !value.empty())
        field = value;
}

std::string trimmed(std::string text) {
    text.resize(std::strlen(text.c_str()));
    while (!text.empty() && (text.back() == ' ' || text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

void walkCatalogue(EXIFMakerNote& note, std::uint64_t pos, std::uint64_t end, int depth) {
    NRFBasicTIFF tiff(note.note);
    tiff.SetBigEndian(true);
    while (pos <= end && end - pos >= kRecordHeader) {
        unsigned char header[kRecordHeader];
        if (!note.note.ReadAt(pos, header, sizeof header) || std::memcmp(header, "PKTS", 4) != 0)
            return;
        const std::uint32_t size = tiff.U32(header + 48);
        pos += kRecordHeader;
        if (size > end - pos)
            return;
        const std::string name(reinterpret_cast<const char*>(header + 8),
                               strnlen(reinterpret_cast<const char*>(header + 8), 40));
        if (name == "back_serial_number" && size <= 256) {
            std::string value(size, '\0');
            if (note.note.ReadAt(pos, value.data(), size)) {
                value = trimmed(value);
                setIfEmpty(note.record.m_bodySerial, value.substr(0, value.find(' ')));
            }
        } else if (name == "JPEG_preview_data") {
            note.TakeJPEG(pos, size, EXIFEmbeddedKind::Preview);
        } else if (depth < kMaxDepth && size >= kRecordHeader && note.StartsWith(pos, "PKTS", 4)) {
            walkCatalogue(note, pos, pos + size, depth + 1);
        }
        pos += size;
    }
}

void readBackNote(EXIFMakerNote& note) {
    NRFBasicTIFF tiff(note.note, note.pos);
    tiff.SetBigEndian(note.StartsWith(note.pos, "MMMM", 4));
    std::uint32_t tableOffset = 0, count = 0;
    if (!tiff.ReadU32(note.pos + 8, tableOffset) || !tiff.ReadU32(note.pos + tableOffset, count))
        return;
    if (count < 2 || count > 300)
        return;
    const std::uint64_t first = note.pos + tableOffset + 8;
    NRFImageInfoRec& r = note.record;
    for (std::uint32_t i = 0; i < count; ++i) {
        unsigned char entry[16];
        if (!note.note.ReadAt(first + 16ull * i, entry, sizeof entry))
            return;
        const std::uint32_t tag = tiff.U32(entry), size = tiff.U32(entry + 8);
        if (tag != 0x0102 && tag != 0x0301 && tag != 0x0412)
            continue;
        if (size <= 4 || size > 256)
            continue;
        std::string value(size, '\0');
        if (!note.note.ReadAt(note.pos + tiff.U32(entry + 12), value.data(), size))
            continue;
        value = trimmed(value);
        if (tag == 0x0102) {
            setIfEmpty(r.m_bodySerial, value);
        } else if (tag == 0x0412) {
            setIfEmpty(r.m_lensModel, value);
        } else if (const std::size_t at = value.find("Firmware: "); at != std::string::npos) {
            // "<back>, Factory Firmware: 1.01.4"
            setIfEmpty(r.m_firmware, value.substr(at + 10));
        }
    }
}

} // namespace

void EXIFParseLeafCatalogue(EXIFMakerNote& note) {
    if (note.StartsWith(note.pos, "PKTS", 4))
        walkCatalogue(note, note.pos, note.pos + note.length, 0);
    else if (note.StartsWith(note.pos, "IIII", 4) || note.StartsWith(note.pos, "MMMM", 4))
        readBackNote(note);
}
