// The HEIC and HEIF readers. The engine walks the item boxes of the top-level "meta" box itself (the
// primary item, the EXIF and XMP items and where their bytes lie, the primary item's size, rotation
// and colour profile); libheif confirms the file type, gives the image size from the primary handle and
// decodes the pixels. libheif reads the file through the engine's own reads, never by path.

#include "NRF/NRFHEIF.h"

#include "NRF/EXIFUtils.h"
#include "NRF/NRF.h"
#include "NRF/NRFBasicBMFF.h"
#include "NRF/NRFBasicJPEG.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFBitmapBase.h"
#include "NRF/NRFDecode.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFResample.h"
#include "app/LumoLog.h"
#include "support/FileIO.h"

#include <libheif/heif.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace {

// Limits on what the item boxes may declare; real files stay far below them.
constexpr std::size_t kMaxItems = 1u << 16;
constexpr std::size_t kMaxExtents = 1u << 12; // per item
constexpr std::size_t kMaxProperties = 1u << 12;
constexpr std::size_t kMaxReferences = 1u << 16;
constexpr std::size_t kMaxTopLevelBoxes = 1u << 16;
constexpr std::size_t kMaxText = 1024; // item names and content types

constexpr const char* kXMPContentType = "application/rdf+xml";

// Sequential big-endian reads inside one box; any read past the box's end or the source fails the
// cursor for good.
class BoxCursor {
public:
    BoxCursor(NRFBMFFWalker& walker, std::uint64_t pos, std::uint64_t end)
        : m_walker(walker), m_pos(pos), m_end(end) {}

    std::uint64_t Read(unsigned bytes) {
        std::uint64_t value = 0;
        if (!m_ok || bytes > 8 || m_pos > m_end || m_end - m_pos < bytes ||
            !m_walker.ReadUInt(m_pos, bytes, value)) {
            m_ok = false;
            return 0;
        }
        m_pos += bytes;
        return value;
    }
    // A NUL-terminated string; a string that runs to the box's end without a NUL is taken as it is.
    std::string ReadString() {
        std::string out;
        while (m_ok && m_pos < m_end) {
            std::uint8_t c = 0;
            if (!m_walker.ReadU8(m_pos, c)) {
                m_ok = false;
                break;
            }
            ++m_pos;
            if (c == 0)
                break;
            if (out.size() < kMaxText)
                out += static_cast<char>(c);
        }
        return out;
    }
    bool ok() const { return m_ok; }
    bool atEnd() const { return m_pos >= m_end; }
    std::uint64_t pos() const { return m_pos; }

private:
    NRFBMFFWalker& m_walker;
    std::uint64_t m_pos, m_end;
    bool m_ok = true;
};

bool validFieldSize(unsigned size) {
    return size == 0 || size == 4 || size == 8;
}

NRFErr readError(const char* text) {
    LUMO_LOG("%s", text);
    return 10;
}

NRFErr readHdlr(NRFBMFFWalker& walker, const NRFBMFFBox& box) {
    std::uint32_t handler = 0;
    if (box.payloadSize() < 12 || !walker.ReadU32(box.payload() + 8, handler))
        return readError("BMFF 'hdlr' read error");
    if (handler != NRFBMFFType("pict"))
        LUMO_LOG("BMFF 'hdlr' handler '%s' is not 'pict'", NRFBMFFTypeString(handler).c_str());
    return 0;
}

NRFErr readPitm(NRFBMFFWalker& walker, const NRFBMFFBox& box, NRFHEIFItemTable& table) {
    BoxCursor c(walker, box.payload(), box.end());
    const auto version = c.Read(1);
    c.Read(3);
    table.primaryItem = static_cast<std::uint32_t>(c.Read(version == 0 ? 2 : 4));
    return c.ok() ? 0 : readError("BMFF 'pitm' read error");
}

NRFErr readInfe(NRFBMFFWalker& walker, const NRFBMFFBox& box, NRFHEIFItemTable& table) {
    BoxCursor c(walker, box.payload(), box.end());
    const auto version = c.Read(1);
    c.Read(3);
    NRFHEIFItem item;
    if (version <= 1) {
        item.id = static_cast<std::uint32_t>(c.Read(2));
        c.Read(2); // protection index
        c.ReadString();
        item.contentType = c.ReadString();
    } else if (version <= 3) {
        item.id = static_cast<std::uint32_t>(c.Read(version == 2 ? 2 : 4));
        c.Read(2);
        item.type = static_cast<std::uint32_t>(c.Read(4));
        c.ReadString();
        if (item.type == NRFBMFFType("mime"))
            item.contentType = c.ReadString();
    } else {
        return 0; // a later layout: the item stays unknown
    }
    if (!c.ok())
        return readError("BMFF 'iinf' read error");
    if (table.items.size() < kMaxItems)
        table.items.push_back(std::move(item));
    return 0;
}

NRFErr readIinf(NRFBMFFWalker& walker, const NRFBMFFBox& box, NRFHEIFItemTable& table) {
    BoxCursor c(walker, box.payload(), box.end());
    table.iinfVersion = static_cast<std::uint8_t>(c.Read(1));
    c.Read(3);
    table.iinfCountPos = c.pos();
    c.Read(table.iinfVersion == 0 ? 2 : 4);
    if (!c.ok())
        return readError("BMFF 'iinf' read error");
    table.iinf = box;
    table.haveIinf = true;
    const NRFErr err =
        walker.WalkChildren(box, c.pos() - box.payload(), [&](const NRFBMFFBox& child) -> NRFErr {
            if (!child.is("infe"))
                return readError("BMFF error: expecting 'infe'");
            return readInfe(walker, child, table);
        });
    if (err == 5 || (err != 0 && err != 10))
        return readError("BMFF 'iinf' read error");
    return err;
}

