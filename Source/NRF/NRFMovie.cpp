// The movie readers. QuickTime and MPEG-4 files are walked box by box (never into "mdat"): the movie
// header gives the duration and the UTC creation time, the video track its frame size and turn, and
// the metadata boxes the camera, the capture time, the position and the rating. Several places may
// name the same value; each value remembers how trustworthy its source is and the best one wins:
// the QuickTime keys, then the classic user-data texts, then the XML block some cameras write, then
// the makers' own tags, and for the capture time the movie header's UTC time last of all.
// AVI and MPEG program streams give their frame size and duration from their headers; transport
// streams are recognised and left without values. The pictures come from the movie-frame renderer.

#include "NRF/NRFMovie.h"

#include "NRF/EXIFUtils.h"
#include "NRF/NRF.h"
#include "NRF/NRFBasicBMFF.h"
#include "NRF/NRFBasicJPEG.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFBitmapBase.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFRawUtils.h"
#include "NRF/NRFVideoRender.h"
#include "app/LumoLog.h"
#include "support/TextUtils.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

const NRFFileType kTypeMooV = NRFMakeFileType("MooV");
const NRFFileType kTypeMPG4 = NRFMakeFileType("MPG4");
const NRFFileType kTypeWAVI = NRFMakeFileType("WAVI");
const NRFFileType kTypeMPEG = NRFMakeFileType("MPEG");

constexpr std::uint64_t kMaxTextBytes = 4096;   // one metadata text
constexpr std::uint64_t kMaxXMLBytes = 1 << 20; // the "xml " block
constexpr std::uint64_t kMaxKeys = 4096;
constexpr unsigned kMaxMakerTags = 2000;
constexpr std::int64_t kSeconds1904To1970 = 2082844800;
constexpr std::uint64_t kMPEGScanBytes = 512 * 1024; // how far an MPEG stream is searched for headers

const std::array<std::uint8_t, 16> kXMPUUID = {0xbe, 0x7a, 0xcf, 0xcb, 0x97, 0xa9, 0x42, 0xe8,
                                               0x9c, 0x71, 0x99, 0x94, 0x91, 0xe3, 0xaf, 0xac};

// Canon's metadata box in its MPEG-4 movies: its TIFF blocks and thumbnail follow the identifier.
const std::array<std::uint8_t, 16> kCanonUUID = {0x85, 0xc0, 0xb6, 0x87, 0x82, 0x0f, 0x11, 0xe0,
                                                 0x81, 0x11, 0xf4, 0xce, 0x46, 0x2b, 0x6a, 0x48};

const char* const kKeyPrefix = "com.apple.quicktime.";

// How much a value's source is trusted; a value replaces another only from a better source.
enum Source : int {
    kNone = 0,
    kFromHeader = 1,
    kFromMaker = 2,
    kFromXML = 3,
    kFromUserData = 4,
    kFromKeys = 5
};

template <class T>
struct Choice {
    T value{};
    int source = kNone;
    void offer(const T& v, int from) {
        if (from > source) {
            value = v;
            source = from;
        }
    }
    bool set() const { return source != kNone; }
};

struct Stamp {
    KLDateTime time;
    std::optional<std::int16_t> zone; // minutes east of UTC
};

struct Location {
    double latitude = 0.0, longitude = 0.0;
    std::optional<double> altitude;
};

// ---- dates and texts -------------------------------------------------------------------------------

std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

bool digits(const std::string& s, std::size_t& pos, int count, int& out) {
    out = 0;
    for (int i = 0; i < count; ++i, ++pos) {
        if (pos >= s.size() || s[pos] < '0' || s[pos] > '9')
            return false;
        out = out * 10 + (s[pos] - '0');
    }
    return true;
}

// "YYYY-MM-DDTHH:MM:SS" (or with ':' in the date and ' ' before the time), optional fraction, and an
// optional zone "Z", "+HHMM" or "+HH:MM". A date alone counts as midnight.
bool parseDateTime(const std::string& text, Stamp& out) {
    std::size_t p = 0;
    while (p < text.size() && text[p] == ' ')
        ++p;
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    if (!digits(text, p, 4, y) || p >= text.size() || (text[p] != '-' && text[p] != ':') ||
        !digits(text, ++p, 2, mo) || p >= text.size() || (text[p] != '-' && text[p] != ':') ||
        !digits(text, ++p, 2, d))
        return false;
    if (p < text.size() && (text[p] == 'T' || text[p] == ' ')) {
        std::size_t q = p + 1;
        if (digits(text, q, 2, h) && q < text.size() && text[q] == ':' && digits(text, ++q, 2, mi)) {
            if (q < text.size() && text[q] == ':' && !digits(text, ++q, 2, s))
                return false;
            p = q;
        }
    }
    if (y < 1 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60)
        return false;
    while (p < text.size() && (text[p] == '.' || (text[p] >= '0' && text[p] <= '9')))
        ++p;
    out = Stamp{};
    out.time =
        KLDateTime{static_cast<std::int16_t>(y), static_cast<std::uint8_t>(mo), static_cast<std::uint8_t>(d),
                   static_cast<std::uint8_t>(h), static_cast<std::uint8_t>(mi), static_cast<std::uint8_t>(s)};
    if (p < text.size() && text[p] == 'Z') {
        out.zone = 0;
    } else if (p < text.size() && (text[p] == '+' || text[p] == '-')) {
        const int sign = text[p] == '-' ? -1 : 1;
        std::size_t q = p + 1;
        int zh = 0, zm = 0;
        if (digits(text, q, 2, zh)) {
            if (q < text.size() && text[q] == ':')
                ++q;
            if (!digits(text, q, 2, zm))
                zm = 0;
            if (zh <= 14 && zm < 60)
                out.zone = static_cast<std::int16_t>(sign * (zh * 60 + zm));
        }
    }
    return true;
}

std::int64_t secondsSince1970(const Stamp& stamp) {
    const KLDateTime& t = stamp.time;
    return daysFromCivil(t.year, t.month, t.day) * 86400 + t.hour * 3600 + t.minute * 60 + t.second -
           std::int64_t{stamp.zone.value_or(0)} * 60;
}

// Trailing NULs and spaces go; a text of nothing but them is empty.
std::string trimmed(std::string text) {
    if (const auto nul = text.find('\0'); nul != std::string::npos)
        text.resize(nul);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    std::size_t first = 0;
    while (first < text.size() && text[first] == ' ')
        ++first;
    return text.substr(first);
}

