#include "AppSession.h"
#include "Commands.h"
#include "ErrorText.h"
#include "FileArguments.h"
#include "JsonValue.h"
#include "NRF/NRF.h"
#include "NRF/NRFImageInfo.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <iostream>
#include <string>

namespace {

struct TypeOptions {
    FileArguments files;
    bool proxy = false;
};

// The type `lumo info` finds: the one the name gives, confirmed by its reader reading the file (a
// reader that finds another kind of file inside sends it on to that kind's reader). `error` says why
// there is none, in words.
NRFErr typeByContent(const std::string& path, bool proxy, NRFFileType& type, std::string& error) {
    NRFFileType byName = 0;
    if (const NRFErr err = NRFGetType(path.c_str(), &byName, proxy); err != kNRFErrNone) {
        const std::string problem = fileProblem(path);
        error = !problem.empty() ? problem : proxy ? "one of lumo's own work files" : resultText(err);
        return err;
    }
    NRFImageInfoRef record;
    NRFErr err = NRFOpenImage(path.c_str(), byName, &record);
    if (err == kNRFErrNone)
        err = NRFGetImageInfo(record.get());
    if (err == kNRFErrNone)
        type = record->m_fileType;
    else
        error = engineFailureText(err, path);
    NRFCloseImage(&record);
    return err;
}

int runType(const CommonOptions& common, const TypeOptions& options) {
    if (options.files.empty())
        return noFilesGiven();
    AppSession session(common, kImageEngineService); // the engine needs none of the other services
    if (!session.started())
        return commandFailed(common, kResultUnexpected, session.error());
    int status = kExitDone;
    nlohmann::json out = nlohmann::json::array();
    for (const FileArgument& file : options.files.expand()) {
        NRFFileType type = 0;
        std::string error;
        // An argument that could not be looked at fails with the result the engine would give it.
        const NRFErr err = file.error ? file.result : typeByContent(file.path, options.proxy, type, error);
        if (file.error)
            error = errnoText(file.error);
        if (err != kNRFErrNone) {
            status = kExitSomeFailed;
            reportFailure(file.path, error);
            if (common.json)
                out.push_back(nlohmann::json(failureJson(file.path, err, error)));
            else
                std::printf("????\t%s\n", oneLine(file.path).c_str());
            continue;
        }
        const std::string code = NRFFileTypeString(type);
        if (!common.json) {
            std::printf("%s\t%s\n", code.c_str(), oneLine(file.path).c_str());
            continue;
        }
        std::string description, mediaKind = "unknown";
        NRFGetDescription(type, &description);
        NRFGetMediaType(type, &mediaKind);
        out.push_back({{"path", file.path},
                       {"type", code},
                       {"typeDescription", description},
                       {"mediaKind", mediaKind}});
    }
    if (common.json)
        std::cout << jsonText(out, 2) << '\n';
    std::fflush(stdout);
    return status;
}

} // namespace

void addTypeCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action) {
    auto options = std::make_shared<TypeOptions>();
    CLI::App* type = lumo.add_subcommand("type", "Show which kind of image, raw or movie file each file is");
    options->files.addTo(*type);
    type->add_flag("--proxy", options->proxy, "Let files no reader knows be represented by the proxy (PRXY)");
    type->callback(
        [&common, &action, options] { action = [&common, options] { return runType(common, *options); }; });
}
