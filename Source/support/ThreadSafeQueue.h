#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <utility>

// Thrown by ThreadSafeQueue::removeNoWait() on an empty queue.
class ThreadSafeQueueException : public std::runtime_error {
public:
    ThreadSafeQueueException() : std::runtime_error("ThreadSafeQueue: remove called on empty queue") {}
};

// A FIFO shared between threads: any thread adds, any thread removes. Items come out in the order
// they went in; each item is handed to exactly one remover.
template <typename T>
class ThreadSafeQueue {
public:
    void add(T item) {
        {
            std::lock_guard lock(m_mutex);
            m_items.push_back(std::move(item));
        }
        m_ready.notify_one();
    }

    // Waits as long as it takes for an item.
    T remove() {
        std::unique_lock lock(m_mutex);
        m_ready.wait(lock, [this] { return !m_items.empty(); });
        return takeFront();
    }

    // Waits at most `limit`; empty when none arrived in time.
    template <typename Rep, typename Period>
    std::optional<T> remove(std::chrono::duration<Rep, Period> limit) {
        std::unique_lock lock(m_mutex);
        if (!m_ready.wait_for(lock, limit, [this] { return !m_items.empty(); }))
            return std::nullopt;
        return takeFront();
    }

    // Does not wait: throws ThreadSafeQueueException when the queue is empty.
    T removeNoWait() {
        std::lock_guard lock(m_mutex);
        if (m_items.empty())
            throw ThreadSafeQueueException();
        return takeFront();
    }

    std::size_t size() const {
        std::lock_guard lock(m_mutex);
        return m_items.size();
    }

    bool empty() const { return size() == 0; }

private:
    T takeFront() {
        T item = std::move(m_items.front());
        m_items.pop_front();
        return item;
    }

    mutable std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<T> m_items;
};
