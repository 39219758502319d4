#include "Commands.h"

void addTemplateCommands(CLI::App&, const CommonOptions&, CommandAction&) {}
