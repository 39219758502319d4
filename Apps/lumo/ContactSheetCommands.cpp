// lumo scan, lumo arrange and lumo delete: folders as contact sheets. A scan lists the photos of one
// or more folders as the contact sheet shows them (sorted, filtered, raw files joined with their
// JPEG partners); arrange keeps the user's own order of a folder; delete moves photos with every file
// that belongs to them to the Trash.

#include "AppSession.h"
#include "Commands.h"
#include "ErrorText.h"
#include "FileArguments.h"
#include "JsonValue.h"
#include "NRF/NRF.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFPlugin.h"
#include "TerminalProgress.h"
#include "TerminalPrompt.h"
#include "contactsheet/ArrangementFile.h"
#include "contactsheet/LumoDocCommon.h"
#include "support/NamedThread.h"

#include <nlohmann/json.hpp>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct ScanOptions {
    std::vector<std::string> folders;
    std::string sort = "capture";
    bool reverse = false;
    std::vector<std::string> filters;
    bool join = false, noJoin = false;
};

struct ArrangeOptions {
    std::string folder;
    std::vector<std::string> order;
};

struct DeleteOptions {
    std::vector<std::string> files;
    bool permanently = false;
};

int usage(const std::string& message) {
    std::fprintf(stderr, "lumo: %s\n", message.c_str());
    return kExitBadUsage;
}

bool parseSmallNumber(const std::string& text, int low, int high, int& value) {
    if (text.empty() || text.size() > 3 || !std::all_of(text.begin(), text.end(), ::isdigit))
        return false;
    value = std::stoi(text);
    return value >= low && value <= high;
}

// The sort and filter settings the options name; a usage message when they name none.
std::optional<std::string> settingsFrom(const ScanOptions& options, ContactSheetSortSettings& settings) {
    static const std::map<std::string, std::uint32_t> kTypes = {
        {"capture", kSortCaptureTime}, {"modified", kSortModificationTime},
        {"name", kSortFilename},       {"colorclass", kSortColorClass},
        {"rating", kSortRating},       {"arrangement", kSortArrangement}};
    if (const auto at = kTypes.find(options.sort); at != kTypes.end()) {
        settings.sortType = at->second;
    } else if (options.sort.rfind("custom:", 0) == 0) {
        // The custom sorts as the preferences keep them (the predefined ones when none are stored).
        const std::size_t count = LoadCustomSorts().size();
        int n = 0;
        if (!parseSmallNumber(options.sort.substr(7), 1, static_cast<int>(count), n))
            return "--sort custom:N takes N from 1 to " + std::to_string(count);
        settings.sortType = kSortCustomFirst + static_cast<std::uint32_t>(n - 1);
        settings.custom = *CustomSortForType(settings.sortType);
    } else {
        return "--sort takes capture, modified, name, colorclass, rating, arrangement or custom:N, not \"" +
               options.sort + "\"";
    }
    settings.reverse = options.reverse;
    for (const std::string& filter : options.filters) {
        int n = 0;
        if (filter == "tagged") {
            settings.tagFilter = ContactSheetTagFilter::Tagged;
        } else if (filter == "untagged") {
            settings.tagFilter = ContactSheetTagFilter::Untagged;
        } else if (filter.rfind("colorclass=", 0) == 0 && parseSmallNumber(filter.substr(11), 0, 8, n)) {
            for (std::size_t i = 0; i < settings.colorClassActive.size(); ++i)
                settings.colorClassActive[i] = static_cast<int>(i) == n;
        } else if (filter.rfind("rating>=", 0) == 0 && parseSmallNumber(filter.substr(8), 0, 5, n)) {
            for (std::size_t i = 0; i < settings.ratingActive.size(); ++i)
                settings.ratingActive[i] = static_cast<int>(i) >= n;
        } else {
            return "--filter takes tagged, untagged, colorclass=N (0 to 8) or rating>=N (0 to 5), not \"" +
                   filter + "\"";
        }
    }
    return std::nullopt;
}

std::string captureText(const ContactSheetSortRecord& record) {
    const KLDateTime& t = record.captureTime;
    if (!t.isValid())
        return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
    return text;
}

std::string fileNameOf(const std::string& path) {
    return fs::path(path).filename().string();
}

// Reads the records of `items`, a few at a time.
void loadRecords(const std::vector<DocumentItem::Ref>& items) {
    const unsigned threads = std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        for (std::size_t i = next++; i < items.size(); i = next++)
            items[i]->Load();
    };
    std::vector<lumo::NamedThread> pool;
    for (unsigned i = 1; i < threads && i < items.size(); ++i)
        pool.emplace_back("ScanLoad_" + std::to_string(i), 8u << 20, work);
    work();
    for (lumo::NamedThread& thread : pool)
        thread.join();
}

