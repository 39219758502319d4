// The merged image of Photoshop documents (PSD, and PSB with its wider lengths), and writing bitmaps as
// Photoshop files. The merged image follows the colour mode data, the image resources and the layer
// section; it is stored channel after channel (planar), raw or PackBits-compressed row by row with a
// table of every row's compressed length in front. Decoding streams one row at a time: each colour
// channel is read through a cursor of its own, so no channel plane is ever held whole.

#include "NRF/NRFDecode.h"

#include <array>
#include <cmath>
#include <cstring>
#include <new>
#include <optional>

namespace {

constexpr std::uint16_t kModeBitmap = 0, kModeGrey = 1, kModeIndexed = 2, kModeRGB = 3, kModeCMYK = 4,
                        kModeMultichannel = 7, kModeDuotone = 8, kModeLab = 9;

std::uint64_t be(const std::uint8_t* p, int width) {
    std::uint64_t v = 0;
    for (int i = 0; i < width; ++i)
        v = (v << 8) | p[i];
    return v;
}

// 9 when the bytes lie outside the source, 5 when the read itself fails.
NRFErr readAt(NRFByteSource& source, std::uint64_t offset, void* buffer, std::size_t size) {
    if (offset > source.Size() || size > source.Size() - offset)
        return 9;
    return source.ReadAt(offset, buffer, size) ? 0 : 5;
}

// Reads one channel's bytes in order, a chunk at a time.
class ChannelCursor {
public:
    ChannelCursor(NRFByteSource& source, std::uint64_t start) : m_source(&source), m_pos(start) {}
    // The next `size` bytes, valid until the next call; null after setting `err`.
    const std::uint8_t* Take(std::size_t size, NRFErr& err) {
        static const std::uint8_t kNothing = 0;
        if (size == 0)
            return &kNothing;
        if (m_buffer.size() - m_at < size) {
            // Keep what is left, then read ahead.
            const std::size_t left = m_buffer.size() - m_at;
            if (left > 0)
                std::memmove(m_buffer.data(), m_buffer.data() + m_at, left);
            const std::uint64_t total = m_source->Size();
            const std::uint64_t available = total > m_pos ? total - m_pos : 0;
            const std::size_t want =
                static_cast<std::size_t>(std::min<std::uint64_t>(std::max(size - left, kChunk), available));
            if (left + want < size) {
                err = 9;
                return nullptr;
            }
            m_buffer.resize(left + want);
            if (!m_source->ReadAt(m_pos, m_buffer.data() + left, want)) {
                err = 5;
                return nullptr;
            }
            m_pos += want;
            m_at = 0;
        }
        const std::uint8_t* p = m_buffer.data() + m_at;
        m_at += size;
        return p;
    }

private:
    static constexpr std::size_t kChunk = 64 * 1024;
    NRFByteSource* m_source;
    std::uint64_t m_pos;
    std::vector<std::uint8_t> m_buffer;
    std::size_t m_at = 0;
};

// PackBits: a header byte n below 128 copies n + 1 bytes, above 128 repeats the next byte 257 - n
// times, 128 is skipped. Output past `outSize` is dropped and what the data does not fill stays zero.
void unpackBits(const std::uint8_t* in, std::size_t inSize, std::uint8_t* out, std::size_t outSize) {
    std::size_t i = 0, o = 0;
    std::memset(out, 0, outSize);
    while (i < inSize && o < outSize) {
        const std::uint8_t n = in[i++];
        if (n < 128) {
            const std::size_t count = std::min<std::size_t>({std::size_t{n} + 1, inSize - i, outSize - o});
            std::memcpy(out + o, in + i, count);
            i += std::size_t{n} + 1;
            o += count;
        } else if (n > 128) {
            if (i >= inSize)
                break;
            const std::size_t count = std::min<std::size_t>(257 - std::size_t{n}, outSize - o);
            std::memset(out + o, in[i++], count);
            o += count;
        }
    }
}

// Lab (D50, the document's white) to 8-bit sRGB, through the Bradford-adapted matrix to D65.
class LabToSRGB {
public:
    LabToSRGB() {
        for (std::size_t i = 0; i < m_gamma.size(); ++i) {
            const double v = static_cast<double>(i) / (m_gamma.size() - 1);
            const double s = v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1.0 / 2.4) - 0.055;
            m_gamma[i] = static_cast<std::uint8_t>(std::lround(std::clamp(s, 0.0, 1.0) * 255.0));
        }
    }
    void Convert(double L, double a, double b, std::uint8_t* rgb) const {
        const double fy = (L + 16.0) / 116.0, fx = fy + a / 500.0, fz = fy - b / 200.0;
        const auto inv = [](double t) {
            return t > 6.0 / 29.0 ? t * t * t : 3.0 * (6.0 / 29.0) * (6.0 / 29.0) * (t - 4.0 / 29.0);
        };
        const double X = 0.96422 * inv(fx), Y = inv(fy), Z = 0.82521 * inv(fz);
        const double lin[3] = {3.1338561 * X - 1.6168667 * Y - 0.4906146 * Z,
                               -0.9787684 * X + 1.9161415 * Y + 0.0334540 * Z,
                               0.0719453 * X - 0.2289914 * Y + 1.4052427 * Z};
        for (int c = 0; c < 3; ++c) {
            const double v = std::clamp(lin[c], 0.0, 1.0);
            rgb[c] = m_gamma[static_cast<std::size_t>(v * (m_gamma.size() - 1) + 0.5)];
        }
    }

private:
    std::array<std::uint8_t, 4096> m_gamma{};
};

