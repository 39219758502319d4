// Windows Bitmap pixels: the core (12-byte) and the Windows info headers of 40 to 124 bytes, the OS/2
// 2.x header of 64 bytes; palette depths 1, 4 and 8, 16 and 32 bits through bit masks, 24 bits; the
// run-length encodings of 8 and 4 bits. Rows are handed to the reducer top to bottom whichever way the
// file stores them; the run-length encodings paint an index plane first, since their rows arrive bottom
// up and may be skipped by the delta escape.

#include "NRF/NRFDecode.h"
#include "app/LumoLog.h"

#include <array>
#include <cstring>
#include <new>

namespace {

constexpr std::uint32_t kRGB = 0, kRLE8 = 1, kRLE4 = 2, kBitFields = 3, kJPEG = 4, kPNG = 5,
                        kAlphaBitFields = 6;

std::uint32_t le16(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0] | (p[1] << 8));
}
std::uint32_t le32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

// 9 when the bytes lie outside the source, 5 when the read itself fails.
NRFErr readAt(NRFByteSource& source, std::uint64_t offset, void* buffer, std::size_t size) {
    if (offset > source.Size() || size > source.Size() - offset)
        return 9;
    return source.ReadAt(offset, buffer, size) ? 0 : 5;
}

// One colour mask: where it starts and how many bits it holds. A zero mask gives 0 for its channel.
struct Mask {
    std::uint32_t mask = 0;
    int shift = 0, bits = 0;

    // False for a mask whose bits are not one contiguous run.
    bool Set(std::uint32_t value) {
        mask = value;
        shift = bits = 0;
        if (value == 0)
            return true;
        while (!(value & 1)) {
            value >>= 1;
            ++shift;
        }
        while (value & 1) {
            value >>= 1;
            ++bits;
        }
        return value == 0;
    }
    std::uint32_t Get(std::uint32_t pixel) const {
        if (bits == 0)
            return 0;
        const std::uint32_t v = (pixel & mask) >> shift;
        if (bits >= 8)
            return v >> (bits - 8);
        const std::uint32_t max = (1u << bits) - 1;
        return (v * 255 + max / 2) / max;
    }
};

// The value of a colour channel laid over white with the alpha `a`.
std::uint8_t overWhite(std::uint32_t c, std::uint32_t a) {
    return static_cast<std::uint8_t>((c * a + 255 * (255 - a) + 127) / 255);
}

struct Header {
    std::uint64_t dataOffset = 0;
    std::uint32_t width = 0, height = 0;
    bool topDown = false;
    std::uint32_t bits = 0, compression = kRGB;
    Mask red, green, blue, alpha;
    bool useMasks = false;                                  // 16 and 32 bits: pixels go through the masks
    std::array<std::array<std::uint8_t, 3>, 256> palette{}; // RGB, black where the file gives none
    std::uint32_t paletteSize = 0;
    bool grey = false; // every palette entry is grey
};

