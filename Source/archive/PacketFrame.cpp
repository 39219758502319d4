#include "archive/PacketFrame.h"

#include "archive/CilaException.h"
#include "support/TextUtils.h"

#include <algorithm>
#include <cstring>

namespace CILA::PROTO {

namespace {

// Filler of the long form: payload-check bytes 7 to 10, header-check byte 11.
constexpr std::uint8_t kLongFormFiller[] = {0xDE, 0xAD, 0xBE, 0xEF, 0x5A};
// The first allocation for a payload; later growth follows the bytes that arrive.
constexpr std::size_t kInitialReserve = 64 * 1024;

} // namespace

void PacketFrameIn::reset() {
    clear();
    m_state = State::Sync;
    m_headerFill = 0;
    m_payloadLength = 0;
    m_counter = 0;
    m_shortForm = true;
    m_error.clear();
}

std::size_t PacketFrameIn::headerSize() const {
    if (m_headerFill < 2)
        return 2;
    return (m_header[1] & 0x01) ? kShortHeaderSize : kLongHeaderSize;
}

std::size_t PacketFrameIn::feed(const std::uint8_t* data, std::size_t n) {
    std::size_t used = 0;
    while (used < n) {
        const std::uint8_t* p = data + used;
        const std::size_t avail = n - used;
        if (m_state == State::Sync) {
            const auto* sync = static_cast<const std::uint8_t*>(std::memchr(p, kSync, avail));
            if (!sync)
                return n;
            used += static_cast<std::size_t>(sync - p) + 1;
            m_header[0] = kSync;
            m_headerFill = 1;
            m_state = State::Header;
        } else if (m_state == State::Header) {
            // The first two bytes decide the header's size; fill up to it in at most two steps.
            const std::size_t take = std::min(headerSize() - m_headerFill, avail);
            std::memcpy(m_header + m_headerFill, p, take);
            m_headerFill += take;
            used += take;
            if (m_headerFill == headerSize() && m_headerFill > 2)
                checkHeader();
        } else if (m_state == State::Payload) {
            const std::size_t take = std::min(m_payloadLength - size(), avail);
            append(p, take);
            used += take;
            if (size() == m_payloadLength)
                checkPayload();
        } else {
            break; // Complete or Error: the owner resets first
        }
    }
    return used;
}

void PacketFrameIn::checkHeader() {
    m_shortForm = (m_header[1] & 0x01) != 0;
    if (!m_shortForm && m_header[11] != kLongFormFiller[4])
        return setError("Bad Header CRC");
    m_counter = static_cast<std::uint16_t>(m_header[2] << 8 | m_header[3]);
    std::uint64_t length = std::uint64_t{m_header[4]} << 16 | std::uint64_t{m_header[5]} << 8 | m_header[6];
    if (m_shortForm)
        length = length << 8 | m_header[7];
    if (length > m_softLimit)
        return setError("Payload size exceeds soft limit");
    m_payloadLength = static_cast<std::size_t>(length);
    clear();
    reserve(std::min(m_payloadLength, kInitialReserve));
    m_state = State::Payload;
    if (m_payloadLength == 0)
        checkPayload();
}

// The long form's payload check lies in the header but is judged once the payload is in.
void PacketFrameIn::checkPayload() {
    if (!m_shortForm && std::memcmp(m_header + 7, kLongFormFiller, 4) != 0)
        return setError("Bad Payload Data CRC");
    setReadPos(0);
    m_state = State::Complete;
}

void PacketFrameIn::setError(const char* text) {
    m_error = text;
    m_state = State::Error;
}

std::size_t PacketFrameOut::compute_frame_header(std::uint8_t* header, std::uint16_t counter,
                                                 std::size_t dataLen, bool shortForm) {
    const std::size_t max = shortForm ? kMaxShortPayload : kMaxLongPayload;
    if (dataLen > max)
        throw CilaProtoException(lumo::formatString(
            "PacketFrameOut::compute_frame_header: oversize: data_len %zu > max %zu", dataLen, max));
    header[0] = kSync;
    header[1] = shortForm ? 0x01 : 0x00;
    header[2] = static_cast<std::uint8_t>(counter >> 8);
    header[3] = static_cast<std::uint8_t>(counter);
    if (shortForm) {
        for (int i = 0; i < 4; ++i)
            header[4 + i] = static_cast<std::uint8_t>(dataLen >> (24 - 8 * i));
        return kShortHeaderSize;
    }
    for (int i = 0; i < 3; ++i)
        header[4 + i] = static_cast<std::uint8_t>(dataLen >> (16 - 8 * i));
    std::memcpy(header + 7, kLongFormFiller, sizeof kLongFormFiller);
    return kLongHeaderSize;
}

void PacketFrameOut::compute_frame_header(std::uint16_t counter, bool shortForm) {
    m_headerSize = compute_frame_header(m_header, counter, size(), shortForm);
    m_counter = counter;
    m_shortForm = shortForm;
}

} // namespace CILA::PROTO
