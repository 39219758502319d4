// XMP packets in their containers and the one rewrite of a file's metadata blocks. A rewrite reads the
// file once (a TIFF-structured file is streamed, because its new IFD0 is only appended), makes the new
// file in memory from the old bytes, checks that the new bytes carry exactly the blocks asked for, writes
// them once beside the file, reads them back and only then renames them over the file.

#include "NRF/NRFXMPBlocks.h"

#include "NRF/NRF.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFBlockBytes.h"
#include "NRF/NRFHEIF.h"
#include "NRF/NRFIPTCBlocks.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFImagePrefs.h"
#include "app/LumoLog.h"
#include "support/FileIO.h"

#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <thread>

namespace {

constexpr char kXMPSignature[] = "http://ns.adobe.com/xap/1.0/";             // and its NUL: 29 bytes
constexpr char kExtensionSignature[] = "http://ns.adobe.com/xmp/extension/"; // and its NUL: 35 bytes
constexpr std::size_t kXMPHeader = sizeof kXMPSignature;
constexpr std::size_t kExtensionHeader = sizeof kExtensionSignature + 32 + 4 + 4;
constexpr char kPhotoshop[] = "Photoshop 3.0";
constexpr std::uint16_t kTagXMP = 700;
constexpr std::uint16_t kTagIPTC = 33723;
constexpr std::uint16_t kResourceXMP = 0x0424;
constexpr char kPNGKeyword[] = "XML:com.adobe.xmp";
constexpr char kGIFIdentifier[] = "XMP DataXMP"; // 11 bytes, no NUL
constexpr std::size_t kGIFMagicLength = 258;
constexpr unsigned kMaxSegments = 100000;
constexpr unsigned kMaxChunks = 1000000;
// Files made in memory; a larger file of these types is refused.
constexpr std::uint64_t kMaxInMemoryFile = 1ull << 30;

constexpr NRFFileType typeOf(const char (&code)[5]) {
    return NRFMakeFileType(code);
}

bool readBytes(NRFByteSource& source, std::uint64_t pos, std::uint64_t length, std::string& out) {
    return NRFReadBlockBytes(source, pos, length, kNRFMaxXMPPacket, out);
}

// What kind of container a type is.
enum class Container { None, JPEG, TIFF, PSD, PNG, GIF, HEIF };

Container containerOf(NRFFileType type) {
    if (type == kNRFTypeJPEG)
        return Container::JPEG;
    if (type == typeOf("APSD"))
        return Container::PSD;
    if (type == typeOf("PNGf"))
        return Container::PNG;
    if (type == typeOf("GIFf"))
        return Container::GIF;
    if (type == kNRFTypeHEIC || type == kNRFTypeHEIF)
        return Container::HEIF;
    if (type == kNRFTypeTIFF || type == kNRFTypeADNG)
        return Container::TIFF;
    const int index = NRFFindFileType(type);
    const NRFFileTypeInfo* row = index >= 0 ? NRFGetFileTypeInfo(index) : nullptr;
    if (row && row->metadataStorage == kNRFStorageTIFFRaw && (row->capabilities & kNRFCapIPTC))
        return Container::TIFF;
    return Container::None;
}

// ---- JPEG ------------------------------------------------------------------------------------------

struct JPEGSegment {
    enum Kind { Other, App0, Exif, XMP, Extension, Photoshop };
    std::uint64_t pos = 0, size = 0; // the whole segment, marker included
    Kind kind = Other;
};

// The segments before the first scan (fill bytes and stand-alone markers are not listed). False when
// the markers cannot be walked to a scan or the end of the image.
bool listJPEGSegments(NRFByteSource& source, std::vector<JPEGSegment>& out) {
    return NRFWalkJPEGSegments(
        source, kMaxSegments, [&](unsigned marker, std::uint64_t pos, std::uint64_t length) {
            unsigned char b[kExtensionHeader];
            JPEGSegment segment{pos, length + 2, JPEGSegment::Other};
            const std::size_t head =
                static_cast<std::size_t>(std::min<std::uint64_t>(length - 2, kExtensionHeader));
            if (head != 0 && !source.ReadAt(pos + 4, b, head))
                return false;
            const auto starts = [&](const char* text, std::size_t n) {
                return head >= n && std::memcmp(b, text, n) == 0;
            };
            if (marker == 0xE0)
                segment.kind = JPEGSegment::App0;
            else if (marker == 0xE1 && starts("Exif\0", 5))
                segment.kind = JPEGSegment::Exif;
            else if (marker == 0xE1 && starts(kXMPSignature, kXMPHeader))
                segment.kind = JPEGSegment::XMP;
            else if (marker == 0xE1 && head >= kExtensionHeader &&
                     starts(kExtensionSignature, sizeof kExtensionSignature))
                segment.kind = JPEGSegment::Extension;
            else if (marker == 0xED && starts(kPhotoshop, sizeof kPhotoshop))
                segment.kind = JPEGSegment::Photoshop;
            out.push_back(segment);
            return true;
        });
}

// The GUID a main packet names in xmpNote:HasExtendedXMP (attribute or element form); empty when none.
std::string extendedGUIDOf(const std::string& packet) {
    const std::size_t at = packet.find("HasExtendedXMP");
    if (at == std::string::npos)
        return {};
    std::size_t pos = at + 14;
    while (pos < packet.size() && pos < at + 64 &&
           (packet[pos] == '=' || packet[pos] == '"' || packet[pos] == '\'' || packet[pos] == '>' ||
            std::isspace(static_cast<unsigned char>(packet[pos]))))
        ++pos;
    if (packet.size() - pos < 32)
        return {};
    std::string guid = packet.substr(pos, 32);
    for (char c : guid)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return {};
    return guid;
}

struct ExtensionChunk {
    std::uint32_t full = 0, offset = 0;
    std::uint64_t pos = 0, length = 0; // the chunk's bytes in the file
};

// Joins the extension chunks of `guid`: they must agree on the full length and cover it exactly.
bool joinExtension(NRFByteSource& source, std::vector<ExtensionChunk> chunks, std::string& out) {
    out.clear();
    if (chunks.empty())
        return false;
    std::sort(chunks.begin(), chunks.end(),
              [](const ExtensionChunk& a, const ExtensionChunk& b) { return a.offset < b.offset; });
    const std::uint32_t full = chunks.front().full;
    if (full == 0 || full > kNRFMaxXMPPacket)
        return false;
    std::uint64_t covered = 0;
    for (const ExtensionChunk& c : chunks) {
        if (c.full != full || c.offset != covered || c.length > full - covered)
            return false;
        std::string piece;
        if (!readBytes(source, c.pos, c.length, piece))
            return false;
        out += piece;
        covered += c.length;
    }
    if (covered != full) {
        out.clear();
        return false;
    }
    return true;
}

// The extension of `main` found in the segments; dropped (empty) when partial or inconsistent.
void readExtension(NRFByteSource& source, const std::vector<JPEGSegment>& segments, NRFXMPPackets& out) {
    const std::string guid = extendedGUIDOf(out.main);
    if (guid.empty())
        return;
    std::vector<ExtensionChunk> chunks;
    for (const JPEGSegment& s : segments) {
        if (s.kind != JPEGSegment::Extension)
            continue;
        unsigned char head[kExtensionHeader];
        if (!source.ReadAt(s.pos + 4, head, sizeof head) ||
            std::memcmp(head + sizeof kExtensionSignature, guid.data(), 32) != 0)
            continue;
        const std::uint64_t at = sizeof kExtensionSignature + 32;
        chunks.push_back({NRFBE32(head + at), NRFBE32(head + at + 4), s.pos + 4 + kExtensionHeader,
                          s.size - 4 - kExtensionHeader});
    }
    if (chunks.empty())
        return;
    if (!joinExtension(source, chunks, out.extended)) {
        LUMO_LOG("NRFLoadXMP() the extended XMP %s is partial or inconsistent; only the main packet is read",
                 guid.c_str());
        out.extended.clear();
        return;
    }
    out.extendedGUID = guid;
}

// ---- PNG ---------------------------------------------------------------------------------------------

constexpr unsigned char kPNGSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

struct PNGChunk {
    std::uint64_t pos = 0, length = 0; // pos: the length field; length: the data's
    std::uint32_t type = 0;
};

bool listPNGChunks(NRFByteSource& source, std::vector<PNGChunk>& out) {
    unsigned char b[8];
    if (source.Size() < 8 || !source.ReadAt(0, b, 8) || std::memcmp(b, kPNGSignature, 8) != 0)
        return false;
    std::uint64_t pos = 8;
    for (unsigned count = 0; count < kMaxChunks; ++count) {
        if (source.Size() - pos < 12 || !source.ReadAt(pos, b, 8))
            return false;
        const PNGChunk chunk{pos, NRFBE32(b), NRFBE32(b + 4)};
        if (chunk.length > source.Size() - pos - 12)
            return false;
        out.push_back(chunk);
        pos += chunk.length + 12;
        if (chunk.type == NRFMakeFileType("IEND"))
            return true;
    }
    return false;
}

bool inflateBounded(const std::string& in, std::string& out) {
    out.clear();
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        return false;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    char buffer[65536];
    int result = Z_OK;
    while (result == Z_OK) {
        z.next_out = reinterpret_cast<Bytef*>(buffer);
        z.avail_out = sizeof buffer;
        result = inflate(&z, Z_NO_FLUSH);
        const std::size_t got = sizeof buffer - z.avail_out;
        if (out.size() + got > kNRFMaxXMPPacket) {
            result = Z_MEM_ERROR;
            break;
        }
        out.append(buffer, got);
        if (result == Z_BUF_ERROR || (result == Z_OK && got == 0 && z.avail_in == 0))
            break;
    }
    inflateEnd(&z);
    if (result != Z_STREAM_END)
        out.clear();
    return result == Z_STREAM_END;
}

// The packet of an iTXt chunk's data when it is the XMP one; `isXMP` says whether it was.
bool readPNGText(const std::string& data, bool& isXMP, std::string& packet) {
    isXMP = false;
    const std::size_t keywordEnd = data.find('\0');
    if (keywordEnd == std::string::npos || data.compare(0, keywordEnd, kPNGKeyword) != 0)
        return true;
    isXMP = true;
    std::size_t at = keywordEnd + 1;
    if (data.size() - at < 2)
        return false;
    const bool compressed = data[at] != 0;
    at += 2;
    for (int field = 0; field < 2; ++field) {
        const std::size_t nul = data.find('\0', at);
        if (nul == std::string::npos)
            return false;
        at = nul + 1;
    }
    if (!compressed) {
        packet = data.substr(at);
        return true;
    }
    return inflateBounded(data.substr(at), packet);
}

std::string pngChunk(const char* type, const std::string& data) {
    std::string out;
    NRFPutBE32(out, static_cast<std::uint32_t>(data.size()));
    out.append(type, 4);
    out += data;
    uLong crc = crc32(0L, Z_NULL, 0);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(out.data() + 4), static_cast<uInt>(data.size() + 4));
    NRFPutBE32(out, static_cast<std::uint32_t>(crc));
    return out;
}

