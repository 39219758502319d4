#include "gps/GPSMatch.h"

#include "NRF/NRFImageInfo.h"
#include "db/PreferenceKeys.h"
#include "db/Preferences.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace {

constexpr std::int64_t kGapRangeSeconds = 86400;

// Keeps `value` within -59..59 by carrying whole units into `next`.
void carry(int& value, int& next) {
    while (value > 59)
        value -= 60, ++next;
    while (value < -59)
        value += 60, --next;
}

double knotsFrom(double speed, std::uint8_t ref) {
    switch (ref) {
    case 'K':
        return speed / 1.852;
    case 'M':
        return speed * 0.868976242;
    default:
        return speed; // 'N', or no reference: knots
    }
}

} // namespace

std::int64_t GPSOffset::totalSeconds() const {
    return static_cast<std::int64_t>(days) * 86400 + static_cast<std::int64_t>(hours) * 3600 +
           static_cast<std::int64_t>(minutes) * 60 + seconds;
}

void GPSOffset::stepSeconds(int delta) {
    seconds += delta;
    carry(seconds, minutes);
    carry(minutes, hours);
    hours = std::clamp(hours, -23, 23);
}

void GPSOffset::stepMinutes(int delta) {
    minutes += delta;
    carry(minutes, hours);
    hours = std::clamp(hours, -23, 23);
}

void GPSOffset::stepHours(int delta) {
    hours = std::clamp(hours + delta, -23, 23);
}

bool GPSOffset::parse(const std::string& text, GPSOffset& offset) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    int sign = 1;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        sign = text[i++] == '-' ? -1 : 1;
    std::int64_t total = 0;
    bool any = false;
    const auto readNumber = [&](std::int64_t& n) {
        const std::size_t start = i;
        n = 0;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) && i - start < 7)
            n = n * 10 + (text[i++] - '0');
        return i > start && (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i])));
    };
    if (text.find(':') != std::string::npos) { // h:mm or h:mm:ss
        std::int64_t h = 0, m = 0, s = 0;
        if (!readNumber(h) || i >= text.size() || text[i++] != ':' || !readNumber(m) || m > 59)
            return false;
        if (i < text.size() && text[i] == ':') {
            ++i;
            if (!readNumber(s) || s > 59)
                return false;
        }
        if (i != text.size())
            return false;
        total = h * 3600 + m * 60 + s;
        any = true;
    } else {
        char lastUnit = 0;
        static constexpr char kUnits[] = "dhms";
        while (i < text.size()) {
            std::int64_t n = 0;
            if (!readNumber(n) || i >= text.size())
                return false;
            const char unit = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i++])));
            const char* at = std::strchr(kUnits, unit);
            if (!unit || !at || (lastUnit && at <= std::strchr(kUnits, lastUnit)))
                return false; // units in the order d, h, m, s, each once
            lastUnit = unit;
            total += n * (unit == 'd' ? 86400 : unit == 'h' ? 3600 : unit == 'm' ? 60 : 1);
            any = true;
        }
    }
    if (!any || total > 3650LL * 86400)
        return false;
    total *= sign;
    GPSOffset out;
    out.days = static_cast<int>(total / 86400);
    out.hours = static_cast<int>(total % 86400 / 3600);
    out.minutes = static_cast<int>(total % 3600 / 60);
    out.seconds = static_cast<int>(total % 60);
    offset = out;
    return true;
}

GPSMatchSettings GPSMatchSettings::Load(const CPreferences& prefs) {
    GPSMatchSettings s;
    const auto integer = [&](const char* key, std::int64_t fallback, std::int64_t low, std::int64_t high) {
        return static_cast<int>(std::clamp(prefs.getInt(key, fallback), low, high));
    };
    s.offset.days = integer(kPrefImportGPSDaysDelta, 0, -3650, 3650);
    s.offset.hours = integer(kPrefImportGPSHoursDelta, 0, -23, 23);
    s.offset.minutes = integer(kPrefImportGPSMinutesDelta, 0, -59, 59);
    s.offset.seconds = integer(kPrefImportGPSSecondsDelta, 0, -59, 59);
    s.matchRangeMinutes = integer(kPrefImportGPSMatchRange, 5, 0, 1440);
    s.allowGapMatches = prefs.getBool(kPrefImportGPSAllowGapMatches, false);
    s.overwriteExisting = prefs.getBool(kPrefImportGPSOverwriteExisting, false);
    s.reverseGeocode = prefs.getBool(kPrefImportGPSReverseGeocode, false);
    return s;
}

