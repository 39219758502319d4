#include "dyn_platform/DynPlatform.h"

#include "app/LumoApp.h"
#include "app/LumoLog.h"
#include "app/LumoPaths.h"
#include "archive/CilaException.h"
#include "archive/RPCConnection.h"
#include "archive/SocketTransport.h"
#include "dyn_platform/CatalogProtocol.h"
#include "support/FileIO.h"
#include "support/NamedThread.h"
#include "support/TextUtils.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>

extern char** environ;

using CILA::VObject;
using CILA::PROTO::RPC::RPCConnection;
using CILA::PROTO::RPC::RPCMessage;
using CILA::PROTO::RPC::SocketTransport;
using Clock = std::chrono::steady_clock;

namespace {

constexpr char kNotRunning[] = "the catalog service is not running";
constexpr char kConnectionEnded[] = "the connection to the catalog service ended";

void closeFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// Milliseconds left until `deadline`, for poll(); 0 once it has passed.
int msLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

// Waits until `fd` is readable (or hung up); false when the deadline passed first.
bool waitReadable(int fd, Clock::time_point deadline) {
    while (true) {
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, msLeft(deadline));
        if (r > 0)
            return true;
        if (r == 0 || errno != EINTR)
            return false;
    }
}

} // namespace

struct DynPlatform::Impl {
    struct Pending {
        std::string name;
        bool done = false;
        bool abandoned = false; // the caller stopped waiting
        bool registered = false;
        std::uint16_t id = 0;
        Reply reply;
    };
    struct Outgoing {
        std::string name;
        VObject args;
        std::shared_ptr<Pending> pending; // null: no reply expected
    };

    // The child and its pipes; touched only by the thread that launches and shuts down.
    pid_t pid = -1;
    int pidFd = -1;   // becomes readable when the child exits (-1 where the kernel has none)
    int stdinFd = -1; // our end of the child's standard input: its end tells the child to exit
    int stdoutFd = -1;
    int socketFd = -1;
    int wakeFd = -1; // eventfd: work for the input/output thread
    lumo::NamedThread ioThread;

    // Shared with the input/output thread.
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::deque<Outgoing> outgoing;
    std::map<std::uint16_t, std::shared_ptr<Pending>> waiting; // by request id
    bool connectionOpen = false;
    bool connectionEnded = false;
    bool stopThread = false;
    bool running = false;
    pid_t runningPid = -1;
    std::string lastError;

    void wake() {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wakeFd, &one, sizeof one);
    }
    void setError(const std::string& text) {
        std::lock_guard lock(mutex);
        lastError = text;
    }

    void ioLoop();
    void endConnection();
    void onReply(RPCMessage& m);
    void sendQueued(RPCConnection& conn, const SocketTransport& transport);

    bool spawnChild(const std::string& program, const std::string& socketPath,
                    const std::map<std::string, std::string>& environment, std::string& error);
    bool waitForExit(std::chrono::milliseconds timeout);
    void killAndReap();
    void stopIoThread();
    void closeAll();
};

void DynPlatform::Impl::endConnection() {
    std::lock_guard lock(mutex);
    connectionEnded = true;
    running = false;
    for (auto& [id, p] : waiting) {
        p->done = true;
        p->reply.error = kConnectionEnded;
    }
    waiting.clear();
    for (auto& o : outgoing)
        if (o.pending) {
            o.pending->done = true;
            o.pending->reply.error = kConnectionEnded;
        }
    outgoing.clear();
    changed.notify_all();
}

void DynPlatform::Impl::onReply(RPCMessage& m) {
    if (m.args.size() == 0 || m.args.at(0).dataType() != VObject::DT_INTEGER) {
        LUMO_LOG("DynPlatform::onReply: reply without a request id (msg=%s)", m.name.c_str());
        return;
    }
    const auto id = static_cast<std::uint16_t>(m.args.at(0).getint());
    std::lock_guard lock(mutex);
    const auto it = waiting.find(id);
    if (it == waiting.end()) {
        LUMO_CHANNEL_LOG(DebugFlag::CATALOG_DEBUG_LOGGING, "DynPlatform::onReply: late reply #%u (msg=%s)",
                         static_cast<unsigned>(id), m.name.c_str());
        return;
    }
    Pending& p = *it->second;
    p.done = true;
    if (m.name == DynProtocol::kError) {
        p.reply.error = m.args.size() > 1 ? m.args.at(1).toString() : "the catalog service failed";
    } else if (m.name != p.name) {
        p.reply.error = "the catalog service answered " + m.name + " to " + p.name;
    } else {
        p.reply.ok = true;
        p.reply.results = VObject::makeVector();
        for (std::size_t i = 1; i < m.args.size(); ++i)
            p.reply.results.append(std::move(m.args.at(i)));
    }
    waiting.erase(it);
    changed.notify_all();
}

