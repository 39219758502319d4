#include "archive/PacketFrame.h"
#include "archive/CilaException.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using CILA::PROTO::PacketFrameIn;
using CILA::PROTO::PacketFrameOut;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes frame(const std::string& payload, std::uint16_t counter, bool shortForm) {
    PacketFrameOut out;
    out.append(payload.data(), payload.size());
    out.compute_frame_header(counter, shortForm);
    Bytes bytes(out.header(), out.header() + out.headerSize());
    bytes.insert(bytes.end(), out.data(), out.data() + out.size());
    return bytes;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string payloadOf(const PacketFrameIn& in) {
    return std::string(reinterpret_cast<const char*>(in.data()), in.size());
}

// Feeds `bytes` in chunks of the given sizes (the last one repeating) and collects each complete
// frame's counter and payload; stops at a failure.
std::vector<std::string> receive(PacketFrameIn& in, const Bytes& bytes,
                                 std::vector<std::size_t> chunks = {1 << 20}) {
    std::vector<std::string> frames;
    std::size_t pos = 0, chunk = 0;
    while (pos < bytes.size()) {
        std::size_t n = std::min(chunks[std::min(chunk++, chunks.size() - 1)], bytes.size() - pos);
        while (n > 0) {
            const std::size_t used = in.feed(bytes.data() + pos, n);
            pos += used;
            n -= used;
            if (in.hasError())
                return frames;
            if (in.isComplete()) {
                frames.push_back(std::to_string(in.counter()) + ":" + payloadOf(in));
                in.reset();
            }
        }
    }
    return frames;
}

} // namespace

TEST(PacketFrameTest, WritesBothHeaderForms) {
    EXPECT_EQ(frame("abc", 0x1234, true), (Bytes{0xA5, 0x01, 0x12, 0x34, 0, 0, 0, 3, 'a', 'b', 'c'}));
    EXPECT_EQ(frame("abc", 0x1234, false),
              (Bytes{0xA5, 0x00, 0x12, 0x34, 0, 0, 3, 0xDE, 0xAD, 0xBE, 0xEF, 0x5A, 'a', 'b', 'c'}));

    std::uint8_t header[PacketFrameOut::kLongHeaderSize];
    EXPECT_EQ(PacketFrameOut::compute_frame_header(header, 1, 0x7FFFFFFF, true), 8u);
    EXPECT_EQ(header[4], 0x7F);
    EXPECT_EQ(PacketFrameOut::compute_frame_header(header, 1, 0xFFFFFF, false), 12u);
    const auto oversize = [&](std::size_t length, bool shortForm) -> std::string {
        try {
            PacketFrameOut::compute_frame_header(header, 0, length, shortForm);
        } catch (const CILA::CilaProtoException& e) {
            return e.what();
        }
        return "";
    };
    EXPECT_EQ(oversize(0x80000000, true),
              "PacketFrameOut::compute_frame_header: oversize: data_len 2147483648 > max 2147483647");
    EXPECT_EQ(oversize(0x1000000, false),
              "PacketFrameOut::compute_frame_header: oversize: data_len 16777216 > max 16777215");
}

TEST(PacketFrameTest, ReceivesFramesSplitAnywhereAndSeveralInOneChunk) {
    const Bytes stream = Bytes{0x00, 0x5A, 0xFF, 'x'} + frame("first", 1, true) + frame("", 2, true) +
                         frame("third", 3, false) + frame(std::string(300, 'z'), 65535, true);
    const std::vector<std::string> expected = {"1:first", "2:", "3:third", "65535:" + std::string(300, 'z')};
    PacketFrameIn in;
    EXPECT_EQ(receive(in, stream), expected);
    EXPECT_EQ(receive(in, stream, {1}), expected);
    for (std::size_t split = 1; split < stream.size(); ++split)
        EXPECT_EQ(receive(in, stream, {split, stream.size()}), expected) << split;

    // Bytes after the frame's end are not taken.
    const Bytes two = frame("a", 0, true) + frame("b", 1, true);
    EXPECT_EQ(in.feed(two.data(), two.size()), 9u);
    EXPECT_TRUE(in.isComplete());
    EXPECT_EQ(in.feed(two.data() + 9, 9), 0u);
}

TEST(PacketFrameTest, ChecksTheLongFormAndTheSoftLimit) {
    Bytes badHeader = frame("payload", 7, false);
    badHeader[11] = 0x00;
    PacketFrameIn in;
    EXPECT_EQ(in.feed(badHeader.data(), badHeader.size()), 12u); // judged before any payload byte
    EXPECT_EQ(in.errorText(), "Bad Header CRC");
    EXPECT_EQ(in.feed(badHeader.data(), badHeader.size()), 0u);
    in.reset();
    EXPECT_TRUE(in.errorText().empty());

    Bytes badPayload = frame("payload", 7, false);
    badPayload[8] = 0x00;
    EXPECT_EQ(in.feed(badPayload.data(), 12), 12u);
    EXPECT_EQ(in.state(), PacketFrameIn::State::Payload);
    EXPECT_EQ(in.feed(badPayload.data() + 12, 7), 7u);
    EXPECT_EQ(in.errorText(), "Bad Payload Data CRC");

    PacketFrameIn limited(16);
    EXPECT_EQ(receive(limited, frame(std::string(16, 's'), 0, true)).size(), 1u);
    EXPECT_TRUE(receive(limited, frame(std::string(17, 's'), 0, true)).empty());
    EXPECT_EQ(limited.errorText(), "Payload size exceeds soft limit");

    PacketFrameIn standard;
    const Bytes huge = {0xA5, 0x01, 0, 0, 0x80, 0, 0, 0};
    standard.feed(huge.data(), huge.size());
    EXPECT_EQ(standard.errorText(), "Payload size exceeds soft limit");

    // A frame announcing 2 GiB holds only what has arrived.
    PacketFrameIn big;
    const Bytes announced = Bytes{0xA5, 0x01, 0, 0, 0x7F, 0xFF, 0xFF, 0xFF} + Bytes(1000, 'p');
    EXPECT_EQ(big.feed(announced.data(), announced.size()), announced.size());
    EXPECT_EQ(big.state(), PacketFrameIn::State::Payload);
    EXPECT_EQ(big.size(), 1000u);
    EXPECT_LT(big.capacity(), 1u << 20);
}
