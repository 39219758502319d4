// A second start of the program, for the single-instance tests:
//   instance_helper FOLDER [--crash] ARGS...
// claims the instance in FOLDER with the command line ARGS and exits with 0 when it became the first
// instance, 10 when it handed its file over, 11 when another instance runs and took nothing, 12 when the
// lock could not be taken. With --crash it becomes the first instance and dies at once, leaving its lock
// file and socket behind.

#include "app/CommandParse.h"
#include "app/LumoLogger.h"
#include "app/SingleInstance.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 2)
        return 2;
    std::vector<std::string> args(argv + 2, argv + argc);
    const bool crash = !args.empty() && args[0] == "--crash";
    if (crash)
        args.erase(args.begin());
    CCommandParse commandLine;
    commandLine.ParseCommandLine(args);
    SingleInstance instance(argv[1]);
    switch (instance.claim(commandLine, [](HandOverMessage) {})) {
    case SingleInstance::Claim::First:
        if (crash)
            std::_Exit(instance.isListening() ? 3 : 4);
        return 0;
    case SingleInstance::Claim::HandedOver:
        std::printf("%s\n", commandLine.fileName().c_str());
        return 10;
    case SingleInstance::Claim::OtherRuns:
        std::fputs(LumoLogger::instance().pendingText().c_str(), stderr); // why, for the test's failure
        return 11;
    case SingleInstance::Claim::Failed:
        return 12;
    }
    return 2;
}
