#include "LumoCli.h"

#include "Commands.h"
#include "app/Version.h"

#include <CLI/CLI.hpp>

#include <clocale>
#include <cstdio>
#include <exception>

int runLumo(int argc, char** argv) {
    // The user's locale for text; start-up puts numbers back to the classic form.
    std::setlocale(LC_ALL, "");

    CLI::App lumo("Lumograph: browse, caption and deliver photos fast.", "lumo");
    lumo.set_version_flag("--version", versionLine(), "Show the version and exit");
    lumo.require_subcommand(1);
    lumo.fallthrough();

    CommonOptions common;
    lumo.add_flag("--json", common.json, "Machine-readable output (JSON on stdout)");
    lumo.add_flag("--yes,-y", common.yes, "Answer every question with yes");
    lumo.add_flag("--no-input", common.noInput, "Never ask; take each question's default answer");
    lumo.add_option("--settings", common.settingsFolder, "Settings folder (overrides LUMO_SETTINGS_PATH)")
        ->type_name("DIR");
    lumo.add_option("--cache", common.cacheFolder, "Cache and log folder (overrides LUMO_CACHE_PATH)")
        ->type_name("DIR");

    CommandAction action;
    addPathsCommand(lumo, common, action);
    addPrefsCommand(lumo, common, action);
    addCatalogCommand(lumo, common, action);
    addTypeCommand(lumo, common, action);
    addInfoCommand(lumo, common, action);
    addPreviewCommands(lumo, common, action);
    addEditCommands(lumo, common, action);

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

    if (!action)
        return kExitBadUsage;
    try {
        return action();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "lumo: %s\n", e.what());
        return kExitSomeFailed;
    }
}
