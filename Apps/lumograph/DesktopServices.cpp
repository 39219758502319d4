#include "DesktopServices.h"

#include "NRF/NRFService.h"
#include "app/LumoApp.h"
#include "cache/LumoCache.h"
#include "cache/ThumbfileCacheService.h"
#include "contactsheet/ContactSheetSortManager.h"
#include "db/DBServices.h"
#include "dyn_platform/DynPlatform.h"
#include "fileops/RenameJournal.h"
#include "metadata/PhotoMetadata.h"
#include "variables/CodeReplacements.h"

void addDesktopServices(CLumoApp& app) {
    addPreferencesService(app);
    addSortCacheService(app);
    addDynPlatformService(app);
    addImageEngineService(app);
    app.startupSteps().add("CIPTCStationeryLists::InitializeIPTCStationeryLists()",
                           [] { return IPTCMetadataInitialize() == 0; });
    addThumbfileCacheService(app);
    addImageCacheService(app);
    addCodeReplacementsService(app);
    addContactSheetSortService(app);
    addRenameRecoveryService(app);
}
