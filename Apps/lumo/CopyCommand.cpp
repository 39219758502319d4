// lumo copy: copies (or moves) photos, each with its companion and attached files, into a folder, as
// the contact sheet's Copy/Move does. A raw file and its JPEG go together, as the sheet shows them.

#include "AppSession.h"
#include "Commands.h"
#include "DestinationArguments.h"
#include "ErrorText.h"
#include "FileArguments.h"
#include "JsonValue.h"
#include "TerminalProgressWindow.h"
#include "background/ProgressDialogInterface.h"
#include "contactsheet/LumoDocCommon.h"
#include "fileops/CopyPhotosThread.h"
#include "metadata/MetadataTemplate.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct CopyCommandOptions {
    FileArguments files;
    DestinationArguments destination;
    bool move = false;
    bool overwrite = false;
    std::string rename;
    bool applyTemplate = false;
    bool wav = false;
    bool open = false;
};

std::string fileNameOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int usage(const std::string& sentence) {
    std::fprintf(stderr, "lumo copy: %s\n", sentence.c_str());
    return kExitBadUsage;
}

// The options of this run, from the command line alone: the dialog's stored options stay as they are.
bool optionsFrom(const CopyCommandOptions& given, CopyOptions& options, std::string& problem) {
    DestinationArguments::Resolved destination;
    if (!given.destination.resolve(destination, problem))
        return false;
    options.m_destinationType = destination.type;
    options.m_lastDestPath = destination.picked;
    options.m_createSubfolderPath = destination.subfolder;
    options.m_toParentFolderPath = destination.root;
    options.m_toFolderPath = destination.folder;
    options.m_moveFiles = given.move;
    options.m_overwriteFiles = given.overwrite;
    options.m_renameCopiedFiles = !given.rename.empty();
    options.m_renameString = given.rename;
    options.m_applyIPTC = given.applyTemplate;
    options.m_waveFiles = given.wav;
    options.m_openDestination = given.open;
    return true;
}

