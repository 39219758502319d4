#pragma once

// Box walking for the ISO base media files the engine reads (CR3 raws, HEIF/HEIC images, QuickTime and
// MPEG-4 movies). A box is a 32-bit big-endian size and a four-character type; size 1 puts a 64-bit
// size after the type, size 0 runs the box to the end of its parent (the file, at the top level), sizes
// 2 to 7 are invalid. Every box is checked against its parent and the source; nothing here trusts a size
// from the file.

#include <array>
#include <cstdint>
#include <functional>
#include <string>

class NRFByteSource;

using NRFErr = std::uint32_t;

// A four-character box type as a big-endian number: NRFBMFFType("moov").
constexpr std::uint32_t NRFBMFFType(const char* code) { // four characters
    return (static_cast<std::uint32_t>(static_cast<unsigned char>(code[0])) << 24) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(code[1])) << 16) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(code[2])) << 8) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(code[3]));
}
// The type's four characters, non-printable ones as '?'.
std::string NRFBMFFTypeString(std::uint32_t type);

struct NRFBMFFBox {
    std::uint32_t type = 0;
    std::uint64_t start = 0;      // file position of the size word
    std::uint64_t headerSize = 0; // 8, or 16 with a 64-bit size
    std::uint64_t size = 0;       // the whole box, header included (size 0 resolved)
    // A "uuid" box's 16-byte identifier (the first 16 payload bytes); zero otherwise.
    std::array<std::uint8_t, 16> uuid{};
    bool hasUUID = false;
    // The types of the enclosing boxes, each preceded by '|': "|moov|trak" for a box inside a track,
    // empty at the top level.
    std::string path;
    int depth = 0; // 0 at the top level

    std::uint64_t payload() const { return start + headerSize; }
    std::uint64_t payloadSize() const { return size - headerSize; }
    std::uint64_t end() const { return start + size; }
    bool is(const char* code) const { return type == NRFBMFFType(code); }
    bool isUUID(const std::array<std::uint8_t, 16>& id) const { return hasUUID && uuid == id; }
    // The box's own path for its children: path + "|" + type.
    std::string childPath() const { return path + "|" + NRFBMFFTypeString(type); }
};

// What a walk does with each box: 0 goes on to the next sibling, anything else stops the walk and is
// its result. A visitor that wants a box's children calls WalkChildren from inside.
using NRFBMFFVisitor = std::function<NRFErr(const NRFBMFFBox& box)>;

class NRFBMFFWalker {
public:
    static constexpr int kMaxDepth = 8; // containers nested deeper are error 10

    explicit NRFBMFFWalker(NRFByteSource& source) : m_source(source) {}

    // Reads the box header at `pos` inside a parent that ends at `parentEnd`: 0; 10 for a size of 2 to
    // 7, a box that does not fit inside its parent or the source, or a 64-bit size beyond 2^63; 5 when
    // the header cannot be read. `path` and `depth` are copied into the box.
    NRFErr ReadHeader(std::uint64_t pos, std::uint64_t parentEnd, const std::string& path, int depth,
                      NRFBMFFBox& box);

    // Visits the boxes from `begin` to `end` (clipped to the source) at the top level. Fewer than 8
    // bytes left at the end of the range end the walk quietly. Returns the first non-zero answer of the
    // visitor or of a header read.
    NRFErr Walk(std::uint64_t begin, std::uint64_t end, const NRFBMFFVisitor& visit);
    // Visits the children of `box`, starting `skip` bytes into its payload (a full box's version and
    // flags, "stsd"'s entry count, a "uuid" box's identifier). 10 when the children would lie deeper
    // than kMaxDepth or `skip` runs past the box.
    NRFErr WalkChildren(const NRFBMFFBox& box, std::uint64_t skip, const NRFBMFFVisitor& visit);

    NRFByteSource& Source() { return m_source; }

    // Big-endian reads at a file position; false when any byte lies outside the source.
    bool ReadU8(std::uint64_t pos, std::uint8_t& out);
    bool ReadU16(std::uint64_t pos, std::uint16_t& out);
    bool ReadU32(std::uint64_t pos, std::uint32_t& out);
    bool ReadU64(std::uint64_t pos, std::uint64_t& out);
    // An unsigned big-endian number of `bytes` bytes (0, 1, 2, 4 or 8; 0 reads nothing and gives 0).
    bool ReadUInt(std::uint64_t pos, unsigned bytes, std::uint64_t& out);
    // `size` bytes at `pos`, refusing more than `limit` (a guard against sizes taken from the file).
    bool ReadBytes(std::uint64_t pos, std::uint64_t size, std::string& out, std::uint64_t limit = 16u << 20);

private:
    NRFErr walkRange(std::uint64_t begin, std::uint64_t end, const std::string& path, int depth,
                     const NRFBMFFVisitor& visit);

    NRFByteSource& m_source;
};

// The file type box at the start of the source: the major brand and the compatible brands. False when
// the source does not begin with a readable "ftyp" box.
struct NRFBMFFFileType {
    std::uint32_t majorBrand = 0, minorVersion = 0;
    std::uint32_t compatible[16]{};
    int compatibleCount = 0;

    bool hasBrand(const char* brand) const;
};
bool NRFReadBMFFFileType(NRFByteSource& source, NRFBMFFFileType& out);
