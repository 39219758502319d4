#include "app/LumoPaths.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>

namespace {

using Env = std::map<std::string, std::string>;

// "settings | cache" as resolved from `inputs` and the environment `env`.
std::string resolveWith(const LocationInputs& inputs, const Env& env) {
    const ResolvedLocations got = LumoPaths::resolve(inputs, [&env](const char* name) -> const char* {
        const auto it = env.find(name);
        return it == env.end() ? nullptr : it->second.c_str();
    });
    return got.settingsFolder + " | " + got.imageCacheFolder;
}

} // namespace

TEST(LumoPaths, EachSourceBeatsTheNextOne) {
    Env env{{"HOME", "/h"}};
    LocationInputs inputs;
    const std::string underHome = "/h/.config/Kestrel Labs, Inc/Lumograph | /h/.cache/Lumograph";
    EXPECT_EQ(resolveWith(inputs, env), underHome);
    // A relative or empty XDG folder is not a base folder.
    env["XDG_CONFIG_HOME"] = "relative/config";
    env["XDG_CACHE_HOME"] = "";
    EXPECT_EQ(resolveWith(inputs, env), underHome);
    env["XDG_CONFIG_HOME"] = "/xdg/config";
    env["XDG_CACHE_HOME"] = "/xdg/cache";
    EXPECT_EQ(resolveWith(inputs, env), "/xdg/config/Kestrel Labs, Inc/Lumograph | /xdg/cache/Lumograph");
    inputs.cachePathPreference = "/pref/cache";
    EXPECT_EQ(resolveWith(inputs, env), "/xdg/config/Kestrel Labs, Inc/Lumograph | /pref/cache");
    env["LUMO_SETTINGS_PATH"] = "/env/settings";
    env["LUMO_CACHE_PATH"] = "/env/cache";
    EXPECT_EQ(resolveWith(inputs, env), "/env/settings | /env/cache");
    inputs.settingsOption = "/opt/settings";
    inputs.cacheOption = "/opt/cache";
    EXPECT_EQ(resolveWith(inputs, env), "/opt/settings | /opt/cache");
}

TEST(LumoPaths, RelativeOverridesBecomeAbsoluteAndAHomeIsNeeded) {
    const std::string cwd = std::filesystem::current_path().string();
    EXPECT_EQ(resolveWith({"rel/settings", "", "pref/../prefcache"}, {{"HOME", "/h"}}),
              cwd + "/rel/settings | " + cwd + "/prefcache");
    EXPECT_EQ(resolveWith({"/s", "", ""}, {{"LUMO_CACHE_PATH", "./c"}}), "/s | " + cwd + "/c");

    EXPECT_THROW(resolveWith({}, {}), std::runtime_error);
    EXPECT_THROW(resolveWith({}, {{"LUMO_SETTINGS_PATH", "/s"}}), std::runtime_error);
    EXPECT_THROW(resolveWith({"/s", "", ""}, {{"XDG_CACHE_HOME", "relative"}}), std::runtime_error);
    EXPECT_EQ(resolveWith({"/s", "", ""}, {{"XDG_CACHE_HOME", "/xc"}, {"XDG_CONFIG_HOME", "relative"}}),
              "/s | /xc/Lumograph");
}

TEST(LumoPaths, TheTestProcessStaysOutOfTheRealHome) {
    LumoPaths::initialise(LocationInputs{});
    const std::string run = lumo::test::testRunFolder() + "/";
    EXPECT_TRUE(LumoPaths::settingsFolder().starts_with(run)) << LumoPaths::settingsFolder();
    EXPECT_TRUE(LumoPaths::imageCacheFolder().starts_with(run)) << LumoPaths::imageCacheFolder();
    EXPECT_EQ(LumoPaths::logFilePath(), LumoPaths::imageCacheFolder() + "/Lumo.log");
    EXPECT_EQ(LumoPaths::debugFlagsFilePath(), LumoPaths::settingsFolder() + "/LumoDebug.txt");
    LumoPaths::reset();
    EXPECT_EQ(LumoPaths::settingsFolder() + LumoPaths::logFilePath() + LumoPaths::debugFlagsFilePath(), "");
}
