#include "Commands.h"

void addSaveAsCommand(CLI::App&, const CommonOptions&, CommandAction&) {}
