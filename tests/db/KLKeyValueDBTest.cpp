#include "db/KLKeyValueDB.h"
#include "SQLiteLockHolder.h"
#include "db/SQLiteWrapper.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

using CILA::VObject;
using lumo::test::TempDir;
using Integrity = KLKeyValueDB::Integrity;
using Outcome = KLKeyValueDB::Outcome;

namespace {

std::vector<std::string> keysOf(KLKeyValueDB& store) {
    std::vector<std::string> keys;
    EXPECT_TRUE(store.allKeys(keys));
    return keys;
}

VObject sample() {
    VObject value = VObject::makeHash();
    VObject list = VObject::makeVector();
    list.append(1);
    list.append(-1.5);
    list.append("text");
    value.store("list", list);
    value.store("flag", true);
    value.store("nothing", nullptr);
    return value;
}

// The rows of the file as another program sees them: key and hex(value).
std::vector<std::pair<std::string, std::string>> rowsOf(const std::string& path) {
    SQLiteDB db;
    db.open(path);
    std::vector<std::pair<std::string, std::string>> rows;
    for (SQLiteQuery q = db.execQuery("SELECT key, hex(value) FROM key_value ORDER BY key"); !q.eof();
         q.nextRow())
        rows.emplace_back(q.getStringField(0), q.getStringField(1));
    return rows;
}

} // namespace

TEST(KLKeyValueDB, StoresFetchesAndDeletes) {
    TempDir dir;
    const std::string path = dir.file("sub/folder/store.db"); // folders are made
    {
        auto store = KLKeyValueDB::create(path);
        ASSERT_TRUE(store->isOpen());
        EXPECT_TRUE(store->storeKeyValue("Answer", 31));
        EXPECT_TRUE(store->storeKeyValue("Answer", 32)); // the second value wins, in one row
        EXPECT_TRUE(store->storeKeyValue("Nested", sample()));
        EXPECT_TRUE(store->storeKeyValue("Gone", "soon"));
        EXPECT_EQ(store->removeKeyValue("Gone"), Outcome::Done);
        EXPECT_EQ(store->removeKeyValue("Gone"), Outcome::Absent);
        EXPECT_FALSE(store->deleteKeyValue("Gone"));

        VObject value("untouched");
        EXPECT_EQ(store->lookupKeyValue("Missing", value), Outcome::Absent);
        EXPECT_EQ(value, VObject("untouched"));
        EXPECT_TRUE(store->fetchKeyValue("Nested", value));
        EXPECT_EQ(value, sample());
        EXPECT_EQ(keysOf(*store), (std::vector<std::string>{"Answer", "Nested"}));
        EXPECT_TRUE(store->endTransaction());
        EXPECT_TRUE(store->compact());
        EXPECT_TRUE(store->fetchKeyValue("Answer", value));
        EXPECT_EQ(value, VObject(32));
    }
    const auto rows = rowsOf(path);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], (std::pair<std::string, std::string>{"Answer", "A001"}));

    // A value that cannot be stored (too deep) is refused without harm.
    VObject deep = VObject::makeVector();
    for (int i = 0; i < 70; ++i) {
        VObject outer = VObject::makeVector();
        outer.append(deep);
        deep = outer;
    }
    auto store = KLKeyValueDB::create(path);
    EXPECT_FALSE(store->storeKeyValue("Deep", deep));
    EXPECT_EQ(keysOf(*store).size(), 2u);
}

TEST(KLKeyValueDB, OnlyCommittedWritesSurviveAKill) {
    TempDir dir;
    const std::string path = dir.file("store.db");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto store = KLKeyValueDB::create(path);
        store->storeKeyValue("committed", 1);
        store->endTransaction();
        store->storeKeyValue("uncommitted", 2);
        store->storeKeyValue("committed", 3); // overwrites inside the open transaction
        kill(getpid(), SIGKILL);
        _exit(1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));

    auto store = KLKeyValueDB::create(path);
    VObject value;
    EXPECT_TRUE(store->fetchKeyValue("committed", value));
    EXPECT_EQ(value, VObject(1));
    EXPECT_FALSE(store->fetchKeyValue("uncommitted", value));

    // An orderly close commits what is open.
    store->storeKeyValue("kept", 4);
    store.reset();
    EXPECT_TRUE(KLKeyValueDB::create(path)->fetchKeyValue("kept", value));
    EXPECT_EQ(value, VObject(4));
}

