// Filling image records from their files: when a file is read again and what a new reading replaces,
// re-detection of its type, the re-dispatch when a reader finds another type, and the failures callers
// see.

#include "NRF/NRF.h"
#include "NRF/NRFImageInfo.h"
#include "support/JpegBuilder.h"
#include "support/TestSupport.h"
#include "support/TiffBuilder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

using lumo::test::ByteOrder;
using lumo::test::TempDir;
using lumo::test::TiffBuilder;
using lumo::test::TiffIfd;
using lumo::test::TiffType;
using lumo::test::writeWholeFile;

namespace {

// What the stand-in readers saw; reset with the tables for every test.
struct Calls {
    int jpegReads = 0, nefReads = 0, nefInits = 0, nefCloses = 0;
    NRFFileType jpegSentTo = 0; // the JPEG reader answers kNRFErrWrongType with this type when set
};
Calls gCalls;

NRFErr jpegGetInfo(NRFContext&, NRFImageInfoRec& record, lumo::File&) {
    ++gCalls.jpegReads;
    if (gCalls.jpegSentTo) {
        record.m_fileType = gCalls.jpegSentTo;
        return kNRFErrWrongType;
    }
    record.m_width = 64;
    record.m_hasInfo = true;
    return kNRFErrNone;
}
// A raw reader that finds a JPEG stream where it expected its raw.
NRFErr nefGetInfo(NRFContext&, NRFImageInfoRec& record, lumo::File&) {
    ++gCalls.nefReads;
    record.m_width = 9999; // a partial read the re-dispatch must forget
    record.m_fileType = kNRFTypeJPEG;
    return kNRFErrWrongType;
}
NRFErr nefInit(NRFContext&, NRFImageInfoRec&) {
    ++gCalls.nefInits;
    return kNRFErrNone;
}
NRFErr nefClose(NRFContext&, NRFImageInfoRec&) {
    ++gCalls.nefCloses;
    return kNRFErrNone;
}
NRFErr failingRead(NRFContext&, NRFImageInfoRec& record, lumo::File&) {
    NRFSetErrorText("Bad header in '%s'", record.m_path.c_str());
    return kNRFErrBadFormat;
}

class NRFGetImageInfoTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(NRFInit(""), kNRFErrNone);
        gCalls = {};
        reader(kNRFTypeJPEG).GetImageInfo = &jpegGetInfo;
        NRFPluginFunctions& nef = reader(NRFMakeFileType("NNEF"));
        nef.GetImageInfo = &nefGetInfo;
        nef.InitImageInfo = &nefInit;
        nef.CloseImage = &nefClose;
    }
    void TearDown() override { NRFTerminate(); }

    static NRFPluginFunctions& reader(NRFFileType type) {
        return *NRFPluginFunctionsForTesting(NRFFindFileType(type));
    }
    NRFImageInfoRef open(const std::string& name, NRFFileType type = 0) {
        NRFImageInfoRef record;
        EXPECT_EQ(NRFOpenImage(m_dir.file(name).c_str(), type, &record), kNRFErrNone) << NRFGetErrorText();
        return record;
    }

    TempDir m_dir;
    const std::string m_jpeg = lumo::test::encodeJpeg(16, 8);
};