// A request's id is the counter of the frame that carries it, so it is taken here, just before the
// send, on the only thread that sends. Requests wait in the queue while the socket has a backlog of
// kOutputHighWater bytes: what is buffered stays bounded, and the loop goes on reading meanwhile.
void DynPlatform::Impl::sendQueued(RPCConnection& conn, const SocketTransport& transport) {
    while (conn.isOpen() && transport.pending() < SocketTransport::kOutputHighWater) {
        Outgoing o;
        const std::uint16_t id = conn.counter();
        {
            std::lock_guard lock(mutex);
            if (outgoing.empty())
                return;
            o = std::move(outgoing.front());
            outgoing.pop_front();
            if (o.pending) {
                if (o.pending->abandoned)
                    continue;
                o.pending->id = id;
                o.pending->registered = true;
                waiting[id] = o.pending;
            }
        }
        std::string error;
        try {
            if (!conn.send(static_cast<bool>(o.pending), DynProtocol::kServicePort, o.name, o.args))
                error = kConnectionEnded;
        } catch (const std::exception& e) {
            error = e.what();
            LUMO_LOG("DynPlatform::sendQueued: %s (msg=%s)", e.what(), o.name.c_str());
        }
        if (!error.empty() && o.pending) {
            std::lock_guard lock(mutex);
            waiting.erase(id);
            o.pending->done = true;
            o.pending->reply.error = error;
            changed.notify_all();
        }
    }
}

// The bridge's input/output thread: owns the connection; reads the socket and the child's standard
// output (logged, and drained so that the child never blocks on it) and sends what callers queue. It
// waits only in poll(): the socket is written when it takes more and read whenever bytes arrive, so
// a large request going out never holds up the replies coming in, and a stop request is always seen.
void DynPlatform::Impl::ioLoop() {
    SocketTransport transport(socketFd);
    RPCConnection conn(transport);
    conn.registerPort(DynProtocol::kReplyPort, [this](RPCConnection&, RPCMessage& m) { onReply(m); });
    conn.start();
    bool socketOpen = !transport.ended();
    std::string outputLine;
    std::uint8_t buffer[4096];
    while (true) {
        transport.flush();
        pollfd fds[3] = {{wakeFd, POLLIN, 0},
                         {socketOpen ? socketFd : -1, transport.events(true), 0},
                         {stdoutFd, POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            LUMO_LOG("DynPlatform::ioLoop: poll: %s", std::strerror(errno));
            break;
        }
        if (fds[0].revents) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = ::read(wakeFd, &count, sizeof count);
            std::lock_guard lock(mutex);
            if (stopThread)
                break;
        }
        if (socketOpen && (fds[1].revents & POLLOUT))
            transport.flush();
        if (socketOpen && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
            transport.receive(conn);
        if (fds[2].revents) {
            const ssize_t n = ::read(stdoutFd, buffer, sizeof buffer);
            if (n > 0) {
                outputLine.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
                for (std::size_t eol; (eol = outputLine.find('\n')) != std::string::npos;) {
                    LUMO_CHANNEL_LOG(DebugFlag::CATALOG_DEBUG_LOGGING, "DynPlatform: service: %s",
                                     outputLine.substr(0, eol).c_str());
                    outputLine.erase(0, eol + 1);
                }
            } else if (n == 0 || errno != EINTR) {
                closeFd(stdoutFd);
            }
        }
        if (socketOpen && conn.isOpen()) {
            {
                std::lock_guard lock(mutex);
                if (!connectionOpen) {
                    connectionOpen = true;
                    changed.notify_all();
                }
            }
            sendQueued(conn, transport);
        }
        if (socketOpen && (conn.state() == RPCConnection::State::Closed || transport.ended()))
            socketOpen = false;
        if (!socketOpen) {
            bool first = false;
            {
                std::lock_guard lock(mutex);
                first = !connectionEnded;
            }
            if (first) {
                LUMO_LOG("DynPlatform::ioLoop: %s", kConnectionEnded);
                endConnection();
            }
        }
    }
    conn.close();
    endConnection();
}

bool DynPlatform::Impl::spawnChild(const std::string& program, const std::string& socketPath,
                                   const std::map<std::string, std::string>& environment,
                                   std::string& error) {
    int in[2] = {-1, -1}, out[2] = {-1, -1};
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
        error = std::string("launch_dyn: pipe: ") + std::strerror(errno);
        closeFd(in[0]), closeFd(in[1]), closeFd(out[0]), closeFd(out[1]);
        return false;
    }
    std::map<std::string, std::string> env;
    for (char** e = environ; *e; ++e)
        if (const char* eq = std::strchr(*e, '='))
            env[std::string(*e, static_cast<std::size_t>(eq - *e))] = eq + 1;
    for (const auto& [k, v] : environment)
        env[k] = v;
    std::vector<std::string> envText, argText{program, DynProtocol::kSocketOption, socketPath};
    for (const auto& [k, v] : env)
        envText.push_back(k + "=" + v);
    auto pointers = [](std::vector<std::string>& texts) {
        std::vector<char*> p;
        for (auto& t : texts)
            p.push_back(t.data());
        p.push_back(nullptr);
        return p;
    };
    std::vector<char*> argv = pointers(argText), envp = pointers(envText);

    // The child gets the pipes as its standard input and output; every other descriptor of ours is
    // close-on-exec, so it holds nothing that would keep our ends of the pipes open.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    // A process group of its own: Ctrl-C at the terminal is ours to handle (cancel, then shut the
    // service down in order), not a signal that ends the service under us.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    const int rc = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    closeFd(in[0]);
    closeFd(out[1]);
    if (rc != 0) {
        pid = -1;
        error = "launch_dyn: cannot start " + program + ": " + std::strerror(rc);
        closeFd(in[1]), closeFd(out[0]);
        return false;
    }
    stdinFd = in[1];
    stdoutFd = out[0];
    pidFd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    return true;
}

