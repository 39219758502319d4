// Matching photos to a track log: 10,000 photos against a 100,000-point log (a point every 2 to 7
// seconds over about five days, a few gaps), with the gap matches on and off; reading that log (as GPX)
// through gpsbabel; and, for scale, exiftool -geotag placing 100 photos (copies written) on the same
// log against lumo's reading of the log plus the matching of the same 100 photos.

#include "BenchSupport.h"
#include "gps/GPSLog.h"
#include "gps/GPSMatch.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kPoints = 100000, kPhotos = 10000;
const std::int64_t kStart = GPSSecondsFromCivil(2024, 6, 1, 6, 0, 0);

struct Fixture {
    GPSLog log;
    std::vector<std::int64_t> photos; // camera times (UTC + 2 hours)
    std::string folder, gpx;

    Fixture() {
        std::mt19937 random(29);
        double lat = 45.0, lon = 7.0, alt = 300.0;
        std::int64_t t = kStart;
        for (int i = 0; i < kPoints; ++i) {
            t += 2 + random() % 6 + (i % 20000 == 19999 ? 1800 : 0); // now and then a half-hour gap
            lat += (static_cast<int>(random() % 201) - 100) * 1e-6;
            lon += (static_cast<int>(random() % 201) - 100) * 1e-6;
            alt += (static_cast<int>(random() % 21) - 10) * 0.1;
            GPSCoordinate p;
            p.time = t;
            p.latitude = lat;
            p.longitude = lon;
            p.altitude = alt;
            log.add(p);
        }
        const std::int64_t span = t - kStart;
        for (int i = 0; i < kPhotos; ++i)
            photos.push_back(kStart + 7200 +
                             static_cast<std::int64_t>(random() % static_cast<unsigned>(span)));

        folder = std::filesystem::temp_directory_path().string() + "/lumo-gps-bench-XXXXXX";
        if (!mkdtemp(folder.data()))
            std::abort();
        setenv("LUMO_CACHE_PATH", folder.c_str(), 1);
        gpx = folder + "/track.gpx";
        std::ofstream out(gpx);
        out << "<?xml version=\"1.0\"?>\n<gpx version=\"1.1\" creator=\"bench\" "
               "xmlns=\"http://www.topografix.com/GPX/1/1\"><trk><trkseg>\n";
        char line[200];
        for (const auto& [key, p] : log.points()) {
            std::snprintf(
                line, sizeof line,
                "<trkpt lat=\"%.7f\" lon=\"%.7f\"><ele>%.1f</ele><time>%.4s-%.2s-%.2sT%.2s:%.2s:%.2sZ</time>"
                "</trkpt>\n",
                p.latitude, p.longitude, p.altitude, key.c_str(), key.c_str() + 4, key.c_str() + 6,
                key.c_str() + 8, key.c_str() + 10, key.c_str() + 12);
            out << line;
        }
        out << "</trkseg></trk></gpx>\n";
    }
    ~Fixture() { std::filesystem::remove_all(folder); }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void BM_Match10000Photos(benchmark::State& state) {
    Fixture& f = fixture();
    GPSMatchSettings settings;
    settings.offset.hours = 2;
    settings.matchRangeMinutes = 1;
    settings.allowGapMatches = state.range(0) != 0;
    std::size_t matched = 0;
    for (auto _ : state) {
        matched = 0;
        for (const std::int64_t t : f.photos)
            matched += GPSMatchPhoto(f.log.points(), t, settings).matched;
        benchmark::DoNotOptimize(matched);
    }
    state.counters["matched"] = static_cast<double>(matched);
    state.counters["photos/s"] =
        benchmark::Counter(static_cast<double>(kPhotos), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_Match10000Photos)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_ReadGPXThroughGPSBabel(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) {
        GPSLog log;
        std::string error;
        if (const long n = log.LoadFile(f.gpx, error); n != kPoints) {
            state.SkipWithError(("gpsbabel: " + std::to_string(n) + " points " + error).c_str());
            return;
        }
    }
}
BENCHMARK(BM_ReadGPXThroughGPSBabel)->Unit(benchmark::kMillisecond)->Iterations(2);

// 100 photos: exiftool geotags copies of them; lumo reads the log and matches them (no writing).
void BM_Geotag100Photos(benchmark::State& state) {
    Fixture& f = fixture();
    const bool exiftool = state.range(0) != 0;
    const std::string photos = f.folder + "/photos", out = f.folder + "/out";
    std::filesystem::create_directories(photos);
    const std::string one = std::string(LUMO_CORPUS_DIR) + "/exiftool/Canon.jpg";
    if (exiftool && !std::filesystem::exists(one)) {
        state.SkipWithError("no corpus");
        return;
    }
    std::vector<std::int64_t> times(f.photos.begin(), f.photos.begin() + 100);
    if (exiftool) {
        for (std::size_t i = 0; i < times.size(); ++i) {
            const std::string key = GPSTimeKey(times[i]);
            const std::string date = key.substr(0, 4) + ":" + key.substr(4, 2) + ":" + key.substr(6, 2) +
                                     " " + key.substr(8, 2) + ":" + key.substr(10, 2) + ":" +
                                     key.substr(12, 2);
            const std::string file = photos + "/p" + std::to_string(i) + ".jpg";
            if (lumo::bench::timed("exiftool -q -o " + lumo::bench::shellQuoted(file) + " " +
                                   lumo::bench::shellQuoted("-DateTimeOriginal=" + date) + " " +
                                   lumo::bench::shellQuoted(one)) < 0) {
                state.SkipWithError("exiftool is not installed");
                return;
            }
        }
    }
    for (auto _ : state) {
        if (exiftool) {
            std::filesystem::remove_all(out);
            const double s = lumo::bench::timed("exiftool -q -o " + lumo::bench::shellQuoted(out + "/") +
                                                " -geotag " + lumo::bench::shellQuoted(f.gpx) +
                                                " '-geotime<${DateTimeOriginal}+02:00' " +
                                                lumo::bench::shellQuoted(photos));
            if (s < 0)
                state.SkipWithError("exiftool -geotag failed");
        } else {
            GPSLog log;
            std::string error;
            log.LoadFile(f.gpx, error);
            GPSMatchSettings settings;
            settings.offset.hours = 2;
            std::size_t matched = 0;
            for (const std::int64_t t : times)
                matched += GPSMatchPhoto(log.points(), t, settings).matched;
            benchmark::DoNotOptimize(matched);
        }
    }
}
BENCHMARK(BM_Geotag100Photos)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(1);

} // namespace

BENCHMARK_MAIN();
