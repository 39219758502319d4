// The IIM block in its containers: reading it through the locations the readers record (or, for a
// JPEG whose block spans several segments, by joining them), and writing a new block through a
// temporary file that is read back before it replaces the original.

#include "NRF/NRFIPTCBlocks.h"

#include "NRF/NRF.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFBlockBytes.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFXMPBlocks.h"
#include "app/LumoLog.h"
#include "support/FileIO.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

constexpr std::uint16_t kResourceIPTC = 0x0404;
constexpr std::uint16_t kResourceIPTCDigest = 0x0425;
constexpr std::uint16_t kResourceXMP = 0x0424;
constexpr std::uint16_t kTagIPTC = 33723;
constexpr std::uint16_t kIPTCTagType = 4;      // LONG, as the tag is defined
constexpr char kPhotoshop[] = "Photoshop 3.0"; // and its NUL: 14 bytes
constexpr std::size_t kPhotoshopHeader = sizeof kPhotoshop;
// A segment's length field counts itself: 65535 - 2 - the header.
constexpr std::size_t kMaxResourceBytesPerSegment = 65535 - 2 - kPhotoshopHeader;
constexpr unsigned kMaxSegments = 100000;
constexpr unsigned kMaxResources = 100000;
constexpr unsigned kMaxIFDEntries = 4096;
constexpr std::uint64_t kMaxPhotoshopBytes = 64u << 20;
constexpr std::uint64_t kPSDHeader = 26;
constexpr NRFErr kSaveFailed = 5;

constexpr NRFFileType typeOf(const char (&code)[5]) {
    return NRFMakeFileType(code);
}

bool readString(NRFByteSource& source, std::uint64_t pos, std::uint64_t length, std::string& out) {
    return NRFReadBlockBytes(source, pos, length, kMaxPhotoshopBytes, out);
}

// -- Photoshop image resources

bool isResourceSignature(const char* p) {
    for (const char* signature : {"8BIM", "MeSa", "AgHg", "PHUT", "DCSR"})
        if (std::memcmp(p, signature, 4) == 0)
            return true;
    return false;
}

struct Resource {
    std::size_t start = 0, end = 0; // the whole resource, padding included
    std::size_t data = 0, size = 0; // its data
    std::uint16_t id = 0;
    bool photoshop = false; // signed "8BIM"
};

// Splits a resource stream. Bytes after the last resource that are not one (padding) are left to the
// caller as [tail, size). False when a resource runs past the stream.
bool splitResources(const std::string& stream, std::vector<Resource>& out, std::size_t& tail) {
    std::size_t pos = 0;
    while (out.size() < kMaxResources && stream.size() - pos >= 12) {
        if (!isResourceSignature(stream.data() + pos))
            break;
        Resource r;
        r.start = pos;
        r.photoshop = stream.compare(pos, 4, "8BIM") == 0;
        r.id = NRFBE16(reinterpret_cast<const unsigned char*>(stream.data() + pos + 4));
        const std::size_t nameLength = static_cast<unsigned char>(stream[pos + 6]);
        const std::size_t sizePos = pos + 6 + ((nameLength + 2) & ~std::size_t{1});
        if (sizePos + 4 > stream.size())
            return false;
        r.size = NRFBE32(reinterpret_cast<const unsigned char*>(stream.data() + sizePos));
        r.data = sizePos + 4;
        if (r.size > stream.size() - r.data)
            return false;
        r.end = std::min(stream.size(), r.data + r.size + (r.size & 1));
        out.push_back(r);
        pos = r.end;
    }
    tail = pos;
    // More resources than the walk takes: a rewrite could not be read back the same way.
    return !(out.size() == kMaxResources && stream.size() - pos >= 12 &&
             isResourceSignature(stream.data() + pos));
}

