// The GIF reader: the header and logical screen give size and colour; the blocks are walked to the
// trailer to find the XMP application extension and to count the images. Every block length comes from
// the file and is checked against it; the walk is capped so that a stream of empty blocks ends.

#include "NRF/NRFGIF.h"

#include "NRF/NRF.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFImageInfo.h"
#include "app/LumoLog.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>

namespace {

constexpr unsigned kMaxBlocks = 1u << 22;           // sub-blocks and descriptors over the whole walk
constexpr std::uint32_t kMaxFrames = 100000;        // images counted before the walk gives up
constexpr std::uint64_t kMaxPacketScan = 16u << 20; // bytes searched for the packet's end
const char kXMPApplication[11] = {'X', 'M', 'P', ' ', 'D', 'a', 't', 'a', 'X', 'M', 'P'};
const char kICCApplication[11] = {'I', 'C', 'C', 'R', 'G', 'B', 'G', '1', '0', '1', '2'};

std::uint16_t le16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t pos32(std::uint64_t value) {
    return static_cast<std::uint32_t>(
        std::min<std::uint64_t>(value, std::numeric_limits<std::uint32_t>::max()));
}

// The position just past the end of `needle` at or after `from` (within `limit`), or 0.
std::uint64_t findAfter(NRFByteSource& source, std::uint64_t from, std::uint64_t limit,
                        const std::string& needle) {
    const std::size_t piece = 64 * 1024;
    std::string buffer;
    for (std::uint64_t at = from; at < limit;) {
        const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(piece, limit - at));
        buffer.assign(count, '\0');
        if (count < needle.size() || !source.ReadAt(at, buffer.data(), count))
            return 0;
        const std::size_t found = buffer.find(needle);
        if (found != std::string::npos)
            return at + found + needle.size();
        if (at + count >= limit)
            return 0;
        at += count - (needle.size() - 1); // a match may straddle two pieces
    }
    return 0;
}

// The XMP packet that starts at `start`: it ends with "?>" after "<?xpacket end"; the magic trailer the
// format adds after it is not part of it.
void locatePacket(NRFImageInfoRec& record, NRFByteSource& source, std::uint64_t start,
                  GIFPluginPrivateInfo& info) {
    const std::uint64_t limit = std::min(source.Size(), start + kMaxPacketScan);
    const std::uint64_t endMarker = findAfter(source, start, limit, "<?xpacket end");
    const std::uint64_t end =
        endMarker == 0 ? 0 : findAfter(source, endMarker, std::min(limit, endMarker + 256), "?>");
    if (end == 0) {
        LUMO_LOG("GIF XMP packet of file \"%s\" has no end", record.m_path.c_str());
        return;
    }
    info.m_xmpPacketPos = start;
    info.m_xmpPacketLength = end - start;
}

class GIFWalker {
public:
    GIFWalker(NRFImageInfoRec& record, NRFByteSource& source) : m_record(record), m_source(source) {}

    // Skips the sub-blocks from `pos` through their terminator; false when they run past the file.
    // `dataBytes` (when given) receives the sum of their lengths.
    bool skipSubBlocks(std::uint64_t& pos, std::uint64_t* dataBytes = nullptr) {
        for (;;) {
            if (++m_blocks > kMaxBlocks)
                return false;
            unsigned char length = 0;
            if (!m_source.ReadAt(pos, &length, 1))
                return false;
            pos += 1 + std::uint64_t(length);
            if (dataBytes)
                *dataBytes += length;
            if (length == 0)
                return true;
            if (pos > m_source.Size())
                return false;
        }
    }

    // Reads an extension whose introducer is at `pos`; `pos` moves past it.
    bool extension(std::uint64_t& pos, GIFPluginPrivateInfo& info) {
        const std::uint64_t start = pos;
        unsigned char head[3];
        if (!m_source.ReadAt(pos, head, 3))
            return false;
        pos += 2;
        char id[11];
        if (head[1] == 0xFF && head[2] == 11 && m_source.ReadAt(pos + 1, id, 11)) {
            if (std::memcmp(id, kICCApplication, 11) == 0 && info.m_iccExtensionPos == 0) {
                pos += 12;
                std::uint64_t profileLength = 0;
                if (!skipSubBlocks(pos, &profileLength))
                    return false;
                info.m_iccExtensionPos = start;
                info.m_iccExtensionLength = pos - start;
                info.m_iccProfileLength = profileLength;
                return true;
            }
            if (std::memcmp(id, kXMPApplication, 11) == 0 && info.m_xmpExtensionPos == 0) {
                // The packet's bytes follow the identifier as they are; the trailer after them makes
                // the sub-block walk land on a terminator.
                locatePacket(m_record, m_source, pos + 12, info);
                if (!skipSubBlocks(pos))
                    return false;
                info.m_xmpExtensionPos = start;
                info.m_xmpExtensionLength = pos - start;
                return true;
            }
        }
        return skipSubBlocks(pos);
    }

