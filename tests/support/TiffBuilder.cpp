#include "support/TiffBuilder.h"

#include <algorithm>
#include <bit>
#include <stdexcept>

namespace lumo::test {

size_t tiffTypeSize(TiffType type) {
    switch (type) {
    case TiffType::Byte:
    case TiffType::Ascii:
    case TiffType::SByte:
    case TiffType::Undefined:
        return 1;
    case TiffType::Short:
    case TiffType::SShort:
        return 2;
    case TiffType::Long:
    case TiffType::SLong:
    case TiffType::Float:
    case TiffType::Ifd:
        return 4;
    case TiffType::Rational:
    case TiffType::SRational:
    case TiffType::Double:
        return 8;
    }
    return 0;
}

// ---- TiffIfd

TiffIfd& TiffIfd::addUnits(uint16_t tag, TiffType type, uint32_t count,
                           std::vector<std::pair<uint8_t, uint64_t>> units) {
    Entry e;
    e.tag = tag;
    e.type = static_cast<uint16_t>(type);
    e.count = count;
    e.units = std::move(units);
    m_entries.push_back(std::move(e));
    return *this;
}

TiffIfd& TiffIfd::add(uint16_t tag, const std::string& ascii) {
    std::vector<std::pair<uint8_t, uint64_t>> u;
    for (unsigned char c : ascii)
        u.emplace_back(1, c);
    u.emplace_back(1, 0);
    const auto n = static_cast<uint32_t>(u.size());
    return addUnits(tag, TiffType::Ascii, n, std::move(u));
}

TiffIfd& TiffIfd::addByte(uint16_t tag, std::vector<uint8_t> values) {
    std::vector<std::pair<uint8_t, uint64_t>> u;
    for (uint8_t v : values)
        u.emplace_back(1, v);
    return addUnits(tag, TiffType::Byte, static_cast<uint32_t>(values.size()), std::move(u));
}

TiffIfd& TiffIfd::addUndefined(uint16_t tag, const std::string& bytes) {
    std::vector<std::pair<uint8_t, uint64_t>> u;
    for (unsigned char c : bytes)
        u.emplace_back(1, c);
    return addUnits(tag, TiffType::Undefined, static_cast<uint32_t>(bytes.size()), std::move(u));
}

TiffIfd& TiffIfd::addShorts(uint16_t tag, const std::vector<uint16_t>& values) {
    std::vector<std::pair<uint8_t, uint64_t>> u;
    for (uint16_t v : values)
        u.emplace_back(2, v);
    return addUnits(tag, TiffType::Short, static_cast<uint32_t>(values.size()), std::move(u));
}

TiffIfd& TiffIfd::addLongs(uint16_t tag, const std::vector<uint32_t>& values) {
    std::vector<std::pair<uint8_t, uint64_t>> u;
    for (uint32_t v : values)
        u.emplace_back(4, v);
    return addUnits(tag, TiffType::Long, static_cast<uint32_t>(values.size()), std::move(u));
}

TiffIfd& TiffIfd::addRationals(uint16_t tag, const std::vector<std::pair<uint32_t, uint32_t>>& values) {
    std::vector<std::pair<uint8_t, uint64_t>> u;
    for (auto [num, den] : values) {
        u.emplace_back(4, num);
        u.emplace_back(4, den);
    }
    return addUnits(tag, TiffType::Rational, static_cast<uint32_t>(values.size()), std::move(u));
}

TiffIfd& TiffIfd::addSByte(uint16_t tag, std::vector<int8_t> values) {
    std::vector<std::pair<uint8_t, uint64_t>> u;
    for (int8_t v : values)
        u.emplace_back(1, static_cast<uint8_t>(v));
    return addUnits(tag, TiffType::SByte, static_cast<uint32_t>(values.size()), std::move(u));
}

TiffIfd& TiffIfd::addSShort(uint16_t tag, int16_t value) {
    return addUnits(tag, TiffType::SShort, 1, {{2, static_cast<uint16_t>(value)}});
}

TiffIfd& TiffIfd::addSLong(uint16_t tag, int32_t value) {
    return addUnits(tag, TiffType::SLong, 1, {{4, static_cast<uint32_t>(value)}});
}

TiffIfd& TiffIfd::addSRationals(uint16_t tag, const std::vector<std::pair<int32_t, int32_t>>& values) {
    std::vector<std::pair<uint8_t, uint64_t>> u;
    for (auto [num, den] : values) {
        u.emplace_back(4, static_cast<uint32_t>(num));
        u.emplace_back(4, static_cast<uint32_t>(den));
    }
    return addUnits(tag, TiffType::SRational, static_cast<uint32_t>(values.size()), std::move(u));
}

TiffIfd& TiffIfd::addFloat(uint16_t tag, float value) {
    return addUnits(tag, TiffType::Float, 1, {{4, std::bit_cast<uint32_t>(value)}});
}

TiffIfd& TiffIfd::addDouble(uint16_t tag, double value) {
    return addUnits(tag, TiffType::Double, 1, {{8, std::bit_cast<uint64_t>(value)}});
}

TiffIfd& TiffIfd::addRaw(uint16_t tag, uint16_t type, uint32_t count, const std::string& valueBytes) {
    Entry e;
    e.tag = tag;
    e.type = type;
    e.count = count;
    e.rawBytes = valueBytes;
    m_entries.push_back(std::move(e));
    return *this;
}

TiffIfd& TiffIfd::addEntry(uint16_t tag, TiffType type, uint32_t count, uint32_t valueOrOffset) {
    Entry e;
    e.tag = tag;
    e.type = static_cast<uint16_t>(type);
    e.count = count;
    e.kind = Kind::Verbatim;
    e.field = valueOrOffset;
    m_entries.push_back(std::move(e));
    return *this;
}

TiffIfd& TiffIfd::addPastEnd(uint16_t tag, TiffType type, uint32_t count, uint32_t beyond) {
    addEntry(tag, type, count, beyond);
    m_entries.back().kind = Kind::PastEnd;
    return *this;
}

TiffIfd& TiffIfd::subIfd(uint16_t tag, TiffType type) {
    TiffIfd& child = m_owner.newIfd();
    pointTo(tag, child, type);
    return child;
}

std::vector<TiffIfd*> TiffIfd::subIfds(size_t n, uint16_t tag) {
    std::vector<TiffIfd*> children;
    Entry e;
    e.tag = tag;
    e.type = static_cast<uint16_t>(TiffType::Long);
    e.count = static_cast<uint32_t>(n);
    e.kind = Kind::IfdPointers;
    for (size_t i = 0; i < n; ++i) {
        children.push_back(&m_owner.newIfd());
        e.targets.push_back(children.back());
    }
    m_entries.push_back(std::move(e));
    return children;
}

TiffIfd& TiffIfd::pointTo(uint16_t tag, const TiffIfd& target, TiffType type) {
    Entry e;
    e.tag = tag;
    e.type = static_cast<uint16_t>(type);
    e.count = 1;
    e.kind = Kind::IfdPointers;
    e.targets.push_back(&target);
    m_entries.push_back(std::move(e));
    return *this;
}

size_t TiffIfd::addBlob(uint16_t offsetTag, uint16_t lengthTag, const std::string& bytes) {
    const size_t id = m_owner.m_blobs.size();
    m_owner.m_blobs.emplace_back(bytes, 0);
    Entry e;
    e.tag = offsetTag;
    e.type = static_cast<uint16_t>(TiffType::Long);
    e.count = 1;
    e.kind = Kind::BlobPointer;
    e.blob = id;
    m_entries.push_back(std::move(e));
    if (lengthTag != 0)
        addLong(lengthTag, static_cast<uint32_t>(bytes.size()));
    return id;
}

TiffIfd& TiffIfd::next() {
    if (!m_next)
        m_next = &m_owner.newIfd();
    return *m_next;
}

TiffIfd& TiffIfd::linkNext(const TiffIfd& target) {
    m_nextLink = &target;
    return *this;
}

TiffIfd& TiffIfd::setNextOffset(uint32_t offset) {
    m_hasNextOffset = true;
    m_nextOffset = offset;
    return *this;
}

TiffIfd& TiffIfd::declareCount(uint16_t count) {
    m_hasDeclaredCount = true;
    m_declaredCount = count;
    return *this;
}

TiffIfd& TiffIfd::keepOrder() {
    m_keepOrder = true;
    return *this;
}

// Bytes the entry's values take; verbatim and past-end entries never get space of their own.
size_t TiffIfd::byteSize(const Entry& e) const {
    switch (e.kind) {
    case Kind::Values:
        if (!e.rawBytes.empty())
            return e.rawBytes.size();
        {
            size_t n = 0;
            for (const auto& u : e.units)
                n += u.first;
            return n;
        }
    case Kind::IfdPointers:
        return 4 * e.targets.size();
    case Kind::BlobPointer:
        return 4;
    case Kind::Verbatim:
    case Kind::PastEnd:
        return 0;
    }
    return 0;
}

// ---- TiffBuilder

TiffBuilder::TiffBuilder(ByteOrder order) : m_order(order) {
    newIfd();
}

TiffBuilder::~TiffBuilder() = default;

TiffIfd& TiffBuilder::newIfd() {
    m_ifds.push_back(std::unique_ptr<TiffIfd>(new TiffIfd(*this)));
    return *m_ifds.back();
}

TiffBuilder& TiffBuilder::setPrefix(const std::string& bytes) {
    m_prefix = bytes;
    return *this;
}

TiffBuilder& TiffBuilder::setMagic(uint16_t magic) {
    m_magic = magic;
    return *this;
}

TiffBuilder& TiffBuilder::setHeaderTail(const std::string& bytes) {
    m_headerTail = bytes;
    return *this;
}

TiffBuilder& TiffBuilder::setIfd0Offset(uint32_t offset) {
    m_hasIfd0Offset = true;
    m_ifd0Offset = offset;
    return *this;
}

TiffBuilder& TiffBuilder::truncateTo(size_t length) {
    m_truncateTo = length;
    return *this;
}

std::string TiffBuilder::encode(uint64_t value, size_t width) const {
    std::string out(width, '\0');
    for (size_t i = 0; i < width; ++i) {
        const auto byte = static_cast<char>((value >> (8 * i)) & 0xFF);
        out[m_order == ByteOrder::Little ? i : width - 1 - i] = byte;
    }
    return out;
}

std::vector<const TiffIfd::Entry*> TiffBuilder::orderedEntries(const TiffIfd& ifd) const {
    std::vector<const TiffIfd::Entry*> entries;
    for (const auto& e : ifd.m_entries)
        entries.push_back(&e);
    if (!ifd.m_keepOrder)
        std::stable_sort(entries.begin(), entries.end(), [](auto* a, auto* b) { return a->tag < b->tag; });
    return entries;
}

size_t TiffBuilder::entryPosition(const TiffIfd& ifd, uint16_t tag) const {
    const auto entries = orderedEntries(ifd);
    for (size_t i = 0; i < entries.size(); ++i)
        if (entries[i]->tag == tag)
            return ifdPosition(ifd) + 2 + 12 * i;
    return std::string::npos;
}

std::string TiffBuilder::build() {
    // Layout: header, header tail, then each IFD followed by its out-of-line values, then the blobs.
    // Every IFD and value starts on an even offset, as TIFF asks.
    uint32_t pos = static_cast<uint32_t>(8 + m_headerTail.size());
    auto even = [](uint32_t p) { return p + (p & 1U); };
    for (auto& ifd : m_ifds) {
        pos = even(pos);
        ifd->m_offset = pos;
        pos += static_cast<uint32_t>(2 + 12 * ifd->m_entries.size() + 4);
        for (auto& e : ifd->m_entries) {
            const size_t size = ifd->byteSize(e);
            if (size > 4) {
                pos = even(pos);
                e.dataOffset = pos;
                pos += static_cast<uint32_t>(size);
            }
        }
    }
    for (auto& blob : m_blobs) {
        pos = even(pos);
        blob.second = pos;
        pos += static_cast<uint32_t>(blob.first.size());
    }
    const uint32_t end = pos;

    std::string tiff(end, '\0');
    auto put = [&](uint32_t at, const std::string& bytes) { tiff.replace(at, bytes.size(), bytes); };
    put(0, m_order == ByteOrder::Little ? "II" : "MM");
    put(2, encode(m_magic, 2));
    put(4, encode(m_hasIfd0Offset ? m_ifd0Offset : m_ifds.front()->m_offset, 4));
    put(8, m_headerTail);

    for (const auto& ifd : m_ifds) {
        const auto entries = orderedEntries(*ifd);
        uint32_t at = ifd->m_offset;
        put(at, encode(ifd->m_hasDeclaredCount ? ifd->m_declaredCount : entries.size(), 2));
        at += 2;
        for (const auto* e : entries) {
            std::string value;
            uint32_t field = 0;
            bool verbatim = false;
            switch (e->kind) {
            case TiffIfd::Kind::Values:
                if (!e->rawBytes.empty())
                    value = e->rawBytes;
                for (const auto& [width, v] : e->units)
                    value += encode(v, width);
                break;
            case TiffIfd::Kind::IfdPointers:
                for (const auto* target : e->targets)
                    value += encode(target->m_offset, 4);
                break;
            case TiffIfd::Kind::BlobPointer:
                value = encode(m_blobs[e->blob].second, 4);
                break;
            case TiffIfd::Kind::Verbatim:
                verbatim = true;
                field = e->field;
                break;
            case TiffIfd::Kind::PastEnd:
                verbatim = true;
                field = end + e->field;
                break;
            }
            put(at, encode(e->tag, 2));
            put(at + 2, encode(e->type, 2));
            put(at + 4, encode(e->count, 4));
            if (verbatim) {
                put(at + 8, encode(field, 4));
            } else if (value.size() <= 4) {
                put(at + 8, value); // in line, left-justified, rest zero
            } else {
                put(at + 8, encode(e->dataOffset, 4));
                put(e->dataOffset, value);
            }
            at += 12;
        }
        uint32_t next = 0;
        if (ifd->m_hasNextOffset)
            next = ifd->m_nextOffset;
        else if (ifd->m_nextLink)
            next = ifd->m_nextLink->m_offset;
        else if (ifd->m_next)
            next = ifd->m_next->m_offset;
        put(at, encode(next, 4));
    }
    for (const auto& [bytes, offset] : m_blobs)
        put(offset, bytes);

    std::string out = m_prefix + tiff;
    if (m_truncateTo < out.size())
        out.resize(m_truncateTo);
    return out;
}

} // namespace lumo::test
