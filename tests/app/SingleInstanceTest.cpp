#include "app/SingleInstance.h"
#include "app/AppTimer.h"
#include "app/CommandParse.h"
#include "app/DebugFlags.h"
#include "app/LumoLogger.h"
#include "app/LumoPaths.h"
#include "app/MessageBox.h"
#include "app/UIThread.h"
#include "support/FileIO.h"
#include "support/NamedThread.h"
#include "support/TestSupport.h"
#include "support/ThreadSafeQueue.h"
#include "support/Watchdog.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr int kIAmFirst = 0, kHandedOver = 10, kOtherRuns = 11, kFailed = 12, kCrashed = 3;

int secondStart(const std::string& folder, const std::vector<std::string>& args) {
    std::vector<std::string> all{folder};
    all.insert(all.end(), args.begin(), args.end());
    return lumo::test::runProcess(LUMO_INSTANCE_HELPER, all).exitCode;
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// The first instance of a test: hand-overs land in `received`.
struct FirstInstance {
    explicit FirstInstance(const std::string& folder) : instance(folder) {}
    SingleInstance::Claim claim() {
        CCommandParse none;
        return instance.claim(none, [this](HandOverMessage m) { received.add(std::move(m)); });
    }
    ThreadSafeQueue<HandOverMessage> received; // outlives the listener that fills it
    SingleInstance instance;
};

} // namespace

TEST(SingleInstance, ASecondStartHandsItsFileToTheFirst) {
    lumo::test::TempDir dir;
    const std::string folder = dir.file("run"), photos = dir.file("photos");
    std::filesystem::create_directories(photos);
    lumo::test::writeWholeFile(photos + "/IMG_1.JPG", "jpeg");
    lumo::test::writeWholeFile(photos + "/IMG_1.XMP", "<x/>");

    FirstInstance first(folder);
    ASSERT_EQ(first.claim(), SingleInstance::Claim::First);
    EXPECT_EQ(modeOf(folder), 0700u);
    EXPECT_EQ(modeOf(first.instance.socketPath()) & 077, 0u);

    EXPECT_EQ(secondStart(folder, {photos + "/IMG_1.JPG", "-f"}), kHandedOver);
    auto got = first.received.remove(60s);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->path, photos);
    EXPECT_EQ(got->copyDataWord, 1u);

    EXPECT_EQ(secondStart(folder, {photos + "/IMG_1.XMP"}), kHandedOver);
    got = first.received.remove(60s);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->path, photos + "/IMG_1.XMP");
    EXPECT_EQ(got->copyDataWord, 0u);

    // Nothing to open: the second start still leaves, and the first hears nothing.
    EXPECT_EQ(secondStart(folder, {}), kOtherRuns);
    EXPECT_EQ(secondStart(folder, {photos + "/missing.jpg"}), kOtherRuns);

    // Garbage on the socket is dropped unanswered and the listener goes on serving.
    int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, first.instance.socketPath().c_str());
    ASSERT_EQ(::connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::send(sock, "\1FILEOPEN{x}\0/etc\0", 18, MSG_NOSIGNAL), 18);
    ::shutdown(sock, SHUT_WR);
    char ack = 0;
    EXPECT_EQ(::recv(sock, &ack, 1, 0), 0);
    ::close(sock);
    EXPECT_TRUE(SingleInstance::handOver(folder, {"/", 0}));
    ASSERT_TRUE(first.received.remove(60s));
    EXPECT_TRUE(first.received.empty());

    // Once the first has ended (its listener joined, its socket gone), the next start is first.
    first.instance.release();
    EXPECT_FALSE(first.instance.isListening());
    EXPECT_FALSE(std::filesystem::exists(first.instance.socketPath()));
    EXPECT_EQ(secondStart(folder, {photos}), kIAmFirst);
    first.instance.release(); // twice is harmless
}

TEST(SingleInstance, RemainsOfACrashedInstanceDoNotBlockTheNext) {
    lumo::test::TempDir dir;
    const std::string folder = dir.file("run");
    ASSERT_EQ(secondStart(folder, {"--crash"}), kCrashed);
    FirstInstance probe(folder);
    ASSERT_TRUE(std::filesystem::exists(probe.instance.socketPath()));

    ASSERT_EQ(probe.claim(), SingleInstance::Claim::First);
    EXPECT_EQ(secondStart(folder, {dir.path()}), kHandedOver);
    const auto got = probe.received.remove(60s);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->path, dir.path());
}

