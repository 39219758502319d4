// lumo ftp: photos uploaded to an FTP server (taken as they are or rendered first, with the template when
// asked), through the transfer queue; saved connections (save, list, forget).

#include "AppSession.h"
#include "Commands.h"
#include "ErrorText.h"
#include "FileArguments.h"
#include "Interrupts.h"
#include "JsonValue.h"
#include "PhotoOperation.h"
#include "SaveAsArguments.h"
#include "TerminalProgress.h"
#include "app/UIThread.h"
#include "background/ErrorReporter.h"
#include "background/ProgressDialogInterface.h"
#include "transfer/FTPAsDialog.h"
#include "transfer/FTPConnSettings.h"
#include "transfer/FileTransferQueue.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr auto kTick = std::chrono::milliseconds(100);

// The connection as the command line gives it; what is not given keeps a saved connection's value.
struct ConnectionArguments {
    std::string conn, server, user, path, policy, pinCert;
    bool passwordStdin = false, anonymous = false, passive = false, active = false, tls = false;

    void addTo(CLI::App& command, bool withConn) {
        if (withConn)
            command.add_option("--conn", conn, "A connection saved with lumo ftp save")->type_name("NAME");
        command.add_option("--server", server, "The FTP server (port 21 unless given)")
            ->type_name("HOST[:PORT]");
        command.add_option("--user", user, "The user name to log in with")->type_name("U");
        command.add_flag("--password-stdin", passwordStdin, "Read the password from the first line of stdin");
        command.add_flag("--anonymous", anonymous, "Log in as \"anonymous\"");
        command.add_flag("--passive", passive, "Passive data connections (the default)");
        command.add_flag("--active", active, "Active data connections (the server connects back)");
        command.add_option("--path", path, "The folder on the server (made when missing)")->type_name("P");
        command
            .add_option("--policy", policy,
                        "A file of the same name on the server: replace (the default), rename (the new "
                        "file), rename-existing or skip")
            ->type_name("POLICY");
        command.add_flag("--tls", tls, "Explicit TLS (AUTH TLS) on the control and data connections");
        command
            .add_option("--pin-cert", pinCert,
                        "With --tls: trust only this certificate (a PEM file or its SHA-256 fingerprint)")
            ->type_name("PEM|SHA256");
    }

    // The settings: the saved connection's (when --conn names one), changed by what is given. False
    // with the usage error in `problem`.
    bool resolve(FTPConnSettingsStruct& settings, std::string& problem) const {
        if (!conn.empty()) {
            const auto saved = FTPConnSettingsList::load(conn);
            if (!saved) {
                problem = "no saved connection \"" + conn + "\" (lumo ftp list shows them)";
                return false;
            }
            settings = *saved;
        }
        if (!server.empty()) {
            std::string host = server, port;
            if (host.front() == '[') { // [IPv6]:port
                const auto close = host.find(']');
                if (close == std::string::npos) {
                    problem = "--server is HOST[:PORT], not \"" + server + "\"";
                    return false;
                }
                port = close + 1 < host.size() && host[close + 1] == ':' ? host.substr(close + 2) : "";
                host = host.substr(1, close - 1);
            } else if (host.find(':') != std::string::npos && host.find(':') == host.rfind(':')) {
                port = host.substr(host.find(':') + 1);
                host.resize(host.find(':'));
            }
            settings.ftpServer = host;
            if (!port.empty()) {
                int number = 0;
                try {
                    std::size_t used = 0;
                    number = std::stoi(port, &used);
                    if (used != port.size())
                        number = 0;
                } catch (const std::exception&) {
                    number = 0;
                }
                if (number < 1 || number > 65535) {
                    problem = "--server's port is 1 to 65535, not \"" + port + "\"";
                    return false;
                }
                settings.ftpPort = number;
            }
        }
        if (settings.ftpServer.empty()) {
            problem = "give --server HOST[:PORT] or --conn NAME";
            return false;
        }
        if (anonymous && (!user.empty() || passwordStdin)) {
            problem = "--anonymous takes no --user or --password-stdin";
            return false;
        }
        if (anonymous)
            settings.anonymousEnabled = true;
        if (!user.empty()) {
            settings.username = user;
            settings.anonymousEnabled = false;
        }
        if (!settings.anonymousEnabled && settings.username.empty()) {
            problem = "give --user U (with --password-stdin) or --anonymous";
            return false;
        }
        if (passive && active) {
            problem = "give one of --passive and --active";
            return false;
        }
        if (passive || active)
            settings.passiveEnabled = passive;
        if (!path.empty())
            settings.uploadPath = path;
        if (!policy.empty()) {
            static const std::pair<const char*, int> kPolicies[] = {
                {"replace", FTPConnSettingsStruct::kReplaceExisting},
                {"rename", FTPConnSettingsStruct::kRenameNew},
                {"rename-existing", FTPConnSettingsStruct::kRenameExisting},
                {"skip", FTPConnSettingsStruct::kSkipExisting}};
            const auto found = std::find_if(std::begin(kPolicies), std::end(kPolicies),
                                            [&](const auto& p) { return policy == p.first; });
            if (found == std::end(kPolicies)) {
                problem = "--policy is replace, rename, rename-existing or skip, not \"" + policy + "\"";
                return false;
            }
            settings.copyOptions = found->second;
        }
        if (!pinCert.empty() && !tls && !settings.tlsEnabled) {
            problem = "--pin-cert goes with --tls";
            return false;
        }
        if (tls)
            settings.tlsEnabled = true;
        if (!pinCert.empty())
            settings.tlsPinnedCertificate = pinCert;
        if (passwordStdin) {
            std::string password;
            if (!std::getline(std::cin, password) && password.empty()) {
                problem = "--password-stdin: no password on standard input";
                return false;
            }
            if (!password.empty() && password.back() == '\r')
                password.pop_back();
            settings.password = password;
        }
        return true;
    }
};

