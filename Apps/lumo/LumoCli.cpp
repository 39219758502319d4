#include "LumoCli.h"

#include "Commands.h"
#include "app/Version.h"
#include "db/PreferenceKeys.h"
#include "support/TextUtils.h"

#include <CLI/CLI.hpp>

#include <clocale>
#include <cstdio>
#include <exception>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr char kCommonGroup[] = "Common options";

// Every command takes the common options itself, so that they may follow its name and its --help
// shows them.
void addCommonOptions(CLI::App& command, CommonOptions& common) {
    command.add_flag("--json", common.json, "Machine-readable output (JSON on stdout)")->group(kCommonGroup);
    command
        .add_flag("--yes,-y", common.yes,
                  "Answer every question yes; asked whether to retry a file that failed, skip it")
        ->group(kCommonGroup);
    command
        .add_flag("--no-input", common.noInput,
                  "Never ask: every question takes its default answer; asked whether to retry, cancel")
        ->group(kCommonGroup);
    command.add_flag("--quiet,-q", common.quiet, "No progress and no line per file (errors still show)")
        ->group(kCommonGroup);
    command.add_option("--settings", common.settingsFolder, "Settings folder (overrides LUMO_SETTINGS_PATH)")
        ->type_name("DIR")
        ->group(kCommonGroup);
    command.add_option("--cache", common.cacheFolder, "Cache and log folder (overrides LUMO_CACHE_PATH)")
        ->type_name("DIR")
        ->group(kCommonGroup);
}

// The commands directly below `app` (not its option groups, which CLI11 keeps as nameless commands).
std::vector<CLI::App*> commandsOf(const CLI::App& app) {
    std::vector<CLI::App*> out;
    for (CLI::App* sub : const_cast<CLI::App&>(app).get_subcommands([](CLI::App*) { return true; }))
        if (!sub->get_name().empty())
            out.push_back(sub);
    return out;
}

std::vector<std::string> namesOf(const std::vector<CLI::App*>& commands) {
    std::vector<std::string> names;
    for (const CLI::App* command : commands)
        names.push_back(command->get_name());
    return names;
}

void forEachCommand(CLI::App& app, const std::function<void(CLI::App&)>& visit) {
    visit(app);
    for (CLI::App* sub : commandsOf(app))
        forEachCommand(*sub, visit);
}

// "lumo prefs set" for that command.
std::string pathOf(const CLI::App& command) {
    std::string path = command.get_name();
    for (const CLI::App* up = command.get_parent(); up; up = up->get_parent())
        path = up->get_name() + " " + path;
    return path;
}

// The option `name` ("--settings", "-n") as `command` or one of the commands above it takes it.
const CLI::Option* findOption(const CLI::App& command, const std::string& name) {
    for (const CLI::App* app = &command; app; app = app->get_parent())
        if (const CLI::Option* option = app->get_option_no_throw(name))
            return option;
    return nullptr;
}

bool takesValue(const CLI::Option& option) {
    return option.get_expected_max() > 0 && option.get_type_size_max() > 0;
}

// "\"frob\" is not a command of lumo prefs (did you mean \"get\"?)".
int unknownCommand(const CLI::App& level, const std::string& word) {
    std::string text = "lumo: \"" + word + "\" is not a " +
                       (level.get_parent() ? "command of " + pathOf(level) : std::string("lumo command"));
    if (const std::string nearest = lumo::nearestWord(word, namesOf(commandsOf(level))); !nearest.empty())
        text += "; did you mean \"" + nearest + "\"?";
    text +=
        " (lumo help" + (level.get_parent() ? " " + pathOf(level).substr(5) : std::string()) + " lists them)";
    std::fprintf(stderr, "%s\n", text.c_str());
    return kExitBadUsage;
}

