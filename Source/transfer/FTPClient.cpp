#include "transfer/FTPClient.h"

#include "app/LumoLog.h"
#include "support/FileIO.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Waits are cut into slices so that an abort is noticed soon.
constexpr std::chrono::milliseconds kSlice{100};

bool setNonBlocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL, 0);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// The largest send buffer the kernel's automatic sizing gives a TCP socket (the third value of
// net.ipv4.tcp_wmem); 0 when it cannot be read.
int autoTunedSendBufferLimit() {
    static const int limit = [] {
        std::string text;
        if (lumo::readFile("/proc/sys/net/ipv4/tcp_wmem", text, 256) != 0)
            return 0;
        long minimum = 0, initial = 0, maximum = 0;
        if (std::sscanf(text.c_str(), "%ld %ld %ld", &minimum, &initial, &maximum) != 3 || maximum <= 0)
            return 0;
        return static_cast<int>(std::min<long>(maximum, 1L << 30));
    }();
    return limit;
}

// A socket whose buffer is set by hand loses the kernel's automatic sizing and stays at that size: on
// loopback a 64 KiB buffer then waits for every delayed acknowledgement. So the buffer is only set when
// the system would not grow it to the minimum by itself.
void raiseSendBuffer(int fd) {
    if (autoTunedSendBufferLimit() >= TCPSocket::kMinimumSendBuffer)
        return;
    int size = 0;
    socklen_t length = sizeof size;
    if (::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, &length) == 0 &&
        size < TCPSocket::kMinimumSendBuffer) {
        int wanted = TCPSocket::kMinimumSendBuffer;
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &wanted, sizeof wanted);
    }
}

bool aborted(const std::atomic<bool>* abort) {
    return abort != nullptr && abort->load();
}

// Waits `total`, ending early when `abort` is set; true when it was.
bool abortableSleep(std::chrono::milliseconds total, const std::atomic<bool>* abort) {
    auto end = std::chrono::steady_clock::now() + total;
    while (!aborted(abort)) {
        auto now = std::chrono::steady_clock::now();
        if (now >= end)
            return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now);
        ::usleep(static_cast<useconds_t>(std::min(left, kSlice).count()) * 1000);
    }
    return true;
}

std::string tlsErrorText() {
    std::string text;
    while (unsigned long code = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        if (!text.empty())
            text += "; ";
        text += buffer;
    }
    return text;
}

std::string addressText(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET6)
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, text, sizeof text);
    else
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text, sizeof text);
    return text;
}

bool sameHost(const sockaddr_storage& a, const sockaddr_storage& b) {
    if (a.ss_family != b.ss_family)
        return false;
    if (a.ss_family == AF_INET6)
        return std::memcmp(&reinterpret_cast<const sockaddr_in6&>(a).sin6_addr,
                           &reinterpret_cast<const sockaddr_in6&>(b).sin6_addr, sizeof(in6_addr)) == 0;
    return reinterpret_cast<const sockaddr_in&>(a).sin_addr.s_addr ==
           reinterpret_cast<const sockaddr_in&>(b).sin_addr.s_addr;
}

void setPort(sockaddr_storage& address, int port) {
    if (address.ss_family == AF_INET6)
        reinterpret_cast<sockaddr_in6&>(address).sin6_port = htons(static_cast<std::uint16_t>(port));
    else
        reinterpret_cast<sockaddr_in&>(address).sin_port = htons(static_cast<std::uint16_t>(port));
}

