#include "gps/ReverseGeoUtils.h"

#include "NRF/NRF.h"
#include "app/LumoLog.h"
#include "db/PreferenceKeys.h"
#include "db/Preferences.h"
#include "dyn_platform/CatalogProtocol.h"
#include "dyn_platform/DynPlatform.h"
#include "gps/ReverseGeoCache.h"
#include "metadata/MetadataTemplate.h"
#include "metadata/PhotoMetadata.h"
#include "support/PhotoLocks.h"
#include "support/TextUtils.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <exception>
#include <fstream>
#include <map>
#include <mutex>
#include <utility>

namespace {

constexpr char kBatchErrorPrefix[] =
    "While preloading a batch of GPS coordinates for reverse geocoding lookup an error occurred:";
constexpr char kSingleErrorPrefix[] =
    "While preloading a single GPS coordinate for reverse geocoding lookup an error occurred:";
constexpr char kAnswerError[] =
    "Error finding address information from GPS coordinate. Please verify GPS coordinate is accurate.";
constexpr char kNotCached[] = "Reverse Geocode coordinate not found in local database cache.";

IPTCRec stationeryFor(const ReverseGeocodeSettings& settings) {
    IPTCRec stationery;
    stationery.m_reverseGeocodingApply = settings.m_apply;
    return stationery;
}

bool validPosition(const GeoPosition& position) {
    return std::isfinite(position.latitude) && std::isfinite(position.longitude) &&
           std::fabs(position.latitude) <= 90 && std::fabs(position.longitude) <= 180;
}

// One answer of the service: the place hash, or a hash (or text) naming the error.
ReverseGeoAnswer answerFrom(const CILA::VObject& value) {
    ReverseGeoAnswer answer;
    const auto text = [&](const char* name) {
        const CILA::VObject* entry = value.fetch(name);
        return entry && entry->dataType() == CILA::VObject::DT_STR ? entry->getstr() : std::string();
    };
    if (value.dataType() != CILA::VObject::DT_HASH || value.fetch("error")) {
        answer.error = value.dataType() == CILA::VObject::DT_HASH  ? text("error")
                       : value.dataType() == CILA::VObject::DT_STR ? value.getstr()
                                                                   : std::string("no answer");
        if (answer.error.empty())
            answer.error = "no answer";
        return answer;
    }
    IPTCLocation place;
    place.m_sublocation = text("lo");
    place.m_city = text("ct");
    place.m_provinceState = text("st");
    place.m_countryName = text("cy");
    place.m_countryCode = text("cc");
    if (place.m_countryName.empty() && !place.m_countryCode.empty())
        place.m_countryName = TranslateCountryCode(place.m_countryCode);
    answer.place = std::move(place);
    return answer;
}

// The list of answers in the reply: the reply's one argument when it is a list, else the arguments.
const CILA::VObject::Vector* answersIn(const CILA::VObject& results) {
    if (results.dataType() != CILA::VObject::DT_VECTOR)
        return nullptr;
    const CILA::VObject::Vector& all = results.getvec();
    if (all.size() == 1 && all.front().dataType() == CILA::VObject::DT_VECTOR)
        return &all.front().getvec();
    return &all;
}

std::string currentServer() {
    if (const auto preferences = CPreferences::instance())
        return preferences->getString(kPrefReverseGeocodeServer, "");
    return {};
}

// The country tables of iso-codes, read once: alpha-2 and alpha-3 codes (upper case) to names.
const std::map<std::string, std::string>& countryTable() {
    static const std::map<std::string, std::string> table = [] {
        std::map<std::string, std::string> codes;
        const char* folder = std::getenv("LUMO_ISO_CODES_JSON");
        const std::string base = folder && *folder ? folder : "/usr/share/iso-codes/json";
        // Former countries first: a current country with a code once used by another wins.
        for (const auto& [file, list] :
             {std::pair{"/iso_3166-3.json", "3166-3"}, {"/iso_3166-1.json", "3166-1"}}) {
            std::ifstream in(base + file);
            if (!in) {
                LUMO_LOG("TranslateCountryCode() cannot read %s%s", base.c_str(), file);
                continue;
            }
            try {
                const nlohmann::json json = nlohmann::json::parse(in);
                for (const auto& entry : json.at(list)) {
                    if (!entry.is_object() || !entry.contains("name") || !entry["name"].is_string())
                        continue;
                    const std::string name = entry.contains("common_name") && entry["common_name"].is_string()
                                                 ? entry["common_name"].get<std::string>()
                                                 : entry["name"].get<std::string>();
                    for (const char* key : {"alpha_2", "alpha_3"})
                        if (entry.contains(key) && entry[key].is_string())
                            codes[entry[key].get<std::string>()] = name;
                }
            } catch (const std::exception& e) {
                LUMO_LOG("TranslateCountryCode() cannot read %s%s: %s", base.c_str(), file, e.what());
            }
        }
        return codes;
    }();
    return table;
}

std::mutex g_installMutex;
bool g_installed = false;

} // namespace

