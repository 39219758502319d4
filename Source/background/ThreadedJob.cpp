#include "background/ThreadedJob.h"

#include "app/LumoLog.h"
#include "background/ProgressDialogInterface.h"

CThreadedJob::CThreadedJob(std::unique_ptr<CJob> job, ProgressDialogInterface* progress,
                           bool pauseCacheAndMarkBusy, bool waitForCacheWorkers)
    : CProgressInfo(progress, pauseCacheAndMarkBusy, waitForCacheWorkers), m_pJob(std::move(job)) {}

CThreadedJob::~CThreadedJob() {
    CancelAndJoin();
}

void CThreadedJob::operator()() {
    ProgressDialogInterface& progress = *m_pProgressDlg;
    try {
        BeginBackgroundWork();
        progress.SetTitle("Progress");
        m_pJob->m_pProgress = &progress;
        if (!m_pJob->Perform(*this))
            progress.SetStatus(ProgressDialogInterface::kStatusFailed);
    } catch (...) {
        lumoLogAt("ThreadedJob", __LINE__, "Unexpected exception in CThreadedJob::operator()");
        progress.SetStatus(ProgressDialogInterface::kStatusException);
    }
    try {
        EndBackgroundWork();
    } catch (...) {
        lumoLogAt("ThreadedJob", __LINE__, "Unexpected exception in CThreadedJob::operator()");
    }
    progress.SetFinished(true);
}
