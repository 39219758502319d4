// Ingest tasks on cards built here: copies in both destinations, incremental runs, a read-only card,
// erasing only clean verified cards, the free-space question, several sources, sequence numbers of two
// tasks at once, video folders and bad files, and a run that resumes an interrupted one.

#include "fileops/IngestCopyThread.h"

#include "background/ProgressDialogInterface.h"
#include "fileops/LumoCopyFile.h"
#include "fileops/VolumeManager.h"
#include "support/AnsweringPhotoEngineTest.h"
#include "support/FileIO.h"
#include "support/JpegBuilder.h"
#include "support/TestSupport.h"
#include "variables/VariableSequence.h"

#include <gtest/gtest.h>

#include <sys/mount.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <set>

using lumo::test::filesBelow;
using lumo::test::readWholeFile;
using lumo::test::TempDir;
using lumo::test::writeWholeFile;

namespace fs = std::filesystem;

namespace {

bool contains(const std::vector<std::string>& texts, const std::string& part) {
    return std::any_of(texts.begin(), texts.end(),
                       [&](const std::string& text) { return text.find(part) != std::string::npos; });
}

class IngestCopyThreadTest : public lumo::test::AnsweringPhotoEngineTest {
protected:
    // A JPEG photo on `card` (distinct bytes per `size`) below `folder` of the DCIM tree.
    static std::string photo(const TempDir& card, const std::string& name, int size = 32,
                             const std::string& folder = "DCIM/100TEST") {
        fs::create_directories(card.file(folder));
        const std::string path = card.file(folder + "/" + name);
        writeWholeFile(path, lumo::test::encodeJpeg(size, 24));
        return path;
    }

    IngestTaskSpec spec(std::vector<std::string> sources, bool secondary = false) const {
        IngestTaskSpec s;
        s.m_sourcePaths = std::move(sources);
        s.m_primaryDestPath = m_primary.path();
        s.m_secondaryEnabled = secondary;
        s.m_secondaryDestPath = secondary ? m_secondary.path() : std::string();
        return s;
    }

    std::unique_ptr<IngestCopyThread> start(const IngestTaskSpec& s, ProgressDialogInterface& progress) {
        auto task = std::make_unique<IngestCopyThread>(s, &progress);
        task->m_volumes = &m_volumes;
        task->m_cacheFolder = m_cache.path();
        task->m_reportFolder = m_cache.path();
        EXPECT_TRUE(task->Start());
        return task;
    }

    std::unique_ptr<IngestCopyThread> run(const IngestTaskSpec& s,
                                          const std::function<void(IngestCopyThread&)>& prepare = {}) {
        m_progress = std::make_unique<ProgressDialogInterface>();
        auto task = std::make_unique<IngestCopyThread>(s, m_progress.get());
        task->m_volumes = &m_volumes;
        task->m_cacheFolder = m_cache.path();
        task->m_reportFolder = m_cache.path();
        if (prepare)
            prepare(*task);
        EXPECT_TRUE(task->Start());
        task->Join();
        EXPECT_TRUE(m_progress->IsFinished());
        return task;
    }

    static std::vector<IngestCopyThread::Outcome> outcomes(const IngestCopyThread& task) {
        std::vector<IngestCopyThread::Outcome> out;
        for (const auto& result : task.Results())
            out.push_back(result.outcome);
        return out;
    }

    TempDir m_card, m_primary, m_secondary, m_cache;
    FakeVolumeManager m_volumes;
    std::unique_ptr<ProgressDialogInterface> m_progress;
};

using Outcome = IngestCopyThread::Outcome;

} // namespace

