#pragma once

// Track logs from a separate GPS logger. Any format the converter (gpsbabel) reads is turned into NMEA
// sentences on its standard output; the $GPRMC and $GPGGA sentences of that text become the points of
// one time-keyed map. All loaded logs go into the one map.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// One point of a log.
struct GPSCoordinate {
    double latitude = 0.0, longitude = 0.0; // decimal degrees, south and west negative
    double altitude = 0.0;                  // metres
    double speed = -1.0;                    // knots; -1.0 when the log gave none
    double course = 0.0;                    // degrees
    std::int64_t time = 0;                  // UTC, seconds since 1970

    bool operator==(const GPSCoordinate&) const = default;
};

// Time key -> point; the key's text order is time order.
using GPSLogMap = std::map<std::string, GPSCoordinate>;

inline constexpr char kGPSLogParseErrorText[] = "Log status: parse error.";

// The key of a UTC time: "%04d%02d%02d%02d%02d%02d" (year, month, day, hour, minute, second).
std::string GPSTimeKey(std::int64_t utcSeconds);

// Seconds since 1970 of a calendar date and time taken as UTC (proleptic Gregorian calendar).
std::int64_t GPSSecondsFromCivil(int year, int month, int day, int hour, int minute, int second);

// The converter's input format for a log whose text begins with `firstText`: "nmea,gisteq" (the GiSTEQ
// header line), "nmea" (a line of the first text starting with a standard "$GP" sentence), "magellan"
// (Magellan's "$PMGN" sentences), "kml" (a "<kml" element), "gtrnctr" (a Garmin training centre file),
// "gpx" otherwise.
std::string GPSRecognizeLogFormat(std::string_view firstText);

// The converter's arguments after the program name for a log at `path` in `format`.
std::vector<std::string> GPSBabelArguments(const std::string& format, const std::string& path);

// The converter: $LUMO_GPSBABEL when set, else "gpsbabel" found on PATH; empty when there is none.
std::string GPSBabelPath();

// What the user reads when the converter is missing.
std::string GPSBabelMissingText();

class GPSLog {
public:
    // Limits on one conversion: the bytes read from the converter and the seconds it may run (a
    // converter past either is stopped and the log refused).
    static constexpr std::size_t kMaxOutputBytes = 256u * 1024u * 1024u;
    static constexpr int kTimeLimitSeconds = 120;
    void setLimits(int seconds, std::size_t outputBytes) { m_timeLimit = seconds, m_maxOutput = outputBytes; }

    // Converts the log at `path` through the converter and adds its points. The number of points
    // added; on failure -1 with `error` set (the converter missing or failing, a time-out, or
    // kGPSLogParseErrorText when nothing could be parsed).
    long LoadFile(const std::string& path, std::string& error);

    // Adds the points of NMEA text ($GPRMC gives time, date, position, speed and course; a $GPGGA of
    // the same time adds the altitude). Malformed sentences are skipped. The number of points added.
    std::size_t ParseNMEA(std::string_view text);

    const GPSLogMap& points() const { return m_points; }
    bool empty() const { return m_points.empty(); }
    void clear() { m_points.clear(); }
    // Adds one point under its time key (tests, other readers).
    void add(const GPSCoordinate& point);

private:
    GPSLogMap m_points;
    int m_timeLimit = kTimeLimitSeconds;
    std::size_t m_maxOutput = kMaxOutputBytes;
};
