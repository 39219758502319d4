// `lumo codes check` and `lumo codes replace` over table files made here.

#include "LumoHome.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>

using lumo::test::ProcessResult;
using lumo::test::writeWholeFile;

TEST(CodesCommand, CheckReportsErrorsWithFileAndLineAndReplaceUsesFilesOrPreferences) {
    LumoHome t("codes");
    const std::string good = t.dir.file("team.txt"), bad = t.dir.file("dup.txt");
    writeWholeFile(good, "//$$Lakers\n//==LAL\n//??23,6\n23\tLeBron James\n6\tsix\n");
    writeWholeFile(bad, "//$$Lakers\n1\tone\n");

    ProcessResult r = t.lumo({"check", good});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "Lakers\t2 codes\talso LAL\tdefaults 23 6\n");

    r = t.lumo({"--json", "check", good, bad, t.dir.file("missing.txt")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("Error: Hot Codes already defined for namespace 'Lakers'.  File:'" + bad +
                         "' line 1 has duplicates."),
              std::string::npos)
        << r.err;
    const nlohmann::json checked = nlohmann::json::parse(r.out);
    ASSERT_EQ(checked["errors"].size(), 2u);
    EXPECT_EQ(checked["errors"][0]["line"], 1);
    EXPECT_EQ(checked["errors"][1]["path"], t.dir.file("missing.txt"));
    EXPECT_EQ(checked["namespaces"][0]["codes"], 2);

    r = t.lumo({"replace", "=23= scores, =99= does not", "--file", good});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "LeBron James scores, =99= does not\n");
    r = t.lumo({"replace", "#LAL:6#{tab}|", "--file", good, "--delimiter", "#", "--variables"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, 3), "six");
    EXPECT_EQ(t.lumo({"replace", "{23{", "--file", good, "--delimiter", "{"}).exitCode, 2);

    // Without --file: the files the preferences name, loaded as at start-up.
    ASSERT_EQ(t.lumo({"--json", "replace", "=6="}).exitCode, 0);
    ASSERT_EQ(
        lumo::test::runProcess(LUMO_BINARY, {"prefs", "set", "CodeReplacementsPaths", good}, t.env).exitCode,
        0);
    r = t.lumo({"--json", "replace", "=6="});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const nlohmann::json replaced = nlohmann::json::parse(r.out);
    EXPECT_EQ(replaced["text"], "six");
    EXPECT_EQ(replaced["replaced"], true);
    EXPECT_EQ(lumo::test::runProcess(LUMO_BINARY, {"prefs", "set", "CodeReplacementsDelimiter", "{"}, t.env)
                  .exitCode,
              2);
}