bool findResource(const std::string& stream, std::uint16_t id, std::string& block) {
    std::vector<Resource> resources;
    std::size_t tail = 0;
    if (!splitResources(stream, resources, tail))
        return false;
    for (const Resource& r : resources)
        if (r.photoshop && r.id == id) {
            block = stream.substr(r.data, r.size);
            return true;
        }
    block.clear();
    return true;
}

bool findIPTCResource(const std::string& stream, std::string& block) {
    return findResource(stream, kResourceIPTC, block);
}

// The stream with the resource `id` replaced by `block` (at the first one's place, else at the end of
// the resources) and the resource `drop` (a digest of the old one, or 0) left out.
bool replaceResource(const std::string& stream, std::uint16_t id, std::uint16_t drop,
                     const std::string& block, std::string& out) {
    std::vector<Resource> resources;
    std::size_t tail = 0;
    if (!splitResources(stream, resources, tail))
        return false;
    out.clear();
    bool placed = false;
    for (const Resource& r : resources) {
        if (r.photoshop && (r.id == id || (drop != 0 && r.id == drop))) {
            if (r.id == id && !placed && !block.empty())
                out += NRFPhotoshopResource(id, block);
            placed = placed || r.id == id;
            continue;
        }
        out.append(stream, r.start, r.end - r.start);
    }
    if (!placed && !block.empty())
        out += NRFPhotoshopResource(id, block);
    // Padding after the resources means nothing once the resources changed; other bytes are kept.
    const bool padding = std::all_of(stream.begin() + static_cast<std::ptrdiff_t>(tail), stream.end(),
                                     [](char c) { return c == 0; });
    if (!padding)
        out.append(stream, tail, std::string::npos);
    return true;
}

bool replaceIPTCResource(const std::string& stream, const std::string& block, std::string& out) {
    return replaceResource(stream, kResourceIPTC, kResourceIPTCDigest, block, out);
}

// -- JPEG marker walk

struct JPEGSegments {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> photoshop; // (position, whole size)
    std::string stream;                                             // their resource bytes, joined
    std::uint64_t insertPos = 2;                                    // after the leading APPn segments
};

bool walkJPEG(NRFByteSource& source, JPEGSegments& out) {
    bool leading = true;
    return NRFWalkJPEGSegments(
        source, kMaxSegments, [&](unsigned marker, std::uint64_t pos, std::uint64_t length) {
            unsigned char b[kPhotoshopHeader];
            if (marker == 0xED && length >= 2 + kPhotoshopHeader &&
                source.ReadAt(pos + 4, b, kPhotoshopHeader) &&
                std::memcmp(b, kPhotoshop, kPhotoshopHeader) == 0) {
                std::string part;
                if (out.stream.size() + length > kMaxPhotoshopBytes ||
                    !readString(source, pos + 4 + kPhotoshopHeader, length - 2 - kPhotoshopHeader, part))
                    return false;
                out.stream += part;
                out.photoshop.emplace_back(pos, length + 2);
            }
            if (marker < 0xE0 || marker > 0xEF)
                leading = false;
            if (leading)
                out.insertPos = pos + length + 2;
            return true;
        });
}

// -- TIFF

struct TIFFHead {
    bool bigEndian = false;
    std::uint32_t ifd0 = 0;
};

std::string putU16(const TIFFHead& h, std::uint32_t v) {
    std::string s(2, '\0');
    s[h.bigEndian ? 0 : 1] = static_cast<char>(v >> 8);
    s[h.bigEndian ? 1 : 0] = static_cast<char>(v);
    return s;
}
std::string putU32(const TIFFHead& h, std::uint32_t v) {
    return h.bigEndian ? putU16(h, v >> 16) + putU16(h, v & 0xFFFF)
                       : putU16(h, v & 0xFFFF) + putU16(h, v >> 16);
}

