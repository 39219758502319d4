#pragma once

// Where copies and new files go, as `lumo copy` and `lumo saveas` take it: exactly one of --to DIR,
// --subfolder T, --root DIR --folder T and --in-place (the four destination types of the Copy/Move and
// Save As dialogs).

#include <CLI/CLI.hpp>

#include <string>

// `path` made absolute (as given when it cannot be).
std::string absolutePath(const std::string& path);

struct DestinationArguments {
    std::string to, subfolder, root, folder;
    bool inPlace = false;

    // `verb` begins the options' help ("Copy", "Save"); `toHelp` and `inPlaceHelp` are their own.
    void addTo(CLI::App& command, const std::string& verb, const std::string& toHelp,
               const std::string& inPlaceHelp);

    struct Resolved {
        int type = 0;          // kCopyToOwnFolder .. kCopyToPickedFolder
        std::string picked;    // --to, absolute
        std::string subfolder; // --subfolder's template
        std::string root;      // --root, absolute
        std::string folder;    // --folder's template
    };
    // False, with the usage problem, unless exactly one destination is named.
    bool resolve(Resolved& out, std::string& problem) const;
};
