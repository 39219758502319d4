#pragma once

#include "support/NamedThread.h"

#include <condition_variable>
#include <mutex>

class ImageCachePauser;
class ProgressDialogInterface;

// A background operation: owns the one thread its work runs on and reports through the progress
// window set before Start(). The thread has an 8 MiB stack. The owner joins it (Join(), or the
// destructor); a class that derives from CProgressInfo calls CancelAndJoin() in its own destructor,
// since the thread runs the derived class's operator().
//
// The work may wait on the user-interface thread (a message box, ErrorReporter::ShouldRetry) and on its
// window (ProgressDialogInterface::AskRetry). So that joining never hangs on such a wait, Join() on the
// user-interface thread keeps serving the operation as its window would, and an owner that gives up
// on an operation still running (the destructor) cancels it before joining.
class CProgressInfo {
public:
    // `pauseCacheAndMarkBusy`: while the work runs, the image cache is paused and the application
    // marked busy; `waitForCacheWorkers` is passed to the cache's pause.
    explicit CProgressInfo(ProgressDialogInterface* progress = nullptr, bool pauseCacheAndMarkBusy = false,
                           bool waitForCacheWorkers = false);
    virtual ~CProgressInfo();
    CProgressInfo(const CProgressInfo&) = delete;
    CProgressInfo& operator=(const CProgressInfo&) = delete;

    // Starts the thread once; later calls do nothing. False when the thread was not started now (no
    // progress window set, already started, or the system refused a thread; the last ends the
    // operation with status 8 and marks it finished).
    virtual bool Start();
    // Waits for the thread to end; does nothing when it was never started or has been joined. On the
    // user-interface thread it meanwhile answers the operation's retry questions and runs the work
    // other threads posted to that thread.
    void Join();
    // Cancels the operation unless it has finished (a question it waits on is answered "cancel"), then
    // joins it.
    void CancelAndJoin();

    void SetProgressDialog(ProgressDialogInterface* progress) { m_pProgressDlg = progress; }
    ProgressDialogInterface* GetProgressDialog() const { return m_pProgressDlg; }

protected:
    // The body of the thread. It must set the progress window finished when it ends.
    virtual void operator()() = 0;
    // The thread's name (the kernel keeps 15 bytes of it).
    virtual const char* ThreadName() const { return "Progress"; }

    // Pauses the image cache (when there is one) and marks the application busy, when this operation
    // asked for it; EndBackgroundWork() undoes exactly what BeginBackgroundWork() did.
    void BeginBackgroundWork();
    void EndBackgroundWork();

    ProgressDialogInterface* m_pProgressDlg;
    bool m_bPauseCacheAndMarkBusy;
    bool m_bWaitForCacheWorkers;

private:
    // Until the body has ended: serves what the work may be waiting for on this thread.
    void ServeUntilEnded();

    std::mutex m_threadMutex;
    lumo::NamedThread m_thread;
    bool m_started = false;
    std::mutex m_endMutex;
    std::condition_variable m_bodyEnded;
    bool m_ended = false;
    ImageCachePauser* m_pPausedCache = nullptr;
    bool m_markedBusy = false;
};
