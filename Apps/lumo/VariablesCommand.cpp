// lumo expand: a template's {variables} expanded for each file, as a rename or a caption would expand
// them. lumo vars: the variables the templates know, with their short forms and help.

#include "AppSession.h"
#include "Commands.h"
#include "ErrorText.h"
#include "FileArguments.h"
#include "JsonValue.h"
#include "NRF/NRF.h"
#include "NRF/NRFImageInfo.h"
#include "PhotoOperation.h"
#include "metadata/IPTCRec.h"
#include "metadata/PhotoMetadata.h"
#include "variables/VariableExpander.h"
#include "variables/VariableSequence.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

struct ExpandOptions {
    std::string text;
    FileArguments files;
    bool fileName = false;
    bool sortable = false;
    std::optional<std::int64_t> sequence;
    std::optional<int> digits;
};

std::string leafName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int runExpand(const CommonOptions& common, const ExpandOptions& options) {
    if (options.files.empty())
        return noFilesGiven();
    AppSession session(common, kImageEngineService | kPreferencesService);
    if (!session.started())
        return commandFailed(common, kResultUnexpected, session.error());

    // The counters start where the preferences have them, unless given; showing an expansion never
    // advances the stored counters.
    const SequenceSetting stored = CurrentSequence(SequenceKind::Sequence);
    const SequenceSetting ingest = CurrentSequence(SequenceKind::Ingest);
    VariableContext context;
    context.sequence = options.sequence.value_or(stored.next);
    context.sequenceDigits = options.digits.value_or(stored.digits);
    context.ingestSequence = static_cast<std::uint64_t>(ingest.next);
    context.ingestSequenceDigits = ingest.digits;
    const unsigned flags =
        (options.fileName ? kVariableFileName : 0u) | (options.sortable ? kVariableSortable : 0u);

    const std::vector<FileArgument> files = options.files.expand();
    context.total = static_cast<std::uint32_t>(files.size());
    int status = kExitDone;
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    for (const FileArgument& file : files) {
        ++context.index;
        PhotoOutcome outcome;
        std::shared_ptr<NRFImageInfoRec> image;
        if (file.error) {
            outcome.result = file.result;
            outcome.error = errnoText(file.error);
        } else {
            openPhoto(file.path, image, outcome);
        }
        if (!image) {
            status = kExitSomeFailed;
            reportFailure(file.path, outcome.error);
            if (common.json)
                out.push_back(failureJson(file.path, outcome.result, outcome.error));
            continue;
        }
        // A photo whose metadata cannot be read still expands: its metadata variables are empty.
        IPTCRec record;
        const bool hasRecord = NRFLoadIPTC(image.get(), &record) == kNRFErrNone;
        context.image = image.get();
        context.record = hasRecord ? &record : nullptr;
        context.newFileName = leafName(file.path);
        const VariableExpansion expansion = ExpandVariables(options.text, context, flags);
        context.image = nullptr;
        context.record = nullptr;
        NRFCloseImage(&image);
        if (expansion.usedSequence)
            ++context.sequence;
        if (common.json)
            out.push_back({{"path", file.path}, {"text", expansion.text}, {"expanded", expansion.expanded}});
        else if (files.size() == 1)
            std::printf("%s\n", oneLine(expansion.text).c_str());
        else
            std::printf("%s\t%s\n", oneLine(file.path).c_str(), oneLine(expansion.text).c_str());
    }
    if (common.json)
        std::cout << jsonText(out, 2) << '\n';
    std::fflush(stdout);
    return status;
}

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items)
        text += (text.empty() ? "" : ", ") + item;
    return text;
}

int runVars(const CommonOptions& common) {
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    std::string group;
    for (const VariableInfo& info : VariableList()) {
        if (!info.listed)
            continue;
        if (common.json) {
            out.push_back({{"name", info.name},
                           {"shortForms", info.shortForms},
                           {"group", info.group},
                           {"help", info.help}});
            continue;
        }
        if (group != info.group) {
            group = info.group;
            std::printf("%s\n", group.c_str());
        }
        std::string names = std::string("{") + info.name + "}";
        if (!info.shortForms.empty())
            names += " (" + joined(info.shortForms) + ")";
        std::printf("  %-32s %s\n", names.c_str(), info.help);
    }
    if (common.json)
        std::cout << jsonText(out, 2) << '\n';
    std::fflush(stdout);
    return kExitDone;
}

} // namespace

void addVariableCommands(CLI::App& lumo, const CommonOptions& common, CommandAction& action) {
    auto options = std::make_shared<ExpandOptions>();
    CLI::App* expand = lumo.add_subcommand("expand", "Show a template's {variables} expanded for each file");
    expand->add_option("template", options->text, "The text with {variables}")
        ->type_name("TEMPLATE")
        ->required();
    options->files.addTo(*expand);
    expand->add_flag("--filename", options->fileName,
                     "Expand as a file name: separators in values become \"-\"");
    expand->add_flag("--sortable", options->sortable, "Dates and numbers in their sortable forms");
    expand->add_option("--seq", options->sequence, "The first sequence number (default: the stored counter)")
        ->type_name("N");
    expand->add_option("--digits", options->digits, "The sequence's digits (default: the stored digits)")
        ->type_name("D")
        ->check(CLI::Range(0, 20));
    expand->callback(
        [&common, &action, options] { action = [&common, options] { return runExpand(common, *options); }; });

    CLI::App* vars = lumo.add_subcommand("vars", "List the {variables} templates may use");
    vars->callback([&common, &action] { action = [&common] { return runVars(common); }; });
}
