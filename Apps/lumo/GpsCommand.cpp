// lumo gps.

#include "Commands.h"

void addGpsCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action) {
    (void)lumo;
    (void)common;
    (void)action;
}
