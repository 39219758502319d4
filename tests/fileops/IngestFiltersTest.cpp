// What an ingest takes from a source: the bad-file patterns, the camera-card test, the card's DCIM tree
// with attached files and video structures, the lock and raw filters, and the real camera files.

#include "fileops/IngestFilters.h"

#include "support/JpegBuilder.h"
#include "support/PhotoEngineTest.h"
#include "support/TestLog.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

using lumo::test::TempDir;
using lumo::test::writeWholeFile;

namespace {

void put(const std::string& root, const std::string& relative, const std::string& bytes = "x") {
    const std::string path = root + "/" + relative;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    writeWholeFile(path, bytes);
}

std::vector<std::string> relativePaths(const IngestSourceScan& scan, bool attached = false) {
    std::vector<std::string> paths;
    for (const IngestSourceFile& file : scan.files)
        if (file.isAttached == attached)
            paths.push_back(file.relativePath);
    return paths;
}

class IngestFiltersTest : public lumo::test::PhotoEngineTest {
protected:
    // A card: a JPEG with its sound file, a raw file with its sidecar, what cameras and other systems
    // leave beside them, a video structure, and a folder outside the DCIM tree.
    void makeCard(const std::string& root) {
        const std::string jpeg = lumo::test::encodeJpeg(16, 16);
        put(root, "DCIM/100CANON/IMG_0001.JPG", jpeg);
        put(root, "DCIM/100CANON/IMG_0001.WAV", "RIFF");
        put(root, "DCIM/100CANON/IMG_0002.JPG", jpeg);
        put(root, "DCIM/100CANON/IMG_0002.CR2", raw());
        put(root, "DCIM/100CANON/IMG_0002.XMP", "<x/>");
        put(root, "DCIM/100CANON/._IMG_0001.JPG", jpeg);
        put(root, "DCIM/100CANON/FOO.CTG", "c");
        put(root, "DCIM/100CANON/NOTES.TXT", "n");
        put(root, "DCIM/101CANON/NIKON001.DSC", "d");
        put(root, "DCIM/101CANON/IMG_0003.JPG", jpeg);
        put(root, "DCIM/EYEFI/IMG_9.JPG", jpeg);
        put(root, "DCIM/.Trashes/IMG_8.JPG", jpeg);
        put(root, "PRIVATE/AVCHD/BDMV/STREAM/00000.MTS", std::string(1000, 'm'));
        put(root, "PRIVATE/AVCHD/BDMV/INDEX.BDM", std::string(24, 'i'));
        put(root, "MISC/AUTPRINT.MRK", "p");
        put(root, "Photos/IMG_7.JPG", jpeg);
    }

