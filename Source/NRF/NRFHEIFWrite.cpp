// Placing an XMP packet into a HEIF/HEIC file. The new file is always made in memory from the old
// one and replaces it through a temporary file, so the user's file is either the old one or the whole
// new one. A packet that fits the XMP item's bytes goes over them, padded, and the file keeps its
// length; that needs the item to be one run of bytes that really holds a packet. Otherwise the file is
// rebuilt: the packet goes at the end of the one "mdat" box (or into a new "mdat" at the end of the
// file), the XMP item's location is changed (or a new "mime" item is added to "iinf" and "iloc"), the
// boxes that grew get their new sizes, and every item location that points past an insertion moves
// with the bytes.
//
// Either way the new bytes are read back and compared with the old ones before anything is written:
// every box the same except the fields placed on purpose, every other item's data the same whatever its
// construction, the packet where its item says. What cannot be shown to be the old file plus the packet
// is refused.

#include "NRF/NRFHEIF.h"

#include "NRF/NRF.h"
#include "NRF/NRFBasicBMFF.h"
#include "NRF/NRFBasicJPEG.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFImageInfo.h"
#include "app/LumoLog.h"
#include "support/FileIO.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::size_t kMaxPacket = 64u << 20;
constexpr std::uint64_t kMaxRewrittenFile = 1ull << 30; // a larger file is not rewritten in memory
constexpr std::size_t kExpansionPadding = 2048;         // room for later edits in place
constexpr std::size_t kMaxChildren = 1u << 16;          // boxes compared inside one box

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

// ---- what the old file holds ------------------------------------------------------------------------

struct Span {
    std::uint64_t pos = 0, length = 0;

    std::uint64_t end() const { return pos + length; }
    bool operator==(const Span&) const = default;
};

// An item's data as runs of file bytes, every extent in order (a zero length runs to the end of the
// file, or of "idat"). Items of this file with construction method 0 or 1 only; false when an extent
// lies outside its data.
bool itemRuns(const NRFHEIFItemTable& table, const NRFHEIFLocation& loc, std::uint64_t fileSize,
              std::vector<Span>& runs) {
    runs.clear();
    if (loc.dataReference != 0 || loc.constructionMethod > 1)
        return false;
    std::uint64_t begin = 0, end = fileSize;
    if (loc.constructionMethod == 1) {
        if (!table.haveIdat || table.idat.payload() > fileSize)
            return false;
        begin = table.idat.payload();
        end = std::min(table.idat.end(), fileSize);
    }
    for (const NRFHEIFExtent& extent : loc.extents) {
        const std::uint64_t relative = loc.baseOffset + extent.offset;
        if (relative < loc.baseOffset || relative > end - begin)
            return false;
        const std::uint64_t at = begin + relative;
        const std::uint64_t length = extent.length == 0 ? end - at : extent.length;
        if (length > end - at)
            return false;
        runs.push_back({at, length});
    }
    return true;
}

// The bytes are one XMP packet and padding: they open (after a byte-order mark or white space) with
// the packet wrapper or the "x:xmpmeta" element and close with the wrapper's end or the element's end
// (its end tag, or the element alone), with only white space or NUL bytes after it.
bool holdsPacket(std::string_view bytes) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\0'; };
    std::size_t first = bytes.starts_with("\xEF\xBB\xBF") ? 3 : 0, last = bytes.size();
    while (first < last && blank(bytes[first]))
        ++first;
    while (last > first && blank(bytes[last - 1]))
        --last;
    const std::string_view text = bytes.substr(first, last - first);
    const bool opens = text.starts_with("<?xpacket begin") || text.starts_with("<x:xmpmeta") ||
                       text.starts_with("<x:xapmeta") ||
                       (text.starts_with("<?xml") && text.find("<x:xmpmeta") != std::string_view::npos);
    if (!opens)
        return false;
    if (text.ends_with("</x:xmpmeta>") || text.ends_with("</x:xapmeta>"))
        return true;
    if (text.ends_with("/>") && text.find('<', 1) == std::string_view::npos) // an empty element
        return true;
    const std::size_t trailer = text.rfind("<?xpacket end");
    return trailer != std::string_view::npos && text.find("?>", trailer) == text.size() - 2;
}

