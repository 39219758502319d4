#include "transfer/FileTransferQueue.h"

#include "app/LumoApp.h"
#include "app/LumoLog.h"
#include "app/LumoPaths.h"
#include "support/TextUtils.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <set>

namespace {

constexpr const char* kNoAgent = "This kind of connection cannot send files.";

std::string localTimestamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

std::uint64_t fileSize(const std::string& path) {
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    return ec ? 0 : static_cast<std::uint64_t>(size);
}

std::string entryLine(const std::string& remoteFolder, const std::string& remoteName) {
    if (remoteFolder.empty())
        return remoteName;
    return remoteFolder.back() == '/' ? remoteFolder + remoteName : remoteFolder + "/" + remoteName;
}

} // namespace

// ---- The transfer log

FileTransferQueueLogger::FileTransferQueueLogger(std::string path) : m_logPath(std::move(path)) {
    if (m_logPath.empty()) {
        const std::string folder = LumoPaths::logFolder();
        if (!folder.empty())
            m_logPath = (std::filesystem::path(folder) / kDefaultFileName).string();
    }
}

FileTransferQueueLogger::~FileTransferQueueLogger() = default;

bool FileTransferQueueLogger::logTransfer(const std::string& status, const std::string& localPath,
                                          const std::string& serviceType, const std::string& remotePath,
                                          std::uint64_t size, const std::string& md5) {
    if (m_logPath.empty())
        return false;
    std::string line = lumo::tsvField(localTimestamp()) + '\t' + lumo::tsvField(status) + '\t' +
                       lumo::tsvField(localPath) + '\t' + lumo::tsvField(serviceType) + "\t\t" +
                       lumo::tsvField(remotePath) + '\t' + std::to_string(size) + '\t' + lumo::tsvField(md5) +
                       '\n';
    std::lock_guard<std::mutex> lock(m_logLock);
    std::error_code ec;
    const std::filesystem::path parent = std::filesystem::path(m_logPath).parent_path();
    if (!parent.empty())
        std::filesystem::create_directories(parent, ec);
    std::FILE* file = std::fopen(m_logPath.c_str(), "a");
    if (!file) {
        LUMO_LOG("FileTransferQueueLogger::logTransfer() opening %s: %s", m_logPath.c_str(),
                 std::strerror(errno));
        return false;
    }
    bool ok = std::fseek(file, 0, SEEK_END) == 0;
    const long end = std::ftell(file);
    if (end == 0)
        line.insert(0, kHeader);
    ok = ok && end >= 0 && std::fwrite(line.data(), 1, line.size(), file) == line.size();
    ok = std::fflush(file) == 0 && ok;
    ok = std::fclose(file) == 0 && ok;
    if (!ok)
        LUMO_LOG("FileTransferQueueLogger::logTransfer() writing %s failed.", m_logPath.c_str());
    return ok;
}

std::string FileTransferQueueLogger::fileMD5(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return {};
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    bool ok = context && EVP_DigestInit_ex(context, EVP_md5(), nullptr) == 1;
    std::vector<unsigned char> block(1 << 16);
    while (ok) {
        const std::size_t got = std::fread(block.data(), 1, block.size(), file);
        if (got > 0)
            ok = EVP_DigestUpdate(context, block.data(), got) == 1;
        if (got < block.size()) {
            ok = ok && !std::ferror(file);
            break;
        }
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    ok = ok && EVP_DigestFinal_ex(context, digest, &length) == 1;
    EVP_MD_CTX_free(context);
    std::fclose(file);
    if (!ok)
        return {};
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned i = 0; i < length; ++i) {
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 15];
    }
    return text;
}

// ---- The queue

class FileTransferQueue::Listener : public FileTransferAgentListener {
public:
    Listener(FileTransferQueue& queue, std::size_t index) : m_queue(queue), m_index(index) {}

    void agentStatus(const std::string& status) override { m_queue.setStatus(status); }
    void agentProgress(std::uint64_t bytesSent, std::uint64_t) override {
        {
            std::lock_guard<std::mutex> lock(transferLock());
            m_queue.m_entries[m_index].bytesSent = bytesSent;
        }
        m_queue.notifyEntry(m_index);
    }
    void agentRetrying() override {
        {
            std::lock_guard<std::mutex> lock(transferLock());
            FileTransferEntry& entry = m_queue.m_entries[m_index];
            entry.retrying = true;
            entry.bytesSent = 0;
            entry.text = entry.savedText + kRetryingSuffix;
        }
        m_queue.notifyEntry(m_index);
    }

private:
    FileTransferQueue& m_queue;
    std::size_t m_index;
};

