#include "app/AppTimer.h"

#include "app/LumoLog.h"
#include "app/UIThread.h"

#include <algorithm>
#include <atomic>
#include <exception>

namespace {

// Raises the log's flush threshold for the life of a tick.
class FlushThresholdRaise {
public:
    FlushThresholdRaise()
        : m_previous(LumoLogger::instance().setFlushThreshold(AppTimer::kTickFlushThreshold)) {}
    ~FlushThresholdRaise() { LumoLogger::instance().setFlushThreshold(m_previous); }
    FlushThresholdRaise(const FlushThresholdRaise&) = delete;
    FlushThresholdRaise& operator=(const FlushThresholdRaise&) = delete;

private:
    std::size_t m_previous;
};

// Clears the nesting guard however the tick ends.
class RunningFlag {
public:
    explicit RunningFlag(std::atomic<bool>& flag) : m_flag(flag) {}
    ~RunningFlag() { m_flag = false; }
    RunningFlag(const RunningFlag&) = delete;
    RunningFlag& operator=(const RunningFlag&) = delete;

private:
    std::atomic<bool>& m_flag;
};

void runGuarded(const std::function<void()>& work) {
    try {
        work();
    } catch (const std::exception& e) {
        LUMO_LOG("AppUtils::HandleTimerCallback: exception: %s", e.what());
    } catch (...) {
        LUMO_LOG("AppUtils::HandleTimerCallback: unknown C++ exception");
    }
}

} // namespace

AppTimer& AppTimer::instance() {
    static AppTimer timer;
    return timer;
}

int AppTimer::addTickHandler(TickHandler handler) {
    std::lock_guard lock(m_mutex);
    const int id = m_nextId++;
    m_handlers.push_back(std::make_shared<Entry>(Entry{id, std::move(handler)}));
    return id;
}

void AppTimer::removeTickHandler(int id) {
    std::unique_lock lock(m_mutex);
    const auto it =
        std::find_if(m_handlers.begin(), m_handlers.end(), [id](const auto& e) { return e->id == id; });
    if (it == m_handlers.end())
        return;
    const std::shared_ptr<Entry> entry = *it;
    entry->active = false;
    m_handlers.erase(it);
    // On the tick's own thread the running handler is this caller or below it on the stack: waiting
    // would never end.
    if (m_running && m_tickThread != std::this_thread::get_id())
        m_handlerEnded.wait(lock, [&] { return !entry->running; });
}

bool AppTimer::handleTimerCallback(Clock::time_point now) {
    std::vector<std::shared_ptr<Entry>> handlers;
    {
        std::lock_guard lock(m_mutex);
        if (m_running)
            return false;
        if (m_hasRun) {
            const auto elapsed = now - m_lastRun;
            if (elapsed < kMinimumInterval)
                return false;
            if (elapsed > kStarvationInterval)
                LUMO_CHANNEL_LOG(DebugFlag::APP_TIMER_STARVATION_LOGGING,
                                 "AppUtils::HandleTimerCallback: STARVING (elapsed=%f)",
                                 std::chrono::duration<double>(elapsed).count());
        }
        m_running = true;
        m_tickThread = std::this_thread::get_id();
        m_hasRun = true;
        m_lastRun = now;
        handlers = m_handlers;
    }
    RunningFlag running(m_running);
    FlushThresholdRaise raise;
    for (const auto& entry : handlers) {
        {
            std::lock_guard lock(m_mutex);
            if (!entry->active)
                continue;
            entry->running = true;
        }
        runGuarded(entry->handler);
        {
            std::lock_guard lock(m_mutex);
            entry->running = false;
        }
        m_handlerEnded.notify_all();
    }
    runGuarded([] { runUIThreadTasks(); });
    return true;
}

void AppUtils::HandleTimerCallback() {
    AppTimer::instance().handleTimerCallback();
}
