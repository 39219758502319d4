#include "gps/ImportGPSCoordinatesWorker.h"

#include "NRF/NRFImageInfo.h"
#include "app/LumoLog.h"
#include "background/ErrorReporter.h"
#include "metadata/IPTC_XMP_Utils.h"
#include "metadata/PhotoMetadata.h"
#include "support/FileIO.h"
#include "support/PhotoLocks.h"
#include "support/TextUtils.h"

#include <sys/stat.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <exception>

namespace {

constexpr NRFErr kUpdateFailed = 5;
constexpr NRFErr kNoWriteAccess = 6;

NRFErr fail(NRFErr err, const std::string& text) {
    NRFSetErrorText("%s", text.c_str());
    LUMO_LOG("%s", text.c_str());
    return err;
}

NRFErr updateFailed(const std::string& path) {
    return fail(kUpdateFailed, lumo::formatString("Error updating GPS information on '%s'.", path.c_str()));
}

std::uint32_t get32(const unsigned char* p, bool bigEndian) {
    return bigEndian
               ? (std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3])
               : (std::uint32_t{p[3]} << 24 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0]);
}

void put32(unsigned char* p, std::uint32_t v, bool bigEndian) {
    for (int i = 0; i < 4; ++i)
        p[bigEndian ? i : 3 - i] = static_cast<unsigned char>(v >> (8 * (3 - i)));
}

// `count` rationals as a value; none when a denominator is 0.
std::optional<std::array<double, 3>> rationals(const unsigned char* p, int count, bool bigEndian) {
    std::array<double, 3> v{};
    for (int i = 0; i < count; ++i) {
        const std::uint32_t num = get32(p + 8 * i, bigEndian), den = get32(p + 8 * i + 4, bigEndian);
        if (den == 0)
            return std::nullopt;
        v[static_cast<std::size_t>(i)] = static_cast<double>(num) / den;
    }
    return v;
}

// Degrees as degrees/1, minutes/1, seconds/10000 (a ten-thousandth of a second is 3 mm).
void encodeDegrees(unsigned char* p, double value, bool bigEndian) {
    double v = std::fabs(value);
    auto degrees = static_cast<std::uint32_t>(v);
    v = (v - degrees) * 60.0;
    auto minutes = static_cast<std::uint32_t>(v);
    auto tenThousandths = static_cast<std::uint32_t>(std::lround((v - minutes) * 60.0 * 10000.0));
    if (tenThousandths >= 600000)
        tenThousandths -= 600000, ++minutes;
    if (minutes >= 60)
        minutes -= 60, ++degrees;
    const std::uint32_t words[6] = {degrees, 1, minutes, 1, tenThousandths, 10000};
    for (int i = 0; i < 6; ++i)
        put32(p + 4 * i, words[i], bigEndian);
}

bool ownerMayWrite(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && (st.st_mode & S_IWUSR) != 0;
}

} // namespace

