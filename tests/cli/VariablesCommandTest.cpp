// `lumo expand` and `lumo vars`.

#include "LumoHome.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <set>
#include <string>

using lumo::test::ProcessResult;

TEST(VariablesCommand, ExpandEachFileInArgumentOrder) {
    const std::string corpus = lumo::test::corpusFolderOrFail();
    if (corpus.empty())
        GTEST_SKIP() << "no shared corpus";
    const std::string a = corpus + "/exiftool/IPTC.jpg", b = corpus + "/exiftool/ExifTool.jpg";
    LumoHome t("expand");

    ProcessResult r = t.lumo({"--json", "{newfilenamebase:0,3::UC}-{seqn}-{indx}/{totl}{nosuch}", b,
                              "/no/such.jpg", a, "--seq", "7", "--digits", "3"});
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("/no/such.jpg: No such file"), std::string::npos) << r.err;
    const auto json = nlohmann::json::parse(r.out);
    ASSERT_EQ(json.size(), 3u) << r.out;
    EXPECT_EQ(json[0], (nlohmann::json{{"path", b}, {"text", "EXI-007-1/3{nosuch}"}, {"expanded", true}}));
    EXPECT_EQ(json[1]["path"], "/no/such.jpg");
    EXPECT_EQ(json[1]["result"], 10);
    // The failed file used no sequence number.
    EXPECT_EQ(json[2], (nlohmann::json{{"path", a}, {"text", "IPT-008-3/3{nosuch}"}, {"expanded", true}}));

    // One file: just the text. The sequence starts from the stored counter, which showing leaves alone.
    r = t.lumo({"[{seqn}] {nl}{newfilenamebase}{tab}", a});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "[001] \\r\\nIPTC\\t\n");
    r = t.lumo({"{seqn}", a});
    EXPECT_EQ(r.out, "001\n");
    r = t.lumo({"{newfilename::tr:T/\\/}", "--filename", a});
    EXPECT_EQ(r.out, "IP-C.jpg\n");

    r = t.lumo({"{newfilename}"});
    EXPECT_EQ(r.exitCode, 2);
    r = t.lumo({"{seqn}", a, "--digits", "99"});
    EXPECT_EQ(r.exitCode, 2);
}

TEST(VariablesCommand, VarsListsEveryListedName) {
    LumoHome t("vars");
    ProcessResult r = t.lumo({"--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto json = nlohmann::json::parse(r.out);
    EXPECT_EQ(json.size(), 333u);
    std::set<std::string> names;
    for (const auto& v : json) {
        names.insert(v["name"].get<std::string>());
        EXPECT_TRUE(v["shortForms"].is_array());
        EXPECT_FALSE(v["group"].get<std::string>().empty());
        EXPECT_FALSE(v["help"].get<std::string>().empty());
    }
    for (const char* name : {"credit", "countrytaken", "yesterday", "wpy", "rand1000", "trackref",
                             "clientcustom3", "routingexcl", "virin", "whitemode", "pcts"})
        EXPECT_EQ(names.count(name), 1u) << name;
    EXPECT_EQ(names.count("newfilename"), 0u); // recognised, not listed
    EXPECT_EQ(json[0], (nlohmann::json{{"name", "credit"},
                                       {"shortForms", {"cred"}},
                                       {"group", "IPTC and XMP fields"},
                                       {"help", "Credit Line. Empty when the photo has no metadata."}}));

    r = t.lumo({});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("\n  {sequence} (seqn, auto)"), std::string::npos) << r.out;
}