TEST_F(IngestCopyThreadTest, BothDestinationsThenOnlyNewFilesIncrementally) {
    photo(m_card, "A.JPG", 32);
    const std::string b = photo(m_card, "B.JPG", 40);
    IngestTaskSpec s = spec({m_card.path()}, true);
    s.m_incremental = true;

    auto first = run(s);
    EXPECT_EQ(outcomes(*first), (std::vector{Outcome::Copied, Outcome::Copied}));
    for (const auto& result : first->Results()) {
        EXPECT_TRUE(result.verified);
        EXPECT_EQ(result.digest.size(), 32u);
        ASSERT_EQ(result.destinations.size(), 2u);
        EXPECT_EQ(readWholeFile(result.destinations[0]), readWholeFile(result.source));
        EXPECT_EQ(readWholeFile(result.destinations[1]), readWholeFile(result.source));
    }
    EXPECT_EQ(filesBelow(m_primary.path()), (std::vector<std::string>{"A.JPG", "B.JPG"}));
    EXPECT_EQ(filesBelow(m_secondary.path()), filesBelow(m_primary.path()));
    EXPECT_TRUE(contains({readWholeFile(first->ReportPath())}, "\tverified"));

    // A new file arrives; B's clock moved by exactly one hour: only the new file is copied.
    photo(m_card, "C.JPG", 48);
    const auto mtime = fs::last_write_time(b);
    fs::last_write_time(b, mtime + std::chrono::hours(1));
    auto second = run(s);
    EXPECT_EQ(outcomes(*second),
              (std::vector{Outcome::SkippedIncremental, Outcome::SkippedIncremental, Outcome::Copied}));
    EXPECT_EQ(filesBelow(m_primary.path()), (std::vector<std::string>{"A.JPG", "B.JPG", "C.JPG"}));
    EXPECT_EQ(m_progress->GetStatus(), 0u);
    EXPECT_TRUE(contains(second->Messages(), IngestCopyText::kComplete));
}

