// Save as: the pixels cropped, turned upright and scaled; the size limit met; the metadata carried with
// the orientation reset; per-photo failures reported while the run goes on.

#include "fileops/SaveAsThread.h"

#include "NRF/NRFBasicJPEG.h"
#include "NRF/NRFImageInfo.h"
#include "app/MessageBox.h"
#include "background/ProgressDialogInterface.h"
#include "db/PreferenceKeys.h"
#include "db/Preferences.h"
#include "fileops/CopyOptions.h"
#include "metadata/IPTCFields.h"
#include "metadata/IPTCRec.h"
#include "metadata/MetadataTemplate.h"
#include "metadata/PhotoMetadata.h"
#include "support/FileIO.h"
#include "support/JpegBuilder.h"
#include "support/PhotoEngineTest.h"
#include "support/TestSupport.h"
#include "support/TiffBuilder.h"
#include "variables/VariableSequence.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>

using lumo::test::TempDir;
using lumo::test::TiffBuilder;
using lumo::test::writeWholeFile;

namespace {

// A width x height photo whose left half is white and right half black, with EXIF naming its camera,
// its orientation and size, and a 32 x 32 thumbnail.
std::string photo(std::uint32_t width, std::uint32_t height, std::uint16_t orientation, bool noise = false) {
    NRFBitmapBase bitmap;
    bitmap.Allocate(width, height, 3);
    std::mt19937 random(7);
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width * 3; ++x)
            bitmap.Row(y)[x] = noise ? static_cast<std::uint8_t>(random()) : x < width * 3 / 2 ? 255 : 0;
    std::string stream;
    NRFEncodeJPEG(bitmap, NRFSaveOptions{}, stream);
    NRFBitmapBase small;
    small.Allocate(32, 32, 3);
    std::string thumbnail;
    NRFEncodeJPEG(small, NRFSaveOptions{}, thumbnail);
    TiffBuilder exif;
    exif.ifd().add(271, "Lumocam").add(272, "L1").addShort(274, orientation).addLong(0x100, width);
    exif.ifd().addLong(0x101, height).subIfd(0x8769).addLong(0xA002, width).addShort(0xA003, height);
    exif.ifd().next().addShort(0x103, 6).addBlob(0x201, 0x202, thumbnail);
    lumo::test::JpegBuilder builder(stream);
    builder.addExif(exif.build());
    return builder.build();
}

struct Loaded {
    NRFErr err = 1;
    NRFImageInfoRef record;
    NRFBitmapBase bitmap;
};

Loaded load(const std::string& path) {
    Loaded out;
    if (NRFOpenImage(path.c_str(), 0, &out.record) != 0 || NRFGetImageInfo(out.record.get()) != 0)
        return out;
    out.err = NRFLoadFileAsBitmap(out.record.get(), &out.bitmap, 0);
    return out;
}

int meanOf(const NRFBitmapBase& bitmap, std::uint32_t x0, std::uint32_t y0, std::uint32_t x1,
           std::uint32_t y1) {
    long sum = 0, count = 0;
    for (std::uint32_t y = y0; y < y1; ++y)
        for (std::uint32_t x = x0 * bitmap.Channels(); x < x1 * bitmap.Channels(); ++x, ++count)
            sum += bitmap.Row(y)[x];
    return count ? static_cast<int>(sum / count) : -1;
}

class SaveAsThreadTest : public lumo::test::PhotoEngineTest {
protected:
    SaveAsOptions options() const {
        SaveAsOptions o;
        o.destinationFolder = m_dir.file("out");
        return o;
    }
    TempDir m_dir;
};

} // namespace

