// Placing an XMP packet into a HEIF/HEIC file. A packet that fits the XMP item's bytes is written over
// them, padded, and the file keeps its length. Otherwise the file is rebuilt in memory: the packet goes
// at the end of the one "mdat" box (or into a new "mdat" at the end of the file), the XMP item's
// location is changed (or a new "mime" item is added to "iinf" and "iloc"), the boxes that grew get
// their new sizes, and every item location that points past an insertion moves with the bytes. The
// rebuilt file is checked (every item's bytes the same as before, the packet where "iloc" says) before
// it replaces the original through a temporary file, so the user's file is either the old one or the
// whole new one.

#include "NRF/NRFHEIF.h"

#include "NRF/NRF.h"
#include "NRF/NRFBasicBMFF.h"
#include "NRF/NRFBasicJPEG.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFImageInfo.h"
#include "app/LumoLog.h"
#include "support/FileIO.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kMaxPacket = 64u << 20;
constexpr std::uint64_t kMaxRewrittenFile = 1ull << 30; // a larger file is not rebuilt in memory
constexpr std::size_t kExpansionPadding = 2048;         // room for later edits in place

// The packet padded to exactly `total` bytes with the XMP convention: whitespace lines in front of the
// closing processing instruction (or after the packet when it has none).
std::string padPacket(const std::string& packet, std::size_t total) {
    if (packet.size() >= total)
        return packet;
    std::size_t pad = total - packet.size();
    std::string padding;
    padding.reserve(pad);
    while (pad > 0) {
        const std::size_t line = std::min<std::size_t>(pad, 100);
        padding.append(line - 1, ' ');
        padding += '\n';
        pad -= line;
    }
    const std::size_t trailer = packet.rfind("<?xpacket end");
    if (trailer == std::string::npos)
        return packet + padding;
    return packet.substr(0, trailer) + padding + packet.substr(trailer);
}

void putBE(std::string& bytes, std::uint64_t pos, unsigned width, std::uint64_t value) {
    for (unsigned i = 0; i < width; ++i)
        bytes[pos + i] = static_cast<char>(value >> (8 * (width - 1 - i)));
}

std::string be(unsigned width, std::uint64_t value) {
    std::string out(width, '\0');
    putBE(out, 0, width, value);
    return out;
}

bool fits(std::uint64_t value, unsigned width) {
    return width >= 8 || value < (std::uint64_t{1} << (8 * width));
}

struct Insertion {
    std::uint64_t pos = 0; // old file position the bytes go in front of
    std::string bytes;
};

// The old file's bytes with fixed-width fields patched and new bytes spliced in.
class Rewrite {
public:
    explicit Rewrite(std::string& bytes) : m_bytes(bytes) {}