struct PutOptions {
    FileArguments files;
    ConnectionArguments connection;
    bool process = false, applyTemplate = false;
    SaveAsArguments rendering;
    std::string rawJpeg = "both", backup;
    int retries = 3;
    double retryWait = 2.0;
};

struct SaveOptions {
    std::string name;
    ConnectionArguments connection;
};

int usage(const std::string& message) {
    std::fprintf(stderr, "lumo: %s\n", message.c_str());
    return kExitBadUsage;
}

std::string fileNameOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

const char* resultName(const FileTransferEntry& entry) {
    switch (entry.result) {
    case FileTransferEntry::kResultOK:
        return "OK";
    case FileTransferEntry::kResultFailed:
        return "error";
    case FileTransferEntry::kResultStalled:
        return "stalled";
    case FileTransferEntry::kResultWarning:
        return "warning";
    default:
        return entry.state == FileTransferEntry::kStateFinished ? "warning" : "waiting";
    }
}

bool entryDone(const FileTransferEntry& entry) {
    return entry.state == FileTransferEntry::kStateFinished &&
           entry.result != FileTransferEntry::kResultFailed &&
           entry.result != FileTransferEntry::kResultStalled;
}

// Drives the run from the user-interface thread: answers the preparation's questions, shows the
// upload's progress (the total and the file being sent), prints each entry's line as it finishes and
// turns Ctrl-C into a cancellation.
class UploadWatcher {
public:
    UploadWatcher(const CommonOptions& common, FileTransferQueue& queue, ProgressDialogInterface& preparation)
        : m_common(common), m_queue(queue), m_preparation(preparation),
          m_display("Uploading", 0, common.quiet || common.json ? nullptr : stderr) {}

    // Until the preparation has finished and the queue has nothing left to send; false when the user
    // interrupted.
    bool watch() {
        for (;;) {
            if (!tick())
                return false;
            if (m_preparation.IsFinished()) {
                if (!m_queue.running()) {
                    // Entries added while a run was ending are sent by another run.
                    const auto entries = m_queue.entries();
                    if (std::none_of(entries.begin(), entries.end(), [](const FileTransferEntry& e) {
                            return e.state < FileTransferEntry::kStateFinished;
                        }))
                        break;
                    m_queue.start();
                }
                std::this_thread::sleep_for(kTick);
            } else {
                m_preparation.WaitForWindowWork(kTick);
            }
        }
        tick();
        return true;
    }