// For reading, the raws whose header holds another magic number (Olympus, Panasonic) are TIFF too;
// the writers keep to plain TIFF headers.
bool readIFD0(NRFBasicTIFF& tiff, std::vector<NRFTIFFEntry>& entries) {
    if (!tiff.ReadHeader({0x4F52, 0x5253, 0x5352, 0x55}) || tiff.IFD0Offset() < 8 ||
        tiff.IFD0Offset() >= tiff.FileSize())
        return false;
    return tiff.ReadIFD(tiff.IFD0Offset(), kMaxIFDEntries, entries) == 0;
}

// -- writing through a temporary file

NRFErr fillFrom(const std::string& original, const NRFIPTCSplice& plan, lumo::File& out) {
    lumo::File in;
    if (const int e = in.open(original, lumo::File::Mode::Read); e != 0)
        return e;
    std::string buffer;
    for (const NRFIPTCSplice::Piece& piece : plan.pieces) {
        if (!piece.bytes.empty()) {
            if (const int e = out.write(piece.bytes.data(), piece.bytes.size()); e != 0)
                return e;
            continue;
        }
        for (std::uint64_t done = 0; done < piece.length;) {
            buffer.resize(static_cast<std::size_t>(std::min<std::uint64_t>(piece.length - done, 1u << 20)));
            std::size_t got = 0;
            if (const int e = in.readAt(buffer.data(), buffer.size(), piece.from + done, got); e != 0)
                return e;
            if (got == 0)
                return EIO; // the file shrank under us
            if (const int e = out.write(buffer.data(), got); e != 0)
                return e;
            done += got;
        }
    }
    return 0;
}

// The block as the new file holds it, read the way `type` stores it.
bool readBack(const std::string& path, NRFFileType type, std::string& block) {
    lumo::File file;
    if (file.open(path, lumo::File::Mode::Read) != 0)
        return false;
    NRFFileByteSource source(file);
    if (type == typeOf("JPEG"))
        return NRFIPTCReadJPEGBlock(source, block);
    if (type == typeOf("APSD"))
        return NRFIPTCReadPSDBlock(source, block);
    return NRFIPTCReadTIFFBlock(source, block);
}

// What a TIFF holds for a block: LONG values, so padded with zeros to a multiple of four.
std::string storedForm(NRFFileType type, const std::string& block) {
    if (type == typeOf("JPEG") || type == typeOf("APSD") || block.size() % 4 == 0)
        return block;
    return block + std::string(4 - block.size() % 4, '\0');
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

NRFErr writeSplice(NRFImageInfoRec& record, const NRFIPTCSplice& plan, const std::string* expectedBlock) {
    lumo::PendingReplace replace;
    const std::string& path = record.m_path;
    if (const int e = replace.prepare(
            path, [&](lumo::File& out) { return static_cast<int>(fillFrom(path, plan, out)); });
        e != 0) {
        LUMO_LOG("NRFSaveIPTC() unable to write '%s': %s", replace.temporary().c_str(), std::strerror(e));
        NRFSetErrorText("Unable to write IPTC metadata to '%s'", path.c_str());
        return kSaveFailed;
    }
    std::string back;
    if ((expectedBlock && (!readBack(replace.temporary(), record.m_fileType, back) ||
                           back != storedForm(record.m_fileType, *expectedBlock))) ||
        !readerAgrees(record, replace.temporary())) {
        LUMO_LOG("NRFSaveIPTC() the new file '%s' did not read back as written", replace.temporary().c_str());
        NRFSetErrorText("Unable to write IPTC metadata to '%s'", path.c_str());
        return kSaveFailed;
    }
    if (const int e = replace.commit(); e != 0) {
        LUMO_LOG("NRFSaveIPTC() unable to replace '%s': %s", path.c_str(), std::strerror(e));
        NRFSetErrorText("Unable to write IPTC metadata to '%s'", path.c_str());
        return kSaveFailed;
    }
    return NRFGetImageInfo(&record); // the record's locations describe the new file
}

bool isJPEG(const NRFImageInfoRec& r) {
    return r.m_fileType == typeOf("JPEG");
}
bool isPSD(const NRFImageInfoRec& r) {
    return r.m_fileType == typeOf("APSD");
}

NRFErr loadBlock(NRFImageInfoRec& record, std::string& block) {
    block.clear();
    lumo::File file;
    if (file.open(record.m_path, lumo::File::Mode::Read) != 0)
        return kNRFErrOpen;
    NRFFileByteSource source(file);
    // The block the reader recorded (of several, the one its preference chose); a JPEG block split
    // across segments is not recorded, and is found by joining the segments.
    if (record.m_iptcLength != 0) {
        if (record.m_iptcLength > kNRFMaxIPTCBlock ||
            !readString(source, record.m_iptcPos, record.m_iptcLength, block)) {
            LUMO_LOG("NRFLoadIPTC() the IPTC block of '%s' lies outside the file", record.m_path.c_str());
            return kNRFErrBadFormat;
        }
        return kNRFErrNone;
    }
    if (isJPEG(record) && record.m_photoshopCount != 0)
        return NRFIPTCReadJPEGBlock(source, block) ? kNRFErrNone : kNRFErrBadFormat;
    return kNRFErrNone;
}

} // namespace