// Reaps the child when it exits within `timeout`.
bool DynPlatform::Impl::waitForExit(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (true) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) {
            pid = -1;
            return true;
        }
        if (Clock::now() >= deadline)
            return false;
        if (pidFd >= 0)
            waitReadable(pidFd, deadline);
        else // no process descriptors: look again shortly
            ::poll(nullptr, 0, std::min(10, msLeft(deadline)));
    }
}

void DynPlatform::Impl::killAndReap() {
    if (pid <= 0)
        return;
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    pid = -1;
}

void DynPlatform::Impl::stopIoThread() {
    if (!ioThread.joinable())
        return;
    {
        std::lock_guard lock(mutex);
        stopThread = true;
    }
    wake();
    ioThread.join();
}

void DynPlatform::Impl::closeAll() {
    closeFd(stdinFd);
    closeFd(stdoutFd);
    closeFd(socketFd);
    closeFd(pidFd);
    closeFd(wakeFd);
    std::lock_guard lock(mutex);
    running = false;
    runningPid = -1;
}

DynPlatform::DynPlatform() : m(std::make_unique<Impl>()) {}

DynPlatform::~DynPlatform() {
    if (m->pid > 0 || m->ioThread.joinable())
        dyn_platform_shutdown();
}

DynPlatform& DynPlatform::instance() {
    static DynPlatform platform;
    return platform;
}

bool DynPlatform::setup_dyn_platform_environment() {
    const std::string settings = LumoPaths::settingsFolder();
    const std::string logs = LumoPaths::logFolder();
    if (settings.empty() || logs.empty()) {
        LUMO_LOG("DynPlatform::setup_dyn_platform_environment: the settings and log folders are not known");
        return false;
    }
    namespace fs = std::filesystem;
    const std::string cacheRoot = (fs::path(logs) / "cache" / "dyn").string();
    if (lumo::createDirectories(cacheRoot) != 0) {
        LUMO_LOG("DynPlatform::setup_dyn_platform_environment: cannot create %s", cacheRoot.c_str());
        return false;
    }
    const bool debug = isDebugFlagOn(DebugFlag::CATALOG_DEBUG_LOGGING);
    const char* level = debug ? "4" : "1";
    const std::pair<const char*, std::string> values[] = {
        {"LUMO_SETTINGS_PATH", settings},
        {"LUMOLIB_LOGFILE_PATH", (fs::path(logs) / "LumoLib.log").string()},
        {"LUMOLIB_DEBUGFILE_PATH", (fs::path(settings) / kDebugFlagsFileName).string()},
        {"CILA_LOGFILE_PATH", (fs::path(logs) / "dyn.log").string()},
        {"AM_CACHE_ROOT", cacheRoot},
        {"CILA_DEFAULT_RPC_REPLY_TIMEOUT_SEC", std::to_string(kDefaultReplyTimeoutSec)},
        {"DYN_DEFAULT_LOGLEVEL", level},
        {"CILA_DEFAULT_LOGLEVEL", level},
        {"CILA_LOCALSVC_LOGLEVEL", level},
    };
    for (const auto& [name, value] : values)
        ::setenv(name, value.c_str(), 1);
    if (isDebugFlagOn(DebugFlag::CILA_RPC_MSG_LOGGING))
        ::setenv("CILA_RPC_MSG_LOGGING", "1", 1);
    return true;
}

