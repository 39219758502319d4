// The EPS reader: a file that begins with the DOS EPS binary header (PostScript, WMF and TIFF preview
// sections) or with plain PostScript text. The image size is the pixel size of the image a raster
// program placed in it (Photoshop's "%ImageData:" comment) when it says so, else the one the
// "%%BoundingBox:" comment gives, in points; the TIFF preview, when there is one, is read through its IFD0
// for its own size and kept as the record's thumbnail. Only the header, the preview's IFD and the comment
// lines are read.

#include "NRF/NRFEPS.h"

#include "NRF/NRF.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFImageInfo.h"
#include "app/LumoLog.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kCommentScan = 64 * 1024; // bytes of PostScript searched for the bounding box
constexpr unsigned kMaxPreviewEntries = 200;

std::uint32_t le32(const unsigned char* p) {
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
           (std::uint32_t(p[3]) << 24);
}

// The four numbers of the first "%%BoundingBox:" line in `text` that has them (the last such line when
// `last`); false when there is none.
bool parseBoundingBox(const std::string& text, bool last, double box[4]) {
    static const std::string key = "%%BoundingBox:";
    std::size_t at = last ? text.rfind(key) : text.find(key);
    while (at != std::string::npos) {
        // a comment starts a line
        if (at == 0 || text[at - 1] == '\n' || text[at - 1] == '\r') {
            const std::size_t lineEnd = text.find_first_of("\r\n", at);
            std::string line =
                text.substr(at + key.size(),
                            lineEnd == std::string::npos ? std::string::npos : lineEnd - at - key.size());
            const char* p = line.c_str();
            int got = 0;
            for (; got < 4; ++got) {
                char* end = nullptr;
                box[got] = std::strtod(p, &end);
                if (end == p || !std::isfinite(box[got]))
                    break;
                p = end;
            }
            if (got == 4)
                return true; // "(atend)" and the like: the real line comes later
        }
        if (last)
            at = at == 0 ? std::string::npos : text.rfind(key, at - 1);
        else
            at = text.find(key, at + 1);
    }
    return false;
}

// The width and height of the first "%ImageData:" comment line in `text` ("%ImageData: 5760 3840 8 3 0 1
// 2 \"beginimage\""): the pixels of the image Photoshop wrote, which the bounding box gives in points.
bool parseImageData(const std::string& text, std::uint32_t& width, std::uint32_t& height) {
    static const std::string key = "%ImageData:";
    for (std::size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) {
        if (at != 0 && text[at - 1] != '\n' && text[at - 1] != '\r')
            continue;
        const char* p = text.c_str() + at + key.size();
        char* end = nullptr;
        const unsigned long long w = std::strtoull(p, &end, 10);
        if (end == p || (*end != ' ' && *end != '\t'))
            continue;
        p = end;
        const unsigned long long h = std::strtoull(p, &end, 10);
        if (end == p || w == 0 || h == 0 || w > 300000 || h > 300000)
            continue;
        width = static_cast<std::uint32_t>(w);
        height = static_cast<std::uint32_t>(h);
        return true;
    }
    return false;
}

bool readText(NRFByteSource& source, std::uint64_t pos, std::uint64_t length, std::string& out) {
    out.assign(static_cast<std::size_t>(length), '\0');
    return source.ReadAt(pos, out.data(), out.size());
}

// The bounding box of the PostScript section (header comments first, then the trailer for "(atend)").
bool readBoundingBox(NRFByteSource& source, std::uint64_t start, std::uint64_t length, std::uint32_t& width,
                     std::uint32_t& height) {
    double box[4];
    std::string text;
    const std::uint64_t head = std::min<std::uint64_t>(length, kCommentScan);
    bool found = readText(source, start, head, text) && parseBoundingBox(text, false, box);
    if (!found && length > head) {
        const std::uint64_t tail = std::min<std::uint64_t>(length - head, kCommentScan);
        found = readText(source, start + length - tail, tail, text) && parseBoundingBox(text, true, box);
    }
    if (!found)
        return false;
    const double w = box[2] - box[0], h = box[3] - box[1];
    if (!(w > 0 && h > 0 && w < 1e9 && h < 1e9))
        return false;
    width = static_cast<std::uint32_t>(std::lround(w));
    height = static_cast<std::uint32_t>(std::lround(h));
    return width != 0 && height != 0;
}

