#include "archive/SocketTransport.h"

#include "app/LumoLog.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace CILA::PROTO::RPC {

SocketTransport::SocketTransport(int fd) : m_fd(fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
        fail("SocketTransport::SocketTransport");
}

void SocketTransport::fail(const char* function) {
    LUMO_LOG("%s: %s", function, std::strerror(errno));
    m_ended = true;
}

void SocketTransport::write(const std::uint8_t* data, std::size_t n) {
    if (m_ended || n == 0)
        return;
    // What has gone out is dropped once it is half the buffer or more: moving the rest costs no more
    // than sending it did.
    if (m_sent > 0 && m_sent >= m_output.size() / 2) {
        m_output.erase(m_output.begin(), m_output.begin() + static_cast<std::ptrdiff_t>(m_sent));
        m_sent = 0;
    }
    m_output.insert(m_output.end(), data, data + n);
}

void SocketTransport::close() {
    if (m_ended)
        return;
    flush();
    m_ended = true;
}

bool SocketTransport::flush() {
    while (!m_ended && m_sent < m_output.size()) {
        const ssize_t w =
            ::send(m_fd, m_output.data() + m_sent, m_output.size() - m_sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                fail("SocketTransport::flush");
            break;
        }
        m_sent += static_cast<std::size_t>(w);
    }
    if (m_sent == m_output.size()) {
        m_output.clear();
        m_sent = 0;
    }
    return !m_ended;
}

bool SocketTransport::receive(RPCConnection& connection) {
    if (m_ended)
        return false;
    if (m_readBuffer.empty())
        m_readBuffer.resize(kReadChunk);
    while (true) {
        const ssize_t n = ::recv(m_fd, m_readBuffer.data(), m_readBuffer.size(), MSG_DONTWAIT);
        if (n > 0) {
            connection.onBytes(m_readBuffer.data(), static_cast<std::size_t>(n));
            break;
        }
        if (n == 0) {
            m_peerClosed = m_ended = true;
            break;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            fail("SocketTransport::receive");
        break;
    }
    return !m_ended;
}

short SocketTransport::events(bool wantInput) const {
    if (m_ended)
        return 0;
    return static_cast<short>((wantInput ? POLLIN : 0) | (pending() > 0 ? POLLOUT : 0));
}

} // namespace CILA::PROTO::RPC
