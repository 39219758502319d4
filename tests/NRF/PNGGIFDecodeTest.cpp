// PNG and GIF pixels: built files whose every pixel is known (palettes and transparency, 16-bit
// samples, alpha over white, interlacing, LZW streams an encoder may write and ones it may not),
// damaged files and the pixel cap.

#include "NRF/NRFDecode.h"
#include "NRF/NRFTestSupport.h"
#include "support/PngGifBuilder.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

using lumo::test::buildPng;
using lumo::test::GifBuilder;
using lumo::test::GifImageLayout;
using lumo::test::PngLayout;
using lumo::test::samplesOf;
using Pixels = std::vector<std::uint8_t>;

class PNGGIFDecodeTest : public lumo::test::NRFEngineTest {};

NRFErr decodePng(const std::string& bytes, NRFBitmapBase& out, const NRFDecodeOptions& options = {}) {
    return lumo::test::decodeBytes(&NRFDecodePNG, bytes, out, options);
}

NRFErr decodeGif(const std::string& bytes, NRFBitmapBase& out, const NRFDecodeOptions& options = {}) {
    return lumo::test::decodeBytes(&NRFDecodeGIF, bytes, out, options);
}

// A source whose reads fail past the middle although the file is longer: a disk that gives up.
struct FailingSource : NRFMemoryByteSource {
    explicit FailingSource(const std::string& bytes) : NRFMemoryByteSource(bytes.data(), bytes.size()) {}
    bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size) override {
        return offset + size <= Size() / 2 && NRFMemoryByteSource::ReadAt(offset, buffer, size);
    }
};

std::uint8_t overWhite(unsigned v, unsigned a) {
    return std::uint8_t((v * a + 255 * (255 - a) + 127) / 255);
}

std::string bytesOf(std::initializer_list<unsigned> values) {
    std::string s;
    for (unsigned v : values)
        s += char(v);
    return s;
}

std::vector<std::uint8_t> randomIndexes(std::size_t n, unsigned colours, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<std::uint8_t> v(n);
    for (auto& i : v)
        i = std::uint8_t(random() % colours);
    return v;
}

// The screen an image of indexes gives through `palette` (RGB triples): white where not covered.
Pixels expectedScreen(std::uint32_t screenW, std::uint32_t screenH, const GifImageLayout& image,
                      const std::string& palette, int transparent = -1) {
    Pixels p(std::size_t{screenW} * screenH * 3, 255);
    for (std::uint32_t y = 0; y < image.height; ++y)
        for (std::uint32_t x = 0; x < image.width; ++x) {
            const std::uint32_t sx = image.left + x, sy = image.top + y;
            const unsigned index = image.indexes[y * image.width + x];
            if (sx >= screenW || sy >= screenH || int(index) == transparent)
                continue;
            for (int c = 0; c < 3; ++c)
                p[(sy * screenW + sx) * 3 + c] =
                    index * 3 < palette.size() ? std::uint8_t(palette[index * 3 + c]) : 0;
        }
    return p;
}

// ---- PNG ----------------------------------------------------------------------------------------

TEST_F(PNGGIFDecodeTest, PngPaletteGreyAndSixteenBitSamples) {
    NRFBitmapBase bitmap;
    // A 4-bit palette image, two entries partly or wholly transparent through tRNS.
    PngLayout palette{.width = 3, .height = 2, .depth = 4, .colourType = 3};
    palette.palette = bytesOf({255, 0, 0, 0, 255, 0, 0, 0, 255, 10, 20, 30});
    palette.transparency = bytesOf({255, 255, 0, 128});
    palette.pixels = bytesOf({0x01, 0x20, 0x33, 0x10});
    ASSERT_EQ(decodePng(buildPng(palette), bitmap), 0u);
    ASSERT_EQ(bitmap.Width(), 3u);
    ASSERT_EQ(bitmap.Height(), 2u);
    ASSERT_EQ(bitmap.Channels(), 3);
    const std::uint8_t c3[3] = {overWhite(10, 128), overWhite(20, 128), overWhite(30, 128)};
    EXPECT_EQ(samplesOf(bitmap), (Pixels{255, 0, 0, 0, 255, 0, 255, 255, 255, //
                                         c3[0], c3[1], c3[2], c3[0], c3[1], c3[2], 0, 255, 0}));

    // 16-bit RGB: each sample is scaled to the nearest 8-bit value.
    const auto deep = bytesOf({0x00, 0x00, 0xFF, 0xFF, 0x80, 0x80, 0x12, 0x34, 0x7F, 0x80, 0xAB, 0xCD});
    ASSERT_EQ(decodePng(buildPng({.width = 2, .height = 1, .depth = 16, .pixels = deep}), bitmap), 0u);
    EXPECT_EQ(samplesOf(bitmap), (Pixels{0, 255, 128, 18, 127, 171}));

    // Grey with alpha stays one channel, laid over white.
    const auto greyAlpha = bytesOf({100, 255, 100, 0, 0, 128});
    ASSERT_EQ(decodePng(buildPng({.width = 3, .height = 1, .colourType = 4, .pixels = greyAlpha}), bitmap),
              0u);
    EXPECT_EQ(bitmap.Channels(), 1);
    EXPECT_EQ(samplesOf(bitmap), (Pixels{100, 255, overWhite(0, 128)}));
}

