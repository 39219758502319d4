#pragma once

#include "archive/PacketFrame.h"
#include "archive/RPCHandshake.h"
#include "archive/VObject.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace CILA::PROTO::RPC {

// Where a connection writes its bytes: a socket, a pipe, a test's buffer. write() never waits for the
// peer to read (it queues what cannot go out at once): an end blocked in a write reads nothing, and two
// such ends wait for each other for ever. close() ends the stream; the transport's owner stops feeding
// the connection afterwards.
class RPCTransport {
public:
    virtual ~RPCTransport() = default;
    virtual void write(const std::uint8_t* data, std::size_t n) = 0;
    virtual void close() = 0;
};

// One message as received: the header vector [request, to_port, name, ...] and the arguments (a vector,
// or nil for none).
struct RPCMessage {
    bool request = false; // the truth value of the header's first element
    VObject to_port;
    std::string name;
    VObject header;
    VObject args;
    std::uint16_t counter = 0; // the frame's message counter
};

// One end of a bridge connection: the handshake, then one message per frame both ways. The owner feeds
// it the bytes it receives (onBytes) and delivers what it writes; everything runs on the owner's thread
// (the connection is not thread-safe). Handlers may send and close, but not destroy the connection; a
// handler is the last to see its message and may take its values (a large argument need not be copied).
//
// Received messages go to the handler registered under their integer to_port, or to the root handler
// when to_port is not an integer. Faulty messages are logged and dropped; a faulty frame or handshake
// closes the connection, since the stream can no longer be trusted.
class RPCConnection {
public:
    using Handler = std::function<void(RPCConnection&, RPCMessage&)>;
    enum class State { Handshake, Open, Closed };

    explicit RPCConnection(RPCTransport& transport, int protocolVersion = kProtocolVersion);
    RPCConnection(const RPCConnection&) = delete;
    RPCConnection& operator=(const RPCConnection&) = delete;

    // Sends the hello; called once the stream is up (the first onBytes does it if the owner has not).
    void start();
    void onBytes(const std::uint8_t* data, std::size_t n);
    // Closes the transport once; later bytes are ignored and sends refused.
    void close();

    // Sends the header [request, to_port, msg] and the arguments (nil or an empty vector go as nil).
    // Arguments of another type throw CilaException "RPCConnection: v_args should be type VECTOR or NIL";
    // values that cannot be written throw CilaRuntimeError, and an oversized message CilaProtoException.
    // Before the handshake is done the frame waits and goes out, in order, when it is. Answers false
    // (and logs) when the connection is closed.
    bool send(const VObject& request, const VObject& to_port, const VObject& msg, const VObject& v_args = {});

    void registerPort(std::int64_t port, Handler handler);
    void unregisterPort(std::int64_t port);
    void setRootHandler(Handler handler);
    // The default is the short header form.
    void setShortHeaders(bool shortForm) { m_shortHeaders = shortForm; }

    State state() const { return m_state; }
    bool isOpen() const { return m_state == State::Open; }
    // The counter the next frame sent will carry; starts at 0 and wraps at 65536.
    std::uint16_t counter() const { return m_counter; }
    // The text of the last message, frame or handshake failure (empty when none), as logged.
    const std::string& lastError() const { return m_lastError; }

private:
    void sendRaw(const std::string& bytes);
    void onFrameBytes(const std::uint8_t* data, std::size_t n);
    void handleFrame();
    void deliver(RPCMessage& message);
    void fail(const char* function, const std::string& text, bool closeStream);

    RPCTransport& m_transport;
    RPCHandshake m_handshake;
    PacketFrameIn m_in{PacketFrame::kMaxShortPayload};
    PacketFrameOut m_out;
    std::uint16_t m_counter = 0;
    bool m_shortHeaders = true;
    bool m_started = false;
    State m_state = State::Handshake;
    std::string m_waiting; // frames sent before the handshake was done
    std::map<std::int64_t, Handler> m_ports;
    Handler m_rootHandler;
    std::string m_lastError;
};

} // namespace CILA::PROTO::RPC