// -- settings

ReverseGeocodeSettings ReverseGeocodeSettings::Load() {
    ReverseGeocodeSettings settings;
    CILA::VObject record;
    const auto preferences = CPreferences::instance();
    if (!preferences || !preferences->getValue(kSection, record) ||
        record.dataType() != CILA::VObject::DT_HASH)
        return settings;
    for (std::size_t i = 0; i < kNames.size(); ++i)
        if (const CILA::VObject* value = record.fetch(kNames[i]))
            settings.m_apply[i] = value->getbool();
    return settings;
}

bool ReverseGeocodeSettings::Save() const {
    const auto preferences = CPreferences::instance();
    if (!preferences)
        return false;
    CILA::VObject record = CILA::VObject::makeHash();
    for (std::size_t i = 0; i < kNames.size(); ++i)
        record.store(kNames[i], CILA::VObject(m_apply[i]));
    return preferences->setValue(kSection, record);
}

bool ReverseGeocodeSettings::appliesAny() const {
    for (std::size_t i = 0; i < kGeocodeNeverOverwrite; ++i)
        if (m_apply[i])
            return true;
    return false;
}

// -- lookups

std::string ReverseGeocodeContext(const std::string& server) {
    return server.empty() ? "offline" : server;
}

std::optional<GeoPosition> ReverseGeoPosition(const NRFImageInfoRec& image) {
    if (!image.m_hasGPS)
        return std::nullopt;
    const GeoPosition position{image.m_latitude, image.m_longitude};
    if (!validPosition(position))
        return std::nullopt;
    return position;
}

bool PreloadReverseGeocodeBatch(const std::vector<GeoPosition>& positions, const std::string& server,
                                std::vector<ReverseGeoAnswer>& answers, std::string* error) {
    answers.assign(positions.size(), {});
    const std::string context = ReverseGeocodeContext(server);
    const auto cache = ReverseGeoCache::Get();
    // The distinct keys not cached, each asked once, and the positions waiting for each.
    std::map<std::string, std::vector<std::size_t>> waiting;
    std::vector<std::string> order;
    CILA::VObject list = CILA::VObject::makeVector();
    for (std::size_t i = 0; i < positions.size(); ++i) {
        const GeoPosition& position = positions[i];
        if (!validPosition(position)) {
            answers[i].error = kAnswerError;
            continue;
        }
        IPTCLocation place;
        if (cache && cache->Fetch(position.latitude, position.longitude, context, place)) {
            answers[i].place = std::move(place);
            continue;
        }
        const std::string key = ReverseGeoCache::MakeKey(position.latitude, position.longitude, context);
        auto [entry, added] = waiting.try_emplace(key);
        entry->second.push_back(i);
        if (!added)
            continue;
        LUMO_LOG(
            "PreloadReverseGeocodeBatch::ProcessSelectedItems() queuing request of reverse-GPS data for %s.",
            key.c_str());
        order.push_back(key);
        CILA::VObject pair = CILA::VObject::makeVector();
        pair.append(position.latitude);
        pair.append(position.longitude);
        list.append(std::move(pair));
    }
    if (order.empty())
        return true;

    const auto fail = [&](const std::string& why) {
        const std::string text = std::string(kBatchErrorPrefix) + " " + why;
        LUMO_LOG("%s", text.c_str());
        for (const auto& [key, indexes] : waiting)
            for (const std::size_t i : indexes)
                answers[i].error = text;
        if (error)
            *error = text;
        return false;
    };
    DynPlatform::Reply reply;
    try {
        CILA::VObject options = CILA::VObject::makeHash();
        options.store("server", CILA::VObject(server));
        CILA::VObject args = CILA::VObject::makeVector();
        args.append(std::move(list));
        args.append(std::move(options));
        reply = DynPlatform::instance().request(DynProtocol::kRevGeoBatch, args);
    } catch (const std::exception& e) {
        return fail(lumo::formatString("Exception while loading reverse geocode information: %s", e.what()));
    }
    if (!reply.ok)
        return fail(reply.error.empty() ? std::string("the catalog service did not answer") : reply.error);
    const CILA::VObject::Vector* got = answersIn(reply.results);
    if (!got || got->size() != order.size())
        return fail(lumo::formatString("the catalog service answered %zu places for %zu positions",
                                       got ? got->size() : std::size_t{0}, order.size()));

    for (std::size_t k = 0; k < order.size(); ++k) {
        ReverseGeoAnswer answer;
        try {
            answer = answerFrom((*got)[k]);
        } catch (const std::exception& e) {
            answer.error =
                lumo::formatString("Exception while loading reverse geocode information: %s", e.what());
            LUMO_LOG("%s", answer.error.c_str());
        }
        const std::vector<std::size_t>& indexes = waiting[order[k]];
        if (answer.place) {
            const IPTCLocation& place = *answer.place;
            LUMO_LOG("PreloadReverseGeocodeBatch::ProcessBatch() received City:%s, Location:%s, State:%s, "
                     "Country:%s, CountryCode:%s",
                     place.m_city.c_str(), place.m_sublocation.c_str(), place.m_provinceState.c_str(),
                     place.m_countryName.c_str(), place.m_countryCode.c_str());
            const GeoPosition& position = positions[indexes.front()];
            if (cache)
                cache->Store(position.latitude, position.longitude, context, place);
        } else {
            LUMO_LOG("Error returned instead of reverse geolocation data in "
                     "PreloadReverseGeocodeBatch::ProcessBatch()");
            LUMO_LOG("PreloadReverseGeocodeBatch::ProcessBatch() %s: %s", order[k].c_str(),
                     answer.error.c_str());
            answer.error = kAnswerError;
        }
        for (const std::size_t i : indexes)
            answers[i] = answer;
    }
    if (cache)
        cache->Commit();
    return true;
}