// The command that `words` (after "lumo") name, or null after saying which word names none.
CLI::App* resolveCommand(CLI::App& lumo, const std::vector<std::string>& words) {
    CLI::App* level = &lumo;
    for (const std::string& word : words) {
        CLI::App* next = nullptr;
        for (CLI::App* sub : commandsOf(*level))
            if (sub->get_name() == word)
                next = sub;
        if (!next) {
            unknownCommand(*level, word);
            return nullptr;
        }
        level = next;
    }
    return level;
}

// True when `command` takes positional arguments of its own.
bool takesArguments(const CLI::App& command) {
    for (const CLI::Option* option : command.get_options())
        if (option->get_positional())
            return true;
    return false;
}

// Walks the command line as the parser will, one level of commands at a time: at a level that has
// commands of its own, the first word that is not an option (or an option's value) must name one of
// them. Answers the exit status when the line names no command that exists, after saying so; CLI11
// would only say that a command is needed, or that an argument was not expected.
std::optional<int> checkCommandWords(CLI::App& lumo, int argc, char** argv) {
    CLI::App* level = &lumo;
    bool chosen = false, help = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--")
            break;
        if (arg.size() > 1 && arg[0] == '-') {
            help = help || arg == "-h" || arg == "--help" || arg == "--version";
            const CLI::Option* option =
                arg.find('=') == std::string::npos ? findOption(*level, arg) : nullptr;
            if (option && takesValue(*option))
                ++i;
            continue;
        }
        const std::vector<CLI::App*> commands = commandsOf(*level);
        if (commands.empty())
            break; // the command's own arguments
        CLI::App* next = nullptr;
        for (CLI::App* sub : commands)
            if (sub->get_name() == arg)
                next = sub;
        if (!next && takesArguments(*level))
            break; // a command with commands of its own that also works on arguments (lumo meta FILE)
        if (!next)
            return unknownCommand(*level, arg);
        level = next;
        chosen = true;
    }
    if (!help && !commandsOf(*level).empty() && level->get_require_subcommand_min() > 0) {
        std::string names;
        for (const std::string& name : namesOf(commandsOf(*level)))
            names += (names.empty() ? "" : ", ") + name;
        const std::string after = chosen ? " after " + pathOf(*level).substr(5) : std::string();
        std::fprintf(stderr, "lumo: give a command%s: %s (lumo help%s tells more)\n", after.c_str(),
                     names.c_str(), after.empty() ? "" : (" " + pathOf(*level).substr(5)).c_str());
        return kExitBadUsage;
    }
    return std::nullopt;
}

// CLI11's own complaints, in the program's voice, with where to read more.
std::string failureMessage(const CLI::App* lumo, const CLI::Error& e) {
    const CLI::App* command = lumo;
    for (std::vector<CLI::App*> chosen = lumo->get_subcommands(); !chosen.empty();
         chosen = chosen.front()->get_subcommands())
        command = chosen.front();
    const std::string path = pathOf(*command);
    return "lumo: " + std::string(e.what()) + "\nRun \"lumo help" + (path == "lumo" ? "" : path.substr(4)) +
           "\" for the options.\n";
}

void addHelpCommand(CLI::App& lumo, CommandAction& action) {
    static std::vector<std::string> words;
    CLI::App* help = lumo.add_subcommand("help", "Show what a command does and the options it takes");
    help->add_option("COMMAND", words, "The command, with its subcommand (lumo help prefs set)")
        ->type_name("");
    help->callback([&lumo, &action] {
        action = [&lumo] {
            const CLI::App* command = resolveCommand(lumo, words);
            if (!command)
                return static_cast<int>(kExitBadUsage);
            // Through the formatter: help() of the parsed program would show the help command's own.
            std::cout << command->get_formatter()->make_help(command, pathOf(*command),
                                                             CLI::AppFormatMode::Normal);
            return static_cast<int>(kExitDone);
        };
    });
}

