#include "archive/RPCConnection.h"

#include "app/LumoLog.h"
#include "archive/CilaException.h"

namespace CILA::PROTO::RPC {

RPCConnection::RPCConnection(RPCTransport& transport, int protocolVersion)
    : m_transport(transport), m_handshake(protocolVersion) {}

void RPCConnection::start() {
    if (m_started || m_state == State::Closed)
        return;
    m_started = true;
    sendRaw(m_handshake.hello());
}

void RPCConnection::close() {
    if (m_state == State::Closed)
        return;
    m_state = State::Closed;
    m_waiting.clear();
    m_transport.close();
}

void RPCConnection::sendRaw(const std::string& bytes) {
    m_transport.write(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

void RPCConnection::fail(const char* function, const std::string& text, bool closeStream) {
    m_lastError = text;
    LUMO_LOG("%s: %s", function, text.c_str());
    if (closeStream)
        close();
}

void RPCConnection::onBytes(const std::uint8_t* data, std::size_t n) {
    if (m_state == State::Closed)
        return;
    // Our hello must precede our answer to the peer's.
    start();
    if (m_state == State::Handshake) {
        std::string reply;
        const std::size_t used = m_handshake.feed(data, n, reply);
        if (!reply.empty())
            sendRaw(reply);
        if (m_handshake.state() == RPCHandshake::State::Failed)
            return fail("RPCConnection::onBytes", m_handshake.failure(), true);
        if (m_handshake.state() != RPCHandshake::State::Done)
            return;
        m_state = State::Open;
        std::string waiting;
        waiting.swap(m_waiting);
        if (!waiting.empty())
            sendRaw(waiting);
        data += used;
        n -= used;
    }
    onFrameBytes(data, n);
}

void RPCConnection::onFrameBytes(const std::uint8_t* data, std::size_t n) {
    while (n > 0 && m_state == State::Open) {
        const std::size_t used = m_in.feed(data, n);
        data += used;
        n -= used;
        if (m_in.hasError()) {
            const std::string text = m_in.errorText();
            m_in.reset();
            return fail("RPCConnection::onBytes", text, true);
        }
        if (m_in.isComplete())
            handleFrame();
    }
}

// The frame is read into values and released before any handler runs, so a handler may send or close.
void RPCConnection::handleFrame() {
    RPCMessage message;
    message.counter = m_in.counter();
    try {
        message.header = VObject::deserialize(m_in);
        message.args = VObject::deserialize(m_in);
    } catch (const CilaException& e) {
        m_in.reset();
        return fail("RPCConnection::handleFrame", e.what(), false);
    }
    m_in.reset();

    const VObject& header = message.header;
    if (header.dataType() != VObject::DT_VECTOR)
        return fail("RPCConnection::handleFrame", "bad message header datatype - expecting vector", false);
    if (header.size() < 3)
        return fail("RPCConnection::handleFrame", "bad message header length", false);
    const VObject::DataType argsType = message.args.dataType();
    if (argsType != VObject::DT_VECTOR && argsType != VObject::DT_NIL)
        return fail("RPCConnection::handleFrame", "bad message args datatype - expecting vector or nil",
                    false);
    message.request = header.at(0).getbool();
    message.to_port = header.at(1);
    const VObject& name = header.at(2);
    message.name = name.dataType() == VObject::DT_STR ? name.getstr() : name.toString();
    LUMO_CHANNEL_LOG(DebugFlag::CILA_RPC_MSG_LOGGING,
                     "RPCConnection::handleFrame: #%u msg=%s to_port=%s args=%s",
                     static_cast<unsigned>(message.counter), message.name.c_str(),
                     message.to_port.toString().c_str(), message.args.toString().c_str());
    deliver(message);
}

void RPCConnection::deliver(RPCMessage& message) {
    Handler handler; // a copy: the handler may unregister itself
    if (message.to_port.dataType() == VObject::DT_INTEGER) {
        const auto it = m_ports.find(message.to_port.getint());
        if (it == m_ports.end())
            return fail("RPCConnection::deliver", "undeliverable: to_port not in portmap", false);
        handler = it->second;
    } else if (m_rootHandler) {
        handler = m_rootHandler;
    } else {
        return fail("RPCConnection::deliver", "to_port type not INTEGER", false);
    }
    try {
        handler(*this, message);
    } catch (const std::exception& e) {
        m_lastError = e.what();
        LUMO_LOG("RPCConnection::deliver: exception: %s (msg=%s, to_port=%s, args=%s)", e.what(),
                 message.name.c_str(), message.to_port.toString().c_str(), message.args.toString().c_str());
    } catch (...) {
        m_lastError = "unknown C++ exception";
        LUMO_LOG("RPCConnection::deliver: unknown C++ exception (msg=%s, to_port=%s, args=%s)",
                 message.name.c_str(), message.to_port.toString().c_str(), message.args.toString().c_str());
    }
}

bool RPCConnection::send(const VObject& request, const VObject& to_port, const VObject& msg,
                         const VObject& v_args) {
    const VObject::DataType argsType = v_args.dataType();
    if (argsType != VObject::DT_VECTOR && argsType != VObject::DT_NIL)
        throw CilaException("RPCConnection: v_args should be type VECTOR or NIL");
    if (m_state == State::Closed) {
        LUMO_LOG("RPCConnection::send: connection closed (msg=%s)", msg.toString().c_str());
        return false;
    }
    VObject header = VObject::makeVector();
    header.append(request);
    header.append(to_port);
    header.append(msg);
    m_out.clear();
    header.serialize(m_out);
    if (v_args.size() == 0)
        VObject().serialize(m_out);
    else
        v_args.serialize(m_out);
    m_out.compute_frame_header(m_counter, m_shortHeaders);
    ++m_counter; // wraps at 65536

    if (m_state == State::Open) {
        m_transport.write(m_out.header(), m_out.headerSize());
        m_transport.write(m_out.data(), m_out.size());
    } else {
        m_waiting.append(reinterpret_cast<const char*>(m_out.header()), m_out.headerSize());
        m_waiting.append(reinterpret_cast<const char*>(m_out.data()), m_out.size());
    }
    return true;
}

void RPCConnection::registerPort(std::int64_t port, Handler handler) {
    m_ports[port] = std::move(handler);
}

void RPCConnection::unregisterPort(std::int64_t port) {
    m_ports.erase(port);
}

void RPCConnection::setRootHandler(Handler handler) {
    m_rootHandler = std::move(handler);
}

} // namespace CILA::PROTO::RPC
