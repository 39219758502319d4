// Embedded previews and thumbnails of the shared corpus, through the engine and through the reference
// tools on the same files in the same run:
//
// - preview extraction: every raw whose record has a JPEG preview, copied into a temporary folder as
//   many times as it takes to reach about 500 files; the engine opens, reads and extracts each one to a
//   file of its own; `exiftool -b -PreviewImage -w` runs once over all the copies (one process, many
//   files) and once per file over the first 50 (one process a file, as a script calling it would);
//   `exiv2 -ep -l` runs once over all the copies;
// - 256-pixel thumbnails of the camera JPEGs (the engine's camera-original flag), copied the same way:
//   the engine decodes each at the smallest DCT scale that covers 256 pixels, turns it upright, scales
//   it and encodes it at quality 90, as `lumo thumb --size 256` does; `vipsthumbnail --size 256` runs
//   once over all the copies;
// - 256-pixel thumbnails of the HEIF/HEIC photos (the malformed reproducer files left out), two copies
//   of each: the engine's preview loader (libheif, a stored thumbnail when it covers the size), scaled
//   and encoded as `lumo thumb --size 256` does, against `vipsthumbnail --size 256` over the same copies;
// - the same for the TIFF, PNG, Photoshop, GIF and BMP images that both the engine and vipsthumbnail
//   can read, three copies of each: decoded with box reduction while the rows arrive.
//
//   bench_preview [corpus folder]
//
// Prints files per second of each and the engine's speed as a multiple of the tool's.

#include "NRF/NRF.h"
#include "NRF/NRFBasicJPEG.h"
#include "NRF/NRFBitmapBase.h"
#include "NRF/NRFICC.h"
#include "NRF/NRFImageInfo.h"
#include "support/FileIO.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr std::size_t kTarget = 500;
constexpr std::size_t kPerProcessFiles = 50;

// Runs `program` with `args` to its end, all its output going to /dev/null; the exit status, or -1
// when it could not start.
int run(const std::string& program, const std::vector<std::string>& args) {
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
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

NRFImageInfoRef readRecord(const std::string& path) {
    NRFImageInfoRef record;
    if (NRFOpenImage(path.c_str(), 0, &record) != kNRFErrNone || NRFGetImageInfo(record.get()) != kNRFErrNone)
        NRFCloseImage(&record);
    return record;
}

// Copies of `originals` in `folder`, round after round, until there are `target` of them.
std::vector<std::string> copiesUpTo(const std::vector<std::string>& originals, const std::string& folder,
                                    std::size_t target) {
    std::vector<std::string> copies;
    std::filesystem::create_directories(folder);
    for (std::size_t round = 0; !originals.empty() && copies.size() < target; ++round)
        for (std::size_t i = 0; i < originals.size() && copies.size() < target; ++i) {
            const std::filesystem::path from(originals[i]);
            const std::string copy = folder + "/" + std::to_string(round) + "-" + from.filename().string();
            std::filesystem::copy_file(from, copy, std::filesystem::copy_options::overwrite_existing);
            copies.push_back(copy);
        }
    return copies;
}

std::vector<std::string> corpusFiles(const std::string& corpus) {
    std::vector<std::string> files;
    for (const char* folder : {"exiftool", "exiv2"}) {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(corpus + "/" + folder, ec))
            if (entry.is_regular_file())
                files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

void report(const char* what, std::size_t files, double engine, const char* tool, double toolSeconds,
            int toolStatus) {
    const double engineRate = files / engine;
    if (toolStatus < 0) {
        std::printf("%-44s engine %9.0f files/s   %s: not installed\n", what, engineRate, tool);
        return;
    }
    const double toolRate = files / toolSeconds;
    std::printf("%-44s engine %9.0f files/s   %-28s %7.1f files/s   engine x%.1f\n", what, engineRate, tool,
                toolRate, engineRate / toolRate);
}

// The engine's `lumo thumb --size 256`: the reader's preview loader (an embedded image that covers the
// size, else the file's own pixels at the smallest scale that covers it), scaled, in sRGB, encoded at
// quality 90 and written through a temporary file; false when any step fails.
bool engineThumb(const std::string& path, const std::string& output, std::uint32_t size) {
    NRFImageInfoRef record = readRecord(path);
    if (!record)
        return false;
    NRFBitmapBase loaded, scaled;
    std::string jpeg;
    const bool ok =
        NRFLoadFilePreview(record.get(), &loaded, size, kNRFLoadAllowEmbedded) == kNRFErrNone &&
        loaded.ScaleToFit(size, scaled) && NRFICCConvertRecordBitmapToSRGB(*record, scaled) == kNRFErrNone &&
        NRFCompressJPEG(scaled, 90, jpeg) == kNRFErrNone && lumo::writeFileReplacing(output, jpeg) == 0;
    NRFCloseImage(&record);
    return ok;
}

// Times the engine's thumbnails of `copies` against one vipsthumbnail over them.
void thumbnailRace(const char* title, const char* what, const std::vector<std::string>& copies,
                   const std::string& folder) {
    if (copies.empty())
        return;
    const std::string out = folder + "-engine";
    std::filesystem::create_directories(out);
    int failed = 0;
    auto start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < copies.size(); ++i)
        failed += !engineThumb(copies[i], out + "/" + std::to_string(i) + ".jpg", 256);
    const double engine = secondsSince(start);
    if (failed)
        std::printf("engine: %d thumbnails failed\n", failed);
    const std::string vipsOut = folder + "-vips";
    std::filesystem::create_directories(vipsOut);
    std::vector<std::string> args = {"--size", "256", "-o", vipsOut + "/%s.jpg[Q=90]"};
    args.insert(args.end(), copies.begin(), copies.end());
    start = std::chrono::steady_clock::now();
    const int vips = run("vipsthumbnail", args);
    const double vipsSeconds = secondsSince(start);
    std::printf("256-pixel thumbnails of %zu %s:\n", copies.size(), title);
    report(what, copies.size(), engine, "vipsthumbnail (one process)", vipsSeconds, vips);
}

bool isDecodedStill(NRFFileType type) {
    for (const char* code : {"TIFF", "PNGf", "APSD", "GIFf", "WBMP"})
        if (type == NRFMakeFileType(code))
            return true;
    return false;
}

} // namespace

