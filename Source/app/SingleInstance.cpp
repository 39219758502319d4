#include "app/SingleInstance.h"

#include "app/CommandParse.h"
#include "app/LumoLog.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <thread>

namespace {

constexpr int kIoTimeoutMs = 5000;
constexpr int kConnectAttempts = 100; // ~2 s: the lock is taken a moment before the socket listens
constexpr char kAck = 1;

// Closes a descriptor it owns when it goes.
struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0)
            ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

void closeFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

bool fillAddress(const std::string& path, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path))
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

void setTimeouts(int fd) {
    timeval tv{kIoTimeoutMs / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

} // namespace

// A well-formed hand-over: word, tag NUL, path NUL, nothing after.
bool SingleInstance::parseHandOver(const std::string& bytes, HandOverMessage& message) {
    const std::string tag(kFileOpenTag);
    if (bytes.size() < 1 + tag.size() + 2 || bytes.compare(1, tag.size(), tag) != 0 ||
        bytes[1 + tag.size()] != '\0')
        return false;
    const std::size_t pathStart = 2 + tag.size();
    const std::size_t pathEnd = bytes.find('\0', pathStart);
    if (pathEnd != bytes.size() - 1)
        return false;
    message.copyDataWord = static_cast<unsigned char>(bytes[0]);
    message.path = bytes.substr(pathStart, pathEnd - pathStart);
    return true;
}

SingleInstance::SingleInstance(std::string folder) : m_folder(std::move(folder)) {
    if (m_folder.empty())
        m_folder = defaultFolder();
}

SingleInstance::~SingleInstance() {
    release();
}

std::string SingleInstance::defaultFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/')
        return runtime;
    return "/tmp/lumograph-" + std::to_string(getuid());
}

std::string SingleInstance::lockPath() const {
    return m_folder + "/" + std::string(kInstanceName) + ".lock";
}

std::string SingleInstance::socketPath() const {
    return m_folder + "/" + std::string(kInstanceName) + ".sock";
}

