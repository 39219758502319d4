// The catalog service as the application runs it: a real lumo-catalogd child on a local socket.

#include "app/LumoLogger.h"
#include "app/LumoPaths.h"
#include "dyn_platform/DynPlatform.h"
#include "support/NamedThread.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

using CILA::VObject;
using lumo::test::readWholeFile;
using lumo::test::TempDir;
using lumo::test::writeWholeFile;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// The locations are fixed once per test binary: the process log keeps the first folder it is given.
const std::string& cacheFolder() {
    static const std::string folder = [] {
        const std::string base = lumo::test::testRunFolder() + "/dyn";
        LumoPaths::initialise(ResolvedLocations{base + "/settings", base + "/cache"});
        return base + "/cache";
    }();
    return folder;
}

std::string readIfThere(const std::string& path) {
    return std::filesystem::exists(path) ? readWholeFile(path) : std::string();
}

std::string appLog() {
    LumoLogger::instance().flush();
    return readIfThere(LumoLogger::instance().logFilePath());
}

DynPlatform::LaunchOptions catalogd(std::map<std::string, std::string> env = {}) {
    return {LUMO_CATALOGD, 30s, std::move(env)};
}

// No child of this process is left, running or waiting to be reaped.
bool noChildren() {
    int status = 0;
    return ::waitpid(-1, &status, WNOHANG) == -1 && errno == ECHILD;
}

// The fields of /proc/PID/stat after the command name: state, then the parent's pid.
bool procStat(pid_t pid, std::string& comm, char& state, pid_t& parent) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(in, text))
        return false;
    const auto open = text.find('('), close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close + 4 > text.size())
        return false;
    comm = text.substr(open + 1, close - open - 1);
    state = text[close + 2];
    parent = static_cast<pid_t>(std::atol(text.c_str() + close + 4));
    return true;
}

// Gone, or dead and waiting for a parent that is not us to reap it.
bool processGone(pid_t pid) {
    std::string comm;
    char state = 0;
    pid_t parent = 0;
    return !procStat(pid, comm, state, parent) || state == 'Z' || state == 'X';
}

template <typename Done>
bool waitUntil(std::chrono::milliseconds limit, Done done) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline)
            return false;
        ::poll(nullptr, 0, 10);
    }
    return true;
}

std::string script(const TempDir& dir, const std::string& name, const std::string& body) {
    const std::string path = dir.file(name);
    writeWholeFile(path, "#!/bin/sh\n" + body);
    ::chmod(path.c_str(), 0755);
    return path;
}

VObject vec(std::initializer_list<VObject> items) {
    VObject v = VObject::makeVector();
    for (const auto& item : items)
        v.append(item);
    return v;
}

} // namespace

