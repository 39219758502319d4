// Copies a folder of ~500 camera files (the corpus's photos repeated) with CopyFile::FileCopyEx (each
// photo opened by the engine, copied with its attached files under a temporary name, flushed, renamed
// to a free name) and with `cp -p` of the same files, in one run, and prints the times and their ratio.
// Not a test: run it by hand on a release build.

#include "NRF/NRF.h"
#include "NRF/NRFImageInfo.h"
#include "fileops/LumoCopyFile.h"

#include <algorithm>
#include <cctype>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kFiles = 500;

double cpuSeconds() {
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::vector<fs::path> cameraFiles() {
    std::vector<fs::path> files;
    for (const char* folder : {LUMO_CORPUS_DIR "/exiftool", LUMO_CORPUS_DIR "/exiv2"}) {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(folder, ec)) {
            std::string extension = entry.path().extension().string();
            for (char& c : extension)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (entry.is_regular_file() &&
                (extension == ".jpg" || extension == ".nef" || extension == ".cr2" || extension == ".cr3" ||
                 extension == ".dng" || extension == ".raf" || extension == ".rw2" || extension == ".heic"))
                files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace

int main() {
    std::string base = fs::temp_directory_path().string() + "/lumo-copy-bench-XXXXXX";
    if (!::mkdtemp(base.data()))
        return 1;
    ::setenv("LUMO_SETTINGS_PATH", (base + "/settings").c_str(), 1);
    ::setenv("LUMO_CACHE_PATH", (base + "/cache").c_str(), 1);
    const std::string source = base + "/src", viaCopy = base + "/copy", viaCp = base + "/cp";
    for (const std::string& folder : {source, viaCopy, viaCp})
        fs::create_directories(folder);

    const std::vector<fs::path> corpus = cameraFiles();
    if (corpus.empty()) {
        std::fprintf(stderr, "no corpus files\n");
        return 1;
    }
    std::vector<std::string> photos;
    std::uintmax_t bytes = 0;
    for (int i = 0; i < kFiles; ++i) {
        const fs::path& from = corpus[static_cast<std::size_t>(i) % corpus.size()];
        char name[32];
        std::snprintf(name, sizeof name, "IMG_%04d", i);
        photos.push_back(source + "/" + name + from.extension().string());
        fs::copy_file(from, photos.back());
        bytes += fs::file_size(from);
    }
    if (NRFInit("") != kNRFErrNone)
        return 1;

    auto start = std::chrono::steady_clock::now();
    const double cpuStart = cpuSeconds();
    int copied = 0;
    for (const std::string& photo : photos) {
        NRFImageInfoRef record;
        NRFOpenImage(photo.c_str(), 0, &record); // a file the engine refuses is copied as a plain file
        CopyFileRequest request;
        request.sourcePath = photo;
        request.destinationFolder = viaCopy;
        request.image = record.get();
        std::string name;
        copied += CopyFile::FileCopyEx(request, name);
    }
    const double copyTime = secondsSince(start);
    const double copyCpu = cpuSeconds() - cpuStart;

    start = std::chrono::steady_clock::now();
    const std::string command = "cp -p '" + source + "'/* '" + viaCp + "'/";
    const int cpStatus = std::system(command.c_str());
    const double cpTime = secondsSince(start);
    std::system("sync");
    start = std::chrono::steady_clock::now();
    fs::remove_all(viaCp);
    fs::create_directories(viaCp);
    const std::string syncedCommand = command + " && sync";
    std::system(syncedCommand.c_str());
    const double cpSyncTime = secondsSince(start);

    std::printf("%d files, %.1f MiB\n", kFiles, static_cast<double>(bytes) / (1 << 20));
    std::printf("CopyFile::FileCopyEx: %.3f s, %.3f s of CPU (%d copied, each flushed to disk)\n", copyTime,
                copyCpu, copied);
    std::printf("cp -p:                %.3f s (status %d, not flushed)\n", cpTime, cpStatus);
    std::printf("cp -p && sync:        %.3f s\n", cpSyncTime);
    std::printf("ratio FileCopyEx / cp: %.2f, FileCopyEx / (cp && sync): %.2f\n", copyTime / cpTime,
                copyTime / cpSyncTime);
    NRFTerminate();
    fs::remove_all(base);
    return copied == kFiles ? 0 : 1;
}
