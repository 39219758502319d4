// The transfer queue against a real FTP server on 127.0.0.1, the saved connections, and the transfer
// log.

#include "transfer/FileTransferQueue.h"
#include "app/LumoApp.h"
#include "app/LumoPaths.h"
#include "db/PreferenceKeys.h"
#include "db/Preferences.h"
#include "support/ServerProcess.h"
#include "support/TestLog.h"
#include "support/TestSupport.h"
#include "support/Watchdog.h"
#include "transfer/FTPClient.h"
#include "transfer/FTPConnSettings.h"
#include "transfer/FileTransferAgent.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>
#include <utility>

namespace fs = std::filesystem;
using lumo::test::readWholeFile;
using lumo::test::TempDir;
using lumo::test::writeWholeFile;
using namespace std::chrono_literals;

namespace {

// A pyftpdlib server serving `root` to user "photo" (password "secret").
class FtpServer {
public:
    bool start(const std::vector<std::string>& extra = {}, int port = 0) {
        std::vector<std::string> args{lumo::test::testServerScript("ftp_server.py"), "--root", m_root.path()};
        if (port)
            args.insert(args.end(), {"--port", std::to_string(port)});
        args.insert(args.end(), extra.begin(), extra.end());
        const bool started = m_process.start("/usr/bin/python3", args);
        EXPECT_TRUE(started) << m_process.error();
        return started;
    }
    void kill() { m_process.kill(); }
    int port() const { return m_process.port(); }
    std::string file(const std::string& relative) const { return m_root.file(relative); }
    std::string content(const std::string& relative) const {
        return fs::exists(file(relative)) ? readWholeFile(file(relative)) : "<missing>";
    }

private:
    TempDir m_root;
    lumo::test::ServerProcess m_process;
};

// Agents whose client gives up connecting quickly.
class QuickFTPFactory : public FileTransferAgentFactory {
public:
    std::unique_ptr<FileTransferAgent> makeAgent(const FTPConnSettingsStruct& settings) override {
        auto agent = std::make_unique<FTPTransferAgent>(settings);
        agent->setClientMaker([] {
            auto client = std::make_unique<FTPClient>();
            client->setConnectRetries(2, 100ms);
            client->setTimeout(10s);
            return client;
        });
        return agent;
    }
};

// A client that fails with something other than an FTP error.
struct BrokenClient : FileTransferClient {
    void open(const std::string&, int) override { throw std::runtime_error("out of sockets"); }
    void login(const std::string&, const std::string&) override {}
    void close() override {}
    bool isConnected() const override { return false; }
    void cwd(const std::string&) override {}
    void cdup() override {}
    void mkd(const std::string&) override {}
    void rmd(const std::string&) override {}
    void noop() override {}
    void rename(const std::string&, const std::string&) override {}
    std::uint64_t size(const std::string&) override { return 0; }
    bool exists(const std::string&) override { return false; }
    std::string pwd() override { return "/"; }
    void put_binary_file(const std::string&, const std::string&, const FileTransferProgress&) override {}
    void abort() override {}
};

FTPConnSettingsStruct settingsFor(int port, int policy = FTPConnSettingsStruct::kReplaceExisting) {
    FTPConnSettingsStruct s;
    s.settingsName = "test";
    s.ftpServer = "127.0.0.1";
    s.ftpPort = port;
    s.username = "photo";
    s.password = "secret";
    s.copyOptions = policy;
    return s;
}

// Records what the queue tells its observers.
struct Recorder : UploadStatusObserver {
    std::vector<std::string> statuses;
    std::function<void(std::size_t, const FileTransferEntry&)> onEntry;
    void entryChanged(std::size_t index, const FileTransferEntry& entry) override {
        if (onEntry)
            onEntry(index, entry);
    }
    void queueStatus(const std::string& status) override { statuses.push_back(status); }
};

class FileTransferQueueTest : public ::testing::Test {
protected:
    std::string local(const std::string& name, const std::string& content) {
        const std::string path = m_files.file(name);
        writeWholeFile(path, content);
        return path;
    }
    std::unique_ptr<FileTransferQueue> queue(const FTPConnSettingsStruct& settings) {
        return std::make_unique<FileTransferQueue>(settings, std::make_unique<QuickFTPFactory>(), m_log);
    }
    static void run(FileTransferQueue& q) {
        lumo::test::Watchdog watchdog("the transfer queue's run", std::chrono::seconds(60));
        q.start();
        q.wait();
    }
    std::vector<std::string> logLines() const {
        std::vector<std::string> lines;
        std::string text = fs::exists(m_log) ? readWholeFile(m_log) : std::string();
        for (std::size_t start = 0; start < text.size();) {
            const std::size_t end = text.find('\n', start);
            lines.push_back(text.substr(start, end - start));
            start = end == std::string::npos ? text.size() : end + 1;
        }
        return lines;
    }

