// `lumo info` over every file of the shared corpus and over files made here.

#include "LumoHome.h"
#include "support/JpegBuilder.h"
#include "support/TiffBuilder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <utility>

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

    // Nothing is made up: an EXIF value lumo shows is one the file holds. Images and movies without
    // EXIF show none, and for every file exiftool reads each value lumo shows.
    const std::pair<const char*, const char*> exifFields[] = {{"flash", "Flash"},
                                                              {"meteringMode", "MeteringMode"},
                                                              {"whiteBalance", "WhiteBalance"},
                                                              {"lightSource", "LightSource"},
                                                              {"exposureBias", "ExposureCompensation"},
                                                              {"exposureProgram", "ExposureProgram"},
                                                              {"orientation", "Orientation"}};
    for (std::size_t i = 0; i < files.size(); ++i)
        for (const char* plain : {"/PNG.png", "/BMP.bmp", "/QuickTime.mov", "/IPTC.jpg", "/small_video.mp4"})
            if (files[i].ends_with(plain))
                for (const auto& [key, tag] : exifFields)
                    EXPECT_FALSE(parsed[i].contains(key)) << files[i] << ": " << key;
    std::vector<std::string> toolArgs = {"-n", "-a", "-G1", "-q", "-q"};
    toolArgs.insert(toolArgs.end(), files.begin(), files.end());
    const std::optional<nlohmann::json> tool = lumo::test::exiftoolJson(toolArgs);
    if (!tool)
        LUMO_SKIP_OR_FAIL("exiftool is not installed");
    std::map<std::string, const nlohmann::json*> toolByFile;
    for (const auto& entry : *tool)
        if (entry.contains("SourceFile"))
            toolByFile[entry["SourceFile"].get<std::string>()] = &entry;
    int checked = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const auto found = toolByFile.find(files[i]);
        if (found == toolByFile.end())
            continue;
        // exiftool gives up on an EXIF IFD with an entry of an unknown type; lumo skips the entry.
        const nlohmann::json& theirs = *found->second;
        if (theirs.value("ExifTool:Warning", "").find("ExifIFD") != std::string::npos)
            continue;
        const auto holds = [&](const std::string& tag) {
            for (const auto& [name, value] : theirs.items())
                if (name.ends_with(":" + tag))
                    return true;
            return false;
        };
        // A JPEG's rating is its XMP's.
        if (parsed[i].value("type", "") == "JPEG" && theirs.contains("XMP-xmp:Rating")) {
            ++checked;
            EXPECT_EQ(parsed[i]["rating"], theirs["XMP-xmp:Rating"]) << files[i];
            EXPECT_EQ(parsed[i]["ratingFrom"], "xmp") << files[i];
        }
        for (const auto& [key, tag] : exifFields) {
            if (!parsed[i].contains(key))
                continue;
            ++checked;
            // A format's own rotation (a Sigma raw's) is shown as the EXIF orientation it stands for.
            EXPECT_TRUE(holds(tag) || (key == std::string("orientation") && holds("Rotation")))
                << files[i] << ": lumo shows " << key << " " << parsed[i][key];
        }
    }
    EXPECT_GT(checked, 100);

    // A single file alone gets the same answer.
    const std::string nef = corpus + "/exiftool/Nikon.nef";
    const auto one = nlohmann::json::parse(t.lumo({"--json", nef}).out);
    EXPECT_EQ(one[0]["type"], "NNEF");
    EXPECT_EQ(one[0]["typeDescription"], "Nikon RAW");
}

// A NEF-like raw whose SubIFD holds a JPEG preview.
std::string nikonRaw() {
    lumo::test::TiffBuilder b(lumo::test::ByteOrder::Big);
    lumo::test::TiffIfd& ifd0 = b.ifd();
    ifd0.add(271, "NIKON CORPORATION").add(272, "NIKON D850");
    std::vector<lumo::test::TiffIfd*> subs = ifd0.subIfds(2);
    subs[0]->addLong(254, 1).addBlob(513, 514, lumo::test::encodeJpeg(160, 106));
    subs[1]->addLong(254, 0).addLong(256, 6000).addLong(257, 4000).addShort(262, 32803);
    return b.build();
}

