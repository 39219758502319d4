#include "NRF/NRFImageInfo.h"

#include "app/LumoLog.h"
#include "archive/CilaException.h"
#include "dyn_platform/DynPlatform.h"
#include "support/TextUtils.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <limits>
#include <mutex>
#include <tuple>
#include <type_traits>

using CILA::CilaRuntimeError;
using CILA::VObject;

namespace {

// A value the file may or may not hold. It travels in the form it always had, the value or 0 when
// absent, so that a reader of version 101 that knows nothing of presence still finds a number; which
// of them the file holds travels beside them, under kPresentKey.
template <typename Optional>
struct Held {
    Optional& value;
};
template <typename Optional>
Held<Optional> held(Optional& value) {
    return {value};
}
template <typename T>
struct IsHeld : std::false_type {};
template <typename Optional>
struct IsHeld<Held<Optional>> : std::true_type {};

// The names of the held values the file holds. Data without it (written before presence was kept)
// counts a held value as present when it is not 0.
constexpr char kPresentKey[] = "presentValues";

// Every serialised field, in one list so that writing, reading and comparing can never disagree.
// Renaming a key or changing a field's form changes the stored data: raise kSerialVersion with it.
template <typename Rec, typename Visit>
void visitFields(Rec& r, Visit&& v) {
    v("fileSize", r.m_fileSize);
    v("modTimeNs", r.m_modTimeNs);
    v("infoReadTime", r.m_infoReadTime);
    v("fileSystemInfoFailed", r.m_fileSystemInfoFailed);
    v("hasInfo", r.m_hasInfo);
    v("width", r.m_width);
    v("height", r.m_height);
    v("displayWidth", r.m_displayWidth);
    v("displayHeight", r.m_displayHeight);
    v("bitsPerSample", r.m_bitsPerSample);
    v("samplesPerPixel", r.m_samplesPerPixel);
    v("compression", r.m_compression);
    v("photometric", r.m_photometric);
    v("rowsPerStrip", r.m_rowsPerStrip);
    v("planarConfig", r.m_planarConfig);
    v("extraSamples", r.m_extraSamples);
    v("yCbCrPositioning", r.m_yCbCrPositioning);
    v("stripOffset", r.m_stripOffset);
    v("stripByteCount", r.m_stripByteCount);
    v("isColor", r.m_isColor);
    v("jfifUnit", r.m_jfifUnit);
    v("jfifXDensity", r.m_jfifXDensity);
    v("jfifYDensity", r.m_jfifYDensity);
    v("xResolution", r.m_xResolution);
    v("yResolution", r.m_yResolution);
    v("resolutionUnit", r.m_resolutionUnit);
    v("orientation", r.m_orientation);
    v("colorSpaceCode", r.m_colorSpaceCode);
    v("exifColorSpace", r.m_exifColorSpace);
    v("yCbCrCoefficients", r.m_yCbCrCoefficients);
    v("whitePoint", r.m_whitePoint);
    v("primaryChromaticities", r.m_primaryChromaticities);
    v("captureTime", r.m_captureTime);
    v("subSeconds", r.m_subSeconds);
    v("timeZoneOffset", r.m_timeZoneOffset);
    v("dateFromExif", r.m_dateFromExif);
    v("make", r.m_make);
    v("model", r.m_model);
    v("software", r.m_software);
    v("firmware", r.m_firmware);
    v("bodySerial", r.m_bodySerial);
    v("cameraSerial", r.m_cameraSerial);
    v("lensModel", r.m_lensModel);
    v("artist", r.m_artist);
    v("copyright", r.m_copyright);
    v("description", r.m_description);
    v("userComment", r.m_userComment);
    v("lensType", r.m_lensType);
    v("lensTypeNumber", r.m_lensTypeNumber);
    v("owner", r.m_owner);
    v("shutterCount", r.m_shutterCount);
    v("quality", r.m_quality);
    v("focusMode", r.m_focusMode);
    v("sharpness", r.m_sharpness);
    v("toneComp", r.m_toneComp);
    v("colorMode", r.m_colorMode);
    v("whiteMode", r.m_whiteMode);
    v("kelvin", r.m_kelvin);
    v("pictureControl", r.m_pictureControl);
    v("exposureTime", held(r.m_exposureTime));
    v("fNumber", held(r.m_fNumber));
    v("shutterSpeedValue", held(r.m_shutterSpeedValue));
    v("apertureValue", held(r.m_apertureValue));
    v("maxApertureValue", held(r.m_maxApertureValue));
    v("exposureProgram", held(r.m_exposureProgram));
    v("exposureProgramText", r.m_exposureProgramText);
    v("iso", held(r.m_iso));
    v("exifVersion", r.m_exifVersion);
    v("meteringMode", held(r.m_meteringMode));
    v("lightSource", held(r.m_lightSource));
    v("flash", held(r.m_flash));
    v("focalLength", held(r.m_focalLength));
    v("focalLength35", held(r.m_focalLength35));
    v("whiteBalance", held(r.m_whiteBalance));
    v("brightness", held(r.m_brightness));
    v("exposureBias", held(r.m_exposureBias));
    v("subjectDistance", held(r.m_subjectDistance));
    v("exifImageNumber", held(r.m_exifImageNumber));
    v("duration", r.m_duration);
    v("hasGPS", r.m_hasGPS);
    v("latitude", r.m_latitude);
    v("longitude", r.m_longitude);
    v("altitude", r.m_altitude);
    v("gpsTime", r.m_gpsTime);
    v("bearing", r.m_bearing);
    v("gpsVersion", r.m_gpsVersion);
    v("gpsLatitudeRef", r.m_gpsLatitudeRef);
    v("gpsLongitudeRef", r.m_gpsLongitudeRef);
    v("gpsAltitudeRef", r.m_gpsAltitudeRef);
    v("gpsHasTimeStamp", r.m_gpsHasTimeStamp);
    v("gpsTimeHasFraction", r.m_gpsTimeHasFraction);
    v("gpsHours", r.m_gpsHours);
    v("gpsMinutes", r.m_gpsMinutes);
    v("gpsSeconds", r.m_gpsSeconds);
    v("gpsMilliseconds", r.m_gpsMilliseconds);
    v("gpsDateStamp", r.m_gpsDateStamp);
    v("gpsSatellites", r.m_gpsSatellites);
    v("gpsMapDatum", r.m_gpsMapDatum);
    v("gpsStatus", r.m_gpsStatus);
    v("gpsMeasureMode", r.m_gpsMeasureMode);
    v("gpsSpeedRef", r.m_gpsSpeedRef);
    v("gpsTrackRef", r.m_gpsTrackRef);
    v("gpsImgDirectionRef", r.m_gpsImgDirectionRef);
    v("gpsDOP", r.m_gpsDOP);
    v("gpsSpeed", r.m_gpsSpeed);
    v("gpsTrack", r.m_gpsTrack);
    v("tag", r.m_tag);
    v("colorClass", r.m_colorClass);
    v("rating", r.m_rating);
    v("imageNumber", r.m_imageNumber);
    v("crop", r.m_crop);
    v("draftCrop", r.m_draftCrop);
    v("hasXmpSidecar", r.m_hasXmpSidecar);
    v("xmpSidecarSize", r.m_xmpSidecarSize);
    v("xmpSidecarModTimeNs", r.m_xmpSidecarModTimeNs);
    v("attachedFiles", r.m_attachedFiles);
    v("soundFileCount", r.m_soundFileCount);
    v("malformedCount", r.m_malformedCount);
    v("exifSegmentPos", r.m_exifSegmentPos);
    v("exifSegmentLength", r.m_exifSegmentLength);
    v("exifIFDEntryPos", r.m_exifIFDEntryPos);
    v("interopIFDPos", r.m_interopIFDPos);
    v("exifIFDPos", r.m_exifIFDPos);
    v("gpsIFDEntryPos", r.m_gpsIFDEntryPos);
    v("gpsIFDPos", r.m_gpsIFDPos);
    v("gpsLatitudePos", r.m_gpsLatitudePos);
    v("gpsLongitudePos", r.m_gpsLongitudePos);
    v("gpsAltitudePos", r.m_gpsAltitudePos);
    v("gpsLatitudeRefPos", r.m_gpsLatitudeRefPos);
    v("gpsLongitudeRefPos", r.m_gpsLongitudeRefPos);
    v("gpsAltitudeRefPos", r.m_gpsAltitudeRefPos);
    v("makerNotePos", r.m_makerNotePos);
    v("makerNoteLength", r.m_makerNoteLength);
    v("canonOptionalDataLength", r.m_canonOptionalDataLength);
    v("jpegSOIPos", r.m_jpegSOIPos);
    v("jpegSOSPos", r.m_jpegSOSPos);
    v("jpegInsertPos", r.m_jpegInsertPos);
    v("jpegEndOfMetadata", r.m_jpegEndOfMetadata);
    v("jfifPos", r.m_jfifPos);
    v("cameraOriginal", r.m_cameraOriginal);
    v("photoshopPos", r.m_photoshopPos);
    v("photoshopLength", r.m_photoshopLength);
    v("photoshopCount", r.m_photoshopCount);
    v("iptcPos", r.m_iptcPos);
    v("iptcLength", r.m_iptcLength);
    v("iptcIFDEntryPos", r.m_iptcIFDEntryPos);
    v("xmpIFDEntryPos", r.m_xmpIFDEntryPos);
    v("xmpSegmentPos", r.m_xmpSegmentPos);
    v("xmpSegmentLength", r.m_xmpSegmentLength);
    v("xmpPacketPos", r.m_xmpPacketPos);
    v("xmpPacketLength", r.m_xmpPacketLength);
    v("iccIFDEntryPos", r.m_iccIFDEntryPos);
    v("iccTotalLength", r.m_iccTotalLength);
    v("iccChunkCount", r.m_iccChunkCount);
    v("iccChunkPos", r.m_iccChunkPos);
    v("descriptionPos", r.m_descriptionPos);
    v("descriptionLength", r.m_descriptionLength);
    v("artistPos", r.m_artistPos);
    v("artistLength", r.m_artistLength);
    v("copyrightPos", r.m_copyrightPos);
    v("copyrightLength", r.m_copyrightLength);
    v("pixelXDimension", r.m_pixelXDimension);
    v("pixelYDimension", r.m_pixelYDimension);
    v("thumbnail", r.m_thumbnail);
    v("thumbnailIFDEntryPos", r.m_thumbnailIFDEntryPos);
    v("thumbnailIsJPEG", r.m_thumbnailIsJPEG);
    v("stripThumbnail", r.m_stripThumbnail);
    v("preview", r.m_preview);
    v("fuzzyPreview", r.m_fuzzyPreview);
    v("previewIsJPEG", r.m_previewIsJPEG);
    v("previewOffsetIsAbsolute", r.m_previewOffsetIsAbsolute);
    v("subIFDCount", r.m_subIFDCount);
    v("subIFDOffsets", r.m_subIFDOffsets);
    v("orientationPosCount", r.m_orientationPosCount);
    v("orientationPos", r.m_orientationPos);
    v("orientationBigEndian", r.m_orientationBigEndian);
    v("datePosCount", r.m_datePosCount);
    v("datePos", r.m_datePos);
    v("tiffBigEndian", r.m_tiffBigEndian);
    v("fileBigEndian", r.m_fileBigEndian);
}

// -- values to the variant object and back. Readers are strict: a value of the wrong type or out of
// the field's range is an error, never a silent truncation.

VObject toV(bool b) {
    return VObject(b);
}
template <typename T>
requires std::is_integral_v<T> VObject toV(T n) {
    return VObject(static_cast<long long>(n));
}
VObject toV(float f) {
    return VObject(static_cast<double>(f));
}
VObject toV(double d) {
    return VObject(d);
}
VObject toV(const std::string& s) {
    return VObject(s);
}
template <typename T>
VObject toV(const std::optional<T>& o) {
    return o ? toV(*o) : VObject();
}
template <typename T>
VObject toV(const Held<const std::optional<T>>& h) {
    return toV(h.value.value_or(T{}));
}
template <typename T, std::size_t N>
VObject toV(const std::array<T, N>& a) {
    VObject out = VObject::makeVector();
    for (const T& e : a)
        out.append(toV(e));
    return out;
}
VObject toV(const std::vector<std::string>& list) {
    VObject out = VObject::makeVector();
    for (const auto& e : list)
        out.append(VObject(e));
    return out;
}
VObject toV(const KLDateTime& t) {
    VObject out = VObject::makeVector();
    for (int n : {int(t.year), int(t.month), int(t.day), int(t.hour), int(t.minute), int(t.second)})
        out.append(VObject(n));
    return out;
}
VObject toV(const NRFNormalizedCrop& c) {
    VObject out = VObject::makeVector();
    for (double d : {c.left, c.top, c.right, c.bottom, c.angle, c.constraintWidth, c.constraintHeight})
        out.append(VObject(d));
    out.append(VObject(c.constrained));
    return out;
}
template <typename PC>
auto pictureControlParts(PC& c) {
    return std::array{&c.name,         &c.base,
                      &c.adjust,       &c.quickAdjust,
                      &c.sharpening,   &c.midRangeSharpening,
                      &c.clarity,      &c.contrast,
                      &c.brightness,   &c.saturation,
                      &c.hue,          &c.filterEffect,
                      &c.toningEffect, &c.toningSaturation};
}
VObject toV(const NRFPictureControl& c) {
    VObject out = VObject::makeVector();
    for (const std::string* part : pictureControlParts(c))
        out.append(VObject(*part));
    return out;
}
VObject toV(const NRFEmbeddedImageLoc& l) {
    VObject out = VObject::makeVector();
    for (std::uint32_t n : {l.offset, l.length, l.width, l.height})
        out.append(VObject(n));
    return out;
}

void expect(const VObject& v, VObject::DataType type, const char* what) {
    if (v.dataType() != type)
        throw CilaRuntimeError(std::string("expected ") + what + ", found " + v.toString());
}

void fromV(const VObject& v, bool& b) {
    expect(v, VObject::DT_BOOL, "a boolean");
    b = v.getbool();
}
template <typename T>
requires std::is_integral_v<T>
void fromV(const VObject& v, T& n) {
    expect(v, VObject::DT_INTEGER, "an integer");
    const std::int64_t x = v.getint();
    using L = std::numeric_limits<T>;
    bool fits = true; // 64-bit values travel as they are (unsigned ones as their two's complement)
    if constexpr (sizeof(T) < sizeof(std::int64_t))
        fits = x >= static_cast<std::int64_t>(L::min()) && x <= static_cast<std::int64_t>(L::max());
    if (!fits)
        throw CilaRuntimeError("integer out of range: " + std::to_string(x));
    n = static_cast<T>(x);
}
void fromV(const VObject& v, double& d) {
    if (v.dataType() != VObject::DT_INTEGER)
        expect(v, VObject::DT_DOUBLE, "a number");
    d = v.getdouble();
}
void fromV(const VObject& v, float& f) {
    double d = 0;
    fromV(v, d);
    f = static_cast<float>(d);
}
void fromV(const VObject& v, std::string& s) {
    expect(v, VObject::DT_STR, "a string");
    s = v.getstr();
}
template <typename T>
void fromV(const VObject& v, std::optional<T>& o) {
    if (v.isNil()) {
        o.reset();
        return;
    }
    T value{};
    fromV(v, value);
    o = value;
}
// Taken as present here; Deserialize settles presence once every field is read.
template <typename T>
void fromV(const VObject& v, Held<std::optional<T>> h) {
    T value{};
    fromV(v, value);
    h.value = value;
}
// A vector of exactly `n` elements.
const VObject::Vector& vectorOf(const VObject& v, std::size_t n) {
    expect(v, VObject::DT_VECTOR, "a vector");
    if (v.getvec().size() != n)
        throw CilaRuntimeError("expected " + std::to_string(n) + " elements, found " +
                               std::to_string(v.getvec().size()));
    return v.getvec();
}
template <typename T, std::size_t N>
void fromV(const VObject& v, std::array<T, N>& a) {
    const auto& vec = vectorOf(v, N);
    for (std::size_t i = 0; i < N; ++i)
        fromV(vec[i], a[i]);
}
void fromV(const VObject& v, std::vector<std::string>& list) {
    expect(v, VObject::DT_VECTOR, "a vector");
    list.clear();
    for (const auto& e : v.getvec())
        fromV(e, list.emplace_back());
}
void fromV(const VObject& v, KLDateTime& t) {
    const auto& vec = vectorOf(v, 6);
    fromV(vec[0], t.year);
    fromV(vec[1], t.month);
    fromV(vec[2], t.day);
    fromV(vec[3], t.hour);
    fromV(vec[4], t.minute);
    fromV(vec[5], t.second);
}
void fromV(const VObject& v, NRFNormalizedCrop& c) {
    const auto& vec = vectorOf(v, 8);
    double* parts[] = {
        &c.left, &c.top, &c.right, &c.bottom, &c.angle, &c.constraintWidth, &c.constraintHeight};
    for (std::size_t i = 0; i < 7; ++i)
        fromV(vec[i], *parts[i]);
    fromV(vec[7], c.constrained);
}
void fromV(const VObject& v, NRFPictureControl& c) {
    auto parts = pictureControlParts(c);
    const auto& vec = vectorOf(v, parts.size());
    for (std::size_t i = 0; i < parts.size(); ++i)
        fromV(vec[i], *parts[i]);
}
void fromV(const VObject& v, NRFEmbeddedImageLoc& l) {
    const auto& vec = vectorOf(v, 4);
    fromV(vec[0], l.offset);
    fromV(vec[1], l.length);
    fromV(vec[2], l.width);
    fromV(vec[3], l.height);
}

// After every field is read: a held value is present when the presence list names it, or, in data
// written without one, when it is not 0.
void settlePresence(const VObject* present, NRFImageInfoFields& fields) {
    std::vector<std::string> names;
    if (present)
        fromV(*present, names);
    visitFields(fields, [&](const char* key, auto&& field) {
        if constexpr (IsHeld<std::remove_cvref_t<decltype(field)>>::value) {
            const bool listed = present ? std::find(names.begin(), names.end(), key) != names.end()
                                        : field.value && *field.value != 0;
            if (!listed)
                field.value.reset();
        }
    });
}

// The file's size and modification time; errno on failure.
int statFile(const std::string& path, std::uint64_t& size, std::int64_t& modTimeNs) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return errno;
    size = static_cast<std::uint64_t>(st.st_size);
    modTimeNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return 0;
}

