#include "db/StoreLock.h"

#include <algorithm>
#include <cerrno>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

StoreLock::StoreLock(std::string path) : m_path(std::move(path)) {}

StoreLock::~StoreLock() {
    if (m_fd >= 0)
        ::close(m_fd); // drops the lock
}

bool StoreLock::openFile() {
    if (m_fd >= 0)
        return true;
    m_fd = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    m_error = m_fd < 0 ? errno : 0;
    return m_fd >= 0;
}

// Polls rather than blocks, so that a wait has an end and the condition is asked again between tries.
StoreLock::Result StoreLock::take(int operation, std::chrono::milliseconds wait,
                                  const std::function<bool()>& stillWanted) {
    if (!openFile())
        return Result::Failed;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        if (::flock(m_fd, operation | LOCK_NB) == 0)
            return Result::Acquired;
        if (errno != EWOULDBLOCK && errno != EINTR) {
            m_error = errno;
            return Result::Failed;
        }
        if (stillWanted && !stillWanted())
            return Result::NotNeeded;
        if (std::chrono::steady_clock::now() >= deadline)
            return Result::TimedOut;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
}

StoreLock::Result StoreLock::lockShared(std::chrono::milliseconds wait) {
    return take(LOCK_SH, wait, {});
}

StoreLock::Result StoreLock::lockExclusive(std::chrono::milliseconds wait,
                                           const std::function<bool()>& stillWanted) {
    // Turning a shared lock into an exclusive one is not atomic in the kernel either: give it up first,
    // so that two processes that both want it cannot hold each other's shared lock forever.
    unlock();
    const Result result = take(LOCK_EX, wait, stillWanted);
    if (result == Result::Acquired || result == Result::Failed)
        return result;
    // Not taken: this process goes on as one more user of the store.
    const Result shared = lockShared(wait);
    return shared == Result::Acquired ? result : Result::Failed;
}

void StoreLock::unlock() {
    if (m_fd >= 0)
        ::flock(m_fd, LOCK_UN);
}
