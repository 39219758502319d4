#pragma once

// The selected document numbers of a contact sheet, kept sparse: a 512-bit set per block of 512
// numbers that has any selected, and the count. No lock of its own: its user serialises access.

#include <bitset>
#include <cstdint>
#include <map>
#include <vector>

class DocumentSelection {
public:
    static constexpr std::uint32_t kBlockBits = 512;
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

    virtual ~DocumentSelection() = default;

    void select(std::uint32_t number);
    void deselect(std::uint32_t number);
    bool isSelected(std::uint32_t number) const;
    std::uint32_t count() const { return m_count; }
    void clear();
    // Clears, then selects each number of the list (the list holds distinct numbers).
    void setFromList(const std::vector<std::uint32_t>& numbers);
    // The smallest selected number greater than `after`, or kNone; nextSelected(kNone) is the first.
    std::uint32_t nextSelected(std::uint32_t after) const;
    // Every selected number, ascending.
    std::vector<std::uint32_t> numbers() const;
    std::size_t blockCount() const { return m_blocks.size(); }

private:
    std::map<std::uint32_t, std::bitset<kBlockBits>> m_blocks;
    std::uint32_t m_count = 0;
};
