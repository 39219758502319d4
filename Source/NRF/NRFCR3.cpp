// Canon CR3 raws are ISO base media files. What the engine wants from one lies in a few boxes:
//
//   ftyp                      major brand "crx "
//   moov
//     uuid 85c0b687-...       the metadata container: CMT1 (IFD0), CMT2 (EXIF IFD), CMT3 (maker notes),
//                             CMT4 (GPS IFD), each a TIFF structure of its own, and THMB (160 x 120 JPEG)
//     trak (one per image)    tkhd (track id), and under mdia/minf/stbl: stsd/CRAW (the image's size),
//                             stsz (sample sizes), co64 (chunk offsets); track 1 is the full-size JPEG
//   uuid be7acfcb-...         the XMP packet
//   uuid eaf42b5e-...         the preview container: PRVW (a 1620 x 1080 JPEG)
//   mdat                      the tracks' data
//
// Every size, offset and count is taken from the file and checked against the box it came from and
// the file before anything is read at it.

#include "NRF/NRFCR3.h"

#include "NRF/EXIFMakerNotes.h"
#include "NRF/EXIFUtils.h"
#include "NRF/NRF.h"
#include "NRF/NRFBasicBMFF.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFRawUtils.h"
#include "app/LumoLog.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>

namespace {

constexpr NRFErr kErrShortRead = 5;
constexpr NRFErr kErrBadBox = 10;

constexpr std::array<std::uint8_t, 16> kMetadataUUID = {0x85, 0xc0, 0xb6, 0x87, 0x82, 0x0f, 0x11, 0xe0,
                                                        0x81, 0x11, 0xf4, 0xce, 0x46, 0x2b, 0x6a, 0x48};
constexpr std::array<std::uint8_t, 16> kPreviewUUID = {0xea, 0xf4, 0x2b, 0x5e, 0x1c, 0x98, 0x4b, 0x88,
                                                       0xb9, 0xfb, 0xb7, 0xdc, 0x40, 0x6e, 0x4d, 0x16};
constexpr std::array<std::uint8_t, 16> kXMPUUID = {0xbe, 0x7a, 0xcf, 0xcb, 0x97, 0xa9, 0x42, 0xe8,
                                                   0x9c, 0x71, 0x99, 0x94, 0x91, 0xe3, 0xaf, 0xac};

// The preview container holds 8 bytes of its own between its identifier and its boxes.
constexpr std::uint64_t kPreviewContainerSkip = 16 + 8;
// THMB and PRVW: a 16-byte header (sizes and the JPEG's length), then the JPEG stream.
constexpr std::uint64_t kEmbeddedHeader = 16;
// A thumbnail bigger than this is not replaced by a later THMB.
constexpr std::uint64_t kLargeThumbnail = 65536;
constexpr std::uint32_t kMaxThumbnailSide = 1024;
// A first sample smaller than this cannot be the full-size JPEG.
constexpr std::uint64_t kMinFullSizeJPEG = 1001;
// CRAW: sample entry (6 reserved bytes, data reference index), 16 bytes of video fields, then the
// 16-bit width and height.
constexpr std::uint64_t kCRAWSizeAt = 24;

// One CMT block as a TIFF source: the block's bytes at their file positions, reads outside it failing.
class CMTBlockSource : public NRFByteSource {
public:
    CMTBlockSource(NRFByteSource& whole, std::uint64_t start, std::uint64_t end)
        : m_whole(whole), m_start(start), m_end(end) {}

    std::uint64_t Size() const override { return m_end; }
    bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size) override {
        if (offset < m_start || offset > m_end || size > m_end - offset)
            return false;
        return m_whole.ReadAt(offset, buffer, size);
    }

private:
    NRFByteSource& m_whole;
    std::uint64_t m_start, m_end;
};

class CR3Reader {
public:
    CR3Reader(NRFContext& context, NRFImageInfoRec& record, NRFByteSource& source)
        : m_context(context), m_record(record), m_source(source), m_walker(source) {}