std::string DynPlatform::findServiceProgram() {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec)
        return {};
    const fs::path folder = self.parent_path();
    for (const fs::path& candidate :
         {folder / ".." / "lumo-catalogd" / "lumo-catalogd", folder / "lumo-catalogd"})
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate.lexically_normal().string();
    return {};
}

bool DynPlatform::launch_dyn_platform(const LaunchOptions& options) {
    if (isRunning())
        return true;
    if (m->pid > 0 || m->ioThread.joinable()) // a service whose connection ended: clear it away first
        dyn_platform_shutdown(std::chrono::milliseconds(0));
    {
        std::lock_guard lock(m->mutex);
        m->connectionOpen = m->connectionEnded = m->stopThread = false;
        m->lastError.clear();
    }
    const auto deadline = Clock::now() + options.startTimeout;
    std::string folder;
    int listenFd = -1;

    auto fail = [&](const std::string& text) {
        LUMO_LOG("DynPlatform::launch_dyn_platform: %s", text.c_str());
        m->setError(text);
        closeFd(listenFd);
        if (!folder.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(folder, ec);
        }
        m->killAndReap();
        m->stopIoThread();
        m->closeAll();
        return false;
    };

    std::string program = options.program;
    if (program.empty())
        if (const char* p = std::getenv(DynProtocol::kProgramVariable))
            program = p;
    if (program.empty())
        program = findServiceProgram();
    if (program.empty())
        return fail("launch_dyn: lumo-catalogd not found beside this program");

    // A private folder (0700) holds the socket, so only this user can connect; the peer's credentials
    // then prove that it is our child.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string pattern = (runtime && *runtime && std::strlen(runtime) < 60 ? std::string(runtime) : "/tmp") +
                          "/lumo-dyn-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        return fail(std::string("launch_dyn: cannot create a socket folder: ") + std::strerror(errno));
    folder = pattern;
    const std::string socketPath = folder + "/bridge";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
    listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd < 0 || ::bind(listenFd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd, 1) != 0)
        return fail(std::string("launch_dyn: cannot listen: ") + std::strerror(errno));

    std::string error;
    if (!m->spawnChild(program, socketPath, options.environment, error))
        return fail(error);

    // The up line; anything the service prints before it is logged.
    std::string output;
    while (true) {
        const std::size_t eol = output.find('\n');
        if (eol != std::string::npos) {
            const std::string line = output.substr(0, eol);
            output.erase(0, eol + 1);
            if (line.rfind(DynProtocol::kUpLinePrefix, 0) == 0)
                break;
            LUMO_LOG("DynPlatform::launch_dyn_platform: service: %s", line.c_str());
            continue;
        }
        if (!waitReadable(m->stdoutFd, deadline))
            return fail("launch_dyn: timeout");
        char buffer[4096];
        const ssize_t n = ::read(m->stdoutFd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return fail("launch_dyn: the service ended before it was up");
        output.append(buffer, static_cast<std::size_t>(n));
    }

    if (!waitReadable(listenFd, deadline))
        return fail("launch_dyn: timeout");
    m->socketFd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (m->socketFd < 0)
        return fail(std::string("launch_dyn: accept: ") + std::strerror(errno));
    ucred peer{};
    socklen_t peerSize = sizeof peer;
    if (::getsockopt(m->socketFd, SOL_SOCKET, SO_PEERCRED, &peer, &peerSize) != 0 || peer.pid != m->pid)
        return fail(lumo::formatString("launch_dyn: connection from pid %d, not from the service (pid %d)",
                                       static_cast<int>(peer.pid), static_cast<int>(m->pid)));
    closeFd(listenFd);
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    folder.clear();

    m->wakeFd = ::eventfd(0, EFD_CLOEXEC);
    if (m->wakeFd < 0)
        return fail(std::string("launch_dyn: eventfd: ") + std::strerror(errno));
    try {
        m->ioThread =
            lumo::NamedThread("lumo-dyn-io", lumo::kBackgroundThreadStackSize, [this] { m->ioLoop(); });
    } catch (const std::exception& e) {
        return fail(std::string("launch_dyn: ") + e.what());
    }

    std::unique_lock lock(m->mutex);
    const bool settled =
        m->changed.wait_until(lock, deadline, [this] { return m->connectionOpen || m->connectionEnded; });
    const bool open = m->connectionOpen && !m->connectionEnded;
    if (open) {
        m->running = true;
        m->runningPid = m->pid;
    }
    lock.unlock();
    if (!open)
        return fail(settled ? "launch_dyn: the handshake failed" : "launch_dyn: timeout");
    LUMO_CHANNEL_LOG(DebugFlag::CATALOG_DEBUG_LOGGING, "DynPlatform::launch_dyn_platform: %s up, pid %d",
                     program.c_str(), static_cast<int>(m->pid));
    return true;
}

