#include "support/NamedThread.h"
#include "support/ThreadSafeQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using lumo::NamedThread;

constexpr std::size_t kStack = 1 << 20;

TEST(ThreadSafeQueue, ItemsComeOutInOrderAndEmptyRemoveNoWaitThrows) {
    ThreadSafeQueue<std::unique_ptr<int>> queue;
    EXPECT_TRUE(queue.empty());
    for (int i = 0; i < 5; ++i)
        queue.add(std::make_unique<int>(i));
    EXPECT_EQ(queue.size(), 5u);
    EXPECT_EQ(*queue.removeNoWait(), 0);
    EXPECT_EQ(*queue.remove(), 1);
    EXPECT_EQ(**queue.remove(1ms), 2);
    EXPECT_EQ(*queue.removeNoWait(), 3);
    EXPECT_EQ(*queue.removeNoWait(), 4);

    try {
        queue.removeNoWait();
        FAIL() << "removeNoWait on an empty queue must throw";
    } catch (const ThreadSafeQueueException& e) {
        EXPECT_STREQ(e.what(), "ThreadSafeQueue: remove called on empty queue");
    }
    // The failed remove leaves the queue usable.
    queue.add(std::make_unique<int>(9));
    EXPECT_EQ(*queue.removeNoWait(), 9);
}

TEST(ThreadSafeQueue, RemoveWaitsForAnotherThread) {
    ThreadSafeQueue<std::string> queue;
    {
        NamedThread producer("producer", kStack, [&] {
            std::this_thread::sleep_for(50ms);
            queue.add("late");
        });
        EXPECT_EQ(queue.remove(), "late");
    }
    {
        NamedThread producer("producer", kStack, [&] {
            std::this_thread::sleep_for(20ms);
            queue.add("in time");
        });
        EXPECT_EQ(queue.remove(30s), "in time");
    }

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(queue.remove(100ms), std::nullopt);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
}

TEST(ThreadSafeQueue, ManyProducersAndConsumersMoveEveryItemOnce) {
    constexpr int kProducers = 4, kConsumers = 4, kEach = 5000;
    ThreadSafeQueue<int> queue;
    std::vector<std::atomic<int>> seen(kProducers * kEach);
    std::atomic<int> received{0};
    {
        std::vector<NamedThread> threads;
        for (int c = 0; c < kConsumers; ++c) {
            threads.emplace_back("consumer", kStack, [&] {
                for (;;) {
                    const int item = queue.remove();
                    if (item < 0)
                        return;
                    ++seen[item];
                    ++received;
                }
            });
        }
        std::vector<NamedThread> producers;
        for (int p = 0; p < kProducers; ++p) {
            producers.emplace_back("producer", kStack, [&, p] {
                for (int i = 0; i < kEach; ++i)
                    queue.add(p * kEach + i);
            });
        }
        producers.clear(); // joins
        for (int c = 0; c < kConsumers; ++c)
            queue.add(-1);
    }
    EXPECT_EQ(received.load(), kProducers * kEach);
    for (std::size_t i = 0; i < seen.size(); ++i)
        ASSERT_EQ(seen[i].load(), 1) << "item " << i;
    EXPECT_TRUE(queue.empty());
}
