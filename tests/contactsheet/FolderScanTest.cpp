// Listing folders through the contact sheet's filter, the folder digest, and joining raw files with
// their JPEG, HEIF or HEIC partners.

#include "contactsheet/FolderScan.h"
#include "NRF/NRF.h"
#include "app/LumoLog.h"
#include "app/LumoPaths.h"
#include "contactsheet/ContactSheetFilter.h"
#include "contactsheet/ThreadedScan.h"
#include "db/LumoSortCache.h"
#include "support/FileIO.h"
#include "support/JpegBuilder.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "support/ScanLock.h"
#include "support/TextUtils.h"

using lumo::test::JpegBuilder;
using lumo::test::TempDir;
using lumo::test::writeWholeFile;

namespace {

class FolderScanTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(NRFInit(""), kNRFErrNone); }
    void TearDown() override { NRFTerminate(); }

    static std::vector<std::string> names(const FolderScanResult& result) {
        std::vector<std::string> out;
        for (const FolderScanEntry& e : result.entries)
            out.push_back(e.entry.name);
        return out;
    }
    static const DirectoryEntry* find(const FolderScanResult& result, const std::string& name) {
        for (const FolderScanEntry& e : result.entries)
            if (e.entry.name == name)
                return &e.entry;
        return nullptr;
    }
    static FolderScanResult scan(const std::string& folder, bool proxies) {
        std::lock_guard lock(lumo::scanLock());
        return ScanFolders({folder}, proxies);
    }
};

// What `run` logged with the debug flags of `flags` on.
std::string logOf(const std::string& flags, const std::function<void()>& run) {
    lumo::test::TempDir settings;
    writeWholeFile(settings.file("LumoDebug.txt"), flags);
    LumoPaths::initialise(ResolvedLocations{settings.path(), lumo::test::testRunFolder() + "/cache"});
    reloadDebugFlags();
    LumoLogger::instance().flush();
    std::uint64_t start = 0;
    lumo::fileSize(LumoPaths::logFilePath(), start);
    run();
    LumoLogger::instance().flush();
    const std::string log = lumo::test::readWholeFile(LumoPaths::logFilePath()).substr(start);
    LumoPaths::reset();
    reloadDebugFlags();
    return log;
}

// A folder with a photo of each kind and everything the filter must keep out.
void fillFolder(const TempDir& dir) {
    const std::string jpeg = JpegBuilder(16, 16).build();
    writeWholeFile(dir.file("photo.jpg"), jpeg);
    writeWholeFile(dir.file("IMG_1.CR2"), "not read: a raw is typed by its name");
    writeWholeFile(dir.file(".hidden.jpg"), jpeg);
    writeWholeFile(dir.file("DESKTOP.INI"), "[.ShellClassInfo]");
    writeWholeFile(dir.file("Thumbs.db"), "x");
    writeWholeFile(dir.file("notes.txt"), "a text file");
    writeWholeFile(dir.file("photo.xmp"), "<x:xmpmeta/>");
    writeWholeFile(dir.file("photo.WAV"), "RIFF");
    writeWholeFile(dir.file("photo.XIP"), "<prefs/>");
    std::filesystem::create_directory(dir.file("sub.jpg"));
    std::filesystem::create_symlink(dir.file("photo.jpg"), dir.file("link.jpg"));
    ASSERT_EQ(::mkfifo(dir.file("pipe.tif").c_str(), 0600), 0); // never opened: no writer would come
}

