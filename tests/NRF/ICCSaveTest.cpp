#include "NRF/NRF.h"
#include "NRF/NRFBasicJPEG.h"
#include "NRF/NRFDecode.h"
#include "NRF/NRFICC.h"
#include "NRF/NRFSaveBitmap.h"
#include "NRF/NRFTestSupport.h"
#include "support/FileIO.h"
#include "support/JpegBuilder.h"
#include "support/TiffBuilder.h"

#include <gtest/gtest.h>

#include <csetjmp>
#include <cstdio>
#include <filesystem>
#include <map>
#include <regex>
#include <thread>
#include <vector>

#include <jpeglib.h>
#include <lcms2.h>
#include <zlib.h>

namespace {

using lumo::test::be;
using lumo::test::ByteOrder;
using lumo::test::JpegBuilder;
using lumo::test::le;
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

cmsHPROFILE linearGrey() {
    cmsToneCurve* linear = cmsBuildGamma(nullptr, 1.0);
    cmsHPROFILE profile = cmsCreateGrayProfile(cmsD50_xyY(), linear);
    cmsFreeToneCurve(linear);
    return profile;
}

cmsHPROFILE greySRGB() {
    const cmsFloat64Number parameters[5] = {2.4, 1.0 / 1.055, 0.055 / 1.055, 1.0 / 12.92, 0.04045};
    cmsToneCurve* curve = cmsBuildParametricToneCurve(nullptr, 4, parameters);
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

// -- files built here

std::string pngChunk(const std::string& type, const std::string& data) {
    const std::string body = type + data;
    const auto crc = crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()));
    return be(data.size(), 4) + body + be(crc, 4);
}

std::string zlibCompress(const std::string& bytes) {
    uLongf size = compressBound(static_cast<uLong>(bytes.size()));
    std::string out(size, '\0');
    compress(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(bytes.data()),
             static_cast<uLong>(bytes.size()));
    out.resize(size);
    return out;
}

// A 2 x 2 grey PNG with the profile in an iCCP chunk (`compressed` as the chunk's stream).
std::string pngWithICCP(const std::string& compressed) {
    std::string png("\x89PNG\r\n\x1a\n", 8);
    png += pngChunk("IHDR", be(2, 4) + be(2, 4) + std::string("\x08\x00\x00\x00\x00", 5));
    png += pngChunk("iCCP", std::string("test\0\0", 6) + compressed);
    png += pngChunk("IDAT", zlibCompress(std::string("\0\x10\x20\0\x30\x40", 6)));
    png += pngChunk("IEND", "");
    return png;
}

// A 2 x 2 RGB Photoshop file whose image resources hold the profile.
std::string psdWithProfile(const std::string& profile) {
    const std::string resources = lumo::test::photoshopResource(0x040F, profile);
    std::string psd =
        "8BPS" + be(1, 2) + std::string(6, '\0') + be(3, 2) + be(2, 4) + be(2, 4) + be(8, 2) + be(3, 2);
    psd += be(0, 4);                            // colour mode data
    psd += be(resources.size(), 4) + resources; // image resources
    psd += be(0, 4);                            // layers
    psd += be(0, 2) + std::string(12, '\x80');  // raw merged image
    return psd;
}

// A 1 x 1 GIF whose application extension carries the profile in sub-blocks of `blockSize` bytes.
std::string gifWithProfile(const std::string& profile, std::size_t blockSize) {
    std::string gif = "GIF89a" + le(1, 2) + le(1, 2) + std::string("\x80\0\0", 3) + std::string(6, '\0');
    gif += std::string("\x21\xFF\x0B", 3) + "ICCRGBG1012";
    for (std::size_t at = 0; at < profile.size(); at += blockSize) {
        const std::string block = profile.substr(at, blockSize);
        gif += static_cast<char>(block.size()) + block;
    }
    gif += '\0';
    gif += "\x2C" + le(0, 2) + le(0, 2) + le(1, 2) + le(1, 2) + '\0';
    gif += std::string("\x02\x02\x44\x01\x00\x3B", 6);
    return gif;
}

std::string tiffWithProfile(ByteOrder order, const std::string& profile) {
    TiffBuilder tiff(order);
    tiff.ifd()
        .addLong(256, 2)
        .addLong(257, 2)
        .addShort(258, 8)
        .addShort(259, 1)
        .addShort(262, 1)
        .addShort(277, 1)
        .addLong(278, 2)
        .addUndefined(34675, profile);
    tiff.ifd().addBlob(273, 279, std::string(4, '\x40'));
    return tiff.build();
}

