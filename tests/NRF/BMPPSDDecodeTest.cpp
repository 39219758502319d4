// Windows Bitmap and Photoshop pixels: built files of every depth, layout and colour mode whose pixels
// are known, damaged files, scaled decoding, and the Photoshop writer read back by the decoder and by
// exiftool.

#include "NRF/NRFDecode.h"
#include "NRF/NRFTestSupport.h"
#include "support/BmpPsdBuilder.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using lumo::test::be;
using lumo::test::BmpLayout;
using lumo::test::bmpRows;
using lumo::test::buildBmp;
using lumo::test::buildPsd;
using lumo::test::le;
using lumo::test::PsdLayout;
using Bytes = std::vector<std::uint8_t>;

using Decoder = NRFErr (*)(NRFByteSource&, const NRFDecodeOptions&, NRFBitmapBase&);

NRFErr decode(Decoder decoder, const std::string& bytes, NRFBitmapBase& out, std::uint32_t size = 0,
              std::uint64_t maxPixels = kNRFDecodeMaxPixels) {
    return lumo::test::decodeBytes(decoder, bytes, out, {size, maxPixels});
}

// The pixels decoded at full size, empty when the decoder fails.
Bytes decoded(Decoder decoder, const std::string& bytes, int* channels = nullptr) {
    NRFBitmapBase bitmap;
    if (decode(decoder, bytes, bitmap) != 0)
        return {};
    if (channels)
        *channels = bitmap.Channels();
    return lumo::test::samplesOf(bitmap);
}

std::string str(std::initializer_list<int> bytes) {
    std::string out;
    for (int b : bytes)
        out += static_cast<char>(b);
    return out;
}

// The 3 x 2 picture every bitmap depth below encodes: red, green, blue over white, grey, black.
const Bytes kRGBPicture = {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255, 128, 128, 128, 0, 0, 0};
const std::vector<std::array<std::uint8_t, 3>> kPalette = {{255, 0, 0},     {0, 255, 0},     {0, 0, 255},
                                                           {255, 255, 255}, {128, 128, 128}, {0, 0, 0}};