FileTransferQueue::FileTransferQueue(FTPConnSettingsStruct settings,
                                     std::unique_ptr<FileTransferAgentFactory> factory, std::string logPath)
    : FileTransferQueueLogger(std::move(logPath)), m_settings(std::move(settings)),
      m_factory(std::move(factory)) {
    FTPQueueManager::registerQueue(this);
}

FileTransferQueue::FileTransferQueue(FTPConnSettingsStruct settings, std::string logPath)
    : FileTransferQueue(settings, FileTransferAgentFactory::forProtocol(settings.protocolType),
                        std::move(logPath)) {}

FileTransferQueue::~FileTransferQueue() {
    FTPQueueManager::unregisterQueue(this);
    cancel();
}

std::mutex& FileTransferQueue::transferLock() {
    static std::mutex lock;
    return lock;
}

std::size_t FileTransferQueue::add(const std::string& localPath, const std::string& remoteFolder,
                                   const std::string& remoteName) {
    FileTransferEntry entry;
    entry.localPath = localPath;
    entry.remoteFolder = remoteFolder;
    entry.remoteName = remoteName;
    entry.size = fileSize(localPath);
    entry.text = entry.savedText = entryLine(remoteFolder, remoteName);
    std::lock_guard<std::mutex> lock(transferLock());
    m_entries.push_back(std::move(entry));
    return m_entries.size() - 1;
}

void FileTransferQueue::start() {
    std::unique_lock<std::mutex> lock(m_runLock);
    if (m_running)
        return;
    // A finished run's thread has nothing left to do but end.
    m_thread.join();
    m_running = true;
    m_cancel = false;
    try {
        m_thread = lumo::NamedThread("FTP transfer", lumo::kBackgroundThreadStackSize, [this] { run(); });
    } catch (...) {
        m_running = false; // no thread: nobody waits for a run that never began
        throw;
    }
}

void FileTransferQueue::wait() {
    lumo::NamedThread finished;
    {
        std::unique_lock<std::mutex> lock(m_runLock);
        m_runChanged.wait(lock, [this] { return !m_running; });
        finished = std::move(m_thread);
    }
    finished.join();
}

void FileTransferQueue::cancel() {
    {
        std::lock_guard<std::mutex> lock(m_runLock);
        if (!m_running)
            return;
        m_cancel = true;
        if (m_agent)
            m_agent->abort();
    }
    setStatus(kTerminating);
    wait();
}

bool FileTransferQueue::running() const {
    std::lock_guard<std::mutex> lock(m_runLock);
    return m_running;
}

bool FileTransferQueue::cancelled() const {
    std::lock_guard<std::mutex> lock(m_runLock);
    return m_cancel;
}

std::vector<FileTransferEntry> FileTransferQueue::entries() const {
    std::lock_guard<std::mutex> lock(transferLock());
    return m_entries;
}

bool FileTransferQueue::hasStalledOrFailed() const {
    std::lock_guard<std::mutex> lock(transferLock());
    return std::any_of(m_entries.begin(), m_entries.end(), [](const FileTransferEntry& entry) {
        return entry.result == FileTransferEntry::kResultStalled ||
               entry.result == FileTransferEntry::kResultFailed;
    });
}

bool FileTransferQueue::retry() {
    std::vector<std::size_t> changed;
    {
        std::lock_guard<std::mutex> lock(transferLock());
        for (std::size_t i = 0; i < m_entries.size(); ++i) {
            FileTransferEntry& entry = m_entries[i];
            if (entry.result == FileTransferEntry::kResultStalled ||
                entry.result == FileTransferEntry::kResultFailed) {
                entry.retrying = false;
                entry.noRetry = false;
                entry.result = FileTransferEntry::kResultNone;
                entry.state = FileTransferEntry::kStateWaiting;
                entry.text = entry.savedText;
                entry.bytesSent = 0;
                entry.message.clear();
                changed.push_back(i);
            } else {
                entry.noRetry = true;
            }
        }
    }
    if (changed.empty())
        return false;
    for (const std::size_t index : changed)
        notifyEntry(index);
    start();
    return true;
}