    // Reads an image descriptor at `pos` and skips its colour table and data.
    bool image(std::uint64_t& pos, GIFPluginPrivateInfo& info) {
        unsigned char desc[10];
        if (!m_source.ReadAt(pos, desc, 10))
            return false;
        if (info.m_frameCount++ == 0) {
            info.m_firstFrameWidth = le16(desc + 5);
            info.m_firstFrameHeight = le16(desc + 7);
            info.m_firstFrameInterlaced = (desc[9] & 0x40) != 0;
        }
        pos += 10;
        if (desc[9] & 0x80)
            pos += 3u << ((desc[9] & 7) + 1);
        pos += 1; // LZW minimum code size
        return pos <= m_source.Size() && skipSubBlocks(pos);
    }

private:
    NRFImageInfoRec& m_record;
    NRFByteSource& m_source;
    unsigned m_blocks = 0;
};

NRFErr readGIF(NRFImageInfoRec& record, NRFByteSource& source) {
    unsigned char head[13];
    if (!source.ReadAt(0, head, sizeof head) ||
        (std::memcmp(head, "GIF87a", 6) != 0 && std::memcmp(head, "GIF89a", 6) != 0)) {
        LUMO_LOG("GIF header of file \"%s\" is not valid", record.m_path.c_str());
        return kNRFErrBadFormat;
    }
    auto info = std::make_shared<GIFPluginPrivateInfo>();
    info->m_hasGlobalColorTable = (head[10] & 0x80) != 0;
    std::uint64_t pos = 13;
    if (info->m_hasGlobalColorTable)
        pos += 3u << ((head[10] & 7) + 1);

    GIFWalker walker(record, source);
    bool ok = true;
    while (ok && info->m_frameCount < kMaxFrames) {
        unsigned char introducer = 0;
        if (!source.ReadAt(pos, &introducer, 1)) {
            ok = false;
        } else if (introducer == 0x3B) {
            info->m_complete = true;
            break;
        } else if (introducer == 0x21) {
            ok = walker.extension(pos, *info);
        } else if (introducer == 0x2C) {
            ok = walker.image(pos, *info);
        } else {
            ok = false;
        }
    }
    if (!ok)
        LUMO_LOG("GIF block at %llu of file \"%s\" is malformed or truncated",
                 static_cast<unsigned long long>(pos), record.m_path.c_str());

    record.m_width = le16(head + 6);
    record.m_height = le16(head + 8);
    // A screen of 0 x 0 leaves the size to the first image.
    if ((record.m_width == 0 || record.m_height == 0) && info->m_frameCount != 0) {
        record.m_width = info->m_firstFrameWidth;
        record.m_height = info->m_firstFrameHeight;
    }
    if (record.m_width == 0 || record.m_height == 0) {
        LUMO_LOG("GIF file \"%s\" gives no image size", record.m_path.c_str());
        return kNRFErrBadFormat;
    }
    // Palette images: eight bits to a sample once the palette is applied.
    record.m_bitsPerSample = 8;
    record.m_samplesPerPixel = 3;
    record.m_isColor = true;
    if (info->m_xmpExtensionPos != 0) {
        record.m_xmpSegmentPos = pos32(info->m_xmpExtensionPos);
        record.m_xmpSegmentLength = pos32(info->m_xmpExtensionLength);
        record.m_xmpPacketPos = pos32(info->m_xmpPacketPos);
        record.m_xmpPacketLength = pos32(info->m_xmpPacketLength);
    }
    if (info->m_iccExtensionPos != 0 && info->m_iccProfileLength != 0) {
        // The profile's sub-blocks begin after the 14 bytes of introducer, label and identifier.
        record.m_iccChunkPos[0] = pos32(info->m_iccExtensionPos + 14);
        record.m_iccChunkCount = 1;
        record.m_iccTotalLength = pos32(info->m_iccProfileLength);
        record.m_colorSpaceCode = 1;
    }
    record.m_privateInfo = std::move(info);
    return kNRFErrNone;
}

NRFErr getImageInfo(NRFContext& context, NRFImageInfoRec& record, lumo::File& file) {
    NRFFileByteSource source(file);
    return NRFReadGIFStructure(context, record, source);
}

} // namespace

NRFErr NRFReadGIFStructure(NRFContext&, NRFImageInfoRec& record, NRFByteSource& source) {
    try {
        return readGIF(record, source);
    } catch (const std::bad_alloc&) {
        return kNRFErrMemory;
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFGetImageInfo()");
        return kNRFErrException;
    }
}

NRFGetImageInfoProc NRFGIFReaderGetImageInfo() {
    return &getImageInfo;
}
