#include "ScaleArguments.h"

bool parseScaleSize(const std::string& text, std::int64_t& width, std::int64_t& height) {
    const auto x = text.find_first_of("xX");
    if (x == std::string::npos || x == 0 || x + 1 == text.size())
        return false;
    try {
        std::size_t used = 0;
        width = std::stoll(text.substr(0, x), &used);
        if (used != x)
            return false;
        height = std::stoll(text.substr(x + 1), &used);
        if (used != text.size() - x - 1)
            return false;
    } catch (const std::exception&) {
        return false;
    }
    return width > 0 && height > 0 && width <= 65535 && height <= 65535;
}

void ScaleArguments::addTo(CLI::App& command) {
    command.add_option("--quality", quality, "JPEG quality, 1 to 100 (" + std::to_string(quality) + ")")
        ->check(CLI::Range(1, 100));
    command.add_option("--box", box, "Fit the long side inside N pixels (never enlarged)")
        ->check(CLI::Range(1, 65535));
    command.add_option("--percent", percent, "Scale by P percent")->check(CLI::Range(0.1, 1000.0));
    command.add_option("--size", size, "Scale to exactly WIDTHxHEIGHT pixels")->type_name("WxH");
    command.add_flag("--crop", crop, "Apply each photo's crop");
    command.add_flag("--srgb", srgb, "Convert the colours to sRGB");
    command.add_flag("--sharpen", sharpen, "Sharpen the pixels after scaling");
    command.add_option("--watermark", watermark, "Lay this picture over the bottom right corner")
        ->type_name("FILE");
    command
        .add_option("--watermark-text", watermarkText,
                    "Write this text over the bottom left corner ({variables})")
        ->type_name("LINE");
    command.add_option("--watermark-opacity", opacity, "The watermark's opacity, 0 to 1 (0.5)")
        ->check(CLI::Range(0.0, 1.0));
    command.add_option("--limit-kb", limitKB, "Lower the JPEG quality until each file is at most K KB")
        ->check(CLI::Range(1, 1 << 30));
    command.add_flag("--no-subsampling", chroma444, "Keep the full colour resolution (4:4:4)");
    command.add_flag("--no-exif", noExif, "Leave the camera's EXIF out of JPEG files");
}

bool ScaleArguments::apply(SaveAsOptions& options, std::string& problem) const {
    if ((box != 0) + (percent > 0) + !size.empty() > 1) {
        problem = "give one of --box, --percent and --size";
        return false;
    }
    if (box != 0) {
        options.scaleType = kScaleBox;
        options.scaleBoxSize = box;
    } else if (percent > 0) {
        options.scaleType = kScalePercentage;
        options.scalePercentage = percent;
    } else if (!size.empty()) {
        options.scaleType = kScaleCustom;
        if (!parseScaleSize(size, options.customWidth, options.customHeight)) {
            problem = "--size is WIDTHxHEIGHT in pixels, not \"" + size + "\"";
            return false;
        }
    }
    if (limitKB != 0 && options.saveAsType != kSaveAsJPEG) {
        problem = "--limit-kb applies to JPEG files only";
        return false;
    }
    options.jpegQuality = quality;
    options.subsampleChroma = !chroma444;
    options.limitJPEGSize = limitKB != 0;
    options.limitJPEGSizeKB = limitKB;
    options.applyCrop = crop;
    options.convertToSRGB = srgb;
    options.sharpenPixels = sharpen;
    options.preserveExif = !noExif;
    options.watermark = !watermark.empty() || !watermarkText.empty();
    options.watermarkImage = watermark;
    options.watermarkText = watermarkText;
    options.watermarkOpacity = opacity;
    return true;
}
