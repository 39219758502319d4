// Filling image records from their files: when a file is read again, re-detection of its type, the
// re-dispatch when a reader finds another type, and the failures callers see.

#include "NRF/NRF.h"
#include "NRF/NRFImageInfo.h"
#include "support/JpegBuilder.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

using lumo::test::TempDir;
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
    EXPECT_EQ(record->m_fileSize, m_jpeg.size()) << "the status read before the reader failed stays";

    // A type not in the table.
    record->m_fileType = NRFMakeFileType("XXXX");
    EXPECT_EQ(NRFGetImageInfo(record.get()), kNRFErrParam);
    EXPECT_EQ(NRFGetErrorText(), "No plugin available to handle '" + missing + "'");
}

} // namespace
