#include "NRF/NRFBasicTIFF.h"

#include "support/FileIO.h"

#include <algorithm>
#include <cstring>

// ---- Byte sources

NRFFileByteSource::NRFFileByteSource(lumo::File& file, std::size_t window)
    : m_file(file), m_window(std::clamp<std::size_t>(window, 4096, kWindow)) {
    if (!file.isOpen() || file.size(m_size) != 0)
        m_size = 0;
}

bool NRFFileByteSource::readFile(std::uint64_t offset, void* buffer, std::size_t size) {
    std::size_t got = 0;
    ++m_readCalls;
    return m_file.readAt(buffer, size, offset, got) == 0 && got == size;
}

bool NRFFileByteSource::ReadAt(std::uint64_t offset, void* buffer, std::size_t size) {
    if (offset > m_size || size > m_size - offset)
        return false;
    if (size == 0)
        return true;
    for (Window& w : m_windows)
        if (w.length != 0 && offset >= w.start && offset + size <= w.start + w.length) {
            std::memcpy(buffer, w.bytes.data() + (offset - w.start), size);
            w.lastUse = ++m_clock;
            return true;
        }
    if (size > m_window / 2)
        return readFile(offset, buffer, size);
    // The least recently used window moves to cover the read, starting a little before it: a TIFF
    // walk often steps back to values stored just ahead of the IFD that points at them.
    Window& w = m_windows[0].lastUse <= m_windows[1].lastUse ? m_windows[0] : m_windows[1];
    const std::uint64_t back = m_window / 16;
    const std::uint64_t start = offset > back ? (offset - back) & ~std::uint64_t{511} : 0;
    const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(m_window, m_size - start));
    w.bytes.resize(m_window);
    w.length = 0;
    if (!readFile(start, w.bytes.data(), length))
        return false;
    w.start = start;
    w.length = length;
    w.lastUse = ++m_clock;
    std::memcpy(buffer, w.bytes.data() + (offset - start), size);
    return true;
}

bool NRFMemoryByteSource::ReadAt(std::uint64_t offset, void* buffer, std::size_t size) {
    if (offset > m_size || size > m_size - offset)
        return false;
    if (size != 0)
        std::memcpy(buffer, m_data + offset, size);
    return true;
}

// ---- TIFF structure

std::uint32_t NRFTIFFTypeSize(std::uint16_t type) {
    switch (type) {
    case kTIFFByte:
    case kTIFFAscii:
    case kTIFFSByte:
    case kTIFFUndefined:
        return 1;
    case kTIFFShort:
    case kTIFFSShort:
        return 2;
    case kTIFFLong:
    case kTIFFSLong:
    case kTIFFFloat:
    case kTIFFIFD:
        return 4;
    case kTIFFRational:
    case kTIFFSRational:
    case kTIFFDouble:
        return 8;
    default:
        return 0;
    }
}

bool NRFBasicTIFF::ReadHeader(std::initializer_list<std::uint16_t> otherMagics) {
    unsigned char h[8];
    if (!Read(m_base, h, sizeof h))
        return false;
    if (h[0] == 'I' && h[1] == 'I')
        m_bigEndian = false;
    else if (h[0] == 'M' && h[1] == 'M')
        m_bigEndian = true;
    else
        return false;
    m_magic = U16(h + 2);
    if (m_magic != 42 && std::find(otherMagics.begin(), otherMagics.end(), m_magic) == otherMagics.end())
        return false;
    m_ifd0 = U32(h + 4);
    return true;
}

bool NRFBasicTIFF::ReadU16(std::uint64_t pos, std::uint16_t& out) {
    unsigned char b[2];
    if (!Read(pos, b, 2))
        return false;
    out = U16(b);
    return true;
}

bool NRFBasicTIFF::ReadU32(std::uint64_t pos, std::uint32_t& out) {
    unsigned char b[4];
    if (!Read(pos, b, 4))
        return false;
    out = U32(b);
    return true;
}

