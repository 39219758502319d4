#pragma once

// What the benchmarks that compare against other programs share: the corpus's camera files, quoting
// for the shell, and timing a command.

#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

namespace lumo::bench {

// The camera files (raw kinds and JPEG) of the corpus's exiftool and exiv2 folders, sorted.
inline std::vector<std::string> cameraFiles(const std::string& corpus) {
    static const char* const kExtensions[] = {".nef", ".cr2", ".cr3", ".crw", ".dng", ".raf", ".rw2", ".orf",
                                              ".arw", ".pef", ".iiq", ".x3f", ".srw", ".jpg", ".jpeg"};
    std::vector<std::string> files;
    for (const char* sub : {"/exiftool", "/exiv2"}) {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(corpus + sub, ec)) {
            std::string ext = entry.path().extension().string();
            std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
            if (entry.is_regular_file() &&
                std::find(std::begin(kExtensions), std::end(kExtensions), ext) != std::end(kExtensions))
                files.push_back(entry.path().string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

inline std::string shellQuoted(const std::string& text) {
    std::string out = "'";
    for (const char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Seconds `command` (run by the shell, output discarded) took; negative when it failed. exiftool exits
// 1 when one of the files (the corpus holds malformed ones) could not be read: `anyStatus`.
inline double timed(const std::string& command, bool anyStatus = false) {
    const auto start = std::chrono::steady_clock::now();
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return status == 0 || (anyStatus && WIFEXITED(status) && WEXITSTATUS(status) == 1) ? seconds : -seconds;
}

} // namespace lumo::bench