NRFErr readIref(NRFBMFFWalker& walker, const NRFBMFFBox& box, NRFHEIFItemTable& table) {
    std::uint8_t version = 0;
    if (box.payloadSize() < 4 || !walker.ReadU8(box.payload(), version))
        return readError("BMFF 'iref' read error");
    const unsigned idSize = version == 0 ? 2 : 4;
    const NRFErr err = walker.WalkChildren(box, 4, [&](const NRFBMFFBox& ref) -> NRFErr {
        BoxCursor c(walker, ref.payload(), ref.end());
        const auto from = static_cast<std::uint32_t>(c.Read(idSize));
        const auto count = c.Read(2);
        for (std::uint64_t i = 0; i < count && c.ok(); ++i) {
            const auto to = static_cast<std::uint32_t>(c.Read(idSize));
            if (c.ok() && table.references.size() < kMaxReferences)
                table.references.push_back({ref.type, from, to});
        }
        return c.ok() ? 0 : 10;
    });
    return err == 0 ? 0 : readError("BMFF 'iref' read error");
}

NRFErr readIloc(NRFBMFFWalker& walker, const NRFBMFFBox& box, NRFHEIFItemTable& table) {
    BoxCursor c(walker, box.payload(), box.end());
    const auto version = static_cast<std::uint8_t>(c.Read(1));
    c.Read(3);
    const auto sizes1 = c.Read(1), sizes2 = c.Read(1);
    table.ilocVersion = version;
    table.offsetSize = static_cast<std::uint8_t>(sizes1 >> 4);
    table.lengthSize = static_cast<std::uint8_t>(sizes1 & 15);
    table.baseOffsetSize = static_cast<std::uint8_t>(sizes2 >> 4);
    table.indexSize = static_cast<std::uint8_t>(version == 1 || version == 2 ? sizes2 & 15 : 0);
    table.ilocCountPos = c.pos();
    const auto count = c.Read(version < 2 ? 2 : 4);
    if (!c.ok() || version > 2 || !validFieldSize(table.offsetSize) || !validFieldSize(table.lengthSize) ||
        !validFieldSize(table.baseOffsetSize) || !validFieldSize(table.indexSize) || count > kMaxItems)
        return readError("BMFF 'iloc' read error");
    table.iloc = box;
    table.haveIloc = true;
    for (std::uint64_t i = 0; i < count; ++i) {
        NRFHEIFLocation loc;
        loc.itemId = static_cast<std::uint32_t>(c.Read(version < 2 ? 2 : 4));
        if (version >= 1) {
            loc.constructionMethodPos = c.pos();
            loc.constructionMethod = static_cast<std::uint8_t>(c.Read(2) & 15);
        }
        loc.dataReference = static_cast<std::uint16_t>(c.Read(2));
        loc.baseOffsetPos = table.baseOffsetSize ? c.pos() : 0;
        loc.baseOffset = c.Read(table.baseOffsetSize);
        const auto extents = c.Read(2);
        if (!c.ok() || extents > kMaxExtents)
            return readError("BMFF 'iloc' read error");
        for (std::uint64_t e = 0; e < extents; ++e) {
            NRFHEIFExtent extent;
            extent.index = c.Read(table.indexSize);
            extent.offsetPos = table.offsetSize ? c.pos() : 0;
            extent.offset = c.Read(table.offsetSize);
            extent.lengthPos = table.lengthSize ? c.pos() : 0;
            extent.length = c.Read(table.lengthSize);
            if (!c.ok())
                return readError("BMFF 'iloc' read error");
            loc.extents.push_back(extent);
        }
        table.locations.push_back(std::move(loc));
    }
    table.ilocEntriesEnd = c.pos();
    return 0;
}

NRFErr readIpma(NRFBMFFWalker& walker, const NRFBMFFBox& box, NRFHEIFItemTable& table) {
    BoxCursor c(walker, box.payload(), box.end());
    const auto version = c.Read(1);
    const auto flags = c.Read(3);
    const auto count = c.Read(4);
    if (!c.ok() || count > kMaxItems)
        return readError("BMFF 'ipma' read error");
    for (std::uint64_t i = 0; i < count; ++i) {
        const auto item = static_cast<std::uint32_t>(c.Read(version < 1 ? 2 : 4));
        const auto associations = c.Read(1);
        std::vector<std::uint16_t> indexes;
        for (std::uint64_t a = 0; a < associations; ++a) {
            const auto value = c.Read(flags & 1 ? 2 : 1);
            indexes.push_back(static_cast<std::uint16_t>(flags & 1 ? value & 0x7FFF : value & 0x7F));
        }
        if (!c.ok())
            return readError("BMFF 'ipma' read error");
        table.associations.emplace_back(item, std::move(indexes));
    }
    return 0;
}

NRFErr readIprp(NRFBMFFWalker& walker, const NRFBMFFBox& box, NRFHEIFItemTable& table) {
    return walker.WalkChildren(box, 0, [&](const NRFBMFFBox& child) -> NRFErr {
        if (child.is("ipco"))
            return walker.WalkChildren(child, 0, [&](const NRFBMFFBox& property) -> NRFErr {
                if (table.properties.size() < kMaxProperties)
                    table.properties.push_back(property);
                return 0;
            });
        if (child.is("ipma"))
            return readIpma(walker, child, table);
        return 0;
    });
}