    TempDir m_files;
    FtpServer m_server;
    std::string m_log = m_files.file("log/FileTransferLog.tsv");
};

std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
        out.push_back(line.substr(start, tab - start));
    out.push_back(line.substr(start));
    return out;
}

} // namespace

TEST(FTPConnSettingsTest, RecordsRoundTripAndSavedConnectionsAreOwnerOnly) {
    TempDir dir;
    LumoPaths::initialise(ResolvedLocations{dir.file("settings"), dir.file("cache")});
    ASSERT_TRUE(CPreferences::GetPreferences());

    FTPConnSettingsStruct a = settingsFor(2121, FTPConnSettingsStruct::kRenameExisting);
    a.settingsName = "agency";
    a.uploadPath = "/in";
    a.autoincSuffixEnabled = true;
    a.folderName = "Game_";
    a.autoincSuffix = 7;
    a.tlsEnabled = true;
    a.tlsPinnedCertificate = "ab:cd";
    const CILA::VObject record = a.toVObject();
    for (const char* key :
         {"settingsName", "ftpServer", "ftpPort", "username", "password", "anonymousEnabled",
          "passiveEnabled", "uploadPath", "copyOptions", "autoincSuffixEnabled", "folderName",
          "autoincSuffix", "protocolType", "ftpsEnabled", "ftpsPinnedCertificate"})
        EXPECT_NE(record.fetch(key), nullptr) << key;
    EXPECT_EQ(FTPConnSettingsStruct::fromVObject(record), a);
    EXPECT_EQ(a.destinationFolder(), "/in/Game_7");
    // A damaged record keeps the defaults where its values are of the wrong type.
    CILA::VObject damaged = CILA::VObject::makeHash();
    damaged.store("ftpPort", "twenty-one");
    damaged.store("ftpServer", "host");
    EXPECT_EQ(FTPConnSettingsStruct::fromVObject(damaged)->ftpPort, 21);
    EXPECT_EQ(FTPConnSettingsStruct::fromVObject(damaged)->ftpServer, "host");
    EXPECT_FALSE(FTPConnSettingsStruct::fromVObject(CILA::VObject("x")));

    FTPConnSettingsStruct b = settingsFor(21);
    b.settingsName = "desk";
    ASSERT_TRUE(FTPConnSettingsList::save(a));
    ASSERT_TRUE(FTPConnSettingsList::save(b));
    a.password = "changed";
    ASSERT_TRUE(FTPConnSettingsList::save(a)); // replaces the one of that name
    EXPECT_FALSE(FTPConnSettingsList::save(FTPConnSettingsStruct{}));
    const std::string store = CPreferences::instance()->path();
    struct stat info {};
    ASSERT_EQ(::stat(store.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    CPreferences::ClosePreferences();
    ASSERT_TRUE(CPreferences::GetPreferences()); // as a later run sees them
    // The backup made on opening holds the passwords too.
    ASSERT_EQ(::stat((store + CPreferences::kBackupSuffix).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    const std::vector<FTPConnSettingsStruct> saved = FTPConnSettingsList::list();
    ASSERT_EQ(saved.size(), 2u);
    EXPECT_EQ(saved[0], a);
    EXPECT_EQ(saved[1], b);
    EXPECT_EQ(FTPConnSettingsList::load("desk"), b);
    EXPECT_TRUE(FTPConnSettingsList::remove("desk"));
    EXPECT_FALSE(FTPConnSettingsList::remove("desk"));
    EXPECT_FALSE(FTPConnSettingsList::load("desk"));
    EXPECT_EQ(FTPConnSettingsList::list().size(), 1u);
    CPreferences::ClosePreferences();
    LumoPaths::reset();
    EXPECT_TRUE(FTPConnSettingsList::list().empty()); // no preferences open
}

TEST(FTPTransferAgentTest, CandidateNamesAndUnknownProtocols) {
    EXPECT_EQ(FTPTransferAgent::candidateName("IMG_1.jpg", 0), "IMG_1A.jpg");
    EXPECT_EQ(FTPTransferAgent::candidateName("a.b.tif", 25), "a.bZ.tif");
    EXPECT_EQ(FTPTransferAgent::candidateName("README", 1), "READMEB");

    FTPConnSettingsStruct upload = settingsFor(21);
    upload.protocolType = FTPConnSettingsStruct::kProtocolTemplate;
    EXPECT_EQ(FileTransferAgentFactory::forProtocol(upload.protocolType), nullptr);
    EXPECT_NE(lumo::test::loggedSoFar().find("FTPConnSettingsStruct: invalid protocol type 1"),
              std::string::npos);
    EXPECT_NE(FileTransferAgentFactory::forProtocol(FTPConnSettingsStruct::kProtocolFTP), nullptr);

    // A queue for such a connection fails its files plainly.
    TempDir dir;
    writeWholeFile(dir.file("a.jpg"), "a");
    FileTransferQueue q(upload, dir.file("log.tsv"));
    q.add(dir.file("a.jpg"), "", "a.jpg");
    q.start();
    q.wait();
    const std::vector<FileTransferEntry> entries = q.entries();
    EXPECT_EQ(entries[0].result, FileTransferEntry::kResultFailed);
    EXPECT_EQ(entries[0].text, "a.jpg [error: This kind of connection cannot send files.]");
    EXPECT_EQ(q.status(), "Transfer complete (with errors.)");

    struct Quiet : FileTransferAgentListener {
        void agentStatus(const std::string&) override {}
        void agentProgress(std::uint64_t, std::uint64_t) override {}
    } quiet;
    FTPTransferAgent agent(settingsFor(21));
    agent.setClientMaker([] { return std::make_unique<BrokenClient>(); });
    const FileTransferOutcome outcome = agent.send({dir.file("a.jpg"), "", "a.jpg"}, quiet);
    EXPECT_EQ(outcome.kind, FileTransferOutcome::kFailed);
    EXPECT_EQ(outcome.message, "Unexpected exception. ");
}

// A file added while a run is ending (here: as its agent disconnects) is sent, never left stalled.
TEST(FileTransferQueueRunTest, AFileAddedAsARunEndsIsSentByTheSameRun) {
    struct Agent : FileTransferAgent {
        std::function<void()> onDisconnect;
        FileTransferOutcome send(const FileTransferRequest& request, FileTransferAgentListener&) override {
            FileTransferOutcome outcome;
            outcome.kind = FileTransferOutcome::kSent;
            outcome.remotePath = "/" + request.remoteName;
            return outcome;
        }
        void disconnect() override {
            if (onDisconnect)
                std::exchange(onDisconnect, {})();
        }
        void abort() override {}
        std::string serviceType() const override { return "FTP"; }
    };
    struct Factory : FileTransferAgentFactory {
        std::function<void()> onDisconnect;
        std::unique_ptr<FileTransferAgent> makeAgent(const FTPConnSettingsStruct&) override {
            auto agent = std::make_unique<Agent>();
            agent->onDisconnect = std::exchange(onDisconnect, {});
            return agent;
        }
    };
    TempDir dir;
    writeWholeFile(dir.file("a.jpg"), "a");
    writeWholeFile(dir.file("b.jpg"), "b");
    auto factory = std::make_unique<Factory>();
    Factory* maker = factory.get();
    FileTransferQueue q(settingsFor(21), std::move(factory), dir.file("log.tsv"));
    maker->onDisconnect = [&] { q.add(dir.file("b.jpg"), "", "b.jpg"); };
    q.add(dir.file("a.jpg"), "", "a.jpg");
    q.start();
    q.wait();
    const std::vector<FileTransferEntry> entries = q.entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].text, "b.jpg [OK]");
    EXPECT_EQ(q.status(), "Transfer complete.");
}

TEST_F(FileTransferQueueTest, SendsIntoTheFolderPathCreatingMissingPartsAndLogsEachFile) {
    ASSERT_TRUE(m_server.start());
    fs::create_directories(m_server.file("shoots"));
    auto q = queue(settingsFor(m_server.port()));
    Recorder recorder;
    q->addObserver(&recorder);
    const std::string a = local("a.jpg", "first photo");
    const std::string b = local("b\tx.jpg", ""); // empty, with a tab in its name
    q->add(a, "/shoots/day1/set", "a.jpg");
    q->add(b, "/shoots/day1/set", "b.jpg");
    run(*q);

    EXPECT_EQ(m_server.content("shoots/day1/set/a.jpg"), "first photo");
    EXPECT_EQ(m_server.content("shoots/day1/set/b.jpg"), "");
    const std::vector<FileTransferEntry> entries = q->entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].text, "/shoots/day1/set/a.jpg [OK]");
    EXPECT_EQ(entries[0].state, FileTransferEntry::kStateFinished);
    EXPECT_EQ(entries[1].result, FileTransferEntry::kResultOK);
    EXPECT_EQ(q->status(), "Transfer complete.");
    EXPECT_FALSE(q->hasStalledOrFailed());
    const auto said = [&](const std::string& s) {
        return std::find(recorder.statuses.begin(), recorder.statuses.end(), s) != recorder.statuses.end();
    };
    EXPECT_TRUE(said("Connecting to 127.0.0.1..."));
    EXPECT_TRUE(said("Building destination path..."));
    EXPECT_TRUE(said("Transferring: a.jpg"));
    EXPECT_TRUE(said("Transferred: b.jpg"));

    const std::vector<std::string> lines = logLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0] + "\n", FileTransferQueueLogger::kHeader);
    const std::vector<std::string> first = fields(lines[1]);
    ASSERT_EQ(first.size(), 8u);
    EXPECT_EQ(first[0].size(), 19u); // "2026-12-07 19:31:02"
    EXPECT_EQ(first[1], "OK");
    EXPECT_EQ(first[2], a);
    EXPECT_EQ(first[3], "FTP");
    EXPECT_EQ(first[4], "");
    EXPECT_EQ(first[5], "/shoots/day1/set/a.jpg");
    EXPECT_EQ(first[6], "11");
    EXPECT_EQ(first[7], FileTransferQueueLogger::fileMD5(a));
    EXPECT_EQ(FileTransferQueueLogger::fileMD5(local("abc", "abc")), "900150983cd24fb0d6963f7d28e17f72");
    const std::vector<std::string> second = fields(lines[2]);
    ASSERT_EQ(second.size(), 8u);
    EXPECT_EQ(second[2], m_files.file("b\\tx.jpg"));
    EXPECT_EQ(second[7], "d41d8cd98f00b204e9800998ecf8427e");

    // A second queue appends to the log without a second header.
    auto again = queue(settingsFor(m_server.port()));
    again->add(a, "/shoots/day1/set", "c.jpg");
    run(*again);
    EXPECT_EQ(logLines().size(), 4u);
}