bool readField(const std::string& bytes, std::uint64_t pos, unsigned width, std::uint64_t& value) {
    value = 0;
    if (width > 8 || pos > bytes.size() || bytes.size() - pos < width)
        return false;
    for (unsigned i = 0; i < width; ++i)
        value = (value << 8) | static_cast<unsigned char>(bytes[pos + i]);
    return true;
}

// ---- proving a new file against the old one -------------------------------------------------------

// What the new file is meant to be: the old one with the XMP item's packet changed, and nothing else
// but the fields that place it.
struct Intent {
    enum class Place { InPlace, EndOfMdat, NewMdat };
    Place place = Place::InPlace;
    std::uint32_t xmpId = 0;    // the XMP item of the new file
    std::uint32_t oldXmpId = 0; // the old file's XMP item, 0 when it had none
    bool itemAdded = false;     // a new "infe" after the last one, a new "iloc" entry after the last one
    Span oldPacket;             // the old packet's bytes, written over or blanked (length 0: none)
};

// Reads the new file and compares it with the old one, box by box and item by item. Work is bounded:
// no more bytes are compared than a few times the two files' sizes.
class Proof {
public:
    Proof(const std::string& oldBytes, const NRFHEIFItemTable& oldTable, const std::string& newBytes,
          const Intent& intent, const std::string& packet)
        : m_old(oldBytes), m_new(newBytes), m_oldTable(oldTable), m_intent(intent), m_packet(packet),
          m_oldSource(oldBytes.data(), oldBytes.size()), m_newSource(newBytes.data(), newBytes.size()),
          m_budget(4 * (oldBytes.size() + newBytes.size()) + (1u << 20)) {}

    bool Holds() {
        if (NRFReadHEIFItemTable(m_newSource, m_newTable) != 0 || !m_newTable.haveMeta)
            return fail("the new file does not read");
        if (!topLevel())
            return fail("a box changed");
        return items() && packet();
    }

private:
    static bool fail(const char* why) {
        LUMO_LOG("HEIF XMP check: %s", why);
        return false;
    }

    // The old bytes at `a` and the new bytes at `b`, `n` of them, are the same.
    bool same(std::uint64_t a, std::uint64_t b, std::uint64_t n) {
        if (a > m_old.size() || n > m_old.size() - a || b > m_new.size() || n > m_new.size() - b ||
            n > m_budget)
            return false;
        m_budget -= n;
        return n == 0 || std::memcmp(m_old.data() + a, m_new.data() + b, n) == 0;
    }
    // The same, except the old packet's bytes, whose new place is noted.
    bool sameBesidesPacket(std::uint64_t a, std::uint64_t b, std::uint64_t n) {
        const Span& p = m_intent.oldPacket;
        if (p.length == 0 || p.end() <= a || p.pos >= a + n)
            return same(a, b, n);
        const std::uint64_t from = std::max(p.pos, a), to = std::min(p.end(), a + n);
        m_packetMoved.push_back({b + (from - a), to - from});
        return same(a, b, from - a) && same(to, b + (to - a), a + n - to);
    }
    bool sameBox(const NRFBMFFBox& a, const NRFBMFFBox& b) {
        return a.size == b.size && same(a.start, b.start, a.size);
    }
    // Bytes from `a` to `aEnd` and from `b` to `bEnd`.
    bool sameRange(std::uint64_t a, std::uint64_t aEnd, std::uint64_t b, std::uint64_t bEnd) {
        return a <= aEnd && b <= bEnd && aEnd - a == bEnd - b && same(a, b, aEnd - a);
    }
    // Both headers have the same form: a size that runs to the end, a 32-bit or a 64-bit size (the value
    // itself may differ when the box grew).
    bool sameHeaderForm(const NRFBMFFBox& a, const NRFBMFFBox& b) const {
        std::uint64_t sa = 0, sb = 0;
        return a.headerSize == b.headerSize && readField(m_old, a.start, 4, sa) &&
               readField(m_new, b.start, 4, sb) && (sa == 0) == (sb == 0) && (sa == 1) == (sb == 1);
    }

    static bool children(NRFByteSource& source, const NRFBMFFBox& box, std::uint64_t skip,
                         std::vector<NRFBMFFBox>& out, std::uint64_t& tail) {
        NRFBMFFWalker walker(source);
        out.clear();
        tail = box.payload() + skip;
        const NRFErr err = walker.WalkChildren(box, skip, [&](const NRFBMFFBox& child) -> NRFErr {
            if (out.size() >= kMaxChildren)
                return 10;
            out.push_back(child);
            tail = child.end();
            return 0;
        });
        return err == 0 && tail <= box.end();
    }