TEST(InfoCommand, ReadableFormAndFailingFiles) {
    LumoHome t("info");
    const std::string photo = t.dir.file("photo.JPG");
    writeWholeFile(photo, std::string("\xFF\xD8\xFF\xD9", 4));
    writeWholeFile(t.dir.file("photo.xmp"), "<x:xmpmeta/>");
    const std::string missing = t.dir.file("missing.jpg"), text = t.dir.file("notes.nef");
    writeWholeFile(text, "not a raw");

    // A failing file is told on stderr, in words and by name; the others go on.
    const ProcessResult r = t.lumo({photo, missing, text});
    EXPECT_EQ(r.exitCode, 1) << "some files failed";
    EXPECT_EQ(r.out.find("path: " + photo + "\ntype: JPEG\ntype description: JPEG\nfile size: 4 bytes\n"), 0u)
        << r.out;
    EXPECT_NE(r.out.find("XMP sidecar: yes\n"), std::string::npos);
    EXPECT_EQ(r.out.find(missing), std::string::npos) << "nothing is made up for a missing file";
    EXPECT_EQ(r.err, "lumo: " + missing + ": No such file\nlumo: " + text +
                         ": Not a valid Nikon RAW file (damaged, or another kind of file under its name)\n");

    // In JSON a failure is the path, the engine's result and the sentence: nothing else is shown as if
    // it had been read.
    const ProcessResult json = t.lumo({"--json", missing, photo, text});
    EXPECT_EQ(json.exitCode, 1);
    const auto parsed = nlohmann::json::parse(json.out);
    ASSERT_EQ(parsed.size(), 3u);
    EXPECT_EQ(parsed[0], (nlohmann::json{{"path", missing}, {"result", 10}, {"error", "No such file"}}));
    EXPECT_FALSE(parsed[1].contains("result"));
    EXPECT_EQ(parsed[1]["fileSize"], 4);
    EXPECT_EQ(parsed[2].size(), 3u);
    EXPECT_EQ(parsed[2]["result"], 9);
    EXPECT_EQ(t.lumo({"--json", photo}).exitCode, 0);

    // A raw's XMP sidecar travels with it.
    writeWholeFile(t.dir.file("raw.nef"), nikonRaw());
    writeWholeFile(t.dir.file("raw.XMP"), "<x:xmpmeta/>");
    const auto raw = nlohmann::json::parse(t.lumo({"--json", t.dir.file("raw.nef")}).out);
    EXPECT_EQ(raw[0]["attachedFiles"], nlohmann::json::array({t.dir.file("raw.XMP")}));

    // A folder stands for the photos in it: not its sidecars, nor the folder itself.
    const auto folder = nlohmann::json::parse(t.lumo({"--json", t.dir.path()}).out);
    ASSERT_EQ(folder.size(), 3u) << folder.dump();
    EXPECT_EQ(folder[0]["path"], text);
    EXPECT_EQ(folder[1]["path"], photo);
    EXPECT_EQ(folder[2]["path"], t.dir.file("raw.nef"));
}

TEST(InfoCommand, ValuesAreShownAsReadNamedInTheReadableForm) {
    LumoHome t("info");
    // Flash auto and fired, pattern metering, auto white balance, no exposure bias: zeros the file
    // holds are shown; what it does not hold (light source, ISO) is not.
    lumo::test::TiffBuilder tiff;
    tiff.ifd().add(270, "line one\nline two\\").addShort(274, 6);
    tiff.ifd()
        .subIfd(0x8769)
        .addShort(0x9209, 0x19)
        .addShort(0x9207, 5)
        .addShort(0xA403, 0)
        .addSRational(0x9204, 0, 1)
        .addShort(0xA001, 0xFFFF)
        .addRational(0x829A, 1, 250);
    lumo::test::JpegBuilder jpeg(32, 24);
    jpeg.addExif(tiff.build());
    const std::string photo = t.dir.file("photo.jpg");
    writeWholeFile(photo, jpeg.build());

    const auto parsed = nlohmann::json::parse(t.lumo({"--json", photo}).out)[0];
    EXPECT_EQ(parsed["flash"], 0x19);
    EXPECT_EQ(parsed["meteringMode"], 5);
    EXPECT_EQ(parsed["whiteBalance"], 0);
    EXPECT_EQ(parsed["exposureBias"], 0.0);
    EXPECT_EQ(parsed["colorSpace"], 0xFFFF);
    EXPECT_EQ(parsed["orientation"], 6);
    EXPECT_EQ(parsed["rotationFrom"], "file");
    EXPECT_EQ(parsed["description"], "line one\nline two\\");
    EXPECT_FALSE(parsed.contains("lightSource"));
    EXPECT_FALSE(parsed.contains("iso"));

    const std::string out = t.lumo({photo}).out;
    for (const char* line : {"\ndescription: line one\\nline two\\\\\n", "\nexposure time: 1/250 s\n",
                             "\nexposure bias: 0.0 EV\n", "\nflash: auto, fired\n", "\nmetering: pattern\n",
                             "\nwhite balance: auto\n", "\norientation: rotate 90 CW\n",
                             "\nrotation: turned 90° clockwise\n", "\ncolour space: uncalibrated\n"})
        EXPECT_NE(out.find(line), std::string::npos) << line << " in\n" << out;
}

