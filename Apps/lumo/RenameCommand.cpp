// lumo rename: photos renamed from one naming template, each with its companion and attached files,
// all or nothing; --dry-run shows what the rename would do, --recover puts back what a rename cut short
// by a kill or a power loss left in a folder.

#include "AppSession.h"
#include "Commands.h"
#include "ErrorText.h"
#include "JsonValue.h"
#include "TerminalProgressWindow.h"
#include "background/ProgressDialogInterface.h"
#include "contactsheet/LumoDocCommon.h"
#include "db/PreferenceKeys.h"
#include "db/Preferences.h"
#include "fileops/RenamePhotosLogic.h"
#include "fileops/RenamePhotosThread.h"
#include "variables/VariableSequence.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <optional>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct RenameOptions {
    std::vector<std::string> files;
    std::string namingTemplate;
    std::optional<std::int64_t> start;
    bool dryRun = false;
    std::string recover;
};

int usage(const std::string& message) {
    std::fprintf(stderr, "lumo: %s\n", message.c_str());
    return kExitBadUsage;
}

int runRecover(const CommonOptions& common, const std::string& folder) {
    std::string report;
    const int restored = RecoverInterruptedRename(folder, &report);
    if (common.json) {
        nlohmann::ordered_json out = nlohmann::ordered_json::object();
        out["folder"] = folder;
        out["restored"] = std::max(restored, 0);
        out["ok"] = restored >= 0;
        out["report"] = report;
        std::cout << jsonText(out, 2) << '\n';
    } else {
        if (!common.quiet || restored < 0)
            std::fputs(report.c_str(), restored < 0 ? stderr : stdout);
        if (!common.quiet)
            std::printf("%d file%s restored in %s\n", std::max(restored, 0), restored == 1 ? "" : "s",
                        folder.c_str());
    }
    return restored < 0 ? kExitSomeFailed : kExitDone;
}

