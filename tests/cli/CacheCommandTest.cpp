// `lumo cache` and where the image caches live, through the lumo program in a home of its own.

#include "LumoHome.h"
#include "cache/ThumbfileCache.h"
#include "db/LumoSortCache.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>

using lumo::test::ProcessResult;
using lumo::test::readWholeFile;
using lumo::test::writeWholeFile;
using Kind = CThumbfileCache::Kind;

namespace {

// Stores `count` thumbnails and one preview in the cache folder, as the image cache would.
void fillCache(const std::string& folder, int count) {
    CThumbfileCache cache(folder);
    NRFBitmapBase bitmap;
    ASSERT_TRUE(bitmap.Allocate(16, 12, 3));
    for (int i = 0; i < count; ++i) {
        const std::string path = "/photos/IMG_" + std::to_string(i) + ".JPG";
        ASSERT_TRUE(cache.Store(
            CThumbfileCache::VariantKey(CThumbfileCache::MakeKey(Kind::Thumb, path, 9, i), {}), bitmap));
    }
    ASSERT_TRUE(cache.Store(
        CThumbfileCache::VariantKey(CThumbfileCache::MakeKey(Kind::Preview, "/photos/IMG_0.JPG", 9, 0), {}),
        bitmap));
}

nlohmann::json statusOf(const LumoHome& home) {
    const ProcessResult r = home.lumo({"cache", "status", "--json"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return nlohmann::json::parse(r.out, nullptr, false);
}

} // namespace

TEST(CacheCommand, StatusCountsClearDeletesTheChosenKindsWithProgress) {
    LumoHome home;
    writeWholeFile(home.settings + "/LumoDebug.txt", "LUMOCACHE_LOGGING on\n");
    fillCache(home.cache, 3);
    nlohmann::json status = statusOf(home);
    EXPECT_EQ(status["folder"], home.cache);
    EXPECT_EQ(status["entries"], 4);
    EXPECT_EQ(status["usable"], 4);
    EXPECT_EQ(status["thumbs"]["entries"], 3);
    EXPECT_EQ(status["previews"]["entries"], 1);
    EXPECT_EQ(status["bytes"], status["thumbs"]["bytes"].get<int>() + status["previews"]["bytes"].get<int>());
    EXPECT_NE(home.log().find("cache: found 4 disk cache entries, 4 usable"), std::string::npos)
        << home.log();
    ProcessResult r = home.lumo({"cache", "status"});
    EXPECT_NE(r.out.find("Thumbnails:   3 entries, "), std::string::npos) << r.out;

    // Piped, the progress comes as plain lines on stderr; --quiet has none.
    r = home.lumo({"cache", "clear", "--thumbs"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "Deleted 3 of 3 files from the disk cache\n");
    EXPECT_NE(r.err.find("Clearing disk cache: 100/100 (100%)"), std::string::npos) << r.err;
    EXPECT_EQ(statusOf(home)["entries"], 1);
    r = home.lumo({"cache", "clear", "--quiet", "--json"});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(nlohmann::json::parse(r.out)["deleted"], 1);
    EXPECT_EQ(statusOf(home)["entries"], 0);
}

TEST(CacheCommand, PurgeSortForgetsOldEntriesOnly) {
    LumoHome home;
    LumoSortCache::InitSortCache(home.cache);
    LumoSortCache::setSortInfoFor("/photos/a.jpg", LumoSortCacheInfo{.Rating = 3});
    LumoSortCache::TerminateSortCache();
    const auto stored = [&] {
        LumoSortCache::InitSortCache(home.cache);
        LumoSortCacheInfo info;
        const bool found = LumoSortCache::GetSortInfoFor("/photos/a.jpg", info);
        LumoSortCache::TerminateSortCache();
        return found;
    };
    ProcessResult r = home.lumo({"cache", "purge-sort"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "Sort cache: forgot the entries stored 30 days ago or earlier\n");
    EXPECT_TRUE(stored());
    r = home.lumo({"cache", "purge-sort", "--days", "0", "--json"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(nlohmann::json::parse(r.out)["days"], 0);
    EXPECT_FALSE(stored());
    EXPECT_EQ(home.lumo({"cache", "purge-sort", "--days", "-1"}).exitCode, 2);
}

TEST(CacheCommand, TheCachePathPreferenceMovesTheCachesButNotTheLog) {
    LumoHome home;
    const std::string xdg = home.dir.file("xdg"), moved = home.dir.file("moved");
    std::map<std::string, std::string> env = {
        {"LUMO_SETTINGS_PATH", home.settings}, {"LUMO_CACHE_PATH", ""}, {"XDG_CACHE_HOME", xdg}};
    ASSERT_EQ(
        lumo::test::runProcess(LUMO_BINARY, {"prefs", "set", "CachePath", "\"" + moved + "\""}, env).exitCode,
        0);
    ProcessResult r = lumo::test::runProcess(LUMO_BINARY, {"cache", "status", "--json"}, env);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(nlohmann::json::parse(r.out)["folder"], moved);
    EXPECT_TRUE(std::filesystem::is_directory(moved + "/thumb"));
    EXPECT_TRUE(std::filesystem::exists(xdg + "/Lumograph/Lumo.log"));
    EXPECT_FALSE(std::filesystem::exists(moved + "/Lumo.log"));
    // The sort cache follows the image caches.
    EXPECT_EQ(lumo::test::runProcess(LUMO_BINARY, {"cache", "purge-sort"}, env).exitCode, 0);
    EXPECT_TRUE(std::filesystem::exists(moved + "/LumoSortCache_3.db"));
    // $LUMO_CACHE_PATH (and --cache) still choose the folder.
    EXPECT_EQ(statusOf(home)["folder"], home.cache);

    // A folder that cannot be made ends the command with the sentence that asks for another one.
    writeWholeFile(home.dir.file("file"), "in the way");
    const std::string bad = home.dir.file("file") + "/cache";
    const std::string sentence =
        "The image cache folder could not be created at the following location:\n\"" + bad +
        "\".  \nPlease choose a new location for the image cache.";
    ASSERT_EQ(home.lumo({"prefs", "set", "CachePath", "\"" + bad + "\""}).exitCode, 0);
    r = lumo::test::runProcess(LUMO_BINARY, {"cache", "status", "--json"}, env);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(nlohmann::json::parse(r.out), (nlohmann::json{{"result", 6}, {"error", sentence}}));
    r = home.lumo({"--cache", bad, "cache", "clear"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "lumo: " + sentence + "\n");
}
