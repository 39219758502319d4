// lumo ingest: copies the new photos of camera cards or folders into a primary and an optional backup
// folder, each copy read back and compared with its source, as the ingest dialog does.

#include "AppSession.h"
#include "Commands.h"
#include "DestinationArguments.h"
#include "ErrorText.h"
#include "IngestNamingArguments.h"
#include "JsonValue.h"
#include "TerminalProgressWindow.h"
#include "background/ProgressDialogInterface.h"
#include "fileops/IngestCopyThread.h"
#include "fileops/VolumeManager.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct IngestCommandOptions {
    std::vector<std::string> from;
    std::vector<std::string> cards;
    std::string primary;
    std::string secondary;
    IngestNamingArguments naming;
    bool incremental = false;
    bool merge = false;
    bool autoIncrement = false;
    std::string locked = "all";
    std::string raw = "all";
    bool erase = false;
    bool unmount = false;
};

int usage(const std::string& sentence) {
    std::fprintf(stderr, "lumo ingest: %s\n", oneLine(sentence).c_str());
    return kExitBadUsage;
}

// The mount point of a card given by its device ("/dev/sdb1") or its mount point; empty when none.
std::string cardMountPoint(const std::string& card) {
    for (const MountedVolume& volume : VolumeManager::instance()->listVolumes())
        if (volume.device == card || volume.mountPoint == card || volume.label == card)
            return volume.mountPoint;
    return {};
}

bool taskFrom(const IngestCommandOptions& given, IngestTaskSpec& request, std::string& problem) {
    static const std::map<std::string, int> lockedFilters{{"all", 0}, {"only", 1}, {"unlocked", 2}};
    static const std::map<std::string, int> rawFilters{{"all", 0}, {"only", 1}, {"non-raw", 2}};
    if (!given.from.empty() && !given.cards.empty()) {
        problem = "give the sources either as folders (--from) or as cards (--card), not both";
        return false;
    }
    request.m_fromDisks = !given.cards.empty();
    for (const std::string& path : given.from)
        request.m_sourcePaths.push_back(absolutePath(path));
    for (const std::string& card : given.cards) {
        const std::string mountPoint = cardMountPoint(card);
        if (mountPoint.empty()) {
            problem = "no mounted volume \"" + card + "\" (lumo cards lists them)";
            return false;
        }
        request.m_sourcePaths.push_back(mountPoint);
    }
    request.m_primaryDestPath = given.primary.empty() ? std::string() : absolutePath(given.primary);
    request.m_secondaryEnabled = !given.secondary.empty();
    request.m_secondaryDestPath = given.secondary.empty() ? std::string() : absolutePath(given.secondary);
    request.m_copyPhotos = given.naming.layoutCode();
    request.m_destFolderNameString = given.naming.folder;
    request.m_mergeSources = given.merge;
    request.m_autoIncSuffix = given.autoIncrement;
    request.m_sourceDirStructure = given.naming.structureCode();
    request.m_filterLocked = lockedFilters.at(given.locked);
    request.m_filterRaw = rawFilters.at(given.raw);
    request.m_incremental = given.incremental;
    request.m_rename = !given.naming.rename.empty();
    request.m_renameString = given.naming.rename;
    request.m_applyStationery = given.naming.applyTemplate;
    request.m_useGlobalStationery = true;
    request.m_erase = given.erase;
    request.m_unmount = given.unmount;
    request.m_verify = !given.naming.noVerify;
    return true;
}

const char* outcomeName(IngestCopyThread::Outcome outcome, bool verified) {
    switch (outcome) {
    case IngestCopyThread::Outcome::Copied:
        return verified ? "verified" : "copied";
    case IngestCopyThread::Outcome::Arrived:
        return "arrived";
    case IngestCopyThread::Outcome::SkippedIncremental:
        return "skipped";
    case IngestCopyThread::Outcome::SkippedAttached:
        return "attached";
    case IngestCopyThread::Outcome::Failed:
        break;
    }
    return "failed";
}