// A decimal number of at most `maxValue`; false for anything else.
bool parseNumber(const std::string& text, std::uint64_t maxValue, std::uint64_t& value) {
    if (text.empty() || text.size() > 20)
        return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (maxValue - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    return true;
}

std::string trimmed(const std::string& text) {
    auto begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos)
        return {};
    auto end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

std::string firstLine(const std::string& reply) {
    return reply.substr(0, reply.find('\n'));
}

// A fingerprint as 32 bytes from 64 hexadecimal digits (colons and blanks between them allowed).
bool parseFingerprint(const std::string& text, std::vector<unsigned char>& bytes) {
    std::string digits;
    for (char c : text) {
        if (c == ':' || c == ' ')
            continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
        digits += c;
    }
    if (digits.size() != 64)
        return false;
    bytes.clear();
    for (std::size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back(static_cast<unsigned char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return true;
}

bool certificateDigest(X509* certificate, std::vector<unsigned char>& digest) {
    unsigned char buffer[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(certificate, EVP_sha256(), buffer, &length) != 1)
        return false;
    digest.assign(buffer, buffer + length);
    return true;
}

// The SHA-256 digest the pinned certificate must have: given, or that of the PEM file's certificate.
bool pinnedDigest(const std::string& pinned, std::vector<unsigned char>& digest, std::string& error) {
    if (parseFingerprint(pinned, digest))
        return true;
    std::string pem;
    if (lumo::readFile(pinned, pem, 1u << 20) != 0) {
        error = "cannot read the pinned certificate " + pinned;
        return false;
    }
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    X509* certificate = bio ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(bio);
    bool ok = certificate != nullptr && certificateDigest(certificate, digest);
    X509_free(certificate);
    if (!ok)
        error = "no certificate in " + pinned;
    return ok;
}

bool isIPAddress(const std::string& host) {
    in6_addr v6;
    in_addr v4;
    return ::inet_pton(AF_INET, host.c_str(), &v4) == 1 || ::inet_pton(AF_INET6, host.c_str(), &v6) == 1;
}

} // namespace

// --- IPSocket ---

IPSocket::~IPSocket() {
    close();
}

void IPSocket::close() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

void IPSocket::shutdownBoth() {
    if (m_fd >= 0)
        ::shutdown(m_fd, SHUT_RDWR);
}

bool IPSocket::localAddress(sockaddr_storage& address, socklen_t& length) const {
    length = sizeof address;
    return m_fd >= 0 && ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
}

bool IPSocket::peerAddress(sockaddr_storage& address, socklen_t& length) const {
    length = sizeof address;
    return m_fd >= 0 && ::getpeername(m_fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
}

bool IPSocket::isIPv6() const {
    sockaddr_storage address{};
    socklen_t length = 0;
    return localAddress(address, length) && address.ss_family == AF_INET6;
}

IPSocket::IOResult IPSocket::waitFor(short events) {
    auto end = std::chrono::steady_clock::now() + m_timeout;
    for (;;) {
        if (aborted(m_abort))
            return IOResult::aborted;
        auto now = std::chrono::steady_clock::now();
        if (now >= end)
            return IOResult::timeout;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now);
        pollfd p{m_fd, events, 0};
        int n = ::poll(&p, 1, static_cast<int>(std::min(left, kSlice).count()) + 1);
        if (n < 0 && errno != EINTR)
            return IOResult::error;
        if (n > 0)
            return IOResult::ok; // errors and hang-ups show in the next call
    }
}

// --- TCPSocket ---

TCPSocket::~TCPSocket() {
    if (m_ssl)
        SSL_free(m_ssl);
    m_ssl = nullptr;
}

void TCPSocket::adopt(int fd) {
    close();
    m_fd = fd;
    setNonBlocking(fd);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    raiseSendBuffer(fd);
}

IPSocket::IOResult TCPSocket::connectAddress(const sockaddr* address, socklen_t length) {
    close();
    int fd = ::socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return IOResult::error;
    adopt(fd);
    if (::connect(fd, address, length) == 0)
        return IOResult::ok;
    if (errno != EINPROGRESS) {
        close();
        return IOResult::closed;
    }
    IOResult waited = waitFor(POLLOUT);
    int error = 0;
    socklen_t errorLength = sizeof error;
    if (waited == IOResult::ok &&
        (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &errorLength) != 0 || error != 0))
        waited = IOResult::closed;
    if (waited != IOResult::ok)
        close();
    return waited;
}

bool TCPSocket::connect(const std::string& host, int port, const std::atomic<bool>* abort, int attempts,
                        std::chrono::milliseconds retryWait) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::string service = std::to_string(port);
    if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr) {
        LUMO_LOG("ERROR: gethostbyname(%s) failed", host.c_str());
        return false;
    }
    const std::atomic<bool>* savedAbort = m_abort;
    m_abort = abort;
    bool connected = false;
    bool userAborted = false;
    for (int attempt = 0; attempt < attempts && !connected && !userAborted; ++attempt) {
        if (attempt > 0 && abortableSleep(retryWait, abort)) {
            userAborted = true;
            break;
        }
        for (addrinfo* a = found; a != nullptr && !connected; a = a->ai_next) {
            IOResult result = connectAddress(a->ai_addr, a->ai_addrlen);
            connected = result == IOResult::ok;
            if (result == IOResult::aborted)
                userAborted = true;
            if (userAborted)
                break;
        }
    }
    ::freeaddrinfo(found);
    m_abort = savedAbort;
    if (userAborted)
        LUMO_LOG("TCPSocket::connect() failed, user aborted");
    else if (!connected)
        LUMO_LOG("TCPSocket::connect() failed permanently");
    return connected;
}

