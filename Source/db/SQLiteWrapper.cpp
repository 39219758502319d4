#include "db/SQLiteWrapper.h"

#include <sqlite3.h>

#include <cstring>
#include <utility>

namespace {

const char* codeName(int code) {
    switch (code) {
    case SQLITE_OK:
        return "SQLITE_OK";
    case SQLITE_ERROR:
        return "SQLITE_ERROR";
    case SQLITE_INTERNAL:
        return "SQLITE_INTERNAL";
    case SQLITE_PERM:
        return "SQLITE_PERM";
    case SQLITE_ABORT:
        return "SQLITE_ABORT";
    case SQLITE_BUSY:
        return "SQLITE_BUSY";
    case SQLITE_LOCKED:
        return "SQLITE_LOCKED";
    case SQLITE_NOMEM:
        return "SQLITE_NOMEM";
    case SQLITE_READONLY:
        return "SQLITE_READONLY";
    case SQLITE_INTERRUPT:
        return "SQLITE_INTERRUPT";
    case SQLITE_IOERR:
        return "SQLITE_IOERR";
    case SQLITE_CORRUPT:
        return "SQLITE_CORRUPT";
    case SQLITE_NOTFOUND:
        return "SQLITE_NOTFOUND";
    case SQLITE_FULL:
        return "SQLITE_FULL";
    case SQLITE_CANTOPEN:
        return "SQLITE_CANTOPEN";
    case SQLITE_PROTOCOL:
        return "SQLITE_PROTOCOL";
    case SQLITE_EMPTY:
        return "SQLITE_EMPTY";
    case SQLITE_SCHEMA:
        return "SQLITE_SCHEMA";
    case SQLITE_TOOBIG:
        return "SQLITE_TOOBIG";
    case SQLITE_CONSTRAINT:
        return "SQLITE_CONSTRAINT";
    case SQLITE_MISMATCH:
        return "SQLITE_MISMATCH";
    case SQLITE_MISUSE:
        return "SQLITE_MISUSE";
    case SQLITE_NOLFS:
        return "SQLITE_NOLFS";
    case SQLITE_AUTH:
        return "SQLITE_AUTH";
    case SQLITE_FORMAT:
        return "SQLITE_FORMAT";
    case SQLITE_RANGE:
        return "SQLITE_RANGE";
    case SQLITE_NOTADB:
        return "SQLITE_NOTADB";
    case SQLITE_NOTICE:
        return "SQLITE_NOTICE";
    case SQLITE_WARNING:
        return "SQLITE_WARNING";
    case SQLITE_ROW:
        return "SQLITE_ROW";
    case SQLITE_DONE:
        return "SQLITE_DONE";
    case kSQLiteWrapperError:
        return "WRAPPER_ERROR";
    default:
        return "UNKNOWN_ERROR";
    }
}

// The connection's current error, reduced to its primary code.
[[noreturn]] void throwFromDb(sqlite3* db, int rc) {
    throw SQLiteException(rc & 0xff, db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
}

[[noreturn]] void throwMisuse(const char* text) {
    throw SQLiteException(kSQLiteWrapperError, text);
}

} // namespace

SQLiteException::SQLiteException(int code, std::string text)
    : m_code(code),
      m_message(std::string(codeName(code)) + "[" + std::to_string(code) + "]: " + std::move(text)) {}

// ---- SQLiteQuery

SQLiteQuery::SQLiteQuery(sqlite3* db, sqlite3_stmt* stmt, bool owned, bool eof)
    : m_db(db), m_stmt(stmt), m_owned(owned), m_eof(eof) {}

SQLiteQuery::~SQLiteQuery() {
    finalize();
}

SQLiteQuery::SQLiteQuery(SQLiteQuery&& other) noexcept
    : m_db(other.m_db), m_stmt(std::exchange(other.m_stmt, nullptr)), m_owned(other.m_owned),
      m_eof(std::exchange(other.m_eof, true)) {}

SQLiteQuery& SQLiteQuery::operator=(SQLiteQuery&& other) noexcept {
    if (this != &other) {
        finalize();
        m_db = other.m_db;
        m_stmt = std::exchange(other.m_stmt, nullptr);
        m_owned = other.m_owned;
        m_eof = std::exchange(other.m_eof, true);
    }
    return *this;
}

void SQLiteQuery::finalize() {
    // A borrowed statement is left to its owner, which resets it before it runs or binds again.
    if (m_stmt && m_owned)
        sqlite3_finalize(m_stmt);
    m_stmt = nullptr;
    m_eof = true;
}

void SQLiteQuery::nextRow() {
    if (!m_stmt)
        throwMisuse("query is finalized");
    const int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW)
        return;
    m_eof = true;
    if (rc != SQLITE_DONE) {
        SQLiteException error(rc & 0xff, sqlite3_errmsg(m_db));
        sqlite3_reset(m_stmt);
        throw error;
    }
}

