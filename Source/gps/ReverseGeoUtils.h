#pragma once

// Reverse geocoding: the place names at a photo's GPS position, asked of the catalog service
// ("revgeo_batch") for the positions the cache does not hold, and written into the photo's IPTC location
// fields by the user's apply settings.

#include "db/PreferenceKeys.h"
#include "metadata/IPTCRec.h"
#include "metadata/IPTCStructures.h"

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class NRFImageInfoRec;

// The user's reverse-geocoding apply settings, kept as one record under the preference
// "ReverseGeocodeSettings". The switches are in the order of the template's flags (kGeocodeCity ...).
struct ReverseGeocodeSettings {
    static constexpr const char* kSection = kPrefReverseGeocodeSettings;
    static constexpr std::array<const char*, 12> kNames = {
        "ApplyCity",         "ApplyLocation",         "ApplyState",         "ApplyCountry",
        "ApplyCountryCode",  "ApplyTakenSublocation", "ApplyTakenCity",     "ApplyTakenState",
        "ApplyTakenCountry", "ApplyTakenCountryCode", "ApplyLocationShown", "NeverOverwrite"};

    std::array<bool, 12> m_apply{};

    // From the preferences (all off when they are not open or hold no record); missing switches are off.
    static ReverseGeocodeSettings Load();
    // Into the preferences; false when they are not open.
    bool Save() const;
    // True when any field or the locations shown would be written.
    bool appliesAny() const;
};

// A position to look up.
struct GeoPosition {
    double latitude = 0, longitude = 0;
};

// The answer for one position: the place, or why there is none.
struct ReverseGeoAnswer {
    std::optional<IPTCLocation> place;
    std::string error;
};

// The context text of the cache key for a source: "offline" for the gazetteer of the catalog service
// (an empty server), else the server's URL.
std::string ReverseGeocodeContext(const std::string& server);

// The photo's position; nullopt when it has none.
std::optional<GeoPosition> ReverseGeoPosition(const NRFImageInfoRec& image);

// The batch preload: every position not cached is asked of the catalog service in one "revgeo_batch"
// request ("PreloadReverseGeocodeBatch::ProcessSelectedItems() queuing request of reverse-GPS data for
// %s." each), the answers are logged and stored in the cache. One answer per position, in order. False,
// with `error` beginning "While preloading a batch of GPS coordinates for reverse geocoding lookup an
// error occurred:", when the request itself fails (no service, no reply); per-position failures are in
// the answers.
bool PreloadReverseGeocodeBatch(const std::vector<GeoPosition>& positions, const std::string& server,
                                std::vector<ReverseGeoAnswer>& answers, std::string* error = nullptr);

// Preloading one photo: nothing when it has no position or `wanted` is off; the cached place when the
// cache holds it; otherwise one lookup, stored. `place` is set when there is one. False with `error`
// ("While preloading a single GPS coordinate for reverse geocoding lookup an error occurred: ...") when
// the lookup failed.
bool PreloadSingleJob(const NRFImageInfoRec& image, bool wanted, const std::string& server,
                      std::optional<IPTCLocation>& place, std::string* error = nullptr);

// Applies a place to a metadata record by the settings (the ten fields, never overwrite, the locations
// shown without duplicates).
void ApplyReverseGeoRecord(IPTCRec& record, const IPTCLocation& place,
                           const ReverseGeocodeSettings& settings);

// Loads the photo's metadata record, applies the place and saves it, the photo locked meanwhile. False
// with `error` set and logged ("ApplyReverseGeoData() couldn't load IPTC record for %s" / "...couldn't
// save IPTC record for %s").
bool ApplyReverseGeoData(const std::string& path, const IPTCLocation& place,
                         const ReverseGeocodeSettings& settings, std::string* error = nullptr);

// What happened to one photo of a batch apply.
struct ReverseGeoApplyResult {
    std::string path;
    std::optional<GeoPosition> position;
    std::optional<IPTCLocation> place;
    bool written = false;
    std::string error; // empty when written, or when the photo has no position (see position)
};

// Looks up and applies the place of each photo (preloading the batch first); `progress` is told
// "Setting reverse geocoding data for %zu of %zu selected items..." before each photo and may answer
// false to stop. `dryRun` looks up but writes nothing.
std::vector<ReverseGeoApplyResult>
ApplyReverseGeoBatch(const std::vector<std::string>& paths, const ReverseGeocodeSettings& settings,
                     const std::string& server, bool dryRun = false,
                     const std::function<bool(const std::string& message)>& progress = {});

// The country's name for a two- or three-letter ISO 3166 code (iso-codes' tables, current and former
// countries); empty, logged, when the code has another length ("TranslateCountryCode(), country code '%s'
// is neither two or three characters long") or is unknown ("TranslateCountryCode(), unknown country code
// '%s'").
std::string TranslateCountryCode(const std::string& code);

// Installs the template's geocoder (copy, save as, ingest, template apply): the place of a photo's
// position from the cache or the catalog service, the source named by the preference
// "ReverseGeocodeServer". Undone by RemoveReverseGeocoder().
void InstallReverseGeocoder();
void RemoveReverseGeocoder();
// Preloads the places of the photos for a run that applies a template (the m_reverseGeocode of the
// copy, save-as and ingest threads): true when every photo with a position has its place cached.
bool PreloadReverseGeocodeForPaths(const std::vector<std::string>& paths);
