// Scaling (the box reduction the decoders feed and the filter that reaches the exact size) and the
// still formats' loaders as the caches and `lumo thumb` call them: which image answers a size, and
// that every answer comes out upright.

#include "NRF/NRF.h"
#include "NRF/NRFBitmapBase.h"
#include "NRF/NRFDecode.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFResample.h"
#include "NRF/NRFTestSupport.h"
#include "support/BmpPsdBuilder.h"
#include "support/JpegBuilder.h"
#include "support/PngGifBuilder.h"
#include "support/TestSupport.h"
#include "support/TiffBuilder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

using lumo::test::JpegBuilder;
using lumo::test::TiffBuilder;

namespace {

NRFBitmapBase grey(std::uint32_t width, std::uint32_t height,
                   std::uint8_t (*value)(std::uint32_t, std::uint32_t)) {
    NRFBitmapBase bitmap;
    bitmap.Allocate(width, height, 1);
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x)
            bitmap.Row(y)[x] = value(x, y);
    return bitmap;
}

} // namespace

TEST(Resample, ReductionFactorIsTheLargestThatStillCoversTheSize) {
    struct Case {
        std::uint32_t width, height, size, factor;
    } const cases[] = {
        {6000, 4000, 256, 23}, // 6000 / 23 -> 261; 24 would give 250
        {4000, 6000, 256, 23}, {6000, 4000, 0, 1},    {6000, 4000, 6000, 1},
        {6000, 4000, 9000, 1}, {6000, 4000, 3000, 2}, // exactly half
        {6000, 4000, 3001, 1}, {100, 100, 1, 100},    {1, 1, 1, 1},
    };
    for (const Case& c : cases) {
        const std::uint32_t f = NRFReductionFactor(c.width, c.height, c.size);
        EXPECT_EQ(f, c.factor) << c.width << "x" << c.height << " -> " << c.size;
        if (c.size != 0 && c.size < std::max(c.width, c.height))
            EXPECT_GE((std::max(c.width, c.height) + f - 1) / f, c.size);
    }
}

TEST(Resample, RowReducerAveragesWholeBoxesAndWhatIsLeftAtTheEdges) {
    // 5 x 3 grey, value 10 * x + y, reduced by 2: boxes of 2 x 2, 1 x 2, 2 x 1 and 1 x 1 at the corner.
    const NRFBitmapBase source =
        grey(5, 3, [](std::uint32_t x, std::uint32_t y) { return static_cast<std::uint8_t>(10 * x + y); });
    NRFBitmapBase out;
    NRFRowReducer reducer;
    ASSERT_EQ(reducer.Start(5, 3, 1, 2, out), 0u);
    ASSERT_EQ(out.Width(), 3u);
    ASSERT_EQ(out.Height(), 2u);
    for (std::uint32_t y = 0; y < 3; ++y)
        reducer.AddRow(source.Row(y));
    reducer.AddRow(source.Row(0)); // past the last row: ignored
    EXPECT_TRUE(reducer.Finish());
    const std::uint8_t expected[2][3] = {{5 + 1, 25 + 1, 40 + 1}, {5 + 2, 25 + 2, 40 + 2}};
    // Means rounded half up: (0+10+1+11)/4 = 5.5 -> 6, (20+30+21+31)/4 = 25.5 -> 26, (40+41)/2 = 40.5 -> 41.
    for (std::uint32_t y = 0; y < 2; ++y)
        for (std::uint32_t x = 0; x < 3; ++x)
            EXPECT_EQ(out.Row(y)[x], expected[y][x]) << x << "," << y;

    // Missing rows are reported; factor 1 copies; RGB keeps its channels apart.
    ASSERT_EQ(reducer.Start(5, 3, 1, 1, out), 0u);
    reducer.AddRow(source.Row(0));
    reducer.AddRow(source.Row(1));
    EXPECT_FALSE(reducer.Finish());
    EXPECT_EQ(out.Row(1)[4], source.Row(1)[4]);

    const std::uint8_t rgbRow[6] = {255, 0, 10, 255, 100, 20};
    ASSERT_EQ(reducer.Start(2, 1, 3, 2, out), 0u);
    reducer.AddRow(rgbRow);
    EXPECT_TRUE(reducer.Finish());
    EXPECT_EQ(out.Row(0)[0], 255);
    EXPECT_EQ(out.Row(0)[1], 50);
    EXPECT_EQ(out.Row(0)[2], 15);

    EXPECT_EQ(reducer.Start(0, 3, 1, 1, out), 7u);
    EXPECT_EQ(reducer.Start(3, 3, 2, 1, out), 7u);
}