    void Insert(std::uint64_t pos, std::string bytes) { m_insertions.push_back({pos, std::move(bytes)}); }
    std::uint64_t InsertedLength(std::uint64_t pos) const {
        std::uint64_t length = 0;
        for (const Insertion& i : m_insertions)
            if (i.pos == pos)
                length += i.bytes.size();
        return length;
    }
    // Where the byte at old position `pos` ends up.
    std::uint64_t Shift(std::uint64_t pos) const {
        std::uint64_t moved = pos;
        for (const Insertion& i : m_insertions)
            if (i.pos <= pos)
                moved += i.bytes.size();
        return moved;
    }
    // Only fields of the old file are patched; false when the value does not fit the field.
    // A field of the old file as it stands (0 when it lies outside).
    std::uint64_t Field(std::uint64_t pos, unsigned width) const {
        std::uint64_t value = 0;
        if (width > 8 || pos > m_bytes.size() || m_bytes.size() - pos < width)
            return 0;
        for (unsigned i = 0; i < width; ++i)
            value = (value << 8) | static_cast<unsigned char>(m_bytes[pos + i]);
        return value;
    }
    bool Patch(std::uint64_t pos, unsigned width, std::uint64_t value) {
        if (width == 0 || !fits(value, width) || pos > m_bytes.size() || m_bytes.size() - pos < width)
            return false;
        putBE(m_bytes, pos, width, value);
        return true;
    }
    // Grows a box's size field by `delta`; a box whose size runs to the end of the file needs nothing.
    bool ChangeBoxSize(const NRFBMFFBox& box, std::uint64_t delta) {
        LUMO_LOG("ChangeBoxSize '%s' at %llu: %llu + %llu", NRFBMFFTypeString(box.type).c_str(),
                 static_cast<unsigned long long>(box.start), static_cast<unsigned long long>(box.size),
                 static_cast<unsigned long long>(delta));
        if (box.headerSize == 16)
            return Patch(box.start + 8, 8, box.size + delta);
        std::uint32_t declared = 0;
        for (int i = 0; i < 4; ++i)
            declared =
                (declared << 8) | static_cast<unsigned char>(m_bytes[box.start + static_cast<unsigned>(i)]);
        if (declared == 0)
            return true;
        return Patch(box.start, 4, box.size + delta);
    }
    // Replaces the bytes of an earlier insertion at `pos` (same length).
    bool Fill(std::uint64_t pos, const std::string& bytes) {
        for (Insertion& i : m_insertions)
            if (i.pos == pos && i.bytes.size() == bytes.size()) {
                i.bytes = bytes;
                return true;
            }
        return false;
    }
    std::string Build() const {
        std::vector<Insertion> sorted = m_insertions;
        std::stable_sort(sorted.begin(), sorted.end(),
                         [](const Insertion& a, const Insertion& b) { return a.pos < b.pos; });
        std::string out;
        std::uint64_t total = m_bytes.size();
        for (const Insertion& i : sorted)
            total += i.bytes.size();
        out.reserve(total);
        std::uint64_t from = 0;
        for (const Insertion& i : sorted) {
            out.append(m_bytes, from, i.pos - from);
            out += i.bytes;
            from = i.pos;
        }
        out.append(m_bytes, from, std::string::npos);
        return out;
    }

private:
    std::string& m_bytes;
    std::vector<Insertion> m_insertions;
};

enum class Failure { None, Size, Other };

// Points the location at `pos`, `length` bytes long (one extent in the file).
Failure pointLocation(Rewrite& rewrite, const NRFHEIFItemTable& table, const NRFHEIFLocation& loc,
                      std::uint64_t pos, std::uint64_t length) {
    if (loc.extents.size() != 1 || loc.constructionMethod > 1)
        return Failure::Size;
    // A packet that lived in "idat" moves out to the file.
    if (loc.constructionMethod == 1 && !rewrite.Patch(loc.constructionMethodPos, 2, 0))
        return Failure::Size;
    const NRFHEIFExtent& extent = loc.extents[0];
    if (table.lengthSize == 0 || !rewrite.Patch(extent.lengthPos, table.lengthSize, length))
        return Failure::Size;
    // The new position goes into the extent's offset with the base cleared, or into the base when the
    // extents have no offset field.
    if (table.offsetSize == 0)
        return rewrite.Patch(loc.baseOffsetPos, table.baseOffsetSize, pos) ? Failure::None : Failure::Size;
    if (loc.baseOffset != 0 && !rewrite.Patch(loc.baseOffsetPos, table.baseOffsetSize, 0))
        return Failure::Size;
    return rewrite.Patch(extent.offsetPos, table.offsetSize, pos) ? Failure::None : Failure::Size;
}

// Moves every file-offset location (other than `skipItem`) with the bytes it points at.
Failure shiftLocations(Rewrite& rewrite, const NRFHEIFItemTable& table, std::uint32_t skipItem) {
    for (const NRFHEIFLocation& loc : table.locations) {
        if (loc.constructionMethod != 0 || loc.itemId == skipItem)
            continue;
        const std::uint64_t base = loc.baseOffset, newBase = base == 0 ? 0 : rewrite.Shift(base);
        if (newBase != base && !rewrite.Patch(loc.baseOffsetPos, table.baseOffsetSize, newBase))
            return Failure::Size;
        for (const NRFHEIFExtent& extent : loc.extents) {
            const std::uint64_t at = base + extent.offset;
            if (at < base)
                return Failure::Other;
            const std::uint64_t moved = rewrite.Shift(at);
            if (moved < newBase)
                return Failure::Other;
            const std::uint64_t offset = moved - newBase;
            if (offset == extent.offset)
                continue;
            if (!rewrite.Patch(extent.offsetPos, table.offsetSize, offset))
                return Failure::Size;
        }
    }
    return Failure::None;
}