TEST_F(FileTransferQueueTest, WithoutAHomeFolderEachFileGoesOnFromWhereTheLastLeftOff) {
    ASSERT_TRUE(m_server.start({"--no-pwd"}));
    auto q = queue(settingsFor(m_server.port()));
    q->add(local("a.jpg", "a"), "in", "a.jpg");
    q->add(local("b.jpg", "b"), "in", "b.jpg");
    run(*q);
    EXPECT_EQ(m_server.content("in/a.jpg"), "a");
    EXPECT_EQ(m_server.content("in/in/b.jpg"), "b");
    EXPECT_EQ(q->entries()[1].remotePath, "in/b.jpg"); // where it went, as far as the agent knows
}

TEST_F(FileTransferQueueTest, EachExistingFilePolicy) {
    ASSERT_TRUE(m_server.start());
    struct Case {
        int policy;
        std::vector<std::string> before; // names already on the server
        std::map<std::string, std::string> after;
        int result;
        std::string text;
    };
    const std::vector<Case> cases = {
        {FTPConnSettingsStruct::kReplaceExisting,
         {"p.jpg"},
         {{"p.jpg", "new"}},
         FileTransferEntry::kResultOK,
         "/0/p.jpg [OK]"},
        {FTPConnSettingsStruct::kRenameNew,
         {"p.jpg", "pA.jpg"},
         {{"p.jpg", "old p.jpg"}, {"pA.jpg", "old pA.jpg"}, {"pB.jpg", "new"}},
         FileTransferEntry::kResultOK,
         "/1/p.jpg [OK]"},
        {FTPConnSettingsStruct::kRenameExisting,
         {"p.jpg"},
         {{"p.jpg", "new"}, {"pA.jpg", "old p.jpg"}},
         FileTransferEntry::kResultOK,
         "/2/p.jpg [OK]"},
        {FTPConnSettingsStruct::kSkipExisting,
         {"p.jpg"},
         {{"p.jpg", "old p.jpg"}},
         FileTransferEntry::kResultWarning,
         "/3/p.jpg [warning: File exists on server; skipped.]"},
        // A policy of a newer program: renamed, nothing lost.
        {17,
         {"p.jpg"},
         {{"p.jpg", "old p.jpg"}, {"pA.jpg", "new"}},
         FileTransferEntry::kResultOK,
         "/4/p.jpg [OK]"},
        // Every letter taken.
        {FTPConnSettingsStruct::kRenameExisting,
         {"p.jpg"},
         {{"p.jpg", "old p.jpg"}},
         FileTransferEntry::kResultFailed,
         "/5/p.jpg [error: Failed all attempts to rename file.]"},
    };
    const std::string photo = local("p.jpg", "new");
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const std::string folder = std::to_string(i);
        fs::create_directories(m_server.file(folder));
        for (const std::string& name : c.before)
            writeWholeFile(m_server.file(folder + "/" + name), "old " + name);
        if (i == 5) {
            for (char letter = 'A'; letter <= 'Z'; ++letter)
                writeWholeFile(m_server.file(folder + "/p" + std::string(1, letter) + ".jpg"), "taken");
        }
        auto q = queue(settingsFor(m_server.port(), c.policy));
        q->add(photo, "/" + folder, "p.jpg");
        run(*q);
        const FileTransferEntry entry = q->entries()[0];
        EXPECT_EQ(entry.result, c.result) << i;
        EXPECT_EQ(entry.text, c.text) << i;
        for (const auto& [name, content] : c.after)
            EXPECT_EQ(m_server.content(folder + "/" + name), content) << i << " " << name;
    }
    const std::vector<std::string> lines = logLines();
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(fields(lines[2])[5], "/1/pB.jpg");
    EXPECT_EQ(fields(lines[4])[1], "SKIPPED");
    EXPECT_EQ(fields(lines[6])[1], "ERROR");
    EXPECT_EQ(fields(lines[6])[7], "");
}