TEST_F(NRFGetImageInfoTest, ReadsAgainOnlyWhenTheFileOrItsSidecarChanged) {
    writeWholeFile(m_dir.file("photo.jpg"), m_jpeg);
    NRFImageInfoRef record = open("photo.jpg");
    ASSERT_TRUE(record);
    EXPECT_EQ(NRFGetImageInfo(record.get()), kNRFErrNone);
    EXPECT_EQ(gCalls.jpegReads, 1);
    EXPECT_EQ(record->m_fileSize, m_jpeg.size());
    EXPECT_NE(record->m_infoReadTime, 0);
    EXPECT_EQ(record->m_width, 64u);
    EXPECT_FALSE(record->m_hasXmpSidecar);

    EXPECT_EQ(NRFGetImageInfo(record.get()), kNRFErrNone);
    EXPECT_EQ(gCalls.jpegReads, 1) << "an unchanged file is not read again";

    writeWholeFile(m_dir.file("photo.jpg"), m_jpeg + "tail");
    EXPECT_EQ(NRFGetImageInfo(record.get()), kNRFErrNone);
    EXPECT_EQ(gCalls.jpegReads, 2);
    EXPECT_EQ(record->m_fileSize, m_jpeg.size() + 4);

    writeWholeFile(m_dir.file("photo.XMP"), "<x:xmpmeta/>");
    EXPECT_EQ(NRFGetImageInfo(record.get()), kNRFErrNone);
    EXPECT_EQ(gCalls.jpegReads, 3) << "a new sidecar";
    EXPECT_TRUE(record->m_hasXmpSidecar);
    std::filesystem::remove(m_dir.file("photo.XMP"));
    EXPECT_EQ(NRFGetImageInfo(record.get()), kNRFErrNone);
    EXPECT_EQ(gCalls.jpegReads, 4) << "a sidecar gone";
    EXPECT_FALSE(record->m_hasXmpSidecar);
}

TEST_F(NRFGetImageInfoTest, AFileOfAnotherTypeIsDetectedAgainAndTheRecordStartsOver) {
    // Opened as a JPEG, but the file is a raw: the raw reader gets a fresh record.
    writeWholeFile(m_dir.file("raw.nef"), "not a jpeg");
    reader(NRFMakeFileType("NNEF")).GetImageInfo = nullptr;
    NRFImageInfoRef record = open("raw.nef", kNRFTypeJPEG);
    record->m_width = 5;
    EXPECT_EQ(NRFGetImageInfo(record.get()), kNRFErrNone);
    EXPECT_EQ(NRFFileTypeString(record->m_fileType), "NNEF");
    EXPECT_EQ(gCalls.nefInits, 1);
    EXPECT_EQ(gCalls.jpegReads, 0);
    EXPECT_EQ(record->m_width, 0u) << "what the old reader left is gone";
    EXPECT_EQ(record->m_fileSize, 10u) << "the file status is read for the new type";
}

TEST_F(NRFGetImageInfoTest, AReaderThatFindsAnotherTypeSendsTheFileToThatReader) {
    writeWholeFile(m_dir.file("camera.nef"), m_jpeg);
    NRFImageInfoRef record = open("camera.nef");
    ASSERT_EQ(NRFFileTypeString(record->m_fileType), "NNEF");
    EXPECT_EQ(NRFGetImageInfo(record.get()), kNRFErrNone) << NRFGetErrorText();
    EXPECT_EQ(NRFFileTypeString(record->m_fileType), "JPEG");
    EXPECT_EQ(gCalls.nefReads, 1);
    EXPECT_EQ(gCalls.nefCloses, 1) << "the raw reader lets go of the record";
    EXPECT_EQ(gCalls.jpegReads, 1);
    EXPECT_EQ(record->m_width, 64u);
    EXPECT_EQ(record->m_fileSize, m_jpeg.size());
    // Unchanged: the record stays a JPEG, nothing is read again, the extension does not win.
    EXPECT_EQ(NRFGetImageInfo(record.get()), kNRFErrNone);
    EXPECT_EQ(NRFFileTypeString(record->m_fileType), "JPEG");
    EXPECT_EQ(gCalls.nefReads + gCalls.jpegReads, 2);

    // Two readers sending the file to each other end with a failure, not a loop.
    gCalls.jpegSentTo = NRFMakeFileType("NNEF");
    NRFImageInfoRef bounced = open("camera.nef");
    EXPECT_EQ(NRFGetImageInfo(bounced.get()), kNRFErrBadFormat);
    EXPECT_NE(NRFGetErrorText().find("camera.nef"), std::string::npos);
    EXPECT_EQ(gCalls.nefReads, 2);
}

