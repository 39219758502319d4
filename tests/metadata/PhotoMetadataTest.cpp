// A photo's metadata record read by the type's policy (XMP, then IIM, then EXIF), saved by the policy
// into files and sidecars and undone, and the photo state of a JPEG as exiftool sees it.

#include "metadata/PhotoMetadata.h"
#include "NRF/NRF.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFImagePrefs.h"
#include "NRF/NRFXMPBlocks.h"
#include "app/LumoPaths.h"
#include "metadata/IPTCUtils.h"
#include "metadata/IPTC_XMP_Utils.h"
#include "support/FileIO.h"
#include "support/IIMBlockBuilder.h"
#include "support/JpegBuilder.h"
#include "support/PhotoEngineTest.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <sstream>
#include <string>

namespace lumo::test {
namespace {

std::string xmpPacket(const std::string& description) {
    return "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"
           "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
           "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
           "<rdf:Description rdf:about=\"\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\">"
           "<dc:description><rdf:Alt><rdf:li xml:lang=\"x-default\">" +
           description +
           "</rdf:li></rdf:Alt></dc:description></rdf:Description></rdf:RDF></x:xmpmeta>\n"
           "<?xpacket end=\"w\"?>";
}

// A JPEG with an optional XMP caption and an optional IIM caption (and 2:221 prefs).
std::string captionJpeg(const char* xmpCaption, const char* iimCaption, const char* prefs = nullptr) {
    JpegBuilder jpeg(32, 24);
    if (xmpCaption)
        jpeg.addXmp(xmpPacket(xmpCaption));
    if (iimCaption || prefs) {
        IIMBlockBuilder iim;
        iim.add(2, 0, std::string("\x00\x04", 2));
        if (iimCaption)
            iim.add(2, 120, iimCaption);
        if (prefs)
            iim.add(2, 221, prefs);
        iim.add(2, 55, "20200304");
        jpeg.addPhotoshop(photoshopResource(0x0404, iim.bytes()));
    }
    return jpeg.build();
}

std::string caption(const IPTCRec& record) {
    std::string text;
    IPTCGetDataSet(&record, IPTC_CAPTION, 1, false, text);
    return text;
}

class PhotoMetadataTest : public lumo::test::PhotoEngineTest {
protected:
    NRFImageInfoRef open(const std::string& path) {
        NRFImageInfoRef record;
        EXPECT_EQ(NRFOpenImage(path.c_str(), 0, &record), kNRFErrNone) << path;
        if (record)
            EXPECT_EQ(NRFGetImageInfo(record.get()), kNRFErrNone) << path;
        return record;
    }
    IPTCRec load(const std::string& path, IPTCXMPSource* source = nullptr) {
        IPTCRec record;
        NRFImageInfoRef file = open(path);
        if (file)
            EXPECT_EQ(NRFLoadIPTC(file.get(), &record, source), kNRFErrNone) << path;
        return record;
    }
    std::string copyOf(const std::string& corpusName) {
        const std::string corpus = corpusFolderOrFail();
        if (corpus.empty())
            return {};
        const std::string path = m_dir.file(std::filesystem::path(corpusName).filename().string());
        writeWholeFile(path, readWholeFile(corpus + "/" + corpusName));
        return path;
    }
    // The file's IIM block and XMP packet.
    std::pair<std::string, std::string> blocksOf(const std::string& path) {
        NRFImageInfoRef file = open(path);
        std::pair<std::string, std::string> blocks;
        NRFXMPPackets packets;
        if (file) {
            EXPECT_EQ(NRFLoadXMP(file.get(), &packets), kNRFErrNone);
            bool have = false;
            if (NRFHaveIPTC(file.get(), true, &have) == kNRFErrNone && have)
                EXPECT_EQ(NRFLoadIPTC(file.get(), &blocks.first), kNRFErrNone);
        }
        // Padding aside (a packet put back in place of a larger one keeps the larger one's room).
        for (const char c : packets.main + packets.extended)
            if (c != ' ' && c != '\n' && c != '\0')
                blocks.second += c;
        return blocks;
    }
    TempDir m_dir;
};

TEST(PhotoMetadataMerge, EmptyFieldsAndInvalidDatesTakeTheIIMValues) {
    IPTCRec xmp, iim;
    IPTCSetDataSet(&xmp, IPTC_CAPTION, 1, "from XMP");
    IPTCSetDataSet(&iim, IPTC_CAPTION, 1, "from IIM");
    IPTCSetDataSet(&iim, IPTC_HEADLINE, 1, "headline");
    iim.m_rating = "4";
    struct {
        std::uint16_t year, month, day;
        bool noDate;
        bool takesIIM;
    } cases[] = {
        {2021, 5, 6, false, false}, {0, 0, 0, true, true},      {2021, 13, 6, false, true},
        {2021, 5, 0, false, true},  {2021, 5, 32, false, true}, {10000, 1, 1, false, true},
        {0, 1, 1, false, false}, // year 0 is in range
    };
    iim.m_dateYear = 1999;
    iim.m_dateMonth = 12;
    iim.m_dateDay = 31;
    iim.m_noDate = false;
    iim.m_timeHour = 23;
    iim.m_timeMinute = 59;
    iim.m_noTime = false;
    for (const auto& c : cases) {
        IPTCRec record = xmp;
        record.m_dateYear = c.year;
        record.m_dateMonth = c.month;
        record.m_dateDay = c.day;
        record.m_noDate = c.noDate;
        record.m_timeHour = 24; // never valid
        record.m_noTime = false;
        mergeMissingFromIIM(record, iim);
        SCOPED_TRACE(c.year * 10000 + c.month * 100 + c.day);
        EXPECT_EQ(caption(record), "from XMP");
        std::string headline;
        IPTCGetDataSet(&record, IPTC_HEADLINE, 1, false, headline);
        EXPECT_EQ(headline, "headline");
        EXPECT_EQ(record.m_rating, "4");
        EXPECT_EQ(record.m_dateYear, c.takesIIM ? 1999 : c.year);
        EXPECT_EQ(record.m_timeHour, 23);
        EXPECT_TRUE(IPTCDateTimeIsValid(record));
    }
}

TEST_F(PhotoMetadataTest, SavePolicyPerTypeAndSettings) {
    IPTCSaveSettings defaults;
    IPTCSaveSettings rawEmbed;
    rawEmbed.m_allowRawModification = true;
    rawEmbed.m_rawDontUpdateEmbedded = false;
    rawEmbed.m_rawAddIPTC = true;
    rawEmbed.m_rawAddXMPSidecar = false;
    IPTCSaveSettings noIIM;
    noIIM.m_standardAddIPTC = false;
    const struct {
        const char* type;
        const IPTCSaveSettings& settings;
        int policy;
        bool iim, xmp, sidecar, refused;
    } cases[] = {
        {"JPEG", defaults, 1, true, true, false, false},  {"JPEG", noIIM, 1, false, true, false, false},
        {"TIFF", defaults, 1, true, true, false, false},  {"APSD", defaults, 1, true, true, false, false},
        {"PNGf", defaults, 1, false, true, false, false}, {"GIFf", defaults, 1, false, true, false, false},
        {"ADNG", defaults, 1, true, true, false, false},  {"HEIC", defaults, 3, false, true, false, false},
        {"NNEF", defaults, 2, false, false, true, false}, {"NNEF", rawEmbed, 2, true, true, false, false},
        {"CCR3", rawEmbed, 4, false, false, true, false}, {"MooV", defaults, 4, false, false, true, false},
        {"WBMP", defaults, 5, false, false, false, true}, {"PRXY", defaults, 5, false, false, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        const NRFImageInfoRec image("/nowhere/photo", NRFMakeFileType(c.type));
        const IPTCSavePlan plan = IPTCPlanSave(image, c.settings);
        EXPECT_EQ(plan.m_policy, c.policy);
        EXPECT_EQ(plan.m_writeIIM, c.iim);
        EXPECT_EQ(plan.m_writeXMP, c.xmp);
        EXPECT_EQ(plan.m_writeSidecar, c.sidecar);
        EXPECT_EQ(!plan.m_refusal.empty(), c.refused) << plan.m_refusal;
    }
    const NRFImageInfoRec bitmap("/nowhere/photo.bmp", NRFMakeFileType("WBMP"));
    EXPECT_EQ(IPTCPlanSave(bitmap, defaults).m_refusal,
              "Plugin for '/nowhere/photo.bmp' cannot update IPTC metadata.");
}

TEST_F(PhotoMetadataTest, XMPWinsOverIIMUnlessEmptyAndEXIFFillsTheRest) {
    const struct {
        const char* xmp;
        const char* iim;
        const char* expected;
    } cases[] = {{"B", "A", "B"}, {"", "A", "A"}, {nullptr, "A", "A"}, {"B", nullptr, "B"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        const std::string path = m_dir.file("caption.jpg");
        writeWholeFile(path, captionJpeg(c.xmp, c.iim));
        const IPTCRec record = load(path);
        EXPECT_EQ(caption(record), c.expected);
        EXPECT_EQ(record.m_dateYear, c.iim ? 2020 : 0);
    }
}

TEST_F(PhotoMetadataTest, RawSidecarByNewerWinsThenWrittenAndReadBack) {
    const std::string raw = copyOf("exiftool/Nikon.nef");
    if (raw.empty())
        GTEST_SKIP() << "no corpus";
    const std::string original = readWholeFile(raw);
    const std::string embedded = caption(load(raw));
    const std::string sidecar = std::filesystem::path(raw).replace_extension(".xmp").string();
    writeWholeFile(sidecar, xmpPacket("from the sidecar"));

    // An older sidecar loses to the raw file; a newer one wins.
    const timespec older[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, sidecar.c_str(), older, 0), 0);
    IPTCXMPSource source = IPTCXMPSource::kNone;
    EXPECT_EQ(caption(load(raw, &source)), embedded);
    EXPECT_NE(source, IPTCXMPSource::kSidecar);
    const timespec newer[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
    const timespec rawOlder[2] = {{1500000000, 0}, {1500000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, raw.c_str(), rawOlder, 0), 0);
    ASSERT_EQ(::utimensat(AT_FDCWD, sidecar.c_str(), newer, 0), 0);
    EXPECT_EQ(caption(load(raw, &source)), "from the sidecar");
    EXPECT_EQ(source, IPTCXMPSource::kSidecar);

    // Saved by the defaults: the sidecar only, read back; the raw stays byte for byte.
    NRFImageInfoRef file = open(raw);
    IPTCRec record;
    ASSERT_EQ(NRFLoadIPTC(file.get(), &record), kNRFErrNone);
    IPTCSetDataSet(&record, IPTC_CAPTION, 1, "written");
    IPTCSetDataSet(&record, IPTC_KEYWORDS, 1, "one, two");
    IPTCSaveReport report;
    ASSERT_EQ(DoSaveIPTC(file.get(), record, nullptr, &report), kNRFErrNone) << NRFGetErrorText();
    EXPECT_TRUE(report.m_wroteSidecar);
    EXPECT_FALSE(report.m_wroteFile);
    EXPECT_EQ(report.m_sidecarPath, sidecar);
    EXPECT_EQ(readWholeFile(raw), original);
    const IPTCRec back = load(raw);
    EXPECT_EQ(caption(back), "written");
    std::string keywords;
    IPTCGetDataSet(&back, IPTC_KEYWORDS, 1, false, keywords);
    EXPECT_EQ(keywords, "one,two");
    if (const auto json = exiftoolJson({"-XMP-dc:Description", "-XMP-dc:Subject", sidecar})) {
        EXPECT_EQ((*json)[0].value("Description", ""), "written");
        EXPECT_EQ((*json)[0]["Subject"], nlohmann::json::array({"one", "two"}));
    }
}

TEST_F(PhotoMetadataTest, SavedIntoFilesReadBackByUsAndExiftoolAndUndone) {
    if (corpusFolderOrFail().empty())
        GTEST_SKIP() << "no corpus";
    const bool haveExiftool = runProcess("exiftool", {"-ver"}).exitCode == 0;
    for (const char* name : {"exiftool/IPTC.jpg", "exiftool/PNG.png", "exiftool/GIF.gif",
                             "exiv2/Stonehenge.heic", "exiv2/test.tiff", "exiftool/Photoshop.psd"}) {
        SCOPED_TRACE(name);
        const std::string path = copyOf(name);
        const std::pair<std::string, std::string> before = blocksOf(path);
        const auto warnings = [&] {
            return haveExiftool ? runProcess("exiftool", {"-validate", "-warning", "-a", "-s3", path}).out
                                : "";
        };
        const std::string warningsBefore = warnings();
        const bool jpeg = path.ends_with(".jpg");
        const DecodedJpeg pixels = jpeg ? decodeJpeg(readWholeFile(path)) : DecodedJpeg{};
        NRFImageInfoRef file = open(path);
        ASSERT_TRUE(file);
        IPTCRec record;
        ASSERT_EQ(NRFLoadIPTC(file.get(), &record), kNRFErrNone);
        // A text CP1252 cannot carry: the IIM goes as UTF-8 rather than losing it.
        IPTCSetDataSet(&record, IPTC_CAPTION, 1, "\xCE\xA9mega caption");
        IPTCSetDataSet(&record, IPTC_CITY, 1, "Paris");
        IPTCSaveReport report;
        ASSERT_EQ(DoSaveIPTC(file.get(), record, nullptr, &report), kNRFErrNone) << NRFGetErrorText();
        EXPECT_TRUE(report.m_wroteFile);
        EXPECT_FALSE(report.m_wroteSidecar);
        EXPECT_FALSE(lumo::fileExists(std::filesystem::path(path).replace_extension(".xmp").string()));
        const IPTCRec back = load(path);
        EXPECT_EQ(caption(back), "\xCE\xA9mega caption");
        if (haveExiftool) {
            const auto json = exiftoolJson({"-XMP-dc:Description", "-XMP-photoshop:City",
                                            "-IPTC:Caption-Abstract", "-charset", "iptc=UTF8", path});
            ASSERT_TRUE(json);
            EXPECT_EQ((*json)[0].value("Description", ""), "\xCE\xA9mega caption");
            EXPECT_EQ((*json)[0].value("City", ""), "Paris");
            if (report.m_iimAsUTF8 || (*json)[0].contains("Caption-Abstract"))
                EXPECT_EQ((*json)[0].value("Caption-Abstract", ""), "\xCE\xA9mega caption");
        }
        if (jpeg)
            EXPECT_EQ(decodeJpeg(readWholeFile(path)).pixels, pixels.pixels);
        // No new warning (a stale IPTC digest's goes).
        std::istringstream after(warnings());
        for (std::string line; std::getline(after, line);)
            if (line != "OK" && line.find(" Warning") == std::string::npos)
                EXPECT_NE(warningsBefore.find(line), std::string::npos) << line;
        // Undone from a fresh record (as another process would): the blocks as they were (a JPEG's IPTC
        // digest resource, which described the old block, stays dropped).
        NRFImageInfoRef again = open(path);
        ASSERT_EQ(DoUndoSaveIPTC(again.get()), kNRFErrNone) << NRFGetErrorText();
        EXPECT_TRUE(blocksOf(path) == before);
        EXPECT_NE(DoUndoSaveIPTC(again.get()), kNRFErrNone) << "nothing left to undo";
    }
}

TEST_F(PhotoMetadataTest, UndoRefusedWhenTheFileChangedSinceTheSave) {
    const std::string path = m_dir.file("changed.jpg");
    writeWholeFile(path, captionJpeg("B", "A"));
    NRFImageInfoRef file = open(path);
    IPTCRec record;
    ASSERT_EQ(NRFLoadIPTC(file.get(), &record), kNRFErrNone);
    IPTCSetDataSet(&record, IPTC_CAPTION, 1, "C");
    ASSERT_EQ(DoSaveIPTC(file.get(), record), kNRFErrNone) << NRFGetErrorText();
    // Another program (here a save that keeps no undo data) changes the metadata again.
    IPTCSaveSettings noUndo;
    noUndo.m_keepUndo = false;
    IPTCSetDataSet(&record, IPTC_CAPTION, 1, "D");
    NRFImageInfoRef other = open(path);
    ASSERT_EQ(DoSaveIPTC(other.get(), record, noUndo, IPTCEncodingSettings{}), kNRFErrNone)
        << NRFGetErrorText();
    EXPECT_NE(DoUndoSaveIPTC(file.get()), kNRFErrNone);
    EXPECT_NE(NRFGetErrorText().find("changed since"), std::string::npos) << NRFGetErrorText();
}

TEST_F(PhotoMetadataTest, PhotoStateOfAJPEGInXMPAndIIMAsExiftoolReadsIt) {
    const std::string path = m_dir.file("state.jpg");
    // The state the IIM holds is the starting point when the XMP holds none. The file ends in a legacy
    // prefs block, which goes when its metadata is written.
    const std::string eof = std::string(2048, 'p') + be(2048, 4) + "klip" + "klbl";
    writeWholeFile(path, captionJpeg(nullptr, "A", "0:0:2:000007") + eof);
    const bool haveExiftool = runProcess("exiftool", {"-ver"}).exitCode == 0;
    const std::string warningsBefore =
        haveExiftool ? runProcess("exiftool", {"-validate", "-warning", "-a", "-s3", path}).out : "";
    NRFImageInfoRef file = open(path);
    ASSERT_EQ(IPTCLoadPhotoState(file.get()), kNRFErrNone);
    EXPECT_EQ(file->m_rating, 2);
    ASSERT_EQ(IPTCSetPhotoTag(file.get(), 2), kNRFErrNone) << NRFGetErrorText();
    ASSERT_EQ(IPTCSetPhotoRating(file.get(), 4), kNRFErrNone) << NRFGetErrorText();
    ASSERT_EQ(IPTCSetPhotoColorClass(file.get(), 3), kNRFErrNone) << NRFGetErrorText();
    NRFNormalizedCrop crop;
    crop.left = 0.25;
    crop.right = 0.75;
    ASSERT_EQ(IPTCSetPhotoCrop(file.get(), crop), kNRFErrNone) << NRFGetErrorText();
    EXPECT_EQ(IPTCSetPhotoRating(file.get(), 6), kNRFErrParam);
    EXPECT_FALSE(lumo::fileExists(NRFXIPSidecarPath(path, false)));

    const std::string written = readWholeFile(path);
    EXPECT_NE(written.substr(written.size() - 4), "klbl");

    NRFImageInfoRef fresh = open(path);
    ASSERT_EQ(IPTCLoadPhotoState(fresh.get()), kNRFErrNone);
    EXPECT_TRUE(fresh->m_tag);
    EXPECT_EQ(fresh->m_rating, 4);
    EXPECT_EQ(fresh->m_colorClass, 3);
    EXPECT_DOUBLE_EQ(fresh->m_crop.left, 0.25);
    EXPECT_EQ(caption(load(path)), "A");

    if (!haveExiftool)
        LUMO_SKIP_OR_FAIL("exiftool is not installed");
    const auto json = exiftoolJson({"-n", "-G1", "-XMP:all", "-IPTC:Prefs", path});
    ASSERT_TRUE(json);
    const auto& tags = (*json)[0];
    EXPECT_EQ(tags.value("XMP-xmp:Rating", 0), 4);
    EXPECT_EQ(tags.value("XMP-crs:CropLeft", 0.0), 0.25);
    EXPECT_EQ(tags.value("IPTC:Prefs", ""), "1:3:4:000007");
    bool lumograph = false;
    for (const auto& [key, value] : tags.items())
        lumograph = lumograph || key.rfind("XMP-lumograph:", 0) == 0;
    EXPECT_TRUE(lumograph) << tags.dump();
    EXPECT_EQ(runProcess("exiftool", {"-validate", "-warning", "-a", "-s3", path}).out, warningsBefore);
}

TEST_F(PhotoMetadataTest, OtherTypesKeepTheirStateInTheXIPAndWhereTheyKeepXMP) {
    const std::string png = copyOf("exiftool/PNG.png");
    const std::string raw = copyOf("exiftool/Nikon.nef");
    if (png.empty() || raw.empty())
        GTEST_SKIP() << "no corpus";
    const std::string rawBytes = readWholeFile(raw);
    for (const std::string& path : {png, raw}) {
        SCOPED_TRACE(path);
        NRFImageInfoRef file = open(path);
        ASSERT_EQ(IPTCSetPhotoRating(file.get(), 5), kNRFErrNone) << NRFGetErrorText();
        ASSERT_EQ(IPTCSetPhotoTag(file.get(), 1), kNRFErrNone) << NRFGetErrorText();
        EXPECT_NE(readWholeFile(NRFXIPSidecarPath(path, true)).find("<rating>5</rating>"), std::string::npos);
        NRFImageInfoRef fresh = open(path);
        fresh->m_rating = 0;
        ASSERT_EQ(IPTCLoadPhotoState(fresh.get()), kNRFErrNone);
        EXPECT_EQ(fresh->m_rating, 5);
        EXPECT_TRUE(fresh->m_tag);
    }
    // The PNG's own XMP holds it; the raw's sidecar does, and the raw is left alone.
    EXPECT_EQ(readWholeFile(raw), rawBytes);
    const std::string sidecar = std::filesystem::path(raw).replace_extension(".xmp").string();
    if (runProcess("exiftool", {"-ver"}).exitCode != 0)
        LUMO_SKIP_OR_FAIL("exiftool is not installed");
    const auto json = exiftoolJson({"-n", "-XMP-xmp:Rating", png, sidecar});
    ASSERT_TRUE(json && json->size() == 2);
    EXPECT_EQ((*json)[0].value("Rating", 0), 5);
    EXPECT_EQ((*json)[1].value("Rating", 0), 5);
}

TEST_F(PhotoMetadataTest, PartsOfTheXMPUpdatedAndAllMetadataDeleted) {
    const std::string path = m_dir.file("parts.jpg");
    writeWholeFile(path, captionJpeg("B", "A"));
    const DecodedJpeg pixels = decodeJpeg(readWholeFile(path));
    NRFImageInfoRef file = open(path);
    file->m_orientation = 1; // a quarter turn clockwise: EXIF 6
    ASSERT_EQ(NRFSaveXMP(file.get(), kXMPUpdateOrientation), kNRFErrNone) << NRFGetErrorText();
    NRFXMPPackets packets;
    ASSERT_EQ(NRFLoadXMP(file.get(), &packets), kNRFErrNone);
    EXPECT_TRUE(PropertyExistsInXMP(packets.main, "http://ns.adobe.com/tiff/1.0/", "Orientation"));
    EXPECT_EQ(caption(load(path)), "B");

    ASSERT_EQ(NRFDeleteMetadata(file.get()), kNRFErrNone) << NRFGetErrorText();
    EXPECT_EQ(blocksOf(path), (std::pair<std::string, std::string>{}));
    EXPECT_EQ(caption(load(path)), "");
    EXPECT_EQ(decodeJpeg(readWholeFile(path)).pixels, pixels.pixels);
}

TEST_F(PhotoMetadataTest, ARawWrittenWhoseSidecarFailsCanStillBeUndone) {
    const std::string raw = copyOf("exiftool/Nikon.nef");
    if (raw.empty())
        GTEST_SKIP() << "no corpus";
    const std::pair<std::string, std::string> before = blocksOf(raw);
    IPTCSaveSettings embedAndSidecar;
    embedAndSidecar.m_allowRawModification = true;
    embedAndSidecar.m_rawDontUpdateEmbedded = false;
    embedAndSidecar.m_rawAddIPTC = true;
    NRFImageInfoRef file = open(raw);
    IPTCRec record;
    ASSERT_EQ(NRFLoadIPTC(file.get(), &record), kNRFErrNone);
    IPTCSetDataSet(&record, IPTC_CAPTION, 1, "embedded");
    lumo::injectFileFault({.op = lumo::FileFault::Op::Write, .error = ENOSPC, .pathContains = ".xmp"});
    IPTCSaveReport report;
    EXPECT_NE(DoSaveIPTC(file.get(), record, embedAndSidecar, IPTCEncodingSettings{}, nullptr, &report),
              kNRFErrNone);
    lumo::clearFileFaults();
    EXPECT_TRUE(report.m_wroteFile);
    EXPECT_FALSE(report.m_wroteSidecar);
    EXPECT_NE(blocksOf(raw), before);
    NRFImageInfoRef again = open(raw);
    ASSERT_EQ(DoUndoSaveIPTC(again.get()), kNRFErrNone) << NRFGetErrorText();
    EXPECT_EQ(blocksOf(raw), before);
}

TEST_F(PhotoMetadataTest, AnXMPCopyOfTheOrientationFollowsARotation) {
    const std::string png = copyOf("exiftool/PNG.png");
    if (png.empty())
        GTEST_SKIP() << "no corpus";
    NRFImageInfoRef file = open(png);
    ASSERT_EQ(NRFSaveXMP(file.get(), kXMPUpdateOrientation), kNRFErrNone) << NRFGetErrorText();
    ASSERT_EQ(IPTCSetPhotoRotation(file.get(), 2), kNRFErrNone) << NRFGetErrorText();
    NRFImageInfoRef fresh = open(png);
    NRFXMPPackets packets;
    ASSERT_EQ(NRFLoadXMP(fresh.get(), &packets), kNRFErrNone);
    fresh->m_orientation = 0;
    ASSERT_TRUE(XMPReadImageState(packets.main, *fresh));
    EXPECT_EQ(fresh->m_orientation, 2);
    EXPECT_NE(readWholeFile(NRFXIPSidecarPath(png, true)).find("<rotation>2</rotation>"), std::string::npos);
}

} // namespace
} // namespace lumo::test
