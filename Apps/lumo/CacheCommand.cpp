// lumo cache: what the disk cache of thumbnails and previews holds, clearing it, and purging the sort
// cache of old entries.

#include "AppSession.h"
#include "Commands.h"
#include "ErrorText.h"
#include "JsonValue.h"
#include "TerminalProgressWindow.h"
#include "app/LumoPaths.h"
#include "background/ProgressDialogInterface.h"
#include "cache/CacheJobs.h"
#include "cache/ThumbfileCache.h"
#include "cache/ThumbfileCacheService.h"
#include "db/PreferenceKeys.h"
#include "db/Preferences.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>

namespace {

struct CacheOptions {
    bool thumbs = false;
    bool previews = false;
    std::optional<int> days;
};

nlohmann::ordered_json countsJson(const CThumbfileCache::Counts& counts) {
    return {{"entries", counts.entries}, {"usable", counts.usable}, {"bytes", counts.bytes}};
}

// The session's failure: a cache folder that cannot be made or written cannot be written (6).
int sessionFailed(const CommonOptions& common, const AppSession& session, unsigned services) {
    const bool folder = (services & kThumbfileCacheService) && !thumbfileCacheStartupError().empty();
    return commandFailed(common, folder ? kResultUnwritable : kResultUnexpected, session.error());
}

int status(const CommonOptions& common) {
    constexpr unsigned services = kPreferencesService | kThumbfileCacheService;
    AppSession session(common, services);
    if (!session.started())
        return sessionFailed(common, session, services);
    const CThumbfileCache& cache = *CThumbfileCache::GetThumbfileCache();
    const CThumbfileCache::Counts thumbs = cache.Count(true, false);
    const CThumbfileCache::Counts previews = cache.Count(false, true);
    const CThumbfileCache::Counts all{thumbs.entries + previews.entries, thumbs.usable + previews.usable,
                                      thumbs.bytes + previews.bytes};
    if (common.json) {
        nlohmann::ordered_json out = {{"folder", cache.Folder()}};
        out.update(countsJson(all));
        out["thumbs"] = countsJson(thumbs);
        out["previews"] = countsJson(previews);
        std::cout << jsonText(out, 2) << '\n';
        return kExitDone;
    }
    const auto line = [](const char* label, const CThumbfileCache::Counts& counts) {
        std::printf("%-14s%zu entries, %llu bytes", label, counts.entries,
                    static_cast<unsigned long long>(counts.bytes));
        if (counts.usable != counts.entries)
            std::printf(" (%zu usable)", counts.usable);
        std::printf("\n");
    };
    std::printf("%-14s%s\n", "Cache folder:", cache.Folder().c_str());
    line("Thumbnails:", thumbs);
    line("Previews:", previews);
    line("Total:", all);
    return kExitDone;
}

// How a background operation ended, as lumo's exit status.
int operationStatus(ProgressDialogInterface& progress) {
    switch (progress.GetStatus()) {
    case ProgressDialogInterface::kStatusCancelled:
        std::fprintf(stderr, "lumo: cancelled\n");
        return kExitCancelled;
    case 0:
        return kExitDone;
    default:
        return kExitSomeFailed;
    }
}

int clear(const CommonOptions& common, const CacheOptions& options) {
    constexpr unsigned services = kPreferencesService | kThumbfileCacheService;
    AppSession session(common, services);
    if (!session.started())
        return sessionFailed(common, session, services);
    const bool both = !options.thumbs && !options.previews;
    const bool thumbs = both || options.thumbs, previews = both || options.previews;

    ProgressDialogInterface progress;
    auto job =
        std::make_unique<ClearThumbfileCacheJob>(*CThumbfileCache::GetThumbfileCache(), thumbs, previews);
    const ClearThumbfileCacheJob& clearing = *job;
    // The image cache is paused while its files go, and running cache work finishes first.
    CThreadedJob operation(std::move(job), &progress, true, true);
    if (!operation.Start())
        return commandFailed(common, kResultUnexpected, "the operation could not be started");
    TerminalProgressWindow(progress, "Clearing disk cache", common.quiet ? nullptr : stderr).run();
    operation.Join();

    const int exitStatus = operationStatus(progress);
    if (exitStatus == kExitSomeFailed)
        return commandFailed(common, kResultUnexpected, "clearing the disk cache failed; the log says why");
    if (common.json) {
        nlohmann::ordered_json out = {{"folder", CThumbfileCache::GetThumbfileCache()->Folder()},
                                      {"thumbs", thumbs},
                                      {"previews", previews},
                                      {"deleted", clearing.deleted()},
                                      {"total", clearing.total()}};
        std::cout << jsonText(out, 2) << '\n';
    } else if (!common.quiet) {
        std::printf("Deleted %zu of %zu %s from the disk cache\n", clearing.deleted(), clearing.total(),
                    clearing.total() == 1 ? "file" : "files");
    }
    return exitStatus;
}

int purgeSort(const CommonOptions& common, const CacheOptions& options) {
    AppSession session(common, kPreferencesService | kSortCacheService);
    if (!session.started())
        return commandFailed(common, kResultUnexpected, session.error());
    int days = options.days.value_or(0);
    if (!options.days) {
        const auto preferences = CPreferences::instance();
        days =
            static_cast<int>(preferences ? preferences->getInt(kPrefSortCacheDays, kPrefSortCacheDaysDefault)
                                         : kPrefSortCacheDaysDefault);
    }
    ProgressDialogInterface progress;
    CThreadedJob operation(std::make_unique<LumoCachePurgeJob>(days), &progress);
    if (!operation.Start())
        return commandFailed(common, kResultUnexpected, "the operation could not be started");
    TerminalProgressWindow(progress, "Purging sort cache", common.quiet ? nullptr : stderr).run();
    operation.Join();

    const int exitStatus = operationStatus(progress);
    if (exitStatus == kExitSomeFailed)
        return commandFailed(common, kResultUnreadable,
                             "the sort cache could not be opened; the log says why");
    if (common.json)
        std::cout << jsonText(
                         nlohmann::ordered_json{{"folder", LumoPaths::imageCacheFolder()}, {"days", days}}, 2)
                  << '\n';
    else if (!common.quiet)
        std::printf("Sort cache: forgot the entries stored %d %s ago or earlier\n", days,
                    days == 1 ? "day" : "days");
    return exitStatus;
}

} // namespace

void addCacheCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action) {
    auto options = std::make_shared<CacheOptions>();
    CLI::App* cache = lumo.add_subcommand("cache", "Show, clear or purge the image caches");
    cache->require_subcommand(1);

    cache->add_subcommand("status", "Show the disk cache's folder and its entries and bytes, per kind")
        ->callback([&common, &action] { action = [&common] { return status(common); }; });

    CLI::App* clearCommand = cache->add_subcommand(
        "clear", "Delete the disk cache's thumbnails and previews (both unless one is named)");
    clearCommand->add_flag("--thumbs", options->thumbs, "Delete the thumbnails");
    clearCommand->add_flag("--previews", options->previews, "Delete the previews");
    clearCommand->callback(
        [&common, &action, options] { action = [&common, options] { return clear(common, *options); }; });

    CLI::App* purgeCommand = cache->add_subcommand(
        "purge-sort",
        "Forget the sort cache's entries stored N days ago or earlier (default: SortCacheDays)");
    purgeCommand->add_option("--days", options->days, "The age in days; 0 forgets every entry")
        ->type_name("N")
        ->check(CLI::Range(0, 36500));
    purgeCommand->callback(
        [&common, &action, options] { action = [&common, options] { return purgeSort(common, *options); }; });
}
