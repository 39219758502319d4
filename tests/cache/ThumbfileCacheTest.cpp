// The disk cache of thumbnails and previews, on real folders.

#include "cache/ThumbfileCache.h"
#include "support/FileIO.h"
#include "support/PathDigest.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

extern char** environ;

using lumo::test::le;
using lumo::test::readWholeFile;
using lumo::test::TempDir;
using lumo::test::writeWholeFile;
using Kind = CThumbfileCache::Kind;

namespace {

NRFBitmapBase makeBitmap(std::uint32_t width, std::uint32_t height) {
    NRFBitmapBase bitmap;
    EXPECT_TRUE(bitmap.Allocate(width, height, 3));
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width * 3; ++x)
            bitmap.Row(y)[x] = static_cast<std::uint8_t>((x / 3 + 2 * y) & 0xff); // smooth, as photos are
    return bitmap;
}

// Every file below the folder, relative to it.
std::vector<std::string> filesBelow(const std::string& folder) {
    std::vector<std::string> out;
    std::error_code ec; // a writer may be renaming and removing files meanwhile
    for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        if (it->is_regular_file(ec))
            out.push_back(std::filesystem::relative(it->path(), folder, ec).string());
    std::sort(out.begin(), out.end());
    return out;
}

// A child process that is killed and waited for however the test ends.
struct Child {
    pid_t pid = 0;
    ~Child() { stop(); }
    void stop() {
        if (pid <= 0)
            return;
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        pid = 0;
    }
};

struct CacheFixture : ::testing::Test {
    TempDir dir;
    std::string folder = dir.file("cache");
    std::string photo = dir.file("IMG_0001.JPG");
    std::unique_ptr<CThumbfileCache> cache;

    void SetUp() override {
        ASSERT_EQ(CThumbfileCache::PrepareFolder(folder), 0);
        cache = std::make_unique<CThumbfileCache>(folder);
        writeWholeFile(photo, "pretend photo");
    }
};

} // namespace

