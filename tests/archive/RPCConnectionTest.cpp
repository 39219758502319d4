#include "archive/RPCConnection.h"
#include "archive/CilaException.h"
#include "archive/PacketFrame.h"
#include "archive/SocketTransport.h"
#include "support/NamedThread.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

using CILA::VObject;
using CILA::PROTO::PacketFrameOut;
using namespace CILA::PROTO::RPC;

namespace {

// One direction of an in-memory stream.
struct Pipe : RPCTransport {
    std::string bytes;
    std::string everything; // all ever written
    bool closed = false;
    void write(const std::uint8_t* data, std::size_t n) override {
        bytes.append(reinterpret_cast<const char*>(data), n);
        everything.append(reinterpret_cast<const char*>(data), n);
    }
    void close() override { closed = true; }
};

// Two connections talking to each other; pump() carries bytes both ways, `chunk` at a time, until both
// pipes are empty.
struct Link {
    Pipe aOut, bOut;
    RPCConnection a, b;
    std::size_t chunk = 1 << 20;
    explicit Link(int versionA = kProtocolVersion, int versionB = kProtocolVersion)
        : a(aOut, versionA), b(bOut, versionB) {}
    void pump() {
        while (!aOut.bytes.empty() || !bOut.bytes.empty()) {
            carry(aOut, b);
            carry(bOut, a);
        }
    }
    void carry(Pipe& pipe, RPCConnection& to) {
        const std::string bytes = std::move(pipe.bytes);
        pipe.bytes.clear();
        for (std::size_t pos = 0; pos < bytes.size(); pos += chunk)
            to.onBytes(reinterpret_cast<const std::uint8_t*>(bytes.data()) + pos,
                       std::min(chunk, bytes.size() - pos));
    }
};

std::string describe(const RPCMessage& m) {
    return std::to_string(m.counter) + (m.request ? " req " : " ") + m.name + " " + m.to_port.toString() +
           " " + m.args.toString();
}

// A raw frame carrying `payload` (encoded values) for the receive-side checks.
std::string rawFrame(const std::vector<VObject>& values) {
    PacketFrameOut out;
    for (const VObject& v : values)
        v.serialize(out);
    out.compute_frame_header(0, true);
    return std::string(reinterpret_cast<const char*>(out.header()), out.headerSize()) +
           std::string(reinterpret_cast<const char*>(out.data()), out.size());
}

} // namespace

TEST(RPCConnectionTest, HandshakesAndCarriesMessagesBothWays) {
    EXPECT_EQ(makeHelloString(1), "CILA/RPC v01");
    EXPECT_EQ(makeOkString(), "CILA/RPC OK ");
    EXPECT_EQ(makeBadVersionString(1, "CILA/RPC v02"), "BADVER 01/02");
    EXPECT_EQ(makeBadVersionString(1, "garbage"), "BADVER 01/??");
    const auto internalError = [](auto f) -> std::string {
        try {
            f();
        } catch (const CILA::CilaException& e) {
            return e.what();
        }
        return "";
    };
    EXPECT_EQ(internalError([] { makeHelloString(100); }), "RPC Internal error: Bad handshake length");
    EXPECT_EQ(internalError([] { makeBadVersionString(100, ""); }),
              "RPC Internal error: Bad handshake length (badver_str)");

    for (const std::size_t chunk : {std::size_t{1}, std::size_t{5}, std::size_t{1} << 20}) {
        Link link;
        link.chunk = chunk;
        std::vector<std::string> atA, atB;
        link.a.registerPort(2, [&](RPCConnection&, const RPCMessage& m) { atA.push_back(describe(m)); });
        link.b.registerPort(1, [&](RPCConnection& c, const RPCMessage& m) {
            atB.push_back(describe(m));
            if (m.request)
                c.send(false, 2, "reply", m.args);
        });
        link.a.start();
        // Sent before the handshake is done: waits, then goes out first.
        VObject args = VObject::makeVector();
        args.append("x");
        args.append(VObject::makeSymbol("sym"));
        EXPECT_TRUE(link.a.send(true, 1, "hello", args));
        link.b.start();
        link.pump();
        ASSERT_TRUE(link.a.isOpen() && link.b.isOpen()) << chunk;
        EXPECT_EQ(link.aOut.everything.substr(0, 24), "CILA/RPC v01CILA/RPC OK ");
        EXPECT_EQ(link.bOut.everything.substr(0, 24), "CILA/RPC v01CILA/RPC OK ");

        EXPECT_TRUE(link.a.send(false, 1, "note", VObject::makeVector())); // empty arguments go as nil
        EXPECT_TRUE(link.a.send(true, 1, "again"));
        link.pump();
        EXPECT_EQ(atB, (std::vector<std::string>{"0 req hello 1 [\"x\", \"sym\"]", "1 note 1 nil",
                                                 "2 req again 1 nil"}));
        EXPECT_EQ(atA, (std::vector<std::string>{"0 reply 2 [\"x\", \"sym\"]", "1 reply 2 nil"}));
        EXPECT_EQ(link.a.counter(), 3);
        EXPECT_TRUE(link.a.lastError().empty() && link.b.lastError().empty());
    }
}

