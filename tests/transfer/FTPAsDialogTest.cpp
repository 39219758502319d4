// Upload preparation (session folders, rendered copies, raw+JPEG choices) and lumo ftp against a real
// FTP server on 127.0.0.1, with corpus camera files read back by exiftool on the server's side.

#include "transfer/FTPAsDialog.h"

#include "app/LumoPaths.h"
#include "background/ProgressDialogInterface.h"
#include "support/FileIO.h"

#include "cli/LumoHome.h"
#include "support/PhotoEngineTest.h"
#include "support/ServerProcess.h"
#include "support/TestLog.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;
using lumo::test::readWholeFile;
using lumo::test::ServerProcess;
using lumo::test::TempDir;

namespace {

// A corpus file copied into `folder` as `name`; empty (and the test skipped) without the corpus.
std::string corpusCopy(const std::string& corpusName, const std::string& folder, const std::string& name) {
    const std::string corpus = lumo::test::corpusFolder();
    if (corpus.empty())
        return {};
    const std::string path = folder + "/" + name;
    fs::copy_file(corpus + "/" + corpusName, path, fs::copy_options::overwrite_existing);
    fs::permissions(path, fs::perms::owner_write, fs::perm_options::add);
    return path;
}

std::vector<std::string> sessionFolders(const std::string& cache) {
    std::vector<std::string> found;
    for (const std::string& name : lumo::test::namesIn(cache))
        if (name.rfind("FTPSession_", 0) == 0)
            found.push_back(name);
    return found;
}

class FTPAsThreadTest : public lumo::test::PhotoEngineTest {};

} // namespace

TEST(FTPSessionFolder, NamedLockedRemovedAndLeftoversCleared) {
    EXPECT_EQ(FTPSessionFolder::Name(123456, 7, "_x"), "FTPSession_123456_7_x");
    TempDir cache;
    LumoPaths::initialise(ResolvedLocations{cache.file("settings"), cache.path()});
    FTPSessionFolder live, other;
    ASSERT_TRUE(live.Create());
    ASSERT_TRUE(other.Create("_b"));
    EXPECT_NE(live.Path(), other.Path());
    EXPECT_TRUE(
        std::regex_match(fs::path(live.Path()).filename().string(), std::regex("FTPSession_\\d+_\\d+")));
    EXPECT_TRUE(
        std::regex_match(fs::path(other.Path()).filename().string(), std::regex("FTPSession_\\d+_\\d+_b")));
    lumo::test::writeWholeFile(live.Path() + "/a.jpg", "x");

    // A killed run's folder: its lock file is there but nobody holds it. An old folder without one
    // goes too; a new one may be a session being made.
    const std::string killed = cache.file("FTPSession_1_1"), old = cache.file("FTPSession_2_2"),
                      fresh = cache.file("FTPSession_3_3"), unrelated = cache.file("FTPSessionNotes");
    for (const auto& folder : {killed, old, fresh})
        fs::create_directories(folder + "/sub");
    lumo::test::writeWholeFile(killed + "/.session-lock", "");
    lumo::test::writeWholeFile(unrelated, "mine");
    fs::last_write_time(old, fs::file_time_type::clock::now() - std::chrono::hours(1));

    EXPECT_EQ(FTPSessionFolder::RemoveLeftovers(cache.path()), 2);
    EXPECT_TRUE(fs::exists(live.Path() + "/a.jpg"));
    EXPECT_TRUE(fs::exists(other.Path()));
    EXPECT_TRUE(fs::exists(fresh));
    EXPECT_FALSE(fs::exists(killed));
    EXPECT_FALSE(fs::exists(old));
    EXPECT_TRUE(fs::exists(unrelated));

    const std::string path = live.Path();
    live.Remove();
    EXPECT_FALSE(fs::exists(path));
    other.Remove();
    LumoPaths::reset();
}

