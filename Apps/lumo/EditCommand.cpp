// lumo rotate and lumo crop.

#include "Commands.h"

void addEditCommands(CLI::App&, const CommonOptions&, CommandAction&) {}