TEST(SingleInstance, OnlyAPrivateFolderOfTheUserIsUsed) {
    lumo::test::TempDir dir;
    const std::string open = dir.file("open");
    std::filesystem::create_directories(open);
    ::chmod(open.c_str(), 0755);
    SingleInstance inOpen(open);
    EXPECT_EQ(inOpen.claimLock(), SingleInstance::Claim::Failed);
    EXPECT_EQ(secondStart(open, {"/"}), kFailed);

    const std::string link = dir.file("link"), target = dir.file("target");
    std::filesystem::create_directories(target);
    ::chmod(target.c_str(), 0700);
    std::filesystem::create_directory_symlink(target, link);
    SingleInstance viaLink(link);
    EXPECT_EQ(viaLink.claimLock(), SingleInstance::Claim::Failed);
}

namespace {

// Each test owns the process's log threshold for its duration.
struct TimerTest : ::testing::Test {
    void SetUp() override { m_saved = LumoLogger::instance().setFlushThreshold(0); }
    void TearDown() override {
        LumoLogger::instance().setFlushThreshold(m_saved);
        LumoPaths::reset();
        reloadDebugFlags();
    }
    std::size_t m_saved = 0;
    AppTimer timer;
    const AppTimer::Clock::time_point t0 = AppTimer::Clock::now();
};

} // namespace

TEST_F(TimerTest, TicksAtMostEvery90MillisecondsAndNeverNest) {
    std::vector<std::string> ran;
    std::size_t thresholdInTick = 0;
    bool nestedRan = true;
    timer.addTickHandler([&] {
        ran.push_back("a");
        thresholdInTick = LumoLogger::instance().setFlushThreshold(AppTimer::kTickFlushThreshold);
        nestedRan = timer.handleTimerCallback(t0 + 10s);
    });
    int removable = 0;
    timer.addTickHandler([&] {
        ran.push_back("b");
        timer.removeTickHandler(removable);
        throw std::runtime_error("a failing handler stops nobody");
    });
    removable = timer.addTickHandler([&] { ran.push_back("c"); });
    timer.addTickHandler([&] { ran.push_back("d"); });

    setUIThread();
    lumo::NamedThread worker("poster", 1 << 20, [&] { postToUIThread([&] { ran.push_back("ui"); }); });
    worker.join();

    EXPECT_TRUE(timer.handleTimerCallback(t0));
    EXPECT_EQ(ran, (std::vector<std::string>{"a", "b", "d", "ui"}));
    EXPECT_EQ(thresholdInTick, AppTimer::kTickFlushThreshold);
    EXPECT_FALSE(nestedRan);
    EXPECT_EQ(LumoLogger::instance().setFlushThreshold(0), 0u); // restored

    EXPECT_FALSE(timer.handleTimerCallback(t0 + 89ms));
    EXPECT_TRUE(timer.handleTimerCallback(t0 + 90ms));
    EXPECT_FALSE(timer.handleTimerCallback(t0 + 179ms));
    EXPECT_EQ(ran.size(), 7u);
}

TEST_F(TimerTest, ALateTickIsLoggedAsStarving) {
    lumo::test::TempDir settings;
    lumo::test::writeWholeFile(settings.file("LumoDebug.txt"), "APP_TIMER_STARVATION_LOGGING on\n");
    LumoPaths::initialise(ResolvedLocations{settings.path(), lumo::test::testRunFolder() + "/cache"});
    reloadDebugFlags();
    LumoLogger::instance().flush();
    std::uint64_t start = 0;
    lumo::fileSize(LumoPaths::logFilePath(), start);

    EXPECT_TRUE(timer.handleTimerCallback(t0)); // the first tick is late for nothing
    EXPECT_TRUE(timer.handleTimerCallback(t0 + 250ms));
    EXPECT_TRUE(timer.handleTimerCallback(t0 + 500ms + 500us));
    LumoLogger::instance().flush();
    const std::string log = lumo::test::readWholeFile(LumoPaths::logFilePath()).substr(start);
    EXPECT_EQ(log.find("STARVING (elapsed=0.250000)"), std::string::npos);
    EXPECT_NE(log.find("AppUtils::HandleTimerCallback: STARVING (elapsed=0.250500)"), std::string::npos)
        << log;
}

