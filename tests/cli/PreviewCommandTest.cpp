// `lumo preview` and `lumo thumb` on corpus copies and on raws made here.

#include "LumoHome.h"
#include "support/JpegBuilder.h"
#include "support/TiffBuilder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>

using namespace lumo::test;

namespace {

// A camera JPEG of 4032 x 3024 turned a quarter clockwise (EXIF 6), with a 504 x 376 EXIF thumbnail.
constexpr const char* kCameraJpeg = "exiv2/exiv2-bug2565.jpg";

// Copies a corpus file into `folder`; empty (and the test skipped or failed) without the corpus.
std::string corpusCopy(const std::string& folder, const std::string& relative) {
    const std::string corpus = corpusFolderOrFail();
    if (corpus.empty())
        return {};
    const std::string copy = folder + "/" + std::filesystem::path(relative).filename().string();
    std::filesystem::copy_file(corpus + "/" + relative, copy,
                               std::filesystem::copy_options::overwrite_existing);
    return copy;
}

// A NEF-like raw whose first SubIFD holds a 640 x 424 JPEG preview, turned by EXIF 6.
std::string builtRaw() {
    TiffBuilder b(ByteOrder::Big);
    TiffIfd& ifd0 = b.ifd();
    ifd0.add(271, "NIKON CORPORATION").add(272, "NIKON D850").addShort(274, 6);
    std::vector<TiffIfd*> subs = ifd0.subIfds(2);
    subs[0]->addLong(254, 1).addBlob(513, 514, encodeJpeg(640, 424));
    subs[1]->addLong(254, 0).addLong(256, 6000).addLong(257, 4000).addShort(262, 32803);
    return b.build();
}

bool decodingReady() {
    return std::filesystem::exists("/tmp/briefs/DECODE_READY");
}

} // namespace

TEST(PreviewCommand, ThumbnailBytesAreStoredOnesAndOutputsAreNeverReplacedWithoutForce) {
    LumoHome t("preview");
    const std::string photo = corpusCopy(t.dir.path(), kCameraJpeg);
    if (photo.empty())
        GTEST_SKIP() << "no corpus";
    const std::string out = t.dir.file("out");
    std::filesystem::create_directories(out);
    ProcessResult r = t.lumo({"--json", "--thumbnail", "--dir", out, photo});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string written = out + "/exiv2-bug2565.jpg";
    const auto listed = nlohmann::json::parse(r.out);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0]["output"], written);
    EXPECT_EQ(listed[0]["width"], 504);

    const ProcessResult tool = runProcess("exiftool", {"-b", "-ThumbnailImage", photo});
    if (tool.exitCode == 127)
        LUMO_SKIP_OR_FAIL("exiftool is not installed");
    EXPECT_EQ(readWholeFile(written), tool.out);

    writeWholeFile(written, "mine");
    r = t.lumo({"--thumbnail", "--dir", out, photo});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("exists"), std::string::npos) << r.err;
    EXPECT_EQ(readWholeFile(written), "mine");
    r = t.lumo({"--thumbnail", "--force", "-o", written, photo});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readWholeFile(written), tool.out);

    // The photo itself is never the output, not even with --force.
    r = t.lumo({"--thumbnail", "--force", "-o", photo, photo});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(readWholeFile(photo).size(), std::filesystem::file_size(corpusFolder() + "/" + kCameraJpeg));
}

TEST(PreviewCommand, EachFileGetsItsPreviewNamedAfterItAndOneWithoutIsReportedWhileOthersGoOn) {
    LumoHome t("preview");
    const std::string raw = t.dir.file("DSC_0001.NEF");
    writeWholeFile(raw, builtRaw());
    const std::string plain = t.dir.file("plain.tif");
    TiffBuilder tiff;
    tiff.ifd().addLong(256, 8).addLong(257, 8);
    writeWholeFile(plain, tiff.build());
    const std::string out = t.dir.file("out/previews"); // made when missing

    ProcessResult r = t.lumo({"--json", "--with-exif", "--dir", out, plain, raw});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("plain.tif: No embedded preview\n"), std::string::npos) << r.err;
    const auto listed = nlohmann::json::parse(r.out);
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0], (nlohmann::json{{"path", plain}, {"result", 13}, {"error", "No embedded preview"}}));
    EXPECT_EQ(listed[1]["output"], out + "/DSC_0001.jpg");
    const std::string jpeg = readWholeFile(out + "/DSC_0001.jpg");
    EXPECT_EQ(jpeg.substr(0, 4), "\xFF\xD8\xFF\xE1");
    EXPECT_EQ(jpeg.substr(6, 6), std::string("Exif\0\0", 6));
    const DecodedJpeg decoded = decodeJpeg(jpeg);
    EXPECT_TRUE(decoded.ok) << decoded.error;
    EXPECT_EQ(decoded.width, 640);
    EXPECT_FALSE(std::filesystem::exists(out + "/plain.jpg"));

    // -o names a single output; --dir names a folder.
    r = t.lumo({"-o", t.dir.file("one.jpg"), raw, plain});
    EXPECT_EQ(r.exitCode, 2);
    r = t.lumo({"--dir", "", raw});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("--dir needs a folder"), std::string::npos) << r.err;
    r = t.lumo({"-o", t.dir.file("one.jpg"), raw});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readWholeFile(t.dir.file("one.jpg")), encodeJpeg(640, 424));
    // -o - sends the picture alone to standard output; the file list may come from standard input.
    r = t.lumo({"-o", "-", "-@", "-"}, raw + "\n");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, encodeJpeg(640, 424));
    r = t.lumo({"-o", "-", plain});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(t.lumo({"--json", "-o", "-", raw}).exitCode, 2);
}

