#pragma once

// A home of its own for each run of the lumo program: settings and cache folders in a fresh temporary
// folder, passed through the environment.

#include "support/TestSupport.h"

#include <filesystem>
#include <map>
#include <string>
#include <vector>

struct LumoHome {
    // `command`, when given, goes in front of every argument list ("info", "type").
    explicit LumoHome(std::string command = {}) : m_command(std::move(command)) {
        std::filesystem::create_directories(settings);
        std::filesystem::create_directories(cache);
    }

    lumo::test::ProcessResult lumo(std::vector<std::string> args, const std::string& input = {}) const {
        if (!m_command.empty())
            args.insert(args.begin(), m_command);
        return lumo::test::runProcess(LUMO_BINARY, args, env, input);
    }
    std::string log() const { return lumo::test::readWholeFile(cache + "/Lumo.log"); }

    lumo::test::TempDir dir;
    std::string settings = dir.file("settings");
    std::string cache = dir.file("cache");
    std::map<std::string, std::string> env{{"LUMO_SETTINGS_PATH", settings}, {"LUMO_CACHE_PATH", cache}};

private:
    std::string m_command;
};
