// The bitmap, JPEG decoding and encoding, and the thumbnail and preview loaders as the caches call them:
// the sizes they decode at, the pictures turned upright, the locations that fail and are not tried again.

#include "NRF/NRF.h"
#include "NRF/NRFBasicJPEG.h"
#include "NRF/NRFBitmapBase.h"
#include "NRF/NRFImageInfo.h"
#include "app/LumoLogger.h"
#include "support/JpegBuilder.h"
#include "support/TestLog.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using lumo::test::decodeJpeg;
using lumo::test::encodeJpeg;
using lumo::test::TempDir;

using lumo::test::loggedSoFar;

namespace {

NRFErr decode(const std::string& bytes, std::uint32_t size, NRFBitmapBase& out) {
    return NRFDecompressJPEG(bytes.data(), bytes.size(), size, out);
}

// A grey bitmap whose every pixel has its own value.
NRFBitmapBase numbered(std::uint32_t width, std::uint32_t height) {
    NRFBitmapBase bitmap;
    bitmap.Allocate(width, height, 1);
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x)
            bitmap.Row(y)[x] = static_cast<std::uint8_t>(1 + y * width + x);
    return bitmap;
}

class ThumbnailsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(NRFInit(""), kNRFErrNone); }
    void TearDown() override { NRFTerminate(); }

    // A record of `type` for a file holding `bytes`, with no location set.
    std::shared_ptr<NRFLocalImageInfoRec> record(const std::string& bytes, NRFFileType type) {
        const std::string path = m_dir.file("image" + std::to_string(++m_count));
        lumo::test::writeWholeFile(path, bytes);
        return std::make_shared<NRFLocalImageInfoRec>(path, type);
    }

    TempDir m_dir;
    int m_count = 0;
};

} // namespace

TEST(NRFBasicJPEG, DecodesAtTheSmallestDCTScaleThatStillCoversTheWantedSize) {
    const std::string colour = encodeJpeg(800, 600);
    const std::pair<std::uint32_t, std::uint32_t> cases[] = {{0, 800},   {1, 100},   {100, 100},
                                                             {101, 200}, {250, 300}, {401, 500},
                                                             {700, 700}, {701, 800}, {5000, 800}};
    for (const auto& [wanted, longSide] : cases) {
        NRFBitmapBase bitmap;
        ASSERT_EQ(decode(colour, wanted, bitmap), 0u) << wanted;
        EXPECT_EQ(bitmap.Width(), longSide) << wanted;
        EXPECT_EQ(bitmap.Height(), longSide * 3 / 4) << wanted;
        EXPECT_EQ(bitmap.Channels(), 3);
    }
    // At full size the pixels are the library's own.
    NRFBitmapBase full;
    ASSERT_EQ(decode(colour, 0, full), 0u);
    const auto reference = decodeJpeg(colour);
    ASSERT_TRUE(reference.ok);
    EXPECT_TRUE(std::equal(reference.pixels.begin(), reference.pixels.end(), full.Row(0)));

    NRFBitmapBase grey;
    ASSERT_EQ(decode(encodeJpeg(64, 200, false), 30, grey), 0u);
    EXPECT_EQ(grey.Channels(), 1);
    EXPECT_EQ(grey.Width(), 16u);
    EXPECT_EQ(grey.Height(), 50u);
}

TEST(NRFBasicJPEG, DataTheLibraryRefusesIsError9AndLeavesNoBitmap) {
    const std::string good = encodeJpeg(64, 48);
    const std::string bad[] = {std::string("not a jpeg at all"), good.substr(0, 20),
                               std::string("\xFF\xD8\xFF\xC0", 4), std::string(1, '\xFF')};
    for (const std::string& bytes : bad) {
        NRFBitmapBase bitmap;
        bitmap.Allocate(4, 4, 3);
        EXPECT_EQ(decode(bytes, 0, bitmap), 9u);
        EXPECT_TRUE(bitmap.Empty());
    }
    NRFBitmapBase bitmap;
    EXPECT_EQ(NRFDecompressJPEG(nullptr, 0, 0, bitmap), 9u);
    // A stream cut in its scan still gives a picture: the library fills what is missing.
    EXPECT_EQ(decode(good.substr(0, good.size() - 200), 0, bitmap), 0u);
}

TEST(NRFBasicJPEG, EncodesGreyAndColourBitmapsTheLibraryReadsBack) {
    for (const int channels : {1, 3}) {
        NRFBitmapBase bitmap;
        ASSERT_TRUE(bitmap.Allocate(300, 70, channels));
        for (std::uint32_t y = 0; y < 70; ++y)
            for (std::size_t i = 0; i < bitmap.Stride(); ++i)
                bitmap.Row(y)[i] = static_cast<std::uint8_t>(i + y);
        std::string bytes;
        ASSERT_EQ(NRFCompressJPEG(bitmap, 85, bytes), 0u);
        const auto decoded = decodeJpeg(bytes);
        ASSERT_TRUE(decoded.ok) << decoded.error;
        EXPECT_EQ(decoded.width, 300);
        EXPECT_EQ(decoded.height, 70);
        EXPECT_EQ(decoded.components, channels);
    }
    std::string bytes;
    EXPECT_EQ(NRFCompressJPEG(NRFBitmapBase{}, 85, bytes), 9u);
}

