// `lumo info` over every file of the shared corpus and over files made here.

#include "LumoHome.h"
#include "support/JpegBuilder.h"
#include "support/TiffBuilder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>

using lumo::test::ProcessResult;
using lumo::test::runProcess;
using lumo::test::TempDir;
using lumo::test::writeWholeFile;

TEST(InfoCommand, EveryCorpusFileGetsARecordInArgumentOrder) {
    const std::string corpus = lumo::test::corpusFolderOrFail();
    if (corpus.empty())
        GTEST_SKIP() << "no shared corpus";
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(corpus))
        if (entry.is_regular_file())
            files.push_back(entry.path().string());
    ASSERT_FALSE(files.empty());
    std::vector<std::string> args = files;
    args.insert(args.begin(), "--json");
    LumoHome t("info");
    const ProcessResult r = t.lumo(args);
    ASSERT_TRUE(r.exitCode == 0 || r.exitCode == 1) << r.exitCode << r.err;
    const auto parsed = nlohmann::json::parse(r.out);
    ASSERT_EQ(parsed.size(), files.size());
    bool anyFailed = false;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const auto& file = parsed[i];
        SCOPED_TRACE(files[i]);
        EXPECT_EQ(file["path"], files[i]);
        if (file.contains("result")) {
            anyFailed = true;
            EXPECT_NE(file["result"], 0);
            EXPECT_TRUE(file["error"].is_string());
            continue;
        }
        ASSERT_TRUE(file["type"].is_string());
        EXPECT_EQ(file["type"].get<std::string>().size(), 4u);
        EXPECT_TRUE(file["typeDescription"].is_string());
        EXPECT_EQ(file["fileSize"], std::filesystem::file_size(files[i]));
        EXPECT_TRUE(file["hasXmpSidecar"].is_boolean());
    }
    EXPECT_EQ(r.exitCode, anyFailed ? 1 : 0);

    // A single file alone gets the same answer.
    const std::string nef = corpus + "/exiftool/Nikon.nef";
    const auto one = nlohmann::json::parse(t.lumo({"--json", nef}).out);
    EXPECT_EQ(one[0]["type"], "NNEF");
    EXPECT_EQ(one[0]["typeDescription"], "Nikon RAW");
}

TEST(InfoCommand, ReadableFormAndFailingFiles) {
    LumoHome t("info");
    const std::string photo = t.dir.file("photo.JPG");
    writeWholeFile(photo, std::string("\xFF\xD8\xFF\xD9", 4));
    writeWholeFile(t.dir.file("photo.xmp"), "<x:xmpmeta/>");
    const std::string missing = t.dir.file("missing.jpg");

    const ProcessResult r = t.lumo({photo, missing});
    EXPECT_EQ(r.exitCode, 1) << "one file failed";
    EXPECT_NE(r.out.find("path: " + photo + "\ntype: JPEG\ntypeDescription: JPEG\nfileSize: 4\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("hasXmpSidecar: true\n"), std::string::npos);
    EXPECT_NE(r.out.find("\n\npath: " + missing + "\n"), std::string::npos) << "a blank line between files";
    EXPECT_NE(r.out.find("result: 10\nerror: No such file or directory\n"), std::string::npos);
    const std::string second = r.out.substr(r.out.find("\n\n") + 2);
    EXPECT_EQ(second.find("fileSize"), std::string::npos) << "nothing is made up for a missing file";

    const ProcessResult json = t.lumo({"--json", missing, photo});
    EXPECT_EQ(json.exitCode, 1);
    const auto parsed = nlohmann::json::parse(json.out);
    ASSERT_EQ(parsed.size(), 2u);
    EXPECT_EQ(parsed[0]["result"], 10);
    EXPECT_FALSE(parsed[0].contains("fileSize"));
    EXPECT_FALSE(parsed[1].contains("result"));
    EXPECT_EQ(parsed[1]["fileSize"], 4);
    EXPECT_EQ(t.lumo({"--json", photo}).exitCode, 0);

    // A raw's XMP sidecar travels with it.
    writeWholeFile(t.dir.file("raw.nef"), "raw");
    writeWholeFile(t.dir.file("raw.XMP"), "<x:xmpmeta/>");
    const auto raw = nlohmann::json::parse(t.lumo({"--json", t.dir.file("raw.nef")}).out);
    EXPECT_EQ(raw[0]["attachedFiles"], nlohmann::json::array({t.dir.file("raw.XMP")}));

    // A folder stands for the photos in it: not its sidecars, nor the folder itself.
    const auto folder = nlohmann::json::parse(t.lumo({"--json", t.dir.path()}).out);
    ASSERT_EQ(folder.size(), 2u) << folder.dump();
    EXPECT_EQ(folder[0]["path"], photo);
    EXPECT_EQ(folder[1]["path"], t.dir.file("raw.nef"));
}

TEST(InfoCommand, BytesThatAreNotTextNeverSpoilTheJsonOfARun) {
    LumoHome t("info");
    // A camera that wrote a surrogate and an overlong sequence into its tags, a file name with a byte
    // that is no text, and a good file: every record comes out, as valid JSON.
    lumo::test::TiffBuilder tiff;
    tiff.ifd()
        .add(271, "\xED\xA0\x80"
                  "Cam")
        .add(272, "M\xC0\xAF")
        .addShort(274, 1);
    lumo::test::JpegBuilder jpeg(32, 24);
    jpeg.addExif(tiff.build());
    const std::string tagged = t.dir.file("tagged.jpg"), named = t.dir.file("name\xFF.jpg");
    const std::string good = t.dir.file("good.jpg");
    writeWholeFile(tagged, jpeg.build());
    writeWholeFile(named, jpeg.build());
    writeWholeFile(good, lumo::test::encodeJpeg(32, 24));
    ProcessResult r = t.lumo({"--json", tagged, named, good});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto listed = nlohmann::json::parse(r.out);
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[0]["make"], "\xC3\xAD\xC2\xA0\xC2\x80"
                                 "Cam"); // taken as Latin-1, as old cameras wrote
    EXPECT_EQ(listed[1]["path"], t.dir.file("name\xEF\xBF\xBD.jpg"));
    EXPECT_EQ(listed[2]["path"], good);

    // A command that changed files says so for every one of them.
    const std::string rotated = t.dir.file("turn\xFF.jpg");
    writeWholeFile(rotated, jpeg.build());
    r = runProcess(LUMO_BINARY, {"--json", "rotate", "--cw", rotated}, t.env);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(nlohmann::json::parse(r.out)[0]["orientation"], 6);
}