    NRFErr Read();

private:
    NRFErr box(const NRFBMFFBox& b);
    NRFErr container(const NRFBMFFBox& b, std::uint64_t skip) {
        return m_walker.WalkChildren(b, skip, [this](const NRFBMFFBox& child) { return box(child); });
    }
    NRFErr fileType(const NRFBMFFBox& b);
    NRFErr uuid(const NRFBMFFBox& b);
    NRFErr trackHeader(const NRFBMFFBox& b);
    NRFErr rawSampleEntry(const NRFBMFFBox& b);
    NRFErr chunkOffsets(const NRFBMFFBox& b);
    void sampleSizes(const NRFBMFFBox& b);
    NRFErr tiffBlock(const NRFBMFFBox& b, int which);
    NRFErr thumbnail(const NRFBMFFBox& b);
    NRFErr preview(const NRFBMFFBox& b);
    NRFErr finish();

    // Reads the 16-byte THMB/PRVW header and checks the JPEG after it: false (with `err` set when the
    // box is malformed) when there is nothing to take.
    struct Embedded {
        std::uint32_t width = 0, height = 0;
        std::uint64_t length = 0;
        bool jpeg = false; // the stream starts FF D8 FF DB and lies inside the box
    };
    NRFErr embedded(const NRFBMFFBox& b, std::uint64_t widthAt, std::uint64_t lengthAt, const char* readError,
                    const char* formatError, Embedded& out);
    bool startsWith(std::uint64_t pos, const unsigned char* bytes, std::size_t count);
    // Logs a box's failure (which ends the walk).
    void report(const char* text) {
        LUMO_LOG("%s", text);
        m_reported = true;
    }

    NRFContext& m_context;
    NRFImageInfoRec& m_record;
    NRFByteSource& m_source;
    NRFBMFFWalker m_walker;

    std::uint32_t m_track = 0; // the id of the track being walked (0 outside a track)
    struct {
        std::uint32_t width = 0, height = 0;
        std::uint64_t offset = 0, size = 0;
    } m_track1;
    NRFEmbeddedImageLoc m_thumbnail, m_preview;
    bool m_reported = false;
};

NRFErr CR3Reader::Read() {
    NRFBMFFBox first;
    const NRFErr err = m_walker.ReadHeader(0, m_source.Size(), std::string(), 0, first);
    if (err != 0 || !first.is("ftyp")) {
        LUMO_LOG("Error reading CR3 ftyp atom");
        return err != 0 ? err : kNRFErrBadFormat;
    }
    if (const NRFErr walk = m_walker.Walk(0, m_source.Size(), [this](const NRFBMFFBox& b) { return box(b); });
        walk != 0)
        return walk;
    return finish();
}

NRFErr CR3Reader::box(const NRFBMFFBox& b) {
    if (b.is("ftyp"))
        return b.depth == 0 ? fileType(b) : 0;
    if (b.is("moov") || b.is("mdia") || b.is("minf") || b.is("stbl"))
        return container(b, 0);
    if (b.is("trak")) {
        m_track = 0;
        const NRFErr err = container(b, 0);
        m_track = 0;
        return err;
    }
    if (b.is("stsd"))
        return container(b, 8); // version, flags and entry count
    if (b.is("uuid"))
        return uuid(b);
    if (b.is("tkhd"))
        return trackHeader(b);
    if (b.is("CRAW"))
        return rawSampleEntry(b);
    if (b.is("co64"))
        return chunkOffsets(b);
    if (b.is("stsz")) {
        sampleSizes(b);
        return 0;
    }
    if (b.is("CMT1"))
        return tiffBlock(b, 1);
    if (b.is("CMT2"))
        return tiffBlock(b, 2);
    if (b.is("CMT3"))
        return tiffBlock(b, 3);
    if (b.is("CMT4"))
        return tiffBlock(b, 4);
    if (b.is("THMB"))
        return thumbnail(b);
    if (b.is("PRVW"))
        return preview(b);
    return 0;
}

NRFErr CR3Reader::fileType(const NRFBMFFBox& b) {
    std::uint32_t brand = 0;
    if (b.payloadSize() < 4 || !m_walker.ReadU32(b.payload(), brand)) {
        report("Error reading CR3 ftyp atom");
        return kErrShortRead;
    }
    return brand == NRFBMFFType("crx ") ? kNRFErrNone : kNRFErrBadFormat;
}