int runRename(const CommonOptions& common, const RenameOptions& options) {
    if (!options.recover.empty()) {
        if (!options.files.empty() || !options.namingTemplate.empty())
            return usage("--recover DIR takes no files and no template");
        return runRecover(common, options.recover);
    }
    if (options.files.empty())
        return usage("give the photos to rename: lumo rename FILE... --template T");
    if (options.namingTemplate.empty())
        return usage("give the naming template: --template T");
    AppSession session(common, kPreferencesService | kSortCacheService | kImageEngineService);
    if (!session.started())
        return commandFailed(common, kResultUnexpected, session.error());
    if (options.start) {
        SequenceSetting setting = CurrentSequence(SequenceKind::Sequence);
        setting.next = *options.start;
        SetSequence(SequenceKind::Sequence, setting);
    }

    // Each file's photo, found in a contact sheet of its folder (so that a raw file goes with its JPEG),
    // in the order given.
    int status = kExitDone;
    nlohmann::ordered_json failures = nlohmann::ordered_json::array();
    std::map<std::string, std::unique_ptr<LumoDocCommon>> documents;
    std::map<std::string, DocumentItem::Ref> owner; // every file a photo owns -> the photo
    std::vector<DocumentItem::Ref> items;
    for (const std::string& file : options.files) {
        if (const std::string problem = fileProblem(file); !problem.empty()) {
            reportFailure(file, problem);
            failures.push_back(failureJson(file, kResultUnreadable, problem));
            status = kExitSomeFailed;
            continue;
        }
        std::error_code ec;
        const fs::path full = fs::absolute(file, ec).lexically_normal();
        const std::string folder = full.parent_path().string();
        auto& document = documents[folder];
        if (!document) {
            // What an earlier rename cut short left in the folder is put back before the folder is read.
            RecoverInterruptedRename(folder);
            document = std::make_unique<LumoDocCommon>();
            document->SetJoinRawPlusJpeg(true);
            if (!document->OnOpenDocument(folder))
                document.reset();
            else
                for (const DocumentItem::Ref& item : document->Items())
                    for (const std::string& owned : DocumentItemOwnedFiles(*item))
                        owner.emplace(owned, item);
        }
        const auto at = owner.find(full.string());
        const DocumentItem::Ref found = at == owner.end() ? nullptr : at->second;
        if (!found) {
            const std::string sentence = "not a photo of its folder's contact sheet";
            reportFailure(file, sentence);
            failures.push_back(failureJson(file, kResultNotPossible, sentence));
            status = kExitSomeFailed;
            continue;
        }
        if (std::find(items.begin(), items.end(), found) == items.end())
            items.push_back(found);
    }
    // An argument that is no photo is reported and left; the photos found are renamed all or nothing.
    if (items.empty())
        return status;

    if (options.dryRun) {
        RenamePhotosLogic logic(items);
        const RenamePhotosLogic::State state = logic.Refresh(options.namingTemplate);
        const std::vector<std::string> examples = logic.Examples(options.namingTemplate);
        if (common.json) {
            nlohmann::ordered_json out = nlohmann::ordered_json::object();
            out["examples"] = examples;
            out["label"] = state.label;
            out["renameEnabled"] = state.renameEnabled;
            std::cout << jsonText(out, 2) << '\n';
        } else {
            for (const std::string& line : examples)
                std::printf("%s\n", line.c_str());
            if (!state.label.empty())
                std::printf("%s\n", state.label.c_str());
        }
        return state.renameEnabled ? status : kExitSomeFailed;
    }
    if (options.namingTemplate.front() == '.')
        return usage(RenameDialogText::kNoLeadingPeriod);

    ProgressDialogInterface progress;
    RenamePhotosThread thread(&progress, items, options.namingTemplate);
    const bool showProgress = !common.quiet && !common.json && ::isatty(STDERR_FILENO);
    if (!thread.Start())
        return commandFailed(common, kResultUnexpected, "the rename could not be started");
    TerminalProgressWindow window(progress, "Renaming", showProgress ? stderr : nullptr);
    window.run();
    thread.Join();
    if (const auto preferences = CPreferences::instance()) {
        preferences->setString(kPrefRenameString, options.namingTemplate);
    }

    const std::uint32_t result = progress.GetStatus();
    // (A message the rename showed has been told on stderr by the message box.)
    const auto& from = thread.OldPaths();
    const auto& to = thread.NewPaths();
    nlohmann::ordered_json renamed = nlohmann::ordered_json::array();
    if (result == 0)
        for (std::size_t i = 0; i < from.size() && i < to.size(); ++i) {
            if (common.json)
                renamed.push_back({{"from", from[i]}, {"to", to[i]}});
            else if (!common.quiet)
                std::printf("%s -> %s\n", oneLine(from[i]).c_str(), oneLine(to[i]).c_str());
        }
    if (common.json) {
        nlohmann::ordered_json out = nlohmann::ordered_json::object();
        out["renamed"] = renamed;
        out["status"] = result;
        if (!thread.ShownMessage().empty())
            out["message"] = thread.ShownMessage();
        std::cout << jsonText(out, 2) << '\n';
    }
    std::fflush(stdout);
    if (result == ProgressDialogInterface::kStatusCancelled)
        return kExitCancelled;
    return result == 0 ? status : kExitSomeFailed;
}

} // namespace

void addRenameCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action) {
    auto options = std::make_shared<RenameOptions>();
    CLI::App* command = lumo.add_subcommand(
        "rename",
        "Rename photos from a naming template, with their companion and attached files (all or nothing)");
    command->add_option("FILE", options->files, "The photos, in the order their sequence numbers follow")
        ->type_name("FILE");
    command
        ->add_option("--template,-t", options->namingTemplate,
                     "The naming template, e.g. \"{datesort}_{seqn}\"")
        ->type_name("T");
    command->add_option("--start", options->start, "The next sequence number")->type_name("N");
    command->add_flag("--dry-run,-n", options->dryRun, "Show examples of the new names and rename nothing");
    command
        ->add_option("--recover", options->recover,
                     "Put back the original names a rename cut short left in DIR")
        ->type_name("DIR");
    command->callback(
        [&common, &action, options] { action = [&common, options] { return runRename(common, *options); }; });
}
