#include "db/KLKeyValueDB.h"
#include "db/SQLiteWrapper.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

using CILA::VObject;
using lumo::test::TempDir;

namespace {

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
        EXPECT_TRUE(store->deleteKeyValue("Gone"));
        EXPECT_FALSE(store->deleteKeyValue("Gone"));

        VObject value("untouched");
        EXPECT_FALSE(store->fetchKeyValue("Missing", value));
        EXPECT_EQ(value, VObject("untouched"));
        EXPECT_TRUE(store->fetchKeyValue("Nested", value));
        EXPECT_EQ(value, sample());
        EXPECT_EQ(store->allKeys(), (std::vector<std::string>{"Answer", "Nested"}));
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
    EXPECT_EQ(store->allKeys().size(), 2u);
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
    EXPECT_FALSE(KLKeyValueDB::create(path)->integrityCheckDB());

    // Not a database at all: it does not open, every operation answers false.
    lumo::test::writeWholeFile(path, std::string(5000, 'x'));
    auto store = KLKeyValueDB::create(path);
    EXPECT_FALSE(store->isOpen());
    EXPECT_FALSE(store->integrityCheckDB());
    EXPECT_FALSE(store->storeKeyValue("a", 1));
    VObject value(7);
    EXPECT_FALSE(store->fetchKeyValue("a", value));
    EXPECT_EQ(value, VObject(7));
}
