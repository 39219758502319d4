// Type detection and file status over a folder of 10,000 small files under the table's extensions
// (".tif" files go through the content checks of the TIFF-structured raws), then one pass of
// `exiftool -fast2 -FileType` over the same folder for comparison.

#include "NRF/NRF.h"
#include "NRF/NRFImageInfo.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int kFiles = 10000;

struct BenchFolder {
    BenchFolder() {
        std::string base = std::filesystem::temp_directory_path().string() + "/lumo-nrf-bench-XXXXXX";
        if (!mkdtemp(base.data()))
            std::abort();
        folder = base;
        setenv("LUMO_CACHE_PATH", folder.c_str(), 1); // the log stays out of the user's cache folder
        setenv("LUMO_SETTINGS_PATH", folder.c_str(), 1);
        const std::pair<const char*, std::string> kinds[] = {
            {".jpg", std::string("\xFF\xD8\xFF\xE1", 4)},
            {".JPG", std::string("\xFF\xD8\xFF\xE0", 4)},
            {".tif", std::string("II*\0\x08\0\0\0", 8)},
            {".NEF", std::string("MM\0*\0\0\0\x08", 8)},
            {".cr2", std::string("II*\0\x10\0\0\0CR", 10)},
            {".dng", std::string("II*\0\x08\0\0\0", 8)},
            {".mov", std::string("\0\0\0\x14"
                                 "ftypqt  ",
                                 12)},
            {".heic", std::string("\0\0\0\x18"
                                  "ftypheic",
                                  12)},
            {".png", std::string("\x89PNG\r\n\x1A\n", 8)},
            {".ARW", std::string("II*\0\x08\0\0\0", 8)},
        };
        for (int i = 0; i < kFiles; ++i) {
            const auto& [extension, head] = kinds[i % std::size(kinds)];
            paths.push_back(folder + "/IMG_" + std::to_string(10000 + i) + extension);
            std::ofstream(paths.back(), std::ios::binary) << head << std::string(256, '\0');
        }
    }
    ~BenchFolder() {
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }
    std::string folder;
    std::vector<std::string> paths;
};

BenchFolder& benchFolder() {
    static BenchFolder folder;
    return folder;
}

// One pass: each file's type and its status (size, modification time, XMP sidecar).
int typeAndStatus(const std::vector<std::string>& paths) {
    int failed = 0;
    for (const std::string& path : paths) {
        NRFFileType type = 0;
        NRFLocalImageInfoRec record(path, 0);
        if (NRFGetType(path.c_str(), &type, true) != kNRFErrNone || !record.RefreshFileStatus())
            ++failed;
    }
    return failed;
}

// One pass of whole records as the engine fills them, attached files included.
int imageInfo(const std::vector<std::string>& paths) {
    int failed = 0;
    for (const std::string& path : paths) {
        NRFImageInfoRef record;
        if (NRFOpenImage(path.c_str(), 0, &record) != kNRFErrNone ||
            NRFGetImageInfo(record.get()) != kNRFErrNone)
            ++failed;
        NRFCloseImage(&record);
    }
    return failed;
}

void BM_ImageInfo(benchmark::State& state) {
    const BenchFolder& folder = benchFolder();
    for (auto _ : state)
        benchmark::DoNotOptimize(imageInfo(folder.paths));
    state.SetItemsProcessed(state.iterations() * kFiles);
}
BENCHMARK(BM_ImageInfo)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_TypeAndStatus(benchmark::State& state) {
    const BenchFolder& folder = benchFolder();
    for (auto _ : state)
        benchmark::DoNotOptimize(typeAndStatus(folder.paths));
    state.SetItemsProcessed(state.iterations() * kFiles);
}
BENCHMARK(BM_TypeAndStatus)->Unit(benchmark::kMillisecond);

void BM_TypeOnly(benchmark::State& state) {
    const BenchFolder& folder = benchFolder();
    for (auto _ : state)
        for (const std::string& path : folder.paths) {
            NRFFileType type = 0;
            benchmark::DoNotOptimize(NRFGetType(path.c_str(), &type, true));
        }
    state.SetItemsProcessed(state.iterations() * kFiles);
}
BENCHMARK(BM_TypeOnly)->Unit(benchmark::kMillisecond);

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The same folder through exiftool once, against one pass of ours.
void compareWithExiftool() {
    const BenchFolder& folder = benchFolder();
    auto start = std::chrono::steady_clock::now();
    const int failed = typeAndStatus(folder.paths);
    const double ours = secondsSince(start);
    start = std::chrono::steady_clock::now();
    const std::string command = "exiftool -fast2 -FileType -q -q '" + folder.folder + "' > /dev/null 2>&1";
    const int status = std::system(command.c_str());
    const double theirs = secondsSince(start);
    std::printf(
        "\n%d files: type and status %.3f s (%d failed); exiftool -fast2 -FileType %.3f s (status %d); "
        "exiftool / ours = %.1f\n",
        kFiles, ours, failed, theirs, status, ours > 0 ? theirs / ours : 0.0);
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchFolder();
    if (NRFInit(std::string()) != kNRFErrNone)
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    compareWithExiftool();
    NRFTerminate();
    benchmark::Shutdown();
    return 0;
}