TEST_F(FolderScanTest, FilterRejectsWhatIsNoPhotoAndShowsUnknownFilesOnlyAsProxies) {
    TempDir dir;
    fillFolder(dir);
    for (const bool proxies : {true, false}) {
        SCOPED_TRACE(proxies);
        const FolderScanResult result = scan(dir.path(), proxies);
        EXPECT_EQ(result.error, 0);
        const std::vector<std::string> expected =
            proxies ? std::vector<std::string>{"IMG_1.CR2", "notes.txt", "photo.jpg"}
                    : std::vector<std::string>{"IMG_1.CR2", "photo.jpg"};
        EXPECT_EQ(names(result), expected);
        EXPECT_EQ(result.raw, 1u);
        EXPECT_EQ(result.nonRaw, 1u);
        EXPECT_EQ(result.unknown, 4u); // notes.txt and the three sidecars
        ASSERT_NE(find(result, "photo.jpg"), nullptr);
        EXPECT_EQ(find(result, "photo.jpg")->fileType, kNRFTypeJPEG);
        EXPECT_FALSE(find(result, "photo.jpg")->isRaw);
        EXPECT_EQ(find(result, "IMG_1.CR2")->fileType, NRFMakeFileType("CCR2"));
        EXPECT_TRUE(find(result, "IMG_1.CR2")->isRaw);
        if (proxies)
            EXPECT_EQ(find(result, "notes.txt")->fileType, kNRFTypeProxy);
    }

    // With the filter's flag on, every decision is logged in its words.
    const std::string log =
        logOf("SHOW_DIRSCAN_FILTER yes\nSHOW_CSHEET_RESCAN yes\n", [&] { scan(dir.path(), false); });
    for (const std::string& line : {
             "Scanning path: '" + dir.path() + "'",
             std::string("File counts added for path, RAW(1), Non-RAW(1), Unknown(4)"),
             std::string("Rejecting \"link.jpg\" due to having link attribute set"),
             std::string("Rejecting \"sub.jpg\" because it is a directory"),
             std::string("Rejecting \"pipe.tif\" due to having system attribute set"),
             std::string(
                 "Rejecting \".hidden.jpg\" due to name beginning with dot (.) (or special hidden file)"),
             std::string(
                 "Rejecting \"Thumbs.db\" due to name beginning with dot (.) (or special hidden file)"),
             std::string("Rejecting rogue \"DESKTOP.INI\" file"),
             std::string("Accepting \"photo.jpg\""),
             std::string("Rejecting unknown file \"photo.xmp\""),
             std::string("Rejecting unknown file \"notes.txt\" due to proxies being disabled"),
         })
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;

    // The filter on its own: each rejection, and the scanner's 'ILGL' for files that are no photo.
    ContactSheetFilter filter(true);
    DirectoryEntry sidecar{.name = "a.xmp"};
    EXPECT_FALSE(filter.accept(sidecar, dir.path(), "a.xmp"));
    EXPECT_EQ(sidecar.fileType, NRFMakeFileType("ILGL"));
    for (const std::uint32_t bits : {kEntryHidden, kEntrySystem, kEntryLink, kEntryDirectory}) {
        DirectoryEntry hidden{.name = "photo.jpg", .attributes = bits};
        EXPECT_FALSE(filter.accept(hidden, dir.path(), "photo.jpg")) << bits;
    }
}

TEST_F(FolderScanTest, DigestStaysForAnUnchangedFolderAndATouchedFileLosesItsSortCacheRow) {
    TempDir dir;
    fillFolder(dir);
    TempDir cache;
    LumoSortCache::InitSortCache(cache.path());
    const std::string photo = dir.file("photo.jpg"), raw = dir.file("IMG_1.CR2");
    const FolderScanResult first = scan(dir.path(), true);
    ASSERT_EQ(first.digest.size(), 32u);
    const auto rowFor = [&](const DirectoryEntry& entry) {
        LumoSortCacheInfo info;
        info.Rating = 4;
        info.FileSize = entry.size;
        info.ModificationTime = static_cast<std::uint64_t>(entry.lastWriteTime);
        return info;
    };
    LumoSortCache::setSortInfoFor(photo, rowFor(*find(first, "photo.jpg")));
    LumoSortCache::setSortInfoFor(raw, rowFor(*find(first, "IMG_1.CR2")));

    const FolderScanResult again = scan(dir.path(), true);
    EXPECT_EQ(again.digest, first.digest);
    LumoSortCacheInfo info;
    EXPECT_TRUE(LumoSortCache::GetSortInfoFor(photo, info)); // fresh rows stay

    const timespec times[2] = {{1'000'000, 0}, {1'000'000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, photo.c_str(), times, 0), 0);
    FolderScanResult touched;
    const std::string log = logOf("SORT_CACHE_LOGGING yes\n", [&] { touched = scan(dir.path(), true); });
    EXPECT_NE(log.find("ContactSheetFilter::accept() sort data for '" + photo + "' rejected size("),
              std::string::npos)
        << log;
    EXPECT_NE(touched.digest, first.digest);
    EXPECT_FALSE(LumoSortCache::GetSortInfoFor(photo, info));
    EXPECT_TRUE(LumoSortCache::GetSortInfoFor(raw, info));
    // A file only a proxy would show changes the digest too.
    writeWholeFile(dir.file("notes.txt"), "longer text now");
    EXPECT_NE(scan(dir.path(), true).digest, touched.digest);
    LumoSortCache::TerminateSortCache();

    // Several folders: both in the given order, one digest over both; an unreadable folder is reported.
    TempDir other;
    writeWholeFile(other.file("a.jpg"), JpegBuilder(8, 8).build());
    std::lock_guard lock(lumo::scanLock());
    const FolderScanResult both = ScanFolders({other.path(), dir.path()}, false);
    ASSERT_EQ(both.entries.size(), 3u);
    EXPECT_EQ(both.entries[0].path(), other.file("a.jpg"));
    EXPECT_EQ(both.error, 0);
    EXPECT_NE(both.digest, ScanFolders({dir.path(), other.path()}, false).digest);
    EXPECT_NE(ScanFolders({dir.file("missing")}, false).error, 0);
}