NRFErr CR3Reader::uuid(const NRFBMFFBox& b) {
    if (!b.hasUUID)
        return 0;
    if (b.isUUID(kXMPUUID)) {
        const std::uint64_t pos = b.payload() + 16, length = b.payloadSize() - 16;
        if (length != 0 && pos + length <= 0xFFFFFFFFull) {
            m_record.m_xmpPacketPos = static_cast<std::uint32_t>(pos);
            m_record.m_xmpPacketLength = static_cast<std::uint32_t>(length);
        }
        return 0;
    }
    NRFErr err = 0;
    if (b.isUUID(kMetadataUUID))
        err = container(b, 16);
    else if (b.isUUID(kPreviewUUID)) {
        err = container(b, kPreviewContainerSkip);
        if (err == kErrBadBox || err == kErrShortRead) {
            // A damaged preview container (a cut-down or truncated file) costs the preview, not the
            // photo's information: the metadata blocks and track 1 stand on their own.
            if (!m_reported)
                report("Error reading CR3 PRVW atom");
            return 0;
        }
    }
    // A child's own failure has been logged under its name.
    if ((err == kErrBadBox || err == kErrShortRead) && !m_reported)
        report("Error reading CR3 uuid atom");
    return err;
}

NRFErr CR3Reader::trackHeader(const NRFBMFFBox& b) {
    std::uint8_t version = 0;
    if (!m_walker.ReadU8(b.payload(), version)) {
        report("Error reading CR3 tkhd atom");
        return kErrShortRead;
    }
    // Version, flags, creation and modification times (32 or 64 bits each), then the track id.
    const std::uint64_t idAt = version == 1 ? 20 : 12;
    if (b.payloadSize() < idAt + 4) {
        report("CR3 tkhd error");
        return kErrBadBox;
    }
    if (!m_walker.ReadU32(b.payload() + idAt, m_track)) {
        report("Error reading CR3 tkhd atom");
        return kErrShortRead;
    }
    return 0;
}

NRFErr CR3Reader::rawSampleEntry(const NRFBMFFBox& b) {
    std::uint16_t width = 0, height = 0;
    if (b.payloadSize() < kCRAWSizeAt + 4 || !m_walker.ReadU16(b.payload() + kCRAWSizeAt, width) ||
        !m_walker.ReadU16(b.payload() + kCRAWSizeAt + 2, height)) {
        report("CR3 CRAW error");
        return kErrBadBox;
    }
    if (m_track == 1) {
        m_track1.width = width;
        m_track1.height = height;
    }
    return 0;
}

NRFErr CR3Reader::chunkOffsets(const NRFBMFFBox& b) {
    if (m_track != 1)
        return 0;
    // Version and flags, entry count, then 64-bit offsets.
    std::uint32_t count = 0;
    if (b.payloadSize() < 8 || !m_walker.ReadU32(b.payload() + 4, count) ||
        (count != 0 && (b.payloadSize() < 16 || !m_walker.ReadU64(b.payload() + 8, m_track1.offset)))) {
        report("CR3 co64 error");
        return kErrBadBox;
    }
    return 0;
}

void CR3Reader::sampleSizes(const NRFBMFFBox& b) {
    if (m_track != 1)
        return;
    // Version and flags, a size shared by every sample (0: each has its own), the count, the sizes.
    std::uint32_t shared = 0, count = 0, first = 0;
    if (b.payloadSize() < 12 || !m_walker.ReadU32(b.payload() + 4, shared) ||
        !m_walker.ReadU32(b.payload() + 8, count) || count == 0)
        return;
    if (shared != 0)
        first = shared;
    else if (b.payloadSize() < 16 || !m_walker.ReadU32(b.payload() + 12, first))
        return;
    // A size that cannot be a full-size JPEG of this file (the sample of a truncated file) is left out.
    if (first >= kMinFullSizeJPEG && first < m_source.Size() / 2)
        m_track1.size = first;
}

