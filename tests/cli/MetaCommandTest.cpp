// `lumo meta`, `meta set/clear/undo`, `tag`, `rate` and `colorclass` on copies of corpus files, read back
// by exiftool.

#include "LumoHome.h"
#include "NRF/NRF.h"
#include "NRF/NRFBitmapBase.h"
#include "NRF/NRFImageInfo.h"
#include "support/JpegBuilder.h"
#include "support/TextUtils.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

using lumo::test::ProcessResult;
using lumo::test::readWholeFile;
using lumo::test::writeWholeFile;

namespace {

const std::string kCaption = "Boats at dawn, Caf\xC3\xA9 du Port";
const std::vector<std::string> kKeywords = {"harbour", "boats", "dawn"};
const std::string kCreator = "Ana Lima", kCity = "Porto", kCopyright = "\xC2\xA9 2026 Ana Lima";

std::vector<std::string> setArguments(const std::vector<std::string>& files) {
    std::vector<std::string> args = {"meta", "set"};
    args.insert(args.end(), files.begin(), files.end());
    for (const std::string& field :
         {"Caption=" + kCaption, std::string("Keywords=harbour, boats, dawn"),       // a part of a label,
          "photographer=" + kCreator, "City=" + kCity, "Copyright=" + kCopyright}) { // in any case
        args.push_back("--field");
        args.push_back(field);
    }
    return args;
}

// A value of exiftool's JSON as a list of texts (a single item comes as a plain value).
std::vector<std::string> texts(const nlohmann::json& value) {
    std::vector<std::string> out;
    if (value.is_array())
        for (const auto& item : value)
            out.push_back(item.is_string() ? item.get<std::string>() : item.dump());
    else if (!value.is_null())
        out.push_back(value.is_string() ? value.get<std::string>() : value.dump());
    return out;
}

// A member of exiftool's JSON, null when absent.
nlohmann::json member(const nlohmann::json& tags, const std::string& key) {
    return tags.contains(key) ? tags[key] : nlohmann::json();
}

nlohmann::json exiftoolTags(const std::string& path) {
    const auto json = lumo::test::exiftoolJson({"-G1", "-a", "-struct", path});
    return json && !json->empty() ? (*json)[0] : nlohmann::json::object();
}

// exiftool's warnings about a file (-validate), each once; the count it sums them up with left out.
std::set<std::string> warnings(const std::string& path) {
    const ProcessResult r = lumo::test::runProcess("exiftool", {"-validate", "-warning", "-a", "-s", path});
    std::set<std::string> out;
    for (const std::string_view line : lumo::splitLines(r.out))
        if (line.rfind("Validate", 0) != 0)
            out.emplace(line);
    return out;
}

// The picture as the engine decodes it; empty when it cannot.
std::string pixels(const std::string& path) {
    static const bool engine = NRFInit("") == kNRFErrNone;
    if (!engine)
        return {};
    NRFImageInfoRef record;
    NRFBitmapBase bitmap;
    std::string out;
    if (NRFOpenImage(path.c_str(), 0, &record) == kNRFErrNone &&
        NRFGetImageInfo(record.get()) == kNRFErrNone &&
        NRFLoadFileAsBitmap(record.get(), &bitmap, 0) == kNRFErrNone)
        for (std::uint32_t y = 0; y < bitmap.Height(); ++y)
            out.append(reinterpret_cast<const char*>(bitmap.Row(y)), bitmap.Stride());
    NRFCloseImage(&record);
    return out;
}

bool haveExiftool() {
    return lumo::test::runProcess("exiftool", {"-ver"}).exitCode == 0;
}

} // namespace

TEST(MetaCommand, BadUsageSaysWhyAndTouchesNothing) {
    LumoHome t;
    const std::string photo = t.dir.file("p.jpg");
    const std::string bytes = lumo::test::JpegBuilder(16, 16).build();
    writeWholeFile(photo, bytes);
    const struct {
        std::vector<std::string> args;
        const char* says;
    } bad[] = {
        {{"meta", "set", photo, "--field", "Captoin=x"}, "no metadata field is labelled \"Captoin\""},
        {{"meta", "set", photo, "--field", "Caption"}, "--field takes LABEL=VALUE"},
        {{"meta", "set", photo}, "give the fields to set"},
        {{"meta", "clear", photo, "--field", "Town"}, "\"Description/Caption\", \"Alt Text\""},
        {{"meta", "set", photo, "--field", "Rating=9"}, "Rating: "},
        {{"meta", "set", photo, "--field", "Rating=-1"}, "Rating: "},
        {{"meta", "set", "--field", "City=Porto"}, "give the files"},
        {{"rate", photo, "6"}, "from 0 to 5, not \"6\""},
        {{"rate", photo, "-1"}, "no rating -1"},
        {{"rate", photo}, "from 0 to 5"},
        {{"colorclass", photo, "9"}, "from 0 (none) to 8"},
        {{"tag", "--on", "--toggle", photo}, "give one of --on, --off and --toggle"},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b.args[0] + " " + b.args.back());
        const ProcessResult r = t.lumo(b.args);
        EXPECT_EQ(r.exitCode, 2) << r.err;
        EXPECT_NE(r.err.find(b.says), std::string::npos) << r.err;
    }
    EXPECT_EQ(readWholeFile(photo), bytes);
}

