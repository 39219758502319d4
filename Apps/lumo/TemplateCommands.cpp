// lumo template: the current metadata template (show, edit, apply to photos, save to and load from a
// file); lumo snapshot: a photo's whole metadata kept under a name and pasted onto other photos.

#include "AppSession.h"
#include "Commands.h"
#include "ErrorText.h"
#include "FieldLabels.h"
#include "FileArguments.h"
#include "JsonValue.h"
#include "NRF/NRF.h"
#include "NRF/NRFImageInfo.h"
#include "PhotoOperation.h"
#include "TerminalProgressWindow.h"
#include "background/ProgressDialogInterface.h"
#include "fileops/ApplyToSelectedThread.h"
#include "metadata/IPTCRecFields.h"
#include "metadata/IPTCUtils.h"
#include "metadata/MRUStringList.h"
#include "metadata/MetadataTemplate.h"
#include "metadata/PhotoMetadata.h"
#include "variables/VariableExpander.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

int usage(const std::string& message) {
    std::fprintf(stderr, "lumo: %s\n", message.c_str());
    return kExitBadUsage;
}

constexpr const char* kCaptionStyles[] = {"before", "replace", "after"};
constexpr const char* kDateStyles[] = {"template", "capture", "current"};

// The flag indexes of a catalogue row ("Time and Date": the date's and the time's); empty for the
// colour class and the rating, which have flags of their own.
std::vector<std::size_t> flagIndexes(const IPTCCatalogueEntry& entry) {
    std::vector<std::size_t> indexes;
    if (entry.fieldId == 0)
        return indexes;
    indexes.push_back(static_cast<std::size_t>(IPTCFieldIndexOf(entry.fieldId, entry.item ? entry.item : 1)));
    if (entry.fieldId == IPTC_DATE_CREATED)
        indexes.push_back(static_cast<std::size_t>(IPTCFieldIndexOf(IPTC_TIME_CREATED)));
    return indexes;
}

bool isLabel(const IPTCCatalogueEntry& entry, std::string_view label) {
    return std::string_view(entry.label) == label;
}

// -- show

struct ShownField {
    std::string label, value;
    bool apply = false, merge = false;
};

std::vector<ShownField> shownFields(const IPTCRec& stationery, const IPTCEncodingSettings& settings) {
    std::vector<ShownField> fields;
    for (const IPTCCatalogueEntry& entry : IPTCCatalogue()) {
        ShownField field{entry.label, {}, false, false};
        if (isLabel(entry, "Color Class")) {
            field.value = stationery.m_colorClassEval, field.apply = stationery.m_colorClassApply;
        } else if (isLabel(entry, "Rating")) {
            field.value = stationery.m_ratingEval, field.apply = stationery.m_ratingApply;
        } else {
            IPTCGetFieldText(stationery, entry, settings, field.value);
            const std::vector<std::size_t> indexes = flagIndexes(entry);
            field.apply = !indexes.empty() && stationery.m_applyFlags[indexes[0]];
            field.merge = !indexes.empty() && stationery.m_mergeFlags[indexes[0]];
        }
        if (field.apply || !field.value.empty())
            fields.push_back(std::move(field));
    }
    return fields;
}

void printTemplate(const CommonOptions& common, const IPTCRec& stationery, bool saved) {
    const IPTCEncodingSettings settings = IPTCEncodingSettingsFromPreferences();
    const std::vector<ShownField> fields = shownFields(stationery, settings);
    const char* captionStyle = kCaptionStyles[std::clamp(stationery.m_captionMergeStyle, 0, 2)];
    const char* dateStyle = kDateStyles[std::clamp(stationery.m_applyDateType, 0, 2)];
    if (common.json) {
        nlohmann::ordered_json out = nlohmann::ordered_json::object();
        out["saved"] = saved;
        out["captionStyle"] = captionStyle;
        out["dateStyle"] = dateStyle;
        out["tag"] = stationery.m_tagApply ? nlohmann::ordered_json(stationery.m_tagEval) : nullptr;
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (const ShownField& field : fields)
            list.push_back(nlohmann::ordered_json{{"label", field.label},
                                                  {"value", field.value},
                                                  {"apply", field.apply},
                                                  {"merge", field.merge}});
        out["fields"] = std::move(list);
        std::cout << jsonText(out, 2) << '\n';
        return;
    }
    if (!saved)
        std::printf("No metadata template is saved yet.\n");
    std::printf("Caption\t%s the photo's\nDate\t%s\n", captionStyle, dateStyle);
    if (stationery.m_tagApply)
        std::printf("Tag\t%s\n", stationery.m_tagEval.c_str());
    for (const ShownField& field : fields)
        std::printf("%s %s\t%s\n", field.apply ? (field.merge ? "+" : "=") : " ", field.label.c_str(),
                    oneLine(field.value).c_str());
}

