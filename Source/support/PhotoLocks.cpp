#include "support/PhotoLocks.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace lumo {

void PhotoLocks::lock(const std::string& path, const std::function<void()>& beforeWaiting) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        // Opened without waiting: a named pipe would hold the open until a writer came.
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (fd < 0)
            return;
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK) {
                ::close(fd);
                return;
            }
            if (beforeWaiting)
                beforeWaiting();
            if (::flock(fd, LOCK_EX) != 0) {
                ::close(fd);
                return;
            }
        }
        struct stat held {
        }, now{};
        if (::fstat(fd, &held) == 0 && ::stat(path.c_str(), &now) == 0 && held.st_dev == now.st_dev &&
            held.st_ino == now.st_ino) {
            m_fds.push_back(fd);
            return;
        }
        ::close(fd); // replaced while waiting: lock the file now under the name
    }
}

void PhotoLocks::unlockAll() {
    for (const int fd : m_fds)
        ::close(fd);
    m_fds.clear();
}

} // namespace lumo
