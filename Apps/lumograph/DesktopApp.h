#pragma once

#include <string>
#include <vector>

// The desktop program's command line: its own options (as `lumo` has them, plus the headless
// screenshot), the Qt options it leaves to Qt, and the folders to open.
struct DesktopCommandLine {
    std::string screenshot; // --screenshot OUT.png: write the window there once the thumbnails are in
    int width = 0;          // --size WxH (0: the window's own size)
    int height = 0;
    std::string settingsFolder; // --settings DIR
    std::string cacheFolder;    // --cache DIR
    // The other parameters in command-line order, as the application's command line takes them.
    std::vector<std::string> parameters;
    std::string error; // bad usage: what is wrong
};
DesktopCommandLine parseDesktopCommandLine(const std::vector<std::string>& args);

// The folders the parameters ask to open: a folder as it is, a file's folder; paths that do not
// exist are left out (and named in `missing`).
std::vector<std::string> desktopFoldersToOpen(const std::vector<std::string>& parameters,
                                              std::vector<std::string>* missing = nullptr);

// The desktop program: parses the command line, hands the folders to a running instance (and exits)
// or starts the services, shows the main frame and runs the event loop; shuts down in the
// application's order. `--screenshot OUT.png [--size WxH] DIR` writes the window once the visible
// thumbnails are in and exits.
int lumographMain(int argc, char** argv);