TEST_F(FolderScanTest, CorpusScanTypesEveryPhotoAndNoSidecar) {
    const std::string corpus = lumo::test::corpusFolderOrFail();
    if (corpus.empty())
        LUMO_SKIP_OR_FAIL("no corpus");
    for (const char* sub : {"exiftool", "exiv2"}) {
        const FolderScanResult result = scan(corpus + "/" + sub, true);
        EXPECT_EQ(result.error, 0);
        EXPECT_GT(result.raw + result.nonRaw, 10u) << sub;
        EXPECT_EQ(result.raw + result.nonRaw + (result.entries.size() - result.raw - result.nonRaw),
                  result.entries.size());
        for (const FolderScanEntry& e : result.entries) {
            const std::string lower = [&] {
                std::string s = e.entry.name;
                std::transform(s.begin(), s.end(), s.begin(), ::tolower);
                return s;
            }();
            EXPECT_FALSE(lower.ends_with(".xmp")) << e.entry.name;
            EXPECT_NE(e.entry.fileType, NRFMakeFileType("ILGL")) << e.entry.name;
        }
        EXPECT_EQ(scan(corpus + "/" + sub, true).digest, result.digest);
    }
}

// ---- joining

std::set<std::pair<std::string, std::string>> pairsOf(const std::vector<DocumentItem::Ref>& items) {
    std::set<std::pair<std::string, std::string>> pairs;
    for (const auto& item : items)
        pairs.insert({item->FileName(), std::string(lumo::baseName(item->CompanionPath()))});
    return pairs;
}

TEST_F(FolderScanTest, JoiningAndSeparatingGiveTheSamePairs) {
    const NRFFileType cr2 = NRFMakeFileType("CCR2"), cr3 = NRFMakeFileType("CCR3"),
                      nef = NRFMakeFileType("NNEF");
    const std::vector<std::tuple<std::string, NRFFileType, bool>> files = {
        {"/p/IMG_1.CR2", cr2, true},           {"/p/IMG_1.jpg", kNRFTypeJPEG, false},
        {"/p/IMG_2.JPG", kNRFTypeJPEG, false}, {"/p/IMG_2.CR3", cr3, true},
        {"/p/IMG_2.HIF", kNRFTypeHEIF, false}, {"/p/IMG_3.DNG", kNRFTypeADNG, true},
        {"/p/IMG_3.JPG", kNRFTypeJPEG, false}, {"/p/IMG_4.NEF", nef, true},
        {"/q/IMG_4.JPG", kNRFTypeJPEG, false}, {"/p/notes.txt", kNRFTypeProxy, false},
        {"/p/notes.jpg", kNRFTypeJPEG, false}, {"/p/IMG_5.HEIC", kNRFTypeHEIC, false},
    };
    std::vector<DocumentItem::Ref> items;
    for (const auto& [path, type, raw] : files)
        items.push_back(DocumentItem::ForFile(path, type, raw));

    const std::vector<DocumentItem::Ref> joined = JoinRawPlusJpeg(items);
    const std::set<std::pair<std::string, std::string>> expected = {
        {"IMG_1.CR2", "IMG_1.jpg"}, // letter case does not matter; the raw is the primary
        {"IMG_2.JPG", ""},          {"IMG_2.CR3", "IMG_2.HIF"}, // HEIF before JPEG
        {"IMG_3.DNG", ""},          {"IMG_3.JPG", ""},          // DNG never joins
        {"IMG_4.NEF", ""},          {"IMG_4.JPG", ""},          // other folder
        {"notes.txt", ""},          {"notes.jpg", ""},          {"IMG_5.HEIC", ""},
    };
    EXPECT_EQ(pairsOf(joined), expected);
    ASSERT_EQ(joined.size(), files.size() - 2);
    EXPECT_EQ(joined[0]->FileName(), "IMG_1.CR2"); // order kept
    EXPECT_EQ(joined[1]->FileName(), "IMG_2.JPG");

    const std::vector<DocumentItem::Ref> separated = SeparateCompanions(joined);
    ASSERT_EQ(separated.size(), files.size());
    EXPECT_EQ(separated[1]->FileName(), "IMG_1.jpg"); // right after its primary
    EXPECT_EQ(separated[1]->FileType(), kNRFTypeJPEG);
    for (const auto& item : separated)
        EXPECT_FALSE(item->HasCompanion());
    EXPECT_EQ(pairsOf(JoinRawPlusJpeg(separated)), expected);
}

TEST(JoinBaseNameTest, DropsFolderAndLastExtension) {
    EXPECT_EQ(JoinBaseName("/a/b/IMG_1.CR2"), "IMG_1");
    EXPECT_EQ(JoinBaseName("IMG_1.tar.gz"), "IMG_1.tar");
    EXPECT_EQ(JoinBaseName("/a.b/NOEXT"), "NOEXT");
}

TEST_F(FolderScanTest, ThreadedScanWaitsForTheScanLockAndHandsOverTheResult) {
    TempDir dir;
    fillFolder(dir);
    std::atomic<int> calls = 0;
    std::vector<std::string> got;
    std::unique_lock held(lumo::scanLock());
    CThreadedScan scan({dir.path()}, false, [&](FolderScanResult& result) {
        got = names(result);
        ++calls;
    });
    ASSERT_TRUE(scan.Start());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(calls, 0); // another scan holds the lock
    held.unlock();
    scan.Join();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(got, (std::vector<std::string>{"IMG_1.CR2", "photo.jpg"}));
}

} // namespace