// Versions of one TIFF file: `orientation` in IFD0 and IFD1 (none when 0), a GPS position, and
// `malformed` entries whose text is said to lie past the end.
std::string tiffVersion(std::uint16_t orientation, bool gps, unsigned malformed, TiffBuilder& b) {
    TiffIfd& ifd0 = b.ifd();
    ifd0.addLong(256, 64).addLong(257, 48).add(272, "Lumocam");
    if (orientation) {
        ifd0.addShort(274, orientation);
        ifd0.next().addShort(274, orientation);
    }
    if (gps)
        ifd0.subIfd(34853)
            .addRationals(2, {{48, 1}, {30, 1}, {0, 1}})
            .addRationals(4, {{2, 1}, {15, 1}, {0, 1}});
    for (unsigned i = 0; i < malformed; ++i)
        ifd0.addPastEnd(static_cast<std::uint16_t>(0xC000 + i), TiffType::Ascii, 40, 100);
    return b.build();
}

TEST_F(NRFGetImageInfoTest, AReadingAgainReplacesWhatTheFileGaveAndKeepsThePrefs) {
    const std::string path = m_dir.file("photo.tif");
    auto modified = std::filesystem::file_time_type::clock::now() - std::chrono::hours(2);
    const auto writeVersion = [&](const std::string& bytes) {
        writeWholeFile(path, bytes);
        modified += std::chrono::minutes(1);
        std::filesystem::last_write_time(path, modified);
    };
    TiffBuilder first(ByteOrder::Big);
    writeVersion(tiffVersion(6, true, 2, first));
    NRFImageInfoRef record = open("photo.tif");
    ASSERT_EQ(NRFGetImageInfo(record.get()), kNRFErrNone) << NRFGetErrorText();
    EXPECT_EQ(record->m_orientation, 1);
    EXPECT_EQ(record->m_orientationPosCount, 2u);
    EXPECT_TRUE(record->m_hasGPS);
    EXPECT_EQ(record->m_malformedCount, 2u);
    // The user's prefs.
    record->m_tag = true;
    record->m_rating = 4;
    record->m_colorClass = 2;
    record->m_crop = NRFNormalizedCrop{0.1, 0.1, 0.9, 0.9, 0, 1, 1, false};

    // Another writer's version: IFD0 turned, no GPS, no malformed entry, everything elsewhere.
    TiffBuilder second(ByteOrder::Little);
    const std::string bytes = tiffVersion(8, false, 0, second);
    writeVersion(bytes);
    ASSERT_EQ(NRFGetImageInfo(record.get()), kNRFErrNone) << NRFGetErrorText();
    EXPECT_EQ(record->m_orientation, 3);
    ASSERT_EQ(record->m_orientationPosCount, 2u) << "no position of the old file stays";
    EXPECT_EQ(record->m_orientationPos[0], second.entryPosition(second.ifd(), 274) + 8);
    EXPECT_FALSE(record->m_orientationBigEndian[0]);
    EXPECT_FALSE(record->m_hasGPS);
    EXPECT_EQ(record->m_malformedCount, 0u);
    EXPECT_EQ(record->m_fileSize, bytes.size());
    EXPECT_TRUE(record->m_tag);
    EXPECT_EQ(record->m_rating, 4);
    EXPECT_EQ(record->m_colorClass, 2);
    EXPECT_EQ(record->m_crop.left, 0.1);

    // A rotation the file does not hold is the user's: a reading that finds none keeps it; one that
    // finds the file's own takes that.
    TiffBuilder plain;
    writeVersion(tiffVersion(0, false, 0, plain));
    ASSERT_EQ(NRFGetImageInfo(record.get()), kNRFErrNone);
    EXPECT_EQ(record->m_orientation, 0) << "the old file's rotation went with it";
    record->m_orientation = 2;
    TiffBuilder touched;
    writeVersion(tiffVersion(0, false, 1, touched));
    ASSERT_EQ(NRFGetImageInfo(record.get()), kNRFErrNone);
    EXPECT_EQ(record->m_orientation, 2);
    EXPECT_EQ(record->m_orientationPosCount, 0u);

    // Garbage over a good file: every later call fails the same way until the file changes again.
    writeVersion("this is no TIFF file at all");
    EXPECT_EQ(NRFGetImageInfo(record.get()), kNRFErrBadFormat);
    const std::string text = NRFGetErrorText();
    EXPECT_EQ(NRFGetImageInfo(record.get()), kNRFErrBadFormat);
    EXPECT_EQ(NRFGetErrorText(), text);
    EXPECT_EQ(record->m_orientationPosCount, 0u) << "no position of a file that is gone";
    EXPECT_TRUE(record->m_tag);
    TiffBuilder third(ByteOrder::Big);
    writeVersion(tiffVersion(6, false, 0, third));
    ASSERT_EQ(NRFGetImageInfo(record.get()), kNRFErrNone) << NRFGetErrorText();
    EXPECT_EQ(record->m_orientation, 1);
    EXPECT_EQ(record->m_rating, 4);
}