TEST(InfoCommand, PrefsAndRatingsShowWhereTheyCameFrom) {
    LumoHome t("info");
    // A scan without an orientation of its own takes the rotation of its prefs; one with an
    // orientation keeps it, whatever a shared sidecar says. Both show the crop and rating kept there.
    const auto scan = [](bool withOrientation) {
        lumo::test::TiffBuilder tiff;
        tiff.ifd().addLong(256, 2).addLong(257, 2).addShorts(258, {8, 8, 8}).addShort(262, 2);
        tiff.ifd().addShort(277, 3).addBlob(273, 279, std::string(12, '\x40'));
        if (withOrientation)
            tiff.ifd().addShort(274, 1);
        return tiff.build();
    };
    const std::string prefs =
        "<?xml version=\"1.0\"?>\n<IMAGEPREFS>\n\t<rotation>3</rotation>\n\t<NORMCROPRECT>\n"
        "\t\t<angle>2.000000</angle>\n\t\t<left>0.100000</left>\n\t\t<top>0.200000</top>\n"
        "\t\t<right>0.900000</right>\n\t\t<bottom>0.800000</bottom>\n\t</NORMCROPRECT>\n"
        "\t<tag>1</tag>\n\t<rating>4</rating>\n</IMAGEPREFS>\n";
    const std::string bare = t.dir.file("bare.tif"), turned = t.dir.file("turned.tif");
    writeWholeFile(bare, scan(false));
    writeWholeFile(turned, scan(true));
    writeWholeFile(t.dir.file("bare.XIP"), prefs);
    writeWholeFile(t.dir.file("turned.XIP"), prefs);
    // A JPEG's rating lives in its XMP; a raw's in the sidecar beside it.
    lumo::test::JpegBuilder jpeg(32, 24);
    jpeg.addXmp("<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
                "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description "
                "xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\" xmp:Rating=\"3\"/></rdf:RDF></x:xmpmeta>");
    const std::string rated = t.dir.file("rated.jpg"), raw = t.dir.file("raw.nef");
    writeWholeFile(rated, jpeg.build());
    writeWholeFile(raw, nikonRaw());
    writeWholeFile(t.dir.file("raw.xmp"),
                   "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
                   "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description "
                   "xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\"><xmp:Rating>5</xmp:Rating>"
                   "</rdf:Description></rdf:RDF></x:xmpmeta>");

    const ProcessResult r = t.lumo({"--json", bare, turned, rated, raw});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto parsed = nlohmann::json::parse(r.out);
    EXPECT_EQ(parsed[0]["rotation"], 3);
    EXPECT_EQ(parsed[0]["rotationFrom"], "prefs");
    EXPECT_FALSE(parsed[0].contains("orientation"));
    EXPECT_EQ(parsed[0]["prefsFile"], t.dir.file("bare.XIP"));
    EXPECT_EQ(parsed[0]["crop"],
              (nlohmann::json{{"left", 0.1}, {"top", 0.2}, {"right", 0.9}, {"bottom", 0.8}, {"angle", 2.0}}));
    EXPECT_EQ(parsed[0]["tag"], true);
    EXPECT_EQ(parsed[0]["rating"], 4);
    EXPECT_EQ(parsed[0]["ratingFrom"], "prefs");
    EXPECT_EQ(parsed[1]["rotation"], 0);
    EXPECT_EQ(parsed[1]["rotationFrom"], "file");
    EXPECT_EQ(parsed[1]["crop"], parsed[0]["crop"]);
    EXPECT_EQ(parsed[2]["rating"], 3);
    EXPECT_EQ(parsed[2]["ratingFrom"], "xmp");
    EXPECT_EQ(parsed[3]["rating"], 5);
    EXPECT_EQ(parsed[3]["ratingFrom"], "xmpSidecar");

    // What lumo rotate and crop keep, lumo info shows.
    const std::string fresh = t.dir.file("fresh.tif");
    writeWholeFile(fresh, scan(false));
    ASSERT_EQ(runProcess(LUMO_BINARY, {"rotate", "--cw", fresh}, t.env).exitCode, 0);
    ASSERT_EQ(runProcess(LUMO_BINARY, {"crop", "--rect", "0,0,0.5,0.5", fresh}, t.env).exitCode, 0);
    const auto edited = nlohmann::json::parse(t.lumo({"--json", fresh}).out)[0];
    EXPECT_EQ(edited["rotation"], 1);
    EXPECT_EQ(edited["crop"]["right"], 0.5);
    EXPECT_NE(t.lumo({fresh}).out.find("\nrotation: turned 90° clockwise\nrotation from: prefs\n"),
              std::string::npos);
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
