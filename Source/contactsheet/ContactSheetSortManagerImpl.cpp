#include "contactsheet/ContactSheetSortManagerImpl.h"

#include "app/LumoApp.h"
#include "app/LumoLog.h"

#include <cstdio>
#include <exception>
#include <system_error>

namespace {

std::mutex& moduleLock() {
    static std::mutex lock;
    return lock;
}

ContactSheetSortManagerImpl* g_manager = nullptr;

} // namespace

#define SORT_LOG(...) LUMO_CHANNEL_LOG(DebugFlag::SORT_MANAGER_LOGGING, __VA_ARGS__)

// ---- the process's manager

ContactSheetSortManager* ContactSheetSortManager::instance() {
    std::lock_guard lock(moduleLock());
    return g_manager;
}

void ContactSheetSortManager::initialize() {
    std::lock_guard lock(moduleLock());
    if (g_manager)
        return;
    LUMO_LOG("ContactSheetSortManagerImpl initializing");
    auto manager = std::make_unique<ContactSheetSortManagerImpl>();
    if (manager->start())
        g_manager = manager.release();
}

void ContactSheetSortManager::terminate() {
    ContactSheetSortManagerImpl* manager = nullptr;
    {
        std::lock_guard lock(moduleLock());
        manager = g_manager;
        g_manager = nullptr;
    }
    if (!manager)
        return;
    LUMO_LOG("ContactSheetSortManagerImpl terminating");
    manager->stop();
    delete manager;
    LUMO_LOG("ContactSheetSortManagerImpl termination complete");
}

// ---- threads

ContactSheetSortManagerImpl::~ContactSheetSortManagerImpl() {
    stop();
}

bool ContactSheetSortManagerImpl::start() {
    {
        std::lock_guard lock(m_mutex);
        m_stopAll = false;
    }
    try {
        for (int i = 0; i < kThreadCount; ++i) {
            char name[40];
            std::snprintf(name, sizeof name, "ContactSheetSortThread_%d", i);
            {
                std::lock_guard lock(m_mutex);
                ++m_liveThreads;
            }
            try {
                m_threads.emplace_back(name, kThreadStackSize, [this, i] { worker(i); });
            } catch (...) {
                std::lock_guard lock(m_mutex);
                --m_liveThreads;
                throw;
            }
        }
    } catch (const std::system_error& e) {
        LUMO_LOG("ContactSheetSortManagerImpl::start() could not start a sort thread: %s", e.what());
        stop();
        return false;
    }
    return true;
}

void ContactSheetSortManagerImpl::stop() {
    {
        std::lock_guard lock(m_mutex);
        m_stopAll = true;
    }
    m_condition.notify_all();
    for (lumo::NamedThread& thread : m_threads)
        if (thread.joinable())
            thread.join();
    m_threads.clear();
}

void ContactSheetSortManagerImpl::worker(int number) {
    char nameBuffer[40];
    std::snprintf(nameBuffer, sizeof nameBuffer, "ContactSheetSortThread_%d", number);
    const char* name = nameBuffer;
    std::unique_lock lock(m_mutex);
    for (;;) {
        SORT_LOG("%s waiting for work", name);
        m_condition.wait(lock, [this] { return m_stopAll || !m_order.empty(); });
        // Stopping all still hands every queued job its "cancelled".
        if (m_order.empty()) {
            SORT_LOG("%s quit", name);
            --m_liveThreads;
            m_condition.notify_all();
            return;
        }
        const std::uint32_t document = m_order.front();
        m_order.pop_front();
        DocumentState& state = m_documents[document];
        if (state.queue.empty())
            continue; // cannot happen: each queued job has one entry in m_order
        const std::shared_ptr<Job> job = std::move(state.queue.front());
        state.queue.pop_front();
        SORT_LOG("%s found work", name);
        began_work_for(document);
        const std::uint32_t serial = job->work.serial;
        lock.unlock();

        std::optional<ContactSheetSortResult> result;
        try {
            result = RunContactSheetSort(
                job->work, [this, document, serial] { return should_cancel_for(document, serial); });
        } catch (const std::exception& e) {
            LUMO_LOG("ContactSheetSortManagerImpl::worker() got error: %s", e.what());
            result.reset();
        }
        if (result && should_cancel_for(document, serial))
            result.reset(); // a newer job took over while this one finished
        if (result) {
            SORT_LOG("%s setting work result for %p", name, static_cast<const void*>(job.get()));
            set_result_for(document, *result);
        }
        try {
            if (job->work.completion)
                job->work.completion(result.has_value(), result ? *result : ContactSheetSortResult{});
        } catch (const std::exception& e) {
            LUMO_LOG("ContactSheetSortManagerImpl::worker() got error: %s", e.what());
        }
        if (result)
            SORT_LOG("%s signalled work complete for %p", name, static_cast<const void*>(job.get()));
        else
            SORT_LOG("%s signalled work cancelled for %p", name, static_cast<const void*>(job.get()));

        lock.lock();
        ended_work_for(document);
    }
}

// ---- with the lock held