int SQLiteQuery::numFields() const {
    if (!m_stmt)
        throwMisuse("query is finalized");
    return sqlite3_column_count(m_stmt);
}

void SQLiteQuery::checkColumn(int col) const {
    if (!m_stmt)
        throwMisuse("query is finalized");
    if (col < 0 || col >= sqlite3_column_count(m_stmt))
        throwMisuse("field index out of range");
    if (m_eof)
        throwMisuse("no current row");
}

int SQLiteQuery::fieldIndex(const char* name) const {
    const int count = numFields();
    for (int col = 0; name && col < count; ++col) {
        const char* columnName = sqlite3_column_name(m_stmt, col);
        if (columnName && std::strcmp(columnName, name) == 0)
            return col;
    }
    throwMisuse("unknown field name");
}

const char* SQLiteQuery::fieldName(int col) const {
    if (col < 0 || col >= numFields())
        throwMisuse("field index out of range");
    return sqlite3_column_name(m_stmt, col);
}

bool SQLiteQuery::fieldIsNull(int col) const {
    checkColumn(col);
    return sqlite3_column_type(m_stmt, col) == SQLITE_NULL;
}

int SQLiteQuery::getIntField(int col, int nullValue) const {
    return fieldIsNull(col) ? nullValue : sqlite3_column_int(m_stmt, col);
}

std::int64_t SQLiteQuery::getInt64Field(int col, std::int64_t nullValue) const {
    return fieldIsNull(col) ? nullValue : sqlite3_column_int64(m_stmt, col);
}

double SQLiteQuery::getFloatField(int col, double nullValue) const {
    return fieldIsNull(col) ? nullValue : sqlite3_column_double(m_stmt, col);
}

std::string SQLiteQuery::getStringField(int col, const std::string& nullValue) const {
    if (fieldIsNull(col))
        return nullValue;
    const auto* text = sqlite3_column_text(m_stmt, col);
    const int length = sqlite3_column_bytes(m_stmt, col); // after the text: the length of that form
    return text ? std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(length))
                : std::string();
}

const std::uint8_t* SQLiteQuery::getBlobField(int col, int& length) const {
    checkColumn(col);
    const void* data = sqlite3_column_blob(m_stmt, col);
    length = data ? sqlite3_column_bytes(m_stmt, col) : 0;
    return static_cast<const std::uint8_t*>(data);
}

// ---- SQLiteStatement

SQLiteStatement::~SQLiteStatement() {
    finalize();
}

SQLiteStatement::SQLiteStatement(SQLiteStatement&& other) noexcept
    : m_db(other.m_db), m_stmt(std::exchange(other.m_stmt, nullptr)),
      m_queried(std::exchange(other.m_queried, false)) {}

SQLiteStatement& SQLiteStatement::operator=(SQLiteStatement&& other) noexcept {
    if (this != &other) {
        finalize();
        m_db = other.m_db;
        m_stmt = std::exchange(other.m_stmt, nullptr);
        m_queried = std::exchange(other.m_queried, false);
    }
    return *this;
}

void SQLiteStatement::checkReady() const {
    if (!m_stmt)
        throwMisuse("statement is finalized");
}

// Binding and running need a statement in its ready state: one that a query left behind is reset first.
sqlite3_stmt* SQLiteStatement::ready() {
    checkReady();
    if (m_queried) {
        sqlite3_reset(m_stmt);
        m_queried = false;
    }
    return m_stmt;
}