int runShow(const CommonOptions& common) {
    AppSession session(common, kImageEngineService | kPreferencesService);
    if (!session.started())
        return commandFailed(common, kResultUnexpected, session.error());
    IPTCRec stationery;
    const bool saved = IPTCLoadCurrentStationery(stationery);
    printTemplate(common, stationery, saved);
    std::fflush(stdout);
    return kExitDone;
}

// -- edit

struct EditOptions {
    std::vector<std::string> fields;          // "LABEL=VALUE": the value, applied
    std::vector<std::string> apply, unapply;  // labels
    std::vector<std::string> merge, unmerge;  // labels
    std::string captionStyle, dateStyle, tag; // empty: unchanged
    bool clear = false;                       // start from an empty template
};

int styleNumber(const std::string& text, const char* const (&names)[3]) {
    for (int i = 0; i < 3; ++i)
        if (text == names[i] || text == std::to_string(i))
            return i;
    return -1;
}

int runEdit(const CommonOptions& common, const EditOptions& options) {
    const auto labelOf = [](const std::string& text) { return std::string(lumo::trim(text)); };
    for (const std::vector<std::string>* list :
         {&options.apply, &options.unapply, &options.merge, &options.unmerge})
        for (const std::string& label : *list)
            if (!findLabel(labelOf(label)))
                return usage(unknownLabelText(labelOf(label)));
    for (const std::string& field : options.fields) {
        const std::size_t equals = field.find('=');
        if (equals == std::string::npos)
            return usage("--field takes LABEL=VALUE (\"Keywords=harbour, boats\"), not \"" + field + "\"");
        if (!findLabel(labelOf(field.substr(0, equals))))
            return usage(unknownLabelText(labelOf(field.substr(0, equals))));
    }
    const int captionStyle =
        options.captionStyle.empty() ? 0 : styleNumber(options.captionStyle, kCaptionStyles);
    if (captionStyle < 0)
        return usage("--caption-style takes before, replace or after");
    const int dateStyle = options.dateStyle.empty() ? 0 : styleNumber(options.dateStyle, kDateStyles);
    if (dateStyle < 0)
        return usage("--date-style takes template, capture or current");

    AppSession session(common, kImageEngineService | kPreferencesService);
    if (!session.started())
        return commandFailed(common, kResultUnexpected, session.error());
    const IPTCEncodingSettings settings = IPTCEncodingSettingsFromPreferences();
    IPTCRec stationery;
    if (!options.clear)
        IPTCLoadCurrentStationery(stationery);

    const auto setApply = [&stationery](const IPTCCatalogueEntry& entry, bool on) {
        if (isLabel(entry, "Color Class"))
            stationery.m_colorClassApply = on;
        else if (isLabel(entry, "Rating"))
            stationery.m_ratingApply = on;
        for (std::size_t index : flagIndexes(entry))
            stationery.m_applyFlags[index] = on ? 1 : 0;
    };
    for (const std::string& field : options.fields) {
        const std::size_t equals = field.find('=');
        const IPTCCatalogueEntry& entry = *findLabel(labelOf(field.substr(0, equals)));
        const std::string value = field.substr(equals + 1);
        if (isLabel(entry, "Color Class")) {
            stationery.m_colorClassEval = value;
        } else if (isLabel(entry, "Rating")) {
            stationery.m_ratingEval = value;
        } else {
            std::string error;
            if (!IPTCSetFieldText(stationery, entry, settings, value, false, error))
                return usage(std::string(entry.label) + ": " + error);
        }
        setApply(entry, true);
        CIPTCStationeryLists::Remember(entry.fieldId, value); // the fields that keep their last values
    }
    for (const std::string& label : options.apply)
        setApply(*findLabel(labelOf(label)), true);
    for (const std::string& label : options.unapply)
        setApply(*findLabel(labelOf(label)), false);
    for (const auto& [list, on] : {std::pair{&options.merge, true}, std::pair{&options.unmerge, false}})
        for (const std::string& label : *list) {
            const IPTCCatalogueEntry& entry = *findLabel(labelOf(label));
            if (on && entry.list == IPTCListKind::Single)
                return usage(std::string(entry.label) +
                             " holds one value: only list and structure fields merge");
            for (std::size_t index : flagIndexes(entry))
                stationery.m_mergeFlags[index] = on ? 1 : 0;
        }
    if (!options.captionStyle.empty())
        stationery.m_captionMergeStyle = captionStyle;
    if (!options.dateStyle.empty())
        stationery.m_applyDateType = dateStyle;
    if (!options.tag.empty()) {
        stationery.m_tagApply = options.tag != "none";
        stationery.m_tagEval = options.tag == "on" ? "1" : options.tag == "off" ? "0" : "";
        if (stationery.m_tagApply && stationery.m_tagEval.empty())
            return usage("--tag takes on, off or none");
    }
    // The template is kept as it is even when a field holds its own variable; applying it says why it
    // cannot be applied. Telling it now saves a surprise.
    if (const std::string refusal = IPTCCheckStationerySelfVariables(stationery); !refusal.empty())
        std::fprintf(stderr, "lumo: %s", refusal.c_str());
    if (!IPTCSaveCurrentStationery(stationery))
        return commandFailed(common, kResultUnexpected,
                             "The metadata template could not be saved in the settings.");
    printTemplate(common, stationery, true);
    std::fflush(stdout);
    return kExitDone;
}

