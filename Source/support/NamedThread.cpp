#include "NamedThread.h"

#include <unistd.h>

#include <climits>
#include <exception>
#include <memory>
#include <system_error>
#include <utility>

namespace lumo {

namespace {

struct StartData {
    std::string name;
    std::function<void()> body;
};

void* threadStart(void* arg) {
    std::unique_ptr<StartData> data(static_cast<StartData*>(arg));
    pthread_setname_np(pthread_self(), data->name.substr(0, 15).c_str());
    try {
        data->body();
    } catch (...) {
        std::terminate();
    }
    return nullptr;
}

std::size_t roundedStackSize(std::size_t requested) {
    const long page = sysconf(_SC_PAGESIZE);
    const std::size_t pageSize = page > 0 ? static_cast<std::size_t>(page) : 4096;
    const std::size_t minimum = static_cast<std::size_t>(PTHREAD_STACK_MIN);
    const std::size_t size = requested < minimum ? minimum : requested;
    return (size + pageSize - 1) / pageSize * pageSize;
}

} // namespace

NamedThread::NamedThread(std::string name, std::size_t stackSize, std::function<void()> body)
    : m_name(std::move(name)) {
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0)
        throw std::system_error(rc, std::generic_category(), "pthread_attr_init");
    rc = pthread_attr_setstacksize(&attr, roundedStackSize(stackSize));
    auto data = std::make_unique<StartData>(StartData{m_name, std::move(body)});
    if (rc == 0)
        rc = pthread_create(&m_thread, &attr, threadStart, data.get());
    pthread_attr_destroy(&attr);
    if (rc != 0)
        throw std::system_error(rc, std::generic_category(), "starting thread " + m_name);
    data.release(); // the thread owns it now
    m_started = true;
}

NamedThread::~NamedThread() {
    join();
}

NamedThread::NamedThread(NamedThread&& other) noexcept
    : m_name(std::move(other.m_name)), m_thread(other.m_thread),
      m_started(std::exchange(other.m_started, false)) {}

NamedThread& NamedThread::operator=(NamedThread&& other) noexcept {
    if (this != &other) {
        join();
        m_name = std::move(other.m_name);
        m_thread = other.m_thread;
        m_started = std::exchange(other.m_started, false);
    }
    return *this;
}

void NamedThread::join() {
    if (!m_started)
        return;
    pthread_join(m_thread, nullptr);
    m_started = false;
}

} // namespace lumo
