#include "NRF/NRF.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFImagePrefs.h"
#include "NRF/NRFPlugin.h"
#include "NRF/NRFTestSupport.h"
#include "NRF/NRFXMLImagePrefs.h"
#include "NRF/NRFXMPRating.h"
#include "support/FileIO.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <optional>
#include <string>

namespace lumo::test {
namespace {

constexpr NRFFileType kNEF = NRFMakeFileType("NNEF");

class ImagePrefsTest : public NRFEngineTest {
protected:
    std::string exportOf(const NRFImageInfoRec& record, bool pad = false) {
        std::string text;
        EXPECT_EQ(NRFXMLImagePrefsExport(record, text, pad), kNRFErrNone);
        return text;
    }
};

std::string trailer(std::uint32_t length, const char* kind) {
    std::string out;
    for (int shift = 24; shift >= 0; shift -= 8)
        out += static_cast<char>((length >> shift) & 0xFF);
    return out + kind + "klbl";
}

TEST_F(ImagePrefsTest, ExportsTheDocumentLineForLine) {
    NRFLocalImageInfoRec jpeg(m_dir.file("a.jpg"), kNRFTypeJPEG);
    jpeg.m_tag = true;
    EXPECT_EQ(exportOf(jpeg), "<?xml version=\"1.0\"?>\n"
                              "<IMAGEPREFS>\n"
                              "\t<rotation>0</rotation>\n"
                              "\t<NORMCROPRECT>\n"
                              "\t\t<angle>0.000000</angle>\n"
                              "\t\t<left>0.000000</left>\n"
                              "\t\t<top>0.000000</top>\n"
                              "\t\t<right>1.000000</right>\n"
                              "\t\t<bottom>1.000000</bottom>\n"
                              "\t</NORMCROPRECT>\n"
                              "\t<tag>1</tag>\n"
                              "</IMAGEPREFS>\n");

    // A raw shown through its preview keeps only the draft crop.
    NRFLocalImageInfoRec raw(m_dir.file("b.nef"), kNEF);
    bool canRender = true;
    NRFCanRender(&raw, &canRender);
    ASSERT_FALSE(canRender);
    raw.m_imageNumber = 1234;
    raw.m_orientation = 3;
    raw.m_colorClass = 2;
    raw.m_rating = 5;
    raw.m_crop = {0.2, 0.2, 0.4, 0.4, 0, 1, 1, false};
    raw.m_draftCrop = {0.1, 0.25, 0.9, 0.75, -12.5, 3, 2, true};
    EXPECT_EQ(exportOf(raw), "<?xml version=\"1.0\"?>\n"
                             "<IMAGEPREFS>\n"
                             "\t<imagenumber>1234</imagenumber>\n"
                             "\t<rotation>3</rotation>\n"
                             "\t<NORMCROPRECTDRAFT>\n"
                             "\t\t<angle>-12.500000</angle>\n"
                             "\t\t<left>0.100000</left>\n"
                             "\t\t<top>0.250000</top>\n"
                             "\t\t<right>0.900000</right>\n"
                             "\t\t<bottom>0.750000</bottom>\n"
                             "\t</NORMCROPRECTDRAFT>\n"
                             "\t<NORMCROPDRAFTRATIO>\n"
                             "\t<width> 3.000</width>\n"
                             "\t<height> 2.000</height>\n"
                             "\t</NORMCROPDRAFTRATIO>\n"
                             "\t<tag>0</tag>\n"
                             "\t<colorclass>2</colorclass>\n"
                             "\t<rating>5</rating>\n"
                             "</IMAGEPREFS>\n");

    const std::string padded = exportOf(jpeg, true);
    EXPECT_EQ(padded.size(), 1024u);
    EXPECT_EQ(padded.substr(0, exportOf(jpeg).size()), exportOf(jpeg));
    EXPECT_EQ(padded.find_last_not_of(' '), exportOf(jpeg).size() - 1);

    // Round trip into fresh records of the same types.
    NRFLocalImageInfoRec jpegBack(jpeg.m_path, kNRFTypeJPEG), rawBack(raw.m_path, kNEF);
    jpeg.m_crop = {0.125, 0.25, 0.5, 0.875, 7.5, 16, 9, true};
    ASSERT_EQ(NRFXMLImagePrefsImport(jpegBack, exportOf(jpeg)), kNRFErrNone);
    ASSERT_EQ(NRFXMLImagePrefsImport(rawBack, exportOf(raw)), kNRFErrNone);
    EXPECT_TRUE(jpegBack.m_tag);
    EXPECT_EQ(jpegBack.m_crop, jpeg.m_crop);
    EXPECT_EQ(rawBack.m_imageNumber, 1234u);
    EXPECT_EQ(rawBack.m_orientation, 3);
    EXPECT_EQ(rawBack.m_colorClass, 2);
    EXPECT_EQ(rawBack.m_rating, 5);
    EXPECT_EQ(rawBack.m_draftCrop, raw.m_draftCrop);
    EXPECT_EQ(rawBack.m_crop, NRFNormalizedCrop{}); // not written, so not read
}

TEST_F(ImagePrefsTest, ImportKeepsWhatIsMissingOrInvalid) {
    NRFLocalImageInfoRec record(m_dir.file("a.jpg"), kNRFTypeJPEG);
    const NRFNormalizedCrop previous{0.1, 0.1, 0.9, 0.9, 0, 1, 1, false};
    record.m_crop = previous;
    record.m_rating = 3;
    ASSERT_EQ(NRFXMLImagePrefsImport(record,
                                     "<IMAGEPREFS><tag>7</tag><NORMCROPRECT><angle>0</angle>"
                                     "<left>0.6</left><top>0</top><right>0.4</right><bottom>1</bottom>"
                                     "</NORMCROPRECT><rotation>9</rotation></IMAGEPREFS>"),
              kNRFErrNone);
    EXPECT_TRUE(record.m_tag);
    EXPECT_EQ(record.m_rating, 3);
    EXPECT_EQ(record.m_orientation, 0); // no such code
    EXPECT_EQ(record.m_crop, previous);

    // A crop missing one of its five values, and a negative ratio, are both dropped.
    ASSERT_EQ(NRFXMLImagePrefsImport(record, "<IMAGEPREFS><NORMCROPRECT><left>0</left><top>0</top><right>0.5"
                                             "</right><bottom>1</bottom></NORMCROPRECT></IMAGEPREFS>"),
              kNRFErrNone);
    ASSERT_EQ(NRFXMLImagePrefsImport(record,
                                     "<IMAGEPREFS><NORMCROPRATIO><width>-1</width><height>2</height>"
                                     "</NORMCROPRATIO><NORMCROPRECT><angle>0</angle><left>0</left><top>0"
                                     "</top><right>0.5</right><bottom>1</bottom></NORMCROPRECT>"
                                     "</IMAGEPREFS>"),
              kNRFErrNone);
    EXPECT_EQ(record.m_crop, previous);

    // Nothing at all from text that is not well-formed, nor from a document with a document type.
    record.m_tag = false;
    EXPECT_EQ(NRFXMLImagePrefsImport(record, "<IMAGEPREFS><tag>1</tag><rating>5</rating>"), kNRFErrBadFormat);
    EXPECT_EQ(NRFXMLImagePrefsImport(record, "<!DOCTYPE IMAGEPREFS [<!ENTITY a \"1\">]><IMAGEPREFS><tag>&a;"
                                             "</tag></IMAGEPREFS>"),
              kNRFErrBadFormat);
    EXPECT_EQ(NRFXMLImagePrefsImport(record, "<OTHER><tag>1</tag></OTHER>"), kNRFErrBadFormat);
    EXPECT_FALSE(record.m_tag);
    EXPECT_EQ(record.m_rating, 3);
}

TEST_F(ImagePrefsTest, OldPixelCropIsTurnedBackForEveryRotation) {
    // The same shown rectangle (0.1..0.5 of the shown width and height) on a 6000 x 4000 image: on the
    // turned codes the image shows 4000 wide. Expected: the unrotated fractions.
    const std::array<std::array<double, 4>, 8> expected{{
        {0.1, 0.1, 0.5, 0.5}, // as stored
        {0.1, 0.5, 0.5, 0.9}, // a quarter turn clockwise
        {0.5, 0.5, 0.9, 0.9}, // half a turn
        {0.5, 0.1, 0.9, 0.5}, // three quarters
        {0.5, 0.1, 0.9, 0.5}, // mirrored
        {0.5, 0.5, 0.9, 0.9}, // mirrored, a quarter turn: the anti-diagonal flip
        {0.1, 0.5, 0.5, 0.9}, // mirrored, half a turn: upside down
        {0.1, 0.1, 0.5, 0.5}, // mirrored, three quarters: the diagonal flip
    }};
    for (int code = 0; code < 8; ++code) {
        SCOPED_TRACE(code);
        NRFLocalImageInfoRec record(m_dir.file("a.tif"), kNRFTypeTIFF);
        record.m_width = 6000;
        record.m_height = 4000;
        record.m_orientation = static_cast<std::int16_t>(code);
        const std::string rect =
            code & 1 ? "<left>400</left><top>600</top><right>2000</right><bottom>3000</bottom>"
                     : "<left>600</left><top>400</top><right>3000</right><bottom>2000</bottom>";
        ASSERT_EQ(NRFXMLImagePrefsImport(record, "<IMAGEPREFS><CROPRATIO><width>4</width><height>3</height>"
                                                 "</CROPRATIO><CROPRECT>" +
                                                     rect + "</CROPRECT></IMAGEPREFS>"),
                  kNRFErrNone);
        EXPECT_NEAR(record.m_crop.left, expected[code][0], 1e-12);
        EXPECT_NEAR(record.m_crop.top, expected[code][1], 1e-12);
        EXPECT_NEAR(record.m_crop.right, expected[code][2], 1e-12);
        EXPECT_NEAR(record.m_crop.bottom, expected[code][3], 1e-12);
        EXPECT_EQ(record.m_crop.angle, 0.0);
        EXPECT_TRUE(record.m_crop.constrained);
        EXPECT_EQ(record.m_crop.constraintWidth, 4.0);
    }

    // Pixels past the image, or negative ones, leave the crop alone; a raw reads its own elements.
    NRFLocalImageInfoRec record(m_dir.file("a.nef"), kNEF);
    record.m_width = 6000;
    record.m_height = 4000;
    ASSERT_EQ(NRFXMLImagePrefsImport(record,
                                     "<IMAGEPREFS><PROCROPRECT><left>-1</left><top>0</top><right>10"
                                     "</right><bottom>10</bottom></PROCROPRECT><PROCROPRECTDRAFT><left>0"
                                     "</left><top>0</top><right>3000</right><bottom>4001</bottom>"
                                     "</PROCROPRECTDRAFT><CROPRECT><left>0</left><top>0</top><right>3000"
                                     "</right><bottom>2000</bottom></CROPRECT></IMAGEPREFS>"),
              kNRFErrNone);
    EXPECT_EQ(record.m_crop, NRFNormalizedCrop{});
    EXPECT_EQ(record.m_draftCrop, NRFNormalizedCrop{});
    ASSERT_EQ(NRFXMLImagePrefsImport(record,
                                     "<IMAGEPREFS><PROCROPRECTDRAFT><left>0</left><top>0</top><right>"
                                     "3000</right><bottom>4000</bottom></PROCROPRECTDRAFT></IMAGEPREFS>"),
              kNRFErrNone);
    EXPECT_EQ(record.m_draftCrop, (NRFNormalizedCrop{0, 0, 0.5, 1, 0, 1, 1, false}));
}

TEST_F(ImagePrefsTest, SidecarIsWrittenFoundLoadedAndDeleted) {
    NRFLocalImageInfoRec raw(m_dir.file("DSC_1.nef"), kNEF);
    raw.m_rating = 4;
    raw.m_draftCrop = {0.1, 0.2, 0.3, 0.4, 0, 1, 1, false};
    EXPECT_EQ(NRFXIPSidecarPath(raw.m_path, true), "");
    EXPECT_EQ(NRFLoadXMLPrefs(&raw), kNRFErrOpen);
    ASSERT_EQ(NRFSaveImagePrefs(&raw), kNRFErrNone);
    const std::string sidecar = m_dir.file("DSC_1.XIP");
    EXPECT_EQ(readWholeFile(sidecar), exportOf(raw));

    NRFLocalImageInfoRec back(raw.m_path, kNEF);
    ASSERT_EQ(NRFLoadXMLPrefs(&back), kNRFErrNone);
    EXPECT_EQ(back.m_rating, 4);
    EXPECT_EQ(back.m_draftCrop, raw.m_draftCrop);

    // The upper-case name wins over the lower-case one, which is still found alone.
    writeWholeFile(m_dir.file("DSC_1.xip"), "<IMAGEPREFS/>");
    EXPECT_EQ(NRFXIPSidecarPath(raw.m_path, true), sidecar);
    ASSERT_EQ(removeFile(sidecar), 0);
    EXPECT_EQ(NRFXIPSidecarPath(raw.m_path, true), m_dir.file("DSC_1.xip"));
    writeWholeFile(sidecar, "x");
    ASSERT_EQ(NRFWhackXMLPrefs(&raw), kNRFErrNone);
    EXPECT_EQ(NRFXIPSidecarPath(raw.m_path, true), "");

    // A JPEG's prefs belong in its own metadata; other records are refused.
    NRFLocalImageInfoRec jpeg(m_dir.file("a.jpg"), kNRFTypeJPEG);
    EXPECT_EQ(NRFSaveImagePrefs(&jpeg), 22u);
    EXPECT_FALSE(fileExists(m_dir.file("a.XIP")));
    NRFImageInfoRec remote(m_dir.file("r.nef"), kNEF);
    EXPECT_EQ(NRFSaveImagePrefs(&remote), kNRFErrNotLocal);
    EXPECT_EQ(NRFGetErrorText(), "Cannot save changes to non-local file '" + remote.m_path + "'.");
    NRFLocalImageInfoRec unknown(m_dir.file("u.zzz"), NRFMakeFileType("ZZZZ"));
    EXPECT_NE(NRFSaveImagePrefs(&unknown), kNRFErrNone);
    EXPECT_EQ(NRFGetErrorText(), "Cannot save changes to an unknown file type '" + unknown.m_path + "'.");
}

TEST_F(ImagePrefsTest, SavingKeepsWhatTheRecordDoesNotWriteAndRefusesWhatItCannotRead) {
    NRFLocalImageInfoRec raw(m_dir.file("DSC_2.nef"), kNEF);
    raw.m_rating = 2;
    const std::string sidecar = m_dir.file("DSC_2.XIP");
    // A raw shown through its preview writes no final crop: the one a rendering program left stays, as
    // do another program's elements, namespaced or not; what the record writes replaces the old values.
    writeWholeFile(sidecar, "<?xml version=\"1.0\"?>\n<IMAGEPREFS xmlns:x=\"urn:x\">"
                            "<NORMCROPRECT><left>0.2</left></NORMCROPRECT><rating>5</rating>"
                            "<x:label n=\"1\">Red</x:label><legacy/></IMAGEPREFS>");
    ASSERT_EQ(NRFSaveImagePrefs(&raw), kNRFErrNone);
    const std::string saved = readWholeFile(sidecar);
    const std::string own = exportOf(raw);
    EXPECT_EQ(saved.compare(0, own.size() - 14, own, 0, own.size() - 14), 0)
        << saved; // up to "</IMAGEPREFS>"
    EXPECT_NE(saved.find("\t<NORMCROPRECT><left>0.2</left></NORMCROPRECT>\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("\t<x:label xmlns:x=\"urn:x\" n=\"1\">Red</x:label>\n\t<legacy/>\n</IMAGEPREFS>\n"),
              std::string::npos)
        << saved;
    EXPECT_EQ(saved.find("<rating>5"), std::string::npos);
    NRFLocalImageInfoRec back(raw.m_path, kNEF);
    ASSERT_EQ(NRFLoadXMLPrefs(&back), kNRFErrNone);
    EXPECT_EQ(back.m_rating, 2);

    // Not a prefs document, or not readable: left as it is. An empty one holds nothing.
    for (const std::string& held : {std::string("<notprefs/>"), std::string("<IMAGEPREFS><tag>")}) {
        writeWholeFile(sidecar, held);
        EXPECT_EQ(NRFSaveImagePrefs(&raw), kNRFErrBadFormat) << held;
        EXPECT_EQ(NRFLoadXMLPrefs(&back), kNRFErrBadFormat) << held;
        EXPECT_EQ(readWholeFile(sidecar), held);
    }
    injectFileFault({.op = FileFault::Op::Open, .error = EACCES, .pathContains = "DSC_2.XIP", .times = 2});
    EXPECT_EQ(NRFLoadXMLPrefs(&back), 6u);
    EXPECT_EQ(NRFSaveImagePrefs(&raw), 6u);
    clearFileFaults();
    EXPECT_EQ(readWholeFile(sidecar), "<IMAGEPREFS><tag>");
    writeWholeFile(sidecar, "");
    EXPECT_EQ(NRFLoadXMLPrefs(&back), kNRFErrOpen);
    EXPECT_EQ(NRFSaveImagePrefs(&raw), kNRFErrNone);
    EXPECT_EQ(readWholeFile(sidecar), exportOf(raw));
}

TEST_F(ImagePrefsTest, LegacyBlockIsRemovedOnlyWhenItIsOne) {
    const std::string image(5000, 'i');
    const std::string block = std::string(2048, 'p') + trailer(2048, "klip");
    const std::string path = m_dir.file("old.jpg");
    writeWholeFile(path, image + block);

    NRFEOFBlock found;
    ASSERT_EQ(NRFLoadEOFBlocks(path, found), kNRFErrNone);
    EXPECT_TRUE(found.present);
    EXPECT_EQ(found.payload, std::string(2048, 'p'));
    bool removed = false;
    ASSERT_EQ(NRFRemoveEOFPrefs(path, removed), kNRFErrNone);
    EXPECT_TRUE(removed);
    EXPECT_EQ(readWholeFile(path), image);

    std::string bytes = image + block;
    ASSERT_EQ(NRFRemoveEOFPrefs(bytes, removed), kNRFErrNone);
    EXPECT_TRUE(removed);
    EXPECT_EQ(bytes, image);

    // Another length, the thumbnail kind, a bare trailer and a short file are all left as they are.
    for (const std::string& left : {image + std::string(2048, 'p') + trailer(1024, "klip"),
                                    image + std::string(2048, 't') + trailer(2048, "kltn"),
                                    trailer(2048, "klip"), std::string("klbl")}) {
        writeWholeFile(path, left);
        ASSERT_EQ(NRFRemoveEOFPrefs(path, removed), kNRFErrNone);
        EXPECT_FALSE(removed);
        EXPECT_EQ(readWholeFile(path), left);
        std::string copy = left;
        ASSERT_EQ(NRFRemoveEOFPrefs(copy, removed), kNRFErrNone);
        EXPECT_FALSE(removed);
        EXPECT_EQ(copy, left);
    }
    writeWholeFile(path, image + std::string(2048, 't') + trailer(2048, "kltn"));
    ASSERT_EQ(NRFLoadEOFBlocks(path, found), kNRFErrNone);
    EXPECT_TRUE(found.present);
    EXPECT_TRUE(found.payload.empty());
}

} // namespace
TEST_F(ImagePrefsTest, XMPRatingIsReadAsWrittenAndNothingElseCounts) {
    const std::string rdf = "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
                            "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">";
    const std::string end = "</rdf:RDF></x:xmpmeta>";
    const std::string ns = "xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\"";
    const std::pair<std::string, std::optional<int>> cases[] = {
        {rdf + "<rdf:Description " + ns + " xmp:Rating=\"3\"/>" + end, 3},
        {rdf + "<rdf:Description " + ns + "><xmp:Rating> 2.0 </xmp:Rating></rdf:Description>" + end, 2},
        {rdf + "<rdf:Description " + ns + " xmp:Rating=\"-1\"/>" + end, -1},
        {rdf + "<rdf:Description " + ns + " xmp:Rating=\"7\"/>" + end, std::nullopt},
        {rdf + "<rdf:Description " + ns + " xmp:Rating=\"three\"/>" + end, std::nullopt},
        // Another namespace's Rating, or the same prefix bound elsewhere, is not the rating.
        {rdf + "<rdf:Description xmlns:xmp=\"urn:other\" xmp:Rating=\"4\"/>" + end, std::nullopt},
        // A packet with what follows its end (a GIF's trailer) and a packet that is not XML.
        {"<?xpacket begin=\"\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>" + rdf + "<rdf:Description " + ns +
             " xmp:Rating=\"5\"/>" + end + "<?xpacket end=\"w\"?>\x01\xFF\xFE\x00",
         5},
        {"<x:xmpmeta xmp:Rating=", std::nullopt},
        // A document type may define entities meant to blow up: refused whole.
        {"<!DOCTYPE x [<!ENTITY a \"aaaa\">]>" + rdf + "<rdf:Description " + ns + " xmp:Rating=\"1\"/>" + end,
         std::nullopt},
    };
    for (const auto& [packet, rating] : cases)
        EXPECT_EQ(NRFXMPRatingFromPacket(packet), rating) << packet;

    // The corpus's sidecars read as exiftool reads them (files named .xmp that are something else hold
    // no XMP packet for lumo).
    const std::vector<std::string> sidecars = corpusFiles({".xmp"});
    if (sidecars.empty())
        GTEST_SKIP() << "no corpus";
    std::vector<std::string> args = {"-n", "-XMP-xmp:Rating", "-FileType"};
    args.insert(args.end(), sidecars.begin(), sidecars.end());
    const std::optional<nlohmann::json> tool = exiftoolJson(args);
    if (!tool)
        LUMO_SKIP_OR_FAIL("exiftool is not installed");
    std::map<std::string, std::optional<int>> theirs;
    for (const auto& entry : *tool)
        if (entry.contains("SourceFile") && entry.value("FileType", "") == "XMP")
            theirs[entry["SourceFile"].get<std::string>()] =
                entry.contains("Rating") ? std::optional<int>(entry["Rating"].get<int>()) : std::nullopt;
    int rated = 0;
    for (const std::string& sidecar : sidecars) {
        const std::optional<int> ours = NRFXMPRatingFromPacket(readWholeFile(sidecar));
        rated += ours.has_value();
        if (const auto found = theirs.find(sidecar); found != theirs.end())
            EXPECT_EQ(ours, found->second) << sidecar;
    }
    EXPECT_GT(rated, 0);
}

} // namespace lumo::test
