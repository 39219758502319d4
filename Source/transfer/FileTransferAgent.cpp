#include "transfer/FileTransferAgent.h"

#include "app/LumoLog.h"
#include "transfer/FTPClient.h"

#include <exception>
#include <vector>

namespace {

constexpr const char* kHomeDirFailed = "Failed setting working directory to initial FTP home directory.";
constexpr const char* kMkdFailed = "Failed to create directory on server.";
constexpr const char* kRenameFailed = "Failed all attempts to rename file.";
constexpr const char* kUnexpected = "Unexpected exception. ";
constexpr const char* kSkipped = "File exists on server; skipped.";
constexpr int kRenameAttempts = 26;

std::vector<std::string> pathParts(const std::string& folder) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= folder.size()) {
        std::size_t end = folder.find('/', start);
        if (end == std::string::npos)
            end = folder.size();
        std::string part = folder.substr(start, end - start);
        if (!part.empty() && part != ".")
            parts.push_back(std::move(part));
        start = end + 1;
    }
    return parts;
}

std::string joinRemote(const std::string& folder, const std::string& name) {
    if (folder.empty())
        return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

// A failure of the connection itself (not of the local file, not the server refusing something):
// opening the connection again may help. A connection that ends while a reply is read, and a server
// closing it (421), count too.
bool connectionLost(const FTPError& error) {
    const std::string& m = error.message();
    if (dynamic_cast<const FTPIOError*>(&error))
        return m != FTPText::kNoLocalSize && m != FTPText::kNoLocalOpen && m != FTPText::kLocalRead &&
               m != FTPText::kTransferAborted && m != FTPText::kNoConnection;
    if (dynamic_cast<const FTPProtoError*>(&error))
        return m == FTPText::kIncompleteLine;
    if (dynamic_cast<const FTPTempError*>(&error))
        return error.lastReply().rfind("421", 0) == 0;
    return false;
}

// Connecting or logging in failed: there is no point sending the next files.
struct ConnectFailure {
    FTPError error;
};

} // namespace

std::unique_ptr<FileTransferAgentFactory> FileTransferAgentFactory::forProtocol(int protocolType) {
    FTPConnSettingsStruct settings;
    settings.protocolType = protocolType;
    if (!settings.validProtocolType())
        return nullptr;
    return std::make_unique<FTPTransferAgentFactory>();
}

std::unique_ptr<FileTransferAgent> FTPTransferAgentFactory::makeAgent(const FTPConnSettingsStruct& settings) {
    if (settings.protocolType != FTPConnSettingsStruct::kProtocolFTP)
        return nullptr;
    return std::make_unique<FTPTransferAgent>(settings);
}

FTPTransferAgent::FTPTransferAgent(FTPConnSettingsStruct settings) : m_settings(std::move(settings)) {}

FTPTransferAgent::~FTPTransferAgent() {
    disconnect();
}

std::string FTPTransferAgent::homeFolder() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_homeFolder;
}

std::string FTPTransferAgent::candidateName(const std::string& name, int attempt) {
    const char letter = static_cast<char>('A' + attempt);
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos)
        return name + letter;
    return name.substr(0, dot) + letter + name.substr(dot);
}

void FTPTransferAgent::abort() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_aborted = true;
    if (m_client)
        m_client->abort();
}

void FTPTransferAgent::disconnect() {
    std::unique_ptr<FileTransferClient> client;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        client = std::move(m_client);
    }
    if (!client)
        return;
    try {
        client->close();
    } catch (const std::exception& e) {
        LUMO_LOG("FTPTransferAgent::disconnect() %s", e.what());
    }
}

void FTPTransferAgent::connect(FileTransferAgentListener& listener) {
    disconnect();
    listener.agentStatus("Connecting to " + m_settings.ftpServer + "...");
    std::unique_ptr<FileTransferClient> made;
    if (m_clientMaker) {
        made = m_clientMaker();
    } else {
        made = std::make_unique<FTPClient>();
    }
    if (auto* ftp = dynamic_cast<FTPClient*>(made.get())) {
        ftp->setPassive(m_settings.passiveEnabled);
        ftp->setSecurity(FTPSecurity{m_settings.tlsEnabled, m_settings.tlsPinnedCertificate});
    }
    FileTransferClient* client = made.get();
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_client = std::move(made);
        if (m_aborted)
            m_client->abort();
    }
    try {
        client->open(m_settings.ftpServer, m_settings.ftpPort);
        std::string password = m_settings.password;
        if (m_settings.anonymousEnabled && password.empty())
            password = "anonymous@";
        client->login(m_settings.loginUser(), password);
    } catch (const FTPError& e) {
        throw ConnectFailure{e};
    }
    std::string home;
    try {
        home = client->pwd();
    } catch (const FTPError& e) {
        if (connectionLost(e))
            throw;
        LUMO_LOG("FTPTransferAgent::connect() the server did not tell its working folder: %s", e.what());
    }
    std::lock_guard<std::mutex> lock(m_lock);
    m_homeFolder = home.empty() ? std::string(kBogusHomeDir) : home;
}