// An Adam7 image decodes to the same pixels as its straight twin, at full size and scaled.
TEST_F(PNGGIFDecodeTest, PngInterlacedEqualsStraightAndScalesByBoxes) {
    PngLayout layout{.width = 11, .height = 9, .colourType = 6, .idatChunks = 3};
    std::mt19937 random(7);
    Pixels expected;
    for (std::uint32_t i = 0; i < layout.width * layout.height; ++i) {
        std::uint8_t rgba[4];
        for (auto& v : rgba)
            v = std::uint8_t(random());
        layout.pixels.append(reinterpret_cast<const char*>(rgba), 4);
        for (int c = 0; c < 3; ++c)
            expected.push_back(overWhite(rgba[c], rgba[3]));
    }
    // Wanted long side 4: boxes of 3 x 3 (the last column and row hold what is left).
    NRFBitmapBase boxes;
    NRFRowReducer reducer;
    ASSERT_EQ(reducer.Start(11, 9, 3, 3, boxes), 0u);
    for (std::uint32_t y = 0; y < 9; ++y)
        reducer.AddRow(expected.data() + y * 33);
    ASSERT_TRUE(reducer.Finish());
    for (bool adam7 : {false, true}) {
        SCOPED_TRACE(adam7 ? "interlaced" : "straight");
        layout.interlaced = adam7;
        NRFBitmapBase full, small;
        ASSERT_EQ(decodePng(buildPng(layout), full), 0u);
        EXPECT_EQ(samplesOf(full), expected);
        ASSERT_EQ(decodePng(buildPng(layout), small, {.size = 4}), 0u);
        ASSERT_EQ(small.Width(), 4u);
        ASSERT_EQ(small.Height(), 3u);
        EXPECT_EQ(samplesOf(small), samplesOf(boxes));
    }
}

TEST_F(PNGGIFDecodeTest, DamagedAndOversizedPngsFailCleanly) {
    const std::string png =
        buildPng({.width = 20, .height = 10, .colourType = 2, .pixels = std::string(20 * 10 * 3, '\x40')});
    const std::size_t iend = png.size() - 12;
    NRFBitmapBase bitmap;
    // Cut anywhere before the image data is complete: 9 and no bitmap; without the IEND only: read.
    for (std::size_t cut = 0; cut < png.size(); ++cut) {
        const NRFErr err = decodePng(png.substr(0, cut), bitmap);
        if (cut < iend) {
            ASSERT_EQ(err, 9u) << cut;
            ASSERT_TRUE(bitmap.Empty());
        } else {
            ASSERT_EQ(err, 0u) << cut;
        }
    }
    // A damaged CRC of the image data is an error; of an ancillary chunk, one line in the log.
    std::string badCrc = png;
    badCrc[iend - 1] ^= 1;
    EXPECT_EQ(decodePng(badCrc, bitmap), 9u);
    std::string text = lumo::test::pngChunk("tEXt", std::string("Comment\0hello", 13));
    text[text.size() - 1] ^= 1;
    lumo::test::LogWatch log;
    EXPECT_EQ(decodePng(png.substr(0, 33) + text + text + png.substr(33), bitmap), 0u);
    const std::string logged = log.text();
    EXPECT_EQ(std::count(logged.begin(), logged.end(), '\n'), 1) << logged;

    // A source that fails inside the file is not a damaged file.
    FailingSource failing(png);
    EXPECT_EQ(NRFDecodePNG(failing, {}, bitmap), 5u);

    // The pixel cap, and sides beyond what any reader should try.
    EXPECT_EQ(decodePng(png, bitmap, {.maxPixels = 200}), 0u);
    EXPECT_EQ(decodePng(png, bitmap, {.maxPixels = 199}), 7u);
    EXPECT_TRUE(bitmap.Empty());
    std::string wide = png;
    wide.replace(16, 4, std::string("\x00\x20\x00\x00", 4)); // 2^21 wide (CRC left wrong)
    EXPECT_EQ(decodePng(wide, bitmap), 7u);
    EXPECT_EQ(decodePng("not a png at all, not at all", bitmap), 9u);
}

