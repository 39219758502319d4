// lumo meta: each photo's metadata record (embedded XMP or its sidecar, then IIM, then EXIF) by the
// catalogue's labels; lumo meta set and clear change fields of many photos as one background
// operation, and lumo meta undo puts back what the last save replaced.

#include "AppSession.h"
#include "Commands.h"
#include "ErrorText.h"
#include "FieldLabels.h"
#include "FileArguments.h"
#include "JsonValue.h"
#include "NRF/NRF.h"
#include "NRF/NRFImageInfo.h"
#include "PhotoOperation.h"
#include "metadata/IPTCCatalogue.h"
#include "metadata/IPTCRecFields.h"
#include "metadata/IPTCUtils.h"
#include "metadata/PhotoMetadata.h"
#include "support/TextUtils.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

struct MetaOptions {
    FileArguments files;
};

struct ChangeOptions {
    FileArguments files;
    std::vector<std::string> fields; // "LABEL=VALUE" (set) or "LABEL" (clear)
    bool append = false;
};

// One change to make to every record.
struct FieldChange {
    const IPTCCatalogueEntry* entry = nullptr;
    std::string value; // empty: clear the field
    bool append = false;
};

int usage(const std::string& message) {
    std::fprintf(stderr, "lumo: %s\n", message.c_str());
    return kExitBadUsage;
}

// -- showing

// The items of a list field.
std::vector<std::string> listItems(const std::string& text, char separator) {
    std::vector<std::string> items;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        const std::string_view item =
            lumo::trim(std::string_view(text).substr(start, end == std::string::npos ? end : end - start));
        if (!item.empty())
            items.emplace_back(item);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return items;
}

// The text form of a list of structures ("City=Paris; CountryName=France | City=Lyon"), with "\\" as
// the escape of the next character, as an array of objects with the members in their order.
nlohmann::ordered_json structureObjects(const std::string& text) {
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    nlohmann::ordered_json current = nlohmann::ordered_json::object();
    std::string name, value;
    bool inValue = false;
    const auto endMember = [&] {
        const std::string key(lumo::trim(name));
        if (!key.empty())
            current[key] = std::string(lumo::trim(value));
        name.clear();
        value.clear();
        inValue = false;
    };
    const auto endStructure = [&] {
        endMember();
        if (!current.empty())
            out.push_back(std::move(current));
        current = nlohmann::ordered_json::object();
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\' && i + 1 < text.size()) {
            (inValue ? value : name) += text[++i];
        } else if (c == '=' && !inValue) {
            inValue = true;
        } else if (c == ';') {
            endMember();
        } else if (c == '|') {
            endStructure();
        } else {
            (inValue ? value : name) += c;
        }
    }
    endStructure();
    return out;
}

struct Shown {
    NRFErr result = 0;
    std::string error;
    nlohmann::ordered_json fields = nlohmann::ordered_json::object(); // JSON values by label
    std::vector<std::pair<std::string, std::string>> lines;           // label and text
    bool tagged = false;
    IPTCXMPSource source = IPTCXMPSource::kNone;
};

Shown readRecord(const std::string& path, const IPTCEncodingSettings& settings) {
    Shown shown;
    PhotoOutcome outcome;
    std::shared_ptr<NRFImageInfoRec> image;
    if (!openPhoto(path, image, outcome)) {
        shown.result = outcome.result;
        shown.error = outcome.error;
        return shown;
    }
    IPTCRec record;
    if (const NRFErr err = NRFLoadIPTC(image.get(), &record, &shown.source); err != kNRFErrNone) {
        shown.result = err;
        shown.error = engineFailureText(err, path);
        NRFCloseImage(&image);
        return shown;
    }
    shown.tagged = image->m_tag;
    NRFCloseImage(&image);
    for (const IPTCCatalogueEntry& entry : IPTCCatalogue()) {
        std::string text;
        if (!IPTCGetFieldText(record, entry, settings, text) || text.empty())
            continue;
        shown.lines.emplace_back(entry.label, text);
        switch (entry.list) {
        case IPTCListKind::List:
            shown.fields[entry.label] = listItems(text, settings.m_separator);
            break;
        case IPTCListKind::StructList:
            shown.fields[entry.label] = structureObjects(text);
            break;
        default:
            shown.fields[entry.label] = text;
            break;
        }
    }
    return shown;
}

const char* sourceName(IPTCXMPSource source) {
    switch (source) {
    case IPTCXMPSource::kEmbedded:
        return "embedded";
    case IPTCXMPSource::kSidecar:
        return "sidecar";
    default:
        return "none";
    }
}