std::mutex g_hooksMutex;
NRFLocalImageInfoRec::InitImageInfoHandler g_initHandler;
std::function<bool()> g_linkProbe;

bool linkActive() {
    std::function<bool()> probe;
    {
        std::lock_guard lock(g_hooksMutex);
        probe = g_linkProbe;
    }
    return probe ? probe() : DynPlatform::instance().isRunning();
}

} // namespace

std::string NRFDescribeCrop(const NRFNormalizedCrop& c) {
    char buf[512];
    std::snprintf(buf, sizeof buf, "crop: left:%f top:%f right:%f bottom:%f angle:%f constrain:(%f, %f, %s)",
                  c.left, c.top, c.right, c.bottom, c.angle, c.constraintWidth, c.constraintHeight,
                  c.constrained ? "true" : "false");
    return buf;
}

// ---- NRFImageInfoRec

NRFImageInfoRec::NRFImageInfoRec(const NRFImageInfoRec& other)
    : NRFImageInfoFields(other), m_path(other.m_path), m_fileType(other.m_fileType),
      m_privateInfo(other.m_privateInfo ? other.m_privateInfo->clone() : nullptr),
      m_readComplete(other.m_readComplete), m_rotationFromFile(other.m_rotationFromFile),
      m_iptcUndo(other.m_iptcUndo) {}