TEST_F(FTPAsThreadTest, RendersIntoTheSessionFolderLoggingEachStepAndKeepsTheRawJpegChoice) {
    TempDir photos;
    const std::string raw = corpusCopy("exiftool/CanonRaw.cr2", photos.path(), "IMG_1.CR2");
    if (raw.empty())
        LUMO_SKIP_OR_FAIL("no corpus");
    const std::string jpeg = corpusCopy("exiv2/FurnaceCreekInn.jpg", photos.path(), "IMG_1.JPG");
    const std::string single = corpusCopy("exiv2/exiv2-bug884b.jpg", photos.path(), "single.jpg");

    // Which files of a pair go; a file without a partner always goes.
    using Files = std::vector<std::string>;
    EXPECT_EQ(FTPAsThread::SelectFiles({raw, jpeg, single}, kSendRawAndJpeg), (Files{raw, jpeg, single}));
    EXPECT_EQ(FTPAsThread::SelectFiles({jpeg, single, raw}, kSendJpegOnly), (Files{single, jpeg}));
    EXPECT_EQ(FTPAsThread::SelectFiles({raw, jpeg, single}, kSendRawOnly), (Files{raw, single}));
    EXPECT_EQ(FTPAsThread::SelectFiles({jpeg}, kSendRawOnly), (Files{jpeg}));

    // Originals are sent as they are: no session folder, no copy.
    {
        FTPAsOptions options;
        options.rawJpegChoice = kSendJpegOnly;
        ProgressDialogInterface progress;
        FTPAsThread thread({raw, jpeg, single}, options, &progress);
        std::vector<std::string> queued;
        thread.m_queueFile = [&](const FTPPreparedFile& file) { queued.push_back(file.prepared); };
        ASSERT_TRUE(thread.Start());
        thread.Join();
        EXPECT_EQ(queued, (Files{jpeg, single}));
        EXPECT_TRUE(thread.SessionFolder().empty());
    }

    // Rendered copies: fitted into the box, in the session folder, which goes with the worker.
    FTPAsOptions options;
    options.processImages = true;
    options.saveAs.scaleType = kScaleBox;
    options.saveAs.scaleBoxSize = 320;
    options.saveAs.sharpenPixels = true;
    options.rawJpegChoice = kSendJpegOnly;
    options.backupFolder = photos.file("backup");
    ProgressDialogInterface progress;
    std::string session;
    {
        FTPAsThread thread({raw, jpeg, photos.file("missing.jpg"), single}, options, &progress);
        std::vector<std::string> queued;
        thread.m_queueFile = [&](const FTPPreparedFile& file) { queued.push_back(file.prepared); };
        ASSERT_TRUE(thread.Start());
        thread.Join();
        session = thread.SessionFolder();
        ASSERT_FALSE(session.empty());
        ASSERT_EQ(queued.size(), 2u);
        ASSERT_EQ(thread.Files().size(), 3u);
        EXPECT_EQ(thread.Files()[1].error, FTPAsText::kRenderFailed); // missing.jpg
        EXPECT_EQ(progress.GetStatus(), ProgressDialogInterface::kStatusFailed);
        for (const std::string& file : queued) {
            EXPECT_EQ(fs::path(file).parent_path(), fs::path(session));
            NRFImageInfoRef record;
            ASSERT_EQ(NRFOpenImage(file.c_str(), 0, &record), 0u);
            ASSERT_EQ(NRFGetImageInfo(record.get()), 0u);
            EXPECT_EQ(std::max(record->m_width, record->m_height), 320u) << file;
            NRFCloseImage(&record);
        }
        EXPECT_EQ(fs::path(queued[0]).filename(), "IMG_1.JPG");
        EXPECT_EQ(lumo::test::namesIn(photos.file("backup")), (Files{"IMG_1.JPG", "single.jpg"}));
    }
    EXPECT_FALSE(fs::exists(session));

    // The log tells each step of the photo, in order.
    const std::string log = lumo::test::loggedSoFar();
    const std::string steps[] = {"FTPImageProcessing: processing '" + jpeg + "'",
                                 "FTPImageProcessing: using IPTC from original file.",
                                 "FTPImageProcessing: loading full resolution image.",
                                 "FTPImageProcessing: scaling by box size.",
                                 "FTPImageProcessing: sharpening.",
                                 "FTPImageProcessing: saving as type JPEG.",
                                 "FTPImageProcessing: original file was '" + jpeg + "'.",
                                 "FTPImageProcessing: became '" + session + "/IMG_1.JPG'",
                                 "FTPFile::SaveBackup: copying file '" + session + "/IMG_1.JPG' to '"};
    std::size_t at = log.rfind(steps[0]);
    ASSERT_NE(at, std::string::npos);
    for (const std::string& step : steps) {
        const std::size_t next = log.find(step, at);
        EXPECT_NE(next, std::string::npos) << step;
        if (next != std::string::npos)
            at = next;
    }
}