NRFErr readHeader(NRFByteSource& source, Header& h) {
    std::uint8_t file[18];
    if (NRFErr err = readAt(source, 0, file, sizeof file))
        return err;
    if (file[0] != 'B' || file[1] != 'M')
        return 9;
    h.dataOffset = le32(file + 10);
    const std::uint32_t infoSize = le32(file + 14);
    if (infoSize != 12 && infoSize != 40 && infoSize != 52 && infoSize != 56 && infoSize != 64 &&
        infoSize != 108 && infoSize != 124)
        return 9;
    std::uint8_t info[124] = {};
    if (NRFErr err = readAt(source, 14, info, infoSize))
        return err;
    std::uint64_t next = 14 + std::uint64_t{infoSize}; // where the masks or the palette follow
    std::uint32_t clrUsed = 0, entrySize = 4;
    if (infoSize == 12) {
        h.width = le16(info + 4);
        h.height = le16(info + 6);
        h.bits = le16(info + 10);
        entrySize = 3;
    } else {
        const auto width = static_cast<std::int32_t>(le32(info + 4));
        const auto height = static_cast<std::int32_t>(le32(info + 8));
        if (width <= 0 || height == 0)
            return 9;
        h.width = static_cast<std::uint32_t>(width);
        h.topDown = height < 0;
        h.height = h.topDown ? static_cast<std::uint32_t>(-std::int64_t{height})
                             : static_cast<std::uint32_t>(height);
        h.bits = le16(info + 14);
        h.compression = le32(info + 16);
        clrUsed = le32(info + 32);
        if (infoSize == 64) {
            // OS/2 2.x: 3 is Huffman coding and 4 the 24-bit run-length encoding, neither handled.
            if (h.compression == 3 || h.compression == 4)
                return 3;
        }
    }
    if (h.width == 0 || h.height == 0)
        return 9;
    if (h.compression == kJPEG || h.compression == kPNG)
        return 3;
    if (h.compression > kAlphaBitFields)
        return 3;
    switch (h.bits) {
    case 1:
    case 4:
    case 8:
    case 16:
    case 24:
    case 32:
        break;
    default:
        return 3;
    }
    if ((h.compression == kRLE8 && h.bits != 8) || (h.compression == kRLE4 && h.bits != 4))
        return 9;
    if ((h.compression == kRLE8 || h.compression == kRLE4) && h.topDown)
        return 9;
    if ((h.compression == kBitFields || h.compression == kAlphaBitFields) && h.bits != 16 && h.bits != 32)
        return 3;

    if (h.bits == 16 || h.bits == 32) {
        h.useMasks = true;
        std::uint32_t masks[4] = {0, 0, 0, 0};
        if (h.compression == kBitFields || h.compression == kAlphaBitFields) {
            if (infoSize >= 52) {
                for (int i = 0; i < 4; ++i)
                    masks[i] = (i < 3 || infoSize >= 56) ? le32(info + 40 + 4 * i) : 0;
            } else {
                // The masks follow a 40-byte header: three, or four with the alpha mask.
                const int count = h.compression == kAlphaBitFields ? 4 : 3;
                std::uint8_t bytes[16];
                if (NRFErr err = readAt(source, next, bytes, 4 * static_cast<std::size_t>(count)))
                    return err;
                for (int i = 0; i < count; ++i)
                    masks[i] = le32(bytes + 4 * i);
                next += 4 * static_cast<std::uint64_t>(count);
            }
        } else if (h.bits == 16) {
            masks[0] = 0x7C00;
            masks[1] = 0x03E0;
            masks[2] = 0x001F;
        } else {
            masks[0] = 0xFF0000;
            masks[1] = 0x00FF00;
            masks[2] = 0x0000FF;
        }
        if (h.bits == 16)
            for (std::uint32_t& m : masks)
                m &= 0xFFFF;
        if (!h.red.Set(masks[0]) || !h.green.Set(masks[1]) || !h.blue.Set(masks[2]) || !h.alpha.Set(masks[3]))
            return 3;
    } else if (h.bits <= 8) {
        const std::uint32_t maxEntries = 1u << h.bits;
        h.paletteSize = (clrUsed == 0 || clrUsed > maxEntries) ? maxEntries : clrUsed;
        std::uint8_t bytes[256 * 4];
        // A palette cut by the start of the pixel data or the end of the file keeps what is there.
        std::uint64_t room = source.Size() > next ? source.Size() - next : 0;
        if (h.dataOffset > next)
            room = std::min(room, h.dataOffset - next);
        h.paletteSize = static_cast<std::uint32_t>(std::min<std::uint64_t>(h.paletteSize, room / entrySize));
        if (h.paletteSize == 0)
            return 9;
        if (NRFErr err = readAt(source, next, bytes, std::size_t{h.paletteSize} * entrySize))
            return err;
        h.grey = true; // indices past the palette give black, which is grey as well
        for (std::uint32_t i = 0; i < h.paletteSize; ++i) {
            const std::uint8_t* e = bytes + i * entrySize;
            h.palette[i] = {e[2], e[1], e[0]};
            if (e[0] != e[1] || e[1] != e[2])
                h.grey = false;
        }
        next += std::uint64_t{h.paletteSize} * entrySize;
    }
    if (h.dataOffset == 0)
        h.dataOffset = next;
    if (h.dataOffset < 14 + std::uint64_t{infoSize} || h.dataOffset >= source.Size())
        return 9;
    return 0;
}

