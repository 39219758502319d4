#pragma once

#include "background/ProgressInfo.h"

#include <memory>
#include <string>

// Stepwise work: one unit per DoStep(). m_pProgress is set before the first step. A failing step
// records its error with ErrorReporter::Recorder (with whether a retry makes sense) and answers false.
// A worker may keep a unit that failed with a retryable error current, so that the next DoStep() (the
// retry) performs it again; it then moves past it in SkipStep(), which the frame calls when the user
// did not choose to retry.
class CWorker {
public:
    virtual ~CWorker() = default;
    // Performs one unit; true when it succeeded.
    virtual bool DoStep() = 0;
    // True when no units remain.
    virtual bool IsDone() = 0;
    // 0 to 100.
    virtual unsigned GetPercent() = 0;
    // Describes the current unit.
    virtual void GetStatusText(std::string& text) = 0;
    // Moves past a unit kept current after a failure; nothing by default.
    virtual void SkipStep() {}

    ProgressDialogInterface* m_pProgress = nullptr;
};

// Drives a CWorker on its own thread: pauses the image cache and marks the application busy, then
// steps until the work is done or cancelled. A failed step with a retryable recorded error is put to
// the user: reply 3 repeats it, reply 2 cancels the operation (status 1); any other failure sets status
// 6 and the loop goes on. An exception ends the work with status 8. The progress window is always set
// finished at the end.
class CThreadedWorker : public CProgressInfo {
public:
    CThreadedWorker(std::unique_ptr<CWorker> worker, ProgressDialogInterface* progress = nullptr,
                    bool waitForCacheWorkers = false);
    ~CThreadedWorker() override;

    CWorker& GetWorker() { return *m_pWorker; }

protected:
    void operator()() override;
    const char* ThreadName() const override { return "ThreadedWorker"; }

private:
    void RunSteps();
    // Performs the current unit, retrying while the user asks to; true when it succeeded.
    bool StepWithRetry();

    std::unique_ptr<CWorker> m_pWorker;
};
