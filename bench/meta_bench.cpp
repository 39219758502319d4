// A caption and three keywords written into 1,000 JPEGs, by `lumo meta set` and by exiftool, in the
// same run:
//
// - the corpus's JPEGs (those the engine reads, the deliberately malformed ones left out) are copied,
//   cycled under distinct names, into two temporary folders until each holds N (default 1,000);
// - `lumo meta set` runs once over the first folder with the caption and the keywords (IIM and XMP in
//   one rewrite of each file, committed in batches);
// - `exiftool -overwrite_original` runs once over the second folder writing the same values into the
//   IIM and the XMP (Caption-Abstract, Keywords, XMP-dc:Description, XMP-dc:Subject), as a user would;
// - afterwards (not timed) exiftool reads both folders back to count the files that hold the caption.
//
//   bench_meta [N [corpus folder [lumo program]]]
//
// Prints each run's wall time, files per second, peak memory and the files verified, and how many times
// faster lumo was.

#include "NRF/NRF.h"
#include "NRF/NRFImageInfo.h"

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

constexpr const char* kCaption = "Boats in the harbour at dawn, seen from the north pier";
constexpr const char* kKeywords[] = {"harbour", "boats", "dawn"};

struct RunResult {
    int status = -1; // the exit status, 128 + signal, or -1 when it could not start
    double seconds = 0;
    long peakKiB = 0;
};

// Runs `program` with `args` to its end, its standard output going to `output` (or /dev/null) and its
// errors to /dev/null, and measures it.
RunResult run(const std::string& program, const std::vector<std::string>& args,
              const std::string& output = "/dev/null") {
    std::vector<std::string> text{program};
    text.insert(text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : text)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
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

bool malformedSample(const std::string& name) {
    for (const char* mark : {"poc", "crash", "issue_", "bug", "fuzz", "corrupt", "invalid"})
        if (name.find(mark) != std::string::npos)
            return true;
    return false;
}

// The corpus's JPEGs that the engine reads.
std::vector<std::string> jpegs(const std::string& corpus) {
    std::vector<std::string> files;
    for (const char* folder : {"exiftool", "exiv2"}) {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(corpus + "/" + folder, ec)) {
            if (!entry.is_regular_file() || malformedSample(entry.path().filename().string()))
                continue;
            NRFImageInfoRef record;
            if (NRFOpenImage(entry.path().c_str(), 0, &record) == kNRFErrNone &&
                NRFGetImageInfo(record.get()) == kNRFErrNone && record->m_fileType == kNRFTypeJPEG)
                files.push_back(entry.path().string());
            NRFCloseImage(&record);
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

// The files of `folder` whose IIM caption and XMP description both read back as the caption (exiftool's
// reading, one process).
std::size_t verified(const std::string& folder, const std::string& scratch) {
    const std::string listing = scratch + "/verify.txt";
    run("exiftool", {"-q", "-q", "-m", "-s3", "-f", "-IPTC:Caption-Abstract", "-XMP-dc:Description", folder},
        listing);
    std::FILE* in = std::fopen(listing.c_str(), "r");
    if (!in)
        return 0;
    std::size_t lines = 0;
    char line[512];
    while (std::fgets(line, sizeof line, in))
        lines += std::string(line) == std::string(kCaption) + "\n";
    std::fclose(in);
    return lines / 2; // two lines per file that holds both
}

void report(const char* what, const RunResult& r, std::size_t files, std::size_t good) {
    if (r.status < 0) {
        std::printf("%-38s not installed\n", what);
        return;
    }
    std::printf("%-38s %8.3f s  %8.0f files/s  peak %7.1f MiB  %5zu of %zu verified  (exit %d)\n", what,
                r.seconds, files / r.seconds, r.peakKiB / 1024.0, good, files, r.status);
}

} // namespace

int main(int argc, char** argv) {
    const std::size_t target = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000;
    const std::string corpus = argc > 2 ? argv[2] : LUMO_CORPUS_DIR;
    const std::string lumo = argc > 3 ? argv[3] : LUMO_BINARY;
    std::string folder = std::filesystem::temp_directory_path().string() + "/lumo-meta-bench-XXXXXX";
    if (target == 0 || !mkdtemp(folder.data()))
        return 1;
    // lumo's settings, caches, undo data and log stay in the bench's folder.
    setenv("LUMO_SETTINGS_PATH", (folder + "/settings").c_str(), 1);
    setenv("LUMO_CACHE_PATH", (folder + "/cache").c_str(), 1);
    if (NRFInit("") != kNRFErrNone) {
        std::fprintf(stderr, "bench_meta: the engine did not start\n");
        return 1;
    }
    const std::vector<std::string> originals = jpegs(corpus);
    NRFTerminate();
    if (originals.empty()) {
        std::fprintf(stderr, "bench_meta: no JPEGs in %s\n", corpus.c_str());
        return 1;
    }
    const std::string ours = folder + "/lumo", theirs = folder + "/exiftool";
    std::filesystem::create_directories(ours);
    std::filesystem::create_directories(theirs);
    std::uintmax_t bytes = 0;
    for (std::size_t i = 0; i < target; ++i) {
        const std::filesystem::path from(originals[i % originals.size()]);
        const std::string name = std::to_string(i) + "-" + from.stem().string() + ".jpg";
        // The corpus is read-only; the copies are the user's own photos, which may be written.
        for (const std::string& copy : {ours + "/" + name, theirs + "/" + name}) {
            std::filesystem::copy_file(from, copy);
            std::filesystem::permissions(copy, std::filesystem::perms::owner_write,
                                         std::filesystem::perm_options::add);
        }
        bytes += std::filesystem::file_size(from);
    }
    std::printf("Caption and three keywords into %zu copies of %zu corpus JPEGs (%.1f MiB):\n", target,
                originals.size(), bytes / 1048576.0);

    std::string keywords;
    for (const char* keyword : kKeywords)
        keywords += (keywords.empty() ? "" : ", ") + std::string(keyword);
    const RunResult lumoRun =
        run(lumo, {"--quiet", "--yes", "meta", "set", ours, "--field",
                   std::string("Description/Caption=") + kCaption, "--field", "Keywords=" + keywords});

    std::vector<std::string> exiftoolArgs = {"-q",
                                             "-q",
                                             "-m",
                                             "-overwrite_original",
                                             std::string("-IPTC:Caption-Abstract=") + kCaption,
                                             std::string("-XMP-dc:Description=") + kCaption};
    for (const char* keyword : kKeywords) {
        exiftoolArgs.push_back(std::string("-IPTC:Keywords=") + keyword);
        exiftoolArgs.push_back(std::string("-XMP-dc:Subject=") + keyword);
    }
    exiftoolArgs.push_back(theirs);
    const RunResult exiftoolRun = run("exiftool", exiftoolArgs);

    report("lumo meta set (one process)", lumoRun, target, verified(ours, folder));
    report("exiftool -overwrite_original (one)", exiftoolRun, target, verified(theirs, folder));
    if (lumoRun.status >= 0 && exiftoolRun.status >= 0)
        std::printf("lumo was %.1f times as fast as exiftool\n", exiftoolRun.seconds / lumoRun.seconds);

    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    return 0;
}
