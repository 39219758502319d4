// `lumo rename` on copies of real camera files: a raw with its JPEG and sidecar renamed together,
// the examples of --dry-run, a refused rename touching nothing, and --recover.

#include "LumoHome.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>

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
