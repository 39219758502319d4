// Live ingest: a new photo is picked up once it is complete and only once, a raw file and its JPEG go
// together, the copies land in every destination by the folder rules, and the task's settings survive.

#include "fileops/LiveIngest.h"

#include "background/ProgressDialogInterface.h"
#include "db/Preferences.h"
#include "support/AnsweringPhotoEngineTest.h"
#include "support/JpegBuilder.h"
#include "support/TestSupport.h"
#include "variables/VariableExpander.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <thread>

using lumo::test::namesIn;
using lumo::test::readWholeFile;
using lumo::test::TempDir;
using lumo::test::writeWholeFile;
using namespace std::chrono_literals;

namespace {

using Photo = std::vector<std::string>;

class LiveIngestTest : public lumo::test::AnsweringPhotoEngineTest {
protected:
    // Polls `watcher` for `duration`, collecting the photos it offers.
    static void pollFor(LiveIngestWatcher& watcher, std::chrono::milliseconds duration,
                        std::vector<Photo>& offered) {
        const auto end = std::chrono::steady_clock::now() + duration;
        while (std::chrono::steady_clock::now() < end)
            watcher.Poll(20ms, [&](const Photo& photo) { offered.push_back(photo); });
    }

    // The bytes of a raw photo from the corpus (empty without the corpus).
    static std::string rawBytes() {
        const std::string corpus = lumo::test::corpusFolder();
        return corpus.empty() ? std::string() : readWholeFile(corpus + "/exiftool/Nikon.nef");
    }

    TempDir m_src, m_dst, m_dst2;
};

} // namespace

TEST_F(LiveIngestTest, SpecRecordSettingsAndSnapshots) {
    LiveIngestSpec spec;
    spec.m_sourcePaths = {"/a", "/b"};
    spec.m_destSpecs = {{"/d1", true, true, "{year4}", kIngestPreserveSourceDirs, true},
                        {"/d2", false, false, "", 0, false}};
    spec.m_doingRename = true;
    spec.m_renameString = "Game_{seqn}";
    spec.m_applyingStationeryPad = true;
    const CILA::VObject record = spec.ToVObject();
    ASSERT_NE(record.fetch("dest_specs"), nullptr);
    EXPECT_EQ(record.fetch("dest_specs")->at(0).fetch("src_dir_mode")->getint(), kIngestPreserveSourceDirs);
    LiveIngestSpec back;
    ASSERT_TRUE(LiveIngestSpec::FromVObject(record, back));
    EXPECT_EQ(back.ToVObject(), record);
    EXPECT_FALSE(LiveIngestSpec::FromVObject(CILA::VObject("no record"), back));

    ASSERT_TRUE(CPreferences::GetPreferences());
    ASSERT_TRUE(spec.SaveSettings());
    ASSERT_TRUE(spec.SaveSnapshot("Tethered"));
    LiveIngestSpec loaded, snapshot;
    EXPECT_TRUE(loaded.LoadSettings());
    EXPECT_TRUE(snapshot.LoadSnapshot("Tethered"));
    EXPECT_FALSE(snapshot.LoadSnapshot("Missing"));
    EXPECT_EQ(loaded.ToVObject(), record);
    EXPECT_EQ(snapshot.ToVObject(), record);
    CILA::VObject stored;
    EXPECT_TRUE(CPreferences::instance()->getValue("Live Ingest:Snapshot:Tethered", stored));
    CPreferences::ClosePreferences();
}

// A JPEG written slowly in chunks is offered once, after its last chunk: whether the writer keeps it
// open between chunks or closes it after each (then only its EOI marker tells it is whole).
TEST_F(LiveIngestTest, FileWrittenInChunksOfferedOnceWhenComplete) {
    const std::string jpeg = lumo::test::encodeJpeg(64, 48);
    writeWholeFile(m_src.file("OLD.JPG"), jpeg); // there before the watch: not new
    for (const bool keepOpen : {true, false}) {
        SCOPED_TRACE(keepOpen ? "kept open" : "closed between chunks");
        LiveIngestWatcher watcher({m_src.path()});
        std::string error;
        ASSERT_TRUE(watcher.Start(error)) << error;
        const std::string path = m_src.file(keepOpen ? "OPEN.JPG" : "CLOSED.JPG");
        std::vector<Photo> offered;
        const std::size_t chunk = jpeg.size() / 4 + 1;
        int fd = -1;
        for (std::size_t at = 0; at < jpeg.size(); at += chunk) {
            if (fd < 0)
                fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            ASSERT_GE(fd, 0);
            const std::size_t size = std::min(chunk, jpeg.size() - at);
            ASSERT_EQ(::write(fd, jpeg.data() + at, size), static_cast<ssize_t>(size));
            if (!keepOpen) {
                ::close(fd);
                fd = -1;
            }
            // Longer than the settle time: a closed partial file must still not be taken.
            pollFor(watcher, LiveIngestWatcher::kSettleTime * 2, offered);
            EXPECT_TRUE(offered.empty())
                << "offered after " << at + size << " of " << jpeg.size() << " bytes";
        }
        if (fd >= 0)
            ::close(fd);
        pollFor(watcher, LiveIngestWatcher::kSettleTime + LiveIngestWatcher::kPartnerLateWait + 600ms,
                offered);
        EXPECT_EQ(offered, (std::vector<Photo>{{path}}));
    }
}

