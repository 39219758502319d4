#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace lumo::test {

namespace {
std::atomic<int> g_counter{0};
std::string g_runFolder;
} // namespace

const std::string& testRunFolder() {
    return g_runFolder;
}

bool beginTestRun() {
    std::string base = "/tmp/lumo-test-XXXXXX";
    if (!mkdtemp(base.data()))
        return false;
    g_runFolder = base;
    const std::string home = g_runFolder + "/home";
    std::filesystem::create_directories(home);
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
    setenv("XDG_CACHE_HOME", (home + "/.cache").c_str(), 1);
    setenv("XDG_DATA_HOME", (home + "/.local/share").c_str(), 1);
    // The single-instance lock and socket of a desktop under test stay in the run's folder.
    const std::string runtime = g_runFolder + "/runtime";
    std::filesystem::create_directories(runtime);
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    setenv("LUMO_SETTINGS_PATH", (g_runFolder + "/settings").c_str(), 1);
    setenv("LUMO_CACHE_PATH", (g_runFolder + "/cache").c_str(), 1);
    return true;
}

void endTestRun() {
    std::error_code ec;
    std::filesystem::remove_all(g_runFolder, ec);
}

TempDir::TempDir() {
    m_path = testRunFolder() + "/t" + std::to_string(g_counter.fetch_add(1));
    std::filesystem::remove_all(m_path);
    std::filesystem::create_directories(m_path);
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

std::string TempDir::file(const std::string& name) const {
    return m_path + "/" + name;
}

std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeWholeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

SpawnArguments::SpawnArguments(const std::string& program, const std::vector<std::string>& args,
                               const std::map<std::string, std::string>& env) {
    std::map<std::string, std::string> merged;
    for (char** e = environ; *e; ++e)
        if (const char* eq = std::strchr(*e, '='))
            merged[std::string(*e, static_cast<std::size_t>(eq - *e))] = eq + 1;
    for (const auto& [k, v] : env)
        v.empty() ? void(merged.erase(k)) : void(merged[k] = v);
    for (const auto& [k, v] : merged)
        envText.push_back(k + "=" + v);
    argText.push_back(program);
    argText.insert(argText.end(), args.begin(), args.end());
    for (auto& t : argText)
        argv.push_back(t.data());
    argv.push_back(nullptr);
    for (auto& t : envText)
        envp.push_back(t.data());
    envp.push_back(nullptr);
}

ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::map<std::string, std::string>& env, const std::string& input) {
    SpawnArguments spawn(program, args, env);

    // Standard input, output and error go through files: no pipes to keep from filling up.
    TempDir io;
    const std::string in = io.file("in"), out = io.file("out"), err = io.file("err");
    writeWholeFile(in, input);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    const int rc =
        posix_spawnp(&pid, program.c_str(), &actions, nullptr, spawn.argv.data(), spawn.envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(rc));
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), readWholeFile(out),
            readWholeFile(err)};
}

bool underCI() {
    const char* ci = std::getenv("CI");
    return ci && std::string(ci) == "true";
}

std::optional<nlohmann::json> exiftoolJson(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"-json"};
    all.insert(all.end(), args.begin(), args.end());
    const ProcessResult tool = runProcess("exiftool", all);
    if (tool.exitCode == 127)
        return std::nullopt;
    nlohmann::json parsed = nlohmann::json::parse(tool.out, nullptr, false);
    if (!parsed.is_array()) {
        ADD_FAILURE() << "exiftool did not answer with JSON: " << tool.out.substr(0, 400) << tool.err;
        return nlohmann::json::array();
    }
    return parsed;
}

std::string corpusFolderOrFail() {
    const std::string corpus = corpusFolder();
    if (corpus.empty() && underCI())
        ADD_FAILURE() << "the shared corpus is missing";
    return corpus;
}

std::string corpusFolder() {
    const std::string folder = LUMO_CORPUS_DIR;
    return std::filesystem::is_directory(folder) ? std::filesystem::canonical(folder).string()
                                                 : std::string();
}

std::string le(std::uint64_t value, int width) {
    std::string out;
    for (int i = 0; i < width; ++i)
        out += static_cast<char>(value >> (8 * i));
    return out;
}

std::string be(std::uint64_t value, int width) {
    std::string out = le(value, width);
    std::reverse(out.begin(), out.end());
    return out;
}

std::vector<std::string> corpusFiles(std::initializer_list<std::string_view> extensions) {
    std::vector<std::string> files;
    const std::string corpus = corpusFolder();
    if (corpus.empty())
        return files;
    for (const char* folder : {"exiftool", "exiv2"}) {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(corpus + "/" + folder, ec)) {
            std::string extension = entry.path().extension().string();
            for (char& c : extension)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (entry.is_regular_file() &&
                std::find(extensions.begin(), extensions.end(), extension) != extensions.end())
                files.push_back(entry.path().string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<std::string> namesIn(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> filesBelow(const std::string& root) {
    namespace fs = std::filesystem;
    std::vector<std::string> files;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        if (it->is_regular_file())
            files.push_back(fs::path(it->path()).lexically_relative(root).string());
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace lumo::test