int runIngest(const CommonOptions& common, const IngestCommandOptions& given) {
    AppSession session(common, kPreferencesService | kImageEngineService | kGeocodingServices);
    if (!session.started())
        return commandFailed(common, kResultUnexpected, session.error());
    IngestTaskSpec request;
    std::string problem;
    if (!taskFrom(given, request, problem))
        return usage(problem);
    if (const std::string refusal = IngestValidator::Validate(request); !refusal.empty())
        return usage(refusal);

    ProgressDialogInterface progress;
    IngestCopyThread task(request, &progress);
    if (!task.Start())
        return commandFailed(common, kResultUnexpected, "the ingest could not be started");
    TerminalProgressWindow(
        progress, "Ingesting", 0, [&task] { return task.PhotosDone(); }, common.quiet ? nullptr : stderr)
        .run();
    task.Join();

    int status = kExitDone;
    nlohmann::ordered_json files = nlohmann::ordered_json::array();
    nlohmann::ordered_json failures = nlohmann::ordered_json::array();
    for (const IngestCopyThread::FileResult& result : task.Results()) {
        const char* outcome = outcomeName(result.outcome, result.verified);
        if (result.outcome == IngestCopyThread::Outcome::Failed) {
            reportFailure(result.source, result.error);
            failures.push_back(failureJson(result.source, kResultUnwritable, result.error));
            status = kExitSomeFailed;
            continue;
        }
        nlohmann::ordered_json entry = {{"path", result.source}, {"result", outcome}};
        entry["destinations"] = result.destinations;
        entry["size"] = result.size;
        if (!result.digest.empty())
            entry["digest"] = result.digest;
        files.push_back(entry);
        if (!common.json && !common.quiet) {
            std::string line = std::string(outcome) + " " + oneLine(result.source);
            for (std::size_t i = 0; i < result.destinations.size(); ++i)
                line += (i == 0 ? " -> " : ", ") + oneLine(result.destinations[i]);
            std::printf("%s\n", line.c_str());
        }
    }
    for (const std::string& message : task.Messages())
        if (!common.json && !common.quiet)
            std::fprintf(stderr, "lumo ingest: %s\n", oneLine(message).c_str());
    const std::uint32_t outcome = progress.GetStatus();
    if (outcome == ProgressDialogInterface::kStatusCancelled)
        status = kExitCancelled;
    else if (outcome != 0 && status == kExitDone)
        status = kExitSomeFailed;
    if (common.json) {
        nlohmann::ordered_json out = nlohmann::ordered_json::object();
        out["files"] = files;
        out["messages"] = task.Messages();
        out["report"] = task.ReportPath();
        out["failures"] = failures;
        std::cout << jsonText(out, 2) << '\n';
    }
    std::fflush(stdout);
    return status;
}

} // namespace

void addIngestCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action) {
    auto options = std::make_shared<IngestCommandOptions>();
    CLI::App* command = lumo.add_subcommand(
        "ingest",
        "Copy new photos from camera cards or folders into a primary and a backup folder, verified");
    command->add_option("--from", options->from, "A folder to ingest from (repeat for several)")
        ->type_name("DIR");
    command->add_option("--card", options->cards, "A mounted card to ingest from, by device or mount point")
        ->type_name("DEV");
    command->add_option("--primary", options->primary, "The primary destination folder")->type_name("DIR");
    command->add_option("--secondary", options->secondary, "The secondary (backup) destination folder")
        ->type_name("DIR");
    options->naming.addTo(*command, "Source folders kept: ignore, keep (folder names only) or all",
                          "Do not read the copies back (a card is then not erased)");
    command->add_flag("--incremental", options->incremental, "Skip the files an earlier ingest copied");
    command->add_flag("--merge", options->merge, "Several sources go into the same destination folders");
    command->add_flag("--auto-increment", options->autoIncrement,
                      "Each source gets its own folder with name, with an increasing suffix");
    command->add_option("--locked", options->locked, "Which photos by lock: all, only or unlocked")
        ->type_name("WHICH")
        ->check(CLI::IsMember({"all", "only", "unlocked"}));
    command->add_option("--raw", options->raw, "Which photos by kind: all, only (raw) or non-raw")
        ->type_name("WHICH")
        ->check(CLI::IsMember({"all", "only", "non-raw"}));
    auto* erase = command->add_flag("--erase", options->erase,
                                    "Erase each camera card when every file on it arrived verified");
    command->add_flag("--unmount", options->unmount, "Unmount each card when done")->excludes(erase);
    command->callback(
        [&common, &action, options] { action = [&common, options] { return runIngest(common, *options); }; });
}