// -- JPEG streams read back through the library

struct JpegHeader {
    bool ok = false;
    int components = 0;
    int hSampling = 0, vSampling = 0;
    int densityUnit = 0, xDensity = 0, yDensity = 0;
    std::vector<std::vector<unsigned>> quantTables;
    std::string profile;
};

struct JumpingErrors {
    jpeg_error_mgr library;
    std::jmp_buf jump;
};

void jumpOut(j_common_ptr info) {
    std::longjmp(reinterpret_cast<JumpingErrors*>(info->err)->jump, 1);
}

std::vector<std::vector<unsigned>> tablesOf(JQUANT_TBL* const* tables) {
    std::vector<std::vector<unsigned>> out;
    for (int t = 0; t < NUM_QUANT_TBLS; ++t)
        if (tables[t])
            out.emplace_back(tables[t]->quantval, tables[t]->quantval + DCTSIZE2);
    return out;
}

void readHeaderInto(const std::string* bytes, JpegHeader* header) {
    jpeg_decompress_struct info;
    JumpingErrors errors;
    info.err = jpeg_std_error(&errors.library);
    errors.library.error_exit = &jumpOut;
    if (setjmp(errors.jump)) {
        jpeg_destroy_decompress(&info);
        return;
    }
    jpeg_create_decompress(&info);
    jpeg_save_markers(&info, JPEG_APP0 + 2, 0xFFFF);
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes->data()), bytes->size());
    jpeg_read_header(&info, TRUE);
    header->components = info.num_components;
    header->hSampling = info.comp_info[0].h_samp_factor;
    header->vSampling = info.comp_info[0].v_samp_factor;
    header->densityUnit = info.density_unit;
    header->xDensity = info.X_density;
    header->yDensity = info.Y_density;
    header->quantTables = tablesOf(info.quant_tbl_ptrs);
    JOCTET* profile = nullptr;
    unsigned size = 0;
    if (jpeg_read_icc_profile(&info, &profile, &size)) {
        header->profile.assign(reinterpret_cast<const char*>(profile), size);
        std::free(profile);
    }
    jpeg_destroy_decompress(&info);
    header->ok = true;
}

JpegHeader readHeader(const std::string& bytes) {
    JpegHeader header;
    readHeaderInto(&bytes, &header);
    return header;
}