bool PreloadSingleJob(const NRFImageInfoRec& image, bool wanted, const std::string& server,
                      std::optional<IPTCLocation>& place, std::string* error) {
    place.reset();
    const std::optional<GeoPosition> position = ReverseGeoPosition(image);
    if (!position) {
        LUMO_LOG("ReverseGeoUtils::PreloadSingle() item does not have GPS coordinates.");
        return true;
    }
    if (!wanted)
        return true;
    const std::string context = ReverseGeocodeContext(server);
    if (const auto cache = ReverseGeoCache::Get()) {
        IPTCLocation cached;
        if (cache->Fetch(position->latitude, position->longitude, context, cached)) {
            LUMO_LOG("ReverseGeoUtils::PreloadSingle() reverse geocoding cache contains data for (%f, %f)",
                     position->latitude, position->longitude);
            place = std::move(cached);
            return true;
        }
    }
    std::vector<ReverseGeoAnswer> answers;
    std::string why;
    if (!PreloadReverseGeocodeBatch({*position}, server, answers, &why)) {
        // The batch's own prefix gives way to the single preload's.
        if (why.rfind(kBatchErrorPrefix, 0) == 0)
            why.erase(0, std::string(kBatchErrorPrefix).size() + 1);
        if (error)
            *error = std::string(kSingleErrorPrefix) + " " + why;
        return false;
    }
    if (!answers.front().place) {
        if (error)
            *error = answers.front().error;
        return false;
    }
    place = std::move(answers.front().place);
    return true;
}

// -- applying

void ApplyReverseGeoRecord(IPTCRec& record, const IPTCLocation& place,
                           const ReverseGeocodeSettings& settings) {
    IPTCApplyReverseGeocoding(stationeryFor(settings), record, place);
}

bool ApplyReverseGeoData(const std::string& path, const IPTCLocation& place,
                         const ReverseGeocodeSettings& settings, std::string* error) {
    const auto failed = [&](const char* format) {
        LUMO_LOG(format, path.c_str());
        if (error) {
            *error = lumo::formatString(format, path.c_str());
            if (const std::string& engine = NRFGetErrorText(); !engine.empty())
                *error += ": " + engine;
        }
        return false;
    };
    lumo::PhotoLocks locks;
    locks.lock(path, [] {});
    NRFImageInfoRef image;
    NRFFileType type = 0;
    NRFErr err = NRFGetType(path.c_str(), &type, false);
    if (err == kNRFErrNone)
        err = NRFOpenImage(path.c_str(), type, &image);
    if (err == kNRFErrNone)
        err = NRFGetImageInfo(image.get());
    IPTCRec record;
    if (err == kNRFErrNone)
        err = NRFLoadIPTC(image.get(), &record);
    if (err != kNRFErrNone) {
        if (image)
            NRFCloseImage(&image);
        return failed("ApplyReverseGeoData() couldn't load IPTC record for %s");
    }
    ApplyReverseGeoRecord(record, place, settings);
    err = DoSaveIPTC(image.get(), record);
    NRFCloseImage(&image);
    if (err != kNRFErrNone)
        return failed("ApplyReverseGeoData() couldn't save IPTC record for %s");
    return true;
}

