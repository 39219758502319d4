#include "NRF/NRFBasicBMFF.h"

#include "NRF/NRFBasicTIFF.h"

#include <algorithm>

std::string NRFBMFFTypeString(std::uint32_t type) {
    std::string out(4, '?');
    for (int i = 0; i < 4; ++i) {
        const auto c = static_cast<unsigned char>(type >> (24 - 8 * i));
        if (c >= 0x20 && c < 0x7F)
            out[static_cast<std::size_t>(i)] = static_cast<char>(c);
    }
    return out;
}

bool NRFBMFFWalker::ReadU8(std::uint64_t pos, std::uint8_t& out) {
    return m_source.ReadAt(pos, &out, 1);
}

bool NRFBMFFWalker::ReadU16(std::uint64_t pos, std::uint16_t& out) {
    std::uint64_t value = 0;
    if (!ReadUInt(pos, 2, value))
        return false;
    out = static_cast<std::uint16_t>(value);
    return true;
}

bool NRFBMFFWalker::ReadU32(std::uint64_t pos, std::uint32_t& out) {
    std::uint64_t value = 0;
    if (!ReadUInt(pos, 4, value))
        return false;
    out = static_cast<std::uint32_t>(value);
    return true;
}

bool NRFBMFFWalker::ReadU64(std::uint64_t pos, std::uint64_t& out) {
    return ReadUInt(pos, 8, out);
}

bool NRFBMFFWalker::ReadUInt(std::uint64_t pos, unsigned bytes, std::uint64_t& out) {
    out = 0;
    if (bytes == 0)
        return true;
    if (bytes > 8)
        return false;
    unsigned char b[8];
    if (!m_source.ReadAt(pos, b, bytes))
        return false;
    for (unsigned i = 0; i < bytes; ++i)
        out = (out << 8) | b[i];
    return true;
}

bool NRFBMFFWalker::ReadBytes(std::uint64_t pos, std::uint64_t size, std::string& out, std::uint64_t limit) {
    out.clear();
    if (size > limit || size > m_source.Size() || pos > m_source.Size() - size)
        return false;
    out.resize(static_cast<std::size_t>(size));
    return size == 0 || m_source.ReadAt(pos, out.data(), out.size());
}

NRFErr NRFBMFFWalker::ReadHeader(std::uint64_t pos, std::uint64_t parentEnd, const std::string& path,
                                 int depth, NRFBMFFBox& box) {
    box = NRFBMFFBox{};
    box.start = pos;
    box.path = path;
    box.depth = depth;
    const std::uint64_t end = std::min(parentEnd, m_source.Size());
    if (pos > end || end - pos < 8)
        return 5;
    std::uint32_t size32 = 0;
    if (!ReadU32(pos, size32) || !ReadU32(pos + 4, box.type))
        return 5;
    box.headerSize = 8;
    if (size32 == 1) {
        if (end - pos < 16)
            return 5;
        std::uint64_t size64 = 0;
        if (!ReadU64(pos + 8, size64))
            return 5;
        if (size64 < 16 || size64 > (std::uint64_t{1} << 63))
            return 10;
        box.headerSize = 16;
        box.size = size64;
    } else if (size32 == 0) {
        box.size = end - pos; // to the end of the parent
    } else if (size32 < 8) {
        return 10;
    } else {
        box.size = size32;
    }
    if (box.size > end - pos)
        return 10;
    if (box.is("uuid") && box.payloadSize() >= 16) {
        if (!m_source.ReadAt(box.payload(), box.uuid.data(), box.uuid.size()))
            return 5;
        box.hasUUID = true;
    }
    return 0;
}

NRFErr NRFBMFFWalker::walkRange(std::uint64_t begin, std::uint64_t end, const std::string& path, int depth,
                                const NRFBMFFVisitor& visit) {
    if (depth > kMaxDepth)
        return 10;
    end = std::min(end, m_source.Size());
    std::uint64_t pos = begin;
    while (pos < end && end - pos >= 8) {
        NRFBMFFBox box;
        if (const NRFErr err = ReadHeader(pos, end, path, depth, box); err != 0)
            return err;
        if (const NRFErr err = visit(box); err != 0)
            return err;
        pos = box.end();
    }
    return 0;
}

NRFErr NRFBMFFWalker::Walk(std::uint64_t begin, std::uint64_t end, const NRFBMFFVisitor& visit) {
    return walkRange(begin, end, std::string(), 0, visit);
}

NRFErr NRFBMFFWalker::WalkChildren(const NRFBMFFBox& box, std::uint64_t skip, const NRFBMFFVisitor& visit) {
    if (skip > box.payloadSize())
        return 10;
    return walkRange(box.payload() + skip, box.end(), box.childPath(), box.depth + 1, visit);
}

bool NRFBMFFFileType::hasBrand(const char* brand) const {
    const std::uint32_t wanted = NRFBMFFType(brand);
    if (majorBrand == wanted)
        return true;
    return std::find(compatible, compatible + compatibleCount, wanted) != compatible + compatibleCount;
}

bool NRFReadBMFFFileType(NRFByteSource& source, NRFBMFFFileType& out) {
    out = NRFBMFFFileType{};
    NRFBMFFWalker walker(source);
    NRFBMFFBox box;
    if (walker.ReadHeader(0, source.Size(), std::string(), 0, box) != 0 || !box.is("ftyp") ||
        box.payloadSize() < 8)
        return false;
    if (!walker.ReadU32(box.payload(), out.majorBrand) ||
        !walker.ReadU32(box.payload() + 4, out.minorVersion))
        return false;
    const std::uint64_t count = std::min<std::uint64_t>((box.payloadSize() - 8) / 4, 16);
    for (std::uint64_t i = 0; i < count; ++i) {
        if (!walker.ReadU32(box.payload() + 8 + 4 * i, out.compatible[i]))
            return false;
        ++out.compatibleCount;
    }
    return true;
}