void addCompletionCommand(CLI::App& lumo, CommandAction& action) {
    static std::string shell;
    CLI::App* completion = lumo.add_subcommand(
        "completion",
        "Print the shell completion script (bash): source it, or keep it as the completion of lumo");
    completion->add_option("SHELL", shell, "bash")->required()->type_name("");
    completion->callback([&lumo, &action] {
        action = [&lumo] {
            if (shell != "bash") {
                std::fprintf(stderr, "lumo: completion is made for bash only, not \"%s\"\n", shell.c_str());
                return static_cast<int>(kExitBadUsage);
            }
            std::cout << bashCompletion(lumo);
            return static_cast<int>(kExitDone);
        };
    });
}

// What a value of this option or argument is, for completion: "dir", "file", "key" (a preference's
// name), "command", or empty when nothing can be offered.
std::string valueKind(const CLI::Option& option) {
    const std::string type = option.get_type_name();
    if (type == "DIR")
        return "dir";
    if (type.find("FILE") != std::string::npos || type.find("PATH") != std::string::npos)
        return "file";
    if (option.get_positional() && option.get_name() == "KEY")
        return "key";
    if (option.get_positional() && option.get_name() == "COMMAND")
        return "command";
    return {};
}

std::string joined(const std::vector<std::string>& words) {
    std::string out;
    for (const std::string& word : words)
        out += (out.empty() ? "" : " ") + word;
    return out;
}

} // namespace

std::string bashCompletion(const CLI::App& lumo) {
    std::string cases;
    forEachCommand(const_cast<CLI::App&>(lumo), [&](CLI::App& command) {
        std::vector<std::string> flags, valued;
        std::string args;
        for (const CLI::Option* option : command.get_options()) {
            if (option->get_positional()) {
                if (args.empty())
                    args = valueKind(*option);
                continue;
            }
            std::vector<std::string> names;
            for (const std::string& name : option->get_lnames())
                names.push_back("--" + name);
            for (const std::string& name : option->get_snames())
                names.push_back("-" + name);
            for (const std::string& name : names)
                if (takesValue(*option))
                    valued.push_back(name + "=" + valueKind(*option));
                else
                    flags.push_back(name);
        }
        cases += "    '" + pathOf(command) + "')\n        commands='" + joined(namesOf(commandsOf(command))) +
                 "'\n        flags='" + joined(flags) + "'\n        valued='" + joined(valued) +
                 "'\n        args='" + args + "' ;;\n";
    });
    std::vector<std::string> keys;
    for (const PreferenceKey& key : knownPreferenceKeys())
        keys.push_back(key.name);

    return "# bash completion for lumo, made by `lumo completion bash` from the commands it defines.\n"
           "\n"
           "# The words of the command named by $1: its commands, its flags, its options that take a value\n"
           "# (NAME=KIND) and the kind of its arguments.\n"
           "_lumo_words() {\n"
           "    case \"$1\" in\n" +
           cases +
           "    *)\n"
           "        commands='' flags='' valued='' args='' ;;\n"
           "    esac\n"
           "}\n"
           "\n"
           "# Values of kind $2 that begin with $1.\n"
           "_lumo_values() {\n"
           "    case \"$2\" in\n"
           "    dir) mapfile -t COMPREPLY < <(compgen -d -- \"$1\") ;;\n"
           "    file) mapfile -t COMPREPLY < <(compgen -f -- \"$1\") ;;\n"
           "    key) mapfile -t COMPREPLY < <(compgen -W '" +
           joined(keys) +
           "' -- \"$1\") ;;\n"
           "    command) mapfile -t COMPREPLY < <(compgen -W '" +
           joined(namesOf(commandsOf(lumo))) +
           "' -- \"$1\") ;;\n"
           "    *) COMPREPLY=() ;;\n"
           "    esac\n"
           "}\n"
           "\n"
           "_lumo() {\n"
           "    local cur=${COMP_WORDS[COMP_CWORD]} path=lumo commands flags valued args i w option names\n"
           "    _lumo_words \"$path\"\n"
           "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
           "        w=${COMP_WORDS[i]}\n"
           "        if [[ $w == -* ]]; then\n"
           "            for option in $valued; do\n"
           "                [[ $w == \"${option%%=*}\" ]] || continue\n"
           "                if ((i + 1 == COMP_CWORD)); then\n"
           "                    _lumo_values \"$cur\" \"${option#*=}\"\n"
           "                    return\n"
           "                fi\n"
           "                ((i++))\n"
           "                break\n"
           "            done\n"
           "        elif [[ \" $commands \" == *\" $w \"* ]]; then\n"
           "            path=\"$path $w\"\n"
           "            _lumo_words \"$path\"\n"
           "        fi\n"
           "    done\n"
           "    if [[ $cur == -* ]]; then\n"
           "        names=$flags\n"
           "        for option in $valued; do names=\"$names ${option%%=*}\"; done\n"
           "        mapfile -t COMPREPLY < <(compgen -W \"$names\" -- \"$cur\")\n"
           "    elif [[ -n $commands ]]; then\n"
           "        mapfile -t COMPREPLY < <(compgen -W \"$commands\" -- \"$cur\")\n"
           "    else\n"
           "        _lumo_values \"$cur\" \"$args\"\n"
           "    fi\n"
           "}\n"
           "\n"
           "complete -o filenames -F _lumo lumo\n";
}

