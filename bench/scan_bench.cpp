// lumo scan of a folder of camera files, sorted by capture time: cold (an empty sort cache, and the
// disk cache dropped when this process may drop it) and warm, against exiftool reading the same dates
// and `ls -l` as the floor. Not a test: run it by hand on a release build.
//
//   bench_scan [COUNT] [FOLDER]     (COUNT defaults to 2000; FOLDER to a fresh temporary folder)
//
// The folder is filled with the corpus's camera files repeated under names of their own (hard links
// where the file system allows, else copies).

#include "BenchSupport.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

using lumo::bench::cameraFiles;
using lumo::bench::shellQuoted;
using lumo::bench::timed;

namespace {

bool dropDiskCache() {
    ::sync();
    std::ofstream drop("/proc/sys/vm/drop_caches");
    if (!drop)
        return false;
    drop << "3\n";
    return static_cast<bool>(drop.flush());
}

} // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 2000;
    std::string folder = argc > 2 ? argv[2] : "";
    const std::vector<std::string> sources = cameraFiles(LUMO_CORPUS_DIR);
    if (sources.empty() || count <= 0) {
        std::fprintf(stderr, "bench_scan: no camera files in %s\n", LUMO_CORPUS_DIR);
        return 1;
    }
    char work[] = "/tmp/lumo-scan-bench-XXXXXX";
    if (!::mkdtemp(work))
        return 1;
    if (folder.empty())
        folder = std::string(work) + "/photos";
    fs::create_directories(folder);
    int linked = 0;
    for (int i = 0; i < count; ++i) {
        const std::string& source = sources[static_cast<std::size_t>(i) % sources.size()];
        char name[64];
        std::snprintf(name, sizeof name, "/P%05d", i);
        const std::string target = folder + name + fs::path(source).extension().string();
        if (fs::exists(target))
            continue;
        if (::link(source.c_str(), target.c_str()) == 0)
            ++linked;
        else
            fs::copy_file(source, target);
    }
    std::printf("folder: %s (%d camera files from %zu corpus files, %d hard links)\n", folder.c_str(), count,
                sources.size(), linked);

    const std::string home = std::string(work) + "/home";
    fs::create_directories(home + "/settings");
    const std::string env = "LUMO_SETTINGS_PATH=" + shellQuoted(home + "/settings") +
                            " LUMO_CACHE_PATH=" + shellQuoted(home + "/cache") + " ";
    const std::string scan = env + shellQuoted(LUMO_BINARY) + " scan --sort capture " + shellQuoted(folder);

    fs::remove_all(home + "/cache");
    const bool dropped = dropDiskCache();
    const double cold = timed(scan);
    const double warm = timed(scan);
    const double warm2 = timed(scan);
    dropDiskCache();
    const double exiftool = timed("exiftool -fast -csv -DateTimeOriginal " + shellQuoted(folder), true);
    const double exiftoolWarm = timed("exiftool -fast -csv -DateTimeOriginal " + shellQuoted(folder), true);
    const double ls = timed("ls -l " + shellQuoted(folder));

    const auto line = [&](const char* what, double seconds) {
        if (seconds < 0)
            std::printf("%-38s failed after %.3f s\n", what, -seconds);
        else
            std::printf("%-38s %8.3f s   %6.1fx ls -l\n", what, seconds, ls > 0 ? seconds / ls : 0.0);
    };
    line("lumo scan --sort capture (cold)", cold);
    line("lumo scan --sort capture (warm)", std::min(warm, warm2));
    line("exiftool -fast -csv (disk cache cold)", exiftool);
    line("exiftool -fast -csv (warm)", exiftoolWarm);
    line("ls -l", ls);
    if (warm > 0 && exiftoolWarm > 0)
        std::printf("warm lumo scan is %.1fx faster than warm exiftool\n",
                    exiftoolWarm / std::min(warm, warm2));
    if (!dropped)
        std::printf(
            "note: the disk cache could not be dropped (needs root: echo 3 > /proc/sys/vm/drop_caches); "
            "\"cold\" means an empty sort cache only\n");
    if (argc <= 2)
        fs::remove_all(work);
    return 0;
}
