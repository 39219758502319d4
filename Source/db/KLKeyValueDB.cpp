#include "db/KLKeyValueDBImpl.h"

#include "app/LumoLog.h"
#include "support/FileIO.h"

#include <sqlite3.h>

#include <filesystem>

namespace {

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

KLKeyValueDBMgr::KLKeyValueDBMgr(const std::string& path) {
    try {
        m_db.emplace();
        m_db->open(path);
        m_db->execQuery("PRAGMA locking_mode = NORMAL");
        m_db->execQuery("PRAGMA journal_mode = DELETE");
        m_db->execQuery("PRAGMA synchronous = FULL");
        ensureCreateTables();
        buildStatements();
    } catch (const SQLiteException& e) {
        LUMO_LOG("KLKeyValueDBMgr::KLKeyValueDBMgr() got error while opening database: %s", e.what());
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

bool KLKeyValueDBMgr::run(KLKeyValueDBCommand& command) {
    switch (command.code) {
    case KLKeyValueDBCommand::IsOpen:
        return isOpen();
    case KLKeyValueDBCommand::IntegrityCheck:
        return integrityCheckDB();
    case KLKeyValueDBCommand::Fetch:
        return command.value && fetchKeyValue(command.key, *command.value);
    case KLKeyValueDBCommand::Store:
        return command.value && storeKeyValue(command.key, *command.value);
    case KLKeyValueDBCommand::Delete:
        return deleteKeyValue(command.key);
    case KLKeyValueDBCommand::Commit:
        return endTransaction();
    case KLKeyValueDBCommand::Compact:
        return compact();
    case KLKeyValueDBCommand::AllKeys:
        return command.keys && allKeys(*command.keys);
    default:
        LUMO_LOG("KLKeyValueDBMgr::run: internal error: unrecognized cmd %ld", command.code);
        return false;
    }
}

bool KLKeyValueDBMgr::integrityCheckDB() {
    if (!isOpen())
        return false;
    try {
        SQLiteQuery result = m_db->execQuery("PRAGMA integrity_check");
        return !result.eof() && result.getStringField(0) == "ok";
    } catch (const SQLiteException& e) {
        LUMO_LOG("KLKeyValueDBMgr::integrityCheckDB() got error while performing integrity_check: %s",
                 e.what());
    } catch (...) {
        LUMO_LOG("KLKeyValueDBMgr::integrityCheckDB() unexpected exception while performing integrity_check");
    }
    return false;
}

bool KLKeyValueDBMgr::fetchKeyValue(const std::string& key, CILA::VObject& value) {
    if (!isOpen())
        return false;
    bool found = false;
    try {
        m_fetch_data_stmt.reset();
        m_fetch_data_stmt.bind(1, key);
        SQLiteQuery row = m_fetch_data_stmt.execQuery();
        if (!row.eof()) {
            int length = 0;
            const std::uint8_t* blob = row.getBlobField(row.fieldIndex("value"), length);
            m_buffer.assign(blob, static_cast<std::size_t>(length));
            try {
                CILA::VObject read = CILA::VObject::deserialize(m_buffer);
                value = std::move(read);
                found = true;
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
    return found;
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

bool KLKeyValueDBMgr::deleteKeyValue(const std::string& key) {
    if (!isOpen() || !beginTransaction())
        return false;
    try {
        m_delete_data_stmt.reset();
        m_delete_data_stmt.bind(1, key);
        return m_delete_data_stmt.execDML() > 0;
    } catch (const SQLiteException& e) {
        LUMO_LOG("KLKeyValueDBMgr::deleteKeyValue() got error while executing delete data statement: %s",
                 e.what());
        return false;
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

KLKeyValueDBWorker::KLKeyValueDBWorker(std::string path)
    : m_path(std::move(path)),
      m_thread("KLKeyValueDBWorker", lumo::kBackgroundThreadStackSize, [this] { threadMain(); }) {}

KLKeyValueDBWorker::~KLKeyValueDBWorker() {
    KLKeyValueDBCommand quit;
    quit.code = KLKeyValueDBCommand::Quit;
    m_queue.add(&quit);
    m_thread.join();
}

void KLKeyValueDBWorker::threadMain() {
    KLKeyValueDBMgr manager(m_path);
    for (;;) {
        KLKeyValueDBCommand* command = m_queue.remove();
        const bool quit = command->code == KLKeyValueDBCommand::Quit;
        if (!quit)
            command->result = manager.run(*command);
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

std::unique_ptr<KLKeyValueDB> KLKeyValueDB::create(const std::string& path) {
    return std::make_unique<KLKeyValueDBImpl>(path);
}

KLKeyValueDBImpl::KLKeyValueDBImpl(const std::string& path) {
    const std::string folder = std::filesystem::path(path).parent_path().string();
    if (!folder.empty())
        lumo::createDirectories(folder); // an open failure below says the rest
    m_worker = std::make_unique<KLKeyValueDBWorker>(path);
}

KLKeyValueDBImpl::~KLKeyValueDBImpl() {
    std::lock_guard lock(processLock());
    m_worker.reset();
}

bool KLKeyValueDBImpl::post(long code, const std::string& key, CILA::VObject* value,
                            std::vector<std::string>* keys) {
    std::lock_guard lock(processLock());
    KLKeyValueDBCommand command;
    command.code = code;
    command.key = key;
    command.value = value;
    command.keys = keys;
    return m_worker->call(command);
}

bool KLKeyValueDBImpl::integrityCheckDB() {
    return post(KLKeyValueDBCommand::IntegrityCheck);
}

bool KLKeyValueDBImpl::storeKeyValue(const std::string& key, const CILA::VObject& value) {
    // The worker only reads the value; the command carries a mutable pointer for fetches.
    return post(KLKeyValueDBCommand::Store, key, const_cast<CILA::VObject*>(&value));
}

bool KLKeyValueDBImpl::fetchKeyValue(const std::string& key, CILA::VObject& value) {
    return post(KLKeyValueDBCommand::Fetch, key, &value);
}

bool KLKeyValueDBImpl::deleteKeyValue(const std::string& key) {
    return post(KLKeyValueDBCommand::Delete, key);
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

std::vector<std::string> KLKeyValueDBImpl::allKeys() {
    std::vector<std::string> keys;
    post(KLKeyValueDBCommand::AllKeys, {}, nullptr, &keys);
    return keys;
}
