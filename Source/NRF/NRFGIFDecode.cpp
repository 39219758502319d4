// GIF pixels: the first image of the file, decoded into colour indexes and laid on the logical screen.
// The blocks before it are walked with every length checked against the file; a Graphic Control
// Extension before the image gives the transparent index. The LZW stream is read from the image's
// sub-blocks with codes of up to 12 bits; once the table is full, codes go on without new entries until
// the encoder sends a clear code. A stream that stops short keeps the rows it gave.

#include "NRF/NRFDecode.h"
#include "app/LumoLog.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace {

constexpr unsigned kMaxBlocks = 1u << 22; // sub-blocks and extensions walked before the image
constexpr int kMaxCodeBits = 12;
constexpr unsigned kTableSize = 1u << kMaxCodeBits;

std::uint16_t le16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

// The first image's descriptor and what came with it.
struct GifImage {
    std::uint32_t left = 0, top = 0, width = 0, height = 0;
    bool interlaced = false;
    std::array<std::uint8_t, 768> palette{};
    unsigned paletteEntries = 0;
    int transparent = -1;
    std::uint64_t dataPos = 0; // the minimum code size byte
};

// The bytes of the image data's sub-blocks, one after another, as a bit stream read from the low bit.
class SubBlockBits {
public:
    SubBlockBits(NRFByteSource& source, std::uint64_t pos) : m_source(source), m_pos(pos) {}

    // The next `bits`-bit code; false when the sub-blocks end (or the file does) first.
    bool Read(int bits, unsigned& code) {
        while (m_count < bits) {
            if (m_at == m_length && !nextBlock())
                return false;
            m_bits |= std::uint32_t{m_block[m_at++]} << m_count;
            m_count += 8;
        }
        code = m_bits & ((1u << bits) - 1);
        m_bits >>= bits;
        m_count -= bits;
        return true;
    }
    bool ReadFailed() const { return m_readFailed; }

private:
    bool nextBlock() {
        if (m_ended)
            return false;
        const std::uint64_t size = m_source.Size();
        unsigned char length = 0;
        bool read = m_source.ReadAt(m_pos, &length, 1);
        if (read && length != 0)
            read = m_source.ReadAt(m_pos + 1, m_block.data(), length);
        if (!read || length == 0) {
            // A read that fails inside the file is a failing source, not a short one.
            m_readFailed = !read && m_pos < size && std::uint64_t{length} < size - m_pos;
            m_ended = true;
            return false;
        }
        m_pos += 1 + std::uint64_t{length};
        m_at = 0;
        m_length = length;
        return true;
    }

    NRFByteSource& m_source;
    std::uint64_t m_pos;
    std::array<unsigned char, 255> m_block{};
    unsigned m_at = 0, m_length = 0;
    std::uint32_t m_bits = 0;
    int m_count = 0;
    bool m_ended = false, m_readFailed = false;
};

// Walks the blocks after the header up to the first image descriptor. 0, 5 or 9.
NRFErr findImage(NRFByteSource& source, std::uint64_t pos, const std::uint8_t* globalPalette,
                 unsigned globalEntries, GifImage& image) {
    const std::uint64_t size = source.Size();
    int transparent = -1;
    for (unsigned blocks = 0; blocks < kMaxBlocks; ++blocks) {
        unsigned char introducer = 0;
        if (!source.ReadAt(pos, &introducer, 1))
            return pos < size ? 5 : 9;
        if (introducer == 0x2C) {
            unsigned char d[9];
            if (!source.ReadAt(pos + 1, d, sizeof d))
                return 9;
            image.left = le16(d);
            image.top = le16(d + 2);
            image.width = le16(d + 4);
            image.height = le16(d + 6);
            image.interlaced = (d[8] & 0x40) != 0;
            image.transparent = transparent;
            pos += 10;
            if (d[8] & 0x80) {
                image.paletteEntries = 2u << (d[8] & 7);
                if (!source.ReadAt(pos, image.palette.data(), 3 * image.paletteEntries))
                    return 9;
                pos += 3 * image.paletteEntries;
            } else {
                image.paletteEntries = globalEntries;
                std::copy_n(globalPalette, 3 * globalEntries, image.palette.begin());
            }
            image.dataPos = pos;
            return 0;
        }
        if (introducer != 0x21)
            return 9; // the trailer or something that is no block: there is no image
        unsigned char label = 0;
        if (!source.ReadAt(pos + 1, &label, 1))
            return 9;
        pos += 2;
        bool first = true;
        for (;; ++blocks) {
            if (blocks >= kMaxBlocks)
                return 9;
            unsigned char block[256];
            if (!source.ReadAt(pos, block, 1))
                return 9;
            const unsigned length = block[0];
            if (length == 0) {
                ++pos;
                break;
            }
            if (!source.ReadAt(pos + 1, block + 1, length))
                return 9;
            if (first && label == 0xF9 && length >= 4)
                transparent = (block[1] & 1) ? block[4] : -1;
            first = false;
            pos += 1 + std::uint64_t{length};
        }
    }
    return 9;
}

