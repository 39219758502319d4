// lumo cards: (being built).

#include "Commands.h"

#include <cstdio>

void addCardsCommand(CLI::App& lumo, const CommonOptions& /*common*/, CommandAction& action) {
    CLI::App* command = lumo.add_subcommand(
        "cards", "List mounted volumes with their used and free space and whether each is a camera card");
    command->callback([&action] {
        action = [] {
            std::fprintf(stderr, "lumo cards: not built yet\n");
            return static_cast<int>(kExitSomeFailed);
        };
    });
}