bool GPSMatchSettings::Save(CPreferences& prefs) const {
    bool ok = prefs.setInt(kPrefImportGPSDaysDelta, offset.days);
    ok = prefs.setInt(kPrefImportGPSHoursDelta, offset.hours) && ok;
    ok = prefs.setInt(kPrefImportGPSMinutesDelta, offset.minutes) && ok;
    ok = prefs.setInt(kPrefImportGPSSecondsDelta, offset.seconds) && ok;
    ok = prefs.setInt(kPrefImportGPSMatchRange, matchRangeMinutes) && ok;
    ok = prefs.setBool(kPrefImportGPSAllowGapMatches, allowGapMatches) && ok;
    ok = prefs.setBool(kPrefImportGPSOverwriteExisting, overwriteExisting) && ok;
    ok = prefs.setBool(kPrefImportGPSReverseGeocode, reverseGeocode) && ok;
    return ok;
}

GPSMatch GPSMatchPhoto(const GPSLogMap& log, std::int64_t cameraSeconds, const GPSMatchSettings& settings,
                       const std::optional<GPSOwnPosition>& own) {
    GPSMatch match;
    match.photoTime = cameraSeconds - settings.offset.totalSeconds();
    if (log.empty())
        return match;
    const std::int64_t t = match.photoTime;
    const std::int64_t R = static_cast<std::int64_t>(std::max(settings.matchRangeMinutes, 0)) * 60;
    const std::int64_t G = settings.allowGapMatches ? kGapRangeSeconds : R;

    using It = GPSLogMap::const_iterator;
    const It first = log.begin(), last = std::prev(log.end());
    const It after = log.lower_bound(GPSTimeKey(t));
    std::optional<It> afterCandidate, beforeCandidate;
    if (after == log.end()) {
        if (last->second.time >= t - R)
            beforeCandidate = last;
    } else {
        if (after->second.time <= t + (after == first ? R : G))
            afterCandidate = after;
        if (after != first) {
            const It before = std::prev(after);
            if (before->second.time >= t - (before == last || before == first ? R : G))
                beforeCandidate = before;
        }
    }
    It winner;
    if (afterCandidate && beforeCandidate) {
        const std::int64_t toAfter = (*afterCandidate)->second.time - t;
        const std::int64_t toBefore = t - (*beforeCandidate)->second.time;
        winner = toAfter <= toBefore ? *afterCandidate : *beforeCandidate;
    } else if (afterCandidate) {
        winner = *afterCandidate;
    } else if (beforeCandidate) {
        winner = *beforeCandidate;
    } else {
        return match;
    }

    const GPSCoordinate& w = winner->second;
    match.matched = true;
    match.winnerKey = winner->first;
    match.latitude = w.latitude;
    match.longitude = w.longitude;
    match.altitude = w.altitude;
    match.speed = w.speed;
    match.course = w.course;

    // The neighbour on the photo's other side.
    std::optional<It> neighbour;
    if (w.time <= t) {
        if (std::next(winner) != log.end())
            neighbour = std::next(winner);
    } else if (winner != first) {
        neighbour = std::prev(winner);
    }
    if (neighbour && std::llabs((*neighbour)->second.time - t) <= G && (*neighbour)->second.time != w.time) {
        const GPSCoordinate& n = (*neighbour)->second;
        const double f =
            std::min(1.0, static_cast<double>(t - w.time) / static_cast<double>(n.time - w.time));
        match.interpolated = true;
        match.latitude = w.latitude + (n.latitude - w.latitude) * f;
        match.altitude = w.altitude + (n.altitude - w.altitude) * f;
        double dLon = n.longitude - w.longitude;
        if (dLon > 180.0)
            dLon -= 360.0;
        else if (dLon < -180.0)
            dLon += 360.0;
        double lon = w.longitude + dLon * f;
        if (lon > 180.0)
            lon -= 360.0;
        else if (lon < -180.0)
            lon += 360.0;
        match.longitude = lon;
        if (w.speed >= 0.0 && n.speed >= 0.0) {
            match.speed = w.speed + (n.speed - w.speed) * f;
        } else {
            const double km = GPSVincentyDistanceKm(w.latitude, w.longitude, n.latitude, n.longitude);
            const double seconds = std::fabs(static_cast<double>(n.time - w.time));
            match.speed = km >= 0.0 ? km * 0.539956803 * 3600.0 / seconds : -1.0;
        }
        match.course = w.course + (n.course - w.course) * f;
    }

    if (!settings.overwriteExisting && own) {
        match.keptOwn = true;
        match.own = own;
        match.latitude = own->latitude;
        match.longitude = own->longitude;
        match.altitude = own->altitude.value_or(0.0);
        match.speed = own->speed.value_or(-1.0);
        match.course = own->course.value_or(0.0);
    }
    return match;
}