NRFErr NRFBasicTIFF::ReadIFD(std::uint32_t offset, unsigned maxEntries, std::vector<NRFTIFFEntry>& entries,
                             std::uint32_t* next) {
    entries.clear();
    if (next)
        *next = 0;
    const std::uint64_t pos = m_base + offset;
    std::uint16_t count = 0;
    if (!ReadU16(pos, count))
        return 9;
    if (count > maxEntries)
        return 8195;
    std::vector<unsigned char> raw(std::size_t{count} * 12u);
    if (!Read(pos + 2, raw.data(), raw.size()))
        return 9;
    entries.reserve(count);
    for (unsigned i = 0; i < count; ++i) {
        const unsigned char* e = raw.data() + i * 12u;
        NRFTIFFEntry entry;
        entry.tag = U16(e);
        entry.type = U16(e + 2);
        entry.count = U32(e + 4);
        entry.value = U32(e + 8);
        entry.entryPos = pos + 2 + 12u * i;
        entry.byteSize = std::uint64_t{entry.count} * NRFTIFFTypeSize(entry.type);
        entry.valuePos = entry.inLine() ? entry.entryPos + 8 : m_base + entry.value;
        entries.push_back(entry);
    }
    if (next) {
        std::uint32_t n = 0;
        *next = ReadU32(pos + 2 + raw.size(), n) ? n : 0;
    }
    return 0;
}

bool NRFBasicTIFF::IsMalformed(const NRFTIFFEntry& entry) const {
    if (NRFTIFFTypeSize(entry.type) == 0 || entry.inLine())
        return false;
    const std::uint64_t size = FileSize();
    return entry.valuePos >= size || entry.byteSize > size - entry.valuePos;
}

bool NRFBasicTIFF::ValueBytes(const NRFTIFFEntry& entry, std::string& out, std::size_t maxBytes) {
    const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(entry.byteSize, maxBytes));
    out.assign(size, '\0');
    return Read(entry.valuePos, out.data(), size);
}

bool NRFBasicTIFF::Unsigned(const NRFTIFFEntry& entry, std::uint32_t index, std::uint32_t& out) {
    if (index >= entry.count)
        return false;
    const std::uint32_t width = NRFTIFFTypeSize(entry.type);
    unsigned char b[4];
    switch (entry.type) {
    case kTIFFByte:
    case kTIFFUndefined:
    case kTIFFShort:
    case kTIFFLong:
    case kTIFFIFD:
    case kTIFFSByte:
    case kTIFFSShort:
    case kTIFFSLong:
        break;
    default:
        return false;
    }
    if (!Read(entry.valuePos + std::uint64_t{index} * width, b, width))
        return false;
    switch (entry.type) {
    case kTIFFByte:
    case kTIFFUndefined:
        out = b[0];
        return true;
    case kTIFFShort:
        out = U16(b);
        return true;
    case kTIFFSByte:
        out = b[0];
        return b[0] < 0x80;
    case kTIFFSShort:
        out = U16(b);
        return out < 0x8000;
    case kTIFFSLong:
        out = U32(b);
        return out < 0x80000000u;
    default:
        out = U32(b);
        return true;
    }
}

bool NRFBasicTIFF::Real(const NRFTIFFEntry& entry, std::uint32_t index, double& out) {
    if (index >= entry.count)
        return false;
    const std::uint64_t pos = entry.valuePos + std::uint64_t{index} * NRFTIFFTypeSize(entry.type);
    unsigned char b[8];
    switch (entry.type) {
    case kTIFFRational:
    case kTIFFSRational: {
        if (!Read(pos, b, 8))
            return false;
        const std::uint32_t num = U32(b), den = U32(b + 4);
        if (den == 0)
            return false;
        out = entry.type == kTIFFRational
                  ? static_cast<double>(num) / den
                  : static_cast<double>(static_cast<std::int32_t>(num)) / static_cast<std::int32_t>(den);
        return true;
    }
    case kTIFFFloat: {
        if (!Read(pos, b, 4))
            return false;
        const std::uint32_t bits = U32(b);
        float f;
        std::memcpy(&f, &bits, 4);
        out = f;
        return out == out; // not a NaN
    }
    case kTIFFDouble: {
        if (!Read(pos, b, 8))
            return false;
        const std::uint64_t bits = m_bigEndian ? (std::uint64_t{U32(b)} << 32) | U32(b + 4)
                                               : (std::uint64_t{U32(b + 4)} << 32) | U32(b);
        std::memcpy(&out, &bits, 8);
        return out == out;
    }
    default: {
        std::uint32_t n = 0;
        if (!Unsigned(entry, index, n))
            return false;
        out = n;
        return true;
    }
    }
}

