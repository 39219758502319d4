// `lumo rename` on copies of real camera files: a raw with its JPEG and sidecar renamed together,
// the examples of --dry-run, a refused rename touching nothing, and --recover.

#include "LumoHome.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <set>

#include <sys/wait.h>
#include <unistd.h>

using lumo::test::namesIn;
using lumo::test::readWholeFile;
using lumo::test::writeWholeFile;

TEST(RenameCommand, CameraFilesWithCompanionsAndSidecars) {
    const std::string corpus = lumo::test::corpusFolder();
    if (corpus.empty())
        GTEST_SKIP() << "no corpus";
    LumoHome home("rename");
    const std::string folder = home.dir.file("photos");
    std::filesystem::create_directories(folder);
    writeWholeFile(folder + "/DSC_1.NEF", readWholeFile(corpus + "/exiftool/Nikon.nef"));
    writeWholeFile(folder + "/DSC_1.JPG", readWholeFile(corpus + "/exiftool/Canon.jpg"));
    writeWholeFile(folder + "/DSC_1.XMP", "<x:xmpmeta xmlns:x='adobe:ns:meta/'/>");
    writeWholeFile(folder + "/Apple.jpg", readWholeFile(corpus + "/exiftool/Apple.jpg"));
    const std::vector<std::string> files = {folder + "/Apple.jpg", folder + "/DSC_1.NEF"};
    const auto with = [&](std::vector<std::string> args) {
        args.insert(args.begin(), files.begin(), files.end());
        return args;
    };

    auto r = home.lumo(with({"--template", "{datesort}_{seqn}", "--start", "5", "--dry-run"}));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "2 photos to rename:\n1.  \"Apple.jpg\" will become \"20160928_005.jpg\"\n"
                     "2.  \"DSC_1.NEF\" will become \"20040609_006.NEF\"\nseqn = 5\n");
    const auto before = namesIn(folder);

    r = home.lumo(with({"--template", "same", "--dry-run"}));
    EXPECT_EQ(r.exitCode, 1); // the camera's JPEG and Apple.jpg would meet
    EXPECT_NE(r.out.find("Please sequence or use another renaming variable."), std::string::npos) << r.out;
    r = home.lumo(with({"--template", "{headline}"}));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("Error: Renamed file name is empty."), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Renaming error:"), r.err.rfind("Renaming error:")) << r.err; // told once
    EXPECT_EQ(namesIn(folder), before);

    r = home.lumo(with({"--json", "--template", "{datesort}_{seqn}", "--start", "5"}));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(nlohmann::json::parse(r.out)["renamed"].size(), 4u);
    EXPECT_EQ(namesIn(folder), (std::vector<std::string>{"20040609_006.JPG", "20040609_006.NEF",
                                                         "20040609_006.XMP", "20160928_005.jpg"}));

    r = home.lumo({"--recover", folder});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "0 files restored in " + folder + "\n");
    EXPECT_EQ(home.lumo({"DSC_1.NEF"}).exitCode, 2); // no template
}

// The acceptance check: a rename of camera files with RAW+JPEG pairs and sidecars, killed (SIGKILL) in
// its second pass, then run again: every file is there once, under its new name with its companions, and
// no temporary name or journal is left.
TEST(RenameCommand, KilledInTheSecondPassAndRunAgain) {
    const std::string corpus = lumo::test::corpusFolder();
    if (corpus.empty())
        GTEST_SKIP() << "no corpus";
    LumoHome home("rename");
    const std::string folder = home.dir.file("card");
    std::filesystem::create_directories(folder);
    const std::vector<std::pair<std::string, std::string>> files = {
        {"DSC_1.NEF", "Nikon.nef"},    {"DSC_1.JPG", "Nikon.jpg"}, {"DSC_1.XMP", "XMP.xmp"},
        {"IMG_2.CR2", "CanonRaw.cr2"}, {"IMG_2.JPG", "Canon.jpg"}, {"F_3.RAF", "FujiFilm.raf"},
        {"F_3.JPG", "FujiFilm.jpg"},   {"F_3.xmp", "XMP2.xmp"},    {"A_4.jpg", "Apple.jpg"},
        {"O_5.jpg", "Olympus.jpg"},    {"P_6.JPG", "Pentax.jpg"},  {"S_7.JPG", "Sony.jpg"}};
    std::multiset<std::string> contents;
    for (const auto& [name, source] : files) {
        writeWholeFile(folder + "/" + name, readWholeFile(corpus + "/exiftool/" + source));
        contents.insert(readWholeFile(folder + "/" + name));
    }
    std::vector<std::string> args;
    for (const char* photo :
         {"DSC_1.NEF", "IMG_2.CR2", "F_3.RAF", "A_4.jpg", "O_5.jpg", "P_6.JPG", "S_7.JPG"})
        args.push_back(folder + "/" + photo);
    args.insert(args.end(), {"--template", "{datesort}_{seqn}"});
    const auto contentsNow = [&] {
        std::multiset<std::string> now;
        for (const std::string& name : namesIn(folder))
            if (name != ".lumo-rename-journal")
                now.insert(readWholeFile(folder + "/" + name));
        return now;
    };

    const std::string paused = home.dir.file("paused");
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        for (const auto& [name, value] : home.env)
            ::setenv(name.c_str(), value.c_str(), 1);
        ::setenv("LUMO_TEST_RENAME_PAUSE_AFTER", "3", 1);
        ::setenv("LUMO_TEST_RENAME_PAUSE_FILE", paused.c_str(), 1);
        std::vector<std::string> all = {LUMO_BINARY, "rename"};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& arg : all)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        ::execv(LUMO_BINARY, argv.data());
        ::_exit(127);
    }
    for (int i = 0; i < 600 && !std::filesystem::exists(paused); ++i)
        ::usleep(100000);
    const bool reachedPass2 = std::filesystem::exists(paused);
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(reachedPass2);
    ASSERT_TRUE(WIFSIGNALED(status));
    const auto killed = namesIn(folder);
    EXPECT_NE(std::count_if(killed.begin(), killed.end(),
                            [](const std::string& n) { return n.rfind("_###_TMP_", 0) == 0; }),
              0);
    EXPECT_EQ(contentsNow(), contents); // nothing lost, nothing doubled

    const auto r = home.lumo(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto names = namesIn(folder);
    EXPECT_EQ(names.size(), files.size());
    std::set<std::string> stems;
    for (const std::string& name : names) {
        EXPECT_EQ(name.find("_###_TMP_"), std::string::npos) << name;
        EXPECT_NE(name, ".lumo-rename-journal");
        stems.insert(name.substr(0, name.rfind('.')));
    }
    EXPECT_EQ(stems.size(), 7u); // each photo's files share its new name
    EXPECT_EQ(contentsNow(), contents);
    EXPECT_NE(home.log().find("Rename recovery: '" + folder + "/'"), std::string::npos);
}
