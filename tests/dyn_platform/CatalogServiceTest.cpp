// The catalog service as the application runs it: a real lumo-catalogd child on a local socket.

#include "app/LumoLogger.h"
#include "app/LumoPaths.h"
#include "archive/PacketFrame.h"
#include "dyn_platform/DynPlatform.h"
#include "support/NamedThread.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
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

// Ping arguments carrying `size` bytes that differ with `seed`.
VObject bulk(int seed, std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7 + static_cast<std::size_t>(seed)) >> 3);
    return vec({seed, bytes});
}

// lumo-catalogd started by the test itself, which plays the application on the other end of the
// socket with raw bytes.
struct RawPeer {
    TempDir dir;
    pid_t pid = -1;
    int fd = -1;
    int stdinFd = -1; // closing it tells the service to exit

    RawPeer() {
        const std::string path = dir.file("bridge");
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        const int listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::bind(listenFd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(listenFd, 1) != 0)
            return;
        int in[2];
        if (::pipe2(in, O_CLOEXEC) != 0)
            return;
        std::vector<std::string> envText{"CILA_LOGFILE_PATH=" + dir.file("dyn.log"),
                                         "LUMO_SETTINGS_PATH=" + dir.path(), "AM_CACHE_ROOT=" + dir.path()};
        std::vector<std::string> argText{LUMO_CATALOGD, "--socket", path};
        std::vector<char*> argv, envp;
        for (auto& a : argText)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto& e : envText)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        if (::posix_spawn(&pid, LUMO_CATALOGD, &actions, nullptr, argv.data(), envp.data()) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        stdinFd = in[1];
        pollfd p{listenFd, POLLIN, 0};
        if (pid > 0 && ::poll(&p, 1, 30000) == 1)
            fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        ::close(listenFd);
        const std::string handshake = "CILA/RPC v01CILA/RPC OK ";
        std::string answer(handshake.size(), '\0');
        if (fd < 0 || ::send(fd, handshake.data(), handshake.size(), MSG_NOSIGNAL) != 24 ||
            ::recv(fd, answer.data(), answer.size(), MSG_WAITALL) != 24 || answer != handshake)
            closeFd(fd);
    }
    ~RawPeer() {
        closeFd(fd);
        closeFd(stdinFd);
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            int status = 0;
            ::waitpid(pid, &status, 0);
        }
    }
    // The service's exit status once it has ended by itself within `limit`; -1 otherwise.
    int exitStatus(std::chrono::milliseconds limit) {
        int status = 0;
        if (!waitUntil(limit, [&] { return ::waitpid(pid, &status, WNOHANG) == pid; }))
            return -1;
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    static void closeFd(int& f) {
        if (f >= 0)
            ::close(f);
        f = -1;
    }
};

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

// Both ends keep reading while they send, so large messages travel both ways at once: each end used to
// block in a send the other was not reading. A regression fails within the short reply time-out.
TEST(CatalogService, LargeMessagesBothWaysAtOnceAndShutdownWhileTheyTravel) {
    cacheFolder();
    DynPlatform platform;
    ASSERT_TRUE(platform.launch_dyn_platform(catalogd())) << platform.lastError();
    constexpr std::size_t kSize = 4u << 20;
    std::atomic<int> matched{0};
    const auto start = Clock::now();
    {
        std::vector<lumo::NamedThread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back("bulk" + std::to_string(t), 1u << 20, [&, t] {
                const VObject a = bulk(t, kSize);
                const DynPlatform::Reply reply = platform.request("ping", a, 20s);
                if (reply.ok && reply.results == a)
                    ++matched;
            });
    }
    EXPECT_EQ(matched.load(), 4);
    EXPECT_LT(Clock::now() - start, 15s);

    // Shutdown with requests of every size still on their way neither hangs nor needs the kill; the
    // callers left waiting are told at once.
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0};
    std::vector<lumo::NamedThread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back("flood" + std::to_string(t), 1u << 20, [&, t] {
            for (int i = 0; !stop; ++i) {
                const DynPlatform::Reply reply =
                    platform.request("ping", bulk(4 * i + t, kSize >> (i % 8)), 20s);
                if (!reply.ok)
                    return;
                ++answered;
            }
        });
    EXPECT_TRUE(waitUntil(15s, [&] { return answered >= 8; }));
    const auto before = Clock::now();
    EXPECT_TRUE(platform.dyn_platform_shutdown(10s));
    EXPECT_LT(Clock::now() - before, 5s);
    stop = true;
    for (auto& thread : threads)
        thread.join();
    EXPECT_FALSE(platform.isRunning());
    EXPECT_TRUE(noChildren());
}

// The service as seen by an application that does not play by the rules: replies it never reads hold
// further requests back (the service buffers a bounded amount, no more), and a frame announcing more
// than the receiver takes is refused and ends the connection before its payload is collected.
TEST(CatalogService, TheServiceBoundsWhatItBuffersAndRefusesAnOversizedFrame) {
    {
        RawPeer peer;
        ASSERT_GE(peer.fd, 0);
        CILA::PROTO::PacketFrameOut frame;
        VObject header = vec({true, 1, "ping"});
        header.serialize(frame);
        bulk(0, 1u << 20).serialize(frame);
        frame.compute_frame_header(0, true);
        std::string bytes(reinterpret_cast<const char*>(frame.header()), frame.headerSize());
        bytes.append(reinterpret_cast<const char*>(frame.data()), frame.size());
        // Send ping after ping without reading; the service stops taking them once its replies back up.
        std::size_t sent = 0, pos = 0;
        const auto deadline = Clock::now() + 1s;
        while (Clock::now() < deadline) {
            const ssize_t n =
                ::send(peer.fd, bytes.data() + pos, bytes.size() - pos, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
                pos = (pos + static_cast<std::size_t>(n)) % bytes.size();
            } else {
                ::poll(nullptr, 0, 5);
            }
        }
        EXPECT_GT(sent, bytes.size()); // it took a request or more
        EXPECT_LT(sent, 8u << 20);
        RawPeer::closeFd(peer.stdinFd); // even now, the end of its standard input stops it

        EXPECT_EQ(peer.exitStatus(10s), 0);
    }
    RawPeer peer;
    ASSERT_GE(peer.fd, 0);
    const std::uint8_t oversized[] = {0xA5, 0x01, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 'x'};
    ASSERT_EQ(::send(peer.fd, oversized, sizeof oversized, MSG_NOSIGNAL),
              static_cast<ssize_t>(sizeof oversized));
    char c = 0;
    pollfd p{peer.fd, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 10000), 1);
    EXPECT_EQ(::recv(peer.fd, &c, 1, 0), 0); // closed, nothing sent
    EXPECT_EQ(peer.exitStatus(10s), 0);
    EXPECT_NE(readIfThere(peer.dir.file("dyn.log")).find("lumo-catalogd: exiting: connection failed"),
              std::string::npos);
    EXPECT_NE(readIfThere(peer.dir.file("Lumo.log")).find("Payload size exceeds soft limit"),
              std::string::npos)
        << readIfThere(peer.dir.file("Lumo.log"));
}