TEST_F(IngestCopyThreadTest, ReadOnlyCardIsCopiedWithoutIncremental) {
    TempDir mountPoint;
    if (::mount("tmpfs", mountPoint.path().c_str(), "tmpfs", 0, "size=4m") != 0)
        GTEST_SKIP() << "a tmpfs cannot be mounted: " << std::strerror(errno);
    struct Unmount {
        std::string path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{mountPoint.path()};
    photo(mountPoint, "A.JPG");
    ASSERT_EQ(::mount("tmpfs", mountPoint.path().c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, "size=4m"), 0);
    IngestTaskSpec s = spec({mountPoint.path()});
    s.m_incremental = true;
    // Nothing can be recorded: the second run looks again and finds the copy already there.
    for (const Outcome expected : {Outcome::Copied, Outcome::Arrived}) {
        auto task = run(s);
        EXPECT_TRUE(contains(task->Messages(), "Incremental Ingest will not function on read-only volume"));
        EXPECT_EQ(outcomes(*task), std::vector{expected});
    }
    EXPECT_EQ(filesBelow(m_primary.path()), std::vector<std::string>{"A.JPG"});
}

TEST_F(IngestCopyThreadTest, EraseOnlyCleanVerifiedRemovableCameraCards) {
    const struct {
        const char* what;
        bool corrupt, removable, verify;
        int rawFilter;
        const char* message;
        bool erased;
    } cases[] = {
        {"clean", false, true, true, 0, "was erased successfully", true},
        {"corrupted copy", true, true, true, 0, "because there were errors", false},
        {"fixed disk", false, false, true, 0, "is not a removable volume", false},
        {"unverified", false, true, false, 0, "not every file on it was verified", false},
        {"JPEGs left by the raw filter", false, true, true, 1, "files on it were not copied", false},
    };
    for (const auto& c : cases) {
        TempDir card, primary;
        photo(card, "A.JPG", 32);
        photo(card, "B.JPG", 40);
        m_volumes.setVolumes(
            {MountedVolume{.device = "/dev/fake1", .mountPoint = card.path(), .removable = c.removable}});
        bool corrupted = false;
        if (c.corrupt)
            CopyFile::SetVerifyHookForTesting([&corrupted](const std::string& temporary) {
                if (corrupted)
                    return;
                corrupted = true;
                std::string bytes = readWholeFile(temporary);
                bytes[bytes.size() / 2] ^= 0x55;
                writeWholeFile(temporary, bytes);
            });
        IngestTaskSpec s = spec({card.path()});
        s.m_primaryDestPath = primary.path();
        s.m_erase = true;
        s.m_verify = c.verify;
        s.m_filterRaw = c.rawFilter;
        auto task = run(s);
        CopyFile::SetVerifyHookForTesting(nullptr);
        EXPECT_TRUE(contains(task->Messages(), c.message)) << c.what;
        const auto calls = m_volumes.calls();
        EXPECT_EQ(std::count_if(
                      calls.begin(), calls.end(),
                      [&](const auto& call) { return call.what == "erase" && call.target == card.path(); }),
                  c.erased ? 1 : 0)
            << c.what;
        if (c.corrupt) {
            // The corrupted copy failed and left nothing under its name or a temporary one.
            const auto results = task->Results();
            ASSERT_EQ(results.size(), 2u);
            const auto& copied = results[0].outcome == Outcome::Failed ? results[1] : results[0];
            EXPECT_NE(results[0].outcome, results[1].outcome);
            EXPECT_EQ(copied.outcome, Outcome::Copied);
            EXPECT_EQ(filesBelow(primary.path()),
                      std::vector<std::string>{fs::path(copied.source).filename().string()});
            EXPECT_EQ(m_progress->GetStatus(), ProgressDialogInterface::kStatusFailed);
        }
    }
}

TEST_F(IngestCopyThreadTest, NotEnoughSpaceAsks) {
    photo(m_card, "A.JPG");
    for (const MessageBoxAnswer answer : {MessageBoxAnswer::No, MessageBoxAnswer::Yes}) {
        m_answer = answer;
        m_asked.clear();
        auto task = run(spec({m_card.path()}, true), [](IngestCopyThread& t) {
            t.m_freeSpace = [](const std::string&) { return std::uint64_t{100}; };
        });
        ASSERT_FALSE(m_asked.empty());
        EXPECT_TRUE(m_asked[0].rfind("There is not enough space on volume \"", 0) == 0) << m_asked[0];
        EXPECT_NE(m_asked[0].find("and 100 bytes is available. Proceed anyway?"), std::string::npos);
        const bool copied = answer == MessageBoxAnswer::Yes;
        EXPECT_EQ(filesBelow(m_primary.path()).size(), copied ? 1u : 0u);
        EXPECT_EQ(m_progress->GetStatus(), copied ? 0u : ProgressDialogInterface::kStatusCancelled);
    }
}

TEST_F(IngestCopyThreadTest, SeveralSourcesMergedOrAutoIncremented) {
    TempDir other;
    photo(m_card, "A.JPG", 32);
    photo(other, "B.JPG", 40);
    const struct {
        bool merge, autoIncrement;
        std::vector<std::string> expected;
    } cases[] = {
        {true, false, {"Job/A.JPG", "Job/B.JPG"}},
        {false, true, {"Job-1/A.JPG", "Job-2/B.JPG"}},
        {true, true, {"Job-1/A.JPG", "Job-1/B.JPG"}},
    };
    for (const auto& c : cases) {
        TempDir primary;
        IngestTaskSpec s = spec({m_card.path(), other.path()});
        s.m_primaryDestPath = primary.path();
        s.m_copyPhotos = kIngestNamedFolder;
        s.m_destFolderNameString = "Job";
        s.m_mergeSources = c.merge;
        s.m_autoIncSuffix = c.autoIncrement;
        run(s);
        EXPECT_EQ(filesBelow(primary.path()), c.expected) << c.merge << c.autoIncrement;
    }
}

TEST_F(IngestCopyThreadTest, TwoTasksAtOnceShareTheSequenceWithoutGapsOrRepeats) {
    TempDir other, primary2;
    for (int i = 0; i < 6; ++i) {
        photo(m_card, "A" + std::to_string(i) + ".JPG", 32 + i);
        photo(other, "B" + std::to_string(i) + ".JPG", 32 + i);
    }
    const std::int64_t before = CurrentSequence(SequenceKind::Sequence).next;
    IngestTaskSpec a = spec({m_card.path()});
    a.m_rename = true;
    a.m_renameString = "{seqn}";
    IngestTaskSpec b = a;
    b.m_sourcePaths = {other.path()};
    b.m_primaryDestPath = primary2.path();
    ProgressDialogInterface pa, pb;
    auto ta = start(a, pa);
    auto tb = start(b, pb);
    ta->Join();
    tb->Join();
    std::vector<std::int64_t> numbers;
    for (const auto* folder : {&m_primary, &primary2})
        for (const std::string& name : filesBelow(folder->path()))
            numbers.push_back(std::stoll(name.substr(0, name.find('.'))));
    std::sort(numbers.begin(), numbers.end());
    ASSERT_EQ(numbers.size(), 12u);
    for (std::size_t i = 0; i < numbers.size(); ++i)
        EXPECT_EQ(numbers[i], before + static_cast<std::int64_t>(i));
    EXPECT_EQ(CurrentSequence(SequenceKind::Sequence).next, before + 12);
}

TEST_F(IngestCopyThreadTest, VideoFoldersWholeBadFilesLeft) {
    photo(m_card, "A.JPG");
    writeWholeFile(m_card.file("DCIM/100TEST/NIKON001.DSC"), "x");
    writeWholeFile(m_card.file("DCIM/100TEST/INDEX.CTG"), "x");
    fs::create_directories(m_card.file("DCIM/.Trashes"));
    photo(m_card, "T.JPG", 32, "DCIM/.Trashes");
    fs::create_directories(m_card.file("PRIVATE/AVCHD/BDMV/STREAM"));
    writeWholeFile(m_card.file("PRIVATE/AVCHD/BDMV/STREAM/00000.MTS"), std::string(1000, 'v'));
    writeWholeFile(m_card.file("PRIVATE/AVCHD/BDMV/INDEX.BDM"), "index");
    IngestTaskSpec s = spec({m_card.path()}, true);
    run(s);
    const std::vector<std::string> files = filesBelow(m_primary.path());
    EXPECT_TRUE(contains(files, "A.JPG"));
    EXPECT_TRUE(contains(files, "AVCHD/BDMV/STREAM/00000.MTS"));
    EXPECT_TRUE(contains(files, "AVCHD/BDMV/INDEX.BDM"));
    EXPECT_EQ(files.size(), 3u) << ::testing::PrintToString(files);
    EXPECT_EQ(filesBelow(m_secondary.path()), files);
}

TEST_F(IngestCopyThreadTest, ResumesAnInterruptedRun) {
    const std::string a = photo(m_card, "A.JPG", 32);
    photo(m_card, "B.JPG", 40);
    photo(m_card, "C.JPG", 48);
    // What a run killed while copying leaves: A complete under its name in the primary, B half written
    // under a temporary name, nothing in the secondary.
    fs::copy_file(a, m_primary.file("A.JPG"));
    writeWholeFile(m_primary.file("tmp.{0badc0de-0000-4000-8000-000000000000}.JPG"), "half");
    auto task = run(spec({m_card.path()}, true));
    EXPECT_EQ(outcomes(*task), (std::vector{Outcome::Copied, Outcome::Copied, Outcome::Copied}));
    const std::vector<std::string> expected{"A.JPG", "B.JPG", "C.JPG"};
    EXPECT_EQ(filesBelow(m_primary.path()), expected);
    EXPECT_EQ(filesBelow(m_secondary.path()), expected);
    // A run over the same card once more finds everything there already.
    auto again = run(spec({m_card.path()}, true));
    EXPECT_EQ(outcomes(*again), (std::vector{Outcome::Arrived, Outcome::Arrived, Outcome::Arrived}));
    EXPECT_EQ(filesBelow(m_primary.path()), expected);
}