std::string FileTransferQueue::status() const {
    std::lock_guard<std::mutex> lock(transferLock());
    return m_status;
}

bool FileTransferQueue::completedWithErrors() const {
    std::lock_guard<std::mutex> lock(m_runLock);
    return m_withErrors;
}

void FileTransferQueue::addObserver(UploadStatusObserver* observer) {
    std::lock_guard<std::mutex> lock(m_runLock);
    m_observers.push_back(observer);
}

void FileTransferQueue::removeObserver(UploadStatusObserver* observer) {
    std::lock_guard<std::mutex> lock(m_runLock);
    std::erase(m_observers, observer);
}

void FileTransferQueue::setStatus(const std::string& status) {
    {
        std::lock_guard<std::mutex> lock(transferLock());
        m_status = status;
    }
    for (UploadStatusObserver* observer : m_observers)
        observer->queueStatus(status);
}

void FileTransferQueue::notifyEntry(std::size_t index) {
    if (m_observers.empty())
        return;
    FileTransferEntry entry;
    {
        std::lock_guard<std::mutex> lock(transferLock());
        entry = m_entries[index];
    }
    for (UploadStatusObserver* observer : m_observers)
        observer->entryChanged(index, entry);
}

void FileTransferQueue::setEntryText(std::size_t index, int result) {
    FileTransferEntry& entry = m_entries[index];
    switch (result) {
    case FileTransferEntry::kResultOK:
        entry.text = entry.savedText + kOKSuffix;
        break;
    case FileTransferEntry::kResultFailed:
        entry.text = entry.savedText + " [error: " + entry.message + "]";
        break;
    case FileTransferEntry::kResultStalled:
        entry.text = entry.savedText + kStalledSuffix;
        break;
    default:
        entry.text = entry.savedText + " [warning: " + entry.message + "]";
    }
}

void FileTransferQueue::finishEntry(std::size_t index, const FileTransferOutcome& outcome) {
    const bool cancelled = this->cancelled();
    std::string logStatus;
    FileTransferEntry entry;
    {
        std::lock_guard<std::mutex> lock(transferLock());
        FileTransferEntry& e = m_entries[index];
        e.state = FileTransferEntry::kStateFinished;
        e.retrying = false;
        e.message = outcome.message;
        e.remotePath = outcome.remotePath;
        e.partialName = outcome.kind == FileTransferOutcome::kFailed ? outcome.partialName : std::string();
        switch (outcome.kind) {
        case FileTransferOutcome::kSent:
            e.result = FileTransferEntry::kResultOK;
            logStatus = "OK";
            break;
        case FileTransferOutcome::kSkipped:
            e.result = FileTransferEntry::kResultWarning;
            logStatus = "SKIPPED";
            break;
        case FileTransferOutcome::kFailed:
            // Stopped by the user: not a failure of the file, sent again on a retry.
            e.result = cancelled ? FileTransferEntry::kResultStalled : FileTransferEntry::kResultFailed;
            logStatus = cancelled ? std::string() : "ERROR";
            break;
        }
        setEntryText(index, e.result);
        entry = e;
    }
    if (!logStatus.empty()) {
        const std::string md5 =
            outcome.kind == FileTransferOutcome::kSent ? fileMD5(entry.localPath) : std::string();
        logTransfer(logStatus, entry.localPath, m_agent ? m_agent->serviceType() : std::string("FTP"),
                    entry.remotePath.empty() ? entryLine(entry.remoteFolder, entry.remoteName)
                                             : entry.remotePath,
                    entry.size, md5);
    }
    notifyEntry(index);
}

void FileTransferQueue::stallWaiting() {
    std::vector<std::size_t> stalled;
    {
        std::lock_guard<std::mutex> lock(transferLock());
        for (std::size_t i = 0; i < m_entries.size(); ++i) {
            FileTransferEntry& entry = m_entries[i];
            if (entry.state == FileTransferEntry::kStateFinished)
                continue;
            entry.state = FileTransferEntry::kStateFinished;
            entry.result = FileTransferEntry::kResultStalled;
            setEntryText(i, entry.result);
            stalled.push_back(i);
        }
    }
    for (const std::size_t index : stalled)
        notifyEntry(index);
}