TEST_F(FileTransferQueueTest, StalledAndFailedEntriesAreSentOnRetryOnceTheServerIsBack) {
    ASSERT_TRUE(m_server.start());
    const int port = m_server.port();
    m_server.kill();
    auto q = queue(settingsFor(port));
    q->add(local("a.jpg", "a"), "/up", "a.jpg");
    q->add(local("b.jpg", "b"), "/up", "b.jpg");
    run(*q);
    std::vector<FileTransferEntry> entries = q->entries();
    EXPECT_EQ(entries[0].result, FileTransferEntry::kResultFailed);
    EXPECT_EQ(entries[0].text, "/up/a.jpg [error: Could not make connection to server.]");
    EXPECT_EQ(entries[1].result, FileTransferEntry::kResultStalled);
    EXPECT_EQ(entries[1].text, "/up/b.jpg [stalled]");
    EXPECT_EQ(q->status(), "Transfer complete (with errors.)");
    EXPECT_TRUE(q->completedWithErrors());
    ASSERT_TRUE(q->hasStalledOrFailed());

    ASSERT_TRUE(m_server.start({}, port));
    q->add(local("c.jpg", "c"), "/up", "c.jpg");
    {
        lumo::test::Watchdog watchdog("the retry", std::chrono::seconds(60));
        ASSERT_TRUE(q->retry());
        q->wait();
    }
    entries = q->entries();
    for (const FileTransferEntry& entry : entries)
        EXPECT_EQ(entry.result, FileTransferEntry::kResultOK) << entry.text;
    EXPECT_EQ(entries[0].text, "/up/a.jpg [OK]");
    EXPECT_FALSE(q->completedWithErrors());
    EXPECT_FALSE(q->retry()); // nothing left to retry
    EXPECT_EQ(m_server.content("up/b.jpg"), "b");
    // The failed file once as ERROR, then every file once as OK.
    std::map<std::string, int> ok;
    for (const std::string& line : logLines())
        if (fields(line)[1] == "OK")
            ++ok[fields(line)[5]];
    EXPECT_EQ(ok, (std::map<std::string, int>{{"/up/a.jpg", 1}, {"/up/b.jpg", 1}, {"/up/c.jpg", 1}}));
}