TEST(PreviewCommand, WithMetadataThePreviewCarriesTheRecordPrefsAndProfile) {
    LumoHome t("preview");
    if (runProcess("exiftool", {"-ver"}).exitCode != 0)
        LUMO_SKIP_OR_FAIL("exiftool is not installed");
    // The raw made here, in sRGB by its EXIF colour space.
    TiffBuilder b(ByteOrder::Big);
    TiffIfd& ifd0 = b.ifd();
    ifd0.add(271, "NIKON CORPORATION").add(272, "NIKON D850").addShort(274, 6);
    ifd0.subIfd(34665).addUndefined(36864, "0230").addShort(40961, 1);
    std::vector<TiffIfd*> subs = ifd0.subIfds(2);
    subs[0]->addLong(254, 1).addBlob(513, 514, encodeJpeg(640, 424));
    subs[1]->addLong(254, 0).addLong(256, 6000).addLong(257, 4000).addShort(262, 32803);
    const std::string raw = t.dir.file("DSC_0002.NEF");
    writeWholeFile(raw, b.build());
    writeWholeFile(
        std::filesystem::path(raw).replace_extension(".xmp").string(),
        "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
        "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description rdf:about=\"\" "
        "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\" "
        "xmp:Rating=\"3\"><dc:description><rdf:Alt><rdf:li xml:lang=\"x-default\">from the "
        "sidecar</rdf:li></rdf:Alt></dc:description></rdf:Description></rdf:RDF></x:xmpmeta>");
    // A sidecar newer than the raw (within one clock tick the raw would win).
    const timespec older[2] = {{1500000000, 0}, {1500000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, raw.c_str(), older, 0), 0);
    const std::string out = t.dir.file("DSC_0002.jpg");
    const ProcessResult r = t.lumo({"--with-metadata", "-o", out, raw});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto json =
        exiftoolJson({"-n", "-G1", "-XMP-dc:Description", "-XMP-xmp:Rating", "-XMP-tiff:Orientation",
                      "-IPTC:Caption-Abstract", "-ICC_Profile:ProfileDescription", out});
    ASSERT_TRUE(json);
    const auto& tags = (*json)[0];
    EXPECT_EQ(tags.value("XMP-dc:Description", ""), "from the sidecar");
    EXPECT_EQ(tags.value("IPTC:Caption-Abstract", ""), "from the sidecar");
    EXPECT_EQ(tags.value("XMP-xmp:Rating", 0), 3);
    EXPECT_EQ(tags.value("XMP-tiff:Orientation", 0), 6) << "the raw's rotation";
    EXPECT_TRUE(tags.contains("ICC_Profile:ProfileDescription")) << tags.dump();
    EXPECT_TRUE(decodeJpeg(readWholeFile(out)).ok);
}

TEST(ThumbCommand, TheBestEmbeddedImageIsScaledToFitAndTurnedUpright) {
    LumoHome t("thumb");
    const std::string photo = corpusCopy(t.dir.path(), kCameraJpeg);
    if (photo.empty())
        GTEST_SKIP() << "no corpus";
    const std::string raw = t.dir.file("DSC_0002.NEF");
    writeWholeFile(raw, builtRaw());
    const std::string out = t.dir.file("out");
    std::filesystem::create_directories(out);
    const ProcessResult r = t.lumo({"--json", "--size", "256", "--dir", out, photo, raw});
    if (r.exitCode != 0 && !decodingReady())
        GTEST_SKIP() << "JPEG decoding is not there yet: " << r.err;
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (const char* name : {"exiv2-bug2565.jpg", "DSC_0002.jpg"}) {
        const DecodedJpeg decoded = decodeJpeg(readWholeFile(out + "/" + name));
        ASSERT_TRUE(decoded.ok) << name << decoded.error;
        EXPECT_EQ(decoded.height, 256) << name << ": turned upright, the long side is the height";
        EXPECT_LT(decoded.width, 256) << name;
    }
    const DecodedJpeg camera = decodeJpeg(readWholeFile(out + "/exiv2-bug2565.jpg"));
    EXPECT_EQ(camera.width, 192);
    const ProcessResult missing = t.lumo({"--size", "256", "--dir", out, t.dir.file("nothing.nef")});
    EXPECT_EQ(missing.exitCode, 1);
}

