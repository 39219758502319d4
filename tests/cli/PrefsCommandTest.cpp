// `lumo prefs` against the real store file, read back with the sqlite3 tool.

#include "../db/SQLiteLockHolder.h"
#include "LumoHome.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

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
    int damagedCopies() const {
        int damaged = 0;
        for (const auto& entry : std::filesystem::directory_iterator(settings))
            damaged += entry.path().filename().string().find(".damaged-") != std::string::npos;
        return damaged;
    }
};

} // namespace

TEST(PrefsCommand, SetStoresTheTransportFormAndGetPrintsJson) {
    Prefs p;
    // Keys the program does not read are stored with --force.
    EXPECT_EQ(p.lumo({"prefs", "set", "--force", "Answer", "32"}).exitCode, 0);
    EXPECT_EQ(p.lumo({"prefs", "set", "--force", "Name", "\"abc\""}).exitCode, 0);
    EXPECT_EQ(p.lumo({"prefs", "set", "--force", "Obj", R"({"b":[1,-1],"a":true})"}).exitCode, 0);
    EXPECT_EQ(p.lumo({"prefs", "set", "--force", "Word", "plain words"}).exitCode, 0);
    EXPECT_EQ(p.lumo({"prefs", "set", "--force", "Negative", "-1"}).exitCode, 0);
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
    // Preferences are text: bytes that are not UTF-8 are refused, so that listing never fails later.
    for (const auto& [key, value] :
         {std::pair<std::string, std::string>{"Bad", "v\xFF"}, {"\xC0\xAF", "v"}}) {
        r = p.lumo({"prefs", "set", "--force", key, value});
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_NE(r.err.find("is not UTF-8 text"), std::string::npos) << r.err;
    }
    EXPECT_EQ(p.lumo({"prefs", "list"}).exitCode, 0);
    EXPECT_EQ(p.lumo({"prefs", "check"}).exitCode, 0);
    EXPECT_TRUE(std::filesystem::exists(p.store + ".bak")); // every run after the first backs up
}

