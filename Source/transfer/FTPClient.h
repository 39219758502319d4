#pragma once

// A small, blocking FTP client for worker threads: log in, move about the server's folders, create
// folders, rename, and store binary files with progress and abort. Plain FTP by default; explicit
// FTPS (AUTH TLS, PBSZ 0, PROT P) when the connection's FTPSecurity asks for it.
//
// Every failure is an FTPError (or one of its subclasses) carrying its message and the server's last
// reply; the upload code catches them. Every read is bounded: a reply line and a whole reply have a
// length limit, and a server that stops answering ends the wait after the read timeout.

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

struct ssl_st;
struct ssl_ctx_st;
struct ssl_session_st;

// How a connection is secured. With useTLS off nothing is encrypted (the password travels in clear).
struct FTPSecurity {
    bool useTLS = false;
    // Empty: the server's certificate is checked against the system's trust store and the host name.
    // Otherwise the certificate the server must present (for a self-signed server): the path of a PEM
    // file, or its SHA-256 fingerprint as 64 hexadecimal digits (colons allowed). Nothing else is
    // checked then.
    std::string pinnedCertificate;

    bool operator==(const FTPSecurity&) const = default;
};

class FTPError : public std::exception {
public:
    explicit FTPError(std::string message, std::string lastReply = {})
        : m_message(std::move(message)), m_lastReply(std::move(lastReply)) {}
    const char* what() const noexcept override { return m_message.c_str(); }
    const std::string& message() const noexcept { return m_message; }
    // The server's last reply (all its lines, each ending in a line feed); empty when there was none.
    const std::string& lastReply() const noexcept { return m_lastReply; }

private:
    std::string m_message;
    std::string m_lastReply;
};

// The connection or the local file failed.
class FTPIOError : public FTPError {
public:
    using FTPError::FTPError;
};
// The server answered 5xx.
class FTPPermError : public FTPError {
public:
    using FTPError::FTPError;
};
// The server's answer did not follow the protocol.
class FTPProtoError : public FTPError {
public:
    using FTPError::FTPError;
};
// The server did not answer with the positive completion (2xx) that was required.
class FTPReplyError : public FTPError {
public:
    using FTPError::FTPError;
};
// The server answered 4xx: trying again later may work.
class FTPTempError : public FTPError {
public:
    using FTPError::FTPError;
};

namespace FTPText {
inline constexpr const char* kLoginFailed = "Login failed.";
inline constexpr const char* kSendCommandFailed = "Socket error sending FTP command.";
inline constexpr const char* kIncompleteLine = "Received incomplete response line.";
inline constexpr const char* kMalformedLine = "Received malformed response line.";
inline constexpr const char* kResponseTooLong = "Received overlong response from server.";
inline constexpr const char* kTransientError = "Server responded with transient error.";
inline constexpr const char* kPermanentError = "Server responded with permanent error.";
inline constexpr const char* kNotProtocol = "Server response does not conform to protocol.";
inline constexpr const char* kNotPositive = "Server did not return Positive Completion reply.";
inline constexpr const char* kNo257 = "Did not receive expected 257 response from server.";
inline constexpr const char* kBad257 = "Received unparsable 257 response from server.";
inline constexpr const char* kNo227 = "Did not receive expected 227 response from server.";
inline constexpr const char* kBad227 = "Received unparsable 227 response from server.";
inline constexpr const char* kNo229 = "Did not receive expected 229 response from server.";
inline constexpr const char* kBad229 = "Received unparsable 229 response from server.";
inline constexpr const char* kNoDataOpen = "Couldn't open data connection to server.";
inline constexpr const char* kNoDataCreate = "Couldn't create data connection to server.";
inline constexpr const char* kBadTransferReply = "Bad server response for transfer command.";
inline constexpr const char* kAcceptAborted = "User abort while awaiting data connection from server.";
inline constexpr const char* kNoDataConnection = "Never received data connection from server.";
inline constexpr const char* kNoConnection = "Could not make connection to server.";
inline constexpr const char* kNoLocalSize = "Couldn't open local file to get its size.";
inline constexpr const char* kNoLocalOpen = "Couldn't open local file for transfer.";
inline constexpr const char* kLocalRead = "Couldn't read local file for transfer.";
inline constexpr const char* kTransferAborted = "Aborting binary file transfer.";
inline constexpr const char* kSendDataFailed = "Socket error sending data to server.";
inline constexpr const char* kNoSize = "Received unparsable SIZE response from server.";
inline constexpr const char* kListingFailed = "Socket error reading listing from server.";
inline constexpr const char* kTLSFailed = "Could not secure the connection to server.";
inline constexpr const char* kTLSRefused = "Server refused to secure the connection.";
inline constexpr const char* kNotConnected = "Not connected to server.";
inline constexpr const char* kAborted = "Aborted while waiting for server response.";
inline constexpr const char* kReplyTimeout = "Timed out waiting for server response.";
inline constexpr const char* kReadFailed = "Socket error reading server response.";
inline constexpr const char* kLineBreak = "FTP command contains a line break.";
inline constexpr const char* kBadRename = "Server did not accept the file to rename.";
} // namespace FTPText

