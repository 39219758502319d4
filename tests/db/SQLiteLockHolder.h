#pragma once

// Another connection holding a database's exclusive lock, as another process in the middle of a commit
// would; released after `holdFor`, or when the holder goes.

#include "db/SQLiteWrapper.h"

#include <chrono>
#include <string>
#include <thread>

class SQLiteLockHolder {
public:
    SQLiteLockHolder(const std::string& path, std::chrono::milliseconds holdFor) {
        m_db.open(path);
        m_db.execDML("BEGIN EXCLUSIVE");
        m_thread = std::thread([this, holdFor] {
            std::this_thread::sleep_for(holdFor);
            m_db.execDML("COMMIT");
        });
    }
    ~SQLiteLockHolder() { m_thread.join(); }
    SQLiteLockHolder(const SQLiteLockHolder&) = delete;
    SQLiteLockHolder& operator=(const SQLiteLockHolder&) = delete;

private:
    SQLiteDB m_db;
    std::thread m_thread;
};
