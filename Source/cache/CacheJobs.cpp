#include "cache/CacheJobs.h"

#include "background/ProgressDialogInterface.h"
#include "cache/ThumbfileCache.h"
#include "db/LumoSortCache.h"

bool ClearThumbfileCacheJob::Perform(CProgressInfo&) {
    m_deleted = m_cache.Clear(
        m_thumbs, m_previews, [this](const std::string& status, std::size_t done, std::size_t total) {
            m_total = total;
            if (m_pProgress) {
                m_pProgress->SetMessage(status);
                m_pProgress->SetPercent(total == 0 ? 0 : static_cast<unsigned>(done * 100 / total));
                if (m_pProgress->IsCancelled())
                    return false;
            }
            return true;
        });
    return true;
}

bool LumoCachePurgeJob::Perform(CProgressInfo&) {
    if (m_pProgress)
        m_pProgress->SetMessage("Purging Sort Cache...");
    if (!LumoSortCache::isRunning())
        return false;
    LumoSortCache::purgeEntriesDaysOld(m_days);
    // The purge is posted; a fetch waits for every command posted before it, so this returns once the
    // purge is done.
    LumoSortCacheInfo ignored;
    LumoSortCache::GetSortInfoFor("/", ignored);
    if (m_pProgress)
        m_pProgress->SetPercent(100);
    return true;
}
