#include "background/ProgressInfo.h"

#include "app/LumoLog.h"
#include "background/AppBusy.h"
#include "background/ImageCachePauser.h"
#include "background/ProgressDialogInterface.h"

#include <exception>
#include <utility>

CProgressInfo::CProgressInfo(ProgressDialogInterface* progress, bool pauseCacheAndMarkBusy,
                             bool waitForCacheWorkers)
    : m_pProgressDlg(progress), m_bPauseCacheAndMarkBusy(pauseCacheAndMarkBusy),
      m_bWaitForCacheWorkers(waitForCacheWorkers) {}

CProgressInfo::~CProgressInfo() {
    Join();
}

bool CProgressInfo::Start() {
    std::lock_guard lock(m_threadMutex);
    if (m_started)
        return false;
    if (!m_pProgressDlg) {
        LUMO_LOG("CProgressInfo::Start() no progress window set");
        return false;
    }
    m_started = true;
    try {
        m_thread = lumo::NamedThread(ThreadName(), lumo::kBackgroundThreadStackSize, [this] { (*this)(); });
    } catch (const std::exception& e) {
        LUMO_LOG("CProgressInfo::Start() %s", e.what());
        m_pProgressDlg->SetStatus(ProgressDialogInterface::kStatusException);
        m_pProgressDlg->SetFinished(true);
        return false;
    }
    return true;
}

void CProgressInfo::Join() {
    std::lock_guard lock(m_threadMutex);
    if (m_thread.joinable())
        m_thread.join();
}

void CProgressInfo::BeginBackgroundWork() {
    if (!m_bPauseCacheAndMarkBusy)
        return;
    if (ImageCachePauser* cache = imageCachePauser()) {
        cache->pause(m_bWaitForCacheWorkers);
        m_pPausedCache = cache;
    }
    MarkAppBusy();
    m_markedBusy = true;
}

void CProgressInfo::EndBackgroundWork() {
    // The busy mark is cleared even when the cache's resume throws.
    struct BusyClearer {
        bool marked;
        ~BusyClearer() {
            if (marked)
                ClearAppBusy();
        }
    } clearer{std::exchange(m_markedBusy, false)};
    if (ImageCachePauser* cache = std::exchange(m_pPausedCache, nullptr))
        cache->resume();
}