NRFImageInfoRef NRFImageInfoRec::Clone() const {
    return NRFImageInfoRef(new NRFImageInfoRec(*this));
}

void NRFImageInfoRec::KeepTextValid() {
    NRFPictureControl& p = m_pictureControl;
    for (std::string* text : {&m_make,
                              &m_model,
                              &m_software,
                              &m_firmware,
                              &m_bodySerial,
                              &m_cameraSerial,
                              &m_lensModel,
                              &m_artist,
                              &m_copyright,
                              &m_description,
                              &m_userComment,
                              &m_lensType,
                              &m_owner,
                              &m_quality,
                              &m_focusMode,
                              &m_sharpness,
                              &m_toneComp,
                              &m_colorMode,
                              &m_whiteMode,
                              &m_exposureProgramText,
                              &m_gpsDateStamp,
                              &m_gpsSatellites,
                              &m_gpsMapDatum,
                              &p.name,
                              &p.base,
                              &p.adjust,
                              &p.quickAdjust,
                              &p.sharpening,
                              &p.midRangeSharpening,
                              &p.clarity,
                              &p.contrast,
                              &p.brightness,
                              &p.saturation,
                              &p.hue,
                              &p.filterEffect,
                              &p.toningEffect,
                              &p.toningSaturation})
        if (!lumo::isValidUtf8(*text))
            *text = lumo::toValidUtf8(*text);
}

