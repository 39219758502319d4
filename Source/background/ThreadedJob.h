#pragma once

#include "background/ProgressInfo.h"

#include <memory>

// One-shot work. m_pProgress is set before Perform().
class CJob {
public:
    virtual ~CJob() = default;
    // Does the whole work for `operation`; true on success.
    virtual bool Perform(CProgressInfo& operation) = 0;

    ProgressDialogInterface* m_pProgress = nullptr;
};

// Runs a CJob on its own thread. A false result sets status 6, an exception status 8; the progress
// window is always set finished at the end.
class CThreadedJob : public CProgressInfo {
public:
    CThreadedJob(std::unique_ptr<CJob> job, ProgressDialogInterface* progress = nullptr,
                 bool pauseCacheAndMarkBusy = false, bool waitForCacheWorkers = false);
    ~CThreadedJob() override;

    CJob& GetJob() { return *m_pJob; }

protected:
    void operator()() override;
    const char* ThreadName() const override { return "ThreadedJob"; }

private:
    std::unique_ptr<CJob> m_pJob;
};