// A new "mime" item for the packet, its "infe" box (version 2, or 3 for a 32-bit identifier).
std::string newInfe(std::uint32_t id) {
    const bool wide = id > 0xFFFF;
    std::string body = be(1, wide ? 3 : 2) + be(3, 0) + be(wide ? 4 : 2, id) + be(2, 0) + "mime" +
                       std::string(1, '\0') + "application/rdf+xml" + std::string(1, '\0');
    return be(4, 8 + body.size()) + "infe" + body;
}

std::string newIlocEntry(const NRFHEIFItemTable& t, std::uint32_t id, std::uint64_t pos, std::uint64_t length,
                         bool& ok) {
    ok = t.lengthSize != 0 && fits(length, t.lengthSize) && (t.ilocVersion == 2 || id <= 0xFFFF) &&
         (t.offsetSize != 0 ? fits(pos, t.offsetSize) : t.baseOffsetSize != 0 && fits(pos, t.baseOffsetSize));
    if (!ok)
        return {};
    std::string entry = be(t.ilocVersion < 2 ? 2 : 4, id);
    if (t.ilocVersion >= 1)
        entry += be(2, 0); // construction method 0: file offsets
    entry += be(2, 0);     // data reference index: this file
    entry += be(t.baseOffsetSize, t.offsetSize != 0 ? 0 : pos);
    entry += be(2, 1);
    entry += be(t.indexSize, 0);
    entry += be(t.offsetSize, t.offsetSize != 0 ? pos : 0);
    entry += be(t.lengthSize, length);
    return entry;
}

// Adds an item for the packet to "iinf" and "iloc"; its "iloc" entry is laid out with a zero offset
// (the size of the entry does not depend on it) and filled in once every insertion is known.
Failure insertXMPItem(Rewrite& rewrite, const NRFHEIFItemTable& table, std::uint64_t length,
                      std::uint32_t& newId) {
    std::uint32_t maxId = table.primaryItem;
    for (const NRFHEIFItem& item : table.items)
        maxId = std::max(maxId, item.id);
    for (const NRFHEIFLocation& loc : table.locations)
        maxId = std::max(maxId, loc.itemId);
    if (maxId == std::numeric_limits<std::uint32_t>::max())
        return Failure::Size;
    const std::uint32_t id = newId = maxId + 1;
    if (table.iinfVersion == 0 && id > 0xFFFF)
        return Failure::Size;

    LUMO_LOG("InsertXMPInfoHEIF:1");
    const std::string infe = newInfe(id);
    rewrite.Insert(table.iinf.end(), infe);

    LUMO_LOG("InsertXMPInfoHEIF:2");
    const unsigned iinfCountWidth = table.iinfVersion == 0 ? 2 : 4;
    const unsigned ilocCountWidth = table.ilocVersion < 2 ? 2 : 4;
    const std::uint64_t iinfCount = rewrite.Field(table.iinfCountPos, iinfCountWidth) + 1;
    const std::uint64_t ilocCount = rewrite.Field(table.ilocCountPos, ilocCountWidth) + 1;
    if (!rewrite.Patch(table.iinfCountPos, iinfCountWidth, iinfCount) ||
        !rewrite.ChangeBoxSize(table.iinf, infe.size()))
        return Failure::Size;

    LUMO_LOG("InsertXMPInfoHEIF:3");
    bool ok = false;
    const std::string probe = newIlocEntry(table, id, 0, length, ok);
    if (!ok)
        return Failure::Size;
    rewrite.Insert(table.ilocEntriesEnd, std::string(probe.size(), '\0'));
    if (!rewrite.ChangeBoxSize(table.iloc, probe.size()) ||
        !rewrite.ChangeBoxSize(table.meta, infe.size() + probe.size()))
        return Failure::Size;

    LUMO_LOG("InsertXMPInfoHEIF:4");
    if (!rewrite.Patch(table.ilocCountPos, ilocCountWidth, ilocCount))
        return Failure::Size;
    return Failure::None;
}

// Writes `bytes` to a new file beside `path` and renames it over `path` (which keeps its permissions).
NRFErr replaceFile(const std::string& path, const std::string& bytes) {
    lumo::ReplaceReport report;
    if (lumo::writeFileReplacing(path, bytes, &report) == 0)
        return 0;
    if (report.renameFailed)
        LUMO_LOG("Error renaming '%s' to '%s'. (temporary to original)", report.temporary.c_str(),
                 path.c_str());
    else
        LUMO_LOG("Error writing temporary file '%s'.", report.temporary.c_str());
    return kNRFHEIFErrWrite;
}

