#include "db/LumoSortCache.h"

#include "app/LumoLog.h"
#include "db/LumoSortCacheImpl.h"
#include "support/NamedThread.h"
#include "support/PathDigest.h"
#include "support/ThreadSafeQueue.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

// An auto-reset event a caller waits on for the worker's answer, with room for that answer.
class LumoSortCacheWaiter {
public:
    void signal(bool found, const LumoSortCacheInfo& info) {
        {
            std::lock_guard lock(m_mutex);
            m_found = found;
            m_info = info;
            m_signalled = true;
        }
        m_ready.notify_one();
    }

    // Answers what signal() was given; ready for the next use afterwards.
    bool wait(LumoSortCacheInfo& info) {
        std::unique_lock lock(m_mutex);
        m_ready.wait(lock, [this] { return m_signalled; });
        m_signalled = false;
        if (m_found)
            info = std::move(m_info);
        return m_found;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_ready;
    bool m_signalled = false;
    bool m_found = false;
    LumoSortCacheInfo m_info;
};

// Owns the worker thread and its queue. The thread owns the LumoSortCacheImpl and with it the
// database; no other thread touches either.
class LumoSortCacheWorker {
public:
    explicit LumoSortCacheWorker(std::string cacheFolder)
        : m_cacheFolder(std::move(cacheFolder)), m_logging(isDebugFlagOn(DebugFlag::SORT_CACHE_LOGGING)),
          m_thread("LumoSortCacheWorker", lumo::kBackgroundThreadStackSize, [this] { run(); }) {}

    // Runs every command posted so far, then ends the thread.
    ~LumoSortCacheWorker() {
        LumoSortDataCommand quit;
        quit.m_code = LumoSortDataCommand::kQuit;
        m_queue.add(std::move(quit));
        m_thread.join();
    }

    void post(LumoSortDataCommand command) { m_queue.add(std::move(command)); }

    // Posts the command and waits, without limit, for the worker to have run it.
    bool postAndWait(LumoSortDataCommand command, LumoSortCacheInfo& info) {
        std::unique_ptr<LumoSortCacheWaiter> waiter = takeWaiter();
        command.m_waiter = waiter.get();
        m_queue.add(std::move(command));
        const bool found = waiter->wait(info);
        std::lock_guard lock(m_waitersMutex);
        m_waiters.push_back(std::move(waiter));
        return found;
    }

    // Posts every command, then waits for each answer: the worker runs them back to back.
    void postAndWaitMany(std::vector<LumoSortDataCommand> commands, LumoSortCacheInfo* infos, bool* found) {
        std::vector<std::unique_ptr<LumoSortCacheWaiter>> waiters;
        waiters.reserve(commands.size());
        for (LumoSortDataCommand& command : commands) {
            waiters.push_back(takeWaiter());
            command.m_waiter = waiters.back().get();
            m_queue.add(std::move(command));
        }
        for (std::size_t i = 0; i < waiters.size(); ++i)
            found[i] = waiters[i]->wait(infos[i]);
        std::lock_guard lock(m_waitersMutex);
        for (auto& waiter : waiters)
            m_waiters.push_back(std::move(waiter));
    }

private:
    std::unique_ptr<LumoSortCacheWaiter> takeWaiter() {
        std::lock_guard lock(m_waitersMutex);
        if (m_waiters.empty())
            return std::make_unique<LumoSortCacheWaiter>();
        std::unique_ptr<LumoSortCacheWaiter> waiter = std::move(m_waiters.back());
        m_waiters.pop_back();
        return waiter;
    }

    void run() {
        if (m_logging)
            LUMO_LOG("LumoSortCacheWorker::run() starting on '%s'", m_cacheFolder.c_str());
        LumoSortCacheImpl impl(m_cacheFolder);
        for (;;) {
            LumoSortDataCommand command = m_queue.remove();
            // Sampled as the command is taken: a store commits its batch only when nothing follows it.
            const bool moreWaiting = !m_queue.empty();
            bool found = false;
            try {
                switch (command.m_code) {
                case LumoSortDataCommand::kFetch:
                    found = impl.fetchSortData(command);
                    break;
                case LumoSortDataCommand::kStore:
                    impl.storeSortData(command, moreWaiting);
                    break;
                case LumoSortDataCommand::kPurgeOne:
                    impl.purgeSortInfoFor(command.m_key);
                    break;
                case LumoSortDataCommand::kPurgeAll:
                    impl.purgeEntries();
                    break;
                case LumoSortDataCommand::kPurgeDaysOld:
                    impl.purgeEntriesDaysOld(command.m_days);
                    break;
                case LumoSortDataCommand::kQuit:
                    break;
                default:
                    LUMO_LOG("LumoSortCacheWorker::run() unknown command %d", command.m_code);
                    break;
                }
            } catch (const std::exception& e) {
                // Database errors are handled inside; this is running out of memory and the like.
                LUMO_LOG("LumoSortCacheWorker::run() got error: %s", e.what());
                found = false;
            }
            if (command.m_waiter)
                command.m_waiter->signal(found, command.m_info);
            if (command.m_code == LumoSortDataCommand::kQuit)
                break;
        }
        if (m_logging)
            LUMO_LOG("LumoSortCacheWorker::run() ending");
    }

