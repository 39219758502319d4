// lumo geocode: the place at each photo's GPS position, looked up through the catalog service (the
// offline gazetteer, or an online service with --server) and written into the photo's IPTC location
// fields by the reverse-geocoding apply rules.

#include "AppSession.h"
#include "Commands.h"
#include "ErrorText.h"
#include "NRF/NRF.h"
#include "NRF/NRFImageInfo.h"
#include "PhotoOperation.h"
#include "app/LumoLog.h"
#include "db/PreferenceKeys.h"
#include "db/Preferences.h"
#include "gps/ReverseGeoCache.h"
#include "gps/ReverseGeoUtils.h"
#include "metadata/MetadataTemplate.h"
#include "metadata/PhotoMetadata.h"
#include "support/TextUtils.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

struct GeocodeOptions {
    FileArguments files;
    std::string server;
    bool serverGiven = false;
    bool neverOverwrite = false;
    bool dryRun = false;
    std::vector<std::string> fields;
};

int usage(const std::string& message) {
    std::fprintf(stderr, "lumo: %s\n", message.c_str());
    return kExitBadUsage;
}

// The names --fields takes: the settings' names without "Apply", in any case.
std::string fieldNames() {
    std::string names;
    for (std::size_t i = 0; i < kGeocodeNeverOverwrite; ++i)
        names += (names.empty() ? "" : ", ") + std::string(ReverseGeocodeSettings::kNames[i] + 5);
    return names;
}

bool parseFields(const std::vector<std::string>& given, ReverseGeocodeSettings& settings,
                 std::string& error) {
    settings.m_apply.fill(false);
    const auto lower = [](std::string text) {
        for (char& c : text)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        return text;
    };
    for (const std::string& item : given) {
        const std::string name = lower(std::string(lumo::trim(item)));
        if (name.empty())
            continue;
        bool found = false;
        for (std::size_t i = 0; i < kGeocodeNeverOverwrite && !found; ++i) {
            const std::string full = lower(ReverseGeocodeSettings::kNames[i]);
            if (name == full || name == full.substr(5)) {
                settings.m_apply[i] = true;
                found = true;
            }
        }
        if (!found) {
            error = "--fields takes " + fieldNames() + ", not \"" + item + "\"";
            return false;
        }
    }
    return true;
}

std::string placeText(const IPTCLocation& place) {
    std::string text;
    for (const std::string* part :
         {&place.m_sublocation, &place.m_city, &place.m_provinceState, &place.m_countryName})
        if (!part->empty())
            text += (text.empty() ? "" : ", ") + *part;
    if (!place.m_countryCode.empty())
        text += (text.empty() ? "" : " ") + ("(" + place.m_countryCode + ")");
    return text.empty() ? "no place" : text;
}

nlohmann::ordered_json placeJson(const IPTCLocation& place) {
    nlohmann::ordered_json json = nlohmann::ordered_json::object();
    json["sublocation"] = place.m_sublocation;
    json["city"] = place.m_city;
    json["state"] = place.m_provinceState;
    json["country"] = place.m_countryName;
    json["countryCode"] = place.m_countryCode;
    return json;
}

// The positions of the photos, asked of the service in one batch so that each photo then finds its
// place in the cache.
// The batch's failure ("While preloading a batch ..."), said once; empty when the service answered.
std::string preload(const FileArguments& files, const std::string& server) {
    std::vector<GeoPosition> positions;
    for (const FileArgument& file : files.expand()) {
        if (file.error != 0)
            continue;
        std::shared_ptr<NRFImageInfoRec> image;
        PhotoOutcome ignored;
        if (!openPhoto(file.path, image, ignored))
            continue;
        if (const auto position = ReverseGeoPosition(*image))
            positions.push_back(*position);
        NRFCloseImage(&image);
    }
    std::vector<ReverseGeoAnswer> answers;
    std::string error;
    if (PreloadReverseGeocodeBatch(positions, server, answers, &error))
        return {};
    std::fprintf(stderr, "lumo: %s\n", error.c_str());
    return error;
}