TEST(ThumbfileCacheKeys, FollowTheDigestOfPathSizeAndTimeAndRefuseMalformedKeys) {
    const std::string digest = lumo::pathDigest("/photos/a/IMG_1.CR2" + le(1234, 8) + le(987654321, 8));
    const std::string key = CThumbfileCache::MakeKey(Kind::Preview, "/photos/a/IMG_1.CR2", 1234, 987654321);
    EXPECT_EQ(key, "preview/" + digest.substr(0, 2) + "/" + digest.substr(2) + "#IMG_1.CR2");
    EXPECT_EQ(CThumbfileCache::VariantKey(key, {3, false, 256}), key + "#3#d#256#.jpg");
    EXPECT_EQ(CThumbfileCache::MakeKey(Kind::Thumb, "/photos/a/IMG_1.CR2", 1234, 987654321).substr(0, 6),
              "thumb/");
    // A changed file (size or time) gets a new key; the same file spelt differently the same one.
    EXPECT_NE(CThumbfileCache::MakeKey(Kind::Preview, "/photos/a/IMG_1.CR2", 1235, 987654321), key);
    EXPECT_NE(CThumbfileCache::MakeKey(Kind::Preview, "/photos/a/IMG_1.CR2", 1234, 987654322), key);
    EXPECT_EQ(CThumbfileCache::MakeKey(Kind::Preview, "/photos/./a//IMG_1.CR2", 1234, 987654321), key);

    TempDir dir;
    const std::string file = dir.file("x.jpg");
    writeWholeFile(file, "one");
    const std::string before = CThumbfileCache::MakeKey(Kind::Thumb, file);
    EXPECT_FALSE(before.empty());
    writeWholeFile(file, "three");
    EXPECT_NE(CThumbfileCache::MakeKey(Kind::Thumb, file), before);
    EXPECT_EQ(CThumbfileCache::MakeKey(Kind::Thumb, dir.file("missing.jpg")), "");

    const std::string hex30(30, 'a');
    struct Case {
        std::string key;
        bool valid;
    } cases[] = {
        {key, true},
        {CThumbfileCache::VariantKey(key, {1, true, 1024}), true},
        {"thumb/ab/" + hex30 + "#a.jpg", true},
        {"thumb/ab/" + hex30 + "#a.j", false},    // 43 characters
        {"thumbs/ab/" + hex30 + "#a.jpg", false}, // not the kind and a '/'
        {"other/ab/" + hex30 + "#abcd.jpg", false},
        {"", false},
        {"thumb/../../../../../../../../../etc/passwd#x", false},
        {"preview/ab/" + hex30 + "#../../../../x", false},
        {"preview/AB/" + hex30 + "#upper.jpg", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CThumbfileCache::validate_key(c.key), c.valid) << c.key;
}

TEST_F(CacheFixture, StoresLoadsAndListsVariantsButNeverErrorBitmapsOrOverExistingEntries) {
    const std::string base = CThumbfileCache::MakeKey(Kind::Thumb, photo);
    const std::string small = CThumbfileCache::VariantKey(base, {0, true, 64});
    const std::string draft = CThumbfileCache::VariantKey(base, {1, false, 32});
    const NRFBitmapBase bitmap = makeBitmap(64, 48);
    EXPECT_TRUE(cache->Store(small, bitmap));
    EXPECT_FALSE(cache->Store(small, makeBitmap(8, 8))) << "an existing entry is kept";
    NRFBitmapBase reduced = makeBitmap(32, 24);
    EXPECT_TRUE(cache->Store(draft, reduced));
    for (std::uint32_t flags : {kNRFBitmapError, kNRFBitmapExifThumbnail}) {
        NRFBitmapBase never = makeBitmap(32, 24);
        never.flags = flags;
        EXPECT_FALSE(cache->Store(CThumbfileCache::VariantKey(base, {2, true, 32}), never)) << flags;
    }

    const auto entries = cache->EntriesFor(base);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].key, draft);
    EXPECT_FALSE(entries[0].variant.highQuality);
    EXPECT_EQ(entries[0].variant.number, 1);
    EXPECT_EQ(entries[1].key, small);
    EXPECT_EQ(entries[1].variant.pixelSize, 64u);

    NRFBitmapBase loaded;
    ASSERT_TRUE(cache->Load(small, loaded));
    EXPECT_EQ(loaded.Width(), 64u);
    EXPECT_EQ(loaded.Height(), 48u);
    EXPECT_NEAR(loaded.Row(20)[90], bitmap.Row(20)[90], 6);

    // Bytes from elsewhere (an embedded preview) lose the padding after their end marker.
    std::string jpeg;
    ASSERT_TRUE(cache->LoadBytes(small, jpeg));
    const std::string preview =
        CThumbfileCache::VariantKey(CThumbfileCache::MakeKey(Kind::Preview, photo), {});
    EXPECT_TRUE(cache->StoreBytes(preview, jpeg + std::string(100, '\0')));
    EXPECT_EQ(readWholeFile(folder + "/" + preview), jpeg);
    EXPECT_FALSE(cache->StoreBytes(CThumbfileCache::VariantKey(base, {9, true, 9}), "not a jpeg"));

    const CThumbfileCache::Counts counts = cache->Count();
    EXPECT_EQ(counts.entries, 3u);
    EXPECT_EQ(counts.usable, 3u);
    EXPECT_EQ(cache->Count(false, true).entries, 1u);

    // Touching moves the entry's time to now; a missing one is only logged.
    const std::string path = folder + "/" + small;
    std::filesystem::last_write_time(path,
                                     std::filesystem::file_time_type::clock::now() - std::chrono::hours(48));
    const auto old = std::filesystem::last_write_time(path);
    cache->TouchByCacheKey(small);
    EXPECT_GT(std::filesystem::last_write_time(path), old);
    cache->TouchByCacheKey(CThumbfileCache::VariantKey(base, {7, true, 7}));
}