TEST(NRFBitmapBase, EachRotationCodeTurnsTheStoredPixelsOfItsEXIFOrientationUpright) {
    // The upright picture is 3 x 2; for each EXIF orientation the stored pixels are what a camera writes.
    const std::uint32_t w = 3, h = 2;
    const NRFBitmapBase upright = numbered(w, h);
    const int codeOfOrientation[8] = {0, 4, 2, 6, 7, 1, 5, 3};
    for (int orientation = 1; orientation <= 8; ++orientation) {
        const bool swapped = orientation >= 5;
        NRFBitmapBase stored;
        stored.Allocate(swapped ? h : w, swapped ? w : h, 1);
        for (std::uint32_t r = 0; r < stored.Height(); ++r)
            for (std::uint32_t c = 0; c < stored.Width(); ++c) {
                std::uint32_t ux = c, uy = r; // where in the upright picture the stored pixel (c, r) is
                switch (orientation) {
                case 2:
                    ux = w - 1 - c;
                    break;
                case 3:
                    ux = w - 1 - c, uy = h - 1 - r;
                    break;
                case 4:
                    uy = h - 1 - r;
                    break;
                case 5:
                    ux = r, uy = c;
                    break;
                case 6:
                    ux = w - 1 - r, uy = c;
                    break;
                case 7:
                    ux = w - 1 - r, uy = h - 1 - c;
                    break;
                case 8:
                    ux = r, uy = h - 1 - c;
                    break;
                default:
                    break;
                }
                stored.Row(r)[c] = upright.Row(uy)[ux];
            }
        stored.flags = kNRFBitmapExifThumbnail;
        ASSERT_TRUE(stored.Rotate(codeOfOrientation[orientation - 1]));
        ASSERT_EQ(stored.Width(), w) << orientation;
        ASSERT_EQ(stored.Height(), h) << orientation;
        for (std::uint32_t y = 0; y < h; ++y)
            EXPECT_TRUE(std::equal(upright.Row(y), upright.Row(y) + w, stored.Row(y)))
                << "orientation " << orientation;
        EXPECT_EQ(stored.flags, kNRFBitmapExifThumbnail);
    }
}

TEST(NRFBitmapBase, CropIntoRefusesRectanglesOutsideAndCopiesInside) {
    const NRFBitmapBase bitmap = numbered(10, 8);
    NRFBitmapBase out;
    EXPECT_EQ(bitmap.CropInto(8, 0, 3, 2, out), 1u);
    EXPECT_EQ(bitmap.CropInto(0, 7, 1, 2, out), 1u);
    EXPECT_EQ(bitmap.CropInto(0, 0, 0, 2, out), 1u);
    EXPECT_EQ(bitmap.CropInto(0xFFFFFFFFu, 0, 2, 2, out), 1u);
    ASSERT_EQ(bitmap.CropInto(7, 6, 3, 2, out), 0u);
    EXPECT_EQ(out.Width(), 3u);
    EXPECT_EQ(out.Row(0)[0], bitmap.Row(6)[7]);
    EXPECT_EQ(out.Row(1)[2], bitmap.Row(7)[9]);
}

