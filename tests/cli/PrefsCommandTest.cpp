// `lumo prefs` against the real store file, read back with the sqlite3 tool.

#include "LumoHome.h"

#include <gtest/gtest.h>

#include <filesystem>

using lumo::test::ProcessResult;
using lumo::test::readWholeFile;
using lumo::test::runProcess;
using lumo::test::TempDir;

namespace {

struct Prefs : LumoHome {
    std::string store = settings + "/com.kestrellabs.Lumograph.prefsdb";
    std::string sql(const std::string& file, const std::string& query) const {
        const ProcessResult r = runProcess("sqlite3", {file, query});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return r.out;
    }
};

} // namespace

TEST(PrefsCommand, SetStoresTheTransportFormAndGetPrintsJson) {
    Prefs p;
    EXPECT_EQ(p.lumo({"prefs", "set", "Answer", "32"}).exitCode, 0);
    EXPECT_EQ(p.lumo({"prefs", "set", "Name", "\"abc\""}).exitCode, 0);
    EXPECT_EQ(p.lumo({"prefs", "set", "Obj", R"({"b":[1,-1],"a":true})"}).exitCode, 0);
    EXPECT_EQ(p.lumo({"prefs", "set", "Word", "plain words"}).exitCode, 0);
    EXPECT_EQ(p.lumo({"prefs", "set", "Negative", "-1"}).exitCode, 0);
    EXPECT_EQ(p.sql(p.store, "SELECT key, hex(value) FROM key_value ORDER BY key"),
              "Answer|A001\nName|0703616263\nNegative|C1\nObj|08050161020501620A81C10B09\n"
              "Word|070B706C61696E20776F726473\n");

    ProcessResult r = p.lumo({"prefs", "get", "Obj"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "{\"a\":true,\"b\":[1,-1]}\n");
    r = p.lumo({"prefs", "list"});
    EXPECT_NE(r.out.find("Name = \"abc\"\n"), std::string::npos) << r.out;
    EXPECT_EQ(p.lumo({"prefs", "delete", "Name"}).exitCode, 0);
    EXPECT_EQ(p.lumo({"prefs", "get", "Name"}).exitCode, 1);
    EXPECT_EQ(p.lumo({"prefs", "delete", "Name"}).exitCode, 1);
    EXPECT_EQ(p.lumo({"prefs", "set", "Name"}).exitCode, 2);
    EXPECT_EQ(p.lumo({"prefs", "check"}).exitCode, 0);
    EXPECT_TRUE(std::filesystem::exists(p.store + ".bak")); // every run after the first backs up
}

TEST(PrefsCommand, ADamagedStoreStillListsFromItsLastGoodCopy) {
    Prefs p;
    ASSERT_EQ(p.lumo({"prefs", "set", "Kept", "1"}).exitCode, 0);
    ASSERT_EQ(p.lumo({"prefs", "list"}).exitCode, 0); // backs the store up
    lumo::test::writeWholeFile(p.store, std::string(4096, '!'));

    const ProcessResult r = p.lumo({"prefs", "list", "--json"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "{\n  \"Kept\": 1\n}\n");
    EXPECT_NE(readWholeFile(p.cache + "/Lumo.log").find("Preferences: PrefsDB integrity check FAILED"),
              std::string::npos);
    int damaged = 0;
    for (const auto& entry : std::filesystem::directory_iterator(p.settings))
        damaged += entry.path().filename().string().find(".damaged-") != std::string::npos;
    EXPECT_EQ(damaged, 1);
}

TEST(PrefsCommand, StartUpCreatesTheSortCacheAndStopsWithoutPreferences) {
    Prefs p;
    lumo::test::writeWholeFile(p.dir.file("not-a-folder"), "x");
    const ProcessResult r =
        runProcess(LUMO_BINARY, {"paths"},
                   {{"LUMO_SETTINGS_PATH", p.dir.file("not-a-folder")}, {"LUMO_CACHE_PATH", p.cache}});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("Fatal error: could not open or create preferences."), std::string::npos) << r.err;

    ASSERT_EQ(p.lumo({"paths"}).exitCode, 0);
    EXPECT_EQ(
        p.sql(p.cache + "/LumoSortCache_3.db",
              "SELECT sql FROM sqlite_master WHERE type = 'table' ORDER BY name"),
        "CREATE TABLE sort_data (key TEXT, ColorClass INTEGER, Rating INTEGER, Tag INTEGER, CaptureTime "
        "DATETIME, ModificationTime INTEGER, FileSize INTEGER, ExtraModificationTime INTEGER, ExtraFileSize "
        "INTEGER, AddTime INTEGER, UNIQUE(key) )\n"
        "CREATE TABLE version_data (VersionKey TEXT, VersionValue INTEGER, UNIQUE(VersionKey) )\n");
}
