#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace lumo::test {

// A fresh folder below the test run's temporary folder, removed with everything in it when the
// object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    // path()/name
    std::string file(const std::string& name) const;

private:
    std::string m_path;
};

// The folder every test's settings and caches live in (LUMO_SETTINGS_PATH and LUMO_CACHE_PATH point
// below it for the whole run); set up by the test main.
const std::string& testRunFolder();
// Points HOME, the XDG folders and the program's own location variables at a fresh temporary folder
// (testRunFolder()); false when it cannot be made. A test main calls it before any test runs, and
// endTestRun() after the last.
bool beginTestRun();
void endTestRun();

std::string readWholeFile(const std::string& path);

// `value` as `width` bytes, little-endian (le) or big-endian (be).
std::string le(std::uint64_t value, int width);
std::string be(std::uint64_t value, int width);
void writeWholeFile(const std::string& path, const std::string& bytes);
// The names in a folder, sorted (empty when it cannot be read).
std::vector<std::string> namesIn(const std::string& folder);
// The regular files below `root`, as paths relative to it, sorted.
std::vector<std::string> filesBelow(const std::string& root);

struct ProcessResult {
    int exitCode = -1; // the exit status, or 128 + signal when killed
    std::string out;
    std::string err;
};

// What posix_spawn takes to start `program` with `args`, in this process's environment with `env` added
// (an empty value removes the variable): the texts, and the null-ended pointer arrays into them.
struct SpawnArguments {
    SpawnArguments(const std::string& program, const std::vector<std::string>& args,
                   const std::map<std::string, std::string>& env);
    SpawnArguments(const SpawnArguments&) = delete;
    SpawnArguments& operator=(const SpawnArguments&) = delete;
    std::vector<std::string> argText, envText;
    std::vector<char*> argv, envp;
};

// Runs a program to its end with the given arguments, extra environment (added to this process's
// environment; an empty value removes the variable) and standard input; collects both outputs.
ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::map<std::string, std::string>& env = {}, const std::string& input = {});

// True under CI (CI=true): a missing corpus or reference tool is a failure there, a skip elsewhere.
bool underCI();

// exiftool's reading of files: the JSON array that `exiftool -json` prints for `args` (its options and
// the files; "-json" is added), or nullopt when exiftool is not installed. exiftool's exit status 1
// (some file rejected) still gives every file it read.
std::optional<nlohmann::json> exiftoolJson(const std::vector<std::string>& args);

// The shared corpus folder, or empty when it is not there (a test then skips; under CI it fails).
std::string corpusFolder();
// The same, recording a test failure when the folder is missing under CI (CI=true).
std::string corpusFolderOrFail();
// The files of the corpus's "exiftool" and "exiv2" folders whose extension is one of `extensions`
// (lower case, with the dot; compared without case), sorted; empty when there is no corpus.
std::vector<std::string> corpusFiles(std::initializer_list<std::string_view> extensions);

} // namespace lumo::test

// Ends the test: a failure under CI, a skip elsewhere.
#define LUMO_SKIP_OR_FAIL(why)                                                                               \
    do {                                                                                                     \
        if (::lumo::test::underCI())                                                                         \
            FAIL() << (why);                                                                                 \
        GTEST_SKIP() << (why);                                                                               \
    } while (false)