TEST_F(SaveAsThreadTest, PixelsAreCroppedTurnedUprightAndScaledInEachType) {
    struct Case {
        std::uint16_t orientation;
        bool crop;
        double angle; // of the crop, a centred square: turned a quarter, white comes at the bottom
        int scaleType;
        double percent;
        std::uint32_t box;
        std::int64_t w, h;
        int type;
        std::uint32_t wantW, wantH;
        bool whiteOnTop; // else white on the left
        const char* name;
    };
    const Case cases[] = {
        {1, false, 0, kScaleNone, 0, 0, 0, 0, kSaveAsJPEG, 64, 32, false, "a.jpg"},
        {6, false, 0, kScaleNone, 0, 0, 0, 0, kSaveAsJPEG, 32, 64, true, "b.jpg"},
        {6, true, 0, kScaleNone, 0, 0, 0, 0, kSaveAsPNG, 32, 32, false, "c.png"},
        {1, false, 0, kScalePercentage, 50, 0, 0, 0, kSaveAsTIFF, 32, 16, false, "d.tif"},
        {6, false, 0, kScaleBox, 0, 16, 0, 0, kSaveAsJPEG, 8, 16, true, "e.jpg"},
        {1, false, 0, kScaleBox, 0, 1000, 0, 0, kSaveAsJPEG, 64, 32, false, "f.jpg"}, // never enlarged
        {1, false, 0, kScaleCustom, 0, 0, 20, 10, kSaveAsPNG, 20, 10, false, "g.png"},
        {1, true, 90, kScaleNone, 0, 0, 0, 0, kSaveAsPNG, 16, 16, false, "h.png"},
        {6, true, 90, kScaleNone, 0, 0, 0, 0, kSaveAsPNG, 16, 16, false, "i.png"}, // then turned upright
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string source = m_dir.file("src" + std::to_string(++n) + ".jpg");
        writeWholeFile(source, photo(64, 32, c.orientation));
        if (c.crop) { // the left half, in the stored frame: all white whichever way it is turned
            Loaded original = load(source);
            NRFNormalizedCrop crop;
            crop.right = 0.5;
            if (c.angle != 0) // a 16 x 16 square in the middle, half white and half black
                crop = {.left = 0.375, .top = 0.25, .right = 0.625, .bottom = 0.75, .angle = c.angle};
            ASSERT_EQ(IPTCSetPhotoCrop(original.record.get(), crop), kNRFErrNone);
        }
        SaveAsOptions o = options();
        o.applyCrop = c.crop;
        o.scaleType = c.scaleType;
        o.scalePercentage = c.percent;
        o.scaleBoxSize = c.box;
        o.customWidth = c.w;
        o.customHeight = c.h;
        o.saveAsType = c.type;
        SaveAsThread thread({source}, o);
        ASSERT_EQ(thread.SaveFile(source, 1), kNRFErrNone);
        const std::string saved = thread.SavedPaths().at(0);
        EXPECT_EQ(saved.substr(saved.size() - 4), std::string(c.name).substr(1));
        Loaded out = load(saved);
        ASSERT_EQ(out.err, kNRFErrNone);
        EXPECT_EQ(out.record->m_orientation, 0);
        ASSERT_EQ(out.bitmap.Width(), c.wantW);
        ASSERT_EQ(out.bitmap.Height(), c.wantH);
        const std::uint32_t w = c.wantW, h = c.wantH;
        if (c.angle != 0) {
            // The quarter turn brings the white left half to the bottom; orientation 6 then turns it
            // to the left.
            const bool left = c.orientation == 6;
            EXPECT_GT(left ? meanOf(out.bitmap, 0, 0, w / 2 - 1, h) : meanOf(out.bitmap, 0, h / 2 + 1, w, h),
                      200);
            EXPECT_LT(left ? meanOf(out.bitmap, w / 2 + 1, 0, w, h) : meanOf(out.bitmap, 0, 0, w, h / 2 - 1),
                      55);
        } else if (c.crop) {
            EXPECT_GT(meanOf(out.bitmap, 0, 0, w, h), 200);
        } else if (c.whiteOnTop) {
            EXPECT_GT(meanOf(out.bitmap, 0, 0, w, h / 2 - 1), 200);
            EXPECT_LT(meanOf(out.bitmap, 0, h / 2 + 1, w, h), 55);
        } else {
            EXPECT_GT(meanOf(out.bitmap, 0, 0, w / 2 - 1, h), 200);
            EXPECT_LT(meanOf(out.bitmap, w / 2 + 1, 0, w, h), 55);
        }
    }
}

