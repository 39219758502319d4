#include "AppSession.h"
#include "Commands.h"
#include "ErrorText.h"
#include "JsonValue.h"
#include "app/DebugFlags.h"
#include "app/LumoPaths.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <iostream>

namespace {

int runPaths(const CommonOptions& common) {
    AppSession session(common);
    if (!session.started())
        return commandFailed(common, kResultUnexpected, session.error());
    const DebugFlagSettings flags = DebugFlags::instance().settings();

    if (common.json) {
        nlohmann::json out = {
            {"settingsFolder", LumoPaths::settingsFolder()},
            {"cacheFolder", LumoPaths::imageCacheFolder()},
            {"logFile", LumoPaths::logFilePath()},
            {"debugFlagsFile", LumoPaths::debugFlagsFilePath()},
            {"debugFlagsOn", nlohmann::json::array()},
            {"debugFlagValues", nlohmann::json::object()},
        };
        for (const auto& name : flags.on)
            out["debugFlagsOn"].push_back(name);
        for (const auto& [name, value] : flags.values)
            out["debugFlagValues"][name] = value;
        std::cout << jsonText(out, 2) << '\n';
        return kExitDone;
    }

    std::printf("Settings folder:   %s\n", LumoPaths::settingsFolder().c_str());
    std::printf("Cache folder:      %s\n", LumoPaths::imageCacheFolder().c_str());
    std::printf("Log file:          %s\n", LumoPaths::logFilePath().c_str());
    std::printf("Debug flags file:  %s\n", LumoPaths::debugFlagsFilePath().c_str());
    if (flags.on.empty())
        std::printf("Debug flags on:    none\n");
    bool first = true;
    for (const auto& name : flags.on) {
        std::printf("%s%s\n", first ? "Debug flags on:    " : "                   ", name.c_str());
        first = false;
    }
    first = true;
    for (const auto& [name, value] : flags.values) {
        std::printf("%s%s = %s\n", first ? "Debug flag values: " : "                   ", name.c_str(),
                    value.c_str());
        first = false;
    }
    return kExitDone;
}

} // namespace

void addPathsCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action) {
    CLI::App* paths = lumo.add_subcommand(
        "paths",
        "Show where the settings, the caches, the log and the debug flags live, and which flags are on");
    paths->callback([&common, &action] { action = [&common] { return runPaths(common); }; });
}
