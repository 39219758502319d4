#pragma once

#include <sys/types.h>

#include <cstdint>

namespace lumo {

// The kernel's id of the calling thread.
pid_t currentThreadId();

// Resident plus private (resident and not backed by a file) memory of this process in KiB, from
// /proc/self/statm; 0 when it cannot be read.
std::uint64_t processMemoryKiB();

} // namespace lumo
