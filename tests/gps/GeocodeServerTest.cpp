// The online reverse-geocoding source against a real HTTP server on 127.0.0.1, and its answers' mapping.

#include "gps/GeocodeServer.h"
#include "support/ServerProcess.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(GeocodeServer, MapsAnAnswersAddressToTheFiveNames) {
    struct Case {
        const char* json;
        bool ok;
        GeoPlace place;
    };
    const Case cases[] = {
        {R"({"address":{"suburb":"Gros-Caillou","city_district":"7e","city":"Paris","state":"Île-de-France",)"
         R"("country":"France","country_code":"fr"}})",
         true,
         {"Gros-Caillou", "Paris", "Île-de-France", "France", "FR"}},
        {R"({"address":{"hamlet":"H","village":"V","province":"P","state_district":"D","country_code":"nz"}})",
         true,
         {"", "V", "P", "", "NZ"}},
        {R"({"address":{"city":"","town":"T","city_district":"C","region":"R","country":7}})",
         true,
         {"C", "T", "R", "", ""}},
        {R"({"error":"Unable to geocode"})", true, {}},
        {R"({"address":"Paris"})", false, {}},
        {R"([1,2])", false, {}},
        {"<html>", false, {}},
        {"", false, {}},
    };
    for (const auto& c : cases) {
        GeoPlace place{"stale", "stale", "", "", ""};
        std::string error;
        EXPECT_EQ(ParseReverseGeocodeAnswer(c.json, place, error), c.ok) << c.json;
        EXPECT_EQ(place, c.place) << c.json;
        EXPECT_EQ(error.empty(), c.ok) << c.json;
    }
    EXPECT_EQ(GeocodeContext(""), "offline");
    EXPECT_EQ(GeocodeContext("https://geo.example/nominatim"), "https://geo.example/nominatim");
}

TEST(GeocodeServer, AsksAnOnlineServiceAndSaysWhyWhenItFails) {
    std::string error;
    for (const char* bad : {"ftp://127.0.0.1/", "file:///etc/passwd", "geo.example", "gopher://x"}) {
        GeocodeServerOptions o;
        o.server = bad;
        EXPECT_EQ(GeocodeServer::make(o, &error), nullptr) << bad;
        EXPECT_NE(error.find("not an http or https URL"), std::string::npos) << error;
    }

    lumo::test::ServerProcess server;
    ASSERT_TRUE(server.start("/usr/bin/python3", {LUMO_TEST_SERVERS_DIR "/geocode_server.py"}))
        << server.error();
    const std::string base = "http://127.0.0.1:" + std::to_string(server.port());
    for (const std::string& url : {base, base + "/", base + "/reverse?accept-language=en"}) {
        GeocodeServerOptions o;
        o.server = url;
        o.interval = 0ms;
        o.timeout = 1500ms;
        auto source = GeocodeServer::make(o, &error);
        ASSERT_NE(source, nullptr) << error;
        EXPECT_EQ(source->context(), url);
        GeoPlace place;
        ASSERT_TRUE(source->lookup(48.8584, 2.2945, place, error)) << error;
        EXPECT_EQ(place, (GeoPlace{"Gros-Caillou", "Paris", "Île-de-France", "France", "FR"}));
    }
    EXPECT_NE(
        server.errors().find("GET /reverse?accept-language=en&format=jsonv2&lat=48.858400&lon=2.294500"),
        std::string::npos)
        << server.errors();
    EXPECT_NE(server.errors().find("UA=Lumograph/"), std::string::npos);

    GeocodeServerOptions o;
    o.server = base;
    o.interval = 300ms;
    o.timeout = 1500ms;
    auto source = GeocodeServer::make(o, &error);
    ASSERT_NE(source, nullptr) << error;
    struct Case {
        double latitude;
        bool ok;
        const char* says;
    };
    const Case cases[] = {
        {0.0, true, ""}, // nothing there
        {1.0, false, "HTTP status 500"},
        {2.0, false, "cannot reach"}, // slower than the time-out
        {3.0, false, "not a JSON object"},
        {4.0, false, "larger than"},
        {95.0, false, "not a position"},
    };
    for (const auto& c : cases) {
        GeoPlace place{"stale", "", "", "", ""};
        error.clear();
        const auto start = Clock::now();
        EXPECT_EQ(source->lookup(c.latitude, 0.5, place, error), c.ok) << c.latitude;
        EXPECT_NE(error.find(c.says), std::string::npos) << c.latitude << ": " << error;
        if (c.ok)
            EXPECT_TRUE(place.empty());
        EXPECT_LT(Clock::now() - start, 4s) << c.latitude;
    }
    // Requests keep their interval.
    GeoPlace place;
    const auto start = Clock::now();
    ASSERT_TRUE(source->lookup(10, 10, place, error)) << error;
    ASSERT_TRUE(source->lookup(10, 10, place, error)) << error;
    EXPECT_GE(Clock::now() - start, 300ms);
    EXPECT_EQ(place, (GeoPlace{"", "Testville", "Test Province", "Testland", "TL"}));

    // A cancelled source gives up at once, even while waiting for its turn.
    std::atomic<bool> cancel{true};
    o.cancel = &cancel;
    o.interval = 10s;
    source = GeocodeServer::make(o, &error);
    ASSERT_NE(source, nullptr);
    EXPECT_FALSE(source->lookup(10, 10, place, error));
}