void NRFImageInfoRec::Clear() {
    try {
        NRFImageInfoFields fresh;
        fresh.m_tag = m_tag;
        fresh.m_colorClass = m_colorClass;
        fresh.m_rating = m_rating;
        fresh.m_imageNumber = m_imageNumber;
        fresh.m_crop = m_crop;
        fresh.m_draftCrop = m_draftCrop;
        static_cast<NRFImageInfoFields&>(*this) = std::move(fresh);
        m_privateInfo.reset();
        m_readComplete = m_rotationFromFile = false;
    } catch (...) {
        LUMO_LOG("Unexpected exception in Clear()");
    }
}

void NRFImageInfoRec::ReInitForType(std::uint32_t fileType) {
    Clear();
    m_fileType = fileType;
}

bool NRFImageInfoRec::Serialize(VObject& out) const {
    try {
        VObject h = VObject::makeHash();
        h.store("version", VObject(kSerialVersion));
        h.store("path", VObject(m_path));
        h.store("fileType", toV(m_fileType));
        VObject present = VObject::makeVector();
        visitFields(*this, [&](const char* key, auto&& field) {
            h.store(key, toV(field));
            if constexpr (IsHeld<std::remove_cvref_t<decltype(field)>>::value)
                if (field.value)
                    present.append(VObject(key));
        });
        h.store(kPresentKey, std::move(present));
        out = std::move(h);
        return true;
    } catch (const std::exception& e) {
        LUMO_LOG("NRFImageInfoRec::Serialize(): %s", e.what());
        return false;
    }
}