TEST(ThumbCommand, QualityAndProgressWhenPiped) {
    LumoHome t("thumb");
    std::vector<std::string> files;
    for (const char* name : {"a.jpg", "b.jpg"}) {
        files.push_back(t.dir.file(name));
        writeWholeFile(files.back(), encodeJpeg(640, 480));
    }
    std::map<int, std::uintmax_t> sizes;
    for (const int quality : {20, 95}) {
        const std::string out = t.dir.file("q" + std::to_string(quality));
        std::vector<std::string> args = {"--size", "320", "--quality", std::to_string(quality), "--dir", out};
        args.insert(args.end(), files.begin(), files.end());
        const ProcessResult r = t.lumo(args);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_NE(r.err.find("thumb: 2/2 (100%)\n"), std::string::npos) << r.err; // not on a terminal: lines
        EXPECT_NE(r.out.find(files[1] + " -> " + out + "/b.jpg\n"), std::string::npos) << r.out;
        sizes[quality] = std::filesystem::file_size(out + "/b.jpg");
        const ProcessResult estimate = runProcess("identify", {"-format", "%Q", out + "/b.jpg"});
        if (estimate.exitCode == 0)
            EXPECT_EQ(estimate.out, std::to_string(quality));
    }
    EXPECT_LT(sizes[20] * 2, sizes[95]);

    ProcessResult r =
        t.lumo({"--quiet", "--force", "--size", "32", "--dir", t.dir.file("q20"), files[0], files[1]});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    for (const char* bad : {"0", "101"}) {
        r = t.lumo({"--size", "32", "--quality", bad, files[0]});
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_NE(r.err.find("--quality takes a JPEG quality from 1 to 100"), std::string::npos) << r.err;
    }
}