std::string fromUTF16BE(const std::string& bytes) {
    std::string out;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        std::uint32_t c =
            (static_cast<unsigned char>(bytes[i]) << 8) | static_cast<unsigned char>(bytes[i + 1]);
        if (c >= 0xD800 && c < 0xDC00 && i + 3 < bytes.size()) {
            const std::uint32_t low =
                (static_cast<unsigned char>(bytes[i + 2]) << 8) | static_cast<unsigned char>(bytes[i + 3]);
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        if (c == 0)
            break;
        lumo::appendUtf8(out, c);
    }
    return out;
}

// An ISO 6709 position: "+37.3349-122.0090+012.000/" or without the altitude.
bool parseISO6709(const std::string& text, Location& out) {
    float latitude = 0, longitude = 0, altitude = 0;
    const int got = std::sscanf(text.c_str(), "%f%f%f", &latitude, &longitude, &altitude);
    if (got < 2 && std::sscanf(text.c_str(), "%f%f", &latitude, &longitude) < 2)
        return false;
    if (!std::isfinite(latitude) || !std::isfinite(longitude) || std::fabs(latitude) > 90 ||
        std::fabs(longitude) > 180)
        return false;
    out = Location{latitude, longitude, std::nullopt};
    if (got == 3 && std::isfinite(altitude))
        out.altitude = altitude;
    return true;
}

// The text of an XML attribute after `name` (which includes the '="'), searched from `from`.
std::string xmlAttribute(const std::string& xml, const char* name, std::size_t from = 0) {
    const std::size_t at = xml.find(name, from);
    if (at == std::string::npos)
        return {};
    const std::size_t begin = at + std::strlen(name);
    const std::size_t end = xml.find('"', begin);
    if (end == std::string::npos || end - begin > kMaxTextBytes)
        return {};
    return xml.substr(begin, end - begin);
}

