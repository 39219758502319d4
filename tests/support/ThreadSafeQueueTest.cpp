#include "support/ThreadSafeQueue.h"
#include "support/NamedThread.h"

#include <gmock/gmock.h>
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

TEST(ThreadSafeQueue, ItemsComeOutInOrderAndAnEmptyRemoveNoWaitThrows) {
    ThreadSafeQueue<std::unique_ptr<int>> queue;
    for (int i = 0; i < 4; ++i)
        queue.add(std::make_unique<int>(i));
    EXPECT_EQ(*queue.removeNoWait(), 0);
    EXPECT_EQ(*queue.remove(), 1);
    EXPECT_EQ(**queue.remove(1ms), 2);
    EXPECT_EQ(*queue.removeNoWait(), 3);
    EXPECT_THAT([&] { queue.removeNoWait(); }, ::testing::ThrowsMessage<ThreadSafeQueueException>(
                                                   "ThreadSafeQueue: remove called on empty queue"));
}

TEST(ThreadSafeQueue, RemoveWaitsForAnotherThreadOrItsLimit) {
    ThreadSafeQueue<std::string> queue;
    NamedThread producer("producer", kStack, [&] {
        std::this_thread::sleep_for(30ms);
        queue.add("late");
        std::this_thread::sleep_for(30ms);
        queue.add("in time");
    });
    EXPECT_EQ(queue.remove(), "late");
    EXPECT_EQ(queue.remove(60s), "in time");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(queue.remove(100ms), std::nullopt);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
}

TEST(ThreadSafeQueue, ManyProducersAndConsumersMoveEveryItemOnce) {
    constexpr int kPairs = 4, kEach = 5000;
    ThreadSafeQueue<int> queue;
    std::vector<std::atomic<int>> seen(kPairs * kEach);
    std::atomic<int> claimed{0};
    {
        std::vector<NamedThread> threads;
        for (int p = 0; p < kPairs; ++p) {
            threads.emplace_back("producer", kStack, [&, p] {
                for (int i = 0; i < kEach; ++i)
                    queue.add(p * kEach + i);
            });
            threads.emplace_back("consumer", kStack, [&] {
                while (claimed++ < kPairs * kEach)
                    ++seen[queue.remove()];
            });
        }
    }
    for (std::size_t i = 0; i < seen.size(); ++i)
        ASSERT_EQ(seen[i].load(), 1) << "item " << i;
}