// -- apply and paste

// Applies the template `load` gives (after the session has started) to the photos, on the operation's
// own thread under the terminal progress window, which answers its questions.
int runApply(const CommonOptions& common, const FileArguments& files,
             const std::function<int(IPTCRec&)>& load) {
    if (files.empty())
        return noFilesGiven();
    AppSession session(common, kImageEngineService | kPreferencesService | kGeocodingServices);
    if (!session.started())
        return commandFailed(common, kResultUnexpected, session.error());
    IPTCRec stationery;
    if (const int status = load(stationery); status != kExitDone)
        return status;
    // Refused before any photo is touched, with the reason.
    if (const std::string refusal = IPTCCheckStationerySelfVariables(stationery); !refusal.empty()) {
        std::fprintf(stderr, "lumo: %s", refusal.c_str());
        return kExitBadUsage;
    }
    // An argument that stands for no file fails in the run as any unreadable photo does.
    std::vector<std::string> paths;
    for (const FileArgument& file : files.expand())
        paths.push_back(file.path);

    ProgressDialogInterface progress;
    ApplyToSelectedThread operation(paths, stationery, &progress);
    operation.m_describeFailure = [](std::uint32_t result, const std::string& path) {
        return engineFailureText(result, path);
    };
    if (!operation.Start())
        return commandFailed(common, kResultUnexpected, "the operation could not be started");
    TerminalProgressWindow(progress, "Applying Metadata (IPTC) Template",
                           common.quiet || paths.size() < 2 ? nullptr : stderr)
        .run();
    operation.Join();

    int status = kExitDone;
    nlohmann::ordered_json all = nlohmann::ordered_json::array();
    static const std::string heading = "While applying the Metadata (IPTC) Template an error occurred:";
    for (const ApplyToSelectedThread::PhotoResult& result : operation.Results()) {
        if (!result.reached)
            continue;
        if (result.result != 0) {
            status = kExitSomeFailed;
            reportFailure(result.path, heading + " " + oneLine(result.error));
            all.push_back(failureJson(result.path, result.result, oneLine(result.error)));
            continue;
        }
        nlohmann::ordered_json entry = {{"path", result.path}, {"file", result.wroteFile}};
        if (!result.sidecar.empty())
            entry["sidecar"] = result.sidecar;
        all.push_back(std::move(entry));
        if (!common.json && !common.quiet)
            std::printf("%s: template applied\n", oneLine(result.path).c_str());
    }
    return finishPhotoCommand(common, all, progress.GetStatus(), status);
}

// -- files

