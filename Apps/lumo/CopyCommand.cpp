#include "Commands.h"

void addCopyCommand(CLI::App&, const CommonOptions&, CommandAction&) {}
