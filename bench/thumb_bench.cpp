// 256-pixel thumbnails of a folder of 1,000 camera files, through `lumo thumb` and through
// vipsthumbnail, in the same run:
//
// - the corpus's camera files (JPEGs straight from a camera, and raws with an embedded preview) are
//   copied under distinct names into a temporary folder until there are 1,000 of them;
// - `lumo thumb --size 256` runs over all of them with an empty disk cache (cold), then again over the
//   same files into a fresh output folder (warm: what the first run left in the disk cache);
// - `vipsthumbnail --size 256` runs once over the same files;
// - the disk cache alone, in this process: a 256-pixel thumbnail stored for each file, then each looked
//   up as a warm run does (its key from the file, its entries listed, the JPEG read and decoded).
//
//   bench_thumb [corpus folder [lumo program]]
//
// Prints each run's wall time, files per second, peak memory (the child's maximum resident set, from
// wait4) and how many thumbnails it wrote, and the disk cache's entries after the cold run.

#include "NRF/NRF.h"
#include "NRF/NRFImageInfo.h"
#include "cache/ThumbfileCache.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr std::size_t kTarget = 1000;

struct RunResult {
    int status = -1; // the exit status, 128 + signal, or -1 when it could not start
    double seconds = 0;
    long peakKiB = 0;
};