// A stream socket (IPv4 or IPv6) with optional TLS on top. Sends and reads wait at most the timeout
// and stop early when the abort flag given to them is set.
class IPSocket {
public:
    enum class IOResult { ok, closed, timeout, aborted, error, overflow };

    IPSocket() = default;
    virtual ~IPSocket();
    IPSocket(const IPSocket&) = delete;
    IPSocket& operator=(const IPSocket&) = delete;

    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    void close();
    // Shuts the connection down in both directions without closing the descriptor: a thread blocked
    // on it wakes up. Safe from another thread.
    void shutdownBoth();

    void setTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }
    std::chrono::milliseconds timeout() const { return m_timeout; }
    void setAbortFlag(const std::atomic<bool>* abort) { m_abort = abort; }

    // The addresses of the connected (or listening) socket.
    bool localAddress(sockaddr_storage& address, socklen_t& length) const;
    bool peerAddress(sockaddr_storage& address, socklen_t& length) const;
    bool isIPv6() const;

protected:
    // Waits until the socket is readable (POLLIN) or writable (POLLOUT).
    IOResult waitFor(short events);

    int m_fd = -1;
    std::chrono::milliseconds m_timeout{60000};
    const std::atomic<bool>* m_abort = nullptr;
};

class TCPServer;

// A client connection: the control connection, or a data connection.
class TCPSocket : public IPSocket {
public:
    static constexpr int kConnectAttempts = 21;
    static constexpr std::chrono::milliseconds kConnectRetryWait{1000};
    // Raised to this when the system's send buffer is smaller.
    static constexpr int kMinimumSendBuffer = 32769;

    TCPSocket() = default;
    ~TCPSocket() override;

    // Resolves `host` and connects, trying `attempts` times with `retryWait` between failures; the
    // wait ends at once when `abort` is set. False when it gave up (logged).
    bool connect(const std::string& host, int port, const std::atomic<bool>* abort,
                 int attempts = kConnectAttempts, std::chrono::milliseconds retryWait = kConnectRetryWait);
    // One attempt to a given address (data connections): `error` when no socket could be made,
    // `closed` when the connection was refused.
    IOResult connectAddress(const sockaddr* address, socklen_t length);

    // Sends all of `data` (through TLS when it is on).
    IOResult sendAll(const void* data, std::size_t size);
    // Reads one line ending in "\n" (with or without "\r" before it), without its ending, into `line`;
    // at most `maxLength` bytes. `closed` when the connection ended before a line feed (what was read
    // is in `line`); `overflow` when the line is longer than `maxLength`.
    IOResult readLine(std::string& line, std::size_t maxLength);
    // Reads at most `size` bytes; `closed` at the end of the stream.
    IOResult readSome(void* data, std::size_t size, std::size_t& received);

    // TLS as a client over the connected socket. `hostName` is what the certificate must name (a name
    // or an IP address); `reuse` is the control connection's session for a data connection.
    bool startTLS(ssl_ctx_st* context, const std::string& hostName, ssl_session_st* reuse,
                  std::string& error);
    bool tlsActive() const { return m_ssl != nullptr; }
    ssl_st* tlsHandle() const { return m_ssl; }
    // Sends the TLS close notification (data connections must end with it).
    void shutdownTLS();

private:
    friend class TCPServer;
    void adopt(int fd);
    IOResult readRaw(void* data, std::size_t size, std::size_t& received);

    ssl_st* m_ssl = nullptr;
    std::string m_buffer; // read but not yet taken
};

// A listening socket for an active-mode data connection.
class TCPServer : public IPSocket {
public:
    // Listens on `address` (its port ignored: a free one is taken).
    bool listen(const sockaddr* address, socklen_t length);
    int port() const;
    // Waits for one connection at most the timeout; `aborted` when the abort flag was set.
    IOResult accept(TCPSocket& connection);
};

// Told the bytes sent so far and the file's size: first 0, then after every block.
using FileTransferProgress = std::function<void(std::uint64_t bytesSent, std::uint64_t totalBytes)>;

// What upload code uses to talk to a file server. All calls but abort() come from one worker thread.
class FileTransferClient {
public:
    virtual ~FileTransferClient() = default;

    virtual void open(const std::string& host, int port) = 0;
    virtual void login(const std::string& user, const std::string& password) = 0;
    virtual void close() = 0;
    // False once a failure has left the control connection unusable (the server went away, a reply
    // came out of step, a transfer broke off): open() again to go on.
    virtual bool isConnected() const = 0;

    // dir ".." goes up.
    virtual void cwd(const std::string& dir) = 0;
    virtual void cdup() = 0;
    virtual void mkd(const std::string& dir) = 0;
    virtual void rmd(const std::string& dir) = 0;
    virtual void noop() = 0;
    virtual void rename(const std::string& from, const std::string& to) = 0;
    // The size of a remote file (FTPPermError when the server knows no such file).
    virtual std::uint64_t size(const std::string& file) = 0;
    // Whether a file of this name exists in the current folder (or at this path): SIZE, and a name
    // listing when the server does not understand SIZE.
    virtual bool exists(const std::string& file) = 0;
    // The server's current folder (FTPPermError when the server will not say).
    virtual std::string pwd() = 0;
    virtual void put_binary_file(const std::string& localPath, const std::string& remoteName,
                                 const FileTransferProgress& progress) = 0;
    // From any thread: ends a transfer between blocks, and a connect or data-connection wait.
    virtual void abort() = 0;
};

