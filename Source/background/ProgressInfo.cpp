#include "background/ProgressInfo.h"

#include "app/LumoLog.h"
#include "app/UIThread.h"
#include "background/AppBusy.h"
#include "background/ErrorReporter.h"
#include "background/ImageCachePauser.h"
#include "background/ProgressDialogInterface.h"

#include <chrono>
#include <exception>
#include <utility>

CProgressInfo::CProgressInfo(ProgressDialogInterface* progress, bool pauseCacheAndMarkBusy,
                             bool waitForCacheWorkers)
    : m_pProgressDlg(progress), m_bPauseCacheAndMarkBusy(pauseCacheAndMarkBusy),
      m_bWaitForCacheWorkers(waitForCacheWorkers) {}

CProgressInfo::~CProgressInfo() {
    CancelAndJoin();
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
        m_thread = lumo::NamedThread(ThreadName(), lumo::kBackgroundThreadStackSize, [this] {
            (*this)();
            {
                std::lock_guard end(m_endMutex);
                m_ended = true;
            }
            m_bodyEnded.notify_all();
        });
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
    if (!m_thread.joinable())
        return;
    if (isUIThread())
        ServeUntilEnded();
    m_thread.join();
}

void CProgressInfo::CancelAndJoin() {
    {
        std::lock_guard lock(m_threadMutex);
        if (m_thread.joinable() && m_pProgressDlg && m_pProgressDlg->CancelUnlessFinished())
            LUMO_LOG("CProgressInfo: %s cancelled: its owner stopped waiting for it", ThreadName());
    }
    Join();
}

void CProgressInfo::ServeUntilEnded() {
    constexpr auto kServeInterval = std::chrono::milliseconds(10);
    std::unique_lock end(m_endMutex);
    while (!m_ended) {
        end.unlock();
        if (m_pProgressDlg)
            ErrorReporter::AnswerPendingQuestion(*m_pProgressDlg);
        runUIThreadTasks();
        end.lock();
        m_bodyEnded.wait_for(end, kServeInterval, [this] { return m_ended; });
    }
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
