#pragma once

// TIFF structure reading shared by every reader that meets a TIFF header: TIFF files, the
// TIFF-structured raws, and the EXIF blocks inside JPEG, HEIF and CR3 files. Every read is checked
// against the size of its source; nothing here trusts an offset or a count from the file.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace lumo {
class File;
}

using NRFErr = std::uint32_t;

// Bytes with a known size: an open file or a block in memory.
class NRFByteSource {
public:
    virtual ~NRFByteSource() = default;
    virtual std::uint64_t Size() const = 0;
    // Exactly `size` bytes at `offset`; false when any of them lies outside the source or the read
    // fails.
    virtual bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size) = 0;
};

// An open file read through two 64 KiB windows, so that the many small reads of a TIFF walk cost a
// few system calls. The file's size is taken once, when the source is made.
class NRFFileByteSource : public NRFByteSource {
public:
    // `window` bytes are read at a time (at most 64 KiB); a quick look at a header wants less.
    explicit NRFFileByteSource(lumo::File& file, std::size_t window = kWindow);
    std::uint64_t Size() const override { return m_size; }
    bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size) override;
    // System reads made so far (for tests and benchmarks).
    unsigned ReadCalls() const { return m_readCalls; }

    static constexpr std::size_t kWindow = 64 * 1024;

private:
    struct Window {
        std::uint64_t start = 0;
        std::size_t length = 0;
        std::vector<unsigned char> bytes;
        unsigned lastUse = 0;
    };
    bool readFile(std::uint64_t offset, void* buffer, std::size_t size);

    lumo::File& m_file;
    std::uint64_t m_size = 0;
    std::size_t m_window;
    Window m_windows[2];
    unsigned m_clock = 0, m_readCalls = 0;
};

// A block of bytes in memory (an EXIF segment, a fuzzer's input). The bytes must outlive the source.
class NRFMemoryByteSource : public NRFByteSource {
public:
    NRFMemoryByteSource(const void* data, std::size_t size)
        : m_data(static_cast<const unsigned char*>(data)), m_size(size) {}
    std::uint64_t Size() const override { return m_size; }
    bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size) override;

private:
    const unsigned char* m_data;
    std::size_t m_size;
};

// A part of another source, seen as a source of its own (the TIFF preview inside an EPS file):
// reads cannot leave it.
class NRFWindowByteSource : public NRFByteSource {
public:
    NRFWindowByteSource(NRFByteSource& inner, std::uint64_t offset, std::uint64_t length)
        : m_inner(inner), m_offset(std::min(offset, inner.Size())),
          m_length(std::min(length, inner.Size() - m_offset)) {}
    std::uint64_t Size() const override { return m_length; }
    bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size) override {
        if (offset > m_length || size > m_length - offset)
            return false;
        return m_inner.ReadAt(m_offset + offset, buffer, size);
    }

private:
    NRFByteSource& m_inner;
    std::uint64_t m_offset, m_length;
};

enum NRFTIFFType : std::uint16_t {
    kTIFFByte = 1,
    kTIFFAscii = 2,
    kTIFFShort = 3,
    kTIFFLong = 4,
    kTIFFRational = 5,
    kTIFFSByte = 6,
    kTIFFUndefined = 7,
    kTIFFSShort = 8,
    kTIFFSLong = 9,
    kTIFFSRational = 10,
    kTIFFFloat = 11,
    kTIFFDouble = 12,
    kTIFFIFD = 13,
};

// Bytes one value of the type takes; 0 for types 0 and above 13.
std::uint32_t NRFTIFFTypeSize(std::uint16_t type);

// One 12-byte IFD entry as read.
struct NRFTIFFEntry {
    std::uint16_t tag = 0, type = 0;
    std::uint32_t count = 0;
    std::uint32_t value = 0;    // the value-or-offset word in the file's byte order
    std::uint64_t entryPos = 0; // file position of the entry
    std::uint64_t byteSize = 0; // count × the type's size (0 for unknown types)
    std::uint64_t valuePos = 0; // file position of the value: in the entry, or base + offset

    bool inLine() const { return byteSize <= 4; }
};