void SQLiteStatement::checkBind(int rc) const {
    if (rc != SQLITE_OK)
        throwFromDb(m_db, rc);
}

void SQLiteStatement::bind(int param, int value) {
    checkBind(sqlite3_bind_int(ready(), param, value));
}

void SQLiteStatement::bind(int param, std::int64_t value) {
    checkBind(sqlite3_bind_int64(ready(), param, value));
}

void SQLiteStatement::bind(int param, double value) {
    checkBind(sqlite3_bind_double(ready(), param, value));
}

void SQLiteStatement::bind(int param, std::string_view text) {
    // An empty view may carry a null pointer, which SQLite would store as NULL: keep it text.
    checkBind(sqlite3_bind_text64(ready(), param, text.data() ? text.data() : "", text.size(),
                                  SQLITE_TRANSIENT, SQLITE_UTF8));
}

void SQLiteStatement::bindBlob(int param, const void* data, std::size_t size) {
    // A zero-length blob, not NULL, when asked to bind no bytes.
    sqlite3_stmt* stmt = ready();
    checkBind(data && size ? sqlite3_bind_blob64(stmt, param, data, size, SQLITE_TRANSIENT)
                           : sqlite3_bind_zeroblob(stmt, param, 0));
}

void SQLiteStatement::bindNull(int param) {
    checkBind(sqlite3_bind_null(ready(), param));
}

int SQLiteStatement::bindParameterIndex(const char* name) const {
    checkReady();
    return sqlite3_bind_parameter_index(m_stmt, name);
}

int SQLiteStatement::execDML() {
    const int rc = sqlite3_step(ready());
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) {
        SQLiteException error(rc & 0xff, sqlite3_errmsg(m_db));
        sqlite3_reset(m_stmt);
        throw error;
    }
    const int changed = sqlite3_changes(m_db);
    sqlite3_reset(m_stmt);
    return changed;
}

SQLiteQuery SQLiteStatement::execQuery() {
    const int rc = sqlite3_step(ready());
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) {
        SQLiteException error(rc & 0xff, sqlite3_errmsg(m_db));
        sqlite3_reset(m_stmt);
        throw error;
    }
    m_queried = true;
    return SQLiteQuery(m_db, m_stmt, false, rc == SQLITE_DONE);
}

void SQLiteStatement::reset() {
    checkReady();
    // The result of sqlite3_reset repeats the last step's error, which was reported then.
    sqlite3_reset(m_stmt);
    m_queried = false;
}

void SQLiteStatement::finalize() {
    if (m_stmt)
        sqlite3_finalize(m_stmt);
    m_stmt = nullptr;
    m_queried = false;
}

// ---- SQLiteTable

void SQLiteTable::setRow(int row) {
    if (row < 0 || row >= m_numRows)
        throwMisuse("row index out of range");
    m_row = row;
}

void SQLiteTable::checkColumn(int col) const {
    if (col < 0 || col >= m_numFields)
        throwMisuse("field index out of range");
    if (m_numRows == 0)
        throwMisuse("no current row");
}

const char* SQLiteTable::fieldValue(int col) const {
    checkColumn(col);
    const std::size_t at = static_cast<std::size_t>(m_row) * static_cast<std::size_t>(m_numFields) +
                           static_cast<std::size_t>(col);
    return m_nulls[at] ? nullptr : m_values[at].c_str();
}

// ---- SQLiteDB

SQLiteDB::~SQLiteDB() {
    close();
}

SQLiteDB::SQLiteDB(SQLiteDB&& other) noexcept : m_db(std::exchange(other.m_db, nullptr)) {}

SQLiteDB& SQLiteDB::operator=(SQLiteDB&& other) noexcept {
    if (this != &other) {
        close();
        m_db = std::exchange(other.m_db, nullptr);
    }
    return *this;
}

void SQLiteDB::open(const std::string& path) {
    close();
    // No SQLite mutexes: a connection has one owner thread. The unix file layer opens every file with
    // O_CLOEXEC, so no database descriptor leaks into programs started by this process.
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &db,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        SQLiteException error(rc & 0xff, db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close_v2(db);
        throw error;
    }
    sqlite3_busy_timeout(db, kDefaultBusyTimeoutMs);
    m_db = db;
}

