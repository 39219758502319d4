#include "db/LumoSortCache.h"

#include "app/LumoLogger.h"
#include "db/LumoSortCacheImpl.h"
#include "db/SQLiteWrapper.h"
#include "support/PathDigest.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

using lumo::test::TempDir;

namespace {

const char kVersionSchema[] =
    "CREATE TABLE version_data (VersionKey TEXT, VersionValue INTEGER, UNIQUE(VersionKey) )";
const char kSortSchema[] =
    "CREATE TABLE sort_data (key TEXT, ColorClass INTEGER, Rating INTEGER, Tag INTEGER, CaptureTime "
    "DATETIME, "
    "ModificationTime INTEGER, FileSize INTEGER, ExtraModificationTime INTEGER, ExtraFileSize INTEGER, "
    "AddTime INTEGER, UNIQUE(key) )";

LumoSortCacheInfo sampleInfo(int i) {
    LumoSortCacheInfo info;
    info.ColorClass = i % 9;
    info.Rating = i % 6;
    info.Tag = i % 2;
    info.CaptureTime = "2024:06:01 14:22:07." + std::to_string(i % 1000);
    info.ModificationTime = 1'717'251'727ull + static_cast<std::uint64_t>(i);
    info.FileSize = 24'117'248ull + static_cast<std::uint64_t>(i);
    return info;
}

std::string photo(int i) {
    return "/photos/2024-06-01/DSC_" + std::to_string(i) + ".NEF";
}

// The cache running on a fresh folder of its own for the length of a test.
struct RunningCache {
    RunningCache() { LumoSortCache::InitSortCache(dir.path()); }
    ~RunningCache() { LumoSortCache::TerminateSortCache(); }
    std::string dbPath() const { return dir.file(kSortCacheFileName); }
    TempDir dir;
};

// What another connection sees: only committed rows. The short busy timeout covers the moment of a
// commit; the worker's open transaction never blocks a reader.
int committedRows(const std::string& dbPath) {
    SQLiteDB db;
    db.open(dbPath);
    db.setBusyTimeout(2000);
    return db.execScalar("SELECT count(*) FROM sort_data");
}

// A database as an earlier run left it: the schema, a version and one row.
void seedDatabase(const std::string& dbPath, int version, const std::string& rowValues) {
    SQLiteDB db;
    db.open(dbPath);
    db.execDML(kVersionSchema);
    db.execDML(kSortSchema);
    db.execDML("INSERT INTO version_data VALUES ('VersionNum', " + std::to_string(version) + ")");
    db.execDML("INSERT INTO sort_data VALUES (" + rowValues + ")");
}

bool found(const std::string& path) {
    LumoSortCacheInfo info;
    return LumoSortCache::GetSortInfoFor(path, info);
}

std::string logText() {
    const std::string file = LumoLogger::instance().logFilePath();
    return (file.empty() || !std::filesystem::exists(file) ? std::string()
                                                           : lumo::test::readWholeFile(file)) +
           LumoLogger::instance().pendingText();
}

int occurrences(const std::string& text, const std::string& what) {
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

TEST(LumoSortCacheTest, FetchesManyAtOnce) {
    RunningCache cache;
    // More than one slice of fetches, a path without a row among them.
    std::vector<std::string> many;
    for (int i = 0; i < 600; ++i) {
        many.push_back(photo(1000 + i));
        if (i != 300)
            LumoSortCache::setSortInfoFor(many.back(), sampleInfo(i));
    }
    std::vector<LumoSortCacheInfo> rows;
    std::vector<bool> foundMany;
    LumoSortCache::GetSortInfoForMany(many, rows, foundMany);
    ASSERT_EQ(rows.size(), many.size());
    for (int i = 0; i < 600; ++i) {
        EXPECT_EQ(foundMany[static_cast<std::size_t>(i)], i != 300) << i;
        if (i != 300)
            EXPECT_EQ(rows[static_cast<std::size_t>(i)], sampleInfo(i)) << i;
    }
}

TEST(LumoSortCacheTest, CreatesTheSchemaAndRoundTripsRows) {
    RunningCache cache;
    EXPECT_FALSE(found(photo(1))); // also waits until the worker has opened the file

    LumoSortCacheInfo stored;
    stored.ColorClass = -3;
    stored.Rating = 9; // out of range: stored as 5
    stored.Tag = 1;
    stored.CaptureTime = "2023:12:31 23:59:59.999";
    stored.ModificationTime = 0xFFFF'FFFF'FFFF'FFFFull; // every bit survives the signed column
    stored.FileSize = 1ull << 40;
    stored.ExtraModificationTime = 133'000'000'000'000'000ull;
    stored.ExtraFileSize = 4096;
    LumoSortCache::setSortInfoFor("/Photos/IMG_0001.JPG", stored);
    LumoSortCacheInfo fetched = sampleInfo(7);
    const LumoSortCacheInfo untouched = fetched;
    EXPECT_FALSE(LumoSortCache::GetSortInfoFor("/photos/img_0001.jpg", fetched)); // case matters
    EXPECT_EQ(fetched, untouched);
    ASSERT_TRUE(LumoSortCache::GetSortInfoFor("/Photos/IMG_0001.JPG", fetched));
    stored.Rating = 5;
    EXPECT_EQ(fetched, stored);
    EXPECT_EQ(fetched.toLogString(),
              "color class:-3, rating:5, tag:1, capture time:2023:12:31 23:59:59.999, modification "
              "time:18446744073709551615, file size:1099511627776, xmp mod time:133000000000000000, xmp file "
              "size:4096");

    // The real files of the corpus, keyed by their full paths.
    std::vector<std::string> corpus;
    if (const std::string folder = lumo::test::corpusFolder(); !folder.empty())
        for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
            if (entry.is_regular_file() && corpus.size() < 200)
                corpus.push_back(entry.path().string());
    for (std::size_t i = 0; i < corpus.size(); ++i) {
        LumoSortCacheInfo info = sampleInfo(static_cast<int>(i));
        info.FileSize = std::filesystem::file_size(corpus[i]);
        LumoSortCache::setSortInfoFor(corpus[i], info);
    }
    for (std::size_t i = 0; i < corpus.size(); ++i) {
        LumoSortCacheInfo info;
        ASSERT_TRUE(LumoSortCache::GetSortInfoFor(corpus[i], info)) << corpus[i];
        EXPECT_EQ(info.FileSize, std::filesystem::file_size(corpus[i]));
    }
    LumoSortCache::TerminateSortCache();

    // The file holds the schema of version 3, and rows keyed by the path digest.
    SQLiteDB db;
    db.open(cache.dbPath());
    EXPECT_EQ(db.getTable("SELECT sql FROM sqlite_master WHERE name = 'version_data'").fieldValue(0),
              std::string(kVersionSchema));
    EXPECT_EQ(db.getTable("SELECT sql FROM sqlite_master WHERE name = 'sort_data'").fieldValue(0),
              std::string(kSortSchema));
    EXPECT_EQ(db.execScalar("SELECT VersionValue FROM version_data WHERE VersionKey = 'VersionNum'"), 3);
    EXPECT_EQ(db.execScalar("SELECT count(*) FROM sort_data WHERE key = '" +
                            lumo::pathDigest("/Photos/IMG_0001.JPG") + "' AND length(key) = 32"),
              1);
    EXPECT_EQ(db.execScalar("SELECT count(*) FROM sort_data"), static_cast<int>(corpus.size()) + 1);
    // The sqlite3 program reads the same row.
    const auto shell = lumo::test::runProcess(
        "/usr/bin/sqlite3",
        {cache.dbPath(), "SELECT Rating, FileSize FROM sort_data WHERE CaptureTime LIKE '2023%'"});
    EXPECT_EQ(shell.out, "5|1099511627776\n") << shell.err;
}

TEST(LumoSortCacheTest, OlderVersionLosesItsRows) {
    TempDir dir;
    seedDatabase(dir.file(kSortCacheFileName), 2,
                 "'" + lumo::pathDigest(photo(1)) + "', 0, 4, 0, '', 0, 0, 0, 0, 0");
    const int warnings = occurrences(logText(), "validateVersion() wrong version (2 != 3), dropping tables");
    LumoSortCache::InitSortCache(dir.path());
    EXPECT_FALSE(found(photo(1)));
    LumoSortCache::TerminateSortCache();
    EXPECT_EQ(occurrences(logText(), "validateVersion() wrong version (2 != 3), dropping tables"),
              warnings + 1);
    SQLiteDB db;
    db.open(dir.file(kSortCacheFileName));
    EXPECT_EQ(db.execScalar("SELECT VersionValue FROM version_data WHERE VersionKey = 'VersionNum'"), 3);
    EXPECT_EQ(db.execScalar("SELECT count(*) FROM sort_data"), 0);
}

TEST(LumoSortCacheTest, StoresCommitInBatchesOfAHundredAndAtShutdown) {
    TempDir dir;
    const std::string dbPath = dir.file(kSortCacheFileName);
    LumoSortCache::InitSortCache(dir.path());
    for (int i = 0; i < 99; ++i)
        LumoSortCache::setSortInfoFor(photo(i), sampleInfo(i));
    EXPECT_TRUE(found(photo(98)));       // the worker has done all 99 ...
    EXPECT_EQ(committedRows(dbPath), 0); // ... inside its open transaction
    LumoSortCache::TerminateSortCache();
    EXPECT_EQ(committedRows(dbPath), 99);

    // A burst of 100 with nothing queued behind its last store commits at once, without shutdown.
    LumoSortCache::InitSortCache(dir.path());
    for (int i = 100; i < 200; ++i)
        LumoSortCache::setSortInfoFor(photo(i), sampleInfo(i));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (committedRows(dbPath) < 199 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(committedRows(dbPath), 199);
    LumoSortCache::TerminateSortCache();
}

TEST(LumoSortCacheTest, PurgesOneAllAndByAge) {
    TempDir dir;
    const std::string dbPath = dir.file(kSortCacheFileName);
    seedDatabase(dbPath, 3, // a row stored 31 days ago
                 "'" + lumo::pathDigest(photo(0)) + "', 0, 0, 0, '', 0, 0, 0, 0, " +
                     std::to_string(std::time(nullptr) - 31 * 86400));
    LumoSortCache::InitSortCache(dir.path());
    for (int i = 1; i <= 3; ++i)
        LumoSortCache::setSortInfoFor(photo(i), sampleInfo(i));
    LumoSortCache::purgeEntriesDaysOld(30);
    EXPECT_FALSE(found(photo(0)));
    EXPECT_TRUE(found(photo(1)));
    // A period reaching back before 1970 deletes nothing.
    LumoSortCache::purgeEntriesDaysOld(1'000'000);
    EXPECT_TRUE(found(photo(1)));

    LumoSortCache::purgeSortInfoFor(photo(1));
    EXPECT_FALSE(found(photo(1)));
    EXPECT_TRUE(found(photo(2)));
    LumoSortCache::purgeEntriesDaysOld(0); // everything stored up to this second
    EXPECT_FALSE(found(photo(2)));
    EXPECT_FALSE(found(photo(3)));

    LumoSortCache::setSortInfoFor(photo(4), sampleInfo(4));
    LumoSortCache::setSortInfoFor(photo(5), sampleInfo(5));
    LumoSortCache::purgeEntries(); // waits
    EXPECT_FALSE(found(photo(4)));
    EXPECT_FALSE(found(photo(5)));
    LumoSortCache::TerminateSortCache();
    EXPECT_EQ(committedRows(dbPath), 0);
}

TEST(LumoSortCacheTest, DamagedFileIsReplacedAndUnopenableFolderIsSurvived) {
    {
        RunningCache cache;
        LumoSortCache::TerminateSortCache();
        lumo::test::writeWholeFile(cache.dbPath(), std::string(8192, '\x5a'));
        const int before = occurrences(logText(), "re_create() creating new sort database.");
        LumoSortCache::InitSortCache(cache.dir.path());
        LumoSortCache::setSortInfoFor(photo(1), sampleInfo(1));
        LumoSortCacheInfo info;
        EXPECT_TRUE(LumoSortCache::GetSortInfoFor(photo(1), info));
        EXPECT_EQ(info, sampleInfo(1));
        LumoSortCache::TerminateSortCache();
        EXPECT_EQ(occurrences(logText(), "re_create() creating new sort database."), before + 1);
        EXPECT_EQ(lumo::test::readWholeFile(cache.dbPath()).substr(0, 16),
                  std::string("SQLite format 3\0", 16));
        EXPECT_EQ(committedRows(cache.dbPath()), 1);
    }

    // A folder below a plain file can never be made: three attempts, then the cache works without a file.
    TempDir dir;
    lumo::test::writeWholeFile(dir.file("plain"), "x");
    const int before = occurrences(logText(), "re_create() creating new sort database.");
    LumoSortCache::InitSortCache(dir.file("plain") + "/cache");
    LumoSortCache::setSortInfoFor(photo(1), sampleInfo(1));
    EXPECT_FALSE(found(photo(1)));
    LumoSortCache::purgeSortInfoFor(photo(1));
    LumoSortCache::purgeEntriesDaysOld(1);
    LumoSortCache::purgeEntries();
    LumoSortCache::TerminateSortCache();
    EXPECT_EQ(occurrences(logText(), "re_create() creating new sort database."), before + 3);
}

TEST(LumoSortCacheTest, ImplRecoversFromAFailingStatementAndCompacts) {
    TempDir dir;
    LumoSortCacheImpl impl(dir.path());
    ASSERT_TRUE(impl.isOpen());
    LumoSortDataCommand command;
    command.m_key = lumo::pathDigest(photo(1));
    command.m_info = sampleInfo(1);
    {
        // Another connection drops the table while the worker holds no lock yet: the next store fails
        // with SQLITE_ERROR, and the file is made anew.
        SQLiteDB other;
        other.open(impl.databasePath());
        other.execDML("DROP TABLE sort_data");
    }
    impl.storeSortData(command, false);
    ASSERT_TRUE(impl.isOpen());
    impl.storeSortData(command, false);
    for (int i = 2; i < 300; ++i) {
        LumoSortDataCommand more;
        more.m_key = lumo::pathDigest(photo(i));
        impl.storeSortData(more, true);
    }
    impl.purgeEntriesDaysOld(0);
    impl.compact();
    impl.storeSortData(command, false);
    LumoSortDataCommand fetch;
    fetch.m_key = command.m_key;
    ASSERT_TRUE(impl.fetchSortData(fetch));
    EXPECT_EQ(fetch.m_info, sampleInfo(1));
}

TEST(LumoSortCacheTest, CallsOutsideItsLifetimeAreIgnoredAndThreadsShareIt) {
    LumoSortCache::TerminateSortCache(); // never started: nothing happens
    LumoSortCache::setSortInfoFor(photo(1), sampleInfo(1));
    LumoSortCache::purgeSortInfoFor(photo(1));
    LumoSortCache::purgeEntriesDaysOld(0);
    LumoSortCache::purgeEntries();
    EXPECT_FALSE(found(photo(1)));
    EXPECT_FALSE(LumoSortCache::isRunning());

    TempDir other;
    {
        RunningCache cache;
        LumoSortCache::InitSortCache(other.path()); // a second start does nothing
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([t] {
                for (int i = t * 1000; i < t * 1000 + 150; ++i) {
                    LumoSortCache::setSortInfoFor(photo(i), sampleInfo(i));
                    LumoSortCacheInfo info;
                    EXPECT_TRUE(LumoSortCache::GetSortInfoFor(photo(i), info));
                    EXPECT_EQ(info, sampleInfo(i));
                }
            });
        for (auto& thread : threads)
            thread.join();
        LumoSortCache::TerminateSortCache();
        EXPECT_EQ(committedRows(cache.dbPath()), 600);
        EXPECT_FALSE(std::filesystem::exists(other.file(kSortCacheFileName)));
    }
    LumoSortCache::setSortInfoFor(photo(1), sampleInfo(1)); // after termination
    EXPECT_FALSE(found(photo(1)));
    std::vector<LumoSortCacheInfo> rows;
    std::vector<bool> foundMany;
    LumoSortCache::GetSortInfoForMany({photo(1), photo(2)}, rows, foundMany);
    EXPECT_EQ(foundMany, (std::vector<bool>{false, false}));
}

} // namespace
