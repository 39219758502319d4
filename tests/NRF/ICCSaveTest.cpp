#include "NRF/NRF.h"
#include "NRF/NRFBasicJPEG.h"
#include "NRF/NRFDecode.h"
#include "NRF/NRFICC.h"
#include "NRF/NRFSaveBitmap.h"
#include "NRF/NRFTestSupport.h"
#include "support/BmpPsdBuilder.h"
#include "support/FileIO.h"
#include "support/JpegBuilder.h"
#include "support/PngGifBuilder.h"
#include "support/TiffBuilder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <thread>
#include <vector>

#include <lcms2.h>
#include <zlib.h>

namespace {

using lumo::test::ByteOrder;
using lumo::test::JpegBuilder;
using lumo::test::samplesOf;
using lumo::test::TiffBuilder;

class ICCSaveTest : public lumo::test::NRFEngineTest {};

constexpr std::uint16_t kColorSpaceEmbedded = 1;

// -- profiles made here, independently of the engine

std::string saveProfile(cmsHPROFILE profile) {
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    std::string bytes(size, '\0');
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    cmsCloseProfile(profile);
    return bytes;
}

cmsHPROFILE adobeRGB() {
    const cmsCIExyY white{0.3127, 0.3290, 1.0};
    const cmsCIExyYTRIPLE primaries{{0.64, 0.33, 1.0}, {0.21, 0.71, 1.0}, {0.15, 0.06, 1.0}};
    cmsToneCurve* gamma = cmsBuildGamma(nullptr, 563.0 / 256.0);
    cmsToneCurve* curves[3] = {gamma, gamma, gamma};
    cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsFreeToneCurve(gamma);
    return profile;
}

// A grey profile with D50 white and the given tone curve, linear light or the sRGB curve.
cmsHPROFILE greyProfile(bool srgbCurve) {
    const cmsFloat64Number parameters[5] = {2.4, 1.0 / 1.055, 0.055 / 1.055, 1.0 / 12.92, 0.04045};
    cmsToneCurve* curve =
        srgbCurve ? cmsBuildParametricToneCurve(nullptr, 4, parameters) : cmsBuildGamma(nullptr, 1.0);
    cmsHPROFILE profile = cmsCreateGrayProfile(cmsD50_xyY(), curve);
    cmsFreeToneCurve(curve);
    return profile;
}

// What Little CMS makes of the pixel going from `from` to `to` (perceptual, black point compensation).
std::vector<std::uint8_t> expected(cmsHPROFILE from, cmsHPROFILE to, std::uint32_t format,
                                   std::vector<std::uint8_t> pixel) {
    cmsHTRANSFORM transform =
        cmsCreateTransform(from, format, to, format, INTENT_PERCEPTUAL, cmsFLAGS_BLACKPOINTCOMPENSATION);
    cmsDoTransform(transform, pixel.data(), pixel.data(), 1);
    cmsDeleteTransform(transform);
    cmsCloseProfile(from);
    cmsCloseProfile(to);
    return pixel;
}

// A profile of some size whose bytes are not all alike, so that a chunk read at the wrong place shows.
std::string testProfile() {
    cmsHPROFILE profile = adobeRGB();
    cmsMLU* mlu = cmsMLUalloc(nullptr, 1);
    cmsMLUsetASCII(mlu, "en", "US", "Lumograph test profile");
    cmsWriteTag(profile, cmsSigProfileDescriptionTag, mlu);
    cmsMLUfree(mlu);
    return saveProfile(profile);
}

// -- files and bitmaps built here

std::string zlibCompress(const std::string& bytes) {
    uLongf size = compressBound(static_cast<uLong>(bytes.size()));
    std::string out(size, '\0');
    compress(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(bytes.data()),
             static_cast<uLong>(bytes.size()));
    out.resize(size);
    return out;
}

// A 2 x 2 grey PNG with the profile in an iCCP chunk (`stream` as the chunk's zlib stream).
std::string pngWithICCP(const std::string& stream) {
    std::string png = lumo::test::buildPng(
        {.width = 2, .height = 2, .colourType = 0, .pixels = std::string("\x10\x20\x30\x40", 4)});
    return png.insert(33, lumo::test::pngChunk("iCCP", std::string("test\0\0", 6) + stream)); // after IHDR
}

// A 2 x 2 RGB Photoshop file whose image resources hold the profile.
std::string psdWithProfile(const std::string& profile) {
    return lumo::test::buildPsd({.width = 2,
                                 .height = 2,
                                 .resources = lumo::test::psdResource(0x040F, profile),
                                 .planes = std::vector<std::string>(3, std::string(4, '\x80'))});
}

// A 1 x 1 GIF whose application extension carries the profile in sub-blocks of `blockSize` bytes.
std::string gifWithProfile(const std::string& profile, std::size_t blockSize) {
    std::string extension = "\x21\xFF\x0BICCRGBG1012";
    for (std::size_t at = 0; at < profile.size(); at += blockSize)
        extension +=
            static_cast<char>(std::min(blockSize, profile.size() - at)) + profile.substr(at, blockSize);
    std::string gif = lumo::test::GifBuilder(1, 1, std::string(6, '\0'))
                          .image({.width = 1, .height = 1, .indexes = {0}, .lzw = {.minCodeSize = 2}})
                          .bytes();
    return gif.insert(19, extension + '\0'); // after the header and the global palette
}

std::string tiffWithProfile(ByteOrder order, const std::string& profile) {
    TiffBuilder tiff(order);
    tiff.ifd().addLong(256, 2).addLong(257, 2).addShort(258, 8).addShort(259, 1).addShort(262, 1);
    tiff.ifd().addShort(277, 1).addLong(278, 2).addUndefined(34675, profile);
    tiff.ifd().addBlob(273, 279, std::string(4, '\x40'));
    return tiff.build();
}

// The payloads of a JPEG stream's segments before its first scan, by marker, in stream order.
std::multimap<int, std::string> segmentsOf(const std::string& jpeg) {
    std::multimap<int, std::string> segments;
    for (std::size_t at = 2; at + 4 <= jpeg.size() && jpeg[at] == '\xFF' && jpeg[at + 1] != '\xDA';) {
        const std::size_t length =
            static_cast<std::uint8_t>(jpeg[at + 2]) * 256u + static_cast<std::uint8_t>(jpeg[at + 3]);
        segments.emplace(static_cast<std::uint8_t>(jpeg[at + 1]), jpeg.substr(at + 4, length - 2));
        at += 2 + length;
    }
    return segments;
}

// The payloads of one marker's segments run together.
std::string joined(const std::multimap<int, std::string>& segments, int marker, std::size_t skip = 0) {
    std::string all;
    for (auto [it, end] = segments.equal_range(marker); it != end; ++it)
        all += it->second.substr(skip);
    return all;
}

NRFBitmapBase filled(std::uint32_t width, std::uint32_t height, const std::vector<std::uint8_t>& pixel) {
    NRFBitmapBase bitmap;
    bitmap.Allocate(width, height, static_cast<int>(pixel.size()));
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x)
            std::copy(pixel.begin(), pixel.end(), bitmap.Row(y) + pixel.size() * x);
    return bitmap;
}