std::string NRFIPTCResource(const std::string& block) {
    return NRFPhotoshopResource(kResourceIPTC, block);
}

std::string NRFPhotoshopResource(std::uint16_t id, const std::string& block) {
    std::string out = "8BIM";
    NRFPutBE16(out, id);
    NRFPutBE16(out, 0); // empty name, padded
    NRFPutBE32(out, static_cast<std::uint32_t>(block.size()));
    out += block;
    if (block.size() & 1)
        out.push_back('\0');
    return out;
}

bool NRFIPTCReadJPEGBlock(NRFByteSource& source, std::string& block) {
    block.clear();
    JPEGSegments segments;
    return walkJPEG(source, segments) && findIPTCResource(segments.stream, block) &&
           block.size() <= kNRFMaxIPTCBlock;
}

bool NRFIPTCPlanJPEG(NRFByteSource& source, const std::string& block, NRFIPTCSplice& plan) {
    JPEGSegments segments;
    std::string stream;
    if (block.size() > kNRFMaxIPTCBlock || !walkJPEG(source, segments)) {
        LUMO_LOG("NRFIPTCPlanJPEG() the JPEG's markers cannot be walked");
        return false;
    }
    if (!replaceIPTCResource(segments.stream, block, stream)) {
        LUMO_LOG("NRFIPTCPlanJPEG() the Photoshop resources are damaged; not rewriting them");
        return false;
    }
    std::string newSegments;
    for (std::size_t at = 0; at < stream.size(); at += kMaxResourceBytesPerSegment) {
        const std::size_t n = std::min(kMaxResourceBytesPerSegment, stream.size() - at);
        newSegments += "\xFF\xED";
        NRFPutBE16(newSegments, static_cast<std::uint32_t>(n + 2 + kPhotoshopHeader));
        newSegments.append(kPhotoshop, kPhotoshopHeader);
        newSegments.append(stream, at, n);
    }
    plan.pieces.clear();
    const std::uint64_t insertAt =
        segments.photoshop.empty() ? segments.insertPos : segments.photoshop[0].first;
    std::uint64_t pos = 0;
    plan.copy(0, insertAt);
    plan.add(std::move(newSegments));
    pos = insertAt;
    for (const auto& [at, length] : segments.photoshop) {
        plan.copy(pos, at - pos);
        pos = at + length;
    }
    plan.copy(pos, source.Size() - pos);
    return true;
}

bool NRFIPTCReadTIFFBlock(NRFByteSource& source, std::string& block) {
    return NRFTIFFReadIFD0Tag(source, kTagIPTC, kNRFMaxIPTCBlock, block);
}

