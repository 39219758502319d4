#include "gps/GPSMatch.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

const std::int64_t kNoon = GPSSecondsFromCivil(2024, 6, 1, 12, 0, 0);

GPSCoordinate point(std::int64_t time, double latitude, double longitude, double altitude = 0.0,
                    double speed = -1.0, double course = 0.0) {
    GPSCoordinate p;
    p.time = time;
    p.latitude = latitude;
    p.longitude = longitude;
    p.altitude = altitude;
    p.speed = speed;
    p.course = course;
    return p;
}

GPSLogMap logOf(std::initializer_list<GPSCoordinate> points) {
    GPSLog log;
    for (const auto& p : points)
        log.add(p);
    return log.points();
}

GPSMatchSettings settings(int rangeMinutes, bool gaps = false) {
    GPSMatchSettings s;
    s.matchRangeMinutes = rangeMinutes;
    s.allowGapMatches = gaps;
    return s;
}

} // namespace

TEST(GPSMatch, RangesGapsAndTies) {
    const GPSLogMap log = logOf({point(kNoon, 10.0, 20.0, 100.0), point(kNoon + 600, 11.0, 22.0, 200.0)});

    // before the first point: within the range, and not
    GPSMatch m = GPSMatchPhoto(log, kNoon - 30, settings(1));
    EXPECT_TRUE(m.matched);
    EXPECT_FALSE(m.interpolated);
    EXPECT_EQ(m.winnerKey, "20240601120000");
    EXPECT_DOUBLE_EQ(m.latitude, 10.0);
    EXPECT_FALSE(GPSMatchPhoto(log, kNoon - 90, settings(1)).matched);
    // after the last point: the last point with range R only
    EXPECT_TRUE(GPSMatchPhoto(log, kNoon + 660, settings(1, true)).matched);
    EXPECT_FALSE(GPSMatchPhoto(log, kNoon + 661, settings(1, true)).matched);

    // halfway through a 10-minute gap
    m = GPSMatchPhoto(log, kNoon + 300, settings(1, true));
    ASSERT_TRUE(m.matched);
    EXPECT_TRUE(m.interpolated);
    EXPECT_EQ(m.winnerKey, "20240601121000"); // the after point wins the tie
    EXPECT_DOUBLE_EQ(m.latitude, 10.5);
    EXPECT_DOUBLE_EQ(m.longitude, 21.0);
    EXPECT_DOUBLE_EQ(m.altitude, 150.0);
    EXPECT_FALSE(GPSMatchPhoto(log, kNoon + 300, settings(1, false)).matched);
    EXPECT_FALSE(GPSMatchPhoto(log, kNoon + 300, settings(4, false)).matched);

    // within range of both neighbours: the closer wins, the position is interpolated toward the other
    const GPSLogMap dense = logOf({point(kNoon, 0.0, 0.0), point(kNoon + 60, 0.0, 0.6),
                                   point(kNoon + 120, 0.0, 1.2), point(kNoon + 180, 0.0, 1.8)});
    m = GPSMatchPhoto(dense, kNoon + 70, settings(1));
    EXPECT_EQ(m.winnerKey, "20240601120100");
    EXPECT_NEAR(m.longitude, 0.7, 1e-12);
    m = GPSMatchPhoto(dense, kNoon + 110, settings(1));
    EXPECT_EQ(m.winnerKey, "20240601120200");
    EXPECT_NEAR(m.longitude, 1.1, 1e-12);
    m = GPSMatchPhoto(dense, kNoon + 120, settings(1));
    EXPECT_FALSE(m.interpolated && std::fabs(m.longitude - 1.2) > 1e-12);
    EXPECT_DOUBLE_EQ(m.longitude, 1.2);

    EXPECT_FALSE(GPSMatchPhoto(GPSLogMap{}, kNoon, settings(1)).matched);
}