NRFErr CR3Reader::tiffBlock(const NRFBMFFBox& b, int which) {
    static const char* const kReadErrors[] = {"", "Error reading CR3 CMT1 atom",
                                              "Error reading CR3 CMT2 atom", "Error reading CR3 CMT3 atom",
                                              "Error reading CR3 CMT4 atom"};
    // TIFF offsets are 32-bit: a larger block cannot be a TIFF structure.
    if (b.payloadSize() > 0xFFFF0000u) {
        report("CR3 TIFF error");
        return kErrBadBox;
    }
    unsigned char header[4];
    if (b.payloadSize() < 8 || !m_source.ReadAt(b.payload(), header, sizeof header)) {
        report(kReadErrors[which]);
        return kErrShortRead;
    }
    CMTBlockSource block(m_source, b.payload(), b.end());
    NRFBasicTIFF tiff(block, b.payload());
    const bool tiffSignature = (std::memcmp(header, "II*\0", 4) == 0 || std::memcmp(header, "MM\0*", 4) == 0);
    if (!tiffSignature || !tiff.ReadHeader()) {
        report("CR3 bad TIFF signature");
        return kNRFErrBadFormat;
    }

    EXIFParseOptions options;
    options.fileType = m_record.m_fileType;
    options.strictExif = m_context.strictExif;
    EXIFParser parser(m_record, tiff, options);
    NRFErr err = 0;
    switch (which) {
    case 1: // IFD0 of the image
        m_record.m_tiffBigEndian = tiff.BigEndian();
        err = parser.ParseIFD0();
        break;
    case 2: // the EXIF IFD, which no IFD0 of the file points at
        err = parser.ParseExifIFDAt(tiff.IFD0Offset());
        break;
    case 3: { // the maker's own IFD after a TIFF header; its offsets count from that header
        const std::uint64_t pos = b.payload() + tiff.IFD0Offset();
        if (pos >= b.end() || pos > 0xFFFFFFFFull)
            break;
        m_record.m_makerNotePos = static_cast<std::uint32_t>(pos);
        m_record.m_makerNoteLength =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(b.end() - pos, 0xFFFFFFFFu));
        EXIFParseMakerNote(m_record, block, pos, b.end() - pos, b.payload(), tiff.BigEndian(),
                           m_record.m_fileType);
        break;
    }
    default: { // the GPS IFD
        err = parser.ParseGPSIFDAt(tiff.IFD0Offset());
        if (err != 0) {
            report("CR3 GPS error");
            return err;
        }
        return 0;
    }
    }
    if (err != 0)
        report("CR3 TIFF error");
    return err;
}

bool CR3Reader::startsWith(std::uint64_t pos, const unsigned char* bytes, std::size_t count) {
    unsigned char got[4];
    return count <= sizeof got && m_source.ReadAt(pos, got, count) && std::memcmp(got, bytes, count) == 0;
}

NRFErr CR3Reader::embedded(const NRFBMFFBox& b, std::uint64_t widthAt, std::uint64_t lengthAt,
                           const char* readError, const char* formatError, Embedded& out) {
    if (b.payloadSize() < kEmbeddedHeader) {
        report(formatError);
        return kErrBadBox;
    }
    std::uint16_t width = 0, height = 0;
    std::uint32_t length = 0;
    if (!m_walker.ReadU16(b.payload() + widthAt, width) ||
        !m_walker.ReadU16(b.payload() + widthAt + 2, height) ||
        !m_walker.ReadU32(b.payload() + lengthAt, length)) {
        report(readError);
        return kErrShortRead;
    }
    out.width = width;
    out.height = height;
    out.length = length;
    static const unsigned char kJPEGStart[] = {0xFF, 0xD8, 0xFF, 0xDB};
    const std::uint64_t room = b.payloadSize() - kEmbeddedHeader;
    const std::uint64_t jpegAt = b.payload() + kEmbeddedHeader;
    out.jpeg = length >= sizeof kJPEGStart && length <= room && jpegAt + length <= 0xFFFFFFFFull &&
               startsWith(jpegAt, kJPEGStart, sizeof kJPEGStart);
    return 0;
}