// The rebuilt file must hold every item's bytes unchanged and the packet where its item says.
bool verifyRewrite(const std::string& oldBytes, const NRFHEIFItemTable& oldTable, const std::string& newBytes,
                   const std::string& packet) {
    NRFMemoryByteSource source(newBytes.data(), newBytes.size());
    NRFHEIFItemTable table;
    if (NRFReadHEIFItemTable(source, table) != 0 || table.mdatCount > 1)
        return false;
    const NRFHEIFItem* xmp = NRFHEIFFindXMPItem(table);
    std::uint64_t pos = 0, length = 0;
    if (!xmp || !NRFHEIFItemExtent(table, xmp->id, newBytes.size(), pos, length) ||
        newBytes.compare(pos, length, packet) != 0)
        return false;
    const NRFHEIFItem* oldXmp = NRFHEIFFindXMPItem(oldTable);
    for (const NRFHEIFLocation& loc : oldTable.locations) {
        if (oldXmp && loc.itemId == oldXmp->id)
            continue;
        std::uint64_t oldPos = 0, oldLength = 0, newPos = 0, newLength = 0;
        const bool before = NRFHEIFItemExtent(oldTable, loc.itemId, oldBytes.size(), oldPos, oldLength);
        if (!before)
            continue; // in pieces or elsewhere: compared extent by extent below
        if (!NRFHEIFItemExtent(table, loc.itemId, newBytes.size(), newPos, newLength) ||
            newLength != oldLength || newBytes.compare(newPos, newLength, oldBytes, oldPos, oldLength) != 0)
            return false;
    }
    // Items in several pieces: each extent's bytes.
    for (const NRFHEIFLocation& oldLoc : oldTable.locations) {
        if (oldXmp && oldLoc.itemId == oldXmp->id)
            continue;
        const NRFHEIFLocation* newLoc = table.FindLocation(oldLoc.itemId);
        if (!newLoc || newLoc->extents.size() != oldLoc.extents.size() ||
            newLoc->constructionMethod != oldLoc.constructionMethod)
            return false;
        if (oldLoc.constructionMethod != 0 || oldLoc.extents.size() < 2)
            continue;
        for (std::size_t i = 0; i < oldLoc.extents.size(); ++i) {
            const std::uint64_t a = oldLoc.baseOffset + oldLoc.extents[i].offset;
            const std::uint64_t b = newLoc->baseOffset + newLoc->extents[i].offset;
            const std::uint64_t n = oldLoc.extents[i].length;
            if (n == 0 || a > oldBytes.size() || n > oldBytes.size() - a || b > newBytes.size() ||
                n > newBytes.size() - b || newBytes.compare(b, n, oldBytes, a, n) != 0)
                return false;
        }
    }
    return true;
}

// The record's locations after the file changed, from a fresh reading of the new file.
void takeLocations(NRFImageInfoRec& record, const NRFImageInfoRec& from) {
    record.m_privateInfo = from.m_privateInfo;
    record.m_exifSegmentPos = from.m_exifSegmentPos;
    record.m_exifSegmentLength = from.m_exifSegmentLength;
    record.m_exifIFDEntryPos = from.m_exifIFDEntryPos;
    record.m_interopIFDPos = from.m_interopIFDPos;
    record.m_exifIFDPos = from.m_exifIFDPos;
    record.m_gpsIFDEntryPos = from.m_gpsIFDEntryPos;
    record.m_gpsIFDPos = from.m_gpsIFDPos;
    record.m_gpsLatitudePos = from.m_gpsLatitudePos;
    record.m_gpsLongitudePos = from.m_gpsLongitudePos;
    record.m_gpsAltitudePos = from.m_gpsAltitudePos;
    record.m_gpsLatitudeRefPos = from.m_gpsLatitudeRefPos;
    record.m_gpsLongitudeRefPos = from.m_gpsLongitudeRefPos;
    record.m_gpsAltitudeRefPos = from.m_gpsAltitudeRefPos;
    record.m_makerNotePos = from.m_makerNotePos;
    record.m_makerNoteLength = from.m_makerNoteLength;
    record.m_iptcPos = from.m_iptcPos;
    record.m_iptcLength = from.m_iptcLength;
    record.m_iptcIFDEntryPos = from.m_iptcIFDEntryPos;
    record.m_xmpIFDEntryPos = from.m_xmpIFDEntryPos;
    record.m_xmpPacketPos = from.m_xmpPacketPos;
    record.m_xmpPacketLength = from.m_xmpPacketLength;
    record.m_iccIFDEntryPos = from.m_iccIFDEntryPos;
    record.m_iccTotalLength = from.m_iccTotalLength;
    record.m_iccChunkCount = from.m_iccChunkCount;
    record.m_iccChunkPos = from.m_iccChunkPos;
    record.m_descriptionPos = from.m_descriptionPos;
    record.m_descriptionLength = from.m_descriptionLength;
    record.m_artistPos = from.m_artistPos;
    record.m_artistLength = from.m_artistLength;
    record.m_copyrightPos = from.m_copyrightPos;
    record.m_copyrightLength = from.m_copyrightLength;
    record.m_thumbnail = from.m_thumbnail;
    record.m_thumbnailIFDEntryPos = from.m_thumbnailIFDEntryPos;
    record.m_orientationPosCount = from.m_orientationPosCount;
    record.m_orientationPos = from.m_orientationPos;
    record.m_orientationBigEndian = from.m_orientationBigEndian;
    record.m_datePosCount = from.m_datePosCount;
    record.m_datePos = from.m_datePos;
}