TEST_F(SaveAsThreadTest, TheSizeLimitIsMetByLoweringTheQuality) {
    const std::string source = m_dir.file("noise.jpg");
    writeWholeFile(source, photo(400, 300, 1, true));
    SaveAsOptions o = options();
    o.limitJPEGSize = true;
    o.limitJPEGSizeKB = 40;
    SaveAsThread thread({source}, o);
    ASSERT_EQ(thread.SaveFile(source, 1), kNRFErrNone);
    std::uint64_t size = 0;
    ASSERT_EQ(lumo::fileSize(thread.SavedPaths().at(0), size), 0);
    EXPECT_LE(size, 40u * 1024);
    EXPECT_GT(size, 20u * 1024); // the highest quality that fits, not the lowest

    // The search itself: each step encodes once, and a limit nothing meets gives quality 1.
    Loaded loaded = load(source);
    for (const auto& [limit, fits] :
         {std::pair{std::uint64_t{40 * 1024}, true}, std::pair{std::uint64_t{100}, false}}) {
        JPEGSizingThread sizing(loaded.bitmap, NRFSaveOptions{}, limit);
        std::string bytes;
        int quality = 0;
        bool fitted = false;
        ASSERT_EQ(sizing.Run(bytes, quality, fitted), kNRFErrNone);
        EXPECT_EQ(fitted, fits);
        EXPECT_LE(sizing.Encodings(), 9);
        if (fits)
            EXPECT_LE(bytes.size(), limit);
        else
            EXPECT_EQ(quality, 1);
    }
}

TEST_F(SaveAsThreadTest, MetadataAndExifAreCarriedWithTheOrientationReset) {
    const std::string source = m_dir.file("IMG_0001.JPG");
    writeWholeFile(source, photo(64, 32, 6));
    writeWholeFile(m_dir.file("IMG_0001.WAV"), "RIFF....WAVE");
    {
        Loaded original = load(source);
        IPTCRec metadata;
        metadata.m_fields[IPTCFieldIndexOf(IPTCStorageFieldID(IPTC_CAPTION), 1)] = "Harbour at dawn";
        ASSERT_EQ(DoSaveIPTC(original.record.get(), metadata), kNRFErrNone);
    }
    SaveAsOptions o = options();
    o.copyWavFiles = true;
    o.scaleType = kScaleBox;
    o.scaleBoxSize = 16;
    SaveAsThread thread({source}, o);
    ASSERT_EQ(thread.SaveFile(source, 1), kNRFErrNone);
    const std::string saved = thread.SavedPaths().at(0);
    EXPECT_EQ(saved, m_dir.file("out/IMG_0001.JPG")); // the source's extension case
    EXPECT_TRUE(lumo::fileExists(m_dir.file("out/IMG_0001.WAV")));

    Loaded out = load(saved);
    IPTCRec back;
    ASSERT_EQ(NRFLoadIPTC(out.record.get(), &back), kNRFErrNone);
    EXPECT_EQ(back.m_fields[IPTCFieldIndexOf(IPTCStorageFieldID(IPTC_CAPTION), 1)], "Harbour at dawn");
    EXPECT_EQ(out.record->m_make, "Lumocam");
    EXPECT_EQ(out.record->m_orientation, 0);
    // The thumbnail is the new picture's (the source's was 32 x 32).
    EXPECT_GT(out.record->m_thumbnail.length, 0u);
    EXPECT_LE(out.record->m_thumbnail.width, 8u);

    // A PNG carries the metadata as XMP.
    o.saveAsType = kSaveAsPNG;
    SaveAsThread png({source}, o);
    ASSERT_EQ(png.SaveFile(source, 1), kNRFErrNone);

    const auto json = lumo::test::exiftoolJson(
        {"-n", "-G1", "-Orientation", "-Make", "-Caption-Abstract", "-ImageWidth", "-ImageHeight",
         "-ExifImageWidth", "-ExifImageHeight", "-XMP-dc:Description", saved, png.SavedPaths().at(0)});
    if (!json)
        LUMO_SKIP_OR_FAIL("exiftool is not installed");
    const auto& tags = (*json)[0];
    EXPECT_EQ(tags["IFD0:Orientation"], 1);
    EXPECT_EQ(tags["IFD0:Make"], "Lumocam");
    EXPECT_EQ(tags["IPTC:Caption-Abstract"], "Harbour at dawn");
    EXPECT_EQ(tags["File:ImageWidth"], 8);
    for (const char* key : {"IFD0:ImageWidth", "ExifIFD:ExifImageWidth"})
        EXPECT_EQ(tags.value(key, 0), 8) << key;
    for (const char* key : {"IFD0:ImageHeight", "ExifIFD:ExifImageHeight"})
        EXPECT_EQ(tags.value(key, 0), 16) << key;
    EXPECT_EQ((*json)[1].value("XMP-dc:Description", ""), "Harbour at dawn");
}

