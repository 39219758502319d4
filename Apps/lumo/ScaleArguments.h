#pragma once

// How new JPEG files are rendered, as `lumo saveas` and the commands that send photos take it: the
// scale (--box, --percent or --size), the JPEG quality and size limit, crop, sRGB, sharpening, the
// watermark and EXIF.

#include "fileops/SaveAsThread.h"

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>

struct ScaleArguments {
    std::string size, watermark, watermarkText;
    int quality = 90;
    std::uint32_t box = 0;
    double percent = 0.0, opacity = 0.5;
    std::uint64_t limitKB = 0;
    bool crop = false, srgb = false, sharpen = false, noExif = false, chroma444 = false;

    // `quality` is the default quality shown in the help.
    void addTo(CLI::App& command);
    // Into `options` (the fields it owns; the scale only when one was given). False, with the usage
    // problem, when the options contradict each other or a value is malformed.
    bool apply(SaveAsOptions& options, std::string& problem) const;
};

// "WxH" as two numbers from 1 to 65535.
bool parseScaleSize(const std::string& text, std::int64_t& width, std::int64_t& height);
