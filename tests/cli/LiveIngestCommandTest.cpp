// `lumo live-ingest` as a real process: a photo closed in the watched folder arrives in every
// destination and is told on one line; SIGTERM ends the watch cleanly; usage errors are refused.

#include "LumoHome.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Starts lumo with `args` and `home`'s environment, its standard output and error going to files.
pid_t startLumo(const LumoHome& home, const std::vector<std::string>& args, const std::string& out,
                const std::string& err) {
    const pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    for (const auto& [name, value] : home.env)
        ::setenv(name.c_str(), value.c_str(), 1);
    const int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int errFd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(outFd, 1);
    ::dup2(errFd, 2);
    std::vector<char*> argv{const_cast<char*>(LUMO_BINARY)};
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ::execv(LUMO_BINARY, argv.data());
    ::_exit(127);
}

// Waits up to `timeout` for `predicate`.
template <typename Predicate>
bool waitFor(std::chrono::milliseconds timeout, Predicate predicate) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

} // namespace

TEST(LiveIngestCommandTest, CopiesEachNewPhotoUntilTerminated) {
    const std::string corpus = lumo::test::corpusFolder();
    if (corpus.empty())
        GTEST_SKIP() << "no corpus";
    LumoHome home;
    const std::string src = home.dir.file("src"), d1 = home.dir.file("d1"), d2 = home.dir.file("d2");
    fs::create_directories(src);
    const std::string out = home.dir.file("out.txt"), err = home.dir.file("err.txt");
    lumo::test::writeWholeFile(out, "");
    lumo::test::writeWholeFile(err, "");
    const pid_t pid =
        startLumo(home, {"live-ingest", "--json", "--watch", src, "--to", d1, "--to", d2}, out, err);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(
        waitFor(10s, [&] { return lumo::test::readWholeFile(err).find("watching") != std::string::npos; }));
    std::this_thread::sleep_for(
        200ms); // the watch is set up before the line is written; a margin all the same
    const std::string bytes = lumo::test::readWholeFile(corpus + "/exiftool/Canon.jpg");
    lumo::test::writeWholeFile(src + "/IMG_0001.JPG", bytes);
    const auto closed = std::chrono::steady_clock::now();
    const bool told =
        waitFor(10s, [&] { return lumo::test::readWholeFile(out).find('\n') != std::string::npos; });
    const auto arrived = std::chrono::steady_clock::now();
    ::kill(pid, SIGTERM);
    int status = -1;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(told) << lumo::test::readWholeFile(err);
    std::printf("lumo live-ingest: close to the line telling the verified copies: %lld ms\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(arrived - closed).count()));
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << lumo::test::readWholeFile(err);
    const nlohmann::json line = nlohmann::json::parse(lumo::test::readWholeFile(out));
    EXPECT_EQ(line["path"], src + "/IMG_0001.JPG");
    EXPECT_EQ(line["destinations"], nlohmann::json({d1 + "/IMG_0001.JPG", d2 + "/IMG_0001.JPG"}));
    EXPECT_EQ(lumo::test::readWholeFile(d1 + "/IMG_0001.JPG"), bytes);
    EXPECT_EQ(lumo::test::readWholeFile(d2 + "/IMG_0001.JPG"), bytes);
}

TEST(LiveIngestCommandTest, UsageErrors) {
    LumoHome home("live-ingest");
    const std::string src = home.dir.file("src");
    fs::create_directories(src);
    const struct {
        std::vector<std::string> args;
        std::string error;
    } cases[] = {
        {{"--watch", src}, "--to"},
        {{"--watch", home.dir.file("missing"), "--to", home.dir.file("d")}, "not a folder to watch"},
        {{"--watch", src, "--to", src + "/"}, "is a watched folder"},
        {{"--watch", src, "--to", home.dir.file("d"), "--to", home.dir.file("d")}, "given twice"},
        {{"--watch", src, "--to", home.dir.file("d"), "--layout", "named"}, "needs --folder"},
    };
    for (const auto& c : cases) {
        const lumo::test::ProcessResult result = home.lumo(c.args);
        EXPECT_EQ(result.exitCode, 2) << c.error;
        EXPECT_NE(result.err.find(c.error), std::string::npos) << result.err;
    }
}