struct Document {
    bool large = false; // PSB
    std::uint32_t channels = 0, width = 0, height = 0;
    std::uint16_t depth = 0, mode = 0, compression = 0;
    std::array<std::uint8_t, 768> palette{}; // indexed mode: 256 reds, then greens, then blues
    std::uint64_t imageData = 0;             // the first byte after the compression code
};

NRFErr readDocument(NRFByteSource& source, Document& d) {
    std::uint8_t header[26];
    if (NRFErr err = readAt(source, 0, header, sizeof header))
        return err;
    if (std::memcmp(header, "8BPS", 4) != 0)
        return 9;
    const auto version = be(header + 4, 2);
    if (version != 1 && version != 2)
        return 9;
    d.large = version == 2;
    d.channels = static_cast<std::uint32_t>(be(header + 12, 2));
    d.height = static_cast<std::uint32_t>(be(header + 14, 4));
    d.width = static_cast<std::uint32_t>(be(header + 18, 4));
    d.depth = static_cast<std::uint16_t>(be(header + 22, 2));
    d.mode = static_cast<std::uint16_t>(be(header + 24, 2));
    if (d.channels == 0 || d.width == 0 || d.height == 0)
        return 9;

    // Colour mode data, image resources and the layer section, each behind its length.
    std::uint64_t at = 26;
    std::uint8_t length[8];
    for (int section = 0; section < 3; ++section) {
        const int width = (section == 2 && d.large) ? 8 : 4;
        if (NRFErr err = readAt(source, at, length, static_cast<std::size_t>(width)))
            return err;
        const std::uint64_t size = be(length, width);
        at += static_cast<std::uint64_t>(width);
        if (size > source.Size() - at)
            return 9;
        if (section == 0 && d.mode == kModeIndexed && size >= d.palette.size())
            if (NRFErr err = readAt(source, at, d.palette.data(), d.palette.size()))
                return err;
        at += size;
    }
    std::uint8_t compression[2];
    if (NRFErr err = readAt(source, at, compression, 2))
        return err;
    d.compression = static_cast<std::uint16_t>(be(compression, 2));
    d.imageData = at + 2;
    return 0;
}

// The channels that carry the colour of each mode; 0 for modes not handled.
std::uint32_t colourChannels(std::uint16_t mode) {
    switch (mode) {
    case kModeBitmap:
    case kModeGrey:
    case kModeIndexed:
    case kModeMultichannel:
    case kModeDuotone:
        return 1;
    case kModeRGB:
    case kModeLab:
        return 3;
    case kModeCMYK:
        return 4;
    default:
        return 0;
    }
}

