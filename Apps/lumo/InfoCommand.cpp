#include "AppSession.h"
#include "Commands.h"
#include "FileArguments.h"
#include "JsonValue.h"
#include "NRF/NRF.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFPlugin.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

namespace {

struct InfoOptions {
    FileArguments files;
    bool strictExif = false;
};

// One file's record as name/value pairs in output order. Answers the engine's result; the pairs hold
// whatever the record has even when reading failed part way.
NRFErr describeFile(const std::string& path, nlohmann::ordered_json& out) {
    out["path"] = path;
    NRFImageInfoRef record;
    NRFErr err = NRFOpenImage(path.c_str(), 0, &record);
    if (err == kNRFErrNone)
        err = NRFGetImageInfo(record.get());
    if (record) {
        std::string description;
        NRFGetDescription(record->m_fileType, &description);
        out["type"] = NRFFileTypeString(record->m_fileType);
        out["typeDescription"] = description;
    }
    if (err != kNRFErrNone) {
        out["result"] = err;
        out["error"] = NRFGetErrorText();
    }
    // A record whose file could not even be looked at has nothing true to show.
    if (record && record->m_infoReadTime != 0) {
        std::vector<std::pair<std::string, CILA::VObject>> fields;
        describeImageInfo(*record, fields);
        for (const auto& [name, value] : fields)
            out[name] = toJson(value);
    }
    NRFCloseImage(&record);
    return err;
}

// "Name: value": texts as they are, everything else in its JSON form.
void printReadable(const nlohmann::ordered_json& file) {
    for (const auto& [name, value] : file.items()) {
        const std::string text = value.is_string() ? value.get<std::string>() : jsonText(value);
        std::printf("%s: %s\n", name.c_str(), text.c_str());
    }
}

int runInfo(const CommonOptions& common, const InfoOptions& options) {
    if (options.files.empty())
        return noFilesGiven();
    AppSession session(common, kImageEngineService); // the engine needs none of the other services
    if (!session.started()) {
        std::fprintf(stderr, "lumo: %s\n", session.error().c_str());
        return kExitSomeFailed;
    }
    NRFGetContext().strictExif = options.strictExif;
    int status = kExitDone;
    nlohmann::ordered_json all = nlohmann::ordered_json::array();
    bool first = true;
    for (const FileArgument& argument : options.files.expand()) {
        nlohmann::ordered_json file = nlohmann::ordered_json::object();
        if (argument.error) { // a path that could not be looked at, a folder or a list not read
            file = {
                {"path", argument.path}, {"result", argument.result}, {"error", fileArgumentError(argument)}};
            status = kExitSomeFailed;
        } else if (describeFile(argument.path, file) != kNRFErrNone) {
            status = kExitSomeFailed;
        }
        if (common.json) {
            all.push_back(std::move(file));
            continue;
        }
        if (!first)
            std::printf("\n");
        first = false;
        printReadable(file);
    }
    if (common.json)
        std::cout << jsonText(all, 2) << '\n';
    std::fflush(stdout);
    return status;
}

} // namespace

void addInfoCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action) {
    auto options = std::make_shared<InfoOptions>();
    CLI::App* info = lumo.add_subcommand("info", "Show what the image engine reads from each file");
    options->files.addTo(*info);
    info->add_flag("--strict-exif", options->strictExif,
                   "Fail a file with a malformed EXIF entry (result 10) instead of skipping the entry");
    info->callback(
        [&common, &action, options] { action = [&common, options] { return runInfo(common, *options); }; });
}
