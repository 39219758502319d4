#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
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

    // Answers an id for removeTickHandler. A handler removed during a tick does not run again, not even
    // later in the same tick.
    int addTickHandler(TickHandler handler);
    void removeTickHandler(int id);

    // Runs a tick when one is due at `now`; answers whether it did.
    bool handleTimerCallback(Clock::time_point now = Clock::now());

private:
    struct Entry {
        int id;
        TickHandler handler;
        bool active = true;
    };

    std::mutex m_mutex;
    std::vector<std::shared_ptr<Entry>> m_handlers;
    int m_nextId = 1;
    std::atomic<bool> m_running{false}; // the nesting guard
    bool m_hasRun = false;
    Clock::time_point m_lastRun;
};

namespace AppUtils {
// The process's application timer callback (AppTimer::instance()).
void HandleTimerCallback();
} // namespace AppUtils
