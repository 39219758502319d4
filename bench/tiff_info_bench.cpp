// Image information of the TIFF-structured files of the shared corpus (TIFF, the TIFF-structured raws,
// DNG): about 2,000 reads in-process through the engine, each into a fresh record, against the same
// list of paths through one `exiftool -fast -json` and one `exiv2 -pa` run. Built a second time with
// LUMO_INFO_BENCH_BMFF as bench_bmff_info, it does the same for the box-structured files (CR3, HEIF,
// HEIC, QuickTime and MPEG-4 movies).
//
//   bench_tiff_info [corpus folder]
//   bench_bmff_info [corpus folder]
//
// The files exiftool rejects (malformed ones) are left out, so that all three read the same files; they
// read copies in a temporary folder.

#include "NRF/NRF.h"
#include "NRF/NRFImageInfo.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr std::size_t kReads = 2000;

#ifdef LUMO_INFO_BENCH_BMFF
// The malformed reproducer files ("..._poc") are left out: exiv2 crashes or hangs on several of them.
const bool kSkipReproducers = true;
const char* const kKind = "box-structured";
const char* const kExtensions[] = {".cr3", ".heic", ".hif", ".heif", ".mov", ".mp4"};
#else
const bool kSkipReproducers = false;
const char* const kKind = "TIFF-structured";
const char* const kExtensions[] = {".tif", ".tiff", ".nef", ".nrw", ".cr2", ".orf", ".erf",
                                   ".mos", ".raw",  ".rw2", ".rwl", ".pef", ".sr2", ".arw",
                                   ".srf", ".sti",  ".srw", ".iiq", ".dng"};
#endif

