// lumo send.

#include "Commands.h"

void addSendCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action) {
    (void)lumo;
    (void)common;
    (void)action;
}
