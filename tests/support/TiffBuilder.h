#pragma once

// Builds TIFF structures byte by byte so that a test states exactly what a reader sees: either byte
// order, any entry type and count, IFD chains, child IFDs, data blobs at reported offsets, and the
// faults a reader must survive (offsets past the end, overflowing counts, loops, truncation).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace lumo::test {

enum class ByteOrder { Little, Big };

enum class TiffType : uint16_t {
    Byte = 1,
    Ascii = 2,
    Short = 3,
    Long = 4,
    Rational = 5,
    SByte = 6,
    Undefined = 7,
    SShort = 8,
    SLong = 9,
    SRational = 10,
    Float = 11,
    Double = 12,
    Ifd = 13,
};

// Bytes one value of the type takes (0 for unknown types).
size_t tiffTypeSize(TiffType type);

class TiffBuilder;

// One IFD. Entries are written sorted by tag (stably) unless keepOrder() is called; values of up to
// four bytes go in line, larger ones after the IFD at even offsets. Returned references stay valid for
// the builder's lifetime.
class TiffIfd {
public:
    // Typed entries; the count is the number of values (ASCII: the text plus its NUL).
    TiffIfd& add(uint16_t tag, const std::string& ascii);
    TiffIfd& addAscii(uint16_t tag, const std::string& ascii) { return add(tag, ascii); }
    TiffIfd& addByte(uint16_t tag, std::vector<uint8_t> values);
    TiffIfd& addUndefined(uint16_t tag, const std::string& bytes);
    TiffIfd& addShort(uint16_t tag, uint16_t value) { return addShorts(tag, {value}); }
    TiffIfd& addShorts(uint16_t tag, const std::vector<uint16_t>& values);
    TiffIfd& addLong(uint16_t tag, uint32_t value) { return addLongs(tag, {value}); }
    TiffIfd& addLongs(uint16_t tag, const std::vector<uint32_t>& values);
    TiffIfd& addRational(uint16_t tag, uint32_t num, uint32_t den) { return addRationals(tag, {{num, den}}); }
    TiffIfd& addRationals(uint16_t tag, const std::vector<std::pair<uint32_t, uint32_t>>& values);
    TiffIfd& addSByte(uint16_t tag, std::vector<int8_t> values);
    TiffIfd& addSShort(uint16_t tag, int16_t value);
    TiffIfd& addSLong(uint16_t tag, int32_t value);
    TiffIfd& addSRational(uint16_t tag, int32_t num, int32_t den) { return addSRationals(tag, {{num, den}}); }
    TiffIfd& addSRationals(uint16_t tag, const std::vector<std::pair<int32_t, int32_t>>& values);
    TiffIfd& addFloat(uint16_t tag, float value);
    TiffIfd& addDouble(uint16_t tag, double value);

    // Any type with its values given as raw element bytes in the file's byte order (the caller's
    // responsibility); placed in line or out of line by size. For types the builder does not know.
    TiffIfd& addRaw(uint16_t tag, uint16_t type, uint32_t count, const std::string& valueBytes);
    // An entry written verbatim: the 4-byte value field holds valueOrOffset whatever type and count
    // say. States faults exactly: an offset past the end, a count whose byte size overflows.
    TiffIfd& addEntry(uint16_t tag, TiffType type, uint32_t count, uint32_t valueOrOffset);
    // An out-of-line entry whose offset lies `beyond` bytes past the end of the built TIFF data.
    TiffIfd& addPastEnd(uint16_t tag, TiffType type, uint32_t count, uint32_t beyond = 0);

    // A child IFD (EXIF 0x8769, GPS 0x8825, interoperability 0xA005): the entry holds its offset.
    TiffIfd& subIfd(uint16_t tag, TiffType type = TiffType::Long);
    // SubIFDs (0x014A) with n children; the entry holds their n offsets.
    std::vector<TiffIfd*> subIfds(size_t n, uint16_t tag = 0x014A);
    // An entry pointing at an IFD that exists already (a loop back to a parent, say).
    TiffIfd& pointTo(uint16_t tag, const TiffIfd& target, TiffType type = TiffType::Long);

    // A blob of bytes placed after all IFDs; offsetTag (LONG) holds its offset, lengthTag (LONG,
    // unless 0) its length. E.g. 0x0201/0x0202 for a JPEG thumbnail, 0x0111/0x0117 for a strip.
    // Returns the blob's id for TiffBuilder::blobPosition.
    size_t addBlob(uint16_t offsetTag, uint16_t lengthTag, const std::string& bytes);

