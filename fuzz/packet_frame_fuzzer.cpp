// The frame receiver over any bytes, fed in chunks whose sizes the input chooses, and the same bytes
// through a connection that has finished its handshake.
//
// Input: one byte k (taken mod 9), k chunk sizes (one byte each, 0 meaning 256, used in turn), then the
// stream.

#include "app/LumoLogger.h"
#include "app/LumoPaths.h"
#include "archive/CilaException.h"
#include "archive/PacketFrame.h"
#include "archive/RPCConnection.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

using CILA::VObject;
using CILA::PROTO::PacketFrameIn;
using namespace CILA::PROTO::RPC;

namespace {

struct NullTransport : RPCTransport {
    void write(const std::uint8_t*, std::size_t) override {}
    void close() override {}
};

struct Chunks {
    std::vector<std::size_t> sizes;
    std::size_t next = 0;
    std::size_t take(std::size_t left) {
        const std::size_t n = sizes.empty() ? left : sizes[next++ % sizes.size()];
        return n < left ? n : left;
    }
};

// Every frame the stream yields ("counter:payload", or "!error" for the last), fed in chunks.
std::vector<std::string> frames(const std::uint8_t* data, std::size_t size, Chunks chunks,
                                std::size_t softLimit) {
    std::vector<std::string> out;
    PacketFrameIn in(softLimit);
    std::size_t pos = 0;
    while (pos < size) {
        std::size_t n = chunks.take(size - pos);
        while (n > 0) {
            const std::size_t used = in.feed(data + pos, n);
            if (used > n)
                __builtin_trap();
            pos += used;
            n -= used;
            if (in.hasError()) {
                if (in.errorText().empty())
                    __builtin_trap();
                out.push_back("!" + in.errorText());
                return out;
            }
            if (in.isComplete()) {
                if (in.size() != in.payloadLength() || in.readPos() != 0)
                    __builtin_trap();
                out.push_back(std::to_string(in.counter()) + ":" +
                              std::string(reinterpret_cast<const char*>(in.data()), in.size()));
                in.reset();
            } else if (n > 0) {
                __builtin_trap(); // bytes left over while the frame is still open
            }
        }
    }
    return out;
}

std::string g_folder;
std::string g_logPath;
unsigned g_runs = 0;

} // namespace

// Logs go to a folder of their own, written in large pieces and cut back now and then.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char folder[] = "/tmp/lumo_fuzz_packet_frame_XXXXXX";
    if (mkdtemp(folder)) {
        setenv("LUMO_SETTINGS_PATH", folder, 1);
        setenv("LUMO_CACHE_PATH", folder, 1);
        LumoPaths::initialise(LocationInputs{});
        g_folder = folder;
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(g_folder, ec);
        });
    }
    LumoLogger::instance().setFlushThreshold(1 << 20);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    Chunks chunks;
    std::size_t k = data[0] % 9, pos = 1;
    for (; k > 0 && pos < size; --k, ++pos)
        chunks.sizes.push_back(data[pos] == 0 ? 256 : data[pos]);
    const std::uint8_t* stream = data + pos;
    const std::size_t length = size - pos;

    // Chunking never changes what is received.
    const std::vector<std::string> whole = frames(stream, length, Chunks{}, 4096);
    if (frames(stream, length, chunks, 4096) != whole)
        __builtin_trap();
    (void)frames(stream, length, chunks, PacketFrameIn::kMaxShortPayload);

    NullTransport transport;
    RPCConnection connection(transport);
    const auto reply = [](RPCConnection& c, const RPCMessage& m) {
        if (m.request)
            c.send(false, m.to_port, m.name, m.args);
    };
    connection.registerPort(0, reply);
    connection.registerPort(1,
                            [](RPCConnection&, const RPCMessage&) { throw CILA::CilaException("handler"); });
    connection.setRootHandler(reply);
    const std::string handshake = makeHelloString(kProtocolVersion) + makeOkString();
    connection.onBytes(reinterpret_cast<const std::uint8_t*>(handshake.data()), handshake.size());
    if (!connection.isOpen())
        __builtin_trap();
    for (std::size_t at = 0; at < length && connection.isOpen();) {
        const std::size_t n = chunks.take(length - at);
        connection.onBytes(stream + at, n);
        at += n;
    }

    if (++g_runs % 4096 == 0) {
        LumoLogger::instance().flush();
        if (g_logPath.empty())
            g_logPath = LumoLogger::instance().logFilePath();
        if (!g_logPath.empty() && truncate(g_logPath.c_str(), 0) != 0)
            g_logPath.clear();
    }
    return 0;
}
