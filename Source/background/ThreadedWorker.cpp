#include "background/ThreadedWorker.h"

#include "app/LumoLog.h"
#include "background/ErrorReporter.h"
#include "background/ProgressDialogInterface.h"
#include "support/ProcessInfo.h"

#include <exception>

namespace {

bool retryableErrorRecorded() {
    const auto record = ErrorReporter::Recorder::Last();
    return record && record->canRetry;
}

} // namespace

CThreadedWorker::CThreadedWorker(std::unique_ptr<CWorker> worker, ProgressDialogInterface* progress,
                                 bool waitForCacheWorkers)
    : CProgressInfo(progress, true, waitForCacheWorkers), m_pWorker(std::move(worker)) {}

CThreadedWorker::~CThreadedWorker() {
    CancelAndJoin();
}

void CThreadedWorker::operator()() {
    ProgressDialogInterface& progress = *m_pProgressDlg;
    try {
        BeginBackgroundWork();
        RunSteps();
    } catch (const std::exception& e) {
        lumoLogAt("ThreadedWorker", __LINE__, "Unexpected exception in CThreadedWorker::operator() what: %s",
                  e.what());
        progress.SetStatus(ProgressDialogInterface::kStatusException);
    } catch (...) {
        lumoLogAt("ThreadedWorker", __LINE__, "Unexpected exception in CThreadedWorker::operator()");
        progress.SetStatus(ProgressDialogInterface::kStatusException);
    }
    try {
        EndBackgroundWork();
    } catch (...) {
        lumoLogAt("ThreadedWorker", __LINE__, "Unexpected exception in CThreadedWorker::operator()");
    }
    progress.SetFinished(true);
}

void CThreadedWorker::RunSteps() {
    ProgressDialogInterface& progress = *m_pProgressDlg;
    CWorker& worker = *m_pWorker;
    worker.m_pProgress = &progress;
    progress.SetTitle("Progress");
    // Work that is done, or cancelled, before its first step performs none.
    while (!progress.IsCancelled() && !worker.IsDone()) {
        std::string text;
        worker.GetStatusText(text);
        progress.SetMessage(text);
        progress.SetPercent(worker.GetPercent());
        // A cancel answer to the retry question has set status 1, which stays.
        if (!StepWithRetry() && !progress.IsCancelled())
            progress.SetStatus(ProgressDialogInterface::kStatusFailed);
        if (progress.IsCancelled())
            break;
        progress.SetPercent(worker.GetPercent());
    }
}

bool CThreadedWorker::StepWithRetry() {
    // An error recorded by an earlier unit says nothing about this one.
    ErrorReporter::Recorder::Clear();
    if (m_pWorker->DoStep())
        return true;
    const std::uint64_t self = static_cast<std::uint64_t>(lumo::currentThreadId());
    while (retryableErrorRecorded()) {
        const std::uint32_t reply = m_pProgressDlg->AskRetry(self);
        if (reply == ProgressDialogInterface::kReplyCancel)
            m_pProgressDlg->SetCancelled(true);
        if (reply != ProgressDialogInterface::kReplyRetry)
            break;
        ErrorReporter::Recorder::Clear();
        if (m_pWorker->DoStep())
            return true;
    }
    m_pWorker->SkipStep();
    return false;
}
