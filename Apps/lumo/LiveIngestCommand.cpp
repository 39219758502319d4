// lumo live-ingest: (being built).

#include "Commands.h"

#include <cstdio>

void addLiveIngestCommand(CLI::App& lumo, const CommonOptions& /*common*/, CommandAction& action) {
    CLI::App* command =
        lumo.add_subcommand("live-ingest", "Watch folders and copy each new photo as soon as it is complete");
    command->callback([&action] {
        action = [] {
            std::fprintf(stderr, "lumo live-ingest: not built yet\n");
            return static_cast<int>(kExitSomeFailed);
        };
    });
}