TEST(Resample, TheFilterKeepsFlatAreasAndRampsAndAveragesFineDetail) {
    // Flat stays flat, exactly, whether reducing or enlarging.
    const NRFBitmapBase flat = grey(37, 23, [](std::uint32_t, std::uint32_t) { return std::uint8_t{200}; });
    for (const auto& [w, h] :
         {std::pair{10u, 7u}, std::pair{37u, 23u}, std::pair{80u, 50u}, std::pair{1u, 1u}}) {
        NRFBitmapBase out;
        ASSERT_TRUE(NRFResample(flat, w, h, out));
        ASSERT_EQ(out.Width(), w);
        for (std::uint32_t y = 0; y < h; ++y)
            for (std::uint32_t x = 0; x < w; ++x)
                ASSERT_EQ(out.Row(y)[x], 200) << w << "x" << h << " at " << x << "," << y;
    }
    // A ramp of 2 per pixel halved: output pixel x covers source pixels 2x and 2x + 1, whose mean is
    // 4x + 1; away from the edges the cubic gives exactly that.
    const NRFBitmapBase ramp =
        grey(120, 4, [](std::uint32_t x, std::uint32_t) { return static_cast<std::uint8_t>(2 * x); });
    NRFBitmapBase half;
    ASSERT_TRUE(NRFResample(ramp, 60, 2, half));
    for (std::uint32_t x = 3; x < 57; ++x)
        EXPECT_NEAR(half.Row(1)[x], 4 * x + 1, 1) << x;

    // Alternating black and white columns of a large image come out mid grey at 256 pixels, through the
    // box step (11 columns: 5 or 6 of them white) and the filter.
    NRFBitmapBase big;
    ASSERT_TRUE(big.Allocate(6000, 2000, 3));
    for (std::uint32_t y = 0; y < 2000; ++y)
        for (std::uint32_t x = 0; x < 6000; x += 2)
            std::fill_n(big.Row(y) + x * 3, 3, std::uint8_t{255});
    big.flags = kNRFBitmapSubstitute;
    NRFBitmapBase small;
    ASSERT_TRUE(big.ScaleToFit(256, small));
    EXPECT_EQ(small.Width(), 256u);
    EXPECT_EQ(small.Height(), 85u);
    EXPECT_EQ(small.flags, kNRFBitmapSubstitute);
    for (std::uint32_t x = 0; x < 256; x += 17)
        EXPECT_NEAR(small.Row(40)[x * 3 + 1], 128, 12) << x;

    NRFBitmapBase unchanged;
    EXPECT_FALSE(NRFResampleToFit(small, 256, unchanged)); // it fits already
    EXPECT_TRUE(unchanged.Empty());
    ASSERT_TRUE(small.ScaleToFit(1000, unchanged));
    EXPECT_EQ(unchanged.Width(), 256u);
}

namespace {

constexpr std::uint16_t kOrientation = 274, kExifIFD = 34665, kPixelX = 40962, kPixelY = 40963;
constexpr std::uint16_t kJPEGIF = 513, kJPEGIFLength = 514;

// A camera JPEG of width x height with a 160 x 120 thumbnail and the EXIF orientation given.
std::string cameraJpeg(int width, int height, std::uint16_t orientation) {
    TiffBuilder tiff;
    tiff.ifd().add(271, "Lumocam").addShort(kOrientation, orientation);
    tiff.ifd().subIfd(kExifIFD).addLong(kPixelX, width).addLong(kPixelY, height);
    tiff.ifd().next().addBlob(kJPEGIF, kJPEGIFLength, lumo::test::encodeJpeg(160, 120));
    JpegBuilder jpeg(width, height);
    jpeg.addExif(tiff.build());
    return jpeg.build();
}

class StillLoadersTest : public lumo::test::NRFEngineTest {};

} // namespace

