#include "transfer/FileTransferAgent.h"

#include "transfer/FTPClient.h"

std::unique_ptr<FileTransferAgentFactory> FileTransferAgentFactory::forProtocol(int) {
    return nullptr;
}
std::unique_ptr<FileTransferAgent> FTPTransferAgentFactory::makeAgent(const FTPConnSettingsStruct& settings) {
    return std::make_unique<FTPTransferAgent>(settings);
}
FTPTransferAgent::FTPTransferAgent(FTPConnSettingsStruct settings) : m_settings(std::move(settings)) {}
FTPTransferAgent::~FTPTransferAgent() = default;
FileTransferOutcome FTPTransferAgent::send(const FileTransferRequest&, FileTransferAgentListener&) {
    return {};
}
void FTPTransferAgent::disconnect() {}
void FTPTransferAgent::abort() {}
std::string FTPTransferAgent::homeFolder() const {
    return m_homeFolder;
}
std::string FTPTransferAgent::candidateName(const std::string& name, int) {
    return name;
}