TEST_F(NRFGetImageInfoTest, FailuresGiveTheirCodeAndText) {
    EXPECT_EQ(NRFGetImageInfo(nullptr), kNRFErrParam);
    NRFImageInfoRef record;
    EXPECT_EQ(NRFOpenImage(nullptr, kNRFTypeJPEG, &record), kNRFErrParam);
    EXPECT_EQ(NRFGetErrorText(), "Fatal error while opening file, bad parameter(s).");
    EXPECT_EQ(NRFOpenImage("a.jpg", kNRFTypeJPEG, nullptr), kNRFErrParam);
    EXPECT_EQ(NRFOpenImage("a.jpg", NRFMakeFileType("XXXX"), &record), kNRFErrParam);
    EXPECT_FALSE(record);
    EXPECT_EQ(NRFCloseImage(nullptr), kNRFErrParam);

    // A missing file: the record is marked and stays failed.
    const std::string missing = m_dir.file("gone.jpg");
    record = open("gone.jpg");
    ASSERT_TRUE(record);
    EXPECT_EQ(NRFGetImageInfo(record.get()), kNRFErrFileInfo);
    EXPECT_EQ(NRFGetErrorText(), "Unable to get filesystem information for '" + missing + "'");
    EXPECT_TRUE(record->FileSystemInfoFailed());
    writeWholeFile(missing, m_jpeg);
    EXPECT_EQ(NRFGetImageInfo(record.get()), kNRFErrFileInfo);
    EXPECT_EQ(gCalls.jpegReads, 0);

    // A file nothing takes, and a reader's own failure with its text.
    writeWholeFile(m_dir.file(".lumoingest.dat"), "x");
    EXPECT_EQ(NRFOpenImage(m_dir.file(".lumoingest.dat").c_str(), 0, &record), kNRFErrUnknownType);
    reader(kNRFTypeJPEG).GetImageInfo = &failingRead;
    record = open("gone.jpg");
    EXPECT_EQ(NRFGetImageInfo(record.get()), kNRFErrBadFormat);
    EXPECT_EQ(NRFGetErrorText(), "Bad header in '" + missing + "'");
    EXPECT_EQ(NRFGetImageInfo(record.get()), kNRFErrBadFormat) << "a failed reading is no reading";
    EXPECT_EQ(NRFGetErrorText(), "Bad header in '" + missing + "'");
    EXPECT_EQ(record->m_fileSize, 0u) << "the record does not claim to describe the file";
    EXPECT_TRUE(record->NeedsMetadataReload());

    // A type not in the table.
    record->m_fileType = NRFMakeFileType("XXXX");
    EXPECT_EQ(NRFGetImageInfo(record.get()), kNRFErrParam);
    EXPECT_EQ(NRFGetErrorText(), "No plugin available to handle '" + missing + "'");
}

} // namespace
