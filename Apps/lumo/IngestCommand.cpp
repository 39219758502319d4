// lumo ingest: (being built).

#include "Commands.h"

#include <cstdio>

void addIngestCommand(CLI::App& lumo, const CommonOptions& /*common*/, CommandAction& action) {
    CLI::App* command = lumo.add_subcommand(
        "ingest",
        "Copy new photos from camera cards or folders into a primary and a backup folder, verified");
    command->callback([&action] {
        action = [] {
            std::fprintf(stderr, "lumo ingest: not built yet\n");
            return static_cast<int>(kExitSomeFailed);
        };
    });
}
