#include "db/KLKeyValueDBImpl.h"

#include "app/LumoLog.h"
#include "support/FileIO.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include <unistd.h>

namespace {

// What SQLite reports for a file that is not a sound database. Everything else (busy, locked, I/O
// errors, a full disk) says nothing about the file's content.
bool meansDamage(int code) {
    return code == SQLITE_CORRUPT || code == SQLITE_NOTADB;
}

// One key-value operation at a time in the whole process, in call order.
std::recursive_mutex& processLock() {
    static std::recursive_mutex lock;
    return lock;
}

} // namespace

// ---- waiter ----

void KLKeyValueDBWaiter::signal() {
    {
        std::lock_guard lock(m_mutex);
        m_signalled = true;
    }
    m_done.notify_one();
}

void KLKeyValueDBWaiter::wait() {
    std::unique_lock lock(m_mutex);
    m_done.wait(lock, [this] { return m_signalled; });
    m_signalled = false;
}

// ---- manager (on the worker thread) ----

KLKeyValueDBMgr::KLKeyValueDBMgr(const std::string& path, int busyTimeoutMs) {
    try {
        m_db.emplace();
        m_db->open(path);
        m_db->setBusyTimeout(busyTimeoutMs);
        m_db->execQuery("PRAGMA locking_mode = NORMAL");
        m_db->execQuery("PRAGMA journal_mode = DELETE");
        m_db->execQuery("PRAGMA synchronous = FULL");
        ensureCreateTables();
        buildStatements();
    } catch (const SQLiteException& e) {
        LUMO_LOG("KLKeyValueDBMgr::KLKeyValueDBMgr() got error while opening database: %s", e.what());
        m_openError = e.errorCode();
        cleanup();
    }
}

KLKeyValueDBMgr::~KLKeyValueDBMgr() {
    cleanup();
}

void KLKeyValueDBMgr::ensureCreateTables() {
    try {
        m_db->execDML("CREATE TABLE IF NOT EXISTS key_value (key TEXT, value BLOB, UNIQUE(key) ) ");
    } catch (const SQLiteException& e) {
        LUMO_LOG("KLKeyValueDBMgr::ensureCreateTables() got error while creating key_value table: %s",
                 e.what());
        throw;
    }
}

void KLKeyValueDBMgr::buildStatements() {
    try {
        m_store_data_stmt = m_db->compileStatement("INSERT OR REPLACE INTO key_value VALUES ( ?, ? );");
    } catch (const SQLiteException& e) {
        LUMO_LOG("KLKeyValueDBMgr::buildStoreKeyValueStmt() got error while compiling m_store_data_stmt: %s",
                 e.what());
        throw;
    }
    try {
        m_fetch_data_stmt = m_db->compileStatement("SELECT value FROM key_value WHERE key = ?");
    } catch (const SQLiteException& e) {
        LUMO_LOG("KLKeyValueDBMgr::buildFetchKeyValueStmt() got error while compiling m_fetch_data_stmt: %s",
                 e.what());
        throw;
    }
    try {
        m_delete_data_stmt = m_db->compileStatement("DELETE FROM key_value WHERE key = ?");
    } catch (const SQLiteException& e) {
        LUMO_LOG(
            "KLKeyValueDBMgr::buildDeleteKeyValueStmt() got error while compiling m_delete_data_stmt: %s",
            e.what());
        throw;
    }
}

void KLKeyValueDBMgr::cleanup() {
    if (!m_db)
        return;
    const struct {
        SQLiteStatement& statement;
        const char* text;
    } statements[] = {
        {m_store_data_stmt, "KLKeyValueDBMgr::cleanup() got error while finalizing m_store_data_stmt: %s"},
        {m_fetch_data_stmt, "KLKeyValueDBMgr::cleanup() got error while finalizing m_fetch_data_stmt: %s"},
        {m_delete_data_stmt, "KLKeyValueDBMgr::cleanup() got error while finalizing m_delete_data_stmt: %s"},
    };
    for (const auto& s : statements) {
        try {
            s.statement.finalize();
        } catch (const SQLiteException& e) {
            lumoLogAt(__FILE__, __LINE__, s.text, e.what());
        }
    }
    endTransaction();
    try {
        m_db->close();
    } catch (const SQLiteException& e) {
        LUMO_LOG("KLKeyValueDBMgr::cleanup() got error while closing database: %s", e.what());
    }
    m_db.reset();
    m_inTransaction = false;
}

