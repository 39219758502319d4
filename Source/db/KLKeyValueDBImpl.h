#pragma once

#include "archive/PacketBuf.h"
#include "db/KLKeyValueDB.h"
#include "db/SQLiteWrapper.h"
#include "support/NamedThread.h"
#include "support/ThreadSafeQueue.h"

#include <condition_variable>
#include <mutex>
#include <optional>

// A completion event that one caller waits on; waiters are pooled and reused.
class KLKeyValueDBWaiter {
public:
    void signal();
    void wait(); // returns once signalled, and re-arms
private:
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_signalled = false;
};

struct KLKeyValueDBCommand {
    enum Code {
        Quit = 0,
        IsOpen = 1,
        IntegrityCheck = 2,
        Fetch = 3,
        Store = 4,
        Delete = 5,
        Commit = 6,
        Compact = 7,
        AllKeys = 8,
        Backup = 9
    };
    std::string key;                          // the backup's path for Backup
    CILA::VObject* value = nullptr;           // in for Store, out for Fetch
    std::vector<std::string>* keys = nullptr; // out for AllKeys
    long code = Quit;
    bool result = false;
    // Fetch and Delete tell an absent key from a failure; IntegrityCheck tells damage from a check that
    // could not run. `result` is true for Done and Sound.
    KLKeyValueDB::Outcome outcome = KLKeyValueDB::Outcome::Failed;
    KLKeyValueDB::Integrity integrity = KLKeyValueDB::Integrity::Unchecked;
    KLKeyValueDBWaiter* waiter = nullptr;
};

// Lives on the worker thread and owns the database.
class KLKeyValueDBMgr {
public:
    KLKeyValueDBMgr(const std::string& path, int busyTimeoutMs);
    ~KLKeyValueDBMgr();
    // Runs the command and fills its answer.
    void run(KLKeyValueDBCommand& command);

private:
    void ensureCreateTables();
    void buildStatements();
    void cleanup();
    bool isOpen() const { return m_db.has_value(); }
    KLKeyValueDB::Integrity integrityCheckDB();
    KLKeyValueDB::Outcome fetchKeyValue(const std::string& key, CILA::VObject& value);
    bool storeKeyValue(const std::string& key, const CILA::VObject& value);
    KLKeyValueDB::Outcome deleteKeyValue(const std::string& key);
    bool allKeys(std::vector<std::string>& keys);
    bool backupTo(const std::string& path);
    bool beginTransaction();
    bool endTransaction();
    bool compact();

    std::optional<SQLiteDB> m_db; // absent when the file could not be opened
    int m_openError = 0;          // why it could not: the SQLite code
    SQLiteStatement m_store_data_stmt;
    SQLiteStatement m_fetch_data_stmt;
    SQLiteStatement m_delete_data_stmt;
    CILA::PacketBuf m_buffer;
    bool m_inTransaction = false;
};

class KLKeyValueDBWorker {
public:
    KLKeyValueDBWorker(std::string path, int busyTimeoutMs);
    ~KLKeyValueDBWorker(); // posts quit and joins
    // Posts the command and waits for its answer.
    bool call(KLKeyValueDBCommand& command);

private:
    void threadMain();
    KLKeyValueDBWaiter* takeWaiter();
    void returnWaiter(KLKeyValueDBWaiter* waiter);

    std::string m_path;
    int m_busyTimeoutMs;
    ThreadSafeQueue<KLKeyValueDBCommand*> m_queue;
    std::mutex m_poolMutex;
    std::vector<std::unique_ptr<KLKeyValueDBWaiter>> m_waiters;
    std::vector<KLKeyValueDBWaiter*> m_freeWaiters;
    lumo::NamedThread m_thread;
};

class KLKeyValueDBImpl : public KLKeyValueDB {
public:
    KLKeyValueDBImpl(const std::string& path, int busyTimeoutMs);
    Integrity checkIntegrity() override;
    bool integrityCheckDB() override;
    bool storeKeyValue(const std::string& key, const CILA::VObject& value) override;
    Outcome lookupKeyValue(const std::string& key, CILA::VObject& value) override;
    bool fetchKeyValue(const std::string& key, CILA::VObject& value) override;
    Outcome removeKeyValue(const std::string& key) override;
    bool deleteKeyValue(const std::string& key) override;
    bool isOpen() override;
    bool endTransaction() override;
    bool compact() override;
    bool allKeys(std::vector<std::string>& keys) override;
    bool backupTo(const std::string& path) override;
    ~KLKeyValueDBImpl() override;

private:
    // Posts a command made from `command` (its code, key and pointers) and waits for its answer.
    void post(KLKeyValueDBCommand& command);
    bool post(long code, const std::string& key = {}, CILA::VObject* value = nullptr,
              std::vector<std::string>* keys = nullptr);

    std::unique_ptr<KLKeyValueDBWorker> m_worker;
};
