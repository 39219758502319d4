// Tests of preview extraction and its EXIF segment.

#include "NRF/EXIFUtils.h"
#include "NRF/NRF.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFExtractPreview.h"
#include "NRF/NRFImageInfo.h"
#include "support/FileIO.h"
#include "support/JpegBuilder.h"
#include "support/TestSupport.h"
#include "support/TiffBuilder.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace lumo::test;

namespace {

constexpr std::uint16_t kMake = 271, kModel = 272, kNewSubfileType = 254, kJPEGIF = 513, kJPEGIFLength = 514;

// The payload of the first APP1 segment of a JPEG stream (after "Exif\0\0"), or empty.
std::string firstExifTiff(const std::string& jpeg, std::size_t* segmentPos = nullptr) {
    const std::size_t at = jpeg.find(std::string("\xFF\xE1", 2));
    if (at == std::string::npos || jpeg.compare(at + 4, 6, std::string("Exif\0\0", 6)) != 0)
        return {};
    if (segmentPos)
        *segmentPos = at;
    const std::size_t length =
        (static_cast<unsigned char>(jpeg[at + 2]) << 8) | static_cast<unsigned char>(jpeg[at + 3]);
    return jpeg.substr(at + 10, length - 8);
}

NRFErr parseTiff(const std::string& tiffBytes, NRFImageInfoRec& record) {
    NRFMemoryByteSource source(tiffBytes.data(), tiffBytes.size());
    NRFBasicTIFF tiff(source);
    if (!tiff.ReadHeader())
        return kNRFErrBadFormat;
    EXIFParseOptions options;
    options.fileType = kNRFTypeJPEG;
    EXIFParser parser(record, tiff, options);
    if (const NRFErr err = parser.ParseIFD0())
        return err;
    return parser.ParseExifIFD();
}

class ExtractPreviewTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(NRFInit(""), kNRFErrNone); }
    void TearDown() override {
        lumo::clearFileFaults();
        NRFTerminate();
    }

    NRFImageInfoRef open(const std::string& path) {
        NRFImageInfoRef record;
        EXPECT_EQ(NRFOpenImage(path.c_str(), 0, &record), kNRFErrNone) << path;
        if (record)
            EXPECT_EQ(NRFGetImageInfo(record.get()), kNRFErrNone) << NRFGetErrorText();
        return record;
    }

    // A NEF-like raw: IFD0 names the camera, the first SubIFD holds the JPEG preview, the second the
    // sensor data; the record turns it a quarter clockwise.
    std::string buildRaw(const std::string& preview) {
        TiffBuilder b(ByteOrder::Big);
        TiffIfd& ifd0 = b.ifd();
        ifd0.add(kMake, "NIKON CORPORATION").add(kModel, "NIKON D850").addShort(274, 6);
        std::vector<TiffIfd*> subs = ifd0.subIfds(2);
        subs[0]->addLong(kNewSubfileType, 1);
        m_previewBlob = subs[0]->addBlob(kJPEGIF, kJPEGIFLength, preview);
        subs[1]->addLong(kNewSubfileType, 0).addLong(256, 6000).addLong(257, 4000).addShort(262, 32803);
        const std::string bytes = b.build();
        m_previewPos = b.blobPosition(m_previewBlob);
        return bytes;
    }

    std::size_t m_previewBlob = 0, m_previewPos = 0;
    TempDir m_dir;
};

