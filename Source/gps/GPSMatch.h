#pragma once

// Matching photos to a loaded track log by time: the camera's offset from UTC, a match range and a
// gap range, the closest of the points around the photo's time, and the position interpolated between
// that point and its neighbour.

#include "gps/GPSLog.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

class CPreferences;
class NRFImageInfoRec;

inline constexpr char kGPSSettleStatusText[] = "Will calculate matches when changes to settings settle...";
inline constexpr char kGPSCalculatingStatusText[] = "Calculating matches...";
inline constexpr char kGPSNoMatchesText[] =
    "No matches.  Set the GMT Offset Hour to the local time zone of your camera to match GPS log times.";
inline constexpr char kGPSNoLogLoadedText[] =
    "You must load at least one GPS log in order to import GPS coordinates.";
inline constexpr char kGPSNoGPSMatchesText[] =
    "No GPS matches.  Adjust the offsets to get matches between your images and coordinates in your log(s).";

// The camera's clock minus UTC.
struct GPSOffset {
    int days = 0, hours = 0, minutes = 0, seconds = 0;

    std::int64_t totalSeconds() const;
    // The arrows: seconds and minutes carry into the next unit and stay within -59..59; hours stay
    // within -23..23.
    void stepSeconds(int delta);
    void stepMinutes(int delta);
    void stepHours(int delta);
    // "+2h", "-1h30m", "+90s", "1d2h3m4s", "-0:30" (hours:minutes); false when the text is not one.
    static bool parse(const std::string& text, GPSOffset& offset);

    bool operator==(const GPSOffset&) const = default;
};

struct GPSMatchSettings {
    GPSOffset offset;
    int matchRangeMinutes = 5;
    bool allowGapMatches = false;
    bool overwriteExisting = false;
    bool reverseGeocode = false;

    // From and to the dialog's keys ("ImportGPSCoordinates...").
    static GPSMatchSettings Load(const CPreferences& prefs);
    bool Save(CPreferences& prefs) const;
};

// A photo's own position, when it has one.
struct GPSOwnPosition {
    double latitude = 0.0, longitude = 0.0;
    std::optional<double> altitude, speed, course;
};

// The result for one photo.
struct GPSMatch {
    bool matched = false;
    bool interpolated = false;
    bool keptOwn = false; // "overwrite existing" off and the photo has a position: `own` holds it
    double latitude = 0.0, longitude = 0.0, altitude = 0.0, speed = -1.0, course = 0.0;
    std::int64_t photoTime = 0; // the photo's UTC time
    std::string winnerKey;      // the log point that won
    std::optional<GPSOwnPosition> own;
};

// Matches one photo taken at `cameraSeconds` (its capture time as if UTC, before the offset).
GPSMatch GPSMatchPhoto(const GPSLogMap& log, std::int64_t cameraSeconds, const GPSMatchSettings& settings,
                       const std::optional<GPSOwnPosition>& own = std::nullopt);
// The same for a photo's record (its capture time and position); no match without a capture time.
GPSMatch GPSMatchPhoto(const GPSLogMap& log, const NRFImageInfoRec& image, const GPSMatchSettings& settings);

// Geodesic distance in kilometres on the WGS-84 ellipsoid (Vincenty's inverse formula, to 1e-5); a
// negative value when it does not converge (nearly antipodal points).
double GPSVincentyDistanceKm(double lat1, double lon1, double lat2, double lon2);

// "%zu of %zu photos matched." or kGPSNoMatchesText.
std::string GPSMatchSummary(std::size_t matched, std::size_t photos);