bool NRFImageInfoRec::Deserialize(const VObject& in) {
    try {
        if (in.dataType() != VObject::DT_HASH)
            throw CilaRuntimeError("serialized data is not a hash: " + in.toString());
        const VObject* version = in.fetch("version");
        if (!version || version->dataType() != VObject::DT_INTEGER)
            throw CilaRuntimeError("serialized data has no version");
        if (version->getint() != kSerialVersion) {
            const std::int64_t v = version->getint();
            const int shown = v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : static_cast<int>(v);
            LUMO_LOG(
                "NRFImageInfoRec::Deserialize(): incompatible IIP version: current is %d, serialized was %d",
                kSerialVersion, shown);
            return false;
        }
        // Read everything into copies first: a record is either fully replaced or left alone.
        auto field = [&](const char* key) -> const VObject& {
            const VObject* v = in.fetch(key);
            if (!v)
                throw CilaRuntimeError(std::string("missing field '") + key + "'");
            return *v;
        };
        NRFImageInfoFields fields;
        std::string path;
        std::uint32_t fileType = 0;
        std::string current;
        try {
            current = "path";
            fromV(field("path"), path);
            current = "fileType";
            fromV(field("fileType"), fileType);
            visitFields(fields, [&](const char* key, auto&& f) {
                current = key;
                fromV(field(key), f);
            });
            current = kPresentKey;
            settlePresence(in.fetch(kPresentKey), fields);
        } catch (const CilaRuntimeError& e) {
            throw CilaRuntimeError("field '" + current + "': " + e.what());
        }
        // The reader's private state describes the file as this record read it: it fits the new values
        // only when they describe the same file at the same status.
        const auto status = [](const NRFImageInfoFields& f) {
            return std::make_tuple(f.m_fileSize, f.m_modTimeNs, f.m_hasXmpSidecar, f.m_xmpSidecarSize,
                                   f.m_xmpSidecarModTimeNs);
        };
        const bool sameReading =
            m_readComplete && path == m_path && fileType == m_fileType && status(fields) == status(*this);
        static_cast<NRFImageInfoFields&>(*this) = std::move(fields);
        m_path = std::move(path);
        m_fileType = fileType;
        if (!sameReading) {
            m_privateInfo.reset();
            m_readComplete = m_rotationFromFile = false;
        }
        return true;
    } catch (const std::exception& e) {
        LUMO_LOG("Exception from VObject when deserializing NRFImageInfo data: %s", e.what());
        return false;
    }
}

// ---- NRFLocalImageInfoRec

NRFImageInfoRef NRFLocalImageInfoRec::Clone() const {
    return NRFImageInfoRef(new NRFLocalImageInfoRec(*this));
}