bool NRFBasicTIFF::Ascii(const NRFTIFFEntry& entry, std::string& out, std::size_t maxLength) {
    if (entry.type != kTIFFAscii || entry.count == 0)
        return false;
    if (!ValueBytes(entry, out, maxLength))
        return false;
    out.resize(std::strlen(out.c_str()));
    return true;
}

// ---- JPEG streams inside TIFF structures

namespace {

// Calls `segment(marker, position, length)` for each marker segment after SOI until it answers false,
// SOS or EOI is reached or the stream ends. False when the stream does not start with SOI or a marker
// is malformed before the walk was stopped.
template <typename Segment>
bool walkJPEG(NRFByteSource& source, std::uint64_t offset, std::uint64_t length, Segment&& segment) {
    const std::uint64_t end = length ? std::min(source.Size(), offset + length) : source.Size();
    unsigned char b[4];
    if (!source.ReadAt(offset, b, 2) || b[0] != 0xFF || b[1] != 0xD8)
        return false;
    std::uint64_t pos = offset + 2;
    for (int markers = 0; markers < 1000 && pos + 4 <= end; ++markers) {
        if (!source.ReadAt(pos, b, 4) || b[0] != 0xFF)
            return false;
        if (b[1] == 0xFF) { // fill byte
            ++pos;
            continue;
        }
        if (b[1] == 0xD9 || b[1] == 0xDA || b[1] == 0xD8)
            return false;
        const unsigned segmentLength = (b[2] << 8) | b[3];
        if (segmentLength < 2 || pos + 2 + segmentLength > end)
            return false;
        if (!segment(b[1], pos, segmentLength))
            return true;
        pos += 2 + segmentLength;
    }
    return false;
}

} // namespace

bool NRFReadJPEGSize(NRFByteSource& source, std::uint64_t offset, std::uint64_t length, std::uint32_t& width,
                     std::uint32_t& height) {
    bool found = false;
    const bool ok = walkJPEG(source, offset, length, [&](unsigned marker, std::uint64_t pos, unsigned len) {
        if (marker < 0xC0 || marker > 0xCF || marker == 0xC4 || marker == 0xC8 || marker == 0xCC)
            return true;
        unsigned char sof[6];
        if (len >= 8 && source.ReadAt(pos + 4, sof, sizeof sof)) {
            height = (sof[1] << 8) | sof[2];
            width = (sof[3] << 8) | sof[4];
            found = width != 0 && height != 0;
        }
        return false;
    });
    return ok && found;
}

bool NRFFindJPEGExif(NRFByteSource& source, std::uint64_t offset, std::uint64_t length,
                     std::uint64_t& tiffPos, std::uint64_t& tiffLength) {
    bool found = false;
    walkJPEG(source, offset, length, [&](unsigned marker, std::uint64_t pos, unsigned len) {
        if (marker != 0xE1 || len < 2 + 6 + 8)
            return true;
        unsigned char id[6];
        if (!source.ReadAt(pos + 4, id, sizeof id) || std::memcmp(id, "Exif\0\0", 6) != 0)
            return true;
        tiffPos = pos + 10;
        tiffLength = len - 8;
        found = true;
        return false;
    });
    return found;
}