namespace {

// lumo ftp against a pyftpdlib server that the test starts (and kills, and starts again).
class FtpCommandTest : public ::testing::Test {
protected:
    bool startServer(int port = 0, std::vector<std::string> extra = {}) {
        std::vector<std::string> args{lumo::test::testServerScript("ftp_server.py"),
                                      "--root",
                                      m_root.path(),
                                      "--user",
                                      "photo",
                                      "--password",
                                      "secret",
                                      "--port",
                                      std::to_string(port)};
        args.insert(args.end(), extra.begin(), extra.end());
        const bool started = m_server.start("/usr/bin/python3", args);
        EXPECT_TRUE(started) << m_server.error();
        return started;
    }
    std::vector<std::string> connection() const {
        return {"--server", "127.0.0.1:" + std::to_string(m_server.port()), "--user", "photo",
                "--password-stdin"};
    }
    // The transfer log's lines for `remote`.
    std::vector<std::string> logLines(const std::string& remoteName) const {
        std::vector<std::string> lines;
        std::istringstream log(readWholeFile(m_home.cache + "/FileTransferLog.tsv"));
        for (std::string line; std::getline(log, line);)
            if (line.find(remoteName + "\t") != std::string::npos)
                lines.push_back(line);
        return lines;
    }

    TempDir m_root, m_photos;
    LumoHome m_home{"ftp"};
    ServerProcess m_server;
};

} // namespace