NRFErr decode(NRFByteSource& source, const NRFDecodeOptions& options, NRFBitmapBase& out) {
    Document d;
    if (NRFErr err = readDocument(source, d))
        return err;
    if (d.compression > 1)
        return d.compression <= 3 ? 3 : 9;
    const std::uint32_t colours = colourChannels(d.mode);
    if (colours == 0)
        return 3;
    if (d.depth == 1 ? d.mode != kModeBitmap : (d.depth != 8 && d.depth != 16))
        return 3;
    if (d.mode == kModeBitmap && d.depth != 1)
        return 3;
    if (d.channels < colours)
        return 9;
    if (std::uint64_t{d.width} * d.height > options.maxPixels)
        return 7;

    const std::uint64_t rowBytes =
        d.depth == 1 ? (std::uint64_t{d.width} + 7) / 8 : std::uint64_t{d.width} * (d.depth / 8);
    const std::uint64_t fileSize = source.Size();
    std::vector<ChannelCursor> cursors;
    // Compressed lengths of the colour channels' rows, channel after channel.
    std::vector<std::uint32_t> counts;
    if (d.compression == 0) {
        if (rowBytes * d.height * colours > fileSize - d.imageData)
            return 9;
        for (std::uint32_t c = 0; c < colours; ++c)
            cursors.emplace_back(source, d.imageData + rowBytes * d.height * c);
    } else {
        const int entry = d.large ? 4 : 2;
        const std::uint64_t tableSize =
            std::uint64_t{d.channels} * d.height * static_cast<std::uint64_t>(entry);
        if (tableSize > fileSize - d.imageData)
            return 9;
        const std::uint64_t colourRows = std::uint64_t{colours} * d.height;
        // PackBits makes at most 128 bytes of every 2: rows that wide need at least this much data, so a
        // few bytes declaring millions of pixels are refused before any work.
        const std::uint64_t leastRow = (rowBytes + 127) / 128 * 2;
        if (leastRow * colourRows > fileSize - d.imageData - tableSize)
            return 9;
        counts.resize(static_cast<std::size_t>(colourRows));
        std::vector<std::uint8_t> table(static_cast<std::size_t>(colourRows) *
                                        static_cast<std::size_t>(entry));
        if (NRFErr err = readAt(source, d.imageData, table.data(), table.size()))
            return err;
        std::uint64_t at = d.imageData + tableSize;
        for (std::size_t i = 0; i < counts.size(); ++i) {
            if (i % d.height == 0)
                cursors.emplace_back(source, at);
            counts[i] =
                static_cast<std::uint32_t>(be(table.data() + i * static_cast<std::size_t>(entry), entry));
            at += counts[i];
            if (at > fileSize)
                return 9;
        }
    }

    const int outChannels = (colours == 1 && d.mode != kModeIndexed) ? 1 : 3;
    const std::uint32_t factor = NRFReductionFactor(d.width, d.height, options.size);
    // Held at once besides the row-length table: the reduced image and a few rows per channel.
    if (NRFErr err = NRFCheckDecodeMemory("NRFDecodePSD",
                                          NRFReducedBytes(d.width, d.height, outChannels, factor) +
                                              std::uint64_t{d.width} * (colours + 3) + rowBytes,
                                          options.maxBytes))
        return err;
    NRFRowReducer reducer;
    if (NRFErr err = reducer.Start(d.width, d.height, outChannels, factor, out))
        return err;

    // One row of each colour channel in 8 bits (bitmap mode: one byte per pixel, already 0 or 255).
    std::vector<std::vector<std::uint8_t>> rows(colours, std::vector<std::uint8_t>(d.width));
    std::vector<std::uint8_t> unpacked(static_cast<std::size_t>(rowBytes));
    std::vector<std::uint8_t> outRow(std::size_t{d.width} * static_cast<std::size_t>(outChannels));
    std::optional<LabToSRGB> lab;
    if (d.mode == kModeLab)
        lab.emplace();
    const bool sixteen = d.depth == 16;

    for (std::uint32_t y = 0; y < d.height; ++y) {
        for (std::uint32_t c = 0; c < colours; ++c) {
            NRFErr err = 0;
            const std::uint8_t* stored = nullptr;
            if (d.compression == 0) {
                stored = cursors[c].Take(static_cast<std::size_t>(rowBytes), err);
            } else {
                const std::uint32_t count = counts[std::size_t{c} * d.height + y];
                const std::uint8_t* packed = cursors[c].Take(count, err);
                if (packed) {
                    unpackBits(packed, count, unpacked.data(), unpacked.size());
                    stored = unpacked.data();
                }
            }
            if (!stored)
                return err;
            std::uint8_t* dst = rows[c].data();
            if (d.depth == 1) {
                for (std::uint32_t x = 0; x < d.width; ++x)
                    dst[x] = ((stored[x >> 3] >> (7 - (x & 7))) & 1) ? 0 : 255;
            } else if (sixteen) {
                for (std::uint32_t x = 0; x < d.width; ++x) {
                    const std::uint32_t v = (std::uint32_t{stored[2 * x]} << 8) | stored[2 * x + 1];
                    dst[x] = static_cast<std::uint8_t>((v * 255 + 32767) / 65535);
                }
            } else {
                std::memcpy(dst, stored, d.width);
            }
        }

        std::uint8_t* o = outRow.data();
        switch (d.mode) {
        case kModeIndexed:
            for (std::uint32_t x = 0; x < d.width; ++x) {
                const std::uint8_t i = rows[0][x];
                o[3 * x] = d.palette[i];
                o[3 * x + 1] = d.palette[256 + i];
                o[3 * x + 2] = d.palette[512 + i];
            }
            break;
        case kModeRGB:
            for (std::uint32_t x = 0; x < d.width; ++x) {
                o[3 * x] = rows[0][x];
                o[3 * x + 1] = rows[1][x];
                o[3 * x + 2] = rows[2][x];
            }
            break;
        case kModeCMYK:
            // Stored inverted: 255 is no ink.
            for (std::uint32_t x = 0; x < d.width; ++x) {
                const std::uint32_t k = rows[3][x];
                for (int c = 0; c < 3; ++c)
                    o[3 * x + c] =
                        static_cast<std::uint8_t>((rows[static_cast<std::size_t>(c)][x] * k + 127) / 255);
            }
            break;
        case kModeLab:
            for (std::uint32_t x = 0; x < d.width; ++x)
                lab->Convert(rows[0][x] * (100.0 / 255.0), rows[1][x] - 128.0, rows[2][x] - 128.0, o + 3 * x);
            break;
        default:
            std::memcpy(o, rows[0].data(), d.width);
            break;
        }
        reducer.AddRow(outRow.data());
    }
    return reducer.Finish() ? 0 : 9;
}