TEST_F(SaveAsThreadTest, AFailedPhotoIsReportedAndTheRunGoesOn) {
    const std::string good = m_dir.file("good.jpg"), broken = m_dir.file("broken.jpg");
    writeWholeFile(good, photo(64, 32, 1));
    writeWholeFile(broken, std::string("\xFF\xD8\xFF\xE1\x00\x02", 6));
    struct Case {
        std::string path;
        SaveAsOptions options;
        std::string message;
    };
    SaveAsOptions emptyName = options(), tooSmall = options(), fine = options();
    emptyName.renamePhotos = true;
    emptyName.renameString = "{title}";
    tooSmall.scaleType = kScalePercentage;
    tooSmall.scalePercentage = 0.5;
    const Case cases[] = {
        {m_dir.file("missing.jpg"), fine, "SaveAsThread::SaveFile(): couldn't get image info for '"},
        {good, emptyName, "SaveAsThread::SaveFile(): Expanded rename name is empty."},
        {good, tooSmall, "SaveFile(): Invalid scale dimensions: (0, 0)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        ProgressDialogInterface progress;
        SaveAsThread thread({c.path, good}, c.options, &progress);
        ASSERT_TRUE(thread.Start());
        thread.Join();
        ASSERT_EQ(thread.Failures().size(), 2u);
        EXPECT_EQ(thread.Failures()[0].rfind(c.message, 0), 0u) << thread.Failures()[0];
        EXPECT_EQ(progress.GetStatus(), ProgressDialogInterface::kStatusFailed);
        EXPECT_EQ(thread.EndMessage(), "There were errors during the Save As operation.");
        EXPECT_TRUE(progress.IsFinished());
    }
    // The good photo went through each time, under a free name.
    EXPECT_TRUE(lumo::fileExists(m_dir.file("out/good.jpg")));
}

TEST_F(SaveAsThreadTest, CorpusPhotosAreSavedOrRefusedCleanly) {
    const auto files = lumo::test::corpusFiles({".jpg", ".tif", ".png", ".nef", ".cr2", ".heic"});
    if (files.empty())
        LUMO_SKIP_OR_FAIL("the corpus is missing");
    SaveAsOptions o = options();
    o.scaleType = kScaleBox;
    o.scaleBoxSize = 128;
    o.sharpenPixels = true;
    o.convertToSRGB = true;
    ProgressDialogInterface progress;
    SaveAsThread thread(files, o, &progress);
    ASSERT_TRUE(thread.Start());
    thread.Join();
    ASSERT_EQ(thread.Destinations().size(), files.size());
    std::size_t saved = 0;
    for (std::size_t i = 0; i < files.size(); ++i)
        if (!thread.Destinations()[i].empty()) {
            ++saved;
            Loaded out = load(thread.Destinations()[i]);
            EXPECT_EQ(out.err, kNRFErrNone) << files[i];
            EXPECT_LE(std::max(out.bitmap.Width(), out.bitmap.Height()), 128u) << files[i];
        }
    EXPECT_GT(saved, files.size() / 2);
}

TEST_F(SaveAsThreadTest, TheOptionsLiveInTheSettingsAndTheTemplateGoesIntoTheNewFileOnly) {
    ASSERT_TRUE(CPreferences::GetPreferences());
    EXPECT_EQ(SaveAsOptionsFromPreferences().jpegQuality, 90); // nothing stored: the defaults
    SaveAsOptions o = options();
    o.saveAsType = kSaveAsPNG;
    o.scaleType = kScaleBox;
    o.scaleBoxSize = 2048;
    o.limitJPEGSize = true;
    o.limitJPEGSizeKB = 500;
    o.scalePercentage = 37.5;
    o.renameString = "{datesort}_{seqn}";
    o.preserveExif = false;
    ASSERT_TRUE(SaveAsOptionsToPreferences(o));
    CILA::VObject stored;
    ASSERT_TRUE(CPreferences::instance()->getValue(kPrefSaveAsSettings, stored));
    ASSERT_NE(stored.fetch("JpegQuality100"), nullptr);
    EXPECT_TRUE(findPreferenceKey(kPrefSaveAsSettings)->type == PreferenceType::Object);
    EXPECT_EQ(preferenceValueProblem(*findPreferenceKey(kPrefSaveAsSettings), stored), "");
    const SaveAsOptions back = SaveAsOptionsFromPreferences();
    EXPECT_EQ(back.saveAsType, kSaveAsPNG);
    EXPECT_EQ(back.scaleBoxSize, 2048u);
    EXPECT_EQ(back.limitJPEGSizeKB, 500u);
    EXPECT_TRUE(back.limitJPEGSize);
    EXPECT_DOUBLE_EQ(back.scalePercentage, 37.5);
    EXPECT_EQ(back.renameString, "{datesort}_{seqn}");
    EXPECT_FALSE(back.preserveExif);
    EXPECT_EQ(back.destinationFolder, o.destinationFolder);
    CPreferences::instance()->remove(kPrefSaveAsSettings);

    // The metadata template goes into the new file only, its variables expanded for the photo.
    const std::string source = m_dir.file("IMG_0002.jpg");
    writeWholeFile(source, photo(64, 32, 1));
    {
        // The photo's colour class and rating go with it: the template sets neither.
        Loaded original = load(source);
        original.record->m_colorClass = 3, original.record->m_rating = 2;
        ASSERT_EQ(DoSaveIPTC(original.record.get(), IPTCRec{}), kNRFErrNone);
    }
    const std::string before = lumo::test::readWholeFile(source);
    const std::size_t caption = IPTCFieldIndexOf(IPTCStorageFieldID(IPTC_CAPTION), 1);
    IPTCRec stationery;
    stationery.m_fields[caption] = "From {filenamebase}";
    stationery.m_applyFlags[caption] = 1;
    stationery.m_captionMergeStyle = 1;
    ASSERT_TRUE(IPTCSaveCurrentStationery(stationery));
    SaveAsOptions withTemplate = options();
    withTemplate.applyStationeryPad = true;
    SaveAsThread thread({source}, withTemplate);
    ASSERT_EQ(thread.SaveFile(source, 1), kNRFErrNone);
    Loaded out = load(thread.SavedPaths().at(0));
    IPTCRec written;
    ASSERT_EQ(NRFLoadIPTC(out.record.get(), &written), kNRFErrNone);
    EXPECT_EQ(written.m_fields[caption], "From IMG_0002");
    EXPECT_EQ(out.record->m_colorClass, 3);
    EXPECT_EQ(out.record->m_rating, 2);
    EXPECT_EQ(lumo::test::readWholeFile(source), before);
    CPreferences::ClosePreferences();
}

TEST_F(SaveAsThreadTest, DestinationsFollowTheCopyRulesAndTheRunTakesItsSequenceNumbersAtOnce) {
    ASSERT_TRUE(CPreferences::GetPreferences());
    ASSERT_TRUE(SetSequence(SequenceKind::Sequence, {.next = 5, .digits = 3}));
    const std::string a = m_dir.file("one/a.jpg"), b = m_dir.file("two/b.jpg");
    ASSERT_EQ(lumo::createDirectories(m_dir.file("one")), 0);
    ASSERT_EQ(lumo::createDirectories(m_dir.file("two")), 0);
    writeWholeFile(a, photo(64, 32, 1));
    writeWholeFile(b, photo(64, 32, 1));
    struct Case {
        int type;
        std::string rename, subfolder, root, folder;
        std::vector<std::string> want;
    };
    const Case cases[] = {
        {kCopyToOwnFolder, "{filenamebase}_{seqn}", "", "", "", {"one/a_005.jpg", "two/b_006.jpg"}},
        {kCopyToSubfolder, "", "web/{filenamebase}", "", "", {"one/web/a/a.jpg", "two/web/b/b.jpg"}},
        {kCopyToFolderUnderRoot,
         "",
         "",
         m_dir.file("root"),
         "{filenamebase}:x",
         {"root/a-x/a.jpg", "root/b-x/b.jpg"}},
        {kCopyToOwnFolder, "", "", "", "", {"one/aA.jpg", "two/bA.jpg"}}, // never over the original
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.want[0]);
        SaveAsOptions o = options();
        o.destinationType = c.type;
        o.renamePhotos = !c.rename.empty();
        o.renameString = c.rename;
        o.subfolderTemplate = c.subfolder;
        o.rootFolder = c.root;
        o.folderTemplate = c.folder;
        ProgressDialogInterface progress;
        SaveAsThread thread({a, b}, o, &progress);
        ASSERT_TRUE(thread.Start());
        thread.Join();
        ASSERT_EQ(thread.Destinations().size(), 2u);
        for (std::size_t i = 0; i < 2; ++i)
            EXPECT_EQ(thread.Destinations()[i], m_dir.file(c.want[i])) << thread.Failures()[i];
    }
    EXPECT_EQ(CurrentSequence(SequenceKind::Sequence).next, 7); // only the run that used them took them
    CPreferences::ClosePreferences();
}

