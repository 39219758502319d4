// lumo gps: track logs (lumo gps log prints the points a log gives) and positions for photos taken
// without a GPS receiver (lumo gps import matches each photo to the logs by its capture time and writes
// the matched position into it).

#include "AppSession.h"
#include "Commands.h"
#include "ErrorText.h"
#include "FileArguments.h"
#include "NRF/NRF.h"
#include "NRF/NRFImageInfo.h"
#include "PhotoOperation.h"
#include "TerminalProgressWindow.h"
#include "background/ProgressDialogInterface.h"
#include "background/ThreadedWorker.h"
#include "db/PreferenceKeys.h"
#include "db/Preferences.h"
#include "gps/GPSLog.h"
#include "gps/GPSMatch.h"
#include "gps/ImportGPSCoordinatesWorker.h"
#include "gps/ReverseGeoUtils.h"
#include "metadata/MetadataTemplate.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

struct GpsOptions {
    // import
    FileArguments files;
    std::vector<std::string> logs;
    std::string offset;
    std::optional<int> days, hours, minutes, seconds, range;
    bool gaps = false, overwrite = false, geocode = false, dryRun = false;
    // log
    std::vector<std::string> logFiles;
};

std::string utcText(std::int64_t seconds) {
    const std::string k = GPSTimeKey(seconds);
    return k.substr(0, 4) + "-" + k.substr(4, 2) + "-" + k.substr(6, 2) + " " + k.substr(8, 2) + ":" +
           k.substr(10, 2) + ":" + k.substr(12, 2) + " UTC";
}

nlohmann::ordered_json numberOrNull(double v, bool present) {
    return present ? nlohmann::ordered_json(v) : nlohmann::ordered_json(nullptr);
}

// Loads every log into `log`; false after saying why.
bool loadLogs(const CommonOptions& common, const std::vector<std::string>& files, GPSLog& log) {
    for (const std::string& file : files) {
        std::string error;
        const long added = log.LoadFile(file, error);
        if (added < 0) {
            commandFailed(common, kResultUnreadable, error.empty() ? kGPSLogParseErrorText : error);
            return false;
        }
        if (!common.json && !common.quiet)
            std::fprintf(stderr, "lumo: %s: %ld points\n", oneLine(file).c_str(), added);
    }
    return true;
}

int runLog(const CommonOptions& common, const GpsOptions& options) {
    GPSLog log;
    if (!loadLogs(common, options.logFiles, log))
        return kExitSomeFailed;
    nlohmann::ordered_json all = nlohmann::ordered_json::array();
    for (const auto& [key, p] : log.points()) {
        if (common.json) {
            all.push_back({{"key", key},
                           {"time", utcText(p.time)},
                           {"latitude", p.latitude},
                           {"longitude", p.longitude},
                           {"altitude", p.altitude},
                           {"speed", numberOrNull(p.speed, p.speed >= 0.0)},
                           {"course", p.course}});
        } else {
            std::printf("%s  %.6f %.6f  %.1f m", utcText(p.time).c_str(), p.latitude, p.longitude,
                        p.altitude);
            if (p.speed >= 0.0)
                std::printf("  %.2f kn", p.speed);
            std::printf("  %.1f°\n", p.course);
        }
    }
    if (common.json)
        std::printf("%s\n", all.dump(2).c_str());
    return kExitDone;
}

struct PhotoRow {
    std::string path;
    NRFImageInfoRef image;
    GPSMatch match;
    std::string error; // the photo could not be read, or has no capture time
    NRFErr result = 0;
};

std::string matchLine(const GPSMatch& m) {
    char text[256];
    if (!m.matched)
        return "no match";
    if (m.keptOwn) {
        std::snprintf(text, sizeof text, "keeps its own position %.6f, %.6f", m.latitude, m.longitude);
        return text;
    }
    std::snprintf(text, sizeof text, "%.6f, %.6f, %.1f m (%s %s, photo at %s)", m.latitude, m.longitude,
                  m.altitude, m.interpolated ? "interpolated from" : "the point at", m.winnerKey.c_str(),
                  utcText(m.photoTime).c_str());
    return text;
}

