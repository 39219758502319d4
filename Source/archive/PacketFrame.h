#pragma once

#include "archive/PacketBuf.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace CILA::PROTO {

// One frame of the bridge stream: a header (the sender's 16-bit message counter and the payload length)
// and the payload, which this buffer holds. Two header forms exist:
//   short (8 bytes):  A5 01 counter:16 length:32
//   long (12 bytes):  A5 00 counter:16 length:24 DE AD BE EF 5A
// Multi-byte fields are most significant byte first; the length excludes the header.
class PacketFrame : public PacketBuf {
public:
    static constexpr std::uint8_t kSync = 0xA5;
    static constexpr std::size_t kShortHeaderSize = 8;
    static constexpr std::size_t kLongHeaderSize = 12;
    static constexpr std::size_t kMaxShortPayload = 0x7FFFFFFF;
    static constexpr std::size_t kMaxLongPayload = 0xFFFFFF;

    std::uint16_t counter() const { return m_counter; }
    bool shortForm() const { return m_shortForm; }

protected:
    std::uint16_t m_counter = 0;
    bool m_shortForm = true;
};

// Receives one frame from a byte stream fed in chunks of any size. States, in order: Sync (bytes before
// 0xA5 are discarded), Header, Payload, then Complete or Error. Once Complete the payload is this
// buffer's contents (read position 0) until reset(); once Error, errorText() says why and the machine
// takes no more bytes until reset().
//
// Memory follows the bytes that arrived, never the length a header announces.
class PacketFrameIn : public PacketFrame {
public:
    enum class State { Sync, Header, Payload, Complete, Error };

    // A header announcing more than `softLimit` payload bytes fails with "Payload size exceeds soft
    // limit".
    explicit PacketFrameIn(std::size_t softLimit = kMaxShortPayload) : m_softLimit(softLimit) {}

    // Takes bytes up to the end of the current frame (or up to the failure) and answers how many it took;
    // the rest belong to the next frame.
    std::size_t feed(const std::uint8_t* data, std::size_t n);
    void reset();

    State state() const { return m_state; }
    bool isComplete() const { return m_state == State::Complete; }
    bool hasError() const { return m_state == State::Error; }
    // "Bad Header CRC", "Payload size exceeds soft limit" or "Bad Payload Data CRC"; empty otherwise.
    const std::string& errorText() const { return m_error; }
    // The length the header announced (valid from the Payload state on).
    std::size_t payloadLength() const { return m_payloadLength; }

private:
    std::size_t headerSize() const;
    void checkHeader();
    void checkPayload();
    void setError(const char* text);

    std::size_t m_softLimit;
    State m_state = State::Sync;
    std::uint8_t m_header[kLongHeaderSize] = {};
    std::size_t m_headerFill = 0;
    std::size_t m_payloadLength = 0;
    std::string m_error;
};

// A frame to send: the payload is this buffer's contents; compute_frame_header() fixes the header.
class PacketFrameOut : public PacketFrame {
public:
    // Writes the header for a payload of `dataLen` bytes into `header` (room for kLongHeaderSize bytes)
    // and answers its size. Throws CilaProtoException "PacketFrameOut::compute_frame_header: oversize:
    // data_len N > max M" past the form's largest payload.
    static std::size_t compute_frame_header(std::uint8_t* header, std::uint16_t counter, std::size_t dataLen,
                                            bool shortForm);
    // The header for the current contents.
    void compute_frame_header(std::uint16_t counter, bool shortForm);

    const std::uint8_t* header() const { return m_header; }
    std::size_t headerSize() const { return m_headerSize; }

private:
    std::uint8_t m_header[kLongHeaderSize] = {};
    std::size_t m_headerSize = 0;
};

} // namespace CILA::PROTO
