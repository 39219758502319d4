#include "support/BmffBuilder.h"

#include <stdexcept>

namespace lumo::test {

namespace {
std::string bigEndian(uint64_t v, int width) {
    std::string out(static_cast<size_t>(width), '\0');
    for (int i = 0; i < width; ++i)
        out[static_cast<size_t>(width - 1 - i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return out;
}

std::string fourCC(const std::string& type) {
    if (type.size() != 4)
        throw std::invalid_argument("BmffBox: type must be four characters: " + type);
    return type;
}
} // namespace

BmffBox& BmffBox::box(const std::string& type) {
    Item item;
    item.child.reset(new BmffBox(fourCC(type)));
    m_items.push_back(std::move(item));
    return *m_items.back().child;
}

BmffBox& BmffBox::fullBox(const std::string& type, uint8_t version, uint32_t flags) {
    return box(type).u8(version).bytes(bigEndian(flags, 3));
}

BmffBox& BmffBox::uuidBox(const std::string& uuid) {
    std::string hex;
    for (char c : uuid)
        if (c != '-')
            hex += c;
    if (hex.size() != 32)
        throw std::invalid_argument("BmffBox: uuid needs 32 hex digits: " + uuid);
    BmffBox& b = box("uuid");
    for (size_t i = 0; i < 32; i += 2)
        b.m_uuid += static_cast<char>(std::stoul(hex.substr(i, 2), nullptr, 16));
    return b;
}

BmffBox& BmffBox::u8(uint8_t v) {
    return bytes(bigEndian(v, 1));
}
BmffBox& BmffBox::u16(uint16_t v) {
    return bytes(bigEndian(v, 2));
}
BmffBox& BmffBox::u32(uint32_t v) {
    return bytes(bigEndian(v, 4));
}
BmffBox& BmffBox::u64(uint64_t v) {
    return bytes(bigEndian(v, 8));
}

BmffBox& BmffBox::bytes(const std::string& b) {
    Item item;
    item.bytes = b;
    m_items.push_back(std::move(item));
    return *this;
}

BmffBox& BmffBox::positionOf(const BmffBox& target, uint64_t delta, int width) {
    Item item;
    item.target = &target;
    item.delta = delta;
    item.width = width;
    m_items.push_back(std::move(item));
    return *this;
}

BmffBox& BmffBox::payloadSizeOf(const BmffBox& target, int width) {
    positionOf(target, 0, width);
    m_items.back().wantSize = true;
    return *this;
}

BmffBox& BmffBox::largeSize() {
    m_large = true;
    return *this;
}

BmffBox& BmffBox::sizeToEnd() {
    m_toEnd = true;
    return *this;
}

BmffBox& BmffBox::declareSize(uint32_t size) {
    m_hasDeclared = true;
    m_declared = size;
    return *this;
}

size_t BmffBox::headerSize() const {
    if (m_type.empty())
        return 0; // the builder's root
    return 8 + (m_large ? 8 : 0) + m_uuid.size();
}

size_t BmffBox::layout(size_t position) {
    m_position = position;
    size_t p = position + headerSize();
    for (auto& item : m_items) {
        if (item.child)
            p += item.child->layout(p);
        else if (item.target)
            p += static_cast<size_t>(item.width);
        else
            p += item.bytes.size();
    }
    m_size = p - position;
    return m_size;
}

void BmffBox::write(std::string& out) const {
    if (!m_type.empty()) {
        if (m_hasDeclared) {
            out += bigEndian(m_declared, 4);
        } else if (m_toEnd) {
            out += bigEndian(0, 4);
        } else if (m_large) {
            out += bigEndian(1, 4);
        } else {
            if (m_size > 0xFFFFFFFFu)
                throw std::length_error("BmffBox: box too large for a 32-bit size: " + m_type);
            out += bigEndian(m_size, 4);
        }
        out += m_type;
        if (m_large)
            out += bigEndian(m_size, 8);
        out += m_uuid;
    }
    for (const auto& item : m_items) {
        if (item.child)
            item.child->write(out);
        else if (item.target)
            out += bigEndian(item.wantSize ? item.target->m_size - item.target->headerSize()
                                           : item.target->m_position + item.target->headerSize() + item.delta,
                             item.width);
        else
            out += item.bytes;
    }
}

BmffBuilder::BmffBuilder() : m_root("") {}
BmffBuilder::~BmffBuilder() = default;

BmffBox& BmffBuilder::box(const std::string& type) {
    return m_root.box(type);
}
BmffBox& BmffBuilder::fullBox(const std::string& type, uint8_t version, uint32_t flags) {
    return m_root.fullBox(type, version, flags);
}
BmffBox& BmffBuilder::uuidBox(const std::string& uuid) {
    return m_root.uuidBox(uuid);
}

BmffBox& BmffBuilder::ftyp(const std::string& major, uint32_t minor,
                           const std::vector<std::string>& compatible) {
    BmffBox& b = box("ftyp").bytes(fourCC(major)).u32(minor);
    for (const auto& brand : compatible)
        b.bytes(fourCC(brand));
    return b;
}

BmffBuilder& BmffBuilder::appendBytes(const std::string& b) {
    m_tail += b;
    return *this;
}

BmffBuilder& BmffBuilder::truncateTo(size_t length) {
    m_truncateTo = length;
    return *this;
}

std::string BmffBuilder::build() {
    const size_t total = m_root.layout(0);
    std::string out;
    out.reserve(total + m_tail.size());
    m_root.write(out);
    out += m_tail;
    if (m_truncateTo < out.size())
        out.resize(m_truncateTo);
    return out;
}

namespace bmff {

BmffBox& hdlr(BmffBox& parent, const std::string& handler) {
    return parent.fullBox("hdlr", 0).u32(0).bytes(fourCC(handler)).u32(0).u32(0).u32(0).cstr("");
}

BmffBox& pitm(BmffBox& parent, uint16_t itemId) {
    return parent.fullBox("pitm", 0).u16(itemId);
}

BmffBox& iinf(BmffBox& parent, uint16_t entryCount) {
    return parent.fullBox("iinf", 0).u16(entryCount);
}

BmffBox& infe(BmffBox& iinf, uint16_t itemId, const std::string& itemType, const std::string& contentType) {
    BmffBox& b = iinf.fullBox("infe", 2).u16(itemId).u16(0).bytes(fourCC(itemType)).cstr("");
    if (itemType == "mime")
        b.cstr(contentType);
    return b;
}

BmffBox& iloc(BmffBox& parent, const std::vector<IlocExtent>& items) {
    // offset_size 4 | length_size 4, base_offset_size 0 | reserved 0
    BmffBox& b = parent.fullBox("iloc", 0).u8(0x44).u8(0x00).u16(static_cast<uint16_t>(items.size()));
    for (const auto& item : items) {
        b.u16(item.itemId).u16(0).u16(1); // data reference index 0 (this file), one extent
        b.positionOf(*item.data, item.offset).u32(item.length);
    }
    return b;
}

BmffBox& ilocV1(BmffBox& parent, const std::vector<IlocEntry>& entries) {
    BmffBox& b = parent.fullBox("iloc", 1).u8(0x44).u8(0x04).u16(static_cast<uint16_t>(entries.size()));
    for (const auto& entry : entries) {
        b.u16(entry.itemId).u16(entry.method).u16(entry.dataReference);
        b.u16(static_cast<uint16_t>(entry.extents.size()));
        for (const auto& extent : entry.extents) {
            b.u32(extent.index);
            if (extent.data)
                b.positionOf(*extent.data, extent.offset);
            else
                b.u32(extent.offset);
            b.u32(extent.length);
        }
    }
    return b;
}

BmffBox& ispe(BmffBox& parent, uint32_t width, uint32_t height) {
    return parent.fullBox("ispe", 0).u32(width).u32(height);
}

BmffBox& hvcC(BmffBox& parent) {
    BmffBox& b = parent.box("hvcC");
    b.u8(1).u8(0x01).u32(0x60000000).bytes(std::string(6, '\0')).u8(90); // version, Main, level 3
    b.u16(0xF000).u8(0xFC).u8(0xFD).u8(0xF8).u8(0xF8);                   // 4:2:0, 8-bit luma and chroma
    return b.u16(0).u8(0x0F).u8(0);                                      // 4-byte lengths, no arrays
}

BmffBox& ipma(BmffBox& parent, const std::vector<std::pair<uint16_t, std::vector<uint8_t>>>& items) {
    BmffBox& b = parent.fullBox("ipma", 0).u32(static_cast<uint32_t>(items.size()));
    for (const auto& [id, props] : items) {
        b.u16(id).u8(static_cast<uint8_t>(props.size()));
        for (uint8_t p : props)
            b.u8(p);
    }
    return b;
}

BmffBox& tkhd(BmffBox& parent, uint32_t trackId, uint32_t width, uint32_t height) {
    BmffBox& b = parent.fullBox("tkhd", 0, 3).u32(0).u32(0).u32(trackId).u32(0).u32(0);
    b.u32(0).u32(0).u16(0).u16(0).u16(0).u16(0); // reserved, layer, alternate group, volume, reserved
    const uint32_t matrix[9] = {0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000};
    for (uint32_t m : matrix)
        b.u32(m);
    return b.u32(width << 16).u32(height << 16);
}

BmffBox& stsz(BmffBox& parent, const std::vector<uint32_t>& sizes) {
    BmffBox& b = parent.fullBox("stsz", 0).u32(0).u32(static_cast<uint32_t>(sizes.size()));
    for (uint32_t s : sizes)
        b.u32(s);
    return b;
}

BmffBox& co64(BmffBox& parent, const BmffBox& data, uint64_t offset) {
    return parent.fullBox("co64", 0).u32(1).positionOf(data, offset, 8);
}

} // namespace bmff

} // namespace lumo::test
