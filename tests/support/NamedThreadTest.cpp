#include "support/NamedThread.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <utility>

using namespace std::chrono_literals;
using lumo::NamedThread;

TEST(NamedThread, TheThreadCarriesItsNameAndStackSize) {
    char name[64] = {};
    std::size_t stackSize = 0;
    NamedThread thread("BackgroundOperation-Ingest", lumo::kBackgroundThreadStackSize, [&] {
        pthread_getname_np(pthread_self(), name, sizeof name);
        pthread_attr_t attr;
        ASSERT_EQ(pthread_getattr_np(pthread_self(), &attr), 0);
        pthread_attr_getstacksize(&attr, &stackSize);
        pthread_attr_destroy(&attr);
    });
    thread.join();
    EXPECT_EQ(thread.name(), "BackgroundOperation-Ingest");
    EXPECT_STREQ(name, "BackgroundOpera"); // the kernel keeps 15 bytes of the name
    EXPECT_GE(stackSize, lumo::kBackgroundThreadStackSize);
}

TEST(NamedThread, TheOwnerJoinsAndMovesHandOverTheThread) {
    std::atomic<int> finished{0};
    const auto slow = [&] {
        std::this_thread::sleep_for(50ms);
        ++finished;
    };
    { NamedThread thread("worker", 1 << 20, slow); }
    EXPECT_EQ(finished.load(), 1);

    NamedThread first("first", 1 << 20, slow);
    NamedThread second(std::move(first));
    EXPECT_FALSE(first.joinable());
    EXPECT_EQ(second.name(), "first");
    // Assigning over a running thread joins it first.
    std::atomic<bool> release{false};
    second = NamedThread("third", 1 << 20, [&] {
        release.wait(false);
        ++finished;
    });
    EXPECT_EQ(finished.load(), 2);
    release = true;
    release.notify_one();
    second.join();
    EXPECT_EQ(finished.load(), 3);
}