int runLumo(int argc, char** argv) {
    // The user's locale for text; start-up puts numbers back to the classic form.
    std::setlocale(LC_ALL, "");

    CLI::App lumo("Lumograph Plus: browse, caption and deliver photos fast.", "lumo");
    lumo.set_version_flag("--version", versionLine(), "Show the version and exit");
    lumo.require_subcommand(1);
    lumo.fallthrough();
    lumo.failure_message(failureMessage);

    CommonOptions common;
    CommandAction action;
    addPathsCommand(lumo, common, action);
    addPrefsCommand(lumo, common, action);
    addCatalogCommand(lumo, common, action);
    addTypeCommand(lumo, common, action);
    addInfoCommand(lumo, common, action);
    addIptcCommand(lumo, common, action);
    addPreviewCommands(lumo, common, action);
    addEditCommands(lumo, common, action);
    addMetaCommand(lumo, common, action);
    addPhotoStateCommands(lumo, common, action);
    addCacheCommand(lumo, common, action);
    addCodesCommand(lumo, common, action);
    addVariableCommands(lumo, common, action);
    addContactSheetCommands(lumo, common, action);
    addTemplateCommands(lumo, common, action);
    addRenameCommand(lumo, common, action);
    addCopyCommand(lumo, common, action);
    addSaveAsCommand(lumo, common, action);
    addIngestCommand(lumo, common, action);
    addLiveIngestCommand(lumo, common, action);
    addCardsCommand(lumo, common, action);
    addFtpCommand(lumo, common, action);
    addSendCommand(lumo, common, action);
    addGpsCommand(lumo, common, action);
    addGeocodeCommand(lumo, common, action);
    addHelpCommand(lumo, action);
    addCompletionCommand(lumo, action);
    forEachCommand(lumo, [&common](CLI::App& command) { addCommonOptions(command, common); });

    if (const std::optional<int> status = checkCommandWords(lumo, argc, argv))
        return *status;
    try {
        lumo.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return lumo.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return lumo.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return lumo.exit(e);
    } catch (const CLI::ParseError& e) {
        lumo.exit(e);
        return kExitBadUsage;
    }
    if (common.yes && common.noInput) {
        std::fprintf(stderr, "lumo: give --yes or --no-input, not both\n");
        return kExitBadUsage;
    }

    if (!action)
        return kExitBadUsage;
    try {
        return action();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "lumo: %s\n", e.what());
        return kExitSomeFailed;
    }
}
