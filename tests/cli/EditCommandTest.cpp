// `lumo rotate` and `lumo crop` on files made here.

#include "EditCommand.h"
#include "LumoHome.h"
#include "support/JpegBuilder.h"
#include "support/TiffBuilder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

using namespace lumo::test;

namespace {

// A picture as rows of cells, to see what an orientation does to it.
using Grid = std::vector<std::string>;

Grid turnClockwise(const Grid& g) {
    Grid out(g[0].size(), std::string(g.size(), ' '));
    for (std::size_t y = 0; y < g.size(); ++y)
        for (std::size_t x = 0; x < g[0].size(); ++x)
            out[x][g.size() - 1 - y] = g[y][x];
    return out;
}
Grid mirrorLeftRight(Grid g) {
    for (std::string& row : g)
        row.assign(row.rbegin(), row.rend());
    return g;
}
Grid mirrorTopBottom(Grid g) {
    return Grid(g.rbegin(), g.rend());
}

// What a viewer shows for a stored picture with this EXIF Orientation, by the names exiftool gives
// the values.
Grid shown(const Grid& stored, int orientation) {
    switch (orientation) {
    case 2: // Mirror horizontal
        return mirrorLeftRight(stored);
    case 3: // Rotate 180
        return turnClockwise(turnClockwise(stored));
    case 4: // Mirror vertical
        return mirrorTopBottom(stored);
    case 5: // Mirror horizontal and rotate 270 CW
        return turnClockwise(turnClockwise(turnClockwise(mirrorLeftRight(stored))));
    case 6: // Rotate 90 CW
        return turnClockwise(stored);
    case 7: // Mirror horizontal and rotate 90 CW
        return turnClockwise(mirrorLeftRight(stored));
    case 8: // Rotate 270 CW
        return turnClockwise(turnClockwise(turnClockwise(stored)));
    default:
        return stored;
    }
}

struct ActionCase {
    RotateAction action;
    const char* flag;
    Grid (*onScreen)(const Grid&);
};
const ActionCase kActions[] = {
    {RotateAction::Clockwise, "--cw", [](const Grid& g) { return turnClockwise(g); }},
    {RotateAction::CounterClockwise, "--ccw",
     [](const Grid& g) { return turnClockwise(turnClockwise(turnClockwise(g))); }},
    {RotateAction::MirrorHorizontal, "--mirror-h", [](const Grid& g) { return mirrorLeftRight(g); }},
    {RotateAction::MirrorVertical, "--mirror-v", [](const Grid& g) { return mirrorTopBottom(g); }},
};

const Grid kStored = {"abc", "def"};

// A camera JPEG whose IFD0 and IFD1 both carry `orientation`, or one without EXIF.
std::string cameraJpeg(int orientation) {
    JpegBuilder jpeg(48, 32);
    if (orientation > 0) {
        TiffBuilder tiff;
        tiff.ifd().add(271, "Lumocam").addShort(274, static_cast<uint16_t>(orientation));
        tiff.ifd()
            .next()
            .addShort(274, static_cast<uint16_t>(orientation))
            .addBlob(513, 514, encodeJpeg(16, 12));
        jpeg.addExif(tiff.build());
    }
    return jpeg.build();
}

// A NEF-like raw whose first SubIFD holds a JPEG preview.
std::string builtRaw() {
    TiffBuilder b(ByteOrder::Big);
    TiffIfd& ifd0 = b.ifd();
    ifd0.add(271, "NIKON CORPORATION").add(272, "NIKON D850").addShort(274, 1);
    std::vector<TiffIfd*> subs = ifd0.subIfds(2);
    subs[0]->addLong(254, 1).addBlob(513, 514, encodeJpeg(160, 106));
    subs[1]->addLong(254, 0).addLong(256, 6000).addLong(257, 4000).addShort(262, 32803);
    return b.build();
}

std::vector<int> orientationsOf(const std::vector<std::string>& files) {
    std::vector<std::string> args = {"-n", "-Orientation"};
    args.insert(args.end(), files.begin(), files.end());
    const auto read = exiftoolJson(args);
    std::vector<int> out;
    if (read)
        for (const auto& file : *read)
            out.push_back(file.value("Orientation", 0));
    return out;
}

} // namespace

