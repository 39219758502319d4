#pragma once

// The transfer queue: prepared files sent one after another through an agent made for the
// connection's protocol, on the queue's own thread; the entry list for a progress window; the
// transfer log; and the manager that stops every running queue at shutdown.

#include "support/NamedThread.h"
#include "transfer/FTPConnSettings.h"
#include "transfer/FileTransferAgent.h"

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CLumoApp;

// One file of the queue.
struct FileTransferEntry {
    // States: below kStateFinished the entry is waiting or being sent.
    static constexpr int kStateSending = 1;
    static constexpr int kStateWaiting = 2;
    static constexpr int kStateFinished = 4;
    // Results: a finished entry that is neither OK nor failed carries a warning (skipped files).
    static constexpr int kResultNone = 0;
    static constexpr int kResultWarning = 1;
    static constexpr int kResultStalled = 2;
    static constexpr int kResultFailed = 3;
    static constexpr int kResultOK = 4;

    std::string localPath;
    std::string remoteFolder;
    std::string remoteName;
    std::uint64_t size = 0;
    int state = kStateWaiting;
    int result = kResultNone;
    bool retrying = false; // being put back by a retry
    bool noRetry = false;  // a retry leaves it as it is
    std::string message;
    std::string text;      // the line shown for it ("IMG_1.jpg [OK]")
    std::string savedText; // the line as first added
    std::uint64_t bytesSent = 0;
    std::string remotePath;  // where it went (after a rename)
    std::string partialName; // an incomplete copy left on the server by a failed or stopped attempt
};

// Told about the queue's changes on the queue's thread (never under the transfer lock).
class UploadStatusObserver {
public:
    virtual ~UploadStatusObserver() = default;
    virtual void entryChanged(std::size_t index, const FileTransferEntry& entry) = 0;
    // "Connecting to host...", "Transferring: name", "Terminating...", "Transfer complete." ...
    virtual void queueStatus(const std::string& status) = 0;
    // The run ended (all sent, stopped or cancelled).
    virtual void queueFinished(bool withErrors) { (void)withErrors; }
};

// The entry list, read by a window under the transfer lock.
class FileTransferQueueAccessor {
public:
    virtual ~FileTransferQueueAccessor() = default;
    virtual std::vector<FileTransferEntry> entries() const = 0;
};

// The list files are added to.
class FTPTransferList {
public:
    virtual ~FTPTransferList() = default;
    // Adds a file to send as remoteFolder/remoteName; its index.
    virtual std::size_t add(const std::string& localPath, const std::string& remoteFolder,
                            const std::string& remoteName) = 0;
};

// Whether a run left work to retry, and the retry.
class FTPQueueStatus {
public:
    virtual ~FTPQueueStatus() = default;
    virtual bool hasStalledOrFailed() const = 0;
    // Puts every stalled or failed entry back to waiting and runs the queue again; false when there
    // was none.
    virtual bool retry() = 0;
};

// The queue's status line.
class FTPTransferStatus {
public:
    virtual ~FTPTransferStatus() = default;
    virtual std::string status() const = 0;
};

// The transfer log: a tab-separated text file, appended and flushed line by line. A new (or empty)
// file starts with the header line.
class FileTransferQueueLogger {
public:
    static constexpr char kHeader[] =
        "TIMESTAMP\tSTATUS\tLOCAL_PATH\tSERVICE_TYPE\t\tREMOTE_PATH\tSIZE\tMD5_DIGEST\n";
    static constexpr char kDefaultFileName[] = "FileTransferLog.tsv";

    // Logs into `path`; empty: "FileTransferLog.tsv" in the log folder.
    explicit FileTransferQueueLogger(std::string path = {});
    virtual ~FileTransferQueueLogger();

    // Appends one line: local time ("2026-12-07 19:31:02"), status ("OK", "WARNING", "ERROR",
    // "SKIPPED"), local path, service type, an empty column, remote path, size, MD5 digest (32
    // lower-case hex digits, empty when the file was not sent). Tabs and line breaks in the fields are
    // written as \t, \n and \r. False when it could not be written.
    bool logTransfer(const std::string& status, const std::string& localPath, const std::string& serviceType,
                     const std::string& remotePath, std::uint64_t size, const std::string& md5);
    const std::string& logPath() const { return m_logPath; }