// Folders made while watching are watched, files there count as new; hidden names and the excluded
// destination are never offered, nor is a sidecar alone; a raw file and its JPEG come as one photo, the raw
// file first.
TEST_F(LiveIngestTest, RawJpegPairsSubfoldersAndIgnoredNames) {
    const std::string raw = rawBytes();
    if (raw.empty())
        GTEST_SKIP() << "no corpus";
    const std::string jpeg = lumo::test::encodeJpeg(32, 24);
    const std::string inside = m_src.file("out");
    std::filesystem::create_directories(inside);
    LiveIngestWatcher watcher({m_src.path()}, {inside});
    std::string error;
    ASSERT_TRUE(watcher.Start(error)) << error;
    std::filesystem::create_directories(m_src.file("sub/deeper"));
    std::vector<Photo> offered;
    pollFor(watcher, 50ms, offered);
    writeWholeFile(m_src.file("sub/deeper/DSC_0002.XMP"), "<x:xmpmeta/>"); // goes with its photo only
    writeWholeFile(m_src.file("sub/deeper/DSC_0002.NEF"), raw);
    pollFor(watcher, 150ms, offered); // the partner is a little late
    writeWholeFile(m_src.file("sub/deeper/dsc_0002.jpg"), jpeg);
    writeWholeFile(m_src.file("sub/.hidden.JPG"), jpeg);
    writeWholeFile(inside + "/COPY.JPG", jpeg);
    pollFor(watcher, 1500ms, offered);
    EXPECT_EQ(offered, (std::vector<Photo>{
                           {m_src.file("sub/deeper/DSC_0002.NEF"), m_src.file("sub/deeper/dsc_0002.jpg")}}));
}

TEST_F(LiveIngestTest, NamedOperations) {
    const std::string jpeg = lumo::test::encodeJpeg(16, 16);
    const struct {
        std::string bytes;
        bool complete;
    } jpegs[] = {
        {jpeg, true}, {jpeg.substr(0, jpeg.size() - 1), false}, {jpeg + "x", false}, {"\xFF\xD9", false}};
    for (const auto& c : jpegs) {
        writeWholeFile(m_src.file("T.JPG"), c.bytes);
        EXPECT_EQ(LiveIngestCopyThread::jpeg_file_is_complete(m_src.file("T.JPG")), c.complete)
            << c.bytes.size();
    }
    EXPECT_FALSE(LiveIngestCopyThread::jpeg_file_is_complete(m_src.file("missing.jpg")));

    // Removal: the photo with its attached files, a read-only one too; what cannot go is named.
    std::string error;
    if (const std::string raw = rawBytes(); !raw.empty()) {
        writeWholeFile(m_src.file("R.NEF"), raw);
        writeWholeFile(m_src.file("R.XMP"), "<x:xmpmeta/>");
        ::chmod(m_src.file("R.NEF").c_str(), 0444);
        EXPECT_TRUE(LiveIngestCopyThread::remove_source_photo({m_src.file("R.NEF")}, error)) << error;
        EXPECT_EQ(namesIn(m_src.path()), (std::vector<std::string>{"T.JPG"}));
    }
    std::filesystem::create_directories(m_src.file("stays"));
    EXPECT_FALSE(LiveIngestCopyThread::remove_source_photo({m_src.file("stays")}, error));
    EXPECT_EQ(error, "Error deleting: " + m_src.file("stays"));

    // Without destinations nothing is copied.
    ProgressDialogInterface progress;
    LiveIngestSpec none;
    LiveIngestCopyThread thread(none, &progress);
    LiveIngestCopyThread::PhotoResult result;
    EXPECT_FALSE(thread.ingest_file(m_src.file("T.JPG"), "", result));
    EXPECT_EQ(result.error, "LiveIngestCopyThread::ingest_file: missing dest specs");

    // A destination folder that cannot be made fails the photo with its path.
    writeWholeFile(m_dst.file("file"), "not a folder");
    writeWholeFile(m_src.file("T.JPG"), jpeg);
    LiveIngestSpec blocked;
    blocked.m_destSpecs = {{m_dst.file("file/x"), false, false, "", kIngestIgnoreSourceDirs, false}};
    LiveIngestCopyThread blockedThread(blocked, &progress);
    LiveIngestCopyThread::PhotoResult blockedResult;
    EXPECT_FALSE(blockedThread.ingest_file(m_src.file("T.JPG"), "", blockedResult));
    EXPECT_EQ(blockedResult.error, "Failed to create destination directory: " + m_dst.file("file/x"));
    EXPECT_TRUE(blockedResult.destinations.empty());
}

