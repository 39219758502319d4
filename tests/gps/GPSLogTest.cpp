#include "gps/GPSLog.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <regex>

using lumo::test::TempDir;

namespace {

// "$" + body + "*" + checksum
std::string sentence(const std::string& body) {
    unsigned sum = 0;
    for (const char c : body)
        sum ^= static_cast<unsigned char>(c);
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X", sum);
    return "$" + body + tail + "\r\n";
}

class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        if (const char* old = std::getenv(name))
            m_old = old;
        ::setenv(name, value, 1);
    }
    ~ScopedEnv() {
        if (m_old)
            ::setenv(m_name, m_old->c_str(), 1);
        else
            ::unsetenv(m_name);
    }

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

} // namespace

TEST(GPSLog, TimeKeysAndFormats) {
    EXPECT_EQ(GPSTimeKey(0), "19700101000000");
    EXPECT_EQ(GPSTimeKey(GPSSecondsFromCivil(2003, 5, 24, 17, 10, 5)), "20030524171005");
    EXPECT_EQ(GPSTimeKey(GPSSecondsFromCivil(2024, 2, 29, 23, 59, 59) + 1), "20240301000000");
    EXPECT_EQ(GPSTimeKey(-1), "19691231235959");

    const std::pair<const char*, const char*> cases[] = {
        {"$GPRMC,112723.000,A,5040.3182,N,00505.9469,E,28.66,138.74,240410,,,A*51\n", "nmea"},
        {"$PTNTHPR,254.7,N,-1.7,N,-12.1,N,A*6E\n$GPRMC,112723.000,A,5040.3182,N,...\n", "nmea"},
        {"  $GPGGA,1\n", "nmea"},
        {"Tag,$GPGGA,UTC(hhmmss.sss),Latitude,N/S,Longitude,E/W,...\n", "nmea,gisteq"},
        {"$PMGNTRK,4415.163,N,07631.126,W,00095,M,110833.53,A,,030409*68\n", "magellan"},
        {"<?xml version=\"1.0\"?>\n<kml xmlns=\"http://www.opengis.net/kml/2.2\">", "kml"},
        {"<?xml version=\"1.0\"?>\n<gpx version=\"1.1\">", "gpx"},
        {"", "gpx"},
        {"$GPx\n", "gpx"},
    };
    for (const auto& [text, format] : cases)
        EXPECT_EQ(GPSRecognizeLogFormat(text), format) << text;

    EXPECT_EQ(GPSBabelArguments("gpx", "/a b/t\"x.gpx"),
              (std::vector<std::string>{"-i", "gpx", "-f", "/a b/t\"x.gpx", "-o",
                                        "nmea,gprmc=1,gpgga=1,gpvtg=0,gpgsa=0,ignore_fix", "-F", "-"}));
    EXPECT_EQ(GPSBabelArguments("nmea", "-track.log")[3], "./-track.log");
}

TEST(GPSLog, ParsesRMCAndGGA) {
    GPSLog log;
    const std::string text =
        sentence("GPRMC,112723.000,A,5040.3182,N,00505.9469,E,28.66,138.74,240410,,,A") +
        sentence("GPGGA,112723.000,5040.3182,N,00505.9469,E,1,08,1.0,123.4,M,0.0,M,,") +
        // altitude before its RMC; south and west; a speed of 0.00 is no speed
        sentence("GPGGA,000001,3351.000,S,15112.600,W,1,08,1.0,-5.5,M,0.0,M,,") +
        sentence("GPRMC,000001,A,3351.000,S,15112.600,W,0.00,0.00,010199,,") +
        // minutes rounded up to 60 by the writer
        sentence("GPRMC,000002,A,4460.000,N,00659.9999,E,1.5,0.00,010199,,") +
        // skipped: bad checksum, minutes past 60, latitude past 90, no date, bad month, truncated
        "$GPRMC,120000,A,5040.0,N,00505.0,E,1,1,240410,,*00\r\n" +
        sentence("GPRMC,120001,A,5060.5,N,00505.0,E,1,1,240410,,") +
        sentence("GPRMC,120002,A,9100.0,N,00505.0,E,1,1,240410,,") +
        sentence("GPRMC,120003,A,5040.0,N,00505.0,E,1,1,,,") +
        sentence("GPRMC,120004,A,5040.0,N,00505.0,E,1,1,241310,,") + sentence("GPRMC,120005,A,5040.0") +
        "$GPRMC,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,\n" + "garbage\n$\n";
    EXPECT_EQ(log.ParseNMEA(text), 3u);
    ASSERT_EQ(log.points().size(), 3u);
    EXPECT_NEAR(log.points().at("19990101000002").latitude, 45.0, 1e-9);

    const GPSCoordinate& a = log.points().at("20100424112723");
    EXPECT_NEAR(a.latitude, 50 + 40.3182 / 60, 1e-9);
    EXPECT_NEAR(a.longitude, 5 + 5.9469 / 60, 1e-9);
    EXPECT_DOUBLE_EQ(a.speed, 28.66);
    EXPECT_DOUBLE_EQ(a.course, 138.74);
    EXPECT_DOUBLE_EQ(a.altitude, 123.4);
    EXPECT_EQ(a.time, GPSSecondsFromCivil(2010, 4, 24, 11, 27, 23));

    const GPSCoordinate& b = log.points().at("19990101000001");
    EXPECT_NEAR(b.latitude, -(33 + 51.0 / 60), 1e-9);
    EXPECT_NEAR(b.longitude, -(151 + 12.6 / 60), 1e-9);
    EXPECT_DOUBLE_EQ(b.speed, -1.0);
    EXPECT_DOUBLE_EQ(b.altitude, -5.5);
}

