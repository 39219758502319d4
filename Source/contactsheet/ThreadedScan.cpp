#include "contactsheet/ThreadedScan.h"

#include "background/ProgressDialogInterface.h"
#include "support/ScanLock.h"

#include <mutex>

namespace {

class ScanJob : public CJob {
public:
    ScanJob(std::vector<std::string> folders, bool includeProxies, CThreadedScan::Done done)
        : m_folders(std::move(folders)), m_includeProxies(includeProxies), m_done(std::move(done)) {}

    bool Perform(CProgressInfo&) override {
        FolderScanResult result;
        {
            std::lock_guard lock(lumo::scanLock());
            if (m_pProgress && m_pProgress->IsCancelled())
                return false;
            result = ScanFolders(m_folders, m_includeProxies);
        }
        if (m_pProgress && m_pProgress->IsCancelled())
            return false;
        if (m_done)
            m_done(result);
        return result.error == 0;
    }

private:
    std::vector<std::string> m_folders;
    bool m_includeProxies;
    CThreadedScan::Done m_done;
};

} // namespace

CThreadedScan::CThreadedScan(std::vector<std::string> folders, bool includeProxies, Done done,
                             ProgressDialogInterface* progress)
    : CThreadedJob(std::make_unique<ScanJob>(std::move(folders), includeProxies, std::move(done)), progress) {
    if (!progress) {
        m_ownProgress = std::make_unique<ProgressDialogInterface>();
        SetProgressDialog(m_ownProgress.get());
    }
}

CThreadedScan::~CThreadedScan() {
    // The thread reports to the window this object may own: it ends before the window goes.
    CancelAndJoin();
}