// ---- Writing

void putBE(std::string& out, std::uint64_t value, int width) {
    for (int i = width - 1; i >= 0; --i)
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

// One image resource with an empty name, its data padded to an even length.
void putResource(std::string& out, std::uint16_t id, const std::string& data) {
    out += "8BIM";
    putBE(out, id, 2);
    putBE(out, 0, 2);
    putBE(out, data.size(), 4);
    out += data;
    if (data.size() % 2)
        out += '\0';
}

// PackBits: runs of three or more equal bytes are repeated, the rest copied in pieces of up to 128.
void packBits(const std::uint8_t* in, std::size_t size, std::string& out) {
    std::size_t i = 0;
    while (i < size) {
        std::size_t run = 1;
        while (i + run < size && run < 128 && in[i + run] == in[i])
            ++run;
        if (run >= 3) {
            out += static_cast<char>(257 - run);
            out += static_cast<char>(in[i]);
            i += run;
            continue;
        }
        // A literal stretch ends where a run of three begins.
        std::size_t end = i;
        while (end < size && end - i < 128) {
            if (end + 2 < size && in[end] == in[end + 1] && in[end] == in[end + 2])
                break;
            ++end;
        }
        out += static_cast<char>(end - i - 1);
        out.append(reinterpret_cast<const char*>(in + i), end - i);
        i = end;
    }
}

} // namespace

NRFErr NRFDecodePSD(NRFByteSource& source, const NRFDecodeOptions& options, NRFBitmapBase& out) {
    return NRFRunDecoder("NRFDecodePSD", out, &decode, source, options);
}

NRFErr NRFEncodePSD(const NRFBitmapBase& bitmap, const NRFSaveOptions& options, std::string& out) {
    out.clear();
    const int channels = bitmap.Channels();
    // The classic format holds at most 30000 pixels a side, which also keeps every packed row's length
    // within its 16-bit count.
    if (bitmap.Empty() || (channels != 1 && channels != 3) || bitmap.Width() > 30000 ||
        bitmap.Height() > 30000)
        return 9;
    try {
        const std::uint32_t width = bitmap.Width(), height = bitmap.Height();
        out = "8BPS";
        putBE(out, 1, 2);
        out.append(6, '\0');
        putBE(out, static_cast<std::uint64_t>(channels), 2);
        putBE(out, height, 4);
        putBE(out, width, 4);
        putBE(out, 8, 2);
        putBE(out, channels == 3 ? kModeRGB : kModeGrey, 2);
        putBE(out, 0, 4); // no colour mode data

        std::string resources;
        if (options.dpi > 0) {
            // Horizontal and vertical resolution as 16.16 fixed point, in pixels per inch, sizes shown
            // in inches.
            const double dpi = std::min(options.dpi, 65535.0);
            const auto fixed = static_cast<std::uint64_t>(std::lround(dpi * 65536.0));
            std::string data;
            for (int axis = 0; axis < 2; ++axis) {
                putBE(data, fixed, 4);
                putBE(data, 1, 2);
                putBE(data, 1, 2);
            }
            putResource(resources, 0x03ED, data);
        }
        if (!options.iccProfile.empty())
            putResource(resources, 0x040F, options.iccProfile);
        putBE(out, resources.size(), 4);
        out += resources;
        putBE(out, 0, 4); // no layers: the merged image is the document

        putBE(out, 1, 2); // PackBits
        std::vector<std::string> packed(std::size_t{height} * static_cast<std::size_t>(channels));
        std::vector<std::uint8_t> plane(width);
        for (int c = 0; c < channels; ++c)
            for (std::uint32_t y = 0; y < height; ++y) {
                const std::uint8_t* row = bitmap.Row(y);
                for (std::uint32_t x = 0; x < width; ++x)
                    plane[x] = row[std::size_t{x} * static_cast<std::size_t>(channels) +
                                   static_cast<std::size_t>(c)];
                packBits(plane.data(), width, packed[static_cast<std::size_t>(c) * height + y]);
            }
        for (const std::string& row : packed)
            putBE(out, row.size(), 2);
        for (const std::string& row : packed)
            out += row;
        return 0;
    } catch (const std::bad_alloc&) {
        out.clear();
        return 7;
    }
}