int main(int argc, char** argv) {
    const std::string corpus = argc > 1 ? argv[1] : LUMO_CORPUS_DIR;
    std::string folder = std::filesystem::temp_directory_path().string() + "/lumo-preview-bench-XXXXXX";
    if (!mkdtemp(folder.data()))
        return 1;
    setenv("LUMO_SETTINGS_PATH", folder.c_str(), 1); // the log stays out of the user's folders
    setenv("LUMO_CACHE_PATH", folder.c_str(), 1);
    if (NRFInit("") != kNRFErrNone) {
        std::fprintf(stderr, "bench_preview: the engine did not start\n");
        return 1;
    }

    // Which corpus files have an extractable preview (raws) or are camera JPEGs, read from copies.
    std::vector<std::string> raws, cameraJpegs, heifs, stills;
    const std::string probe = folder + "/probe";
    std::filesystem::create_directories(probe);
    for (const std::string& file : corpusFiles(corpus)) {
        const std::string copy = probe + "/" + std::filesystem::path(file).filename().string();
        std::filesystem::copy_file(file, copy, std::filesystem::copy_options::overwrite_existing);
        NRFImageInfoRef record = readRecord(copy);
        if (!record)
            continue;
        const NRFEmbeddedImageLoc& preview = record->m_preview;
        bool extractable = false;
        if (record->m_fileType == kNRFTypeHEIC || record->m_fileType == kNRFTypeHEIF) {
            if (file.find("_poc") == std::string::npos && engineThumb(copy, probe + "/check.jpg", 256))
                heifs.push_back(file);
        } else if (record->m_fileType == kNRFTypeJPEG) {
            if (record->m_cameraOriginal && engineThumb(copy, probe + "/check.jpg", 256))
                cameraJpegs.push_back(file);
        } else if (isDecodedStill(record->m_fileType)) {
            // Files vipsthumbnail cannot open either are left out of the race (it would stop at them).
            if (engineThumb(copy, probe + "/check.jpg", 256) &&
                run("vipsthumbnail", {"--size", "256", "-o", probe + "/vips-check.jpg", copy}) == 0)
                stills.push_back(file);
        } else if (preview.offset && preview.length && preview.width && preview.height &&
                   NRFExtractPreview(record.get(), (probe + "/check.jpg").c_str(), false) == kNRFErrNone) {
            extractable = true;
        }
        if (extractable)
            raws.push_back(file);
        NRFCloseImage(&record);
    }
    std::printf(
        "corpus: %zu raws with a preview, %zu camera JPEGs, %zu HEIF/HEIC photos, %zu TIFF/PNG/PSD/GIF/BMP "
        "images\n",
        raws.size(), cameraJpegs.size(), heifs.size(), stills.size());

    // Preview extraction.
    const std::vector<std::string> rawCopies = copiesUpTo(raws, folder + "/raws", kTarget);
    if (!rawCopies.empty()) {
        const std::string out = folder + "/engine-previews";
        std::filesystem::create_directories(out);
        int failed = 0;
        auto start = std::chrono::steady_clock::now();
        for (std::size_t i = 0; i < rawCopies.size(); ++i) {
            NRFImageInfoRef record = readRecord(rawCopies[i]);
            const std::string destination = out + "/" + std::to_string(i) + ".jpg";
            if (!record || NRFExtractPreview(record.get(), destination.c_str(), false) != kNRFErrNone)
                ++failed;
            NRFCloseImage(&record);
        }
        const double engine = secondsSince(start);
        if (failed)
            std::printf("engine: %d extractions failed\n", failed);
        // The same reads without the writing: what is left is the flushed write and the rename.
        start = std::chrono::steady_clock::now();
        for (const std::string& copy : rawCopies) {
            NRFImageInfoRef record = readRecord(copy);
            NRFCloseImage(&record);
        }
        const double readOnly = secondsSince(start);

        const std::string exiftoolOut = folder + "/exiftool-previews";
        std::filesystem::create_directories(exiftoolOut);
        std::vector<std::string> args = {"-q", "-q", "-b", "-PreviewImage", "-w", exiftoolOut + "/%f.jpg"};
        args.insert(args.end(), rawCopies.begin(), rawCopies.end());
        start = std::chrono::steady_clock::now();
        const int exiftool = run("exiftool", args);
        const double exiftoolSeconds = secondsSince(start);

        const std::size_t perProcess = std::min(kPerProcessFiles, rawCopies.size());
        start = std::chrono::steady_clock::now();
        int single = 0;
        for (std::size_t i = 0; i < perProcess && single >= 0; ++i)
            single = run("exiftool", {"-q", "-q", "-b", "-PreviewImage", "-W!",
                                      exiftoolOut + "/single-%f.jpg", rawCopies[i]});
        const double singleSeconds = secondsSince(start);

        const std::string exiv2Out = folder + "/exiv2-previews";
        std::filesystem::create_directories(exiv2Out);
        args = {"-q", "-f", "-ep", "-l", exiv2Out};
        args.insert(args.end(), rawCopies.begin(), rawCopies.end());
        start = std::chrono::steady_clock::now();
        const int exiv2 = run("exiv2", args);
        const double exiv2Seconds = secondsSince(start);

        std::printf("preview extraction over %zu raw copies:\n", rawCopies.size());
        report("  open + read + extract", rawCopies.size(), engine, "exiftool -w (one process)",
               exiftoolSeconds, exiftool);
        report("  same, against one exiftool a file", perProcess, engine * perProcess / rawCopies.size(),
               "exiftool (a process a file)", singleSeconds, single);
        report("  same", rawCopies.size(), engine, "exiv2 -ep (one process)", exiv2Seconds, exiv2);
        std::printf("  of the engine's time, open + read alone: %.1f%% (%.0f files/s)\n",
                    100.0 * readOnly / engine, rawCopies.size() / readOnly);
    }

    // 256-pixel thumbnails.
    thumbnailRace("camera JPEG copies", "  decode (DCT scaled) + turn + scale + encode",
                  copiesUpTo(cameraJpegs, folder + "/jpegs", kTarget), folder + "/jpeg-thumbs");
    thumbnailRace("HEIF/HEIC copies", "  libheif decode + scale + encode",
                  copiesUpTo(heifs, folder + "/heifs", 2 * heifs.size()), folder + "/heif-thumbs");
    thumbnailRace("TIFF/PNG/PSD/GIF/BMP copies", "  decode (box-reduced) + scale + encode",
                  copiesUpTo(stills, folder + "/stills", 3 * stills.size()), folder + "/still-thumbs");

    NRFTerminate();
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    return 0;
}
