// The cost of what every subsystem does all the time: logging a line (written through at once, and
// collected under a large flush threshold), asking a debug flag, and digesting a path.

#include "app/DebugFlags.h"
#include "app/LumoLogger.h"
#include "support/PathDigest.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

std::string benchFolder() {
    static const std::string folder = [] {
        std::string base = "/tmp/lumo-bench-XXXXXX";
        if (!mkdtemp(base.data()))
            std::abort();
        return base;
    }();
    return folder;
}

void BM_LogWriteThrough(benchmark::State& state) {
    LumoLogger logger("bench.log", [] { return benchFolder(); });
    for (auto _ : state)
        logger.logAtPosition(__FILE__, __LINE__, "CopyFile: copied /media/card/DCIM/100CANON/IMG_0001.CR2");
    std::filesystem::remove(benchFolder() + "/bench.log");
}
BENCHMARK(BM_LogWriteThrough);

void BM_LogCollected(benchmark::State& state) {
    LumoLogger logger("bench.log", [] { return benchFolder(); });
    logger.setFlushThreshold(0x100000);
    for (auto _ : state)
        logger.logAtPosition(__FILE__, __LINE__, "CopyFile: copied /media/card/DCIM/100CANON/IMG_0001.CR2");
    logger.setFlushThreshold(0);
    std::filesystem::remove(benchFolder() + "/bench.log");
}
BENCHMARK(BM_LogCollected);

void BM_DebugFlagQuery(benchmark::State& state) {
    DebugFlags flags([] { return benchFolder() + "/LumoDebug.txt"; });
    for (auto _ : state)
        benchmark::DoNotOptimize(flags.isOn(DebugFlag::SORT_CACHE_LOGGING));
}
BENCHMARK(BM_DebugFlagQuery);

void BM_PathDigest(benchmark::State& state) {
    const std::string path = "/home/photographer/Pictures/2026/12-06 Match/IMG_0001.CR2";
    for (auto _ : state)
        benchmark::DoNotOptimize(lumo::pathDigest(path));
}
BENCHMARK(BM_PathDigest);

} // namespace

BENCHMARK_MAIN();