// The entity groups: each child of "grpl" is a full box with a 32-bit group identifier. Only the
// identifiers are kept (a writer must not give a new item one of them); a damaged group never fails the
// walk, it is only noted.
void readGrpl(NRFBMFFWalker& walker, const NRFBMFFBox& box, NRFHEIFItemTable& table) {
    const NRFErr err = walker.WalkChildren(box, 0, [&](const NRFBMFFBox& group) -> NRFErr {
        std::uint32_t id = 0;
        if (group.payloadSize() < 8 || !walker.ReadU32(group.payload() + 4, id) ||
            table.groupIds.size() >= kMaxItems)
            return 10;
        table.groupIds.push_back(id);
        return 0;
    });
    if (err != 0)
        table.groupsDamaged = true;
}

NRFErr readMeta(NRFBMFFWalker& walker, const NRFBMFFBox& meta, NRFHEIFItemTable& table) {
    table.meta = meta;
    table.haveMeta = true;
    return walker.WalkChildren(meta, 4, [&](const NRFBMFFBox& box) -> NRFErr {
        if (box.is("hdlr"))
            return readHdlr(walker, box);
        if (box.is("pitm"))
            return readPitm(walker, box, table);
        if (box.is("iinf"))
            return table.haveIinf ? 0 : readIinf(walker, box, table);
        if (box.is("iref"))
            return readIref(walker, box, table);
        if (box.is("iloc"))
            return table.haveIloc ? 0 : readIloc(walker, box, table);
        if (box.is("grpl")) {
            readGrpl(walker, box, table);
        } else if (box.is("idat") && !table.haveIdat) {
            table.idat = box;
            table.haveIdat = true;
        } else if (box.is("iprp")) {
            return readIprp(walker, box, table);
        }
        return 0;
    });
}

std::uint32_t pos32(std::uint64_t pos) {
    return pos > std::numeric_limits<std::uint32_t>::max() ? 0 : static_cast<std::uint32_t>(pos);
}

// The EXIF item that describes the primary image ("cdsc"), else the first one.
const NRFHEIFItem* findExifItem(const NRFHEIFItemTable& table) {
    const NRFHEIFItem* first = nullptr;
    for (const NRFHEIFItem& item : table.items) {
        if (item.type != NRFBMFFType("Exif"))
            continue;
        if (!first)
            first = &item;
        for (const NRFHEIFReference& ref : table.references)
            if (ref.type == NRFBMFFType("cdsc") && ref.from == item.id && ref.to == table.primaryItem)
                return &item;
    }
    return first;
}

// The EXIF item: a 4-byte offset from the end of that word to the TIFF header, then the TIFF
// structure, read by the engine's EXIF parser with offsets relative to the header.
NRFErr readExifItem(NRFContext& context, NRFImageInfoRec& record, NRFByteSource& source,
                    const NRFHEIFItemTable& table, HEIFPluginPrivateInfo& info) {
    const NRFHEIFItem* item = findExifItem(table);
    if (!item)
        return 0;
    std::uint64_t pos = 0, length = 0;
    if (!NRFHEIFItemExtent(table, item->id, source.Size(), pos, length)) {
        LUMO_LOG("BMFF Exif error");
        return 0;
    }
    NRFBMFFWalker walker(source);
    std::uint32_t headerOffset = 0;
    if (length < 4 + 8 || !walker.ReadU32(pos, headerOffset) || headerOffset > length - 4 - 8) {
        LUMO_LOG("BMFF Exif signature error");
        return 0;
    }
    std::uint64_t tiffPos = pos + 4 + headerOffset;
    // Some writers leave the "Exif\0\0" of a JPEG segment in front of the header and count from it.
    unsigned char head[6];
    if (source.ReadAt(tiffPos, head, 6) && std::memcmp(head, "Exif\0\0", 6) == 0 &&
        tiffPos + 6 + 8 <= pos + length)
        tiffPos += 6;
    NRFBasicTIFF tiff(source, tiffPos);
    if (!tiff.ReadHeader()) {
        LUMO_LOG("BMFF bad TIFF signature");
        return 0;
    }
    info.exifItem = item->id;
    info.exifOffset = pos;
    info.exifLength = length;
    record.m_exifSegmentPos = pos32(pos);
    record.m_exifSegmentLength = pos32(length);
    record.m_tiffBigEndian = tiff.BigEndian();
    EXIFParseOptions options;
    options.fileType = record.m_fileType;
    options.strictExif = context.strictExif;
    options.segmentStart = tiffPos;
    options.segmentEnd = pos + length;
    EXIFParser parser(record, tiff, options);
    NRFErr err = parser.ParseIFD0();
    if (err == 0)
        err = parser.ParseExifIFD();
    // IFD1's JPEG thumbnail answers small sizes when the file stores no thumbnail item.
    if (err == 0)
        err = parser.ParseIFD1();
    if (err != 0) {
        LUMO_LOG("BMFF Exif error");
        if (context.strictExif && err == kEXIFErrMalformed)
            return err;
    }
    return 0;
}

