#pragma once

#include "LumoCli.h"
#include "app/LumoApp.h"

#include <string>

// The services a command can ask for. Each command starts only those it uses, so that quick commands
// stay quick; they still start and stop in the application's fixed order.
enum AppServices : unsigned {
    kPreferencesService = 1u << 0,
    kSortCacheService = 1u << 1,
    kCatalogService = 1u << 2, // the catalog service process
    kImageEngineService = 1u << 3,
    kThumbfileCacheService = 1u << 4,   // the disk cache of thumbnails and previews (with the preferences)
    kImageCacheService = 1u << 5,       // the image cache in memory and its workers
    kCodeReplacementsService = 1u << 6, // the code replacement tables the preferences name (with them)
    kTransferService = 1u << 7,         // running transfer queues stopped and the upload cache cleaned up
    kReverseGeocodeService =
        1u << 8, // the geocoding cache and the template's geocoder (with the preferences)
    kAllServices = ~0u,
};

// What a command that may apply the metadata template needs for the template's reverse geocoding: the
// catalog service that answers place names, and the geocoding cache with the template's geocoder.
inline constexpr unsigned kGeocodingServices = kCatalogService | kReverseGeocodeService;

// The application around one command: fixes the locations from the common options, installs the
// terminal's question handler, starts the services asked for, and shuts them down again when it goes.
class AppSession {
public:
    explicit AppSession(const CommonOptions& options, unsigned services = kAllServices);
    ~AppSession();
    AppSession(const AppSession&) = delete;
    AppSession& operator=(const AppSession&) = delete;

    // False when start-up failed; error() then says why.
    bool started() const { return m_started; }
    const std::string& error() const { return m_error; }
    CLumoApp& app() { return m_app; }

private:
    CLumoApp m_app;
    bool m_initialised = false;
    bool m_started = false;
    std::string m_error;
};