std::string NRFLocalImageInfoRec::FindXmpSidecar(const std::string& imagePath) {
    for (const char* ext : {".XMP", ".xmp"}) {
        std::string candidate = std::filesystem::path(imagePath).replace_extension(ext).string();
        struct stat st {};
        if (candidate != imagePath && ::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            return candidate;
    }
    return {};
}

bool NRFLocalImageInfoRec::NeedsMetadataReload() const {
    std::uint64_t size = 0;
    std::int64_t modTime = 0;
    if (statFile(m_path, size, modTime) != 0) {
        // A file that cannot be looked at any more cannot be trusted to match the record either: the
        // re-read reports the failure properly.
        LUMO_LOG("NRFLocalImageInfoRec::NeedsMetadataReload() couldn't get file info for '%s'",
                 m_path.c_str());
        return true;
    }
    if (size != m_fileSize || modTime != m_modTimeNs)
        return true;
    const std::string sidecar = FindXmpSidecar(m_path);
    if (sidecar.empty() != !m_hasXmpSidecar)
        return true;
    if (sidecar.empty())
        return false;
    if (statFile(sidecar, size, modTime) != 0)
        return true; // it went between the two looks
    return size != m_xmpSidecarSize || modTime != m_xmpSidecarModTimeNs;
}

bool NRFLocalImageInfoRec::RefreshFileStatus() {
    std::uint64_t size = 0;
    std::int64_t modTime = 0;
    if (statFile(m_path, size, modTime) != 0)
        return false;
    m_fileSize = size;
    m_modTimeNs = modTime;
    const std::string sidecar = FindXmpSidecar(m_path);
    m_hasXmpSidecar = !sidecar.empty() && statFile(sidecar, size, modTime) == 0;
    m_xmpSidecarSize = m_hasXmpSidecar ? size : 0;
    m_xmpSidecarModTimeNs = m_hasXmpSidecar ? modTime : 0;
    return true;
}

void NRFLocalImageInfoRec::SetInitImageInfoHandler(InitImageInfoHandler handler) {
    std::lock_guard lock(g_hooksMutex);
    g_initHandler = std::move(handler);
}

std::uint32_t NRFLocalImageInfoRec::InitImageInfo() {
    InitImageInfoHandler handler;
    {
        std::lock_guard lock(g_hooksMutex);
        handler = g_initHandler;
    }
    return handler ? handler(*this) : 1;
}

// ---- the display view

namespace {

// A float as the short decimal it was written as (2.8, not 2.799999952).
double shortDouble(double d) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", d);
    return std::strtod(buf, nullptr);
}

std::string offsetText(int minutes) {
    char buf[16];
    const int a = minutes < 0 ? -minutes : minutes;
    std::snprintf(buf, sizeof buf, "%c%02d:%02d", minutes < 0 ? '-' : '+', a / 60, a % 60);
    return buf;
}

VObject locHash(const NRFEmbeddedImageLoc& l) {
    VObject h = VObject::makeHash();
    h.store("offset", VObject(l.offset));
    h.store("length", VObject(l.length));
    h.store("width", VObject(l.width));
    h.store("height", VObject(l.height));
    return h;
}

VObject cropHash(const NRFNormalizedCrop& c) {
    VObject h = VObject::makeHash();
    h.store("left", VObject(c.left));
    h.store("top", VObject(c.top));
    h.store("right", VObject(c.right));
    h.store("bottom", VObject(c.bottom));
    h.store("angle", VObject(c.angle));
    if (c.constrained) {
        VObject ratio = VObject::makeVector();
        ratio.append(VObject(c.constraintWidth));
        ratio.append(VObject(c.constraintHeight));
        h.store("ratio", std::move(ratio));
    }
    return h;
}

} // namespace

