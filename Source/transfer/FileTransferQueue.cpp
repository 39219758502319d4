#include "transfer/FileTransferQueue.h"

FileTransferQueueLogger::FileTransferQueueLogger(std::string path) : m_logPath(std::move(path)) {}
FileTransferQueueLogger::~FileTransferQueueLogger() = default;
bool FileTransferQueueLogger::logTransfer(const std::string&, const std::string&, const std::string&,
                                          const std::string&, std::uint64_t, const std::string&) {
    return false;
}
std::string FileTransferQueueLogger::fileMD5(const std::string&) {
    return {};
}

FileTransferQueue::FileTransferQueue(FTPConnSettingsStruct settings,
                                     std::unique_ptr<FileTransferAgentFactory> factory, std::string logPath)
    : FileTransferQueueLogger(std::move(logPath)), m_settings(std::move(settings)),
      m_factory(std::move(factory)) {}
FileTransferQueue::FileTransferQueue(FTPConnSettingsStruct settings, std::string logPath)
    : FileTransferQueue(settings, FileTransferAgentFactory::forProtocol(settings.protocolType),
                        std::move(logPath)) {}
FileTransferQueue::~FileTransferQueue() = default;
std::mutex& FileTransferQueue::transferLock() {
    static std::mutex lock;
    return lock;
}
std::size_t FileTransferQueue::add(const std::string&, const std::string&, const std::string&) {
    return 0;
}
void FileTransferQueue::start() {}
void FileTransferQueue::wait() {}
void FileTransferQueue::cancel() {}
bool FileTransferQueue::running() const {
    return false;
}
bool FileTransferQueue::cancelled() const {
    return false;
}
std::vector<FileTransferEntry> FileTransferQueue::entries() const {
    return {};
}
bool FileTransferQueue::hasStalledOrFailed() const {
    return false;
}
bool FileTransferQueue::retry() {
    return false;
}
std::string FileTransferQueue::status() const {
    return {};
}
bool FileTransferQueue::completedWithErrors() const {
    return false;
}
void FileTransferQueue::addObserver(UploadStatusObserver*) {}
void FileTransferQueue::removeObserver(UploadStatusObserver*) {}

void FTPQueueManager::registerQueue(FileTransferQueue*) {}
void FTPQueueManager::unregisterQueue(FileTransferQueue*) {}
void FTPQueueManager::TerminateAllQueuesASAP() {}
void addFTPQueueService(CLumoApp&) {}