class NRFBasicTIFF {
public:
    // `base` is the file position of the TIFF header; every offset inside the structure is relative
    // to it.
    explicit NRFBasicTIFF(NRFByteSource& source, std::uint64_t base = 0) : m_source(source), m_base(base) {}

    // Reads the 8-byte header: "II" or "MM", the magic number (42, or one of `otherMagics` that some
    // raws put in its place) and the offset of IFD0. False for anything else or a short read.
    bool ReadHeader(std::initializer_list<std::uint16_t> otherMagics = {});
    bool BigEndian() const { return m_bigEndian; }
    void SetBigEndian(bool bigEndian) { m_bigEndian = bigEndian; }
    std::uint16_t Magic() const { return m_magic; }
    std::uint32_t IFD0Offset() const { return m_ifd0; }
    std::uint64_t Base() const { return m_base; }
    std::uint64_t FileSize() const { return m_source.Size(); }
    NRFByteSource& Source() { return m_source; }

    // Reads the IFD at `offset` (relative to the base): 0, 8195 when it declares more than
    // `maxEntries` entries, 9 when its count or entries cannot be read. `next` receives the offset of
    // the next IFD (0 when it cannot be read).
    NRFErr ReadIFD(std::uint32_t offset, unsigned maxEntries, std::vector<NRFTIFFEntry>& entries,
                   std::uint32_t* next = nullptr);

    // An entry whose value lies out of line at or beyond the end of the file, or runs past it. Types 0
    // and above 13 never are.
    bool IsMalformed(const NRFTIFFEntry& entry) const;

    // Reads at a file position (not relative to the base).
    bool Read(std::uint64_t pos, void* buffer, std::size_t size) {
        return m_source.ReadAt(pos, buffer, size);
    }
    // The entry's value bytes (at most `maxBytes` of them).
    bool ValueBytes(const NRFTIFFEntry& entry, std::string& out, std::size_t maxBytes = 1 << 20);

    // Element `index` of a BYTE, SHORT, LONG or IFD value (SBYTE, SSHORT and SLONG when non-negative).
    bool Unsigned(const NRFTIFFEntry& entry, std::uint32_t index, std::uint32_t& out);
    // Element `index` of a RATIONAL or SRATIONAL (false for a zero denominator), FLOAT or DOUBLE value.
    bool Real(const NRFTIFFEntry& entry, std::uint32_t index, double& out);
    // An ASCII value up to its first NUL, at most `maxLength` characters.
    bool Ascii(const NRFTIFFEntry& entry, std::string& out, std::size_t maxLength = 65535);

    std::uint16_t U16(const unsigned char* p) const {
        return static_cast<std::uint16_t>(m_bigEndian ? (p[0] << 8) | p[1] : (p[1] << 8) | p[0]);
    }
    std::uint32_t U32(const unsigned char* p) const {
        const std::uint32_t b0 = p[0], b1 = p[1], b2 = p[2], b3 = p[3];
        return m_bigEndian ? (b0 << 24) | (b1 << 16) | (b2 << 8) | b3
                           : (b3 << 24) | (b2 << 16) | (b1 << 8) | b0;
    }
    bool ReadU16(std::uint64_t pos, std::uint16_t& out);
    bool ReadU32(std::uint64_t pos, std::uint32_t& out);

private:
    NRFByteSource& m_source;
    std::uint64_t m_base;
    bool m_bigEndian = false;
    std::uint16_t m_magic = 0;
    std::uint32_t m_ifd0 = 0;
};

// A JPEG stream's size from its SOF marker: the stream must begin with SOI at `offset`; the markers are
// walked (within `length` bytes when it is not 0) up to the first SOFn. False when there is none or a
// marker is malformed.
bool NRFReadJPEGSize(NRFByteSource& source, std::uint64_t offset, std::uint64_t length, std::uint32_t& width,
                     std::uint32_t& height);

// The TIFF header of the EXIF APP1 segment of a JPEG stream at `offset` (within `length` bytes when not
// 0): its file position and the bytes from there to the end of the segment. False when there is none.
bool NRFFindJPEGExif(NRFByteSource& source, std::uint64_t offset, std::uint64_t length,
                     std::uint64_t& tiffPos, std::uint64_t& tiffLength);