void KLKeyValueDBMgr::run(KLKeyValueDBCommand& command) {
    using Outcome = KLKeyValueDB::Outcome;
    switch (command.code) {
    case KLKeyValueDBCommand::IsOpen:
        command.result = isOpen();
        break;
    case KLKeyValueDBCommand::IntegrityCheck:
        command.integrity = integrityCheckDB();
        command.result = command.integrity == KLKeyValueDB::Integrity::Sound;
        break;
    case KLKeyValueDBCommand::Fetch:
        command.outcome = command.value ? fetchKeyValue(command.key, *command.value) : Outcome::Failed;
        command.result = command.outcome == Outcome::Done;
        break;
    case KLKeyValueDBCommand::Store:
        command.result = command.value && storeKeyValue(command.key, *command.value);
        break;
    case KLKeyValueDBCommand::Delete:
        command.outcome = deleteKeyValue(command.key);
        command.result = command.outcome == Outcome::Done;
        break;
    case KLKeyValueDBCommand::Commit:
        command.result = endTransaction();
        break;
    case KLKeyValueDBCommand::Compact:
        command.result = compact();
        break;
    case KLKeyValueDBCommand::AllKeys:
        command.result = command.keys && allKeys(*command.keys);
        break;
    case KLKeyValueDBCommand::Backup:
        command.result = backupTo(command.key);
        break;
    default:
        LUMO_LOG("KLKeyValueDBMgr::run: internal error: unrecognized cmd %ld", command.code);
        command.result = false;
        break;
    }
}

KLKeyValueDB::Integrity KLKeyValueDBMgr::integrityCheckDB() {
    using Integrity = KLKeyValueDB::Integrity;
    if (!isOpen())
        return meansDamage(m_openError) ? Integrity::Damaged : Integrity::Unchecked;
    try {
        SQLiteQuery result = m_db->execQuery("PRAGMA integrity_check");
        return !result.eof() && result.getStringField(0) == "ok" ? Integrity::Sound : Integrity::Damaged;
    } catch (const SQLiteException& e) {
        LUMO_LOG("KLKeyValueDBMgr::integrityCheckDB() got error while performing integrity_check: %s",
                 e.what());
        return meansDamage(e.errorCode()) ? Integrity::Damaged : Integrity::Unchecked;
    } catch (...) {
        LUMO_LOG("KLKeyValueDBMgr::integrityCheckDB() unexpected exception while performing integrity_check");
    }
    return Integrity::Unchecked;
}

KLKeyValueDB::Outcome KLKeyValueDBMgr::fetchKeyValue(const std::string& key, CILA::VObject& value) {
    using Outcome = KLKeyValueDB::Outcome;
    if (!isOpen())
        return Outcome::Failed;
    Outcome outcome = Outcome::Failed;
    try {
        m_fetch_data_stmt.reset();
        m_fetch_data_stmt.bind(1, key);
        SQLiteQuery row = m_fetch_data_stmt.execQuery();
        if (row.eof()) {
            outcome = Outcome::Absent;
        } else {
            int length = 0;
            const std::uint8_t* blob = row.getBlobField(row.fieldIndex("value"), length);
            m_buffer.assign(blob, static_cast<std::size_t>(length));
            try {
                CILA::VObject read = CILA::VObject::deserialize(m_buffer);
                value = std::move(read);
                outcome = Outcome::Done;
            } catch (const std::exception& e) {
                LUMO_LOG("Exception from VObject when fetching key(%s): %s", key.c_str(), e.what());
            }
        }
    } catch (const SQLiteException& e) {
        LUMO_LOG("KLKeyValueDBMgr::fetchKeyValue() got error while executing fetch data statement: %s",
                 e.what());
    }
    try {
        m_fetch_data_stmt.reset();
    } catch (const SQLiteException&) {
        // The error was logged above; the statement is reset before its next use anyway.
    }
    return outcome;
}

bool KLKeyValueDBMgr::storeKeyValue(const std::string& key, const CILA::VObject& value) {
    if (!isOpen())
        return false;
    m_buffer.clear();
    try {
        value.serialize(m_buffer);
    } catch (const std::exception& e) {
        LUMO_LOG("Exception from VObject when storing key(%s): %s", key.c_str(), e.what());
        return false;
    }
    if (!beginTransaction())
        return false;
    try {
        m_store_data_stmt.reset();
        m_store_data_stmt.bind(1, key);
        m_store_data_stmt.bindBlob(2, m_buffer.data(), m_buffer.size());
        m_store_data_stmt.execDML();
        return true;
    } catch (const SQLiteException& e) {
        LUMO_LOG("KLKeyValueDBMgr::storeKeyValue() got error while executing store data statement: %s",
                 e.what());
        return false;
    }
}

KLKeyValueDB::Outcome KLKeyValueDBMgr::deleteKeyValue(const std::string& key) {
    using Outcome = KLKeyValueDB::Outcome;
    if (!isOpen() || !beginTransaction())
        return Outcome::Failed;
    try {
        m_delete_data_stmt.reset();
        m_delete_data_stmt.bind(1, key);
        return m_delete_data_stmt.execDML() > 0 ? Outcome::Done : Outcome::Absent;
    } catch (const SQLiteException& e) {
        LUMO_LOG("KLKeyValueDBMgr::deleteKeyValue() got error while executing delete data statement: %s",
                 e.what());
        return Outcome::Failed;
    }
}

