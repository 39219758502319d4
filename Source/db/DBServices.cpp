#include "db/DBServices.h"

#include "app/LumoApp.h"
#include "app/LumoPaths.h"
#include "db/LumoSortCache.h"
#include "db/PreferenceKeys.h"
#include "db/Preferences.h"

void addPreferencesService(CLumoApp& app) {
    app.startupSteps().add("CPreferences::GetPreferences", [] {
        if (!CPreferences::GetPreferences())
            return false;
        // The image caches follow the "CachePath" preference from here on; the log stays where it is.
        if (const auto preferences = CPreferences::instance())
            LumoPaths::useCachePathPreference(preferences->getString(kPrefCachePath, {}));
        return true;
    });
    app.shutdownSteps().add("Closing preferences", [] {
        CPreferences::ClosePreferences();
        return true;
    });
}

void addSortCacheService(CLumoApp& app) {
    app.startupSteps().add("LumoSortCache::InitSortCache()", [] {
        LumoSortCache::InitSortCache(LumoPaths::imageCacheFolder());
        const auto preferences = CPreferences::instance();
        if (preferences && preferences->getBool(kPrefSortCacheCheckDate, kPrefSortCacheCheckDateDefault))
            LumoSortCache::purgeEntriesDaysOld(
                static_cast<int>(preferences->getInt(kPrefSortCacheDays, kPrefSortCacheDaysDefault)));
        return true;
    });
    app.shutdownSteps().add("LumoSortCache::TerminateSortCache", [] {
        LumoSortCache::TerminateSortCache();
        return true;
    });
}