DynPlatform::Reply DynPlatform::request(const std::string& name, const VObject& args,
                                        std::optional<std::chrono::milliseconds> timeout) {
    if (!timeout) {
        int seconds = kDefaultReplyTimeoutSec;
        if (const char* text = std::getenv("CILA_DEFAULT_RPC_REPLY_TIMEOUT_SEC"))
            if (const int v = std::atoi(text); v > 0)
                seconds = v;
        timeout = std::chrono::seconds(seconds);
    }
    Reply reply;
    if (args.dataType() != VObject::DT_VECTOR && !args.isNil()) {
        reply.error = "RPCConnection: v_args should be type VECTOR or NIL";
        return reply;
    }
    auto pending = std::make_shared<Impl::Pending>();
    pending->name = name;
    std::unique_lock lock(m->mutex);
    if (!m->running) {
        reply.error = kNotRunning;
        return reply;
    }
    m->outgoing.push_back({name, args, pending});
    m->wake();
    if (!m->changed.wait_for(lock, *timeout, [&] { return pending->done; })) {
        pending->abandoned = true;
        if (pending->registered)
            m->waiting.erase(pending->id);
        reply.error = lumo::formatString("no reply to %s within %lld ms", name.c_str(),
                                         static_cast<long long>(timeout->count()));
        m->lastError = reply.error;
        lock.unlock();
        LUMO_LOG("DynPlatform::request: %s", reply.error.c_str());
        return reply;
    }
    if (!pending->reply.ok)
        m->lastError = pending->reply.error;
    return std::move(pending->reply); // the input/output thread is done with it
}

bool DynPlatform::post(const std::string& name, const VObject& args) {
    if (args.dataType() != VObject::DT_VECTOR && !args.isNil())
        return false;
    std::lock_guard lock(m->mutex);
    if (!m->running) {
        m->lastError = kNotRunning;
        return false;
    }
    m->outgoing.push_back({name, args, nullptr});
    m->wake();
    return true;
}

bool DynPlatform::document_rename_batch(const std::vector<std::pair<std::string, std::string>>& renamed) {
    VObject pairs = VObject::makeVector();
    for (const auto& [from, to] : renamed) {
        VObject pair = VObject::makeVector();
        pair.append(from);
        pair.append(to);
        pairs.append(std::move(pair));
    }
    VObject args = VObject::makeVector();
    args.append(std::move(pairs));
    return post(DynProtocol::kRenameBatch, args);
}

bool DynPlatform::dyn_platform_shutdown(std::chrono::milliseconds timeout) {
    if (m->pid <= 0 && !m->ioThread.joinable())
        return true;
    post(DynProtocol::kShutdown);
    bool exited = true;
    if (m->pid > 0) {
        exited = m->waitForExit(timeout);
        if (!exited) {
            LUMO_LOG("%s: TIMEOUT waiting for dyn process to exit - killing pid...",
                     "DynPlatform::dyn_platform_shutdown");
            m->killAndReap();
        }
    }
    m->stopIoThread();
    m->closeAll();
    return exited;
}

bool DynPlatform::isRunning() const {
    std::lock_guard lock(m->mutex);
    return m->running;
}

pid_t DynPlatform::pid() const {
    std::lock_guard lock(m->mutex);
    return m->running ? m->runningPid : -1;
}

std::string DynPlatform::lastError() const {
    std::lock_guard lock(m->mutex);
    return m->lastError;
}

void addDynPlatformService(CLumoApp& app) {
    app.startupSteps().add("DynPlatform::setup_dyn_platform_environment()", [] {
        DynPlatform::setup_dyn_platform_environment();
        return true;
    });
    // Without the service, start-up goes on: the features that need it say so.
    app.startupSteps().add("DynPlatform::launch_dyn_platform()", [] {
        DynPlatform::instance().launch_dyn_platform();
        return true;
    });
    app.shutdownSteps().add("terminate_ruby_bridge()", [] {
        DynPlatform::instance().dyn_platform_shutdown();
        return true;
    });
}