    std::string m_cacheFolder;
    bool m_logging;
    ThreadSafeQueue<LumoSortDataCommand> m_queue;
    std::mutex m_waitersMutex;
    std::vector<std::unique_ptr<LumoSortCacheWaiter>> m_waiters;
    lumo::NamedThread m_thread; // last: started once everything it uses exists, joined first
};

namespace {

// Guards starting, stopping and posting. Never destroyed, so that a call during the process's exit
// finds it intact.
std::recursive_mutex& moduleLock() {
    static auto* lock = new std::recursive_mutex;
    return *lock;
}

// Null before InitSortCache() and after TerminateSortCache(). A plain pointer on purpose: a cache that
// was never terminated is left running at exit rather than joined from a static destructor after the
// log has gone.
LumoSortCacheWorker* g_worker = nullptr;

} // namespace

void LumoSortCache::InitSortCache(const std::string& cacheFolder) {
    std::lock_guard lock(moduleLock());
    if (g_worker)
        return;
    try {
        g_worker = new LumoSortCacheWorker(cacheFolder);
    } catch (const std::exception& e) {
        LUMO_LOG("LumoSortCache::InitSortCache() got error: %s", e.what());
    }
}

void LumoSortCache::TerminateSortCache() {
    std::lock_guard lock(moduleLock());
    if (!g_worker)
        return;
    LUMO_LOG("LumoSortCache::TerminateSortCache()");
    delete std::exchange(g_worker, nullptr);
}

bool LumoSortCache::isRunning() {
    std::lock_guard lock(moduleLock());
    return g_worker != nullptr;
}

// The lock is held through the wait so that the worker cannot be terminated under a waiting caller;
// the worker itself never takes it.
bool LumoSortCache::GetSortInfoFor(const std::string& path, LumoSortCacheInfo& info) {
    std::lock_guard lock(moduleLock());
    if (!g_worker)
        return false;
    LumoSortDataCommand command;
    command.m_key = lumo::pathDigest(path);
    command.m_code = LumoSortDataCommand::kFetch;
    return g_worker->postAndWait(std::move(command), info);
}

void LumoSortCache::GetSortInfoForMany(const std::vector<std::string>& paths,
                                       std::vector<LumoSortCacheInfo>& infos, std::vector<bool>& found) {
    infos.assign(paths.size(), LumoSortCacheInfo{});
    found.assign(paths.size(), false);
    std::lock_guard lock(moduleLock());
    if (!g_worker)
        return;
    // In slices, so that the pool of waiters stays small however many paths are asked for.
    constexpr std::size_t kSlice = 256;
    bool answers[kSlice];
    for (std::size_t first = 0; first < paths.size(); first += kSlice) {
        const std::size_t count = std::min(kSlice, paths.size() - first);
        std::vector<LumoSortDataCommand> commands(count);
        for (std::size_t i = 0; i < count; ++i) {
            commands[i].m_key = lumo::pathDigest(paths[first + i]);
            commands[i].m_code = LumoSortDataCommand::kFetch;
        }
        g_worker->postAndWaitMany(std::move(commands), infos.data() + first, answers);
        for (std::size_t i = 0; i < count; ++i)
            found[first + i] = answers[i];
    }
}

void LumoSortCache::setSortInfoFor(const std::string& path, const LumoSortCacheInfo& info) {
    std::lock_guard lock(moduleLock());
    if (!g_worker)
        return;
    LumoSortDataCommand command;
    command.m_info = info;
    command.m_key = lumo::pathDigest(path);
    command.m_code = LumoSortDataCommand::kStore;
    g_worker->post(std::move(command));
}

void LumoSortCache::purgeSortInfoFor(const std::string& path) {
    std::lock_guard lock(moduleLock());
    if (!g_worker)
        return;
    LumoSortDataCommand command;
    command.m_key = lumo::pathDigest(path);
    command.m_code = LumoSortDataCommand::kPurgeOne;
    g_worker->post(std::move(command));
}

void LumoSortCache::purgeEntriesDaysOld(int days) {
    std::lock_guard lock(moduleLock());
    if (!g_worker)
        return;
    LumoSortDataCommand command;
    command.m_code = LumoSortDataCommand::kPurgeDaysOld;
    command.m_days = days;
    g_worker->post(std::move(command));
}

void LumoSortCache::purgeEntries() {
    std::lock_guard lock(moduleLock());
    if (!g_worker)
        return;
    LumoSortDataCommand command;
    command.m_code = LumoSortDataCommand::kPurgeAll;
    LumoSortCacheInfo unused;
    g_worker->postAndWait(std::move(command), unused);
}
