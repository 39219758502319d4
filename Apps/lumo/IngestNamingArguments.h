#pragma once

// How ingested copies are named and placed, as `lumo ingest` and `lumo live-ingest` both take it:
// --layout, --folder, --rename, --apply-template, --structure and --no-verify.

#include <CLI/CLI.hpp>

#include <string>

struct IngestNamingArguments {
    std::string layout = "direct"; // direct, dated, named, dated-named
    std::string folder;            // the dated folder / folder with name template
    std::string rename;            // the naming template (empty: the copies keep their names)
    bool applyTemplate = false;
    std::string structure = "ignore"; // ignore, keep, all
    bool noVerify = false;

    // `structureHelp` and `noVerifyHelp` say what the two options mean for the command.
    void addTo(CLI::App& command, const std::string& structureHelp, const std::string& noVerifyHelp);

    int layoutCode() const;    // kIngestDirect .. kIngestDatedNamedFolder
    int structureCode() const; // kIngestIgnoreSourceDirs .. kIngestPreserveSourceDirs
    bool dated() const;        // the layout has a dated folder
    bool named() const;        // the layout has a folder with name
};