    // Waits `seconds` (Ctrl-C ends it: false).
    bool pause(double seconds) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < end) {
            if (!tick())
                return false;
            std::this_thread::sleep_for(kTick);
        }
        return true;
    }

    void finish() { m_display.finish(); }

private:
    bool tick() {
        if (interrupted()) {
            m_preparation.SetCancelled(true);
            m_queue.cancel();
            return false;
        }
        ErrorReporter::AnswerPendingQuestion(m_preparation);
        runUIThreadTasks();
        const std::vector<FileTransferEntry> entries = m_queue.entries();
        if (m_printed.size() < entries.size())
            m_printed.resize(entries.size(), -1);
        std::uint64_t total = 0, sent = 0;
        std::string current;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const FileTransferEntry& entry = entries[i];
            total += entry.size;
            sent += entry.state == FileTransferEntry::kStateFinished ? entry.size
                                                                     : std::min(entry.bytesSent, entry.size);
            if (entry.state == FileTransferEntry::kStateSending)
                current = entry.remoteName + " " +
                          std::to_string(entry.size ? entry.bytesSent * 100 / entry.size : 100) + "%";
            // Each entry's line once it finishes (again when a retry finishes it again).
            const int shown = entry.state == FileTransferEntry::kStateFinished ? entry.result : -1;
            if (shown != -1 && m_printed[i] != shown) {
                m_printed[i] = shown;
                if (!m_common.json && !m_common.quiet) {
                    TerminalProgress::clearActiveLine();
                    std::printf("%s\n", oneLine(entry.text).c_str());
                    std::fflush(stdout);
                }
            }
        }
        m_display.setTotal(total);
        m_display.update(sent, current);
        return true;
    }

    const CommonOptions& m_common;
    FileTransferQueue& m_queue;
    ProgressDialogInterface& m_preparation;
    TerminalProgress m_display;
    std::vector<int> m_printed;
};