TEST(CatalogService, EnvironmentLaunchRequestsAndShutdown) {
    const std::string cache = cacheFolder();
    ASSERT_TRUE(DynPlatform::setup_dyn_platform_environment());
    EXPECT_STREQ(std::getenv("CILA_DEFAULT_RPC_REPLY_TIMEOUT_SEC"), "600");
    EXPECT_EQ(std::string(std::getenv("CILA_LOGFILE_PATH")), cache + "/dyn.log");
    EXPECT_EQ(std::string(std::getenv("LUMOLIB_LOGFILE_PATH")), cache + "/LumoLib.log");
    EXPECT_EQ(std::string(std::getenv("LUMOLIB_DEBUGFILE_PATH")),
              LumoPaths::settingsFolder() + "/LumoDebug.txt");
    EXPECT_EQ(std::string(std::getenv("AM_CACHE_ROOT")), cache + "/cache/dyn");
    EXPECT_TRUE(std::filesystem::is_directory(cache + "/cache/dyn"));
    EXPECT_STREQ(std::getenv("CILA_DEFAULT_LOGLEVEL"), "1");

    DynPlatform platform;
    EXPECT_FALSE(platform.isRunning());
    EXPECT_FALSE(platform.request("ping", {}, 1h).ok); // at once, not after an hour

    ASSERT_TRUE(platform.launch_dyn_platform(catalogd())) << platform.lastError();
    const pid_t pid = platform.pid();
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(platform.isRunning());

    VObject hash = VObject::makeHash();
    hash.store("k", vec({-1, 2.5, true}));
    const VObject args = vec({1, "two", hash, VObject()});
    DynPlatform::Reply r = platform.request("ping", args);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.results, args);
    r = platform.request("ping");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.results.size(), 0u);
    r = platform.request("no_such_request", vec({1}));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "\"unknown request: no_such_request\"");

    // Replies find their own callers when several threads wait at once.
    std::vector<lumo::NamedThread> threads;
    std::atomic<int> matched{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back("ping" + std::to_string(t), 1u << 20, [&, t] {
            for (int i = 0; i < 50; ++i) {
                const VObject a = vec({t, i});
                const DynPlatform::Reply reply = platform.request("ping", a, 60s);
                if (reply.ok && reply.results == a)
                    ++matched;
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(matched.load(), 200);

    EXPECT_TRUE(platform.document_rename_batch({{"/photos/a.jpg", "/photos/b.jpg"}}));
    ASSERT_TRUE(platform.request("ping").ok); // the service handles messages in order

    EXPECT_TRUE(platform.dyn_platform_shutdown());
    EXPECT_FALSE(platform.isRunning());
    EXPECT_EQ(platform.pid(), -1);
    EXPECT_TRUE(processGone(pid));
    EXPECT_TRUE(noChildren());
    EXPECT_FALSE(platform.request("ping").ok);
    EXPECT_FALSE(platform.post("ping"));

    const std::string dynLog = readIfThere(cache + "/dyn.log");
    EXPECT_NE(dynLog.find("/photos/a.jpg -> /photos/b.jpg"), std::string::npos) << dynLog;
    EXPECT_NE(dynLog.find("exiting: shutdown requested"), std::string::npos) << dynLog;
}

TEST(CatalogService, AReplyThatNeverComesTimesOutAndTheConnectionGoesOn) {
    cacheFolder();
    DynPlatform platform;
    ASSERT_TRUE(platform.launch_dyn_platform(catalogd({{"LUMO_CATALOGD_IGNORE", "ping"}})))
        << platform.lastError();
    const auto start = Clock::now();
    const DynPlatform::Reply r = platform.request("ping", vec({1}), 300ms);
    EXPECT_GE(Clock::now() - start, 300ms);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "no reply to ping within 300 ms");
    EXPECT_TRUE(platform.isRunning());
    EXPECT_FALSE(platform.request("other").ok); // answered with an error, not a time-out
    EXPECT_NE(platform.lastError().find("unknown request"), std::string::npos);
    EXPECT_TRUE(platform.dyn_platform_shutdown());
    EXPECT_TRUE(noChildren());
}

TEST(CatalogService, AServiceThatDoesNotComeUpIsKilledAndReaped) {
    cacheFolder();
    TempDir dir;
    DynPlatform platform;

    // Says nothing and waits on its standard input for ever.
    const auto start = Clock::now();
    EXPECT_FALSE(platform.launch_dyn_platform({script(dir, "silent", "exec cat\n"), 400ms}));
    EXPECT_GE(Clock::now() - start, 400ms);
    EXPECT_EQ(platform.lastError(), "launch_dyn: timeout");
    EXPECT_FALSE(platform.isRunning());
    EXPECT_EQ(platform.pid(), -1);
    EXPECT_TRUE(noChildren());
    EXPECT_NE(appLog().find("DynPlatform::launch_dyn_platform: launch_dyn: timeout"), std::string::npos);

    EXPECT_FALSE(platform.launch_dyn_platform({script(dir, "quitter", "echo starting\nexit 3\n"), 30s}));
    EXPECT_EQ(platform.lastError(), "launch_dyn: the service ended before it was up");
    EXPECT_TRUE(noChildren());

    EXPECT_FALSE(platform.launch_dyn_platform({dir.file("missing"), 30s}));
    EXPECT_NE(platform.lastError().find("launch_dyn: cannot start"), std::string::npos)
        << platform.lastError();

    // Says it is up but never connects.
    EXPECT_FALSE(platform.launch_dyn_platform(
        {script(dir, "liar", "echo 'lumo-catalogd: up pid=1'\nexec cat\n"), 400ms}));
    EXPECT_EQ(platform.lastError(), "launch_dyn: timeout");
    EXPECT_TRUE(noChildren());

    const auto before = Clock::now();
    EXPECT_FALSE(platform.request("ping", {}, 1h).ok);
    EXPECT_LT(Clock::now() - before, 1h);
    EXPECT_FALSE(platform.document_rename_batch({{"a", "b"}}));
    EXPECT_TRUE(platform.dyn_platform_shutdown()); // nothing to stop
}

TEST(CatalogService, AServiceThatIgnoresShutdownIsKilled) {
    cacheFolder();
    DynPlatform platform;
    ASSERT_TRUE(platform.launch_dyn_platform(catalogd({{"LUMO_CATALOGD_IGNORE", "dyn_platform_shutdown"}})))
        << platform.lastError();
    const pid_t pid = platform.pid();
    EXPECT_FALSE(platform.dyn_platform_shutdown(300ms));
    EXPECT_FALSE(platform.isRunning());
    EXPECT_TRUE(processGone(pid));
    EXPECT_TRUE(noChildren());
    EXPECT_NE(appLog().find("DynPlatform::dyn_platform_shutdown: TIMEOUT waiting for dyn process to exit - "
                            "killing pid..."),
              std::string::npos);
}

TEST(CatalogService, TheServiceEndsWhenItsParentIsKilled) {
    TempDir home;
    std::vector<std::string> envText;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "LUMO_", 5) != 0)
            envText.emplace_back(*e);
    envText.push_back("LUMO_SETTINGS_PATH=" + home.file("settings"));
    envText.push_back("LUMO_CACHE_PATH=" + home.file("cache"));
    std::vector<std::string> argText{LUMO_BINARY, "catalog", "ping", "--count", "100000000"};
    std::vector<char*> argv, envp;
    for (auto& a : argText)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : envText)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t lumo = -1;
    ASSERT_EQ(::posix_spawn(&lumo, LUMO_BINARY, &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);

    pid_t service = -1;
    const bool found = waitUntil(60s, [&] {
        DIR* proc = ::opendir("/proc");
        while (dirent* entry = proc ? ::readdir(proc) : nullptr) {
            const pid_t pid = static_cast<pid_t>(std::atol(entry->d_name));
            std::string comm;
            char state = 0;
            pid_t parent = 0;
            if (pid > 0 && procStat(pid, comm, state, parent) && parent == lumo && comm == "lumo-catalogd")
                service = pid;
        }
        if (proc)
            ::closedir(proc);
        return service > 0;
    });
    const std::string dynLog = home.file("cache") + "/dyn.log";
    const bool up = found && waitUntil(60s, [&] {
                        return readIfThere(dynLog).find("lumo-catalogd: up") != std::string::npos;
                    });
    ::kill(lumo, SIGKILL);
    int status = 0;
    ::waitpid(lumo, &status, 0);
    ASSERT_TRUE(found && up);
    EXPECT_TRUE(waitUntil(5s, [&] { return processGone(service); }));
    // It ended by itself (the end of its standard input, or of the connection), not by a signal.
    EXPECT_TRUE(waitUntil(5s, [&] {
        return readIfThere(dynLog).find("lumo-catalogd: exiting: ") != std::string::npos;
    })) << readIfThere(dynLog);
}