TEST(RPCConnectionTest, RefusesAnotherVersionOrAWrongAnswer) {
    Link link(1, 2);
    link.a.start();
    link.b.start();
    link.pump();
    EXPECT_EQ(link.aOut.everything, "CILA/RPC v01BADVER 01/02");
    EXPECT_EQ(link.bOut.everything, "CILA/RPC v02BADVER 02/01");
    EXPECT_TRUE(link.aOut.closed && link.bOut.closed);
    EXPECT_EQ(link.a.state(), RPCConnection::State::Closed);
    EXPECT_FALSE(link.a.send(true, 1, "late"));

    Pipe out;
    RPCConnection c(out);
    const std::string answer = "CILA/RPC v01CILA/RPC NO ";
    c.onBytes(reinterpret_cast<const std::uint8_t*>(answer.data()), answer.size());
    EXPECT_EQ(out.everything, "CILA/RPC v01CILA/RPC OK ");
    EXPECT_TRUE(out.closed);
}

TEST(RPCConnectionTest, CounterWrapsAt65536) {
    Link link;
    link.a.start();
    link.b.start();
    link.pump();
    link.aOut.bytes.clear();
    for (int i = 0; i < 65537; ++i)
        link.a.send(false, 1, "n");
    EXPECT_EQ(link.a.counter(), 1);
    // Every frame is alike but for its counter: read the counters off the stream.
    CILA::PROTO::PacketFrameIn in;
    std::vector<std::uint16_t> counters;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(link.aOut.bytes.data());
    for (std::size_t pos = 0; pos < link.aOut.bytes.size(); in.reset()) {
        pos += in.feed(bytes + pos, link.aOut.bytes.size() - pos);
        ASSERT_TRUE(in.isComplete());
        counters.push_back(in.counter());
    }
    ASSERT_EQ(counters.size(), 65537u);
    EXPECT_EQ(counters[0], 0);
    EXPECT_EQ(counters[65535], 65535);
    EXPECT_EQ(counters[65536], 0);
}

TEST(RPCConnectionTest, ChecksMessagesAndRoutesByPort) {
    Link link;
    std::vector<std::string> delivered;
    link.b.registerPort(5, [&](RPCConnection&, const RPCMessage& m) { delivered.push_back(describe(m)); });
    link.b.registerPort(6,
                        [](RPCConnection&, const RPCMessage&) { throw std::runtime_error("handler broke"); });
    link.a.start();
    link.b.start();
    link.pump();

    EXPECT_THROW(link.a.send(true, 5, "x", VObject(3)), CILA::CilaException);
    try {
        link.a.send(true, 5, "x", VObject::makeHash());
    } catch (const CILA::CilaException& e) {
        EXPECT_STREQ(e.what(), "RPCConnection: v_args should be type VECTOR or NIL");
    }
    EXPECT_EQ(link.a.counter(), 0);

    const auto expectError = [&](const std::string& frameBytes, const std::string& error) {
        link.b.onBytes(reinterpret_cast<const std::uint8_t*>(frameBytes.data()), frameBytes.size());
        EXPECT_EQ(link.b.lastError(), error);
        EXPECT_TRUE(link.b.isOpen()) << error; // a faulty message does not end the connection
    };
    VObject shortHeader = VObject::makeVector();
    shortHeader.append(true);
    shortHeader.append(5);
    VObject header = shortHeader;
    header.append("m");
    expectError(rawFrame({1, VObject()}), "bad message header datatype - expecting vector");
    expectError(rawFrame({shortHeader, VObject()}), "bad message header length");
    expectError(rawFrame({header, 1}), "bad message args datatype - expecting vector or nil");
    expectError(rawFrame({header}), "VObject::deserialize: buffer underrun");

    link.a.send(true, 9, "nobody");
    link.a.send(true, "root", "named");
    link.pump();
    EXPECT_EQ(link.b.lastError(), "to_port type not INTEGER");
    link.a.send(true, 9, "nobody");
    link.pump();
    EXPECT_EQ(link.b.lastError(), "undeliverable: to_port not in portmap");
    link.a.send(true, 6, "boom");
    link.pump();
    EXPECT_EQ(link.b.lastError(), "handler broke");

    link.b.setRootHandler(
        [&](RPCConnection&, const RPCMessage& m) { delivered.push_back("root: " + describe(m)); });
    link.a.send(false, "root", "named");
    link.a.send(false, 5, "direct");
    link.pump();
    EXPECT_EQ(delivered, (std::vector<std::string>{"root: 4 named \"root\" nil", "5 direct 5 nil"}));

    // A broken frame leaves the stream out of step: the connection closes.
    const std::string badCrc("\xA5\x00\x00\x00\x00\x00\x01\xDE\xAD\xBE\xEF\x00\x80", 13);
    link.b.onBytes(reinterpret_cast<const std::uint8_t*>(badCrc.data()), badCrc.size());
    EXPECT_EQ(link.b.lastError(), "Bad Header CRC");
    EXPECT_TRUE(link.bOut.closed);
}