void readPrimaryProperties(NRFImageInfoRec& record, NRFByteSource& source, const NRFHEIFItemTable& table,
                           HEIFPluginPrivateInfo& info) {
    NRFBMFFWalker walker(source);
    const std::uint32_t primary = table.primaryItem;
    if (const NRFBMFFBox* ispe = table.FindProperty(primary, "ispe"))
        if (ispe->payloadSize() < 12 || !walker.ReadU32(ispe->payload() + 4, info.imageWidth) ||
            !walker.ReadU32(ispe->payload() + 8, info.imageHeight))
            info.imageWidth = info.imageHeight = 0;
    if (const NRFBMFFBox* irot = table.FindProperty(primary, "irot")) {
        std::uint8_t angle = 0;
        if (irot->payloadSize() >= 1 && walker.ReadU8(irot->payload(), angle))
            info.rotation = angle & 3;
    }
    // Several "colr" boxes may describe one item; the profile is the one wanted.
    for (const auto& [item, indexes] : table.associations) {
        if (item != primary)
            continue;
        for (const std::uint16_t index : indexes) {
            if (index == 0 || index > table.properties.size())
                continue;
            const NRFBMFFBox& colr = table.properties[index - 1];
            if (!colr.is("colr"))
                continue;
            std::uint32_t kind = 0;
            if (colr.payloadSize() < 4 || !walker.ReadU32(colr.payload(), kind)) {
                LUMO_LOG("BMFF 'colr' read error");
                continue;
            }
            if (kind != NRFBMFFType("prof") && kind != NRFBMFFType("rICC"))
                continue;
            const std::uint64_t pos = colr.payload() + 4, length = colr.payloadSize() - 4;
            std::uint32_t declared = 0;
            if (length < 128 || !walker.ReadU32(pos, declared) || declared > length) {
                LUMO_LOG("BMFF 'prof' format error");
                continue;
            }
            info.iccOffset = pos;
            info.iccLength = length;
            if (pos32(pos) != 0 && length <= std::numeric_limits<std::uint32_t>::max()) {
                record.m_colorSpaceCode = 1;
                record.m_iccChunkCount = 1;
                record.m_iccChunkPos[0] = pos32(pos);
                record.m_iccTotalLength = static_cast<std::uint32_t>(length);
            }
            return;
        }
    }
}

// ---- libheif --------------------------------------------------------------------------------------

struct ContextDeleter {
    void operator()(heif_context* c) const { heif_context_free(c); }
};
struct HandleDeleter {
    void operator()(heif_image_handle* h) const { heif_image_handle_release(h); }
};
struct ImageDeleter {
    void operator()(heif_image* i) const { heif_image_release(i); }
};
struct OptionsDeleter {
    void operator()(heif_decoding_options* o) const { heif_decoding_options_free(o); }
};
using HeifContext = std::unique_ptr<heif_context, ContextDeleter>;
using HeifHandle = std::unique_ptr<heif_image_handle, HandleDeleter>;
using HeifImage = std::unique_ptr<heif_image, ImageDeleter>;

constexpr int kDecodingThreads = 2;

// libheif's view of a byte source: a position and bounded reads.
struct SourceReader {
    NRFByteSource* source = nullptr;
    std::int64_t position = 0;

    static std::int64_t getPosition(void* self) { return static_cast<SourceReader*>(self)->position; }
    static int read(void* data, std::size_t size, void* self) {
        auto* r = static_cast<SourceReader*>(self);
        try {
            if (r->position < 0 || !r->source->ReadAt(static_cast<std::uint64_t>(r->position), data, size))
                return 1;
        } catch (...) { // nothing may leave through the library
            return 1;
        }
        r->position += static_cast<std::int64_t>(size);
        return 0;
    }
    static int seek(std::int64_t position, void* self) {
        auto* r = static_cast<SourceReader*>(self);
        if (position < 0 || static_cast<std::uint64_t>(position) > r->source->Size())
            return 1;
        r->position = position;
        return 0;
    }
    static heif_reader_grow_status waitForFileSize(std::int64_t target, void* self) {
        auto* r = static_cast<SourceReader*>(self);
        return target >= 0 && static_cast<std::uint64_t>(target) <= r->source->Size()
                   ? heif_reader_grow_status_size_reached
                   : heif_reader_grow_status_size_beyond_eof;
    }
    static const heif_reader* interface() {
        static const heif_reader reader = {1, &getPosition, &read, &seek, &waitForFileSize};
        return &reader;
    }
};

// A context over `reader` (which must outlive it), limited to kDecodingThreads decoding threads and,
// when `maxSide` is not 0, to images of at most that many pixels a side.
HeifContext openContext(SourceReader& reader, const char* path, int maxSide = 0) {
    HeifContext context(heif_context_alloc());
    if (!context)
        throw std::bad_alloc();
    heif_context_set_max_decoding_threads(context.get(), kDecodingThreads);
    if (maxSide > 0)
        heif_context_set_maximum_image_size_limit(context.get(), maxSide);
    const heif_error err =
        heif_context_read_from_reader(context.get(), SourceReader::interface(), &reader, nullptr);
    if (err.code != heif_error_Ok) {
        LUMO_LOG("HEIF read error for file '%s': %s", path, err.message ? err.message : "");
        return nullptr;
    }
    return context;
}

bool isHEIFFile(NRFByteSource& source) {
    std::uint8_t head[12] = {};
    const auto size = static_cast<int>(std::min<std::uint64_t>(source.Size(), sizeof head));
    if (size < 12 || !source.ReadAt(0, head, static_cast<std::size_t>(size)))
        return false;
    return heif_check_filetype(head, size) != heif_filetype_no;
}

