// `lumo type` over the real files of the shared corpus and over files made here.

#include "LumoHome.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

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
    EXPECT_EQ(r.err, "lumo: " + work + ": one of lumo's own work files\n");
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

TEST(TypeCommand, TheContentDecidesAsForInfoAndFilesThatCannotBeReadFail) {
    const std::string corpus = lumo::test::corpusFolderOrFail();
    if (corpus.empty())
        GTEST_SKIP() << "no shared corpus";
    LumoHome t;
    const std::string mixed = t.dir.file("mixed");
    std::filesystem::create_directories(mixed + "/folder.jpg");
    std::filesystem::copy_file(corpus + "/exiftool/Nikon.nef", mixed + "/renamed.jpg");
    std::filesystem::copy_file(corpus + "/exiftool/PNG.png", mixed + "/b.png");
    std::filesystem::copy_file(corpus + "/exiftool/ExifTool.jpg", mixed + "/folder.jpg/c.jpg");
    writeWholeFile(mixed + "/notes.jpg", "just words\n");
    const std::string missing = t.dir.file("missing.jpg");

    const ProcessResult r = t.lumo({"type", mixed, missing});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "PNGf\t" + mixed + "/b.png\n????\t" + mixed + "/notes.jpg\nTIFF\t" + mixed +
                         "/renamed.jpg\n????\t" + missing + "\n");
    EXPECT_NE(r.err.find("lumo: " + missing + ": No such file\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("lumo: " + mixed + "/notes.jpg: "), std::string::npos) << r.err;

    // lumo info says the same of every file: the type when it reads the file, a failure when not.
    const auto info = nlohmann::json::parse(t.lumo({"--json", "info", mixed, missing}).out);
    const auto type = nlohmann::json::parse(t.lumo({"--json", "type", mixed, missing}).out);
    ASSERT_EQ(info.size(), type.size());
    for (std::size_t i = 0; i < info.size(); ++i) {
        EXPECT_EQ(info[i]["path"], type[i]["path"]);
        EXPECT_EQ(info[i].value("result", 0), type[i].value("result", 0)) << info[i]["path"];
        if (!info[i].contains("result"))
            EXPECT_EQ(info[i]["type"], type[i]["type"]) << info[i]["path"];
    }
}

TEST(TypeCommand, FoldersListsAndEachFileOnce) {
    LumoHome t("type");
    const std::string top = t.dir.file("card");
    std::filesystem::create_directories(top + "/DCIM/100CANON");
    std::filesystem::create_directories(top + "/.trash");
    for (const char* name : {"b.JPG", "a.cr2", ".hidden.jpg", "notes.txt", "a.XMP", "desktop.ini",
                             ".lumoingest.dat", "DCIM/100CANON/c.jpg", ".trash/d.jpg"})
        writeWholeFile(top + "/" + name, "x");
    std::filesystem::create_symlink(top + "/b.JPG", top + "/link.jpg");
    const auto typed = [](const std::string& out) {
        std::vector<std::string> paths;
        for (std::size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1)
            paths.push_back(out.substr(out.find('\t', at) + 1, end - out.find('\t', at) - 1));
        return paths;
    };

    ProcessResult r = t.lumo({top});
    EXPECT_EQ(typed(r.out), (std::vector<std::string>{top + "/a.cr2", top + "/b.JPG"}));
    r = t.lumo({"-r", top + "/"});
    EXPECT_EQ(typed(r.out),
              (std::vector<std::string>{top + "/DCIM/100CANON/c.jpg", top + "/a.cr2", top + "/b.JPG"}));
    // A file named twice, or through a link, or again in its folder, is taken once; a link named on
    // the command line is the file it leads to.
    r = t.lumo({"-@", "-", top + "/link.jpg", top},
               top + "/b.JPG\r\n\n" + top + "/b.JPG\n" + top + "/a.cr2\n");
    EXPECT_EQ(typed(r.out), (std::vector<std::string>{top + "/link.jpg", top + "/a.cr2"}));
    writeWholeFile(t.dir.file("list"), top + "/DCIM\n");
    r = t.lumo({"-r", "-@", t.dir.file("list"), "-@", t.dir.file("no list")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(typed(r.out), (std::vector<std::string>{top + "/DCIM/100CANON/c.jpg", t.dir.file("no list")}));
    EXPECT_NE(r.err.find(t.dir.file("no list") + ": No such file"), std::string::npos) << r.err;
    r = t.lumo({top + "/DCIM"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("no photos in this folder (-r looks in subfolders)"), std::string::npos) << r.err;
}
