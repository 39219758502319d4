#pragma once

#include <string>

// Exit statuses of every lumo command.
enum LumoExitStatus {
    kExitDone = 0,
    kExitSomeFailed = 1,
    kExitBadUsage = 2,
    kExitCancelled = 3,
};

// The options every command takes.
struct CommonOptions {
    bool json = false;    // machine-readable output on stdout
    bool yes = false;     // answer every question with yes
    bool noInput = false; // never ask: take each question's default answer
    std::string settingsFolder;
    std::string cacheFolder;
};

int runLumo(int argc, char** argv);