    std::string raw() {
        const std::string folder = lumo::test::corpusFolder();
        return folder.empty() ? std::string() : lumo::test::readWholeFile(folder + "/exiftool/CanonRaw.cr2");
    }
};

TEST(IngestBadfilePatternsTest, WholeNamesWithoutRegardToCase) {
    struct Case {
        const char* name;
        bool badFile, badDir;
    } const cases[] = {
        {".DS_Store", true, true},
        {"finder.dat", true, false},
        {"NIKON001.DSC", true, false},
        {"nikonxx12.dsc", true, false},
        {"M$A$W$.S$N", true, false},
        {"FOO.CTG", true, false},
        {"meta_12.dat", true, false},
        {"comstate.to7", true, false},
        {"IMG.BIN", true, false},
        {"NC_FLLST.DAT", true, false},
        {"IMG_0001.JPG", false, false},
        {"xFINDER.DAT", false, false},
        {"FINDER.DATx", false, false},
        {"Trash", false, true},
        {"trashcan", false, false},
        {"$RECYCLE.BIN", true, true},
        {"System Volume Information", false, true},
        {"eyefi", false, true},
        {"100CANON", false, false},
        {"Backups.backupdb", false, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IngestBadfilePatterns::IsBadFile(c.name), c.badFile) << c.name;
        EXPECT_EQ(IngestBadfilePatterns::IsBadDir(c.name), c.badDir) << c.name;
    }
}

TEST_F(IngestFiltersTest, CameraCardTest) {
    struct Case {
        std::vector<const char*> entries; // a trailing "/" makes a folder
        bool card;
    } const cases[] = {
        {{"DCIM/"}, true},
        {{"dcim/", "MISC/", ".lumoingest.dat"}, true},
        {{"AVCHD/"}, true},
        {{"M4ROOT/", "Other/"}, true},
        {{"DCIM/", ".Spotlight-V100"}, false},
        {{"Photos/", "MISC/"}, false},
        {{}, false},
    };
    for (const Case& c : cases) {
        TempDir dir;
        for (const char* entry : c.entries) {
            const std::string name = entry;
            if (name.back() == '/')
                std::filesystem::create_directories(dir.path() + "/" + name);
            else
                put(dir.path(), name);
        }
        EXPECT_EQ(IngestIsCameraCard(dir.path()), c.card) << (c.entries.empty() ? "empty" : c.entries[0]);
    }
    EXPECT_FALSE(IngestIsCameraCard("/nonexistent/folder"));
}

TEST_F(IngestFiltersTest, CardScanTakesTheDCIMTreeWithAttachedFilesAndTheVideoStructureWhole) {
    TempDir card;
    makeCard(card.path());
    const bool haveRaw = !raw().empty();
    const IngestSourceScan scan = ScanIngestSource(card.path());
    EXPECT_EQ(scan.error, 0);
    EXPECT_TRUE(scan.cameraCard);
    EXPECT_TRUE(scan.cardLayout);
    std::vector<std::string> expected{"DCIM/100CANON/IMG_0001.JPG", "DCIM/100CANON/IMG_0002.JPG",
                                      "DCIM/101CANON/IMG_0003.JPG"};
    if (haveRaw)
        expected.insert(expected.begin() + 1, "DCIM/100CANON/IMG_0002.CR2");
    EXPECT_EQ(relativePaths(scan), expected);

    std::uint64_t total = 0;
    for (const IngestSourceFile& file : scan.files) {
        EXPECT_EQ(file.path, card.path() + "/" + file.relativePath);
        total += file.size + file.attachedBytes;
        if (file.relativePath.ends_with("IMG_0001.JPG")) {
            EXPECT_EQ(file.attachedFiles, std::vector<std::string>{card.file("DCIM/100CANON/IMG_0001.WAV")});
            EXPECT_EQ(file.attachedBytes, 4u);
        }
        if (file.relativePath.ends_with(".CR2")) {
            EXPECT_TRUE(file.isRaw);
            EXPECT_EQ(file.attachedFiles, std::vector<std::string>{card.file("DCIM/100CANON/IMG_0002.XMP")});
        }
    }
    EXPECT_EQ(scan.passedOver, std::vector<std::string>{"DCIM/100CANON/NOTES.TXT"});
    ASSERT_EQ(scan.specialFolders.size(), 1u);
    EXPECT_EQ(scan.specialFolders[0].relativePath, "PRIVATE");
    EXPECT_EQ(scan.specialFolders[0].size, 1024u);
    EXPECT_EQ(scan.specialFolders[0].fileCount, 2u);
    EXPECT_EQ(scan.totalBytes, total + 1024u);
    const std::string log = lumo::test::loggedSoFar();
    EXPECT_NE(log.find("DCIMFilter: rejecting \"EYEFI\": Ignoring due to baddir match."), std::string::npos);
    EXPECT_NE(log.find("DCIMFilter: rejecting \"FOO.CTG\": Ignoring due to badfile match."),
              std::string::npos);

    // The same tree as a plain folder: every folder but the refused ones, nothing carried whole.
    IngestScanOptions asFolder;
    asFolder.card = IngestScanOptions::Card::No;
    const IngestSourceScan plain = ScanIngestSource(card.path(), asFolder);
    EXPECT_FALSE(plain.cardLayout);
    EXPECT_TRUE(plain.specialFolders.empty());
    const std::vector<std::string> paths = relativePaths(plain);
    EXPECT_NE(std::find(paths.begin(), paths.end(), "Photos/IMG_7.JPG"), paths.end());
    for (const std::string& path : paths)
        EXPECT_EQ(path.find("EYEFI"), std::string::npos) << path;

    EXPECT_NE(ScanIngestSource(card.file("missing")).error, 0);

    // What another system left at the root makes it no camera card to erase, yet a card to scan.
    put(card.path(), ".DS_Store");
    const IngestSourceScan touched = ScanIngestSource(card.path());
    EXPECT_FALSE(touched.cameraCard);
    EXPECT_TRUE(touched.cardLayout);
    EXPECT_EQ(relativePaths(touched), expected);
}

TEST_F(IngestFiltersTest, LockAndRawFilters) {
    TempDir card;
    makeCard(card.path());
    if (raw().empty())
        LUMO_SKIP_OR_FAIL("no corpus");
    ASSERT_EQ(::chmod(card.file("DCIM/100CANON/IMG_0001.JPG").c_str(), 0444), 0);
    ASSERT_EQ(::chmod(card.file("DCIM/100CANON/IMG_0002.CR2").c_str(), 0444), 0);
    using L = IngestLockFilter;
    using R = IngestRawFilter;
    // What the filters leave out, with its attached files, stays on the card and is said so.
    struct Case {
        L locked;
        R raw;
        std::vector<std::string> names;
        std::size_t passedOver;
    } const cases[] = {
        {L::All, R::All, {"IMG_0001.JPG", "IMG_0002.CR2", "IMG_0002.JPG", "IMG_0003.JPG"}, 1},
        {L::LockedOnly, R::All, {"IMG_0001.JPG", "IMG_0002.CR2"}, 3},
        {L::UnlockedOnly, R::All, {"IMG_0002.JPG", "IMG_0003.JPG"}, 5},
        {L::All, R::RawOnly, {"IMG_0002.CR2"}, 5},
        {L::All, R::NonRawOnly, {"IMG_0001.JPG", "IMG_0002.JPG", "IMG_0003.JPG"}, 3},
        {L::UnlockedOnly, R::RawOnly, {}, 7},
    };
    for (const Case& c : cases) {
        IngestScanOptions options;
        options.locked = c.locked;
        options.raw = c.raw;
        std::vector<std::string> names;
        const IngestSourceScan scan = ScanIngestSource(card.path(), options);
        EXPECT_EQ(scan.passedOver.size(), c.passedOver) << ::testing::PrintToString(scan.passedOver);
        for (const IngestSourceFile& file : scan.files) {
            names.push_back(std::filesystem::path(file.path).filename().string());
            EXPECT_EQ(file.locked, names.back() == "IMG_0001.JPG" || names.back() == "IMG_0002.CR2");
        }
        EXPECT_EQ(names, c.names) << static_cast<int>(c.locked) << "/" << static_cast<int>(c.raw);
    }
}

// The real camera files, malformed ones included: each is taken or refused, sidecars travel with their
// photos, and raw-ness agrees with the engine's own table.
TEST_F(IngestFiltersTest, CorpusFolders) {
    const std::string corpus = lumo::test::corpusFolderOrFail();
    if (corpus.empty())
        LUMO_SKIP_OR_FAIL("no corpus");
    IngestScanOptions options;
    options.card = IngestScanOptions::Card::No;
    const IngestSourceScan scan = ScanIngestSource(corpus, options);
    EXPECT_EQ(scan.error, 0);
    std::size_t raws = 0;
    for (const IngestSourceFile& file : scan.files) {
        raws += file.isRaw ? 1 : 0;
        EXPECT_FALSE(file.relativePath.ends_with(".md")) << file.relativePath;
    }
    const auto has = [&scan](const std::string& relative, bool raw) {
        return std::any_of(scan.files.begin(), scan.files.end(), [&](const IngestSourceFile& file) {
            return file.relativePath == relative && file.isRaw == raw;
        });
    };
    EXPECT_TRUE(has("exiftool/CanonRaw.cr2", true));
    EXPECT_TRUE(has("exiftool/Nikon.nef", true));
    EXPECT_TRUE(has("exiftool/Canon.jpg", false));
    EXPECT_GT(raws, 5u);
    EXPECT_GT(scan.files.size(), 300u);
}

} // namespace
