// The values read from the image information record: capture and modification dates, camera and
// image values, photo state, GPS and the colour profile.

#include "NRF/NRF.h"
#include "NRF/NRFICC.h"
#include "NRF/NRFImageInfo.h"
#include "db/Preferences.h"
#include "metadata/IPTCUtils.h"
#include "support/TextUtils.h"
#include "variables/VariableValueForms.h"
#include "variables/VariableValuesInternal.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <fcntl.h>
#include <lcms2.h>
#include <memory>
#include <sys/stat.h>

using namespace lumo::vars;
using lumo::formatString;

namespace {

constexpr double kPi = 3.14159265358979323846;

// ---- dates ----------------------------------------------------------------------------------------

DateParts fromNanoseconds(std::int64_t ns) {
    const std::time_t seconds = static_cast<std::time_t>(ns / 1000000000);
    std::tm tm{};
    if (!localtime_r(&seconds, &tm))
        return {};
    const std::int64_t rest = ns % 1000000000;
    return DatePartsFromTm(tm, static_cast<int>((rest < 0 ? 0 : rest) / 10000000));
}

// The file's creation (birth) time where the file system keeps one, else its modification time.
DateParts fileCreationDate(const NRFImageInfoRec& image) {
    struct statx status {};
    if (!image.m_path.empty() &&
        ::statx(AT_FDCWD, image.m_path.c_str(), AT_STATX_SYNC_AS_STAT, STATX_BTIME, &status) == 0 &&
        (status.stx_mask & STATX_BTIME) != 0)
        return fromNanoseconds(static_cast<std::int64_t>(status.stx_btime.tv_sec) * 1000000000 +
                               status.stx_btime.tv_nsec);
    return image.m_modTimeNs != 0 ? fromNanoseconds(image.m_modTimeNs) : DateParts();
}

DateParts captureDate(const NRFImageInfoRec& image) {
    const KLDateTime& t = image.m_captureTime;
    if (!t.isValid())
        return fileCreationDate(image);
    DateParts d;
    d.year = t.year, d.month = t.month, d.day = t.day, d.hour = t.hour, d.minute = t.minute,
    d.second = t.second;
    d.hundredths = image.m_subSeconds ? static_cast<int>(*image.m_subSeconds / 100 % 100) : -1;
    d.hasDate = t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31;
    d.hasTime = d.hasDate && t.hour < 24 && t.minute < 60 && t.second < 61;
    return d;
}

// ---- exposure -------------------------------------------------------------------------------------

std::optional<double> exposureSeconds(const NRFImageInfoRec& image) {
    if (image.m_exposureTime && *image.m_exposureTime != 0.0f)
        return *image.m_exposureTime;
    if (image.m_shutterSpeedValue && std::fabs(*image.m_shutterSpeedValue) < 64.0f)
        return std::pow(2.0, -static_cast<double>(*image.m_shutterSpeedValue));
    if (image.m_exposureTime)
        return 0.0;
    return std::nullopt;
}

std::optional<double> fNumber(const NRFImageInfoRec& image) {
    if (image.m_fNumber && *image.m_fNumber > 0.0f)
        return *image.m_fNumber;
    if (image.m_apertureValue && std::fabs(*image.m_apertureValue) < 64.0f)
        return std::pow(2.0, static_cast<double>(*image.m_apertureValue) / 2.0);
    return std::nullopt;
}

// APEX values: Av = 2 log2 N, Tv = -log2 t, Sv = log2(ISO / 3.125), Ev = Av + Tv.
std::optional<double> apexAv(const NRFImageInfoRec& image) {
    const auto n = fNumber(image);
    return n ? std::optional<double>(2.0 * std::log2(*n)) : std::nullopt;
}
std::optional<double> apexTv(const NRFImageInfoRec& image) {
    const auto t = exposureSeconds(image);
    return t && *t > 0 && *t < 1000.0 ? std::optional<double>(-std::log2(*t)) : std::nullopt;
}
std::optional<double> apexSv(const NRFImageInfoRec& image) {
    return image.m_iso && *image.m_iso > 0 ? std::optional<double>(std::log2(*image.m_iso / 3.125))
                                           : std::nullopt;
}

std::string apex(std::optional<double> value) {
    return value && std::isfinite(*value) ? formatString("%.1f", *value) : std::string();
}

std::string flashText(unsigned flash) {
    if (flash & 0x20)
        return "no flash function";
    std::string text;
    auto add = [&](const char* part) { text += (text.empty() ? "" : ", ") + std::string(part); };
    switch ((flash >> 3) & 3) {
    case 1:
        add("on");
        break;
    case 2:
        add("off");
        break;
    case 3:
        add("auto");
        break;
    default:
        break;
    }
    if (flash & 1)
        add("fired");
    else
        add(text.empty() ? "no flash" : "did not fire");
    if (((flash >> 1) & 3) == 2)
        add("return not detected");
    else if (((flash >> 1) & 3) == 3)
        add("return detected");
    if (flash & 0x40)
        add("red-eye reduction");
    return text;
}

std::string meteringText(unsigned mode) {
    constexpr std::array<const char*, 7> names = {
        "unknown", "average", "center-weighted average", "spot", "multi-spot", "multi-segment", "partial"};
    return mode < names.size() ? names[mode] : "other";
}

std::string lightSourceText(unsigned source) {
    switch (source) {
    case 0:
        return "unknown";
    case 1:
        return "daylight";
    case 2:
        return "fluorescent";
    case 3:
        return "tungsten";
    case 4:
        return "flash";
    case 9:
        return "fine weather";
    case 10:
        return "cloudy weather";
    case 11:
        return "shade";
    case 12:
        return "daylight fluorescent";
    case 13:
        return "day white fluorescent";
    case 14:
        return "cool white fluorescent";
    case 15:
        return "white fluorescent";
    case 16:
        return "warm white fluorescent";
    case 17:
        return "standard light A";
    case 18:
        return "standard light B";
    case 19:
        return "standard light C";
    case 20:
        return "D55";
    case 21:
        return "D65";
    case 22:
        return "D75";
    case 23:
        return "D50";
    case 24:
        return "ISO studio tungsten";
    default:
        return "other light source";
    }
}

std::string programText(const NRFImageInfoRec& image) {
    if (!image.m_exposureProgramText.empty())
        return image.m_exposureProgramText;
    if (!image.m_exposureProgram)
        return {};
    constexpr std::array<const char*, 9> names = {"not defined",       "manual",           "normal program",
                                                  "aperture priority", "shutter priority", "creative program",
                                                  "action program",    "portrait mode",    "landscape mode"};
    return *image.m_exposureProgram < names.size() ? names[*image.m_exposureProgram] : "other";
}

template <typename T>
std::string optionalNumber(const std::optional<T>& value, const char* format) {
    return value ? formatString(format, *value) : std::string();
}

// ---- image size -----------------------------------------------------------------------------------

struct Size {
    double width = 0, height = 0;
};

Size cropSize(const NRFImageInfoRec& image) {
    const NRFNormalizedCrop& crop = image.m_crop;
    const double w = std::clamp(crop.right - crop.left, 0.0, 1.0),
                 h = std::clamp(crop.bottom - crop.top, 0.0, 1.0);
    return {std::round(image.m_width * w), std::round(image.m_height * h)};
}

bool hasCrop(const NRFImageInfoRec& image) {
    return !(image.m_crop == NRFNormalizedCrop());
}

// Pixels per inch (unit 2) or per centimetre (unit 3) as the file gives them; the JFIF density when
// there is no EXIF resolution.
struct Resolution {
    double x = 0, y = 0;
    bool cm = false;
};

Resolution resolution(const NRFImageInfoRec& image) {
    if (image.m_xResolution > 0 && image.m_yResolution > 0)
        return {image.m_xResolution, image.m_yResolution, image.m_resolutionUnit == 3};
    if (image.m_jfifXDensity > 0 && image.m_jfifYDensity > 0 &&
        (image.m_jfifUnit == 1 || image.m_jfifUnit == 2))
        return {static_cast<double>(image.m_jfifXDensity), static_cast<double>(image.m_jfifYDensity),
                image.m_jfifUnit == 2};
    return {};
}

std::string resolutionText(const NRFImageInfoRec& image, int unit) { // 0 the file's, 1 inches, 2 cm
    const Resolution r = resolution(image);
    if (r.x <= 0)
        return {};
    const bool cm = unit == 0 ? r.cm : unit == 2;
    double perUnit = r.x;
    if (cm != r.cm)
        perUnit = r.cm ? r.x * 2.54 : r.x / 2.54;
    return formatString(cm ? "%.0f pixels/cm" : "%.0f pixels/inch", perUnit);
}

std::string printSizeText(const NRFImageInfoRec& image, int unit) {
    const Resolution r = resolution(image);
    if (r.x <= 0 || r.y <= 0 || image.m_width == 0 || image.m_height == 0)
        return {};
    const bool cm = unit == 0 ? r.cm : unit == 2;
    double w = image.m_width / r.x, h = image.m_height / r.y; // in the file's unit
    if (cm != r.cm) {
        const double factor = r.cm ? 1.0 / 2.54 : 2.54;
        w *= factor, h *= factor;
    }
    return formatString(cm ? "%0.1lf x %0.1lf cm" : "%0.1lf x %0.1lf inches", w, h);
}

std::string aspectText(double width, double height) {
    if (width <= 0 || height <= 0)
        return {};
    return formatString("%.2f", std::max(width, height) / std::min(width, height));
}

// ---- photo state ----------------------------------------------------------------------------------

constexpr std::array<const char*, 8> kRotationNames = {
    "none", "90 CW", "180", "90 CCW", "mirror", "mirror 90 CW", "mirror 180", "mirror 90 CCW"};
// The colours the contact sheet marks colour classes 1 to 8 with.
constexpr std::array<std::array<int, 3>, 9> kColorClassColors = {{{0xff, 0xff, 0xff},
                                                                  {0xe6, 0x1e, 0x1e},
                                                                  {0xf0, 0x82, 0x1e},
                                                                  {0xf0, 0xd2, 0x1e},
                                                                  {0x32, 0xb4, 0x32},
                                                                  {0x1e, 0x64, 0xe6},
                                                                  {0x8c, 0x3c, 0xc8},
                                                                  {0x96, 0x96, 0x96},
                                                                  {0x50, 0x3c, 0x28}}};

std::optional<std::string> photoState(const NRFImageInfoRec& image, std::string_view name, bool sortable) {
    const int rating = image.m_rating;
    if (name == "rating") {
        if (sortable)
            return formatString("%d", 5 - std::clamp(rating, -1, 5));
        if (rating < 0)
            return std::string("reject");
        if (rating == 0 || rating > 5)
            return std::string("unrated");
        return formatString("%d star%s", rating, rating >= 2 ? "s" : "");
    }
    if (name == "numstars")
        return formatString("%d", sortable ? 5 - std::clamp(rating, -1, 5) : std::clamp(rating, -1, 5));
    if (name == "tag")
        return std::string(image.m_tag ? "1" : "0");
    const int colorClass = image.m_colorClass >= 0 && image.m_colorClass <= 8 ? image.m_colorClass : 0;
    if (name == "colorclass" || name == "class")
        return colorClass == 0 ? std::string()
                               : IPTCEncodingSettingsFromPreferences()
                                     .m_colorClassNames[static_cast<std::size_t>(colorClass - 1)];
    if (name == "colorclassval")
        return formatString("%d", colorClass);
    if (name == "colorclasscolor") {
        const auto& rgb = kColorClassColors[static_cast<std::size_t>(colorClass)];
        return formatString("#%2.2x%2.2x%2.2x", rgb[0], rgb[1], rgb[2]);
    }
    if (name == "rotation") {
        const int code = image.m_orientation >= 0 && image.m_orientation < 8 ? image.m_orientation : 0;
        if (sortable)
            return formatString("%03d", (code % 4) * 90);
        return std::string(kRotationNames[static_cast<std::size_t>(code)]);
    }
    if (name == "hascrop")
        return std::string(hasCrop(image) ? "1" : "0");
    return std::nullopt;
}

std::optional<std::string> pictureControl(const NRFPictureControl& pc, std::string_view name) {
    static const std::pair<std::string_view, std::string NRFPictureControl::*> table[] = {
        {"pcnm", &NRFPictureControl::name},
        {"pcad", &NRFPictureControl::adjust},
        {"pcqa", &NRFPictureControl::quickAdjust},
        {"pcsh", &NRFPictureControl::sharpening},
        {"pcms", &NRFPictureControl::midRangeSharpening},
        {"pccl", &NRFPictureControl::clarity},
        {"pccn", &NRFPictureControl::contrast},
        {"contrast", &NRFPictureControl::contrast},
        {"pcbr", &NRFPictureControl::brightness},
        {"pcsa", &NRFPictureControl::saturation},
        {"pchu", &NRFPictureControl::hue},
        {"pcfe", &NRFPictureControl::filterEffect},
        {"pcte", &NRFPictureControl::toningEffect},
        {"pcts", &NRFPictureControl::toningSaturation},
    };
    for (const auto& [key, member] : table)
        if (key == name)
            return pc.*member;
    return std::nullopt;
}

std::optional<std::string> cameraValue(const NRFImageInfoRec& image, std::string_view name, bool sortable) {
    if (auto state = photoState(image, name, sortable))
        return state;
    if (auto control = pictureControl(image.m_pictureControl, name))
        return control;
    if (name == "shutter") {
        const auto t = exposureSeconds(image);
        return t ? FormatShutterSpeed(*t, sortable) : std::string();
    }
    if (name == "aperture") {
        const auto n = fNumber(image);
        return n ? formatString("%.1f", *n) : std::string();
    }
    if (name == "iso" || name == "isox")
        return optionalNumber(image.m_iso, "%u");
    if (name == "av")
        return apex(apexAv(image));
    if (name == "tv")
        return apex(apexTv(image));
    if (name == "sv")
        return apex(apexSv(image));
    if (name == "ev" || name == "ev100") {
        const auto av = apexAv(image), tv = apexTv(image);
        if (!av || !tv)
            return std::string();
        if (name == "ev")
            return apex(*av + *tv);
        const auto sv = apexSv(image);
        return sv ? apex(*av + *tv - (*sv - 5.0)) : std::string();
    }
    if (name == "brightness") {
        if (image.m_brightness)
            return apex(static_cast<double>(*image.m_brightness));
        const auto av = apexAv(image), tv = apexTv(image), sv = apexSv(image);
        return av && tv && sv ? apex(*av + *tv - *sv) : std::string();
    }
    if (name == "comp")
        return image.m_exposureBias ? formatString("%+.1f", static_cast<double>(*image.m_exposureBias))
                                    : std::string();
    if (name == "focallength")
        return image.m_focalLength ? formatString("%.0f", static_cast<double>(*image.m_focalLength))
                                   : std::string();
    if (name == "lens35")
        return optionalNumber(image.m_focalLength35, "%u");
    if (name == "lens")
        return image.m_lensModel.empty() ? image.m_lensType : image.m_lensModel;
    if (name == "lenstype")
        return image.m_lensType;
    if (name == "lenstypenum")
        return optionalNumber(image.m_lensTypeNumber, "%u");
    if (name == "make")
        return image.m_make;
    if (name == "model")
        return image.m_model;
    if (name == "serialnum")
        return image.m_bodySerial.empty() ? image.m_cameraSerial : image.m_bodySerial;
    if (name == "firmware")
        return image.m_firmware;
    if (name == "software")
        return image.m_software;
    if (name == "owner" || name == "user")
        return image.m_owner;
    if (name == "artist")
        return image.m_artist;
    if (name == "tiffcopyright")
        return image.m_copyright;
    if (name == "description")
        return image.m_description;
    if (name == "comment")
        return image.m_userComment;
    if (name == "actuations")
        return optionalNumber(image.m_shutterCount, "%u");
    if (name == "frame" || name == "frame4" || name == "id") {
        const std::optional<std::uint32_t> number =
            image.m_exifImageNumber ? image.m_exifImageNumber : image.m_imageNumber;
        if (!number)
            return std::string();
        return name == "frame4" ? formatString("%04u", *number % 10000) : formatString("%u", *number);
    }
    if (name == "quality")
        return image.m_quality;
    if (name == "focusmode")
        return image.m_focusMode;
    if (name == "sharpness")
        return image.m_sharpness;
    if (name == "tonecomp")
        return image.m_toneComp;
    if (name == "colormode")
        return image.m_colorMode;
    if (name == "whitemode")
        return image.m_whiteMode;
    if (name == "kelvin")
        return optionalNumber(image.m_kelvin, "%u");
    if (name == "flash")
        return image.m_flash ? flashText(*image.m_flash) : std::string();
    if (name == "meteringmode")
        return image.m_meteringMode ? meteringText(*image.m_meteringMode) : std::string();
    if (name == "lightsource")
        return image.m_lightSource ? lightSourceText(*image.m_lightSource) : std::string();
    if (name == "whitebalance")
        return image.m_whiteBalance ? std::string(*image.m_whiteBalance == 0 ? "auto" : "manual")
                                    : std::string();
    if (name == "program")
        return programText(image);
    if (name == "width")
        return image.m_width ? formatString("%u", image.m_width) : std::string();
    if (name == "height")
        return image.m_height ? formatString("%u", image.m_height) : std::string();
    if (name == "cropwidth" || name == "cropheight") {
        const Size size = cropSize(image);
        const double value = name == "cropwidth" ? size.width : size.height;
        return value > 0 ? formatString("%.0f", value) : std::string();
    }
    if (name == "maxdim")
        return image.m_width ? formatString("%u", std::max(image.m_width, image.m_height)) : std::string();
    if (name == "pixels")
        return image.m_width
                   ? formatString("%llu", static_cast<unsigned long long>(image.m_width) * image.m_height)
                   : std::string();
    if (name == "aspect")
        return aspectText(image.m_width, image.m_height);
    if (name == "aspectcrop") {
        const Size size = cropSize(image);
        return aspectText(size.width, size.height);
    }
    if (name == "resolution" || name == "resolutioninches" || name == "resolutioncms")
        return resolutionText(image, name == "resolution" ? 0 : name == "resolutioninches" ? 1 : 2);
    if (name == "printsize" || name == "printsizeinches" || name == "printsizecms")
        return printSizeText(image, name == "printsize" ? 0 : name == "printsizeinches" ? 1 : 2);
    if (name == "corrupt")
        return std::string(image.m_malformedCount ? "1" : "0");
    if (name == "sound")
        return std::string(image.m_soundFileCount ? "1" : "0");
    if (name == "gps") // the position, "51.50070, -0.12460"
        return image.m_hasGPS
                   ? FormatDegrees(image.m_latitude, false) + ", " + FormatDegrees(image.m_longitude, false)
                   : std::string();
    if (name == "mediatype") { // "still", "video", "audio"...
        std::string kind;
        if (image.m_fileType != 0 && NRFGetMediaType(image.m_fileType, &kind) == kNRFErrNone)
            return kind;
        return image.m_fileType != 0 ? std::string(image.m_duration ? "video" : "still") : std::string();
    }
    // Values the image information does not carry.
    if (name == "flashcomp" || name == "uniqueid" || name == "rawplusjpeg" || name == "badappd")
        return std::string();
    return std::nullopt;
}

// The names of the camera family, answered "" without an image.
bool isCameraName(std::string_view name) {
    static const NRFImageInfoRec empty{};
    return cameraValue(empty, name, false).has_value();
}

// ---- GPS ------------------------------------------------------------------------------------------

std::string referenceText(std::uint8_t ref) {
    return ref == 'T' ? "true" : ref == 'M' ? "magnetic" : std::string();
}

std::optional<std::pair<double, double>> homeLocation() {
    const std::shared_ptr<CPreferences> preferences = CPreferences::instance();
    if (!preferences)
        return std::nullopt;
    CILA::VObject latitude, longitude;
    if (!preferences->getValue(kPrefGPSHomeLatitude, latitude) ||
        !preferences->getValue(kPrefGPSHomeLongitude, longitude))
        return std::nullopt;
    const double lat = preferences->getDouble(kPrefGPSHomeLatitude, 0.0);
    const double lon = preferences->getDouble(kPrefGPSHomeLongitude, 0.0);
    if (!std::isfinite(lat) || !std::isfinite(lon) || std::fabs(lat) > 90 || std::fabs(lon) > 180)
        return std::nullopt;
    return std::make_pair(lat, lon);
}

double radians(double degrees) {
    return degrees * kPi / 180.0;
}

// Initial great-circle bearing from point 1 to point 2, degrees 0 to 360.
double initialBearing(double lat1, double lon1, double lat2, double lon2) {
    const double dLon = radians(lon2 - lon1);
    const double y = std::sin(dLon) * std::cos(radians(lat2));
    const double x = std::cos(radians(lat1)) * std::sin(radians(lat2)) -
                     std::sin(radians(lat1)) * std::cos(radians(lat2)) * std::cos(dLon);
    const double bearing = std::atan2(y, x) * 180.0 / kPi;
    return std::fmod(bearing + 360.0, 360.0);
}

std::optional<std::string> gpsValue(const NRFImageInfoRec& image, std::string_view name, bool sortable) {
    static constexpr std::string_view names[] = {
        "altitude", "bearingfrom", "bearingto",  "distance", "gpsdate",   "gpsdatum", "gpsdif",
        "gpsdir",   "gpsdirref",   "gpsdop",     "gpsmode",  "gpsstatus", "gpstime",  "gpsversion",
        "latitude", "longitude",   "satellites", "speed",    "track",     "trackref"};
    if (std::find(std::begin(names), std::end(names), name) == std::end(names))
        return std::nullopt;
    if (!image.m_hasGPS)
        return std::string();
    if (name == "latitude")
        return FormatDegrees(image.m_latitude, sortable);
    if (name == "longitude")
        return FormatDegrees(image.m_longitude, sortable);
    if (name == "altitude")
        return image.m_altitude ? formatString("%.1f m", *image.m_altitude) : std::string();
    if (name == "speed")
        return image.m_gpsSpeed ? FormatGPSSpeed(*image.m_gpsSpeed, image.m_gpsSpeedRef, sortable)
                                : std::string();
    if (name == "track")
        return image.m_gpsTrack ? formatString("%.2f", *image.m_gpsTrack) : std::string();
    if (name == "trackref")
        return referenceText(image.m_gpsTrackRef);
    if (name == "gpsdir")
        return image.m_bearing ? formatString("%.2f", *image.m_bearing) : std::string();
    if (name == "gpsdirref")
        return referenceText(image.m_gpsImgDirectionRef);
    if (name == "gpsdate")
        return image.m_gpsDateStamp;
    if (name == "gpstime")
        return image.m_gpsHasTimeStamp
                   ? formatString("%02u:%02u:%02u", image.m_gpsHours, image.m_gpsMinutes, image.m_gpsSeconds)
                   : std::string();
    if (name == "gpsdatum")
        return image.m_gpsMapDatum;
    if (name == "satellites")
        return image.m_gpsSatellites;
    if (name == "gpsstatus")
        return image.m_gpsStatus == 'A' ? "active" : image.m_gpsStatus == 'V' ? "void" : std::string();
    if (name == "gpsmode")
        return image.m_gpsMeasureMode == '2'   ? "2-dimensional"
               : image.m_gpsMeasureMode == '3' ? "3-dimensional"
                                               : std::string();
    if (name == "gpsdop")
        return image.m_gpsDOP ? formatString("%.2f", *image.m_gpsDOP) : std::string();
    if (name == "gpsversion") {
        if (image.m_gpsVersion == 0)
            return std::string();
        const std::uint32_t v = image.m_gpsVersion;
        return formatString("%u.%u.%u.%u", v >> 24, (v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
    }
    if (name == "gpsdif") // the differential correction is not kept in the image information
        return std::string();
    const auto home = homeLocation();
    if (!home)
        return std::string();
    const auto [homeLat, homeLon] = *home;
    if (name == "distance") {
        // Haversine on a sphere of the Earth's mean radius, in kilometres.
        const double dLat = radians(image.m_latitude - homeLat), dLon = radians(image.m_longitude - homeLon);
        const double a = std::sin(dLat / 2) * std::sin(dLat / 2) +
                         std::cos(radians(homeLat)) * std::cos(radians(image.m_latitude)) *
                             std::sin(dLon / 2) * std::sin(dLon / 2);
        const double km = 6371.0088 * 2 * std::atan2(std::sqrt(a), std::sqrt(std::max(0.0, 1 - a)));
        return sortable ? formatString("%010.2f", km) : formatString("%.2f km", km);
    }
    // "bearingto": the direction from home to the photo; "bearingfrom": from the photo back home.
    const double bearing = name == "bearingto"
                               ? initialBearing(homeLat, homeLon, image.m_latitude, image.m_longitude)
                               : initialBearing(image.m_latitude, image.m_longitude, homeLat, homeLon);
    return formatString(sortable ? "%06.2f" : "%.2f", bearing);
}

// ---- colour profile -------------------------------------------------------------------------------

struct ProfileCloser {
    void operator()(void* profile) const { cmsCloseProfile(profile); }
};

// Profiles keep their colorants (and, from version 4 on, their white point) adapted to the D50 of the
// connection space, with the adaptation in their "chad" tag: undone here, so that the values are the
// chromaticities the profile describes (sRGB's red at 0.6400, 0.3300).
std::string xyText(cmsHPROFILE profile, const cmsCIEXYZ* xyz, bool wantY) {
    if (!xyz)
        return {};
    cmsCIEXYZ value = *xyz;
    if (const auto* chad = static_cast<const double*>(cmsReadTag(profile, cmsSigChromaticAdaptationTag))) {
        const double(&m)[9] = *reinterpret_cast<const double(*)[9]>(chad);
        const double det = m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) +
                           m[2] * (m[3] * m[7] - m[4] * m[6]);
        if (std::fabs(det) > 1e-12) {
            const double inv[9] = {(m[4] * m[8] - m[5] * m[7]) / det, (m[2] * m[7] - m[1] * m[8]) / det,
                                   (m[1] * m[5] - m[2] * m[4]) / det, (m[5] * m[6] - m[3] * m[8]) / det,
                                   (m[0] * m[8] - m[2] * m[6]) / det, (m[2] * m[3] - m[0] * m[5]) / det,
                                   (m[3] * m[7] - m[4] * m[6]) / det, (m[1] * m[6] - m[0] * m[7]) / det,
                                   (m[0] * m[4] - m[1] * m[3]) / det};
            value.X = inv[0] * xyz->X + inv[1] * xyz->Y + inv[2] * xyz->Z;
            value.Y = inv[3] * xyz->X + inv[4] * xyz->Y + inv[5] * xyz->Z;
            value.Z = inv[6] * xyz->X + inv[7] * xyz->Y + inv[8] * xyz->Z;
        }
    }
    if (!(value.X + value.Y + value.Z > 0))
        return {};
    cmsCIExyY xyY;
    cmsXYZ2xyY(&xyY, &value);
    return formatString("%.4f", wantY ? xyY.y : xyY.x);
}

std::optional<std::string> profileValue(const NRFImageInfoRec& image, std::string_view name) {
    static constexpr std::string_view names[] = {"gamma", "icc",  "prrx", "prry", "prgx",
                                                 "prgy",  "prbx", "prby", "wpx",  "wpy"};
    if (std::find(std::begin(names), std::end(names), name) == std::end(names))
        return std::nullopt;
    std::string profile;
    const bool embedded = image.m_colorSpaceCode == kNRFColorSpaceEmbedded;
    if (embedded) {
        if (NRFICCReadEmbeddedProfile(image, profile) != 0)
            return std::string();
    } else {
        profile = NRFICCBuiltInProfile(image.m_colorSpaceCode);
    }
    if (profile.empty())
        return std::string();
    if (name == "icc") {
        const std::string profileName = NRFICCProfileName(profile);
        if (!embedded)
            return profileName;
        return (profileName.empty() ? std::string("(no name)") : profileName) + " (embedded)";
    }
    const std::unique_ptr<void, ProfileCloser> handle(
        cmsOpenProfileFromMem(profile.data(), static_cast<cmsUInt32Number>(profile.size())));
    if (!handle)
        return std::string();
    if (name == "gamma") {
        const auto* curve = static_cast<const cmsToneCurve*>(cmsReadTag(handle.get(), cmsSigGreenTRCTag));
        if (!curve)
            curve = static_cast<const cmsToneCurve*>(cmsReadTag(handle.get(), cmsSigGrayTRCTag));
        double gamma = curve ? cmsEstimateGamma(curve, 0.01) : -1.0;
        if (curve && gamma <= 0) {
            // A curve that is no pure power (sRGB's): the power that meets it half way.
            const double middle = cmsEvalToneCurveFloat(curve, 0.5f);
            gamma = middle > 0 && middle < 1 ? std::log(middle) / std::log(0.5) : -1.0;
        }
        return gamma > 0 ? formatString("%.2f", gamma) : std::string();
    }
    if (name == "wpx" || name == "wpy")
        return xyText(handle.get(),
                      static_cast<const cmsCIEXYZ*>(cmsReadTag(handle.get(), cmsSigMediaWhitePointTag)),
                      name == "wpy");
    const cmsTagSignature tag = name[2] == 'r'   ? cmsSigRedColorantTag
                                : name[2] == 'g' ? cmsSigGreenColorantTag
                                                 : cmsSigBlueColorantTag;
    return xyText(handle.get(), static_cast<const cmsCIEXYZ*>(cmsReadTag(handle.get(), tag)), name[3] == 'y');
}

} // namespace

std::optional<std::string> CaptureDateValue(const VariableContext& context, std::string_view name) {
    static constexpr std::string_view captureForms[] = {
        "ampm",     "date",         "datemil",      "datesort",    "datesortdash", "day",       "day0",
        "dow",      "dow3",         "hour",         "hour0",       "hour24",       "minute",    "month",
        "month0",   "monthname",    "monthname3",   "monthnameap", "second",       "subsecond", "time",
        "timesort", "timesortdash", "timesortlong", "year2",       "year4"};
    const bool modified =
        name == "moddate" || name == "modtime" || name == "moddatesort" || name == "modtimesort";
    if (!modified &&
        std::find(std::begin(captureForms), std::end(captureForms), name) == std::end(captureForms))
        return std::nullopt;
    if (!context.image)
        return std::string();
    if (modified) {
        if (context.image->m_modTimeNs == 0)
            return std::string();
        const DateParts d = fromNanoseconds(context.image->m_modTimeNs);
        return FormatDatePart(d, name.substr(3));
    }
    const DateParts d = captureDate(*context.image);
    return FormatDatePart(d, name == "datemil" ? "mil" : name);
}

std::optional<std::string> CameraValue(const VariableContext& context, std::string_view name, bool sortable) {
    if (!context.image)
        return isCameraName(name) ? std::optional<std::string>(std::string()) : std::nullopt;
    return cameraValue(*context.image, name, sortable);
}

std::optional<std::string> PositionValue(const VariableContext& context, std::string_view name,
                                         bool sortable) {
    static const NRFImageInfoRec empty{};
    return gpsValue(context.image ? *context.image : empty, name, sortable);
}

std::optional<std::string> ColorProfileValue(const VariableContext& context, std::string_view name) {
    static const NRFImageInfoRec empty{};
    return profileValue(context.image ? *context.image : empty, name);
}
