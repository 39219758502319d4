#include "AppSession.h"
#include "Commands.h"
#include "ErrorText.h"
#include "JsonValue.h"
#include "NRF/NRF.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

namespace {

struct TypeOptions {
    std::vector<std::string> files;
    bool proxy = false;
};

int runType(const CommonOptions& common, const TypeOptions& options) {
    AppSession session(common, kImageEngineService); // the engine needs none of the other services
    if (!session.started()) {
        std::fprintf(stderr, "lumo: %s\n", session.error().c_str());
        return kExitSomeFailed;
    }
    int status = kExitDone;
    nlohmann::json out = nlohmann::json::array();
    for (const std::string& path : options.files) {
        NRFFileType type = 0;
        const NRFErr err = NRFGetType(path.c_str(), &type, options.proxy);
        const bool known = err == kNRFErrNone;
        if (!known) {
            status = kExitSomeFailed;
            const std::string sentence = engineFailureText(err, path);
            reportFailure(path, sentence);
            if (common.json) {
                out.push_back(nlohmann::json(failureJson(path, err, sentence)));
                continue;
            }
        }
        const std::string code = known ? NRFFileTypeString(type) : "????";
        if (!common.json) {
            std::printf("%s\t%s\n", code.c_str(), path.c_str());
            continue;
        }
        std::string description, mediaKind = "unknown";
        if (known) {
            NRFGetDescription(type, &description);
            NRFGetMediaType(type, &mediaKind);
        }
        out.push_back(
            {{"path", path}, {"type", code}, {"typeDescription", description}, {"mediaKind", mediaKind}});
    }
    if (common.json)
        std::cout << jsonText(out, 2) << '\n';
    return status;
}

} // namespace

void addTypeCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action) {
    auto options = std::make_shared<TypeOptions>();
    CLI::App* type = lumo.add_subcommand("type", "Show which kind of image, raw or movie file each file is");
    type->add_option("files", options->files, "Files to look at")->required()->type_name("FILE");
    type->add_flag("--proxy", options->proxy, "Let files no reader knows be represented by the proxy (PRXY)");
    type->callback(
        [&common, &action, options] { action = [&common, options] { return runType(common, *options); }; });
}