TEST(BMPDecodeTest, EveryDepthAndHeaderGivesTheKnownPixels) {
    const auto px16 = [](std::uint32_t a, std::uint32_t b, std::uint32_t c) {
        return le(a, 2) + le(b, 2) + le(c, 2);
    };
    const auto px32 = [](std::uint32_t a, std::uint32_t b, std::uint32_t c) {
        return le(a, 4) + le(b, 4) + le(c, 4);
    };
    for (bool bottomUp : {true, false}) {
        SCOPED_TRACE(bottomUp ? "bottom up" : "top down");
        int channels = 0;
        // The 3 x 2 bitmap of the two rows, decoded.
        const auto pixels = [&](BmpLayout layout, const std::string& top, const std::string& bottom) {
            layout.width = 3;
            layout.height = bottomUp ? 2 : -2;
            layout.pixels = bmpRows({top, bottom}, bottomUp);
            return decoded(NRFDecodeBMP, buildBmp(layout), &channels);
        };
        for (std::uint32_t headerSize : {12u, 40u, 52u, 56u, 64u, 108u, 124u}) {
            if (headerSize == 12 && !bottomUp)
                continue; // the core header's height is unsigned
            SCOPED_TRACE(headerSize);
            BmpLayout layout{.headerSize = headerSize};
            EXPECT_EQ(pixels(layout, str({0, 0, 255, 0, 255, 0, 255, 0, 0}),
                             str({255, 255, 255, 128, 128, 128, 0, 0, 0})),
                      kRGBPicture);
            layout.bits = 8;
            layout.palette = kPalette;
            EXPECT_EQ(pixels(layout, str({0, 1, 2}), str({3, 4, 5})), kRGBPicture);
            EXPECT_EQ(channels, 3);
            // Four bits, the palette shortened by the colours-used count: index 7 is past it (black).
            layout.bits = 4;
            layout.palette.resize(headerSize == 12 ? 16 : 5);
            layout.clrUsed = headerSize == 12 ? 0 : 5;
            EXPECT_EQ(pixels(layout, str({0x01, 0x20}), str({0x34, 0x70})), kRGBPicture);
        }

        // One bit with a grey palette: a grey bitmap.
        EXPECT_EQ(pixels({.bits = 1, .palette = {{0, 0, 0}, {255, 255, 255}}}, str({0xA0}), str({0x40})),
                  (Bytes{255, 0, 255, 0, 255, 0}));
        EXPECT_EQ(channels, 1);

        // Sixteen bits: 5-5-5 by default, 5-6-5 through bit fields after a 40-byte header.
        EXPECT_EQ(pixels({.bits = 16}, px16(0x7C00, 0x03E0, 0x001F), px16(0x7FFF, 0x4210, 0)),
                  (Bytes{255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255, 132, 132, 132, 0, 0, 0}));
        EXPECT_EQ(pixels({.bits = 16, .compression = 3, .masks = {0xF800, 0x07E0, 0x001F}},
                         px16(0xF800, 0x07E0, 0x001F), px16(0xFFFF, 0x8410, 0)),
                  (Bytes{255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255, 132, 130, 132, 0, 0, 0}));

        // Thirty-two bits: BGRx with the fourth byte ignored; masks in an unusual order (B G R A bytes)
        // in a version 5 header, with some alpha (laid over white) and with none (ignored); the alpha
        // bit-fields compression with its four masks after a 40-byte header.
        EXPECT_EQ(pixels({.bits = 32}, px32(0x00FF0000, 0x0000FF00, 0x000000FF),
                         px32(0x00FFFFFF, 0x00808080, 0x00000000)),
                  kRGBPicture);
        const BmpLayout bgra{
            .headerSize = 124, .bits = 32, .compression = 3, .masks = {0xFF00, 0xFF0000, 0xFF000000, 0xFF}};
        EXPECT_EQ(
            pixels(bgra, px32(0x0000FFFF, 0x00FF0080, 0x00000000), px32(0xFFFFFFFF, 0x808080FF, 0x000000FF)),
            (Bytes{255, 0, 0, 127, 255, 127, 255, 255, 255, 255, 255, 255, 128, 128, 128, 0, 0, 0}));
        EXPECT_EQ(
            pixels(bgra, px32(0x0000FF00, 0x00FF0000, 0xFF000000), px32(0xFFFFFF00, 0x80808000, 0x00000000)),
            kRGBPicture);
        EXPECT_EQ(pixels({.bits = 32, .compression = 6, .masks = {0xFF0000, 0xFF00, 0xFF, 0xFF000000}},
                         px32(0xFFFF0000, 0xFF00FF00, 0x000000FF), px32(0xFFFFFFFF, 0xFF808080, 0xFF000000)),
                  (Bytes{255, 0, 0, 0, 255, 0, 255, 255, 255, 255, 255, 255, 128, 128, 128, 0, 0, 0}));
    }
}

