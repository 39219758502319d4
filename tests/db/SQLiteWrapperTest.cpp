#include "db/SQLiteWrapper.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using lumo::test::TempDir;

namespace {

// Runs `body` and answers the code of the SQLiteException it threw (-1 when none).
template <typename Body>
int errorCodeOf(Body body, std::string* what = nullptr) {
    try {
        body();
    } catch (const SQLiteException& e) {
        if (what)
            *what = e.what();
        return e.errorCode();
    }
    return -1;
}

TEST(SQLiteWrapperTest, FailuresCarryThePrimaryCodeAndText) {
    TempDir dir;
    SQLiteDB db;
    EXPECT_EQ(errorCodeOf([&] { db.execDML("CREATE TABLE t (a)"); }), kSQLiteWrapperError); // not open

    db.open(dir.file("w.db"));
    db.execDML("CREATE TABLE t (k TEXT, UNIQUE(k))");
    std::string what;
    EXPECT_EQ(errorCodeOf([&] { db.execDML("SELEC 1"); }, &what), 1);
    EXPECT_EQ(what.rfind("SQLITE_ERROR[1]: ", 0), 0u) << what;
    db.execDML("INSERT INTO t VALUES ('a')");
    // A UNIQUE failure is SQLITE_CONSTRAINT_UNIQUE (2067) inside SQLite; callers see the primary 19.
    EXPECT_EQ(errorCodeOf([&] { db.execDML("INSERT INTO t VALUES ('a')"); }, &what), 19);
    EXPECT_NE(what.find("UNIQUE constraint failed: t.k"), std::string::npos) << what;
    SQLiteStatement insert = db.compileStatement("INSERT INTO t VALUES (?)");
    insert.bind(1, "a");
    EXPECT_EQ(errorCodeOf([&] { insert.execDML(); }), 19);
    insert.bind(1, "b"); // usable again after the failure
    EXPECT_EQ(insert.execDML(), 1);

    // Misuse is the wrapper's own error.
    SQLiteQuery query = db.execQuery("SELECT k FROM t ORDER BY k");
    EXPECT_EQ(errorCodeOf([&] { query.getStringField(1); }), kSQLiteWrapperError);
    EXPECT_EQ(errorCodeOf([&] { query.fieldIndex("nope"); }), kSQLiteWrapperError);
    query.nextRow();
    query.nextRow();
    EXPECT_TRUE(query.eof());
    EXPECT_EQ(errorCodeOf([&] { query.getStringField(0); }), kSQLiteWrapperError);
    insert.finalize();
    EXPECT_EQ(errorCodeOf([&] { insert.bind(1, 5); }), kSQLiteWrapperError);
    EXPECT_EQ(errorCodeOf([&] { insert.execDML(); }), kSQLiteWrapperError);

    // Opening: a missing folder cannot be opened; a file of garbage is not a database.
    SQLiteDB other;
    EXPECT_EQ(errorCodeOf([&] { other.open(dir.file("missing/x.db")); }), 14);
    EXPECT_FALSE(other.isOpen());
    lumo::test::writeWholeFile(dir.file("junk.db"), std::string(4096, 'J'));
    other.open(dir.file("junk.db"));
    EXPECT_EQ(errorCodeOf([&] { other.execScalar("SELECT count(*) FROM sqlite_master"); }, &what), 26);
    EXPECT_EQ(what, "SQLITE_NOTADB[26]: file is not a database");
}

TEST(SQLiteWrapperTest, ValuesRoundTripThroughNamedParameters) {
    TempDir dir;
    SQLiteDB db;
    db.open(dir.file("v.db"));
    db.execDML("CREATE TABLE v (key TEXT, i INTEGER, big INTEGER, f REAL, t TEXT, b BLOB)");
    EXPECT_TRUE(db.tableExists("v"));
    EXPECT_FALSE(db.tableExists("w"));

    SQLiteStatement store = db.compileStatement("INSERT INTO v VALUES (:key, :i, :big, :f, :t, :b)");
    EXPECT_EQ(store.bindParameterIndex(":key"), 1);
    EXPECT_EQ(store.bindParameterIndex(":b"), 6);
    EXPECT_EQ(store.bindParameterIndex(":none"), 0);
    const std::string text("caf\xc3\xa9\0tail", 10); // UTF-8 with a NUL inside
    const unsigned char blob[] = {0, 1, 0xff, 0, 7};
    store.bind(store.bindParameterIndex(":key"), "full");
    store.bind(2, -7);
    store.bind(3, std::int64_t{-9'000'000'000'000'000'000});
    store.bind(4, 2.5);
    store.bind(5, std::string_view(text));
    store.bindBlob(6, blob, sizeof blob);
    EXPECT_EQ(store.execDML(), 1);
    store.bind(1, "nulls"); // bindings stay: replace some with NULL and empty values
    for (int p = 2; p <= 4; ++p)
        store.bindNull(p);
    store.bind(5, std::string_view());
    store.bindBlob(6, nullptr, 0);
    EXPECT_EQ(store.execDML(), 1);

    SQLiteStatement fetch = db.compileStatement("SELECT * FROM v WHERE key = :key");
    fetch.bind(fetch.bindParameterIndex(":key"), "full");
    SQLiteQuery row = fetch.execQuery();
    ASSERT_FALSE(row.eof());
    EXPECT_EQ(row.numFields(), 6);
    EXPECT_EQ(row.fieldIndex("big"), 2);
    EXPECT_EQ(row.getIntField(1), -7);
    EXPECT_EQ(row.getInt64Field(2), -9'000'000'000'000'000'000);
    EXPECT_EQ(row.getFloatField(3), 2.5);
    EXPECT_EQ(row.getStringField(4), text);
    int length = 0;
    const std::uint8_t* bytes = row.getBlobField(5, length);
    ASSERT_EQ(length, 5);
    EXPECT_EQ(std::memcmp(bytes, blob, sizeof blob), 0);

    // Bound again while the query above is mid-result: the statement is reset for it.
    fetch.bind(1, "nulls");
    row = fetch.execQuery();
    ASSERT_FALSE(row.eof());
    EXPECT_TRUE(row.fieldIsNull(1));
    EXPECT_EQ(row.getIntField(1, 42), 42);
    EXPECT_EQ(row.getInt64Field(2, -1), -1);
    EXPECT_EQ(row.getFloatField(3, 0.5), 0.5);
    EXPECT_FALSE(row.fieldIsNull(4)); // empty text and empty blob are values, not NULL
    EXPECT_EQ(row.getStringField(4, "x"), "");
    EXPECT_FALSE(row.fieldIsNull(5));
    EXPECT_EQ(row.getBlobField(5, length), nullptr);
    EXPECT_EQ(length, 0);
    row.nextRow();
    EXPECT_TRUE(row.eof());

    EXPECT_EQ(db.execScalar("SELECT count(*) FROM v"), 2);
    EXPECT_EQ(db.execScalar("SELECT i FROM v WHERE key = 'nulls'", 11), 11);
    EXPECT_EQ(db.execScalar("SELECT i FROM v WHERE key = 'absent'", 12), 12);
    SQLiteTable table = db.getTable("SELECT key, i FROM v ORDER BY key");
    ASSERT_EQ(table.numRows(), 2);
    ASSERT_EQ(table.numFields(), 2);
    EXPECT_STREQ(table.fieldValue(0), "full");
    EXPECT_STREQ(table.fieldValue(1), "-7");
    table.setRow(1);
    EXPECT_TRUE(table.fieldIsNull(1));
    EXPECT_EQ(db.execDML("UPDATE v SET i = 1"), 2);
    EXPECT_EQ(db.execDML("BEGIN TRANSACTION"), 0);
    EXPECT_EQ(db.execDML("COMMIT TRANSACTION"), 0);
}

} // namespace