bool KLKeyValueDBMgr::allKeys(std::vector<std::string>& keys) {
    if (!isOpen())
        return false;
    try {
        keys.clear();
        for (SQLiteQuery rows = m_db->execQuery("SELECT key FROM key_value ORDER BY key"); !rows.eof();
             rows.nextRow())
            keys.push_back(rows.getStringField(0));
        return true;
    } catch (const SQLiteException& e) {
        LUMO_LOG("KLKeyValueDBMgr::allKeys() got error while listing keys: %s", e.what());
        return false;
    }
}

// The copy is made from this connection, so it sees exactly what is committed; an open transaction
// would put uncommitted writes into it, so it is refused.
bool KLKeyValueDBMgr::backupTo(const std::string& path) {
    if (!isOpen())
        return false;
    if (m_inTransaction) {
        LUMO_LOG("KLKeyValueDBMgr::backupTo() refused: a transaction is open");
        return false;
    }
    // A name no other process or store uses: several processes may back up the same store at once.
    static std::atomic<unsigned> serial{0};
    lumo::removeTemporaryLeftovers(path);
    const std::string temporary =
        path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(serial.fetch_add(1));
    try {
        m_db->backupTo(temporary);
    } catch (const SQLiteException& e) {
        LUMO_LOG("KLKeyValueDBMgr::backupTo() got error while copying the database to %s: %s",
                 temporary.c_str(), e.what());
        lumo::removeFile(temporary);
        lumo::removeFile(temporary + "-journal");
        return false;
    }
    // The copy is as private as the store (one may hold passwords, made readable by its owner only).
    const char* store = sqlite3_db_filename(m_db->handle(), "main");
    struct stat storeInfo {};
    if (store && *store && ::stat(store, &storeInfo) == 0 &&
        ::chmod(temporary.c_str(), storeInfo.st_mode & 07777) != 0)
        LUMO_LOG("KLKeyValueDBMgr::backupTo() could not set the mode of %s: %s", temporary.c_str(),
                 std::strerror(errno));
    if (const int e = lumo::renameFile(temporary, path)) {
        LUMO_LOG("KLKeyValueDBMgr::backupTo() could not rename %s to %s: %s", temporary.c_str(), path.c_str(),
                 std::strerror(e));
        lumo::removeFile(temporary);
        return false;
    }
    lumo::syncFolderOf(path);
    return true;
}

bool KLKeyValueDBMgr::beginTransaction() {
    if (m_inTransaction)
        return true;
    try {
        m_db->execDML("BEGIN TRANSACTION");
        m_inTransaction = true;
        return true;
    } catch (const SQLiteException& e) {
        LUMO_LOG("KLKeyValueDBMgr::beginTransaction() got error while beginning transaction: %s", e.what());
        return false;
    }
}

bool KLKeyValueDBMgr::endTransaction() {
    if (!m_inTransaction || !isOpen())
        return true;
    try {
        m_db->execDML("COMMIT TRANSACTION");
        m_inTransaction = false;
        return true;
    } catch (const SQLiteException& e) {
        LUMO_LOG("KLKeyValueDBMgr::endTransaction() got error while ending transaction: %s", e.what());
        // A failed commit may have rolled the transaction back (a full disk) or kept it open (a busy
        // file): ask the database which.
        m_inTransaction = sqlite3_get_autocommit(m_db->handle()) == 0;
        return false;
    }
}

bool KLKeyValueDBMgr::compact() {
    if (!isOpen() || !endTransaction())
        return false;
    bool done = true;
    try {
        m_store_data_stmt.finalize();
        m_fetch_data_stmt.finalize();
        m_delete_data_stmt.finalize();
        m_db->execDML("VACUUM");
    } catch (const SQLiteException& e) {
        LUMO_LOG("KLKeyValueDBMgr::compact() got error while executing VACUUM: %s", e.what());
        done = false;
    }
    try {
        buildStatements();
    } catch (const SQLiteException&) {
        return false; // logged where it happened
    }
    return done;
}

// ---- worker ----

KLKeyValueDBWorker::KLKeyValueDBWorker(std::string path, int busyTimeoutMs)
    : m_path(std::move(path)), m_busyTimeoutMs(busyTimeoutMs),
      m_thread("KLKeyValueDBWorker", lumo::kBackgroundThreadStackSize, [this] { threadMain(); }) {}

KLKeyValueDBWorker::~KLKeyValueDBWorker() {
    KLKeyValueDBCommand quit;
    quit.code = KLKeyValueDBCommand::Quit;
    m_queue.add(&quit);
    m_thread.join();
}