bool NRFTIFFReadIFD0Tag(NRFByteSource& source, std::uint16_t tag, std::uint64_t maxBytes,
                        std::string& value) {
    value.clear();
    NRFBasicTIFF tiff(source);
    std::vector<NRFTIFFEntry> entries;
    if (!readIFD0(tiff, entries))
        return false;
    for (const NRFTIFFEntry& e : entries)
        if (e.tag == tag && e.count != 0)
            return e.byteSize <= maxBytes && !tiff.IsMalformed(e) &&
                   tiff.ValueBytes(e, value, static_cast<std::size_t>(maxBytes));
    return true;
}

bool NRFIPTCPlanTIFF(NRFByteSource& source, const std::string& block, NRFIPTCSplice& plan,
                     std::uint32_t& oldIFDOffset) {
    if (block.size() > kNRFMaxIPTCBlock)
        return false;
    const NRFTIFFTagValue iptc{kTagIPTC, kIPTCTagType, &block};
    return NRFTIFFPlanIFD0(source, source.Size(), &iptc, 1, plan, oldIFDOffset);
}

bool NRFTIFFPlanIFD0(NRFByteSource& source, std::uint64_t keepLength, const NRFTIFFTagValue* values,
                     std::size_t valueCount, NRFIPTCSplice& plan, std::uint32_t& oldIFDOffset) {
    NRFBasicTIFF tiff(source);
    std::vector<NRFTIFFEntry> entries;
    std::uint32_t next = 0;
    if (!tiff.ReadHeader() || tiff.IFD0Offset() < 8 || keepLength < 8 || keepLength > source.Size() ||
        tiff.ReadIFD(tiff.IFD0Offset(), kMaxIFDEntries, entries, &next) != 0) {
        LUMO_LOG("NRFIPTCPlanTIFF() the TIFF header or IFD0 cannot be read");
        return false;
    }
    TIFFHead head{tiff.BigEndian(), tiff.IFD0Offset()};
    const auto replaced = [&](std::uint16_t tag) {
        for (std::size_t i = 0; i < valueCount; ++i)
            if (values[i].tag == tag)
                return true;
        return false;
    };
    // The new IFD0 and the values follow the old end, word aligned; offsets must stay 32-bit.
    const std::uint64_t size = keepLength;
    const std::uint64_t ifdPos = size + (size & 1);
    std::size_t count = 0;
    for (const NRFTIFFEntry& e : entries)
        count += !replaced(e.tag);
    struct NewEntry {
        std::uint16_t tag, type;
        std::string stored;
        std::uint32_t count;
    };
    std::vector<NewEntry> added;
    for (std::size_t i = 0; i < valueCount; ++i) {
        const NRFTIFFTagValue& v = values[i];
        if (!v.value || v.value->empty())
            continue;
        if (v.value->size() > kNRFMaxTIFFTagValue) {
            LUMO_LOG("NRFIPTCPlanTIFF() a value of %zu bytes is too large", v.value->size());
            return false;
        }
        const std::uint32_t unit = v.type == kIPTCTagType ? 4 : 1;
        std::string stored = *v.value;
        if (stored.size() % unit != 0)
            stored.append(unit - stored.size() % unit, '\0');
        if (stored.size() & 1) // values start on a word boundary
            stored.push_back('\0');
        added.push_back({v.tag, v.type, std::move(stored),
                         static_cast<std::uint32_t>(v.value->size() + unit - 1) / unit});
    }
    std::sort(added.begin(), added.end(), [](const NewEntry& x, const NewEntry& y) { return x.tag < y.tag; });
    count += added.size();
    std::uint64_t dataPos = ifdPos + 2 + 12 * count + 4;
    std::string data;
    std::vector<std::string> addedEntries;
    for (const NewEntry& n : added) {
        std::string entry = putU16(head, n.tag) + putU16(head, n.type) + putU32(head, n.count);
        if (n.stored.size() <= 4) {
            entry += n.stored + std::string(4 - n.stored.size(), '\0');
        } else {
            entry += putU32(head, static_cast<std::uint32_t>(
                                      std::min<std::uint64_t>(dataPos + data.size(), 0xFFFFFFFFull)));
            data += n.stored;
        }
        addedEntries.push_back(std::move(entry));
    }
    if (dataPos + data.size() > 0xFFFFFFFFull || count > 0xFFFF) {
        LUMO_LOG("NRFIPTCPlanTIFF() the file would grow past 4 GiB");
        return false;
    }
    std::string ifd = putU16(head, static_cast<std::uint32_t>(count));
    std::size_t nextAdded = 0;
    for (const NRFTIFFEntry& e : entries) {
        if (replaced(e.tag))
            continue;
        while (nextAdded < added.size() && added[nextAdded].tag < e.tag)
            ifd += addedEntries[nextAdded++];
        std::string raw(12, '\0');
        if (!source.ReadAt(e.entryPos, raw.data(), raw.size()))
            return false;
        ifd += raw;
    }
    while (nextAdded < added.size())
        ifd += addedEntries[nextAdded++];
    ifd += putU32(head, next);
    plan.pieces.clear();
    plan.copy(0, 4);
    plan.add(putU32(head, static_cast<std::uint32_t>(ifdPos)));
    plan.copy(8, size - 8);
    plan.add(std::string(ifdPos - size, '\0') + ifd + data);
    oldIFDOffset = head.ifd0;
    return true;
}