// The decoded image as 8-bit RGB, whatever the depth libheif gave.
NRFErr copyPlanes(const heif_image* image, NRFBitmapBase& out) {
    const int width = heif_image_get_width(image, heif_channel_interleaved);
    const int height = heif_image_get_height(image, heif_channel_interleaved);
    const int bits = heif_image_get_bits_per_pixel_range(image, heif_channel_interleaved);
    int stride = 0;
    const std::uint8_t* plane = heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
    if (!plane || width <= 0 || height <= 0 || bits <= 0 || bits > 16)
        return 9;
    const bool wide = bits > 8;
    if (stride < width * 3 * (wide ? 2 : 1))
        return 9;
    if (!out.Allocate(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height), 3))
        return 7;
    const int shift = bits - 8;
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* src = plane + static_cast<std::ptrdiff_t>(y) * stride;
        std::uint8_t* dst = out.Row(static_cast<std::uint32_t>(y));
        if (!wide) {
            std::memcpy(dst, src, static_cast<std::size_t>(width) * 3);
            continue;
        }
        for (int x = 0; x < width * 3; ++x) {
            const unsigned value =
                static_cast<unsigned>(src[2 * x]) | (static_cast<unsigned>(src[2 * x + 1]) << 8);
            dst[x] = static_cast<std::uint8_t>(std::min(255u, value >> shift));
        }
    }
    return 0;
}

NRFErr decodeHandle(heif_image_handle* handle, NRFBitmapBase& out) {
    std::unique_ptr<heif_decoding_options, OptionsDeleter> options(heif_decoding_options_alloc());
    if (!options)
        return 7;
    options->ignore_transformations = 0; // irot and imir turn the pixels upright here
    options->convert_hdr_to_8bit = 1;    // deeper images come out as 8-bit RGB in the same pass
    heif_image* raw = nullptr;
    const heif_error err =
        heif_decode_image(handle, &raw, heif_colorspace_RGB, heif_chroma_interleaved_RGB, options.get());
    HeifImage image(raw);
    if (err.code != heif_error_Ok || !image) {
        LUMO_LOG("HEIF decode error: %s", err.message ? err.message : "");
        return err.code == heif_error_Memory_allocation_error ? 7 : 9;
    }
    if (const NRFErr copied = copyPlanes(image.get(), out); copied != 0)
        return copied;
    // Some cameras code a thumbnail larger than its "ispe" (the coder's block size) and this libheif
    // hands back the coded size: keep the declared image.
    const int width = heif_image_handle_get_width(handle), height = heif_image_handle_get_height(handle);
    if (width > 0 && height > 0 &&
        (out.Width() > static_cast<std::uint32_t>(width) ||
         out.Height() > static_cast<std::uint32_t>(height))) {
        NRFBitmapBase cropped;
        if (const NRFErr err =
                out.CropInto(0, 0, std::min(out.Width(), static_cast<std::uint32_t>(width)),
                             std::min(out.Height(), static_cast<std::uint32_t>(height)), cropped);
            err != 0)
            return err;
        std::swap(out, cropped);
    }
    return 0;
}

// The side libheif is told to refuse beyond: that of an image 16 times as wide as high whose decode
// would fill the memory limit (at 8 bytes a pixel, see NRFHEIFDecode), and never more than libheif's
// own default of 32768.
int maxDecodeSide(std::uint64_t maxBytes) {
    const double side = std::sqrt(static_cast<double>(maxBytes) / 8.0 * 16.0);
    return static_cast<int>(std::clamp(side, 64.0, 32768.0));
}

// The largest sizes an image item declares: libheif's, its "ispe", and for a grid the output size in
// the grid's own data (which libheif allocates whatever "ispe" says).
void declaredSize(heif_image_handle* handle, const NRFHEIFItemTable* table, NRFByteSource& source,
                  std::uint64_t& width, std::uint64_t& height) {
    width = static_cast<std::uint64_t>(
        std::max({0, heif_image_handle_get_width(handle), heif_image_handle_get_ispe_width(handle)}));
    height = static_cast<std::uint64_t>(
        std::max({0, heif_image_handle_get_height(handle), heif_image_handle_get_ispe_height(handle)}));
    if (!table)
        return;
    NRFBMFFWalker walker(source);
    const std::uint32_t primary = table->primaryItem;
    if (const NRFBMFFBox* ispe = table->FindProperty(primary, "ispe")) {
        std::uint32_t w = 0, h = 0;
        if (ispe->payloadSize() >= 12 && walker.ReadU32(ispe->payload() + 4, w) &&
            walker.ReadU32(ispe->payload() + 8, h)) {
            width = std::max<std::uint64_t>(width, w);
            height = std::max<std::uint64_t>(height, h);
        }
    }
    const NRFHEIFItem* item = table->FindItem(primary);
    std::uint64_t pos = 0, length = 0;
    if (!item || item->type != NRFBMFFType("grid") ||
        !NRFHEIFItemExtent(*table, primary, source.Size(), pos, length))
        return;
    // version, flags (bit 0: 32-bit sizes), rows - 1, columns - 1, output width and height.
    std::uint8_t flags = 0;
    if (length < 8 || !walker.ReadU8(pos + 1, flags))
        return;
    std::uint32_t w = 0, h = 0;
    if (flags & 1) {
        if (length < 12 || !walker.ReadU32(pos + 4, w) || !walker.ReadU32(pos + 8, h))
            return;
    } else {
        std::uint16_t w16 = 0, h16 = 0;
        if (!walker.ReadU16(pos + 4, w16) || !walker.ReadU16(pos + 6, h16))
            return;
        w = w16;
        h = h16;
    }
    width = std::max<std::uint64_t>(width, w);
    height = std::max<std::uint64_t>(height, h);
}