// Turns one stored row (bits per pixel as in the header) into grey or RGB pixels.
void convertRow(const Header& h, const std::uint8_t* in, bool alphaUsed, std::uint8_t* out) {
    const std::uint32_t w = h.width;
    const auto putIndex = [&](std::uint32_t x, std::uint32_t index) {
        const auto& e = h.palette[index];
        if (h.grey)
            out[x] = e[0];
        else
            std::memcpy(out + 3 * x, e.data(), 3);
    };
    switch (h.bits) {
    case 1:
        for (std::uint32_t x = 0; x < w; ++x)
            putIndex(x, (in[x >> 3] >> (7 - (x & 7))) & 1);
        break;
    case 4:
        for (std::uint32_t x = 0; x < w; ++x)
            putIndex(x, (x & 1) ? (in[x >> 1] & 15) : (in[x >> 1] >> 4));
        break;
    case 8:
        for (std::uint32_t x = 0; x < w; ++x)
            putIndex(x, in[x]);
        break;
    case 24:
        for (std::uint32_t x = 0; x < w; ++x) {
            out[3 * x] = in[3 * x + 2];
            out[3 * x + 1] = in[3 * x + 1];
            out[3 * x + 2] = in[3 * x];
        }
        break;
    default: {
        const std::size_t step = h.bits / 8;
        for (std::uint32_t x = 0; x < w; ++x) {
            const std::uint8_t* p = in + x * step;
            const std::uint32_t pixel = step == 2 ? le16(p) : le32(p);
            std::uint32_t r = h.red.Get(pixel), g = h.green.Get(pixel), b = h.blue.Get(pixel);
            if (alphaUsed) {
                const std::uint32_t a = h.alpha.Get(pixel);
                r = overWhite(r, a);
                g = overWhite(g, a);
                b = overWhite(b, a);
            }
            out[3 * x] = static_cast<std::uint8_t>(r);
            out[3 * x + 1] = static_cast<std::uint8_t>(g);
            out[3 * x + 2] = static_cast<std::uint8_t>(b);
        }
        break;
    }
    }
}

// The uncompressed layouts, read in blocks of rows: from the start of the pixel data for top-down files,
// from its end backwards for bottom-up ones, so that every stored row is read once.
// The bytes the uncompressed layouts take: the last stored row may lack its padding.
std::uint64_t storedRowBytes(const Header& h) {
    return (std::uint64_t{h.width} * h.bits + 31) / 32 * 4;
}
std::uint64_t storedDataLength(const Header& h) {
    return storedRowBytes(h) * (h.height - 1) + (std::uint64_t{h.width} * h.bits + 7) / 8;
}

NRFErr decodeRows(NRFByteSource& source, const Header& h, NRFRowReducer& reducer, int channels) {
    const std::uint64_t rowBytes = storedRowBytes(h);
    const std::uint64_t dataLength = storedDataLength(h);
    if (dataLength > source.Size() - h.dataOffset)
        return 9;

    // Only an alpha mask with some alpha in the data lays the pixels over white: many writers leave
    // the fourth byte zero.
    bool alphaUsed = false;
    const std::uint32_t blockRows = static_cast<std::uint32_t>(
        std::clamp<std::uint64_t>((std::uint64_t{256} << 10) / rowBytes, 1, h.height));
    std::vector<std::uint8_t> block(static_cast<std::size_t>(rowBytes * blockRows));
    const auto readBlock = [&](std::uint32_t firstStored, std::uint32_t count) -> NRFErr {
        const std::uint64_t start = h.dataOffset + rowBytes * firstStored;
        const std::uint64_t end = std::min(h.dataOffset + dataLength, start + rowBytes * count);
        return readAt(source, start, block.data(), static_cast<std::size_t>(end - start));
    };
    if (h.useMasks && h.alpha.bits > 0) {
        for (std::uint32_t first = 0; first < h.height && !alphaUsed; first += blockRows) {
            const std::uint32_t count = std::min(blockRows, h.height - first);
            if (NRFErr err = readBlock(first, count))
                return err;
            for (std::uint32_t r = 0; r < count && !alphaUsed; ++r) {
                const std::uint8_t* row = block.data() + r * rowBytes;
                for (std::uint32_t x = 0; x < h.width; ++x) {
                    const std::uint8_t* p = row + x * (h.bits / 8);
                    if (h.alpha.Get(h.bits == 16 ? le16(p) : le32(p)) != 0) {
                        alphaUsed = true;
                        break;
                    }
                }
            }
        }
    }

    std::vector<std::uint8_t> outRow(std::size_t{h.width} * static_cast<std::size_t>(channels));
    for (std::uint32_t done = 0; done < h.height;) {
        const std::uint32_t count = std::min(blockRows, h.height - done);
        // Stored rows [first, first + count) hold the next `count` output rows.
        const std::uint32_t first = h.topDown ? done : h.height - done - count;
        if (NRFErr err = readBlock(first, count))
            return err;
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t r = h.topDown ? i : count - 1 - i;
            convertRow(h, block.data() + r * rowBytes, alphaUsed, outRow.data());
            reducer.AddRow(outRow.data());
        }
        done += count;
    }
    return 0;
}