TEST_F(StillLoadersTest, AJpegAnswersFromItsThumbnailWhenThatCoversTheSizeElseFromItsOwnPixels) {
    NRFImageInfoRef record;
    ASSERT_EQ(read("camera.jpg", cameraJpeg(640, 480, 6), record), kNRFErrNone);
    ASSERT_TRUE(record->m_thumbnail.present());
    ASSERT_EQ(record->m_orientation, 1); // a quarter turn clockwise

    NRFBitmapBase bitmap;
    // 100 pixels: the 160 x 120 thumbnail covers it, decoded at 5/8 (the picture itself would give
    // 160 x 120 at 1/4).
    ASSERT_EQ(NRFLoadFilePreview(record.get(), &bitmap, 100, kNRFLoadAllowEmbedded), kNRFErrNone);
    EXPECT_EQ(bitmap.Width(), 75u);
    EXPECT_EQ(bitmap.Height(), 100u);
    // 300 pixels: the picture itself at half scale (320 x 240), turned.
    ASSERT_EQ(NRFLoadFilePreview(record.get(), &bitmap, 300, kNRFLoadAllowEmbedded), kNRFErrNone);
    EXPECT_EQ(bitmap.Width(), 240u);
    EXPECT_EQ(bitmap.Height(), 320u);
    ASSERT_EQ(NRFLoadFileAsBitmap(record.get(), &bitmap), kNRFErrNone);
    EXPECT_EQ(bitmap.Width(), 480u);
    EXPECT_EQ(bitmap.Height(), 640u);
    bool renders = false;
    ASSERT_EQ(NRFCanRender(record.get(), &renders), kNRFErrNone);
    EXPECT_TRUE(renders);

    // A 4:3 thumbnail of a 3:2 picture has bands: the picture itself answers (at 1/4, 150 x 100).
    ASSERT_EQ(read("wide.jpg", cameraJpeg(600, 400, 1), record), kNRFErrNone);
    ASSERT_TRUE(record->m_thumbnail.present());
    ASSERT_EQ(NRFLoadFilePreview(record.get(), &bitmap, 100, kNRFLoadAllowEmbedded), kNRFErrNone);
    EXPECT_EQ(bitmap.Width(), 150u);
    EXPECT_EQ(bitmap.Height(), 100u);
    EXPECT_TRUE(NRFSimilarProportions(504, 376, 4032, 3024)); // 0.5% off
    EXPECT_FALSE(NRFSimilarProportions(160, 120, 600, 400));
    EXPECT_FALSE(NRFSimilarProportions(0, 120, 600, 400));
}

namespace {

// A 240 x 160 picture of 8 x 8 blocks in 216 colours (so palette formats hold it exactly), as a PPM.
constexpr std::uint32_t kPictureWidth = 240, kPictureHeight = 160;

std::uint8_t pictureSample(std::uint32_t x, std::uint32_t y, int channel) {
    const std::uint32_t block = (x / 8) * 7 + (y / 8) * 13;
    const std::uint32_t level = channel == 0 ? block % 6 : channel == 1 ? (block / 6) % 6 : (block / 36) % 6;
    return static_cast<std::uint8_t>(level * 51);
}

std::string picturePPM() {
    std::string ppm =
        "P6\n" + std::to_string(kPictureWidth) + " " + std::to_string(kPictureHeight) + "\n255\n";
    for (std::uint32_t y = 0; y < kPictureHeight; ++y)
        for (std::uint32_t x = 0; x < kPictureWidth; ++x)
            for (int c = 0; c < 3; ++c)
                ppm.push_back(static_cast<char>(pictureSample(x, y, c)));
    return ppm;
}

// The mean absolute difference between a decoded bitmap and ImageMagick's own decoding of the same file
// (8-bit grey or RGB samples, as many channels as the bitmap has).
double meanDifference(const NRFBitmapBase& bitmap, const std::string& path) {
    const auto theirs = lumo::test::runProcess(
        "/usr/bin/convert", {path + "[0]", "-depth", "8", bitmap.Channels() == 1 ? "gray:-" : "rgb:-"});
    const std::size_t stride = bitmap.Stride();
    if (theirs.exitCode != 0 || theirs.out.size() != stride * bitmap.Height())
        return 1e9;
    double total = 0.0;
    for (std::uint32_t y = 0; y < bitmap.Height(); ++y)
        for (std::size_t i = 0; i < stride; ++i)
            total += std::abs(bitmap.Row(y)[i] - static_cast<std::uint8_t>(theirs.out[y * stride + i]));
    return total / static_cast<double>(stride * bitmap.Height());
}

} // namespace

