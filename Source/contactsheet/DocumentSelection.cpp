#include "contactsheet/DocumentSelection.h"

void DocumentSelection::select(std::uint32_t number) {
    auto& block = m_blocks[number / kBlockBits];
    const std::size_t bit = number % kBlockBits;
    if (!block.test(bit)) {
        block.set(bit);
        ++m_count;
    }
}

void DocumentSelection::deselect(std::uint32_t number) {
    auto found = m_blocks.find(number / kBlockBits);
    if (found == m_blocks.end())
        return;
    const std::size_t bit = number % kBlockBits;
    if (found->second.test(bit)) {
        found->second.reset(bit);
        --m_count;
        if (found->second.none())
            m_blocks.erase(found);
    }
}

bool DocumentSelection::isSelected(std::uint32_t number) const {
    auto found = m_blocks.find(number / kBlockBits);
    return found != m_blocks.end() && found->second.test(number % kBlockBits);
}

void DocumentSelection::clear() {
    m_blocks.clear();
    m_count = 0;
}

void DocumentSelection::setFromList(const std::vector<std::uint32_t>& numbers) {
    clear();
    for (std::uint32_t number : numbers)
        select(number);
}

std::uint32_t DocumentSelection::nextSelected(std::uint32_t after) const {
    // kNone + 1 wraps to 0: the search starts at the first number.
    const std::uint64_t start = after == kNone ? 0 : std::uint64_t(after) + 1;
    if (start > kNone)
        return kNone;
    for (auto it = m_blocks.lower_bound(static_cast<std::uint32_t>(start / kBlockBits)); it != m_blocks.end();
         ++it) {
        const std::uint64_t base = std::uint64_t(it->first) * kBlockBits;
        const std::size_t from = base < start ? static_cast<std::size_t>(start - base) : 0;
        for (std::size_t bit = from; bit < kBlockBits; ++bit)
            if (it->second.test(bit))
                return static_cast<std::uint32_t>(base + bit);
    }
    return kNone;
}

std::vector<std::uint32_t> DocumentSelection::numbers() const {
    std::vector<std::uint32_t> out;
    out.reserve(m_count);
    for (std::uint32_t n = nextSelected(kNone); n != kNone; n = nextSelected(n))
        out.push_back(n);
    return out;
}