int runCopy(const CommonOptions& common, const CopyCommandOptions& given) {
    if (given.files.empty())
        return noFilesGiven();
    CopyOptions options;
    std::string problem;
    if (!optionsFrom(given, options, problem))
        return usage(problem);
    AppSession session(common,
                       kPreferencesService | kSortCacheService | kImageEngineService | kGeocodingServices);
    if (!session.started())
        return commandFailed(common, kResultUnexpected, session.error());

    std::optional<IPTCRec> stationery;
    if (options.m_applyIPTC) {
        IPTCRec current;
        if (!IPTCLoadCurrentStationery(current))
            return commandFailed(common, kResultNotPossible,
                                 "there is no metadata template to apply (lumo template edit makes one)");
        stationery = std::move(current);
    }

    int status = kExitDone;
    nlohmann::ordered_json failures = nlohmann::ordered_json::array();
    const auto fail = [&](const std::string& path, NRFErr result, const std::string& sentence) {
        reportFailure(path, sentence);
        failures.push_back(failureJson(path, result, sentence));
        status = kExitSomeFailed;
    };

    // Each file's photo, found in a contact sheet of its folder (so that a raw file goes with its JPEG).
    std::map<std::string, std::vector<std::string>> byFolder; // folder -> file names, in the order given
    std::vector<std::string> folderOrder;
    for (const FileArgument& file : given.files.expand()) {
        if (file.error) {
            fail(file.path, file.result, errnoText(file.error));
            continue;
        }
        const fs::path full = absolutePath(file.path);
        const std::string folder = full.parent_path().string();
        if (!byFolder.count(folder))
            folderOrder.push_back(folder);
        byFolder[folder].push_back(full.filename().string());
    }
    std::vector<std::unique_ptr<LumoDocCommon>> documents;
    std::vector<DocumentItem::Ref> items;
    for (const std::string& folder : folderOrder) {
        auto document = std::make_unique<LumoDocCommon>();
        document->SetJoinRawPlusJpeg(true);
        if (!document->OnOpenDocument(folder)) {
            for (const std::string& name : byFolder[folder])
                fail(folder + "/" + name, kResultUnreadable, "its folder could not be read");
            continue;
        }
        std::map<std::string, DocumentItem::Ref> itemOf;
        for (const DocumentItem::Ref& item : document->Items()) {
            itemOf[item->FileName()] = item;
            if (item->HasCompanion())
                itemOf[fileNameOf(item->CompanionPath())] = item;
        }
        for (const std::string& name : byFolder[folder]) {
            const auto at = itemOf.find(name);
            if (at == itemOf.end()) {
                fail(folder + "/" + name, kResultNotPossible, "not a photo of its folder's contact sheet");
                continue;
            }
            if (std::find(items.begin(), items.end(), at->second) == items.end())
                items.push_back(at->second);
        }
        documents.push_back(std::move(document));
    }

    nlohmann::ordered_json copied = nlohmann::ordered_json::array();
    // A terminal has no folder window to open: the folders to open are listed for the user.
    std::vector<std::string> opened;
    if (!items.empty()) {
        ProgressDialogInterface progress;
        CopyPhotosThread operation(items, options, &progress, std::string(), stationery);
        operation.m_openFolder = [&opened](const std::string& folder) { opened.push_back(folder); };
        if (!operation.Start())
            return commandFailed(common, kResultUnexpected, "the operation could not be started");
        TerminalProgressWindow(progress, options.m_moveFiles ? "Moving" : "Copying",
                               common.quiet || items.size() < 2 ? nullptr : stderr)
            .run();
        operation.Join();
        for (const CopyPhotosThread::PhotoResult& result : operation.Results()) {
            if (!result.error.empty())
                fail(result.source, kResultUnwritable, result.error);
            if (result.destination.empty())
                continue;
            copied.push_back({{"path", result.source}, {"destination", result.destination}});
            if (!common.json && !common.quiet)
                std::printf("%s %s -> %s\n", options.m_moveFiles ? "moved" : "copied",
                            oneLine(result.source).c_str(), oneLine(result.destination).c_str());
        }
        if (!common.json && !common.quiet)
            for (const std::string& folder : opened)
                std::printf("open %s\n", oneLine(folder).c_str());
        const std::uint32_t outcome = progress.GetStatus();
        if (outcome == ProgressDialogInterface::kStatusCancelled)
            status = kExitCancelled;
        else if (outcome != 0 && status == kExitDone)
            status = kExitSomeFailed;
    }
    if (common.json) {
        nlohmann::ordered_json out = nlohmann::ordered_json::object();
        out[options.m_moveFiles ? "moved" : "copied"] = copied;
        if (options.m_openDestination)
            out["open"] = opened;
        out["failures"] = failures;
        std::cout << jsonText(out, 2) << '\n';
    }
    std::fflush(stdout);
    return status;
}

} // namespace

void addCopyCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action) {
    auto options = std::make_shared<CopyCommandOptions>();
    CLI::App* command = lumo.add_subcommand(
        "copy", "Copy or move photos (with their companion, sidecar and sound files) into a folder");
    options->files.addTo(*command);
    options->destination.addTo(*command, "Copy", "The folder the copies go to",
                               "Copy next to the originals (with --rename)");
    command->add_flag("--move", options->move, "Move the photos instead of copying them");
    command->add_flag("--overwrite", options->overwrite,
                      "Replace files of the same name at the destination (otherwise a free name is found)");
    command->add_option("--rename", options->rename, "Name the copies by this template ({variables})")
        ->type_name("T");
    command->add_flag("--apply-template", options->applyTemplate,
                      "Write the current metadata template into the copies (the originals stay as they are)");
    command->add_flag("--wav", options->wav, "Take each photo's sound file along");
    command->add_flag(
        "--open", options->open,
        "List the destination folders to open when done (asks first when there are more than 5)");
    command->callback(
        [&common, &action, options] { action = [&common, options] { return runCopy(common, *options); }; });
}
