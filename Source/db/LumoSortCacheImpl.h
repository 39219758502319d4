#pragma once

// The sort cache's database side. LumoSortCacheImpl lives on the worker thread and is only ever used
// there; it never throws: every database error is logged, and the error codes that mean the file is
// damaged or unusable delete and recreate it.

#include "db/LumoSortCache.h"
#include "db/SQLiteWrapper.h"

#include <string>

class LumoSortCacheWaiter;

// One request to the worker. A fetch fills `m_info` and `m_found` before the waiter is signalled.
struct LumoSortDataCommand {
    enum Code : int {
        kFetch = 0,
        kStore = 1,
        kPurgeOne = 2,
        kPurgeAll = 3,
        kPurgeDaysOld = 4,
        kQuit = 5,
    };

    LumoSortCacheInfo m_info;
    std::string m_key; // the path digest
    int m_code = kFetch;
    int m_days = 0;
    LumoSortCacheWaiter* m_waiter = nullptr; // signalled when done, when not null
};

class LumoSortCacheImpl {
public:
    static constexpr int kVersion = 3;
    static constexpr int kStoresPerCommit = 100;
    static constexpr int kMaxNestedRecreations = 3;

    // Opens (or creates) the database in `cacheFolder`; the cache stays closed when that fails.
    explicit LumoSortCacheImpl(std::string cacheFolder);
    // Commits the open transaction and closes.
    ~LumoSortCacheImpl();
    LumoSortCacheImpl(const LumoSortCacheImpl&) = delete;
    LumoSortCacheImpl& operator=(const LumoSortCacheImpl&) = delete;

    bool isOpen() const { return m_db.isOpen(); }
    std::string databasePath() const;

    // Answers whether a row was found; fills the command's info when so.
    bool fetchSortData(LumoSortDataCommand& command);
    // Commits once kStoresPerCommit rows are pending and `moreWaiting` says no command was queued
    // behind this one, so that a burst of stores lands in one transaction.
    void storeSortData(const LumoSortDataCommand& command, bool moreWaiting);
    void purgeSortInfoFor(const std::string& key);
    void purgeEntriesDaysOld(int days);
    void purgeEntries();
    // Commits and rebuilds the file (VACUUM).
    void compact();

private:
    void open();
    void validateVersion();
    void prepareStatements();
    void beginTransaction();
    void commitTransaction();
    // Logs "LumoSortCacheImpl::<function>() got error while executing statement: ..." and recovers.
    void handleError(const char* function, const SQLiteException& error);
    void re_create();
    void cleanup();

    SQLiteDB m_db;
    SQLiteStatement m_store_data_stmt;
    SQLiteStatement m_fetch_data_stmt;
    std::string m_cacheFolder;
    int m_storesSinceCommit = 0;
    int m_recreateDepth = 0;
    bool m_inTransaction = false;
    bool m_logging = false; // SORT_CACHE_LOGGING, read once
};
