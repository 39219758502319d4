#include "DestinationArguments.h"

#include "fileops/CopyOptions.h"

#include <filesystem>
#include <system_error>

std::string absolutePath(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path full = std::filesystem::absolute(path, ec);
    return ec ? path : full.lexically_normal().string();
}

void DestinationArguments::addTo(CLI::App& command, const std::string& verb, const std::string& toHelp,
                                 const std::string& inPlaceHelp) {
    command.add_option("--to", to, toHelp)->type_name("DIR");
    command
        .add_option("--subfolder", subfolder,
                    verb + " into a subfolder of each photo's own folder, named by this template")
        ->type_name("T");
    command.add_option("--root", root, "With --folder: the folder under which folders are made")
        ->type_name("DIR");
    command.add_option("--folder", folder, "With --root: the folder made for each photo ({variables})")
        ->type_name("T");
    command.add_flag("--in-place", inPlace, inPlaceHelp);
}

bool DestinationArguments::resolve(Resolved& out, std::string& problem) const {
    const int named = (to.empty() ? 0 : 1) + (subfolder.empty() ? 0 : 1) +
                      (root.empty() && folder.empty() ? 0 : 1) + (inPlace ? 1 : 0);
    if (named != 1) {
        problem = "name one destination: --to DIR, --subfolder T, --root DIR --folder T or --in-place";
        return false;
    }
    if (root.empty() != folder.empty()) {
        problem = "--root and --folder go together";
        return false;
    }
    out = {};
    if (!to.empty()) {
        out.type = kCopyToPickedFolder;
        out.picked = absolutePath(to);
    } else if (!subfolder.empty()) {
        out.type = kCopyToSubfolder;
        out.subfolder = subfolder;
    } else if (!root.empty()) {
        out.type = kCopyToFolderUnderRoot;
        out.root = absolutePath(root);
        out.folder = folder;
    } else {
        out.type = kCopyToOwnFolder;
    }
    return true;
}
