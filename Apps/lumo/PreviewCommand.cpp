#include "Commands.h"

void addPreviewCommands(CLI::App&, const CommonOptions&, CommandAction&) {}
