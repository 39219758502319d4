#include "IngestNamingArguments.h"

#include "fileops/IngestTask.h"

#include <map>

void IngestNamingArguments::addTo(CLI::App& command, const std::string& structureHelp,
                                  const std::string& noVerifyHelp) {
    command
        .add_option("--layout", layout, "Folders under each destination: direct, dated, named or dated-named")
        ->type_name("LAYOUT")
        ->check(CLI::IsMember({"direct", "dated", "named", "dated-named"}));
    command.add_option("--folder", folder, "The dated folder / folder with name template ({variables})")
        ->type_name("T");
    command.add_option("--rename", rename, "Name the copies by this template ({variables})")->type_name("T");
    command.add_flag("--apply-template", applyTemplate,
                     "Write the current metadata template into the copies");
    command.add_option("--structure", structure, structureHelp)
        ->type_name("MODE")
        ->check(CLI::IsMember({"ignore", "keep", "all"}));
    command.add_flag("--no-verify", noVerify, noVerifyHelp);
}

int IngestNamingArguments::layoutCode() const {
    static const std::map<std::string, int> codes{{"direct", kIngestDirect},
                                                  {"dated", kIngestDatedFolder},
                                                  {"named", kIngestNamedFolder},
                                                  {"dated-named", kIngestDatedNamedFolder}};
    const auto found = codes.find(layout);
    return found == codes.end() ? kIngestDirect : found->second;
}

int IngestNamingArguments::structureCode() const {
    static const std::map<std::string, int> codes{{"ignore", kIngestIgnoreSourceDirs},
                                                  {"keep", kIngestKeepSourceDirNames},
                                                  {"all", kIngestPreserveSourceDirs}};
    const auto found = codes.find(structure);
    return found == codes.end() ? kIngestIgnoreSourceDirs : found->second;
}

bool IngestNamingArguments::dated() const {
    return layoutCode() == kIngestDatedFolder || layoutCode() == kIngestDatedNamedFolder;
}

bool IngestNamingArguments::named() const {
    return layoutCode() == kIngestNamedFolder || layoutCode() == kIngestDatedNamedFolder;
}