int runSave(const CommonOptions& common, const std::string& path) {
    AppSession session(common, kImageEngineService | kPreferencesService);
    if (!session.started())
        return commandFailed(common, kResultUnexpected, session.error());
    IPTCRec stationery;
    if (!IPTCLoadCurrentStationery(stationery))
        return commandFailed(common, kResultNotPossible,
                             "No metadata template is saved yet (lumo template edit).");
    std::string message;
    if (IPTCSaveStationeryFile(stationery, path, &message) != 0)
        return commandFailed(common, kResultNotPossible, message);
    if (common.json)
        std::cout << jsonText(nlohmann::ordered_json{{"path", path}, {"saved", true}}, 2) << '\n';
    else
        std::printf("%s: template saved\n", oneLine(path).c_str());
    return kExitDone;
}

int runLoad(const CommonOptions& common, const std::string& path) {
    AppSession session(common, kImageEngineService | kPreferencesService);
    if (!session.started())
        return commandFailed(common, kResultUnexpected, session.error());
    IPTCRec stationery;
    std::string message;
    if (IPTCLoadStationeryFile(path, stationery, &message) != 0)
        return commandFailed(common, kResultNotPossible, message);
    if (!IPTCSaveCurrentStationery(stationery))
        return commandFailed(common, kResultUnexpected,
                             "The metadata template could not be saved in the settings.");
    printTemplate(common, stationery, true);
    return kExitDone;
}

// -- snapshots

int runTake(const CommonOptions& common, const std::string& path, const std::string& givenName) {
    AppSession session(common, kImageEngineService | kPreferencesService);
    if (!session.started())
        return commandFailed(common, kResultUnexpected, session.error());
    PhotoOutcome outcome;
    std::shared_ptr<NRFImageInfoRec> image;
    if (!openPhoto(path, image, outcome))
        return commandFailed(common, outcome.result, outcome.error);
    IPTCRec record;
    const NRFErr err = NRFLoadIPTC(image.get(), &record);
    if (err == kNRFErrNone) {
        // The photo's state as the engine read it.
        record.m_tagged = image->m_tag ? "1" : "0";
        record.m_colorClass = std::to_string(image->m_colorClass);
        record.m_rating = std::to_string(image->m_rating);
    }
    NRFCloseImage(&image);
    if (err != kNRFErrNone)
        return commandFailed(common, err, engineFailureText(err, path));
    const std::string name = givenName.empty() ? IPTCNextSnapshotName() : givenName;
    if (!IPTCTakeSnapshot(record, name))
        return commandFailed(common, kResultUnexpected, "The snapshot could not be kept in the settings.");
    if (common.json)
        std::cout << jsonText(nlohmann::ordered_json{{"path", path}, {"name", name}}, 2) << '\n';
    else
        std::printf("%s: snapshot \"%s\" taken\n", oneLine(path).c_str(), name.c_str());
    return kExitDone;
}

int runList(const CommonOptions& common) {
    AppSession session(common, kPreferencesService);
    if (!session.started())
        return commandFailed(common, kResultUnexpected, session.error());
    const std::vector<std::string> names = IPTCSnapshotNames();
    if (common.json)
        std::cout << jsonText(nlohmann::ordered_json(names), 2) << '\n';
    else
        for (const std::string& name : names)
            std::printf("%s\n", name.c_str());
    return kExitDone;
}

} // namespace