TEST(BMPDecodeTest, RunLengthEncodingsAndDamage) {
    // A 4 x 3 bitmap of run-length data, stored bottom row first.
    const auto rle = [](std::uint32_t compression, const std::string& data, std::int32_t height = 3) {
        return buildBmp({.width = 4,
                         .height = height,
                         .bits = std::uint16_t(compression == 1 ? 8 : 4),
                         .compression = compression,
                         .palette = kPalette,
                         .pixels = data});
    };
    // Bottom row: a run of two reds and three stored pixels (green, blue, and one past the row's end,
    // padded); middle row: skipped by a delta of one row and two columns onto the top row, which then
    // gets a grey and a run of black cut at the row's end before the end of the bitmap. Pixels never
    // painted are white.
    const std::string rle8 = str({2, 0, 0, 3, 1, 2, 2, 0, 0, 0, 0, 2, 2, 1, 1, 4, 3, 5, 0, 1});
    EXPECT_EQ(decoded(NRFDecodeBMP, rle(1, rle8)),
              (Bytes{255, 255, 255, 255, 255, 255, 128, 128, 128, 0,   0,   0,   // top
                     255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, // skipped
                     255, 0,   0,   255, 0,   0,   0,   255, 0,   0,   0,   255}));
    // Four bits: runs alternate the nibbles, stored pixels fill nibble by nibble.
    EXPECT_EQ(decoded(NRFDecodeBMP, rle(2, str({3, 0x01, 0, 0, 0, 3, 0x23, 0x40, 0, 0, 4, 0x55, 0, 1}))),
              (Bytes{0,   0, 0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   //
                     0,   0, 255, 255, 255, 255, 128, 128, 128, 255, 255, 255, //
                     255, 0, 0,   0,   255, 0,   255, 0,   0,   255, 255, 255}));

    // A stream cut before the end of the bitmap (in an escape, in stored pixels), run-length rows
    // stored top down.
    NRFBitmapBase bitmap;
    EXPECT_EQ(decode(NRFDecodeBMP, rle(1, rle8.substr(0, 9)), bitmap), 9u);
    EXPECT_TRUE(bitmap.Empty());
    EXPECT_EQ(decode(NRFDecodeBMP, rle(1, rle8.substr(0, 6)), bitmap), 9u);
    EXPECT_EQ(decode(NRFDecodeBMP, rle(1, rle8, -3), bitmap), 9u);

    // Variants not handled and headers that do not hold together, each a change to a good 4 x 2 bitmap.
    const auto variant = [&](BmpLayout layout) {
        layout.width = 4;
        layout.height = 2;
        if (layout.pixels.empty())
            layout.pixels = std::string(24, '\x10');
        return decode(NRFDecodeBMP, buildBmp(layout), bitmap);
    };
    EXPECT_EQ(variant({.compression = 1}), 9u); // run-length coding of 24-bit pixels
    EXPECT_EQ(variant({.compression = 4}), 3u); // JPEG inside
    EXPECT_EQ(variant({.compression = 5}), 3u); // PNG inside
    EXPECT_EQ(variant({.bits = 2}), 3u);
    EXPECT_EQ(variant({.headerSize = 64, .compression = 4}), 3u); // OS/2 24-bit run-length coding
    EXPECT_EQ(variant({.bits = 32, .compression = 3, .masks = {0xF0F00000, 0xFF00, 0xFF}}), 3u);
    // The last row may lack its padding, not more.
    EXPECT_EQ(variant({.pixels = std::string(23, '\x10')}), 9u);
    EXPECT_EQ(variant({}), 0u);
    const std::string bytes = buildBmp({.width = 4, .height = 2, .pixels = std::string(24, '\x10')});
    EXPECT_EQ(decode(NRFDecodeBMP, bytes, bitmap, 0, 7), 7u);
    EXPECT_EQ(decode(NRFDecodeBMP, bytes.substr(0, 30), bitmap), 9u);
    EXPECT_EQ(decode(NRFDecodeBMP, "BA" + bytes.substr(2), bitmap), 9u);
}

TEST(BMPDecodeTest, ScaledDecodingAveragesBoxesAndRowsArriveInPlace) {
    // 10 x 7, bottom up; each pixel's red is its column x 20, green its row x 30.
    std::vector<std::string> rows(7);
    for (int y = 0; y < 7; ++y)
        for (int x = 0; x < 10; ++x)
            rows[y] += str({0, y * 30, x * 20});
    NRFBitmapBase bitmap;
    // Reduced by 3 (10 -> 4 is still at least 4): boxes of 3 x 3, the last column and row hold what is left.
    const auto bytes = buildBmp({.width = 10, .height = 7, .pixels = bmpRows(rows, true)});
    ASSERT_EQ(decode(NRFDecodeBMP, bytes, bitmap, 4), 0u);
    ASSERT_EQ(bitmap.Width(), 4u);
    ASSERT_EQ(bitmap.Height(), 3u);
    EXPECT_EQ(bitmap.Row(0)[0], 20);  // red of columns 0..2
    EXPECT_EQ(bitmap.Row(0)[9], 180); // column 9 alone
    EXPECT_EQ(bitmap.Row(1)[4], 120); // green of rows 3..5
    EXPECT_EQ(bitmap.Row(2)[1], 180); // row 6 alone

    // Large enough to be read in several blocks of rows: every row arrives once, in its place.
    std::vector<std::string> tall;
    for (int y = 0; y < 1500; ++y)
        tall.push_back(std::string(3 * 300, static_cast<char>(y % 251)));
    for (const std::int32_t height : {1500, -1500}) {
        const auto big = buildBmp({.width = 300, .height = height, .pixels = bmpRows(tall, height > 0)});
        ASSERT_EQ(decode(NRFDecodeBMP, big, bitmap), 0u);
        ASSERT_EQ(bitmap.Height(), 1500u);
        for (std::uint32_t y = 0; y < 1500; ++y)
            ASSERT_EQ(bitmap.Row(y)[y % 900], y % 251) << y;
    }
}

