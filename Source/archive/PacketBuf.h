#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace CILA {

// A growable byte buffer with a read position. Writers append at the end; readers take bytes from the
// read position, which never passes the end (0 <= readPos() <= size()).
class PacketBuf {
public:
    void append(const void* data, std::size_t n);
    void appendByte(std::uint8_t byte) { m_data.push_back(byte); }
    // Replaces the contents; the read position goes back to 0.
    void assign(const void* data, std::size_t n);
    void clear();
    void reserve(std::size_t n) { m_data.reserve(n); }

    const std::uint8_t* data() const { return m_data.data(); }
    std::size_t size() const { return m_data.size(); }
    bool empty() const { return m_data.empty(); }
    std::size_t capacity() const { return m_data.capacity(); }

    std::size_t readPos() const { return m_readPos; }
    std::size_t remaining() const { return m_data.size() - m_readPos; }
    // Clamped to size().
    void setReadPos(std::size_t pos) { m_readPos = pos < m_data.size() ? pos : m_data.size(); }
    // The unread bytes start here.
    const std::uint8_t* readPtr() const { return m_data.data() + m_readPos; }

    // False (and nothing taken) when no byte is left.
    bool readByte(std::uint8_t& byte);
    bool peekByte(std::uint8_t& byte) const;
    // Takes exactly n bytes, or nothing and false when fewer remain.
    bool read(void* out, std::size_t n);
    bool skip(std::size_t n);

private:
    std::vector<std::uint8_t> m_data;
    std::size_t m_readPos = 0;
};

} // namespace CILA