TEST(EditCommand, EveryActionOnEveryCodeShowsWhatTheUserAskedFor) {
    for (int code = 0; code < 8; ++code) {
        const Grid before = shown(kStored, exifOrientationForCode(code));
        for (const ActionCase& a : kActions) {
            SCOPED_TRACE(std::to_string(code) + " " + a.flag);
            const int next = rotatedCode(code, a.action);
            ASSERT_GE(next, 0);
            ASSERT_LE(next, 7);
            EXPECT_EQ(shown(kStored, exifOrientationForCode(next)), a.onScreen(before));
        }
    }
}

TEST(EditCommand, BadUsageExitsWithTwoAndTouchesNothing) {
    LumoHome t;
    const std::string photo = t.dir.file("p.jpg");
    const std::string bytes = cameraJpeg(1);
    writeWholeFile(photo, bytes);
    const std::vector<std::vector<std::string>> bad = {
        {"rotate", photo},
        {"rotate", "--cw", "--ccw", photo},
        {"rotate", "--set", "8", photo},
        {"rotate", "--set", "-1", photo},
        {"rotate", "--set", "x", photo},
        {"rotate", "--orientation", "0", photo},
        {"rotate", "--orientation", "9", photo},
        {"rotate", "--orientation", "6", "--set", "1", photo},
        {"rotate", "--180", "--cw", photo},
        {"rotate", "--cw"},
        {"crop", photo},
        {"crop", "--rect", "0.5,0,0.5,1", photo},
        {"crop", "--rect", "0,0,1.5,1", photo},
        {"crop", "--rect", "0,0,1", photo},
        {"crop", "--rect", "0,nan,1,1", photo},
        {"crop", "--rect", "0,0,1,1", "--angle", "46", photo},
        {"crop", "--rect", "0,0,1,1", "--ratio", "0:2", photo},
        {"crop", "--rect", "0,0,1,1", "--ratio", "3", photo},
        {"crop", "--remove", "--rect", "0,0,1,1", photo},
    };
    for (const auto& args : bad) {
        const ProcessResult r = t.lumo(args);
        EXPECT_EQ(r.exitCode, 2) << args[1] << " " << args[2] << "\n" << r.err;
    }
    EXPECT_EQ(readWholeFile(photo), bytes);
}

