// The Photoshop and Windows Bitmap readers through the engine: built files whose every byte is known
// (resources of each kind, a resource that runs past its section, each bitmap header size), and the
// corpus files, whose sizes must be what exiftool reads.

#include "NRF/NRF.h"
#include "NRF/NRFBitmapBase.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFPSD.h"
#include "NRF/NRFTestSupport.h"
#include "support/BmpPsdBuilder.h"
#include "support/JpegBuilder.h"
#include "support/TestSupport.h"
#include "support/TiffBuilder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

using lumo::test::TiffBuilder;

namespace {

namespace fs = std::filesystem;

using lumo::test::be;
using lumo::test::le;

std::string resource(std::uint16_t id, const std::string& data, const std::string& name = "",
                     std::uint32_t declaredSize = 0) {
    return lumo::test::psdResource(id, data, name, declaredSize);
}

// A thumbnail resource's data: the 28-byte header, then the JFIF stream.
std::string thumbnailData(const std::string& jpeg, int width, int height) {
    return be(1, 4) + be(width, 4) + be(height, 4) + be((width * 24 + 31) / 32 * 4, 4) + be(0, 4) +
           be(jpeg.size(), 4) + be(24, 2) + be(1, 2) + jpeg;
}

struct PSDLayout {
    std::uint16_t version = 1, channels = 3, depth = 8, mode = 3;
    std::uint32_t width = 6, height = 4;
    std::string colourModeData, resources;
    std::int64_t resourcesLength = -1; // the declared length when not -1
};

// Header, colour-mode data, resources, an empty layer section and raw image data.
std::string buildPSD(const PSDLayout& s) {
    lumo::test::PsdLayout layout;
    layout.version = s.version;
    layout.depth = s.depth;
    layout.mode = s.mode;
    layout.width = s.width;
    layout.height = s.height;
    layout.colourModeData = s.colourModeData;
    layout.resources = s.resources;
    layout.resourcesLength = s.resourcesLength;
    layout.planes.assign(s.channels, std::string(std::size_t{s.width} * s.height * (s.depth / 8), '\x40'));
    return lumo::test::buildPsd(layout);
}

class PSDBMPTest : public lumo::test::NRFEngineTest {};

TEST_F(PSDBMPTest, PhotoshopResourcesGiveTheirLocationsAndValues) {
    const std::string iptc = "\x1c\x02\x00\x00\x02\x00\x04\x1c\x02\x78\x00\x05Hello";
    const std::string xmp = "<?xpacket begin=''?><x:xmpmeta xmlns:x='adobe:ns:meta/'/><?xpacket end='w'?>";
    TiffBuilder exif(lumo::test::ByteOrder::Big);
    exif.ifd().add(0x010F, "Canon").add(0x0110, "Canon EOS 5D").addShort(0x0112, 6);
    const std::string exifBytes = exif.build();
    const std::string icc = "ICCPROFILE" + std::string(118, 'p');
    const std::string jpeg = lumo::test::encodeJpeg(16, 12);
    PSDLayout layout;
    layout.colourModeData = std::string(10, 'c');
    layout.resources = resource(0x03ED, std::string(16, 'r'), "ab") + resource(0x0404, iptc) +
                       resource(0x0424, xmp, "x") + resource(0x0422, exifBytes) + resource(0x040F, icc) +
                       resource(0x040C, thumbnailData(jpeg, 16, 12));
    const std::string bytes = buildPSD(layout);

    NRFImageInfoRef record;
    ASSERT_EQ(read("built.psd", bytes, record), kNRFErrNone);
    EXPECT_EQ(record->m_width, 6u);
    EXPECT_EQ(record->m_height, 4u);
    EXPECT_EQ(record->m_bitsPerSample, 8);
    EXPECT_EQ(record->m_samplesPerPixel, 3);
    EXPECT_TRUE(record->m_isColor);
    EXPECT_EQ(record->m_photoshopPos, 26u + 4 + 10 + 4);
    EXPECT_EQ(record->m_photoshopLength, layout.resources.size());
    EXPECT_EQ(record->m_iptcPos, bytes.find(iptc));
    EXPECT_EQ(record->m_iptcLength, iptc.size());
    EXPECT_EQ(record->m_xmpPacketPos, bytes.find(xmp));
    EXPECT_EQ(record->m_xmpPacketLength, xmp.size());
    EXPECT_EQ(record->m_exifSegmentPos, bytes.find(exifBytes));
    EXPECT_EQ(record->m_exifSegmentLength, exifBytes.size());
    EXPECT_EQ(record->m_make, "Canon");
    EXPECT_EQ(record->m_model, "Canon EOS 5D");
    EXPECT_EQ(record->m_orientation, 1); // Orientation 6: a quarter turn clockwise
    EXPECT_EQ(record->m_colorSpaceCode, 1);
    EXPECT_EQ(record->m_iccChunkCount, 1u);
    EXPECT_EQ(record->m_iccChunkPos[0], bytes.find(icc));
    EXPECT_EQ(record->m_iccTotalLength, icc.size());
    EXPECT_TRUE(record->m_thumbnailIsJPEG);
    EXPECT_EQ(record->m_thumbnail,
              (NRFEmbeddedImageLoc{std::uint32_t(bytes.find(jpeg)), std::uint32_t(jpeg.size()), 16, 12}));
    EXPECT_EQ(record->m_displayWidth, 16u);
    EXPECT_EQ(record->m_displayHeight, 12u);
    const auto* info = dynamic_cast<const PSDPluginPrivateInfo*>(record->m_privateInfo.get());
    ASSERT_NE(info, nullptr);
    EXPECT_FALSE(info->m_thumbnailIsBGR);

    // The large document format, grey at 16 bits, with only the old blue-green-red thumbnail.
    PSDLayout large;
    large.version = 2;
    large.channels = 1;
    large.depth = 16;
    large.mode = 1;
    large.width = 40000;
    large.height = 1;
    large.resources = resource(0x0409, thumbnailData(jpeg, 16, 12));
    ASSERT_EQ(read("large.psb.psd", buildPSD(large), record), kNRFErrNone);
    EXPECT_EQ(record->m_width, 40000u);
    EXPECT_EQ(record->m_bitsPerSample, 16);
    EXPECT_EQ(record->m_samplesPerPixel, 1);
    EXPECT_FALSE(record->m_isColor);
    EXPECT_EQ(record->m_colorSpaceCode, 0);
    EXPECT_EQ(record->m_thumbnail.width, 16u);
    info = dynamic_cast<const PSDPluginPrivateInfo*>(record->m_privateInfo.get());
    ASSERT_NE(info, nullptr);
    EXPECT_TRUE(info->m_thumbnailIsBGR);
}

TEST_F(PSDBMPTest, PhotoshopFaultsStopTheWalkOrRefuseTheFile) {
    const std::string iptc = "\x1c\x02\x00\x00\x02\x00\x04";
    // The second resource declares more bytes than its section holds: the first is kept, the walk
    // stops, and the section itself is still recorded.
    PSDLayout layout;
    layout.resources = resource(0x0404, iptc) + resource(0x0424, "<x/>", "", 4000) + resource(0x040F, "icc!");
    NRFImageInfoRef record;
    ASSERT_EQ(read("past.psd", buildPSD(layout), record), kNRFErrNone);
    EXPECT_EQ(record->m_iptcLength, iptc.size());
    EXPECT_EQ(record->m_xmpPacketPos, 0u);
    EXPECT_EQ(record->m_iccChunkCount, 0u);
    EXPECT_EQ(record->m_photoshopLength, layout.resources.size());
    EXPECT_EQ(record->m_width, 6u);

    // A section that runs past the file's end is walked as far as the file goes but not recorded; a
    // thumbnail whose JPEG is cut short is not taken.
    const std::string jpeg = lumo::test::encodeJpeg(16, 12);
    PSDLayout cut;
    cut.resources = resource(0x0404, iptc) + resource(0x040C, thumbnailData(jpeg.substr(0, 10), 16, 12));
    cut.resourcesLength = 1 << 30;
    ASSERT_EQ(read("cut.psd", buildPSD(cut), record), kNRFErrNone);
    EXPECT_EQ(record->m_photoshopPos, 0u);
    EXPECT_EQ(record->m_iptcLength, iptc.size());
    EXPECT_FALSE(record->m_thumbnail.present());

    // Headers the reader refuses.
    PSDLayout badVersion;
    badVersion.version = 3;
    EXPECT_EQ(read("version.psd", buildPSD(badVersion), record), kNRFErrBadFormat);
    PSDLayout noSize;
    noSize.width = 0;
    EXPECT_EQ(read("empty.psd", buildPSD(noSize), record), kNRFErrBadFormat);
    EXPECT_EQ(read("short.psd", buildPSD(PSDLayout{}).substr(0, 20), record), kNRFErrBadFormat);
    EXPECT_EQ(read("other.psd", "GIF89a" + std::string(40, '\0'), record), kNRFErrBadFormat);
}

// A bitmap with an info header of `headerSize` bytes (12: the OS/2 core header) and a palette for
// depths up to 8.
std::string buildBMP(std::uint32_t headerSize, std::int32_t width, std::int32_t height, std::uint16_t bits,
                     bool greyPalette = false) {
    lumo::test::BmpLayout layout;
    layout.headerSize = headerSize;
    layout.width = width;
    layout.height = height;
    layout.bits = bits;
    if (bits <= 8)
        for (int i = 0; i < (1 << bits); ++i) {
            const auto grey = static_cast<std::uint8_t>(i);
            layout.palette.push_back({grey, greyPalette ? grey : std::uint8_t{0x10}, grey});
        }
    const std::size_t rowBytes = (std::size_t(width) * bits + 31) / 32 * 4;
    layout.pixels = std::string(rowBytes * static_cast<std::size_t>(std::abs(height)), '\x55');
    return lumo::test::buildBmp(layout);
}

TEST_F(PSDBMPTest, BitmapsOfEveryHeaderSize) {
    NRFImageInfoRef record;
    for (std::uint32_t headerSize : {12u, 40u, 52u, 56u, 64u, 108u, 124u}) {
        SCOPED_TRACE(headerSize);
        ASSERT_EQ(read("rgb.bmp", buildBMP(headerSize, 7, 5, 24), record), kNRFErrNone);
        EXPECT_EQ(record->m_width, 7u);
        EXPECT_EQ(record->m_height, 5u);
        EXPECT_EQ(record->m_bitsPerSample, 8);
        EXPECT_EQ(record->m_samplesPerPixel, 3);
        EXPECT_TRUE(record->m_isColor);
        EXPECT_EQ(record->m_iptcPos, 0u);

        ASSERT_EQ(read("grey.bmp", buildBMP(headerSize, 3, 9, 8, true), record), kNRFErrNone);
        EXPECT_EQ(record->m_bitsPerSample, 8);
        EXPECT_EQ(record->m_samplesPerPixel, 1);
        EXPECT_FALSE(record->m_isColor);

        ASSERT_EQ(read("palette.bmp", buildBMP(headerSize, 9, 2, 4), record), kNRFErrNone);
        EXPECT_EQ(record->m_bitsPerSample, 4);
        EXPECT_TRUE(record->m_isColor);
    }
    // Top-down rows: the height is written negative.
    ASSERT_EQ(read("topdown.bmp", buildBMP(40, 4, -6, 32), record), kNRFErrNone);
    EXPECT_EQ(record->m_height, 6u);

    EXPECT_EQ(read("header.bmp", buildBMP(20, 4, 4, 24), record), kNRFErrBadFormat);
    EXPECT_EQ(read("nowidth.bmp", buildBMP(40, 0, 4, 24), record), kNRFErrBadFormat);
    EXPECT_EQ(read("depth.bmp", buildBMP(40, 4, 4, 7), record), kNRFErrBadFormat);
    EXPECT_EQ(read("short.bmp", buildBMP(124, 4, 4, 24).substr(0, 40), record), kNRFErrBadFormat);
}

TEST_F(PSDBMPTest, CorpusSizesAgreeWithExiftool) {
    const std::string corpus = lumo::test::corpusFolderOrFail();
    if (corpus.empty())
        GTEST_SKIP() << "no corpus";
    const std::vector<std::string> files = lumo::test::corpusFiles({".psd", ".psb", ".bmp"});
    ASSERT_GE(files.size(), 2u);
    std::vector<std::string> args = {"-n", "-ImageWidth", "-ImageHeight"};
    args.insert(args.end(), files.begin(), files.end());
    const auto json = lumo::test::exiftoolJson(args);
    if (!json)
        LUMO_SKIP_OR_FAIL("exiftool is not installed");
    std::map<std::string, nlohmann::json> expected;
    for (const auto& item : *json)
        expected[item.value("SourceFile", "")] = item;

    int decoded = 0;
    for (const std::string& original : files) {
        SCOPED_TRACE(original);
        const std::string copy = m_dir.file(fs::path(original).filename().string());
        fs::copy_file(original, copy, fs::copy_options::overwrite_existing);
        NRFImageInfoRef record;
        NRFErr result = NRFOpenImage(copy.c_str(), 0, &record);
        if (result == kNRFErrNone)
            result = NRFGetImageInfo(record.get());
        const auto found = expected.find(original);
        if (found == expected.end() || !found->second.contains("ImageWidth")) {
            EXPECT_NE(result, kNRFErrException);
            continue;
        }
        ASSERT_EQ(result, kNRFErrNone);
        EXPECT_EQ(record->m_width, found->second["ImageWidth"].get<std::uint32_t>());
        EXPECT_EQ(record->m_height, found->second["ImageHeight"].get<std::uint32_t>());
        // Its pixels decode whole to that size (or the file is refused cleanly), and small to 32.
        NRFBitmapBase full, small;
        result = NRFLoadFileAsBitmap(record.get(), &full);
        EXPECT_TRUE(result == kNRFErrNone || result == 3 || result == kNRFErrBadFormat) << result;
        if (result != kNRFErrNone || record->m_orientation != 0)
            continue;
        ++decoded;
        EXPECT_EQ(full.Width(), record->m_width);
        EXPECT_EQ(full.Height(), record->m_height);
        ASSERT_EQ(NRFLoadFilePreview(record.get(), &small, 32, kNRFLoadAllowEmbedded), kNRFErrNone);
        EXPECT_GE(std::max(small.Width(), small.Height()),
                  std::min(32u, std::max(full.Width(), full.Height())));
    }
    EXPECT_GE(decoded, 2);
}

} // namespace
