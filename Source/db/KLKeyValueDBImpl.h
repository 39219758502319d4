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
        AllKeys = 8
    };
    std::string key;
    CILA::VObject* value = nullptr;           // in for Store, out for Fetch
    std::vector<std::string>* keys = nullptr; // out for AllKeys
    long code = Quit;
    bool result = false;
    KLKeyValueDBWaiter* waiter = nullptr;
};

// Lives on the worker thread and owns the database.
class KLKeyValueDBMgr {
public:
    explicit KLKeyValueDBMgr(const std::string& path);
    ~KLKeyValueDBMgr();
    bool run(KLKeyValueDBCommand& command);

private:
    void ensureCreateTables();
    void buildStatements();
    void cleanup();
    bool isOpen() const { return m_db.has_value(); }
    bool integrityCheckDB();
    bool fetchKeyValue(const std::string& key, CILA::VObject& value);
    bool storeKeyValue(const std::string& key, const CILA::VObject& value);
    bool deleteKeyValue(const std::string& key);
    bool allKeys(std::vector<std::string>& keys);
    bool beginTransaction();
    bool endTransaction();
    bool compact();

    std::optional<SQLiteDB> m_db; // absent when the file could not be opened
    SQLiteStatement m_store_data_stmt;
    SQLiteStatement m_fetch_data_stmt;
    SQLiteStatement m_delete_data_stmt;
    CILA::PacketBuf m_buffer;
    bool m_inTransaction = false;
};

class KLKeyValueDBWorker {
public:
    explicit KLKeyValueDBWorker(std::string path);
    ~KLKeyValueDBWorker(); // posts quit and joins
    // Posts the command and waits for its answer.
    bool call(KLKeyValueDBCommand& command);

private:
    void threadMain();
    KLKeyValueDBWaiter* takeWaiter();
    void returnWaiter(KLKeyValueDBWaiter* waiter);

    std::string m_path;
    ThreadSafeQueue<KLKeyValueDBCommand*> m_queue;
    std::mutex m_poolMutex;
    std::vector<std::unique_ptr<KLKeyValueDBWaiter>> m_waiters;
    std::vector<KLKeyValueDBWaiter*> m_freeWaiters;
    lumo::NamedThread m_thread;
};

class KLKeyValueDBImpl : public KLKeyValueDB {
public:
    explicit KLKeyValueDBImpl(const std::string& path);
    bool integrityCheckDB() override;
    bool storeKeyValue(const std::string& key, const CILA::VObject& value) override;
    bool fetchKeyValue(const std::string& key, CILA::VObject& value) override;
    bool deleteKeyValue(const std::string& key) override;
    bool isOpen() override;
    bool endTransaction() override;
    bool compact() override;
    std::vector<std::string> allKeys() override;
    ~KLKeyValueDBImpl() override;

private:
    bool post(long code, const std::string& key = {}, CILA::VObject* value = nullptr,
              std::vector<std::string>* keys = nullptr);

    std::unique_ptr<KLKeyValueDBWorker> m_worker;
};