    bool topLevel() {
        const std::vector<NRFBMFFBox>&o = m_oldTable.topLevel, &n = m_newTable.topLevel;
        const bool newMdat = m_intent.place == Intent::Place::NewMdat;
        if (o.empty() || n.size() != o.size() + (newMdat ? 1 : 0))
            return false;
        for (std::size_t i = 0; i < o.size(); ++i) {
            if (o[i].type != n[i].type)
                return false;
            const bool ok = o[i].start == m_oldTable.meta.start ? meta(o[i], n[i])
                            : o[i].is("mdat")                   ? mdat(o[i], n[i])
                                                                : sameBox(o[i], n[i]);
            if (!ok)
                return false;
        }
        if (!newMdat)
            return sameRange(o.back().end(), m_old.size(), n.back().end(), m_new.size());
        // The packet's own "mdat" follows what was the whole file.
        const NRFBMFFBox& added = n.back();
        if (o.back().end() != m_old.size() || added.start != n[o.size() - 1].end() ||
            added.end() != m_new.size() || !added.is("mdat"))
            return false;
        m_tail = {added.payload(), added.payloadSize()};
        return true;
    }

    bool mdat(const NRFBMFFBox& o, const NRFBMFFBox& n) {
        if (!sameHeaderForm(o, n) || n.size < o.size)
            return false;
        if (n.size != o.size) { // the packet went at its end
            if (m_intent.place != Intent::Place::EndOfMdat || m_tail.length != 0)
                return false;
            m_tail = {n.payload() + o.payloadSize(), n.size - o.size};
        }
        return sameBesidesPacket(o.payload(), n.payload(), o.payloadSize());
    }

    bool meta(const NRFBMFFBox& o, const NRFBMFFBox& n) {
        const NRFHEIFItemTable &was = m_oldTable, &now = m_newTable;
        std::vector<NRFBMFFBox> oc, nc;
        std::uint64_t oldTail = 0, newTail = 0;
        if (!sameHeaderForm(o, n) || !same(o.payload(), n.payload(), 4) ||
            !children(m_oldSource, o, 4, oc, oldTail) || !children(m_newSource, n, 4, nc, newTail) ||
            oc.size() != nc.size())
            return false;
        for (std::size_t i = 0; i < oc.size(); ++i) {
            const NRFBMFFBox &a = oc[i], &b = nc[i];
            bool ok = a.type == b.type;
            if (ok && was.haveIinf && a.start == was.iinf.start)
                ok = now.haveIinf && b.start == now.iinf.start && iinf(a, b);
            else if (ok && was.haveIloc && a.start == was.iloc.start)
                ok = now.haveIloc && b.start == now.iloc.start && iloc(a, b);
            else if (ok && was.haveIdat && a.start == was.idat.start)
                ok = now.haveIdat && b.start == now.idat.start && a.size == b.size &&
                     same(a.start, b.start, a.headerSize) &&
                     sameBesidesPacket(a.payload(), b.payload(), a.payloadSize());
            else
                ok = ok && sameBox(a, b);
            if (!ok)
                return false;
        }
        return sameRange(oldTail, o.end(), newTail, n.end());
    }

    // The same entries, and the new XMP item's after them when one was added.
    bool iinf(const NRFBMFFBox& a, const NRFBMFFBox& b) {
        const unsigned width = m_oldTable.iinfVersion == 0 ? 2 : 4;
        const std::size_t added = m_intent.itemAdded ? 1 : 0;
        std::uint64_t oldCount = 0, newCount = 0, oldTail = 0, newTail = 0;
        std::vector<NRFBMFFBox> oc, nc;
        if (!sameHeaderForm(a, b) || !same(a.payload(), b.payload(), 4) ||
            !readField(m_old, m_oldTable.iinfCountPos, width, oldCount) ||
            !readField(m_new, m_newTable.iinfCountPos, width, newCount) || newCount != oldCount + added ||
            !children(m_oldSource, a, 4 + width, oc, oldTail) ||
            !children(m_newSource, b, 4 + width, nc, newTail) || nc.size() != oc.size() + added)
            return false;
        for (std::size_t i = 0; i < oc.size(); ++i)
            if (!sameBox(oc[i], nc[i]))
                return false;
        if (added && (m_newTable.items.size() != m_oldTable.items.size() + 1 ||
                      m_newTable.items.back().id != m_intent.xmpId))
            return false;
        return sameRange(oldTail, a.end(), newTail, b.end());
    }