// The EXIF thumbnail (a JPEG inside the EXIF item) when its long side covers `size` and it shows the
// picture (no bands), turned by the primary item's "irot" as libheif turns the picture. Items
// mirrored by "imir" are left to libheif. 0, or the failure (the caller then decodes the picture).
NRFErr loadExifThumbnail(const std::string& path, const NRFEmbeddedImageLoc& thumbnail,
                         const NRFHEIFItemTable& table, NRFByteSource& source, std::uint32_t size,
                         NRFBitmapBase& out) {
    if (!thumbnail.present() || std::max(thumbnail.width, thumbnail.height) < size ||
        table.FindProperty(table.primaryItem, "imir"))
        return kNRFErrNoThumbnail;
    NRFBitmapBase bitmap;
    if (const NRFErr err = NRFBasicJPEGLoadImage(path, thumbnail.offset, thumbnail.length, bitmap, size);
        err != 0)
        return err;
    int turns = 0; // "irot" turns anticlockwise; Rotate() takes quarter turns clockwise
    if (const NRFBMFFBox* irot = table.FindProperty(table.primaryItem, "irot")) {
        std::uint8_t angle = 0;
        NRFBMFFWalker walker(source);
        if (irot->payloadSize() >= 1 && walker.ReadU8(irot->payload(), angle))
            turns = (4 - (angle & 3)) % 4;
    }
    if (turns != 0 && !bitmap.Rotate(turns))
        return kNRFErrMemory;
    return bitmap.ScaleToFit(size, out) ? kNRFErrNone : kNRFErrMemory;
}

// ---- the reader's entries ----------------------------------------------------------------------------

NRFErr heifGetImageInfo(NRFContext& context, NRFImageInfoRec& record, lumo::File& file) {
    try {
        const std::lock_guard lock(NRFEmbeddedReadLock());
        record.m_privateInfo = std::make_shared<HEIFPluginPrivateInfo>();
        if (!file.isOpen())
            return kNRFErrOpen;
        NRFFileByteSource source(file);
        if (const NRFErr err = NRFReadHEIFItems(context, record, source); err != 0)
            return err;
        if (!isHEIFFile(source)) {
            LUMO_LOG("%s is not an HEIF/HEIC file.", record.m_path.c_str());
            return kNRFErrBadFormat;
        }
        SourceReader reader{&source, 0};
        HeifContext heif = openContext(reader, record.m_path.c_str());
        if (!heif)
            return kNRFErrBadFormat;
        heif_image_handle* raw = nullptr;
        const heif_error err = heif_context_get_primary_image_handle(heif.get(), &raw);
        HeifHandle handle(raw);
        if (err.code != heif_error_Ok || !handle) {
            LUMO_LOG("HEIF primary image error for file '%s': %s", record.m_path.c_str(),
                     err.message ? err.message : "");
            return kNRFErrBadFormat;
        }
        // The stored size, before any rotation: what the "ispe" of the primary item says.
        int width = heif_image_handle_get_ispe_width(handle.get());
        int height = heif_image_handle_get_ispe_height(handle.get());
        if (width <= 0 || height <= 0) {
            width = heif_image_handle_get_width(handle.get());
            height = heif_image_handle_get_height(handle.get());
        }
        if (width <= 0 || height <= 0) {
            LUMO_LOG("HEIF width(%d) or height(%d) for file \"%s\" are bogus", width, height,
                     record.m_path.c_str());
            return kNRFErrBadFormat;
        }
        record.m_width = record.m_displayWidth = static_cast<std::uint32_t>(width);
        record.m_height = record.m_displayHeight = static_cast<std::uint32_t>(height);
        record.m_isColor = true;
        record.m_bitsPerSample =
            static_cast<std::uint16_t>(std::max(0, heif_image_handle_get_luma_bits_per_pixel(handle.get())));
        record.m_samplesPerPixel = 3;
        record.m_hasInfo = true;
        return 0;
    } catch (const std::bad_alloc&) {
        return kNRFErrMemory;
    } catch (const std::exception& e) {
        LUMO_LOG("Unexpected exception in NRFHEIFGetImageInfo() %s", e.what());
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFHEIFGetImageInfo()");
    }
    return kNRFErrException;
}

NRFErr heifQueryYes(NRFContext&, NRFImageInfoRec&, bool& yes) {
    yes = true;
    return 0;
}

// Every loader decodes through libheif; the pixels come out upright, so the record's rotation code
// (kept for display of the EXIF orientation) is not applied again.
NRFErr heifLoad(NRFImageInfoRec& record, NRFOperationArgs* args, std::uint32_t size, const char* name) {
    if (!args || !args->bitmap)
        return kNRFErrParam;
    NRFBitmapBase& bitmap = *args->bitmap;
    bitmap.flags = 0;
    // The EXIF thumbnail is stored as the picture is coded, before "irot": it must have the proportions
    // of the coded size.
    const NRFEmbeddedImageLoc& thumbnail = record.m_thumbnail;
    const bool thumbnailShowsPicture =
        thumbnail.present() &&
        NRFSimilarProportions(thumbnail.width, thumbnail.height, record.m_width, record.m_height);
    const NRFErr err =
        NRFHEIFDecode(record.m_path, size, bitmap, thumbnailShowsPicture ? &thumbnail : nullptr);
    if (err != 0) {
        LUMO_LOG("%s() failed to decode '%s' with error %d", name, record.m_path.c_str(),
                 static_cast<int>(err));
        bitmap.Clear();
    }
    return err;
}

