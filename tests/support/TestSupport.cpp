#include "support/TestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace lumo::test {

namespace {
std::atomic<int> g_counter{0};
} // namespace

TempDir::TempDir() {
    m_path = testRunFolder() + "/t" + std::to_string(g_counter.fetch_add(1));
    std::filesystem::remove_all(m_path);
    std::filesystem::create_directories(m_path);
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

std::string TempDir::file(const std::string& name) const { return m_path + "/" + name; }

std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeWholeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::map<std::string, std::string>& env, const std::string& input) {
    std::map<std::string, std::string> merged;
    for (char** e = environ; *e; ++e) {
        const char* eq = std::strchr(*e, '=');
        if (eq)
            merged[std::string(*e, eq)] = eq + 1;
    }
    for (const auto& [k, v] : env) {
        if (v.empty())
            merged.erase(k);
        else
            merged[k] = v;
    }
    std::vector<std::string> envText;
    for (const auto& [k, v] : merged)
        envText.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& s : envText)
        envp.push_back(s.data());
    envp.push_back(nullptr);

    std::vector<std::string> argText{program};
    argText.insert(argText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : argText)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    int inPipe[2], outPipe[2], errPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) || pipe2(outPipe, O_CLOEXEC) || pipe2(errPipe, O_CLOEXEC))
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(inPipe[0]);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (rc != 0) {
        ::close(inPipe[1]);
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(rc));
    }

    ProcessResult result;
    std::size_t inputSent = 0;
    int inFd = inPipe[1];
    if (input.empty()) {
        ::close(inFd);
        inFd = -1;
    } else {
        fcntl(inFd, F_SETFL, O_NONBLOCK);
    }
    int outFd = outPipe[0], errFd = errPipe[0];
    while (outFd >= 0 || errFd >= 0) {
        pollfd fds[3];
        int n = 0;
        if (outFd >= 0)
            fds[n++] = {outFd, POLLIN, 0};
        if (errFd >= 0)
            fds[n++] = {errFd, POLLIN, 0};
        if (inFd >= 0)
            fds[n++] = {inFd, POLLOUT, 0};
        if (::poll(fds, static_cast<nfds_t>(n), -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < n; ++i) {
            if (!fds[i].revents)
                continue;
            if (fds[i].fd == inFd) {
                const ssize_t w = ::write(inFd, input.data() + inputSent, input.size() - inputSent);
                if (w > 0)
                    inputSent += static_cast<std::size_t>(w);
                if (w < 0 || inputSent == input.size()) {
                    ::close(inFd);
                    inFd = -1;
                }
                continue;
            }
            char buf[65536];
            const ssize_t r = ::read(fds[i].fd, buf, sizeof buf);
            std::string& sink = fds[i].fd == outFd ? result.out : result.err;
            if (r > 0) {
                sink.append(buf, static_cast<std::size_t>(r));
            } else {
                ::close(fds[i].fd);
                (fds[i].fd == outFd ? outFd : errFd) = -1;
            }
        }
    }
    if (inFd >= 0)
        ::close(inFd);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

std::string corpusFolder() {
    const std::string folder = LUMO_CORPUS_DIR;
    return std::filesystem::is_directory(folder) ? std::filesystem::canonical(folder).string() : std::string();
}

} // namespace lumo::test