// ---- GIF ---------------------------------------------------------------------------------------------

std::string gifMagicTrailer() {
    std::string magic(1, '\x01');
    for (int v = 0xFF; v >= 0; --v)
        magic.push_back(static_cast<char>(v));
    magic.push_back('\0');
    return magic; // 258 bytes
}

struct GIFBlock {
    std::uint64_t pos = 0, size = 0;
    bool xmp = false;
    std::uint64_t dataPos = 0; // XMP: after the identifier
};

// Walks the sub-blocks from `pos`; the position after the terminator, or 0.
std::uint64_t skipSubBlocks(NRFByteSource& source, std::uint64_t pos) {
    const std::uint64_t size = source.Size();
    for (std::uint64_t count = 0; count < size; ++count) {
        unsigned char n = 0;
        if (pos >= size || !source.ReadAt(pos, &n, 1))
            return 0;
        pos += 1;
        if (n == 0)
            return pos;
        pos += n;
    }
    return 0;
}

// Blocks after the header and the global colour table up to the trailer (`trailer` its position).
bool listGIFBlocks(NRFByteSource& source, std::vector<GIFBlock>& out, std::uint64_t& trailer) {
    unsigned char b[16];
    if (source.Size() < 13 || !source.ReadAt(0, b, 13) ||
        (std::memcmp(b, "GIF87a", 6) != 0 && std::memcmp(b, "GIF89a", 6) != 0))
        return false;
    std::uint64_t pos = 13;
    if (b[10] & 0x80)
        pos += 3u << ((b[10] & 7) + 1);
    for (unsigned count = 0; count < kMaxChunks; ++count) {
        if (pos >= source.Size() || !source.ReadAt(pos, b, 1))
            return false;
        if (b[0] == 0x3B) {
            trailer = pos;
            return true;
        }
        GIFBlock block{pos, 0, false, 0};
        std::uint64_t end = 0;
        if (b[0] == 0x21) {
            if (source.Size() - pos < 2 || !source.ReadAt(pos + 1, b + 1, 1))
                return false;
            if (b[1] == 0xFF && source.Size() - pos >= 14 && source.ReadAt(pos + 2, b + 2, 12) &&
                b[2] == 11 && std::memcmp(b + 3, kGIFIdentifier, 11) == 0) {
                block.xmp = true;
                block.dataPos = pos + 14;
            }
            end = skipSubBlocks(source, pos + 2);
        } else if (b[0] == 0x2C) {
            if (source.Size() - pos < 11 || !source.ReadAt(pos, b, 10))
                return false;
            std::uint64_t at = pos + 10;
            if (b[9] & 0x80)
                at += 3u << ((b[9] & 7) + 1);
            end = skipSubBlocks(source, at + 1); // after the LZW code size
        } else {
            return false;
        }
        if (end == 0)
            return false;
        block.size = end - pos;
        out.push_back(block);
        pos = end;
    }
    return false;
}

