// `lumo copy` on copies of corpus files: the destinations, renaming, moving, and the usage errors.

#include "LumoHome.h"

#include "app/LumoPaths.h"
#include "db/Preferences.h"
#include "metadata/IPTCFields.h"
#include "metadata/IPTCUtils.h"
#include "metadata/MetadataTemplate.h"
#include "metadata/PhotoMetadata.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>
#include <vector>

using lumo::test::namesIn;
using lumo::test::ProcessResult;
using lumo::test::readWholeFile;

namespace fs = std::filesystem;

namespace {

// A raw file with its JPEG and sidecar, and a JPEG alone, in "src".
struct CopyFolder {
    explicit CopyFolder(const LumoHome& home) : src(home.dir.file("src")) {
        const std::string corpus = lumo::test::corpusFolder();
        if (corpus.empty())
            return;
        fs::create_directories(src);
        const std::pair<const char*, const char*> files[] = {
            {"Nikon.nef", "DSC_0001.NEF"}, {"Nikon.jpg", "DSC_0001.JPG"}, {"Canon.jpg", "IMG_0002.JPG"}};
        for (const auto& [from, to] : files) {
            fs::copy_file(corpus + "/exiftool/" + from, src + "/" + to);
            fs::permissions(src + "/" + to, fs::perms::owner_read | fs::perms::owner_write);
        }
        lumo::test::writeWholeFile(src + "/DSC_0001.XMP", "<x:xmpmeta xmlns:x='adobe:ns:meta/'/>");
        ready = true;
    }
    std::string file(const std::string& name) const { return src + "/" + name; }
    std::string src;
    bool ready = false;
};

// Keeps `stationery` as the current template of `home`'s settings.
bool saveTemplate(const LumoHome& home, const IPTCRec& stationery) {
    LumoPaths::initialise(ResolvedLocations{home.settings, home.cache});
    bool saved = IPTCMetadataInitialize() == 0 && CPreferences::GetPreferences() &&
                 IPTCSaveCurrentStationery(stationery) && CPreferences::instance()->save();
    CPreferences::ClosePreferences();
    LumoPaths::reset();
    return saved;
}

// exiftool's reading of one tag of `path` (empty when it has none).
std::string exiftoolTag(const std::string& path, const std::string& tag) {
    const ProcessResult r = lumo::test::runProcess("exiftool", {"-s3", "-" + tag, path}, {}, {});
    std::string value = r.out;
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r'))
        value.pop_back();
    return value;
}

} // namespace