IPSocket::IOResult TCPSocket::sendAll(const void* data, std::size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        if (aborted(m_abort))
            return IOResult::aborted;
        if (m_ssl) {
            std::size_t written = 0;
            ERR_clear_error();
            if (SSL_write_ex(m_ssl, bytes, size, &written) == 1) {
                bytes += written;
                size -= written;
                continue;
            }
            int error = SSL_get_error(m_ssl, 0);
            if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE)
                return IOResult::error;
            IOResult waited = waitFor(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT);
            if (waited != IOResult::ok)
                return waited;
            continue;
        }
        ssize_t sent = ::send(m_fd, bytes, size, MSG_NOSIGNAL);
        if (sent > 0) {
            bytes += sent;
            size -= static_cast<std::size_t>(sent);
        } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            IOResult waited = waitFor(POLLOUT);
            if (waited != IOResult::ok)
                return waited;
        } else if (!(sent < 0 && errno == EINTR)) {
            return IOResult::error;
        }
    }
    return IOResult::ok;
}

IPSocket::IOResult TCPSocket::readRaw(void* data, std::size_t size, std::size_t& received) {
    received = 0;
    if (m_fd < 0)
        return IOResult::error;
    for (;;) {
        if (m_ssl) {
            ERR_clear_error();
            if (SSL_read_ex(m_ssl, data, size, &received) == 1)
                return IOResult::ok;
            int error = SSL_get_error(m_ssl, 0);
            if (error == SSL_ERROR_ZERO_RETURN)
                return IOResult::closed;
            if (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0)
                return IOResult::closed; // ended without a close notification
            if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE)
                return IOResult::error;
            IOResult waited = waitFor(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT);
            if (waited != IOResult::ok)
                return waited;
            continue;
        }
        ssize_t got = ::recv(m_fd, data, size, 0);
        if (got > 0) {
            received = static_cast<std::size_t>(got);
            return IOResult::ok;
        }
        if (got == 0)
            return IOResult::closed;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            IOResult waited = waitFor(POLLIN);
            if (waited != IOResult::ok)
                return waited;
        } else if (errno != EINTR) {
            return errno == ECONNRESET ? IOResult::closed : IOResult::error;
        }
    }
}

IPSocket::IOResult TCPSocket::readLine(std::string& line, std::size_t maxLength) {
    line.clear();
    std::size_t searched = 0;
    for (;;) {
        auto end = m_buffer.find('\n', searched);
        if (end != std::string::npos) {
            if (end > maxLength + 1)
                return IOResult::overflow;
            line.assign(m_buffer, 0, end);
            m_buffer.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            return IOResult::ok;
        }
        searched = m_buffer.size();
        if (m_buffer.size() > maxLength + 1)
            return IOResult::overflow;
        char chunk[4096];
        std::size_t got = 0;
        IOResult result = readRaw(chunk, sizeof chunk, got);
        if (result == IOResult::closed) {
            line = std::move(m_buffer);
            m_buffer.clear();
            return result;
        }
        if (result != IOResult::ok)
            return result;
        m_buffer.append(chunk, got);
    }
}

IPSocket::IOResult TCPSocket::readSome(void* data, std::size_t size, std::size_t& received) {
    if (!m_buffer.empty()) {
        received = std::min(size, m_buffer.size());
        std::memcpy(data, m_buffer.data(), received);
        m_buffer.erase(0, received);
        return IOResult::ok;
    }
    return readRaw(data, size, received);
}

bool TCPSocket::startTLS(ssl_ctx_st* context, const std::string& hostName, ssl_session_st* reuse,
                         std::string& error) {
    if (m_fd < 0 || m_ssl != nullptr) {
        error = "no connection";
        return false;
    }
    m_ssl = SSL_new(context);
    if (m_ssl == nullptr || SSL_set_fd(m_ssl, m_fd) != 1) {
        error = tlsErrorText();
        return false;
    }
    SSL_set_mode(m_ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (!hostName.empty()) {
        if (isIPAddress(hostName)) {
            X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(m_ssl), hostName.c_str());
        } else {
            SSL_set_tlsext_host_name(m_ssl, hostName.c_str());
            SSL_set1_host(m_ssl, hostName.c_str());
        }
    }
    if (reuse != nullptr)
        SSL_set_session(m_ssl, reuse);
    // Bytes read past the last line before the handshake would belong to it: there are none, since the
    // server waits for the handshake after its 234 reply.
    m_buffer.clear();
    for (;;) {
        ERR_clear_error();
        int result = SSL_connect(m_ssl);
        if (result == 1)
            return true;
        int code = SSL_get_error(m_ssl, result);
        if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) {
            IOResult waited = waitFor(code == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT);
            if (waited == IOResult::ok)
                continue;
            error = waited == IOResult::aborted ? "aborted" : "timed out";
        } else {
            long verify = SSL_get_verify_result(m_ssl);
            error = verify != X509_V_OK ? X509_verify_cert_error_string(verify) : tlsErrorText();
            if (error.empty())
                error = "handshake failed";
        }
        SSL_free(m_ssl);
        m_ssl = nullptr;
        return false;
    }
}

