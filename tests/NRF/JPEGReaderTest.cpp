// The JPEG reader's walk over a file's markers, through the engine as a caller reads a file: the cases
// where a wrong answer would show the user a wrong picture or lose a file's metadata.

#include "NRF/NRF.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFTestSupport.h"
#include "app/LumoLogger.h"
#include "support/JpegBuilder.h"
#include "support/TestLog.h"
#include "support/TestSupport.h"
#include "support/TiffBuilder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

using lumo::test::JpegBuilder;
using lumo::test::TempDir;
using lumo::test::TiffBuilder;

using lumo::test::loggedSoFar;

namespace {

constexpr std::uint16_t kMake = 271, kOrientation = 274, kJPEGIF = 513, kJPEGIFLength = 514, kPixelX = 40962,
                        kPixelY = 40963, kExifIFD = 34665;

// An EXIF block naming the camera, with the picture's pixel size and an IFD1 thumbnail.
std::string exifBlock(std::uint32_t pixelWidth, std::uint32_t pixelHeight, const std::string& thumbnail) {
    TiffBuilder tiff;
    tiff.ifd().add(kMake, "Lumocam").addShort(kOrientation, 1);
    tiff.ifd().subIfd(kExifIFD).addLong(kPixelX, pixelWidth).addLong(kPixelY, pixelHeight);
    tiff.ifd().next().addBlob(kJPEGIF, kJPEGIFLength, thumbnail);
    return tiff.build();
}

class JPEGReaderTest : public lumo::test::NRFEngineTest {};

} // namespace

TEST_F(JPEGReaderTest, ATIFFUnderAJPEGNameIsReadAsTIFFAndAWrapperUpTo511BytesIsAllowed) {
    TiffBuilder tiff;
    tiff.ifd().add(kMake, "Scanner").addLong(256, 40).addLong(257, 30);
    NRFImageInfoRef record;
    ASSERT_EQ(read("scan.jpg", tiff.build(), record), kNRFErrNone);
    EXPECT_EQ(NRFFileTypeString(record->m_fileType), "TIFF");
    EXPECT_EQ(record->m_make, "Scanner");

    JpegBuilder wrapped(64, 48);
    wrapped.prependGarbage(std::string(100, 'x'));
    ASSERT_EQ(read("wrapped.jpg", wrapped.build(), record), kNRFErrNone);
    EXPECT_EQ(record->m_jpegSOIPos, 100u);
    EXPECT_EQ(record->m_width, 64u);
    EXPECT_EQ(record->m_height, 48u);

    JpegBuilder buried(64, 48);
    buried.prependGarbage(std::string(600, 'x'));
    EXPECT_EQ(read("buried.jpg", buried.build(), record), kNRFErrBadFormat);

    // A marker length below 2 and an SOF with two components are not JPEG.
    JpegBuilder shortLength(64, 48);
    shortLength.addSegmentWithLength(0xE5, "", 1);
    EXPECT_EQ(read("short.jpg", shortLength.build(), record), kNRFErrBadFormat);
}

TEST_F(JPEGReaderTest, AThumbnailThatDoesNotShowTheImageIsDropped) {
    const std::string thumbnail = lumo::test::encodeJpeg(160, 120);

    // As the camera wrote it: the thumbnail is kept and sized from its own SOF.
    JpegBuilder original(64, 48);
    const std::size_t exif = original.addExif(exifBlock(64, 48, thumbnail));
    NRFImageInfoRef record;
    const std::string originalBytes = original.build();
    ASSERT_EQ(read("original.jpg", originalBytes, record), kNRFErrNone);
    EXPECT_TRUE(record->m_cameraOriginal);
    EXPECT_EQ(record->m_exifSegmentPos, original.segmentPosition(exif));
    ASSERT_TRUE(record->m_thumbnail.present());
    EXPECT_EQ(record->m_thumbnail.width, 160u);
    EXPECT_EQ(originalBytes.substr(record->m_thumbnail.offset, record->m_thumbnail.length), thumbnail);

    // Edited and saved again at another size: the EXIF block still names the old size, so its
    // thumbnail shows the old picture.
    JpegBuilder resaved(32, 24);
    resaved.addJfif();
    resaved.addExif(exifBlock(64, 48, thumbnail));
    ASSERT_EQ(read("resaved.jpg", resaved.build(), record), kNRFErrNone);
    EXPECT_FALSE(record->m_cameraOriginal);
    EXPECT_FALSE(record->m_thumbnail.present());

    // The pixels were turned upright but the thumbnail was left lying down.
    JpegBuilder turned(48, 64);
    turned.addExif(exifBlock(48, 64, thumbnail));
    ASSERT_EQ(read("turned.jpg", turned.build(), record), kNRFErrNone);
    EXPECT_FALSE(record->m_thumbnail.present());
}

