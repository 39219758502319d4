#include "contactsheet/ContactSheetSortManagerImpl.h"

#include "app/DebugFlags.h"
#include "app/LumoLogger.h"
#include "app/LumoPaths.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;

namespace {

// A door jobs wait at (in their first status report) until the test opens it.
class Gate {
public:
    void wait() {
        std::unique_lock lock(m_mutex);
        ++m_waiting;
        m_changed.notify_all();
        m_changed.wait(lock, [&] { return m_open; });
    }
    void waitForArrivals(int count) {
        std::unique_lock lock(m_mutex);
        ASSERT_TRUE(m_changed.wait_for(lock, 10s, [&] { return m_waiting >= count; }));
    }
    void open() {
        std::lock_guard lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_waiting = 0;
    bool m_open = false;
};

// What the completion callbacks said, by job (document x 1000 + serial).
class Outcomes {
public:
    std::function<void(bool, const ContactSheetSortResult&)> recorder(std::uint32_t document,
                                                                      std::uint32_t serial) {
        return [this, document, serial](bool completed, const ContactSheetSortResult& result) {
            std::lock_guard lock(m_mutex);
            m_calls[document * 1000 + serial].push_back(completed && result.serial == serial);
            m_changed.notify_all();
        };
    }
    bool waitFor(std::size_t jobs) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, 10s, [&] { return m_calls.size() >= jobs; });
    }
    std::map<std::uint32_t, std::vector<bool>> calls() {
        std::lock_guard lock(m_mutex);
        return m_calls;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<std::uint32_t, std::vector<bool>> m_calls;
};

// A job over `count` items without files (their records are empty): quick, or held at `gate`.
ContactSheetSortWork job(std::uint32_t document, std::uint32_t serial, Outcomes& outcomes,
                         Gate* gate = nullptr, std::size_t count = 3) {
    ContactSheetSortWork work;
    work.document = document;
    work.serial = serial;
    work.settings.sortType = kSortFilename;
    work.items.resize(count);
    work.completion = outcomes.recorder(document, serial);
    if (gate)
        work.status = [gate, first = std::make_shared<bool>(true)](const ContactSheetSortStatus&) {
            if (std::exchange(*first, false))
                gate->wait();
        };
    return work;
}

} // namespace

TEST(ContactSheetSortManager, ANewerSortCancelsTheOlderOneOfTheSameDocument) {
    lumo::test::TempDir settings;
    lumo::test::writeWholeFile(settings.file("LumoDebug.txt"), "SORT_MANAGER_LOGGING yes\n");
    LumoPaths::initialise(ResolvedLocations{settings.path(), lumo::test::testRunFolder() + "/cache"});
    reloadDebugFlags();
    ContactSheetSortManagerImpl manager;
    ASSERT_TRUE(manager.start());
    Outcomes outcomes;
    Gate gate;
    manager.queue_sort(job(7, 1, outcomes, &gate));
    gate.waitForArrivals(1);
    manager.queue_sort(job(7, 2, outcomes));
    manager.queue_sort(job(8, 1, outcomes, nullptr)); // another document is not touched
    ASSERT_TRUE(outcomes.waitFor(2));
    gate.open();
    ASSERT_TRUE(outcomes.waitFor(3));
    manager.stop();
    const auto calls = outcomes.calls();
    EXPECT_EQ(calls,
              (std::map<std::uint32_t, std::vector<bool>>{{7001, {false}}, {7002, {true}}, {8001, {true}}}));
    ASSERT_TRUE(manager.get_result_for(7));
    EXPECT_EQ(manager.get_result_for(7)->serial, 2u);
    EXPECT_EQ(manager.get_result_for(7)->order, (std::vector<std::uint32_t>{0, 1, 2}));
    EXPECT_FALSE(manager.get_result_for(9));
    EXPECT_TRUE(manager.should_cancel_for(7, 3)); // stopped: everything is cancelled

    LumoLogger::instance().flush();
    const std::string log =
        lumo::test::readWholeFile(LumoPaths::logFilePath()) + LumoLogger::instance().pendingText();
    for (const char* line :
         {"ContactSheetSortManagerImpl::queue_sort(7)", "QueueSort: job_id:2 (folder-based)",
          "ContactSheetSortManagerImpl::set_cancel_for(7) for existing jobs below:2",
          "ContactSheetSortManagerImpl::should_cancel_for(7) serial set",
          "ContactSheetSortManagerImpl::should_cancel_for(7) stop_all set", "waiting for work", "found work",
          "signalled work cancelled for", "signalled work complete for", "setting work result for",
          "ContactSheetSortThread_3 quit", "result NOT found"})
        EXPECT_NE(log.find(line), std::string::npos) << line;
    LumoPaths::reset();
    reloadDebugFlags();
}

