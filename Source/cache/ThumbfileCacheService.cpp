#include "cache/ThumbfileCacheService.h"

#include "app/LumoApp.h"
#include "app/LumoLog.h"
#include "app/LumoPaths.h"
#include "cache/ThumbfileCache.h"

#include <mutex>

namespace {

std::mutex g_errorMutex;
std::string g_startupError;

void setStartupError(std::string error) {
    std::lock_guard lock(g_errorMutex);
    g_startupError = std::move(error);
}

} // namespace

std::string thumbfileCacheStartupError() {
    std::lock_guard lock(g_errorMutex);
    return g_startupError;
}

void addThumbfileCacheService(CLumoApp& app) {
    app.startupSteps().add("CThumbfileCache::GetThumbfileCache()", [] {
        setStartupError({});
        // The preferences, open by now, may have moved the folder ("CachePath").
        const std::string folder = LumoPaths::imageCacheFolder();
        std::string error;
        if (CThumbfileCache::OpenThumbfileCache(folder, error))
            return true;
        // The desktop asks for another folder here; a front end without a picker ends start-up and
        // shows the sentence itself.
        LUMO_LOG("%s", error.c_str());
        setStartupError(error);
        return false;
    });
    app.startupSteps().add("Check for valid thumbfile cache", [] {
        const CThumbfileCache* cache = CThumbfileCache::GetThumbfileCache();
        if (!cache)
            return false;
        // Counting walks every folder of the cache: only when someone reads the count, since the
        // terminal front end starts for every command.
        if (isDebugFlagOn(DebugFlag::LUMOCACHE_LOGGING)) {
            const CThumbfileCache::Counts counts = cache->Count();
            LUMO_LOG("cache: found %d disk cache entries, %d usable", static_cast<int>(counts.entries),
                     static_cast<int>(counts.usable));
        }
        return true;
    });
    app.shutdownSteps().add("Closing Thumbfile cache", [] {
        CThumbfileCache::CloseThumbfileCache();
        return true;
    });
}