int runShow(const CommonOptions& common, const MetaOptions& options) {
    if (options.files.empty())
        return noFilesGiven();
    AppSession session(common, kImageEngineService | kPreferencesService);
    if (!session.started())
        return commandFailed(common, kResultUnexpected, session.error());
    const IPTCEncodingSettings settings = IPTCEncodingSettingsFromPreferences();
    int status = kExitDone;
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    for (const FileArgument& file : options.files.expand()) {
        Shown shown;
        if (file.error) {
            shown.result = file.result;
            shown.error = errnoText(file.error);
        } else {
            shown = readRecord(file.path, settings);
        }
        if (shown.result != kNRFErrNone) {
            status = kExitSomeFailed;
            reportFailure(file.path, shown.error);
            out.push_back(failureJson(file.path, shown.result, shown.error));
            continue;
        }
        if (common.json) {
            out.push_back(nlohmann::ordered_json{{"path", file.path},
                                                 {"xmp", sourceName(shown.source)},
                                                 {"tagged", shown.tagged},
                                                 {"fields", std::move(shown.fields)}});
            continue;
        }
        std::printf("%s\n", oneLine(file.path).c_str());
        if (shown.tagged)
            std::printf("  Tagged\tyes\n");
        for (const auto& [label, text] : shown.lines)
            std::printf("  %s\t%s\n", label.c_str(), oneLine(text).c_str());
    }
    if (common.json)
        std::cout << jsonText(out, 2) << '\n';
    std::fflush(stdout);
    return status;
}

// -- changing

// The changes the --field options ask for, whose labels runChange has checked; false (after saying why)
// when a value is one its field cannot take. Such a value would fail the same way for every photo: it
// is refused before any is changed.
bool parseChanges(const ChangeOptions& options, bool clearing, const IPTCEncodingSettings& settings,
                  std::vector<FieldChange>& changes) {
    for (const std::string& field : options.fields) {
        const std::size_t equals = clearing ? std::string::npos : field.find('=');
        FieldChange change;
        change.entry = findLabel(std::string(lumo::trim(std::string_view(field).substr(0, equals))));
        if (!clearing)
            change.value = field.substr(equals + 1);
        change.append = options.append && !clearing;
        IPTCRec scratch;
        std::string error;
        if (IPTCSetFieldText(scratch, *change.entry, settings, change.value, change.append, error) &&
            std::atoi(scratch.m_rating.c_str()) < 0)
            error = "a rating is 0 to 5 stars; lumo keeps no rating -1";
        if (!error.empty()) {
            usage(std::string(change.entry->label) + ": " + error);
            return false;
        }
        changes.push_back(std::move(change));
    }
    return true;
}

// The photo state the record holds after the changes goes with the save: the image's own values are
// what the engine writes as the photo's state.
void takeStateFromRecord(const IPTCRec& record, NRFImageInfoRec& image,
                         const std::vector<FieldChange>& changes) {
    for (const FieldChange& change : changes) {
        const std::string_view label = change.entry->label;
        const auto number = [](const std::string& text) {
            return text.empty() ? 0 : static_cast<std::int16_t>(std::atoi(text.c_str()));
        };
        if (label == "Rating")
            image.m_rating = number(record.m_rating);
        else if (label == "Color Class")
            image.m_colorClass = number(record.m_colorClass);
    }
}

PhotoOutcome changeRecord(NRFImageInfoRec& image, NRFMetadataCommit* batch,
                          const std::vector<FieldChange>& changes, const IPTCEncodingSettings& encoding,
                          const IPTCSaveSettings& saving) {
    IPTCRec record;
    if (const NRFErr err = NRFLoadIPTC(&image, &record); err != kNRFErrNone)
        return engineFailure(err, image.m_path);
    for (const FieldChange& change : changes) {
        std::string error;
        if (!IPTCSetFieldText(record, *change.entry, encoding, change.value, change.append, error)) {
            PhotoOutcome outcome;
            outcome.result = kResultNotPossible;
            outcome.error = std::string(change.entry->label) + ": " + error;
            return outcome;
        }
    }
    takeStateFromRecord(record, image, changes);
    IPTCSaveReport report;
    if (const NRFErr err = DoSaveIPTC(&image, record, saving, encoding, batch, &report); err != kNRFErrNone)
        return engineFailure(err, image.m_path, true);
    PhotoOutcome outcome;
    std::string where;
    if (report.m_wroteFile)
        where = "the file";
    if (report.m_wroteSidecar)
        where += (where.empty() ? "" : " and ") + std::string("the sidecar ") + report.m_sidecarPath;
    outcome.line = "metadata saved" + (where.empty() ? std::string() : " in " + where);
    outcome.json["file"] = report.m_wroteFile;
    if (report.m_wroteSidecar) {
        outcome.sidecar = report.m_sidecarPath;
        outcome.json["sidecar"] = report.m_sidecarPath;
    }
    return outcome;
}