int runImport(const CommonOptions& common, const GpsOptions& options) {
    if (options.files.empty())
        return noFilesGiven();
    if (options.logs.empty())
        return commandFailed(common, kResultNotPossible, kGPSNoLogLoadedText, kExitBadUsage);
    GPSOffset offset;
    const bool parts = options.days || options.hours || options.minutes || options.seconds;
    if (!options.offset.empty() && parts)
        return commandFailed(common, kResultNotPossible,
                             "give either --offset or --days/--hours/--minutes/--seconds", kExitBadUsage);
    if (!options.offset.empty() && !GPSOffset::parse(options.offset, offset))
        return commandFailed(common, kResultNotPossible,
                             "--offset takes the camera clock minus UTC, as +2h, -1h30m, 90s or -0:30",
                             kExitBadUsage);

    AppSession session(common, kImageEngineService | kPreferencesService |
                                   (options.geocode ? kGeocodingServices : 0u));
    if (!session.started())
        return commandFailed(common, kResultUnexpected, session.error());
    const std::shared_ptr<CPreferences> prefs = CPreferences::instance();
    GPSMatchSettings settings = prefs ? GPSMatchSettings::Load(*prefs) : GPSMatchSettings{};
    if (!options.offset.empty())
        settings.offset = offset;
    else if (parts)
        settings.offset = GPSOffset{options.days.value_or(0), options.hours.value_or(0),
                                    options.minutes.value_or(0), options.seconds.value_or(0)};
    if (options.range)
        settings.matchRangeMinutes = *options.range;
    settings.allowGapMatches = options.gaps;
    settings.overwriteExisting = options.overwrite;
    settings.reverseGeocode = options.geocode;

    GPSLog log;
    if (!loadLogs(common, options.logs, log))
        return kExitSomeFailed;

    // Match every photo.
    std::vector<PhotoRow> rows;
    for (const FileArgument& file : options.files.expand()) {
        PhotoRow row;
        row.path = file.path;
        if (file.error) {
            row.result = file.result;
            row.error = errnoText(file.error);
        } else {
            PhotoOutcome outcome;
            if (!openPhoto(file.path, row.image, outcome)) {
                row.result = outcome.result;
                row.error = outcome.error;
            } else if (!row.image->m_captureTime.isValid()) {
                row.result = kResultNotPossible;
                row.error = "the photo has no capture time";
            } else {
                row.match = GPSMatchPhoto(log.points(), *row.image, settings);
            }
        }
        rows.push_back(std::move(row));
    }
    std::size_t matched = 0, photos = 0;
    std::vector<ImportGPSCoordinatesWorker::Item> items;
    std::vector<std::size_t> itemRow; // the row of each item
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const PhotoRow& row = rows[r];
        if (!row.error.empty())
            continue;
        ++photos;
        if (row.match.matched) {
            ++matched;
            items.push_back({row.image, row.match});
            itemRow.push_back(r);
        }
    }

    int status = kExitDone;
    nlohmann::ordered_json all = nlohmann::ordered_json::array();
    for (const PhotoRow& row : rows) {
        if (!row.error.empty()) {
            status = kExitSomeFailed;
            reportFailure(row.path, row.error);
            all.push_back(failureJson(row.path, row.result, row.error));
            continue;
        }
        const GPSMatch& m = row.match;
        nlohmann::ordered_json entry = {
            {"path", row.path}, {"matched", m.matched}, {"photo_time", utcText(m.photoTime)}};
        if (m.matched) {
            entry["latitude"] = m.latitude;
            entry["longitude"] = m.longitude;
            entry["altitude"] = m.altitude;
            entry["speed"] = numberOrNull(m.speed, m.speed >= 0.0);
            entry["course"] = m.course;
            entry["interpolated"] = m.interpolated;
            entry["log_point"] = m.winnerKey;
            entry["kept_own"] = m.keptOwn;
        }
        if (!common.json && !common.quiet)
            std::printf("%s: %s\n", oneLine(row.path).c_str(), matchLine(m).c_str());
        all.push_back(std::move(entry));
    }
    if (!common.json)
        std::fprintf(stderr, "lumo: %s\n", GPSMatchSummary(matched, photos).c_str());
    if (matched == 0) {
        if (!common.json)
            std::fprintf(stderr, "lumo: %s\n", kGPSNoGPSMatchesText);
        else
            std::printf("%s\n", all.dump(2).c_str());
        return kExitSomeFailed;
    }
    if (options.dryRun) {
        if (common.json)
            std::printf("%s\n", all.dump(2).c_str());
        return status;
    }
    if (prefs)
        settings.Save(*prefs);

    ImportGPSCoordinatesWorker::Geocoder geocoder;
    if (options.geocode) {
        // The saved apply settings say where a place goes; when they name no field, the photo's
        // location fields do (as lumo geocode).
        ReverseGeocodeSettings applying = ReverseGeocodeSettings::Load();
        if (!applying.appliesAny())
            for (const std::size_t i : {kGeocodeCity, kGeocodeState, kGeocodeCountry, kGeocodeCountryCode})
                applying.m_apply[i] = true;
        const std::string server = prefs ? prefs->getString(kPrefReverseGeocodeServer, "") : std::string();
        geocoder = [applying, server](NRFImageInfoRec& image, std::string& error) {
            std::optional<IPTCLocation> place;
            if (!PreloadSingleJob(image, true, server, place, &error))
                return false;
            if (!place) {
                error = "Reverse Geocode coordinate not found in local database cache.";
                return false;
            }
            return ApplyReverseGeoData(image.m_path, *place, applying, &error);
        };
    }
    ProgressDialogInterface progress;
    auto worker = std::make_unique<ImportGPSCoordinatesWorker>(items, options.geocode, geocoder);
    ImportGPSCoordinatesWorker* steps = worker.get();
    CThreadedWorker operation(std::move(worker), &progress);
    if (!operation.Start()) {
        std::fprintf(stderr, "lumo: the operation could not be started\n");
        return kExitSomeFailed;
    }
    TerminalProgressWindow(progress, "Writing positions", common.quiet || items.size() < 2 ? nullptr : stderr)
        .run();
    operation.Join();
    // Each written photo's entry says so; a photo that failed is reported with why.
    for (std::size_t i = 0; i < items.size(); ++i) {
        nlohmann::ordered_json& entry = all[itemRow[i]];
        entry["written"] = steps->written(i);
        if (!steps->error(i).empty()) {
            status = kExitSomeFailed;
            entry["error"] = steps->error(i);
            reportFailure(rows[itemRow[i]].path,
                          "While importing GPS coordinates an error occurred: " + steps->error(i));
        }
    }
    if (!common.json && !common.quiet)
        std::fprintf(stderr, "lumo: wrote positions into %zu of %zu matched photos\n", steps->written(),
                     items.size());
    return finishPhotoCommand(common, all, progress.GetStatus(), status);
}

} // namespace

void addGpsCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action) {
    auto options = std::make_shared<GpsOptions>();
    CLI::App* gps = lumo.add_subcommand("gps", "GPS track logs, and positions for photos from them");
    gps->require_subcommand(1);

    CLI::App* importCommand = gps->add_subcommand(
        "import",
        "Match each photo to the track logs by its capture time and write the matched position into it");
    options->files.addTo(*importCommand);
    importCommand
        ->add_option("--log", options->logs, "A track log (GPX, NMEA, KML, or anything gpsbabel reads)")
        ->type_name("LOG");
    importCommand
        ->add_option("--offset", options->offset, "The camera's clock minus UTC: +2h, -1h30m, 90s, -0:30")
        ->type_name("OFFSET");
    importCommand->add_option("--days", options->days, "The camera clock's offset from UTC: days");
    importCommand->add_option("--hours", options->hours, "The camera clock's offset from UTC: hours")
        ->check(CLI::Range(-23, 23));
    importCommand->add_option("--minutes", options->minutes, "The camera clock's offset from UTC: minutes")
        ->check(CLI::Range(-59, 59));
    importCommand->add_option("--seconds", options->seconds, "The camera clock's offset from UTC: seconds")
        ->check(CLI::Range(-59, 59));
    importCommand
        ->add_option("--range", options->range, "How far (minutes) a log point may be from the photo's time")
        ->check(CLI::Range(0, 1440));
    importCommand->add_flag("--gaps", options->gaps, "Match photos taken in a gap of the log (up to a day)");
    importCommand->add_flag("--overwrite", options->overwrite, "Replace the position a photo already has");
    importCommand->add_flag("--geocode", options->geocode, "Look up the place names of the matched photos");
    importCommand->add_flag("--dry-run", options->dryRun, "Show the matches and write nothing");
    importCommand->callback(
        [&action, &common, options] { action = [&common, options] { return runImport(common, *options); }; });

    CLI::App* logCommand = gps->add_subcommand("log", "Print the points a track log gives");
    logCommand->add_option("LOG", options->logFiles, "Track logs")->required()->type_name("LOG");
    logCommand->callback(
        [&action, &common, options] { action = [&common, options] { return runLog(common, *options); }; });
}