namespace {

struct PSDSections {
    std::uint64_t resourcesPos = 0; // the section's length field
    std::uint64_t resourcesLength = 0;
};

bool readPSDSections(NRFByteSource& source, PSDSections& out) {
    unsigned char b[kPSDHeader + 4];
    if (!source.ReadAt(0, b, sizeof b) || std::memcmp(b, "8BPS", 4) != 0 ||
        (NRFBE16(b + 4) != 1 && NRFBE16(b + 4) != 2))
        return false;
    const std::uint64_t modeLength = NRFBE32(b + kPSDHeader);
    out.resourcesPos = kPSDHeader + 4 + modeLength;
    unsigned char n[4];
    if (out.resourcesPos + 4 > source.Size() || !source.ReadAt(out.resourcesPos, n, 4))
        return false;
    out.resourcesLength = NRFBE32(n);
    return out.resourcesLength <= source.Size() - out.resourcesPos - 4 &&
           out.resourcesLength <= kMaxPhotoshopBytes;
}

} // namespace

bool NRFIPTCReadPSDBlock(NRFByteSource& source, std::string& block) {
    block.clear();
    PSDSections sections;
    std::string stream;
    return readPSDSections(source, sections) &&
           readString(source, sections.resourcesPos + 4, sections.resourcesLength, stream) &&
           findIPTCResource(stream, block) && block.size() <= kNRFMaxIPTCBlock;
}

bool NRFIPTCPlanPSD(NRFByteSource& source, const std::string& block, NRFIPTCSplice& plan) {
    return NRFPSDPlanResources(source, &block, nullptr, plan);
}

bool NRFPSDReadResource(NRFByteSource& source, std::uint16_t id, std::string& data) {
    data.clear();
    PSDSections sections;
    std::string stream;
    return readPSDSections(source, sections) &&
           readString(source, sections.resourcesPos + 4, sections.resourcesLength, stream) &&
           findResource(stream, id, data);
}