// The folder must be ours and closed to everybody else: whoever can write in it could take our place.
bool SingleInstance::prepareFolder() {
    if (::mkdir(m_folder.c_str(), 0700) != 0 && errno != EEXIST) {
        LUMO_LOG("SingleInstance::prepareFolder: cannot create %s: %s", m_folder.c_str(),
                 std::strerror(errno));
        return false;
    }
    struct stat st {};
    if (::lstat(m_folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid() ||
        (st.st_mode & 077) != 0) {
        LUMO_LOG("SingleInstance::prepareFolder: %s is not a private folder of this user", m_folder.c_str());
        return false;
    }
    return true;
}

SingleInstance::Claim SingleInstance::claimLock() {
    if (isFirst())
        return Claim::First;
    if (!prepareFolder())
        return Claim::Failed;
    const std::string path = lockPath();
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        LUMO_LOG("SingleInstance::claimLock: cannot open %s: %s", path.c_str(), std::strerror(errno));
        return Claim::Failed;
    }
    int rc;
    while ((rc = ::flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (rc != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK)
            return Claim::OtherRuns;
        LUMO_LOG("SingleInstance::claimLock: cannot lock %s: %s", path.c_str(), std::strerror(error));
        return Claim::Failed;
    }
    m_lockFd = fd;
    return Claim::First;
}

SingleInstance::Claim SingleInstance::claim(CCommandParse& commandLine, Handler handler) {
    const Claim claimed = claimLock();
    if (claimed == Claim::First) {
        listen(std::move(handler)); // without it this still is the one instance; hand-overs are lost
        return claimed;
    }
    if (claimed != Claim::OtherRuns)
        return claimed;
    commandLine.HandleCommandLine();
    if (commandLine.shellCommand() != CCommandParse::FileOpen)
        return Claim::OtherRuns;
    const HandOverMessage message{commandLine.fileName(), commandLine.copyDataWord()};
    return handOver(m_folder, message) ? Claim::HandedOver : Claim::OtherRuns;
}

bool SingleInstance::listen(Handler handler) {
    if (!isFirst() || isListening())
        return isListening();
    const std::string path = socketPath();
    sockaddr_un address;
    if (!fillAddress(path, address)) {
        LUMO_LOG("SingleInstance::listen: socket path too long: %s", path.c_str());
        return false;
    }
    Fd sock(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (sock.fd < 0) {
        LUMO_LOG("SingleInstance::listen: socket: %s", std::strerror(errno));
        return false;
    }
    // Holding the lock makes any socket file left here the remains of an instance that died.
    ::unlink(path.c_str());
    if (::bind(sock.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::chmod(path.c_str(), 0600) != 0 || ::listen(sock.fd, 8) != 0) {
        LUMO_LOG("SingleInstance::listen: cannot listen on %s: %s", path.c_str(), std::strerror(errno));
        ::unlink(path.c_str());
        return false;
    }
    if (::pipe2(m_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        LUMO_LOG("SingleInstance::listen: pipe: %s", std::strerror(errno));
        ::unlink(path.c_str());
        return false;
    }
    m_listenFd = sock.fd; // before the thread starts: it reads it
    sock.fd = -1;
    try {
        m_listener = lumo::NamedThread("lumo-instance", 256 * 1024, [this, h = std::move(handler)]() mutable {
            listenLoop(std::move(h));
        });
    } catch (const std::exception& e) {
        LUMO_LOG("SingleInstance::listen: %s", e.what());
        closeFd(m_listenFd);
        closeFd(m_wakePipe[0]);
        closeFd(m_wakePipe[1]);
        ::unlink(path.c_str());
        return false;
    }
    return true;
}

void SingleInstance::release() {
    if (m_listener.joinable()) {
        const char wake = 0;
        while (::write(m_wakePipe[1], &wake, 1) < 0 && errno == EINTR) {
        }
        m_listener.join();
    }
    if (isListening()) {
        closeFd(m_listenFd);
        ::unlink(socketPath().c_str());
    }
    closeFd(m_wakePipe[0]);
    closeFd(m_wakePipe[1]);
    closeFd(m_lockFd); // the lock file stays: removing it would let two instances lock different files
}

void SingleInstance::listenLoop(Handler handler) {
    for (;;) {
        pollfd fds[2] = {{m_listenFd, POLLIN, 0}, {m_wakePipe[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            LUMO_LOG("SingleInstance::listenLoop: poll: %s", std::strerror(errno));
            return;
        }
        if (fds[1].revents != 0)
            return;
        if (fds[0].revents == 0)
            continue;
        Fd client(::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC));
        if (client.fd >= 0)
            serve(client.fd, handler);
    }
}

void SingleInstance::serve(int client, const Handler& handler) {
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != getuid()) {
        LUMO_LOG("SingleInstance::serve: connection from another user (uid %u) refused",
                 static_cast<unsigned>(peer.uid));
        return;
    }
    // One slow or silent sender must neither keep the instance from ending nor block the next one.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kIoTimeoutMs);
    std::string bytes;
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            LUMO_LOG("SingleInstance::serve: hand-over not complete in time, dropped");
            return;
        }
        pollfd fds[2] = {{client, POLLIN, 0}, {m_wakePipe[0], POLLIN, 0}};
        const int ready = ::poll(fds, 2, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0 || fds[1].revents != 0)
            return;
        const ssize_t got = ::recv(client, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got < 0)
            return;
        if (got == 0)
            break;
        bytes.append(buffer, static_cast<std::size_t>(got));
        if (bytes.size() > kMaxMessageSize)
            return;
    }
    HandOverMessage message;
    if (!parseHandOver(bytes, message)) {
        LUMO_LOG("SingleInstance::serve: malformed hand-over (%zu bytes) ignored", bytes.size());
        return;
    }
    try {
        handler(std::move(message));
    } catch (const std::exception& e) {
        LUMO_LOG("SingleInstance::serve: handler: %s", e.what());
        return;
    }
    ::send(client, &kAck, 1, MSG_NOSIGNAL);
}

bool SingleInstance::handOver(const std::string& folder, const HandOverMessage& message) {
    const std::string path = folder + "/" + std::string(kInstanceName) + ".sock";
    sockaddr_un address;
    if (!fillAddress(path, address)) {
        LUMO_LOG("SingleInstance::handOver: socket path too long: %s", path.c_str());
        return false;
    }
    Fd sock(-1);
    for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
        sock.fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (sock.fd < 0)
            break;
        if (::connect(sock.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
            break;
        const int error = errno;
        closeFd(sock.fd);
        if (error != ENOENT && error != ECONNREFUSED && error != EAGAIN && error != EINTR)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (sock.fd < 0) {
        LUMO_LOG("SingleInstance::handOver: cannot reach the running instance at %s", path.c_str());
        return false;
    }
    setTimeouts(sock.fd);
    std::string bytes(1, static_cast<char>(message.copyDataWord != 0));
    bytes += kFileOpenTag;
    bytes += '\0';
    bytes += message.path;
    bytes += '\0';
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(sock.fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            LUMO_LOG("SingleInstance::handOver: send: %s", std::strerror(errno));
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    ::shutdown(sock.fd, SHUT_WR);
    char ack = 0;
    ssize_t got;
    while ((got = ::recv(sock.fd, &ack, 1, 0)) < 0 && errno == EINTR) {
    }
    if (got != 1 || ack != kAck) {
        LUMO_LOG("SingleInstance::handOver: the running instance did not take %s", message.path.c_str());
        return false;
    }
    return true;
}
