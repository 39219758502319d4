// Work on 50 raws (copies of the corpus's NEF) as lumo rotate does it (the record read with its attached
// files, then the rotation written into the file and its prefs sidecar), in a folder of 100 entries and in
// one of 8,000. Each iteration is one run: it starts with no folder known, as a new process does. The time
// per photo should not grow with the folder; "listings" counts the readings of the folder per run.

#include "NRF/NRF.h"
#include "NRF/NRFImageInfo.h"
#include "support/FolderListing.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kPhotos = 50;

// The corpus's Nikon raw: a TIFF-structured raw with EXIF Orientation values to rewrite.
std::string cameraRaw() {
    std::ifstream in(LUMO_CORPUS_DIR "/exiftool/Nikon.nef", std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.empty())
        std::abort();
    return bytes;
}

struct BenchFolder {
    explicit BenchFolder(int entries) {
        std::string base = std::filesystem::temp_directory_path().string() + "/lumo-folder-bench-XXXXXX";
        if (!mkdtemp(base.data()))
            std::abort();
        folder = base;
        const std::string raw = cameraRaw();
        for (int i = 0; i < kPhotos; ++i) {
            photos.push_back(folder + "/DSC_" + std::to_string(1000 + i) + ".NEF");
            std::ofstream(photos.back(), std::ios::binary) << raw;
        }
        for (int i = kPhotos; i < entries; ++i)
            std::ofstream(folder + "/other_" + std::to_string(i) + ".dat");
    }
    ~BenchFolder() {
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }
    std::string folder;
    std::vector<std::string> photos;
};

BenchFolder& benchFolder(int entries) {
    static std::map<int, std::unique_ptr<BenchFolder>> folders;
    auto& folder = folders[entries];
    if (!folder)
        folder = std::make_unique<BenchFolder>(entries);
    return *folder;
}

// One run over the photos: each record read; with `rotate`, each turned a quarter and written.
void run(benchmark::State& state, bool rotate) {
    const BenchFolder& folder = benchFolder(static_cast<int>(state.range(0)));
    int code = 0;
    std::uint64_t listings = 0;
    for (auto _ : state) {
        lumo::FolderListing::forgetAll();
        const std::uint64_t before = lumo::FolderListing::readCount();
        code = (code + 1) & 3;
        for (const std::string& path : folder.photos) {
            NRFImageInfoRef record;
            if (NRFOpenImage(path.c_str(), 0, &record) != kNRFErrNone ||
                NRFGetImageInfo(record.get()) != kNRFErrNone ||
                (rotate && NRFSetRotationAndSaveImagePrefs(record.get(), code) != kNRFErrNone)) {
                state.SkipWithError(NRFGetErrorText().c_str());
                return;
            }
            NRFCloseImage(&record);
        }
        listings += lumo::FolderListing::readCount() - before;
    }
    state.SetItemsProcessed(state.iterations() * kPhotos);
    state.counters["listings"] =
        benchmark::Counter(static_cast<double>(listings), benchmark::Counter::kAvgIterations);
}

void BM_ReadRecords(benchmark::State& state) {
    run(state, false);
}
BENCHMARK(BM_ReadRecords)->Arg(100)->Arg(8000)->Unit(benchmark::kMillisecond);

void BM_Rotate(benchmark::State& state) {
    run(state, true);
}
BENCHMARK(BM_Rotate)->Arg(100)->Arg(8000)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    // The log stays out of the user's cache folder.
    const std::string home = std::filesystem::temp_directory_path().string() + "/lumo-folder-bench-home";
    setenv("LUMO_CACHE_PATH", home.c_str(), 1);
    setenv("LUMO_SETTINGS_PATH", home.c_str(), 1);
    if (NRFInit(std::string()) != kNRFErrNone)
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    NRFTerminate();
    benchmark::Shutdown();
    return 0;
}
