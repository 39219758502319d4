// lumo saveas: each photo written as a new JPEG, TIFF or PNG file, cropped, turned upright, scaled,
// converted, sharpened and watermarked as asked, with its metadata.

#include "AppSession.h"
#include "Commands.h"
#include "DestinationArguments.h"
#include "ErrorText.h"
#include "FileArguments.h"
#include "JsonValue.h"
#include "PhotoOperation.h"
#include "SaveAsArguments.h"
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
    SaveAsArguments rendering;
    bool applyTemplate = false, wav = false;
};

int usage(const std::string& message) {
    std::fprintf(stderr, "lumo: %s\n", message.c_str());
    return kExitBadUsage;
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
    if (std::string problem; !options.rendering.apply(save, problem))
        return usage(problem);
    save.copyWavFiles = options.wav;
    save.applyStationeryPad = options.applyTemplate;

    AppSession session(common, kImageEngineService | kPreferencesService | kGeocodingServices);
    if (!session.started())
        return commandFailed(common, kResultUnexpected, session.error());
    int status = kExitDone;
    nlohmann::ordered_json all = nlohmann::ordered_json::array();
    const std::vector<std::string> paths = options.files.readablePaths(status, all);
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
    options->rendering.addTo(*command);
    command->add_flag("--wav", options->wav, "Copy each photo's sound file along");
    command->callback(
        [&common, &action, options] { action = [&common, options] { return runSaveAs(common, *options); }; });
}
