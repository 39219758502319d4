// lumo ftp.

#include "Commands.h"

void addFtpCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action) {
    (void)lumo;
    (void)common;
    (void)action;
}
