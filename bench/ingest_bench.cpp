// Ingest's copy of a card: a tmpfs folder of camera files (the corpus's photos, each grown to the size of
// a camera's file with bytes past its end) copied to one folder on disk by CopyFile::FileCopyEx with
// verification (each source digested as it is read, each copy flushed, dropped from the cache, read back
// and compared before it takes its name), then without it, against `cp -r` (with and without a final
// `sync`) and `rsync -a` when it is installed. Prints MB/s of each and the ratios.
// LUMO_BENCH_INGEST_MB (default 2048) sets the card's size, LUMO_BENCH_FILE_MB (default 24) the files'.
// Not a test: run it by hand on a release build.

#include "BenchSupport.h"

#include "NRF/NRF.h"
#include "NRF/NRFImageInfo.h"
#include "fileops/LumoCopyFile.h"

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using lumo::bench::shellQuoted;

namespace {

std::uint64_t megabytesFrom(const char* variable, std::uint64_t fallback) {
    const char* text = std::getenv(variable);
    const long long value = text ? std::atoll(text) : 0;
    return value > 0 ? static_cast<std::uint64_t>(value) : fallback;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A camera file of `size` bytes: the photo followed by bytes no reader looks at (not compressible).
void writeCameraFile(const std::string& photo, const std::string& to, std::uint64_t size,
                     std::uint64_t seed) {
    std::ifstream in(photo, std::ios::binary);
    std::ofstream out(to, std::ios::binary);
    out << in.rdbuf();
    std::uint64_t written = fs::file_size(photo);
    std::vector<std::uint64_t> piece(1 << 17);
    std::uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
    while (written < size) {
        for (std::uint64_t& word : piece) {
            state ^= state << 13, state ^= state >> 7, state ^= state << 17;
            word = state;
        }
        const std::uint64_t bytes =
            std::min<std::uint64_t>(size - written, piece.size() * sizeof(std::uint64_t));
        out.write(reinterpret_cast<const char*>(piece.data()), static_cast<std::streamsize>(bytes));
        written += bytes;
    }
}

void emptyFolder(const std::string& folder) {
    std::system("sync");
    fs::remove_all(folder);
    fs::create_directories(folder);
    std::system("sync");
}

} // namespace

int main() {
    const std::uint64_t cardBytes = megabytesFrom("LUMO_BENCH_INGEST_MB", 2048) << 20;
    const std::uint64_t fileBytes = megabytesFrom("LUMO_BENCH_FILE_MB", 24) << 20;
    std::string base = fs::temp_directory_path().string() + "/lumo-ingest-bench-XXXXXX";
    std::string card =
        (fs::exists("/dev/shm") ? std::string("/dev/shm") : fs::temp_directory_path().string()) +
        "/lumo-ingest-card-XXXXXX";
    if (!::mkdtemp(base.data()) || !::mkdtemp(card.data()))
        return 1;
    ::setenv("LUMO_SETTINGS_PATH", (base + "/settings").c_str(), 1);
    ::setenv("LUMO_CACHE_PATH", (base + "/cache").c_str(), 1);
    const std::string destination = base + "/dest";
    const std::string dcim = card + "/DCIM/100CAMERA";
    fs::create_directories(dcim);
    fs::create_directories(destination);

    const std::vector<std::string> corpus = lumo::bench::cameraFiles(LUMO_CORPUS_DIR);
    if (corpus.empty()) {
        std::fprintf(stderr, "no corpus files\n");
        return 1;
    }
    std::vector<std::string> photos;
    std::uint64_t bytes = 0;
    for (std::size_t i = 0; bytes < cardBytes; ++i) {
        const fs::path from = corpus[i % corpus.size()];
        char name[32];
        std::snprintf(name, sizeof name, "IMG_%04zu", i);
        photos.push_back(dcim + "/" + name + from.extension().string());
        writeCameraFile(from.string(), photos.back(), std::max<std::uint64_t>(fileBytes, fs::file_size(from)),
                        i);
        bytes += fs::file_size(photos.back());
    }
    if (NRFInit("") != kNRFErrNone)
        return 1;
    const double megabytes = static_cast<double>(bytes) / 1e6;

    auto ingest = [&](std::uint16_t flags, int& copied) {
        emptyFolder(destination);
        const auto start = std::chrono::steady_clock::now();
        copied = 0;
        for (const std::string& photo : photos) {
            NRFImageInfoRef record;
            NRFOpenImage(photo.c_str(), 0, &record); // a file the engine refuses is copied as a plain file
            CopyFileRequest request;
            request.sourcePath = photo;
            request.destinationFolder = destination;
            request.image = record.get();
            request.flags = flags;
            std::string name;
            copied += CopyFile::FileCopyEx(request, name);
        }
        return secondsSince(start);
    };
    auto command = [&](const std::string& text) {
        emptyFolder(destination);
        return lumo::bench::timed(text);
    };
    int verifiedCopies = 0, plainCopies = 0;
    const double verified = ingest(kCopyVerify, verifiedCopies);
    const double unverified = ingest(0, plainCopies);
    const std::string cp = "cp -r " + shellQuoted(card + "/DCIM") + " " + shellQuoted(destination + "/");
    const double cpTime = command(cp);
    const double cpSyncTime = command(cp + " && sync");
    const bool haveRsync = std::system("command -v rsync >/dev/null 2>&1") == 0;
    const double rsyncTime =
        haveRsync ? command("rsync -a " + shellQuoted(card + "/DCIM") + " " + shellQuoted(destination + "/"))
                  : 0;

    auto rate = [&](double seconds) { return seconds > 0 ? megabytes / seconds : 0.0; };
    std::printf("%zu camera files, %.1f MB, from %s to %s\n", photos.size(), megabytes, card.c_str(),
                destination.c_str());
    std::printf("FileCopyEx, verified:   %7.3f s  %7.1f MB/s  (%d copied)\n", verified, rate(verified),
                verifiedCopies);
    std::printf("FileCopyEx, unverified: %7.3f s  %7.1f MB/s  (%d copied)\n", unverified, rate(unverified),
                plainCopies);
    std::printf("cp -r:                  %7.3f s  %7.1f MB/s\n", cpTime, rate(cpTime));
    std::printf("cp -r && sync:          %7.3f s  %7.1f MB/s\n", cpSyncTime, rate(cpSyncTime));
    if (haveRsync)
        std::printf("rsync -a:               %7.3f s  %7.1f MB/s\n", rsyncTime, rate(rsyncTime));
    else
        std::printf("rsync -a:               not installed\n");
    std::printf("verified throughput / cp -r: %.2f, / (cp -r && sync): %.2f, / unverified: %.2f\n",
                rate(verified) / rate(cpTime), rate(verified) / rate(cpSyncTime),
                rate(verified) / rate(unverified));
    NRFTerminate();
    fs::remove_all(base);
    fs::remove_all(card);
    const int expected = static_cast<int>(photos.size());
    return verifiedCopies == expected && plainCopies == expected ? 0 : 1;
}