std::uint32_t u32LE(const unsigned char* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

// ---- QuickTime and MPEG-4 --------------------------------------------------------------------------

struct Track {
    std::uint32_t handler = 0;
    std::uint32_t width = 0, height = 0;           // tkhd
    std::uint32_t entryWidth = 0, entryHeight = 0; // the first sample description
    int rotation = 0;
};

class BoxReader {
public:
    BoxReader(NRFImageInfoRec& record, NRFByteSource& source)
        : m_record(record), m_source(source), m_walker(source) {}

    NRFErr Read();

private:
    NRFErr visit(const NRFBMFFBox& box);
    void walkContainer(const NRFBMFFBox& box, std::uint64_t skip);
    NRFErr readFileType(const NRFBMFFBox& box);
    void readMovieHeader(const NRFBMFFBox& box);
    void readTrack(const NRFBMFFBox& box);
    void readTrackHeader(const NRFBMFFBox& box);
    void readHandler(const NRFBMFFBox& box);
    void readSampleEntry(const NRFBMFFBox& box);
    void readMeta(const NRFBMFFBox& box);
    void readKeys(const NRFBMFFBox& box);
    void readItemList(const NRFBMFFBox& box);
    void readUserDataText(const NRFBMFFBox& box);
    void readXML(const NRFBMFFBox& box);
    void readNikonTags(const NRFBMFFBox& box);
    void readFujiTags(const NRFBMFFBox& box);
    void readCanonTIFF(const NRFBMFFBox& box);
    void takeCameraValues(const NRFImageInfoRec& scratch);
    void takeThumbnail(std::uint64_t pos, std::uint64_t length);
    void takeXMP(std::uint64_t pos, std::uint64_t length);
    void applyKey(const std::string& key, std::uint32_t dataType, const std::string& value);
    void applyClassic(std::uint32_t type, const std::string& text, int from);
    bool dataBox(const NRFBMFFBox& item, std::uint32_t& dataType, std::string& value);
    bool text(std::uint64_t pos, std::uint64_t length, std::string& out);
    void finish();

    NRFImageInfoRec& m_record;
    NRFByteSource& m_source;
    NRFBMFFWalker m_walker;

    bool m_sawMovie = false, m_sawFileType = false;
    Track* m_track = nullptr;
    bool m_haveVideo = false;
    std::vector<std::string> m_keys;
    bool m_haveKeys = false;

    std::uint64_t m_headerSeconds = 0; // since 1904, UTC; 0 is not set
    std::optional<double> m_duration;
    std::uint32_t m_xmlWidth = 0, m_xmlHeight = 0;
    Choice<Stamp> m_captureTime;
    Choice<std::string> m_make, m_model, m_software;
    Choice<Location> m_location;
};

bool BoxReader::text(std::uint64_t pos, std::uint64_t length, std::string& out) {
    return m_walker.ReadBytes(pos, std::min(length, kMaxTextBytes), out);
}

NRFErr BoxReader::Read() {
    const NRFErr walked =
        m_walker.Walk(0, m_source.Size(), [this](const NRFBMFFBox& box) { return visit(box); });
    if (walked == kNRFErrBadFormat)
        return walked;
    if (walked != 0)
        LUMO_LOG("Error reading BMFF container atom data");
    if (!m_sawMovie && !m_sawFileType)
        return kNRFErrBadFormat;
    finish();
    return kNRFErrNone;
}

void BoxReader::walkContainer(const NRFBMFFBox& box, std::uint64_t skip) {
    if (m_walker.WalkChildren(box, skip, [this](const NRFBMFFBox& child) { return visit(child); }) != 0)
        LUMO_LOG("Error reading BMFF container atom data");
}

NRFErr BoxReader::visit(const NRFBMFFBox& box) {
    const std::uint32_t type = box.type;
    if (box.depth == 0 && box.is("ftyp"))
        return readFileType(box);
    if (box.is("moov")) {
        m_sawMovie = true;
        walkContainer(box, 0);
    } else if (box.is("mvhd")) {
        readMovieHeader(box);
    } else if (box.is("trak")) {
        readTrack(box);
    } else if (box.is("tkhd")) {
        readTrackHeader(box);
    } else if (box.is("mdia") || box.is("minf") || box.is("stbl") || box.is("udta") || box.is("NCDT") ||
               box.is("CNTH")) {
        walkContainer(box, 0);
    } else if (box.is("hdlr")) {
        readHandler(box);
    } else if (box.is("stsd")) {
        if (m_track)
            walkContainer(box, 8);
    } else if (m_track && box.path.size() >= 5 && box.path.compare(box.path.size() - 5, 5, "|stsd") == 0) {
        readSampleEntry(box);
    } else if (box.is("meta")) {
        readMeta(box);
    } else if (box.is("keys")) {
        readKeys(box);
    } else if (box.is("ilst")) {
        readItemList(box);
    } else if (box.is("XMP_")) {
        takeXMP(box.payload(), box.payloadSize());
    } else if (box.is("uuid")) {
        if (!box.hasUUID)
            LUMO_LOG("Error reading uuid atom");
        else if (box.isUUID(kXMPUUID))
            takeXMP(box.payload() + 16, box.payloadSize() - 16);
        else if (box.isUUID(kCanonUUID))
            walkContainer(box, 16);
    } else if (box.is("CMT1") || box.is("CMT2")) {
        readCanonTIFF(box);
    } else if (box.is("xml ")) {
        readXML(box);
    } else if (box.is("NCTG")) {
        readNikonTags(box);
    } else if (box.is("NCTH") || box.is("CNDA")) {
        takeThumbnail(box.payload(), box.payloadSize());
    } else if (box.is("CNMN") || box.is("CNFV")) {
        std::string value;
        if (text(box.payload(), box.payloadSize(), value)) {
            value = trimmed(value);
            if (box.is("CNFV")) {
                if (m_record.m_firmware.empty())
                    m_record.m_firmware = value;
            } else if (!value.empty()) {
                m_model.offer(value, kFromMaker);
                if (value.rfind("Canon", 0) == 0)
                    m_make.offer("Canon", kFromMaker);
            }
        }
    } else if (box.is("MVTG")) {
        readFujiTags(box);
    } else if (box.is("TAGS")) {
        // Pentax's binary tags begin with the camera's maker in a 24-byte field.
        std::string value;
        if (box.payloadSize() >= 24 && text(box.payload(), 24, value) && value.rfind("PENTAX", 0) == 0)
            m_make.offer(trimmed(value), kFromMaker);
    } else if ((type >> 24) == 0xA9 && box.path.size() >= 5 &&
               box.path.compare(box.path.size() - 5, 5, "|udta") == 0) {
        readUserDataText(box);
    }
    return 0;
}

NRFErr BoxReader::readFileType(const NRFBMFFBox& box) {
    std::uint32_t brand = 0;
    if (box.payloadSize() < 8 || !m_walker.ReadU32(box.payload(), brand)) {
        LUMO_LOG("Error reading BMFF ftyp atom");
        return kNRFErrBadFormat;
    }
    m_sawFileType = true;
    return 0;
}

void BoxReader::readMovieHeader(const NRFBMFFBox& box) {
    std::uint8_t version = 0;
    std::uint64_t created = 0, duration = 0, unknown = 0;
    std::uint32_t timescale = 0;
    const std::uint64_t p = box.payload();
    bool ok = m_walker.ReadU8(p, version);
    if (ok && version == 1) {
        ok = box.payloadSize() >= 32 && m_walker.ReadU64(p + 4, created) &&
             m_walker.ReadU32(p + 20, timescale) && m_walker.ReadU64(p + 24, duration);
        unknown = ~std::uint64_t{0};
    } else if (ok) {
        ok = box.payloadSize() >= 20 && m_walker.ReadUInt(p + 4, 4, created) &&
             m_walker.ReadU32(p + 12, timescale) && m_walker.ReadUInt(p + 16, 4, duration);
        unknown = 0xFFFFFFFFu;
    }
    if (!ok) {
        LUMO_LOG("BMFF 'mvhd' read error");
        return;
    }
    m_headerSeconds = created;
    if (timescale != 0 && duration != unknown && duration != 0)
        m_duration = static_cast<double>(duration) / timescale;
}

void BoxReader::readTrack(const NRFBMFFBox& box) {
    Track track;
    Track* const outer = std::exchange(m_track, &track);
    walkContainer(box, 0);
    m_track = outer;
    if (track.handler != NRFBMFFType("vide") || m_haveVideo)
        return;
    std::uint32_t width = track.width, height = track.height;
    if (width == 0 || height == 0) {
        width = track.entryWidth;
        height = track.entryHeight;
    }
    if (width == 0 || height == 0)
        return;
    m_haveVideo = true;
    m_record.m_width = width;
    m_record.m_height = height;
    m_record.m_orientation = static_cast<std::int16_t>(track.rotation);
}

// The turn of the track from its matrix: quarter turns clockwise, 0 for anything else.
int rotationFromMatrix(std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d) {
    constexpr std::int32_t one = 0x10000;
    if (a == 0 && d == 0 && b == one && c == -one)
        return 1;
    if (a == -one && d == -one && b == 0 && c == 0)
        return 2;
    if (a == 0 && d == 0 && b == -one && c == one)
        return 3;
    return 0;
}

void BoxReader::readTrackHeader(const NRFBMFFBox& box) {
    std::uint8_t version = 0;
    const std::uint64_t p = box.payload();
    if (!m_walker.ReadU8(p, version) || box.payloadSize() < (version == 1 ? 92u : 80u)) {
        LUMO_LOG("BMFF 'tkhd' read error");
        return;
    }
    if (!m_track)
        return;
    const std::uint64_t matrix = p + (version == 1 ? 52 : 40);
    std::uint32_t m[5] = {}, width = 0, height = 0;
    for (int i = 0; i < 5; ++i)
        if (!m_walker.ReadU32(matrix + 4 * static_cast<unsigned>(i), m[i]))
            return;
    if (!m_walker.ReadU32(matrix + 36, width) || !m_walker.ReadU32(matrix + 40, height))
        return;
    m_track->width = (width + 0x8000u) >> 16;
    m_track->height = (height + 0x8000u) >> 16;
    if (width >= 0xFFFF8000u)
        m_track->width = 0;
    if (height >= 0xFFFF8000u)
        m_track->height = 0;
    m_track->rotation = rotationFromMatrix(static_cast<std::int32_t>(m[0]), static_cast<std::int32_t>(m[1]),
                                           static_cast<std::int32_t>(m[3]), static_cast<std::int32_t>(m[4]));
}

void BoxReader::readHandler(const NRFBMFFBox& box) {
    std::uint32_t handler = 0;
    if (box.payloadSize() < 12 || !m_walker.ReadU32(box.payload() + 8, handler)) {
        LUMO_LOG("BMFF 'hdlr' read error");
        return;
    }
    // Only the media handler names the track's kind; the data handler under "minf" does not.
    if (m_track && box.path.size() >= 5 && box.path.compare(box.path.size() - 5, 5, "|mdia") == 0)
        m_track->handler = handler;
}

void BoxReader::readSampleEntry(const NRFBMFFBox& box) {
    std::uint16_t width = 0, height = 0;
    if (m_track->entryWidth != 0 || box.payloadSize() < 28 || !m_walker.ReadU16(box.payload() + 24, width) ||
        !m_walker.ReadU16(box.payload() + 26, height))
        return;
    m_track->entryWidth = width;
    m_track->entryHeight = height;
}

void BoxReader::readMeta(const NRFBMFFBox& box) {
    // The QuickTime form has no version and flags: its first child follows at once.
    std::uint32_t second = 0;
    const std::uint64_t skip =
        box.payloadSize() >= 8 && m_walker.ReadU32(box.payload() + 4, second) && second == NRFBMFFType("hdlr")
            ? 0
            : 4;
    const std::vector<std::string> outerKeys = std::move(m_keys);
    const bool outerHaveKeys = std::exchange(m_haveKeys, false);
    m_keys.clear();
    walkContainer(box, skip);
    m_keys = outerKeys;
    m_haveKeys = outerHaveKeys;
}

void BoxReader::readKeys(const NRFBMFFBox& box) {
    std::uint32_t count = 0;
    m_keys.clear();
    m_haveKeys = true;
    if (box.payloadSize() < 8 || !m_walker.ReadU32(box.payload() + 4, count))
        return;
    std::uint64_t pos = box.payload() + 8;
    for (std::uint64_t i = 0; i < std::min<std::uint64_t>(count, kMaxKeys); ++i) {
        std::uint32_t size = 0;
        if (box.end() - pos < 8 || !m_walker.ReadU32(pos, size) || size < 8 || size > box.end() - pos)
            break;
        std::string key;
        if (!text(pos + 8, size - 8, key))
            break;
        m_keys.push_back(trimmed(key));
        pos += size;
    }
}

bool BoxReader::dataBox(const NRFBMFFBox& item, std::uint32_t& dataType, std::string& value) {
    bool found = false;
    m_walker.WalkChildren(item, 0, [&](const NRFBMFFBox& child) -> NRFErr {
        if (!child.is("data") || child.payloadSize() < 8)
            return 0;
        found = m_walker.ReadU32(child.payload(), dataType) &&
                text(child.payload() + 8, child.payloadSize() - 8, value);
        return found ? 1 : 0;
    });
    dataType &= 0xFFFFFF;
    return found;
}

void BoxReader::readItemList(const NRFBMFFBox& box) {
    bool complained = false;
    m_walker.WalkChildren(box, 0, [&](const NRFBMFFBox& item) -> NRFErr {
        std::uint32_t dataType = 0;
        std::string value;
        if (!m_haveKeys && (item.type >> 24) == 0xA9) {
            // An iTunes-style list: the items are named by their types.
            if (dataBox(item, dataType, value) && (dataType == 1 || dataType == 0))
                applyClassic(item.type, trimmed(value), kFromUserData);
            return 0;
        }
        if (!m_haveKeys) {
            if (!std::exchange(complained, true))
                LUMO_LOG("BMFF QuickTime format error: missing 'keys' for 'ilst'");
            return 0;
        }
        if (item.type == 0 || item.type > m_keys.size()) {
            LUMO_LOG("BMFF QuickTime format error: bad key num for GetNthQTKey");
            return 0;
        }
        if (dataBox(item, dataType, value))
            applyKey(m_keys[item.type - 1], dataType, value);
        return 0;
    });
}

// A number from a "data" value of the well-known types (integers, floats, or text).
std::optional<double> dataNumber(std::uint32_t dataType, const std::string& value) {
    const auto* b = reinterpret_cast<const unsigned char*>(value.data());
    if ((dataType == 21 || dataType == 22) && !value.empty() && value.size() <= 8) {
        std::uint64_t n = 0;
        for (unsigned char c : value)
            n = (n << 8) | c;
        if (dataType == 21 && (b[0] & 0x80)) {
            const unsigned bits = static_cast<unsigned>(value.size() * 8);
            return bits == 64 ? static_cast<double>(static_cast<std::int64_t>(n))
                              : static_cast<double>(static_cast<std::int64_t>(n) - (std::int64_t{1} << bits));
        }
        return static_cast<double>(n);
    }
    if (dataType == 23 && value.size() == 4) {
        const std::uint32_t n = (std::uint32_t{b[0]} << 24) | (b[1] << 16) | (b[2] << 8) | b[3];
        float f = 0;
        std::memcpy(&f, &n, 4);
        return f;
    }
    if (dataType == 24 && value.size() == 8) {
        std::uint64_t n = 0;
        for (unsigned char c : value)
            n = (n << 8) | c;
        double d = 0;
        std::memcpy(&d, &n, 8);
        return d;
    }
    if (dataType == 1) {
        double d = 0;
        if (std::sscanf(value.c_str(), "%lf", &d) == 1)
            return d;
    }
    return std::nullopt;
}

void BoxReader::applyKey(const std::string& fullKey, std::uint32_t dataType, const std::string& raw) {
    if (fullKey.rfind(kKeyPrefix, 0) != 0)
        return;
    const std::string key = fullKey.substr(std::strlen(kKeyPrefix));
    const std::string value = trimmed(dataType == 2 ? fromUTF16BE(raw) : raw);
    const bool isText = dataType == 1 || dataType == 2;
    if (key == "rating.user") {
        if (const auto n = dataNumber(dataType, raw); n && std::isfinite(*n) && *n >= 0 && *n <= 5)
            m_record.m_rating = static_cast<std::int16_t>(std::lround(*n));
        return;
    }
    if (!isText || value.empty())
        return;
    Stamp stamp;
    Location location;
    if (key == "creationdate" && parseDateTime(value, stamp))
        m_captureTime.offer(stamp, kFromKeys);
    else if (key == "location.date" && parseDateTime(value, stamp) && stamp.zone)
        m_record.m_gpsTime = static_cast<double>(secondsSince1970(stamp));
    else if (key == "make")
        m_make.offer(value, kFromKeys);
    else if (key == "model")
        m_model.offer(value, kFromKeys);
    else if (key == "software")
        m_software.offer(value, kFromKeys);
    else if (key == "artist")
        m_record.m_artist = value;
    else if (key == "author" && m_record.m_artist.empty())
        m_record.m_artist = value;
    else if (key == "copyright")
        m_record.m_copyright = value;
    else if (key == "comment")
        m_record.m_userComment = value;
    else if (key == "location.ISO6709" && parseISO6709(value, location))
        m_location.offer(location, kFromKeys);
}

void BoxReader::applyClassic(std::uint32_t type, const std::string& value, int from) {
    if (value.empty())
        return;
    Stamp stamp;
    Location location;
    if (type == NRFBMFFType("\xA9"
                            "day") &&
        parseDateTime(value, stamp))
        m_captureTime.offer(stamp, from);
    else if (type == NRFBMFFType("\xA9"
                                 "mak"))
        m_make.offer(value, from);
    else if (type == NRFBMFFType("\xA9"
                                 "mod"))
        m_model.offer(value, from);
    else if (type == NRFBMFFType("\xA9"
                                 "swr"))
        m_software.offer(value, from);
    else if (type == NRFBMFFType("\xA9"
                                 "xyz") &&
             parseISO6709(value, location))
        m_location.offer(location, from);
}

void BoxReader::readUserDataText(const NRFBMFFBox& box) {
    // The classic form: a 16-bit length and language, then the text. Some writers put an iTunes
    // "data" box here instead.
    std::uint16_t length = 0;
    std::uint32_t second = 0;
    std::string value;
    if (box.payloadSize() >= 16 && m_walker.ReadU32(box.payload() + 4, second) &&
        second == NRFBMFFType("data")) {
        std::uint32_t dataType = 0;
        if (dataBox(box, dataType, value) && (dataType == 1 || dataType == 0))
            applyClassic(box.type, trimmed(value), kFromUserData);
        return;
    }
    if (box.payloadSize() < 4 || !m_walker.ReadU16(box.payload(), length) || length > box.payloadSize() - 4 ||
        !text(box.payload() + 4, length, value))
        return;
    applyClassic(box.type, trimmed(value), kFromUserData);
}

void BoxReader::readXML(const NRFBMFFBox& box) {
    std::string xml;
    if (box.payloadSize() < 4 ||
        !m_walker.ReadBytes(box.payload() + 4, std::min(box.payloadSize() - 4, kMaxXMLBytes), xml))
        return;
    Stamp stamp;
    if (parseDateTime(xmlAttribute(xml, "<CreationDate value=\""), stamp))
        m_captureTime.offer(stamp, kFromXML);
    if (std::string v = trimmed(xmlAttribute(xml, "manufacturer=\"")); !v.empty())
        m_make.offer(v, kFromXML);
    if (std::string v = trimmed(xmlAttribute(xml, "modelName=\"")); !v.empty())
        m_model.offer(v, kFromXML);
    if (std::string v = trimmed(xmlAttribute(xml, "serialNo=\""));
        !v.empty() && m_record.m_bodySerial.empty())
        m_record.m_bodySerial = v;
    if (const std::size_t layout = xml.find("<VideoLayout"); layout != std::string::npos) {
        const std::size_t close = xml.find('>', layout);
        const std::string element =
            xml.substr(layout, close == std::string::npos ? std::string::npos : close - layout);
        const long width = std::strtol(xmlAttribute(element, "pixel=\"").c_str(), nullptr, 10);
        const long height = std::strtol(xmlAttribute(element, "numOfVerticalLine=\"").c_str(), nullptr, 10);
        if (width > 0 && height > 0 && width < 100000 && height < 100000) {
            m_xmlWidth = static_cast<std::uint32_t>(width);
            m_xmlHeight = static_cast<std::uint32_t>(height);
        }
    }
}

// Nikon's tag list: a 32-bit tag, an EXIF type and a 16-bit count, then the value, one after another.
void BoxReader::readNikonTags(const NRFBMFFBox& box) {
    std::uint64_t pos = box.payload();
    for (unsigned n = 0; n < kMaxMakerTags && box.end() - pos >= 8; ++n) {
        std::uint32_t tag = 0;
        std::uint16_t type = 0, count = 0;
        if (!m_walker.ReadU32(pos, tag) || !m_walker.ReadU16(pos + 4, type) ||
            !m_walker.ReadU16(pos + 6, count))
            return;
        const std::uint64_t size = std::uint64_t{NRFTIFFTypeSize(type)} * count;
        if (size > box.end() - pos - 8)
            return;
        const std::uint64_t value = pos + 8;
        pos = value + size;
        std::string bytes;
        if (type == kTIFFAscii && text(value, size, bytes)) {
            bytes = trimmed(bytes);
            Stamp stamp;
            if (bytes.empty())
                continue;
            if (tag == 1)
                m_make.offer(bytes, kFromMaker);
            else if (tag == 2)
                m_model.offer(bytes, kFromMaker);
            else if (tag == 3)
                m_software.offer(bytes, kFromMaker);
            else if ((tag == 0x12 || (tag == 0x11 && m_captureTime.source < kFromMaker)) &&
                     parseDateTime(bytes, stamp))
                m_captureTime.offer(stamp, kFromMaker);
            else if (tag == 0x0110A431 && m_record.m_bodySerial.empty())
                m_record.m_bodySerial = bytes;
            else if (tag == 0x0110A434 && m_record.m_lensModel.empty())
                m_record.m_lensModel = bytes;
        } else if ((type == kTIFFRational || type == kTIFFSRational) && count >= 1) {
            std::uint32_t numerator = 0, denominator = 0;
            if (!m_walker.ReadU32(value, numerator) || !m_walker.ReadU32(value + 4, denominator) ||
                denominator == 0)
                continue;
            const float v = static_cast<float>(static_cast<double>(numerator) / denominator);
            if (tag == 0x0110829A && !m_record.m_exposureTime)
                m_record.m_exposureTime = v;
            else if (tag == 0x0110829D && !m_record.m_fNumber)
                m_record.m_fNumber = v;
            else if (tag == 0x0110920A && !m_record.m_focalLength)
                m_record.m_focalLength = v;
        }
    }
}

// Fuji's tags: a little-endian IFD 16 bytes into the box, its offsets counted from its own start.
void BoxReader::readFujiTags(const NRFBMFFBox& box) {
    if (box.payloadSize() < 16 + 2 || box.payload() + 16 > 0xFFFFFFFFu) {
        LUMO_LOG("BMFF 'MVTG' Fuji format error: bad size");
        return;
    }
    const std::uint64_t base = box.payload() + 16;
    // The tags are read into a scratch record so that only the camera values reach this one.
    NRFImageInfoRec scratch(m_record.m_path, m_record.m_fileType);
    NRFBasicTIFF tiff(m_source, base);
    tiff.SetBigEndian(false);
    EXIFParseOptions options;
    options.fileType = m_record.m_fileType;
    options.segmentStart = base;
    options.segmentEnd = box.end();
    EXIFParser parser(scratch, tiff, options);
    if (parser.ParseIFD(0, NRFIFDRole::Other) != 0) {
        LUMO_LOG("BMFF 'MVTG' Fuji format error: bad size");
        return;
    }
    (void)parser.ParseExifIFD(NRFIFDRole::Other);
    takeCameraValues(scratch);
}

// Canon's TIFF blocks: IFD0 with the camera (CMT1) and the EXIF IFD with the capture time (CMT2).
void BoxReader::readCanonTIFF(const NRFBMFFBox& box) {
    NRFImageInfoRec scratch(m_record.m_path, m_record.m_fileType);
    NRFBasicTIFF tiff(m_source, box.payload());
    if (box.payload() > 0xFFFFFFFFu || !tiff.ReadHeader())
        return;
    EXIFParseOptions options;
    options.fileType = m_record.m_fileType;
    options.segmentStart = box.payload();
    options.segmentEnd = box.end();
    EXIFParser parser(scratch, tiff, options);
    (void)parser.ParseIFD(tiff.IFD0Offset(), NRFIFDRole::Other);
    takeCameraValues(scratch);
}

void BoxReader::takeCameraValues(const NRFImageInfoRec& scratch) {
    if (!scratch.m_make.empty())
        m_make.offer(trimmed(scratch.m_make), kFromMaker);
    if (!scratch.m_model.empty())
        m_model.offer(trimmed(scratch.m_model), kFromMaker);
    if (!scratch.m_software.empty())
        m_software.offer(trimmed(scratch.m_software), kFromMaker);
    if (scratch.m_captureTime.isValid())
        m_captureTime.offer(Stamp{scratch.m_captureTime, scratch.m_timeZoneOffset}, kFromMaker);
    if (!m_record.m_exposureTime)
        m_record.m_exposureTime = scratch.m_exposureTime;
    if (!m_record.m_fNumber)
        m_record.m_fNumber = scratch.m_fNumber;
    if (!m_record.m_iso)
        m_record.m_iso = scratch.m_iso;
    if (!m_record.m_focalLength)
        m_record.m_focalLength = scratch.m_focalLength;
}

void BoxReader::takeThumbnail(std::uint64_t pos, std::uint64_t length) {
    NRFEmbeddedImageLoc jpeg;
    if (m_record.m_thumbnail.present() || !NRFLocateJPEG(m_source, pos, length, jpeg))
        return;
    m_record.m_thumbnail = jpeg;
    m_record.m_thumbnailIsJPEG = true;
}

void BoxReader::takeXMP(std::uint64_t pos, std::uint64_t length) {
    if (m_record.m_xmpPacketLength != 0 || length == 0 || pos > 0xFFFFFFFFu || length > 0xFFFFFFFFu - pos)
        return;
    m_record.m_xmpPacketPos = static_cast<std::uint32_t>(pos);
    m_record.m_xmpPacketLength = static_cast<std::uint32_t>(length);
}

void BoxReader::finish() {
    if (!m_haveVideo && m_xmlWidth != 0) {
        m_record.m_width = m_xmlWidth;
        m_record.m_height = m_xmlHeight;
    }
    m_record.m_displayWidth = m_record.m_width;
    m_record.m_displayHeight = m_record.m_height;
    if (m_duration && std::isfinite(*m_duration))
        m_record.m_duration = m_duration;
    // The movie header counts UTC seconds since 1904; 0 is a camera that never set its clock, and a
    // count before 1970 is a camera that counted from 1970 instead. Many cameras count their local
    // time as if it were UTC, so the time is taken as written and no zone is claimed for it.
    if (m_headerSeconds != 0 && m_headerSeconds < (std::uint64_t{1} << 40)) {
        const auto seconds = static_cast<std::int64_t>(m_headerSeconds);
        Stamp header{
            KLDateTimeFromSeconds(seconds < kSeconds1904To1970 ? seconds : seconds - kSeconds1904To1970),
            std::nullopt};
        if (header.time.isValid())
            m_captureTime.offer(header, kFromHeader);
    }
    if (m_captureTime.set()) {
        m_record.m_captureTime = m_captureTime.value.time;
        m_record.m_timeZoneOffset = m_captureTime.value.zone;
    }
    if (m_make.set())
        m_record.m_make = m_make.value;
    if (m_model.set())
        m_record.m_model = m_model.value;
    if (m_software.set())
        m_record.m_software = m_software.value;
    if (m_location.set()) {
        const Location& l = m_location.value;
        m_record.m_hasGPS = true;
        m_record.m_latitude = l.latitude;
        m_record.m_longitude = l.longitude;
        m_record.m_altitude = l.altitude;
        m_record.m_gpsLatitudeRef = l.latitude < 0 ? 'S' : 'N';
        m_record.m_gpsLongitudeRef = l.longitude < 0 ? 'W' : 'E';
        m_record.m_gpsAltitudeRef = l.altitude && *l.altitude < 0 ? 1 : 0;
    }
    m_record.m_hasInfo = true;
}

// ---- AVI -------------------------------------------------------------------------------------------

struct AVIState {
    std::uint32_t microsPerFrame = 0, totalFrames = 0, width = 0, height = 0;
    bool haveVideoStream = false, inVideoStream = false;
    double streamDuration = 0;
    std::uint32_t streamWidth = 0, streamHeight = 0;
    std::string date, software;
};

// The chunks of a RIFF list from `begin` to `end`: a little-endian id and size, the data padded to an
// even length. "LIST" chunks of the header are walked to `depth` 3; the movie data is never entered.
void walkAVI(NRFByteSource& source, std::uint64_t begin, std::uint64_t end, int depth, AVIState& state) {
    std::uint64_t pos = begin;
    for (unsigned n = 0; n < 10000 && end - pos >= 8 && pos < end; ++n) {
        unsigned char h[12];
        if (!source.ReadAt(pos, h, 8))
            return;
        const std::uint32_t size = u32LE(h + 4);
        const std::uint64_t data = pos + 8;
        if (size > end - data)
            return;
        const std::string id(reinterpret_cast<const char*>(h), 4);
        if (id == "LIST" && size >= 4 && depth < 3 && source.ReadAt(data, h + 8, 4)) {
            const std::string kind(reinterpret_cast<const char*>(h + 8), 4);
            if (kind == "strl")
                state.inVideoStream = false;
            if (kind == "hdrl" || kind == "strl" || kind == "INFO")
                walkAVI(source, data + 4, data + size, depth + 1, state);
        } else if (id == "avih" && size >= 40) {
            unsigned char a[40];
            if (source.ReadAt(data, a, sizeof a)) {
                state.microsPerFrame = u32LE(a);
                state.totalFrames = u32LE(a + 16);
                state.width = u32LE(a + 32);
                state.height = u32LE(a + 36);
            }
        } else if (id == "strh" && size >= 36) {
            unsigned char s[36];
            if (source.ReadAt(data, s, sizeof s) && std::memcmp(s, "vids", 4) == 0 &&
                !state.haveVideoStream) {
                state.haveVideoStream = state.inVideoStream = true;
                const std::uint32_t scale = u32LE(s + 20), rate = u32LE(s + 24), length = u32LE(s + 32);
                if (scale != 0 && rate != 0)
                    state.streamDuration = static_cast<double>(length) * scale / rate;
            }
        } else if (id == "strf" && size >= 12 && state.inVideoStream) {
            unsigned char b[12];
            if (source.ReadAt(data, b, sizeof b)) {
                const auto w = static_cast<std::int32_t>(u32LE(b + 4)),
                           hgt = static_cast<std::int32_t>(u32LE(b + 8));
                if (w > 0 && hgt != 0 && hgt != INT32_MIN) {
                    state.streamWidth = static_cast<std::uint32_t>(w);
                    state.streamHeight = static_cast<std::uint32_t>(hgt < 0 ? -hgt : hgt);
                }
            }
            state.inVideoStream = false;
        } else if ((id == "IDIT" || id == "ISFT") && size > 0) {
            std::string value(static_cast<std::size_t>(std::min<std::uint64_t>(size, 256)), '\0');
            if (source.ReadAt(data, value.data(), value.size()))
                (id == "IDIT" ? state.date : state.software) = trimmed(value);
        }
        pos = data + size + (size & 1);
    }
}

// "Mon Mar 10 15:04:43 2003" as many cameras write it, or an EXIF-style date.
bool parseAVIDate(const std::string& text, KLDateTime& out) {
    Stamp stamp;
    if (parseDateTime(text, stamp)) {
        out = stamp.time;
        return true;
    }
    char weekday[4] = {}, monthName[4] = {};
    int day = 0, hour = 0, minute = 0, second = 0, year = 0;
    if (std::sscanf(text.c_str(), "%3s %3s %d %d:%d:%d %d", weekday, monthName, &day, &hour, &minute, &second,
                    &year) != 7)
        return false;
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int m = 0; m < 12; ++m)
        if (std::strcmp(monthName, kMonths[m]) == 0 && year > 0 && year < 10000 && day >= 1 && day <= 31 &&
            hour >= 0 && hour < 24 && minute >= 0 && minute < 60 && second >= 0 && second <= 60) {
            out = KLDateTime{static_cast<std::int16_t>(year),   static_cast<std::uint8_t>(m + 1),
                             static_cast<std::uint8_t>(day),    static_cast<std::uint8_t>(hour),
                             static_cast<std::uint8_t>(minute), static_cast<std::uint8_t>(second)};
            return true;
        }
    return false;
}