TEST(EditCommand, AJPEGKeepsItsCropAndRotationInItsXMP) {
    LumoHome t;
    const std::string cropped = t.dir.file("crop.jpg");
    const std::string plain = t.dir.file("plain.jpg"); // no EXIF orientation to rewrite
    writeWholeFile(cropped, cameraJpeg(1));
    writeWholeFile(plain, cameraJpeg(0));
    const DecodedJpeg pixels = decodeJpeg(cameraJpeg(0));

    ProcessResult r = t.lumo({"--json", "crop", "--rect", "0.1,0.2,0.9,0.8", cropped});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    r = t.lumo({"rotate", "--mirror-v", plain});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_FALSE(std::filesystem::exists(t.dir.file("crop.XIP")));
    EXPECT_FALSE(std::filesystem::exists(t.dir.file("plain.XIP")));
    EXPECT_EQ(decodeJpeg(readWholeFile(plain)).pixels, pixels.pixels);
    r = t.lumo({"--json", "info", cropped, plain});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto info = nlohmann::json::parse(r.out);
    EXPECT_EQ(info[0]["crop"]["left"], 0.1) << info[0].dump();
    EXPECT_EQ(info[1]["rotation"], 6) << info[1].dump();
    EXPECT_EQ(info[1]["rotationFrom"], "xmp");

    if (runProcess("exiftool", {"-ver"}).exitCode != 0)
        LUMO_SKIP_OR_FAIL("exiftool is not installed");
    const auto json = exiftoolJson(
        {"-n", "-G1", "-XMP-crs:all", "-XMP-tiff:Orientation", "-IFD0:Orientation", cropped, plain});
    ASSERT_TRUE(json && json->size() == 2);
    EXPECT_EQ((*json)[0].value("XMP-crs:CropLeft", 0.0), 0.1);
    EXPECT_EQ((*json)[0].value("XMP-crs:CropBottom", 0.0), 0.8);
    EXPECT_EQ((*json)[0].value("IFD0:Orientation", 0), 1) << "the camera's own orientation stays";
    EXPECT_EQ((*json)[1].value("XMP-tiff:Orientation", 0), 4);
    EXPECT_FALSE((*json)[1].contains("IFD0:Orientation"));

    // Turned again, it starts from the orientation its XMP holds.
    r = t.lumo({"rotate", "--mirror-v", plain});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const auto again = exiftoolJson({"-n", "-XMP-tiff:Orientation", plain});
    ASSERT_TRUE(again);
    EXPECT_EQ((*again)[0].value("Orientation", 0), 1);

    const std::string missing = t.dir.file("missing.jpg");
    r = t.lumo({"rotate", "--cw", missing});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err,
              "lumo: " + missing + ": While rotating an image clockwise an error occurred: No such file\n");
}

// The cases below need the engine's rotation writer and the prefs sidecar.

