#pragma once

#include "archive/RPCConnection.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace CILA::PROTO::RPC {

// A connection's transport over a connected stream socket (which it does not own and makes
// non-blocking). Nothing here waits: write() queues the bytes, and the owner's poll loop moves them
// with flush() when the socket takes more (POLLOUT) and hands what arrives to the connection with
// receive() (POLLIN). An end therefore keeps reading while its own bytes wait to go out, and two ends
// sending large messages at each other both make progress.
//
// Bounding the queue is the owner's part: above kOutputHighWater queued bytes it takes no new work until
// the peer has read some. Only one end of a link may stop reading for that (the service); the other
// (the application) always reads, or both could wait for each other.
//
// Once the stream has ended (the peer closed it, a read or write failed, or close() was called) the
// transport queues and reads nothing more; its owner sees ended() and ends the connection.
class SocketTransport : public RPCTransport {
public:
    // At most this many bytes are read per receive().
    static constexpr std::size_t kReadChunk = 256 * 1024;
    static constexpr std::size_t kOutputHighWater = 1024 * 1024;

    explicit SocketTransport(int fd);
    void write(const std::uint8_t* data, std::size_t n) override;
    // Makes one last attempt at what is queued (a refusal should reach the peer), then ends the stream.
    void close() override;

    // Sends what the socket takes now; false once the stream has ended.
    bool flush();
    // Reads what has arrived and feeds it to `connection`; false once the stream has ended.
    bool receive(RPCConnection& connection);
    // The poll() events to wait for: POLLIN when the owner wants input, POLLOUT while bytes wait.
    short events(bool wantInput) const;

    std::size_t pending() const { return m_output.size() - m_sent; }
    bool ended() const { return m_ended; }
    // The stream ended because the peer closed it (rather than a failure or our close()).
    bool peerClosed() const { return m_peerClosed; }

private:
    void fail(const char* function);

    int m_fd;
    bool m_ended = false;
    bool m_peerClosed = false;
    // Bytes [m_sent, size) wait to go out. The buffer keeps its capacity, as the connection's frame
    // buffers do: large messages that follow each other reuse the memory instead of faulting in new.
    std::vector<std::uint8_t> m_output;
    std::size_t m_sent = 0;
    std::vector<std::uint8_t> m_readBuffer;
};

} // namespace CILA::PROTO::RPC