TEST_F(FileTransferQueueTest, ALostConnectionIsOpenedAgainOncePerFile) {
    ASSERT_TRUE(m_server.start());
    const int port = m_server.port();
    auto q = queue(settingsFor(port));
    Recorder recorder;
    bool restarted = false;
    std::vector<std::string> texts;
    // Once the first file is sent, the server goes away and comes back: the agent's connection is dead.
    recorder.onEntry = [&](std::size_t index, const FileTransferEntry& entry) {
        texts.push_back(entry.text);
        if (index == 0 && entry.state == FileTransferEntry::kStateFinished && !restarted) {
            restarted = true;
            m_server.kill();
            m_server.start({}, port);
        }
    };
    q->addObserver(&recorder);
    q->add(local("a.jpg", "a"), "/up", "a.jpg");
    q->add(local("b.jpg", "b"), "/up", "b.jpg");
    run(*q);
    const std::vector<FileTransferEntry> entries = q->entries();
    EXPECT_EQ(entries[1].result, FileTransferEntry::kResultOK) << entries[1].text;
    EXPECT_EQ(m_server.content("up/b.jpg"), "b");
    EXPECT_NE(std::find(texts.begin(), texts.end(), "/up/b.jpg [retrying...]"), texts.end());
}

TEST_F(FileTransferQueueTest, AnIncompleteCopyLeftByAFailedAttemptIsStoredOverWhateverThePolicy) {
    ASSERT_TRUE(m_server.start({"--read-limit", "65536"}));
    const int port = m_server.port();
    auto q = queue(settingsFor(port, FTPConnSettingsStruct::kSkipExisting));
    Recorder recorder;
    bool killed = false;
    recorder.onEntry = [&](std::size_t, const FileTransferEntry& entry) {
        if (entry.bytesSent > 0 && !killed) {
            killed = true;
            m_server.kill();
        }
    };
    q->addObserver(&recorder);
    const std::string photo(1 << 20, 'p');
    q->add(local("p.jpg", photo), "/up", "p.jpg");
    run(*q);
    EXPECT_EQ(q->entries()[0].result, FileTransferEntry::kResultFailed);
    ASSERT_TRUE(fs::exists(m_server.file("up/p.jpg"))); // what the server had when it went
    EXPECT_LT(fs::file_size(m_server.file("up/p.jpg")), photo.size());

    ASSERT_TRUE(m_server.start({}, port));
    recorder.onEntry = nullptr;
    ASSERT_TRUE(q->retry());
    q->wait();
    EXPECT_EQ(q->entries()[0].text, "/up/p.jpg [OK]");
    EXPECT_TRUE(m_server.content("up/p.jpg") == photo) << fs::file_size(m_server.file("up/p.jpg"));
}