NRFErr CR3Reader::thumbnail(const NRFBMFFBox& b) {
    // Version and flags, width, height, the JPEG's length, 4 more bytes.
    Embedded e;
    if (const NRFErr err = embedded(b, 4, 8, "Error reading CR3 THMB atom", "CR3 THMB error", e); err != 0)
        return err;
    if (!e.jpeg || e.width > kMaxThumbnailSide || e.height > kMaxThumbnailSide ||
        m_thumbnail.length > kLargeThumbnail)
        return 0;
    m_thumbnail = NRFEmbeddedImageLoc{static_cast<std::uint32_t>(b.payload() + kEmbeddedHeader),
                                      static_cast<std::uint32_t>(e.length), e.width, e.height};
    return 0;
}

NRFErr CR3Reader::preview(const NRFBMFFBox& b) {
    // 6 bytes, width, height, 2 bytes, the JPEG's length.
    Embedded e;
    if (const NRFErr err = embedded(b, 6, 12, "Error reading CR3 PRVW atom", "CR3 PRVW error", e); err != 0)
        return err;
    if (!e.jpeg || e.width <= m_thumbnail.width || e.height <= m_thumbnail.height || e.length == 0)
        return 0;
    m_preview = NRFEmbeddedImageLoc{static_cast<std::uint32_t>(b.payload() + kEmbeddedHeader),
                                    static_cast<std::uint32_t>(e.length), e.width, e.height};
    return 0;
}

NRFErr CR3Reader::finish() {
    NRFImageInfoRec& r = m_record;
    // Track 1's sample is the full-size JPEG; it replaces a smaller preview when it lies in the file.
    const std::uint64_t fileSize = m_source.Size();
    if (m_track1.width > m_preview.width && m_track1.height > m_preview.height && m_track1.offset != 0 &&
        m_track1.size != 0 && m_track1.offset < fileSize && m_track1.size <= fileSize - m_track1.offset &&
        m_track1.offset + m_track1.size <= 0xFFFFFFFFull)
        m_preview =
            NRFEmbeddedImageLoc{static_cast<std::uint32_t>(m_track1.offset),
                                static_cast<std::uint32_t>(m_track1.size), m_track1.width, m_track1.height};
    static const unsigned char kJPEGStart[] = {0xFF, 0xD8, 0xFF};
    if (m_preview.present() && !startsWith(m_preview.offset, kJPEGStart, sizeof kJPEGStart))
        m_preview = NRFEmbeddedImageLoc{};

    r.m_thumbnail = m_thumbnail;
    r.m_thumbnailIsJPEG = m_thumbnail.present();
    r.m_preview = NRFEmbeddedImageLoc{};
    r.m_previewIsJPEG = false;
    if (m_preview.present())
        NRFSetJPEGPreview(r, m_preview);

    // The image is the size of the full-size JPEG: the size track 1 gives it, which is also the size of
    // the preview it becomes. A file whose track 1 data is missing (cut short) still has that size.
    r.m_width = m_track1.width != 0 && m_track1.height != 0 ? m_track1.width : m_preview.width;
    r.m_height = m_track1.width != 0 && m_track1.height != 0 ? m_track1.height : m_preview.height;
    if (r.m_width == 0 || r.m_height == 0) {
        LUMO_LOG("CR3 width(%lu) or height(%lu) for file \"%s\" are bogus",
                 static_cast<unsigned long>(r.m_width), static_cast<unsigned long>(r.m_height),
                 r.m_path.c_str());
        return kNRFErrBadFormat;
    }
    NRFSetDisplaySize(r);
    // The colour space came with the EXIF IFD (CMT2). The image's prefs are read here once the engine
    // keeps them for raws.
    r.m_hasInfo = true;
    return kNRFErrNone;
}

NRFErr cr3GetImageInfo(NRFContext& context, NRFImageInfoRec& record, lumo::File& file) {
    NRFFileByteSource source(file);
    return NRFReadCR3Structure(context, record, source);
}

} // namespace

NRFErr NRFReadCR3Structure(NRFContext& context, NRFImageInfoRec& record, NRFByteSource& source) {
    try {
        CR3Reader reader(context, record, source);
        return reader.Read();
    } catch (const std::bad_alloc&) {
        return kNRFErrMemory;
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFGetImageInfo()");
        return kNRFErrException;
    }
}

NRFGetImageInfoProc NRFCR3ReaderGetImageInfo() {
    return &cr3GetImageInfo;
}
