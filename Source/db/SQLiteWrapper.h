#pragma once

// A thin layer over the SQLite C API. Every failure throws SQLiteException carrying SQLite's own
// (primary) result code and message; misuse of the wrapper (no open database, a finalized statement,
// a column out of range, an unknown column name) throws with kSQLiteWrapperError. Destructors never
// throw. A connection is opened without SQLite's own mutexes: one thread owns it and every object it
// hands out. Other processes may use the same file: a connection that finds it locked waits up to its
// busy timeout (kDefaultBusyTimeoutMs unless changed) before failing with SQLITE_BUSY.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

inline constexpr int kSQLiteWrapperError = 1000; // the wrapper's own error code
inline constexpr int kDefaultBusyTimeoutMs = 10000;

class SQLiteException : public std::exception {
public:
    SQLiteException(int code, std::string text);
    int errorCode() const { return m_code; }
    // "<code name>[<code>]: <text>", e.g. "SQLITE_CORRUPT[11]: database disk image is malformed".
    const char* what() const noexcept override { return m_message.c_str(); }

private:
    int m_code;
    std::string m_message;
};

// The rows of a query, positioned on the first row (or at eof()). Owns its statement when made by
// SQLiteDB::execQuery (finalized when the query goes); borrows it when made by SQLiteStatement::execQuery
// (valid until that statement is bound, run, reset or finalized again). Move-only.
class SQLiteQuery {
public:
    SQLiteQuery() = default;
    ~SQLiteQuery();
    SQLiteQuery(SQLiteQuery&& other) noexcept;
    SQLiteQuery& operator=(SQLiteQuery&& other) noexcept;
    SQLiteQuery(const SQLiteQuery&) = delete;
    SQLiteQuery& operator=(const SQLiteQuery&) = delete;

    bool eof() const { return m_eof; }
    void nextRow();
    int numFields() const;
    int fieldIndex(const char* name) const;
    const char* fieldName(int col) const;
    bool fieldIsNull(int col) const;
    int getIntField(int col, int nullValue = 0) const;
    std::int64_t getInt64Field(int col, std::int64_t nullValue = 0) const;
    double getFloatField(int col, double nullValue = 0.0) const;
    std::string getStringField(int col, const std::string& nullValue = "") const;
    // Null (length 0) for a NULL or empty value; valid until the next row.
    const std::uint8_t* getBlobField(int col, int& length) const;
    void finalize();

private:
    friend class SQLiteDB;
    friend class SQLiteStatement;
    SQLiteQuery(sqlite3* db, sqlite3_stmt* stmt, bool owned, bool eof);
    void checkColumn(int col) const;

    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_stmt = nullptr;
    bool m_owned = false;
    bool m_eof = true;
};

// A prepared statement. Parameters are numbered from 1; bindParameterIndex maps ":name" to its number.
// Move-only; finalized when it goes.
class SQLiteStatement {
public:
    SQLiteStatement() = default;
    ~SQLiteStatement();
    SQLiteStatement(SQLiteStatement&& other) noexcept;
    SQLiteStatement& operator=(SQLiteStatement&& other) noexcept;
    SQLiteStatement(const SQLiteStatement&) = delete;
    SQLiteStatement& operator=(const SQLiteStatement&) = delete;

    void bind(int param, int value);
    void bind(int param, std::int64_t value);
    void bind(int param, double value);
    void bind(int param, std::string_view text); // copied by SQLite
    void bind(int param, const char* text) { bind(param, std::string_view(text)); }
    void bindBlob(int param, const void* data, std::size_t size); // copied by SQLite
    void bindNull(int param);
    int bindParameterIndex(const char* name) const; // e.g. ":key"; 0 when there is no such parameter

    int execDML();           // runs it, answers the rows changed, resets it (bindings stay)
    SQLiteQuery execQuery(); // the rows, borrowing this statement (see SQLiteQuery)
    void reset();            // ready to run again; bindings stay
    void finalize();
    bool isFinalized() const { return m_stmt == nullptr; }

private:
    friend class SQLiteDB;
    SQLiteStatement(sqlite3* db, sqlite3_stmt* stmt) : m_db(db), m_stmt(stmt) {}
    void checkReady() const;
    sqlite3_stmt* ready();
    void checkBind(int rc) const;

    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_stmt = nullptr;
    bool m_queried = false; // a query may have left it mid-result: reset before the next bind or run
};

// A whole result held in memory as text.
class SQLiteTable {
public:
    int numFields() const { return m_numFields; }
    int numRows() const { return m_numRows; }
    void setRow(int row);
    const char* fieldValue(int col) const; // null for NULL
    bool fieldIsNull(int col) const { return fieldValue(col) == nullptr; }

private:
    friend class SQLiteDB;
    void checkColumn(int col) const;

    int m_numFields = 0;
    int m_numRows = 0;
    int m_row = 0;
    std::vector<std::string> m_values; // numRows * numFields
    std::vector<bool> m_nulls;
};

class SQLiteDB {
public:
    SQLiteDB() = default;
    ~SQLiteDB();
    SQLiteDB(SQLiteDB&& other) noexcept;
    SQLiteDB& operator=(SQLiteDB&& other) noexcept;
    SQLiteDB(const SQLiteDB&) = delete;
    SQLiteDB& operator=(const SQLiteDB&) = delete;

    void open(const std::string& path); // read-write, created when missing
    // Closes the connection. Never fails: one whose statements are still alive lingers inside SQLite until
    // the last of them is finalized.
    void close();
    bool isOpen() const { return m_db != nullptr; }

    int execDML(const std::string& sql); // answers the rows changed
    SQLiteQuery execQuery(const std::string& sql);
    int execScalar(const std::string& sql, int nullValue = 0); // first column of the first row
    SQLiteTable getTable(const std::string& sql);
    SQLiteStatement compileStatement(const std::string& sql);
    bool tableExists(const std::string& table);
    void setBusyTimeout(int milliseconds);
    // Copies the whole database, as one consistent snapshot of what is committed, into a new database
    // file at `path` (whatever is there is overwritten). Waits for a writer of the source like any read.
    void backupTo(const std::string& path);
    std::int64_t lastRowId() const;
    sqlite3* handle() { return m_db; }

private:
    sqlite3* checkOpen() const;
    sqlite3_stmt* prepare(const std::string& sql);

    sqlite3* m_db = nullptr;
};
