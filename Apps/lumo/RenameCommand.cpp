#include "Commands.h"

void addRenameCommand(CLI::App&, const CommonOptions&, CommandAction&) {}