NRFBitmapBase gradient(std::uint32_t width, std::uint32_t height, int channels) {
    NRFBitmapBase bitmap;
    bitmap.Allocate(width, height, channels);
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width * static_cast<std::uint32_t>(channels); ++x)
            bitmap.Row(y)[x] = static_cast<std::uint8_t>((x * 7 + y * 3) & 0xFF);
    return bitmap;
}

std::vector<std::string> filesIn(const std::string& folder) {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        if (entry.is_regular_file())
            files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace

TEST_F(ICCSaveTest, ConversionToSRGBLandsWhereLittleCMSPutsTheColour) {
    EXPECT_TRUE(NRFICCBuiltInProfile(7).empty());

    // A saturated Adobe RGB green that sRGB can still show.
    const std::vector<std::uint8_t> input{60, 170, 80};
    const auto want = expected(adobeRGB(), cmsCreate_sRGBProfile(), TYPE_RGB_8, input);
    ASSERT_NE(want, input);
    NRFBitmapBase bitmap = filled(5, 3, input);
    NRFImageInfoRec record("/nowhere.jpg", kNRFTypeJPEG);
    record.m_colorSpaceCode = kNRFColorSpaceAdobeRGB;
    ASSERT_EQ(NRFICCConvertRecordBitmapToSRGB(record, bitmap), 0u);
    const std::vector<std::uint8_t> converted = samplesOf(bitmap);
    ASSERT_EQ(converted.size(), 45u);
    for (std::size_t i = 0; i < converted.size(); ++i)
        ASSERT_NEAR(converted[i], want[i % 3], 1) << "sample " << i;

    // The same profile given as bytes converts the same, and threads converting with the one cached
    // transform at once all get that colour.
    const std::string independent = saveProfile(adobeRGB());
    NRFBitmapBase first = filled(1, 1, input);
    ASSERT_EQ(NRFICCConvertToSRGB(independent, first), 0u);
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(first.Row(0)[c], want[c], 1);
    std::vector<NRFBitmapBase> bitmaps(4, filled(64, 64, input));
    std::vector<NRFErr> results(bitmaps.size(), 99);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < bitmaps.size(); ++i)
        threads.emplace_back([&, i] { results[i] = NRFICCConvertToSRGB(independent, bitmaps[i]); });
    for (std::thread& t : threads)
        t.join();
    for (std::size_t i = 0; i < bitmaps.size(); ++i) {
        EXPECT_EQ(results[i], 0u);
        EXPECT_EQ(samplesOf(bitmaps[i]), samplesOf(filled(64, 64, samplesOf(first)))) << "thread " << i;
    }

    // For a screen with that profile the colour goes the other way, from sRGB to the profile; the
    // transform cached for the way in is not taken for it.
    const std::vector<std::uint8_t> srgb{0, 200, 0};
    const auto shownAs = expected(cmsCreate_sRGBProfile(), adobeRGB(), TYPE_RGB_8, srgb);
    ASSERT_NE(shownAs, srgb);
    NRFBitmapBase forScreen = filled(2, 1, srgb);
    ASSERT_EQ(NRFICCConvertFromSRGB(independent, forScreen), 0u);
    for (std::size_t i = 0; i < 6; ++i)
        EXPECT_NEAR(samplesOf(forScreen)[i], shownAs[i % 3], 1) << "sample " << i;

    // sRGB records are left alone, and so is a bitmap the profile does not suit.
    record.m_colorSpaceCode = kNRFColorSpaceSRGB;
    NRFBitmapBase untouched = filled(1, 1, input);
    EXPECT_EQ(NRFICCConvertRecordBitmapToSRGB(record, untouched), 0u);
    EXPECT_EQ(samplesOf(untouched), input);
    NRFBitmapBase unsuited = filled(2, 1, {77});
    lumo::test::LogWatch log;
    EXPECT_EQ(NRFICCConvertToSRGB(independent, unsuited), 0u);
    EXPECT_EQ(samplesOf(unsuited), (std::vector<std::uint8_t>{77, 77}));
    EXPECT_TRUE(log.has("does not suit"));

    // A grey bitmap with a grey profile keeps its one channel.
    const auto wantGrey = expected(greyProfile(false), greyProfile(true), TYPE_GRAY_8, {50});
    ASSERT_GT(wantGrey[0], 50); // linear light encodes brighter with the sRGB curve
    NRFBitmapBase grey = filled(4, 2, {50});
    ASSERT_EQ(NRFICCConvertToSRGB(saveProfile(greyProfile(false)), grey), 0u);
    EXPECT_EQ(grey.Channels(), 1);
    for (const std::uint8_t sample : samplesOf(grey))
        EXPECT_NEAR(sample, wantGrey[0], 1);

    // Bytes that are not a profile.
    EXPECT_EQ(NRFICCConvertToSRGB(std::string(200, 'x'), untouched), 9u);
    EXPECT_EQ(NRFICCProfileName(std::string(200, 'x')), "");
}