NRFErr readAVI(NRFImageInfoRec& record, NRFByteSource& source) {
    unsigned char h[12];
    if (!source.ReadAt(0, h, sizeof h) || std::memcmp(h, "RIFF", 4) != 0 ||
        std::memcmp(h + 8, "AVI ", 4) != 0)
        return kNRFErrBadFormat;
    const std::uint64_t end = std::min<std::uint64_t>(source.Size(), std::uint64_t{u32LE(h + 4)} + 8);
    AVIState state;
    walkAVI(source, 12, end, 0, state);
    record.m_width = state.width != 0 && state.height != 0 ? state.width : state.streamWidth;
    record.m_height = state.width != 0 && state.height != 0 ? state.height : state.streamHeight;
    record.m_displayWidth = record.m_width;
    record.m_displayHeight = record.m_height;
    if (state.streamDuration > 0 && std::isfinite(state.streamDuration))
        record.m_duration = state.streamDuration;
    else if (state.microsPerFrame != 0 && state.totalFrames != 0)
        record.m_duration = static_cast<double>(state.microsPerFrame) * state.totalFrames / 1e6;
    if (KLDateTime t; parseAVIDate(state.date, t))
        record.m_captureTime = t;
    if (!state.software.empty())
        record.m_software = state.software;
    record.m_hasInfo = true;
    return kNRFErrNone;
}