// The acceptance: the five fields set on real files of every kind that keeps metadata, read back the
// same by exiftool and by lumo meta, with no new exiftool warning and the pixels as they were.
TEST(MetaCommand, SetFieldsReadBackByExiftoolOnEveryKind) {
    const std::string corpus = lumo::test::corpusFolderOrFail();
    if (corpus.empty())
        GTEST_SKIP() << "no shared corpus";
    if (!haveExiftool())
        LUMO_SKIP_OR_FAIL("exiftool is not installed");
    const struct {
        const char* source;
        const char* copy;
        bool iim;     // the file carries IIM as well as XMP
        bool sidecar; // the metadata goes to NAME.xmp; the file stays byte for byte
    } kinds[] = {
        {"exiv2/exiv2-bug2565.jpg", "photo.jpg", true, false},
        {"exiv2/Reagan.tiff", "scan.tiff", true, false},
        {"exiv2/exiv2-photoshop.psd", "layout.psd", true, false},
        {"exiv2/ReaganSmallPng.png", "chart.png", false, false},
        {"exiv2/Stonehenge.heic", "phone.heic", false, false},
        {"exiftool/Nikon.nef", "camera.nef", false, true},
    };
    LumoHome t;
    std::vector<std::string> files;
    std::map<std::string, std::string> before, picture;
    std::map<std::string, std::set<std::string>> warned;
    for (const auto& k : kinds) {
        const std::string copy = t.dir.file(k.copy);
        writeWholeFile(copy, readWholeFile(corpus + "/" + k.source));
        files.push_back(copy);
        before[copy] = readWholeFile(copy);
        picture[copy] = pixels(copy);
        warned[copy] = warnings(copy);
    }
    ProcessResult r = t.lumo(setArguments(files));
    ASSERT_EQ(r.exitCode, 0) << r.err;

    r = t.lumo([&] {
        std::vector<std::string> args = {"--json", "meta"};
        args.insert(args.end(), files.begin(), files.end());
        return args;
    }());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const nlohmann::json shown = nlohmann::json::parse(r.out);
    ASSERT_EQ(shown.size(), files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        const auto& k = kinds[i];
        const std::string& file = files[i];
        SCOPED_TRACE(k.copy);
        const nlohmann::json& fields = shown[i]["fields"];
        EXPECT_EQ(fields.value("Description/Caption", ""), kCaption);
        EXPECT_EQ(fields.value("Keywords", nlohmann::json()), nlohmann::json(kKeywords));
        EXPECT_EQ(fields.value("Creator/Photographer", ""), kCreator);
        EXPECT_EQ(fields.value("City", ""), kCity);
        EXPECT_EQ(fields.value("Copyright", ""), kCopyright);

        const std::string metadata = k.sidecar ? t.dir.file(std::string(k.copy).substr(0, 6) + ".xmp") : file;
        if (k.sidecar)
            EXPECT_EQ(readWholeFile(file), before[file]);
        const nlohmann::json tags = exiftoolTags(metadata);
        EXPECT_EQ(texts(member(tags, "XMP-dc:Description")), std::vector<std::string>{kCaption});
        EXPECT_EQ(texts(member(tags, "XMP-dc:Subject")), kKeywords);
        EXPECT_EQ(texts(member(tags, "XMP-dc:Creator")), std::vector<std::string>{kCreator});
        EXPECT_EQ(texts(member(tags, "XMP-photoshop:City")), std::vector<std::string>{kCity});
        EXPECT_EQ(texts(member(tags, "XMP-dc:Rights")), std::vector<std::string>{kCopyright});
        EXPECT_EQ(texts(member(tags, "XMP-xmpRights:Marked")), std::vector<std::string>{"true"});
        if (k.iim) {
            EXPECT_EQ(texts(member(tags, "IPTC:Caption-Abstract")), std::vector<std::string>{kCaption});
            EXPECT_EQ(texts(member(tags, "IPTC:Keywords")), kKeywords);
            EXPECT_EQ(texts(member(tags, "IPTC:By-line")), std::vector<std::string>{kCreator});
            EXPECT_EQ(texts(member(tags, "IPTC:City")), std::vector<std::string>{kCity});
            EXPECT_EQ(texts(member(tags, "IPTC:CopyrightNotice")), std::vector<std::string>{kCopyright});
        }
        for (const std::string& warning : warnings(file))
            EXPECT_TRUE(warned[file].count(warning)) << "new warning: " << warning;
        EXPECT_TRUE(k.sidecar || !picture[file].empty()) << "the picture could not be decoded";
        EXPECT_EQ(pixels(file), picture[file]) << "the decoded picture changed";
    }
}