void describeImageInfo(const NRFImageInfoRec& r, std::vector<std::pair<std::string, VObject>>& fields) {
    auto add = [&](const char* key, VObject v) { fields.emplace_back(key, std::move(v)); };
    auto addText = [&](const char* key, const std::string& s) {
        if (!s.empty())
            add(key, VObject(s));
    };
    auto addNumber = [&](const char* key, auto n) {
        if (n != 0)
            add(key, std::is_floating_point_v<decltype(n)> ? VObject(shortDouble(n)) : VObject(n));
    };

    if (r.m_modTimeNs != 0 || r.m_fileSize != 0)
        add("fileSize", VObject(r.m_fileSize));
    if (r.m_modTimeNs != 0) {
        const std::time_t secs = static_cast<std::time_t>(r.m_modTimeNs / 1000000000);
        std::tm tm{};
        if (localtime_r(&secs, &tm)) {
            char buf[64];
            std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
            add("modified", VObject(buf + offsetText(static_cast<int>(tm.tm_gmtoff / 60))));
        }
    }
    addNumber("width", r.m_width);
    addNumber("height", r.m_height);
    addNumber("displayWidth", r.m_displayWidth);
    addNumber("displayHeight", r.m_displayHeight);
    addText("make", r.m_make);
    addText("model", r.m_model);
    addText("software", r.m_software);
    addText("lens", r.m_lensModel);
    addText("bodySerial", r.m_bodySerial);
    addText("cameraSerial", r.m_cameraSerial);
    addText("firmware", r.m_firmware);
    addText("artist", r.m_artist);
    addText("copyright", r.m_copyright);
    addText("description", r.m_description);
    addText("userComment", r.m_userComment);
    addText("lensType", r.m_lensType);
    if (r.m_lensTypeNumber)
        add("lensTypeNumber", VObject(*r.m_lensTypeNumber));
    addText("owner", r.m_owner);
    if (r.m_shutterCount)
        add("shutterCount", VObject(*r.m_shutterCount));
    addText("quality", r.m_quality);
    addText("focusMode", r.m_focusMode);
    addText("sharpness", r.m_sharpness);
    addText("toneComp", r.m_toneComp);
    addText("colorMode", r.m_colorMode);
    addText("whiteMode", r.m_whiteMode);
    if (r.m_kelvin)
        add("kelvin", VObject(*r.m_kelvin));
    if (!r.m_pictureControl.empty()) {
        const NRFPictureControl& c = r.m_pictureControl;
        VObject pc = VObject::makeHash();
        const std::pair<const char*, const std::string*> parts[] = {
            {"name", &c.name},
            {"base", &c.base},
            {"adjust", &c.adjust},
            {"quickAdjust", &c.quickAdjust},
            {"sharpening", &c.sharpening},
            {"midRangeSharpening", &c.midRangeSharpening},
            {"clarity", &c.clarity},
            {"contrast", &c.contrast},
            {"brightness", &c.brightness},
            {"saturation", &c.saturation},
            {"hue", &c.hue},
            {"filterEffect", &c.filterEffect},
            {"toningEffect", &c.toningEffect},
            {"toningSaturation", &c.toningSaturation}};
        for (const auto& [key, value] : parts)
            if (!value->empty())
                pc.store(key, VObject(*value));
        add("pictureControl", std::move(pc));
    }
    if (r.m_captureTime.isValid()) {
        const KLDateTime& t = r.m_captureTime;
        char buf[64];
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                      t.minute, t.second);
        std::string text = buf;
        if (r.m_subSeconds) {
            std::snprintf(buf, sizeof buf, ".%04u", static_cast<unsigned>(*r.m_subSeconds % 10000));
            text += buf;
        }
        if (r.m_timeZoneOffset)
            text += offsetText(*r.m_timeZoneOffset);
        add("captureTime", VObject(text));
    }
    if (r.m_duration)
        add("duration", VObject(shortDouble(*r.m_duration)));
    // Values the file holds, as it holds them (0 included: no flash, auto white balance).
    const auto addHeld = [&](const char* key, const auto& value) {
        if (!value)
            return;
        if constexpr (std::is_floating_point_v<std::remove_cvref_t<decltype(*value)>>)
            add(key, VObject(shortDouble(*value)));
        else
            add(key, VObject(*value));
    };
    addHeld("exposureTime", r.m_exposureTime);
    addHeld("fNumber", r.m_fNumber);
    addHeld("iso", r.m_iso);
    addHeld("focalLength", r.m_focalLength);
    addHeld("focalLength35", r.m_focalLength35);
    addHeld("exposureProgram", r.m_exposureProgram);
    addText("exposureProgramName", r.m_exposureProgramText);
    addHeld("exposureBias", r.m_exposureBias);
    addHeld("flash", r.m_flash);
    addHeld("meteringMode", r.m_meteringMode);
    addHeld("lightSource", r.m_lightSource);
    addHeld("whiteBalance", r.m_whiteBalance);
    if (r.m_orientation >= 0 && r.m_orientation <= 7) {
        // The EXIF number only for a rotation the file itself holds; the rotation is the record's,
        // whoever set it (the file, the prefs, the user).
        static constexpr int kExifOrientation[8] = {1, 6, 3, 8, 2, 7, 4, 5};
        if (r.m_rotationFromFile || r.m_orientationPosCount != 0)
            add("orientation", VObject(kExifOrientation[r.m_orientation]));
        add("rotation", VObject(r.m_orientation));
    }
    if (r.m_crop != NRFNormalizedCrop{})
        add("crop", cropHash(r.m_crop));
    if (r.m_draftCrop != NRFNormalizedCrop{})
        add("draftCrop", cropHash(r.m_draftCrop));
    addNumber("bitsPerSample", r.m_bitsPerSample);
    addNumber("samplesPerPixel", r.m_samplesPerPixel);
    addNumber("colorSpace", r.m_exifColorSpace);
    if (r.m_colorSpaceCode >= 1 && r.m_colorSpaceCode <= 3) {
        static constexpr const char* kProfiles[] = {"embedded", "sRGB", "Adobe RGB"};
        add("colorProfile", VObject(kProfiles[r.m_colorSpaceCode - 1]));
    } else if (r.m_bitsPerSample != 0) {
        // Pixels that say nothing of their colour: shown (and converted) as they are, which viewers
        // take to be sRGB.
        add("colorProfile", VObject("untagged"));
    }
    if (r.m_hasGPS) {
        VObject gps = VObject::makeHash();
        gps.store("latitude", VObject(r.m_latitude));
        gps.store("longitude", VObject(r.m_longitude));
        if (r.m_altitude)
            gps.store("altitude", VObject(*r.m_altitude));
        if (r.m_gpsTime) {
            const std::time_t secs = static_cast<std::time_t>(*r.m_gpsTime);
            std::tm tm{};
            char buf[64];
            if (gmtime_r(&secs, &tm) && std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm))
                gps.store("time", VObject(buf));
        }
        if (r.m_bearing)
            gps.store("direction", VObject(shortDouble(*r.m_bearing)));
        if (r.m_gpsSpeed)
            gps.store("speed", VObject(shortDouble(*r.m_gpsSpeed)));
        if (!r.m_gpsMapDatum.empty())
            gps.store("mapDatum", VObject(r.m_gpsMapDatum));
        add("gps", std::move(gps));
    }
    if (r.m_thumbnail.present())
        add("thumbnail", locHash(r.m_thumbnail));
    if (r.m_preview.present())
        add("preview", locHash(r.m_preview));
    if (r.m_stripThumbnail.present())
        add("stripThumbnail", locHash(r.m_stripThumbnail));
    if (r.m_fuzzyPreview.present())
        add("fuzzyPreview", locHash(r.m_fuzzyPreview));
    // Metadata blocks inside the file, where the editors will rewrite them.
    const auto addBlock = [&](const char* key, std::uint32_t offset, std::uint32_t length) {
        if (offset == 0 || length == 0)
            return;
        VObject block = VObject::makeHash();
        block.store("offset", VObject(offset));
        block.store("length", VObject(length));
        add(key, std::move(block));
    };
    addBlock("iptc", r.m_iptcPos, r.m_iptcLength);
    addBlock("xmp", r.m_xmpPacketPos, r.m_xmpPacketLength);
    if (r.m_iccChunkCount != 0)
        addBlock("iccProfile", r.m_iccChunkPos[0], r.m_iccTotalLength);
    add("hasXmpSidecar", VObject(r.m_hasXmpSidecar));
    if (!r.m_attachedFiles.empty())
        add("attachedFiles", toV(r.m_attachedFiles));
    add("tag", VObject(r.m_tag));
    add("colorClass", VObject(r.m_colorClass));
    add("rating", VObject(r.m_rating));
    addNumber("malformed", r.m_malformedCount);
}