TEST(CopyCommand, TemplateGoesIntoTheCopiesOnly) {
    LumoHome t("copy");
    CopyFolder photos(t);
    if (!photos.ready || !fs::exists("/usr/bin/exiftool"))
        LUMO_SKIP_OR_FAIL("no shared corpus or no exiftool");
    const std::string photo = photos.file("IMG_0002.JPG");
    ASSERT_EQ(lumo::test::runProcess(
                  "exiftool",
                  {"-q", "-overwrite_original", "-IPTC:City=Paris", "-XMP-photoshop:City=Paris", photo}, {},
                  {})
                  .exitCode,
              0);
    const std::string before = readWholeFile(photo);
    // Headline set; City flagged but empty, so cleared.
    IPTCRec stationery;
    IPTCSetDataSet(&stationery, IPTC_HEADLINE, 1, "Hello from {filenamebase}");
    stationery.m_applyFlags[IPTCFieldIndexOf(IPTC_HEADLINE)] = 1;
    stationery.m_applyFlags[IPTCFieldIndexOf(IPTC_CITY)] = 1;
    ASSERT_TRUE(saveTemplate(t, stationery));

    const std::string out = t.dir.file("out");
    const ProcessResult r = t.lumo({photo, "--to", out, "--apply-template"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readWholeFile(photo), before);
    const std::string copy = out + "/IMG_0002.JPG";
    EXPECT_EQ(exiftoolTag(copy, "XMP-photoshop:Headline"), "Hello from IMG_0002");
    EXPECT_EQ(exiftoolTag(copy, "IPTC:Headline"), "Hello from IMG_0002");
    EXPECT_EQ(exiftoolTag(copy, "XMP-photoshop:City"), "");
    EXPECT_EQ(exiftoolTag(copy, "IPTC:City"), "");
    EXPECT_EQ(exiftoolTag(photo, "IPTC:City"), "Paris");
}

TEST(CopyCommand, CopiesRenamesAndMovesWithTheirCompanions) {
    LumoHome t("copy");
    CopyFolder photos(t);
    if (!photos.ready)
        GTEST_SKIP() << "no shared corpus";
    const std::string out = t.dir.file("out");
    const std::vector<std::string> originals = namesIn(photos.src);

    // The raw file brings its JPEG and sidecar; the copies take the template's names.
    ProcessResult r = t.lumo({"--json", photos.file("DSC_0001.NEF"), photos.file("IMG_0002.JPG"), "--to", out,
                              "--rename", "{filenamebase}_c"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(namesIn(out), (std::vector<std::string>{"DSC_0001_c.JPG", "DSC_0001_c.NEF", "DSC_0001_c.XMP",
                                                      "IMG_0002_c.JPG"}));
    const nlohmann::json json = nlohmann::json::parse(r.out);
    ASSERT_EQ(json["copied"].size(), 2u);
    EXPECT_EQ(json["copied"][1]["destination"], out + "/IMG_0002_c.JPG");
    EXPECT_EQ(readWholeFile(out + "/DSC_0001_c.NEF"), readWholeFile(photos.file("DSC_0001.NEF")));
    EXPECT_EQ(namesIn(photos.src), originals);

    // Next to the originals: the same name twice gets a letter.
    r = t.lumo({photos.file("IMG_0002.JPG"), "--in-place", "--rename", "Copy"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    r = t.lumo({photos.file("IMG_0002.JPG"), "--in-place", "--rename", "Copy"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(fs::exists(photos.file("Copy.JPG")) && fs::exists(photos.file("CopyA.JPG")));

    // A move takes the photo away, into a folder made per photo.
    const std::string bytes = readWholeFile(photos.file("IMG_0002.JPG"));
    r = t.lumo({photos.file("IMG_0002.JPG"), "--move", "--root", out, "--folder", "by:{filenamebase}"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_FALSE(fs::exists(photos.file("IMG_0002.JPG")));
    EXPECT_EQ(readWholeFile(out + "/by-IMG_0002/IMG_0002.JPG"), bytes);
    EXPECT_NE(r.out.find("moved "), std::string::npos) << r.out;
}

TEST(CopyCommand, RefusesWhatItCannotDo) {
    LumoHome t("copy");
    CopyFolder photos(t);
    if (!photos.ready)
        GTEST_SKIP() << "no shared corpus";
    const std::string out = t.dir.file("out");
    const struct {
        std::vector<std::string> args;
        int exitCode;
        const char* said;
    } cases[] = {
        {{photos.file("IMG_0002.JPG")}, 2, "name one destination"},
        {{photos.file("IMG_0002.JPG"), "--to", out, "--in-place"}, 2, "name one destination"},
        {{photos.file("IMG_0002.JPG"), "--root", out}, 2, "--root and --folder go together"},
        {{photos.file("IMG_0002.JPG"), "--to", out, "--apply-template"}, 1, "no metadata template"},
        {{photos.file("missing.JPG"), "--to", out}, 1, "missing.JPG"},
    };
    for (const auto& c : cases) {
        const ProcessResult r = t.lumo(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.said << ": " << r.err;
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
    }
    EXPECT_FALSE(fs::exists(out + "/IMG_0002.JPG"));
}

// --open lists the destination folders, asking first when there are more than five.
TEST(CopyCommand, OpenListsTheFoldersAskingOverFive) {
    LumoHome t("copy");
    const std::string corpus = lumo::test::corpusFolder();
    if (corpus.empty())
        GTEST_SKIP() << "no shared corpus";
    const std::string src = t.dir.file("six"), out = t.dir.file("out");
    fs::create_directories(src);
    std::vector<std::string> args;
    for (int i = 1; i <= 6; ++i) {
        args.push_back(src + "/IMG_000" + std::to_string(i) + ".JPG");
        fs::copy_file(corpus + "/exiftool/Canon.jpg", args.back());
    }
    args.insert(args.end(), {"--root", out, "--folder", "{filenamebase}", "--open"});
    const auto with = [&](std::vector<std::string> front) {
        front.insert(front.end(), args.begin(), args.end());
        return front;
    };
    // Without a terminal the question takes its default answer, yes (the core's test answers no).
    ProcessResult r = t.lumo(with({"--json", "--no-input"}));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("Warning: 6 folders were generated.  Do you still want to open them?"),
              std::string::npos)
        << r.err;
    const nlohmann::json json = nlohmann::json::parse(r.out);
    ASSERT_EQ(json["open"].size(), 6u);
    EXPECT_EQ(json["open"][5], out + "/IMG_0006");
}