int runGeocode(const CommonOptions& common, const std::shared_ptr<GeocodeOptions>& options) {
    if (options->files.empty())
        return noFilesGiven();
    auto settings = std::make_shared<ReverseGeocodeSettings>();
    if (!options->fields.empty()) {
        std::string error;
        if (!parseFields(options->fields, *settings, error))
            return usage(error);
        if (!settings->appliesAny())
            return usage("--fields names no field; it takes " + fieldNames());
    }
    auto server = std::make_shared<std::string>(options->server);

    PhotoOperation operation;
    operation.label = "Reverse geocoding";
    operation.heading = "While setting reverse geocoding data an error occurred:";
    operation.services = kGeocodingServices;
    auto batchError = std::make_shared<std::string>();
    operation.prepare = [options, settings, server, batchError] {
        // Without --fields the saved settings say where a place goes; when they name no field, the
        // location fields of the photo do.
        if (options->fields.empty()) {
            *settings = ReverseGeocodeSettings::Load();
            if (!settings->appliesAny())
                for (const std::size_t i :
                     {kGeocodeCity, kGeocodeState, kGeocodeCountry, kGeocodeCountryCode})
                    settings->m_apply[i] = true;
        }
        if (options->neverOverwrite)
            settings->m_apply[kGeocodeNeverOverwrite] = true;
        if (!options->serverGiven)
            if (const auto preferences = CPreferences::instance())
                *server = preferences->getString(kPrefReverseGeocodeServer, "");
        *batchError = preload(options->files, *server);
        return int{kExitDone};
    };
    operation.change = [options, settings, server, batchError](NRFImageInfoRec& image,
                                                               NRFMetadataCommit* batch) {
        PhotoOutcome outcome;
        std::optional<IPTCLocation> place;
        std::string error;
        if (!ReverseGeoPosition(image)) {
            outcome.line = "no GPS position, left as it was";
            outcome.json["place"] = nullptr;
            return outcome;
        }
        // After a batch that failed as a whole only the cache is asked: the service was asked already.
        const auto position = ReverseGeoPosition(image);
        IPTCLocation cached;
        if (batchError->empty())
            PreloadSingleJob(image, true, *server, place, &error);
        else if (const auto cache = ReverseGeoCache::Get();
                 cache && cache->Fetch(position->latitude, position->longitude,
                                       ReverseGeocodeContext(*server), cached))
            place = cached;
        if (!place) {
            outcome.result = kResultNotPossible;
            outcome.error =
                error.empty() ? "Reverse Geocode coordinate not found in local database cache." : error;
            return outcome;
        }
        outcome.json["place"] = placeJson(*place);
        if (options->dryRun) {
            outcome.line = placeText(*place) + " (not written)";
            return outcome;
        }
        IPTCRec record;
        if (const NRFErr err = NRFLoadIPTC(&image, &record); err != kNRFErrNone) {
            LUMO_LOG("ApplyReverseGeoData() couldn't load IPTC record for %s", image.m_path.c_str());
            return engineFailure(err, image.m_path);
        }
        const IPTCRec before = record;
        ApplyReverseGeoRecord(record, *place, *settings);
        if (record == before) {
            outcome.line = placeText(*place) + ", nothing to change";
            return outcome;
        }
        IPTCSaveReport report;
        if (const NRFErr err = DoSaveIPTC(&image, record, batch, &report); err != kNRFErrNone) {
            LUMO_LOG("ApplyReverseGeoData() couldn't save IPTC record for %s", image.m_path.c_str());
            return engineFailure(err, image.m_path, true);
        }
        outcome.line = placeText(*place);
        if (report.m_wroteSidecar) {
            outcome.sidecar = report.m_sidecarPath;
            outcome.json["sidecar"] = report.m_sidecarPath;
        }
        return outcome;
    };
    operation.batched = true;
    return runPhotoOperation(common, options->files, operation);
}

} // namespace

void addGeocodeCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action) {
    auto options = std::make_shared<GeocodeOptions>();
    CLI::App* command = lumo.add_subcommand(
        "geocode",
        "Write the place at each photo's GPS position (city, state, country ...) into its metadata");
    options->files.addTo(*command);
    command
        ->add_option("--server", options->server,
                     "Ask this online reverse-geocoding service (a URL) instead of the offline gazetteer")
        ->type_name("URL");
    command->add_flag("--never-overwrite", options->neverOverwrite, "Leave the fields that hold text alone");
    command
        ->add_option("--fields", options->fields,
                     "The fields to write, comma-separated: " + fieldNames() +
                         " (default: the saved settings, else City, State, Country and CountryCode)")
        ->type_name("FIELD,...")
        ->delimiter(',')
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    command->add_flag("--dry-run", options->dryRun, "Look the places up and show them; write nothing");
    command->callback([&common, &action, options, command] {
        options->serverGiven = command->count("--server") > 0;
        action = [&common, options] { return runGeocode(common, options); };
    });
}