TEST(PreviewCommand, AnOutputNeverReplacesAPhotoOrAnotherOutputOfTheSameRun) {
    LumoHome t("preview");
    // A raw beside the camera's own JPEG of the same name, and two raws of one name in two folders.
    const std::string raw = t.dir.file("DSC_0001.NEF"), camera = t.dir.file("DSC_0001.jpg");
    const std::string cameraBytes = encodeJpeg(96, 64);
    writeWholeFile(raw, builtRaw());
    writeWholeFile(camera, cameraBytes);
    std::filesystem::create_directories(t.dir.file("a"));
    std::filesystem::create_directories(t.dir.file("b"));
    writeWholeFile(t.dir.file("a/X.NEF"), builtRaw());
    writeWholeFile(t.dir.file("b/X.NEF"), builtRaw());
    const std::string out = t.dir.file("out");

    ProcessResult r = t.lumo({"--json", "--force", "--dir", t.dir.path(), raw});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto listed = nlohmann::json::parse(r.out);
    EXPECT_EQ(listed[0]["output"], t.dir.file("DSC_0001A.jpg"));
    EXPECT_EQ(listed[0]["taken"], camera);
    EXPECT_EQ(readWholeFile(camera), cameraBytes);
    r = t.lumo({"--force", "-o", camera, t.dir.file("a/X.NEF")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("the output would replace the photo " + camera), std::string::npos) << r.err;
    EXPECT_EQ(readWholeFile(camera), cameraBytes);

    // Twice the same name in one run: the second gets a name of its own, which a run with --force
    // replaces again (an output of ours, not a photo) instead of finding yet another.
    for (const bool force : {false, true}) {
        std::vector<std::string> args = {"--json", "--dir", out, t.dir.file("a/X.NEF"),
                                         t.dir.file("b/X.NEF")};
        if (force)
            args.insert(args.begin() + 1, "--force");
        r = t.lumo(args);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        listed = nlohmann::json::parse(r.out);
        EXPECT_EQ(listed[0]["output"], out + "/X.jpg");
        EXPECT_EQ(listed[1]["output"], out + "/XA.jpg");
        EXPECT_EQ(listed[1]["taken"], out + "/X.jpg");
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(out), {}), 2);

    // Names that differ only in letter case are one file on a card or a share: IMG_0002.JPG beside its
    // raw, and raws of one name spelt two ways.
    const std::string upper = t.dir.file("IMG_0002.JPG");
    writeWholeFile(upper, cameraBytes);
    writeWholeFile(t.dir.file("IMG_0002.NEF"), builtRaw());
    writeWholeFile(t.dir.file("b/x.NEF"), builtRaw());
    r = t.lumo({"--json", "--dir", t.dir.path(), t.dir.file("IMG_0002.NEF")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(nlohmann::json::parse(r.out)[0]["output"], t.dir.file("IMG_0002A.jpg"));
    const std::string fresh = t.dir.file("fresh");
    r = t.lumo({"--json", "--dir", fresh, t.dir.file("a/X.NEF"), t.dir.file("b/x.NEF")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    listed = nlohmann::json::parse(r.out);
    EXPECT_EQ(listed[0]["output"], fresh + "/X.jpg");
    EXPECT_EQ(listed[1]["output"], fresh + "/xA.jpg");
    r = t.lumo({"-o", t.dir.file("img_0002.jpg"), t.dir.file("a/X.NEF")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("the output would replace the photo " + upper), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(t.dir.file("img_0002.jpg")));
}

TEST(ThumbCommand, CtrlCFinishesTheFileInHandReportsWhatWasDoneAndExitsThree) {
    LumoHome t("thumb");
    const std::string in = t.dir.file("in"), out = t.dir.file("out");
    std::filesystem::create_directories(in);
    const std::string photo = encodeJpeg(640, 480);
    std::string files;
    for (int i = 0; i < 400; ++i) {
        const std::string path = in + "/p" + std::to_string(i) + ".jpg";
        writeWholeFile(path, photo);
        files += " '" + path + "'";
    }
    // Interrupted once the first thumbnail is there.
    const std::string script = "'" + std::string(LUMO_BINARY) + "' --json thumb --size 64 --dir '" + out +
                               "'" + files + " > '" + t.dir.file("listed.json") + "' & p=$!; while [ ! -e '" +
                               out + "/p0.jpg' ]; do sleep 0.02; done; kill -INT $p; wait $p";
    const ProcessResult r = runProcess("sh", {"-c", script}, t.env);
    EXPECT_EQ(r.exitCode, 3) << r.err;
    EXPECT_NE(r.err.find("lumo: cancelled after"), std::string::npos) << r.err;
    const auto listed = nlohmann::json::parse(readWholeFile(t.dir.file("listed.json")));
    ASSERT_GE(listed.size(), 1u);
    EXPECT_LT(listed.size(), 400u);
    std::size_t written = 0;
    for (const auto& entry : std::filesystem::directory_iterator(out)) {
        EXPECT_EQ(entry.path().string().find(".tmp-"), std::string::npos) << entry.path();
        EXPECT_TRUE(decodeJpeg(readWholeFile(entry.path().string())).ok) << entry.path();
        ++written;
    }
    EXPECT_EQ(written, listed.size()); // every file done is reported, and nothing else was written
}

TEST(ThumbCommand, ASecondRunIsServedFromTheDiskCacheWithTheSameBytes) {
    LumoHome t("thumb");
    writeWholeFile(t.settings + "/LumoDebug.txt", "LUMOCACHE_LOGGING ON\n");
    const std::string in = t.dir.file("in");
    std::filesystem::create_directories(in);
    // Pictures bigger and smaller than the size asked for, and one no bigger than a thumbnail, which the
    // disk cache never keeps.
    const struct {
        const char* name;
        int width, height;
    } photos[] = {{"a.jpg", 640, 480},
                  {"b.jpg", 480, 640},
                  {"c.jpg", 300, 200},
                  {"d.jpg", 200, 150},
                  {"e.jpg", 150, 100}};
    for (const auto& p : photos)
        writeWholeFile(in + "/" + p.name, encodeJpeg(p.width, p.height));
    const bool camera = !corpusCopy(in, kCameraJpeg).empty();
    const int stored = camera ? 5 : 4;

    std::map<std::string, std::string> first;
    for (const char* run : {"out1", "out2"}) {
        const std::string out = t.dir.file(run);
        const ProcessResult r = t.lumo({"--size", "256", "--dir", out, in});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        for (const auto& entry : std::filesystem::directory_iterator(out)) {
            const std::string name = entry.path().filename().string();
            if (first.count(name))
                EXPECT_EQ(readWholeFile(entry.path().string()), first[name]) << name;
            else
                first[name] = readWholeFile(entry.path().string());
        }
    }
    EXPECT_EQ(first.size(), camera ? 6u : 5u);
    const DecodedJpeg upright = decodeJpeg(first["b.jpg"]);
    EXPECT_EQ(upright.width, 192);
    EXPECT_EQ(upright.height, 256);
    int entries = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(t.cache + "/thumb"))
        entries += entry.is_regular_file() ? 1 : 0;
    EXPECT_EQ(entries, stored);
    // The second run took each stored picture as it stands, decoding nothing.
    const std::string log = t.log();
    std::size_t served = 0;
    for (std::size_t at = log.find("cache: served from disk"); at != std::string::npos;
         at = log.find("cache: served from disk", at + 1))
        ++served;
    EXPECT_EQ(served, static_cast<std::size_t>(stored));
}
