#pragma once

// What the engine's fuzz targets share: a scratch folder made once per run, which is also where the
// program's paths point, with the log file sent to the null device. The parsers log what they skip;
// without a log folder the lines would pile up in memory and a long run would look like a leak.

#include "app/LumoPaths.h"

#include <unistd.h>

#include <cstdlib>
#include <string>

inline const std::string& lumoFuzzScratchFolder() {
    static const std::string folder = [] {
        char pattern[] = "/tmp/lumo_fuzz_XXXXXX";
        const char* made = mkdtemp(pattern);
        if (!made || symlink("/dev/null", (std::string(made) + "/Lumo.log").c_str()) != 0)
            std::abort();
        LumoPaths::initialise(ResolvedLocations{made, made});
        return std::string(made);
    }();
    return folder;
}