TEST_F(CacheFixture, ATornEntryFailsToLoadIsPurgedAndStoredAgain) {
    const std::string key =
        CThumbfileCache::VariantKey(CThumbfileCache::MakeKey(Kind::Preview, photo), {0, true, 640});
    ASSERT_TRUE(cache->Store(key, makeBitmap(640, 480)));
    const std::string whole = readWholeFile(folder + "/" + key);
    for (const std::string& torn : {whole.substr(0, whole.size() / 2), std::string(), whole.substr(0, 3)}) {
        writeWholeFile(folder + "/" + key, torn);
        NRFBitmapBase bitmap;
        EXPECT_FALSE(cache->Load(key, bitmap));
        EXPECT_TRUE(bitmap.Empty());
        EXPECT_TRUE(cache->Purge(key));
        EXPECT_FALSE(cache->Exists(key));
        ASSERT_TRUE(cache->Store(key, makeBitmap(640, 480)));
        EXPECT_TRUE(cache->Load(key, bitmap));
    }
    // A write that fails half-way leaves neither the key nor its temporary file.
    EXPECT_TRUE(cache->Purge(key));
    lumo::injectFileFault({.op = lumo::FileFault::Op::Write, .error = ENOSPC, .afterBytes = 1000});
    EXPECT_FALSE(cache->Store(key, makeBitmap(640, 480)));
    lumo::clearFileFaults();
    EXPECT_EQ(filesBelow(folder), std::vector<std::string>{});
}

TEST_F(CacheFixture, ARenamedImageTakesItsEntriesAlong) {
    const std::string base = CThumbfileCache::MakeKey(Kind::Thumb, photo);
    const std::string previewBase = CThumbfileCache::MakeKey(Kind::Preview, photo);
    ASSERT_TRUE(cache->Store(CThumbfileCache::VariantKey(base, {0, true, 64}), makeBitmap(64, 48)));
    ASSERT_TRUE(cache->Store(CThumbfileCache::VariantKey(base, {0, false, 32}), makeBitmap(32, 24)));
    ASSERT_TRUE(cache->Store(CThumbfileCache::VariantKey(previewBase, {0, true, 640}), makeBitmap(640, 480)));

    const std::string renamed = dir.file("Holiday 1.JPG");
    std::filesystem::rename(photo, renamed);
    EXPECT_EQ(cache->RenameImage(photo, renamed), 3);
    EXPECT_TRUE(cache->EntriesFor(base).empty());
    const auto moved = cache->EntriesFor(CThumbfileCache::MakeKey(Kind::Thumb, renamed));
    ASSERT_EQ(moved.size(), 2u);
    EXPECT_NE(moved[0].key.find("#Holiday 1.JPG#0#d#32#.jpg"), std::string::npos) << moved[0].key;
    NRFBitmapBase bitmap;
    EXPECT_TRUE(cache->Load(moved[1].key, bitmap));
    EXPECT_EQ(cache->EntriesFor(CThumbfileCache::MakeKey(Kind::Preview, renamed)).size(), 1u);
    EXPECT_EQ(cache->RenameImage(photo, renamed), 0) << "nothing is left under the old name";
}

TEST_F(CacheFixture, ClearingReportsItsStepsAndKeepsTheOtherKind) {
    for (std::uint32_t i = 0; i < 5; ++i) {
        const std::string path = "/photos/IMG_" + std::to_string(i) + ".JPG";
        ASSERT_TRUE(
            cache->Store(CThumbfileCache::VariantKey(CThumbfileCache::MakeKey(Kind::Thumb, path, i, i), {}),
                         makeBitmap(16, 16)));
        ASSERT_TRUE(
            cache->Store(CThumbfileCache::VariantKey(CThumbfileCache::MakeKey(Kind::Preview, path, i, i), {}),
                         makeBitmap(16, 16)));
    }
    std::vector<std::string> seen;
    EXPECT_EQ(cache->Clear(true, false,
                           [&](const std::string& status, std::size_t done, std::size_t total) {
                               seen.push_back(status + " " + std::to_string(done) + "/" +
                                              std::to_string(total));
                               return true;
                           }),
              5u);
    const std::vector<std::string> expected = {
        "Clearing Disk Cache, scanning cache folders... 0/0", "Clearing Disk Cache, deleting files... 0/5",
        "Clearing Disk Cache, deleting files... 1/5",         "Clearing Disk Cache, deleting files... 2/5",
        "Clearing Disk Cache, deleting files... 3/5",         "Clearing Disk Cache, deleting files... 4/5",
        "Clearing Disk Cache, deleting files... 5/5"};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(cache->Count().entries, 5u);
    // Stopped after the second file.
    EXPECT_EQ(
        cache->Clear(true, true, [](const std::string&, std::size_t done, std::size_t) { return done < 2; }),
        2u);
    EXPECT_EQ(cache->Clear(true, true), 3u);
    EXPECT_EQ(cache->Count().entries, 0u);
}