void FileTransferQueue::run() {
    for (;;) {
        {
            std::unique_ptr<FileTransferAgent> agent = m_factory ? m_factory->makeAgent(m_settings) : nullptr;
            std::lock_guard<std::mutex> lock(m_runLock);
            m_agent = std::move(agent);
            if (m_cancel && m_agent)
                m_agent->abort();
        }
        // Set when the run stops short (cancelled, or no connection to be had): what was not sent then
        // stays for a retry. A run that ran out of waiting files stalls nothing, so a file added as it
        // ends is sent by the next round below.
        bool stoppedShort = false;
        for (;;) {
            std::size_t index = 0;
            FileTransferRequest request;
            {
                std::lock_guard<std::mutex> lock(transferLock());
                const auto next =
                    std::find_if(m_entries.begin(), m_entries.end(), [](const FileTransferEntry& e) {
                        return e.state == FileTransferEntry::kStateWaiting;
                    });
                if (next == m_entries.end())
                    break;
                index = static_cast<std::size_t>(next - m_entries.begin());
                next->state = FileTransferEntry::kStateSending;
                next->bytesSent = 0;
                request.localPath = next->localPath;
                request.remoteFolder = next->remoteFolder;
                request.remoteName = next->remoteName;
                request.policy = m_settings.copyOptions;
                request.partialName = next->partialName;
            }
            if (cancelled()) {
                stoppedShort = true;
                break;
            }
            notifyEntry(index);
            FileTransferOutcome outcome;
            if (m_agent) {
                Listener listener(*this, index);
                outcome = m_agent->send(request, listener);
            } else {
                outcome.kind = FileTransferOutcome::kFailed;
                outcome.message = kNoAgent;
            }
            finishEntry(index, outcome);
            // Without a connection the other files would only wait for it in turn: they stay for a retry.
            if (outcome.connectFailed || cancelled()) {
                stoppedShort = true;
                break;
            }
        }
        if (m_agent)
            m_agent->disconnect();
        if (stoppedShort)
            stallWaiting();
        bool withErrors = false;
        {
            std::lock_guard<std::mutex> lock(transferLock());
            withErrors = std::any_of(m_entries.begin(), m_entries.end(), [](const FileTransferEntry& e) {
                return e.result == FileTransferEntry::kResultFailed ||
                       e.result == FileTransferEntry::kResultStalled;
            });
        }
        setStatus(withErrors ? kCompleteWithErrors : kComplete);
        {
            std::lock_guard<std::mutex> lock(m_runLock);
            m_withErrors = withErrors;
        }
        for (UploadStatusObserver* observer : m_observers)
            observer->queueFinished(withErrors);

        std::lock_guard<std::mutex> runLock(m_runLock);
        m_agent.reset();
        bool more = false;
        if (!m_cancel) {
            std::lock_guard<std::mutex> lock(transferLock());
            more = std::any_of(m_entries.begin(), m_entries.end(), [](const FileTransferEntry& e) {
                return e.state == FileTransferEntry::kStateWaiting;
            });
        }
        if (!more) {
            m_running = false;
            m_runChanged.notify_all();
            return;
        }
    }
}

// ---- The queue manager

namespace {

std::mutex& managerLock() {
    static std::mutex lock;
    return lock;
}

std::set<FileTransferQueue*>& registeredQueues() {
    static std::set<FileTransferQueue*> queues;
    return queues;
}

} // namespace

void FTPQueueManager::registerQueue(FileTransferQueue* queue) {
    std::lock_guard<std::mutex> lock(managerLock());
    registeredQueues().insert(queue);
}

void FTPQueueManager::unregisterQueue(FileTransferQueue* queue) {
    std::lock_guard<std::mutex> lock(managerLock());
    registeredQueues().erase(queue);
}

void FTPQueueManager::TerminateAllQueuesASAP() {
    std::lock_guard<std::mutex> lock(managerLock());
    for (FileTransferQueue* queue : registeredQueues())
        queue->cancel();
}

void addFTPQueueService(CLumoApp& app) {
    app.shutdownSteps().add("FTPQueueManager::TerminateAllQueuesASAP()", [] {
        FTPQueueManager::TerminateAllQueuesASAP();
        return true;
    });
}