TEST(SaveAsWatermark, TextGoesOverTheBottomLeftCornerOrIsRefused) {
    struct Case {
        std::uint32_t width, height;
        std::string text;
        bool drawn;
    };
    const Case cases[] = {
        {600, 400, "\xC2\xA9 2026 Lumo, all rights reserved", true},
        {40, 400, "A credit line far too long for the picture", true}, // cut to what fits
        {600, 400, "", false},
        {600, 400, "   ", false},
        {8, 8, "A", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        NRFBitmapBase bitmap;
        bitmap.Allocate(c.width, c.height, 3);
        for (std::uint32_t y = 0; y < c.height; ++y)
            std::fill_n(bitmap.Row(y), bitmap.Stride(), 128);
        ASSERT_EQ(WatermarkBitmapText(bitmap, c.text, 1.0), c.drawn);
        std::size_t white = 0, black = 0, changedAbove = 0;
        for (std::uint32_t y = 0; y < c.height; ++y)
            for (std::size_t x = 0; x < bitmap.Stride(); ++x) {
                const std::uint8_t v = bitmap.Row(y)[x];
                white += v == 255;
                black += v == 0;
                changedAbove += v != 128 && (y < c.height * 3 / 4 || x >= bitmap.Stride() * 19 / 20);
            }
        EXPECT_EQ(white > 0, c.drawn);
        EXPECT_EQ(black > white, c.drawn); // the outline is wider than the letters
        EXPECT_EQ(changedAbove, 0u);
    }
}

TEST_F(SaveAsThreadTest, ReverseGeocodingThroughTheGeocoderOrAskedAboutWithoutOne) {
    ASSERT_TRUE(CPreferences::GetPreferences());
    const std::string source = m_dir.file("geo.jpg");
    writeWholeFile(source, photo(64, 32, 1));
    IPTCRec stationery;
    const std::size_t headline = IPTCFieldIndexOf(IPTCStorageFieldID(IPTC_HEADLINE), 1);
    stationery.m_fields[headline] = "Placed";
    stationery.m_applyFlags[headline] = 1;
    stationery.m_reverseGeocodingApply[0] = true;
    ASSERT_TRUE(IPTCSaveCurrentStationery(stationery));
    for (const MessageBoxAnswer answer : {MessageBoxAnswer::No, MessageBoxAnswer::Yes}) {
        std::vector<std::string> asked;
        setMessageBoxHandler([&](std::string_view text, MessageBoxButtons) {
            asked.emplace_back(text);
            return answer;
        });
        SaveAsOptions o = options();
        o.applyStationeryPad = true;
        ProgressDialogInterface progress;
        SaveAsThread thread({source}, o, &progress);
        ASSERT_TRUE(thread.Start());
        thread.Join();
        setMessageBoxHandler(nullptr);
        EXPECT_EQ(asked, std::vector<std::string>{SaveAsText::kGeocodingFailed});
        EXPECT_TRUE(progress.IsFinished());
        if (answer == MessageBoxAnswer::No) {
            EXPECT_EQ(progress.GetStatus(), ProgressDialogInterface::kStatusCancelled);
            EXPECT_TRUE(thread.Destinations().empty());
            EXPECT_FALSE(lumo::fileExists(m_dir.file("out/geo.jpg")));
        } else {
            ASSERT_EQ(thread.Destinations().size(), 1u);
            Loaded out = load(thread.Destinations()[0]);
            IPTCRec written;
            ASSERT_EQ(NRFLoadIPTC(out.record.get(), &written), kNRFErrNone);
            EXPECT_EQ(written.m_fields[headline], "Placed");
        }
    }

    // With a geocoder, a photo with a position is saved with its place and nothing is asked.
    const std::string corpus = lumo::test::corpusFolder();
    if (!corpus.empty()) {
        const std::string located = m_dir.file("located.jpg");
        std::filesystem::copy_file(corpus + "/exiftool/GPS.jpg", located);
        IPTCSetReverseGeocoder([](const NRFImageInfoRec&) -> std::optional<IPTCLocation> {
            IPTCLocation place;
            place.m_city = "Hexham";
            return place;
        });
        std::vector<std::string> asked;
        setMessageBoxHandler([&](std::string_view text, MessageBoxButtons) {
            asked.emplace_back(text);
            return MessageBoxAnswer::No;
        });
        SaveAsOptions o = options();
        o.applyStationeryPad = true;
        ProgressDialogInterface progress;
        SaveAsThread thread({located}, o, &progress);
        ASSERT_TRUE(thread.Start());
        thread.Join();
        setMessageBoxHandler(nullptr);
        IPTCSetReverseGeocoder(nullptr);
        EXPECT_TRUE(asked.empty());
        ASSERT_EQ(thread.Destinations().size(), 1u);
        Loaded out = load(thread.Destinations()[0]);
        IPTCRec written;
        ASSERT_EQ(NRFLoadIPTC(out.record.get(), &written), kNRFErrNone);
        EXPECT_EQ(written.m_fields[IPTCFieldIndexOf(IPTCStorageFieldID(IPTC_CITY), 1)], "Hexham");
    }
    CPreferences::ClosePreferences();
}