NRFErr heifLoadThumbnail(NRFContext&, NRFImageInfoRec& record, NRFOperationArgs* args) {
    return heifLoad(record, args, args ? args->size : 0, "NRFHEIFLoadThumbnail");
}

NRFErr heifLoadPreview(NRFContext&, NRFImageInfoRec& record, NRFOperationArgs* args) {
    return heifLoad(record, args, args ? args->size : 0, "NRFHEIFLoadPreview");
}

NRFErr heifLoadImage(NRFContext&, NRFImageInfoRec& record, NRFOperationArgs* args) {
    return heifLoad(record, args, 0, "NRFHEIFLoadImage");
}

} // namespace

// ---- the item table ------------------------------------------------------------------------------------

const NRFHEIFItem* NRFHEIFItemTable::FindItem(std::uint32_t id) const {
    for (const NRFHEIFItem& item : items)
        if (item.id == id)
            return &item;
    return nullptr;
}

const NRFHEIFLocation* NRFHEIFItemTable::FindLocation(std::uint32_t id) const {
    for (const NRFHEIFLocation& loc : locations)
        if (loc.itemId == id)
            return &loc;
    return nullptr;
}

const NRFBMFFBox* NRFHEIFItemTable::FindProperty(std::uint32_t itemId, const char* type) const {
    for (const auto& [item, indexes] : associations) {
        if (item != itemId)
            continue;
        for (const std::uint16_t index : indexes)
            if (index != 0 && index <= properties.size() && properties[index - 1].is(type))
                return &properties[index - 1];
    }
    return nullptr;
}

NRFErr NRFReadHEIFItemTable(NRFByteSource& source, NRFHEIFItemTable& table) {
    table = NRFHEIFItemTable{};
    NRFBMFFWalker walker(source);
    NRFErr metaErr = 0;
    const NRFErr err = walker.Walk(0, source.Size(), [&](const NRFBMFFBox& box) -> NRFErr {
        if (table.topLevel.size() >= kMaxTopLevelBoxes)
            return 10;
        table.topLevel.push_back(box);
        if (box.is("mdat"))
            ++table.mdatCount;
        else if (box.is("meta") && !table.haveMeta)
            metaErr = readMeta(walker, box, table);
        return metaErr;
    });
    if (metaErr != 0)
        return metaErr;
    // A file cut short after its item boxes (the media data missing) still describes its items.
    if (err != 0 && !table.haveMeta)
        return err;
    return 0;
}

const NRFHEIFItem* NRFHEIFFindXMPItem(const NRFHEIFItemTable& table) {
    for (const NRFHEIFItem& item : table.items)
        if ((item.type == NRFBMFFType("mime") || item.type == 0) && item.contentType == kXMPContentType)
            return &item;
    return nullptr;
}

bool NRFHEIFItemExtent(const NRFHEIFItemTable& table, std::uint32_t itemId, std::uint64_t sourceSize,
                       std::uint64_t& pos, std::uint64_t& length) {
    pos = length = 0;
    const NRFHEIFLocation* loc = table.FindLocation(itemId);
    if (!loc || loc->extents.empty() || loc->constructionMethod > 1)
        return false;
    std::uint64_t begin = 0, end = sourceSize;
    if (loc->constructionMethod == 1) {
        if (!table.haveIdat)
            return false;
        begin = table.idat.payload();
        end = std::min(table.idat.end(), sourceSize);
    }
    std::uint64_t next = 0;
    for (std::size_t i = 0; i < loc->extents.size(); ++i) {
        const NRFHEIFExtent& e = loc->extents[i];
        const std::uint64_t relative = loc->baseOffset + e.offset;
        if (relative < loc->baseOffset || relative > end - begin)
            return false;
        const std::uint64_t at = begin + relative;
        // A zero length runs the extent to the end of its data.
        const std::uint64_t size = e.length == 0 ? end - at : e.length;
        if (size > end - at || (i > 0 && at != next))
            return false;
        if (i == 0)
            pos = at;
        next = at + size;
    }
    length = next - pos;
    return length != 0;
}

NRFErr NRFReadHEIFItems(NRFContext& context, NRFImageInfoRec& record, NRFByteSource& source) {
    try {
        auto info = std::make_shared<HEIFPluginPrivateInfo>();
        record.m_privateInfo = info;
        NRFHEIFItemTable table;
        if (const NRFErr err = NRFReadHEIFItemTable(source, table); err != 0)
            return err;
        info->mdatCount = table.mdatCount;
        if (!table.haveMeta) {
            LUMO_LOG("BMFF missing 'meta' in file '%s'", record.m_path.c_str());
            return kNRFErrBadFormat;
        }
        info->primaryItem = table.primaryItem;
        if (const NRFErr err = readExifItem(context, record, source, table, *info); err != 0)
            return err;
        if (const NRFHEIFItem* xmp = NRFHEIFFindXMPItem(table)) {
            std::uint64_t pos = 0, length = 0;
            if (!table.FindLocation(xmp->id)) {
                LUMO_LOG("ParseItemLocationBox: missing location item for XMP!");
            } else if (NRFHEIFItemExtent(table, xmp->id, source.Size(), pos, length) && pos32(pos) != 0 &&
                       length <= std::numeric_limits<std::uint32_t>::max()) {
                info->xmpItem = xmp->id;
                info->xmpOffset = pos;
                info->xmpLength = length;
                record.m_xmpPacketPos = pos32(pos);
                record.m_xmpPacketLength = static_cast<std::uint32_t>(length);
            } else {
                LUMO_LOG("BMFF XMP item outside file '%s'", record.m_path.c_str());
            }
        }
        readPrimaryProperties(record, source, table, *info);
        return 0;
    } catch (const std::bad_alloc&) {
        return kNRFErrMemory;
    } catch (const std::exception& e) {
        LUMO_LOG("Unexpected exception in NRFReadHEIFItems() %s", e.what());
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFReadHEIFItems()");
    }
    return kNRFErrException;
}

