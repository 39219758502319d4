// lumo tag, lumo rate and lumo colorclass: the photo state each file keeps (in its XMP and IIM, or in
// its prefs beside it), set over many files as one background operation.

#include "Commands.h"
#include "ErrorText.h"
#include "NRF/NRFImageInfo.h"
#include "PhotoOperation.h"
#include "metadata/IPTCUtils.h"
#include "metadata/PhotoMetadata.h"

#include <cstdio>
#include <memory>
#include <string>

namespace {

struct TagOptions {
    FileArguments files;
    bool on = false, off = false, toggle = false;
};

struct NumberOptions {
    FileArguments files; // FILE... N: the number is the last argument
};

int usage(const std::string& message) {
    std::fprintf(stderr, "lumo: %s\n", message.c_str());
    return kExitBadUsage;
}

// `text` as a whole number from `low` to `high`.
bool parseLevel(const std::string& text, int low, int high, int& value) {
    if (text.empty() || text.size() > 2)
        return false;
    std::size_t at = 0;
    const bool negative = text[0] == '-';
    if (negative)
        ++at;
    if (at == text.size())
        return false;
    int number = 0;
    for (; at < text.size(); ++at) {
        if (text[at] < '0' || text[at] > '9')
            return false;
        number = number * 10 + (text[at] - '0');
    }
    value = negative ? -number : number;
    return value >= low && value <= high;
}

std::string heading(IPTCPhotoOperation operation) {
    return IPTCPhotoOperationErrorText(operation);
}

int runTag(const CommonOptions& common, const TagOptions& options) {
    if (options.on + options.off + options.toggle > 1)
        return usage("give one of --on, --off and --toggle");
    const int mode = options.off ? 0 : options.toggle ? 2 : 1;
    const IPTCPhotoOperation kind = options.off      ? IPTCPhotoOperation::kClearTag
                                    : options.toggle ? IPTCPhotoOperation::kToggleTag
                                                     : IPTCPhotoOperation::kSetTag;
    PhotoOperation operation;
    operation.label = "Tagging";
    operation.heading = heading(kind);
    operation.change = [mode](NRFImageInfoRec& image, NRFMetadataCommit*) {
        if (const NRFErr err = IPTCSetPhotoTag(&image, mode); err != 0)
            return engineFailure(err, image.m_path, true);
        PhotoOutcome outcome;
        outcome.line = image.m_tag ? "tagged" : "not tagged";
        outcome.json["tagged"] = image.m_tag;
        return outcome;
    };
    return runPhotoOperation(common, options.files, operation);
}

int runRate(const CommonOptions& common, NumberOptions& options) {
    std::string value;
    if (!options.files.takeLast(value))
        return usage("give the files and then the rating: lumo rate FILE... N");
    int rating = 0;
    if (value == "-1")
        return usage("a rating is a number of stars from 0 to 5; lumo keeps no rating -1 (rejected): "
                     "use lumo colorclass or lumo tag to mark rejects");
    if (!parseLevel(value, 0, 5, rating))
        return usage("a rating is a number of stars from 0 to 5, not \"" + value + "\"");
    PhotoOperation operation;
    operation.label = "Rating";
    operation.heading = heading(IPTCPhotoOperation::kSetRating);
    operation.change = [rating](NRFImageInfoRec& image, NRFMetadataCommit*) {
        if (const NRFErr err = IPTCSetPhotoRating(&image, rating); err != 0)
            return engineFailure(err, image.m_path, true);
        PhotoOutcome outcome;
        outcome.line = "rating " + std::to_string(image.m_rating);
        outcome.json["rating"] = image.m_rating;
        return outcome;
    };
    return runPhotoOperation(common, options.files, operation);
}

int runColorClass(const CommonOptions& common, NumberOptions& options) {
    std::string value;
    if (!options.files.takeLast(value))
        return usage("give the files and then the color class: lumo colorclass FILE... N");
    int colorClass = 0;
    if (!parseLevel(value, 0, 8, colorClass))
        return usage("a color class is a number from 0 (none) to 8, not \"" + value + "\"");
    PhotoOperation operation;
    operation.label = "Color class";
    operation.heading = heading(IPTCPhotoOperation::kSetColorClass);
    operation.change = [colorClass](NRFImageInfoRec& image, NRFMetadataCommit*) {
        if (const NRFErr err = IPTCSetPhotoColorClass(&image, colorClass); err != 0)
            return engineFailure(err, image.m_path, true);
        PhotoOutcome outcome;
        const int kept = image.m_colorClass;
        outcome.line = "color class " + std::to_string(kept);
        outcome.json["colorClass"] = kept;
        if (kept >= 1 && kept <= 8) {
            const std::string name = IPTCEncodingSettingsFromPreferences().m_colorClassNames[kept - 1];
            if (!name.empty()) {
                outcome.line += " (" + name + ")";
                outcome.json["colorClassName"] = name;
            }
        }
        return outcome;
    };
    return runPhotoOperation(common, options.files, operation);
}

// FILE... N: the number comes last, among the files.
CLI::App* addNumberCommand(CLI::App& lumo, const char* name, const char* description,
                           const std::shared_ptr<NumberOptions>& options) {
    CLI::App* command = lumo.add_subcommand(name, description);
    options->files.addTo(*command);
    return command;
}

} // namespace

void addPhotoStateCommands(CLI::App& lumo, const CommonOptions& common, CommandAction& action) {
    auto tag = std::make_shared<TagOptions>();
    CLI::App* tagCommand =
        lumo.add_subcommand("tag", "Tag each photo (--on, the default), untag it (--off) or toggle its tag");
    tag->files.addTo(*tagCommand);
    tagCommand->add_flag("--on", tag->on, "Tag the photos");
    tagCommand->add_flag("--off", tag->off, "Clear the photos' tag");
    tagCommand->add_flag("--toggle", tag->toggle, "Tag the untagged photos and untag the tagged ones");
    tagCommand->callback(
        [&common, &action, tag] { action = [&common, tag] { return runTag(common, *tag); }; });

    auto rate = std::make_shared<NumberOptions>();
    addNumberCommand(lumo, "rate", "Set each photo's rating: lumo rate FILE... N, N from 0 to 5 stars", rate)
        ->callback([&common, &action, rate] { action = [&common, rate] { return runRate(common, *rate); }; });

    auto colorClass = std::make_shared<NumberOptions>();
    addNumberCommand(lumo, "colorclass",
                     "Set each photo's color class: lumo colorclass FILE... N, N from 1 to 8 or 0 for none",
                     colorClass)
        ->callback([&common, &action, colorClass] {
            action = [&common, colorClass] { return runColorClass(common, *colorClass); };
        });
}