// The image row that the `row`-th row of the stream fills.
std::uint32_t imageRow(std::uint32_t row, std::uint32_t height, bool interlaced) {
    if (!interlaced)
        return row;
    const std::uint32_t pass1 = (height + 7) / 8, pass2 = (height + 3) / 8, pass3 = (height + 1) / 4;
    if (row < pass1)
        return row * 8;
    row -= pass1;
    if (row < pass2)
        return 4 + row * 8;
    row -= pass2;
    if (row < pass3)
        return 2 + row * 4;
    return 1 + (row - pass3) * 2;
}

// The LZW table: each code is a prefix code plus one last index; its length and first index are kept
// so that a string is written back to front without a walk to find its length.
struct LzwTable {
    std::array<std::uint16_t, kTableSize> prefix{};
    std::array<std::uint16_t, kTableSize> length{};
    std::array<std::uint8_t, kTableSize> last{};
    std::array<std::uint8_t, kTableSize> first{};
};

enum class LzwEnd { Complete, Short, Bad, ReadFailed };

// Decodes the stream into `indexes` (stream order) up to `total` indexes; `done` is how many it gave.
LzwEnd decodeLzw(SubBlockBits& bits, int minCodeSize, std::uint64_t total, std::vector<std::uint8_t>& indexes,
                 std::uint64_t& done) {
    auto table = std::make_unique<LzwTable>();
    const unsigned clear = 1u << minCodeSize, end = clear + 1;
    for (unsigned c = 0; c < clear; ++c) {
        table->length[c] = 1;
        table->last[c] = table->first[c] = static_cast<std::uint8_t>(c);
    }
    unsigned next = clear + 2;
    int codeBits = minCodeSize + 1;
    int prev = -1;
    done = 0;
    const auto write = [&](unsigned code) {
        const std::uint64_t length = table->length[code];
        if (done + length > indexes.size()) {
            const std::uint64_t grown = std::min<std::uint64_t>(
                total + kTableSize, std::max<std::uint64_t>(indexes.size() * 2, done + length));
            indexes.resize(grown);
        }
        std::uint64_t at = done + length;
        for (unsigned c = code;;) {
            indexes[--at] = table->last[c];
            if (table->length[c] == 1)
                break;
            c = table->prefix[c];
        }
        done += length;
    };
    while (done < total) {
        unsigned code = 0;
        if (!bits.Read(codeBits, code))
            return bits.ReadFailed() ? LzwEnd::ReadFailed : LzwEnd::Short;
        if (code == clear) {
            next = clear + 2;
            codeBits = minCodeSize + 1;
            prev = -1;
            continue;
        }
        if (code == end)
            return LzwEnd::Short;
        if (prev < 0) {
            if (code >= clear)
                return LzwEnd::Bad;
            write(code);
            prev = static_cast<int>(code);
            continue;
        }
        if (code > next || (code == next && next >= kTableSize))
            return LzwEnd::Bad;
        const auto p = static_cast<unsigned>(prev);
        // A code not yet in the table is the previous string plus its own first index.
        const std::uint8_t firstIndex = code < next ? table->first[code] : table->first[p];
        if (next < kTableSize) {
            table->prefix[next] = static_cast<std::uint16_t>(p);
            table->length[next] = static_cast<std::uint16_t>(table->length[p] + 1);
            table->first[next] = table->first[p];
            table->last[next] = firstIndex;
            ++next;
            if (next == (1u << codeBits) && codeBits < kMaxCodeBits)
                ++codeBits;
        }
        write(code);
        prev = static_cast<int>(code);
    }
    return LzwEnd::Complete;
}

constexpr std::uint64_t kLzwTableSize = 4096;
constexpr std::uint64_t kMaxPixelsPerLzwByte = 4096 * 8 / 12;
constexpr std::uint64_t kPlainScreenPixels = std::uint64_t{16} << 20;
constexpr std::uint64_t kScreenToImage = 16;