NRFErr sizeError(const std::string& path) {
    LUMO_LOG("Error with XMP size for file '%s' for update.", path.c_str());
    return kNRFHEIFErrXMPSize;
}

NRFErr updateError(const std::string& path) {
    LUMO_LOG("Error updating XMP in file '%s'.", path.c_str());
    return kNRFHEIFErrWrite;
}

NRFErr writeInPlace(NRFImageInfoRec& record, const std::string& padded, std::uint64_t pos) {
    lumo::File file;
    if (file.open(record.m_path, lumo::File::Mode::Update) != 0)
        return updateError(record.m_path);
    int e = file.writeAt(padded.data(), padded.size(), pos);
    if (e == 0)
        e = file.sync();
    const int closed = file.close();
    if (e != 0 || closed != 0)
        return updateError(record.m_path);
    return 0;
}

NRFErr expandAndPatch(NRFImageInfoRec& record, const std::string& packet, const NRFHEIFItemTable& onDisk) {
    const std::string& path = record.m_path;
    LUMO_LOG("ExpandAndPatchHEIFForXMP");
    if (onDisk.mdatCount > 1) {
        LUMO_LOG("Cannot update XMP with multiple 'mdat' in file '%s'.", path.c_str());
        return kNRFHEIFErrMultipleMdat;
    }
    std::uint64_t size = 0;
    if (lumo::fileSize(path, size) != 0 || size > kMaxRewrittenFile)
        return updateError(path);
    std::string bytes;
    if (lumo::readFile(path, bytes, static_cast<std::size_t>(size)) != 0 || bytes.size() != size)
        return updateError(path);
    const std::string oldBytes = bytes;
    // Every position below comes from these bytes, whatever happened to the file since it was looked at.
    NRFHEIFItemTable table;
    NRFMemoryByteSource source(oldBytes.data(), oldBytes.size());
    if (NRFReadHEIFItemTable(source, table) != 0 || !table.haveMeta)
        return updateError(path);
    if (table.mdatCount > 1) {
        LUMO_LOG("Cannot update XMP with multiple 'mdat' in file '%s'.", path.c_str());
        return kNRFHEIFErrMultipleMdat;
    }
    // An image sequence's tracks hold sample offsets of their own; this rewrite does not move them.
    for (const NRFBMFFBox& box : table.topLevel)
        if (box.is("moov"))
            return updateError(path);
    // The rewrite moves bytes by box: every byte must belong to a box it knows.
    if (table.topLevel.empty() || table.topLevel.back().end() != size)
        return updateError(path);

    const std::string padded = padPacket(packet, packet.size() + kExpansionPadding);
    Rewrite rewrite(bytes);
    // Where the packet goes: the end of the media data, or a new "mdat" at the end of the file.
    const NRFBMFFBox* mdat = nullptr;
    for (const NRFBMFFBox& box : table.topLevel)
        if (box.is("mdat"))
            mdat = &box;
    std::uint64_t packetAt = size, lead = 0;
    if (mdat) {
        packetAt = mdat->end();
        if (!rewrite.ChangeBoxSize(*mdat, padded.size()))
            return sizeError(path);
    } else {
        lead = 8;
        if (!fits(padded.size() + lead, 4))
            return sizeError(path);
    }

    const NRFHEIFItem* xmp = NRFHEIFFindXMPItem(table);
    const NRFHEIFLocation* xmpLoc = xmp ? table.FindLocation(xmp->id) : nullptr;
    // The old packet's bytes stay where they are, unreferenced: blank them, so that values the user
    // removed do not linger in the file.
    if (std::uint64_t oldPos = 0, oldLength = 0;
        xmpLoc && NRFHEIFItemExtent(table, xmp->id, size, oldPos, oldLength))
        bytes.replace(oldPos, oldLength, oldLength, ' ');
    Failure failure = Failure::None;
    std::uint32_t newId = 0;
    if (!xmpLoc) {
        if (!table.haveIinf || !table.haveIloc)
            return updateError(path);
        failure = insertXMPItem(rewrite, table, padded.size(), newId);
    }
    if (failure == Failure::None) {
        // Every other insertion is known now: the packet goes in last at its position.
        const std::uint64_t newPos = rewrite.Shift(packetAt) + lead;
        rewrite.Insert(packetAt, (lead ? be(4, lead + padded.size()) + "mdat" : std::string()) + padded);
        failure = shiftLocations(rewrite, table, xmpLoc ? xmpLoc->itemId : 0);
        if (failure == Failure::None) {
            if (xmpLoc) {
                failure = pointLocation(rewrite, table, *xmpLoc, newPos, padded.size());
            } else {
                bool ok = false;
                const std::string entry = newIlocEntry(table, newId, newPos, padded.size(), ok);
                if (!ok || !rewrite.Fill(table.ilocEntriesEnd, entry))
                    failure = Failure::Size;
            }
        }
    }
    if (failure == Failure::Size)
        return sizeError(path);
    if (failure != Failure::None)
        return updateError(path);

    const std::string newBytes = rewrite.Build();
    if (!verifyRewrite(oldBytes, table, newBytes, padded))
        return updateError(path);
    if (replaceFile(path, newBytes) != 0)
        return updateError(path);

    NRFImageInfoRec fresh(path, record.m_fileType);
    NRFMemoryByteSource written(newBytes.data(), newBytes.size());
    if (NRFReadHEIFItems(NRFGetContext(), fresh, written) == 0)
        takeLocations(record, fresh);
    return 0;
}

} // namespace