    // The same entries in the same order: an item whose data is in this file at file offsets may have
    // moved (its data is compared below); any other keeps every value. The XMP item's entry is checked
    // with the packet.
    bool iloc(const NRFBMFFBox& a, const NRFBMFFBox& b) {
        const NRFHEIFItemTable &was = m_oldTable, &now = m_newTable;
        const unsigned width = was.ilocVersion < 2 ? 2 : 4;
        const std::size_t added = m_intent.itemAdded ? 1 : 0;
        std::uint64_t oldCount = 0, newCount = 0;
        if (!sameHeaderForm(a, b) || !same(a.payload(), b.payload(), 6) ||
            !readField(m_old, was.ilocCountPos, width, oldCount) ||
            !readField(m_new, now.ilocCountPos, width, newCount) || newCount != oldCount + added ||
            now.locations.size() != was.locations.size() + added)
            return false;
        for (std::size_t i = 0; i < was.locations.size(); ++i) {
            const NRFHEIFLocation &o = was.locations[i], &n = now.locations[i];
            if (o.itemId != n.itemId)
                return false;
            if (m_intent.oldXmpId != 0 && o.itemId == m_intent.oldXmpId)
                continue;
            const bool moves = o.constructionMethod == 0 && o.dataReference == 0;
            if (o.dataReference != n.dataReference || o.constructionMethod != n.constructionMethod ||
                o.extents.size() != n.extents.size() || (!moves && o.baseOffset != n.baseOffset))
                return false;
            for (std::size_t e = 0; e < o.extents.size(); ++e) {
                const NRFHEIFExtent &x = o.extents[e], &y = n.extents[e];
                if (x.index != y.index || x.length != y.length || (!moves && x.offset != y.offset))
                    return false;
            }
        }
        if (added && now.locations.back().itemId != m_intent.xmpId)
            return false;
        m_ilocCompared = true;
        return sameRange(was.ilocEntriesEnd, a.end(), now.ilocEntriesEnd, b.end());
    }

    // Every item's data but the packet's, all its extents, the same as before.
    bool items() {
        if (!m_ilocCompared && !m_oldTable.locations.empty())
            return fail("the item locations were not compared");
        std::vector<Span> before, after;
        for (std::size_t i = 0; i < m_oldTable.locations.size(); ++i) {
            const NRFHEIFLocation& o = m_oldTable.locations[i];
            if ((m_intent.oldXmpId != 0 && o.itemId == m_intent.oldXmpId) || o.dataReference != 0)
                continue; // the packet; data in another file, whose entry is unchanged
            if (o.constructionMethod == 2) {
                // Built from other items' data, which is compared here, through an unchanged entry and
                // unchanged references: only a reference to the packet could change it.
                for (const NRFHEIFReference& ref : m_oldTable.references)
                    if (m_intent.oldXmpId != 0 && ref.type == NRFBMFFType("iloc") && ref.from == o.itemId &&
                        ref.to == m_intent.oldXmpId)
                        return fail("an item is built from the XMP item");
                continue;
            }
            if (!itemRuns(m_oldTable, o, m_old.size(), before) ||
                !itemRuns(m_newTable, m_newTable.locations[i], m_new.size(), after) ||
                !sameData(before, after))
                return fail("an item's data changed");
        }
        return true;
    }

    bool sameData(const std::vector<Span>& a, const std::vector<Span>& b) {
        std::uint64_t left = 0, other = 0;
        for (const Span& s : a)
            left += s.length;
        for (const Span& s : b)
            other += s.length;
        if (left != other)
            return false;
        std::size_t i = 0, j = 0;
        std::uint64_t x = 0, y = 0; // how far into a[i] and b[j]
        while (left > 0) {
            for (; x == a[i].length; x = 0)
                ++i;
            for (; y == b[j].length; y = 0)
                ++j;
            const std::uint64_t n = std::min(a[i].length - x, b[j].length - y);
            if (!same(a[i].pos + x, b[j].pos + y, n))
                return false;
            x += n;
            y += n;
            left -= n;
        }
        return true;
    }

