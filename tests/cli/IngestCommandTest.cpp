// `lumo ingest`: camera files into two folders (named by the template, a second run copying nothing),
// the refusals, and a run killed at random moments that the next run finishes.

#include "LumoHome.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;
using lumo::test::filesBelow;
using lumo::test::readWholeFile;

namespace {

// A card of the corpus's camera files below DCIM; false without a corpus.
bool makeCard(const std::string& card, std::size_t copies = 1) {
    const std::vector<std::string> files = lumo::test::corpusFiles({".jpg", ".nef", ".cr2"});
    if (files.empty())
        return false;
    fs::create_directories(card + "/DCIM/100TEST");
    std::size_t n = 0;
    for (std::size_t copy = 0; copy < copies; ++copy)
        for (const std::string& file : files) {
            if (file.find("exiftool/") == std::string::npos)
                continue;
            const std::string extension = fs::path(file).extension().string();
            fs::copy_file(file, card + "/DCIM/100TEST/IMG_" + std::to_string(1000 + n++) + extension);
        }
    return n > 0;
}

} // namespace

TEST(IngestCommandTest, TwoDestinationsNamedWithTheTemplateThenNothingNew) {
    LumoHome home;
    const std::string card = home.dir.file("card");
    if (!makeCard(card))
        GTEST_SKIP() << "no corpus";
    ASSERT_EQ(home.lumo({"template", "edit", "--field", "Headline=Trip {seqn}"}).exitCode, 0);
    const std::vector<std::string> args{
        "ingest",           "--from",        card,       "--primary",   home.dir.file("p"), "--secondary",
        home.dir.file("s"), "--incremental", "--rename", "Trip_{seqn}", "--apply-template", "--json"};
    const auto first = home.lumo(args);
    ASSERT_EQ(first.exitCode, 0) << first.err;
    const auto out = nlohmann::json::parse(first.out);
    const std::size_t photos = filesBelow(card + "/DCIM").size();
    ASSERT_EQ(out["files"].size(), photos);
    for (const auto& file : out["files"]) {
        EXPECT_EQ(file["result"], "verified");
        ASSERT_EQ(file["destinations"].size(), 2u);
        EXPECT_EQ(fs::path(file["destinations"][0].get<std::string>()).filename().string().rfind("Trip_", 0),
                  0u);
        // Both copies carry the template's metadata, numbered as their names (exiftool reads it).
        for (const auto& copy : file["destinations"]) {
            const std::string path = copy.get<std::string>();
            const std::string number = fs::path(path).stem().string().substr(5);
            const auto read = lumo::test::runProcess("exiftool", {"-s3", "-Headline", path});
            if (read.exitCode == 0 && fs::path(path).extension() == ".jpg") // raw files get sidecars
                EXPECT_EQ(read.out, "Trip " + number + "\n") << path;
        }
    }
    EXPECT_TRUE(fs::exists(out["report"].get<std::string>()));
    const std::vector<std::string> copies = filesBelow(home.dir.file("p")); // with the raw files' sidecars
    EXPECT_EQ(filesBelow(home.dir.file("s")), copies);

    const auto second = nlohmann::json::parse(home.lumo(args).out);
    EXPECT_EQ(second["files"].size(), photos);
    for (const auto& file : second["files"])
        EXPECT_EQ(file["result"], "skipped");
    EXPECT_EQ(filesBelow(home.dir.file("p")), copies);
}

TEST(IngestCommandTest, Refusals) {
    LumoHome home("ingest");
    const std::string dir = home.dir.path();
    const struct {
        std::vector<std::string> args;
        const char* says;
    } cases[] = {
        {{"--from", dir, "--primary", dir + "/p", "--secondary", dir + "/p/"}, "are the same"},
        {{"--primary", dir + "/p"}, "No source folders selected."},
        {{"--from", dir, "--from", dir + "/b", "--primary", dir + "/p"},
         "When ingesting more than one folder"},
        {{"--from", dir, "--primary", dir + "/p", "--rename", "same"}, "exact same name"},
        {{"--card", "/dev/nothing-here", "--primary", dir + "/p"}, "no mounted volume"},
    };
    for (const auto& c : cases) {
        const auto r = home.lumo(c.args);
        EXPECT_EQ(r.exitCode, 2) << c.says;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
}

// Killed (SIGKILL) at random moments and run again each time, the ingest ends with every file present
// once in both destinations, verified, and no temporary file left.
TEST(IngestCommandTest, KilledAtRandomAndRunAgainFinishes) {
    LumoHome home;
    const std::string card = home.dir.file("card");
    if (!makeCard(card, 4))
        GTEST_SKIP() << "no corpus";
    const std::vector<std::string> args{
        LUMO_BINARY,   "ingest",           "--from",        card,     "--primary", home.dir.file("p"),
        "--secondary", home.dir.file("s"), "--incremental", "--quiet"};
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e)
        environment.emplace_back(*e);
    for (const auto& [name, value] : home.env)
        environment.push_back(name + "=" + value);
    const auto spawn = [&] {
        std::vector<char*> argv, envp;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        for (const std::string& e : environment)
            envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        pid_t pid = -1;
        EXPECT_EQ(::posix_spawn(&pid, LUMO_BINARY, nullptr, nullptr, argv.data(), envp.data()), 0);
        return pid;
    };
    std::mt19937 random(std::random_device{}());
    int killedMidway = 0;
    for (int round = 0; round < 10; ++round) {
        const pid_t pid = spawn();
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 1500));
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        killedMidway += WIFSIGNALED(status) ? 1 : 0;
    }
    const auto last = home.lumo(std::vector<std::string>(args.begin() + 1, args.end()));
    ASSERT_EQ(last.exitCode, 0) << last.err;
    std::printf("[ measure  ] %d of 10 runs were killed before they ended\n", killedMidway);

    const std::vector<std::string> sources = filesBelow(card + "/DCIM/100TEST");
    for (const char* destination : {"p", "s"}) {
        const std::string root = home.dir.file(destination);
        EXPECT_EQ(filesBelow(root), sources) << destination; // each once, no temporary left
        for (const std::string& name : sources)
            EXPECT_EQ(readWholeFile(root + "/" + name), readWholeFile(card + "/DCIM/100TEST/" + name))
                << name;
    }
}