TEST(ContactSheetSortManager, StoppingADocumentWaitsForItsRunningJob) {
    ContactSheetSortManagerImpl manager;
    ASSERT_TRUE(manager.start());
    Outcomes outcomes;
    Gate gate;
    manager.queue_sort(job(3, 1, outcomes, &gate));
    gate.waitForArrivals(1);
    manager.queue_sort(job(3, 2, outcomes, &gate)); // may wait queued or at the gate
    auto stopped = std::async(std::launch::async, [&] { manager.stop_work_for_document(3); });
    EXPECT_EQ(stopped.wait_for(200ms), std::future_status::timeout);
    gate.open();
    EXPECT_EQ(stopped.wait_for(10s), std::future_status::ready);
    // Both jobs have reported, cancelled, before stop_work_for_document returned.
    EXPECT_EQ(outcomes.calls(),
              (std::map<std::uint32_t, std::vector<bool>>{{3001, {false}}, {3002, {false}}}));
    EXPECT_FALSE(manager.get_result_for(3));
    // The document sorts again afterwards with a newer serial.
    manager.queue_sort(job(3, 3, outcomes));
    ASSERT_TRUE(outcomes.waitFor(3));
    EXPECT_EQ(outcomes.calls().at(3003), (std::vector<bool>{true}));
}

TEST(ContactSheetSortManager, TerminateJoinsTheThreadsAndCancelsQueuedWork) {
    ContactSheetSortManager::initialize();
    ContactSheetSortManager* manager = ContactSheetSortManager::instance();
    ASSERT_NE(manager, nullptr);
    ContactSheetSortManager::initialize(); // once only
    EXPECT_EQ(ContactSheetSortManager::instance(), manager);
    Outcomes outcomes;
    Gate gate;
    for (std::uint32_t document = 0; document < 4; ++document)
        manager->queue_sort(job(document, document + 1, outcomes, &gate));
    gate.waitForArrivals(4); // every thread busy
    for (std::uint32_t document = 4; document < 10; ++document)
        manager->queue_sort(job(document, document + 1, outcomes, nullptr, 5000));
    auto terminated = std::async(std::launch::async, [] { ContactSheetSortManager::terminate(); });
    std::this_thread::sleep_for(50ms);
    gate.open();
    ASSERT_EQ(terminated.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(ContactSheetSortManager::instance(), nullptr);
    const auto calls = outcomes.calls();
    ASSERT_EQ(calls.size(), 10u); // each job told once, none completed
    for (const auto& [serial, told] : calls)
        EXPECT_EQ(told, (std::vector<bool>{false})) << serial;
}

TEST(ContactSheetSortManager, DocumentNumbersHashWithFnv1a) {
    // 64-bit FNV-1a of the bytes 00 00 00 00 and of 01 00 00 00.
    EXPECT_EQ(DocumentNumberHash{}(0), static_cast<std::size_t>(0x4d25767f9dce13f5ull));
    EXPECT_NE(DocumentNumberHash{}(1), DocumentNumberHash{}(256));
}