// Files written by another program (ImageMagick) in the variants people meet: each is read with the
// size exiftool gives, decoded whole to the picture it holds, and decoded small to the right size.
TEST_F(StillLoadersTest, FilesWrittenByAnotherProgramDecodeToThePictureTheyHold) {
    if (!std::filesystem::exists("/usr/bin/convert"))
        LUMO_SKIP_OR_FAIL("ImageMagick is not installed");
    const std::string source = m_dir.file("picture.ppm");
    lumo::test::writeWholeFile(source, picturePPM());
    struct Variant {
        const char* name;
        std::vector<std::string> options;
        double tolerance; // mean absolute difference from ImageMagick's decoding allowed
    } const variants[] = {
        {"plain.png", {}, 0.0},
        {"palette.png", {"-define", "png:color-type=3"}, 0.0},
        {"adam7.png", {"-interlace", "PNG"}, 0.0},
        {"deep.png", {"-depth", "16"}, 0.0},
        {"grey.png", {"-colorspace", "Gray"}, 0.0},
        {"lzw.tif", {"-compress", "LZW"}, 0.0},
        {"deflate16.tif", {"-compress", "Zip", "-depth", "16"}, 0.0},
        {"tiled.tif", {"-define", "tiff:tile-geometry=64x64"}, 0.0},
        {"palette.tif", {"-type", "Palette"}, 0.0},
        {"cmyk.tif", {"-colorspace", "CMYK"}, 3.0},
        {"planar.tif", {"-interlace", "Plane"}, 0.0},
        {"grey.tif", {"-colorspace", "Gray"}, 0.0},
        {"plain.gif", {}, 0.0},
        {"interlaced.gif", {"-interlace", "GIF"}, 0.0},
        {"v5.bmp", {}, 0.0},
        {"v3.bmp", {"-define", "bmp:format=bmp3"}, 0.0},
        {"palette.bmp", {"-type", "Palette", "-define", "bmp:format=bmp3"}, 0.0},
        {"rle.bmp", {"-type", "Palette", "-compress", "RLE", "-define", "bmp:format=bmp3"}, 0.0},
        {"flat.psd", {}, 0.0},
        {"rle16.psd", {"-depth", "16", "-compress", "RLE"}, 0.0},
        {"grey.psd", {"-colorspace", "Gray"}, 0.0},
        {"cmyk.psd", {"-colorspace", "CMYK"}, 3.0},
    };
    std::vector<std::string> paths;
    for (const Variant& v : variants) {
        std::vector<std::string> args = {source};
        args.insert(args.end(), v.options.begin(), v.options.end());
        paths.push_back(m_dir.file(v.name));
        args.push_back(paths.back());
        const auto made = lumo::test::runProcess("/usr/bin/convert", args);
        ASSERT_EQ(made.exitCode, 0) << v.name << ": " << made.err;
    }
    std::vector<std::string> exiftoolArgs = {"-n", "-ImageWidth", "-ImageHeight"};
    exiftoolArgs.insert(exiftoolArgs.end(), paths.begin(), paths.end());
    const auto exiftool = lumo::test::exiftoolJson(exiftoolArgs);
    if (!exiftool)
        LUMO_SKIP_OR_FAIL("exiftool is not installed");
    ASSERT_EQ(exiftool->size(), paths.size());

    for (std::size_t i = 0; i < paths.size(); ++i) {
        SCOPED_TRACE(variants[i].name);
        NRFImageInfoRef record;
        ASSERT_EQ(NRFOpenImage(paths[i].c_str(), 0, &record), kNRFErrNone);
        ASSERT_EQ(NRFGetImageInfo(record.get()), kNRFErrNone);
        EXPECT_EQ(record->m_width, (*exiftool)[i].value("ImageWidth", 0u));
        EXPECT_EQ(record->m_height, (*exiftool)[i].value("ImageHeight", 0u));
        NRFBitmapBase bitmap;
        ASSERT_EQ(NRFLoadFileAsBitmap(record.get(), &bitmap), kNRFErrNone) << NRFGetErrorText();
        ASSERT_EQ(bitmap.Width(), kPictureWidth);
        ASSERT_EQ(bitmap.Height(), kPictureHeight);
        EXPECT_LE(meanDifference(bitmap, paths[i]), variants[i].tolerance + 0.01);
        if (variants[i].tolerance == 0.0 && bitmap.Channels() == 3) // and that is the picture itself
            EXPECT_EQ(bitmap.Row(77)[3 * 101 + 1], pictureSample(101, 77, 1));
        // Small: the box reduction covers 60 pixels (240 / 4), the loader answers with that.
        ASSERT_EQ(NRFLoadFilePreview(record.get(), &bitmap, 60, kNRFLoadAllowEmbedded), kNRFErrNone);
        EXPECT_EQ(bitmap.Width(), 60u);
        EXPECT_EQ(bitmap.Height(), 40u);
        NRFCloseImage(&record);
    }
}

