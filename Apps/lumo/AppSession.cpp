#include "AppSession.h"

#include "NRF/NRFService.h"
#include "TerminalPrompt.h"
#include "app/LumoPaths.h"
#include "cache/LumoCache.h"
#include "cache/ThumbfileCacheService.h"
#include "db/DBServices.h"
#include "dyn_platform/DynPlatform.h"
#include "fileops/RenameJournal.h"
#include "gps/ReverseGeoCache.h"
#include "metadata/PhotoMetadata.h"
#include "variables/CodeReplacements.h"

#include <exception>

AppSession::AppSession(const CommonOptions& options, unsigned services) {
    try {
        LumoPaths::initialise(LocationInputs{options.settingsFolder, options.cacheFolder, {}});
    } catch (const std::exception& e) {
        m_error = e.what();
        return;
    }
    setMessageBoxHandler(makeTerminalMessageBox(options));
    // The disk cache lives where the "CachePath" preference says: the preferences open first.
    if (services & (kThumbfileCacheService | kCodeReplacementsService | kReverseGeocodeService))
        services |= kPreferencesService;
    if (services & kPreferencesService)
        addPreferencesService(m_app);
    if (services & kSortCacheService)
        addSortCacheService(m_app);
    if (services & kCatalogService)
        addDynPlatformService(m_app);
    if (services & kImageEngineService) {
        addImageEngineService(m_app);
        // The metadata layer: the XMP toolkit, and the writer of a photo's state into its metadata.
        m_app.startupSteps().add("CIPTCStationeryLists::InitializeIPTCStationeryLists()",
                                 [] { return IPTCMetadataInitialize() == 0; });
    }
    if (services & kThumbfileCacheService)
        addThumbfileCacheService(m_app);
    if (services & kImageCacheService)
        addImageCacheService(m_app);
    if (services & kCodeReplacementsService)
        addCodeReplacementsService(m_app);
    if (services & kReverseGeocodeService)
        addReverseGeoCacheService(m_app);
    // A rename that a kill or a power loss cut short is undone before anything else looks at its photos.
    addRenameRecoveryService(m_app);
    m_initialised = true;
    m_started = m_app.InitInstance();
    // There is no folder picker on a terminal: the image cache folder's sentence ends the command.
    if (!m_started && services & kThumbfileCacheService)
        m_error = thumbfileCacheStartupError();
    if (!m_started && m_error.empty())
        m_error = "start-up failed; the log " + LumoPaths::logFilePath() + " says why";
}

AppSession::~AppSession() {
    if (!m_initialised)
        return;
    m_app.ExitInstance();
    setMessageBoxHandler({});
}
