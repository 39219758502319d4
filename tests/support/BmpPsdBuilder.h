#pragma once

// Builders of Windows Bitmap and Photoshop files whose every byte is known, for the readers' and the
// decoders' tests.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace lumo::test {

// A Windows Bitmap: the file header, an info header of `headerSize` bytes (12: the core header), the
// masks (after a 40-byte header when the compression calls for them, inside larger headers), the
// palette and the pixel bytes as given (see bmpRows).
struct BmpLayout {
    std::uint32_t headerSize = 40;
    std::int32_t width = 1, height = 1; // a negative height stores the rows top down
    std::uint16_t bits = 24;
    std::uint32_t compression = 0;
    std::vector<std::uint32_t> masks;                 // red, green, blue and optionally alpha
    std::vector<std::array<std::uint8_t, 3>> palette; // RGB entries
    std::uint32_t clrUsed = 0;
    std::string pixels;
};
std::string buildBmp(const BmpLayout& layout);

// Rows given top to bottom, each padded to 4 bytes and put in the order the file stores them.
std::string bmpRows(const std::vector<std::string>& topToBottom, bool bottomUp);

// A Photoshop document: header, colour mode data, resources, the layer section's content (behind its
// length, 4 bytes or 8 in the large format) and the merged image: one plane per channel, raw
// (compression 0) or packed row by row (1) behind the table of row lengths.
struct PsdLayout {
    std::uint16_t version = 1, depth = 8, mode = 3, compression = 0;
    std::uint32_t width = 1, height = 1;
    std::string colourModeData, resources, layerSection;
    std::int64_t resourcesLength = -1; // the declared length of the resources when not -1
    std::vector<std::string> planes;   // one per channel: the rows of stored bytes, top to bottom
};
std::string buildPsd(const PsdLayout& layout);

// PackBits over one row.
std::string packBits(const std::string& row);

// One image resource: signature, id, Pascal name padded to even, size (declaredSize when not 0), data
// padded to even.
std::string psdResource(std::uint16_t id, const std::string& data, const std::string& name = "",
                        std::uint32_t declaredSize = 0);

// A layer section with one layer of `channels` raw channels covering width x height, filled with
// `fill`, then an empty global mask.
std::string psdLayerSection(std::uint32_t width, std::uint32_t height, int channels, char fill,
                            bool large = false);

// A minimal display profile (RGB, XYZ connection space) with only a description tag.
std::string iccProfileNamed(const std::string& description);

} // namespace lumo::test
