#include "app/UIThread.h"

#include "app/LumoLog.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

namespace {

std::mutex g_mutex;
std::deque<std::function<void()>> g_tasks;
bool g_stopped = false;
std::atomic<bool> g_set{false};
std::thread::id g_uiThread;

bool runGuarded(const char* what, const std::function<void()>& work) {
    try {
        work();
        return true;
    } catch (const std::exception& e) {
        LUMO_LOG("%s: exception: %s", what, e.what());
    } catch (...) {
        LUMO_LOG("%s: unknown C++ exception", what);
    }
    return false;
}

// False when the user-interface thread takes no more work; `task` is then dropped.
bool enqueue(std::function<void()>& task) {
    std::lock_guard lock(g_mutex);
    if (g_stopped)
        return false;
    g_tasks.push_back(std::move(task));
    return true;
}

// The answer a waiting thread is owed. Held by the queued task only, so that however the task ends
// (run, thrown, dropped unrun) the waiting thread hears of it: a task destroyed without having
// settled settles as not done.
class Completion {
public:
    void settle(bool done) {
        {
            std::lock_guard lock(m_mutex);
            if (m_settled)
                return;
            m_settled = true;
            m_done = done;
        }
        m_changed.notify_all();
    }
    bool wait() {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_settled; });
        return m_done;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_settled = false;
    bool m_done = false;
};

struct Settler {
    explicit Settler(std::shared_ptr<Completion> c) : completion(std::move(c)) {}
    ~Settler() { completion->settle(false); }
    Settler(const Settler&) = delete;
    Settler& operator=(const Settler&) = delete;
    std::shared_ptr<Completion> completion;
};

} // namespace

void setUIThread() {
    std::lock_guard lock(g_mutex);
    g_uiThread = std::this_thread::get_id();
    g_stopped = false;
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
        runGuarded("postToUIThread", task);
        return;
    }
    if (!enqueue(task))
        LUMO_LOG("postToUIThread: the user-interface thread takes no more work; dropped");
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
        runGuarded("postToUIThread", task);
        ++ran;
    }
}

bool runOnUIThreadAndWait(const char* what, std::function<void()> work) {
    if (isUIThread())
        return runGuarded(what, work);
    auto completion = std::make_shared<Completion>();
    {
        auto settler = std::make_shared<Settler>(completion);
        std::function<void()> task = [settler, what, work = std::move(work)] {
            settler->completion->settle(runGuarded(what, work));
        };
        if (!enqueue(task)) {
            LUMO_LOG("%s: the user-interface thread takes no more work; not asked", what);
            return false;
        }
    }
    return completion->wait();
}

void stopUIThreadTasks() {
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard lock(g_mutex);
        g_stopped = true;
        dropped.swap(g_tasks);
    }
    if (!dropped.empty())
        LUMO_LOG("stopUIThreadTasks: %zu tasks of other threads dropped", dropped.size());
    // Destroying them answers the threads that wait for them.
}