int runPut(const CommonOptions& common, const PutOptions& options) {
    if (options.files.empty())
        return noFilesGiven();
    FTPAsOptions prepare;
    prepare.processImages = options.process;
    prepare.applyTemplate = options.applyTemplate;
    prepare.backupFolder = options.backup;
    if (options.rawJpeg == "both")
        prepare.rawJpegChoice = kSendRawAndJpeg;
    else if (options.rawJpeg == "jpeg")
        prepare.rawJpegChoice = kSendJpegOnly;
    else if (options.rawJpeg == "raw")
        prepare.rawJpegChoice = kSendRawOnly;
    else
        return usage("--raw-jpeg is both, jpeg or raw, not \"" + options.rawJpeg + "\"");
    if (std::string problem; !options.rendering.apply(prepare.saveAs, problem))
        return usage(problem);

    // A saved connection needs the preferences; a connection given whole is checked before start-up.
    FTPConnSettingsStruct settings;
    const bool saved = !options.connection.conn.empty();
    if (std::string problem; !saved && !options.connection.resolve(settings, problem))
        return usage(problem);
    AppSession session(common,
                       kImageEngineService | kPreferencesService | kTransferService | kGeocodingServices);
    if (!session.started())
        return commandFailed(common, kResultUnexpected, session.error());
    if (std::string problem; saved && !options.connection.resolve(settings, problem))
        return usage(problem);
    if (!settings.validProtocolType())
        return commandFailed(common, kResultNotPossible,
                             "the connection's protocol type " + std::to_string(settings.protocolType) +
                                 " cannot be sent with here");

    int status = kExitDone;
    nlohmann::ordered_json all = nlohmann::ordered_json::array();
    const std::vector<std::string> paths = options.files.readablePaths(status, all);

    FileTransferQueue queue(settings);
    const std::string remoteFolder = settings.destinationFolder();
    // The source of each entry, by the entry's index.
    std::vector<std::string> sources;
    std::mutex sourcesLock;
    ProgressDialogInterface preparation;
    FTPAsThread preparing(paths, prepare, &preparation);
    preparing.m_queueFile = [&](const FTPPreparedFile& file) {
        {
            std::lock_guard lock(sourcesLock);
            const std::size_t index = queue.add(file.prepared, remoteFolder, fileNameOf(file.prepared));
            if (sources.size() <= index)
                sources.resize(index + 1);
            sources[index] = file.source;
        }
        queue.start();
    };
    if (!preparing.Start()) {
        std::fprintf(stderr, "lumo: the operation could not be started\n");
        return kExitSomeFailed;
    }

    bool cancelled = false;
    {
        InterruptScope interrupts;
        UploadWatcher watcher(common, queue, preparation);
        cancelled = !watcher.watch();
        // A server that went away may come back: stalled and failed entries are sent again, after a
        // wait that grows with each round.
        for (int round = 1; !cancelled && round <= options.retries && queue.hasStalledOrFailed(); ++round) {
            if (!common.quiet && !common.json)
                std::fprintf(stderr, "lumo: retrying the files not sent (%d of %d) in %g s\n", round,
                             options.retries, options.retryWait * round);
            cancelled = !watcher.pause(options.retryWait * round);
            if (!cancelled && queue.retry())
                cancelled = !watcher.watch();
        }
        watcher.finish();
    }
    preparing.Join();

    for (const FTPPreparedFile& file : preparing.Files()) {
        if (file.error.empty())
            continue;
        status = kExitSomeFailed;
        reportFailure(file.source, file.error);
        all.push_back(failureJson(file.source, kResultUnwritable, file.error));
    }
    if (!preparing.Error().empty()) {
        status = kExitSomeFailed;
        std::fprintf(stderr, "lumo: %s\n", preparing.Error().c_str());
    }
    const std::vector<FileTransferEntry> entries = queue.entries();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const FileTransferEntry& entry = entries[i];
        const std::string& source = i < sources.size() ? sources[i] : entry.localPath;
        if (!entryDone(entry)) {
            status = kExitSomeFailed;
            const std::string message = entry.message.empty() ? std::string("not sent") : entry.message;
            if (!cancelled)
                reportFailure(source, message);
            all.push_back({{"path", source},
                           {"result", kResultUnwritable},
                           {"error", message},
                           {"status", resultName(entry)}});
            continue;
        }
        nlohmann::ordered_json item = {{"path", source}, {"status", resultName(entry)}};
        if (entry.localPath != source)
            item["prepared"] = fileNameOf(entry.localPath);
        item["remote"] = entry.remotePath;
        item["size"] = entry.size;
        if (!entry.message.empty())
            item["message"] = entry.message;
        all.push_back(item);
    }
    if (!common.quiet && !common.json && !cancelled)
        std::fprintf(stderr, "lumo: %s\n",
                     status == kExitDone ? FileTransferQueue::kComplete
                                         : FileTransferQueue::kCompleteWithErrors);
    // The prepared files go before the queue does.
    preparing.RemoveSession();
    if (preparation.GetStatus() == ProgressDialogInterface::kStatusCancelled)
        cancelled = true;
    return finishPhotoCommand(common, all, cancelled ? ProgressDialogInterface::kStatusCancelled : 0, status);
}

nlohmann::ordered_json connectionJson(const FTPConnSettingsStruct& settings) {
    static const char* const kPolicyNames[] = {"replace", "rename", "rename-existing", "skip"};
    return {{"name", settings.settingsName},
            {"server", settings.ftpServer},
            {"port", settings.ftpPort},
            {"user", settings.loginUser()},
            {"password", !settings.password.empty()},
            {"passive", settings.passiveEnabled},
            {"path", settings.uploadPath},
            {"policy", settings.copyOptions >= 0 && settings.copyOptions < 4
                           ? kPolicyNames[settings.copyOptions]
                           : "replace"},
            {"tls", settings.tlsEnabled},
            {"pinned", settings.tlsPinnedCertificate}};
}

int runSave(const CommonOptions& common, const SaveOptions& options) {
    AppSession session(common, kPreferencesService);
    if (!session.started())
        return commandFailed(common, kResultUnexpected, session.error());
    FTPConnSettingsStruct settings;
    if (const auto saved = FTPConnSettingsList::load(options.name))
        settings = *saved; // saving again changes what is given
    if (std::string problem; !options.connection.resolve(settings, problem))
        return usage(problem);
    settings.settingsName = options.name;
    if (!FTPConnSettingsList::save(settings))
        return commandFailed(common, kResultUnwritable,
                             "the connection could not be saved in the preferences");
    if (common.json)
        std::cout << jsonText(connectionJson(settings), 2) << '\n';
    else if (!common.quiet)
        std::printf("saved connection %s\n", oneLine(options.name).c_str());
    return kExitDone;
}

