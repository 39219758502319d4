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

namespace {

struct Inside {
    std::string name;
    std::size_t stackSize = 0;
};

Inside lookInside() {
    Inside seen;
    char name[64] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    seen.name = name;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstacksize(&attr, &seen.stackSize);
        pthread_attr_destroy(&attr);
    }
    return seen;
}

} // namespace

TEST(NamedThread, TheThreadCarriesItsNameAndStackSize) {
    Inside seen;
    NamedThread("SortCache", lumo::kBackgroundThreadStackSize, [&] { seen = lookInside(); }).join();
    EXPECT_EQ(seen.name, "SortCache");
    EXPECT_GE(seen.stackSize, lumo::kBackgroundThreadStackSize);

    // The kernel keeps 15 bytes of the name; the object keeps all of it.
    NamedThread longName("BackgroundOperation-Ingest", 100000, [&] { seen = lookInside(); });
    longName.join();
    EXPECT_EQ(longName.name(), "BackgroundOperation-Ingest");
    EXPECT_EQ(seen.name, "BackgroundOpera");
    EXPECT_GE(seen.stackSize, 100000u);
    EXPECT_FALSE(longName.joinable());
}

TEST(NamedThread, DestructorJoinsAndMovesHandOverTheThread) {
    std::atomic<bool> done{false};
    {
        NamedThread thread("worker", 1 << 20, [&] {
            std::this_thread::sleep_for(50ms);
            done = true;
        });
    }
    EXPECT_TRUE(done);

    std::atomic<int> finished{0};
    auto slow = [&] {
        std::this_thread::sleep_for(30ms);
        ++finished;
    };
    NamedThread first("first", 1 << 20, slow);
    NamedThread second(std::move(first));
    EXPECT_FALSE(first.joinable());
    EXPECT_TRUE(second.joinable());
    EXPECT_EQ(second.name(), "first");

    // Assigning over a running thread joins it first.
    std::atomic<bool> release{false};
    second = NamedThread("third", 1 << 20, [&] {
        while (!release)
            std::this_thread::sleep_for(1ms);
        ++finished;
    });
    EXPECT_EQ(finished.load(), 1);
    EXPECT_EQ(second.name(), "third");
    release = true;
    second.join();
    EXPECT_EQ(finished.load(), 2);
    first.join(); // nothing to join: harmless
    NamedThread empty;
    EXPECT_FALSE(empty.joinable());
}