void TCPSocket::shutdownTLS() {
    if (m_ssl != nullptr) {
        ERR_clear_error();
        SSL_shutdown(m_ssl);
    }
}

// --- TCPServer ---

bool TCPServer::listen(const sockaddr* address, socklen_t length) {
    close();
    m_fd = ::socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_fd < 0)
        return false;
    sockaddr_storage local{};
    std::memcpy(&local, address, std::min<std::size_t>(length, sizeof local));
    setPort(local, 0);
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&local), length) != 0 || ::listen(m_fd, 1) != 0) {
        close();
        return false;
    }
    return true;
}

int TCPServer::port() const {
    sockaddr_storage address{};
    socklen_t length = 0;
    if (!localAddress(address, length))
        return 0;
    return address.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6&>(address).sin6_port)
                                         : ntohs(reinterpret_cast<sockaddr_in&>(address).sin_port);
}

IPSocket::IOResult TCPServer::accept(TCPSocket& connection) {
    for (;;) {
        int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            connection.adopt(fd);
            return IOResult::ok;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED)
            return IOResult::error;
        IOResult waited = waitFor(POLLIN);
        if (waited != IOResult::ok)
            return waited;
    }
}

// --- FTPClient ---

FTPClient::FTPClient() = default;

FTPClient::~FTPClient() {
    close();
    if (m_tlsContext != nullptr)
        SSL_CTX_free(m_tlsContext);
}

void FTPClient::setSecurity(const FTPSecurity& security) {
    m_security = security;
    // The TLS context holds the way certificates are checked: the next secured open makes a new one.
    if (m_tlsContext != nullptr)
        SSL_CTX_free(m_tlsContext);
    m_tlsContext = nullptr;
}

void FTPClient::logFailure(const char* function, const FTPError& error) const {
    if (!m_logging)
        return;
    std::string text = error.message();
    if (!text.empty() && text.back() == '.')
        text.pop_back();
    LUMO_LOG("FTPClient::%s(): %s", function, text.c_str());
}

void FTPClient::open(const std::string& host, int port) {
    close();
    auto control = std::make_unique<TCPSocket>();
    control->setTimeout(m_timeout);
    if (!control->connect(host, port, &m_abort, m_connectAttempts, m_connectWait)) {
        FTPIOError error(FTPText::kNoConnection);
        logFailure("open", error);
        throw error;
    }
    // Until the greeting (and the TLS handshake) are through, an abort ends the wait as well.
    control->setAbortFlag(&m_abort);
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_control = std::move(control);
        m_host = host;
        m_lastReply.clear();
        m_lastCode.clear();
        m_connected = true;
    }
    try {
        getresp();
        if (m_security.useTLS)
            secureControl();
        // From here on replies are bounded by the timeout only: an abort ends transfers and waits for
        // connections, and the commands around them still get their answers.
        m_control->setAbortFlag(nullptr);
    } catch (const FTPError& e) {
        close();
        logFailure("open", e);
        throw;
    }
}

void FTPClient::secureControl() {
    if (m_tlsContext == nullptr) {
        m_tlsContext = SSL_CTX_new(TLS_client_method());
        if (m_tlsContext == nullptr)
            throw FTPIOError(FTPText::kTLSFailed + (" " + tlsErrorText()), m_lastReply);
        SSL_CTX_set_min_proto_version(m_tlsContext, TLS1_2_VERSION);
        SSL_CTX_set_session_cache_mode(m_tlsContext, SSL_SESS_CACHE_CLIENT);
        if (m_security.pinnedCertificate.empty()) {
            SSL_CTX_set_default_verify_paths(m_tlsContext);
            SSL_CTX_set_verify(m_tlsContext, SSL_VERIFY_PEER, nullptr);
        } else {
            SSL_CTX_set_verify(m_tlsContext, SSL_VERIFY_NONE, nullptr);
        }
    }
    try {
        sendcmd("AUTH TLS");
    } catch (const FTPError&) {
        throw FTPPermError(FTPText::kTLSRefused, m_lastReply);
    }
    if (m_lastCode != "234")
        throw FTPPermError(FTPText::kTLSRefused, m_lastReply);
    std::string error;
    const std::string& name = m_security.pinnedCertificate.empty() ? m_host : std::string();
    if (!m_control->startTLS(m_tlsContext, name, nullptr, error))
        throw FTPIOError(std::string(FTPText::kTLSFailed) + " " + error, m_lastReply);
    checkPinned(*m_control);
}

