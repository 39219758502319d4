#pragma once

#include "archive/RPCConnection.h"

namespace CILA::PROTO::RPC {

// A connection's transport over a connected stream socket (which it does not own). A write that
// fails marks the transport failed and drops what follows; its owner sees failed() and ends the
// connection.
class SocketTransport : public RPCTransport {
public:
    explicit SocketTransport(int fd) : m_fd(fd) {}
    void write(const std::uint8_t* data, std::size_t n) override;
    void close() override { m_failed = true; }
    bool failed() const { return m_failed; }

private:
    int m_fd;
    bool m_failed = false;
};

} // namespace CILA::PROTO::RPC
