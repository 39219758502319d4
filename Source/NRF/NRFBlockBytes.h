#pragma once

// Big-endian numbers and bounded byte ranges, for the writers and readers of metadata blocks.

#include "NRF/NRFBasicTIFF.h"

#include <cstdint>
#include <string>

inline std::uint16_t NRFBE16(const unsigned char* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
inline std::uint32_t NRFBE32(const unsigned char* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}
inline void NRFPutBE16(std::string& out, std::uint32_t v) {
    out.push_back(static_cast<char>(v >> 8));
    out.push_back(static_cast<char>(v));
}
inline void NRFPutBE32(std::string& out, std::uint32_t v) {
    NRFPutBE16(out, v >> 16);
    NRFPutBE16(out, v & 0xFFFF);
}

// The `length` bytes at `pos`; false when they are not all in the source or there are more than `limit`.
inline bool NRFReadBlockBytes(NRFByteSource& source, std::uint64_t pos, std::uint64_t length,
                              std::uint64_t limit, std::string& out) {
    if (length > limit || pos > source.Size() || length > source.Size() - pos)
        return false;
    out.resize(static_cast<std::size_t>(length));
    return length == 0 || source.ReadAt(pos, out.data(), out.size());
}

// Walks the marker segments of a JPEG stream up to its first scan: `visit(marker, pos, length)` for
// each segment that has a length (`pos` at its 0xFF, `length` the bytes after the marker, the length
// field included); fill bytes and stand-alone markers are stepped over. True once the scan or the end
// of the image is reached; false when the stream does not start a JPEG, a length runs past the end, a
// read fails, there are more than `maxSegments` segments, or `visit` answers false.
template <class Visit>
bool NRFWalkJPEGSegments(NRFByteSource& source, unsigned maxSegments, Visit&& visit) {
    const std::uint64_t size = source.Size();
    unsigned char b[4];
    if (size < 4 || !source.ReadAt(0, b, 2) || b[0] != 0xFF || b[1] != 0xD8)
        return false;
    std::uint64_t pos = 2;
    for (unsigned count = 0; count < maxSegments; ++count) {
        if (size - pos < 2 || !source.ReadAt(pos, b, 2) || b[0] != 0xFF)
            return false;
        const unsigned marker = b[1];
        if (marker == 0xFF) { // fill byte
            ++pos;
            continue;
        }
        if (marker == 0xDA || marker == 0xD9)
            return true;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            pos += 2;
            continue;
        }
        if (size - pos < 4 || !source.ReadAt(pos + 2, b + 2, 2))
            return false;
        const std::uint64_t length = NRFBE16(b + 2);
        if (length < 2 || length > size - pos - 2 || !visit(marker, pos, length))
            return false;
        pos += length + 2;
    }
    return false;
}