TEST_F(ICCSaveTest, EmbeddedProfilesReadBackAsWritten) {
    const std::string profile = testProfile();
    ASSERT_GT(profile.size(), 300u);
    const auto check = [&](const std::string& name, const std::string& bytes) {
        SCOPED_TRACE(name);
        NRFImageInfoRef record;
        ASSERT_EQ(read(name, bytes, record), kNRFErrNone);
        ASSERT_EQ(record->m_colorSpaceCode, kColorSpaceEmbedded);
        std::string got;
        ASSERT_EQ(NRFLoadICCProfile(record.get(), &got), kNRFErrNone);
        EXPECT_EQ(got, profile);
        EXPECT_EQ(NRFICCProfileName(got), "Lumograph test profile");
    };

    // Three chunks, the last two swapped, with a comment between.
    const std::size_t third = profile.size() / 3;
    JpegBuilder jpeg(16, 16);
    jpeg.addIccChunk(1, 3, profile.substr(0, third));
    jpeg.addComment("between");
    jpeg.addIccChunk(3, 3, profile.substr(2 * third));
    jpeg.addIccChunk(2, 3, profile.substr(third, third));
    check("chunks.jpg", jpeg.build());

    check("little.tif", tiffWithProfile(ByteOrder::Little, profile));
    check("big.tif", tiffWithProfile(ByteOrder::Big, profile));
    check("iccp.png", pngWithICCP(zlibCompress(profile)));
    check("resource.psd", psdWithProfile(profile));
    check("blocks.gif", gifWithProfile(profile, 255));
    check("small-blocks.gif", gifWithProfile(profile, 7));

    // Damage: a chunk missing, a stream cut short, a profile whose size is not its own.
    const auto damaged = [&](const std::string& name, const std::string& bytes) {
        SCOPED_TRACE(name);
        NRFImageInfoRef record;
        ASSERT_EQ(read(name, bytes, record), kNRFErrNone);
        std::string got = "x";
        EXPECT_EQ(NRFLoadICCProfile(record.get(), &got), 9u);
        EXPECT_TRUE(got.empty());
    };
    JpegBuilder missing(16, 16);
    missing.addIccChunk(1, 3, profile.substr(0, third));
    missing.addIccChunk(3, 3, profile.substr(2 * third));
    damaged("missing.jpg", missing.build());
    const std::string stream = zlibCompress(profile);
    damaged("cut.png", pngWithICCP(stream.substr(0, stream.size() / 2)));
    std::string lying = profile;
    lying[2] = static_cast<char>(lying[2] + 1); // declares 256 bytes more than it has
    damaged("lying.psd", psdWithProfile(lying));
    damaged("bomb.png", pngWithICCP(zlibCompress(std::string(40, 'a') + std::string(1 << 20, '\0'))));

    // No profile at all.
    NRFImageInfoRef plain;
    ASSERT_EQ(read("plain.jpg", JpegBuilder(8, 8).build(), plain), kNRFErrNone);
    std::string none;
    EXPECT_EQ(NRFLoadICCProfile(plain.get(), &none), 13u);
}