TEST_F(ExtractPreviewTest, TheExifSegmentReadsBackInTheEngineAndInExiftool) {
    NRFImageInfoRec record("x.nef", NRFMakeFileType("NNEF"));
    record.m_captureTime = {2024, 3, 5, 14, 7, 9};
    record.m_orientation = 1; // a quarter turn clockwise: EXIF 6
    record.m_userComment = "Harbour at dawn";
    record.m_hasGPS = true;
    record.m_latitude = -33.858;
    record.m_longitude = 151.2145;
    record.m_altitude = -12.5;
    const std::string segment = NRFBuildExifSegment(record, 640, 424);
    ASSERT_GT(segment.size(), 10u);
    EXPECT_EQ(segment.substr(0, 2), "\xFF\xE1");
    EXPECT_EQ(((unsigned char)segment[2] << 8 | (unsigned char)segment[3]) + 2u, segment.size());

    NRFImageInfoRec back("y.jpg", kNRFTypeJPEG);
    ASSERT_EQ(parseTiff(firstExifTiff(segment), back), kNRFErrNone);
    EXPECT_EQ(back.m_orientation, 1);
    EXPECT_EQ(back.m_captureTime, record.m_captureTime);
    EXPECT_EQ(back.m_pixelXDimension, 640u);
    EXPECT_EQ(back.m_pixelYDimension, 424u);
    EXPECT_EQ(back.m_exifVersion, 0x30323231u);
    EXPECT_EQ(back.m_userComment, "Harbour at dawn");
    EXPECT_TRUE(back.m_hasGPS);
    EXPECT_NEAR(back.m_latitude, -33.858, 1e-6);
    EXPECT_NEAR(back.m_longitude, 151.2145, 1e-6);
    ASSERT_TRUE(back.m_altitude.has_value());
    EXPECT_NEAR(*back.m_altitude, -12.5, 1e-6);

    // Every rotation code comes back as itself; a record without a date or position writes neither.
    for (int rotation = 0; rotation < 8; ++rotation) {
        NRFImageInfoRec plain("p.nef", NRFMakeFileType("NNEF"));
        plain.m_orientation = static_cast<std::int16_t>(rotation);
        NRFImageInfoRec read("r.jpg", kNRFTypeJPEG);
        ASSERT_EQ(parseTiff(firstExifTiff(NRFBuildExifSegment(plain, 8, 8)), read), kNRFErrNone);
        EXPECT_EQ(read.m_orientation, rotation);
        EXPECT_FALSE(read.m_captureTime.isValid());
        EXPECT_FALSE(read.m_hasGPS);
    }

    JpegBuilder jpeg(64, 48);
    jpeg.addSegment(0xE1, segment.substr(4));
    const std::string path = m_dir.file("segment.jpg");
    writeWholeFile(path, jpeg.build());
    const auto tool = exiftoolJson({"-n", "-a", "-G1", path});
    if (!tool)
        LUMO_SKIP_OR_FAIL("exiftool is not installed");
    ASSERT_EQ(tool->size(), 1u);
    const nlohmann::json& t = (*tool)[0];
    // Every tag EXIF requires of a JPEG is there: no errors, warnings or minor remarks.
    EXPECT_EQ((*exiftoolJson({"-validate", "-a", path}))[0].value("Validate", ""), "OK");
    EXPECT_EQ(t.value("IFD0:Orientation", 0), 6);
    EXPECT_EQ(t.value("IFD0:ModifyDate", ""), "2024:03:05 14:07:09");
    EXPECT_EQ(t.value("ExifIFD:DateTimeOriginal", ""), "2024:03:05 14:07:09");
    EXPECT_EQ(t.value("ExifIFD:ExifVersion", ""), "0221");
    EXPECT_EQ(t.value("ExifIFD:ExifImageWidth", 0), 640);
    EXPECT_EQ(t.value("ExifIFD:ExifImageHeight", 0), 424);
    EXPECT_EQ(t.value("ExifIFD:UserComment", ""), "Harbour at dawn");
    EXPECT_NEAR(t.value("GPS:GPSLatitude", 0.0), 33.858, 1e-6);
    EXPECT_EQ(t.value("GPS:GPSLatitudeRef", ""), "S");
    EXPECT_NEAR(t.value("GPS:GPSAltitude", 0.0), 12.5, 1e-6);
    EXPECT_FALSE(t.contains("ExifTool:Warning")) << t.dump();
}

TEST_F(ExtractPreviewTest, ABuiltRawsPreviewIsWrittenAsStoredOrWithTheSegmentAfterSOIOrJFIF) {
    const std::string preview = encodeJpeg(640, 424);
    const std::string raw = m_dir.file("DSC_0001.NEF");
    writeWholeFile(raw, buildRaw(preview));
    NRFImageInfoRef record = open(raw);
    ASSERT_TRUE(record);
    ASSERT_EQ(record->m_preview.offset, m_previewPos);
    record->m_captureTime = {2023, 12, 31, 23, 59, 58};

    bool can = false;
    ASSERT_EQ(NRFCanExtractPreview(record.get(), &can), kNRFErrNone);
    EXPECT_TRUE(can);
    const std::string plain = m_dir.file("plain.jpg");
    ASSERT_EQ(NRFExtractPreview(record.get(), plain.c_str(), false), kNRFErrNone) << NRFGetErrorText();
    EXPECT_EQ(readWholeFile(plain), preview);

    const std::string withExif = m_dir.file("exif.jpg");
    ASSERT_EQ(NRFExtractPreview(record.get(), withExif.c_str(), true), kNRFErrNone) << NRFGetErrorText();
    const std::string bytes = readWholeFile(withExif);
    std::size_t at = 0;
    NRFImageInfoRec back("b.jpg", kNRFTypeJPEG);
    ASSERT_EQ(parseTiff(firstExifTiff(bytes, &at), back), kNRFErrNone);
    EXPECT_EQ(at, 2u) << "without a JFIF segment the EXIF segment follows the SOI";
    EXPECT_EQ(back.m_orientation, record->m_orientation);
    EXPECT_EQ(back.m_captureTime, record->m_captureTime);
    const DecodedJpeg decoded = decodeJpeg(bytes);
    ASSERT_TRUE(decoded.ok) << decoded.error;
    EXPECT_EQ(decoded.width, 640);
    EXPECT_EQ(decoded.height, 424);
    NRFImageInfoRef reread = open(withExif); // the engine's own JPEG reader takes the result
    ASSERT_TRUE(reread);
    EXPECT_EQ(reread->m_orientation, record->m_orientation);

    // A preview that starts with JFIF keeps it first; an EXIF segment it had is replaced, not doubled.
    JpegBuilder jfif(320, 212);
    jfif.addJfif();
    jfif.addExif(std::string("II*\0\x08\0\0\0\0\0\0\0\0\0", 14));
    const std::string jfifRaw = m_dir.file("DSC_0002.NEF");
    writeWholeFile(jfifRaw, buildRaw(jfif.build()));
    NRFImageInfoRef second = open(jfifRaw);
    ASSERT_TRUE(second);
    const std::string out = m_dir.file("jfif.jpg");
    ASSERT_EQ(NRFExtractPreview(second.get(), out.c_str(), true), kNRFErrNone) << NRFGetErrorText();
    const std::string written = readWholeFile(out);
    ASSERT_TRUE(firstExifTiff(written, &at).size() > 8);
    EXPECT_EQ(written.substr(2, 2), "\xFF\xE0");
    EXPECT_EQ(at, 2u + 2u + 16u);
    EXPECT_EQ(written.find(std::string("Exif\0\0", 6), at + 10), std::string::npos);
    EXPECT_TRUE(decodeJpeg(written).ok);
}