NRFErr GPSWriteExifPosition(NRFImageInfoRec* image, double latitude, double longitude, double altitude) {
    if (!image)
        return kNRFErrParam;
    NRFImageInfoRec& r = *image;
    if (!r.m_hasGPS || !r.m_gpsLatitudePos || !r.m_gpsLongitudePos || !r.m_gpsLatitudeRefPos ||
        !r.m_gpsLongitudeRefPos)
        return kNRFErrNone; // nothing to rewrite: the XMP carries the position
    if (!std::isfinite(latitude) || !std::isfinite(longitude) || std::fabs(latitude) > 90.0 ||
        std::fabs(longitude) > 180.0)
        return fail(kNRFErrParam, "Error setting GPS information, bad parameter");
    const std::string& path = r.m_path;
    const std::string noAccess = lumo::formatString(
        "Unable to gain write access to '%s'. Try setting file permissions to allow reading and writing.",
        path.c_str());
    lumo::File file;
    if (!ownerMayWrite(path) || file.open(path, lumo::File::Mode::Update) != 0)
        return fail(kNoWriteAccess, noAccess);
    std::uint64_t size = 0;
    if (file.size(size) != 0)
        return updateFailed(path);
    const bool be = r.m_tiffBigEndian;

    // Every value must still read as what the record holds before anything is written: a file changed
    // behind the record's back is left alone.
    const auto readAt = [&](std::uint32_t pos, unsigned char* into, std::size_t n) {
        std::size_t got = 0;
        return pos + n <= size && file.readAt(into, n, pos, got) == 0 && got == n;
    };
    unsigned char lat[24], lon[24], latRef[1], lonRef[1], alt[8], altRef[1];
    if (!readAt(r.m_gpsLatitudePos, lat, 24) || !readAt(r.m_gpsLongitudePos, lon, 24) ||
        !readAt(r.m_gpsLatitudeRefPos, latRef, 1) || !readAt(r.m_gpsLongitudeRefPos, lonRef, 1))
        return updateFailed(path);
    const auto degreesOf = [&](const unsigned char* p) -> std::optional<double> {
        const auto v = rationals(p, 3, be);
        return v ? std::optional<double>((*v)[0] + (*v)[1] / 60.0 + (*v)[2] / 3600.0) : std::nullopt;
    };
    const auto oldLat = degreesOf(lat), oldLon = degreesOf(lon);
    const bool refsOK = (latRef[0] == 'N' || latRef[0] == 'S') && (lonRef[0] == 'E' || lonRef[0] == 'W');
    if (!oldLat || !oldLon || !refsOK || std::fabs(*oldLat - std::fabs(r.m_latitude)) > 1e-6 ||
        std::fabs(*oldLon - std::fabs(r.m_longitude)) > 1e-6) {
        LUMO_LOG("GPSWriteExifPosition() '%s' no longer holds its GPS values where they were read",
                 path.c_str());
        return updateFailed(path);
    }
    // The altitude only where the file has it, and a reference for a height below sea level.
    bool writeAltitude = r.m_gpsAltitudePos && std::isfinite(altitude) && std::fabs(altitude) < 1e6 &&
                         readAt(r.m_gpsAltitudePos, alt, 8) && rationals(alt, 1, be).has_value();
    if (writeAltitude && r.m_gpsAltitudeRefPos)
        writeAltitude = readAt(r.m_gpsAltitudeRefPos, altRef, 1) && altRef[0] <= 1;
    else if (writeAltitude && altitude < 0)
        writeAltitude = false;

    encodeDegrees(lat, latitude, be);
    encodeDegrees(lon, longitude, be);
    latRef[0] = latitude < 0 ? 'S' : 'N';
    lonRef[0] = longitude < 0 ? 'W' : 'E';
    if (file.writeAt(lat, 24, r.m_gpsLatitudePos) != 0 ||
        file.writeAt(latRef, 1, r.m_gpsLatitudeRefPos) != 0 ||
        file.writeAt(lon, 24, r.m_gpsLongitudePos) != 0 ||
        file.writeAt(lonRef, 1, r.m_gpsLongitudeRefPos) != 0)
        return updateFailed(path);
    if (writeAltitude) {
        put32(alt, static_cast<std::uint32_t>(std::lround(std::fabs(altitude) * 1000.0)), be);
        put32(alt + 4, 1000, be);
        altRef[0] = altitude < 0 ? 1 : 0;
        if (file.writeAt(alt, 8, r.m_gpsAltitudePos) != 0 ||
            (r.m_gpsAltitudeRefPos && file.writeAt(altRef, 1, r.m_gpsAltitudeRefPos) != 0))
            return updateFailed(path);
    }
    if (file.sync() != 0 || file.close() != 0)
        return updateFailed(path);
    if (!r.RefreshFileStatus())
        LUMO_LOG("GPSWriteExifPosition() couldn't get file info for '%s' after the update", path.c_str());
    return kNRFErrNone;
}

NRFErr GPSWritePosition(NRFImageInfoRec* image, const GPSMatch& match) {
    if (!image || !match.matched)
        return kNRFErrParam;
    try {
        // The EXIF values first, while the record's positions describe the file as read; the XMP
        // rewrite may move them.
        if (const NRFErr err = GPSWriteExifPosition(image, match.latitude, match.longitude, match.altitude))
            return err;
        NRFImageInfoRec& r = *image;
        r.m_hasGPS = true;
        r.m_latitude = match.latitude;
        r.m_longitude = match.longitude;
        r.m_altitude = match.altitude;
        r.m_gpsTime = static_cast<double>(match.photoTime);
        r.m_gpsMapDatum = "WGS-84";
        // What described the old fix does not describe this one.
        r.m_gpsSatellites.clear();
        r.m_gpsStatus = 0;
        r.m_gpsMeasureMode = 0;
        r.m_gpsDOP.reset();
        if (match.speed >= 0.0 && std::isfinite(match.speed)) {
            r.m_gpsSpeed = match.speed;
            r.m_gpsSpeedRef = 'N';
        } else {
            r.m_gpsSpeed.reset();
        }
        if (std::isfinite(match.course) && match.course >= 0.0 && match.course < 360.0) {
            r.m_gpsTrack = match.course;
            r.m_gpsTrackRef = 'T';
        } else {
            r.m_gpsTrack.reset();
        }
        return NRFSaveXMP(image, kXMPUpdateGPS);
    } catch (...) {
        return fail(kNRFErrException,
                    lumo::formatString("Unexpected exception while updating GPS information on '%s'.",
                                       image->m_path.c_str()));
    }
}