TEST(PrefsCommand, KeysTheProgramReadsAreTypedAndOthersNeedForce) {
    Prefs p;
    const struct {
        std::vector<std::string> args;
        int exit;
        const char* said; // on stderr
    } cases[] = {
        {{"SortCacheDays", "14"}, 0, ""},
        {{"SortCacheDays", "0"}, 2, "lumo: SortCacheDays takes a whole number from 1 to 36500, not 0"},
        {{"SortCacheDays", "\"14\""}, 2, "takes a whole number"},
        {{"SortCacheCheckDate", "1"}, 2, "lumo: SortCacheCheckDate takes true or false, not 1"},
        {{"SortCacheCheckDate", "true"}, 0, ""},
        {{"--force", "AttachedFiles/XIP", "no"}, 2, "takes true or false"}, // --force is for unknown keys
        {{"sortcachedays", "3"},
         2,
         "no preference named \"sortcachedays\" (did you mean \"SortCacheDays\"?)"},
        {{"--force", "SortCacheDay", "3"},
         0,
         "warning: lumo reads no preference named \"SortCacheDay\" (did you "
         "mean \"SortCacheDays\"?); stored anyway"},
        {{"--force", "Broken", R"({"a":)"}, 2, "starts like JSON but is not valid JSON"},
        {{"--force", "Broken", "[1, 2"}, 2, "starts like JSON but is not valid JSON"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"prefs", "set"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ProcessResult r = p.lumo(args);
        EXPECT_EQ(r.exitCode, c.exit) << c.args.back() << r.err;
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
    }
    ProcessResult r = p.lumo({"prefs", "list", "--json"});
    EXPECT_EQ(
        nlohmann::json::parse(r.out),
        nlohmann::json::parse(R"({"SortCacheCheckDate": true, "SortCacheDay": 3, "SortCacheDays": 14})"));
    r = p.lumo({"prefs", "get", "AttachedFiles/XIP"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("\"AttachedFiles/XIP\" is not set; lumo uses its default, true"), std::string::npos)
        << r.err;

    r = p.lumo({"prefs", "keys"});
    // Columns as wide as the longest name and default.
    const std::size_t line = r.out.find("\nSortCacheDays ");
    ASSERT_NE(line, std::string::npos) << r.out;
    const std::string sortCacheDays = r.out.substr(line + 1, r.out.find('\n', line + 1) - line - 1);
    EXPECT_NE(sortCacheDays.find("  integer  30  "), std::string::npos) << sortCacheDays;
    EXPECT_NE(r.out.find("\nIPTCXMP_DefaultIPTCWriteEncoding  text     \"CP1252\"  The character set"),
              std::string::npos)
        << r.out;
    r = p.lumo({"prefs", "keys", "--json"});
    const auto keys = nlohmann::json::parse(r.out);
    ASSERT_GE(keys.size(), 20u);
    const auto named = [&](const std::string& name) {
        for (const auto& key : keys)
            if (key["name"] == name)
                return key;
        return nlohmann::json();
    };
    EXPECT_EQ(named("CachePath")["type"], "text");
    EXPECT_EQ(named("ImageCacheMaxMB")["type"], "integer");
    EXPECT_EQ(named("SortCacheDays"),
              nlohmann::json::parse(R"({"name": "SortCacheDays", "type": "integer", "default": 30,
        "minimum": 1, "maximum": 36500,
        "meaning": "The age in days after which SortCacheCheckDate forgets a sort-cache entry"})"));
    EXPECT_EQ(named("DecodeMemoryLimit").value("default", 0), 512);
}

TEST(PrefsCommand, ADamagedStoreStillListsFromItsLastGoodCopy) {
    Prefs p;
    ASSERT_EQ(p.lumo({"prefs", "set", "--force", "Kept", "1"}).exitCode, 0);
    ASSERT_EQ(p.lumo({"prefs", "list"}).exitCode, 0); // backs the store up
    lumo::test::writeWholeFile(p.store, std::string(4096, '!'));

    const ProcessResult r = p.lumo({"prefs", "list", "--json"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "{\n  \"Kept\": 1\n}\n");
    EXPECT_NE(readWholeFile(p.cache + "/Lumo.log").find("Preferences: PrefsDB integrity check FAILED"),
              std::string::npos);
    EXPECT_EQ(p.damagedCopies(), 1);

    // The check tells what happened.
    ProcessResult check = p.lumo({"prefs", "check"});
    EXPECT_EQ(check.exitCode, 0);
    EXPECT_NE(check.out.find(": sound\nlast restored "), std::string::npos) << check.out;
    EXPECT_NE(
        check.out.find(" from " + p.store + ".bak; the damaged store was kept as " + p.store + ".damaged-"),
        std::string::npos)
        << check.out;
    check = p.lumo({"prefs", "check", "--json"});
    EXPECT_NE(check.out.find("\"from\": \"" + p.store + ".bak\""), std::string::npos) << check.out;
    EXPECT_NE(check.out.find("\"state\": \"sound\""), std::string::npos) << check.out;
}

// The reported fault: parallel `lumo prefs set` lost acknowledged writes and set the live store aside.
TEST(PrefsCommand, ParallelWritersKeepEveryAcknowledgedWrite) {
    Prefs p;
    ASSERT_EQ(p.lumo({"prefs", "set", "--force", "Saved", "1"}).exitCode, 0);
    constexpr int kRounds = 3, kWriters = 8;
    for (int round = 0; round < kRounds; ++round) {
        std::vector<std::thread> writers;
        std::vector<ProcessResult> results(kWriters);
        for (int w = 0; w < kWriters; ++w)
            writers.emplace_back([&, w] {
                results[w] =
                    p.lumo({"prefs", "set", "--force", "k" + std::to_string(round) + "-" + std::to_string(w),
                            std::to_string(w)});
            });
        for (auto& writer : writers)
            writer.join();
        for (const ProcessResult& r : results)
            EXPECT_EQ(r.exitCode, 0) << r.err; // a writer waits for the others rather than fails
    }
    const std::string rows = p.sql(p.store, "SELECT key FROM key_value WHERE key LIKE 'k%' ORDER BY key");
    EXPECT_EQ(std::count(rows.begin(), rows.end(), '\n'), kRounds * kWriters) << rows;
    EXPECT_EQ(p.lumo({"prefs", "get", "Saved"}).out, "1\n");
    EXPECT_EQ(p.damagedCopies(), 0);
}

TEST(PrefsCommand, ABusyStoreIsWaitedForAndAFailingOneIsNotAnAbsentKey) {
    Prefs p;
    ASSERT_EQ(p.lumo({"prefs", "set", "--force", "Kept", "1"}).exitCode, 0);
    ASSERT_EQ(p.lumo({"prefs", "set", "--force", "Gone", "1"}).exitCode, 0);
    {
        SQLiteLockHolder holder(p.store, std::chrono::milliseconds(1000));
        const ProcessResult r = p.lumo({"prefs", "delete", "Gone"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
    }
    EXPECT_EQ(p.damagedCopies(), 0);
    EXPECT_EQ(p.lumo({"prefs", "get", "Kept"}).out, "1\n");

    // A store that refuses the delete (here a trigger does) fails the command with its own message.
    p.sql(p.store,
          "CREATE TRIGGER refuse BEFORE DELETE ON key_value BEGIN SELECT RAISE(FAIL, 'refused'); END");
    const ProcessResult r = p.lumo({"prefs", "delete", "Kept"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("lumo: could not delete \"Kept\""), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("no preference named"), std::string::npos) << r.err;
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