void FTPClient::checkPinned(TCPSocket& socket) {
    if (m_security.pinnedCertificate.empty())
        return;
    std::vector<unsigned char> wanted, presented;
    std::string error;
    if (!pinnedDigest(m_security.pinnedCertificate, wanted, error))
        throw FTPIOError(std::string(FTPText::kTLSFailed) + " " + error, m_lastReply);
    X509* certificate = SSL_get1_peer_certificate(socket.tlsHandle());
    bool same = certificate != nullptr && certificateDigest(certificate, presented) && presented == wanted;
    X509_free(certificate);
    if (!same)
        throw FTPIOError(std::string(FTPText::kTLSFailed) +
                             " The server's certificate is not the pinned one.",
                         m_lastReply);
}

void FTPClient::secureData(TCPSocket& data) {
    std::string error;
    SSL_SESSION* session = SSL_get1_session(m_control->tlsHandle());
    const std::string& name = m_security.pinnedCertificate.empty() ? m_host : std::string();
    bool ok = data.startTLS(m_tlsContext, name, session, error);
    SSL_SESSION_free(session);
    if (!ok)
        throw FTPIOError(std::string(FTPText::kTLSFailed) + " " + error, m_lastReply);
    // Servers that insist on the control connection's session refuse the data connection otherwise.
    if (m_logging && !SSL_session_reused(data.tlsHandle()))
        LUMO_LOG("FTPClient::secureData(): the data connection did not resume the TLS session");
    checkPinned(data);
}

void FTPClient::login(const std::string& user, const std::string& password) {
    try {
        sendcmd("USER " + user);
        if (!m_lastCode.empty() && m_lastCode[0] == '3')
            sendcmd("PASS " + password);
        if (m_lastCode.empty() || m_lastCode[0] != '2')
            throw FTPError(FTPText::kLoginFailed, m_lastReply);
    } catch (const FTPIOError& e) {
        logFailure("login", e);
        throw;
    } catch (const FTPError&) {
        FTPError error(FTPText::kLoginFailed, m_lastReply);
        logFailure("login", error);
        throw error;
    }
    if (m_security.useTLS) {
        try {
            voidcmd("PBSZ 0");
            voidcmd("PROT P");
        } catch (const FTPError& e) {
            logFailure("login", e);
            throw;
        }
    }
}

void FTPClient::close() {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_control && m_connected) {
        if (m_logging)
            LUMO_LOG("FTP -> QUIT");
        static const char quit[] = "QUIT\r\n";
        m_control->setTimeout(std::min(m_timeout, std::chrono::milliseconds(2000)));
        m_control->sendAll(quit, sizeof quit - 1);
    }
    m_control.reset();
    m_connected = false;
}

void FTPClient::abort() {
    m_abort = true;
    std::lock_guard<std::mutex> lock(m_lock);
}

std::string FTPClient::sendcmd(const std::string& command) {
    if (!m_control || !m_connected)
        throw FTPIOError(FTPText::kNotConnected, m_lastReply);
    if (command.find_first_of("\r\n") != std::string::npos)
        throw FTPError(FTPText::kLineBreak, m_lastReply);
    if (m_logging) {
        if (command.rfind("PASS", 0) == 0)
            LUMO_LOG("FTP -> PASS ..................");
        else
            LUMO_LOG("FTP -> %s", command.c_str());
    }
    std::string line = command + "\r\n";
    if (m_control->sendAll(line.data(), line.size()) != IPSocket::IOResult::ok) {
        m_connected = false;
        throw FTPIOError(FTPText::kSendCommandFailed, m_lastReply);
    }
    return getresp();
}

void FTPClient::loggedVoidcmd(const char* function, const std::string& command) {
    try {
        voidcmd(command);
    } catch (const FTPError& e) {
        logFailure(function, e);
        throw;
    }
}

std::string FTPClient::voidcmd(const std::string& command) {
    sendcmd(command);
    if (m_lastCode[0] != '2')
        throw FTPReplyError(FTPText::kNotPositive, m_lastReply);
    return m_lastReply;
}

std::string FTPClient::recv_multiline_resp(const std::function<bool(std::string& line)>& readLine) {
    std::string reply;
    std::string line;
    if (!readLine(line))
        throw FTPProtoError(FTPText::kIncompleteLine, reply + line);
    reply += line + "\n";
    if (line.size() < 4)
        throw FTPProtoError(FTPText::kMalformedLine, reply);
    if (line[3] != '-')
        return reply;
    const std::string code = line.substr(0, 3);
    for (;;) {
        if (!readLine(line))
            throw FTPProtoError(FTPText::kIncompleteLine, reply + line);
        reply += line + "\n";
        if (reply.size() > kMaxReplyBytes)
            throw FTPProtoError(FTPText::kResponseTooLong, reply.substr(0, kMaxReplyLine));
        if (line.size() >= 3 && line.compare(0, 3, code) == 0 && (line.size() == 3 || line[3] != '-'))
            return reply;
    }
}