// ---- metadata accumulators

namespace {

// The fields of `now` whose values differ from `base` (all of them when `base` is not a hash).
VObject diffStates(const VObject& base, const VObject& now) {
    VObject diffs = VObject::makeHash();
    if (now.dataType() != VObject::DT_HASH)
        return diffs;
    for (const auto& [key, value] : now.gethash()) {
        if (key == "version")
            continue;
        const VObject* old = base.dataType() == VObject::DT_HASH ? base.fetch(key) : nullptr;
        if (!old || *old != value)
            diffs.store(key, value);
    }
    return diffs;
}

// Only records of files on this machine are reported to the catalogue side.
bool takesPart(const NRFImageInfoRec* record) {
    return record && record->IsLocal();
}

} // namespace

NRFMetadataAccumulator& NRFMetadataAccumulator::forThisThread() {
    static thread_local NRFMetadataAccumulator accumulator;
    return accumulator;
}

void NRFMetadataAccumulator::SetLinkActiveProbe(std::function<bool()> probe) {
    std::lock_guard lock(g_hooksMutex);
    g_linkProbe = std::move(probe);
}

void NRFMetadataAccumulator::accumulate_begin(const NRFImageInfoRec* record, VObject& diffs) {
    try {
        ++m_depth;
        diffs = VObject::makeHash();
        // Nested edits report against the state at the outermost begin.
        if (m_depth == 1) {
            m_haveBase = false;
            m_base = nullptr;
            if (linkActive() && takesPart(record))
                m_haveBase = record->Serialize(m_base);
        }
    } catch (...) {
        LUMO_LOG("%s: C++ exception", "accumulate_begin");
        throw;
    }
}

void NRFMetadataAccumulator::accumulate_commit(const NRFImageInfoRec* record, VObject& diffs) {
    try {
        if (m_depth < 1) {
            LUMO_LOG("%s: internal error: nesting imbalance", "accumulate_commit");
            m_depth = 1;
        }
        --m_depth;
        if (linkActive() && takesPart(record)) {
            VObject now;
            if (record->Serialize(now))
                diffs = diffStates(m_haveBase ? m_base : VObject(), now);
        }
        if (m_depth == 0) {
            m_haveBase = false;
            m_base = nullptr;
        }
    } catch (...) {
        LUMO_LOG("%s: C++ exception", "accumulate_commit");
        throw;
    }
}

NRFScopedMetadataDiffsAccumulator::NRFScopedMetadataDiffsAccumulator(const NRFImageInfoRec* record,
                                                                     VObject& diffs)
    : m_record(record), m_diffs(diffs) {
    NRFMetadataAccumulator::forThisThread().accumulate_begin(m_record, m_diffs);
}

NRFScopedMetadataDiffsAccumulator::~NRFScopedMetadataDiffsAccumulator() {
    try {
        NRFMetadataAccumulator::forThisThread().accumulate_commit(m_record, m_diffs);
    } catch (...) {
        // logged by accumulate_commit; a destructor cannot pass it on
    }
}

NRFOuterMetadataDiffsAccumulator::NRFOuterMetadataDiffsAccumulator(const NRFImageInfoRec* record)
    : m_record(record) {
    NRFMetadataAccumulator::forThisThread().accumulate_begin(m_record, m_diffs);
}

NRFOuterMetadataDiffsAccumulator::~NRFOuterMetadataDiffsAccumulator() {
    try {
        if (!m_committed)
            NRFMetadataAccumulator::forThisThread().accumulate_commit(m_record, m_diffs);
    } catch (...) {
        // logged by accumulate_commit; a destructor cannot pass it on
    }
}

const VObject& NRFOuterMetadataDiffsAccumulator::commit() {
    if (!m_committed) {
        m_committed = true;
        NRFMetadataAccumulator::forThisThread().accumulate_commit(m_record, m_diffs);
    }
    return m_diffs;
}

KLDateTime KLDateTimeFromSeconds(std::int64_t seconds) {
    std::int64_t days = seconds / 86400, rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    KLDateTime t;
    if (year < 1 || year > 9999)
        return t;
    t.year = static_cast<std::int16_t>(year);
    t.month = static_cast<std::uint8_t>(month);
    t.day = static_cast<std::uint8_t>(day);
    t.hour = static_cast<std::uint8_t>(rest / 3600);
    t.minute = static_cast<std::uint8_t>(rest / 60 % 60);
    t.second = static_cast<std::uint8_t>(rest % 60);
    return t;
}