// Runs `program` with `args` to its end, all its output going to /dev/null, and measures it.
RunResult run(const std::string& program, const std::vector<std::string>& args) {
    std::vector<std::string> text{program};
    text.insert(text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : text)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    RunResult result;
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return result;
    int status = 0;
    struct rusage usage {};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.peakKiB = usage.ru_maxrss;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

std::size_t filesBelow(const std::string& folder) {
    std::size_t count = 0;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        count += it->is_regular_file();
    return count;
}

// The camera files of the corpus: JPEGs a camera wrote, and raws that carry a JPEG preview.
std::vector<std::string> cameraFiles(const std::string& corpus) {
    std::vector<std::string> files;
    for (const char* folder : {"exiftool", "exiv2"}) {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(corpus + "/" + folder, ec)) {
            if (!entry.is_regular_file())
                continue;
            NRFImageInfoRef record;
            if (NRFOpenImage(entry.path().c_str(), 0, &record) != kNRFErrNone ||
                NRFGetImageInfo(record.get()) != kNRFErrNone) {
                NRFCloseImage(&record);
                continue;
            }
            const NRFFileType type = record->m_fileType;
            const bool heif = type == kNRFTypeHEIC || type == kNRFTypeHEIF;
            const bool camera = type == kNRFTypeJPEG
                                    ? record->m_cameraOriginal
                                    : !heif && record->m_preview.offset && record->m_preview.length &&
                                          record->m_preview.width && record->m_preview.height;
            if (camera)
                files.push_back(entry.path().string());
            NRFCloseImage(&record);
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

void report(const char* what, const RunResult& r, std::size_t files, std::size_t written) {
    if (r.status < 0) {
        std::printf("%-34s not installed\n", what);
        return;
    }
    std::printf("%-34s %7.2f s  %7.0f files/s  peak %7.1f MiB  %5zu written  (exit %d)\n", what, r.seconds,
                files / r.seconds, r.peakKiB / 1024.0, written, r.status);
}

// Stores a 256 x 171 thumbnail for each file in a fresh disk cache, then finds and loads each again.
void diskCacheAlone(const std::vector<std::string>& files, const std::string& folder) {
    std::string error;
    if (!CThumbfileCache::OpenThumbfileCache(folder, error))
        return;
    CThumbfileCache& cache = *CThumbfileCache::GetThumbfileCache();
    NRFBitmapBase bitmap;
    bitmap.Allocate(256, 171, 3);
    for (std::uint32_t y = 0; y < bitmap.Height(); ++y)
        for (std::uint32_t x = 0; x < bitmap.Stride(); ++x)
            bitmap.Row(y)[x] = static_cast<std::uint8_t>(x / 3 + y);
    const CThumbfileCache::Variant variant{0, true, 256};
    auto start = std::chrono::steady_clock::now();
    std::size_t stored = 0;
    for (const std::string& file : files)
        stored += cache.Store(CThumbfileCache::VariantKey(
                                  CThumbfileCache::MakeKey(CThumbfileCache::Kind::Thumb, file), variant),
                              bitmap);
    const double storing = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    start = std::chrono::steady_clock::now();
    std::size_t loaded = 0;
    for (const std::string& file : files) {
        const auto entries = cache.EntriesFor(CThumbfileCache::MakeKey(CThumbfileCache::Kind::Thumb, file));
        NRFBitmapBase out;
        loaded += !entries.empty() && cache.Load(entries.back().key, out);
    }
    const double loading = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf(
        "disk cache alone (one thread): %zu stored in %.3f s (%.0f/s), %zu found and decoded in %.3f s "
        "(%.0f/s)\n",
        stored, storing, stored / storing, loaded, loading, loaded / loading);
    CThumbfileCache::CloseThumbfileCache();
}

} // namespace

int main(int argc, char** argv) {
    const std::string corpus = argc > 1 ? argv[1] : LUMO_CORPUS_DIR;
    const std::string lumo = argc > 2 ? argv[2] : LUMO_BINARY;
    std::string folder = std::filesystem::temp_directory_path().string() + "/lumo-thumb-bench-XXXXXX";
    if (!mkdtemp(folder.data()))
        return 1;
    // lumo's settings, caches and log stay in the bench's folder; the disk cache starts empty.
    const std::string cache = folder + "/cache";
    setenv("LUMO_SETTINGS_PATH", (folder + "/settings").c_str(), 1);
    setenv("LUMO_CACHE_PATH", cache.c_str(), 1);
    if (NRFInit("") != kNRFErrNone) {
        std::fprintf(stderr, "bench_thumb: the engine did not start\n");
        return 1;
    }

    const std::vector<std::string> originals = cameraFiles(corpus);
    std::vector<std::string> copies;
    std::filesystem::create_directories(folder + "/photos");
    for (std::size_t round = 0; !originals.empty() && copies.size() < kTarget; ++round)
        for (std::size_t i = 0; i < originals.size() && copies.size() < kTarget; ++i) {
            const std::filesystem::path from(originals[i]);
            const std::string copy =
                folder + "/photos/" + std::to_string(round) + "-" + from.filename().string();
            std::filesystem::copy_file(from, copy, std::filesystem::copy_options::overwrite_existing);
            copies.push_back(copy);
        }
    NRFTerminate();
    if (copies.empty()) {
        std::fprintf(stderr, "bench_thumb: no camera files in %s\n", corpus.c_str());
        return 1;
    }
    std::printf("256-pixel thumbnails of %zu copies of %zu camera files (JPEGs and raws):\n", copies.size(),
                originals.size());

    const auto lumoThumb = [&](const std::string& out) {
        std::filesystem::create_directories(out);
        std::vector<std::string> args = {"--quiet", "--no-input", "thumb", "--size", "256", "--dir", out};
        args.insert(args.end(), copies.begin(), copies.end());
        return run(lumo, args);
    };
    const RunResult cold = lumoThumb(folder + "/out-cold");
    const std::size_t cacheEntries = filesBelow(cache + "/thumb") + filesBelow(cache + "/preview");
    const RunResult warm = lumoThumb(folder + "/out-warm");
    std::filesystem::create_directories(folder + "/out-vips");
    std::vector<std::string> vipsArgs = {"--size", "256", "-o", folder + "/out-vips/%s.jpg[Q=90]"};
    vipsArgs.insert(vipsArgs.end(), copies.begin(), copies.end());
    const RunResult vips = run("vipsthumbnail", vipsArgs);

    report("lumo thumb, cold (empty cache)", cold, copies.size(), filesBelow(folder + "/out-cold"));
    report("lumo thumb, warm (second run)", warm, copies.size(), filesBelow(folder + "/out-warm"));
    report("vipsthumbnail (one process)", vips, copies.size(), filesBelow(folder + "/out-vips"));
    std::printf("disk cache entries after the cold run: %zu\n", cacheEntries);
    if (vips.status >= 0)
        std::printf("cold x%.2f of vipsthumbnail's speed, warm x%.2f of cold's\n",
                    vips.seconds / cold.seconds, cold.seconds / warm.seconds);

    diskCacheAlone(copies, folder + "/cache-alone");

    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    return 0;
}