std::string FTPClient::readReply() {
    if (!m_control)
        throw FTPIOError(FTPText::kNotConnected, m_lastReply);
    return recv_multiline_resp([this](std::string& line) {
        switch (m_control->readLine(line, kMaxReplyLine)) {
        case IPSocket::IOResult::ok:
            return true;
        case IPSocket::IOResult::closed:
            m_connected = false;
            return false;
        case IPSocket::IOResult::overflow:
            m_connected = false;
            throw FTPProtoError(FTPText::kResponseTooLong);
        case IPSocket::IOResult::error:
            m_connected = false;
            throw FTPIOError(FTPText::kReadFailed);
        case IPSocket::IOResult::aborted:
            m_connected = false;
            throw FTPIOError(FTPText::kAborted);
        case IPSocket::IOResult::timeout:
            break;
        }
        m_connected = false;
        throw FTPIOError(FTPText::kReplyTimeout);
    });
}

std::string FTPClient::getresp() {
    try {
        m_lastReply = readReply();
    } catch (const FTPError& e) {
        // A connection that answers out of step cannot be trusted with the next command.
        m_connected = false;
        m_lastReply = e.lastReply();
        m_lastCode = m_lastReply.substr(0, 3);
        throw;
    }
    m_lastCode = m_lastReply.substr(0, 3);
    if (m_logging) {
        std::string text = m_lastReply;
        if (!text.empty() && text.back() == '\n')
            text.pop_back();
        LUMO_LOG("FTP <- %s", text.c_str());
    }
    switch (m_lastCode[0]) {
    case '1':
    case '2':
    case '3':
        return m_lastReply;
    case '4':
        throw FTPTempError(FTPText::kTransientError, m_lastReply);
    case '5':
        throw FTPPermError(FTPText::kPermanentError, m_lastReply);
    default:
        throw FTPProtoError(FTPText::kNotProtocol, m_lastReply);
    }
}

std::string FTPClient::voidresp() {
    getresp();
    if (m_lastCode[0] != '2')
        throw FTPReplyError(FTPText::kNotPositive, m_lastReply);
    return m_lastReply;
}

void FTPClient::cwd(const std::string& dir) {
    if (dir == "..") {
        cdup();
        return;
    }
    loggedVoidcmd("cwd", "CWD " + dir);
}

void FTPClient::cdup() {
    loggedVoidcmd("cdup", "CDUP");
}

void FTPClient::mkd(const std::string& dir) {
    loggedVoidcmd("mkd", "MKD " + dir);
}

void FTPClient::rmd(const std::string& dir) {
    loggedVoidcmd("rmd", "RMD " + dir);
}

void FTPClient::noop() {
    loggedVoidcmd("noop", "NOOP");
}

void FTPClient::rename(const std::string& from, const std::string& to) {
    try {
        sendcmd("RNFR " + from);
        if (m_lastCode[0] != '3')
            throw FTPReplyError(FTPText::kBadRename, m_lastReply);
        voidcmd("RNTO " + to);
    } catch (const FTPError& e) {
        logFailure("rename", e);
        throw;
    }
}

std::uint64_t FTPClient::size(const std::string& file) {
    try {
        voidcmd("TYPE I");
        sendcmd("SIZE " + file);
        if (m_lastCode != "213")
            throw FTPReplyError(FTPText::kNoSize, m_lastReply);
        std::uint64_t value = 0;
        std::string line = firstLine(m_lastReply);
        if (line.size() < 5 || !parseNumber(trimmed(line.substr(4)), UINT64_MAX, value))
            throw FTPProtoError(FTPText::kNoSize, m_lastReply);
        return value;
    } catch (const FTPError& e) {
        logFailure("size", e);
        throw;
    }
}

bool FTPClient::exists(const std::string& file) {
    try {
        size(file);
        return true;
    } catch (const FTPPermError&) {
        // 550: no such file. Anything else: the server does not do SIZE; ask for the folder's names.
        if (m_lastCode == "550")
            return false;
    }
    auto slash = file.rfind('/');
    std::string folder = slash == std::string::npos ? std::string() : file.substr(0, slash == 0 ? 1 : slash);
    std::string name = slash == std::string::npos ? file : file.substr(slash + 1);
    auto names = nlst(folder);
    return std::find(names.begin(), names.end(), name) != names.end();
}

