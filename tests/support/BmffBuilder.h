#pragma once

// Builds ISO base media files (HEIF, CR3, movies) box by box. A box's content is a sequence of raw
// big-endian fields and child boxes in the order added; sizes are computed at build time unless a
// test forces one (64-bit, to the end of file, or a deliberately wrong value). Positions of other
// boxes can be written as fields (iloc extents, co64 chunk offsets) and are filled in after layout.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace lumo::test {

class BmffBox {
public:
    // Child boxes.
    BmffBox& box(const std::string& type);
    BmffBox& fullBox(const std::string& type, uint8_t version, uint32_t flags = 0);
    // A "uuid" box; uuid as 32 hex digits, dashes allowed ("85c0b687-820f-11e0-8111-f4ce462b6a48").
    BmffBox& uuidBox(const std::string& uuid);

    // Fields, big-endian, appended to the content.
    BmffBox& u8(uint8_t v);
    BmffBox& u16(uint16_t v);
    BmffBox& u32(uint32_t v);
    BmffBox& u64(uint64_t v);
    BmffBox& bytes(const std::string& b);
    BmffBox& cstr(const std::string& s) { return bytes(s + std::string(1, '\0')); }
    // A field of `width` bytes (4 or 8) holding the file position of target's payload (after its
    // header) plus delta.
    BmffBox& positionOf(const BmffBox& target, uint64_t delta = 0, int width = 4);
    // A field holding target's payload size (its total size minus its header).
    BmffBox& payloadSizeOf(const BmffBox& target, int width = 4);

    // Size variants: a 64-bit size (size field 1, header 16 bytes), size 0 (box runs to the end of
    // the file), or a verbatim 32-bit size field (faults: smaller than the header, past the end).
    BmffBox& largeSize();
    BmffBox& sizeToEnd();
    BmffBox& declareSize(uint32_t size);

    const std::string& type() const { return m_type; }

private:
    friend class BmffBuilder;
    struct Item {
        std::string bytes;               // raw field
        std::unique_ptr<BmffBox> child;  // or a child box
        const BmffBox* target = nullptr; // or a position/size fixup
        uint64_t delta = 0;
        int width = 0;
        bool wantSize = false;
    };
    explicit BmffBox(std::string type) : m_type(std::move(type)) {}
    size_t headerSize() const;
    size_t layout(size_t position); // returns the total size
    void write(std::string& out) const;

    std::string m_type;
    std::string m_uuid; // 16 bytes for "uuid" boxes
    std::vector<Item> m_items;
    bool m_large = false, m_toEnd = false, m_hasDeclared = false;
    uint32_t m_declared = 0;
    size_t m_position = 0, m_size = 0;
};

class BmffBuilder {
public:
    BmffBuilder();
    ~BmffBuilder();

    // A top-level box.
    BmffBox& box(const std::string& type);
    BmffBox& fullBox(const std::string& type, uint8_t version, uint32_t flags = 0);
    BmffBox& uuidBox(const std::string& uuid);
    // "ftyp": major brand, minor version, compatible brands.
    BmffBox& ftyp(const std::string& major, uint32_t minor, const std::vector<std::string>& compatible);
    // Bytes after the last box (trailing garbage).
    BmffBuilder& appendBytes(const std::string& b);
    BmffBuilder& truncateTo(size_t length);

    std::string build();

    // After build(): the box's file position (its size field) and its payload position.
    static size_t position(const BmffBox& b) { return b.m_position; }
    static size_t payloadPosition(const BmffBox& b) { return b.m_position + b.headerSize(); }
    static size_t size(const BmffBox& b) { return b.m_size; }

private:
    BmffBox m_root; // holds the top-level boxes; never written itself
    std::string m_tail;
    size_t m_truncateTo = std::string::npos;
};

// Plain layouts of the boxes HEIF and CR3 tests need, added as children of `parent`. Each returns the
// new box so a test can append to or adjust it.
namespace bmff {
BmffBox& hdlr(BmffBox& parent, const std::string& handler); // "pict", "vide", ...
BmffBox& pitm(BmffBox& parent, uint16_t itemId);
BmffBox& iinf(BmffBox& parent, uint16_t entryCount); // add infe children to it
// infe version 2: id, protection 0, type ("Exif", "hvc1", "mime"), empty name, and for "mime" the
// content type.
BmffBox& infe(BmffBox& iinf, uint16_t itemId, const std::string& itemType,
              const std::string& contentType = {});
struct IlocExtent {
    uint16_t itemId;
    const BmffBox* data; // extent offset = data's payload position + offset
    uint32_t offset;
    uint32_t length;
};
// iloc version 0, offset and length sizes 4, no base offset, one extent per item.
BmffBox& iloc(BmffBox& parent, const std::vector<IlocExtent>& items);
// One entry of iloc version 1: construction method (0 file offsets, 1 inside "idat", 2 inside another
// item), data reference index and extents. An extent with `data` lies at that box's payload position
// + offset; one without holds the offset as given (into "idat", or into the item its index names).
struct IlocEntry {
    struct Extent {
        const BmffBox* data;
        uint32_t offset;
        uint32_t length; // 0: to the end of the data
        uint32_t index = 0;
    };
    uint16_t itemId;
    uint16_t method = 0;
    uint16_t dataReference = 0;
    std::vector<Extent> extents;
};
// iloc version 1, offset, length and index sizes 4, no base offset.
BmffBox& ilocV1(BmffBox& parent, const std::vector<IlocEntry>& entries);
BmffBox& ispe(BmffBox& parent, uint32_t width, uint32_t height);
// A minimal HEVC configuration (Main profile, 4:2:0, 8 bits, 4-byte lengths, no parameter sets): enough
// for libheif to accept an "hvc1" item, not to decode it.
BmffBox& hvcC(BmffBox& parent);
// ipma version 0, flags 0: (item, [property index | 0x80 when essential]).
BmffBox& ipma(BmffBox& parent, const std::vector<std::pair<uint16_t, std::vector<uint8_t>>>& items);
// tkhd version 0: track id, width and height (16.16 fixed point).
BmffBox& tkhd(BmffBox& parent, uint32_t trackId, uint32_t width = 0, uint32_t height = 0);
BmffBox& stsz(BmffBox& parent, const std::vector<uint32_t>& sizes);
// co64 with one chunk at data's payload position + offset.
BmffBox& co64(BmffBox& parent, const BmffBox& data, uint64_t offset = 0);
} // namespace bmff

} // namespace lumo::test