NRFErr NRFHEIFDecode(const std::string& path, std::uint32_t size, NRFBitmapBase& out,
                     const NRFEmbeddedImageLoc* exifThumbnail) {
    try {
        out.Clear();
        lumo::File file;
        if (file.open(path, lumo::File::Mode::Read) != 0)
            return kNRFErrOpen;
        NRFFileByteSource source(file);
        if (!isHEIFFile(source)) {
            LUMO_LOG("%s is not an HEIF/HEIC file.", path.c_str());
            return kNRFErrBadFormat;
        }
        // The sizes the file declares, read before libheif allocates anything for them.
        NRFHEIFItemTable table;
        const bool haveTable = NRFReadHEIFItemTable(source, table) == 0;
        const std::uint64_t maxBytes = NRFDecodeMemoryLimit();
        SourceReader reader{&source, 0};
        HeifContext heif = openContext(reader, path.c_str(), maxDecodeSide(maxBytes));
        if (!heif)
            return kNRFErrBadFormat;
        heif_image_handle* raw = nullptr;
        if (heif_context_get_primary_image_handle(heif.get(), &raw).code != heif_error_Ok || !raw)
            return kNRFErrBadFormat;
        HeifHandle handle(raw);
        // A stored thumbnail answers when its long side covers the wanted size.
        HeifHandle chosen;
        if (size != 0) {
            const int count = heif_image_handle_get_number_of_thumbnails(handle.get());
            std::vector<heif_item_id> ids(static_cast<std::size_t>(std::clamp(count, 0, 16)));
            const int listed = ids.empty() ? 0
                                           : heif_image_handle_get_list_of_thumbnail_IDs(
                                                 handle.get(), ids.data(), static_cast<int>(ids.size()));
            int best = 0;
            for (int i = 0; i < listed; ++i) {
                heif_image_handle* thumb = nullptr;
                if (heif_image_handle_get_thumbnail(handle.get(), ids[static_cast<std::size_t>(i)], &thumb)
                            .code != heif_error_Ok ||
                    !thumb)
                    continue;
                HeifHandle held(thumb);
                const int side =
                    std::max(heif_image_handle_get_width(thumb), heif_image_handle_get_height(thumb));
                if (side >= static_cast<int>(size) && (best == 0 || side < best)) {
                    best = side;
                    chosen = std::move(held);
                }
            }
        }
        // No stored thumbnail covers the size: the EXIF thumbnail may, as in a JPEG.
        if (!chosen && size != 0 && exifThumbnail && haveTable &&
            loadExifThumbnail(path, *exifThumbnail, table, source, size, out) == 0)
            return 0;
        const auto fits = [&](heif_image_handle* h) {
            std::uint64_t width = 0, height = 0;
            declaredSize(h, h == handle.get() && haveTable ? &table : nullptr, source, width, height);
            // At the peak: the coded planes and their conversion to RGB inside libheif, or that RGB
            // image and the copy made here, with room for the decoder's own picture buffers.
            const std::uint64_t perPixel = heif_image_handle_get_luma_bits_per_pixel(h) > 8 ? 10 : 8;
            return NRFCheckDecodeMemory("NRFHEIFDecode",
                                        width * height * perPixel + std::uint64_t{size} * size * 3, maxBytes);
        };
        NRFBitmapBase full;
        NRFErr err = 0;
        if (chosen) {
            err = fits(chosen.get());
            if (err == 0)
                err = decodeHandle(chosen.get(), full);
            if (err != 0) // a broken thumbnail: the main image still may do
                chosen.reset();
        }
        if (!chosen) {
            err = fits(handle.get());
            if (err == 0)
                err = decodeHandle(handle.get(), full);
        }
        if (err != 0)
            return err;
        if (size == 0) {
            std::swap(out, full);
            return 0;
        }
        return full.ScaleToFit(size, out) ? kNRFErrNone : kNRFErrMemory;
    } catch (const std::bad_alloc&) {
        return kNRFErrMemory;
    } catch (const std::exception& e) {
        LUMO_LOG("Unexpected exception in NRFHEIFDecode() %s", e.what());
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFHEIFDecode()");
    }
    return kNRFErrException;
}

void NRFInstallHEIFReader(const NRFFileTypeInfo&, NRFPluginFunctions& functions) {
    functions.GetImageInfo = &heifGetImageInfo;
    functions.HaveThumbnail = &heifQueryYes;
    functions.CanPreview = &heifQueryYes;
    functions.CanRender = &heifQueryYes;
    functions.LoadThumbnail = &heifLoadThumbnail;
    functions.LoadFuzzyThumbnail = &heifLoadPreview;
    functions.LoadPreview = &heifLoadPreview;
    functions.LoadImage = &heifLoadImage;
}
