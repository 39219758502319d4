#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// The application timer: the front end calls it from its idle loop and its periodic timer, on the
// user-interface thread. At most one tick every 0.09 s runs: the registered tick handlers in the
// order they were added, then the tasks posted to the user-interface thread. A call made while a tick
// runs (a handler that pumps events) returns at once. During a tick the log collects up to 1 MiB
// before writing, so that the many lines of one tick go out in one write; the previous flush
// threshold is back afterwards. A tick that comes more than 0.25 s after the previous one is logged
// as starving when APP_TIMER_STARVATION_LOGGING is on.
class AppTimer {
public:
    using Clock = std::chrono::steady_clock;
    using TickHandler = std::function<void()>;

    static constexpr std::chrono::milliseconds kMinimumInterval{90};
    static constexpr std::chrono::milliseconds kStarvationInterval{250};
    static constexpr std::size_t kTickFlushThreshold = 0x100000;

    // The process's timer.
    static AppTimer& instance();

    // Answers an id for removeTickHandler.
    int addTickHandler(TickHandler handler);
    // Once this returns the handler never runs again, not even later in the same tick. From another
    // thread it waits for a run in progress to end, so the handler is not running then either. On the
    // thread running the tick (the handler removing itself) it returns at once and the running handler
    // finishes; a handler must therefore not wait for a thread that may be removing it.
    void removeTickHandler(int id);

    // Runs a tick when one is due at `now`; answers whether it did.
    bool handleTimerCallback(Clock::time_point now = Clock::now());

private:
    struct Entry {
        int id;
        TickHandler handler;
        bool active = true;
        bool running = false;
    };

    std::mutex m_mutex;
    std::condition_variable m_handlerEnded;
    std::vector<std::shared_ptr<Entry>> m_handlers;
    std::thread::id m_tickThread; // the thread running the current tick
    int m_nextId = 1;
    std::atomic<bool> m_running{false}; // the nesting guard
    bool m_hasRun = false;
    Clock::time_point m_lastRun;
};

namespace AppUtils {
// The process's application timer callback (AppTimer::instance()).
void HandleTimerCallback();
} // namespace AppUtils