TEST_F(ICCSaveTest, CorpusProfilesMatchExiftool) {
    const std::string corpus = lumo::test::corpusFolderOrFail();
    if (corpus.empty())
        GTEST_SKIP() << "no corpus";
    std::map<std::string, std::string> profiles;
    for (const std::string& path : filesIn(corpus)) {
        NRFImageInfoRef record;
        if (NRFOpenImage(path.c_str(), 0, &record) != kNRFErrNone || NRFGetImageInfo(record.get()) != 0 ||
            record->m_colorSpaceCode != kColorSpaceEmbedded)
            continue;
        std::string profile;
        const NRFErr err = NRFLoadICCProfile(record.get(), &profile);
        EXPECT_TRUE(err == 0 || err == 9) << path << ": " << err;
        if (err == 0)
            profiles[path] = profile;
    }
    ASSERT_GT(profiles.size(), 5u);
    std::vector<std::string> args{"-ICC_Profile", "-ProfileDescription"};
    for (const auto& [path, profile] : profiles)
        args.push_back(path);
    const auto json = lumo::test::exiftoolJson(args);
    if (!json)
        LUMO_SKIP_OR_FAIL("exiftool is not installed");
    const std::regex binary(R"(Binary data (\d+) bytes)");
    std::size_t compared = 0;
    for (const auto& entry : *json) {
        const std::string path = entry.value("SourceFile", "");
        const auto it = profiles.find(path);
        if (it == profiles.end() || !entry.contains("ICC_Profile"))
            continue;
        SCOPED_TRACE(path);
        std::smatch match;
        const std::string text = entry["ICC_Profile"].get<std::string>();
        ASSERT_TRUE(std::regex_search(text, match, binary)) << text;
        EXPECT_EQ(it->second.size(), std::stoul(match[1].str()));
        if (entry.contains("ProfileDescription") && entry["ProfileDescription"].is_string())
            EXPECT_EQ(NRFICCProfileName(it->second), entry["ProfileDescription"].get<std::string>());
        ++compared;
    }
    EXPECT_EQ(compared, profiles.size());
}

