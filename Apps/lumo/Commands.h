#pragma once

#include "LumoCli.h"

#include <CLI/CLI.hpp>

#include <functional>

// Each command adds its subcommand to the front end; when the user picks it, its action runs after
// parsing and answers the exit status.
using CommandAction = std::function<int()>;

void addPathsCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action);
void addPrefsCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action);
void addCatalogCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action);
void addTypeCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action);
// lumo iptc: the IIM datasets of each file.
void addIptcCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action);
void addInfoCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action);
// lumo preview and lumo thumb.
void addPreviewCommands(CLI::App& lumo, const CommonOptions& common, CommandAction& action);
// lumo rotate and lumo crop.
void addEditCommands(CLI::App& lumo, const CommonOptions& common, CommandAction& action);
// lumo cache status, clear and purge-sort.
void addCacheCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action);
// lumo meta: each photo's metadata by field label; lumo meta set, clear and undo.
void addMetaCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action);
// lumo tag, lumo rate and lumo colorclass.
void addPhotoStateCommands(CLI::App& lumo, const CommonOptions& common, CommandAction& action);
// lumo codes check and lumo codes replace.
void addCodesCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action);
// lumo expand and lumo vars.
void addVariableCommands(CLI::App& lumo, const CommonOptions& common, CommandAction& action);
// lumo scan, lumo arrange and lumo delete: folders as contact sheets.
void addContactSheetCommands(CLI::App& lumo, const CommonOptions& common, CommandAction& action);
// lumo template (show, edit, apply, save, load) and lumo snapshot (take, paste).
void addTemplateCommands(CLI::App& lumo, const CommonOptions& common, CommandAction& action);
// lumo rename.
void addRenameCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action);
// lumo copy.
void addCopyCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action);
// lumo saveas.
void addSaveAsCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action);
// lumo ingest.
void addIngestCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action);
// lumo live-ingest.
void addLiveIngestCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action);
// lumo cards.
void addCardsCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action);
// lumo ftp (put, save, list, forget).
void addFtpCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action);
// lumo send.
void addSendCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action);
// lumo gps (import, log).
void addGpsCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action);
// lumo geocode.
void addGeocodeCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action);