TEST_F(ThumbnailsTest, AThumbnailThatFailsToDecodeIsForgottenAndNotTriedAgain) {
    const std::string thumbnail = encodeJpeg(160, 120);
    const std::string bytes = std::string(100, 'x') + thumbnail + std::string(400, '\x01');
    auto r = record(bytes, kNRFTypeJPEG);
    r->m_thumbnail = NRFEmbeddedImageLoc{100, static_cast<std::uint32_t>(thumbnail.size()), 160, 120};
    r->m_orientation = 1;
    NRFBitmapBase bitmap;
    ASSERT_EQ(NRFLoadFileThumbnail(r.get(), &bitmap, 0, false), 0u);
    EXPECT_EQ(bitmap.Width(), 120u); // turned upright
    EXPECT_EQ(bitmap.Height(), 160u);

    r->m_thumbnail = NRFEmbeddedImageLoc{static_cast<std::uint32_t>(100 + thumbnail.size()), 400, 160, 120};
    EXPECT_EQ(NRFLoadFileThumbnail(r.get(), &bitmap, 0, false), 9u);
    EXPECT_FALSE(r->m_thumbnail.present());
    EXPECT_EQ(NRFLoadFileThumbnail(r.get(), &bitmap, 0, false), kNRFErrNoThumbnail);
    const std::string log = loggedSoFar();
    EXPECT_NE(log.find("NRFJPEGErrorExit: "), std::string::npos);
    EXPECT_NE(log.find("While processing file: '" + r->m_path + "', "), std::string::npos);
    EXPECT_NE(log.find("NRFJPEGLoadThumbnail() invalidating thumbnail on:" + r->m_path + ", result:9"),
              std::string::npos);

    // Several threads load at once, each its own record of the same file.
    std::vector<std::thread> threads;
    std::vector<NRFErr> results(4, 99);
    for (std::size_t i = 0; i < results.size(); ++i)
        threads.emplace_back([&, i] {
            NRFLocalImageInfoRec own(r->m_path, kNRFTypeJPEG);
            own.m_thumbnail =
                NRFEmbeddedImageLoc{100, static_cast<std::uint32_t>(thumbnail.size()), 160, 120};
            NRFBitmapBase result;
            results[i] = NRFLoadFileThumbnail(&own, &result, 40, false);
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(results, std::vector<NRFErr>(4, 0u));

    // A JPEG preview wins over the thumbnail.
    r->m_thumbnail = NRFEmbeddedImageLoc{100, static_cast<std::uint32_t>(thumbnail.size()), 160, 120};
    r->m_preview = NRFEmbeddedImageLoc{1, 50, 640, 480};
    r->m_previewIsJPEG = true;
    EXPECT_EQ(NRFLoadFileThumbnail(r.get(), &bitmap, 0, false), 9u);
    EXPECT_FALSE(r->m_preview.present());
    EXPECT_EQ(NRFLoadFileThumbnail(r.get(), &bitmap, 0, false), 0u);

    EXPECT_EQ(NRFLoadFileThumbnail(nullptr, &bitmap, 0, false), kNRFErrParam);
    NRFImageInfoRec remote(r->m_path, kNRFTypeJPEG);
    EXPECT_EQ(NRFLoadFileThumbnail(&remote, &bitmap, 0, false), kNRFErrNotLocal);
}

TEST_F(ThumbnailsTest, AYCbCrStripIsConvertedWithTheFilesCoefficientsAndFlaggedAsAnEXIFThumbnail) {
    std::string strip;
    for (int i = 0; i < 160 * 120; ++i)
        strip += std::string{'\x80', '\x80', '\xC8'}; // Y 128, Cb 128, Cr 200
    auto r = record(std::string(16, '\0') + strip, NRFMakeFileType("NNEF"));
    r->m_stripThumbnail = NRFEmbeddedImageLoc{16, static_cast<std::uint32_t>(strip.size()), 160, 120};
    // 0.299 / 0.587 / 0.114 as 1/16384ths: Cr→R 1.402, Cb→B 1.772, Cb→G 0.344, Cr→G 0.714.
    r->m_yCbCrCoefficients = {22970, 29032, 5638, 11700};
    NRFBitmapBase bitmap;
    ASSERT_EQ(NRFLoadFileThumbnail(r.get(), &bitmap, 80, false), 0u);
    EXPECT_EQ(bitmap.Width(), 80u);
    EXPECT_EQ(bitmap.Height(), 60u);
    EXPECT_EQ(bitmap.Channels(), 3);
    EXPECT_NEAR(bitmap.Row(30)[120], 229, 1);
    EXPECT_NEAR(bitmap.Row(30)[121], 77, 1);
    EXPECT_NEAR(bitmap.Row(30)[122], 128, 1);
    EXPECT_TRUE(bitmap.flags & kNRFBitmapExifThumbnail);

    // Without coefficients the three bytes are R, G, B; a grey strip is spread over all three.
    r->m_yCbCrCoefficients = {};
    r->m_stripThumbnail = NRFEmbeddedImageLoc{16, 100 * 50, 100, 50};
    ASSERT_EQ(NRFLoadFileThumbnail(r.get(), &bitmap, 0, false), 0u);
    EXPECT_EQ(bitmap.Width(), 100u);
    EXPECT_EQ(bitmap.Row(0)[2], 0x80);
    EXPECT_FALSE(bitmap.flags & kNRFBitmapExifThumbnail);
}

TEST_F(ThumbnailsTest, APreviewIsTheBestEmbeddedImageThatStillDecodes) {
    const std::string preview = encodeJpeg(640, 480), thumbnail = encodeJpeg(160, 120);
    auto r = record(std::string(8, '\0') + preview + thumbnail, NRFMakeFileType("NNEF"));
    const auto setAll = [&] {
        r->m_preview = NRFEmbeddedImageLoc{8, static_cast<std::uint32_t>(preview.size()), 640, 480};
        r->m_previewIsJPEG = true;
        r->m_thumbnail = NRFEmbeddedImageLoc{static_cast<std::uint32_t>(8 + preview.size()),
                                             static_cast<std::uint32_t>(thumbnail.size()), 160, 120};
    };
    setAll();
    NRFBitmapBase bitmap;
    EXPECT_EQ(NRFLoadFilePreview(r.get(), &bitmap, 0, 0), 22u);
    EXPECT_EQ(NRFLoadFilePreview(r.get(), &bitmap, 0, kNRFLoadWantRendered | kNRFLoadRenderNow), 22u);
    ASSERT_EQ(NRFLoadFilePreview(r.get(), &bitmap, 300, kNRFLoadAllowEmbedded), 0u);
    EXPECT_EQ(bitmap.Width(), 320u);
    EXPECT_EQ(bitmap.flags, 0u);
    ASSERT_EQ(NRFLoadFilePreview(r.get(), &bitmap, 0, kNRFLoadAllowEmbedded | kNRFLoadWantRendered), 0u);
    EXPECT_EQ(bitmap.Width(), 640u);
    EXPECT_EQ(bitmap.flags, std::uint32_t{kNRFBitmapSubstitute});

    // A preview that fails is forgotten and the thumbnail answers in the same call.
    r->m_preview.offset = 9;
    ASSERT_EQ(NRFLoadFilePreview(r.get(), &bitmap, 0, kNRFLoadAllowEmbedded), 0u);
    EXPECT_EQ(bitmap.Width(), 160u);
    EXPECT_FALSE(r->m_preview.present());
    r->m_thumbnail.offset = 9;
    EXPECT_EQ(NRFLoadFilePreview(r.get(), &bitmap, 0, kNRFLoadAllowEmbedded), kNRFErrNoThumbnail);
    EXPECT_FALSE(r->m_thumbnail.present());

    // The fuzzy form takes the small preview a maker note points at first.
    setAll();
    r->m_fuzzyPreview = r->m_thumbnail;
    ASSERT_EQ(NRFLoadFileThumbnail(r.get(), &bitmap, 0, true), 0u);
    EXPECT_EQ(bitmap.Width(), 160u);
    r->m_fuzzyPreview.offset = 9;
    ASSERT_EQ(NRFLoadFileThumbnail(r.get(), &bitmap, 0, true), 0u);
    EXPECT_EQ(bitmap.Width(), 640u);
    EXPECT_FALSE(r->m_fuzzyPreview.present());
}

TEST_F(ThumbnailsTest, RealFilesThumbnailsAndPreviewsHaveTheSizeExiftoolExtracts) {
    const std::string corpus = lumo::test::corpusFolderOrFail();
    if (corpus.empty())
        GTEST_SKIP() << "no corpus";
    // name, exiftool tag, load the preview (else the thumbnail)
    const std::tuple<const char*, const char*, bool> files[] = {
        {"exiv2/exiv2-bug2565.jpg", "-ThumbnailImage", false},
        {"exiftool/FujiFilm.raf", "-PreviewImage", true},
        {"exiftool/FujiFilm.raf", "-ThumbnailImage", false},
        {"exiftool/Panasonic.rw2", "-JpgFromRaw", true},
        {"exiv2/exiv2-canon-powershot-s40.crw", "-ThumbnailImage", false},
    };
    for (const auto& [name, tag, preview] : files) {
        const std::string source = corpus + "/" + name;
        const auto extracted = lumo::test::runProcess("exiftool", {"-b", tag, source});
        if (extracted.exitCode != 0 || extracted.out.empty()) {
            ADD_FAILURE() << "exiftool extracted nothing from " << name;
            continue;
        }
        const auto reference = decodeJpeg(extracted.out);
        ASSERT_TRUE(reference.ok) << name;

        const std::string copy =
            m_dir.file(std::string(preview ? "p-" : "t-") + std::filesystem::path(name).filename().string());
        std::filesystem::copy_file(source, copy);
        NRFImageInfoRef r;
        ASSERT_EQ(NRFOpenImage(copy.c_str(), 0, &r), 0u) << name;
        ASSERT_EQ(NRFGetImageInfo(r.get()), 0u) << name;
        NRFBitmapBase bitmap;
        const NRFErr result = preview ? NRFLoadFilePreview(r.get(), &bitmap, 0, kNRFLoadAllowEmbedded)
                                      : NRFLoadFileThumbnail(r.get(), &bitmap, 0, false);
        ASSERT_EQ(result, 0u) << name;
        const bool turned = r->m_orientation & 1;
        EXPECT_EQ(bitmap.Width(), static_cast<std::uint32_t>(turned ? reference.height : reference.width))
            << name;
        EXPECT_EQ(bitmap.Height(), static_cast<std::uint32_t>(turned ? reference.width : reference.height))
            << name;
    }
}