TEST(EditCommand, AFolderStandsForThePhotosInItEachTurnedOnce) {
    LumoHome t;
    const std::string folder = t.dir.file("shoot");
    std::filesystem::create_directories(folder + "/picks");
    for (const char* name : {"a.NEF", "b.NEF", "picks/c.NEF"})
        writeWholeFile(folder + "/" + name, builtRaw());
    writeWholeFile(folder + "/notes.txt", "words");

    ProcessResult r = t.lumo({"--json", "rotate", "--cw", folder, folder + "/a.NEF"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto listed = nlohmann::json::parse(r.out);
    ASSERT_EQ(listed.size(), 2u) << r.out;
    EXPECT_EQ(listed[0]["path"], folder + "/a.NEF");
    EXPECT_EQ(listed[0]["rotation"], 1); // turned once, though named twice
    EXPECT_EQ(listed[1]["path"], folder + "/b.NEF");
    EXPECT_FALSE(std::filesystem::exists(t.dir.file("shoot.XIP")));
    EXPECT_FALSE(std::filesystem::exists(folder + "/picks/c.XIP"));

    r = t.lumo({"--json", "crop", "-r", "--rect", "0,0,0.5,0.5", folder});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    listed = nlohmann::json::parse(r.out);
    ASSERT_EQ(listed.size(), 3u) << r.out;
    EXPECT_EQ(listed[2]["path"], folder + "/picks/c.NEF");
}

TEST(EditCommand, RotatingCameraJpegsRewritesOnlyTheirOrientation) {
    LumoHome t;
    std::vector<std::string> files;
    for (int code = 0; code < 8; ++code)
        files.push_back(t.dir.file("code" + std::to_string(code) + ".jpg"));
    if (runProcess("exiftool", {"-ver"}).exitCode == 127)
        LUMO_SKIP_OR_FAIL("exiftool is not installed");

    for (const ActionCase& a : kActions) {
        SCOPED_TRACE(a.flag);
        std::vector<std::string> originals;
        for (int code = 0; code < 8; ++code) {
            originals.push_back(cameraJpeg(exifOrientationForCode(code)));
            writeWholeFile(files[code], originals.back());
        }
        std::vector<std::string> args = {"--json", "rotate", a.flag};
        args.insert(args.end(), files.begin(), files.end());
        const ProcessResult r = t.lumo(args);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const auto listed = nlohmann::json::parse(r.out);
        const std::vector<int> read = orientationsOf(files);
        ASSERT_EQ(read.size(), 8u);
        for (int code = 0; code < 8; ++code) {
            SCOPED_TRACE(code);
            EXPECT_EQ(shown(kStored, read[code]), a.onScreen(shown(kStored, exifOrientationForCode(code))));
            EXPECT_EQ(listed[code]["orientation"], read[code]);
            // In place: the same length, only the two orientation values changed.
            const std::string now = readWholeFile(files[code]);
            ASSERT_EQ(now.size(), originals[code].size());
            int differing = 0;
            for (std::size_t i = 0; i < now.size(); ++i)
                differing += now[i] != originals[code][i];
            EXPECT_LE(differing, 2);
        }
    }

    // --set writes the code as given; a read-only file fails and is left as it was.
    writeWholeFile(files[0], cameraJpeg(1));
    ProcessResult r = t.lumo({"rotate", "--set", "3", files[0]});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(orientationsOf({files[0]}), std::vector<int>{8});
    // Nobody at a terminal to fix it: --yes skips the file, --no-input (as no terminal) stops there.
    const std::string locked = files[1];
    writeWholeFile(locked, cameraJpeg(1));
    ::chmod(locked.c_str(), 0444);
    const struct {
        const char* flag;
        int exit;
        const char* answered;
        int after; // the orientation of the file after the locked one
    } answers[] = {{"--yes", 1, "skip (--yes)", 6},
                   {"--no-input", 3, "cancel (--no-input)", 1},
                   {"--json", 3, "cancel (no terminal to ask on)", 1}};
    for (const auto& a : answers) {
        SCOPED_TRACE(a.flag);
        writeWholeFile(files[0], cameraJpeg(1));
        writeWholeFile(files[2], cameraJpeg(1));
        r = t.lumo({"--json", "rotate", "--cw", a.flag, files[0], locked, files[2]});
        EXPECT_EQ(r.exitCode, a.exit);
        EXPECT_NE(
            r.err.find("While rotating an image clockwise an error occurred:\n\nUnable to gain write access "
                       "to '" +
                       locked + "'."),
            std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find("(r)etry / (s)kip / [C]ancel " + std::string(a.answered)), std::string::npos)
            << r.err;
        const auto listed = nlohmann::json::parse(r.out);
        ASSERT_EQ(listed.size(), a.exit == 1 ? 3u : 2u);
        EXPECT_EQ(listed[0]["rotation"], 1); // the file before it was still turned
        EXPECT_TRUE(listed[1].contains("error"));
        EXPECT_EQ(readWholeFile(locked), cameraJpeg(1));
        EXPECT_EQ(orientationsOf({files[0], locked, files[2]}), (std::vector<int>{6, 1, a.after}));
    }

    // A camera's own JPEG (EXIF 6) turns on to EXIF 3 in place.
    const std::string corpus = corpusFolderOrFail();
    if (corpus.empty())
        return;
    const std::string original = readWholeFile(corpus + "/exiv2/exiv2-bug2565.jpg");
    const std::string camera = t.dir.file("camera.jpg");
    writeWholeFile(camera, original);
    r = t.lumo({"rotate", "--cw", camera});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(orientationsOf({camera}), std::vector<int>{3});
    const std::string now = readWholeFile(camera);
    ASSERT_EQ(now.size(), original.size());
    EXPECT_LE(
        std::inner_product(now.begin(), now.end(), original.begin(), 0, std::plus<>(), std::not_equal_to<>()),
        2);
}

// EXIF's numbers for the orientation, a half turn, and progress lines when nobody watches a terminal.
TEST(EditCommand, OrientationInExifNumbersAndProgressWhenPiped) {
    LumoHome t;
    if (runProcess("exiftool", {"-ver"}).exitCode == 127)
        LUMO_SKIP_OR_FAIL("exiftool is not installed");
    std::vector<std::string> files;
    for (int i = 0; i < 3; ++i) {
        files.push_back(t.dir.file("p" + std::to_string(i) + ".jpg"));
        writeWholeFile(files.back(), cameraJpeg(1));
    }
    const struct {
        std::vector<std::string> args;
        int orientation;
    } cases[] = {
        {{"--orientation", "6"}, 6},
        {{"--orientation", "5"}, 5},
        {{"--180"}, 7},      // 5 turned half
        {{"--set", "6"}, 4}, // the rotation code: 6 is mirrored and turned half, EXIF 4
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"rotate"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.insert(args.end(), files.begin(), files.end());
        const ProcessResult r = t.lumo(args);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(orientationsOf(files), std::vector<int>(3, c.orientation)) << c.args[0];
        // Not on a terminal: plain progress lines counting files, and a line per file on stdout.
        EXPECT_NE(r.err.find("Rotating: 3/3 (100%)\n"), std::string::npos) << r.err;
        EXPECT_NE(r.out.find(files[2] + ": rotation "), std::string::npos) << r.out;
    }
    const ProcessResult quiet = t.lumo({"rotate", "--quiet", "--cw", files[0], files[1], files[2]});
    EXPECT_EQ(quiet.exitCode, 0) << quiet.err;
    EXPECT_EQ(quiet.out + quiet.err, "");
}

TEST(EditCommand, CropGoesToTheSidecarAndToTheDraftCropOfARawShownThroughItsPreview) {
    LumoHome t;
    const std::string raw = t.dir.file("DSC_0001.NEF");
    const std::string rawBytes = builtRaw();
    writeWholeFile(raw, rawBytes);
    // 0.8 x 0.6 of 6000 x 4000 is 2:1, not 3:2: narrowed about its centre to 3600 x 2400.
    ProcessResult r =
        t.lumo({"--json", "crop", "--rect", "0.1,0.2,0.9,0.8", "--angle", "-3.5", "--ratio", "3:2", raw});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto listed = nlohmann::json::parse(r.out);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_DOUBLE_EQ(listed[0]["crop"]["left"].get<double>(), 0.2);
    EXPECT_DOUBLE_EQ(listed[0]["crop"]["right"].get<double>(), 0.8);
    EXPECT_EQ(listed[0]["crop"]["top"], 0.2);
    EXPECT_EQ(listed[0]["crop"]["angle"], -3.5);
    EXPECT_EQ(listed[0]["crop"]["ratio"], nlohmann::json::array({3.0, 2.0}));
    EXPECT_TRUE(listed[0]["crop"]["draft"].get<bool>());
    EXPECT_TRUE(listed[0]["crop"]["adjusted"].get<bool>());
    EXPECT_NE(r.err.find("DSC_0001.NEF: the crop was narrowed to the shape 3:2 in this picture: "
                         "0.200000,0.200000,0.800000,0.800000"),
              std::string::npos)
        << r.err;
    EXPECT_NE(readWholeFile(t.dir.file("DSC_0001.XIP")).find("<left>0.200000</left>"), std::string::npos);
    // A crop of the ratio's shape (to half a percent) is kept as given.
    r = t.lumo({"--json", "crop", "--rect", "0.1,0.1,0.9,0.902", "--ratio", "3:2", raw});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    listed = nlohmann::json::parse(r.out);
    EXPECT_EQ(listed[0]["crop"]["bottom"], 0.902);
    EXPECT_FALSE(listed[0]["crop"].contains("adjusted"));
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(std::filesystem::exists(t.dir.file("DSC_0001.XIP")));
    EXPECT_EQ(readWholeFile(raw), rawBytes);

    // The raw's rotation lives in its prefs too, beside its own orientation value.
    r = t.lumo({"--json", "rotate", "--cw", raw});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(nlohmann::json::parse(r.out)[0]["orientation"], 6);
    EXPECT_EQ(orientationsOf({raw}), std::vector<int>{6});

    r = t.lumo({"crop", "--remove", raw});
    EXPECT_EQ(r.exitCode, 0) << r.err;
}

TEST(EditCommand, PhotosSharingASidecarKeepTheirOwnRotationAndEachOthersCrops) {
    LumoHome t;
    // A raw shown through its preview and a scan of the same name share IMG_1.XIP.
    const std::string raw = t.dir.file("IMG_1.NEF"), scan = t.dir.file("IMG_1.tif");
    const std::string sidecar = t.dir.file("IMG_1.XIP");
    writeWholeFile(raw, builtRaw());
    TiffBuilder tiff;
    tiff.ifd().addLong(256, 2).addLong(257, 2).addShorts(258, {8, 8, 8}).addShort(262, 2).addShort(274, 1);
    tiff.ifd().addShort(277, 3).addBlob(273, 279, std::string(12, '\x40'));
    writeWholeFile(scan, tiff.build());
    // The final crop a rendering program left for the raw, which this program does not write for it.
    const std::string finalCrop =
        "<NORMCROPRECT><angle>0</angle><left>0.25</left><top>0</top><right>1</right>"
        "<bottom>1</bottom></NORMCROPRECT>";
    writeWholeFile(sidecar, "<?xml version=\"1.0\"?>\n<IMAGEPREFS>\n\t" + finalCrop +
                                "\n\t<colorclass>3</colorclass>\n</IMAGEPREFS>\n");

    ProcessResult r = t.lumo({"crop", "--rect", "0.1,0.2,0.9,0.8", raw});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    r = t.lumo({"rotate", "--cw", raw});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(readWholeFile(sidecar).find(finalCrop), std::string::npos) << readWholeFile(sidecar);
    // The scan turns from its own orientation (1), not from the raw's rotation in the shared sidecar.
    r = t.lumo({"--json", "rotate", "--cw", scan});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(nlohmann::json::parse(r.out)[0]["orientation"], 6);
    EXPECT_EQ(orientationsOf({raw, scan}), (std::vector<int>{6, 6}));
    const std::string shared = readWholeFile(sidecar);
    EXPECT_NE(shared.find("<NORMCROPRECT>\n\t\t<angle>0.000000</angle>\n\t\t<left>0.250000</left>"),
              std::string::npos)
        << shared;
    EXPECT_NE(shared.find("<NORMCROPRECTDRAFT>\n\t\t<angle>0.000000</angle>\n\t\t<left>0.100000</left>"),
              std::string::npos)
        << shared;
    EXPECT_NE(shared.find("\t<colorclass>3</colorclass>\n"), std::string::npos) << shared;

    // A sidecar that cannot be read is not replaced, and the photo is left as it was.
    std::filesystem::remove(sidecar);
    std::filesystem::create_directory(sidecar);
    const std::string before = readWholeFile(scan);
    r = t.lumo({"rotate", "--cw", scan});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("could not be read"), std::string::npos) << r.err;
    EXPECT_EQ(readWholeFile(scan), before);
    EXPECT_TRUE(std::filesystem::is_directory(sidecar));

    // The reviewer's pair: a Canon CR2 and CR3 of one name, each turned once, both end at 6.
    const std::string corpus = corpusFolderOrFail();
    if (corpus.empty())
        return;
    std::vector<std::string> pair;
    for (const char* name : {"CanonRaw.cr2", "CanonRaw.cr3"}) {
        pair.push_back(t.dir.file(name));
        writeWholeFile(pair.back(), readWholeFile(corpus + "/exiftool/" + name));
        ASSERT_EQ(t.lumo({"rotate", "--cw", pair.back()}).exitCode, 0);
    }
    EXPECT_EQ(orientationsOf(pair), (std::vector<int>{6, 6}));
}
