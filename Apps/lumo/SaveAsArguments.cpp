#include "SaveAsArguments.h"

#include <exception>

namespace {

// "WxH" as two positive numbers.
bool parseSize(const std::string& text, std::int64_t& width, std::int64_t& height) {
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

} // namespace

void SaveAsArguments::addTo(CLI::App& command) {
    command.add_option("--type", type, "jpeg (the default), tiff or png")->type_name("TYPE");
    command.add_option("--quality", quality, "JPEG quality, 1 to 100 (90)")->check(CLI::Range(1, 100));
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
    command.add_option("--rename", rename, "Name the new files by this template ({variables})")
        ->type_name("T");
    command.add_option("--dpi", dpi, "The resolution written, dots per inch")
        ->check(CLI::Range(0.0, 100000.0));
    command.add_flag("--no-subsampling", chroma444, "Keep the full colour resolution (4:4:4)");
    command.add_flag("--no-exif", noExif, "Leave the camera's EXIF out of JPEG files");
}

bool SaveAsArguments::apply(SaveAsOptions& save, std::string& problem) const {
    if (type == "jpeg" || type == "jpg")
        save.saveAsType = kSaveAsJPEG;
    else if (type == "tiff" || type == "tif")
        save.saveAsType = kSaveAsTIFF;
    else if (type == "png")
        save.saveAsType = kSaveAsPNG;
    else {
        problem = "--type is jpeg, tiff or png, not \"" + type + "\"";
        return false;
    }
    if ((box != 0) + (percent > 0) + !size.empty() > 1) {
        problem = "give one of --box, --percent and --size";
        return false;
    }
    if (box != 0) {
        save.scaleType = kScaleBox;
        save.scaleBoxSize = box;
    } else if (percent > 0) {
        save.scaleType = kScalePercentage;
        save.scalePercentage = percent;
    } else if (!size.empty()) {
        save.scaleType = kScaleCustom;
        if (!parseSize(size, save.customWidth, save.customHeight)) {
            problem = "--size is WIDTHxHEIGHT in pixels, not \"" + size + "\"";
            return false;
        }
    }
    if (limitKB != 0 && save.saveAsType != kSaveAsJPEG) {
        problem = "--limit-kb applies to JPEG files only";
        return false;
    }
    save.jpegQuality = quality;
    save.subsampleChroma = !chroma444;
    save.imageResolution = dpi;
    save.limitJPEGSize = limitKB != 0;
    save.limitJPEGSizeKB = limitKB;
    save.applyCrop = crop;
    save.convertToSRGB = srgb;
    save.sharpenPixels = sharpen;
    save.preserveExif = !noExif;
    save.renamePhotos = !rename.empty();
    save.renameString = rename;
    save.watermark = !watermark.empty() || !watermarkText.empty();
    save.watermarkImage = watermark;
    save.watermarkText = watermarkText;
    save.watermarkOpacity = opacity;
    return true;
}