// Two ends over a socket pair, each on a thread of its own with the poll loop an owner runs: both send
// four 4 MiB requests at once and echo the other's. Ends that blocked in a write would stop each other
// for good; the main thread then shuts the sockets down and the test fails instead of hanging.
TEST(RPCConnectionTest, SocketEndsKeepReadingWhileTheySend) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    constexpr int kRequests = 4;
    std::mutex mutex;
    std::condition_variable changed;
    int finished = 0; // ends that got all their echoes back
    std::atomic<bool> stop{false};
    const auto end = [&](int fd, char fill) {
        SocketTransport transport(fd);
        RPCConnection conn(transport);
        int echoes = 0;
        conn.registerPort(1, [](RPCConnection& c, const RPCMessage& m) { c.send(false, 2, m.name, m.args); });
        conn.registerPort(2, [&](RPCConnection&, const RPCMessage& m) {
            const std::int64_t i = m.args.at(0).getint();
            if (m.args.at(1).getstr() == std::string((4u << 20) + static_cast<std::size_t>(i), fill) &&
                ++echoes == kRequests) {
                std::lock_guard lock(mutex);
                ++finished;
                changed.notify_all();
            }
        });
        conn.start();
        for (int i = 0; i < kRequests; ++i) {
            VObject args = VObject::makeVector();
            args.append(i);
            args.append(std::string((4u << 20) + static_cast<std::size_t>(i), fill));
            conn.send(true, 1, "echo", args);
        }
        while (!stop && !transport.ended()) {
            transport.flush();
            pollfd p{fd, transport.events(true), 0};
            if (::poll(&p, 1, 20) > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR)))
                transport.receive(conn);
        }
    };
    {
        lumo::NamedThread a("end-a", 1u << 20, [&] { end(fds[0], 'a'); });
        lumo::NamedThread b("end-b", 1u << 20, [&] { end(fds[1], 'b'); });
        std::unique_lock lock(mutex);
        EXPECT_TRUE(changed.wait_for(lock, std::chrono::seconds(30), [&] { return finished == 2; }));
        lock.unlock();
        stop = true;
        ::shutdown(fds[0], SHUT_RDWR); // frees an end stuck in a system call
    }
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST(RPCConnectionTest, SocketTransportQueuesWhatWaitsAndSeesTheEnd) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    SocketTransport t(fds[0]);
    EXPECT_EQ(t.events(true), POLLIN);
    // More than the socket holds: write() returns at once and keeps the rest.
    const std::string big(8u << 20, 'x');
    t.write(reinterpret_cast<const std::uint8_t*>(big.data()), big.size());
    t.write(reinterpret_cast<const std::uint8_t*>("tail"), 4);
    EXPECT_TRUE(t.flush());
    EXPECT_GT(t.pending(), 0u);
    EXPECT_LT(t.pending(), big.size() + 4);
    EXPECT_EQ(t.events(false), POLLOUT);
    std::string got;
    std::vector<char> buffer(1 << 16);
    while (got.size() < big.size() + 4) {
        const ssize_t n = ::recv(fds[1], buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n > 0)
            got.append(buffer.data(), static_cast<std::size_t>(n));
        t.flush();
    }
    EXPECT_EQ(t.pending(), 0u);
    EXPECT_TRUE(got == big + "tail");

    // What is queued when the connection closes still goes (a refusal reaches the peer); then nothing.
    t.write(reinterpret_cast<const std::uint8_t*>("BADVER"), 6);
    t.close();
    EXPECT_TRUE(t.ended());
    EXPECT_FALSE(t.peerClosed());
    t.write(reinterpret_cast<const std::uint8_t*>("late"), 4);
    EXPECT_EQ(t.pending(), 0u);
    EXPECT_EQ(::recv(fds[1], buffer.data(), buffer.size(), MSG_DONTWAIT), 6);

    // The peer closing ends the stream for the reader.
    SocketTransport reader(fds[1]);
    Pipe out;
    RPCConnection conn(out);
    ::close(fds[0]);
    EXPECT_FALSE(reader.receive(conn));
    EXPECT_TRUE(reader.ended() && reader.peerClosed());
    ::close(fds[1]);
}