ImportGPSCoordinatesWorker::ImportGPSCoordinatesWorker(std::vector<Item> items, bool reverseGeocode,
                                                       Geocoder geocoder)
    : m_items(std::move(items)), m_outcomes(m_items.size()), m_reverseGeocode(reverseGeocode),
      m_geocoder(std::move(geocoder)) {}

bool ImportGPSCoordinatesWorker::DoStep() {
    if (IsDone())
        return true;
    Outcome& outcome = m_outcomes[m_next];
    Item& item = m_items[m_next++];
    if (!item.image || !item.match.matched)
        return true; // nothing to write
    const std::string path = item.image->m_path;
    try {
        lumo::PhotoLocks locks;
        locks.lock(path, {});
        NRFErr err = NRFGetImageInfo(item.image.get());
        // A photo that keeps its own position is only looked up.
        if (err == kNRFErrNone && !item.match.keptOwn)
            err = GPSWritePosition(item.image.get(), item.match);
        if (err != kNRFErrNone) {
            ++m_failed;
            const std::string text = NRFGetErrorText().empty()
                                         ? lumo::formatString("Unable to save metadata for %s.", path.c_str())
                                         : NRFGetErrorText();
            outcome.error = text;
            ErrorReporter::Recorder::Record("While importing GPS coordinates an error occurred:", text, path,
                                            false);
            return false;
        }
        locks.unlockAll();
        if (!item.match.keptOwn) {
            ++m_written;
            outcome.written = true;
        }
        if (m_reverseGeocode && m_geocoder) {
            // The look-up goes by the record's position: the one just written, even where the
            // engine's reader would not find it in the file (it reads positions from EXIF only).
            if (!item.match.keptOwn) {
                item.image->m_hasGPS = true;
                item.image->m_latitude = item.match.latitude;
                item.image->m_longitude = item.match.longitude;
                item.image->m_altitude = item.match.altitude;
            }
            std::string error;
            if (!m_geocoder(*item.image, error)) {
                ++m_geocodeFailed;
                outcome.error = error;
                ErrorReporter::Recorder::Record("While importing GPS coordinates an error occurred:", error,
                                                path, false);
                return false;
            }
        }
        return true;
    } catch (const std::exception& e) {
        LUMO_LOG("%s %s", kImportGPSExceptionText, e.what());
        ++m_failed;
        outcome.error = std::string(kImportGPSExceptionText) + " " + e.what();
        ErrorReporter::Recorder::Record(kImportGPSExceptionText, e.what(), path, false);
    } catch (...) {
        LUMO_LOG("%s (unknown)", kImportGPSExceptionText);
        ++m_failed;
        outcome.error = kImportGPSExceptionText;
        ErrorReporter::Recorder::Record(kImportGPSExceptionText, "", path, false);
    }
    return false;
}

bool ImportGPSCoordinatesWorker::IsDone() {
    return m_next >= m_items.size();
}

unsigned ImportGPSCoordinatesWorker::GetPercent() {
    return m_items.empty() ? 100u : static_cast<unsigned>(m_next * 100 / m_items.size());
}

void ImportGPSCoordinatesWorker::GetStatusText(std::string& text) {
    if (IsDone()) {
        text = lumo::formatString("Wrote GPS coordinates into %zu of %zu photos.", m_written, m_items.size());
        return;
    }
    const NRFImageInfoRef& image = m_items[m_next].image;
    text = lumo::formatString("Writing GPS coordinates into %s (%zu of %zu)...",
                              image ? image->m_path.c_str() : "", m_next + 1, m_items.size());
}
