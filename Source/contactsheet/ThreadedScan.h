#pragma once

// The scan worker: scans a contact sheet's folders on a thread of its own (a background operation)
// under the process-wide scan lock, then hands the result to the caller's callback on that thread.

#include "background/ThreadedJob.h"
#include "contactsheet/FolderScan.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

class ProgressDialogInterface;

class CThreadedScan : public CThreadedJob {
public:
    // Called on the scan's thread with the result; not called when the scan was cancelled first.
    using Done = std::function<void(FolderScanResult& result)>;

    // `progress` may be null: the scan then reports to a window of its own that nobody shows.
    CThreadedScan(std::vector<std::string> folders, bool includeProxies, Done done,
                  ProgressDialogInterface* progress = nullptr);
    ~CThreadedScan() override;

protected:
    const char* ThreadName() const override { return "ThreadedScan"; }

private:
    std::unique_ptr<ProgressDialogInterface> m_ownProgress;
};
