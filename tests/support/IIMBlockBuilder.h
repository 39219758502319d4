#pragma once

// Builds IPTC-IIM blocks dataset by dataset, so that each test states its bytes exactly.
//
//   const std::string block = IIMBlockBuilder().add(2, 25, "a").add(2, 25, "b").bytes();

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lumo::test {

class IIMBlockBuilder {
public:
    // One dataset; `declaredLength` overrides the length written (a dataset running past the end).
    IIMBlockBuilder& add(int record, int dataset, std::string_view data, int declaredLength = -1) {
        const std::size_t length =
            declaredLength < 0 ? data.size() : static_cast<std::size_t>(declaredLength);
        m_bytes += '\x1C';
        m_bytes += static_cast<char>(record);
        m_bytes += static_cast<char>(dataset);
        m_bytes += static_cast<char>((length >> 8) & 0xFF);
        m_bytes += static_cast<char>(length & 0xFF);
        m_bytes += data;
        return *this;
    }
    IIMBlockBuilder& raw(std::string_view bytes) {
        m_bytes += bytes;
        return *this;
    }
    const std::string& bytes() const { return m_bytes; }
    const std::uint8_t* data() const { return reinterpret_cast<const std::uint8_t*>(m_bytes.data()); }
    std::size_t size() const { return m_bytes.size(); }

    struct DataSet {
        int record, dataset;
        std::string data;
        bool operator==(const DataSet&) const = default;
    };
    // The datasets of a block, up to the first that does not parse.
    static std::vector<DataSet> parse(const std::uint8_t* data, std::size_t size) {
        std::vector<DataSet> sets;
        std::size_t pos = 0;
        while (size - pos >= 5 && data[pos] == 0x1C) {
            const std::size_t length = (std::size_t{data[pos + 3]} << 8) | data[pos + 4];
            if (length > size - pos - 5)
                break;
            sets.push_back({data[pos + 1], data[pos + 2],
                            std::string(reinterpret_cast<const char*>(data + pos + 5), length)});
            pos += 5 + length;
        }
        return sets;
    }

private:
    std::string m_bytes;
};

} // namespace lumo::test