    // The next IFD in the chain (created on first call).
    TiffIfd& next();
    // Faults in the chain: the next-IFD offset points at an existing IFD, or is written verbatim.
    TiffIfd& linkNext(const TiffIfd& target);
    TiffIfd& setNextOffset(uint32_t offset);
    // Writes this entry count instead of the real one.
    TiffIfd& declareCount(uint16_t count);
    TiffIfd& keepOrder();

private:
    friend class TiffBuilder;
    enum class Kind { Values, Verbatim, PastEnd, IfdPointers, BlobPointer };
    struct Entry {
        uint16_t tag = 0;
        uint16_t type = 0;
        uint32_t count = 0;
        Kind kind = Kind::Values;
        std::vector<std::pair<uint8_t, uint64_t>> units; // (byte width, value), encoded at build time
        std::string rawBytes;                            // addRaw: already encoded
        uint32_t field = 0;                              // Verbatim value; PastEnd distance
        std::vector<const TiffIfd*> targets;             // IfdPointers
        size_t blob = 0;                                 // BlobPointer
        uint32_t dataOffset = 0;                         // out-of-line position, set by layout
    };

    explicit TiffIfd(TiffBuilder& owner) : m_owner(owner) {}
    TiffIfd& addUnits(uint16_t tag, TiffType type, uint32_t count,
                      std::vector<std::pair<uint8_t, uint64_t>> units);
    size_t byteSize(const Entry& e) const;

    TiffBuilder& m_owner;
    std::vector<Entry> m_entries;
    TiffIfd* m_next = nullptr;
    const TiffIfd* m_nextLink = nullptr;
    bool m_hasNextOffset = false;
    uint32_t m_nextOffset = 0;
    bool m_hasDeclaredCount = false;
    uint16_t m_declaredCount = 0;
    bool m_keepOrder = false;
    uint32_t m_offset = 0; // relative to the TIFF header, set by layout
};

class TiffBuilder {
public:
    explicit TiffBuilder(ByteOrder order = ByteOrder::Little);
    ~TiffBuilder();
    TiffBuilder(const TiffBuilder&) = delete;
    TiffBuilder& operator=(const TiffBuilder&) = delete;

    // IFD0.
    TiffIfd& ifd() { return *m_ifds.front(); }

    // Header variations: bytes before the header (e.g. "Exif\0\0"; offsets stay relative to the
    // header), another magic than 42 (raws that change it), bytes between the 8-byte header and IFD0
    // (a 16-byte raw header), a verbatim IFD0 offset.
    TiffBuilder& setPrefix(const std::string& bytes);
    TiffBuilder& setMagic(uint16_t magic);
    TiffBuilder& setHeaderTail(const std::string& bytes);
    TiffBuilder& setIfd0Offset(uint32_t offset);
    // Cuts the built bytes to this length (a truncated file).
    TiffBuilder& truncateTo(size_t length);

    std::string build();

    // After build(): positions in the built bytes (prefix included).
    size_t base() const { return m_prefix.size(); }
    size_t ifdPosition(const TiffIfd& ifd) const { return base() + ifd.m_offset; }
    // Position of the 12-byte entry with this tag (the first one); npos when absent.
    size_t entryPosition(const TiffIfd& ifd, uint16_t tag) const;
    size_t blobPosition(size_t blob) const { return base() + m_blobs.at(blob).second; }
    size_t blobLength(size_t blob) const { return m_blobs.at(blob).first.size(); }

    ByteOrder order() const { return m_order; }
    // Encodes an integer of `width` bytes in this builder's byte order.
    std::string encode(uint64_t value, size_t width) const;

private:
    friend class TiffIfd;
    TiffIfd& newIfd();
    std::vector<const TiffIfd::Entry*> orderedEntries(const TiffIfd& ifd) const;

    ByteOrder m_order;
    std::vector<std::unique_ptr<TiffIfd>> m_ifds;          // in layout order
    std::vector<std::pair<std::string, uint32_t>> m_blobs; // bytes, offset
    std::string m_prefix;
    std::string m_headerTail;
    uint16_t m_magic = 42;
    bool m_hasIfd0Offset = false;
    uint32_t m_ifd0Offset = 0;
    size_t m_truncateTo = std::string::npos;
};

} // namespace lumo::test
