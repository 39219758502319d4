// The lumo program as a user runs it: a real process with its own settings and cache folders.

#include "LumoHome.h"
#include "support/JpegBuilder.h"
#include "support/TextUtils.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <filesystem>
#include <regex>
#include <string>

using lumo::test::ProcessResult;
using lumo::test::readWholeFile;
using lumo::test::runProcess;
using lumo::test::TempDir;
using lumo::test::writeWholeFile;

namespace {

constexpr std::uint64_t kTenMiB = 0xA00000;

const std::regex
    kLogLine(R"(^\[(Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-)"
             R"(\d{2}-\d{4} \d{2}:\d{2}:\d{2}\.\d{3}\]\[[0-9a-f]{8}\]\[\d{7,}\] (.*)$)");

std::vector<std::string> lines(const std::string& text) {
    const auto views = lumo::splitLines(text);
    return {views.begin(), views.end()};
}

// The messages of the log's lines, after the header.
std::vector<std::string> messages(const std::string& log) {
    std::vector<std::string> out;
    std::smatch m;
    for (const auto& line : lines(log))
        if (std::regex_match(line, m, kLogLine))
            out.push_back(m[3]);
    return out;
}

// Every key of a JSON output is camelCase (the keys of `dataKeys` objects are the user's names), and
// an object that carries "error" is a failure: the path where a file failed, the result and the
// sentence, nothing else.
void expectJsonStyle(const nlohmann::json& value, const std::string& where) {
    static const std::regex camelCase("[a-z][A-Za-z0-9]*");
    if (value.is_array()) {
        for (const auto& element : value)
            expectJsonStyle(element, where);
        return;
    }
    if (!value.is_object())
        return;
    if (value.contains("error")) {
        EXPECT_TRUE(value["error"].is_string()) << where << ": " << value;
        EXPECT_TRUE(value.contains("result") && value["result"].is_number_unsigned())
            << where << ": " << value;
        for (const auto& [key, member] : value.items())
            EXPECT_TRUE(key == "path" || key == "result" || key == "error") << where << ": " << value;
    }
    for (const auto& [key, member] : value.items()) {
        EXPECT_TRUE(std::regex_match(key, camelCase)) << where << ": " << key;
        if (key != "debugFlagValues")
            expectJsonStyle(member, where);
    }
}

} // namespace