// The corpus's logs through the real converter, checked against the points the files hold.
TEST(GPSLog, CorpusLogsThroughGPSBabel) {
    const std::string corpus = lumo::test::corpusFolderOrFail();
    if (corpus.empty())
        LUMO_SKIP_OR_FAIL("no corpus");
    if (GPSBabelPath().empty())
        LUMO_SKIP_OR_FAIL("gpsbabel is not installed");
    const std::string folder = corpus + "/exiftool/";

    struct Case {
        const char* file;
        std::size_t points;
        const char* key;
        double latitude, longitude, altitude;
    };
    const Case cases[] = {
        {"Geotag.gpx", 9, "20030524171005", 43.641000, -116.062231, 1472.396},
        {"Geotag.log", 0, "20090403110833", 44 + 15.163 / 60, -(76 + 31.126 / 60), 95.0},
        {"Geotag2.log", 0, "20100424112723", 50 + 40.3182 / 60, 5 + 5.9469 / 60, 0.0},
        {"Geotag.kml", 0, nullptr, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        GPSLog log;
        std::string error;
        const long added = log.LoadFile(folder + c.file, error);
        ASSERT_GT(added, 0) << error;
        EXPECT_EQ(static_cast<std::size_t>(added), log.points().size());
        if (c.points)
            EXPECT_EQ(log.points().size(), c.points);
        if (!c.key)
            continue;
        ASSERT_TRUE(log.points().count(c.key));
        const GPSCoordinate& p = log.points().at(c.key);
        // the converter writes minutes with three decimals: 1/1000 minute is under 2 metres
        EXPECT_NEAR(p.latitude, c.latitude, 2e-5);
        EXPECT_NEAR(p.longitude, c.longitude, 2e-5);
        EXPECT_NEAR(p.altitude, c.altitude, 0.01);
    }
}

TEST(GPSLog, FailuresSaidPlainly) {
    TempDir dir;
    const std::string junk = dir.file("junk.gpx");
    lumo::test::writeWholeFile(junk, "this is not a track log\n");
    std::string error;
    GPSLog log;
    if (!GPSBabelPath().empty()) {
        EXPECT_EQ(log.LoadFile(junk, error), -1);
        EXPECT_EQ(error.substr(0, error.find('\n')), kGPSLogParseErrorText);
    }
    EXPECT_EQ(log.LoadFile(dir.file("missing.gpx"), error), -1);
    EXPECT_NE(error.find("missing.gpx"), std::string::npos) << error;
    // A pipe with no writer, and a folder, are refused at once (reading a pipe would wait forever).
    ASSERT_EQ(::mkfifo(dir.file("pipe.gpx").c_str(), 0600), 0);
    EXPECT_EQ(log.LoadFile(dir.file("pipe.gpx"), error), -1);
    EXPECT_EQ(error, "The GPS log " + dir.file("pipe.gpx") + " is not a file.");
    EXPECT_EQ(log.LoadFile(dir.path(), error), -1);

    // A converter that hangs, or that writes without end, is stopped.
    const std::string slow = dir.file("slow.sh"), endless = dir.file("endless.sh");
    lumo::test::writeWholeFile(slow, "#!/bin/sh\nexec sleep 30\n");
    lumo::test::writeWholeFile(
        endless, "#!/bin/sh\nexec yes '$GPRMC,112723.000,A,5040.318,N,00505.947,E,1,1,240410,,*0D'\n");
    ::chmod(slow.c_str(), 0755);
    ::chmod(endless.c_str(), 0755);
    for (const auto& [script, words] : {std::pair{slow, "did not finish"}, std::pair{endless, "too large"}}) {
        const ScopedEnv fake("LUMO_GPSBABEL", script.c_str());
        GPSLog limited;
        limited.setLimits(1, 1 << 20);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(limited.LoadFile(junk, error), -1);
        EXPECT_NE(error.find(words), std::string::npos) << error;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
        EXPECT_TRUE(limited.empty());
    }

    const ScopedEnv none("LUMO_GPSBABEL", "/nonexistent/gpsbabel");
    EXPECT_EQ(GPSBabelPath(), "");
    EXPECT_EQ(log.LoadFile(junk, error), -1);
    EXPECT_EQ(error, GPSBabelMissingText());
    EXPECT_NE(error.find("\"gpsbabel\""), std::string::npos);
    EXPECT_TRUE(log.empty());
}

TEST(GPSLog, LumoGpsLogPrintsThePoints) {
    const std::string corpus = lumo::test::corpusFolderOrFail();
    if (corpus.empty() || GPSBabelPath().empty())
        LUMO_SKIP_OR_FAIL("no corpus or no gpsbabel");
    TempDir dir;
    const auto run =
        lumo::test::runProcess(LUMO_BINARY, {"--settings", dir.file("s"), "--cache", dir.file("c"), "gps",
                                             "log", corpus + "/exiftool/Geotag.gpx", "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto points = nlohmann::json::parse(run.out);
    ASSERT_EQ(points.size(), 9u);
    EXPECT_EQ(points[0]["key"], "20030524170904"); // in time order
    EXPECT_EQ(points[8]["time"], "2003-05-24 17:10:05 UTC");
    EXPECT_NEAR(points[8]["latitude"].get<double>(), 43.641, 2e-5);
    EXPECT_TRUE(points[8]["speed"].is_null());

    const std::string junk = dir.file("junk.gpx");
    lumo::test::writeWholeFile(junk, "no track here\n");
    const auto bad = lumo::test::runProcess(
        LUMO_BINARY, {"--settings", dir.file("s"), "--cache", dir.file("c"), "gps", "log", junk});
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_NE(bad.err.find(kGPSLogParseErrorText), std::string::npos) << bad.err;
}