GPSMatch GPSMatchPhoto(const GPSLogMap& log, const NRFImageInfoRec& image, const GPSMatchSettings& settings) {
    const KLDateTime& c = image.m_captureTime;
    if (!c.isValid())
        return {};
    std::optional<GPSOwnPosition> own;
    if (image.m_hasGPS) {
        GPSOwnPosition p;
        p.latitude = image.m_latitude;
        p.longitude = image.m_longitude;
        p.altitude = image.m_altitude;
        if (image.m_gpsSpeed)
            p.speed = knotsFrom(*image.m_gpsSpeed, image.m_gpsSpeedRef);
        p.course = image.m_gpsTrack;
        own = p;
    }
    return GPSMatchPhoto(log, GPSSecondsFromCivil(c.year, c.month, c.day, c.hour, c.minute, c.second),
                         settings, own);
}

double GPSVincentyDistanceKm(double lat1, double lon1, double lat2, double lon2) {
    constexpr double a = 6378137.0, f = 1.0 / 298.257223563, b = a * (1.0 - f);
    constexpr double rad = M_PI / 180.0;
    const double L = (lon2 - lon1) * rad;
    const double U1 = std::atan((1.0 - f) * std::tan(lat1 * rad));
    const double U2 = std::atan((1.0 - f) * std::tan(lat2 * rad));
    const double sinU1 = std::sin(U1), cosU1 = std::cos(U1), sinU2 = std::sin(U2), cosU2 = std::cos(U2);
    double lambda = L, lambdaP = 0.0;
    double sinSigma = 0.0, cosSigma = 0.0, sigma = 0.0, cosSqAlpha = 0.0, cos2SigmaM = 0.0;
    for (int i = 0; i < 200; ++i) {
        const double sinLambda = std::sin(lambda), cosLambda = std::cos(lambda);
        sinSigma = std::sqrt((cosU2 * sinLambda) * (cosU2 * sinLambda) +
                             (cosU1 * sinU2 - sinU1 * cosU2 * cosLambda) *
                                 (cosU1 * sinU2 - sinU1 * cosU2 * cosLambda));
        if (sinSigma == 0.0)
            return 0.0; // the same point
        cosSigma = sinU1 * sinU2 + cosU1 * cosU2 * cosLambda;
        sigma = std::atan2(sinSigma, cosSigma);
        const double sinAlpha = cosU1 * cosU2 * sinLambda / sinSigma;
        cosSqAlpha = 1.0 - sinAlpha * sinAlpha;
        cos2SigmaM = cosSqAlpha != 0.0 ? cosSigma - 2.0 * sinU1 * sinU2 / cosSqAlpha : 0.0; // on the equator
        const double C = f / 16.0 * cosSqAlpha * (4.0 + f * (4.0 - 3.0 * cosSqAlpha));
        lambdaP = lambda;
        lambda = L + (1.0 - C) * f * sinAlpha *
                         (sigma + C * sinSigma *
                                      (cos2SigmaM + C * cosSigma * (-1.0 + 2.0 * cos2SigmaM * cos2SigmaM)));
        if (std::fabs(lambda - lambdaP) <= 1e-5)
            break;
        if (i == 199)
            return -1.0;
    }
    const double uSq = cosSqAlpha * (a * a - b * b) / (b * b);
    const double A = 1.0 + uSq / 16384.0 * (4096.0 + uSq * (-768.0 + uSq * (320.0 - 175.0 * uSq)));
    const double B = uSq / 1024.0 * (256.0 + uSq * (-128.0 + uSq * (74.0 - 47.0 * uSq)));
    const double deltaSigma = B * sinSigma *
                              (cos2SigmaM + B / 4.0 *
                                                (cosSigma * (-1.0 + 2.0 * cos2SigmaM * cos2SigmaM) -
                                                 B / 6.0 * cos2SigmaM * (-3.0 + 4.0 * sinSigma * sinSigma) *
                                                     (-3.0 + 4.0 * cos2SigmaM * cos2SigmaM)));
    return b * A * (sigma - deltaSigma) / 1000.0;
}

std::string GPSMatchSummary(std::size_t matched, std::size_t photos) {
    if (matched == 0)
        return kGPSNoMatchesText;
    char text[96];
    std::snprintf(text, sizeof text, "%zu of %zu photos matched.", matched, photos);
    return text;
}