// The TIFF preview's IFD0: its size and colour go into the thumbnail location.
void readPreview(NRFImageInfoRec& record, NRFByteSource& source, std::uint32_t offset, std::uint32_t length) {
    NRFWindowByteSource preview(source, offset, length);
    NRFBasicTIFF tiff(preview);
    std::vector<NRFTIFFEntry> entries;
    if (!tiff.ReadHeader() || tiff.ReadIFD(tiff.IFD0Offset(), kMaxPreviewEntries, entries) != 0) {
        LUMO_LOG("EPS TIFF preview of file \"%s\" cannot be read", record.m_path.c_str());
        return;
    }
    std::uint32_t width = 0, height = 0, photometric = 0, samples = 1, bits = 0;
    for (const NRFTIFFEntry& entry : entries) {
        if (entry.tag == 256)
            (void)tiff.Unsigned(entry, 0, width);
        else if (entry.tag == 257)
            (void)tiff.Unsigned(entry, 0, height);
        else if (entry.tag == 258)
            (void)tiff.Unsigned(entry, 0, bits);
        else if (entry.tag == 262)
            (void)tiff.Unsigned(entry, 0, photometric);
        else if (entry.tag == 277)
            (void)tiff.Unsigned(entry, 0, samples);
    }
    if (width == 0 || height == 0) {
        LUMO_LOG("EPS TIFF preview of file \"%s\" has no size", record.m_path.c_str());
        return;
    }
    record.m_thumbnail = NRFEmbeddedImageLoc{offset, length, width, height};
    record.m_thumbnailIsJPEG = false;
    record.m_displayWidth = width;
    record.m_displayHeight = height;
    record.m_bitsPerSample = static_cast<std::uint16_t>(std::min<std::uint32_t>(bits, 0xFFFF));
    record.m_samplesPerPixel = static_cast<std::uint16_t>(std::min<std::uint32_t>(samples, 0xFFFF));
    record.m_photometric = static_cast<std::uint16_t>(std::min<std::uint32_t>(photometric, 0xFFFF));
    record.m_isColor =
        photometric == 2 || photometric == 3 || photometric == 5 || photometric == 6 || samples >= 3;
    record.m_tiffBigEndian = tiff.BigEndian();
}

NRFErr readEPS(NRFImageInfoRec& record, NRFByteSource& source) {
    const std::uint64_t size = source.Size();
    unsigned char head[30];
    std::uint64_t psStart = 0, psLength = size;
    if (source.ReadAt(0, head, 4) && std::memcmp(head, "\xC5\xD0\xD3\xC6", 4) == 0) {
        if (!source.ReadAt(0, head, sizeof head)) {
            LUMO_LOG("EPS header of file \"%s\" is truncated", record.m_path.c_str());
            return kNRFErrBadFormat;
        }
        psStart = le32(head + 4);
        psLength = le32(head + 8);
        const std::uint32_t tiffOffset = le32(head + 20), tiffLength = le32(head + 24);
        if (psStart > size || psLength > size - psStart) {
            LUMO_LOG("EPS PostScript section of file \"%s\" runs past the end of the file",
                     record.m_path.c_str());
            psStart = psLength = 0;
        }
        if (tiffOffset != 0 && tiffLength != 0) {
            if (tiffLength < 8 || tiffOffset > size || tiffLength > size - tiffOffset)
                LUMO_LOG("EPS TIFF preview of file \"%s\" runs past the end of the file",
                         record.m_path.c_str());
            else
                readPreview(record, source, tiffOffset, tiffLength);
        }
    } else if (!source.ReadAt(0, head, 4) || std::memcmp(head, "%!PS", 4) != 0) {
        LUMO_LOG("EPS header of file \"%s\" is not valid", record.m_path.c_str());
        return kNRFErrBadFormat;
    }
    std::uint32_t width = 0, height = 0;
    std::string comments;
    if (psLength != 0 &&
        readText(source, psStart, std::min<std::uint64_t>(psLength, kCommentScan), comments) &&
        parseImageData(comments, width, height)) {
        record.m_width = width;
        record.m_height = height;
    } else if (psLength != 0 && readBoundingBox(source, psStart, psLength, width, height)) {
        record.m_width = width;
        record.m_height = height;
    } else if (record.m_thumbnail.present()) {
        record.m_width = record.m_thumbnail.width;
        record.m_height = record.m_thumbnail.height;
    } else {
        LUMO_LOG("EPS file \"%s\" gives no image size", record.m_path.c_str());
    }
    return kNRFErrNone;
}

NRFErr getImageInfo(NRFContext& context, NRFImageInfoRec& record, lumo::File& file) {
    NRFFileByteSource source(file);
    return NRFReadEPSStructure(context, record, source);
}

} // namespace

NRFErr NRFReadEPSStructure(NRFContext&, NRFImageInfoRec& record, NRFByteSource& source) {
    try {
        return readEPS(record, source);
    } catch (const std::bad_alloc&) {
        return kNRFErrMemory;
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFGetImageInfo()");
        return kNRFErrException;
    }
}

NRFGetImageInfoProc NRFEPSReaderGetImageInfo() {
    return &getImageInfo;
}
