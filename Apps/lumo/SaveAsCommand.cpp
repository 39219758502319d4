// lumo saveas: each photo written as a new JPEG, TIFF or PNG file, cropped, turned upright, scaled,
// converted, sharpened and watermarked as asked, with its metadata.

#include "AppSession.h"
#include "Commands.h"
#include "DestinationArguments.h"
#include "ErrorText.h"
#include "FileArguments.h"
#include "JsonValue.h"
#include "PhotoOperation.h"
#include "TerminalProgressWindow.h"
#include "background/ProgressDialogInterface.h"
#include "fileops/CopyOptions.h"
#include "fileops/SaveAsThread.h"

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

namespace {

struct SaveAsCommandOptions {
    FileArguments files;
    DestinationArguments destination;
    std::string type = "jpeg", size, rename, watermark, watermarkText;
    bool applyTemplate = false;
    int quality = 90;
    std::uint32_t box = 0;
    double percent = 0.0, dpi = 0.0, opacity = 0.5;
    std::uint64_t limitKB = 0;
    bool crop = false, srgb = false, sharpen = false, noExif = false, wav = false, chroma444 = false;
};

int usage(const std::string& message) {
    std::fprintf(stderr, "lumo: %s\n", message.c_str());
    return kExitBadUsage;
}

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

int runSaveAs(const CommonOptions& common, const SaveAsCommandOptions& options) {
    if (options.files.empty())
        return noFilesGiven();
    SaveAsOptions save;
    DestinationArguments::Resolved destination;
    if (std::string problem; !options.destination.resolve(destination, problem))
        return usage(problem);
    save.destinationType = destination.type;
    save.destinationFolder = destination.picked;
    save.subfolderTemplate = destination.subfolder;
    save.rootFolder = destination.root;
    save.folderTemplate = destination.folder;
    if (options.type == "jpeg" || options.type == "jpg")
        save.saveAsType = kSaveAsJPEG;
    else if (options.type == "tiff" || options.type == "tif")
        save.saveAsType = kSaveAsTIFF;
    else if (options.type == "png")
        save.saveAsType = kSaveAsPNG;
    else
        return usage("--type is jpeg, tiff or png, not \"" + options.type + "\"");
    if ((options.box != 0) + (options.percent > 0) + !options.size.empty() > 1)
        return usage("give one of --box, --percent and --size");
    if (options.box != 0) {
        save.scaleType = kScaleBox;
        save.scaleBoxSize = options.box;
    } else if (options.percent > 0) {
        save.scaleType = kScalePercentage;
        save.scalePercentage = options.percent;
    } else if (!options.size.empty()) {
        save.scaleType = kScaleCustom;
        if (!parseSize(options.size, save.customWidth, save.customHeight))
            return usage("--size is WIDTHxHEIGHT in pixels, not \"" + options.size + "\"");
    }
    if (options.limitKB != 0 && save.saveAsType != kSaveAsJPEG)
        return usage("--limit-kb applies to JPEG files only");
    save.jpegQuality = options.quality;
    save.subsampleChroma = !options.chroma444;
    save.imageResolution = options.dpi;
    save.limitJPEGSize = options.limitKB != 0;
    save.limitJPEGSizeKB = options.limitKB;
    save.applyCrop = options.crop;
    save.convertToSRGB = options.srgb;
    save.sharpenPixels = options.sharpen;
    save.preserveExif = !options.noExif;
    save.copyWavFiles = options.wav;
    save.renamePhotos = !options.rename.empty();
    save.renameString = options.rename;
    save.watermark = !options.watermark.empty() || !options.watermarkText.empty();
    save.watermarkImage = options.watermark;
    save.watermarkText = options.watermarkText;
    save.applyStationeryPad = options.applyTemplate;
    save.watermarkOpacity = options.opacity;

    AppSession session(common, kImageEngineService | kPreferencesService);
    if (!session.started())
        return commandFailed(common, kResultUnexpected, session.error());
    const std::vector<FileArgument> arguments = options.files.expand();
    std::vector<std::string> paths;
    int status = kExitDone;
    nlohmann::ordered_json all = nlohmann::ordered_json::array();
    for (const FileArgument& argument : arguments) {
        if (argument.error == 0) {
            paths.push_back(argument.path);
            continue;
        }
        status = kExitSomeFailed;
        reportFailure(argument.path, errnoText(argument.error));
        all.push_back(failureJson(argument.path, argument.result, errnoText(argument.error)));
    }
    ProgressDialogInterface progress;
    SaveAsThread thread(paths, save, &progress);
    if (!thread.Start()) {
        std::fprintf(stderr, "lumo: the operation could not be started\n");
        return kExitSomeFailed;
    }
    TerminalProgressWindow(progress, "Saving", common.quiet || paths.size() < 2 ? nullptr : stderr).run();
    thread.Join();

    for (std::size_t i = 0; i < thread.Destinations().size(); ++i) {
        const std::string& path = paths[i];
        if (!thread.Failures()[i].empty()) {
            status = kExitSomeFailed;
            reportFailure(path, thread.Failures()[i]);
            all.push_back(failureJson(path, 6, thread.Failures()[i]));
            continue;
        }
        all.push_back({{"path", path}, {"saved", thread.Destinations()[i]}});
        if (!common.json && !common.quiet)
            std::printf("%s: saved as %s\n", oneLine(path).c_str(),
                        oneLine(thread.Destinations()[i]).c_str());
    }
    if (thread.HadErrors())
        std::fprintf(stderr, "lumo: %s\n", thread.EndMessage().c_str());
    return finishPhotoCommand(common, all, progress.GetStatus(), status);
}

} // namespace

void addSaveAsCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action) {
    auto options = std::make_shared<SaveAsCommandOptions>();
    CLI::App* command = lumo.add_subcommand(
        "saveas",
        "Write each photo as a new JPEG, TIFF or PNG file: cropped, upright, scaled, with its metadata");
    options->files.addTo(*command);
    options->destination.addTo(*command, "Save", "The folder the new files go to (made when missing)",
                               "Save next to the originals (never over them)");
    command->add_flag("--apply-template", options->applyTemplate,
                      "Apply the current metadata template to the new files (the originals are untouched)");
    command->add_option("--type", options->type, "jpeg (the default), tiff or png")->type_name("TYPE");
    command->add_option("--quality", options->quality, "JPEG quality, 1 to 100 (90)")
        ->check(CLI::Range(1, 100));
    command->add_option("--box", options->box, "Fit the long side inside N pixels (never enlarged)")
        ->check(CLI::Range(1, 65535));
    command->add_option("--percent", options->percent, "Scale by P percent")->check(CLI::Range(0.1, 1000.0));
    command->add_option("--size", options->size, "Scale to exactly WIDTHxHEIGHT pixels")->type_name("WxH");
    command->add_flag("--crop", options->crop, "Apply each photo's crop");
    command->add_flag("--srgb", options->srgb, "Convert the colours to sRGB");
    command->add_flag("--sharpen", options->sharpen, "Sharpen the pixels after scaling");
    command->add_option("--watermark", options->watermark, "Lay this picture over the bottom right corner")
        ->type_name("FILE");
    command
        ->add_option("--watermark-text", options->watermarkText,
                     "Write this text over the bottom left corner ({variables})")
        ->type_name("LINE");
    command->add_option("--watermark-opacity", options->opacity, "The watermark's opacity, 0 to 1 (0.5)")
        ->check(CLI::Range(0.0, 1.0));
    command
        ->add_option("--limit-kb", options->limitKB, "Lower the JPEG quality until each file is at most K KB")
        ->check(CLI::Range(1, 1 << 30));
    command->add_option("--rename", options->rename, "Name the new files by this template ({variables})")
        ->type_name("T");
    command->add_option("--dpi", options->dpi, "The resolution written, dots per inch")
        ->check(CLI::Range(0.0, 100000.0));
    command->add_flag("--no-subsampling", options->chroma444, "Keep the full colour resolution (4:4:4)");
    command->add_flag("--no-exif", options->noExif, "Leave the camera's EXIF out of JPEG files");
    command->add_flag("--wav", options->wav, "Copy each photo's sound file along");
    command->callback(
        [&common, &action, options] { action = [&common, options] { return runSaveAs(common, *options); }; });
}