TEST_F(FtpCommandTest, ProcessedCameraFilesArriveResizedAndCaptioned) {
    std::vector<std::string> files;
    for (const char* name :
         {"DSC_3079.jpg", "FurnaceCreekInn.jpg", "exiv2-bug876.jpg", "exiv2-bug884b.jpg"}) {
        files.push_back(corpusCopy(std::string("exiv2/") + name, m_photos.path(), name));
        if (files.back().empty())
            LUMO_SKIP_OR_FAIL("no corpus");
    }
    ASSERT_TRUE(startServer());
    ASSERT_EQ(lumo::test::runProcess(
                  LUMO_BINARY, {"template", "edit", "--field", "Caption=Sent by {filename}"}, m_home.env)
                  .exitCode,
              0);
    // A saved connection, listed without its password, and used.
    auto saved = m_home.lumo({"save", "shoot", "--server", "127.0.0.1:" + std::to_string(m_server.port()),
                              "--user", "photo", "--password-stdin", "--path", "/web/big"},
                             "secret\n");
    ASSERT_EQ(saved.exitCode, 0) << saved.err;
    const auto listed = m_home.lumo({"list"});
    EXPECT_NE(listed.out.find("shoot\tphoto@127.0.0.1:" + std::to_string(m_server.port()) + "/web/big"),
              std::string::npos)
        << listed.out;
    EXPECT_EQ(listed.out.find("secret"), std::string::npos);

    std::vector<std::string> args{"put",       "--conn", "shoot", "--path",           "/web/small",
                                  "--process", "--box",  "300",   "--apply-template", "--json"};
    args.insert(args.end(), files.begin(), files.end());
    const auto put = m_home.lumo(args);
    ASSERT_EQ(put.exitCode, 0) << put.err << put.out;
    const auto json = nlohmann::json::parse(put.out);
    ASSERT_EQ(json.size(), files.size());
    EXPECT_EQ(json[0]["status"], "OK");
    EXPECT_EQ(sessionFolders(m_home.cache), std::vector<std::string>{});

    const auto read = lumo::test::exiftoolJson({"-IPTC:Caption-Abstract", "-XMP:Description", "-ImageWidth",
                                                "-ImageHeight", "-FileName", m_root.file("web/small")});
    if (!read)
        LUMO_SKIP_OR_FAIL("no exiftool");
    ASSERT_EQ(read->size(), files.size());
    for (const auto& file : *read) {
        const std::string name = file["FileName"];
        const std::string stem = name.substr(0, name.find('.'));
        EXPECT_EQ(file.value("Caption-Abstract", ""), "Sent by " + stem + ".jpg") << name;
        EXPECT_EQ(std::max(file["ImageWidth"].get<int>(), file["ImageHeight"].get<int>()), 300) << name;
    }
    // Without --process the original is sent, the template applied to a copy of it.
    const auto original = m_home.lumo({"put", "--conn", "shoot", "--apply-template", files[1]});
    ASSERT_EQ(original.exitCode, 0) << original.err;
    EXPECT_EQ(original.out, "/web/big/FurnaceCreekInn.jpg [OK]\n");
    const auto copy = lumo::test::exiftoolJson(
        {"-IPTC:Caption-Abstract", "-ImageWidth", m_root.file("web/big/FurnaceCreekInn.jpg")});
    ASSERT_TRUE(copy && copy->size() == 1);
    EXPECT_EQ((*copy)[0].value("Caption-Abstract", ""), "Sent by FurnaceCreekInn.jpg");
    EXPECT_EQ((*copy)[0]["ImageWidth"], 400);
    // The originals keep their metadata.
    EXPECT_EQ(readWholeFile(files[0]), readWholeFile(lumo::test::corpusFolder() + "/exiv2/DSC_3079.jpg"));

    EXPECT_EQ(m_home.lumo({"forget", "shoot"}).exitCode, 0);
    EXPECT_EQ(m_home.lumo({"list"}).out, "");
    EXPECT_EQ(m_home.lumo({"put", "--conn", "shoot", files[0]}).exitCode, 2);
}