std::vector<std::string> corpusFiles(const std::string& corpus) {
    std::vector<std::string> files;
    for (const char* folder : {"exiftool", "exiv2"}) {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(corpus + "/" + folder, ec)) {
            std::string extension = entry.path().extension().string();
            std::transform(extension.begin(), extension.end(), extension.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            if (kSkipReproducers && entry.path().filename().string().find("_poc") != std::string::npos)
                continue;
            if (entry.is_regular_file() &&
                std::find(std::begin(kExtensions), std::end(kExtensions), extension) != std::end(kExtensions))
                files.push_back(entry.path().string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

// Runs `program` with `args` to its end, its output going to `output` and its errors to /dev/null;
// answers the exit status (-1 when it could not start).
int run(const std::string& program, const std::vector<std::string>& args, const std::string& output) {
    std::vector<std::string> text{program};
    text.insert(text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : text)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
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

// Runs `program` with `options` followed by all of `paths`, in as few invocations as the system's
// limit on the command line allows; answers the highest exit status.
int runOver(const std::string& program, const std::vector<std::string>& options,
            const std::vector<std::string>& paths, const std::string& output) {
    std::size_t environment = 0;
    for (char** e = environ; *e; ++e)
        environment += std::strlen(*e) + 1 + sizeof(char*);
    const long argMax = sysconf(_SC_ARG_MAX);
    const std::size_t limit =
        (argMax > 0 ? static_cast<std::size_t>(argMax) : std::size_t{131072}) - environment - 16384;
    auto cost = [](const std::string& arg) { return arg.size() + 1 + sizeof(char*); };
    std::size_t fixed = cost(program);
    for (const std::string& option : options)
        fixed += cost(option);

    int worst = 0;
    for (std::size_t next = 0; next < paths.size();) {
        std::vector<std::string> args = options;
        for (std::size_t used = fixed; next < paths.size() && used + cost(paths[next]) <= limit; ++next) {
            used += cost(paths[next]);
            args.push_back(paths[next]);
        }
        if (args.size() == options.size())
            return -1; // one path alone is too long
        worst = std::max(worst, run(program, args, output));
    }
    return worst;
}

// The files among `files` that exiftool reads without an error.
std::vector<std::string> readableByExiftool(const std::vector<std::string>& files,
                                            const std::string& folder) {
    // The paths go through an argument file: this run is not measured, and need not be split.
    const std::string list = folder + "/exiftool-check.args", output = folder + "/exiftool-check.json";
    {
        std::ofstream args(list);
        for (const std::string& file : files)
            args << file << '\n';
    }
    if (run("exiftool", {"-json", "-fast", "-Error", "-@", list}, output) < 0)
        return {};
    std::ifstream in(output);
    std::stringstream text;
    text << in.rdbuf();
    const nlohmann::json all = nlohmann::json::parse(text.str(), nullptr, false);
    std::vector<std::string> readable;
    if (all.is_array())
        for (const nlohmann::json& file : all)
            if (file.contains("SourceFile") && !file.contains("Error"))
                readable.push_back(file["SourceFile"].get<std::string>());
    return readable;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// One read of each path into a fresh record; answers how many failed.
int engineReads(const std::vector<std::string>& paths) {
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

} // namespace

int main(int argc, char** argv) {
    const std::string corpus = argc > 1 ? argv[1] : LUMO_CORPUS_DIR;
    std::string folder = std::filesystem::temp_directory_path().string() + "/lumo-tiff-bench-XXXXXX";
    if (!mkdtemp(folder.data()))
        return 1;
    setenv("LUMO_SETTINGS_PATH", folder.c_str(), 1); // the log stays out of the user's folders
    setenv("LUMO_CACHE_PATH", folder.c_str(), 1);
    auto cleanUp = [&] {
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    };

    const std::vector<std::string> candidates = corpusFiles(corpus);
    std::vector<std::string> files = readableByExiftool(candidates, folder);
    // All three read copies: the engine repairs a raw's IFD0 pointer in place, and the corpus is shared.
    for (std::string& file : files) {
        const std::filesystem::path from(file);
        const std::string copy =
            folder + "/" + from.parent_path().filename().string() + "-" + from.filename().string();
        std::error_code ec;
        std::filesystem::copy_file(from, copy, std::filesystem::copy_options::overwrite_existing, ec);
        if (ec) {
            std::fprintf(stderr, "cannot copy %s: %s\n", file.c_str(), ec.message().c_str());
            cleanUp();
            return 1;
        }
        file = copy;
    }
    if (files.empty()) {
        std::fprintf(stderr, "no %s file that exiftool reads in %s (is exiftool installed?)\n", kKind,
                     corpus.c_str());
        cleanUp();
        return 1;
    }
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < kReads; ++i)
        paths.push_back(files[i % files.size()]);

    if (NRFInit(std::string()) != kNRFErrNone) {
        cleanUp();
        return 1;
    }
    engineReads(files); // the files and the engine warm
    auto start = std::chrono::steady_clock::now();
    const int failed = engineReads(paths);
    const double ours = secondsSince(start);
    NRFTerminate();

    start = std::chrono::steady_clock::now();
    const int exiftoolStatus = runOver("exiftool", {"-fast", "-json"}, paths, "/dev/null");
    const double exiftool = secondsSince(start);
    start = std::chrono::steady_clock::now();
    runOver("exiv2", {"-pa"}, paths, "/dev/null"); // non-zero when some file has no metadata
    const double exiv2 = secondsSince(start);

    const double reads = static_cast<double>(paths.size());
    std::printf("%zu %s files (%zu rejected by exiftool left out), %zu reads in all:\n", files.size(), kKind,
                candidates.size() - files.size(), paths.size());
    std::printf("  lumo in-process      %8.3f s %10.0f reads/s  (%d reads failed)\n", ours, reads / ours,
                failed);
    std::printf("  exiftool -fast -json %8.3f s %10.0f reads/s  (exit status %d)\n", exiftool,
                reads / exiftool, exiftoolStatus);
    std::printf("  exiv2 -pa            %8.3f s %10.0f reads/s\n", exiv2, reads / exiv2);
    std::printf("  exiftool / lumo = %.1f, exiv2 / lumo = %.1f\n", exiftool / ours, exiv2 / ours);
    cleanUp();
    return 0;
}