// ---- MPEG program and transport streams ------------------------------------------------------------

// The system clock of a pack header at `p` (MPEG-1 or MPEG-2 form), in 90 kHz ticks.
std::optional<std::uint64_t> packClock(const unsigned char* p) {
    const std::uint64_t b4 = p[4], b5 = p[5], b6 = p[6], b7 = p[7], b8 = p[8];
    if ((b4 & 0xC0) == 0x40)
        return ((b4 >> 3) & 7) << 30 | (b4 & 3) << 28 | b5 << 20 | (b6 >> 3) << 15 | (b6 & 3) << 13 |
               b7 << 5 | b8 >> 3;
    if ((b4 & 0xF0) == 0x20)
        return ((b4 >> 1) & 7) << 30 | b5 << 22 | (b6 >> 1) << 15 | b7 << 7 | b8 >> 1;
    return std::nullopt;
}

bool readRange(NRFByteSource& source, std::uint64_t pos, std::uint64_t length,
               std::vector<unsigned char>& out) {
    out.clear();
    if (pos > source.Size())
        return false;
    length = std::min(length, source.Size() - pos);
    out.resize(static_cast<std::size_t>(length));
    return length == 0 || source.ReadAt(pos, out.data(), out.size());
}

bool isTransportStream(NRFByteSource& source) {
    for (std::uint64_t first : {0u, 4u}) {
        unsigned char a = 0, b = 0, c = 0;
        const std::uint64_t step = first == 0 ? 188 : 192;
        if (source.ReadAt(first, &a, 1) && source.ReadAt(first + step, &b, 1) &&
            source.ReadAt(first + 2 * step, &c, 1) && a == 0x47 && b == 0x47 && c == 0x47)
            return true;
    }
    return false;
}