// The packet of an XMP application extension: the bytes between the identifier and the magic trailer.
bool gifPacket(NRFByteSource& source, const GIFBlock& block, std::string& packet) {
    const std::uint64_t end = block.pos + block.size;
    if (end - block.dataPos < kGIFMagicLength)
        return false;
    std::string magic;
    if (!readBytes(source, end - kGIFMagicLength, kGIFMagicLength, magic) || magic != gifMagicTrailer())
        return false;
    return readBytes(source, block.dataPos, end - kGIFMagicLength - block.dataPos, packet);
}

// ---- HEIF --------------------------------------------------------------------------------------------

} // namespace

bool NRFXMPReadHEIF(NRFByteSource& source, std::string& packet) {
    packet.clear();
    NRFHEIFItemTable table;
    if (NRFReadHEIFItemTable(source, table) != 0)
        return false;
    const NRFHEIFItem* item = NRFHEIFFindXMPItem(table);
    if (!item)
        return true;
    std::uint64_t pos = 0, length = 0;
    return NRFHEIFItemExtent(table, item->id, source.Size(), pos, length) &&
           readBytes(source, pos, length, packet);
}

namespace {

// ---- reading any container ---------------------------------------------------------------------------

bool readContainer(Container container, NRFByteSource& source, NRFXMPPackets& out) {
    out = NRFXMPPackets{};
    switch (container) {
    case Container::JPEG:
        return NRFXMPReadJPEG(source, out);
    case Container::TIFF:
        return NRFXMPReadTIFF(source, out.main);
    case Container::PSD:
        return NRFXMPReadPSD(source, out.main);
    case Container::PNG:
        return NRFXMPReadPNG(source, out.main);
    case Container::GIF:
        return NRFXMPReadGIF(source, out.main);
    case Container::HEIF:
        return NRFXMPReadHEIF(source, out.main);
    case Container::None:
        return true;
    }
    return false;
}

bool readIIM(Container container, NRFByteSource& source, std::string& block) {
    block.clear();
    switch (container) {
    case Container::JPEG:
        return NRFIPTCReadJPEGBlock(source, block);
    case Container::TIFF:
        return NRFIPTCReadTIFFBlock(source, block);
    case Container::PSD:
        return NRFIPTCReadPSDBlock(source, block);
    default:
        return true;
    }
}

// ---- planning ----------------------------------------------------------------------------------------

std::string applySplice(const std::string& file, const NRFIPTCSplice& plan) {
    std::string out;
    std::size_t total = 0;
    for (const NRFIPTCSplice::Piece& p : plan.pieces)
        total += p.bytes.empty() ? static_cast<std::size_t>(p.length) : p.bytes.size();
    out.reserve(total);
    for (const NRFIPTCSplice::Piece& p : plan.pieces) {
        if (p.bytes.empty())
            out.append(file, static_cast<std::size_t>(p.from), static_cast<std::size_t>(p.length));
        else
            out += p.bytes;
    }
    return out;
}

bool planJPEG(const std::string& file, const NRFMetadataWrite& write, std::string& out) {
    const std::string* source = &file;
    std::string withIIM;
    if (write.iim) {
        NRFMemoryByteSource bytes(file.data(), file.size());
        NRFIPTCSplice plan;
        if (!NRFIPTCPlanJPEG(bytes, *write.iim, plan))
            return false;
        withIIM = applySplice(file, plan);
        source = &withIIM;
    }
    if (!write.xmp) {
        out = *source;
        return true;
    }
    const NRFXMPPackets& xmp = *write.xmp;
    if (xmp.main.size() > kNRFMaxJPEGXMPMain || xmp.extended.size() > kNRFMaxXMPPacket ||
        (!xmp.extended.empty() && (xmp.extendedGUID.size() != 32 || xmp.main.empty()))) {
        LUMO_LOG("NRFSaveMetadataBlocks() the XMP packet does not fit a JPEG segment (%zu bytes)",
                 xmp.main.size());
        return false;
    }
    NRFMemoryByteSource bytes(source->data(), source->size());
    std::vector<JPEGSegment> segments;
    if (!listJPEGSegments(bytes, segments))
        return false;
    std::string fresh;
    if (!xmp.main.empty()) {
        fresh += "\xFF\xE1";
        NRFPutBE16(fresh, static_cast<std::uint32_t>(2 + kXMPHeader + xmp.main.size()));
        fresh.append(kXMPSignature, kXMPHeader);
        fresh += xmp.main;
        for (std::size_t at = 0; at < xmp.extended.size(); at += kNRFMaxJPEGXMPChunk) {
            const std::size_t n = std::min(kNRFMaxJPEGXMPChunk, xmp.extended.size() - at);
            fresh += "\xFF\xE1";
            NRFPutBE16(fresh, static_cast<std::uint32_t>(2 + kExtensionHeader + n));
            fresh.append(kExtensionSignature, sizeof kExtensionSignature);
            fresh += xmp.extendedGUID;
            NRFPutBE32(fresh, static_cast<std::uint32_t>(xmp.extended.size()));
            NRFPutBE32(fresh, static_cast<std::uint32_t>(at));
            fresh.append(xmp.extended, at, n);
        }
    }
    // In place of the old packet; else after SOI, the JFIF segment and the EXIF segment.
    std::uint64_t insertAt = 2;
    bool haveOld = false;
    for (const JPEGSegment& s : segments)
        if (s.kind == JPEGSegment::XMP) {
            insertAt = s.pos;
            haveOld = true;
            break;
        }
    if (!haveOld)
        for (const JPEGSegment& s : segments) {
            if (s.kind != JPEGSegment::App0 && s.kind != JPEGSegment::Exif)
                break;
            insertAt = s.pos + s.size;
        }
    out.clear();
    out.reserve(source->size() + fresh.size());
    std::uint64_t pos = 0;
    bool placed = false;
    const auto place = [&](std::uint64_t upTo) {
        out.append(*source, static_cast<std::size_t>(pos), static_cast<std::size_t>(upTo - pos));
        pos = upTo;
        if (!placed && pos >= insertAt) {
            out += fresh;
            placed = true;
        }
    };
    for (const JPEGSegment& s : segments) {
        if (s.kind != JPEGSegment::XMP && s.kind != JPEGSegment::Extension)
            continue;
        if (!placed && insertAt < s.pos)
            place(insertAt);
        place(s.pos);
        pos = s.pos + s.size;
    }
    if (!placed)
        place(std::max<std::uint64_t>(insertAt, pos));
    out.append(*source, static_cast<std::size_t>(pos), std::string::npos);
    return true;
}

bool planPNG(const std::string& file, const NRFMetadataWrite& write, std::string& out) {
    NRFMemoryByteSource bytes(file.data(), file.size());
    std::vector<PNGChunk> chunks;
    if (!listPNGChunks(bytes, chunks))
        return false;
    if (!write.xmp) {
        out = file;
        return true;
    }
    std::string fresh;
    if (!write.xmp->main.empty()) {
        std::string data = kPNGKeyword;
        data.append(1, '\0');
        data.append(4, '\0'); // not compressed, method 0, no language tag, no translated keyword
        data += write.xmp->main;
        fresh = pngChunk("iTXt", data);
    }
    // In place of the old XMP chunk when it comes before the image data; else before the first IDAT.
    std::uint64_t insertAt = 0;
    for (const PNGChunk& c : chunks) {
        if (c.type == NRFMakeFileType("IDAT") || c.type == NRFMakeFileType("IEND")) {
            insertAt = c.pos;
            break;
        }
        std::string data;
        bool isXMP = false;
        std::string ignored;
        if (c.type == NRFMakeFileType("iTXt") && c.length <= kNRFMaxXMPPacket &&
            readBytes(bytes, c.pos + 8, c.length, data) && readPNGText(data, isXMP, ignored) && isXMP) {
            insertAt = c.pos;
            break;
        }
    }
    if (insertAt == 0)
        return false;
    out.clear();
    out.reserve(file.size() + fresh.size());
    out.append(file, 0, 8);
    for (const PNGChunk& c : chunks) {
        if (c.pos == insertAt)
            out += fresh;
        bool isXMP = false;
        if (c.type == NRFMakeFileType("iTXt")) {
            const std::size_t keyword = sizeof kPNGKeyword; // with its NUL
            isXMP = c.length >= keyword && file.compare(static_cast<std::size_t>(c.pos + 8), keyword,
                                                        std::string(kPNGKeyword, keyword)) == 0;
        }
        if (!isXMP)
            out.append(file, static_cast<std::size_t>(c.pos), static_cast<std::size_t>(c.length + 12));
    }
    const std::uint64_t end = chunks.back().pos + chunks.back().length + 12;
    out.append(file, static_cast<std::size_t>(end), std::string::npos); // bytes after IEND stay
    return true;
}

bool planGIF(const std::string& file, const NRFMetadataWrite& write, std::string& out) {
    NRFMemoryByteSource bytes(file.data(), file.size());
    std::vector<GIFBlock> blocks;
    std::uint64_t trailer = 0;
    if (!listGIFBlocks(bytes, blocks, trailer))
        return false;
    if (!write.xmp) {
        out = file;
        return true;
    }
    const std::string& packet = write.xmp->main;
    if (packet.find('\0') != std::string::npos) {
        LUMO_LOG("NRFSaveMetadataBlocks() a GIF cannot carry an XMP packet holding a NUL byte");
        return false;
    }
    if (std::memcmp(file.data() + 3, "89a", 3) != 0 && !packet.empty()) {
        LUMO_LOG("NRFSaveMetadataBlocks() a GIF87a file cannot carry extensions");
        return false;
    }
    out.clear();
    out.reserve(file.size() + packet.size() + 300);
    std::uint64_t pos = 0;
    for (const GIFBlock& b : blocks) {
        if (!b.xmp)
            continue;
        out.append(file, static_cast<std::size_t>(pos), static_cast<std::size_t>(b.pos - pos));
        pos = b.pos + b.size;
    }
    out.append(file, static_cast<std::size_t>(pos), static_cast<std::size_t>(trailer - pos));
    if (!packet.empty()) {
        out += "\x21\xFF\x0B";
        out += kGIFIdentifier;
        out += packet;
        out += gifMagicTrailer();
    }
    out.append(file, static_cast<std::size_t>(trailer), std::string::npos);
    return true;
}

bool planPSD(const std::string& file, const NRFMetadataWrite& write, std::string& out) {
    NRFMemoryByteSource bytes(file.data(), file.size());
    NRFIPTCSplice plan;
    if (!NRFPSDPlanResources(bytes, write.iim, write.xmp ? &write.xmp->main : nullptr, plan))
        return false;
    out = applySplice(file, plan);
    return true;
}

// A packet without the white space in front of its trailer, where padding goes.
std::string withoutPadding(const std::string& packet) {
    const std::size_t trailer = packet.rfind("<?xpacket end");
    if (trailer == std::string::npos)
        return packet;
    std::size_t start = trailer;
    while (start > 0 && std::isspace(static_cast<unsigned char>(packet[start - 1])))
        --start;
    return packet.substr(0, start) + packet.substr(trailer);
}

// The packets the new bytes must read back as (a HEIF packet padded for later updates in place).
bool blocksAsWritten(Container container, NRFByteSource& source, const NRFMetadataWrite& write) {
    if (write.xmp) {
        NRFXMPPackets back;
        if (!readContainer(container, source, back) || back.extended != write.xmp->extended)
            return false;
        if (container == Container::HEIF ? withoutPadding(back.main) != withoutPadding(write.xmp->main)
                                         : back.main != write.xmp->main)
            return false;
    }
    if (write.iim) {
        std::string block;
        if (!readIIM(container, source, block))
            return false;
        std::string expected = *write.iim;
        if (container == Container::TIFF && expected.size() % 4 != 0)
            expected.append(4 - expected.size() % 4, '\0');
        if (block != expected)
            return false;
    }
    return true;
}

NRFErr sizeError(const std::string& path) {
    NRFSetErrorText("Error with XMP size for file '%s' for update.", path.c_str());
    return kNRFErrBadFormat;
}
NRFErr updateError(const std::string& path, NRFErr err) {
    NRFSetErrorText("Error updating XMP in file '%s'.", path.c_str());
    return err;
}

// The test hook of the header: wait at the rename when a test asks for it.
void pauseBeforeRenameForTests() {
    const char* marker = std::getenv(kNRFPauseBeforeRenameVariable);
    if (!marker || !*marker)
        return;
    lumo::File file;
    if (file.open(marker, lumo::File::Mode::Truncate) == 0)
        file.close();
    for (int i = 0; i < 600; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

// The new file must still be read by its reader as the same picture. The reader is called directly:
// the temporary file's name says nothing of its type.
bool readerAgrees(const NRFImageInfoRec& record, const std::string& temporary) {
    const int index = NRFFindFileType(record.m_fileType);
    const NRFPluginFunctions* reader = NRFGetPluginFunctions(index);
    NRFImageInfoRef check;
    lumo::File file;
    if (!reader || !reader->GetImageInfo || NRFOpenImage(temporary.c_str(), record.m_fileType, &check) != 0 ||
        !check || file.open(temporary, lumo::File::Mode::Read) != 0)
        return false;
    const bool ok = reader->GetImageInfo(NRFGetContext(), *check, file) == kNRFErrNone &&
                    check->m_fileType == record.m_fileType && check->m_width == record.m_width &&
                    check->m_height == record.m_height;
    NRFCloseImage(&check);
    return ok;
}

NRFErr fillFromSource(NRFByteSource& source, const NRFIPTCSplice& plan, lumo::File& out) {
    std::string buffer;
    for (const NRFIPTCSplice::Piece& piece : plan.pieces) {
        if (!piece.bytes.empty()) {
            if (const int e = out.write(piece.bytes.data(), piece.bytes.size()); e != 0)
                return e;
            continue;
        }
        for (std::uint64_t done = 0; done < piece.length;) {
            buffer.resize(static_cast<std::size_t>(std::min<std::uint64_t>(piece.length - done, 1u << 20)));
            if (!source.ReadAt(piece.from + done, buffer.data(), buffer.size()))
                return EIO;
            if (const int e = out.write(buffer.data(), buffer.size()); e != 0)
                return e;
            done += buffer.size();
        }
    }
    return 0;
}

} // namespace

// ---- the batch ---------------------------------------------------------------------------------------

struct NRFMetadataCommit::Impl {
    struct Entry {
        lumo::PendingReplace replace;
        NRFImageInfoRec* record = nullptr;
    };
    std::vector<Entry> entries;
};

NRFMetadataCommit::NRFMetadataCommit() : m_impl(std::make_unique<Impl>()) {}
NRFMetadataCommit::~NRFMetadataCommit() {
    discard();
}

int NRFMetadataCommit::add(const std::string& path, const std::string& bytes) {
    lumo::PendingReplace replace;
    if (const int e = replace.prepare(path, bytes, false); e != 0)
        return e;
    return adopt(std::move(replace), nullptr);
}

int NRFMetadataCommit::adopt(lumo::PendingReplace&& replace, NRFImageInfoRec* record) {
    if (!replace.pending())
        return EINVAL;
    m_impl->entries.push_back({std::move(replace), record});
    return 0;
}

int NRFMetadataCommit::commit(std::vector<std::string>* failed) {
    std::vector<lumo::PendingReplace*> replaces;
    for (Impl::Entry& e : m_impl->entries)
        replaces.push_back(&e.replace);
    std::vector<std::size_t> unflushed;
    int first = lumo::flushPending(replaces, &unflushed);
    std::set<std::string> folders;
    lumo::ReplacedFiles replaced;
    for (std::size_t i = 0; i < m_impl->entries.size(); ++i) {
        Impl::Entry& entry = m_impl->entries[i];
        const std::string target = entry.replace.target();
        int e = std::find(unflushed.begin(), unflushed.end(), i) != unflushed.end() ? EIO : 0;
        if (e == 0) {
            replaced.keep(target);
            e = entry.replace.commit(false);
        }
        if (e != 0) {
            entry.replace.discard();
            if (first == 0)
                first = e;
            if (failed)
                failed->push_back(target);
            continue;
        }
        folders.insert(std::filesystem::path(target).parent_path().string());
        if (entry.record)
            NRFGetImageInfo(entry.record);
    }
    for (const std::string& folder : folders)
        lumo::syncFolderOf((std::filesystem::path(folder.empty() ? "." : folder) / "x").string());
    replaced.release();
    m_impl->entries.clear();
    return first;
}

void NRFMetadataCommit::discard() {
    m_impl->entries.clear(); // each PendingReplace removes its file
}

std::size_t NRFMetadataCommit::size() const {
    return m_impl->entries.size();
}

// ---- readers -----------------------------------------------------------------------------------------

bool NRFXMPReadJPEG(NRFByteSource& source, NRFXMPPackets& out) {
    out = NRFXMPPackets{};
    std::vector<JPEGSegment> segments;
    if (!listJPEGSegments(source, segments))
        return false;
    // The last main packet counts, as for the image reader.
    for (const JPEGSegment& s : segments)
        if (s.kind == JPEGSegment::XMP &&
            !readBytes(source, s.pos + 4 + kXMPHeader, s.size - 4 - kXMPHeader, out.main))
            return false;
    readExtension(source, segments, out);
    return true;
}

bool NRFXMPReadTIFF(NRFByteSource& source, std::string& packet) {
    return NRFTIFFReadIFD0Tag(source, kTagXMP, kNRFMaxXMPPacket, packet);
}

bool NRFXMPReadPSD(NRFByteSource& source, std::string& packet) {
    return NRFPSDReadResource(source, kResourceXMP, packet) && packet.size() <= kNRFMaxXMPPacket;
}

bool NRFXMPReadPNG(NRFByteSource& source, std::string& packet) {
    packet.clear();
    std::vector<PNGChunk> chunks;
    if (!listPNGChunks(source, chunks))
        return false;
    for (const PNGChunk& c : chunks) {
        if (c.type != NRFMakeFileType("iTXt"))
            continue;
        std::string data;
        bool isXMP = false;
        if (c.length > kNRFMaxXMPPacket || !readBytes(source, c.pos + 8, c.length, data))
            return false;
        if (!readPNGText(data, isXMP, packet))
            return false;
        if (isXMP) // the first one counts
            return true;
    }
    return true;
}

bool NRFXMPReadGIF(NRFByteSource& source, std::string& packet) {
    packet.clear();
    std::vector<GIFBlock> blocks;
    std::uint64_t trailer = 0;
    if (!listGIFBlocks(source, blocks, trailer))
        return false;
    for (const GIFBlock& b : blocks)
        if (b.xmp)
            return gifPacket(source, b, packet);
    return true;
}

NRFErr NRFLoadXMP(NRFImageInfoRec* record, NRFXMPPackets* out) {
    if (!record || !out)
        return kNRFErrParam;
    try {
        *out = NRFXMPPackets{};
        const Container container = containerOf(record->m_fileType);
        if (container == Container::None)
            return kNRFErrNone;
        // The readers record where the packet is; a record that names none has none (a PNG's compressed
        // packet is recorded by its chunk alone).
        if (record->m_xmpPacketLength == 0 && record->m_xmpSegmentPos == 0 && container != Container::TIFF)
            return kNRFErrNone;
        lumo::File file;
        if (file.open(record->m_path, lumo::File::Mode::Read) != 0)
            return kNRFErrOpen;
        NRFFileByteSource source(file);
        // A TIFF-structured file's packet is IFD0's: the reader may record one of another IFD (a raw's
        // sub-image), so IFD0 is read, which costs one IFD.
        if (record->m_xmpPacketLength != 0 && container != Container::JPEG && container != Container::TIFF) {
            if (!readBytes(source, record->m_xmpPacketPos, record->m_xmpPacketLength, out->main)) {
                LUMO_LOG("NRFLoadXMP() the XMP packet of '%s' lies outside the file", record->m_path.c_str());
                return kNRFErrBadFormat;
            }
            return kNRFErrNone;
        }
        if (container == Container::JPEG && record->m_xmpPacketLength != 0) {
            if (!readBytes(source, record->m_xmpPacketPos, record->m_xmpPacketLength, out->main)) {
                LUMO_LOG("NRFLoadXMP() the XMP packet of '%s' lies outside the file", record->m_path.c_str());
                return kNRFErrBadFormat;
            }
            if (extendedGUIDOf(out->main).empty())
                return kNRFErrNone;
            std::vector<JPEGSegment> segments;
            if (listJPEGSegments(source, segments))
                readExtension(source, segments, *out);
            return kNRFErrNone;
        }
        if (!readContainer(container, source, *out)) {
            LUMO_LOG("NRFLoadXMP() the structure of '%s' is damaged", record->m_path.c_str());
            *out = NRFXMPPackets{};
            return kNRFErrBadFormat;
        }
        return kNRFErrNone;
    } catch (const std::bad_alloc&) {
        NRFSetErrorText("Out of memory.");
        return kNRFErrMemory;
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFLoadXMP()");
    }
    return kNRFErrException;
}

// ---- writing -----------------------------------------------------------------------------------------

bool NRFXMPPlanFile(NRFFileType type, const std::string& file, const NRFMetadataWrite& write,
                    std::string& out) {
    const Container container = containerOf(type);
    std::string trimmed;
    const std::string* bytes = &file;
    if (write.removeEOFPrefs) {
        trimmed = file;
        bool removed = false;
        if (NRFRemoveEOFPrefs(trimmed, removed) == kNRFErrNone && removed)
            bytes = &trimmed;
    }
    if (write.xmp && container != Container::JPEG && !write.xmp->extended.empty())
        return false; // only JPEG splits a packet
    if (write.iim && !write.iim->empty() && !NRFContainerHoldsIIM(type))
        return false;
    switch (container) {
    case Container::JPEG:
        return planJPEG(*bytes, write, out);
    case Container::PNG:
        return planPNG(*bytes, write, out);
    case Container::GIF:
        return planGIF(*bytes, write, out);
    case Container::PSD:
        return planPSD(*bytes, write, out);
    case Container::TIFF: {
        NRFMemoryByteSource source(bytes->data(), bytes->size());
        const std::string* xmp = write.xmp ? &write.xmp->main : nullptr;
        const NRFTIFFTagValue values[] = {{kTagXMP, 1, xmp}, {kTagIPTC, 4, write.iim}};
        NRFTIFFTagValue chosen[2];
        std::size_t count = 0;
        for (const NRFTIFFTagValue& v : values)
            if (v.value)
                chosen[count++] = v;
        std::uint32_t oldIFD = 0;
        NRFIPTCSplice plan;
        if (count == 0) {
            out = *bytes;
            return true;
        }
        if (!NRFTIFFPlanIFD0(source, bytes->size(), chosen, count, plan, oldIFD))
            return false;
        out = applySplice(*bytes, plan);
        return true;
    }
    case Container::HEIF: {
        if (write.iim && !write.iim->empty())
            return false;
        if (!write.xmp) {
            out = *bytes;
            return true;
        }
        if (write.xmp->main.empty())
            return false; // an XMP item is replaced, never removed
        return NRFHEIFPlaceXMP(*bytes, write.xmp->main, out) == kNRFErrNone;
    }
    case Container::None:
        return false;
    }
    return false;
}

namespace {

// A TIFF-structured file is streamed: its new IFD0 and values are appended to the old bytes.
NRFErr saveTIFF(NRFImageInfoRec& record, const NRFMetadataWrite& write, lumo::PendingReplace& replace,
                NRFIPTCUndoData* undo) {
    const std::string& path = record.m_path;
    lumo::File file;
    if (file.open(path, lumo::File::Mode::Read) != 0)
        return kNRFErrOpen;
    NRFFileByteSource source(file);
    std::uint64_t keep = source.Size();
    if (write.removeEOFPrefs && keep >= kNRFEOFBlockLength) {
        std::string tail;
        tail.resize(kNRFEOFBlockLength);
        bool removed = false;
        if (source.ReadAt(keep - kNRFEOFBlockLength, tail.data(), tail.size()) &&
            NRFRemoveEOFPrefs(tail, removed) == kNRFErrNone && removed)
            keep -= kNRFEOFBlockLength;
    }
    const std::string* xmp = write.xmp ? &write.xmp->main : nullptr;
    if (write.xmp && !write.xmp->extended.empty())
        return updateError(path, kNRFErrParam);
    if ((xmp && xmp->size() > kNRFMaxTIFFTagValue) || (write.iim && write.iim->size() > kNRFMaxIPTCBlock))
        return sizeError(path);
    NRFTIFFTagValue chosen[2];
    std::size_t count = 0;
    if (xmp)
        chosen[count++] = {kTagXMP, 1, xmp};
    if (write.iim)
        chosen[count++] = {kTagIPTC, 4, write.iim};
    NRFIPTCSplice plan;
    std::uint32_t oldIFD = 0;
    if (count == 0) {
        plan.copy(0, keep);
    } else if (!NRFTIFFPlanIFD0(source, keep, chosen, count, plan, oldIFD)) {
        return updateError(path, kNRFErrBadFormat);
    }
    if (undo) {
        undo->fileType = record.m_fileType;
        undo->oldIFDOffset = oldIFD;
        undo->oldFileSize = keep;
    }
    if (const int e = replace.prepare(
            path, [&](lumo::File& out) { return static_cast<int>(fillFromSource(source, plan, out)); },
            false);
        e != 0) {
        LUMO_LOG("NRFSaveMetadataBlocks() unable to write '%s': %s", replace.temporary().c_str(),
                 std::strerror(e));
        return updateError(path, kNRFErrException);
    }
    lumo::File back;
    if (back.open(replace.temporary(), lumo::File::Mode::Read) != 0)
        return updateError(path, kNRFErrException);
    NRFFileByteSource backSource(back);
    if (!blocksAsWritten(Container::TIFF, backSource, write) || !readerAgrees(record, replace.temporary())) {
        LUMO_LOG("NRFSaveMetadataBlocks() the new file '%s' did not read back as written",
                 replace.temporary().c_str());
        return updateError(path, kNRFErrException);
    }
    return kNRFErrNone;
}

// The other containers are made in memory from one read of the file.
NRFErr saveInMemory(NRFImageInfoRec& record, Container container, const NRFMetadataWrite& write,
                    lumo::PendingReplace& replace, NRFIPTCUndoData* undo) {
    const std::string& path = record.m_path;
    std::uint64_t size = 0;
    if (lumo::fileSize(path, size) != 0)
        return kNRFErrOpen;
    if (size > kMaxInMemoryFile)
        return sizeError(path);
    std::string file, made;
    if (lumo::readFile(path, file, static_cast<std::size_t>(size) + 1) != 0)
        return kNRFErrOpen;
    if (undo) {
        undo->fileType = record.m_fileType;
        undo->oldFileSize = file.size();
        NRFMemoryByteSource old(file.data(), file.size());
        if (!readIIM(container, old, undo->oldBlock))
            undo->oldBlock.clear();
    }
    if (container == Container::JPEG && write.xmp && write.xmp->main.size() > kNRFMaxJPEGXMPMain)
        return sizeError(path);
    if (container == Container::HEIF && write.xmp && !write.xmp->main.empty()) {
        std::string trimmed = file;
        bool removed = false;
        if (write.removeEOFPrefs)
            NRFRemoveEOFPrefs(trimmed, removed);
        const NRFErr placed = NRFHEIFPlaceXMP(trimmed, write.xmp->main, made);
        if (placed == kNRFHEIFErrMultipleMdat) {
            NRFSetErrorText("Cannot update XMP with multiple 'mdat' in file '%s'.", path.c_str());
            return kNRFErrBadFormat;
        }
        if (placed == kNRFHEIFErrXMPSize)
            return sizeError(path);
        if (placed != kNRFErrNone)
            return updateError(path, kNRFErrBadFormat);
    } else if (!NRFXMPPlanFile(record.m_fileType, file, write, made)) {
        return updateError(path, kNRFErrBadFormat);
    }
    // The new bytes must carry what was asked for before they go anywhere.
    {
        NRFMemoryByteSource check(made.data(), made.size());
        std::vector<JPEGSegment> segments;
        if (!blocksAsWritten(container, check, write) ||
            (container == Container::JPEG && !listJPEGSegments(check, segments))) {
            LUMO_LOG("NRFSaveMetadataBlocks() the new version of '%s' does not hold the blocks written",
                     path.c_str());
            return updateError(path, kNRFErrBadFormat);
        }
    }
    if (const int e = replace.prepare(path, made, false); e != 0) {
        LUMO_LOG("NRFSaveMetadataBlocks() unable to write '%s': %s", replace.temporary().c_str(),
                 std::strerror(e));
        return updateError(path, kNRFErrException);
    }
    // Read back once: the file on disk must be the bytes made.
    std::string back;
    if (lumo::readFile(replace.temporary(), back, made.size() + 1) != 0 || back != made ||
        (container != Container::JPEG && !readerAgrees(record, replace.temporary()))) {
        LUMO_LOG("NRFSaveMetadataBlocks() the new file '%s' did not read back as written",
                 replace.temporary().c_str());
        return updateError(path, kNRFErrException);
    }
    return kNRFErrNone;
}

} // namespace

NRFErr NRFSaveMetadataBlocksWithUndo(NRFImageInfoRec* record, const NRFMetadataWrite& write,
                                     NRFMetadataCommit* batch, NRFIPTCUndoData* undo) {
    if (!record)
        return kNRFErrParam;
    try {
        const Container container = containerOf(record->m_fileType);
        if (container == Container::None || (write.xmp && !NRFContainerHoldsXMP(record->m_fileType))) {
            NRFSetErrorText("Plugin for '%s' cannot update XMP metadata.", record->m_path.c_str());
            return kNRFErrParam;
        }
        if (write.iim && !write.iim->empty() && !NRFContainerHoldsIIM(record->m_fileType)) {
            NRFSetErrorText("Plugin for '%s' cannot update IPTC metadata.", record->m_path.c_str());
            return kNRFErrParam;
        }
        lumo::PendingReplace replace;
        const NRFErr err = container == Container::TIFF
                               ? saveTIFF(*record, write, replace, undo)
                               : saveInMemory(*record, container, write, replace, undo);
        if (err != kNRFErrNone)
            return err;
        if (batch)
            return batch->adopt(std::move(replace), record) == 0
                       ? kNRFErrNone
                       : updateError(record->m_path, kNRFErrException);
        std::vector<lumo::PendingReplace*> one{&replace};
        if (const int e = lumo::flushPending(one); e != 0) {
            LUMO_LOG("NRFSaveMetadataBlocks() unable to flush '%s': %s", replace.temporary().c_str(),
                     std::strerror(e));
            return updateError(record->m_path, kNRFErrException);
        }
        pauseBeforeRenameForTests();
        if (const int e = replace.commit(); e != 0) {
            LUMO_LOG("NRFSaveMetadataBlocks() unable to replace '%s': %s", record->m_path.c_str(),
                     std::strerror(e));
            return updateError(record->m_path, kNRFErrException);
        }
        return NRFGetImageInfo(record); // the record's locations describe the new file
    } catch (const std::bad_alloc&) {
        NRFSetErrorText("Out of memory.");
        return kNRFErrMemory;
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFSaveMetadataBlocks()");
    }
    return kNRFErrException;
}

NRFErr NRFSaveMetadataBlocks(NRFImageInfoRec* record, const NRFMetadataWrite& write,
                             NRFMetadataCommit* batch) {
    return NRFSaveMetadataBlocksWithUndo(record, write, batch, nullptr);
}

bool NRFContainerHoldsXMP(NRFFileType type) {
    return containerOf(type) != Container::None;
}

bool NRFContainerHoldsIIM(NRFFileType type) {
    const Container c = containerOf(type);
    return c == Container::JPEG || c == Container::TIFF || c == Container::PSD;
}

// ---- sidecars ----------------------------------------------------------------------------------------

NRFErr NRFReadXMPSidecar(const std::string& path, std::string& packet) {
    packet.clear();
    std::uint64_t size = 0;
    if (lumo::fileSize(path, size) != 0 || size > kNRFMaxXMPPacket ||
        lumo::readFile(path, packet, static_cast<std::size_t>(size) + 1) != 0 || packet.size() != size) {
        packet.clear();
        NRFSetErrorText("Unable to load XMP sidecar file at '%s'.", path.c_str());
        return kNRFErrOpen;
    }
    return kNRFErrNone;
}

NRFErr NRFWriteXMPSidecar(const std::string& path, const std::string& packet, NRFMetadataCommit* batch) {
    const bool exists = lumo::fileExists(path);
    const auto fail = [&](int e) {
        if (e == ENOSPC || e == EDQUOT || e == EFBIG)
            NRFSetErrorText("Unable to write to XMP sidecar file at '%s', disk may be full.", path.c_str());
        else if (exists)
            NRFSetErrorText("Unable to update XMP sidecar file at '%s', file may not be writeable.",
                            path.c_str());
        else
            NRFSetErrorText("Unable to create XMP sidecar file at '%s', folder may not be writeable.",
                            path.c_str());
        LUMO_LOG("NRFWriteXMPSidecar() '%s': %s", path.c_str(), std::strerror(e));
        return kNRFErrException;
    };
    if (packet.size() > kNRFMaxXMPPacket)
        return fail(EFBIG);
    // A sidecar the user made read-only is not replaced behind their back.
    if (exists && ::access(path.c_str(), W_OK) != 0)
        return fail(errno);
    lumo::PendingReplace replace;
    if (const int e = replace.prepare(path, packet, batch == nullptr); e != 0)
        return fail(e);
    if (batch)
        return batch->adopt(std::move(replace), nullptr) == 0 ? kNRFErrNone : fail(EIO);
    pauseBeforeRenameForTests();
    if (const int e = replace.commit(); e != 0)
        return fail(e);
    return kNRFErrNone;
}

// ---- engine entries ----------------------------------------------------------------------------------

NRFErr NRFXMPLoadEntry(NRFContext&, NRFImageInfoRec& record, NRFOperationArgs* args) {
    if (!args || !args->xmpPackets)
        return kNRFErrParam;
    return NRFLoadXMP(&record, args->xmpPackets);
}

NRFErr NRFXMPSaveEntry(NRFContext&, NRFImageInfoRec& record, NRFOperationArgs* args) {
    if (!args || !args->metadataWrite)
        return kNRFErrParam;
    return NRFSaveMetadataBlocks(&record, *args->metadataWrite, args->batch);
}

NRFErr NRFXMPDeleteMetadataEntry(NRFContext&, NRFImageInfoRec& record, NRFOperationArgs* args) {
    const std::string none;
    const NRFXMPPackets noPackets;
    NRFMetadataWrite write;
    write.xmp = &noPackets;
    if (NRFContainerHoldsIIM(record.m_fileType))
        write.iim = &none;
    if (containerOf(record.m_fileType) == Container::HEIF)
        return updateError(record.m_path, kNRFErrParam); // an XMP item is replaced, never removed
    return NRFSaveMetadataBlocks(&record, write, args ? args->batch : nullptr);
}

namespace {

NRFErr haveMetadata(NRFContext& context, NRFImageInfoRec& record, bool& yes) {
    yes = record.m_xmpPacketLength != 0 || record.m_xmpSegmentPos != 0;
    if (!yes && NRFContainerHoldsIIM(record.m_fileType))
        return NRFIPTCHaveEntry(context, record, yes);
    return kNRFErrNone;
}

} // namespace

void NRFInstallXMPBlocks(const NRFFileTypeInfo& row, NRFPluginFunctions& functions) {
    if (!(row.capabilities & kNRFCapIPTC) || containerOf(row.fileType) == Container::None)
        return;
    functions.HaveIPTC = &haveMetadata;
    functions.LoadXMP = &NRFXMPLoadEntry;
    functions.SaveXMP = &NRFXMPSaveEntry;
    functions.DeleteMetadata = &NRFXMPDeleteMetadataEntry;
}
