// lumo geocode.

#include "Commands.h"

void addGeocodeCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action) {
    (void)lumo;
    (void)common;
    (void)action;
}
