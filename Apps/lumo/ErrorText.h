#pragma once

// What went wrong, in the user's words, and the one shape every command gives a failure.
//
// Every failure names its result: the image engine's result code when the engine failed, otherwise the
// engine code of the same meaning (5 cannot be read, 6 cannot be written, 1 not possible). In JSON a
// failure is {"path": ..., "result": code, "error": sentence}, "path" only where a file failed and
// nothing else beside it; the same sentence goes to standard error as "lumo: PATH: sentence".

#include "LumoCli.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

using NRFErr = std::uint32_t;

// The engine codes lumo gives failures of its own, beside those the engine answers.
enum : NRFErr {
    kResultNotPossible = 1, // not possible for this file, or not a name the command knows
    kResultUnreadable = 5,  // a file or store that cannot be read
    kResultUnwritable = 6,  // a file or store that cannot be written
    kResultUnexpected = 8,  // an unexpected failure; the log says more
    kResultNotYet = 22,     // not possible yet for this kind of file
};

// The system's error number in words: "No such file", "Permission denied", "Is a folder".
std::string errnoText(int error);

// Why `path` cannot be read as a file, in words; empty when it is a regular file that can be opened.
std::string fileProblem(const std::string& path);

// The engine's result code in words; `typeDescription` ("Nikon RAW") names the kind of file where the
// words need it.
std::string resultText(NRFErr result, const std::string& typeDescription = {});

// The sentence for an engine call on `path` that answered `result`, on the thread that made it: what
// the file system says when the file cannot be read, else the engine's own text when it tells more
// than its code, else the code in words.
std::string engineFailureText(NRFErr result, const std::string& path,
                              const std::string& typeDescription = {});

// The failure object: {"path", "result", "error"} ("path" left out when empty).
nlohmann::ordered_json failureJson(const std::string& path, NRFErr result, const std::string& sentence);

// `text` fit for one line of output: a backslash, a line break, a tab and the other control characters
// are written as escapes ("\\", "\n", "\t", "\x1B"), so that no value can break a line-a-field
// format or reach the terminal as a command.
std::string oneLine(const std::string& text);

// "lumo: PATH: sentence" (or "lumo: sentence" without a path) on standard error, the path on one line.
void reportFailure(const std::string& path, const std::string& sentence);

// A command that fails as a whole: the sentence on standard error and, with --json, the failure
// object on standard output. Answers `exitStatus`.
int commandFailed(const CommonOptions& common, NRFErr result, const std::string& sentence,
                  int exitStatus = kExitSomeFailed);