void FTPTransferAgent::buildPath(const std::string& folder) {
    FileTransferClient& client = *m_client;
    if (!folder.empty() && folder.front() == '/')
        client.cwd("/");
    for (const std::string& part : pathParts(folder)) {
        try {
            client.cwd(part);
            continue;
        } catch (const FTPError& e) {
            if (connectionLost(e))
                throw;
            // not there yet: made below
        }
        try {
            client.mkd(part);
        } catch (const FTPError& e) {
            if (connectionLost(e))
                throw;
            throw FTPError(kMkdFailed, e.lastReply());
        }
        client.cwd(part);
    }
}

bool FTPTransferAgent::remoteExists(const std::string& name) {
    return m_client->exists(name);
}

FileTransferOutcome FTPTransferAgent::sendOnce(const FileTransferRequest& request,
                                               FileTransferAgentListener& listener, std::string& storing) {
    if (!m_client || !m_client->isConnected())
        connect(listener);
    FileTransferClient& client = *m_client;
    const std::string home = homeFolder();
    if (home != kBogusHomeDir) {
        try {
            client.cwd(home);
        } catch (const FTPError& e) {
            if (connectionLost(e))
                throw;
            throw FTPError(kHomeDirFailed, e.lastReply());
        }
    }
    listener.agentStatus("Building destination path...");
    buildPath(request.remoteFolder);

    FileTransferOutcome outcome;
    std::string folder = request.remoteFolder;
    if ((folder.empty() || folder.front() != '/') && home != kBogusHomeDir)
        folder = joinRemote(home, folder);
    std::string uploadName = request.remoteName;
    // A policy this program does not know renames the new file: nothing on the server is lost.
    const int policy = request.policy >= FTPConnSettingsStruct::kReplaceExisting &&
                               request.policy <= FTPConnSettingsStruct::kSkipExisting
                           ? request.policy
                           : FTPConnSettingsStruct::kRenameNew;
    if (!request.partialName.empty()) {
        uploadName = request.partialName;
    } else if (policy != FTPConnSettingsStruct::kReplaceExisting && remoteExists(request.remoteName)) {
        if (policy == FTPConnSettingsStruct::kSkipExisting) {
            outcome.kind = FileTransferOutcome::kSkipped;
            outcome.message = kSkipped;
            outcome.remotePath = joinRemote(folder, request.remoteName);
            return outcome;
        }
        std::string freeName;
        for (int attempt = 0; attempt < kRenameAttempts && freeName.empty(); ++attempt) {
            const std::string candidate = candidateName(request.remoteName, attempt);
            if (!remoteExists(candidate))
                freeName = candidate;
        }
        if (freeName.empty())
            throw FTPError(kRenameFailed);
        if (policy == FTPConnSettingsStruct::kRenameNew) {
            uploadName = freeName;
        } else {
            client.rename(request.remoteName, freeName);
        }
    }
    listener.agentStatus("Transferring: " + uploadName);
    storing = uploadName;
    client.put_binary_file(
        request.localPath, uploadName,
        [&listener](std::uint64_t sent, std::uint64_t total) { listener.agentProgress(sent, total); });
    listener.agentStatus("Transferred: " + uploadName);
    outcome.kind = FileTransferOutcome::kSent;
    outcome.remotePath = joinRemote(folder, uploadName);
    return outcome;
}

FileTransferOutcome FTPTransferAgent::send(const FileTransferRequest& request,
                                           FileTransferAgentListener& listener) {
    FileTransferOutcome failed;
    failed.kind = FileTransferOutcome::kFailed;
    bool reconnected = false;
    FileTransferRequest attempt = request;
    std::string storing;
    for (;;) {
        try {
            storing.clear();
            return sendOnce(attempt, listener, storing);
        } catch (const ConnectFailure& failure) {
            LUMO_LOG("FTPTransferAgent::send() connecting to %s: %s", m_settings.ftpServer.c_str(),
                     failure.error.what());
            failed.message = failure.error.message();
            failed.connectFailed = true;
        } catch (const FTPError& e) {
            bool aborted;
            {
                std::lock_guard<std::mutex> lock(m_lock);
                aborted = m_aborted;
            }
            LUMO_LOG("FTPTransferAgent::send() '%s': %s", request.localPath.c_str(), e.what());
            if (!aborted && !reconnected && connectionLost(e)) {
                // The connection went away (the server restarted, a router dropped it): once more on a
                // new one.
                reconnected = true;
                if (!storing.empty())
                    attempt.partialName = storing;
                disconnect();
                listener.agentRetrying();
                continue;
            }
            failed.message = e.message();
        } catch (const std::exception& e) {
            LUMO_LOG("FTPTransferAgent::send() '%s': unexpected exception: %s", request.localPath.c_str(),
                     e.what());
            failed.message = kUnexpected;
        } catch (...) {
            failed.message = kUnexpected;
        }
        failed.partialName = storing.empty() ? attempt.partialName : storing;
        return failed;
    }
}