// Two runs changing the same photos at once each keep the other's change: neither puts its version of
// a photo over one the other has written since it read the photo.
TEST(MetaCommand, TwoRunsAtOnceLoseNoChange) {
    LumoHome t;
    const std::string folder = t.dir.file("photos");
    std::filesystem::create_directories(folder);
    const std::string bytes = lumo::test::JpegBuilder(16, 16).build();
    constexpr int kPhotos = 80;
    for (int i = 0; i < kPhotos; ++i)
        writeWholeFile(folder + "/p" + std::to_string(i) + ".jpg", bytes);
    ProcessResult a, b;
    std::thread first([&] { a = t.lumo({"-q", "meta", "set", folder, "--field", "Caption=from a"}); });
    b = t.lumo({"-q", "meta", "set", folder, "--field", "City=from b"});
    first.join();
    ASSERT_EQ(a.exitCode, 0) << a.err;
    ASSERT_EQ(b.exitCode, 0) << b.err;
    const ProcessResult shown = t.lumo({"--json", "meta", folder});
    const nlohmann::json photos = nlohmann::json::parse(shown.out);
    ASSERT_EQ(photos.size(), static_cast<std::size_t>(kPhotos)) << shown.out;
    for (const nlohmann::json& photo : photos) {
        EXPECT_EQ(photo["fields"].value("Description/Caption", ""), "from a") << photo;
        EXPECT_EQ(photo["fields"].value("City", ""), "from b") << photo;
    }
}