namespace {

using lumo::test::be;
using lumo::test::BmpLayout;
using lumo::test::GifBuilder;
using lumo::test::GifImageLayout;

// A PNG header declaring width x height with `idat` stored (uncompressed) bytes of image data.
std::string pngDeclaring(std::uint32_t width, std::uint32_t height, int colourType, bool interlaced,
                         std::size_t idat) {
    using lumo::test::pngChunk;
    const std::string ihdr = be(width, 4) + be(height, 4) +
                             std::string{8, static_cast<char>(colourType), 0, 0, interlaced ? '\1' : '\0'};
    return "\x89PNG\r\n\x1a\n" + pngChunk("IHDR", ihdr) +
           pngChunk("IDAT", lumo::test::zlibStored(std::string(idat, '\0'))) + pngChunk("IEND", "");
}

// An uncompressed (or deflate-compressed, `compression` 8) strip TIFF of width x height whose single
// strip holds `data`, with `privateTags` tags the TIFF library does not know (it warns about each).
std::string stripTiff(std::uint32_t width, std::uint32_t height, std::uint16_t samples,
                      std::uint16_t compression, const std::string& data, int privateTags = 0) {
    TiffBuilder tiff;
    for (int i = 0; i < privateTags; ++i)
        tiff.ifd().addShort(static_cast<std::uint16_t>(50000 + i), 1);
    tiff.ifd()
        .addLong(256, width)
        .addLong(257, height)
        .addShorts(258, std::vector<std::uint16_t>(samples, 8))
        .addShort(259, compression)
        .addShort(262, samples == 1 ? 1 : 2)
        .addShort(277, samples)
        .addLong(278, height);
    tiff.ifd().addBlob(273, 279, data);
    return tiff.build();
}

// Restores the decode memory limit a test changed.
struct LimitGuard {
    std::uint64_t saved = NRFDecodeMemoryLimit();
    ~LimitGuard() { NRFSetDecodeMemoryLimit(saved); }
};

} // namespace

