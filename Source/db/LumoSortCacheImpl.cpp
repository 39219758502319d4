#include "db/LumoSortCacheImpl.h"

#include "app/LumoLog.h"
#include "support/FileIO.h"
#include "support/TextUtils.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <ctime>
#include <utility>

namespace {

constexpr char kCreateVersionTable[] =
    "CREATE TABLE IF NOT EXISTS version_data (VersionKey TEXT, VersionValue INTEGER, UNIQUE(VersionKey) ) ";
constexpr char kCreateSortTable[] =
    "CREATE TABLE IF NOT EXISTS sort_data (key TEXT, ColorClass INTEGER, Rating INTEGER, Tag INTEGER, "
    "CaptureTime DATETIME, ModificationTime INTEGER, FileSize INTEGER, ExtraModificationTime INTEGER, "
    "ExtraFileSize INTEGER, AddTime INTEGER, UNIQUE(key) ) ";
constexpr char kReadVersion[] = "SELECT VersionValue FROM version_data WHERE VersionKey = 'VersionNum' ;";
constexpr char kWriteVersion[] = "INSERT OR REPLACE INTO version_data VALUES ( 'VersionNum', %d );";
constexpr char kStoreSql[] = "INSERT OR REPLACE INTO sort_data VALUES ( ?, ?, ?, ?, ?, ?, ?, ?, ?, ? );";
constexpr char kFetchSql[] = "SELECT ColorClass, Rating, Tag, CaptureTime, ModificationTime, FileSize, "
                             "ExtraModificationTime, ExtraFileSize FROM sort_data WHERE key = :key ;";

// A worker that finds the file locked by another process waits this long before the statement fails.
constexpr int kBusyTimeoutMs = 2000;

// Errors that mean the file is damaged or unusable: it is deleted and made anew. The wrapper's own
// code means a statement went missing after an earlier failure, which re-opening also mends.
bool needsRecreation(int code) {
    switch (code) {
    case SQLITE_ERROR:
    case SQLITE_NOMEM:
    case SQLITE_READONLY:
    case SQLITE_CORRUPT:
    case SQLITE_CANTOPEN:
    case SQLITE_SCHEMA:
    case SQLITE_TOOBIG:
    case SQLITE_NOLFS:
    case SQLITE_AUTH:
    case SQLITE_FORMAT:
    case SQLITE_NOTADB:
    case kSQLiteWrapperError:
        return true;
    default:
        return false;
    }
}

bool isDigest(const std::string& key) {
    return key.size() == 32 &&
           std::all_of(key.begin(), key.end(), [](unsigned char c) { return std::isxdigit(c); });
}

} // namespace

std::string LumoSortCacheInfo::toLogString() const {
    return lumo::formatString("color class:%d, rating:%d, tag:%d, capture time:%s, modification time:%lu, "
                              "file size:%lu, xmp mod time:%lu, xmp file size:%lu",
                              ColorClass, Rating, Tag, CaptureTime.c_str(), ModificationTime, FileSize,
                              ExtraModificationTime, ExtraFileSize);
}

LumoSortCacheImpl::LumoSortCacheImpl(std::string cacheFolder)
    : m_cacheFolder(std::move(cacheFolder)), m_logging(isDebugFlagOn(DebugFlag::SORT_CACHE_LOGGING)) {
    open();
}

LumoSortCacheImpl::~LumoSortCacheImpl() {
    cleanup();
}

std::string LumoSortCacheImpl::databasePath() const {
    if (m_cacheFolder.empty() || m_cacheFolder.back() == '/')
        return m_cacheFolder + kSortCacheFileName;
    return m_cacheFolder + "/" + kSortCacheFileName;
}

void LumoSortCacheImpl::open() {
    try {
        lumo::createDirectories(m_cacheFolder); // when it fails, so does the open below, and says why
        m_db.open(databasePath());
        m_db.setBusyTimeout(kBusyTimeoutMs);
        validateVersion();
        m_db.execDML(kCreateSortTable);
        prepareStatements();
        beginTransaction();
    } catch (const SQLiteException& e) {
        LUMO_LOG("LumoSortCacheImpl::LumoSortCacheImpl() got error: %s", e.what());
        m_store_data_stmt.finalize();
        m_fetch_data_stmt.finalize();
        m_db.close();
        m_inTransaction = false;
        if (needsRecreation(e.errorCode()))
            re_create();
    }
}

void LumoSortCacheImpl::validateVersion() {
    m_db.execDML(kCreateVersionTable);
    const int version = m_db.execScalar(kReadVersion, 0);
    if (version != kVersion) {
        // Rows of another layout are discarded, never migrated: the cache refills itself.
        LUMO_LOG("LumoSortCacheImpl::validateVersion() wrong version (%d != %d), dropping tables", version,
                 kVersion);
        m_db.execDML("DROP TABLE IF EXISTS sort_data");
    }
    m_db.execDML(lumo::formatString(kWriteVersion, kVersion));
}