std::vector<ReverseGeoApplyResult>
ApplyReverseGeoBatch(const std::vector<std::string>& paths, const ReverseGeocodeSettings& settings,
                     const std::string& server, bool dryRun,
                     const std::function<bool(const std::string&)>& progress) {
    std::vector<ReverseGeoApplyResult> results(paths.size());
    std::vector<GeoPosition> positions;
    std::vector<std::size_t> located;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        ReverseGeoApplyResult& result = results[i];
        result.path = paths[i];
        NRFImageInfoRef image;
        NRFFileType type = 0;
        NRFErr err = NRFGetType(paths[i].c_str(), &type, false);
        if (err == kNRFErrNone)
            err = NRFOpenImage(paths[i].c_str(), type, &image);
        if (err == kNRFErrNone)
            err = NRFGetImageInfo(image.get());
        if (err != kNRFErrNone) {
            result.error = NRFGetErrorText();
            if (result.error.empty())
                result.error = lumo::formatString("cannot read the photo (error %d)", static_cast<int>(err));
        } else if ((result.position = ReverseGeoPosition(*image))) {
            positions.push_back(*result.position);
            located.push_back(i);
        } else {
            LUMO_LOG("ReverseGeoUtils::PreloadSingle() item does not have GPS coordinates.");
        }
        if (image)
            NRFCloseImage(&image);
    }
    std::vector<ReverseGeoAnswer> answers;
    PreloadReverseGeocodeBatch(positions, server, answers);
    for (std::size_t k = 0; k < located.size(); ++k) {
        ReverseGeoApplyResult& result = results[located[k]];
        if (progress &&
            !progress(lumo::formatString("Setting reverse geocoding data for %zu of %zu selected items...",
                                         k + 1, located.size())))
            break;
        if (!answers[k].place) {
            result.error = answers[k].error.empty() ? kNotCached : answers[k].error;
            continue;
        }
        result.place = answers[k].place;
        if (dryRun)
            continue;
        result.written = ApplyReverseGeoData(result.path, *result.place, settings, &result.error);
    }
    return results;
}

// -- country codes

std::string TranslateCountryCode(const std::string& code) {
    if (code.size() != 2 && code.size() != 3) {
        LUMO_LOG("TranslateCountryCode(), country code '%s' is neither two or three characters long",
                 code.c_str());
        return {};
    }
    std::string upper = code;
    for (char& c : upper)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    const auto& table = countryTable();
    if (const auto found = table.find(upper); found != table.end())
        return found->second;
    LUMO_LOG("TranslateCountryCode(), unknown country code '%s'", code.c_str());
    return {};
}

// -- the template's geocoder

void InstallReverseGeocoder() {
    const std::lock_guard lock(g_installMutex);
    IPTCSetReverseGeocoder([](const NRFImageInfoRec& image) -> std::optional<IPTCLocation> {
        std::optional<IPTCLocation> place;
        std::string error;
        if (!PreloadSingleJob(image, true, currentServer(), place, &error))
            LUMO_LOG("%s", error.c_str());
        return place;
    });
    g_installed = true;
}

void RemoveReverseGeocoder() {
    const std::lock_guard lock(g_installMutex);
    if (g_installed)
        IPTCSetReverseGeocoder({});
    g_installed = false;
}

bool PreloadReverseGeocodeForPaths(const std::vector<std::string>& paths) {
    std::vector<GeoPosition> positions;
    for (const std::string& path : paths) {
        NRFImageInfoRef image;
        NRFFileType type = 0;
        NRFErr err = NRFGetType(path.c_str(), &type, false);
        if (err == kNRFErrNone)
            err = NRFOpenImage(path.c_str(), type, &image);
        if (err == kNRFErrNone)
            err = NRFGetImageInfo(image.get());
        if (err == kNRFErrNone)
            if (const auto position = ReverseGeoPosition(*image))
                positions.push_back(*position);
        if (image)
            NRFCloseImage(&image);
    }
    std::vector<ReverseGeoAnswer> answers;
    std::string error;
    if (!PreloadReverseGeocodeBatch(positions, currentServer(), answers, &error))
        return false;
    for (const ReverseGeoAnswer& answer : answers)
        if (!answer.place)
            return false;
    return true;
}