TEST_F(ICCSaveTest, SavedJPEGCarriesTheAskedTablesSamplingDensityAndProfile) {
    const std::string profile = NRFICCBuiltInProfile(kNRFColorSpaceAdobeRGB);
    struct Case {
        int quality, subsampling, channels;
        double dpi;
        int h, v;
    };
    for (const Case& c : {Case{75, 422, 3, 299.6, 2, 1}, Case{95, 444, 3, 72, 1, 1},
                          Case{30, 420, 3, 0, 2, 2}, Case{150, 420, 1, 1e9, 1, 1}}) {
        SCOPED_TRACE(c.quality);
        NRFSaveOptions options;
        options.quality = c.quality;
        options.chromaSubsampling = c.subsampling;
        options.dpi = c.dpi;
        options.iccProfile = profile;
        std::string out;
        ASSERT_EQ(NRFEncodeJPEG(gradient(40, 24, c.channels), options, out), 0u);
        const auto decoded = lumo::test::decodeJpeg(out);
        ASSERT_TRUE(decoded.ok) << decoded.error;
        EXPECT_EQ(decoded.components, c.channels);
        const auto segments = segmentsOf(out);
        // The quantisation tables the JPEG library makes for the quality.
        const std::string tables = joined(segments, 0xDB);
        ASSERT_GE(tables.size(), c.channels == 3 ? 130u : 65u);
        const std::string library =
            lumo::test::encodeJpeg(8, 8, c.channels == 3, std::clamp(c.quality, 1, 100));
        EXPECT_EQ(tables, joined(segmentsOf(library), 0xDB));
        const std::string frame = joined(segments, 0xC0);
        ASSERT_GE(frame.size(), 9u);
        EXPECT_EQ(static_cast<std::uint8_t>(frame[7]), c.h * 16 + c.v); // the first component's sampling
        // JFIF: unit 1 (dots per inch) and the density, or unit 0 (an aspect ratio) without a dpi.
        const std::string jfif = joined(segments, 0xE0) + std::string(12, '\0'); // none reads as unit 0
        const int density = c.dpi > 65535 ? 65535 : static_cast<int>(std::lround(c.dpi));
        EXPECT_EQ(jfif[7], c.dpi > 0 ? 1 : 0);
        if (c.dpi > 0)
            EXPECT_EQ(jfif.substr(8, 4), lumo::test::be(density, 2) + lumo::test::be(density, 2));
        EXPECT_EQ(joined(segments, 0xE2, 14), profile); // after "ICC_PROFILE\0", sequence and count
    }

    // Bad options.
    NRFSaveOptions odd;
    odd.chromaSubsampling = 411;
    std::string out;
    EXPECT_EQ(NRFEncodeJPEG(gradient(8, 8, 3), odd, out), 1u);
    EXPECT_EQ(NRFEncodeJPEG(NRFBitmapBase{}, NRFSaveOptions{}, out), 1u);
}