// The tables the library makes for a quality, from a compress struct of its own.
std::vector<std::vector<unsigned>> libraryTables(int quality, bool colour) {
    jpeg_compress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    info.input_components = colour ? 3 : 1;
    info.in_color_space = colour ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    auto tables = tablesOf(info.quant_tbl_ptrs);
    jpeg_destroy_compress(&info);
    if (!colour)
        tables.resize(1); // a grey stream carries the luminance table only
    return tables;
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
    ASSERT_EQ(NRFICCProfileName(NRFICCBuiltInProfile(kNRFColorSpaceSRGB)), "sRGB IEC61966-2.1");
    ASSERT_EQ(NRFICCProfileName(NRFICCBuiltInProfile(kNRFColorSpaceAdobeRGB)), "Adobe RGB (1998)");
    EXPECT_TRUE(NRFICCBuiltInProfile(7).empty());

    // A saturated Adobe RGB green that sRGB can still show.
    const std::vector<std::uint8_t> input{60, 170, 80};
    const auto want = expected(adobeRGB(), cmsCreate_sRGBProfile(), TYPE_RGB_8, input);
    ASSERT_NE(want, input);
    NRFBitmapBase bitmap;
    ASSERT_TRUE(bitmap.Allocate(5, 3, 3));
    for (std::uint32_t y = 0; y < 3; ++y)
        for (std::uint32_t x = 0; x < 5; ++x)
            std::copy(input.begin(), input.end(), bitmap.Row(y) + 3 * x);

    NRFImageInfoRec record("/nowhere.jpg", kNRFTypeJPEG);
    record.m_colorSpaceCode = kNRFColorSpaceAdobeRGB;
    ASSERT_EQ(NRFICCConvertRecordBitmapToSRGB(record, bitmap), 0u);
    for (std::uint32_t y = 0; y < 3; ++y)
        for (std::uint32_t x = 0; x < 5; ++x)
            for (int c = 0; c < 3; ++c)
                ASSERT_NEAR(bitmap.Row(y)[3 * x + c], want[c], 1) << x << "," << y << " channel " << c;

    // The same profile given as bytes converts the same (the second time from the cache).
    NRFBitmapBase again;
    ASSERT_TRUE(again.Allocate(1, 1, 3));
    std::copy(input.begin(), input.end(), again.Row(0));
    const std::string independent = saveProfile(adobeRGB());
    ASSERT_EQ(NRFICCConvertToSRGB(independent, again), 0u);
    ASSERT_EQ(NRFICCConvertToSRGB(independent, bitmap), 0u); // cached; pixels change again, no matter
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(again.Row(0)[c], want[c], 1);

    // Threads converting with the one cached transform at once all get the same colour.
    std::vector<NRFBitmapBase> bitmaps(4);
    std::vector<std::thread> threads;
    for (NRFBitmapBase& b : bitmaps)
        threads.emplace_back([&b, &input, &independent] {
            b.Allocate(64, 64, 3);
            for (std::uint32_t y = 0; y < 64; ++y)
                for (std::uint32_t x = 0; x < 64; ++x)
                    std::copy(input.begin(), input.end(), b.Row(y) + 3 * x);
            NRFICCConvertToSRGB(independent, b);
        });
    for (std::thread& t : threads)
        t.join();
    for (const NRFBitmapBase& b : bitmaps)
        for (int c = 0; c < 3; ++c)
            EXPECT_EQ(b.Row(63)[189 + c], again.Row(0)[c]);

    // sRGB records are left alone, and so is a bitmap the profile does not suit.
    record.m_colorSpaceCode = kNRFColorSpaceSRGB;
    std::copy(input.begin(), input.end(), again.Row(0));
    EXPECT_EQ(NRFICCConvertRecordBitmapToSRGB(record, again), 0u);
    EXPECT_EQ(std::vector<std::uint8_t>(again.Row(0), again.Row(0) + 3), input);
    NRFBitmapBase grey;
    ASSERT_TRUE(grey.Allocate(2, 1, 1));
    grey.Row(0)[0] = 77;
    lumo::test::LogWatch log;
    EXPECT_EQ(NRFICCConvertToSRGB(independent, grey), 0u);
    EXPECT_EQ(grey.Row(0)[0], 77);
    EXPECT_TRUE(log.has("does not suit"));

    // Bytes that are not a profile.
    EXPECT_EQ(NRFICCConvertToSRGB(std::string(200, 'x'), again), 9u);
    EXPECT_EQ(NRFICCProfileName(std::string(200, 'x')), "");
}