// ---- GIF ----------------------------------------------------------------------------------------

const std::string kPalette4 = bytesOf({0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255});

TEST_F(PNGGIFDecodeTest, GifInterlacedTransparentAndPlacedImages) {
    NRFBitmapBase bitmap;
    // Interlaced, 10 rows so that every pass has rows; code size 2.
    GifImageLayout image{
        .width = 5, .height = 10, .indexes = randomIndexes(50, 4, 1), .lzw = {.minCodeSize = 2}};
    for (bool interlaced : {false, true}) {
        image.interlaced = interlaced;
        ASSERT_EQ(decodeGif(GifBuilder(5, 10, kPalette4).image(image).bytes(), bitmap), 0u);
        ASSERT_EQ(bitmap.Channels(), 3);
        EXPECT_EQ(samplesOf(bitmap), expectedScreen(5, 10, image, kPalette4)) << interlaced;
    }

    // A transparent index from the control extension (other extensions between it and the image),
    // and indexes beyond a 2-entry palette are black.
    image.interlaced = false;
    const std::string gif = GifBuilder(5, 10, kPalette4.substr(0, 6))
                                .extension(0xFE, "a comment")
                                .graphicControl(1)
                                .extension(0xFF, "NETSCAPE2.0")
                                .image(image)
                                .bytes();
    ASSERT_EQ(decodeGif(gif, bitmap), 0u);
    EXPECT_EQ(samplesOf(bitmap), expectedScreen(5, 10, image, kPalette4.substr(0, 6), 1));

    // A local palette on an image placed inside a larger screen, then one clipped by the screen's edge.
    GifImageLayout placed{.left = 2, .top = 1, .width = 3, .height = 2, .indexes = {0, 1, 2, 3, 2, 1}};
    placed.localPalette = bytesOf({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
    placed.lzw.minCodeSize = 2;
    ASSERT_EQ(decodeGif(GifBuilder(6, 5, kPalette4).image(placed).bytes(), bitmap), 0u);
    EXPECT_EQ(samplesOf(bitmap), expectedScreen(6, 5, placed, placed.localPalette));
    placed.left = 4;
    placed.top = 4;
    ASSERT_EQ(decodeGif(GifBuilder(6, 5, kPalette4, false).image(placed).bytes(), bitmap), 0u);
    EXPECT_EQ(samplesOf(bitmap), expectedScreen(6, 5, placed, placed.localPalette));
    // A screen of 0 x 0 takes the image's size.
    ASSERT_EQ(decodeGif(GifBuilder(0, 0, kPalette4).image(placed).bytes(), bitmap), 0u);
    EXPECT_EQ(bitmap.Width(), 3u);
    EXPECT_EQ(bitmap.Height(), 2u);

    // The pixel cap counts the screen.
    EXPECT_EQ(decodeGif(GifBuilder(20, 10, kPalette4).image(placed).bytes(), bitmap, {.maxPixels = 199}), 7u);
}

TEST_F(PNGGIFDecodeTest, GifLzwStreams) {
    std::string palette;
    for (unsigned i = 0; i < 256; ++i)
        palette += bytesOf({i, 255 - i, i * 7 % 256});
    GifImageLayout image{.width = 128, .height = 128, .indexes = randomIndexes(128 * 128, 256, 3)};
    const Pixels expected = expectedScreen(128, 128, image, palette);
    NRFBitmapBase bitmap;

    // The table fills and the encoder goes on without a clear code; or clears in mid-stream.
    const auto codes = lumo::test::gifLzwCodes(image.indexes, image.lzw);
    ASSERT_GT(codes.size(), 5000u);
    ASSERT_EQ(std::count_if(codes.begin(), codes.end(), [](const auto& c) { return c.first == 256; }), 1);
    const std::string whole = GifBuilder(128, 128, palette).image(image).bytes();
    ASSERT_EQ(decodeGif(whole, bitmap), 0u);
    EXPECT_EQ(samplesOf(bitmap), expected);
    // Found by fuzzing with the limits users get: a 4 x 4 image on a 16384 x 14848 screen, and an image
    // whose few bytes of codes cannot fill 30000 x 30000 pixels, are refused before any work.
    GifImageLayout small{.width = 4, .height = 4, .indexes = randomIndexes(16, 256, 1)};
    EXPECT_EQ(decodeGif(GifBuilder(16384, 14848, palette).image(small).bytes(), bitmap), 9u);
    GifImageLayout huge{.width = 30000, .height = 30000, .indexes = randomIndexes(64, 256, 1)};
    EXPECT_EQ(decodeGif(GifBuilder(30000, 30000, palette).image(huge).bytes(), bitmap), 9u);
    image.lzw = {.clearFirst = false, .clearAfter = 777};
    ASSERT_EQ(decodeGif(GifBuilder(128, 128, palette).image(image).bytes(), bitmap), 0u);
    EXPECT_EQ(samplesOf(bitmap), expected);

    // A stream cut in the middle keeps its whole rows and the start of the next, the rest white.
    lumo::test::LogWatch log;
    ASSERT_EQ(decodeGif(whole.substr(0, whole.size() / 2), bitmap), 0u);
    EXPECT_TRUE(log.has("ends after")) << log.text();
    const Pixels got = samplesOf(bitmap);
    ASSERT_EQ(got.size(), expected.size());
    const std::size_t same =
        std::size_t(std::mismatch(got.begin(), got.end(), expected.begin()).first - got.begin());
    EXPECT_GT(same, 128u * 3 * 10);
    EXPECT_LT(same, got.size());
    EXPECT_TRUE(
        std::all_of(got.begin() + std::ptrdiff_t(same + 3), got.end(), [](auto v) { return v == 255; }));
    FailingSource failing(whole);
    EXPECT_EQ(NRFDecodeGIF(failing, {}, bitmap), 5u);
    // Cut before one row is complete (header, palette, descriptor, code size, part of a sub-block):
    // no image.
    EXPECT_EQ(decodeGif(whole.substr(0, 13 + 768 + 10 + 1 + 30), bitmap), 9u);

    // Codes written by hand (code size 2: clear 4, end 5, first free 6).
    GifImageLayout hand{.width = 2, .height = 2, .indexes = {1, 1, 1, 2}, .lzw = {.minCodeSize = 2}};
    const auto withCodes = [&](std::vector<std::pair<unsigned, int>> c) {
        hand.packedCodes = lumo::test::gifPackCodes(c);
        return GifBuilder(2, 2, kPalette4).image(hand).bytes();
    };
    ASSERT_EQ(decodeGif(withCodes({{4, 3}, {1, 3}, {6, 3}, {2, 3}, {5, 4}}), bitmap), 0u)
        << "the code being defined (KwKwK)";
    EXPECT_EQ(samplesOf(bitmap), expectedScreen(2, 2, hand, kPalette4));
    EXPECT_EQ(decodeGif(withCodes({{4, 3}, {1, 3}, {7, 3}, {5, 3}}), bitmap), 9u)
        << "beyond the next free code";
    EXPECT_EQ(decodeGif(withCodes({{4, 3}, {6, 3}, {5, 3}}), bitmap), 9u) << "a string code after a clear";
    EXPECT_EQ(decodeGif(withCodes({{4, 3}, {1, 3}, {5, 3}}), bitmap), 9u) << "ends before a row";
    EXPECT_EQ(decodeGif(withCodes({{4, 3}, {1, 3}, {2, 3}, {5, 3}}), bitmap), 0u) << "one row, then the end";
    EXPECT_EQ(samplesOf(bitmap), (Pixels{255, 0, 0, 0, 255, 0, 255, 255, 255, 255, 255, 255}));
    for (int size : {0, 1, 9, 12}) {
        hand.lzw.minCodeSize = size;
        EXPECT_EQ(decodeGif(withCodes({{4, 3}, {1, 3}, {2, 3}, {5, 3}}), bitmap), 9u) << size;
    }
    // No image at all, or no GIF at all.
    EXPECT_EQ(decodeGif(GifBuilder(4, 4, kPalette4).graphicControl(0).bytes(), bitmap), 9u);
    EXPECT_EQ(decodeGif("GIF88a and more bytes", bitmap), 9u);
    EXPECT_TRUE(bitmap.Empty());
}

} // namespace