NRFErr readMPEG(NRFImageInfoRec& record, NRFByteSource& source) {
    if (isTransportStream(source)) {
        // A transport stream: recognised, but its pictures' sizes lie too deep to be worth finding here.
        record.m_hasInfo = true;
        return kNRFErrNone;
    }
    std::vector<unsigned char> head;
    if (!readRange(source, 0, kMPEGScanBytes, head) || head.size() < 12 || head[0] != 0 || head[1] != 0 ||
        head[2] != 1 || (head[3] != 0xBA && head[3] != 0xB3))
        return kNRFErrBadFormat;
    for (std::size_t i = 0; i + 7 < head.size(); ++i)
        if (head[i] == 0 && head[i + 1] == 0 && head[i + 2] == 1 && head[i + 3] == 0xB3) {
            const std::uint32_t width = (std::uint32_t{head[i + 4]} << 4) | (head[i + 5] >> 4);
            const std::uint32_t height = ((std::uint32_t{head[i + 5]} & 0xF) << 8) | head[i + 6];
            if (width != 0 && height != 0) {
                record.m_width = record.m_displayWidth = width;
                record.m_height = record.m_displayHeight = height;
                break;
            }
        }
    // The duration: the clock of the last pack header less that of the first.
    if (head[3] == 0xBA && head.size() >= 12) {
        const std::optional<std::uint64_t> first = packClock(head.data());
        std::vector<unsigned char> tail;
        const std::uint64_t size = source.Size();
        const std::uint64_t from = size > kMPEGScanBytes ? size - kMPEGScanBytes : 0;
        if (first && readRange(source, from, kMPEGScanBytes, tail) && tail.size() >= 12)
            for (std::size_t i = tail.size() - 12 + 1; i-- > 0;)
                if (tail[i] == 0 && tail[i + 1] == 0 && tail[i + 2] == 1 && tail[i + 3] == 0xBA) {
                    if (const auto last = packClock(&tail[i]); last && *last > *first)
                        record.m_duration = static_cast<double>(*last - *first) / 90000.0;
                    break;
                }
    }
    record.m_hasInfo = true;
    return kNRFErrNone;
}