void SQLiteDB::close() {
    // sqlite3_close_v2 never fails: a connection with statements still open lingers until the last
    // of them is finalized, so statement objects may outlive the close safely.
    if (m_db)
        sqlite3_close_v2(m_db);
    m_db = nullptr;
}

sqlite3* SQLiteDB::checkOpen() const {
    if (!m_db)
        throwMisuse("database is not open");
    return m_db;
}

sqlite3_stmt* SQLiteDB::prepare(const std::string& sql) {
    sqlite3* db = checkOpen();
    sqlite3_stmt* stmt = nullptr;
    const int rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt, nullptr);
    if (rc != SQLITE_OK)
        throwFromDb(db, rc);
    if (!stmt) // only white space or comments
        throwMisuse("empty statement");
    return stmt;
}

int SQLiteDB::execDML(const std::string& sql) {
    sqlite3* db = checkOpen();
    // The difference of the running total counts only what this text changed (0 for BEGIN, CREATE ...).
    const sqlite3_int64 before = sqlite3_total_changes64(db);
    char* message = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
    if (rc != SQLITE_OK) {
        SQLiteException error(rc & 0xff, message ? message : sqlite3_errmsg(db));
        sqlite3_free(message);
        throw error;
    }
    return static_cast<int>(sqlite3_total_changes64(db) - before);
}

SQLiteQuery SQLiteDB::execQuery(const std::string& sql) {
    sqlite3_stmt* stmt = prepare(sql);
    const int rc = sqlite3_step(stmt);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        SQLiteException error(rc & 0xff, sqlite3_errmsg(m_db));
        sqlite3_finalize(stmt);
        throw error;
    }
    return SQLiteQuery(m_db, stmt, true, rc == SQLITE_DONE);
}

int SQLiteDB::execScalar(const std::string& sql, int nullValue) {
    SQLiteQuery query = execQuery(sql);
    if (query.eof() || query.numFields() < 1)
        return nullValue;
    return query.getIntField(0, nullValue);
}

SQLiteTable SQLiteDB::getTable(const std::string& sql) {
    SQLiteQuery query = execQuery(sql);
    SQLiteTable table;
    table.m_numFields = query.numFields();
    for (; !query.eof(); query.nextRow()) {
        for (int col = 0; col < table.m_numFields; ++col) {
            const bool isNull = query.fieldIsNull(col);
            table.m_nulls.push_back(isNull);
            table.m_values.push_back(isNull ? std::string() : query.getStringField(col));
        }
        ++table.m_numRows;
    }
    return table;
}

SQLiteStatement SQLiteDB::compileStatement(const std::string& sql) {
    return SQLiteStatement(m_db, prepare(sql));
}

bool SQLiteDB::tableExists(const std::string& table) {
    SQLiteStatement stmt =
        compileStatement("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = ?");
    stmt.bind(1, std::string_view(table));
    SQLiteQuery query = stmt.execQuery();
    return !query.eof() && query.getIntField(0) > 0;
}

void SQLiteDB::setBusyTimeout(int milliseconds) {
    sqlite3_busy_timeout(checkOpen(), milliseconds);
}

void SQLiteDB::backupTo(const std::string& path) {
    sqlite3* source = checkOpen();
    SQLiteDB destination;
    destination.open(path);
    sqlite3_backup* backup = sqlite3_backup_init(destination.m_db, "main", source, "main");
    if (!backup)
        throwFromDb(destination.m_db, sqlite3_errcode(destination.m_db));
    // One step copies every page under one read lock of the source: a consistent snapshot.
    const int stepped = sqlite3_backup_step(backup, -1);
    const int finished = sqlite3_backup_finish(backup);
    if (stepped != SQLITE_DONE)
        throw SQLiteException(stepped & 0xff, sqlite3_errstr(stepped));
    if (finished != SQLITE_OK)
        throwFromDb(destination.m_db, finished);
}

std::int64_t SQLiteDB::lastRowId() const {
    return sqlite3_last_insert_rowid(checkOpen());
}