NRFErr NRFHEIFWriteXMP(NRFImageInfoRec& record, const std::string& packet) {
    try {
        const std::lock_guard lock(NRFEmbeddedReadLock());
        const std::string& path = record.m_path;
        if (packet.empty() || packet.size() > kMaxPacket)
            return sizeError(path);
        NRFHEIFItemTable table;
        {
            lumo::File file;
            if (file.open(path, lumo::File::Mode::Read) != 0)
                return updateError(path);
            NRFFileByteSource source(file);
            if (NRFReadHEIFItemTable(source, table) != 0 || !table.haveMeta)
                return updateError(path);
            if (const NRFHEIFItem* xmp = NRFHEIFFindXMPItem(table)) {
                std::uint64_t pos = 0, length = 0;
                if (NRFHEIFItemExtent(table, xmp->id, source.Size(), pos, length) &&
                    packet.size() <= length) {
                    file.close();
                    if (const NRFErr err = writeInPlace(record, padPacket(packet, length), pos); err != 0)
                        return err;
                    if (pos <= std::numeric_limits<std::uint32_t>::max() &&
                        length <= std::numeric_limits<std::uint32_t>::max()) {
                        record.m_xmpPacketPos = static_cast<std::uint32_t>(pos);
                        record.m_xmpPacketLength = static_cast<std::uint32_t>(length);
                    }
                    if (auto* info = dynamic_cast<HEIFPluginPrivateInfo*>(record.m_privateInfo.get())) {
                        info->xmpItem = xmp->id;
                        info->xmpOffset = pos;
                        info->xmpLength = length;
                    }
                    return 0;
                }
            }
        }
        return expandAndPatch(record, packet, table);
    } catch (const std::bad_alloc&) {
        return updateError(record.m_path);
    } catch (const std::exception& e) {
        LUMO_LOG("Unexpected exception in NRFHEIFWriteXMP() %s", e.what());
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFHEIFWriteXMP()");
    }
    return updateError(record.m_path);
}
