#pragma once

#include "support/NamedThread.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace lumo::test {

// Ends the test binary with a message when the scope it guards has not ended within `limit`: a test
// of a wait that must not hang fails at once instead of at the test runner's timeout, and a hung
// thread cannot be joined by anyone else anyway.
class Watchdog {
public:
    explicit Watchdog(std::string what, std::chrono::seconds limit = std::chrono::seconds(20))
        : m_what(std::move(what)), m_thread("watchdog", 256 * 1024, [this, limit] {
              std::unique_lock lock(m_mutex);
              if (m_done.wait_for(lock, limit, [this] { return m_finished; }))
                  return;
              std::fprintf(stderr, "\nwatchdog: hung: %s\n", m_what.c_str());
              std::fflush(stderr);
              std::abort();
          }) {}
    ~Watchdog() {
        {
            std::lock_guard lock(m_mutex);
            m_finished = true;
        }
        m_done.notify_all();
        m_thread.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::string m_what;
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_finished = false;
    lumo::NamedThread m_thread; // last: started once the members it uses exist
};

} // namespace lumo::test
