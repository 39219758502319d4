// `lumo iptc` against exiftool on the corpus files that carry IPTC, and on a .IPT file and a failure.

#include "LumoHome.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>
#include <set>
#include <string>
#include <vector>

using lumo::test::ProcessResult;

namespace {

// exiftool's values by dataset number (record 2), every occurrence; dates, times and binary values,
// which exiftool reformats, left out.
bool comparable(unsigned number) {
    return number != 0 && number != 30 && number != 35 && number != 55 && number != 60 && number != 62 &&
           number != 63;
}

std::map<unsigned, std::multiset<std::string>> exiftoolValues(const std::string& path) {
    std::map<unsigned, std::multiset<std::string>> out;
    const auto json = lumo::test::exiftoolJson({"-n", "-D", "-a", "-G1", "-IPTC:all", path});
    if (!json || json->empty())
        return out;
    for (const auto& [key, tag] : (*json)[0].items()) {
        if (key.rfind("IPTC:", 0) != 0 || !tag.is_object() || key == "IPTC:CodedCharacterSet")
            continue;
        const unsigned id = tag["id"].get<unsigned>();
        const auto add = [&](const nlohmann::json& v) {
            out[id].insert(v.is_string() ? v.get<std::string>() : v.dump());
        };
        if (tag["val"].is_array())
            for (const auto& v : tag["val"])
                add(v);
        else
            add(tag["val"]);
    }
    return out;
}

} // namespace

TEST(IptcCommand, DataSetsAgreeWithExiftool) {
    const std::string corpus = lumo::test::corpusFolderOrFail();
    if (corpus.empty())
        GTEST_SKIP() << "no shared corpus";
    if (lumo::test::runProcess("exiftool", {"-ver"}).exitCode != 0)
        LUMO_SKIP_OR_FAIL("exiftool is not installed");
    const std::vector<std::string> files = {
        corpus + "/exiftool/IPTC.jpg",     corpus + "/exiv2/iptc-psAPP13-wIPTCmid.jpg",
        corpus + "/exiv2/Reagan.tiff",     corpus + "/exiftool/Photoshop.psd",
        corpus + "/exiftool/ExifTool.jpg", corpus + "/exiv2/iptc-psAPP13s-wIPTCs-psAPP13s-wIPTCs.jpg"};
    LumoHome t("iptc");
    std::vector<std::string> args = {"--json"};
    args.insert(args.end(), files.begin(), files.end());
    const ProcessResult r = t.lumo(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto parsed = nlohmann::json::parse(r.out);
    ASSERT_EQ(parsed.size(), files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(files[i]);
        const auto& file = parsed[i];
        EXPECT_EQ(file["path"], files[i]);
        std::map<unsigned, std::multiset<std::string>> ours;
        for (const auto& d : file["datasets"])
            if (d["record"] == 2 && comparable(d["dataset"].get<unsigned>()))
                ours[d["dataset"].get<unsigned>()].insert(d["value"].get<std::string>());
        std::map<unsigned, std::multiset<std::string>> theirs = exiftoolValues(files[i]);
        std::erase_if(theirs, [](const auto& entry) { return !comparable(entry.first); });
        EXPECT_FALSE(ours.empty());
        EXPECT_EQ(ours, theirs);
    }
    EXPECT_EQ(parsed[2]["encoding"], "UTF-8"); // Reagan.tiff marks its block UTF-8
}

TEST(IptcCommand, TextOutputIptFilesAndFailures) {
    LumoHome t("iptc");
    const std::string ipt = t.dir.file("caption.IPT"), missing = t.dir.file("missing.jpg");
    lumo::test::writeWholeFile(ipt, std::string("\x1C\x02\x78\x00\x04"
                                                "Caf\xE9"
                                                "\x1C\x02\xC8\x00\x02\x01\x02",
                                                16));
    ProcessResult r = t.lumo({ipt});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("  2:120\tIPTC_CAPTION\tCaf\xC3\xA9\n"), std::string::npos) << r.out; // CP1252 read
    EXPECT_NE(r.out.find("  2:200\t\t0x0102\n"), std::string::npos) << r.out; // unknown: by number
    r = t.lumo({"--json", missing, ipt});
    EXPECT_EQ(r.exitCode, 1);
    const auto parsed = nlohmann::json::parse(r.out);
    ASSERT_EQ(parsed.size(), 2u);
    EXPECT_EQ(parsed[0]["path"], missing);
    EXPECT_TRUE(parsed[0].contains("error")) << parsed[0].dump();
    EXPECT_EQ(parsed[1]["encoding"], "CP1252");
    EXPECT_TRUE(parsed[1]["datasets"][1]["name"].is_null());
}