TEST_F(TimerTest, RemovingAHandlerWaitsForItsRunningTickToEnd) {
    lumo::test::Watchdog watchdog("removing a running tick handler");
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false, released = false;
    std::vector<std::string> events;
    int calls = 0;
    const int slow = timer.addTickHandler([&] {
        std::unique_lock lock(mutex);
        ++calls;
        entered = true;
        changed.notify_all();
        changed.wait(lock, [&] { return released; });
        events.push_back("handler ended");
    });
    lumo::NamedThread ticker("ticker", 1 << 20, [&] { timer.handleTimerCallback(t0); });
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return entered; });
    }
    std::atomic<bool> removed{false};
    lumo::NamedThread remover("remover", 1 << 20, [&] {
        timer.removeTickHandler(slow);
        removed = true;
        std::lock_guard lock(mutex);
        events.push_back("removed");
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(removed) << "removal returned while the handler still ran";
    {
        std::lock_guard lock(mutex);
        released = true;
    }
    changed.notify_all();
    remover.join();
    ticker.join();
    EXPECT_EQ(events, (std::vector<std::string>{"handler ended", "removed"}));
    EXPECT_TRUE(timer.handleTimerCallback(t0 + 1s));
    EXPECT_EQ(calls, 1);

    // A handler that removes itself is not waited for: it runs to its end and never again.
    int selfCalls = 0, self = 0;
    self = timer.addTickHandler([&] {
        timer.removeTickHandler(self);
        ++selfCalls;
    });
    EXPECT_TRUE(timer.handleTimerCallback(t0 + 2s));
    EXPECT_TRUE(timer.handleTimerCallback(t0 + 3s));
    EXPECT_EQ(selfCalls, 1);
}

namespace {

std::string processLog() {
    LumoLogger::instance().flush();
    const std::string file = LumoLogger::instance().logFilePath();
    return (file.empty() || !std::filesystem::exists(file) ? std::string()
                                                           : lumo::test::readWholeFile(file)) +
           LumoLogger::instance().pendingText();
}

} // namespace

TEST(UIThread, WorkThatThrowsIsLoggedAndItsAskerStillAnswered) {
    lumo::test::Watchdog watchdog("a question whose front end throws");
    setUIThread();
    std::vector<std::string> ran;
    lumo::NamedThread poster("poster", 1 << 20, [&] {
        postToUIThread([] { throw std::runtime_error("task failed"); });
        postToUIThread([&] { ran.push_back("next"); });
    });
    poster.join();
    EXPECT_EQ(runUIThreadTasks(), 2);
    EXPECT_EQ(ran, std::vector<std::string>{"next"});
    EXPECT_NE(processLog().find("postToUIThread: exception: task failed"), std::string::npos);

    // A front end that fails answers a question the way that does the least: cancel, else no.
    setMessageBoxHandler([](std::string_view, MessageBoxButtons) -> MessageBoxAnswer {
        throw std::runtime_error("no display");
    });
    const std::vector<std::pair<MessageBoxButtons, MessageBoxAnswer>> cases = {
        {MessageBoxButtons::Ok, MessageBoxAnswer::Ok},
        {MessageBoxButtons::OkCancel, MessageBoxAnswer::Cancel},
        {MessageBoxButtons::YesNo, MessageBoxAnswer::No},
        {MessageBoxButtons::YesNoCancel, MessageBoxAnswer::Cancel},
        {MessageBoxButtons::RetrySkipCancel, MessageBoxAnswer::Cancel}};
    std::vector<MessageBoxAnswer> expected, answers;
    std::atomic<bool> done{false};
    lumo::NamedThread asker("asker", 1 << 20, [&] {
        for (const auto& [buttons, answer] : cases)
            answers.push_back(showMessageBox("Replace the file?", buttons));
        done = true;
    });
    while (!done) {
        runUIThreadTasks();
        std::this_thread::sleep_for(1ms);
    }
    asker.join();
    for (const auto& [buttons, answer] : cases)
        expected.push_back(answer);
    EXPECT_EQ(answers, expected);
    EXPECT_EQ(showMessageBox("Replace the file?", MessageBoxButtons::YesNo), MessageBoxAnswer::No);
    EXPECT_NE(processLog().find("showMessageBox: exception: no display"), std::string::npos);

    // Once the user-interface thread takes no more work (shutdown), a question waiting for it, or put
    // later, is answered "cancel" at once; made the user-interface thread again, it takes work again.
    setMessageBoxHandler([](std::string_view, MessageBoxButtons) { return MessageBoxAnswer::Ok; });
    answers.clear();
    lumo::NamedThread waiting(
        "waiting", 1 << 20, [&] { answers.push_back(showMessageBox("Quit?", MessageBoxButtons::OkCancel)); });
    std::this_thread::sleep_for(20ms);
    stopUIThreadTasks();
    waiting.join();
    lumo::NamedThread("later", 1 << 20, [&] {
        answers.push_back(showMessageBox("Quit?", MessageBoxButtons::OkCancel));
    }).join();
    EXPECT_EQ(answers, (std::vector<MessageBoxAnswer>{MessageBoxAnswer::Cancel, MessageBoxAnswer::Cancel}));
    setUIThread();
    lumo::NamedThread("poster", 1 << 20, [&] { postToUIThread([&] { ran.push_back("again"); }); }).join();
    EXPECT_EQ(runUIThreadTasks(), 1);
    setMessageBoxHandler(nullptr);
}