// Tag, rating and colour class on a JPEG land in its XMP (xmp:Rating and the program's own properties)
// and in IIM 2:221; undo puts back the metadata the last save replaced.
TEST(MetaCommand, PhotoStateInXmpAndIimAndUndo) {
    const std::string corpus = lumo::test::corpusFolderOrFail();
    if (corpus.empty())
        GTEST_SKIP() << "no shared corpus";
    if (!haveExiftool())
        LUMO_SKIP_OR_FAIL("exiftool is not installed");
    LumoHome t;
    const std::string photo = t.dir.file("photo.jpg"), second = t.dir.file("second.jpg");
    const std::string original = readWholeFile(corpus + "/exiftool/IPTC.jpg");
    writeWholeFile(photo, original);
    writeWholeFile(second, original);
    ProcessResult r = t.lumo({"tag", photo, second});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    r = t.lumo({"rate", photo, second, "4"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    r = t.lumo({"--json", "colorclass", photo, second, "3"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(nlohmann::json::parse(r.out)[1]["colorClass"], 3);
    r = t.lumo({"--json", "tag", "--toggle", second});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(nlohmann::json::parse(r.out)[0]["tagged"], false);

    const auto read = lumo::test::exiftoolJson({"-G1", "-n", photo, second});
    ASSERT_TRUE(read && read->size() == 2);
    for (const auto& [tags, tagged] : {std::pair{(*read)[0], 1}, std::pair{(*read)[1], 0}}) {
        EXPECT_EQ(tags.value("XMP-xmp:Rating", -1), 4) << tags.dump();
        EXPECT_EQ(texts(member(tags, "XMP-lumograph:ColorClass")), std::vector<std::string>{"3"});
        EXPECT_EQ(texts(member(tags, "XMP-lumograph:Tagged")),
                  std::vector<std::string>{tagged ? "true" : "false"});
        const std::string prefs = std::to_string(tagged) + ":3:4:";
        EXPECT_EQ(texts(member(tags, "XMP-lumograph:Prefs")).at(0).rfind(prefs, 0), 0u) << tags.dump();
        EXPECT_EQ(texts(member(tags, "IPTC:Prefs")).at(0).rfind(prefs, 0), 0u) << tags.dump();
    }

    // The caption changed, then put back: exiftool reads the IIM and XMP as they were before the save.
    const auto metadataOf = [](const std::string& path) {
        const auto json = lumo::test::exiftoolJson({"-G1", "-a", "-IPTC:all", "-XMP:all", path});
        return json ? (*json)[0] : nlohmann::json();
    };
    const nlohmann::json saved = metadataOf(photo);
    r = t.lumo({"meta", "set", photo, "--field", "Description/Caption=Changed", "--field",
                "Location Shown=City=Porto; CountryName=Portugal | City=Gaia\\; Sul"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(texts(metadataOf(photo)["IPTC:Caption-Abstract"]), std::vector<std::string>{"Changed"});
    const nlohmann::json places = {{{"City", "Porto"}, {"CountryName", "Portugal"}}, {{"City", "Gaia; Sul"}}};
    EXPECT_EQ(exiftoolTags(photo)["XMP-iptcExt:LocationShown"], places);
    r = t.lumo({"--json", "meta", photo});
    EXPECT_EQ(nlohmann::json::parse(r.out)[0]["fields"]["Location Shown"], places) << r.out;
    r = t.lumo({"meta", "undo", photo});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(metadataOf(photo), saved);
    r = t.lumo({"meta", "set", photo, "--field", "Keywords=extra", "--append"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::vector<std::string> keywords = texts(member(saved, "IPTC:Keywords"));
    keywords.push_back("extra");
    EXPECT_EQ(texts(metadataOf(photo)["XMP-dc:Subject"]), keywords);
    r = t.lumo({"meta", "clear", photo, "--field", "description/caption"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(metadataOf(photo)["IPTC:Caption-Abstract"].is_null());
    EXPECT_TRUE(metadataOf(photo)["XMP-dc:Description"].is_null());
}

// A file that cannot be written asks whether to retry (--yes skips it, the others are saved); a file of
// no known type fails; each failure opens with the operation's words. A file its owner made read-only
// is left alone, as a read-only folder leaves a raw without its sidecar.
TEST(MetaCommand, FailingFilesAreReportedAndTheOthersSaved) {
    const std::string corpus = lumo::test::corpusFolderOrFail();
    if (corpus.empty())
        GTEST_SKIP() << "no shared corpus";
    LumoHome t;
    const std::string good = t.dir.file("good.jpg"), notes = t.dir.file("notes.txt");
    const std::string readOnly = t.dir.file("read-only.jpg");
    const std::string locked = t.dir.file("locked"), raw = locked + "/camera.nef";
    const std::string jpeg = readWholeFile(corpus + "/exiftool/IPTC.jpg");
    writeWholeFile(good, jpeg);
    writeWholeFile(readOnly, jpeg);
    ::chmod(readOnly.c_str(), 0444);
    writeWholeFile(notes, "not a photo");
    ASSERT_EQ(::mkdir(locked.c_str(), 0755), 0);
    writeWholeFile(raw, readWholeFile(corpus + "/exiftool/Nikon.nef"));
    ::chmod(locked.c_str(), 0555);
    ProcessResult r =
        t.lumo({"--json", "--yes", "meta", "set", notes, readOnly, raw, good, "--field", "City=Porto"});
    ::chmod(locked.c_str(), 0755);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    const nlohmann::json listed = nlohmann::json::parse(r.out);
    ASSERT_EQ(listed.size(), 4u) << r.out;
    EXPECT_EQ(listed[0]["result"], 2);
    EXPECT_NE(
        r.err.find("lumo: " + notes +
                   ": While saving metadata an error occurred: Not an image, raw or movie file that lumo "
                   "reads"),
        std::string::npos)
        << r.err;
    EXPECT_EQ(listed[1]["result"], 6);
    EXPECT_NE(r.err.find("While saving metadata an error occurred:\n\nUnable to gain write access to '" +
                         readOnly + "'."),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("(r)etry / (s)kip / [C]ancel skip (--yes)"), std::string::npos) << r.err;
    EXPECT_EQ(readWholeFile(readOnly), jpeg);
    if (::geteuid() != 0) { // the superuser writes into a read-only folder
        EXPECT_TRUE(listed[2].contains("error")) << listed[2].dump();
        EXPECT_NE(r.err.find("Unable to create XMP sidecar file at '" + locked +
                             "/camera.xmp', folder may not be writeable."),
                  std::string::npos)
            << r.err;
    }
    EXPECT_EQ(listed[3]["path"], good);
    EXPECT_FALSE(listed[3].contains("error"));
    r = t.lumo({"--json", "meta", good});
    EXPECT_EQ(nlohmann::json::parse(r.out)[0]["fields"]["City"], "Porto");
    // Without a terminal to ask on, the first file that cannot be written stops the work (exit 3).
    r = t.lumo({"rate", readOnly, good, "2"});
    EXPECT_EQ(r.exitCode, 3) << r.err;
    EXPECT_NE(r.err.find("While setting a rating an error occurred:"), std::string::npos) << r.err;
    EXPECT_EQ(readWholeFile(readOnly), jpeg);
}
