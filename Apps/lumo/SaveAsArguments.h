#pragma once

// The rendering options of a new JPEG, TIFF or PNG file, as every command that renders photos takes
// them (lumo saveas, lumo ftp put --process): type, quality, scale, crop, sRGB, sharpening, watermark,
// size limit, renaming, resolution, subsampling and EXIF.

#include "fileops/SaveAsThread.h"

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>

struct SaveAsArguments {
    std::string type = "jpeg", size, rename, watermark, watermarkText;
    int quality = 90;
    std::uint32_t box = 0;
    double percent = 0.0, dpi = 0.0, opacity = 0.5;
    std::uint64_t limitKB = 0;
    bool crop = false, srgb = false, sharpen = false, noExif = false, chroma444 = false;

    // Adds the options to `command`.
    void addTo(CLI::App& command);
    // Sets the rendering fields of `save` (the destination and the template are the caller's); false
    // with the usage error in `problem`.
    bool apply(SaveAsOptions& save, std::string& problem) const;
};
