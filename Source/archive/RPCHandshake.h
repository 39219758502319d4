#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace CILA::PROTO::RPC {

inline constexpr int kProtocolVersion = 1;
// Every handshake string is this long, without terminator.
inline constexpr std::size_t kHandshakeSize = 12;

// "CILA/RPC v01" for version 1. Throws CilaException "RPC Internal error: Bad handshake length" for a
// version that does not give 12 bytes.
std::string makeHelloString(int version);
// "CILA/RPC OK ".
std::string makeOkString();
// "BADVER 01/02": our version, then the peer's as its hello gave it ("??" when the hello does not end in
// two digits). Throws "RPC Internal error: Bad handshake length (badver_str)" when it would not be 12 bytes.
std::string makeBadVersionString(int ourVersion, std::string_view peerHello);

// The opening exchange of a connection. Both ends send their hello; each compares the peer's 12 bytes with
// its own and answers "CILA/RPC OK " (then waits for the peer's OK) or a "BADVER " reply (and fails).
// The connection owns one and hands it bytes until it is Done or Failed.
class RPCHandshake {
public:
    enum class State { AwaitHello, AwaitOk, Done, Failed };

    explicit RPCHandshake(int version = kProtocolVersion);

    const std::string& hello() const { return m_hello; }
    // Takes handshake bytes and answers how many it took; bytes after the handshake are left for the frame
    // receiver. Appends to `reply` what must be sent to the peer.
    std::size_t feed(const std::uint8_t* data, std::size_t n, std::string& reply);

    State state() const { return m_state; }
    // Why the handshake failed, for the log.
    const std::string& failure() const { return m_failure; }

private:
    int m_version;
    std::string m_hello;
    std::string m_received; // the peer's string in progress, at most 12 bytes
    State m_state = State::AwaitHello;
    std::string m_failure;
};

} // namespace CILA::PROTO::RPC
