// `lumo type` over the real files of the shared corpus and over files made here.

#include "LumoHome.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>

using lumo::test::ProcessResult;
using lumo::test::runProcess;
using lumo::test::TempDir;
using lumo::test::writeWholeFile;

TEST(TypeCommand, CorpusFilesGetTheirCodes) {
    const std::string corpus = lumo::test::corpusFolderOrFail();
    if (corpus.empty())
        GTEST_SKIP() << "no shared corpus";
    const std::pair<const char*, const char*> expected[] = {
        {"Nikon.nef", "NNEF"},     {"CanonRaw.cr2", "CCR2"},   {"CanonRaw.cr3", "CCR3"},
        {"CanonRaw.crw", "CCRW"},  {"DNG.dng", "ADNG"},        {"PhaseOne.iiq", "P1IQ"},
        {"Panasonic.rw2", "PRW2"}, {"FujiFilm.raf", "FRAF"},   {"Sigma.x3f", "FX3F"},
        {"QuickTime.mov", "MooV"}, {"QuickTime.heic", "HEIC"}, {"ExifTool.jpg", "JPEG"},
        {"ExifTool.tif", "TIFF"}};
    LumoHome t("type");
    std::vector<std::string> args;
    std::string lines;
    for (const auto& [name, code] : expected) {
        args.push_back(corpus + "/exiftool/" + name);
        lines += std::string(code) + "\t" + args.back() + "\n";
    }
    const ProcessResult r = t.lumo(args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, lines);

    const ProcessResult json = t.lumo({"--json", corpus + "/exiftool/QuickTime.mov"});
    ASSERT_EQ(json.exitCode, 0) << json.err;
    const auto parsed = nlohmann::json::parse(json.out);
    ASSERT_EQ(parsed.size(), 1u);
    EXPECT_EQ(parsed[0]["type"], "MooV");
    EXPECT_EQ(parsed[0]["typeDescription"], "QuickTime Movie");
    EXPECT_EQ(parsed[0]["mediaKind"], "video");
    EXPECT_EQ(parsed[0]["path"], corpus + "/exiftool/QuickTime.mov");
}

TEST(TypeCommand, UnknownFilesAndTheProxy) {
    LumoHome t("type");
    const std::string text = t.dir.file("notes.txt"), work = t.dir.file(".lumoingest.dat");
    writeWholeFile(text, "just words\n");
    writeWholeFile(work, "data");
    ProcessResult r = t.lumo({text});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "????\t" + text + "\n");
    r = t.lumo({"--proxy", text});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "PRXY\t" + text + "\n");
    r = t.lumo({"--proxy", work});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "????\t" + work + "\n");
    EXPECT_EQ(r.err, "lumo: " + work + ": Not an image, raw or movie file that lumo reads\n");
    r = t.lumo({"--json", text});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(nlohmann::json::parse(r.out)[0],
              (nlohmann::json{{"path", text},
                              {"result", 2},
                              {"error", "Not an image, raw or movie file that lumo reads"}}));
    EXPECT_EQ(t.lumo({}).exitCode, 2);
}

TEST(TypeCommand, EveryCorpusFileIsTypedWithoutACrash) {
    const std::string corpus = lumo::test::corpusFolderOrFail();
    if (corpus.empty())
        GTEST_SKIP() << "no shared corpus";
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(corpus))
        if (entry.is_regular_file())
            files.push_back(entry.path().string());
    ASSERT_FALSE(files.empty());
    LumoHome t("type");
    files.insert(files.begin(), "--proxy");
    const ProcessResult r = t.lumo(files);
    EXPECT_LE(r.exitCode, 1) << r.err;
    std::size_t lines = 0;
    for (char c : r.out)
        lines += c == '\n';
    EXPECT_EQ(lines, files.size() - 1);
}