// ---- dispatch and loaders ----------------------------------------------------------------------------

enum class Layout { Boxes, AVI, MPEG, Unknown };

// The files are taken by what they hold, whatever their name says.
Layout layoutOf(NRFByteSource& source) {
    unsigned char h[12] = {};
    if (!source.ReadAt(0, h, std::min<std::uint64_t>(sizeof h, source.Size())))
        return Layout::Unknown;
    if (std::memcmp(h, "RIFF", 4) == 0 && std::memcmp(h + 8, "AVI ", 4) == 0)
        return Layout::AVI;
    if ((h[0] == 0 && h[1] == 0 && h[2] == 1 && (h[3] == 0xBA || h[3] == 0xB3)) || isTransportStream(source))
        return Layout::MPEG;
    if (source.Size() >= 8)
        return Layout::Boxes;
    return Layout::Unknown;
}

NRFErr getImageInfo(NRFContext& context, NRFImageInfoRec& record, lumo::File& file) {
    NRFFileByteSource source(file);
    return NRFReadMovieStructure(context, record, source);
}

NRFErr answerYes(NRFContext&, NRFImageInfoRec&, bool& yes) {
    yes = true;
    return kNRFErrNone;
}

// The frame at the movie's time, scaled to fit `size` (0: as rendered) and turned upright.
NRFErr loadFrame(NRFImageInfoRec& record, NRFBitmapBase& bitmap, std::uint32_t size) {
    NRFBitmapBase frame;
    const double seconds = NRFMovieFrameTime(record);
    NRFErr result = NRFRenderMovieFrame(record.m_path, seconds, frame);
    // Without a known duration the chosen time may lie past a short movie's end.
    if (result != kNRFErrNone && !record.m_duration && seconds > 0)
        result = NRFRenderMovieFrame(record.m_path, 0.0, frame);
    if (result == kNRFErrNone && frame.Empty())
        result = kNRFErrBadFormat;
    if (result != kNRFErrNone) {
        LUMO_LOG("NRFMovie: no frame rendered for '%s', error %d", record.m_path.c_str(),
                 static_cast<int>(result));
        bitmap.Clear();
        return result;
    }
    if (!frame.ScaleToFit(size, bitmap)) {
        bitmap.Clear();
        return kNRFErrMemory;
    }
    bitmap.flags = 0;
    if (record.m_orientation > 0 && record.m_orientation <= 7 && !bitmap.Rotate(record.m_orientation)) {
        bitmap.Clear();
        return kNRFErrMemory;
    }
    return kNRFErrNone;
}