void KLKeyValueDBWorker::threadMain() {
    KLKeyValueDBMgr manager(m_path, m_busyTimeoutMs);
    for (;;) {
        KLKeyValueDBCommand* command = m_queue.remove();
        const bool quit = command->code == KLKeyValueDBCommand::Quit;
        if (!quit)
            manager.run(*command);
        if (command->waiter)
            command->waiter->signal();
        if (quit)
            break;
    }
}

KLKeyValueDBWaiter* KLKeyValueDBWorker::takeWaiter() {
    std::lock_guard lock(m_poolMutex);
    if (m_freeWaiters.empty()) {
        m_waiters.push_back(std::make_unique<KLKeyValueDBWaiter>());
        return m_waiters.back().get();
    }
    KLKeyValueDBWaiter* waiter = m_freeWaiters.back();
    m_freeWaiters.pop_back();
    return waiter;
}

void KLKeyValueDBWorker::returnWaiter(KLKeyValueDBWaiter* waiter) {
    std::lock_guard lock(m_poolMutex);
    m_freeWaiters.push_back(waiter);
}

bool KLKeyValueDBWorker::call(KLKeyValueDBCommand& command) {
    command.waiter = takeWaiter();
    m_queue.add(&command);
    command.waiter->wait();
    returnWaiter(command.waiter);
    return command.result;
}

// ---- public face ----

std::unique_ptr<KLKeyValueDB> KLKeyValueDB::create(const std::string& path, int busyTimeoutMs) {
    return std::make_unique<KLKeyValueDBImpl>(path, busyTimeoutMs);
}

KLKeyValueDBImpl::KLKeyValueDBImpl(const std::string& path, int busyTimeoutMs) {
    const std::string folder = std::filesystem::path(path).parent_path().string();
    if (!folder.empty())
        lumo::createDirectories(folder); // an open failure below says the rest
    m_worker = std::make_unique<KLKeyValueDBWorker>(path, busyTimeoutMs);
}

KLKeyValueDBImpl::~KLKeyValueDBImpl() {
    std::lock_guard lock(processLock());
    m_worker.reset();
}

void KLKeyValueDBImpl::post(KLKeyValueDBCommand& command) {
    std::lock_guard lock(processLock());
    m_worker->call(command);
}

bool KLKeyValueDBImpl::post(long code, const std::string& key, CILA::VObject* value,
                            std::vector<std::string>* keys) {
    KLKeyValueDBCommand command;
    command.code = code;
    command.key = key;
    command.value = value;
    command.keys = keys;
    post(command);
    return command.result;
}

KLKeyValueDB::Integrity KLKeyValueDBImpl::checkIntegrity() {
    KLKeyValueDBCommand command;
    command.code = KLKeyValueDBCommand::IntegrityCheck;
    post(command);
    return command.integrity;
}

bool KLKeyValueDBImpl::integrityCheckDB() {
    return checkIntegrity() == Integrity::Sound;
}

bool KLKeyValueDBImpl::storeKeyValue(const std::string& key, const CILA::VObject& value) {
    // The worker only reads the value; the command carries a mutable pointer for fetches.
    return post(KLKeyValueDBCommand::Store, key, const_cast<CILA::VObject*>(&value));
}

KLKeyValueDB::Outcome KLKeyValueDBImpl::lookupKeyValue(const std::string& key, CILA::VObject& value) {
    KLKeyValueDBCommand command;
    command.code = KLKeyValueDBCommand::Fetch;
    command.key = key;
    command.value = &value;
    post(command);
    return command.outcome;
}

bool KLKeyValueDBImpl::fetchKeyValue(const std::string& key, CILA::VObject& value) {
    return lookupKeyValue(key, value) == Outcome::Done;
}

KLKeyValueDB::Outcome KLKeyValueDBImpl::removeKeyValue(const std::string& key) {
    KLKeyValueDBCommand command;
    command.code = KLKeyValueDBCommand::Delete;
    command.key = key;
    post(command);
    return command.outcome;
}

bool KLKeyValueDBImpl::deleteKeyValue(const std::string& key) {
    return removeKeyValue(key) == Outcome::Done;
}

bool KLKeyValueDBImpl::isOpen() {
    return post(KLKeyValueDBCommand::IsOpen);
}

bool KLKeyValueDBImpl::endTransaction() {
    return post(KLKeyValueDBCommand::Commit);
}

bool KLKeyValueDBImpl::compact() {
    return post(KLKeyValueDBCommand::Compact);
}

bool KLKeyValueDBImpl::allKeys(std::vector<std::string>& keys) {
    return post(KLKeyValueDBCommand::AllKeys, {}, nullptr, &keys);
}

bool KLKeyValueDBImpl::backupTo(const std::string& path) {
    return post(KLKeyValueDBCommand::Backup, path);
}