// Bytes of the run-length stream, read ahead in chunks.
class StreamReader {
public:
    StreamReader(NRFByteSource& source, std::uint64_t start, std::uint64_t end)
        : m_source(source), m_pos(start), m_end(end) {}
    // False at the end of the data (m_error is then set when a read failed).
    bool Next(std::uint8_t& byte) {
        if (m_at == m_buffer.size()) {
            if (m_pos >= m_end)
                return false;
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, m_end - m_pos));
            m_buffer.resize(n);
            if (NRFErr err = readAt(m_source, m_pos, m_buffer.data(), n)) {
                m_error = err;
                m_buffer.clear();
                m_at = 0;
                m_pos = m_end;
                return false;
            }
            m_pos += n;
            m_at = 0;
        }
        byte = m_buffer[m_at++];
        return true;
    }
    NRFErr m_error = 0;

private:
    static constexpr std::size_t kChunk = 64 * 1024;
    NRFByteSource& m_source;
    std::uint64_t m_pos, m_end;
    std::vector<std::uint8_t> m_buffer;
    std::size_t m_at = 0;
};

// The run-length encodings: the stream paints an index plane (stored rows bottom up) in which pixels
// never painted stay white; the plane is then handed over top to bottom.
constexpr std::uint64_t kMaxRunLengthPixels = std::uint64_t{128} << 20;
constexpr std::uint64_t kPlainRunLengthPixels = std::uint64_t{16} << 20;
constexpr std::uint64_t kMaxRunLengthPixelsPerByte = 4096;

NRFErr decodeRLE(NRFByteSource& source, const Header& h, NRFRowReducer& reducer, int channels) {
    const std::size_t w = h.width;
    const std::size_t pixels = w * h.height;
    std::vector<std::uint8_t> index(pixels, 0);
    std::vector<std::uint8_t> painted((pixels + 7) / 8, 0);
    const bool four = h.compression == kRLE4;
    std::uint32_t x = 0, y = 0; // y counts stored rows from the bottom
    const auto paint = [&](std::uint32_t value) {
        if (x < w && y < h.height) {
            const std::size_t at = std::size_t{y} * w + x;
            index[at] = static_cast<std::uint8_t>(value);
            painted[at >> 3] |= static_cast<std::uint8_t>(1u << (at & 7));
        }
        ++x;
    };

    StreamReader in(source, h.dataOffset, source.Size());
    bool ended = false;
    std::uint8_t a = 0, b = 0;
    while (y < h.height) {
        if (!in.Next(a) || !in.Next(b))
            break;
        if (a > 0) {
            // A run of `a` pixels; four-bit runs alternate the two nibbles.
            const std::uint32_t hi = four ? (b >> 4) : b, lo = four ? (b & 15) : b;
            for (std::uint32_t i = 0; i < a && x <= w; ++i)
                paint((i & 1) ? lo : hi);
            continue;
        }
        if (b == 0) { // end of line
            x = 0;
            ++y;
        } else if (b == 1) { // end of bitmap
            ended = true;
            break;
        } else if (b == 2) { // delta: right and up
            std::uint8_t dx = 0, dy = 0;
            if (!in.Next(dx) || !in.Next(dy))
                break;
            x += dx;
            y += dy;
        } else { // `b` pixels stored as they are, padded to a 16-bit boundary
            const std::uint32_t bytes = four ? (b + 1u) / 2 : b;
            bool cut = false;
            for (std::uint32_t i = 0; i < bytes && !cut; ++i) {
                std::uint8_t v = 0;
                if (!in.Next(v)) {
                    cut = true;
                    break;
                }
                if (four) {
                    paint(v >> 4);
                    if (2 * i + 1 < b)
                        paint(v & 15);
                } else {
                    paint(v);
                }
            }
            std::uint8_t pad = 0;
            if (cut || ((bytes & 1) && !in.Next(pad)))
                break;
        }
        if (x > w + 256u * 256u) // a row walked far past its end by deltas and runs
            x = static_cast<std::uint32_t>(w);
    }
    if (in.m_error)
        return in.m_error;
    if (!ended && y < h.height)
        return 9;

    std::vector<std::uint8_t> outRow(w * static_cast<std::size_t>(channels));
    for (std::uint32_t row = 0; row < h.height; ++row) {
        const std::size_t base = std::size_t{h.height - 1 - row} * w;
        for (std::size_t i = 0; i < w; ++i) {
            const std::size_t at = base + i;
            const bool isPainted = painted[at >> 3] & (1u << (at & 7));
            if (channels == 1) {
                outRow[i] = isPainted ? h.palette[index[at]][0] : 255;
            } else if (isPainted) {
                std::memcpy(&outRow[3 * i], h.palette[index[at]].data(), 3);
            } else {
                std::memset(&outRow[3 * i], 255, 3);
            }
        }
        reducer.AddRow(outRow.data());
    }
    return 0;
}