nlohmann::ordered_json itemJson(std::size_t number, const DocumentItem& item) {
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    out["number"] = number;
    nlohmann::ordered_json files = nlohmann::ordered_json::array();
    files.push_back(item.FullPath());
    if (item.HasCompanion())
        files.push_back(item.CompanionPath());
    out["files"] = files;
    out["path"] = item.FullPath();
    const NRFImageInfoRef record = item.PrimaryRecord();
    const NRFFileType type = record ? record->m_fileType : item.FileType();
    std::string description;
    NRFGetDescription(type, &description);
    out["type"] = NRFFileTypeString(type);
    out["typeDescription"] = description;
    if (record) {
        std::vector<std::pair<std::string, CILA::VObject>> fields;
        describeImageInfo(*record, fields);
        for (const auto& [name, value] : fields)
            out[name] = toJson(value);
    }
    return out;
}

int runScan(const CommonOptions& common, const ScanOptions& options) {
    if (options.folders.empty())
        return usage("give the folder to show: lumo scan DIR...");
    if (options.join && options.noJoin)
        return usage("give --join or --no-join, not both");
    std::vector<std::string> folders;
    for (const std::string& folder : options.folders) {
        std::error_code ec;
        if (!fs::is_directory(folder, ec))
            return usage("\"" + folder + "\" is not a folder");
        folders.push_back(fs::absolute(folder, ec).lexically_normal().string());
        while (folders.back().size() > 1 && folders.back().back() == '/')
            folders.back().pop_back();
    }
    AppSession session(common, kPreferencesService | kSortCacheService | kImageEngineService);
    if (!session.started())
        return commandFailed(common, kResultUnexpected, session.error());
    ContactSheetSortSettings settings; // custom sorts come from the preferences
    if (const std::optional<std::string> problem = settingsFrom(options, settings))
        return usage(*problem);

    LumoDocCommon document;
    if (options.join || options.noJoin)
        document.SetJoinRawPlusJpeg(options.join);
    if (!document.OpenFolders(folders))
        return commandFailed(common, kResultUnreadable, "the folder could not be read");

    const bool showProgress = !common.quiet && !common.json && ::isatty(STDERR_FILENO);
    std::unique_ptr<TerminalProgress> progress;
    if (showProgress && document.ItemCount() >= 500)
        progress = std::make_unique<TerminalProgress>("Sorting", 100);
    const std::optional<SortedSheet> sorted =
        document.SortNow(settings, {}, [&progress](const ContactSheetSortStatus& status) {
            if (progress)
                progress->update(status.percent, ContactSheetSortStatus::PhaseText(status.phase));
        });
    if (progress)
        progress->finish();
    if (!sorted)
        return kExitCancelled;

    const std::vector<std::uint32_t>& order = sorted->result.order;
    if (common.json) {
        std::vector<DocumentItem::Ref> shown;
        shown.reserve(order.size());
        for (const std::uint32_t index : order)
            shown.push_back(sorted->items[index]);
        loadRecords(shown);
        nlohmann::ordered_json all = nlohmann::ordered_json::array();
        for (std::size_t i = 0; i < shown.size(); ++i)
            all.push_back(itemJson(i + 1, *shown[i]));
        std::cout << jsonText(all, 2) << '\n';
        return kExitDone;
    }
    std::string out;
    for (std::size_t i = 0; i < order.size(); ++i) {
        const DocumentItem& item = *sorted->items[order[i]];
        const ContactSheetSortRecord& record = sorted->result.records[order[i]];
        std::string names = item.FileName();
        if (item.HasCompanion())
            names += "+" + fileNameOf(item.CompanionPath());
        char line[128];
        std::snprintf(line, sizeof line, "\t%s\t%s\t%d\t%d\t%s\n", NRFFileTypeString(item.FileType()).c_str(),
                      captureText(record).c_str(), record.rating, record.colorClass,
                      record.tag ? "tagged" : "-");
        out += std::to_string(i + 1) + "\t" + oneLine(names) + line;
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    return kExitDone;
}

int runArrange(const CommonOptions& common, const ArrangeOptions& options) {
    std::error_code ec;
    if (!fs::is_directory(options.folder, ec))
        return usage("\"" + options.folder + "\" is not a folder");
    if (options.order.empty())
        return usage("give the order: lumo arrange DIR --order FILE...");
    const fs::path folder = fs::weakly_canonical(options.folder, ec);
    AppSession session(common, kPreferencesService | kSortCacheService | kImageEngineService);
    if (!session.started())
        return commandFailed(common, kResultUnexpected, session.error());
    LumoDocCommon document;
    if (!document.OnOpenDocument(folder.string()))
        return commandFailed(common, kResultUnreadable, "the folder could not be read");

    // Every file of the sheet by name, to the names of its item (primary first).
    std::map<std::string, std::vector<std::string>> itemNames;
    for (const DocumentItem::Ref& item : document.Items()) {
        std::vector<std::string> names{item->FileName()};
        if (item->HasCompanion())
            names.push_back(fileNameOf(item->CompanionPath()));
        for (const std::string& name : names)
            itemNames[name] = names;
    }
    std::vector<std::string> arranged;
    std::set<std::string> seen;
    std::vector<std::string> unknown;
    for (const std::string& given : options.order) {
        fs::path path(given);
        std::string name = given;
        if (path.is_absolute() || given.find('/') != std::string::npos) {
            const fs::path full = fs::weakly_canonical(path.is_absolute() ? path : folder / path, ec);
            name = full.parent_path() == folder ? full.filename().string() : std::string();
        }
        const auto at = itemNames.find(name);
        if (name.empty() || at == itemNames.end()) {
            unknown.push_back(given);
            continue;
        }
        for (const std::string& file : at->second)
            if (seen.insert(file).second)
                arranged.push_back(file);
    }
    if (!unknown.empty()) {
        for (const std::string& name : unknown)
            std::fprintf(stderr, "lumo: \"%s\" is not a photo of %s\n", oneLine(name).c_str(),
                         oneLine(folder.string()).c_str());
        return kExitBadUsage;
    }
    if (const int err = document.SaveArrangement(arranged))
        return commandFailed(common, kResultUnwritable,
                             "the arrangement could not be written: " + errnoText(err));
    if (common.json) {
        nlohmann::ordered_json out = nlohmann::ordered_json::object();
        out["path"] = ArrangementFilePath({folder.string()});
        out["files"] = arranged;
        std::cout << jsonText(out, 2) << '\n';
    } else if (!common.quiet) {
        std::printf("%zu files arranged in %s\n", arranged.size(),
                    oneLine(ArrangementFilePath({folder.string()})).c_str());
    }
    return kExitDone;
}

int runDelete(const CommonOptions& common, const DeleteOptions& options) {
    if (options.files.empty())
        return noFilesGiven();
    AppSession session(common, kPreferencesService | kSortCacheService | kImageEngineService);
    if (!session.started())
        return commandFailed(common, kResultUnexpected, session.error());

    // Each file's photo, found in a contact sheet of its folder (so that a raw file goes with its JPEG).
    std::map<std::string, std::vector<std::string>> byFolder; // folder -> file names
    int status = kExitDone;
    nlohmann::ordered_json failures = nlohmann::ordered_json::array();
    const auto fail = [&](const std::string& path, NRFErr result, const std::string& sentence) {
        reportFailure(path, sentence);
        failures.push_back(failureJson(path, result, sentence));
        status = kExitSomeFailed;
    };
    for (const std::string& file : options.files) {
        std::error_code ec;
        if (const std::string problem = fileProblem(file); !problem.empty()) {
            fail(file, kResultUnreadable, problem);
            continue;
        }
        const fs::path full = fs::absolute(file, ec).lexically_normal();
        byFolder[full.parent_path().string()].push_back(full.filename().string());
    }
    std::vector<std::unique_ptr<LumoDocCommon>> documents;
    std::vector<std::pair<LumoDocCommon*, std::vector<DocumentItem::Ref>>> marked;
    std::size_t photoCount = 0, fileCount = 0;
    for (const auto& [folder, names] : byFolder) {
        auto document = std::make_unique<LumoDocCommon>();
        document->SetJoinRawPlusJpeg(true);
        if (!document->OnOpenDocument(folder)) {
            for (const std::string& name : names)
                fail(folder + "/" + name, kResultUnreadable, "its folder could not be read");
            continue;
        }
        std::map<std::string, DocumentItem::Ref> itemOf;
        for (const DocumentItem::Ref& item : document->Items()) {
            itemOf[item->FileName()] = item;
            if (item->HasCompanion())
                itemOf[fileNameOf(item->CompanionPath())] = item;
        }
        std::vector<DocumentItem::Ref> items;
        for (const std::string& name : names) {
            const auto at = itemOf.find(name);
            if (at == itemOf.end()) {
                fail(folder + "/" + name, kResultNotPossible, "not a photo of its folder's contact sheet");
                continue;
            }
            if (std::find(items.begin(), items.end(), at->second) == items.end())
                items.push_back(at->second);
        }
        for (const DocumentItem::Ref& item : items)
            fileCount += DocumentItemOwnedFiles(*item).size();
        photoCount += items.size();
        marked.emplace_back(document.get(), std::move(items));
        documents.push_back(std::move(document));
    }
    if (photoCount != 0) {
        char question[160];
        std::snprintf(question, sizeof question, "%s %zu photo%s (%zu file%s)%s?",
                      options.permanently ? "Delete" : "Move", photoCount, photoCount == 1 ? "" : "s",
                      fileCount, fileCount == 1 ? "" : "s",
                      options.permanently ? " for good" : " to the Trash");
        // Deleting is never the answer taken for the user: without --yes it needs a terminal to ask on.
        bool go = common.yes;
        if (!go && !common.noInput && ::isatty(STDIN_FILENO)) {
            go = askOnTerminal(question, MessageBoxButtons::YesNo, stdin, stderr) == MessageBoxAnswer::Yes;
        } else if (!go) {
            std::fprintf(stderr, "%s (yes/no) no (%s)\n", question,
                         common.noInput ? "--no-input" : "no terminal to ask on; --yes deletes");
            return kExitCancelled;
        }
        if (!go)
            return kExitCancelled;
    }
    nlohmann::ordered_json done = nlohmann::ordered_json::array();
    for (auto& [document, items] : marked) {
        std::vector<std::string> files;
        for (const DocumentItem::Ref& item : items)
            for (const std::string& file : DocumentItemOwnedFiles(*item))
                files.push_back(file);
        const std::vector<std::string> problems =
            document->DocumentDeleteMarkedItems(items, options.permanently, nullptr);
        std::set<std::string> stayed;
        for (const std::string& problem : problems) {
            const std::size_t colon = problem.find(": ");
            const std::string path = problem.substr(0, colon);
            stayed.insert(path);
            fail(path, kResultUnwritable,
                 (options.permanently ? "could not be deleted: " : "could not be moved to the Trash: ") +
                     (colon == std::string::npos ? std::string() : problem.substr(colon + 2)));
        }
        for (const std::string& file : files) {
            if (stayed.count(file))
                continue;
            done.push_back(file);
            if (!common.json && !common.quiet)
                std::printf("%s %s\n", options.permanently ? "deleted" : "trashed", oneLine(file).c_str());
        }
    }
    if (common.json) {
        nlohmann::ordered_json out = nlohmann::ordered_json::object();
        out[options.permanently ? "deleted" : "trashed"] = done;
        out["failures"] = failures;
        std::cout << jsonText(out, 2) << '\n';
    }
    std::fflush(stdout);
    return status;
}

} // namespace