void LumoSortCacheImpl::prepareStatements() {
    m_store_data_stmt = m_db.compileStatement(kStoreSql);
    m_fetch_data_stmt = m_db.compileStatement(kFetchSql);
}

// Commits first when a transaction is open: while the worker runs, the database is always inside one.
void LumoSortCacheImpl::beginTransaction() {
    commitTransaction();
    m_db.execDML("BEGIN TRANSACTION");
    m_inTransaction = true;
}

void LumoSortCacheImpl::commitTransaction() {
    if (!m_inTransaction)
        return;
    try {
        m_db.execDML("COMMIT TRANSACTION");
    } catch (const SQLiteException&) {
        // A failed COMMIT may leave the transaction open (SQLITE_BUSY) or have rolled it back.
        m_inTransaction = m_db.isOpen() && !sqlite3_get_autocommit(m_db.handle());
        throw;
    }
    m_inTransaction = false;
}

bool LumoSortCacheImpl::fetchSortData(LumoSortDataCommand& command) {
    if (!isOpen())
        return false;
    try {
        m_fetch_data_stmt.bind(m_fetch_data_stmt.bindParameterIndex(":key"), command.m_key);
        SQLiteQuery query = m_fetch_data_stmt.execQuery();
        const bool found = !query.eof();
        if (found) {
            LumoSortCacheInfo& info = command.m_info;
            info.ColorClass = query.getIntField(0);
            info.Rating = query.getIntField(1);
            info.Tag = query.getIntField(2);
            info.CaptureTime = query.getStringField(3);
            info.ModificationTime = static_cast<std::uint64_t>(query.getInt64Field(4));
            info.FileSize = static_cast<std::uint64_t>(query.getInt64Field(5));
            info.ExtraModificationTime = static_cast<std::uint64_t>(query.getInt64Field(6));
            info.ExtraFileSize = static_cast<std::uint64_t>(query.getInt64Field(7));
            if (m_logging)
                LUMO_LOG("LumoSortCacheImpl::fetchSortData() %s: %s", command.m_key.c_str(),
                         info.toLogString().c_str());
        }
        query.finalize();
        m_fetch_data_stmt.reset();
        return found;
    } catch (const SQLiteException& e) {
        LUMO_LOG("LumoSortCacheImpl::fetchSortData() got error while executing statement: %s", e.what());
        handleError("fetchSortData", e);
        return false;
    }
}

void LumoSortCacheImpl::storeSortData(const LumoSortDataCommand& command, bool moreWaiting) {
    if (!isOpen())
        return;
    const LumoSortCacheInfo& info = command.m_info;
    if (m_logging)
        LUMO_LOG("LumoSortCacheImpl::storeSortData() %s: %s", command.m_key.c_str(),
                 info.toLogString().c_str());
    try {
        SQLiteStatement& stmt = m_store_data_stmt;
        stmt.bind(1, command.m_key);
        stmt.bind(2, static_cast<int>(info.ColorClass));
        stmt.bind(3, static_cast<int>(std::clamp(info.Rating, 0, 5)));
        stmt.bind(4, static_cast<int>(info.Tag));
        stmt.bind(5, info.CaptureTime);
        stmt.bind(6, static_cast<std::int64_t>(info.ModificationTime));
        stmt.bind(7, static_cast<std::int64_t>(info.FileSize));
        stmt.bind(8, static_cast<std::int64_t>(info.ExtraModificationTime));
        stmt.bind(9, static_cast<std::int64_t>(info.ExtraFileSize));
        stmt.bind(10, static_cast<std::int64_t>(std::time(nullptr)));
        stmt.execDML();
        if (++m_storesSinceCommit >= kStoresPerCommit && !moreWaiting) {
            if (m_logging)
                LUMO_LOG("LumoSortCacheImpl::storeSortData() flushing cache");
            beginTransaction();
            m_storesSinceCommit = 0;
        }
    } catch (const SQLiteException& e) {
        LUMO_LOG("LumoSortCacheImpl::storeSortData() got error while executing statement: %s", e.what());
        handleError("storeSortData", e);
    }
}