TEST_F(FtpCommandTest, AServerKilledMidQueueAndStartedAgainGetsEveryFileOnce) {
    std::vector<std::string> files;
    for (int i = 0; i < 4; ++i) {
        files.push_back(
            corpusCopy("exiv2/DSC_3079.jpg", m_photos.path(), "IMG_" + std::to_string(i) + ".jpg"));
        if (files.back().empty())
            LUMO_SKIP_OR_FAIL("no corpus");
    }
    // Slow enough that the queue is in the middle when the server dies: the server's throttle lets a
    // file of this size through in about four seconds (a faster limit lets it through in one burst).
    ASSERT_TRUE(startServer(0, {"--read-limit", "20000"}));
    const int port = m_server.port();
    std::vector<std::string> args{"put",       "--server", "127.0.0.1:" + std::to_string(port),
                                  "--user",    "photo",    "--password-stdin",
                                  "--retries", "5",        "--retry-wait",
                                  "1"};
    args.insert(args.end(), files.begin(), files.end());
    lumo::test::ProcessResult put;
    std::thread run([&] { put = m_home.lumo(args, "secret\n"); });
    // Kill it once the second file has arrived, start it again a little later on the same port: the
    // sender's connection is opened again (its connect waits for the server) and every file goes once.
    for (int i = 0; i < 300 && !fs::exists(m_root.file("IMG_1.jpg")); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    m_server.kill();
    std::size_t arrived = 0;
    for (const std::string& file : files)
        arrived += fs::exists(m_root.file(fs::path(file).filename()));
    EXPECT_LT(arrived, files.size()); // the kill came mid-queue
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_TRUE(startServer(port));
    run.join();
    EXPECT_EQ(put.exitCode, 0) << put.err << put.out;
    for (const std::string& file : files) {
        const std::string name = fs::path(file).filename();
        EXPECT_EQ(readWholeFile(m_root.file(name)), readWholeFile(file)) << name;
        const auto lines = logLines("/" + name);
        int ok = 0;
        for (const std::string& line : lines)
            ok += line.find("\tOK\t") != std::string::npos;
        EXPECT_EQ(ok, 1) << name;
        EXPECT_NE(put.out.find(name + " [OK]"), std::string::npos) << name;
    }
}

TEST(FtpCommandUsage, BadCommandLinesAreRefusedBeforeAnythingIsSent) {
    LumoHome home{"ftp"};
    const std::string photo = home.dir.file("a.jpg");
    lumo::test::writeWholeFile(photo, "not sent");
    const std::vector<std::vector<std::string>> refused = {
        {"put", photo, "--user", "u"},                                         // no server
        {"put", photo, "--server", "127.0.0.1:99999", "--anonymous"},          // no such port
        {"put", photo, "--server", "h", "--anonymous", "--policy", "keep"},    // no such policy
        {"put", photo, "--server", "h", "--anonymous", "--pin-cert", "ab:cd"}, // no --tls
        {"put", photo, "--server", "h", "--anonymous", "--process", "--box", "9", "--percent", "5"},
        {"put", photo, "--conn", "nothing-saved"},
    };
    for (const auto& args : refused)
        EXPECT_EQ(home.lumo(args).exitCode, 2) << args[2] << " " << args.back();
}

TEST_F(FtpCommandTest, AFailedFileIsSentAgainInALaterRound) {
    const std::string photo = corpusCopy("exiv2/FurnaceCreekInn.jpg", m_photos.path(), "a.jpg");
    if (photo.empty())
        LUMO_SKIP_OR_FAIL("no corpus");
    ASSERT_TRUE(startServer());
    // A file stands where the folder must be made, until the first round has failed.
    lumo::test::writeWholeFile(m_root.file("blocker"), "in the way");
    std::vector<std::string> args = connection();
    args.insert(args.begin(), "put");
    for (const char* arg : {"--path", "/blocker/sub", "--retries", "2", "--retry-wait", "2"})
        args.push_back(arg);
    args.push_back(photo);
    lumo::test::ProcessResult put;
    std::thread run([&] { put = m_home.lumo(args, "secret\n"); });
    const std::string log = m_home.cache + "/FileTransferLog.tsv";
    const auto failedOnce = [&] {
        return fs::exists(log) && readWholeFile(log).find("\tERROR\t") != std::string::npos;
    };
    for (int i = 0; i < 600 && !failedOnce(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    fs::remove(m_root.file("blocker"));
    run.join();
    EXPECT_EQ(put.exitCode, 0) << put.err << put.out;
    EXPECT_EQ(put.out,
              "/blocker/sub/a.jpg [error: Failed to create directory on server.]\n/blocker/sub/a.jpg [OK]\n");
    EXPECT_NE(put.err.find("lumo: retrying the files not sent (1 of 2)"), std::string::npos) << put.err;
    EXPECT_EQ(put.err.find("(2 of 2)"), std::string::npos) << put.err;
    const auto lines = logLines("/blocker/sub/a.jpg");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("\tERROR\t"), std::string::npos);
    EXPECT_NE(lines[1].find("\tOK\t"), std::string::npos);
    EXPECT_EQ(readWholeFile(m_root.file("blocker/sub/a.jpg")), readWholeFile(photo));
}
