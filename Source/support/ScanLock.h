#pragma once

// The process-wide scan lock: folder scans and rescans of every contact sheet hold it while they read
// folders, and the file copy holds it only around the final rename of a copy into place, so that a
// scan never sees a copy under its temporary name and its final name at once.

#include <mutex>

namespace lumo {

inline std::mutex& scanLock() {
    static std::mutex lock;
    return lock;
}

} // namespace lumo