int runChange(const CommonOptions& common, const ChangeOptions& options, bool clearing) {
    if (options.files.empty())
        return noFilesGiven();
    if (options.fields.empty())
        return usage(clearing ? "give the fields to clear: --field LABEL"
                              : "give the fields to set: --field LABEL=VALUE");
    for (const std::string& field : options.fields) {
        const std::size_t equals = clearing ? std::string::npos : field.find('=');
        if (!clearing && equals == std::string::npos)
            return usage("--field takes LABEL=VALUE (\"Description/Caption=At the harbour\"), not \"" +
                         field + "\"");
        const std::string label(lumo::trim(std::string_view(field).substr(0, equals)));
        if (!findLabel(label))
            return usage(unknownLabelText(label));
    }
    // The values are checked with the settings the preferences hold, once the session has started.
    struct Shared {
        IPTCEncodingSettings encoding;
        IPTCSaveSettings saving;
        std::vector<FieldChange> changes;
    };
    auto shared = std::make_shared<Shared>();
    PhotoOperation operation;
    operation.label = clearing ? "Clearing" : "Saving";
    operation.heading = IPTCPhotoOperationErrorText(IPTCPhotoOperation::kSaveMetadata);
    operation.batched = true;
    operation.prepare = [&options, clearing, shared] {
        shared->encoding = IPTCEncodingSettingsFromPreferences();
        shared->saving = IPTCSaveSettingsFromPreferences();
        return parseChanges(options, clearing, shared->encoding, shared->changes) ? kExitDone : kExitBadUsage;
    };
    operation.change = [shared](NRFImageInfoRec& image, NRFMetadataCommit* batch) {
        return changeRecord(image, batch, shared->changes, shared->encoding, shared->saving);
    };
    return runPhotoOperation(common, options.files, operation);
}

int runUndo(const CommonOptions& common, const MetaOptions& options) {
    PhotoOperation operation;
    operation.label = "Undoing";
    operation.heading = "While undoing the last metadata save an error occurred:";
    operation.change = [](NRFImageInfoRec& image, NRFMetadataCommit*) {
        if (const NRFErr err = DoUndoSaveIPTC(&image); err != kNRFErrNone)
            return engineFailure(err, image.m_path, true);
        PhotoOutcome outcome;
        outcome.line = "metadata put back as it was before the last save";
        outcome.json["undone"] = true;
        return outcome;
    };
    return runPhotoOperation(common, options.files, operation);
}

} // namespace

void addMetaCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action) {
    auto show = std::make_shared<MetaOptions>();
    CLI::App* meta = lumo.add_subcommand(
        "meta", "Show each photo's metadata by field label; set, clear or undo fields (lumo help meta set)");
    show->files.addTo(*meta);
    meta->callback([&common, &action, meta, show] {
        if (meta->get_subcommands().empty())
            action = [&common, show] { return runShow(common, *show); };
    });

    auto set = std::make_shared<ChangeOptions>();
    CLI::App* setCommand = meta->add_subcommand(
        "set",
        "Set fields of each photo's metadata (written into the file or its sidecar as its type keeps it)");
    set->files.addTo(*setCommand);
    setCommand
        ->add_option("--field", set->fields,
                     "LABEL=VALUE: a field by its label (\"Keywords=harbour, boats\"); give it once a field")
        ->type_name("LABEL=VALUE")
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    setCommand->add_flag("--append", set->append,
                         "Add to the fields instead of replacing them: list fields (keywords...) get the "
                         "items not there yet, structure fields the structures, text fields the text after "
                         "a space");
    setCommand->callback(
        [&common, &action, set] { action = [&common, set] { return runChange(common, *set, false); }; });

    auto clear = std::make_shared<ChangeOptions>();
    CLI::App* clearCommand = meta->add_subcommand("clear", "Clear fields of each photo's metadata");
    clear->files.addTo(*clearCommand);
    clearCommand->add_option("--field", clear->fields, "LABEL: a field to clear; give it once a field")
        ->type_name("LABEL")
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    clearCommand->callback(
        [&common, &action, clear] { action = [&common, clear] { return runChange(common, *clear, true); }; });

    auto undo = std::make_shared<MetaOptions>();
    CLI::App* undoCommand =
        meta->add_subcommand("undo", "Put back each photo's metadata as it was before lumo last saved it");
    undo->files.addTo(*undoCommand);
    undoCommand->callback(
        [&common, &action, undo] { action = [&common, undo] { return runUndo(common, *undo); }; });
}
