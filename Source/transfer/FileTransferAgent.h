#pragma once

// The agents that send the queue's files to a destination, one agent per run of a queue, made for
// the connection's protocol by a factory.

#include "transfer/FTPConnSettings.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

class FileTransferClient;

// What the agent tells its queue while it works.
class FileTransferAgentListener {
public:
    virtual ~FileTransferAgentListener() = default;
    // "Connecting to host...", "Building destination path...", "Transferring: name" ...
    virtual void agentStatus(const std::string& status) = 0;
    virtual void agentProgress(std::uint64_t bytesSent, std::uint64_t bytesTotal) = 0;
    // The connection was lost during the file: it is sent once more on a new connection.
    virtual void agentRetrying() {}
};

// One file to send.
struct FileTransferRequest {
    std::string localPath;
    std::string remoteFolder; // "/a/b" (absolute) or "a/b" (below the home folder); empty: the home
    std::string remoteName;
    int policy = FTPConnSettingsStruct::kReplaceExisting; // existing-file policy
    // The name in remoteFolder under which an earlier attempt began storing this file and did not
    // finish: the incomplete file is ours, so it is stored over whatever the policy.
    std::string partialName;
};

// How sending one file ended.
struct FileTransferOutcome {
    enum Kind { kSent, kSkipped, kFailed };
    Kind kind = kFailed;
    std::string message;        // the error's text when failed; why it was passed over when skipped
    std::string remotePath;     // where the file went on the server ("/a/b/name.jpg"); may be relative
                                // when the server does not tell its home folder
    bool connectFailed = false; // no connection could be made (the sender should stop)
    std::string partialName;    // failed: where an incomplete copy may be left (for the next attempt)
};

class FileTransferAgent {
public:
    virtual ~FileTransferAgent() = default;
    // Sends one file (connecting first when not connected); never throws.
    virtual FileTransferOutcome send(const FileTransferRequest& request,
                                     FileTransferAgentListener& listener) = 0;
    // Closes the connection, when there is one.
    virtual void disconnect() = 0;
    // From any thread: stops the connect or transfer under way (it fails).
    virtual void abort() = 0;
    // "FTP" for the transfer log.
    virtual std::string serviceType() const = 0;
};

class FileTransferAgentFactory {
public:
    virtual ~FileTransferAgentFactory() = default;
    // Null when this factory has no agent for the settings' protocol.
    virtual std::unique_ptr<FileTransferAgent> makeAgent(const FTPConnSettingsStruct& settings) = 0;

    // The factory for a protocol type; null for one this program cannot send with (upload templates
    // included), after logging the invalid type.
    static std::unique_ptr<FileTransferAgentFactory> forProtocol(int protocolType);
};

class FTPTransferAgentFactory : public FileTransferAgentFactory {
public:
    std::unique_ptr<FileTransferAgent> makeAgent(const FTPConnSettingsStruct& settings) override;
};

// Sends files over one FTP connection, kept across files and opened again once per file when it is
// lost.
class FTPTransferAgent : public FileTransferAgent {
public:
    // Stored as the home folder when the server does not tell its working folder: the agent then never
    // goes back to a home folder.
    static constexpr char kBogusHomeDir[] = "/../.bogus_ftp_homedir";

    explicit FTPTransferAgent(FTPConnSettingsStruct settings);
    ~FTPTransferAgent() override;
    FTPTransferAgent(const FTPTransferAgent&) = delete;
    FTPTransferAgent& operator=(const FTPTransferAgent&) = delete;

    FileTransferOutcome send(const FileTransferRequest& request,
                             FileTransferAgentListener& listener) override;
    void disconnect() override;
    void abort() override;
    std::string serviceType() const override { return "FTP"; }

    // The home folder learnt at the last connect (kBogusHomeDir when none); empty before.
    std::string homeFolder() const;
    // The name tried for `name` at `attempt` (0 for "A" ... 25 for "Z"): the letter before the last
    // "." of the name, or at its end when it has none ("IMG_1.jpg" -> "IMG_1A.jpg").
    static std::string candidateName(const std::string& name, int attempt);

    // For tests: makes the client (the default makes an FTPClient).
    using ClientMaker = std::function<std::unique_ptr<FileTransferClient>()>;
    void setClientMaker(ClientMaker maker) { m_clientMaker = std::move(maker); }

private:
    void connect(FileTransferAgentListener& listener);
    // `storing` is set to the name a store begins under.
    FileTransferOutcome sendOnce(const FileTransferRequest& request, FileTransferAgentListener& listener,
                                 std::string& storing);
    void buildPath(const std::string& folder);
    bool remoteExists(const std::string& name);

    FTPConnSettingsStruct m_settings;
    ClientMaker m_clientMaker;
    mutable std::mutex m_lock; // guards m_client (the pointer) and m_aborted against abort()
    std::unique_ptr<FileTransferClient> m_client;
    bool m_aborted = false;
    std::string m_homeFolder;
};
