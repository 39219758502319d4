#include "AppSession.h"
#include "Commands.h"
#include "ErrorText.h"
#include "JsonValue.h"
#include "variables/CodeReplacements.h"
#include "variables/VariableExpander.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

namespace {

struct CheckOptions {
    std::vector<std::string> files;
};

struct ReplaceOptions {
    std::string text;
    std::vector<std::string> files;
    std::string delimiter;
    std::string defaultNamespace;
    bool variables = false;
};

nlohmann::ordered_json errorJson(const CodeReplacementError& error) {
    return {{"path", error.file}, {"line", error.line}, {"error", error.message}};
}

void reportErrors(const std::vector<CodeReplacementError>& errors) {
    for (const CodeReplacementError& error : errors)
        reportFailure({}, error.message);
}

int runCheck(const CommonOptions& common, const CheckOptions& options) {
    AppSession session(common, 0); // the log only
    if (!session.started())
        return commandFailed(common, kResultUnexpected, session.error());
    CodeReplacementTable table;
    std::vector<CodeReplacementError> errors;
    for (const std::string& file : options.files)
        table.addFile(file, errors);
    reportErrors(errors);
    if (common.json) {
        nlohmann::ordered_json out = {{"namespaces", nlohmann::ordered_json::array()},
                                      {"errors", nlohmann::ordered_json::array()}};
        for (const CodeNamespace& space : table.namespaces()) {
            if (space.codes.empty() && !space.declared && space.names.empty() && space.defaults.empty())
                continue; // the "Global" every table starts with, unused
            out["namespaces"].push_back({{"name", space.name},
                                         {"names", space.names},
                                         {"defaults", space.defaults},
                                         {"codes", space.codes.size()}});
        }
        for (const CodeReplacementError& error : errors)
            out["errors"].push_back(errorJson(error));
        std::cout << jsonText(out, 2) << '\n';
    } else {
        for (const CodeNamespace& space : table.namespaces()) {
            if (space.codes.empty() && !space.declared && space.names.empty() && space.defaults.empty())
                continue;
            std::string line = oneLine(space.name) + "\t" + std::to_string(space.codes.size()) +
                               (space.codes.size() == 1 ? " code" : " codes");
            for (const std::string& name : space.names)
                line += "\talso " + oneLine(name);
            if (!space.defaults.empty()) {
                line += "\tdefaults";
                for (const std::string& code : space.defaults)
                    line += " " + oneLine(code);
            }
            std::printf("%s\n", line.c_str());
        }
    }
    std::fflush(stdout);
    return errors.empty() ? kExitDone : kExitSomeFailed;
}

int runReplace(const CommonOptions& common, const ReplaceOptions& options) {
    if (!options.delimiter.empty()) {
        if (const std::string problem = CodeReplacementsDelimiterProblem(options.delimiter); !problem.empty())
            return commandFailed(common, kResultNotPossible, problem, kExitBadUsage);
    }
    // Without --file the tables are those the preferences name, loaded as start-up loads them.
    AppSession session(common, options.files.empty() ? kPreferencesService | kCodeReplacementsService : 0u);
    if (!session.started())
        return commandFailed(common, kResultUnexpected, session.error());
    std::vector<CodeReplacementError> errors;
    CodeReplacementSettings settings;
    CodeReplacementTable table;
    if (options.files.empty()) {
        const auto loaded = CodeReplacements::current();
        settings = loaded->settings();
        table = loaded->table();
        errors = loaded->loadErrors(); // start-up has shown them
    } else {
        settings = CodeReplacementSettings::read(); // the defaults: no preferences are open
        for (const std::string& file : options.files)
            table.addFile(file, errors);
        reportErrors(errors);
    }
    if (!options.delimiter.empty())
        settings.delimiter = options.delimiter;
    if (!options.defaultNamespace.empty())
        settings.defaultNamespace = options.defaultNamespace;
    const CodeReplacements codes(std::move(settings), std::move(table));
    const VariableContext context;
    const std::string text = codes.replace(options.text, options.variables ? &context : nullptr);
    if (common.json) {
        nlohmann::ordered_json out = {{"text", text},
                                      {"replaced", text != options.text},
                                      {"hasCodes", codes.hasCodes(options.text)},
                                      {"errors", nlohmann::ordered_json::array()}};
        for (const CodeReplacementError& error : errors)
            out["errors"].push_back(errorJson(error));
        std::cout << jsonText(out, 2) << '\n';
    } else {
        std::printf("%s\n", text.c_str());
    }
    std::fflush(stdout);
    return errors.empty() ? kExitDone : kExitSomeFailed;
}

} // namespace

void addCodesCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action) {
    CLI::App* codes = lumo.add_subcommand("codes", "Check code replacement files and try replacing codes");
    codes->require_subcommand(1);

    auto check = std::make_shared<CheckOptions>();
    CLI::App* checkCommand =
        codes->add_subcommand("check", "Load code replacement files and report their errors");
    checkCommand->add_option("FILE", check->files, "Code replacement files, loaded in this order")
        ->required()
        ->type_name("FILE");
    checkCommand->callback(
        [&common, &action, check] { action = [&common, check] { return runCheck(common, *check); }; });

    auto replace = std::make_shared<ReplaceOptions>();
    CLI::App* replaceCommand = codes->add_subcommand(
        "replace", "Show PHRASE with its codes replaced (by the files the preferences name)");
    replaceCommand->add_option("PHRASE", replace->text, "The text, codes between delimiters (\"=23=\")")
        ->required()
        ->type_name("");
    replaceCommand
        ->add_option("--file", replace->files, "Use this code replacement file instead (repeatable)")
        ->type_name("FILE");
    replaceCommand->add_option("--delimiter", replace->delimiter, "The delimiter instead of the preference's")
        ->type_name("CHAR");
    replaceCommand->add_option("--namespace", replace->defaultNamespace, "The namespace looked up first")
        ->type_name("NAME");
    replaceCommand->add_flag("--variables", replace->variables,
                             "Expand the variables of the result too (for no photo: the clock, {tab}, {nl})");
    replaceCommand->callback([&common, &action, replace] {
        action = [&common, replace] { return runReplace(common, *replace); };
    });
}
