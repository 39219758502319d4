// Sort cache throughput: stores (posted without waiting, then one fetch to wait for the worker) and
// fetches (each a round trip to the worker thread). The cache lives in a fresh temporary folder.

#include "db/LumoSortCache.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr int kBurst = 10000;

struct BenchCache {
    BenchCache() {
        std::string base = std::filesystem::temp_directory_path().string() + "/lumo-sortcache-bench-XXXXXX";
        if (!mkdtemp(base.data()))
            std::abort();
        folder = base;
        setenv("LUMO_CACHE_PATH", folder.c_str(), 1); // the log stays out of the user's cache folder
        LumoSortCache::InitSortCache(folder);
    }
    ~BenchCache() {
        LumoSortCache::TerminateSortCache();
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }
    std::string folder;
};

std::vector<std::string> photoPaths(int count) {
    std::vector<std::string> paths;
    paths.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        paths.push_back("/home/photographer/Pictures/2024-06-01 Match/DSC_" + std::to_string(10000 + i) +
                        ".NEF");
    return paths;
}

LumoSortCacheInfo sampleInfo(int i) {
    LumoSortCacheInfo info;
    info.ColorClass = i % 9;
    info.Rating = i % 6;
    info.Tag = i % 2;
    info.CaptureTime = "2024:06:01 14:22:07.120";
    info.ModificationTime = 1717251727ull + static_cast<std::uint64_t>(i);
    info.FileSize = 24117248ull + static_cast<std::uint64_t>(i);
    return info;
}

void BM_SortCacheStoreBurst(benchmark::State& state) {
    BenchCache cache;
    const std::vector<std::string> paths = photoPaths(kBurst);
    for (auto _ : state) {
        for (int i = 0; i < kBurst; ++i)
            LumoSortCache::setSortInfoFor(paths[static_cast<std::size_t>(i)], sampleInfo(i));
        LumoSortCacheInfo info;
        benchmark::DoNotOptimize(LumoSortCache::GetSortInfoFor(paths.back(), info)); // waits for the burst
    }
    state.SetItemsProcessed(state.iterations() * kBurst);
}
BENCHMARK(BM_SortCacheStoreBurst)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SortCacheFetch(benchmark::State& state) {
    BenchCache cache;
    const std::vector<std::string> paths = photoPaths(kBurst);
    for (int i = 0; i < kBurst; ++i)
        LumoSortCache::setSortInfoFor(paths[static_cast<std::size_t>(i)], sampleInfo(i));
    std::size_t next = 0;
    for (auto _ : state) {
        LumoSortCacheInfo info;
        if (!LumoSortCache::GetSortInfoFor(paths[next], info))
            state.SkipWithError("stored row not found");
        next = (next + 1) % paths.size();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SortCacheFetch)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