TEST_F(ICCSaveTest, GreyConversionKeepsOneChannel) {
    const std::string profile = saveProfile(linearGrey());
    const auto want = expected(linearGrey(), greySRGB(), TYPE_GRAY_8, {50});
    ASSERT_GT(want[0], 50); // linear light encodes brighter with the sRGB curve
    NRFBitmapBase bitmap;
    ASSERT_TRUE(bitmap.Allocate(4, 2, 1));
    for (std::uint32_t y = 0; y < 2; ++y)
        std::fill(bitmap.Row(y), bitmap.Row(y) + 4, std::uint8_t{50});
    ASSERT_EQ(NRFICCConvertToSRGB(profile, bitmap), 0u);
    EXPECT_EQ(bitmap.Channels(), 1);
    for (std::uint32_t y = 0; y < 2; ++y)
        for (std::uint32_t x = 0; x < 4; ++x)
            EXPECT_NEAR(bitmap.Row(y)[x], want[0], 1);
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
        if (NRFOpenImage(path.c_str(), 0, &record) != kNRFErrNone || NRFGetImageInfo(record.get()) != 0)
            continue;
        if (record->m_colorSpaceCode != kColorSpaceEmbedded)
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
        const JpegHeader header = readHeader(out);
        ASSERT_TRUE(header.ok);
        EXPECT_EQ(header.components, c.channels);
        EXPECT_EQ(header.quantTables, libraryTables(std::clamp(c.quality, 1, 100), c.channels == 3));
        EXPECT_EQ(header.hSampling, c.h);
        EXPECT_EQ(header.vSampling, c.v);
        const int density = c.dpi > 65535 ? 65535 : static_cast<int>(std::lround(c.dpi));
        EXPECT_EQ(header.densityUnit, c.dpi > 0 ? 1 : 0);
        if (c.dpi > 0) {
            EXPECT_EQ(header.xDensity, density);
            EXPECT_EQ(header.yDensity, density);
        }
        EXPECT_EQ(header.profile, profile);
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
    // Read back by the engine: the profile and its colour space.
    ASSERT_EQ(NRFGetImageInfo(record.get()), kNRFErrNone);
    EXPECT_EQ(record->m_colorSpaceCode, kColorSpaceEmbedded);
    std::string profile;
    ASSERT_EQ(NRFLoadICCProfile(record.get(), &profile), kNRFErrNone);
    EXPECT_EQ(profile, options.iccProfile);

    // A failed rename leaves the old file and no temporary file.
    lumo::test::writeWholeFile(path, old);
    lumo::injectFileFault({lumo::FileFault::Op::Rename, EACCES, "saved.jpg"});
    EXPECT_EQ(NRFSaveBitmapAsFile(record.get(), &bitmap, &options), 5u);
    lumo::clearFileFaults();
    EXPECT_NE(std::string(NRFGetErrorText()).find(path), std::string::npos) << NRFGetErrorText();
    EXPECT_EQ(lumo::test::readWholeFile(path), old);
    EXPECT_EQ(filesIn(m_dir.path()), std::vector<std::string>{path});

    // A destination whose folder is a regular file: nothing can be written there.
    NRFImageInfoRef nowhere;
    const std::string blocked = path + "/inside.jpg";
    ASSERT_EQ(NRFOpenImage(blocked.c_str(), kNRFTypeJPEG, &nowhere), kNRFErrNone);
    EXPECT_EQ(NRFSaveBitmapAsFile(nowhere.get(), &bitmap, &options), 5u);
    EXPECT_NE(std::string(NRFGetErrorText()).find(blocked), std::string::npos);
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

TEST_F(ICCSaveTest, TIFFAndPhotoshopSavesRoundTrip) {
    const NRFBitmapBase bitmap = gradient(24, 16, 3);
    NRFSaveOptions options;
    options.dpi = 300;
    options.iccProfile = testProfile();
    std::vector<std::string> skipped;
    for (const auto& [name, type] :
         {std::pair{"saved.tif", kNRFTypeTIFF}, std::pair{"saved.psd", NRFMakeFileType("APSD")}}) {
        SCOPED_TRACE(name);
        const std::string path = m_dir.file(name);
        NRFImageInfoRef record;
        ASSERT_EQ(NRFOpenImage(path.c_str(), type, &record), kNRFErrNone);
        const NRFErr err = NRFSaveBitmapAsFile(record.get(), &bitmap, &options);
        if (err == 3) {
            skipped.push_back(name);
            EXPECT_FALSE(std::filesystem::exists(path));
            continue;
        }
        ASSERT_EQ(err, kNRFErrNone) << NRFGetErrorText();
        NRFImageInfoRef back;
        ASSERT_EQ(NRFOpenImage(path.c_str(), 0, &back), kNRFErrNone);
        ASSERT_EQ(NRFGetImageInfo(back.get()), kNRFErrNone);
        EXPECT_EQ(back->m_fileType, type);
        EXPECT_EQ(back->m_width, 24u);
        EXPECT_EQ(back->m_height, 16u);
        std::string profile;
        ASSERT_EQ(NRFLoadICCProfile(back.get(), &profile), kNRFErrNone);
        EXPECT_EQ(profile, options.iccProfile);
        NRFBitmapBase pixels;
        ASSERT_EQ(NRFLoadFileAsBitmap(back.get(), &pixels), kNRFErrNone);
        ASSERT_EQ(pixels.Width(), 24u);
        ASSERT_EQ(pixels.Channels(), 3);
        for (std::uint32_t y = 0; y < 16; ++y)
            ASSERT_TRUE(std::equal(pixels.Row(y), pixels.Row(y) + pixels.Stride(), bitmap.Row(y))) << y;
    }
    if (!skipped.empty())
        GTEST_SKIP() << "the encoders of " << skipped.front()
                     << (skipped.size() > 1 ? " and " + skipped[1] : "") << " are not written yet";
}