TEST(LumoCommand, EveryJsonOutputIsCamelCaseWithOneFailureShape) {
    LumoHome home;
    const std::string photo = home.dir.file("photo.jpg"), missing = home.dir.file("missing.jpg");
    const std::string out = home.dir.file("out");
    writeWholeFile(photo, lumo::test::encodeJpeg(32, 24));
    // A named pipe where a photo belongs fails like any unreadable file, without waiting for a writer.
    const std::string pipe = home.dir.file("pipe.jpg");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    const std::vector<std::vector<std::string>> runs = {
        {"paths"},
        {"prefs", "check"},
        {"prefs", "get", "NoSuchPreference"},
        {"type", photo, missing},
        {"info", photo, missing, pipe},
        {"preview", "--dir", out, photo, missing},
        {"thumb", "--size", "16", "--dir", out, photo, missing},
        {"rotate", "--cw", photo, missing, pipe},
        {"crop", "--rect", "0,0,1,1", photo, missing},
        {"copy", "--to", out, photo, missing},
        {"saveas", "--to", out, "--box", "16", photo, pipe},
        {"rename", "--template", "{filenamebase}_{seqn}", "--dry-run", photo},
        {"template", "show"},
        {"catalog", "ping"},
        {"cache", "status"},
        {"cache", "clear", "--thumbs"},
        {"cache", "purge-sort"},
    };
    for (std::vector<std::string> args : runs) {
        const std::string where = args[0] + (args.size() > 1 ? " " + args[1] : "");
        args.insert(args.begin(), "--json");
        const ProcessResult r = home.lumo(args);
        EXPECT_TRUE(r.exitCode == 0 || r.exitCode == 1) << where << ": " << r.exitCode << r.err;
        const nlohmann::json parsed = nlohmann::json::parse(r.out, nullptr, false);
        ASSERT_FALSE(parsed.is_discarded()) << where << ": " << r.out;
        expectJsonStyle(parsed, where);
        if (r.exitCode == 1)
            EXPECT_NE(r.out.find("\"error\""), std::string::npos) << where << ": " << r.out;
    }
    // A preference that is not there is a failure object, told on stderr as well.
    const ProcessResult r = home.lumo({"--json", "prefs", "get", "NoSuchPreference"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(nlohmann::json::parse(r.out),
              (nlohmann::json{{"result", 1}, {"error", "no preference named \"NoSuchPreference\""}}));
    EXPECT_EQ(r.err, "lumo: no preference named \"NoSuchPreference\"\n");
}

TEST(LumoCommand, VersionAndBadUsage) {
    LumoHome home;
    const ProcessResult r = home.lumo({"--version"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(
        std::regex_match(r.out, std::regex(R"(Lumograph Plus version 6\.0\.0\.0 build \d+ \([0-9a-z]+\)\n)")))
        << r.out;
    EXPECT_FALSE(std::filesystem::exists(home.cache + "/Lumo.log")); // --version starts nothing

    EXPECT_EQ(home.lumo({"--help"}).out.rfind("Lumograph Plus: ", 0), 0u); // one name for the program

    // A word that names no command is named, with the command most likely meant.
    const struct {
        std::vector<std::string> args;
        const char* said;
    } bad[] = {
        {{}, "lumo: give a command: paths, prefs, "},
        {{"frob"}, "lumo: \"frob\" is not a lumo command; did you mean \"crop\"? (lumo help lists them)"},
        {{"--json", "rot", "--cw", "x.jpg"}, "\"rot\" is not a lumo command; did you mean \"rotate\"?"},
        {{"--settings", "prefs", "prefs", "lst"},
         "\"lst\" is not a command of lumo prefs; did you mean \"list\"?"},
        {{"prefs"}, "lumo: give a command after prefs: list, get, set, delete, keys, check"},
        {{"help", "prefs", "frob"}, "\"frob\" is not a command of lumo prefs"},
        {{"paths", "--no-such-option"},
         "lumo: The following argument was not expected: --no-such-option\n"
         "Run \"lumo help paths\" for the options."},
        {{"paths", "--yes", "--no-input"}, "lumo: give --yes or --no-input, not both"},
        {{"completion", "zsh"}, "completion is made for bash only"},
    };
    for (const auto& c : bad) {
        const ProcessResult r = home.lumo(c.args);
        EXPECT_EQ(r.exitCode, 2) << c.said;
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
    }
}

// Every command's help, reached through `lumo help`, shows the common options and names its values.
TEST(LumoCommand, EveryCommandsHelpShowsTheCommonOptions) {
    LumoHome home;
    std::vector<std::vector<std::string>> paths = {{}};
    for (std::size_t next = 0; next < paths.size(); ++next) {
        std::vector<std::string> args = {"help"};
        args.insert(args.end(), paths[next].begin(), paths[next].end());
        const ProcessResult r = home.lumo(args);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        std::string usage = "Usage: lumo";
        for (const std::string& word : paths[next])
            usage += " " + word;
        EXPECT_NE(r.out.find(usage + " [OPTIONS]"), std::string::npos) << r.out;
        for (const char* common :
             {"  --json ", "  -y,--yes ", "  --no-input ", "  -q,--quiet ", "  --settings DIR "})
            EXPECT_NE(r.out.find(common), std::string::npos) << usage << " lacks " << common;
        EXPECT_EQ(r.out.find(" TEXT"), std::string::npos) << r.out;
        // The commands below this one, one a line under "Subcommands:".
        const std::size_t list = r.out.find("Subcommands:\n");
        if (list == std::string::npos)
            continue;
        for (const auto& line : lines(r.out.substr(list + 13))) {
            if (line.size() < 3 || line[2] == ' ')
                break;
            std::vector<std::string> sub = paths[next];
            sub.push_back(line.substr(2, line.find(' ', 2) - 2));
            if (sub.front() != "help")
                paths.push_back(sub);
        }
    }
    EXPECT_GE(paths.size(), 17u);
    EXPECT_EQ(home.lumo({"rotate", "--help"}).out, home.lumo({"help", "rotate"}).out);
}

TEST(LumoCommand, BashCompletionComesFromTheCommandDefinitions) {
    LumoHome home;
    const ProcessResult script = home.lumo({"completion", "bash"});
    ASSERT_EQ(script.exitCode, 0) << script.err;
    writeWholeFile(home.dir.file("lumo.bash"), script.out);
    std::filesystem::create_directories(home.dir.file("work/pics"));
    writeWholeFile(home.dir.file("work/photo.jpg"), "");
    // Each case: the words typed so far, the last one being completed, and what is offered.
    const std::string cases = R"(t lumo pr
t lumo --json prefs set SortCache
t lumo thumb --dir p
t lumo thumb --size 5 ph
t lumo rotate --18
t lumo help ro
)";
    std::string all =
        "cd '" + home.dir.file("work") + "' && source '" + home.dir.file("lumo.bash") +
        "' && t() { COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); _lumo; echo \"${COMPREPLY[*]}\"; }";
    for (const auto& line : lines(cases))
        all += "; " + line;
    const ProcessResult offered = runProcess("bash", {"-c", all});
    ASSERT_EQ(offered.exitCode, 0) << offered.err;
    EXPECT_EQ(offered.out,
              "prefs preview\nSortCacheCheckDate SortCacheDays\npics\nphoto.jpg\n--180\nrotate\n");
}

TEST(LumoCommand, PathsWithStartupLoggingWritesTheHeaderAndTheSteps) {
    LumoHome home;
    writeWholeFile(home.settings + "/LumoDebug.txt", "STARTUP_LOGGING yes\nPERCEPTUAL_HASH_DISTANCE 12\n");
    const ProcessResult r = home.lumo({"paths"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Settings folder:   " + home.settings + "\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Cache folder:      " + home.cache + "\n"), std::string::npos);
    EXPECT_NE(r.out.find("Log file:          " + home.cache + "/Lumo.log\n"), std::string::npos);
    EXPECT_NE(r.out.find("Debug flags file:  " + home.settings + "/LumoDebug.txt\n"), std::string::npos);
    EXPECT_NE(r.out.find("Debug flags on:    STARTUP_LOGGING\n"), std::string::npos);
    EXPECT_NE(r.out.find("PERCEPTUAL_HASH_DISTANCE = 12"), std::string::npos);

    const auto logLines = lines(home.log());
    ASSERT_GE(logLines.size(), 7u);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(logLines[i], std::string(80, '*'));
    EXPECT_TRUE(
        std::regex_match(logLines[5], std::regex(R"(Lumograph Plus version 6\.0\.0\.0 build \d+ \(.+\))")));
    for (std::size_t i = 6; i < logLines.size(); ++i)
        EXPECT_TRUE(std::regex_match(logLines[i], kLogLine)) << logLines[i];

    std::vector<std::string> steps;
    for (const auto& m : messages(home.log()))
        if (std::regex_match(
                m,
                std::regex(
                    R"(LumoApp\.cpp:\d+ (Initializing Instance|setlocale\(\)|Initializing Instance complete))")))
            steps.push_back(m.substr(m.find(' ') + 1));
    EXPECT_EQ(steps, (std::vector<std::string>{"Initializing Instance", "setlocale()",
                                               "Initializing Instance complete"}));
}

TEST(LumoCommand, PathsWithCommentedFlagLogsNoStepAndPausesWithoutATerminal) {
    LumoHome home;
    writeWholeFile(home.settings + "/LumoDebug.txt", "// STARTUP_LOGGING yes\nSTARTUP_PAUSING on\n");
    const ProcessResult r = home.lumo({"paths", "--json"});
    // Standard input is not a terminal: each pause is shown on stderr and goes on by itself. The
    // environment is exported before the preferences start the first thread.
    EXPECT_NE(r.err.find("Initializing Instance\nDynPlatform::setup_dyn_platform_environment()\n"
                         "CPreferences::GetPreferences\n"),
              std::string::npos)
        << r.err;
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto json = nlohmann::json::parse(r.out);
    EXPECT_EQ(json["settingsFolder"], home.settings);
    EXPECT_EQ(json["cacheFolder"], home.cache);
    EXPECT_EQ(json["logFile"], home.cache + "/Lumo.log");
    EXPECT_EQ(json["debugFlagsFile"], home.settings + "/LumoDebug.txt");
    EXPECT_EQ(json["debugFlagsOn"], nlohmann::json::array({"STARTUP_PAUSING"}));
    for (const auto& m : messages(home.log()))
        EXPECT_EQ(m.find("Initializing Instance"), std::string::npos) << m;
}

TEST(LumoCommand, WhereThingsLive) {
    LumoHome home;
    const std::string settings = home.dir.file("other/settings"), cache = home.dir.file("other/cache");
    ProcessResult r = home.lumo({"--settings", settings, "paths", "--cache", cache, "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto json = nlohmann::json::parse(r.out);
    EXPECT_EQ(json["settingsFolder"], settings); // the options beat the environment
    EXPECT_EQ(json["cacheFolder"], cache);
    EXPECT_TRUE(std::filesystem::exists(cache + "/Lumo.log")); // created on first need
    EXPECT_FALSE(std::filesystem::exists(home.cache + "/Lumo.log"));

    const std::string config = home.dir.file("xdg-config"), cacheHome = home.dir.file("xdg-cache");
    r = runProcess(LUMO_BINARY, {"paths", "--json"},
                   {{"LUMO_SETTINGS_PATH", ""},
                    {"LUMO_CACHE_PATH", ""},
                    {"XDG_CONFIG_HOME", config},
                    {"XDG_CACHE_HOME", cacheHome}});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    json = nlohmann::json::parse(r.out);
    EXPECT_EQ(json["settingsFolder"], config + "/Kestrel Labs, Inc/Lumograph");
    EXPECT_EQ(json["cacheFolder"], cacheHome + "/Lumograph");
}

TEST(LumoCommand, OversizedLogIsCutToItsLastTenMiBAtTheFirstWrite) {
    for (const std::uint64_t size : {kTenMiB + 1, kTenMiB}) {
        SCOPED_TRACE(size);
        LumoHome home;
        std::string old(size, '\0');
        for (std::uint64_t i = 0; i < size; ++i)
            old[i] = static_cast<char>('a' + i % 23);
        old.back() = '\n';
        writeWholeFile(home.cache + "/Lumo.log", old);

        ASSERT_EQ(home.lumo({"paths"}).exitCode, 0);
        const std::string log = home.log();
        const std::string kept = size > kTenMiB ? old.substr(size - kTenMiB) : old;
        ASSERT_GT(log.size(), kept.size());
        EXPECT_TRUE(log.compare(0, kept.size(), kept) == 0);
        EXPECT_EQ(log.compare(kept.size(), 80, std::string(80, '*')), 0);
        for (const auto& entry : std::filesystem::directory_iterator(home.cache))
            EXPECT_FALSE(entry.path().filename().string().starts_with("log_")) << entry.path();
    }
}