std::vector<std::string> FTPClient::nlst(const std::string& path) {
    std::vector<std::string> names;
    try {
        voidcmd("TYPE A");
        std::unique_ptr<TCPSocket> data;
        try {
            data = transfercmd(path.empty() ? "NLST" : "NLST " + path);
        } catch (const FTPPermError&) {
            if (m_lastCode == "550" || m_lastCode == "450")
                return names; // nothing there
            throw;
        } catch (const FTPTempError&) {
            if (m_lastCode == "450")
                return names;
            throw;
        }
        std::string listing;
        char chunk[16384];
        for (;;) {
            std::size_t got = 0;
            auto result = data->readSome(chunk, sizeof chunk, got);
            if (result == IPSocket::IOResult::closed)
                break;
            if (result != IPSocket::IOResult::ok)
                throw FTPIOError(FTPText::kListingFailed, m_lastReply);
            listing.append(chunk, got);
            if (listing.size() > kMaxListingBytes)
                throw FTPIOError(FTPText::kListingFailed, m_lastReply);
        }
        data->shutdownTLS();
        data.reset();
        voidresp();
        std::size_t start = 0;
        while (start < listing.size()) {
            auto end = listing.find('\n', start);
            if (end == std::string::npos)
                end = listing.size();
            std::string name = listing.substr(start, end - start);
            if (!name.empty() && name.back() == '\r')
                name.pop_back();
            if (auto slash = name.rfind('/'); slash != std::string::npos)
                name.erase(0, slash + 1);
            if (!name.empty())
                names.push_back(name);
            start = end + 1;
        }
    } catch (const FTPError& e) {
        logFailure("nlst", e);
        throw;
    }
    return names;
}

std::string FTPClient::pwd() {
    try {
        sendcmd("PWD");
        return parse257(m_lastReply);
    } catch (const FTPError& e) {
        logFailure("pwd", e);
        throw;
    }
}

std::string FTPClient::parse257(const std::string& reply) {
    if (reply.compare(0, 3, "257") != 0)
        throw FTPReplyError(FTPText::kNo257, reply);
    std::string line = firstLine(reply);
    auto open = line.find('"');
    if (open == std::string::npos)
        throw FTPProtoError(FTPText::kBad257, reply);
    std::string path;
    for (std::size_t i = open + 1; i < line.size(); ++i) {
        if (line[i] != '"') {
            path += line[i];
        } else if (i + 1 < line.size() && line[i + 1] == '"') {
            path += '"';
            ++i;
        } else {
            return path;
        }
    }
    throw FTPProtoError(FTPText::kBad257, reply);
}

void FTPClient::parse227(const std::string& reply, std::string& host, int& port) {
    if (reply.compare(0, 3, "227") != 0)
        throw FTPReplyError(FTPText::kNo227, reply);
    std::string line = firstLine(reply);
    auto open = line.find('(');
    auto close = open == std::string::npos ? open : line.find(')', open);
    if (close == std::string::npos)
        throw FTPProtoError(FTPText::kBad227, reply);
    std::string inside = line.substr(open + 1, close - open - 1);
    std::uint64_t numbers[6];
    std::size_t start = 0;
    for (int i = 0; i < 6; ++i) {
        auto comma = inside.find(',', start);
        if ((comma == std::string::npos) != (i == 5))
            throw FTPProtoError(FTPText::kBad227, reply);
        std::string part = trimmed(inside.substr(start, comma == std::string::npos ? comma : comma - start));
        if (!parseNumber(part, 255, numbers[i]))
            throw FTPProtoError(FTPText::kBad227, reply);
        start = comma + 1;
    }
    host = std::to_string(numbers[0]) + "." + std::to_string(numbers[1]) + "." + std::to_string(numbers[2]) +
           "." + std::to_string(numbers[3]);
    port = static_cast<int>(numbers[4] * 256 + numbers[5]);
    if (port == 0)
        throw FTPProtoError(FTPText::kBad227, reply);
}

int FTPClient::parse229(const std::string& reply) {
    if (reply.compare(0, 3, "229") != 0)
        throw FTPReplyError(FTPText::kNo229, reply);
    std::string line = firstLine(reply);
    auto open = line.find('(');
    auto close = open == std::string::npos ? open : line.find(')', open);
    if (close == std::string::npos || close - open < 6)
        throw FTPProtoError(FTPText::kBad229, reply);
    std::string inside = line.substr(open + 1, close - open - 1);
    char d = inside[0];
    if (inside.size() < 5 || inside[1] != d || inside[2] != d || inside.back() != d)
        throw FTPProtoError(FTPText::kBad229, reply);
    std::uint64_t port = 0;
    if (!parseNumber(inside.substr(3, inside.size() - 4), 65535, port) || port == 0)
        throw FTPProtoError(FTPText::kBad229, reply);
    return static_cast<int>(port);
}

