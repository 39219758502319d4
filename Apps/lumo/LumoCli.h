#pragma once

#include <string>

namespace CLI {
class App;
}

// Exit statuses of every lumo command.
enum LumoExitStatus {
    kExitDone = 0,
    kExitSomeFailed = 1,
    kExitBadUsage = 2,
    kExitCancelled = 3,
};

// The options every command takes, before or after its name.
//
// Questions (whether to retry a file that failed, whether to replace one) are asked on the terminal when
// standard input is one. --yes answers yes to each; a question whether to retry, which has no yes, is
// answered "skip": the file is left and the others go on. --no-input asks nothing and takes each
// question's default answer, which for a question whether to retry is "cancel": the work stops there.
// Without a terminal to ask on, questions are answered as with --no-input.
struct CommonOptions {
    bool json = false;    // machine-readable output on stdout
    bool yes = false;     // answer every question yes (retry: skip)
    bool noInput = false; // never ask: take each question's default answer (retry: cancel)
    bool quiet = false;   // no progress and no line per file; errors and JSON still come
    std::string settingsFolder;
    std::string cacheFolder;
};

int runLumo(int argc, char** argv);

// The bash completion script for the commands `lumo` defines: their names, options and the kind of
// each option's value (a folder, a file, a preference's name).
std::string bashCompletion(const CLI::App& lumo);