    // The packet is the XMP item's one run of bytes: where the old one was, or the media data added at
    // the end; the old packet's bytes were written over, or blanked when it moved.
    bool packet() {
        const NRFHEIFItem* xmp = NRFHEIFFindXMPItem(m_newTable);
        const NRFHEIFLocation* loc = xmp ? m_newTable.FindLocation(xmp->id) : nullptr;
        std::vector<Span> runs;
        if (!xmp || xmp->id != m_intent.xmpId || !loc || loc->extents.size() != 1 ||
            !itemRuns(m_newTable, *loc, m_new.size(), runs) || runs.size() != 1 ||
            runs[0].length != m_packet.size() || m_new.compare(runs[0].pos, runs[0].length, m_packet) != 0)
            return fail("the packet is not where its item says");
        std::uint64_t moved = 0;
        for (const Span& s : m_packetMoved)
            moved += s.length;
        if (moved != m_intent.oldPacket.length)
            return fail("the old packet was not inside the media data");
        if (m_intent.place == Intent::Place::InPlace) {
            const NRFHEIFLocation* old = m_oldTable.FindLocation(m_intent.oldXmpId);
            if (!old || old->constructionMethod != loc->constructionMethod || m_packetMoved.size() != 1 ||
                !(m_packetMoved[0] == runs[0]) || !(runs[0] == m_intent.oldPacket))
                return fail("the packet moved");
            return true;
        }
        if (!(runs[0] == m_tail) || loc->constructionMethod != 0)
            return fail("the packet is not at the end of the media data");
        for (const Span& s : m_packetMoved)
            if (m_new.find_first_not_of(' ', s.pos) < s.end())
                return fail("the old packet was not blanked");
        return true;
    }

    const std::string& m_old;
    const std::string& m_new;
    const NRFHEIFItemTable& m_oldTable;
    const Intent& m_intent;
    const std::string& m_packet;
    NRFMemoryByteSource m_oldSource, m_newSource;
    std::uint64_t m_budget;
    NRFHEIFItemTable m_newTable;
    std::vector<Span> m_packetMoved; // where the old packet's bytes are in the new file
    Span m_tail;                     // the bytes added to the media data
    bool m_ilocCompared = false;
};

// ---- rebuilding the file --------------------------------------------------------------------------

// Points the location at `pos`, `length` bytes long (one extent in the file).
NRFErr pointLocation(Rewrite& rewrite, const NRFHEIFItemTable& table, const NRFHEIFLocation& loc,
                     std::uint64_t pos, std::uint64_t length) {
    if (loc.extents.size() != 1 || loc.constructionMethod > 1)
        return kNRFHEIFErrWrite;
    // A packet that lived in "idat" moves out to the file.
    if (loc.constructionMethod == 1 && !rewrite.Patch(loc.constructionMethodPos, 2, 0))
        return kNRFHEIFErrXMPSize;
    const NRFHEIFExtent& extent = loc.extents[0];
    if (table.lengthSize == 0 || !rewrite.Patch(extent.lengthPos, table.lengthSize, length))
        return kNRFHEIFErrXMPSize;
    // The new position goes into the base offset with the extent's offset cleared when the entries
    // have a base (some readers look no further), otherwise into the extent's offset.
    if (table.baseOffsetSize != 0) {
        if (!rewrite.Patch(loc.baseOffsetPos, table.baseOffsetSize, pos))
            return kNRFHEIFErrXMPSize;
        return extent.offset == 0 || rewrite.Patch(extent.offsetPos, table.offsetSize, 0)
                   ? NRFErr{kNRFErrNone}
                   : NRFErr{kNRFHEIFErrXMPSize};
    }
    return rewrite.Patch(extent.offsetPos, table.offsetSize, pos) ? NRFErr{kNRFErrNone}
                                                                  : NRFErr{kNRFHEIFErrXMPSize};
}

