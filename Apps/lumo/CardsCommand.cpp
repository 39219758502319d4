// lumo cards: the mounted volumes with their used and free space, and which of them are camera cards.

#include "AppSession.h"
#include "Commands.h"
#include "ErrorText.h"
#include "JsonValue.h"
#include "fileops/IngestFilters.h"
#include "fileops/VolumeManager.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <iostream>
#include <memory>

namespace {

int runCards(const CommonOptions& common, bool cardsOnly) {
    AppSession session(common, 0);
    if (!session.started())
        return commandFailed(common, kResultUnexpected, session.error());
    const std::vector<MountedVolume> volumes = VolumeManager::instance()->listVolumes();

    nlohmann::json out = nlohmann::json::array();
    bool any = false;
    for (const MountedVolume& volume : volumes) {
        const bool card = IngestIsCameraCard(volume.mountPoint);
        if (cardsOnly && !card)
            continue;
        any = true;
        if (common.json) {
            out.push_back({{"device", volume.device},
                           {"mountPoint", volume.mountPoint},
                           {"label", volume.label},
                           {"fileSystem", volume.fileSystem},
                           {"totalBytes", volume.totalBytes},
                           {"usedBytes", volume.usedBytes},
                           {"freeBytes", volume.freeBytes},
                           {"removable", volume.removable},
                           {"readOnly", volume.readOnly},
                           {"cameraCard", card},
                           // What an ingest may do with it when done: erase only a camera card on
                           // removable media.
                           {"erasable", card && volume.removable && !volume.readOnly}});
            continue;
        }
        std::printf("%s\n", volume.mountPoint.c_str());
        std::printf("  device %s%s%s, %s\n", volume.device.c_str(), volume.label.empty() ? "" : ", label ",
                    volume.label.c_str(), volume.fileSystem.c_str());
        std::printf("  %s used, %s free of %s\n", FormatByteSize(volume.usedBytes).c_str(),
                    FormatByteSize(volume.freeBytes).c_str(), FormatByteSize(volume.totalBytes).c_str());
        std::printf("  %s, %s%s\n", card ? "camera card" : "not a camera card",
                    volume.removable ? "removable" : "not removable", volume.readOnly ? ", read-only" : "");
    }
    if (common.json)
        std::cout << jsonText(out, 2) << '\n';
    else if (!any && !common.quiet)
        std::printf(cardsOnly ? "No camera cards are mounted.\n" : "No volumes are mounted.\n");
    return kExitDone;
}

} // namespace

void addCardsCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action) {
    CLI::App* command = lumo.add_subcommand(
        "cards", "List mounted volumes with their used and free space and whether each is a camera card");
    auto cardsOnly = std::make_shared<bool>(false);
    command->add_flag("--cards-only", *cardsOnly, "Only the volumes that are camera cards");
    command->callback([&common, &action, cardsOnly] {
        action = [&common, cardsOnly] { return runCards(common, *cardsOnly); };
    });
}