TEST(KLKeyValueDB, IntegrityCheckTellsSoundFromDamaged) {
    TempDir dir;
    const std::string path = dir.file("store.db");
    {
        auto store = KLKeyValueDB::create(path);
        for (int i = 0; i < 2000; ++i)
            store->storeKeyValue("key" + std::to_string(i), std::string(100, 'v'));
        store->endTransaction();
        EXPECT_TRUE(store->integrityCheckDB());
    }
    // Damage inside the file, past its header: it opens, but the check fails.
    std::string bytes = lumo::test::readWholeFile(path);
    ASSERT_GT(bytes.size(), 64u * 1024);
    for (std::size_t i = 8192; i < 40960; ++i)
        bytes[i] = static_cast<char>(i * 37);
    lumo::test::writeWholeFile(path, bytes);
    EXPECT_EQ(KLKeyValueDB::create(path)->checkIntegrity(), Integrity::Damaged);
    EXPECT_FALSE(KLKeyValueDB::create(path)->integrityCheckDB());

    // Not a database at all: it does not open, every operation answers false.
    lumo::test::writeWholeFile(path, std::string(5000, 'x'));
    auto store = KLKeyValueDB::create(path);
    EXPECT_FALSE(store->isOpen());
    EXPECT_EQ(store->checkIntegrity(), Integrity::Damaged);
    EXPECT_FALSE(store->storeKeyValue("a", 1));
    VObject value(7);
    EXPECT_EQ(store->lookupKeyValue("a", value), Outcome::Failed);
    EXPECT_EQ(value, VObject(7));
}

TEST(KLKeyValueDB, AStoreLockedByAnotherProcessIsWaitedForAndNeverCalledDamagedOrEmpty) {
    TempDir dir;
    const std::string path = dir.file("store.db");
    {
        auto store = KLKeyValueDB::create(path);
        store->storeKeyValue("Kept", 1);
        store->endTransaction();
    }
    // A lock held for a moment is waited for: opening, checking, writing and committing all succeed.
    {
        SQLiteLockHolder holder(path, std::chrono::milliseconds(400));
        auto store = KLKeyValueDB::create(path);
        EXPECT_EQ(store->checkIntegrity(), Integrity::Sound);
        EXPECT_TRUE(store->storeKeyValue("Written", 2));
        EXPECT_TRUE(store->endTransaction());
    }
    // One held beyond the busy timeout: a failure, never damage or absence.
    auto store = KLKeyValueDB::create(path, 100);
    ASSERT_TRUE(store->isOpen());
    SQLiteLockHolder holder(path, std::chrono::milliseconds(1500));
    EXPECT_EQ(store->checkIntegrity(), Integrity::Unchecked);
    VObject value;
    EXPECT_EQ(store->lookupKeyValue("Kept", value), Outcome::Failed);
    EXPECT_FALSE(store->backupTo(dir.file("copy.db")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("copy.db")));
    EXPECT_EQ(store->removeKeyValue("Kept"), Outcome::Failed);
    EXPECT_EQ(store->removeKeyValue("Missing"), Outcome::Failed);
    std::vector<std::string> keys;
    EXPECT_FALSE(store->allKeys(keys));
}

TEST(KLKeyValueDB, BackupIsASnapshotOfWhatIsCommitted) {
    TempDir dir;
    const std::string path = dir.file("store.db"), copy = dir.file("store.db.bak");
    lumo::test::writeWholeFile(copy, "an older copy");
    auto store = KLKeyValueDB::create(path);
    store->storeKeyValue("Committed", 1);
    store->endTransaction();
    store->storeKeyValue("Open", 2);
    EXPECT_FALSE(store->backupTo(copy)); // uncommitted writes never reach the copy
    EXPECT_EQ(lumo::test::readWholeFile(copy), "an older copy");
    store->endTransaction();
    ASSERT_TRUE(store->backupTo(copy));
    store->storeKeyValue("Open", 3); // written after the copy
    store->endTransaction();
    auto copied = KLKeyValueDB::create(copy);
    VObject value;
    EXPECT_TRUE(copied->fetchKeyValue("Open", value));
    EXPECT_EQ(value, VObject(2));
    EXPECT_EQ(keysOf(*copied), (std::vector<std::string>{"Committed", "Open"}));
    copied.reset();
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path()))
        ++files;
    EXPECT_EQ(files, 2u); // no temporary file left
}
