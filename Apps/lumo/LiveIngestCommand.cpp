// lumo live-ingest: watches folders (a tethered camera's, say) and copies each new photo, once it is
// complete, into every destination, named and foldered as ingest does, until Ctrl-C or SIGTERM.

#include "AppSession.h"
#include "Commands.h"
#include "ErrorText.h"
#include "IngestNamingArguments.h"
#include "JsonValue.h"
#include "TerminalProgressWindow.h"
#include "background/ProgressDialogInterface.h"
#include "fileops/LiveIngest.h"
#include "metadata/MetadataTemplate.h"

#include <nlohmann/json.hpp>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct LiveIngestOptions {
    std::vector<std::string> watch;
    std::vector<std::string> to;
    IngestNamingArguments naming;
};

int usage(const std::string& sentence) {
    std::fprintf(stderr, "lumo live-ingest: %s\n", sentence.c_str());
    return kExitBadUsage;
}

std::string normalPath(const std::string& path) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(path, ec);
    std::string text = (ec ? fs::path(path) : absolute).lexically_normal().string();
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    return text;
}

// SIGTERM ends the watch as Ctrl-C does: the photo in hand is finished and every thread joined.
void onTerminate(int) {
    ::kill(::getpid(), SIGINT);
}

// The task of this run, from the command line alone: the stored live ingest settings stay as they are.
bool settingsFrom(const LiveIngestOptions& given, LiveIngestSpec& settings, std::string& problem) {
    for (const std::string& folder : given.watch) {
        std::error_code ec;
        if (!fs::is_directory(folder, ec)) {
            problem = "not a folder to watch: " + folder;
            return false;
        }
        settings.m_sourcePaths.push_back(normalPath(folder));
    }
    const IngestNamingArguments& naming = given.naming;
    if (naming.named() && naming.folder.empty()) {
        problem = "--layout " + naming.layout + " needs --folder";
        return false;
    }
    for (const std::string& destination : given.to) {
        const std::string root = normalPath(destination);
        for (const LiveIngestDestSpec& other : settings.m_destSpecs)
            if (other.m_destPathRoot == root) {
                problem = "the destination " + destination + " is given twice";
                return false;
            }
        for (const std::string& source : settings.m_sourcePaths)
            if (source == root) {
                problem = "the destination " + destination + " is a watched folder";
                return false;
            }
        LiveIngestDestSpec dest;
        dest.m_destPathRoot = root;
        dest.m_usingDatedFolder = naming.dated();
        dest.m_usingFolderName = naming.named();
        dest.m_folderName = naming.folder;
        dest.m_srcDirMode = naming.structureCode();
        settings.m_destSpecs.push_back(std::move(dest));
    }
    settings.m_doingRename = !naming.rename.empty();
    settings.m_renameString = naming.rename;
    settings.m_applyingStationeryPad = naming.applyTemplate;
    return true;
}

int runLiveIngest(const CommonOptions& common, const LiveIngestOptions& given) {
    LiveIngestSpec settings;
    std::string problem;
    if (!settingsFrom(given, settings, problem))
        return usage(problem);
    AppSession session(common, kPreferencesService | kSortCacheService | kImageEngineService);
    if (!session.started())
        return commandFailed(common, kResultUnexpected, session.error());
    std::optional<IPTCRec> stationery;
    if (settings.m_applyingStationeryPad) {
        IPTCRec current;
        if (!IPTCLoadCurrentStationery(current))
            return commandFailed(common, kResultNotPossible,
                                 "there is no metadata template to apply (lumo template edit makes one)");
        stationery = std::move(current);
    }

    ProgressDialogInterface progress;
    LiveIngestCopyThread task(settings, &progress, stationery);
    task.m_verify = !given.naming.noVerify;
    std::mutex output;
    int status = kExitDone;
    task.m_onIngested = [&](const LiveIngestCopyThread::PhotoResult& result) {
        std::lock_guard lock(output);
        if (!result.error.empty()) {
            reportFailure(result.sources.front(), result.error);
            status = kExitSomeFailed;
        }
        if (common.json) {
            nlohmann::ordered_json line = nlohmann::ordered_json::object();
            line["path"] = result.sources.front();
            if (result.sources.size() > 1)
                line["companion"] = result.sources[1];
            line["destinations"] = result.destinations;
            if (!result.error.empty()) {
                line["result"] = kResultUnwritable;
                line["error"] = result.error;
            }
            std::cout << jsonText(line) << '\n' << std::flush;
        } else if (!common.quiet && !result.destinations.empty()) {
            std::string text = "ingested " + oneLine(result.sources.front());
            if (result.sources.size() > 1)
                text += " + " + oneLine(fs::path(result.sources[1]).filename().string());
            text += " ->";
            for (std::size_t i = 0; i < result.destinations.size(); ++i)
                text += (i ? ", " : " ") + oneLine(result.destinations[i]);
            std::printf("%s\n", text.c_str());
            std::fflush(stdout);
        }
    };

    struct sigaction previous {};
    struct sigaction terminate {};
    terminate.sa_handler = onTerminate;
    sigemptyset(&terminate.sa_mask);
    sigaction(SIGTERM, &terminate, &previous);
    if (!task.Start()) {
        sigaction(SIGTERM, &previous, nullptr);
        return commandFailed(common, kResultUnexpected, "the live ingest could not be started");
    }
    // The line is written once the folders are watched: what arrives from then on is copied.
    while (!task.Watching() && !progress.IsFinished())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (task.Watching() && !common.quiet) {
        std::string folders;
        for (const std::string& folder : settings.m_sourcePaths)
            folders += (folders.empty() ? "" : ", ") + oneLine(folder);
        std::fprintf(stderr, "lumo live-ingest: watching %s (Ctrl-C ends)\n", folders.c_str());
    }
    TerminalProgressWindow(progress, "Live ingest", nullptr).run();
    task.Join();
    sigaction(SIGTERM, &previous, nullptr);
    if (!task.StartError().empty())
        return commandFailed(common, kResultUnreadable, task.StartError());
    std::fflush(stdout);
    std::lock_guard lock(output);
    return progress.GetStatus() == ProgressDialogInterface::kStatusException ? kExitSomeFailed : status;
}

} // namespace

void addLiveIngestCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action) {
    auto options = std::make_shared<LiveIngestOptions>();
    CLI::App* command =
        lumo.add_subcommand("live-ingest", "Watch folders and copy each new photo as soon as it is complete");
    command->add_option("--watch", options->watch, "A folder to watch (with the folders below it)")
        ->type_name("DIR")
        ->required();
    command->add_option("--to", options->to, "A destination folder")->type_name("DIR")->required();
    options->naming.addTo(*command,
                          "Folders below the watched folder kept: ignore, keep (folder names only) or all",
                          "Do not read the copies back");
    command->callback([&common, &action, options] {
        action = [&common, options] { return runLiveIngest(common, *options); };
    });
}