TEST_F(ExtractPreviewTest, FailuresLeaveNoDestinationAndNoTemporaryFile) {
    const std::string raw = m_dir.file("DSC_0003.NEF");
    writeWholeFile(raw, buildRaw(encodeJpeg(160, 120)));
    NRFImageInfoRef record = open(raw);
    ASSERT_TRUE(record);
    const auto leftovers = [&] {
        int files = 0;
        for (const auto& entry : std::filesystem::directory_iterator(m_dir.path()))
            files += entry.path().filename() != "DSC_0003.NEF" && entry.path().filename() != "keep.jpg";
        return files;
    };

    EXPECT_EQ(NRFExtractPreview(record.get(), nullptr, false), kNRFErrParam);
    EXPECT_EQ(NRFExtractPreview(nullptr, m_dir.file("a.jpg").c_str(), false), kNRFErrParam);
    EXPECT_EQ(NRFExtractPreview(record.get(), m_dir.file("missing/a.jpg").c_str(), false), kNRFErrOpen);

    // A write that fails half way keeps the old destination whole.
    const std::string keep = m_dir.file("keep.jpg");
    writeWholeFile(keep, "old");
    lumo::injectFileFault({lumo::FileFault::Op::Write, ENOSPC, "keep.jpg", 100});
    EXPECT_EQ(NRFExtractPreview(record.get(), keep.c_str(), true), kNRFErrOpen);
    lumo::clearFileFaults();
    lumo::injectFileFault({lumo::FileFault::Op::Sync, EIO, "keep.jpg"});
    EXPECT_EQ(NRFExtractPreview(record.get(), keep.c_str(), false), kNRFErrOpen);
    lumo::clearFileFaults();
    EXPECT_EQ(readWholeFile(keep), "old");

    // Bytes that are no JPEG stream, and a record without a preview.
    NRFImageInfoRef broken = record->Clone();
    broken->m_preview.offset = 8;
    EXPECT_EQ(NRFExtractPreview(broken.get(), m_dir.file("b.jpg").c_str(), false), kNRFErrBadFormat);
    broken->m_preview.length = 0x7FFFFFFF;
    EXPECT_EQ(NRFExtractPreview(broken.get(), m_dir.file("c.jpg").c_str(), false), kNRFErrBadFormat);
    broken->m_preview = {};
    EXPECT_EQ(NRFExtractPreview(broken.get(), m_dir.file("d.jpg").c_str(), false), kNRFErrNoThumbnail);
    EXPECT_EQ(leftovers(), 0);
}

TEST_F(ExtractPreviewTest, CorpusRawsGiveTheirPreviewAsExiftoolExtractsIt) {
    const std::string corpus = corpusFolderOrFail();
    if (corpus.empty())
        GTEST_SKIP() << "no corpus";
    // exiftool names the RW2's and the X3F's preview JpgFromRaw.
    const std::pair<const char*, const char*> files[] = {
        {"FujiFilm.raf", "-PreviewImage"}, {"Panasonic.rw2", "-JpgFromRaw"}, {"SigmaDP2.x3f", "-JpgFromRaw"}};
    for (const auto& [name, tag] : files) {
        const std::string copy = m_dir.file(name);
        std::filesystem::copy_file(corpus + "/exiftool/" + name, copy);
        NRFImageInfoRef record = open(copy);
        ASSERT_TRUE(record);
        const std::string out = m_dir.file(std::string(name) + ".jpg");
        ASSERT_EQ(NRFExtractPreview(record.get(), out.c_str(), false), kNRFErrNone) << name;
        const ProcessResult tool = runProcess("exiftool", {"-b", tag, copy});
        if (tool.exitCode == 127)
            LUMO_SKIP_OR_FAIL("exiftool is not installed");
        EXPECT_EQ(readWholeFile(out), tool.out) << name;
        ASSERT_EQ(NRFExtractPreview(record.get(), out.c_str(), true), kNRFErrNone) << name;
        EXPECT_TRUE(decodeJpeg(readWholeFile(out)).ok) << name;
    }
}

} // namespace
