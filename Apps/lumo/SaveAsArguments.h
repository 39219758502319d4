#pragma once

// The rendering options of a new JPEG, TIFF or PNG file, as the commands that save photos in other
// forms take them (lumo saveas, lumo ftp put --process): the file type, the new files' names and
// resolution, and the scale, quality and the rest that e-mail attachments take too.

#include "ScaleArguments.h"
#include "fileops/SaveAsThread.h"

#include <CLI/CLI.hpp>

#include <string>

struct SaveAsArguments {
    ScaleArguments scale;
    std::string type = "jpeg", rename;
    double dpi = 0.0;

    // Adds the options to `command`.
    void addTo(CLI::App& command);
    // Sets the rendering fields of `save` (the destination and the template are the caller's); false
    // with the usage error in `problem`.
    bool apply(SaveAsOptions& save, std::string& problem) const;
};