NRFErr decode(NRFByteSource& source, const NRFDecodeOptions& options, NRFBitmapBase& out) {
    unsigned char header[13];
    if (!source.ReadAt(0, header, sizeof header) ||
        (std::memcmp(header, "GIF87a", 6) != 0 && std::memcmp(header, "GIF89a", 6) != 0))
        return 9;
    std::uint32_t screenWidth = le16(header + 6), screenHeight = le16(header + 8);
    std::array<std::uint8_t, 768> globalPalette{};
    unsigned globalEntries = 0;
    std::uint64_t pos = sizeof header;
    if (header[10] & 0x80) {
        globalEntries = 2u << (header[10] & 7);
        if (!source.ReadAt(pos, globalPalette.data(), 3 * globalEntries))
            return 9;
        pos += 3 * globalEntries;
    }
    GifImage image;
    if (NRFErr err = findImage(source, pos, globalPalette.data(), globalEntries, image))
        return err;
    if (image.width == 0 || image.height == 0)
        return 9;
    if (screenWidth == 0 || screenHeight == 0) {
        screenWidth = image.width;
        screenHeight = image.height;
    }
    const std::uint64_t total = std::uint64_t{image.width} * image.height;
    const std::uint64_t screen = std::uint64_t{screenWidth} * screenHeight;
    if (total > options.maxPixels || screen > options.maxPixels)
        return 7;
    // What the bytes can hold, checked before any work: an LZW code stands for at most 4096 pixels and
    // takes at least 12 bits once the table is full, and a screen far larger than its first image is
    // nothing but background that no encoder writes. A few bytes declaring millions of pixels are
    // damage, not a picture to spend seconds on.
    const std::uint64_t dataBytes = source.Size() > image.dataPos ? source.Size() - image.dataPos : 0;
    if (total > kMaxPixelsPerLzwByte * dataBytes + kLzwTableSize ||
        (screen > kPlainScreenPixels && screen > kScreenToImage * total)) {
        LUMO_LOG("NRFDecodeGIF() a %u x %u image on a %u x %u screen cannot come from %llu bytes of data",
                 image.width, image.height, screenWidth, screenHeight,
                 static_cast<unsigned long long>(dataBytes));
        return 9;
    }

    // Held at once: every index of the image (interlaced rows arrive out of order), where each row
    // starts, a screen row and the reduced screen.
    const std::uint32_t factor = NRFReductionFactor(screenWidth, screenHeight, options.size);
    if (NRFErr err =
            NRFCheckDecodeMemory("NRFDecodeGIF",
                                 total + std::uint64_t{image.height} * 8 + std::uint64_t{screenWidth} * 3 +
                                     NRFReducedBytes(screenWidth, screenHeight, 3, factor),
                                 options.maxBytes))
        return err;

    unsigned char minCodeSize = 0;
    if (!source.ReadAt(image.dataPos, &minCodeSize, 1) || minCodeSize < 2 || minCodeSize > 8)
        return 9;
    // The buffer grows with what the stream gives, so a short file never costs the declared size.
    std::vector<std::uint8_t> indexes(std::min<std::uint64_t>(total, std::uint64_t{1} << 20));
    std::uint64_t done = 0;
    SubBlockBits bits(source, image.dataPos + 1);
    const LzwEnd end = decodeLzw(bits, minCodeSize, total, indexes, done);
    done = std::min(done, total);
    if (end == LzwEnd::Bad) {
        LUMO_LOG("NRFDecodeGIF() image data holds a code beyond the table");
        return 9;
    }
    if (end == LzwEnd::ReadFailed && done < total)
        return 5;
    if (done < image.width) {
        LUMO_LOG("NRFDecodeGIF() image data ends before the first row");
        return 9;
    }
    if (done < total)
        LUMO_LOG("NRFDecodeGIF() image data ends after %llu of %u rows; the rest is left white",
                 static_cast<unsigned long long>(done / image.width), image.height);

    // Where each image row's indexes start in the stream, or none when the stream did not reach it.
    std::vector<std::int64_t> rowStart(image.height, -1);
    for (std::uint32_t r = 0; r < image.height; ++r) {
        const std::uint32_t y = imageRow(r, image.height, image.interlaced);
        if (y < image.height && std::uint64_t{r} * image.width < done)
            rowStart[y] = static_cast<std::int64_t>(std::uint64_t{r} * image.width);
    }

    NRFRowReducer reducer;
    if (NRFErr err = reducer.Start(screenWidth, screenHeight, 3, factor, out))
        return err;
    std::vector<std::uint8_t> row(std::size_t{screenWidth} * 3);
    const std::uint32_t xEnd = std::min<std::uint64_t>(screenWidth, std::uint64_t{image.left} + image.width);
    for (std::uint32_t y = 0; y < screenHeight; ++y) {
        std::fill(row.begin(), row.end(), std::uint8_t{255});
        if (y >= image.top && y - image.top < image.height && rowStart[y - image.top] >= 0) {
            const auto start = static_cast<std::uint64_t>(rowStart[y - image.top]);
            for (std::uint32_t x = image.left; x < xEnd; ++x) {
                const std::uint64_t i = start + (x - image.left);
                if (i >= done)
                    break;
                const unsigned index = indexes[i];
                if (static_cast<int>(index) == image.transparent)
                    continue;
                std::uint8_t* p = &row[std::size_t{x} * 3];
                if (index < image.paletteEntries)
                    std::copy_n(&image.palette[index * 3], 3, p);
                else
                    p[0] = p[1] = p[2] = 0;
            }
        }
        reducer.AddRow(row.data());
    }
    reducer.Finish();
    return 0;
}

} // namespace

NRFErr NRFDecodeGIF(NRFByteSource& source, const NRFDecodeOptions& options, NRFBitmapBase& out) {
    return NRFRunDecoder("NRFDecodeGIF", out, &decode, source, options);
}
