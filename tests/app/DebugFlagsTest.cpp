#include "app/DebugFlags.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

using lumo::test::TempDir;
using lumo::test::writeWholeFile;

TEST(DebugFlags, TheConstantsNameEveryFlagOnce) {
    const std::set<std::string_view> names(std::begin(DebugFlag::kAll), std::end(DebugFlag::kAll));
    EXPECT_EQ(std::size(DebugFlag::kAll), 87u);
    EXPECT_EQ(names.size(), 87u);
#define LUMO_EXPECT_FLAG(name) EXPECT_TRUE(DebugFlag::name == #name && names.count(#name)) << #name;
    LUMO_DEBUG_FLAG_NAMES(LUMO_EXPECT_FLAG)
#undef LUMO_EXPECT_FLAG
}

TEST(DebugFlags, ParseReadsNamesAndValues) {
    const DebugFlagSettings s = DebugFlagSettings::parse("\xEF\xBB\xBFSTARTUP_LOGGING yes\r\n"
                                                         "// SHUTDOWN_LOGGING yes\n"
                                                         "//SORT_CACHE_LOGGING yes\r"
                                                         "\xEF\xBB\xBF"
                                                         "DIR_SCAN_LOGGING ON\r"
                                                         "RESCAN_LOGGING\tTrue\n"
                                                         "  LUMOCACHE_LOGGING    1   trailing words\n"
                                                         "PERCEPTUAL_HASH_DISTANCE 12\n"
                                                         "KEY_LOGGING\n"
                                                         "\n"
                                                         "EMAIL_LOGGING yes\n"
                                                         "EMAIL_LOGGING off\n"
                                                         "AUDIO_LOGGING 12\n"
                                                         "AUDIO_LOGGING yEs\n"
                                                         "TRASH_LOGGING 2\n"
                                                         "VOLUME_LOGGING tRuE");
    EXPECT_EQ(s.on,
              (std::set<std::string, std::less<>>{"STARTUP_LOGGING", "DIR_SCAN_LOGGING", "RESCAN_LOGGING",
                                                  "LUMOCACHE_LOGGING", "AUDIO_LOGGING", "VOLUME_LOGGING"}));
    EXPECT_EQ(s.values,
              (std::map<std::string, std::string, std::less<>>{
                  {"PERCEPTUAL_HASH_DISTANCE", "12"}, {"EMAIL_LOGGING", "off"}, {"TRASH_LOGGING", "2"}}));
    EXPECT_TRUE(DebugFlagSettings::parse("").on.empty());
}

TEST(DebugFlags, TheFileIsReadOnceUntilReloadAndAnUnknownPathIsAskedAgain) {
    TempDir dir;
    std::string path;
    int asked = 0;
    DebugFlags flags([&] { return ++asked, path; });
    EXPECT_FALSE(flags.isOn(DebugFlag::STARTUP_LOGGING));
    path = dir.file("LumoDebug.txt");
    EXPECT_FALSE(flags.isOn(DebugFlag::STARTUP_LOGGING)); // a missing file is all off
    EXPECT_EQ(flags.value(DebugFlag::PERCEPTUAL_HASH_DISTANCE), "");
    writeWholeFile(path, "STARTUP_LOGGING yes\nPERCEPTUAL_HASH_DISTANCE 12\n");
    EXPECT_FALSE(flags.isOn(DebugFlag::STARTUP_LOGGING));
    EXPECT_EQ(asked, 2);

    flags.reload();
    EXPECT_TRUE(flags.isOn(DebugFlag::STARTUP_LOGGING));
    EXPECT_EQ(flags.value(DebugFlag::PERCEPTUAL_HASH_DISTANCE), "12");
    writeWholeFile(path, "// STARTUP_LOGGING yes\nSHUTDOWN_LOGGING on\n");
    EXPECT_TRUE(flags.isOn(DebugFlag::STARTUP_LOGGING));
    flags.reload();
    EXPECT_FALSE(flags.isOn(DebugFlag::STARTUP_LOGGING));
    EXPECT_TRUE(flags.isOn(DebugFlag::SHUTDOWN_LOGGING));
    EXPECT_EQ(flags.value(DebugFlag::PERCEPTUAL_HASH_DISTANCE), "");
    EXPECT_EQ(asked, 4);
}
