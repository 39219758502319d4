#include "SaveAsArguments.h"

void SaveAsArguments::addTo(CLI::App& command) {
    command.add_option("--type", type, "jpeg (the default), tiff or png")->type_name("TYPE");
    scale.addTo(command);
    command.add_option("--rename", rename, "Name the new files by this template ({variables})")
        ->type_name("T");
    command.add_option("--dpi", dpi, "The resolution written, dots per inch")
        ->check(CLI::Range(0.0, 100000.0));
}

bool SaveAsArguments::apply(SaveAsOptions& save, std::string& problem) const {
    if (type == "jpeg" || type == "jpg")
        save.saveAsType = kSaveAsJPEG;
    else if (type == "tiff" || type == "tif")
        save.saveAsType = kSaveAsTIFF;
    else if (type == "png")
        save.saveAsType = kSaveAsPNG;
    else {
        problem = "--type is jpeg, tiff or png, not \"" + type + "\"";
        return false;
    }
    if (!scale.apply(save, problem))
        return false;
    save.imageResolution = dpi;
    save.renamePhotos = !rename.empty();
    save.renameString = rename;
    return true;
}
