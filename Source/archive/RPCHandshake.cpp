#include "archive/RPCHandshake.h"

#include "archive/CilaException.h"
#include "archive/VObject.h"
#include "support/TextUtils.h"

#include <algorithm>

namespace CILA::PROTO::RPC {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The peer's bytes quoted for the log (they may be anything).
std::string quoted(const std::string& bytes) {
    return VObject(bytes).toString();
}

} // namespace

std::string makeHelloString(int version) {
    std::string hello = lumo::formatString("CILA/RPC v%02d", version);
    if (hello.size() != kHandshakeSize)
        throw CilaException("RPC Internal error: Bad handshake length");
    return hello;
}

std::string makeOkString() {
    std::string ok = "CILA/RPC OK ";
    if (ok.size() != kHandshakeSize)
        throw CilaException("RPC Internal error: Bad handshake length (ok_str)");
    return ok;
}

std::string makeBadVersionString(int ourVersion, std::string_view peerHello) {
    std::string theirs = "??";
    if (peerHello.size() == kHandshakeSize && isDigit(peerHello[10]) && isDigit(peerHello[11]))
        theirs = std::string(peerHello.substr(10));
    std::string reply = lumo::formatString("BADVER %02d/%s", ourVersion, theirs.c_str());
    if (reply.size() != kHandshakeSize)
        throw CilaException("RPC Internal error: Bad handshake length (badver_str)");
    return reply;
}

RPCHandshake::RPCHandshake(int version) : m_version(version), m_hello(makeHelloString(version)) {}

std::size_t RPCHandshake::feed(const std::uint8_t* data, std::size_t n, std::string& reply) {
    std::size_t used = 0;
    while (used < n && (m_state == State::AwaitHello || m_state == State::AwaitOk)) {
        const std::size_t take = std::min(kHandshakeSize - m_received.size(), n - used);
        m_received.append(reinterpret_cast<const char*>(data + used), take);
        used += take;
        if (m_received.size() < kHandshakeSize)
            break;
        if (m_state == State::AwaitHello) {
            if (m_received == m_hello) {
                reply += makeOkString();
                m_state = State::AwaitOk;
            } else {
                reply += makeBadVersionString(m_version, m_received);
                m_failure = "version mismatch: peer hello " + quoted(m_received);
                m_state = State::Failed;
            }
        } else if (m_received == makeOkString()) {
            m_state = State::Done;
        } else {
            m_failure = "peer refused: " + quoted(m_received);
            m_state = State::Failed;
        }
        m_received.clear();
    }
    return used;
}

} // namespace CILA::PROTO::RPC