void addTemplateCommands(CLI::App& lumo, const CommonOptions& common, CommandAction& action) {
    CLI::App* templ = lumo.add_subcommand(
        "template", "The metadata template: show, edit, apply to photos, save to or load from a file");
    templ->require_subcommand(1);

    CLI::App* show = templ->add_subcommand("show", "Show the current template: '=' applied, '+' merged");
    show->callback([&common, &action] { action = [&common] { return runShow(common); }; });

    auto edit = std::make_shared<EditOptions>();
    CLI::App* editCommand = templ->add_subcommand("edit", "Change the current template");
    const auto many = [](CLI::Option* option) {
        option->allow_extra_args(false)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    };
    many(editCommand
             ->add_option("--field", edit->fields,
                          "LABEL=VALUE: a field's value, applied ({variables} are expanded for each photo)")
             ->type_name("LABEL=VALUE"));
    many(editCommand->add_option("--apply", edit->apply, "LABEL: apply the field")->type_name("LABEL"));
    many(editCommand->add_option("--no-apply", edit->unapply, "LABEL: do not apply the field")
             ->type_name("LABEL"));
    many(editCommand
             ->add_option(
                 "--merge", edit->merge,
                 "LABEL: a list or structure field adds its items to the photo's instead of replacing them")
             ->type_name("LABEL"));
    many(editCommand->add_option("--no-merge", edit->unmerge, "LABEL: the field replaces the photo's")
             ->type_name("LABEL"));
    editCommand
        ->add_option("--caption-style", edit->captionStyle,
                     "The template's caption goes before the photo's, replaces it or goes after it")
        ->type_name("STYLE")
        ->check(CLI::IsMember({"before", "replace", "after"}));
    editCommand
        ->add_option("--date-style", edit->dateStyle,
                     "Time and Date applied: the template's own, the photo's capture time or the "
                     "time of applying")
        ->type_name("STYLE")
        ->check(CLI::IsMember({"template", "capture", "current"}));
    editCommand->add_option("--tag", edit->tag, "Tag the photos (on), untag them (off) or leave them (none)")
        ->type_name("STATE")
        ->check(CLI::IsMember({"on", "off", "none"}));
    editCommand->add_flag("--clear", edit->clear, "Start from an empty template");
    editCommand->callback(
        [&common, &action, edit] { action = [&common, edit] { return runEdit(common, *edit); }; });

    auto applyFiles = std::make_shared<FileArguments>();
    CLI::App* apply = templ->add_subcommand("apply", "Apply the current template to each photo's metadata");
    applyFiles->addTo(*apply);
    apply->callback([&common, &action, applyFiles] {
        action = [&common, applyFiles] {
            return runApply(common, *applyFiles, [](IPTCRec& stationery) {
                if (IPTCLoadCurrentStationery(stationery))
                    return static_cast<int>(kExitDone);
                return usage("no metadata template is saved yet (lumo template edit)");
            });
        };
    });

    auto savePath = std::make_shared<std::string>(kStationeryFileName);
    CLI::App* save = templ->add_subcommand("save", "Save the current template as an XMP file");
    save->add_option("FILE", *savePath, "The file (Lumo_Metadata.XMP when not given)")->type_name("FILE");
    save->callback([&common, &action, savePath] {
        action = [&common, savePath] { return runSave(common, *savePath); };
    });

    auto loadPath = std::make_shared<std::string>();
    CLI::App* load = templ->add_subcommand(
        "load", "Make a template file (XMP, or an IIM block .IPT) the current template");
    load->add_option("FILE", *loadPath, "The template file")->type_name("FILE")->required();
    load->callback([&common, &action, loadPath] {
        action = [&common, loadPath] { return runLoad(common, *loadPath); };
    });

    CLI::App* snapshot =
        lumo.add_subcommand("snapshot", "Photos' metadata kept under a name and pasted onto others");
    snapshot->require_subcommand(1);
    struct TakeOptions {
        std::string path, name;
    };
    auto take = std::make_shared<TakeOptions>();
    CLI::App* takeCommand = snapshot->add_subcommand("take", "Keep a photo's metadata as a snapshot");
    takeCommand->add_option("FILE", take->path, "The photo")->type_name("FILE")->required();
    takeCommand->add_option("--name", take->name, "The snapshot's name (\"IPTC Snapshot N\" when not given)")
        ->type_name("NAME");
    takeCommand->callback([&common, &action, take] {
        action = [&common, take] { return runTake(common, take->path, take->name); };
    });

    struct PasteOptions {
        std::string name;
        FileArguments files;
    };
    auto paste = std::make_shared<PasteOptions>();
    CLI::App* pasteCommand = snapshot->add_subcommand(
        "paste", "Paste a snapshot onto each photo: every field becomes the snapshot's");
    pasteCommand->add_option("NAME", paste->name, "The snapshot")->type_name("NAME")->required();
    paste->files.addTo(*pasteCommand);
    pasteCommand->callback([&common, &action, paste] {
        action = [&common, paste] {
            return runApply(common, paste->files, [paste](IPTCRec& stationery) {
                if (IPTCLoadSnapshot(paste->name, stationery))
                    return static_cast<int>(kExitDone);
                return usage("no snapshot is named \"" + paste->name + "\" (lumo snapshot list)");
            });
        };
    });

    CLI::App* list = snapshot->add_subcommand("list", "The snapshots' names");
    list->callback([&common, &action] { action = [&common] { return runList(common); }; });
}
