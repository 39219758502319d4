#include "background/AppBusy.h"

#include <atomic>

namespace {

std::atomic<int> g_busyCount{0};

} // namespace

void MarkAppBusy() {
    ++g_busyCount;
}

void ClearAppBusy() {
    int count = g_busyCount.load();
    while (count > 0 && !g_busyCount.compare_exchange_weak(count, count - 1)) {
    }
}

bool IsAppBusy() {
    return g_busyCount.load() > 0;
}