int runList(const CommonOptions& common) {
    AppSession session(common, kPreferencesService);
    if (!session.started())
        return commandFailed(common, kResultUnexpected, session.error());
    nlohmann::ordered_json all = nlohmann::ordered_json::array();
    for (const FTPConnSettingsStruct& settings : FTPConnSettingsList::list()) {
        all.push_back(connectionJson(settings));
        if (!common.json)
            std::printf("%s\t%s@%s:%d%s%s%s\n", oneLine(settings.settingsName).c_str(),
                        oneLine(settings.loginUser()).c_str(), oneLine(settings.ftpServer).c_str(),
                        settings.ftpPort,
                        settings.uploadPath.empty() || settings.uploadPath[0] != '/' ? "/" : "",
                        oneLine(settings.uploadPath).c_str(), settings.tlsEnabled ? "\tTLS" : "");
    }
    if (common.json)
        std::cout << jsonText(all, 2) << '\n';
    return kExitDone;
}

int runForget(const CommonOptions& common, const std::string& name) {
    AppSession session(common, kPreferencesService);
    if (!session.started())
        return commandFailed(common, kResultUnexpected, session.error());
    if (!FTPConnSettingsList::remove(name))
        return commandFailed(common, kResultNotPossible, "no saved connection \"" + name + "\"");
    if (!common.quiet && !common.json)
        std::printf("forgot connection %s\n", oneLine(name).c_str());
    return kExitDone;
}

} // namespace

void addFtpCommand(CLI::App& lumo, const CommonOptions& common, CommandAction& action) {
    CLI::App* ftp = lumo.add_subcommand("ftp", "Upload photos to an FTP server; saved connections");
    ftp->require_subcommand(1);

    auto put = std::make_shared<PutOptions>();
    CLI::App* putCommand =
        ftp->add_subcommand("put", "Upload photos (as they are, or rendered with --process)");
    put->files.addTo(*putCommand);
    put->connection.addTo(*putCommand, true);
    putCommand->add_flag("--process", put->process,
                         "Render each photo as a new file first (the save-as options below) and send that");
    put->rendering.addTo(*putCommand);
    putCommand->add_flag("--apply-template", put->applyTemplate,
                         "Apply the current metadata template to what is sent (the originals are untouched)");
    putCommand
        ->add_option("--raw-jpeg", put->rawJpeg,
                     "Of a raw file with its JPEG: both (the default), jpeg or raw")
        ->type_name("CHOICE");
    putCommand->add_option("--backup", put->backup, "Also copy each file sent into this folder")
        ->type_name("DIR");
    putCommand->add_option("--retries", put->retries, "Rounds of sending again the files not sent (3)")
        ->check(CLI::Range(0, 100));
    putCommand
        ->add_option("--retry-wait", put->retryWait,
                     "Seconds before the first round of retries; each round waits longer (2)")
        ->check(CLI::Range(0.0, 3600.0));
    putCommand->callback(
        [&common, &action, put] { action = [&common, put] { return runPut(common, *put); }; });

    auto save = std::make_shared<SaveOptions>();
    CLI::App* saveCommand =
        ftp->add_subcommand("save", "Save a connection by name (its password too, in the preferences file)");
    saveCommand->add_option("NAME", save->name, "The connection's name")->required()->type_name("");
    save->connection.addTo(*saveCommand, false);
    saveCommand->callback(
        [&common, &action, save] { action = [&common, save] { return runSave(common, *save); }; });

    CLI::App* listCommand = ftp->add_subcommand("list", "List the saved connections");
    listCommand->callback([&common, &action] { action = [&common] { return runList(common); }; });

    auto forget = std::make_shared<std::string>();
    CLI::App* forgetCommand = ftp->add_subcommand("forget", "Remove a saved connection");
    forgetCommand->add_option("NAME", *forget, "The connection's name")->required()->type_name("");
    forgetCommand->callback(
        [&common, &action, forget] { action = [&common, forget] { return runForget(common, *forget); }; });
}