bool NRFPSDPlanResources(NRFByteSource& source, const std::string* iim, const std::string* xmp,
                         NRFIPTCSplice& plan) {
    PSDSections sections;
    std::string stream, rebuilt;
    bool ok = (!iim || iim->size() <= kNRFMaxIPTCBlock) && (!xmp || xmp->size() <= kMaxPhotoshopBytes) &&
              readPSDSections(source, sections) &&
              readString(source, sections.resourcesPos + 4, sections.resourcesLength, stream);
    if (ok && iim) {
        ok = replaceIPTCResource(stream, *iim, rebuilt);
        stream.swap(rebuilt);
    }
    if (ok && xmp) {
        ok = replaceResource(stream, kResourceXMP, 0, *xmp, rebuilt);
        stream.swap(rebuilt);
    }
    if (ok && stream.size() > 0xFFFFFFFFull)
        ok = false;
    rebuilt.swap(stream);
    if (!ok) {
        LUMO_LOG("NRFIPTCPlanPSD() the image resources cannot be read; not rewriting them");
        return false;
    }
    const std::uint64_t after = sections.resourcesPos + 4 + sections.resourcesLength;
    plan.pieces.clear();
    plan.copy(0, sections.resourcesPos);
    std::string length;
    NRFPutBE32(length, static_cast<std::uint32_t>(rebuilt.size()));
    plan.add(std::move(length));
    plan.add(std::move(rebuilt));
    plan.copy(after, source.Size() - after);
    return true;
}

NRFErr NRFIPTCHaveEntry(NRFContext&, NRFImageInfoRec& record, bool& yes) {
    yes = record.m_iptcLength != 0;
    if (!yes && isJPEG(record) && record.m_photoshopCount > 1) {
        std::string block;
        yes = loadBlock(record, block) == kNRFErrNone && !block.empty();
    }
    return kNRFErrNone;
}

NRFErr NRFIPTCLoadEntry(NRFContext&, NRFImageInfoRec& record, NRFOperationArgs* args) {
    if (!args || !args->iptcBlock)
        return kNRFErrParam;
    return loadBlock(record, *args->iptcBlock);
}

NRFErr NRFIPTCSaveEntry(NRFContext&, NRFImageInfoRec& record, NRFOperationArgs* args) {
    if (!args || !args->newIptcBlock)
        return kNRFErrParam;
    const std::string& block = *args->newIptcBlock;
    if (block.size() > kNRFMaxIPTCBlock) {
        NRFSetErrorText("Unable to write IPTC metadata to '%s'", record.m_path.c_str());
        return kNRFErrBadFormat;
    }
    NRFIPTCUndoData undo;
    // The block the reader chose is the one undoing restores.
    if ((isJPEG(record) || isPSD(record)) && loadBlock(record, undo.oldBlock) != kNRFErrNone) {
        NRFSetErrorText("Unable to write IPTC metadata to '%s'", record.m_path.c_str());
        return kNRFErrBadFormat;
    }
    const std::string oldBlock = undo.oldBlock;
    NRFMetadataWrite write;
    write.iim = &block;
    write.removeEOFPrefs = false;
    const NRFErr err = NRFSaveMetadataBlocksWithUndo(&record, write, args->batch, &undo);
    if (err == kNRFErrOpen || err == kNRFErrBadFormat || err == kNRFErrException) {
        NRFSetErrorText("Unable to write IPTC metadata to '%s'", record.m_path.c_str());
        return err == kNRFErrException ? kSaveFailed : err;
    }
    if (err == kNRFErrNone) {
        undo.oldBlock = oldBlock;
        undo.valid = true;
        record.m_iptcUndo = std::move(undo);
    }
    return err;
}

