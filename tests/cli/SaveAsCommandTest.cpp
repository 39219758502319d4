// `lumo saveas` on files made here: usage errors, new files with their metadata, a failed photo.

#include "LumoHome.h"
#include "support/JpegBuilder.h"
#include "support/TiffBuilder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>
#include <vector>

using namespace lumo::test;

namespace {

std::string camera(std::uint16_t orientation) {
    TiffBuilder exif;
    exif.ifd().add(271, "Lumocam").addShort(274, orientation);
    JpegBuilder jpeg(640, 480);
    jpeg.addExif(exif.build());
    return jpeg.build();
}

} // namespace

TEST(SaveAsCommand, BadUsageExitsWithTwoAndWritesNothing) {
    LumoHome t("saveas");
    const std::string photo = t.dir.file("a.jpg"), out = t.dir.file("out");
    writeWholeFile(photo, camera(1));
    const std::vector<std::vector<std::string>> cases = {
        {photo},                                                    // no --to
        {photo, "--to", out, "--type", "gif"},                      // no such type
        {photo, "--to", out, "--box", "100", "--percent", "50"},    // two scales
        {photo, "--to", out, "--size", "100"},                      // not WxH
        {photo, "--to", out, "--type", "png", "--limit-kb", "100"}, // a limit is for JPEG
        {photo, "--to", out, "--quality", "0"},
    };
    for (const auto& args : cases) {
        const ProcessResult r = t.lumo(args);
        EXPECT_EQ(r.exitCode, 2) << args.back() << "\n" << r.err;
    }
    EXPECT_FALSE(std::filesystem::exists(out));
}

TEST(SaveAsCommand, EachPhotoBecomesANewFileWithItsMetadataAndAFailureExitsWithOne) {
    LumoHome t("saveas");
    const std::string upright = t.dir.file("upright.jpg"), turned = t.dir.file("turned.jpg");
    writeWholeFile(upright, camera(1));
    writeWholeFile(turned, camera(6));
    const std::string out = t.dir.file("out");
    ProcessResult r = t.lumo({"--json", upright, turned, "--to", out, "--box", "320", "--limit-kb", "8"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto json = nlohmann::json::parse(r.out);
    ASSERT_EQ(json.size(), 2u);
    EXPECT_EQ(json[0]["saved"], out + "/upright.jpg");
    EXPECT_EQ(json[1]["saved"], out + "/turned.jpg");
    for (const auto& entry : json)
        EXPECT_LE(std::filesystem::file_size(entry["saved"].get<std::string>()), 8u * 1024);
    const auto tags = exiftoolJson({"-n", "-Orientation", "-Make", "-ImageWidth", "-ImageHeight", out});
    if (tags) {
        ASSERT_EQ(tags->size(), 2u);
        for (const auto& file : *tags) {
            EXPECT_EQ(file["Orientation"], 1);
            EXPECT_EQ(file["Make"], "Lumocam");
            const bool turnedFile = file["SourceFile"].get<std::string>().find("turned") != std::string::npos;
            EXPECT_EQ(file["ImageWidth"], turnedFile ? 240 : 320);
            EXPECT_EQ(file["ImageHeight"], turnedFile ? 320 : 240);
        }
    }

    // Renamed, with a photo that cannot be read among them: the others are saved, the run exits with 1.
    const std::string broken = t.dir.file("broken.jpg");
    writeWholeFile(broken, std::string("\xFF\xD8\xFF\xE1\x00\x02", 6));
    r = t.lumo({upright, broken, "--to", out, "--type", "png", "--rename", "copy-{filenamebase}"});
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("There were errors during the Save As operation."), std::string::npos) << r.err;
    EXPECT_TRUE(std::filesystem::exists(out + "/copy-upright.png")) << r.out;
}

TEST(SaveAsCommand, ACameraJPEGAtA2048BoxUnder500KBKeepsItsMetadataAndTheTemplateGoesToTheNewFileOnly) {
    const std::string camera =
        std::string(LUMO_CORPUS_DIR) + "/exiv2/exiv2-bug2565.jpg"; // 4032 x 3024, turned
    if (!std::filesystem::exists(camera))
        LUMO_SKIP_OR_FAIL("the corpus is missing");
    LumoHome home;
    const std::string photo = home.dir.file("IMG_2565.jpg"), out = home.dir.file("out");
    std::filesystem::copy_file(camera, photo);
    ProcessResult r = home.lumo({"saveas", photo, "--to", out, "--box", "2048", "--limit-kb", "500"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string saved = out + "/IMG_2565.jpg";
    ASSERT_TRUE(std::filesystem::exists(saved));
    EXPECT_LE(std::filesystem::file_size(saved), 500u * 1024);

    // The template, with a text watermark, into a new file next to the original.
    ASSERT_EQ(home.lumo({"template", "edit", "--field", "Headline=Delivered"}).exitCode, 0);
    r = home.lumo({"saveas", photo, "--in-place", "--box", "640", "--apply-template", "--watermark-text",
                   "\xC2\xA9 {filenamebase}"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string templated = home.dir.file("IMG_2565A.jpg");

    const auto tags = exiftoolJson({"-n", "-G1", "-Make", "-Model", "-DateTimeOriginal", "-Orientation",
                                    "-ImageWidth", "-ImageHeight", "-ExifImageWidth", "-ExifImageHeight",
                                    "-ThumbnailLength", "-Headline", "-Warning", photo, saved, templated});
    if (!tags)
        LUMO_SKIP_OR_FAIL("exiftool is not installed");
    ASSERT_EQ(tags->size(), 3u);
    const auto &source = (*tags)[0], &small = (*tags)[1], &withTemplate = (*tags)[2];
    for (const char* key : {"IFD0:Make", "IFD0:Model", "ExifIFD:DateTimeOriginal"})
        EXPECT_EQ(small.value(key, ""), source.value(key, "-")) << key;
    EXPECT_EQ(small.value("IFD0:Orientation", 0), 1);
    EXPECT_EQ(small["File:ImageWidth"], 1536);
    EXPECT_EQ(small["File:ImageHeight"], 2048);
    EXPECT_EQ(small.value("ExifIFD:ExifImageWidth", 0), 1536);
    EXPECT_EQ(small.value("ExifIFD:ExifImageHeight", 0), 2048);
    EXPECT_GT(small.value("IFD1:ThumbnailLength", 0), 0);
    EXPECT_FALSE(small.contains("ExifTool:Warning")) << small.dump();
    EXPECT_FALSE(source.contains("IPTC:Headline") || source.contains("XMP-photoshop:Headline"));
    EXPECT_EQ(withTemplate.value("XMP-photoshop:Headline", withTemplate.value("IPTC:Headline", "")),
              "Delivered");
    EXPECT_EQ(withTemplate["File:ImageWidth"], 480);
}
