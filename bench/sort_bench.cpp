// A contact sheet sort of 2,000 photos by capture time with a warm sort cache, end to end: the gather
// step (one sort-cache fetch and the file status per item, nothing read from the files), the filter and
// the Shell sort. The photos are small files in a fresh temporary folder; their rows are stored first.

#include "contactsheet/ContactSheetSortManager.h"
#include "db/LumoSortCache.h"

#include <benchmark/benchmark.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int kPhotos = 2000;

struct Folder {
    Folder() {
        std::string base = std::filesystem::temp_directory_path().string() + "/lumo-sort-bench-XXXXXX";
        if (!mkdtemp(base.data()))
            std::abort();
        path = base;
        setenv("LUMO_CACHE_PATH", path.c_str(), 1); // the log stays out of the user's cache folder
        LumoSortCache::InitSortCache(path);
        for (int i = 0; i < kPhotos; ++i) {
            const std::string file = path + "/DSC_" + std::to_string(10000 + i) + ".JPG";
            std::ofstream(file) << "photo " << i;
            struct stat st {};
            if (::stat(file.c_str(), &st) != 0)
                std::abort();
            LumoSortCacheInfo row;
            row.Rating = i % 6;
            row.CaptureTime = "2024:06:01 14:" + std::to_string(10 + (i * 37) % 50) + ":" +
                              std::to_string(10 + (i * 7) % 50) + ".120";
            row.ModificationTime = static_cast<std::uint64_t>(st.st_mtim.tv_sec) * 1000000000ull +
                                   static_cast<std::uint64_t>(st.st_mtim.tv_nsec);
            row.FileSize = static_cast<std::uint64_t>(st.st_size);
            LumoSortCache::setSortInfoFor(file, row);
            files.push_back(file);
        }
        LumoSortCacheInfo row;
        LumoSortCache::GetSortInfoFor(files.front(), row); // waits for the stores
    }
    ~Folder() {
        LumoSortCache::TerminateSortCache();
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string path;
    std::vector<std::string> files;
};

void BM_SortWarmCache(benchmark::State& state) {
    Folder folder;
    for (auto _ : state) {
        ContactSheetSortWork work;
        for (const std::string& file : folder.files)
            work.items.push_back(DocumentItem::ForFile(file, 0, false)); // as a scan leaves them
        const auto result = RunContactSheetSort(work, {});
        if (!result || result->order.size() != folder.files.size())
            state.SkipWithError("sort failed");
        benchmark::DoNotOptimize(result);
    }
    state.SetItemsProcessed(state.iterations() * kPhotos);
}
BENCHMARK(BM_SortWarmCache)->Unit(benchmark::kMillisecond)->UseRealTime();

// The parts of the gather step on their own: the sort-cache fetches, and the file status with the
// sidecar lookup.
void BM_GatherFetches(benchmark::State& state) {
    Folder folder;
    for (auto _ : state)
        for (const std::string& file : folder.files) {
            LumoSortCacheInfo row;
            benchmark::DoNotOptimize(LumoSortCache::GetSortInfoFor(file, row));
        }
    state.SetItemsProcessed(state.iterations() * kPhotos);
}
BENCHMARK(BM_GatherFetches)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_GatherFileStatus(benchmark::State& state) {
    Folder folder;
    for (auto _ : state)
        for (const std::string& file : folder.files) {
            struct stat st {};
            benchmark::DoNotOptimize(::stat(file.c_str(), &st));
            benchmark::DoNotOptimize(NRFLocalImageInfoRec::FindXmpSidecar(file));
        }
    state.SetItemsProcessed(state.iterations() * kPhotos);
}
BENCHMARK(BM_GatherFileStatus)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