    // The MD5 digest of a file's content; empty when it cannot be read.
    static std::string fileMD5(const std::string& path);

private:
    std::string m_logPath;
    std::mutex m_logLock;
};

class FileTransferQueue : public FileTransferQueueAccessor,
                          public FileTransferQueueLogger,
                          public FTPTransferList,
                          public FTPQueueStatus,
                          public FTPTransferStatus {
public:
    // Sends with an agent of `factory` for `settings`; a null factory (a protocol this program cannot
    // send with) fails every entry. `logPath` as for FileTransferQueueLogger.
    FileTransferQueue(FTPConnSettingsStruct settings, std::unique_ptr<FileTransferAgentFactory> factory,
                      std::string logPath = {});
    // With the factory of the settings' protocol type.
    explicit FileTransferQueue(FTPConnSettingsStruct settings, std::string logPath = {});
    // Cancels and joins a run still going.
    ~FileTransferQueue() override;
    FileTransferQueue(const FileTransferQueue&) = delete;
    FileTransferQueue& operator=(const FileTransferQueue&) = delete;

    // The one lock of the transfer structures (entry lists of every queue).
    static std::mutex& transferLock();

    std::size_t add(const std::string& localPath, const std::string& remoteFolder,
                    const std::string& remoteName) override;
    // Sends the waiting entries on the queue's thread; entries added meanwhile are sent too. Nothing
    // when a run is going.
    void start();
    // Waits for the run to end.
    void wait();
    // Stops the run: status "Terminating...", the transfer under way aborted, the entries not sent
    // left stalled; joins the thread.
    void cancel();
    bool running() const;
    bool cancelled() const;

    std::vector<FileTransferEntry> entries() const override;
    bool hasStalledOrFailed() const override;
    bool retry() override;
    std::string status() const override;
    // True when the last run ended with an entry failed (or stalled).
    bool completedWithErrors() const;

    // Observers are told on the queue's thread; add them before start().
    void addObserver(UploadStatusObserver* observer);
    void removeObserver(UploadStatusObserver* observer);

    const FTPConnSettingsStruct& settings() const { return m_settings; }

    // The line texts.
    static constexpr char kOKSuffix[] = " [OK]";
    static constexpr char kRetryingSuffix[] = " [retrying...]";
    static constexpr char kStalledSuffix[] = " [stalled]";
    static constexpr char kTerminating[] = "Terminating...";
    static constexpr char kComplete[] = "Transfer complete.";
    static constexpr char kCompleteWithErrors[] = "Transfer complete (with errors.)";

private:
    void run();
    void finishEntry(std::size_t index, const FileTransferOutcome& outcome);
    void setEntryText(std::size_t index, int result);
    void stallWaiting();
    void setStatus(const std::string& status);
    void notifyEntry(std::size_t index);
    void joinThread();

    class Listener;

    FTPConnSettingsStruct m_settings;
    std::unique_ptr<FileTransferAgentFactory> m_factory;
    std::unique_ptr<FileTransferAgent> m_agent; // of the run going
    std::vector<FileTransferEntry> m_entries;   // under transferLock()
    std::string m_status;                       // under transferLock()
    std::vector<UploadStatusObserver*> m_observers;
    std::size_t m_current = 0; // the entry being sent (under transferLock())

    mutable std::mutex m_runLock; // guards the fields below
    std::condition_variable m_runChanged;
    bool m_running = false;
    bool m_cancel = false;
    bool m_withErrors = false;
    lumo::NamedThread m_thread;
};

// The running queues of the process, so that shutdown can stop them.
class FTPQueueManager {
public:
    static void registerQueue(FileTransferQueue* queue);
    static void unregisterQueue(FileTransferQueue* queue);
    // Cancels and joins every registered queue.
    static void TerminateAllQueuesASAP();
};

// Adds the shutdown step "FTPQueueManager::TerminateAllQueuesASAP()".
void addFTPQueueService(CLumoApp& app);
