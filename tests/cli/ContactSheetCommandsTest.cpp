// `lumo scan`, `lumo arrange` and `lumo delete` on copies of corpus files.

#include "LumoHome.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

using lumo::test::ProcessResult;
using lumo::test::runProcess;

namespace fs = std::filesystem;

namespace {

// A folder whose name order is not its capture order: a.jpg 2003, b.jpg 2001, c.jpg 2002, and a raw
// file with its JPEG (2004).
struct SheetFolder {
    explicit SheetFolder(const LumoHome& home) : folder(home.dir.file("sheet")) {
        const std::string corpus = lumo::test::corpusFolder();
        if (corpus.empty())
            return;
        fs::create_directories(folder);
        const std::pair<const char*, const char*> files[] = {{"Canon.jpg", "a.jpg"},
                                                             {"ExifTool.jpg", "b.jpg"},
                                                             {"GPS.jpg", "c.jpg"},
                                                             {"Nikon.nef", "d.nef"},
                                                             {"Nikon.jpg", "d.jpg"}};
        for (const auto& [from, to] : files) {
            fs::copy_file(corpus + "/exiftool/" + from, folder + "/" + to);
            fs::permissions(folder + "/" + to, fs::perms::owner_read | fs::perms::owner_write);
        }
        ready = true;
    }
    std::string folder;
    bool ready = false;
};

// The first two fields of each line: number and file names.
std::vector<std::string> listed(const std::string& out) {
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line.substr(0, line.find('\t', line.find('\t') + 1)));
    return lines;
}

TEST(ContactSheetCommands, ScanListsBySortFilterAndJson) {
    LumoHome t("scan");
    SheetFolder sheet(t);
    if (!sheet.ready)
        GTEST_SKIP() << "no shared corpus";
    ProcessResult r = t.lumo({sheet.folder});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(listed(r.out),
              (std::vector<std::string>{"1\tb.jpg", "2\tc.jpg", "3\ta.jpg", "4\td.nef+d.jpg"}));
    EXPECT_NE(r.out.find("1\tb.jpg\tJPEG\t2001-05-19 18:36:41\t0\t0\t-\n"), std::string::npos) << r.out;

    r = t.lumo({sheet.folder, "--sort", "name", "--reverse", "--no-join"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(listed(r.out),
              (std::vector<std::string>{"1\td.nef", "2\td.jpg", "3\tc.jpg", "4\tb.jpg", "5\ta.jpg"}));

    // A rating set through lumo rate filters; a second scan of the unchanged folder stops at its digest.
    ASSERT_EQ(t.lumo({}).exitCode, 2); // no folder
    ASSERT_EQ(runProcess(LUMO_BINARY, {"rate", sheet.folder + "/c.jpg", "4"}, t.env).exitCode, 0);
    r = t.lumo({sheet.folder, "--filter", "rating>=3"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(listed(r.out), (std::vector<std::string>{"1\tc.jpg"}));
    EXPECT_EQ(t.lumo({sheet.folder, "--filter", "tagged"}).out, "");
    EXPECT_EQ(t.lumo({sheet.folder, "--filter", "stars"}).exitCode, 2);
    EXPECT_EQ(t.lumo({sheet.folder, "--sort", "custom:99"}).exitCode, 2);

    r = t.lumo({sheet.folder, "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const nlohmann::json items = nlohmann::json::parse(r.out);
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[0]["number"], 1);
    EXPECT_EQ(items[0]["files"], nlohmann::json::array({sheet.folder + "/b.jpg"}));
    EXPECT_EQ(items[0]["type"], "JPEG");
    EXPECT_EQ(items[0]["captureTime"], "2001-05-19T18:36:41");
    EXPECT_EQ(items[1]["rating"], 4);
    EXPECT_EQ(items[3]["files"], nlohmann::json::array({sheet.folder + "/d.nef", sheet.folder + "/d.jpg"}));
    EXPECT_EQ(items[3]["type"], "NNEF");
    // The same record fields lumo info gives.
    const nlohmann::json info = nlohmann::json::parse(
        runProcess(LUMO_BINARY, {"info", "--json", sheet.folder + "/b.jpg"}, t.env).out);
    for (const auto& [key, value] : info[0].items())
        if (key != "prefsFile" && key != "rotationFrom" && key != "ratingFrom")
            EXPECT_EQ(items[0][key], value) << key;
}

TEST(ContactSheetCommands, ArrangeKeepsTheOrderForScan) {
    LumoHome t("arrange");
    SheetFolder sheet(t);
    if (!sheet.ready)
        GTEST_SKIP() << "no shared corpus";
    ProcessResult r = t.lumo({sheet.folder, "--order", "c.jpg", sheet.folder + "/d.jpg", "a.jpg"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    r = runProcess(LUMO_BINARY, {"scan", sheet.folder, "--sort", "arrangement"}, t.env);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(listed(r.out),
              (std::vector<std::string>{"1\tc.jpg", "2\td.nef+d.jpg", "3\ta.jpg", "4\tb.jpg"}));

    r = t.lumo({sheet.folder, "--order", "c.jpg", "nothere.jpg", "/etc/passwd"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("\"nothere.jpg\" is not a photo of"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("\"/etc/passwd\" is not a photo of"), std::string::npos) << r.err;
}

TEST(ContactSheetCommands, DeleteMovesPhotosWithTheirCompanionsToTheTrash) {
    LumoHome t("delete");
    SheetFolder sheet(t);
    if (!sheet.ready)
        GTEST_SKIP() << "no shared corpus";
    const std::string trash = t.dir.file("data");
    t.env["XDG_DATA_HOME"] = trash;
    lumo::test::writeWholeFile(sheet.folder + "/d.XMP", "<x:xmpmeta xmlns:x='adobe:ns:meta/'/>");

    // Without --yes and no terminal to ask on, nothing goes.
    ProcessResult r = t.lumo({sheet.folder + "/d.nef"});
    EXPECT_EQ(r.exitCode, 3) << r.err;
    EXPECT_TRUE(fs::exists(sheet.folder + "/d.nef"));

    r = t.lumo({"--yes", sheet.folder + "/d.nef", sheet.folder + "/b.jpg"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (const char* name : {"d.nef", "d.jpg", "d.XMP", "b.jpg"}) {
        EXPECT_FALSE(fs::exists(sheet.folder + "/" + name)) << name;
        EXPECT_TRUE(fs::exists(trash + "/Trash/files/" + name)) << name;
        EXPECT_TRUE(fs::exists(trash + "/Trash/info/" + std::string(name) + ".trashinfo")) << name;
    }
    EXPECT_TRUE(fs::exists(sheet.folder + "/a.jpg"));

    r = t.lumo({"--yes", "--permanently", sheet.folder + "/a.jpg", sheet.folder + "/missing.jpg"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_FALSE(fs::exists(sheet.folder + "/a.jpg"));
    EXPECT_FALSE(fs::exists(trash + "/Trash/files/a.jpg"));
}

} // namespace
