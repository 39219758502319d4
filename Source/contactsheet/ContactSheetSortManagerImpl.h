#pragma once

// The sort manager behind ContactSheetSortManager: four sort threads sharing one mutex and one
// condition variable, which guard the per-document queues, latest serials, cancel marks, running
// counts and results, and the stop-all flag.

#include "contactsheet/ContactSheetSortManager.h"
#include "support/NamedThread.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

// 64-bit FNV-1a over the four bytes of a document number (least significant first).
struct DocumentNumberHash {
    std::size_t operator()(std::uint32_t number) const noexcept {
        std::uint64_t hash = 14695981039346656037ull;
        for (int i = 0; i < 4; ++i) {
            hash ^= (number >> (8 * i)) & 0xFFu;
            hash *= 1099511628211ull;
        }
        return static_cast<std::size_t>(hash);
    }
};

class ContactSheetSortManagerImpl : public ContactSheetSortManager {
public:
    static constexpr int kThreadCount = 4;
    static constexpr std::size_t kThreadStackSize = 1u << 20;

    ContactSheetSortManagerImpl() = default;
    ~ContactSheetSortManagerImpl() override; // stops and joins the threads
    ContactSheetSortManagerImpl(const ContactSheetSortManagerImpl&) = delete;
    ContactSheetSortManagerImpl& operator=(const ContactSheetSortManagerImpl&) = delete;

    // Starts the threads; false (logged) when one could not be started (those started are stopped).
    bool start();
    // Sets stop-all, wakes every thread and joins them; jobs still queued report cancelled first.
    void stop();

    void queue_sort(ContactSheetSortWork work) override;
    void cancel_sort(std::uint32_t document) override;
    void stop_work_for_document(std::uint32_t document) override;
    std::optional<ContactSheetSortResult> get_result_for(std::uint32_t document) override;
    void set_result_for(std::uint32_t document, const ContactSheetSortResult& result);
    bool should_cancel_for(std::uint32_t document, std::uint32_t serial);

private:
    struct Job {
        ContactSheetSortWork work;
    };
    struct DocumentState {
        std::deque<std::shared_ptr<Job>> queue;
        std::uint32_t latestSerial = 0;
        std::uint64_t cancelBelow = 0; // jobs with a lower serial are cancelled
        unsigned running = 0;
        unsigned stopping = 0; // callers in stop_work_for_document
    };

    void worker(int number);
    void began_work_for(std::uint32_t document);
    void ended_work_for(std::uint32_t document);
    bool should_cancel_locked(std::uint32_t document, std::uint32_t serial);

    std::mutex m_mutex;
    std::condition_variable m_condition;
    std::unordered_map<std::uint32_t, DocumentState, DocumentNumberHash> m_documents;
    std::unordered_map<std::uint32_t, ContactSheetSortResult, DocumentNumberHash> m_results;
    std::deque<std::uint32_t> m_order; // the document of each queued job, oldest first
    bool m_stopAll = false;
    int m_liveThreads = 0; // sort threads not yet quit
    std::vector<lumo::NamedThread> m_threads;
};