TEST_F(JPEGReaderTest, MetadataSegmentsAreFoundAndOddOnesLoggedNotFailed) {
    JpegBuilder jpeg(64, 48);
    std::string profile(3000, '\0');
    profile[0] = 0, profile[1] = 0, profile[2] = 0x0B, profile[3] = static_cast<char>(0xB8); // 3000 bytes
    const std::size_t chunk1 = jpeg.addIccChunk(1, 3, profile.substr(0, 1000));
    jpeg.addIccChunk(2, 3, profile.substr(1000, 1000));
    jpeg.addComment("between the chunks");
    const std::size_t chunk3 = jpeg.addIccChunk(3, 3, profile.substr(2000));
    const std::size_t xmp = jpeg.addXmp("<x:xmpmeta/>");
    jpeg.addSegment(0xED, std::string("Photoshop 3.0\0", 14) + "8BIM" +
                              std::string("\x04\x04\0\0\0\0\0\x05", 8) + "IPTC!" + std::string(1, '\0') +
                              "x"); // odd length
    const std::size_t logStart = loggedSoFar().size();
    NRFImageInfoRef record;
    const std::string bytes = jpeg.build();
    ASSERT_EQ(read("segments.jpg", bytes, record), kNRFErrNone);
    EXPECT_EQ(record->m_colorSpaceCode, 1);
    EXPECT_EQ(record->m_iccTotalLength, 3000u);
    ASSERT_EQ(record->m_iccChunkCount, 3u);
    EXPECT_EQ(record->m_iccChunkPos[0], jpeg.segmentPosition(chunk1));
    EXPECT_EQ(record->m_iccChunkPos[2], jpeg.segmentPosition(chunk3));
    EXPECT_EQ(bytes.substr(record->m_xmpPacketPos, record->m_xmpPacketLength), "<x:xmpmeta/>");
    EXPECT_EQ(record->m_xmpSegmentPos, jpeg.segmentPosition(xmp));
    EXPECT_EQ(bytes.substr(record->m_iptcPos, record->m_iptcLength), "IPTC!");
    EXPECT_EQ(record->m_photoshopCount, 1u);
    const std::string logged = loggedSoFar().substr(logStart);
    EXPECT_NE(logged.find("ICC Profile markers not in sequence!  File is: '"), std::string::npos);
    EXPECT_NE(logged.find("Photoshop APPD marker is odd-sized and may cause problems."), std::string::npos);

    // Stray bytes between segments are counted, not fatal.
    std::string stray = bytes;
    stray.insert(2, std::string("\x00\x00\xFF\xFF", 4));
    ASSERT_EQ(read("stray.jpg", stray, record), kNRFErrNone);
    EXPECT_EQ(record->m_malformedCount, 2u);
    EXPECT_EQ(record->m_width, 64u);
}

// Every JPEG of the corpus is read under the sanitizers; for the ones that read, the image size and the
// EXIF thumbnail are what exiftool finds.
TEST_F(JPEGReaderTest, CorpusJPEGsAgreeWithExiftoolOnSizeAndThumbnail) {
    const std::string corpus = lumo::test::corpusFolderOrFail();
    if (corpus.empty())
        GTEST_SKIP() << "no corpus";
    std::vector<std::string> files;
    for (const char* folder : {"exiftool", "exiv2"})
        for (const auto& entry : std::filesystem::directory_iterator(corpus + "/" + folder))
            if (entry.path().extension() == ".jpg")
                files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    std::vector<std::string> args = {"-n",
                                     "-q",
                                     "-q",
                                     "-m",
                                     "-FileType",
                                     "-File:ImageWidth",
                                     "-File:ImageHeight",
                                     "-ThumbnailOffset",
                                     "-ThumbnailLength"};
    args.insert(args.end(), files.begin(), files.end());
    const std::optional<nlohmann::json> tool = lumo::test::exiftoolJson(args);
    if (!tool)
        LUMO_SKIP_OR_FAIL("exiftool is not installed");
    std::map<std::string, nlohmann::json> byFile;
    for (const auto& entry : *tool)
        if (entry.is_object() && entry.contains("SourceFile"))
            byFile[entry["SourceFile"].get<std::string>()] = entry;

    int read = 0, compared = 0;
    for (const std::string& path : files) {
        NRFImageInfoRef record;
        NRFErr err = NRFOpenImage(path.c_str(), 0, &record);
        if (err == kNRFErrNone)
            err = NRFGetImageInfo(record.get());
        const nlohmann::json& ref = byFile[path];
        if (err != kNRFErrNone || NRFFileTypeString(record->m_fileType) != "JPEG" ||
            ref.value("FileType", "") != "JPEG")
            continue;
        ++read;
        if (ref.contains("ImageWidth") && ref["ImageWidth"].is_number()) {
            ++compared;
            EXPECT_EQ(record->m_width, ref["ImageWidth"].get<std::uint32_t>()) << path;
            EXPECT_EQ(record->m_height, ref["ImageHeight"].get<std::uint32_t>()) << path;
        }
        // exiftool lists a thumbnail whatever it shows; the engine keeps it only when it shows this image.
        if (record->m_thumbnail.present() && ref.contains("ThumbnailOffset")) {
            ++compared;
            EXPECT_EQ(record->m_thumbnail.offset, ref["ThumbnailOffset"].get<std::uint32_t>()) << path;
            EXPECT_EQ(record->m_thumbnail.length, ref["ThumbnailLength"].get<std::uint32_t>()) << path;
        }
    }
    std::printf("corpus JPEGs: %zu files, %d read as JPEG, %d values compared with exiftool\n", files.size(),
                read, compared);
    EXPECT_GT(read, 100);
}
