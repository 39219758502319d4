#pragma once

#include <pthread.h>

#include <cstddef>
#include <functional>
#include <string>

namespace lumo {

inline constexpr std::size_t kBackgroundThreadStackSize = 8u << 20;

// A thread with a name (shown by ps, top and debuggers; the kernel keeps 15 bytes of it) and a stack
// of a given size. Its owner joins it: the destructor joins a thread that is still joinable, so a
// NamedThread never outlives the object that started it. The body must not let an exception escape;
// one that does ends the process, as with std::thread.
class NamedThread {
public:
    NamedThread() = default;
    // Throws std::system_error when the thread cannot be started.
    NamedThread(std::string name, std::size_t stackSize, std::function<void()> body);
    ~NamedThread();

    NamedThread(NamedThread&& other) noexcept;
    NamedThread& operator=(NamedThread&& other) noexcept;
    NamedThread(const NamedThread&) = delete;
    NamedThread& operator=(const NamedThread&) = delete;

    bool joinable() const { return m_started; }
    void join();
    const std::string& name() const { return m_name; }

private:
    std::string m_name;
    pthread_t m_thread{};
    bool m_started = false;
};

} // namespace lumo
