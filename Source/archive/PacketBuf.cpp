#include "archive/PacketBuf.h"

#include <cstring>

namespace CILA {

void PacketBuf::append(const void* data, std::size_t n) {
    if (n == 0)
        return;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    m_data.insert(m_data.end(), bytes, bytes + n);
}

void PacketBuf::assign(const void* data, std::size_t n) {
    clear();
    append(data, n);
}

void PacketBuf::clear() {
    m_data.clear();
    m_readPos = 0;
}

bool PacketBuf::readByte(std::uint8_t& byte) {
    if (m_readPos >= m_data.size())
        return false;
    byte = m_data[m_readPos++];
    return true;
}

bool PacketBuf::peekByte(std::uint8_t& byte) const {
    if (m_readPos >= m_data.size())
        return false;
    byte = m_data[m_readPos];
    return true;
}

bool PacketBuf::read(void* out, std::size_t n) {
    if (n > remaining())
        return false;
    if (n != 0)
        std::memcpy(out, m_data.data() + m_readPos, n);
    m_readPos += n;
    return true;
}

bool PacketBuf::skip(std::size_t n) {
    if (n > remaining())
        return false;
    m_readPos += n;
    return true;
}

} // namespace CILA