// Moves every file-offset location (other than `skipItem`) with the bytes it points at.
NRFErr shiftLocations(Rewrite& rewrite, const NRFHEIFItemTable& table, std::uint32_t skipItem) {
    for (const NRFHEIFLocation& loc : table.locations) {
        if (loc.constructionMethod != 0 || loc.itemId == skipItem)
            continue;
        const std::uint64_t base = loc.baseOffset, newBase = base == 0 ? 0 : rewrite.Shift(base);
        if (newBase != base && !rewrite.Patch(loc.baseOffsetPos, table.baseOffsetSize, newBase))
            return kNRFHEIFErrXMPSize;
        for (const NRFHEIFExtent& extent : loc.extents) {
            const std::uint64_t at = base + extent.offset;
            if (at < base)
                return kNRFHEIFErrWrite;
            const std::uint64_t moved = rewrite.Shift(at);
            if (moved < newBase)
                return kNRFHEIFErrWrite;
            const std::uint64_t offset = moved - newBase;
            if (offset == extent.offset)
                continue;
            if (!rewrite.Patch(extent.offsetPos, table.offsetSize, offset))
                return kNRFHEIFErrXMPSize;
        }
    }
    return 0;
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
    // The position goes where pointLocation puts it: into the base offset when there is one.
    const bool inBase = t.baseOffsetSize != 0;
    ok = t.lengthSize != 0 && fits(length, t.lengthSize) && (t.ilocVersion == 2 || id <= 0xFFFF) &&
         (inBase ? fits(pos, t.baseOffsetSize) : t.offsetSize != 0 && fits(pos, t.offsetSize));
    if (!ok)
        return {};
    std::string entry = be(t.ilocVersion < 2 ? 2 : 4, id);
    if (t.ilocVersion >= 1)
        entry += be(2, 0); // construction method 0: file offsets
    entry += be(2, 0);     // data reference index: this file
    entry += be(t.baseOffsetSize, inBase ? pos : 0);
    entry += be(2, 1);
    entry += be(t.indexSize, 0);
    entry += be(t.offsetSize, inBase ? 0 : pos);
    entry += be(t.lengthSize, length);
    return entry;
}

// An identifier that no item, location, reference or entity group uses (entity groups share the
// items' identifiers) and that the "iloc" entry can hold: the one after the highest, else the lowest
// free one. 0 when there is none.
std::uint32_t freeItemId(const NRFHEIFItemTable& table) {
    const std::uint32_t limit = table.ilocVersion < 2 || table.iinfVersion == 0 ? 0xFFFF : 0xFFFFFFFF;
    std::vector<std::uint32_t> used = table.groupIds;
    used.push_back(table.primaryItem);
    for (const NRFHEIFItem& item : table.items)
        used.push_back(item.id);
    for (const NRFHEIFLocation& loc : table.locations)
        used.push_back(loc.itemId);
    for (const NRFHEIFReference& ref : table.references) {
        used.push_back(ref.from);
        used.push_back(ref.to);
    }
    std::sort(used.begin(), used.end());
    if (used.back() < limit)
        return used.back() + 1;
    std::uint32_t candidate = 1;
    for (const std::uint32_t id : used)
        if (id == candidate)
            ++candidate;
        else if (id > candidate)
            break;
    return candidate <= limit ? candidate : 0;
}

// Adds an item for the packet to "iinf" and "iloc"; its "iloc" entry is laid out with a zero offset
// (the size of the entry does not depend on it) and filled in once every insertion is known.
NRFErr insertXMPItem(Rewrite& rewrite, const NRFHEIFItemTable& table, std::uint64_t length,
                     std::uint32_t& newId) {
    if (table.groupsDamaged) // an entity group might hold any identifier
        return kNRFHEIFErrWrite;
    const std::uint32_t id = newId = freeItemId(table);
    if (id == 0)
        return kNRFHEIFErrXMPSize;

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
        return kNRFHEIFErrXMPSize;

    LUMO_LOG("InsertXMPInfoHEIF:3");
    bool ok = false;
    const std::string probe = newIlocEntry(table, id, 0, length, ok);
    if (!ok)
        return kNRFHEIFErrXMPSize;
    rewrite.Insert(table.ilocEntriesEnd, std::string(probe.size(), '\0'));
    if (!rewrite.ChangeBoxSize(table.iloc, probe.size()) ||
        !rewrite.ChangeBoxSize(table.meta, infe.size() + probe.size()))
        return kNRFHEIFErrXMPSize;

    LUMO_LOG("InsertXMPInfoHEIF:4");
    if (!rewrite.Patch(table.ilocCountPos, ilocCountWidth, ilocCount))
        return kNRFHEIFErrXMPSize;
    return 0;
}

NRFErr refuse(const char* why) {
    LUMO_LOG("HEIF XMP not placed: %s", why);
    return kNRFHEIFErrWrite;
}