TEST(ThumbfileCacheFolder, AFolderThatCannotBeMadeIsRefusedWithItsSentence) {
    TempDir dir;
    writeWholeFile(dir.file("file"), "in the way");
    std::string error;
    EXPECT_FALSE(CThumbfileCache::OpenThumbfileCache(dir.file("file") + "/cache", error));
    EXPECT_EQ(error, "The image cache folder could not be created at the following location:\n\"" +
                         dir.file("file") + "/cache\".  \nPlease choose a new location for the image cache.");
    EXPECT_EQ(CThumbfileCache::GetThumbfileCache(), nullptr);
    ASSERT_TRUE(CThumbfileCache::OpenThumbfileCache(dir.file("cache"), error));
    ASSERT_NE(CThumbfileCache::GetThumbfileCache(), nullptr);
    EXPECT_EQ(CThumbfileCache::GetThumbfileCache()->Folder(), dir.file("cache"));
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("cache/thumb")));
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("cache/preview")));
    CThumbfileCache::CloseThumbfileCache();
    EXPECT_EQ(CThumbfileCache::GetThumbfileCache(), nullptr);
}

TEST(ThumbfileCacheKill, AKilledWriterLeavesOnlyWholeEntriesAndItsTemporariesAreRemoved) {
    TempDir dir;
    const std::string folder = dir.file("cache");
    constexpr std::size_t kBytes = 1 << 20;
    const std::string size = std::to_string(kBytes);
    pid_t dead = 0;
    for (int round = 0; round < 3; ++round) {
        std::vector<char*> argv = {const_cast<char*>(THUMBFILE_HELPER), const_cast<char*>(folder.c_str()),
                                   const_cast<char*>(size.c_str()), nullptr};
        Child child;
        ASSERT_EQ(::posix_spawn(&child.pid, THUMBFILE_HELPER, nullptr, nullptr, argv.data(), environ), 0);
        // Let it write a few entries, then kill it in the middle of whatever it does.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < deadline &&
               filesBelow(folder + "/preview").size() < 4u * (round + 1))
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        std::this_thread::sleep_for(std::chrono::milliseconds(round));
        dead = child.pid;
        child.stop();
    }
    // What the kill left in the middle of a write looks like this (it may have landed between writes).
    std::filesystem::create_directories(folder + "/preview/00");
    writeWholeFile(folder + "/preview/00/" + std::string(30, '0') + "#x.jpg#0#h#9#.jpg.tmp-" +
                       std::to_string(dead) + "-7",
                   "\xFF\xD8 torn");
    CThumbfileCache cache(folder);
    std::size_t whole = 0;
    for (const std::string& name : filesBelow(folder + "/preview")) {
        const std::string key = "preview/" + name;
        if (name.find(".tmp-") != std::string::npos) // a write the kill cut short, never under a key
            continue;
        ASSERT_TRUE(CThumbfileCache::validate_key(key)) << key;
        std::string bytes;
        EXPECT_TRUE(cache.LoadBytes(key, bytes)) << key;
        EXPECT_EQ(bytes.size(), kBytes) << key;
        ++whole;
    }
    EXPECT_GE(whole, 4u);
    const CThumbfileCache::Counts counts = cache.Count(); // removes the dead writer's temporaries
    EXPECT_EQ(counts.entries, whole);
    EXPECT_EQ(counts.usable, whole);
    EXPECT_EQ(filesBelow(folder + "/preview").size(), whole);
}