std::unique_ptr<TCPSocket> FTPClient::openPassive() {
    sockaddr_storage address{};
    socklen_t length = 0;
    if (!m_control->peerAddress(address, length))
        throw FTPIOError(FTPText::kNoDataCreate, m_lastReply);
    if (address.ss_family == AF_INET6) {
        sendcmd("EPSV");
        setPort(address, parse229(m_lastReply));
    } else {
        sendcmd("PASV");
        std::string host;
        int port = 0;
        parse227(m_lastReply, host, port);
        // A server that does not know its own address answers 0.0.0.0: it means the control peer.
        if (host != "0.0.0.0" &&
            ::inet_pton(AF_INET, host.c_str(), &reinterpret_cast<sockaddr_in&>(address).sin_addr) != 1)
            throw FTPProtoError(FTPText::kBad227, m_lastReply);
        setPort(address, port);
    }
    auto data = std::make_unique<TCPSocket>();
    data->setTimeout(m_timeout);
    data->setAbortFlag(&m_abort);
    auto result = data->connectAddress(reinterpret_cast<sockaddr*>(&address), length);
    if (result == IPSocket::IOResult::error)
        throw FTPIOError(FTPText::kNoDataCreate, m_lastReply);
    if (result != IPSocket::IOResult::ok)
        throw FTPIOError(FTPText::kNoDataOpen, m_lastReply);
    return data;
}

std::unique_ptr<TCPSocket> FTPClient::transfercmd(const std::string& command) {
    std::unique_ptr<TCPSocket> data;
    if (m_passive) {
        data = openPassive();
        sendcmd(command);
        if (m_lastCode[0] != '1')
            throw FTPReplyError(FTPText::kBadTransferReply, m_lastReply);
    } else {
        sockaddr_storage address{};
        socklen_t length = 0;
        TCPServer server;
        server.setTimeout(m_timeout);
        server.setAbortFlag(&m_abort);
        if (!m_control->localAddress(address, length) ||
            !server.listen(reinterpret_cast<sockaddr*>(&address), length))
            throw FTPIOError(FTPText::kNoDataCreate, m_lastReply);
        int port = server.port();
        std::string host = addressText(address);
        if (address.ss_family == AF_INET6) {
            voidcmd("EPRT |2|" + host + "|" + std::to_string(port) + "|");
        } else {
            std::replace(host.begin(), host.end(), '.', ',');
            voidcmd("PORT " + host + "," + std::to_string(port >> 8) + "," + std::to_string(port & 0xff));
        }
        sendcmd(command);
        if (m_lastCode[0] != '1')
            throw FTPReplyError(FTPText::kBadTransferReply, m_lastReply);
        sockaddr_storage controlPeer{};
        m_control->peerAddress(controlPeer, length);
        for (;;) {
            data = std::make_unique<TCPSocket>();
            auto result = server.accept(*data);
            if (result == IPSocket::IOResult::aborted)
                throw FTPIOError(FTPText::kAcceptAborted, m_lastReply);
            if (result != IPSocket::IOResult::ok)
                throw FTPIOError(FTPText::kNoDataConnection, m_lastReply);
            // Only the server may deliver the data connection.
            sockaddr_storage peer{};
            if (data->peerAddress(peer, length) && sameHost(peer, controlPeer))
                break;
        }
        data->setTimeout(m_timeout);
        data->setAbortFlag(&m_abort);
    }
    if (m_security.useTLS)
        secureData(*data);
    return data;
}

void FTPClient::put_binary_file(const std::string& localPath, const std::string& remoteName,
                                const FileTransferProgress& progress) {
    try {
        voidcmd("TYPE I");
        std::uint64_t total = 0;
        if (lumo::fileSize(localPath, total) != 0)
            throw FTPIOError(FTPText::kNoLocalSize, m_lastReply);
        lumo::File file;
        if (file.open(localPath, lumo::File::Mode::Read) != 0)
            throw FTPIOError(FTPText::kNoLocalOpen, m_lastReply);
        auto data = transfercmd("STOR " + remoteName);
        if (progress)
            progress(0, total);
        std::vector<char> buffer(kBlockSize * static_cast<std::size_t>(m_blocksPerSend));
        std::uint64_t sent = 0;
        for (;;) {
            std::size_t got = 0;
            if (file.read(buffer.data(), buffer.size(), got) != 0)
                throw FTPIOError(FTPText::kLocalRead, m_lastReply);
            if (got == 0)
                break;
            auto result = data->sendAll(buffer.data(), got);
            if (result == IPSocket::IOResult::aborted || m_abort) {
                data.reset();
                close(); // the server's answer to a broken-off transfer is not waited for
                throw FTPError(FTPText::kTransferAborted, m_lastReply);
            }
            if (result != IPSocket::IOResult::ok) {
                // The server went away or stopped reading: what the control connection would say next
                // is unknown, so it goes too and isConnected() tells the caller to open again.
                data.reset();
                close();
                throw FTPIOError(FTPText::kSendDataFailed, m_lastReply);
            }
            sent += got;
            if (progress)
                progress(sent, total);
        }
        data->shutdownTLS();
        data.reset();
        file.close();
        voidresp();
    } catch (const FTPError& e) {
        logFailure("put_binary_file", e);
        throw;
    }
}