void ContactSheetSortManagerImpl::began_work_for(std::uint32_t document) {
    const unsigned running = ++m_documents[document].running;
    SORT_LOG("ContactSheetSortManagerImpl::began_work_for(%lu) running:%u",
             static_cast<unsigned long>(document), running);
}

void ContactSheetSortManagerImpl::ended_work_for(std::uint32_t document) {
    DocumentState& state = m_documents[document];
    if (state.running > 0)
        --state.running;
    SORT_LOG("ContactSheetSortManagerImpl::ended_work_for(%lu) running:%u",
             static_cast<unsigned long>(document), state.running);
    m_condition.notify_all();
}

bool ContactSheetSortManagerImpl::should_cancel_locked(std::uint32_t document, std::uint32_t serial) {
    if (m_stopAll) {
        SORT_LOG("ContactSheetSortManagerImpl::should_cancel_for(%lu) stop_all set",
                 static_cast<unsigned long>(document));
        return true;
    }
    const auto found = m_documents.find(document);
    if (found == m_documents.end())
        return false;
    if (serial < found->second.cancelBelow) {
        SORT_LOG("ContactSheetSortManagerImpl::should_cancel_for(%lu) serial set",
                 static_cast<unsigned long>(document));
        return true;
    }
    if (found->second.stopping > 0) {
        SORT_LOG("ContactSheetSortManagerImpl::should_cancel_for(%lu) document set",
                 static_cast<unsigned long>(document));
        return true;
    }
    return false;
}

// ---- the interface

void ContactSheetSortManagerImpl::queue_sort(ContactSheetSortWork work) {
    const std::uint32_t document = work.document;
    const std::uint32_t serial = work.serial;
    SORT_LOG("ContactSheetSortManagerImpl::queue_sort(%lu)", static_cast<unsigned long>(document));
    SORT_LOG("QueueSort: job_id:%u (%s)", serial, work.folderBased ? "folder-based" : "search-based");
    {
        std::lock_guard lock(m_mutex);
        DocumentState& state = m_documents[document];
        if (serial > state.cancelBelow) {
            SORT_LOG("ContactSheetSortManagerImpl::set_cancel_for(%lu) for existing jobs below:%lu",
                     static_cast<unsigned long>(document), static_cast<unsigned long>(serial));
            state.cancelBelow = serial;
        }
        if (serial > state.latestSerial)
            state.latestSerial = serial;
        state.queue.push_back(std::make_shared<Job>(Job{std::move(work)}));
        m_order.push_back(document);
    }
    m_condition.notify_all();
}

void ContactSheetSortManagerImpl::cancel_sort(std::uint32_t document) {
    std::lock_guard lock(m_mutex);
    DocumentState& state = m_documents[document];
    state.cancelBelow = std::uint64_t{state.latestSerial} + 1;
    SORT_LOG("ContactSheetSortManagerImpl::set_cancel_for(%lu) for existing jobs below:%lu",
             static_cast<unsigned long>(document), static_cast<unsigned long>(state.cancelBelow));
}

void ContactSheetSortManagerImpl::stop_work_for_document(std::uint32_t document) {
    std::unique_lock lock(m_mutex);
    DocumentState& state = m_documents[document];
    state.cancelBelow = std::uint64_t{state.latestSerial} + 1;
    ++state.stopping;
    SORT_LOG("ContactSheetSortManagerImpl::stop_work_for_document(%lu)",
             static_cast<unsigned long>(document));
    // Queued jobs of the document are taken and report cancelled too: none is left to run later. Once the
    // threads have quit nothing runs and nothing is waited for.
    m_condition.wait(lock, [&] {
        const DocumentState& now = m_documents[document];
        return now.running == 0 && (now.queue.empty() || m_liveThreads == 0);
    });
    DocumentState& after = m_documents[document];
    --after.stopping;
    m_results.erase(document);
}

void ContactSheetSortManagerImpl::set_result_for(std::uint32_t document,
                                                 const ContactSheetSortResult& result) {
    std::lock_guard lock(m_mutex);
    m_results.insert_or_assign(document, result);
}

std::optional<ContactSheetSortResult> ContactSheetSortManagerImpl::get_result_for(std::uint32_t document) {
    std::lock_guard lock(m_mutex);
    const auto found = m_results.find(document);
    if (found == m_results.end()) {
        SORT_LOG("ContactSheetSortManagerImpl::get_result_for(%lu) result NOT found",
                 static_cast<unsigned long>(document));
        return std::nullopt;
    }
    SORT_LOG("ContactSheetSortManagerImpl::get_result_for(%lu) result found",
             static_cast<unsigned long>(document));
    return found->second;
}

bool ContactSheetSortManagerImpl::should_cancel_for(std::uint32_t document, std::uint32_t serial) {
    std::lock_guard lock(m_mutex);
    return should_cancel_locked(document, serial);
}

// ---- start-up and shutdown

void addContactSheetSortService(CLumoApp& app) {
    app.startupSteps().add("ContactSheetSortManager initialize", [] {
        ContactSheetSortManager::initialize();
        return true; // without sort threads the program still sorts on the caller's thread
    });
    app.shutdownSteps().add("ContactSheetSortManager terminate", [] {
        ContactSheetSortManager::terminate();
        return true;
    });
}
