#pragma once

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

// One file a command works on, or an argument that stands for none, and why.
struct FileArgument {
    std::string path;
    int error = 0; // an errno value: the path could not be looked at, the folder or the list not read
    // The image engine's result for the failure: 10 when the path could not be looked at (as the engine
    // answers for a file whose status it cannot read), 5 when a folder or a list could not be read.
    unsigned result = 0;
};

// The files a command works on, named as the user names them: files; folders, which stand for the
// photos in them (the files the image engine knows by name; hidden files, links and the program's own
// work files left out; with -r the photos of their subfolders too); and lists of paths (-@ LIST, one
// path a line, "-" for standard input). Each file comes once, in the order given; a folder's photos
// come in name order. Every folder is read once for the whole run.
class FileArguments {
public:
    // Adds to `command` the FILE/DIR arguments, -r/--recurse and -@ LIST.
    void addTo(CLI::App& command);
    // True when the command line names no file, folder or list (a usage error).
    bool empty() const { return m_paths.empty() && m_lists.empty(); }
    // Takes the last path named on the command line off the files, for a command whose last argument
    // is a value (lumo rate FILE... N); false when none was named.
    bool takeLast(std::string& value);
    // The files, and the arguments that failed. Needs the image engine. A folder that holds no photo
    // is reported on stderr.
    std::vector<FileArgument> expand() const;
    // expand(), the files that can be read: each argument that failed is reported on stderr, added to
    // `failures` as its JSON object, and sets `status` to kExitSomeFailed.
    std::vector<std::string> readablePaths(int& status, nlohmann::ordered_json& failures) const;

private:
    std::vector<std::string> m_paths;
    std::vector<std::string> m_lists;
    bool m_recurse = false;
};

// The usage error for a command line that names no file, on stderr; answers the exit status.
int noFilesGiven();