TEST_F(ICCSaveTest, SavingReplacesTheFileWholeOrLeavesItAlone) {
    const NRFBitmapBase bitmap = gradient(64, 48, 3);
    NRFSaveOptions options;
    options.quality = 80;
    options.dpi = 240;
    options.iccProfile = NRFICCBuiltInProfile(kNRFColorSpaceAdobeRGB);
    std::string expectedBytes;
    ASSERT_EQ(NRFEncodeJPEG(bitmap, options, expectedBytes), 0u);

    const std::string path = m_dir.file("saved.jpg");
    const std::string old(expectedBytes.size() * 2, 'o'); // longer than the new file
    lumo::test::writeWholeFile(path, old);
    NRFImageInfoRef record;
    ASSERT_EQ(NRFOpenImage(path.c_str(), kNRFTypeJPEG, &record), kNRFErrNone);
    ASSERT_EQ(NRFSaveBitmapAsFile(record.get(), &bitmap, &options), kNRFErrNone);
    EXPECT_EQ(lumo::test::readWholeFile(path), expectedBytes);
    if (const auto json = lumo::test::exiftoolJson({"-ProfileDescription", "-XResolution", path})) {
        EXPECT_EQ((*json)[0].value("ProfileDescription", ""), "Adobe RGB (1998)");
        EXPECT_EQ((*json)[0].value("XResolution", 0), 240);
    }

    // A failed rename leaves the old file and no temporary file.
    lumo::test::writeWholeFile(path, old);
    lumo::injectFileFault({lumo::FileFault::Op::Rename, EACCES, "saved.jpg"});
    EXPECT_EQ(NRFSaveBitmapAsFile(record.get(), &bitmap, &options), 5u);
    lumo::clearFileFaults();
    EXPECT_NE(std::string(NRFGetErrorText()).find(path), std::string::npos) << NRFGetErrorText();
    EXPECT_EQ(lumo::test::readWholeFile(path), old);
    EXPECT_EQ(filesIn(m_dir.path()), std::vector<std::string>{path});

    // Formats that cannot be written refuse.
    for (const char* type : {"PNGf", "GIFf", "WBMP"}) {
        NRFImageInfoRef other;
        const std::string name = m_dir.file(std::string("refused.") + type);
        ASSERT_EQ(NRFOpenImage(name.c_str(), NRFMakeFileType(type), &other), kNRFErrNone);
        EXPECT_EQ(NRFSaveBitmapAsFile(other.get(), &bitmap, &options), 1u) << type;
        EXPECT_FALSE(std::filesystem::exists(name));
    }
}

TEST_F(ICCSaveTest, SavedFilesReadBackWithTheirProfile) {
    const NRFBitmapBase bitmap = gradient(24, 16, 3);
    NRFSaveOptions options;
    options.dpi = 300;
    options.iccProfile = testProfile();
    for (const auto& [name, type] :
         {std::pair{"saved.jpg", kNRFTypeJPEG}, std::pair{"saved.tif", kNRFTypeTIFF},
          std::pair{"saved.psd", NRFMakeFileType("APSD")}}) {
        SCOPED_TRACE(name);
        const std::string path = m_dir.file(name);
        NRFImageInfoRef record;
        ASSERT_EQ(NRFOpenImage(path.c_str(), type, &record), kNRFErrNone);
        ASSERT_EQ(NRFSaveBitmapAsFile(record.get(), &bitmap, &options), kNRFErrNone) << NRFGetErrorText();
        NRFImageInfoRef back;
        ASSERT_EQ(NRFOpenImage(path.c_str(), 0, &back), kNRFErrNone);
        ASSERT_EQ(NRFGetImageInfo(back.get()), kNRFErrNone);
        EXPECT_EQ(back->m_fileType, type);
        EXPECT_EQ(back->m_width, 24u);
        EXPECT_EQ(back->m_height, 16u);
        EXPECT_EQ(back->m_colorSpaceCode, kColorSpaceEmbedded);
        std::string profile;
        ASSERT_EQ(NRFLoadICCProfile(back.get(), &profile), kNRFErrNone);
        EXPECT_EQ(profile, options.iccProfile);
    }
}