class FTPClient : public FileTransferClient {
public:
    // A reply line longer than this, or a reply longer than kMaxReplyBytes, is refused.
    static constexpr std::size_t kMaxReplyLine = 8192;
    static constexpr std::size_t kMaxReplyBytes = 65536;
    static constexpr std::size_t kBlockSize = 32768;
    static constexpr std::chrono::milliseconds kDefaultTimeout{60000};
    static constexpr std::uint64_t kMaxListingBytes = 16u << 20;

    FTPClient();
    ~FTPClient() override;
    FTPClient(const FTPClient&) = delete;
    FTPClient& operator=(const FTPClient&) = delete;

    void setPassive(bool passive) { m_passive = passive; }
    bool passive() const { return m_passive; }
    // Takes effect at the next open().
    void setSecurity(const FTPSecurity& security);
    const FTPSecurity& security() const { return m_security; }
    // Read and send timeout of the control and data connections, and the wait for an active-mode data
    // connection.
    void setTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }
    // For tests: how often and how far apart connecting is tried.
    void setConnectRetries(int attempts, std::chrono::milliseconds wait) {
        m_connectAttempts = attempts;
        m_connectWait = wait;
    }
    // The bytes handed to the socket per send call: kBlockSize (the unit of progress) times this.
    void setBlocksPerSend(int blocks) { m_blocksPerSend = blocks < 1 ? 1 : blocks; }
    void setLogging(bool on) { m_logging = on; }
    // Clears an earlier abort() so that the client can be used again.
    void clearAbort() { m_abort = false; }

    void open(const std::string& host, int port) override;
    void login(const std::string& user, const std::string& password) override;
    void close() override;
    bool isConnected() const override { return m_connected; }
    void cwd(const std::string& dir) override;
    void cdup() override;
    void mkd(const std::string& dir) override;
    void rmd(const std::string& dir) override;
    void noop() override;
    void rename(const std::string& from, const std::string& to) override;
    std::uint64_t size(const std::string& file) override;
    bool exists(const std::string& file) override;
    std::string pwd() override;
    void put_binary_file(const std::string& localPath, const std::string& remoteName,
                         const FileTransferProgress& progress) override;
    void abort() override;

    // The names a name listing (NLST) of `path` (empty: the current folder) gives, without folders.
    std::vector<std::string> nlst(const std::string& path);

    // Sends a command and reads its reply (getresp); answers the reply's text.
    std::string sendcmd(const std::string& command);
    // sendcmd, and the reply must be a positive completion (voidresp).
    std::string voidcmd(const std::string& command);
    // voidcmd, a failure logged as the named function's before it goes on up.
    void loggedVoidcmd(const char* function, const std::string& command);
    // Reads a reply into the last reply and code, and classifies it.
    std::string getresp();
    std::string voidresp();

    const std::string& lastReply() const { return m_lastReply; }
    const std::string& lastCode() const { return m_lastCode; }

    // The path between the double quotes of a 257 reply ("" inside it is one quote).
    static std::string parse257(const std::string& reply);
    // The host (h1.h2.h3.h4) and port (p1 * 256 + p2) of a 227 reply.
    static void parse227(const std::string& reply, std::string& host, int& port);
    // The port of a 229 reply ("(|||port|)").
    static int parse229(const std::string& reply);

    // Reads one whole reply (all its lines, each ending in a line feed) from `readLine`, which answers
    // false when the connection ended before a line was complete. Shared with the fuzz target.
    static std::string recv_multiline_resp(const std::function<bool(std::string& line)>& readLine);

private:
    std::string readReply();
    std::unique_ptr<TCPSocket> transfercmd(const std::string& command);
    std::unique_ptr<TCPSocket> openPassive();
    void secureControl();
    void secureData(TCPSocket& data);
    void checkPinned(TCPSocket& socket);
    // Logs "FTPClient::function(): message" (with logging on).
    void logFailure(const char* function, const FTPError& error) const;

    mutable std::mutex m_lock; // guards the control connection for open, close and abort
    std::unique_ptr<TCPSocket> m_control;
    std::string m_host;
    bool m_passive = true;
    std::string m_lastReply;
    std::string m_lastCode;
    std::atomic<bool> m_connected{false};
    std::atomic<bool> m_abort{false};
    FTPSecurity m_security;
    ssl_ctx_st* m_tlsContext = nullptr;
    std::chrono::milliseconds m_timeout = kDefaultTimeout;
    int m_connectAttempts = TCPSocket::kConnectAttempts;
    std::chrono::milliseconds m_connectWait = TCPSocket::kConnectRetryWait;
    int m_blocksPerSend = 1;
    bool m_logging = true;
};
