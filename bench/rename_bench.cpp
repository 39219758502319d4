// Renames 2,000 copies of the corpus's camera files with `lumo rename --template "ren_{seqn}"` (every
// photo opened, its companions and sidecars found, two passes through temporary names, the journal
// written and removed) against a shell loop of `mv` over the same names, and `mmv` when it is
// installed, and prints the times. Not a test: run it by hand on a release build.

#include "BenchSupport.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using lumo::bench::shellQuoted;
using lumo::bench::timed;

namespace {

constexpr int kFiles = 2000;

// The folder filled with kFiles copies named IMG_0000.EXT ...; the list of the names.
std::vector<std::string> fill(const std::string& folder, const std::vector<std::string>& corpus) {
    fs::create_directories(folder);
    std::vector<std::string> names;
    for (int i = 0; i < kFiles; ++i) {
        const fs::path from = corpus[static_cast<std::size_t>(i) % corpus.size()];
        char name[32];
        std::snprintf(name, sizeof name, "IMG_%04d", i);
        names.push_back(name + from.extension().string());
        fs::copy_file(from, folder + "/" + names.back());
    }
    return names;
}

} // namespace

int main() {
    std::string base = fs::temp_directory_path().string() + "/lumo-rename-bench-XXXXXX";
    if (!::mkdtemp(base.data()))
        return 1;
    ::setenv("LUMO_SETTINGS_PATH", (base + "/settings").c_str(), 1);
    ::setenv("LUMO_CACHE_PATH", (base + "/cache").c_str(), 1);
    std::vector<std::string> corpus;
    for (const std::string& file : lumo::bench::cameraFiles(LUMO_CORPUS_DIR))
        if (fs::path(file).extension() == ".jpg" || fs::path(file).extension() == ".JPG")
            corpus.push_back(file);
    if (corpus.empty()) {
        std::fprintf(stderr, "no corpus files\n");
        return 1;
    }

    const std::string viaLumo = base + "/lumo", viaMv = base + "/mv", viaMmv = base + "/mmv";
    const std::vector<std::string> names = fill(viaLumo, corpus);
    fill(viaMv, corpus);

    std::string command = shellQuoted(LUMO_BINARY) + " rename --quiet --template 'ren_{seqn}'";
    std::string loop = "cd " + shellQuoted(viaMv) +
                       " && n=0; for f in *; do n=$((n+1)); mv -n \"$f\" \"ren_$n.${f##*.}\"; done";
    for (const std::string& name : names)
        command += " " + shellQuoted(viaLumo + "/" + name);
    const double lumo = timed(command, true); // 1: a malformed corpus file was reported and left
    const double mv = timed("sh -c " + shellQuoted(loop));
    std::printf("rename %d files: lumo %.2f s, shell loop of mv %.2f s (ratio %.2f)\n", kFiles, lumo, mv,
                mv > 0 ? lumo / mv : 0.0);
    if (std::system("command -v mmv >/dev/null 2>&1") == 0) {
        fill(viaMmv, corpus);
        const double mmv = timed("cd " + shellQuoted(viaMmv) + " && mmv 'IMG_*.*' 'ren_#1.#2'");
        std::printf("mmv %.2f s\n", mmv);
    }
    fs::remove_all(base);
    return lumo < 0 || mv < 0 ? 1 : 0;
}
