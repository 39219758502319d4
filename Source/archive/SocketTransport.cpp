#include "archive/SocketTransport.h"

#include "app/LumoLog.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace CILA::PROTO::RPC {

void SocketTransport::write(const std::uint8_t* data, std::size_t n) {
    while (n > 0 && !m_failed) {
        const ssize_t w = ::send(m_fd, data, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            LUMO_LOG("SocketTransport::write: %s", std::strerror(errno));
            m_failed = true;
            break;
        }
        data += w;
        n -= static_cast<std::size_t>(w);
    }
}

} // namespace CILA::PROTO::RPC
