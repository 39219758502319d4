#pragma once

// Builds PNG and GIF files byte by byte so that a test knows every pixel a decoder must give back: PNG
// chunks with their CRCs and image data in stored (uncompressed) deflate blocks, straight or Adam7
// interlaced; GIF blocks with an LZW encoder that clears in mid-stream when asked and otherwise lets
// the table fill up and stay full, and codes packed by hand for streams no encoder would write.

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace lumo::test {

// ---- PNG ----------------------------------------------------------------------------------------

std::uint32_t pngCrc32(const std::string& bytes);
// A zlib stream holding `raw` in stored blocks.
std::string zlibStored(const std::string& raw);
// Length, type, data and CRC.
std::string pngChunk(const std::string& type, const std::string& data);

struct PngLayout {
    std::uint32_t width = 0, height = 0;
    int depth = 8;
    int colourType = 2; // 0 grey, 2 RGB, 3 palette, 4 grey + alpha, 6 RGBA
    bool interlaced = false;
    std::string palette;      // PLTE data (RGB triples); written when not empty
    std::string transparency; // tRNS data; written when not empty
    // The samples, rows top to bottom, packed as the file stores them but without filter bytes
    // (rows of sub-byte depths start on a byte). Interlacing needs a depth of 8 or 16.
    std::string pixels;
    std::size_t idatChunks = 1; // the image data split over this many IDAT chunks
};

// The whole file: signature, IHDR, PLTE, tRNS, IDAT(s), IEND.
std::string buildPng(const PngLayout& layout);

// ---- GIF ----------------------------------------------------------------------------------------

struct LzwOptions {
    int minCodeSize = 8;
    bool clearFirst = true;     // a clear code opens the stream
    std::size_t clearAfter = 0; // when above 0: a clear code after this many indexes
};

// The LZW codes (value, bit width) for `indexes`, ending with the end code.
std::vector<std::pair<unsigned, int>> gifLzwCodes(const std::vector<std::uint8_t>& indexes,
                                                  const LzwOptions& options);
// Codes packed from the low bit, as GIF stores them.
std::string gifPackCodes(const std::vector<std::pair<unsigned, int>>& codes);
// Data split into sub-blocks of up to 255 bytes, with the terminating empty block.
std::string gifSubBlocks(const std::string& data);

struct GifImageLayout {
    std::uint16_t left = 0, top = 0, width = 0, height = 0;
    bool interlaced = false;
    std::string localPalette;          // RGB triples, 2 to 256 entries (padded to a power of two)
    std::vector<std::uint8_t> indexes; // image order, rows top to bottom
    LzwOptions lzw;
    std::string packedCodes; // when not empty, the image data's bytes (before sub-blocks) as given
};

class GifBuilder {
public:
    GifBuilder(std::uint16_t width, std::uint16_t height, const std::string& globalPalette = {},
               bool gif89 = true);
    // A Graphic Control Extension; transparentIndex < 0 for none.
    GifBuilder& graphicControl(int transparentIndex);
    GifBuilder& extension(std::uint8_t label, const std::string& data);
    GifBuilder& image(const GifImageLayout& layout);
    // The file with its trailer; `cutAt` > 0 keeps only that many bytes.
    std::string bytes(std::size_t cutAt = 0) const;

private:
    std::string m_bytes;
};

} // namespace lumo::test
