// The FTP reply reader over any bytes taken as what a server sends (lines cut at line feeds, each at
// most the client's line limit), then the 227, 229 and 257 parsers over every reply it accepts. Every
// reply read is whole: it ends in a line feed, starts with its code, and stays within the size limit.

#include "transfer/FTPClient.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::size_t position = 0;
    auto readLine = [&](std::string& line) {
        auto end = input.find('\n', position);
        if (end == std::string::npos) {
            line = input.substr(position);
            position = input.size();
            return false;
        }
        if (end - position > FTPClient::kMaxReplyLine + 1)
            throw FTPProtoError(FTPText::kResponseTooLong);
        line = input.substr(position, end - position);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        position = end + 1;
        return true;
    };
    while (position < input.size()) {
        std::string reply;
        try {
            reply = FTPClient::recv_multiline_resp(readLine);
        } catch (const FTPError&) {
            break;
        }
        if (reply.size() < 5 || reply.back() != '\n' ||
            reply.size() > FTPClient::kMaxReplyBytes + FTPClient::kMaxReplyLine + 2)
            __builtin_trap();
        try {
            std::string host;
            int port = 0;
            FTPClient::parse227(reply, host, port);
            if (port <= 0 || port > 65535 || host.size() > 15)
                __builtin_trap();
        } catch (const FTPError&) {
        }
        try {
            int port = FTPClient::parse229(reply);
            if (port <= 0 || port > 65535)
                __builtin_trap();
        } catch (const FTPError&) {
        }
        try {
            if (FTPClient::parse257(reply).size() >= reply.size())
                __builtin_trap();
        } catch (const FTPError&) {
        }
    }
    return 0;
}
