// lumo iptc: the IIM datasets of each file as the catalogue names them, in the block's order. A
// debugging view of the block itself: every occurrence of a repeated dataset is its own line.

#include "AppSession.h"
#include "Commands.h"
#include "ErrorText.h"
#include "FileArguments.h"
#include "JsonValue.h"
#include "NRF/NRF.h"
#include "NRF/NRFIPTCBlocks.h"
#include "NRF/NRFImageInfo.h"
#include "metadata/IPTCFields.h"
#include "metadata/IPTCUtils.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

namespace {

struct IptcOptions {
    FileArguments files;
};

struct DataSet {
    unsigned record = 0, number = 0;
    std::string bytes;
};

// The datasets as the codec walks them: tag marker, record, dataset, a 16-bit length; the walk ends
// at the first byte that is not a marker or a dataset that runs past the block.
std::vector<DataSet> dataSets(const std::string& block) {
    std::vector<DataSet> out;
    for (std::size_t pos = 0; block.size() - pos >= 5 && block[pos] == '\x1C';) {
        const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(block[at]); };
        const std::size_t length = (std::size_t{byte(pos + 3)} << 8) | byte(pos + 4);
        if (length > block.size() - pos - 5)
            break;
        out.push_back({byte(pos + 1), byte(pos + 2), block.substr(pos + 5, length)});
        pos += 5 + length;
    }
    return out;
}

bool isUTF8Escape(const DataSet& d) {
    return d.record == 1 && d.number == 90 && d.bytes.size() >= 3 && d.bytes.compare(0, 3, "\x1B%G") == 0;
}

// A value as text: known fields converted from the block's character set, other datasets too when
// they convert to text without control characters; the rest (numbers, escapes) in hexadecimal.
std::string valueText(const DataSet& d, const std::string& encoding) {
    const bool known = IPTCIsKnownField(IPTCMakeFieldID(d.record, d.number));
    std::string text;
    if (IPTCConvertToUTF8(d.bytes, encoding, text) &&
        (known || std::none_of(text.begin(), text.end(), [](char c) {
             return static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\r' && c != '\n';
         })))
        return text;
    static const char kHex[] = "0123456789abcdef";
    std::string hex = "0x";
    for (const char c : d.bytes) {
        hex += kHex[static_cast<unsigned char>(c) >> 4];
        hex += kHex[static_cast<unsigned char>(c) & 15];
    }
    return hex;
}

bool isIptFile(const std::string& path) {
    return path.size() >= 4 &&
           (path.compare(path.size() - 4, 4, ".ipt") == 0 || path.compare(path.size() - 4, 4, ".IPT") == 0 ||
            path.compare(path.size() - 4, 4, ".Ipt") == 0);
}

NRFErr loadBlock(const std::string& path, std::string& block, std::string& error) {
    if (isIptFile(path)) {
        const NRFErr err = NRFIPTCReadIPTFile(path, block);
        if (err != kNRFErrNone)
            error = engineFailureText(err, path);
        return err;
    }
    NRFImageInfoRef record;
    NRFErr err = NRFOpenImage(path.c_str(), 0, &record);
    if (err == kNRFErrNone)
        err = NRFGetImageInfo(record.get());
    if (err == kNRFErrNone)
        err = NRFLoadIPTC(record.get(), &block);
    if (err != kNRFErrNone) {
        const std::string problem = fileProblem(path);
        error = !problem.empty() ? problem : engineFailureText(err, path);
    }
    NRFCloseImage(&record);
    return err;
}

int runIptc(const CommonOptions& common, const IptcOptions& options) {
    if (options.files.empty())
        return noFilesGiven();
    AppSession session(common, kImageEngineService | kPreferencesService);
    if (!session.started())
        return commandFailed(common, kResultUnexpected, session.error());
    const std::string readEncoding = IPTCEncodingSettingsFromPreferences().m_readEncoding;
    int status = kExitDone;
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    for (const FileArgument& file : options.files.expand()) {
        std::string block, error;
        const NRFErr err = file.error ? file.result : loadBlock(file.path, block, error);
        if (file.error)
            error = errnoText(file.error);
        if (err != kNRFErrNone) {
            status = kExitSomeFailed;
            reportFailure(file.path, error);
            if (common.json)
                out.push_back(failureJson(file.path, err, error));
            continue;
        }
        const std::vector<DataSet> sets = dataSets(block);
        std::string encoding = readEncoding;
        for (const DataSet& d : sets)
            if (isUTF8Escape(d))
                encoding = "UTF-8";
        nlohmann::ordered_json datasets = nlohmann::ordered_json::array();
        if (!common.json)
            std::printf("%s\t(%s)\n", oneLine(file.path).c_str(), encoding.c_str());
        int supplementalItem = 0; // 2:20 occurrences are the three slots in order
        for (const DataSet& d : sets) {
            const IPTCFieldID id = IPTCMakeFieldID(d.record, d.number);
            const int item = id == IPTC_SUPP_CATEGORIES ? ++supplementalItem : 1;
            const std::string name = IPTCIsKnownField(id) ? IPTCDataSetName(id, item) : std::string();
            const std::string value = valueText(d, encoding);
            if (common.json) {
                nlohmann::ordered_json entry = {{"record", d.record}, {"dataset", d.number}};
                entry["name"] = name.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(name);
                entry["value"] = value;
                datasets.push_back(std::move(entry));
            } else {
                std::printf("  %u:%u\t%s\t%s\n", d.record, d.number, name.c_str(), oneLine(value).c_str());
            }
        }
        if (common.json)
            out.push_back(
                nlohmann::ordered_json{{"path", file.path}, {"encoding", encoding}, {"datasets", datasets}});
    }
    if (common.json)
        std::cout << jsonText(out, 2) << '\n';
    std::fflush(stdout);
    return status;
}

} // namespace

void addIptcCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action) {
    auto options = std::make_shared<IptcOptions>();
    CLI::App* iptc = lumo.add_subcommand("iptc", "Show the IPTC datasets each file carries");
    options->files.addTo(*iptc);
    iptc->callback(
        [&common, &action, options] { action = [&common, options] { return runIptc(common, *options); }; });
}