TEST_F(FileTransferQueueTest, CancelStopsTheTransferAndLeavesTheRestStalled) {
    ASSERT_TRUE(m_server.start({"--read-limit", "65536"}));
    auto q = queue(settingsFor(m_server.port()));
    Recorder recorder;
    std::atomic<bool> sending{false};
    recorder.onEntry = [&](std::size_t, const FileTransferEntry& entry) {
        if (entry.bytesSent > 0)
            sending = true;
    };
    q->addObserver(&recorder);
    q->add(local("big.jpg", std::string(4 << 20, 'x')), "/up", "big.jpg");
    q->add(local("next.jpg", "n"), "/up", "next.jpg");
    lumo::test::Watchdog watchdog("cancelling the queue", std::chrono::seconds(30));
    q->start();
    while (!sending)
        std::this_thread::sleep_for(10ms);
    const auto before = std::chrono::steady_clock::now();
    q->cancel();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 10s);
    EXPECT_FALSE(q->running());
    EXPECT_NE(std::find(recorder.statuses.begin(), recorder.statuses.end(), "Terminating..."),
              recorder.statuses.end());
    for (const FileTransferEntry& entry : q->entries()) {
        EXPECT_EQ(entry.result, FileTransferEntry::kResultStalled);
        EXPECT_EQ(entry.text, entry.savedText + " [stalled]");
    }
    EXPECT_FALSE(fs::exists(m_log)); // nothing finished
}

TEST_F(FileTransferQueueTest, ShutdownStepStopsEveryRunningQueue) {
    ASSERT_TRUE(m_server.start({"--read-limit", "65536"}));
    auto q = queue(settingsFor(m_server.port()));
    q->add(local("big.jpg", std::string(4 << 20, 'x')), "/up", "big.jpg");
    CLumoApp app;
    addFTPQueueService(app);
    const auto& steps = app.shutdownSteps().steps();
    const auto step = std::find_if(steps.begin(), steps.end(), [](const AppStep& s) {
        return s.name == "FTPQueueManager::TerminateAllQueuesASAP()";
    });
    ASSERT_NE(step, steps.end());
    lumo::test::Watchdog watchdog("the shutdown step", std::chrono::seconds(30));
    q->start();
    EXPECT_TRUE(step->run());
    EXPECT_FALSE(q->running());
    EXPECT_TRUE(q->hasStalledOrFailed());
}