NRFErr loadThumbnail(NRFContext&, NRFImageInfoRec& record, NRFOperationArgs* args) {
    if (!args || !args->bitmap)
        return kNRFErrParam;
    NRFBitmapBase& bitmap = *args->bitmap;
    bitmap.flags = 0;
    if (record.m_thumbnail.present()) {
        const NRFErr result = NRFBasicJPEGLoadImage(record.m_path, record.m_thumbnail.offset,
                                                    record.m_thumbnail.length, bitmap, args->size);
        if (result == kNRFErrNone)
            return result;
        LUMO_LOG("NRFMovie: thumbnail of '%s' failed with error %d", record.m_path.c_str(),
                 static_cast<int>(result));
        bitmap.Clear();
        if (result != kNRFErrMemory)
            record.m_thumbnail = NRFEmbeddedImageLoc{};
    }
    return loadFrame(record, bitmap, args->size);
}

NRFErr loadPreview(NRFContext&, NRFImageInfoRec& record, NRFOperationArgs* args) {
    if (!args || !args->bitmap)
        return kNRFErrParam;
    const NRFErr result = loadFrame(record, *args->bitmap, args->size);
    // Without a frame, the camera's thumbnail stands in where the caller allows it.
    if (result == kNRFErrNone || !(args->requestFlags & kNRFLoadAllowEmbedded) ||
        !record.m_thumbnail.present())
        return result;
    if (NRFBasicJPEGLoadImage(record.m_path, record.m_thumbnail.offset, record.m_thumbnail.length,
                              *args->bitmap, args->size) != kNRFErrNone) {
        args->bitmap->Clear();
        return result;
    }
    args->bitmap->flags = kNRFBitmapSubstitute;
    return kNRFErrNone;
}

NRFErr loadImage(NRFContext&, NRFImageInfoRec& record, NRFOperationArgs* args) {
    if (!args || !args->bitmap)
        return kNRFErrParam;
    return loadFrame(record, *args->bitmap, 0);
}

} // namespace

double NRFMovieFrameTime(const NRFImageInfoRec& record) {
    if (record.m_duration && std::isfinite(*record.m_duration) && *record.m_duration >= 0 &&
        *record.m_duration < 2.0)
        return *record.m_duration / 2.0;
    return 1.0;
}

NRFErr NRFReadMovieStructure(NRFContext&, NRFImageInfoRec& record, NRFByteSource& source) {
    try {
        if (record.m_fileType != kTypeMooV && record.m_fileType != kTypeMPG4 &&
            record.m_fileType != kTypeWAVI && record.m_fileType != kTypeMPEG)
            return kNRFErrParam;
        NRFErr result = kNRFErrBadFormat;
        switch (layoutOf(source)) {
        case Layout::AVI:
            result = readAVI(record, source);
            break;
        case Layout::MPEG:
            result = readMPEG(record, source);
            break;
        case Layout::Boxes:
            result = BoxReader(record, source).Read();
            break;
        case Layout::Unknown:
            break;
        }
        if (result == kNRFErrBadFormat)
            LUMO_LOG("Movie file \"%s\" cannot be read", record.m_path.c_str());
        return result;
    } catch (const std::bad_alloc&) {
        return kNRFErrMemory;
    } catch (const std::exception& e) {
        LUMO_LOG("Unexpected exception in NRFGetImageInfo() %s", e.what());
        return kNRFErrException;
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFGetImageInfo()");
        return kNRFErrException;
    }
}

void NRFInstallMovieReader(const NRFFileTypeInfo&, NRFPluginFunctions& functions) {
    functions.GetImageInfo = &getImageInfo;
    functions.HaveThumbnail = &answerYes;
    functions.CanPreview = &answerYes;
    functions.CanRender = &answerYes;
    functions.LoadThumbnail = &loadThumbnail;
    functions.LoadFuzzyThumbnail = &loadPreview;
    functions.LoadPreview = &loadPreview;
    functions.LoadImage = &loadImage;
}
