#include "ServerProcess.h"

#include "TestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace lumo::test {

namespace {

void reap(pid_t pid, std::chrono::milliseconds grace) {
    const auto end = std::chrono::steady_clock::now() + grace;
    int status = 0;
    while (true) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR))
            return;
        if (std::chrono::steady_clock::now() >= end) {
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

} // namespace

std::string testServerScript(const std::string& name) {
    return std::string(LUMO_TEST_SERVERS_DIR) + "/" + name;
}

ServerProcess::~ServerProcess() {
    stop();
}

bool ServerProcess::start(const std::string& program, const std::vector<std::string>& args,
                          const std::map<std::string, std::string>& env, std::chrono::milliseconds timeout) {
    stop();
    m_error.clear();
    m_port = 0;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        m_error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    static int serial = 0;
    m_errFile =
        testRunFolder() + "/server-" + std::to_string(::getpid()) + "-" + std::to_string(++serial) + ".err";

    std::map<std::string, std::string> withUnbuffered = env;
    withUnbuffered["PYTHONUNBUFFERED"] = "1";
    SpawnArguments spawn(program, args, withUnbuffered);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, m_errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    const int rc =
        posix_spawnp(&pid, program.c_str(), &actions, nullptr, spawn.argv.data(), spawn.envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (rc != 0) {
        ::close(pipeFds[0]);
        m_error = "cannot start " + program + ": " + std::strerror(rc);
        return false;
    }
    m_pid = pid;
    m_out = pipeFds[0];

    // The ready line: "ready PORT\n".
    std::string line;
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (line.find('\n') == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            m_error = "no ready line in time; it said: " + errors();
            stop();
            return false;
        }
        pollfd p{m_out, POLLIN, 0};
        const int n = ::poll(&p, 1, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            continue;
        char buffer[256];
        const ssize_t got = ::read(m_out, buffer, sizeof buffer);
        if (got <= 0) {
            m_error = "it ended before it was ready; it said: " + errors();
            stop();
            return false;
        }
        line.append(buffer, static_cast<std::size_t>(got));
    }
    if (line.rfind("ready ", 0) != 0) {
        m_error = "unexpected first line: " + line;
        stop();
        return false;
    }
    m_port = std::atoi(line.c_str() + 6);
    return true;
}

void ServerProcess::stop(std::chrono::milliseconds grace) {
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        reap(m_pid, grace);
        m_pid = -1;
    }
    if (m_out >= 0) {
        ::close(m_out);
        m_out = -1;
    }
}

void ServerProcess::kill() {
    if (m_pid > 0)
        ::kill(m_pid, SIGKILL);
    stop(std::chrono::milliseconds(0));
}

std::string ServerProcess::errors() const {
    return m_errFile.empty() ? std::string() : readWholeFile(m_errFile);
}

} // namespace lumo::test