// The old file with the packet at the end of the media data. `oldPacket` is the old XMP item's packet
// (length 0 when there is none or it lies outside the file).
NRFErr expand(const std::string& oldBytes, const NRFHEIFItemTable& table, const std::string& packet,
              const Span& oldPacket, std::string& out) {
    LUMO_LOG("ExpandAndPatchHEIFForXMP");
    if (table.mdatCount > 1)
        return kNRFHEIFErrMultipleMdat;
    // An image sequence's tracks hold sample offsets of their own; this rewrite does not move them.
    for (const NRFBMFFBox& box : table.topLevel)
        if (box.is("moov"))
            return refuse("the file has tracks");
    // The rewrite moves bytes by box: every byte must belong to a box it knows.
    if (table.topLevel.empty() || table.topLevel.back().end() != oldBytes.size())
        return refuse("bytes outside the boxes");
    for (const NRFHEIFLocation& loc : table.locations) {
        // Where another data reference points is not known here: its offsets cannot be moved.
        if (loc.dataReference != 0)
            return refuse("an item's data is in another file");
        if (loc.constructionMethod > 2)
            return refuse("an item of an unknown construction");
    }

    const std::string padded = padPacket(packet, packet.size() + kExpansionPadding);
    std::string bytes = oldBytes;
    Rewrite rewrite(bytes);
    // Where the packet goes: the end of the media data, or a new "mdat" at the end of the file.
    const NRFBMFFBox* mdat = nullptr;
    for (const NRFBMFFBox& box : table.topLevel)
        if (box.is("mdat"))
            mdat = &box;
    std::uint64_t packetAt = oldBytes.size(), lead = 0;
    if (mdat) {
        packetAt = mdat->end();
        if (!rewrite.ChangeBoxSize(*mdat, padded.size()))
            return kNRFHEIFErrXMPSize;
    } else {
        lead = 8;
        if (!fits(padded.size() + lead, 4))
            return kNRFHEIFErrXMPSize;
    }

    const NRFHEIFItem* xmp = NRFHEIFFindXMPItem(table);
    const NRFHEIFLocation* xmpLoc = xmp ? table.FindLocation(xmp->id) : nullptr;
    // The old packet's bytes stay where they are, unreferenced: blank them, so that values the user
    // removed do not linger in the file.
    bytes.replace(oldPacket.pos, oldPacket.length, oldPacket.length, ' ');
    NRFErr err = 0;
    std::uint32_t newId = 0;
    if (!xmpLoc) {
        if (!table.haveIinf || !table.haveIloc)
            return refuse("no item boxes to add to");
        err = insertXMPItem(rewrite, table, padded.size(), newId);
    }
    if (err == 0) {
        // Every other insertion is known now: the packet goes in last at its position.
        const std::uint64_t newPos = rewrite.Shift(packetAt) + lead;
        rewrite.Insert(packetAt, (lead ? be(4, lead + padded.size()) + "mdat" : std::string()) + padded);
        err = shiftLocations(rewrite, table, xmpLoc ? xmpLoc->itemId : 0);
        if (err == 0) {
            if (xmpLoc) {
                err = pointLocation(rewrite, table, *xmpLoc, newPos, padded.size());
            } else {
                bool ok = false;
                const std::string entry = newIlocEntry(table, newId, newPos, padded.size(), ok);
                if (!ok || !rewrite.Fill(table.ilocEntriesEnd, entry))
                    err = kNRFHEIFErrXMPSize;
            }
        }
    }
    if (err != 0)
        return err;

    out = rewrite.Build();
    Intent intent;
    intent.place = mdat ? Intent::Place::EndOfMdat : Intent::Place::NewMdat;
    intent.xmpId = xmpLoc ? xmpLoc->itemId : newId;
    intent.oldXmpId = xmpLoc ? xmpLoc->itemId : 0;
    intent.itemAdded = !xmpLoc;
    intent.oldPacket = oldPacket;
    if (!Proof(oldBytes, table, out, intent, padded).Holds())
        return refuse("the rebuilt file is not the old one with the packet");
    return 0;
}