void LumoSortCacheImpl::purgeSortInfoFor(const std::string& key) {
    if (!isOpen())
        return;
    if (m_logging)
        LUMO_LOG("LumoSortCacheImpl::purgeSortInfoFor() purging sort info for:%s", key.c_str());
    if (!isDigest(key)) // the key is spliced into the SQL text
        return;
    try {
        beginTransaction();
        m_storesSinceCommit = 0;
        m_db.execDML(lumo::formatString("DELETE FROM sort_data where key = '%s'", key.c_str()));
    } catch (const SQLiteException& e) {
        LUMO_LOG("LumoSortCacheImpl::purgeSortInfoFor() got error while executing statement: %s", e.what());
        handleError("purgeSortInfoFor", e);
    }
}

void LumoSortCacheImpl::purgeEntriesDaysOld(int days) {
    if (!isOpen())
        return;
    days = std::max(days, 0);
    LUMO_LOG("LumoSortCacheImpl::purgeEntriesDaysOld() purging items %lu days old",
             static_cast<unsigned long>(days));
    // Signed: a period reaching back before 1970 deletes nothing rather than wrapping round to everything.
    const long cutoff = static_cast<long>(std::time(nullptr)) - static_cast<long>(days) * 86400L;
    try {
        beginTransaction();
        m_storesSinceCommit = 0;
        m_db.execDML(lumo::formatString("DELETE FROM sort_data WHERE AddTime <= %ld", cutoff));
    } catch (const SQLiteException& e) {
        LUMO_LOG("LumoSortCacheImpl::purgeEntriesDaysOld() got error while executing statement: %s",
                 e.what());
        handleError("purgeEntriesDaysOld", e);
    }
}

void LumoSortCacheImpl::purgeEntries() {
    if (!isOpen())
        return;
    LUMO_LOG("LumoSortCacheImpl::purgeEntries() purging ALL items");
    try {
        beginTransaction();
        m_storesSinceCommit = 0;
        m_db.execDML("DELETE FROM sort_data");
    } catch (const SQLiteException& e) {
        LUMO_LOG("LumoSortCacheImpl::purgeEntries() got error while executing statement: %s", e.what());
        handleError("purgeEntries", e);
    }
}

void LumoSortCacheImpl::compact() {
    if (!isOpen())
        return;
    try {
        commitTransaction();
        m_storesSinceCommit = 0;
        m_store_data_stmt.finalize();
        m_fetch_data_stmt.finalize();
        m_db.execDML("VACUUM");
        prepareStatements();
        beginTransaction();
    } catch (const SQLiteException& e) {
        LUMO_LOG("LumoSortCacheImpl::compact() got error while executing statement: %s", e.what());
        handleError("compact", e);
    }
}

// After an error the worker must be back where it always is: statements ready, a transaction open.
// When the error says the file itself is bad, or that state cannot be restored, the file is made anew.
void LumoSortCacheImpl::handleError(const char* function, const SQLiteException& error) {
    if (!needsRecreation(error.errorCode())) {
        try {
            if (!m_store_data_stmt.isFinalized())
                m_store_data_stmt.reset();
            if (!m_fetch_data_stmt.isFinalized())
                m_fetch_data_stmt.reset();
            if (m_store_data_stmt.isFinalized() || m_fetch_data_stmt.isFinalized())
                prepareStatements();
            if (!m_inTransaction)
                beginTransaction();
            return;
        } catch (const SQLiteException& e) {
            LUMO_LOG("LumoSortCacheImpl::%s() got error while executing statement: %s", function, e.what());
            if (!needsRecreation(e.errorCode()))
                return; // try again with the next command
        }
    }
    re_create();
}

void LumoSortCacheImpl::re_create() {
    m_store_data_stmt.finalize();
    m_fetch_data_stmt.finalize();
    m_db.close();
    m_inTransaction = false;
    m_storesSinceCommit = 0;

    const std::string path = databasePath();
    LUMO_LOG("LumoSortCacheImpl::re_create() deleting corrupted sort cache database at '%s'.", path.c_str());
    // A journal left beside the old file would be played back into the new one: it goes too.
    for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
        const int rc = lumo::removeFile(path + suffix);
        if (rc != 0 && rc != ENOENT)
            LUMO_LOG("LumoSortCacheImpl::re_create() could not delete '%s%s': errno %d", path.c_str(), suffix,
                     rc);
    }
    if (m_recreateDepth >= kMaxNestedRecreations)
        return; // the cache stays closed: fetches answer not found, stores are dropped
    ++m_recreateDepth;
    LUMO_LOG("LumoSortCacheImpl::re_create() creating new sort database.");
    open();
    --m_recreateDepth;
}

void LumoSortCacheImpl::cleanup() {
    m_store_data_stmt.finalize();
    m_fetch_data_stmt.finalize();
    try {
        commitTransaction();
    } catch (const SQLiteException& e) {
        LUMO_LOG("LumoSortCacheImpl::cleanup() got error: '%s' while committing transaction.", e.what());
    }
    m_db.close();
}