// Files that declare far more pixels than their bytes hold, or than decoding may hold in memory, are
// refused before the decoders allocate for them, at the default limit. Each of the first three took
// seconds and gigabytes before: a 613-byte progressive JPEG of 49157 x 27397, an interlaced RGBA PNG of
// 32768 x 32768 with 4 MB of data, and a HEIC grid said to be 32000 x 32000 (in HEIFTest).
TEST_F(StillLoadersTest, BombsAreRefusedBeforeTheirPixelsAreAllocated) {
    const std::string progressive = lumo::test::encodeJpeg(64, 64, true, 90, true);
    std::string gif = GifBuilder(30000, 30000, std::string(6, '\0'))
                          .image(GifImageLayout{.width = 30000, .height = 30000, .indexes = {0, 1, 0, 1}})
                          .bytes();
    struct Bomb {
        const char* name;
        std::string bytes;
    } const bombs[] = {
        {"progressive.jpg", lumo::test::withJpegFrameSize(progressive, 49157, 27397).substr(0, 613)},
        {"baseline.jpg", lumo::test::withJpegFrameSize(lumo::test::encodeJpeg(64, 64), 60000, 60000)},
        {"adam7.png", pngDeclaring(32768, 32768, 6, true, 4u << 20)},
        {"few-bytes.png", pngDeclaring(30000, 30000, 2, false, 1000)},
        {"strip.tif", stripTiff(60000, 60000, 3, 8, std::string(64, 'x'))},
        {"screen.gif", gif},
        {"rle.bmp", lumo::test::buildBmp(BmpLayout{.width = 40000,
                                                   .height = 40000,
                                                   .bits = 8,
                                                   .compression = 1,
                                                   .palette = {{0, 0, 0}, {255, 255, 255}},
                                                   .pixels = std::string("\0\1", 2)})},
        {"packbits.psd", [] {
             std::string psd = lumo::test::buildPsd(
                 {.compression = 1, .width = 4, .height = 4, .planes = {std::string(16, 'a')}});
             psd.replace(14, 8, be(30000, 4) + be(30000, 4));
             return psd;
         }()},
    };
    for (const Bomb& bomb : bombs) {
        SCOPED_TRACE(bomb.name);
        NRFImageInfoRef record;
        if (read(bomb.name, bomb.bytes, record) != kNRFErrNone)
            continue; // refused when read: nothing is decoded
        NRFBitmapBase bitmap;
        const NRFErr result = NRFLoadFilePreview(record.get(), &bitmap, 256, kNRFLoadAllowEmbedded);
        EXPECT_TRUE(result == kNRFErrMemory || result == kNRFErrBadFormat) << result;
        EXPECT_TRUE(bitmap.Empty());
        NRFCloseImage(&record);
    }
}

// Decoders that stream rows decode images whose full size is far beyond the limit to a thumbnail;
// those that must hold the whole image (progressive JPEG, interlaced PNG) answer 7 for them.
TEST_F(StillLoadersTest, TheMemoryLimitStopsWholeImageDecodesButNotStreamedOnes) {
    const LimitGuard guard;
    NRFSetDecodeMemoryLimit(std::uint64_t{4} << 20);
    // 1600 x 1600 RGB is 7.7 MB whole.
    const std::uint32_t side = 1600;
    std::string rgb(std::size_t{side} * side * 3, '\0');
    for (std::size_t i = 0; i < rgb.size(); i += 7)
        rgb[i] = static_cast<char>(i / 4099);
    lumo::test::PngLayout png{.width = side, .height = side, .pixels = rgb};
    const std::string straightPng = lumo::test::buildPng(png);
    png.interlaced = true;
    const std::string adam7 = lumo::test::buildPng(png);
    struct Case {
        const char* name;
        std::string bytes;
        NRFErr result;
    } const cases[] = {
        {"baseline.jpg", lumo::test::encodeJpeg(side, side), kNRFErrNone},
        {"progressive.jpg", lumo::test::encodeJpeg(side, side, true, 90, true), kNRFErrMemory},
        {"straight.png", straightPng, kNRFErrNone},
        {"adam7.png", adam7, kNRFErrMemory},
        {"strip.tif", stripTiff(side, side, 3, 1, rgb, 40), kNRFErrNone}, // warned about each tag
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NRFImageInfoRef record;
        ASSERT_EQ(read(c.name, c.bytes, record), kNRFErrNone);
        NRFBitmapBase bitmap;
        ASSERT_EQ(NRFLoadFilePreview(record.get(), &bitmap, 256, kNRFLoadAllowEmbedded), c.result);
        if (c.result == kNRFErrNone)
            EXPECT_GE(std::max(bitmap.Width(), bitmap.Height()), 256u);
        NRFCloseImage(&record);
    }
}