NRFErr decode(NRFByteSource& source, const NRFDecodeOptions& options, NRFBitmapBase& out) {
    Header h;
    if (NRFErr err = readHeader(source, h))
        return err;
    if (std::uint64_t{h.width} * h.height > options.maxPixels)
        return 7;
    // A run-length image is painted into a plane of the whole image first; a few bytes of stream can
    // declare any size (the rest stays white), so those planes get a tighter limit.
    const bool runLength = h.compression == kRLE8 || h.compression == kRLE4;
    if (runLength && std::uint64_t{h.width} * h.height > kMaxRunLengthPixels)
        return 7;
    // An end-of-bitmap code leaves every pixel after it white, so two bytes may stand for any size: a
    // large plane must come with a stream that could paint a fair part of it.
    if (runLength && std::uint64_t{h.width} * h.height > kPlainRunLengthPixels &&
        std::uint64_t{h.width} * h.height / kMaxRunLengthPixelsPerByte > source.Size() - h.dataOffset) {
        LUMO_LOG("NRFDecodeBMP() a %u x %u run-length image cannot come from %llu bytes", h.width, h.height,
                 static_cast<unsigned long long>(source.Size() - h.dataOffset));
        return 9;
    }
    // Uncompressed rows must all be there before the picture is made.
    if (!runLength && storedDataLength(h) > source.Size() - h.dataOffset)
        return 9;
    const int channels = (h.bits <= 8 && h.grey) ? 1 : 3;
    const std::uint32_t factor = NRFReductionFactor(h.width, h.height, options.size);
    // Held at once: the reduced image, an output row, and a block of stored rows (at most 256 KiB or
    // one row), or for run-length images the plane of indexes and its painted bits.
    const std::uint64_t pixels = std::uint64_t{h.width} * h.height;
    std::uint64_t held = NRFReducedBytes(h.width, h.height, channels, factor) +
                         std::uint64_t{h.width} * static_cast<unsigned>(channels);
    held += runLength ? pixels + (pixels + 7) / 8
                      : std::max<std::uint64_t>(std::uint64_t{256} << 10,
                                                (std::uint64_t{h.width} * h.bits + 31) / 32 * 4);
    if (NRFErr err = NRFCheckDecodeMemory("NRFDecodeBMP", held, options.maxBytes))
        return err;
    NRFRowReducer reducer;
    if (NRFErr err = reducer.Start(h.width, h.height, channels, factor, out))
        return err;
    const NRFErr err =
        runLength ? decodeRLE(source, h, reducer, channels) : decodeRows(source, h, reducer, channels);
    if (err != 0)
        return err;
    return reducer.Finish() ? 0 : 9;
}

} // namespace

NRFErr NRFDecodeBMP(NRFByteSource& source, const NRFDecodeOptions& options, NRFBitmapBase& out) {
    return NRFRunDecoder("NRFDecodeBMP", out, &decode, source, options);
}