void addContactSheetCommands(CLI::App& lumo, const CommonOptions& common, CommandAction& action) {
    auto scan = std::make_shared<ScanOptions>();
    CLI::App* scanCommand = lumo.add_subcommand("scan", "List folders as a contact sheet shows them");
    scanCommand->add_option("DIR", scan->folders, "The folders (several make one sheet)")->type_name("DIR");
    scanCommand
        ->add_option("--sort", scan->sort,
                     "capture (default), modified, name, colorclass, rating, arrangement or custom:N")
        ->type_name("ORDER");
    scanCommand->add_flag("--reverse", scan->reverse, "Descending order");
    scanCommand
        ->add_option("--filter", scan->filters, "tagged, untagged, colorclass=N or rating>=N (may repeat)")
        ->type_name("FILTER");
    scanCommand->add_flag("--join", scan->join, "Show a raw file and its JPEG, HEIF or HEIC as one item");
    scanCommand->add_flag("--no-join", scan->noJoin, "Show every file as its own item");
    scanCommand->callback(
        [&common, &action, scan] { action = [&common, scan] { return runScan(common, *scan); }; });

    auto arrange = std::make_shared<ArrangeOptions>();
    CLI::App* arrangeCommand = lumo.add_subcommand(
        "arrange", "Keep your own order of a folder's photos (lumo scan --sort arrangement)");
    arrangeCommand->add_option("DIR", arrange->folder, "The folder")->required()->type_name("DIR");
    arrangeCommand
        ->add_option("--order", arrange->order,
                     "The files in the order to keep (names in DIR, or paths); the others follow by name")
        ->type_name("FILE")
        ->required();
    arrangeCommand->callback([&common, &action, arrange] {
        action = [&common, arrange] { return runArrange(common, *arrange); };
    });

    auto remove = std::make_shared<DeleteOptions>();
    CLI::App* deleteCommand = lumo.add_subcommand(
        "delete", "Move photos with their companions and attached files to the Trash (asks first)");
    deleteCommand->add_option("FILE", remove->files, "The photos")->type_name("FILE");
    deleteCommand->add_flag("--permanently", remove->permanently,
                            "Delete the files instead of trashing them");
    deleteCommand->callback(
        [&common, &action, remove] { action = [&common, remove] { return runDelete(common, *remove); }; });
}
