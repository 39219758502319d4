#include "app/UIThread.h"

#include <atomic>
#include <deque>
#include <mutex>
#include <thread>

namespace {

std::mutex g_mutex;
std::deque<std::function<void()>> g_tasks;
std::atomic<bool> g_set{false};
std::thread::id g_uiThread;

} // namespace

void setUIThread() {
    std::lock_guard lock(g_mutex);
    g_uiThread = std::this_thread::get_id();
    g_set = true;
}

bool isUIThread() {
    if (!g_set)
        return true;
    std::lock_guard lock(g_mutex);
    return g_uiThread == std::this_thread::get_id();
}

void postToUIThread(std::function<void()> task) {
    if (isUIThread()) {
        task();
        return;
    }
    std::lock_guard lock(g_mutex);
    g_tasks.push_back(std::move(task));
}

int runUIThreadTasks() {
    int ran = 0;
    for (;;) {
        std::function<void()> task;
        {
            std::lock_guard lock(g_mutex);
            if (g_tasks.empty())
                return ran;
            task = std::move(g_tasks.front());
            g_tasks.pop_front();
        }
        task();
        ++ran;
    }
}
