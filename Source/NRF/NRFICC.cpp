// Colour profiles: reading the profile a file embeds from the locations its reader recorded, the
// built-in profiles, and conversions to sRGB through Little CMS.

#include "NRF/NRFICC.h"

#include "NRF/NRFBasicJPEG.h"
#include "NRF/NRFImageInfo.h"
#include "app/LumoLog.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <utility>
#include <vector>

#include <lcms2.h>
#include <zlib.h>

namespace {

// No real profile comes near this; a larger declared size is taken for damage.
constexpr std::uint64_t kMaxProfileSize = 64u << 20;
constexpr std::size_t kProfileHeaderSize = 128;
constexpr std::uint16_t kTagICCProfile = 34675;
constexpr std::uint16_t kTIFFUndefined = 7;
constexpr std::size_t kJPEGChunkHeader = 4 + 14; // marker, length, "ICC_PROFILE\0", sequence, count
constexpr std::size_t kTransformCacheSize = 6;

constexpr NRFFileType typeOf(const char (&code)[5]) {
    return NRFMakeFileType(code);
}

std::uint32_t be32(const unsigned char* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

const unsigned char* bytesOf(const std::string& s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

// -- Little CMS messages and built-in profiles

void logLittleCMSError(cmsContext, cmsUInt32Number code, const char* text) {
    LUMO_LOG("Little CMS error %u: %s", static_cast<unsigned>(code), text ? text : "");
}

struct BuiltInProfiles {
    std::string sRGB, adobeRGB;
    bool ready = false;
};

BuiltInProfiles& builtIns() {
    static BuiltInProfiles profiles;
    return profiles;
}

std::once_flag gInitOnce;

bool setDescription(cmsHPROFILE profile, const char* text) {
    cmsMLU* mlu = cmsMLUalloc(nullptr, 1);
    if (!mlu)
        return false;
    const bool ok =
        cmsMLUsetASCII(mlu, "en", "US", text) && cmsWriteTag(profile, cmsSigProfileDescriptionTag, mlu);
    cmsMLUfree(mlu);
    return ok;
}

bool saveProfile(cmsHPROFILE profile, std::string& out) {
    cmsUInt32Number size = 0;
    if (!cmsSaveProfileToMem(profile, nullptr, &size) || size == 0)
        return false;
    out.assign(size, '\0');
    if (!cmsSaveProfileToMem(profile, out.data(), &size))
        return false;
    out.resize(size);
    return true;
}

bool makeSRGB(std::string& out) {
    cmsHPROFILE profile = cmsCreate_sRGBProfile();
    if (!profile)
        return false;
    const bool ok = setDescription(profile, "sRGB IEC61966-2.1") && saveProfile(profile, out);
    cmsCloseProfile(profile);
    return ok;
}

bool makeAdobeRGB(std::string& out) {
    const cmsCIExyY white{0.3127, 0.3290, 1.0};
    const cmsCIExyYTRIPLE primaries{{0.64, 0.33, 1.0}, {0.21, 0.71, 1.0}, {0.15, 0.06, 1.0}};
    cmsToneCurve* gamma = cmsBuildGamma(nullptr, 563.0 / 256.0);
    if (!gamma)
        return false;
    cmsToneCurve* curves[3] = {gamma, gamma, gamma};
    cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsFreeToneCurve(gamma);
    if (!profile)
        return false;
    const bool ok = setDescription(profile, "Adobe RGB (1998)") && saveProfile(profile, out);
    cmsCloseProfile(profile);
    return ok;
}

// -- reading what the readers recorded

// A profile read from a file must say its own size and carry the profile signature. Trailing bytes
// beyond the declared size (padding some writers add) are dropped.
bool checkProfile(std::string& profile) {
    if (profile.size() < kProfileHeaderSize || std::memcmp(profile.data() + 36, "acsp", 4) != 0)
        return false;
    const std::uint32_t declared = be32(bytesOf(profile));
    if (declared < kProfileHeaderSize || declared > profile.size())
        return false;
    profile.resize(declared);
    return true;
}

// Reads bytes that must lie inside the file; a length the file cannot hold is refused before any
// memory is set aside for it.
NRFErr readBytes(const std::string& path, std::uint64_t offset, std::uint64_t length, std::string& out) {
    std::error_code error;
    const std::uintmax_t fileSize = std::filesystem::file_size(path, error);
    if (error) {
        LUMO_LOG("NRFICC cannot read the size of '%s'", path.c_str());
        return 5;
    }
    if (length == 0 || offset > fileSize || length > fileSize - offset)
        return 9;
    return NRFReadEmbeddedBytes(path, offset, length, out);
}

// JPEG: each recorded position is an APP2 segment; the chunks are joined in their sequence order,
// whatever order the file holds them in.
NRFErr readJPEGChunks(const NRFImageInfoRec& record, std::string& profile) {
    const std::uint32_t count = std::min<std::uint32_t>(record.m_iccChunkCount, record.m_iccChunkPos.size());
    std::vector<std::pair<int, std::string>> chunks;
    std::uint64_t total = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::string head;
        if (const NRFErr err = readBytes(record.m_path, record.m_iccChunkPos[i], kJPEGChunkHeader, head))
            return err;
        const unsigned char* h = bytesOf(head);
        const std::uint32_t length = (std::uint32_t{h[2]} << 8) | h[3];
        if (h[0] != 0xFF || h[1] != 0xE2 || std::memcmp(h + 4, "ICC_PROFILE", 12) != 0 || length < 16)
            return 9;
        const int sequence = h[16];
        std::string data;
        if (length > 16) {
            if (const NRFErr err =
                    readBytes(record.m_path, record.m_iccChunkPos[i] + kJPEGChunkHeader, length - 16, data))
                return err;
        }
        for (const auto& chunk : chunks)
            if (chunk.first == sequence)
                return 9; // the same chunk twice: which one belongs is unknowable
        total += data.size();
        if (total > kMaxProfileSize)
            return 9;
        chunks.emplace_back(sequence, std::move(data));
    }
    std::stable_sort(chunks.begin(), chunks.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    profile.clear();
    profile.reserve(static_cast<std::size_t>(total));
    for (const auto& chunk : chunks)
        profile += chunk.second;
    return 0;
}

// TIFF: the IFD entry must still be the profile's (writers that rewrite the file move it and update
// the record); its count is the profile's length.
NRFErr readTIFFTag(const NRFImageInfoRec& record, std::string& profile) {
    std::string entry;
    if (const NRFErr err = readBytes(record.m_path, record.m_iccIFDEntryPos, 12, entry))
        return err;
    const unsigned char* e = bytesOf(entry);
    const bool big = record.m_tiffBigEndian;
    const auto u16 = [big](const unsigned char* p) {
        return static_cast<std::uint16_t>(big ? (p[0] << 8) | p[1] : (p[1] << 8) | p[0]);
    };
    const std::uint32_t entryCount =
        big ? be32(e + 4)
            : (std::uint32_t{e[7]} << 24) | (std::uint32_t{e[6]} << 16) | (std::uint32_t{e[5]} << 8) | e[4];
    if (u16(e) != kTagICCProfile || u16(e + 2) != kTIFFUndefined || entryCount != record.m_iccTotalLength ||
        entryCount > kMaxProfileSize)
        return 9;
    return readBytes(record.m_path, record.m_iccChunkPos[0], entryCount, profile);
}

// PNG iCCP: a keyword of 1..79 bytes, NUL, compression method 0, then a zlib stream. The inflated
// profile stops at the size its header declares, and never grows past kMaxProfileSize.
NRFErr inflateICCP(const std::string& chunk, std::string& profile) {
    const std::size_t nul = chunk.find('\0');
    if (nul == std::string::npos || nul == 0 || nul > 79 || nul + 2 > chunk.size() || chunk[nul + 1] != 0)
        return 9;
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK)
        return 7;
    stream.next_in = const_cast<Bytef*>(bytesOf(chunk) + nul + 2);
    stream.avail_in = static_cast<uInt>(chunk.size() - nul - 2);
    profile.clear();
    std::uint64_t limit = kProfileHeaderSize; // until the header says more
    bool limitKnown = false;
    NRFErr result = 9;
    try {
        for (;;) {
            const std::size_t have = profile.size();
            const std::size_t want =
                static_cast<std::size_t>(std::min<std::uint64_t>(limit - have, 1u << 16));
            if (want == 0) {
                result = limitKnown ? 0 : 9;
                break;
            }
            profile.resize(have + want);
            stream.next_out = reinterpret_cast<Bytef*>(profile.data() + have);
            stream.avail_out = static_cast<uInt>(want);
            const int status = inflate(&stream, Z_NO_FLUSH);
            profile.resize(have + want - stream.avail_out);
            if (!limitKnown && profile.size() >= 4) {
                const std::uint32_t declared = be32(bytesOf(profile));
                if (declared < kProfileHeaderSize || declared > kMaxProfileSize)
                    break;
                limit = declared;
                limitKnown = true;
            }
            if (status == Z_STREAM_END) {
                result = limitKnown ? 0 : 9;
                break;
            }
            if (status != Z_OK || (stream.avail_out != 0 && stream.avail_in == 0))
                break; // damaged, or the data ends early
        }
    } catch (const std::bad_alloc&) {
        result = 7;
    }
    inflateEnd(&stream);
    return result;
}

NRFErr readPNGChunk(const NRFImageInfoRec& record, std::string& profile) {
    // Keyword, NUL and method take at most 81 bytes; the rest is compressed profile.
    if (record.m_iccTotalLength > kMaxProfileSize + 81)
        return 9;
    std::string chunk;
    if (const NRFErr err = readBytes(record.m_path, record.m_iccChunkPos[0], record.m_iccTotalLength, chunk))
        return err;
    return inflateICCP(chunk, profile);
}

// GIF: the profile is the data of the sub-blocks (a length byte, then that many bytes) up to the
// empty block. Each read asks only for as many bytes as the rest of the profile needs at the least
// (full 255-byte blocks), so no read runs past the sub-blocks the reader walked.
NRFErr readGIFSubBlocks(const NRFImageInfoRec& record, std::string& profile) {
    const std::uint64_t total = record.m_iccTotalLength;
    if (total > kMaxProfileSize)
        return 9;
    profile.clear();
    std::uint64_t pos = record.m_iccChunkPos[0]; // where `window` starts in the file
    std::string window;
    std::size_t at = 0;        // the next byte of `window` to take
    std::size_t blockLeft = 0; // bytes of the current block still to take
    for (;;) {
        if (at >= window.size()) {
            const std::uint64_t rest = total - profile.size();
            const std::uint64_t wanted = blockLeft != 0 ? blockLeft : rest + (rest + 254) / 255 + 1;
            pos += window.size();
            at = 0;
            if (const NRFErr err = readBytes(record.m_path, pos, wanted, window))
                return err;
        }
        if (blockLeft == 0) {
            blockLeft = static_cast<unsigned char>(window[at++]);
            if (blockLeft == 0)
                return profile.size() == total ? 0 : 9;
            if (profile.size() + blockLeft > total)
                return 9;
            continue;
        }
        const std::size_t take = std::min(blockLeft, window.size() - at);
        profile.append(window, at, take);
        at += take;
        blockLeft -= take;
    }
}

// -- transforms

// A transform from a profile to sRGB, shared by the threads that convert with it. It is made with
// cmsFLAGS_NOCACHE: without the one-pixel cache, which every call would otherwise update, Little CMS
// lets one transform run on several threads at once.
struct Transform {
    cmsHTRANSFORM handle = nullptr;
    ~Transform() {
        if (handle)
            cmsDeleteTransform(handle);
    }
};

struct CacheEntry {
    std::size_t digest = 0;
    std::string profile;
    int channels = 0;
    bool fromSRGB = false;
    std::shared_ptr<Transform> transform;
};

std::mutex gCacheMutex;
std::vector<CacheEntry> gCache; // the most recently used first

// The grey target: D50 white with the sRGB tone curve, so grey pixels come out as sRGB would show them.
cmsHPROFILE createGreySRGB() {
    const cmsFloat64Number parameters[5] = {2.4, 1.0 / 1.055, 0.055 / 1.055, 1.0 / 12.92, 0.04045};
    cmsToneCurve* curve = cmsBuildParametricToneCurve(nullptr, 4, parameters);
    if (!curve)
        return nullptr;
    cmsHPROFILE profile = cmsCreateGrayProfile(cmsD50_xyY(), curve);
    cmsFreeToneCurve(curve);
    return profile;
}

// 0 with `out` set; 0 with `out` empty when the profile does not suit the bitmap; 7 or 9. The transform
// goes from the profile to sRGB, or from sRGB to the profile when `fromSRGB`.
NRFErr transformFor(const std::string& profile, int channels, bool fromSRGB,
                    std::shared_ptr<Transform>& out) {
    out.reset();
    const std::size_t digest = std::hash<std::string>{}(profile);
    {
        const std::lock_guard lock(gCacheMutex);
        for (auto it = gCache.begin(); it != gCache.end(); ++it) {
            if (it->digest == digest && it->channels == channels && it->fromSRGB == fromSRGB &&
                it->profile == profile) {
                out = it->transform;
                std::rotate(gCache.begin(), it, it + 1);
                return 0;
            }
        }
    }
    cmsHPROFILE source = cmsOpenProfileFromMem(profile.data(), static_cast<cmsUInt32Number>(profile.size()));
    if (!source)
        return 9;
    const cmsColorSpaceSignature space = cmsGetColorSpace(source);
    cmsHPROFILE target = nullptr;
    cmsUInt32Number format = 0;
    if (channels == 3 && space == cmsSigRgbData) {
        target = cmsCreate_sRGBProfile();
        format = TYPE_RGB_8;
    } else if (channels == 1 && space == cmsSigGrayData) {
        target = createGreySRGB();
        format = TYPE_GRAY_8;
    } else {
        cmsCloseProfile(source);
        LUMO_LOG(
            "NRFICC: a profile of colour space 0x%08X does not suit a bitmap of %d channels; left as it is",
            static_cast<unsigned>(space), channels);
        return 0;
    }
    auto transform = std::make_shared<Transform>();
    if (target) {
        // Perceptual rendering with black point compensation: photographs are mapped whole into the
        // smaller gamut and keep their shadow detail, rather than clipping what falls outside.
        transform->handle = fromSRGB ? cmsCreateTransform(target, format, source, format, INTENT_PERCEPTUAL,
                                                          cmsFLAGS_NOCACHE | cmsFLAGS_BLACKPOINTCOMPENSATION)
                                     : cmsCreateTransform(source, format, target, format, INTENT_PERCEPTUAL,
                                                          cmsFLAGS_NOCACHE | cmsFLAGS_BLACKPOINTCOMPENSATION);
        cmsCloseProfile(target);
    }
    cmsCloseProfile(source);
    if (!target)
        return 7;
    if (!transform->handle)
        return 9;
    const std::lock_guard lock(gCacheMutex);
    gCache.insert(gCache.begin(), CacheEntry{digest, profile, channels, fromSRGB, transform});
    if (gCache.size() > kTransformCacheSize)
        gCache.pop_back();
    out = std::move(transform);
    return 0;
}

} // namespace

NRFErr NRFICCInitProfiles() {
    std::call_once(gInitOnce, [] {
        cmsSetLogErrorHandler(&logLittleCMSError);
        BuiltInProfiles& profiles = builtIns();
        profiles.ready = makeSRGB(profiles.sRGB) && makeAdobeRGB(profiles.adobeRGB);
        if (!profiles.ready) {
            LUMO_LOG("NRFICC: the built-in profiles cannot be made");
            profiles.sRGB.clear();
            profiles.adobeRGB.clear();
        }
    });
    return builtIns().ready ? 0 : 8;
}

const std::string& NRFICCBuiltInProfile(std::uint16_t colorSpaceCode) {
    static const std::string none;
    const BuiltInProfiles& profiles = builtIns();
    if (!profiles.ready)
        return none;
    switch (colorSpaceCode) {
    case kNRFColorSpaceSRGB:
        return profiles.sRGB;
    case kNRFColorSpaceAdobeRGB:
        return profiles.adobeRGB;
    default:
        return none;
    }
}

NRFErr NRFICCReadEmbeddedProfile(const NRFImageInfoRec& record, std::string& profile) {
    profile.clear();
    if (record.m_iccChunkCount == 0 || record.m_iccTotalLength == 0 || record.m_iccChunkPos[0] == 0)
        return 13;
    NRFErr err = 0;
    try {
        const NRFFileType type = record.m_fileType;
        if (type == kNRFTypeJPEG)
            err = readJPEGChunks(record, profile);
        else if (type == typeOf("PNGf"))
            err = readPNGChunk(record, profile);
        else if (type == typeOf("GIFf"))
            err = readGIFSubBlocks(record, profile);
        else if (record.m_iccIFDEntryPos != 0 && type != typeOf("APSD") && type != kNRFTypeHEIC &&
                 type != kNRFTypeHEIF)
            err = readTIFFTag(record, profile);
        else if (record.m_iccTotalLength > kMaxProfileSize)
            err = 9;
        else // Photoshop's resource, HEIF's colour box: the profile as it is
            err = readBytes(record.m_path, record.m_iccChunkPos[0], record.m_iccTotalLength, profile);
    } catch (const std::bad_alloc&) {
        err = 7;
    }
    if (err == 0 && !checkProfile(profile))
        err = 9;
    if (err != 0) {
        if (err == 9)
            LUMO_LOG("NRFICC: the embedded profile of '%s' is damaged", record.m_path.c_str());
        profile.clear();
    }
    return err;
}

NRFErr NRFICCLoadProfileEntry(NRFContext&, NRFImageInfoRec& record, NRFOperationArgs* args) {
    if (!args || !args->iccProfile)
        return 1;
    return NRFICCReadEmbeddedProfile(record, *args->iccProfile);
}

std::string NRFICCProfileName(const std::string& profile) {
    if (profile.size() < kProfileHeaderSize)
        return {};
    cmsHPROFILE handle = cmsOpenProfileFromMem(profile.data(), static_cast<cmsUInt32Number>(profile.size()));
    if (!handle)
        return {};
    std::string name;
    const cmsUInt32Number size = cmsGetProfileInfoASCII(handle, cmsInfoDescription, "en", "US", nullptr, 0);
    if (size > 1) {
        name.assign(size, '\0');
        cmsGetProfileInfoASCII(handle, cmsInfoDescription, "en", "US", name.data(), size);
        name.resize(std::strlen(name.c_str()));
    }
    cmsCloseProfile(handle);
    return name;
}

namespace {

NRFErr convertBitmap(const std::string& profile, NRFBitmapBase& bitmap, bool fromSRGB) {
    if (bitmap.Empty())
        return 0;
    std::shared_ptr<Transform> transform;
    try {
        if (const NRFErr err = transformFor(profile, bitmap.Channels(), fromSRGB, transform))
            return err;
    } catch (const std::bad_alloc&) {
        return 7;
    }
    if (!transform)
        return 0;
    for (std::uint32_t y = 0; y < bitmap.Height(); ++y)
        cmsDoTransform(transform->handle, bitmap.Row(y), bitmap.Row(y), bitmap.Width());
    return 0;
}

} // namespace

NRFErr NRFICCConvertToSRGB(const std::string& profile, NRFBitmapBase& bitmap) {
    return convertBitmap(profile, bitmap, false);
}

NRFErr NRFICCConvertFromSRGB(const std::string& profile, NRFBitmapBase& bitmap) {
    return convertBitmap(profile, bitmap, true);
}

NRFErr NRFICCConvertRecordBitmapToSRGB(const NRFImageInfoRec& record, NRFBitmapBase& bitmap) {
    switch (record.m_colorSpaceCode) {
    case kNRFColorSpaceEmbedded: {
        std::string profile;
        const NRFErr err = NRFICCReadEmbeddedProfile(record, profile);
        if (err == 13)
            return 0; // nothing recorded after all: the pixels are taken as they are
        if (err != 0)
            return err;
        return NRFICCConvertToSRGB(profile, bitmap);
    }
    case kNRFColorSpaceAdobeRGB: {
        const std::string& profile = NRFICCBuiltInProfile(kNRFColorSpaceAdobeRGB);
        return profile.empty() ? 0 : NRFICCConvertToSRGB(profile, bitmap);
    }
    default:
        return 0;
    }
}