PsdLayout psd(std::uint16_t mode, std::uint16_t depth, std::uint32_t width, std::uint32_t height,
              std::vector<std::string> planes, std::uint16_t compression = 0) {
    return {.depth = depth,
            .mode = mode,
            .compression = compression,
            .width = width,
            .height = height,
            .planes = std::move(planes)};
}

TEST(PSDDecodeTest, ColourModesDepthsAndLayouts) {
    // RGB with a layer and an alpha channel: the merged image, packed and raw, in both formats (the
    // large one with 4-byte row lengths and an 8-byte layer section length).
    PsdLayout rgb = psd(3, 8, 3, 2,
                        {str({255, 0, 0, 255, 128, 0}), str({0, 255, 0, 255, 128, 0}),
                         str({0, 0, 255, 255, 128, 0}), str({9, 9, 9, 9, 9, 9})},
                        1);
    rgb.resources = lumo::test::psdResource(0x03ED, std::string(16, '\0'));
    rgb.layerSection = lumo::test::psdLayerSection(3, 2, 4, '\x33');
    int channels = 0;
    EXPECT_EQ(decoded(NRFDecodePSD, buildPsd(rgb), &channels), kRGBPicture);
    EXPECT_EQ(channels, 3);
    rgb.compression = 0;
    EXPECT_EQ(decoded(NRFDecodePSD, buildPsd(rgb)), kRGBPicture);
    rgb.version = 2;
    rgb.compression = 1;
    rgb.layerSection = lumo::test::psdLayerSection(3, 2, 4, '\x33', true);
    EXPECT_EQ(decoded(NRFDecodePSD, buildPsd(rgb)), kRGBPicture);

    // Grey at 16 bits, rounded to 8.
    for (std::uint16_t compression : {0, 1}) {
        const PsdLayout grey =
            psd(1, 16, 4, 1, {be(0, 2) + be(0xFFFF, 2) + be(0x8080, 2) + be(0x807F, 2)}, compression);
        EXPECT_EQ(decoded(NRFDecodePSD, buildPsd(grey), &channels), (Bytes{0, 255, 128, 128}));
        EXPECT_EQ(channels, 1);
    }
    // CMYK, stored inverted (255 is no ink).
    EXPECT_EQ(decoded(NRFDecodePSD,
                      buildPsd(psd(4, 8, 2, 1,
                                   {str({0, 255}), str({255, 255}), str({255, 128}), str({255, 128})}))),
              (Bytes{0, 255, 255, 128, 128, 64}));
    // Indexed, through the 768-byte colour table: entry 1 red, entry 2 green with some blue.
    PsdLayout indexed = psd(2, 8, 3, 1, {str({1, 2, 0})});
    indexed.colourModeData = std::string(768, '\0');
    indexed.colourModeData[1] = '\xff';
    indexed.colourModeData[256 + 2] = '\xff';
    indexed.colourModeData[512 + 2] = '\x40';
    EXPECT_EQ(decoded(NRFDecodePSD, buildPsd(indexed)), (Bytes{255, 0, 0, 0, 255, 64, 0, 0, 0}));
    // Bitmap mode: one bit per pixel, 1 is black, rows padded to a byte.
    EXPECT_EQ(decoded(NRFDecodePSD, buildPsd(psd(0, 1, 10, 2, {str({0xA0, 0x40, 0xFF, 0xC0})}, 1))),
              (Bytes{0, 255, 0, 255, 255, 255, 255, 255, 255, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    // Multichannel and duotone: the first channel as grey.
    for (std::uint16_t mode : {7, 8})
        EXPECT_EQ(decoded(NRFDecodePSD, buildPsd(psd(mode, 8, 2, 1, {str({10, 200}), str({1, 2})}))),
                  (Bytes{10, 200}))
            << mode;

    // Lab: white, black, a saturated red (L 54, a 81, b 70 against D50 is close to sRGB red), mid grey.
    const Bytes lab = decoded(NRFDecodePSD, buildPsd(psd(9, 8, 4, 1,
                                                         {str({255, 0, 138, 136}), str({128, 128, 209, 128}),
                                                          str({128, 128, 198, 128})})));
    const Bytes want = {255, 255, 255, 0, 0, 0, 255, 0, 0, 128, 128, 128};
    ASSERT_EQ(lab.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i)
        EXPECT_NEAR(lab[i], want[i], 12) << i;
}

TEST(PSDDecodeTest, ScaledFaultsAndLimits) {
    std::string values;
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 5; ++x)
            values += static_cast<char>(x * 10 + y * 50);
    const std::string bytes = buildPsd(psd(1, 8, 5, 5, {values}, 1));
    NRFBitmapBase bitmap;
    // Reduced by 4: one 4 x 4 box and the leftovers.
    ASSERT_EQ(decode(NRFDecodePSD, bytes, bitmap, 2), 0u);
    ASSERT_EQ(bitmap.Width(), 2u);
    ASSERT_EQ(bitmap.Height(), 2u);
    EXPECT_EQ(bitmap.Row(0)[0], 90);  // 15 + 75
    EXPECT_EQ(bitmap.Row(0)[1], 115); // column 4: 40 + 75
    EXPECT_EQ(bitmap.Row(1)[1], 240); // the corner alone
    EXPECT_EQ(decode(NRFDecodePSD, bytes, bitmap, 0, 24), 7u);

    // Damaged row lengths: past the file's end (9), or wrong but inside it (decoded, no crash).
    const std::size_t table = bytes.size() - 5 * 2 - 5 * 6; // five 2-byte lengths, then 6-byte rows
    ASSERT_EQ(bytes.substr(table, 2), be(6, 2));
    std::string damaged = bytes;
    damaged[table] = '\x7f';
    EXPECT_EQ(decode(NRFDecodePSD, damaged, bitmap), 9u);
    damaged = bytes;
    damaged[table + 1] = '\x01';
    damaged[table + 3] = '\0';
    EXPECT_EQ(decode(NRFDecodePSD, damaged, bitmap), 0u);
    EXPECT_EQ(bitmap.Width(), 5u);
    // Cut anywhere: never success, never a crash.
    for (std::size_t n = 0; n < bytes.size(); ++n)
        EXPECT_NE(decode(NRFDecodePSD, bytes.substr(0, n), bitmap), 0u) << n;

    // Variants not handled (ZIP compression, 32 bits), RGB with one channel, raw data cut short.
    EXPECT_EQ(decode(NRFDecodePSD, buildPsd(psd(1, 8, 5, 5, {values}, 2)), bitmap), 3u);
    EXPECT_EQ(decode(NRFDecodePSD, buildPsd(psd(1, 32, 5, 5, {std::string(100, '\0')})), bitmap), 3u);
    EXPECT_EQ(decode(NRFDecodePSD, buildPsd(psd(3, 8, 5, 5, {values})), bitmap), 9u);
    EXPECT_EQ(decode(NRFDecodePSD, buildPsd(psd(1, 8, 5, 5, {values.substr(1)})), bitmap), 9u);
}

TEST(PSDDecodeTest, FewBytesDeclaringMillionsOfPixelsAreRefusedBeforeAnyWork) {
    // Found by fuzzing with the limits users get: each took seconds and hundreds of megabytes.
    NRFBitmapBase bitmap;
    const std::string endOfBitmap("\0\1", 2);
    EXPECT_EQ(decode(NRFDecodeBMP,
                     buildBmp({.width = 4,
                               .height = 5000000,
                               .bits = 8,
                               .compression = 1,
                               .palette = kPalette,
                               .pixels = endOfBitmap}),
                     bitmap),
              9u);
    // Uncompressed rows 100 million pixels wide that the file does not hold.
    EXPECT_EQ(
        decode(NRFDecodeBMP,
               buildBmp({.width = 100000000, .height = 4, .bits = 4, .palette = kPalette, .pixels = "x"}),
               bitmap),
        9u);
    // A PackBits file said to be 16 million pixels wide: its rows would need megabytes.
    std::string wide =
        buildPsd({.compression = 1, .width = 4, .height = 4, .planes = {std::string(16, 'a')}});
    wide.replace(18, 4, be(16000000, 4));
    EXPECT_EQ(decode(NRFDecodePSD, wide, bitmap), 9u);
    // A plain run-length image keeps its end-of-bitmap: the rest is white.
    ASSERT_EQ(decode(NRFDecodeBMP,
                     buildBmp({.width = 4,
                               .height = 4,
                               .bits = 8,
                               .compression = 1,
                               .palette = kPalette,
                               .pixels = std::string("\2\1", 2) + endOfBitmap}),
                     bitmap),
              0u);
    EXPECT_EQ(bitmap.Height(), 4u);
}

// Rows 300 wide hold runs and literal stretches longer than one PackBits piece.
TEST(PSDDecodeTest, WrittenFilesReadBackExactly) {
    NRFBitmapBase rgb, grey;
    ASSERT_TRUE(rgb.Allocate(300, 7, 3));
    ASSERT_TRUE(grey.Allocate(5, 3, 1));
    for (std::uint32_t y = 0; y < 7; ++y)
        for (std::uint32_t x = 0; x < 300 * 3; ++x)
            rgb.Row(y)[x] = static_cast<std::uint8_t>(x < 400 ? 17 : (x * 7 + y * 13) % 251);
    for (std::uint32_t y = 0; y < 3; ++y)
        for (std::uint32_t x = 0; x < 5; ++x)
            grey.Row(y)[x] = static_cast<std::uint8_t>(x * 60 + y);
    NRFSaveOptions options;
    options.dpi = 300;
    options.iccProfile = lumo::test::iccProfileNamed("Lumograph Test RGB");
    std::string bytes, greyBytes;
    ASSERT_EQ(NRFEncodePSD(rgb, options, bytes), 0u);
    ASSERT_EQ(NRFEncodePSD(grey, NRFSaveOptions{}, greyBytes), 0u);
    int channels = 0;
    EXPECT_EQ(decoded(NRFDecodePSD, bytes, &channels), lumo::test::samplesOf(rgb));
    EXPECT_EQ(channels, 3);
    EXPECT_EQ(decoded(NRFDecodePSD, greyBytes, &channels), lumo::test::samplesOf(grey));
    EXPECT_EQ(channels, 1);
    std::string none;
    EXPECT_EQ(NRFEncodePSD(NRFBitmapBase{}, options, none), 9u);

    lumo::test::TempDir dir;
    lumo::test::writeWholeFile(dir.file("out.psd"), bytes);
    lumo::test::writeWholeFile(dir.file("grey.psd"), greyBytes);
    const auto json =
        lumo::test::exiftoolJson({"-n", "-ImageWidth", "-ImageHeight", "-XResolution", "-ProfileDescription",
                                  "-ColorMode", dir.file("out.psd"), dir.file("grey.psd")});
    if (!json)
        LUMO_SKIP_OR_FAIL("exiftool is not installed");
    ASSERT_EQ(json->size(), 2u);
    const auto& first = (*json)[0];
    EXPECT_EQ(first.value("ImageWidth", 0), 300);
    EXPECT_EQ(first.value("ImageHeight", 0), 7);
    EXPECT_EQ(first.value("XResolution", 0.0), 300.0);
    EXPECT_EQ(first.value("ProfileDescription", ""), "Lumograph Test RGB");
    EXPECT_EQ(first.value("ColorMode", -1), 3);
    EXPECT_EQ((*json)[1].value("ColorMode", -1), 1);
    EXPECT_FALSE((*json)[1].contains("XResolution"));
}

} // namespace
