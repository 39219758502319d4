#include "PngGifBuilder.h"

#include <array>
#include <map>
#include <stdexcept>

namespace lumo::test {

namespace {

std::string be32(std::uint32_t v) {
    return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}
std::string le16(std::uint16_t v) {
    return {char(v), char(v >> 8)};
}

int pngChannels(int colourType) {
    switch (colourType) {
    case 0:
    case 3:
        return 1;
    case 2:
        return 3;
    case 4:
        return 2;
    case 6:
        return 4;
    default:
        throw std::invalid_argument("PNG colour type");
    }
}

// The PNG rows of one (sub)image, each with filter byte 0.
std::string filteredRows(const std::string& pixels, std::size_t rowBytes, std::size_t rows) {
    std::string out;
    for (std::size_t y = 0; y < rows; ++y)
        out += '\0' + pixels.substr(y * rowBytes, rowBytes);
    return out;
}

// Table size bits and the palette padded to the size the bits give.
std::pair<int, std::string> gifTable(std::string palette) {
    const std::size_t entries = palette.size() / 3;
    int bits = 0;
    while ((std::size_t{2} << bits) < entries)
        ++bits;
    palette.resize(3 * (std::size_t{2} << bits), '\0');
    return {bits, palette};
}

} // namespace

std::uint32_t pngCrc32(const std::string& bytes) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    std::uint32_t c = 0xFFFFFFFFu;
    for (unsigned char b : bytes)
        c = table[(c ^ b) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

std::string zlibStored(const std::string& raw) {
    std::string out = "\x78\x01";
    std::size_t at = 0;
    do {
        const std::size_t n = std::min<std::size_t>(raw.size() - at, 65535);
        const bool last = at + n == raw.size();
        out += char(last ? 1 : 0);
        out += le16(std::uint16_t(n)) + le16(std::uint16_t(~n));
        out += raw.substr(at, n);
        at += n;
    } while (at < raw.size());
    std::uint32_t a = 1, b = 0;
    for (unsigned char c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    return out + be32(b << 16 | a);
}

std::string pngChunk(const std::string& type, const std::string& data) {
    return be32(std::uint32_t(data.size())) + type + data + be32(pngCrc32(type + data));
}

std::string buildPng(const PngLayout& layout) {
    const int channels = pngChannels(layout.colourType);
    const std::size_t bitsPerPixel = std::size_t(channels) * std::size_t(layout.depth);
    const std::size_t rowBytes = (layout.width * bitsPerPixel + 7) / 8;
    if (layout.pixels.size() != rowBytes * layout.height)
        throw std::invalid_argument("PNG pixels do not match the size");
    std::string raw;
    if (!layout.interlaced) {
        raw = filteredRows(layout.pixels, rowBytes, layout.height);
    } else {
        if (layout.depth < 8)
            throw std::invalid_argument("interlaced PNG with a depth below 8");
        const std::size_t bpp = bitsPerPixel / 8;
        static const int passes[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                         {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
        for (const auto& p : passes) {
            std::string sub;
            std::size_t subWidth = 0, subHeight = 0;
            for (std::uint32_t y = std::uint32_t(p[1]); y < layout.height; y += std::uint32_t(p[3])) {
                ++subHeight;
                subWidth = 0;
                for (std::uint32_t x = std::uint32_t(p[0]); x < layout.width; x += std::uint32_t(p[2])) {
                    ++subWidth;
                    sub += layout.pixels.substr(y * rowBytes + x * bpp, bpp);
                }
            }
            if (subWidth && subHeight)
                raw += filteredRows(sub, subWidth * bpp, subHeight);
        }
    }
    std::string file("\x89PNG\r\n\x1A\n", 8);
    file += pngChunk("IHDR", be32(layout.width) + be32(layout.height) + char(layout.depth) +
                                 char(layout.colourType) + std::string(2, '\0') +
                                 char(layout.interlaced ? 1 : 0));
    if (!layout.palette.empty())
        file += pngChunk("PLTE", layout.palette);
    if (!layout.transparency.empty())
        file += pngChunk("tRNS", layout.transparency);
    const std::string z = zlibStored(raw);
    const std::size_t pieces = std::max<std::size_t>(1, layout.idatChunks);
    const std::size_t piece = (z.size() + pieces - 1) / pieces;
    for (std::size_t at = 0; at < z.size(); at += piece)
        file += pngChunk("IDAT", z.substr(at, piece));
    return file + pngChunk("IEND", "");
}

std::vector<std::pair<unsigned, int>> gifLzwCodes(const std::vector<std::uint8_t>& indexes,
                                                  const LzwOptions& options) {
    const int m = options.minCodeSize;
    const unsigned clear = 1u << m, end = clear + 1;
    unsigned next = clear + 2;
    int size = m + 1;
    std::map<std::uint32_t, unsigned> dict;
    std::vector<std::pair<unsigned, int>> codes;
    const auto emit = [&](unsigned c) { codes.emplace_back(c, size); };
    const auto reset = [&] {
        emit(clear);
        dict.clear();
        next = clear + 2;
        size = m + 1;
    };
    if (options.clearFirst)
        emit(clear);
    int w = -1;
    for (std::size_t i = 0; i < indexes.size(); ++i) {
        const unsigned k = indexes[i];
        if (options.clearAfter && i == options.clearAfter && w >= 0) {
            emit(unsigned(w));
            reset();
            w = -1;
        }
        if (w < 0) {
            w = int(k);
            continue;
        }
        const std::uint32_t key = std::uint32_t(w) << 8 | k;
        if (const auto found = dict.find(key); found != dict.end()) {
            w = int(found->second);
            continue;
        }
        emit(unsigned(w));
        if (next < 4096) {
            dict[key] = next++;
            if (next > (1u << size) && size < 12)
                ++size;
        }
        w = int(k);
    }
    if (w >= 0)
        emit(unsigned(w));
    emit(end);
    return codes;
}

std::string gifPackCodes(const std::vector<std::pair<unsigned, int>>& codes) {
    std::string out;
    std::uint32_t bits = 0;
    int count = 0;
    for (const auto& [code, width] : codes) {
        bits |= code << count;
        count += width;
        while (count >= 8) {
            out += char(bits & 0xFF);
            bits >>= 8;
            count -= 8;
        }
    }
    if (count > 0)
        out += char(bits & 0xFF);
    return out;
}

std::string gifSubBlocks(const std::string& data) {
    std::string out;
    for (std::size_t at = 0; at < data.size(); at += 255) {
        const std::size_t n = std::min<std::size_t>(255, data.size() - at);
        out += char(n) + data.substr(at, n);
    }
    return out + '\0';
}

GifBuilder::GifBuilder(std::uint16_t width, std::uint16_t height, const std::string& globalPalette,
                       bool gif89) {
    m_bytes = gif89 ? "GIF89a" : "GIF87a";
    m_bytes += le16(width) + le16(height);
    if (globalPalette.empty()) {
        m_bytes += std::string(3, '\0');
    } else {
        const auto [bits, table] = gifTable(globalPalette);
        m_bytes += char(0x80 | 0x70 | bits) + std::string(2, '\0') + table;
    }
}

GifBuilder& GifBuilder::graphicControl(int transparentIndex) {
    m_bytes += "\x21\xF9\x04";
    m_bytes +=
        char(transparentIndex >= 0 ? 1 : 0) + le16(0) + char(transparentIndex >= 0 ? transparentIndex : 0);
    m_bytes += '\0';
    return *this;
}

GifBuilder& GifBuilder::extension(std::uint8_t label, const std::string& data) {
    m_bytes += '\x21';
    m_bytes += char(label) + gifSubBlocks(data);
    return *this;
}

GifBuilder& GifBuilder::image(const GifImageLayout& layout) {
    m_bytes += '\x2C';
    m_bytes += le16(layout.left) + le16(layout.top) + le16(layout.width) + le16(layout.height);
    char packed = layout.interlaced ? 0x40 : 0;
    std::string table;
    if (!layout.localPalette.empty()) {
        const auto [bits, padded] = gifTable(layout.localPalette);
        packed = char(packed | 0x80 | bits);
        table = padded;
    }
    m_bytes += packed + table + char(layout.lzw.minCodeSize);
    if (!layout.packedCodes.empty()) {
        m_bytes += gifSubBlocks(layout.packedCodes);
        return *this;
    }
    std::vector<std::uint8_t> stream;
    if (!layout.interlaced) {
        stream = layout.indexes;
    } else {
        static const int passes[4][2] = {{0, 8}, {4, 8}, {2, 4}, {1, 2}};
        for (const auto& p : passes)
            for (std::size_t y = std::size_t(p[0]); y < layout.height; y += std::size_t(p[1]))
                stream.insert(stream.end(), layout.indexes.begin() + std::ptrdiff_t(y * layout.width),
                              layout.indexes.begin() + std::ptrdiff_t((y + 1) * layout.width));
    }
    m_bytes += gifSubBlocks(gifPackCodes(gifLzwCodes(stream, layout.lzw)));
    return *this;
}

std::string GifBuilder::bytes(std::size_t cutAt) const {
    const std::string all = m_bytes + ';';
    return cutAt > 0 ? all.substr(0, cutAt) : all;
}

} // namespace lumo::test
