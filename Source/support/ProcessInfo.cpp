#include "ProcessInfo.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace lumo {

pid_t currentThreadId() {
    return ::gettid();
}

std::uint64_t processMemoryKiB() {
    // statm: size resident shared text lib data dt, in pages. Read directly: this runs for every
    // log line and must stay cheap. Private memory is the resident memory not backed by a file
    // (resident - shared); the "data" field would count reserved address space that was never touched.
    // The file is opened once and read again from its start each time: the kernel renders it anew on
    // every read. (Kept open for the life of the process; closed on exec.)
    static const int fd = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char text[128];
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    if (n <= 0)
        return 0;
    text[n] = '\0';
    unsigned long long size = 0, resident = 0, shared = 0;
    if (std::sscanf(text, "%llu %llu %llu", &size, &resident, &shared) != 3)
        return 0;
    const unsigned long long privatePages = resident > shared ? resident - shared : 0;
    const long page = ::sysconf(_SC_PAGESIZE);
    return (resident + privatePages) * static_cast<std::uint64_t>(page > 0 ? page : 4096) / 1024;
}

} // namespace lumo