TEST_F(LiveIngestTest, DestinationFolders) {
    LiveIngestSpec spec;
    spec.m_sourcePaths = {m_src.path()};
    ProgressDialogInterface progress;
    LiveIngestCopyThread thread(spec, &progress);
    VariableContext context;
    // The folders between the watched folder and the photo are what the source structure keeps.
    const struct {
        LiveIngestDestSpec dest;
        std::string photo; // below m_src
        std::string expected;
    } cases[] = {
        {{"/d/", false, false, "x", kIngestIgnoreSourceDirs, false}, "cam/100ND/A.JPG", "/d"},
        {{"/d", false, true, "shoot", kIngestIgnoreSourceDirs, false}, "cam/100ND/A.JPG", "/d/shoot"},
        {{"/d", false, false, "", kIngestKeepSourceDirNames, false}, "cam/100ND/A.JPG", "/d/100ND"},
        {{"/d", false, false, "", kIngestPreserveSourceDirs, false}, "cam/100ND/A.JPG", "/d/cam/100ND"},
        {{"/d", false, false, "", kIngestPreserveSourceDirs, false}, "A.JPG", "/d"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(thread.get_dest_folder_expanded(c.dest, m_src.file(c.photo), context), c.expected)
            << c.photo;
}

// The task: a photo closed in a watched folder is copied to both destinations, renamed with the running
// sequence; the time from its close to its verified copies is measured (not asserted).
TEST_F(LiveIngestTest, TaskCopiesEachNewPhotoToEveryDestination) {
    LiveIngestSpec spec;
    spec.m_sourcePaths = {m_src.path()};
    spec.m_destSpecs = {{m_dst.path(), false, true, "shoot", kIngestIgnoreSourceDirs, true},
                        {m_dst2.path(), false, false, "", 0, false}};
    spec.m_doingRename = true;
    spec.m_renameString = "Live_{seqn}";
    spec.m_autoCatalog = true;
    ProgressDialogInterface progress;
    LiveIngestCopyThread thread(spec, &progress);
    std::mutex lock;
    std::condition_variable arrived;
    std::vector<LiveIngestCopyThread::PhotoResult> results;
    std::chrono::steady_clock::time_point done;
    thread.m_onIngested = [&](const LiveIngestCopyThread::PhotoResult& result) {
        std::lock_guard guard(lock);
        done = std::chrono::steady_clock::now();
        results.push_back(result);
        arrived.notify_all();
    };
    std::vector<std::string> opened, catalogued;
    thread.m_openFolder = [&](const std::string& folder) { opened.push_back(folder); };
    thread.m_addToCatalog = [&](const std::vector<std::string>& copies) { catalogued = copies; };
    ASSERT_TRUE(thread.Start());
    for (int i = 0; i < 200 && !thread.Watching(); ++i)
        std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(thread.Watching());
    const std::string jpeg = lumo::test::encodeJpeg(64, 48);
    writeWholeFile(m_src.file("IMG_0001.JPG"), jpeg);
    const auto closed = std::chrono::steady_clock::now();
    {
        std::unique_lock guard(lock);
        arrived.wait_for(guard, 5s, [&] { return !results.empty(); });
    }
    progress.SetCancelled(true);
    thread.Join();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].error, "");
    std::printf(
        "live ingest: close to verified copies in %lld ms\n",
        static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(done - closed).count()));
    ASSERT_EQ(results[0].destinations.size(), 2u);
    const std::string name = std::filesystem::path(results[0].destinations[0]).filename().string();
    EXPECT_EQ(name.rfind("Live_", 0), 0u) << name;
    EXPECT_EQ(results[0].destinations[0], m_dst.file("shoot/" + name));
    EXPECT_EQ(results[0].destinations[1], m_dst2.file(name));
    EXPECT_EQ(readWholeFile(m_dst2.file(name)).size() > 0, true);
    EXPECT_FALSE(LiveIngestCopyThread::active_live_ingest_using_sequence());
    EXPECT_EQ(opened, (std::vector<std::string>{m_dst.file("shoot")})); // only the destination asking
    EXPECT_EQ(catalogued, results[0].destinations);
}
