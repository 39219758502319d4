// Saves 100 camera JPEGs (the corpus's JPEGs that hold whole pictures, repeated) at a 2048-pixel box with
// SaveAsThread (decode, upright, scale, encode, EXIF and metadata carried), once as they come and once
// under a 500 KB limit, and the same files with `vips thumbnail` followed by `exiftool -tagsFromFile`
// copying the metadata, in one run; prints the times and their ratio. Not a test: run it by hand on a
// release build.

#include "BenchSupport.h"
#include "NRF/NRF.h"
#include "NRF/NRFBitmapBase.h"
#include "NRF/NRFImageInfo.h"
#include "fileops/SaveAsThread.h"
#include "metadata/PhotoMetadata.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using lumo::bench::shellQuoted;
using lumo::bench::timed;

namespace {

constexpr std::size_t kPhotos = 100;

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The corpus JPEGs the engine decodes whole (the exiftool samples hold structure without pixels).
std::vector<std::string> wholeJPEGs() {
    std::vector<std::string> out;
    for (const std::string& file : lumo::bench::cameraFiles(LUMO_CORPUS_DIR)) {
        const std::string ext = fs::path(file).extension().string();
        if (ext != ".jpg" && ext != ".JPG" && ext != ".jpeg")
            continue;
        NRFImageInfoRef record;
        NRFBitmapBase bitmap;
        if (NRFOpenImage(file.c_str(), 0, &record) == 0 && NRFGetImageInfo(record.get()) == 0 &&
            NRFLoadFileAsBitmap(record.get(), &bitmap, 0) == 0 &&
            std::max(bitmap.Width(), bitmap.Height()) >= 1024)
            out.push_back(file);
    }
    return out;
}

double runSaveAs(const std::vector<std::string>& photos, const std::string& folder, std::uint64_t limitKB,
                 std::size_t& failed) {
    SaveAsOptions options;
    options.destinationFolder = folder;
    options.scaleType = kScaleBox;
    options.scaleBoxSize = 2048;
    options.limitJPEGSize = limitKB != 0;
    options.limitJPEGSizeKB = limitKB;
    const auto start = std::chrono::steady_clock::now();
    SaveAsThread thread(photos, options);
    failed = 0;
    std::uint32_t index = 0;
    for (const std::string& photo : photos)
        failed += thread.SaveFile(photo, ++index) != 0;
    return secondsSince(start);
}

} // namespace

int main() {
    std::string base = fs::temp_directory_path().string() + "/lumo-saveas-bench-XXXXXX";
    if (!::mkdtemp(base.data()))
        return 1;
    ::setenv("LUMO_SETTINGS_PATH", (base + "/settings").c_str(), 1);
    ::setenv("LUMO_CACHE_PATH", (base + "/cache").c_str(), 1);
    if (NRFInit("") != kNRFErrNone || IPTCMetadataInitialize() != kNRFErrNone)
        return 1;
    const std::vector<std::string> corpus = wholeJPEGs();
    if (corpus.empty()) {
        std::fprintf(stderr, "no whole camera JPEGs in the corpus\n");
        return 1;
    }
    const std::string source = base + "/src";
    fs::create_directories(source);
    std::vector<std::string> photos;
    for (std::size_t i = 0; i < kPhotos; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "IMG_%04zu.jpg", i);
        photos.push_back(source + "/" + name);
        fs::copy_file(corpus[i % corpus.size()], photos.back());
    }

    std::size_t failed = 0, failedLimited = 0;
    const double plain = runSaveAs(photos, base + "/saveas", 0, failed);
    const double limited = runSaveAs(photos, base + "/limited", 500, failedLimited);
    std::uintmax_t largest = 0;
    for (const auto& entry : fs::directory_iterator(base + "/limited"))
        largest = std::max(largest, entry.file_size());

    const std::string out = base + "/vips";
    fs::create_directories(out);
    std::string script = "set -e; for f in " + shellQuoted(source) + "/*.jpg; do n=$(basename \"$f\"); " +
                         "vips thumbnail \"$f\" " + shellQuoted(out) + "/\"$n\"'[Q=90]' 2048 --size down; " +
                         "exiftool -q -overwrite_original -tagsFromFile \"$f\" -all:all " + shellQuoted(out) +
                         "/\"$n\"; done";
    const double vips = timed("sh -c " + shellQuoted(script));

    std::printf("%zu photos (%zu distinct camera JPEGs), 2048-pixel box\n", photos.size(), corpus.size());
    std::printf("SaveAsThread:                      %.3f s (%zu failed)\n", plain, failed);
    std::printf("SaveAsThread, 500 KB limit:        %.3f s (%zu failed, largest %ju bytes)\n", limited,
                failedLimited, largest);
    std::printf("vips thumbnail + exiftool -tagsFromFile: %.3f s%s\n", vips < 0 ? -vips : vips,
                vips < 0 ? " (failed)" : "");
    if (vips > 0)
        std::printf("ratio SaveAsThread / vips+exiftool: %.2f (limited: %.2f)\n", plain / vips,
                    limited / vips);
    NRFTerminate();
    fs::remove_all(base);
    return failed == 0 && failedLimited == 0 ? 0 : 1;
}