// The old file with the packet written over the old one, which it fits.
NRFErr overwrite(const std::string& oldBytes, const NRFHEIFItemTable& table, std::uint32_t xmpId,
                 const std::string& packet, const Span& oldPacket, std::string& out) {
    const std::string padded = padPacket(packet, oldPacket.length);
    out = oldBytes;
    out.replace(oldPacket.pos, oldPacket.length, padded);
    Intent intent;
    intent.place = Intent::Place::InPlace;
    intent.xmpId = intent.oldXmpId = xmpId;
    intent.oldPacket = oldPacket;
    if (!Proof(oldBytes, table, out, intent, padded).Holds())
        return refuse("the packet cannot be written over the old one");
    return 0;
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

// What went wrong, in the words the user sees.
NRFErr report(const std::string& path, NRFErr err) {
    if (err == kNRFHEIFErrMultipleMdat)
        LUMO_LOG("Cannot update XMP with multiple 'mdat' in file '%s'.", path.c_str());
    else if (err == kNRFHEIFErrXMPSize)
        LUMO_LOG("Error with XMP size for file '%s' for update.", path.c_str());
    else
        LUMO_LOG("Error updating XMP in file '%s'.", path.c_str());
    return err;
}

} // namespace

NRFErr NRFHEIFPlaceXMP(const std::string& file, const std::string& packet, std::string& out) {
    out.clear();
    if (packet.empty() || packet.size() > kMaxPacket)
        return kNRFHEIFErrXMPSize;
    NRFMemoryByteSource source(file.data(), file.size());
    NRFHEIFItemTable table;
    if (NRFReadHEIFItemTable(source, table) != 0 || !table.haveMeta)
        return refuse("the item boxes do not read");
    std::vector<std::uint32_t> ids;
    for (const NRFHEIFLocation& loc : table.locations)
        ids.push_back(loc.itemId);
    std::sort(ids.begin(), ids.end());
    if (std::adjacent_find(ids.begin(), ids.end()) != ids.end())
        return refuse("an item has two locations");

    const NRFHEIFItem* xmp = NRFHEIFFindXMPItem(table);
    const NRFHEIFLocation* loc = xmp ? table.FindLocation(xmp->id) : nullptr;
    Span old;
    if (loc) {
        if (loc->dataReference != 0 || loc->constructionMethod > 1)
            return refuse("the XMP item's data is not in this file");
        if (loc->extents.size() != 1)
            return refuse("the XMP item is not one extent");
        // The run the item's one extent describes, a zero length resolved to the end of its data; an
        // extent outside the file is a damaged item, which the packet's new place mends.
        if (std::vector<Span> runs; itemRuns(table, *loc, file.size(), runs)) {
            old = runs[0];
            if (!holdsPacket(std::string_view(file).substr(old.pos, old.length)))
                return refuse("the XMP item does not hold a packet");
            if (packet.size() <= old.length)
                return overwrite(file, table, xmp->id, packet, old, out);
        }
    }
    return expand(file, table, packet, old, out);
}

NRFErr NRFHEIFWriteXMP(NRFImageInfoRec& record, const std::string& packet) {
    try {
        const std::lock_guard lock(NRFEmbeddedReadLock());
        const std::string& path = record.m_path;
        if (packet.empty() || packet.size() > kMaxPacket)
            return report(path, kNRFHEIFErrXMPSize);
        std::uint64_t size = 0;
        std::string oldBytes, newBytes;
        if (lumo::fileSize(path, size) != 0 || size > kMaxRewrittenFile ||
            lumo::readFile(path, oldBytes, static_cast<std::size_t>(size)) != 0 || oldBytes.size() != size)
            return report(path, kNRFHEIFErrWrite);
        if (const NRFErr err = NRFHEIFPlaceXMP(oldBytes, packet, newBytes); err != 0)
            return report(path, err);
        oldBytes = std::string();
        if (replaceFile(path, newBytes) != 0)
            return report(path, kNRFHEIFErrWrite);

        // The record describes the new file: its locations from a reading of the bytes just written.
        NRFImageInfoRec fresh(path, record.m_fileType);
        NRFMemoryByteSource written(newBytes.data(), newBytes.size());
        if (NRFReadHEIFItems(NRFGetContext(), fresh, written) == 0)
            takeLocations(record, fresh);
        else
            takeLocations(record, NRFImageInfoRec(path, record.m_fileType)); // nothing known where it was
        return 0;
    } catch (const std::bad_alloc&) {
        return report(record.m_path, kNRFHEIFErrWrite);
    } catch (const std::exception& e) {
        LUMO_LOG("Unexpected exception in NRFHEIFWriteXMP() %s", e.what());
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFHEIFWriteXMP()");
    }
    return report(record.m_path, kNRFHEIFErrWrite);
}
