#include "transfer/FTPClient.h"

#include <unistd.h>

// Declarations are in place; the bodies follow.

IPSocket::~IPSocket() {
    close();
}
void IPSocket::close() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}
void IPSocket::shutdownBoth() {}
bool IPSocket::localAddress(sockaddr_storage&, socklen_t&) const {
    return false;
}
bool IPSocket::peerAddress(sockaddr_storage&, socklen_t&) const {
    return false;
}
bool IPSocket::isIPv6() const {
    return false;
}
IPSocket::IOResult IPSocket::waitFor(short) {
    return IOResult::error;
}

TCPSocket::~TCPSocket() = default;
bool TCPSocket::connect(const std::string&, int, const std::atomic<bool>*, int, std::chrono::milliseconds) {
    return false;
}
bool TCPSocket::connectAddress(const sockaddr*, socklen_t) {
    return false;
}
IPSocket::IOResult TCPSocket::sendAll(const void*, std::size_t) {
    return IOResult::error;
}
IPSocket::IOResult TCPSocket::readLine(std::string&, std::size_t) {
    return IOResult::error;
}
IPSocket::IOResult TCPSocket::readSome(void*, std::size_t, std::size_t&) {
    return IOResult::error;
}
bool TCPSocket::startTLS(ssl_ctx_st*, const std::string&, ssl_session_st*, std::string&) {
    return false;
}
void TCPSocket::shutdownTLS() {}
void TCPSocket::adopt(int fd) {
    m_fd = fd;
}
IPSocket::IOResult TCPSocket::readRaw(void*, std::size_t, std::size_t&) {
    return IOResult::error;
}

bool TCPServer::listen(const sockaddr*, socklen_t) {
    return false;
}
int TCPServer::port() const {
    return 0;
}
IPSocket::IOResult TCPServer::accept(TCPSocket&) {
    return IOResult::error;
}

FTPClient::FTPClient() = default;
FTPClient::~FTPClient() = default;
void FTPClient::open(const std::string&, int) {
    throw FTPIOError(FTPText::kNoConnection);
}
void FTPClient::login(const std::string&, const std::string&) {
    throw FTPError(FTPText::kLoginFailed);
}
void FTPClient::close() {}
void FTPClient::cwd(const std::string&) {
    throw FTPIOError(FTPText::kNotConnected);
}
void FTPClient::cdup() {
    throw FTPIOError(FTPText::kNotConnected);
}
void FTPClient::mkd(const std::string&) {
    throw FTPIOError(FTPText::kNotConnected);
}
void FTPClient::rmd(const std::string&) {
    throw FTPIOError(FTPText::kNotConnected);
}
void FTPClient::noop() {
    throw FTPIOError(FTPText::kNotConnected);
}
void FTPClient::rename(const std::string&, const std::string&) {
    throw FTPIOError(FTPText::kNotConnected);
}
std::uint64_t FTPClient::size(const std::string&) {
    throw FTPIOError(FTPText::kNotConnected);
}
bool FTPClient::exists(const std::string&) {
    throw FTPIOError(FTPText::kNotConnected);
}
std::string FTPClient::pwd() {
    throw FTPIOError(FTPText::kNotConnected);
}
void FTPClient::put_binary_file(const std::string&, const std::string&, const FileTransferProgress&) {
    throw FTPIOError(FTPText::kNotConnected);
}
void FTPClient::abort() {
    m_abort = true;
}
std::vector<std::string> FTPClient::nlst(const std::string&) {
    throw FTPIOError(FTPText::kNotConnected);
}
std::string FTPClient::sendcmd(const std::string&) {
    throw FTPIOError(FTPText::kNotConnected);
}
std::string FTPClient::voidcmd(const std::string&) {
    throw FTPIOError(FTPText::kNotConnected);
}
std::string FTPClient::getresp() {
    throw FTPIOError(FTPText::kNotConnected);
}
std::string FTPClient::voidresp() {
    throw FTPIOError(FTPText::kNotConnected);
}
std::string FTPClient::parse257(const std::string&) {
    throw FTPProtoError(FTPText::kBad257);
}
void FTPClient::parse227(const std::string&, std::string&, int&) {
    throw FTPProtoError(FTPText::kBad227);
}
int FTPClient::parse229(const std::string&) {
    throw FTPProtoError(FTPText::kBad229);
}
std::string FTPClient::recv_multiline_resp(const std::function<bool(std::string&)>&) {
    throw FTPProtoError(FTPText::kIncompleteLine);
}
