#pragma once

#include <chrono>
#include <functional>
#include <string>

// An advisory lock (flock) on a lock file beside a store, which every process that opens the store
// takes: shared for as long as it has the store open, exclusive for the rare step that replaces the
// store's file (setting a damaged store aside, making a new one). While one process holds it
// exclusively no other has the store open, so no process ever writes into a file that was renamed
// away under it. The kernel drops the lock when its process dies.
class StoreLock {
public:
    enum class Result {
        Acquired,
        NotNeeded, // the condition for wanting it went away while waiting
        TimedOut,
        Failed, // the lock file cannot be opened or locked; errno-style code in error()
    };

    explicit StoreLock(std::string path);
    ~StoreLock(); // releases the lock
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;

    // Waits up to `wait` for a shared lock (an exclusive one held by this object becomes shared).
    Result lockShared(std::chrono::milliseconds wait);
    // Gives up what this object holds, then waits up to `wait` for the exclusive lock while `stillWanted`
    // answers true. Unless it answers Acquired, the shared lock is taken again before it returns (and
    // when that fails too, it answers Failed and holds nothing).
    Result lockExclusive(std::chrono::milliseconds wait, const std::function<bool()>& stillWanted);
    void unlock();

    const std::string& path() const { return m_path; }
    int error() const { return m_error; }

private:
    bool openFile();
    Result take(int operation, std::chrono::milliseconds wait, const std::function<bool()>& stillWanted);

    std::string m_path;
    int m_fd = -1;
    int m_error = 0;
};
