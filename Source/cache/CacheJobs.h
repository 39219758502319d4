#pragma once

// The background jobs of the image caches, run by a CThreadedJob with its progress window.

#include "background/ThreadedJob.h"

#include <cstddef>
#include <cstdint>

class CThumbfileCache;

// Deletes the disk cache's entries of the chosen kinds, reporting each of the cache's two steps as the
// message and the files deleted as the percent; stops when the window is cancelled.
class ClearThumbfileCacheJob : public CJob {
public:
    ClearThumbfileCacheJob(CThumbfileCache& cache, bool thumbs, bool previews)
        : m_cache(cache), m_thumbs(thumbs), m_previews(previews) {}
    bool Perform(CProgressInfo& operation) override;

    std::size_t deleted() const { return m_deleted; }
    std::size_t total() const { return m_total; }

private:
    CThumbfileCache& m_cache;
    bool m_thumbs;
    bool m_previews;
    std::size_t m_deleted = 0;
    std::size_t m_total = 0;
};

// Forgets the sort cache's entries stored `days` × 24 hours ago or earlier ("Purging Sort Cache...")
// and returns when the sort cache has done it. The sort cache must be running.
class LumoCachePurgeJob : public CJob {
public:
    explicit LumoCachePurgeJob(int days) : m_days(days) {}
    bool Perform(CProgressInfo& operation) override;

private:
    int m_days;
};