TEST(GPSMatch, InterpolationAcrossTheAntimeridianAndSpeed) {
    // speeds missing: the distance over the time, in knots
    GPSLogMap log =
        logOf({point(kNoon, -10.0, 179.9, 0, -1.0, 350.0), point(kNoon + 60, -10.0, -179.9, 0, -1.0, 10.0)});
    GPSMatch m = GPSMatchPhoto(log, kNoon + 30, settings(1));
    ASSERT_TRUE(m.interpolated);
    EXPECT_NEAR(std::fabs(m.longitude), 180.0, 1e-9);
    EXPECT_NEAR(m.latitude, -10.0, 1e-12);
    const double km = GPSVincentyDistanceKm(-10.0, 179.9, -10.0, -179.9);
    EXPECT_NEAR(km, 21.93, 0.05); // 0.2 degrees of longitude at 10 degrees south
    EXPECT_NEAR(m.speed, km * 0.539956803 * 60.0, 1e-9);
    EXPECT_DOUBLE_EQ(m.course, 180.0); // courses are interpolated linearly

    // both speeds given: linear
    log = logOf({point(kNoon, 0, 0, 0, 10.0), point(kNoon + 100, 0, 0.01, 0, 20.0)});
    EXPECT_DOUBLE_EQ(GPSMatchPhoto(log, kNoon + 25, settings(5)).speed, 12.5);

    // Vincenty against known distances (the same point, a degree along the equator, Paris-London)
    EXPECT_DOUBLE_EQ(GPSVincentyDistanceKm(48.0, 2.0, 48.0, 2.0), 0.0);
    EXPECT_NEAR(GPSVincentyDistanceKm(0, 0, 0, 1), 111.319491, 2e-3); // converged to 1e-5 radians
    EXPECT_NEAR(GPSVincentyDistanceKm(48.8566, 2.3522, 51.5074, -0.1278), 343.9, 0.5);
}

TEST(GPSMatch, CameraOffsetAndOwnPosition) {
    const GPSLogMap log = logOf({point(kNoon, 45.0, 7.0, 250.0), point(kNoon + 3600, 46.0, 8.0, 300.0)});
    GPSMatchSettings s = settings(1);
    ASSERT_TRUE(GPSOffset::parse("+2h", s.offset));
    const std::int64_t stamped = GPSSecondsFromCivil(2024, 6, 1, 14, 0, 0);
    GPSMatch m = GPSMatchPhoto(log, stamped, s);
    ASSERT_TRUE(m.matched);
    EXPECT_EQ(m.winnerKey, "20240601120000");
    EXPECT_EQ(m.photoTime, kNoon);
    EXPECT_DOUBLE_EQ(m.latitude, 45.0);
    EXPECT_FALSE(GPSMatchPhoto(log, stamped, settings(1)).matched);

    // "overwrite existing" off keeps the photo's own position; on replaces it
    GPSOwnPosition own;
    own.latitude = -33.0, own.longitude = 151.0, own.altitude = 5.0;
    m = GPSMatchPhoto(log, stamped, s, own);
    EXPECT_TRUE(m.matched && m.keptOwn);
    EXPECT_DOUBLE_EQ(m.latitude, -33.0);
    EXPECT_DOUBLE_EQ(m.altitude, 5.0);
    s.overwriteExisting = true;
    m = GPSMatchPhoto(log, stamped, s, own);
    EXPECT_FALSE(m.keptOwn);
    EXPECT_DOUBLE_EQ(m.latitude, 45.0);

    EXPECT_EQ(GPSMatchSummary(0, 3), kGPSNoMatchesText);
    EXPECT_EQ(GPSMatchSummary(2, 3), "2 of 3 photos matched.");
}

TEST(GPSMatch, OffsetArrowsAndText) {
    GPSOffset o;
    o.stepSeconds(-1);
    EXPECT_EQ(o, (GPSOffset{0, 0, 0, -1}));
    o = GPSOffset{0, 0, 59, 59};
    o.stepSeconds(1);
    EXPECT_EQ(o, (GPSOffset{0, 1, 0, 0}));
    o = GPSOffset{0, -1, -59, -59};
    o.stepSeconds(-1);
    EXPECT_EQ(o, (GPSOffset{0, -2, 0, 0}));
    o = GPSOffset{0, 23, 59, 0};
    o.stepMinutes(1);
    EXPECT_EQ(o.hours, 23);
    o.stepHours(5);
    EXPECT_EQ(o.hours, 23);
    o = GPSOffset{};
    o.stepHours(-30);
    EXPECT_EQ(o.hours, -23);

    const std::pair<const char*, std::int64_t> good[] = {{"+2h", 7200},    {"-1h30m", -5400},
                                                         {"90s", 90},      {"1d2h3m4s", 93784},
                                                         {"-0:30", -1800}, {"5:00:30", 18030}};
    for (const auto& [text, seconds] : good) {
        GPSOffset parsed;
        ASSERT_TRUE(GPSOffset::parse(text, parsed)) << text;
        EXPECT_EQ(parsed.totalSeconds(), seconds) << text;
    }
    for (const char* bad : {"", "+", "2x", "2h1d", "1h1h", "h", "1:", "1:60", "99999999h"}) {
        GPSOffset parsed;
        EXPECT_FALSE(GPSOffset::parse(bad, parsed)) << bad;
    }
}