NRFErr NRFIPTCUndoSaveEntry(NRFContext& context, NRFImageInfoRec& record, NRFOperationArgs*) {
    const NRFIPTCUndoData undo = record.m_iptcUndo;
    if (!undo.valid || undo.fileType != record.m_fileType)
        return kNRFErrParam;
    if (isJPEG(record) || isPSD(record)) {
        NRFOperationArgs args;
        args.newIptcBlock = &undo.oldBlock;
        const NRFErr err = NRFIPTCSaveEntry(context, record, &args);
        if (err == kNRFErrNone)
            record.m_iptcUndo = NRFIPTCUndoData{};
        return err;
    }
    // TIFF: the save only appended, so the old file is its first oldFileSize bytes with the old
    // header offset. Check that the undo data still describes this file before trusting it.
    const char* path = record.m_path.c_str();
    NRFIPTCSplice plan;
    {
        lumo::File file;
        if (file.open(record.m_path, lumo::File::Mode::Read) != 0)
            return kNRFErrOpen;
        NRFFileByteSource source(file);
        NRFBasicTIFF tiff(source);
        std::vector<NRFTIFFEntry> entries;
        if (undo.oldIFDOffset < 8 || undo.oldIFDOffset >= undo.oldFileSize) {
            LUMO_LOG("Undo data: old IFDOffset is out of range for '%s'.", path);
            return kNRFErrBadFormat;
        }
        if (undo.oldFileSize > source.Size() || !tiff.ReadHeader()) {
            LUMO_LOG("Undo data: old file size is out of range for '%s'.", path);
            return kNRFErrBadFormat;
        }
        NRFWindowByteSource old(source, 0, undo.oldFileSize);
        NRFBasicTIFF oldTiff(old);
        oldTiff.SetBigEndian(tiff.BigEndian());
        if (oldTiff.ReadIFD(undo.oldIFDOffset, kMaxIFDEntries, entries) != 0 || entries.empty()) {
            LUMO_LOG("Undo data: old IFD table is not an IFD table for '%s'.", path);
            return kNRFErrBadFormat;
        }
        for (const NRFTIFFEntry& e : entries)
            if (oldTiff.IsMalformed(e)) {
                LUMO_LOG("Undo data: old IFD table has bad offsets for '%s'.", path);
                return kNRFErrBadFormat;
            }
        plan.copy(0, 4);
        plan.add(putU32(TIFFHead{tiff.BigEndian(), 0}, undo.oldIFDOffset));
        plan.copy(8, undo.oldFileSize - 8);
    }
    const NRFErr err = writeSplice(record, plan, nullptr);
    if (err == kNRFErrNone)
        record.m_iptcUndo = NRFIPTCUndoData{};
    return err;
}

void NRFInstallIPTCBlocks(const NRFFileTypeInfo& row, NRFPluginFunctions& functions) {
    if (!(row.capabilities & kNRFCapIPTC))
        return;
    if (row.fileType != typeOf("JPEG") && row.fileType != typeOf("APSD") && row.fileType != typeOf("TIFF") &&
        row.metadataStorage != kNRFStorageTIFFRaw)
        return;
    functions.HaveIPTC = &NRFIPTCHaveEntry;
    functions.LoadIPTC = &NRFIPTCLoadEntry;
    functions.SaveIPTC = &NRFIPTCSaveEntry;
    functions.UndoSaveIPTC = &NRFIPTCUndoSaveEntry;
}

NRFErr NRFIPTCReadIPTFile(const std::string& path, std::string& block) {
    std::uint64_t size = 0;
    if (lumo::fileSize(path, size) != 0)
        return kNRFErrOpen;
    if (size > kNRFMaxIPTCBlock)
        return kNRFErrBadFormat;
    return lumo::readFile(path, block, static_cast<std::size_t>(size)) == 0 ? kNRFErrNone : kNRFErrOpen;
}

NRFErr NRFIPTCWriteIPTFile(const std::string& path, const std::string& block) {
    if (block.size() > kNRFMaxIPTCBlock)
        return kNRFErrBadFormat;
    lumo::PendingReplace replace;
    std::string back;
    if (replace.prepare(path, block) != 0 ||
        lumo::readFile(replace.temporary(), back, block.size() + 1) != 0 || back != block ||
        replace.commit() != 0) {
        LUMO_LOG("NRFIPTCWriteIPTFile() unable to write '%s'", path.c_str());
        return kNRFErrParam;
    }
    return kNRFErrNone;
}
