#include "support/FileIO.h"
#include "support/FolderListing.h"
#include "support/TestSupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

using namespace lumo;
using namespace lumo::test;
using Op = FileFault::Op;
using Outcome = std::pair<int, std::size_t>; // error, bytes written

namespace {

Outcome append(const std::string& path, const std::string& text) {
    File file;
    std::size_t written = 0;
    const int e = file.open(path, File::Mode::Append);
    return {e ? e : file.write(text.data(), text.size(), &written), written};
}

struct FileIO : ::testing::Test {
    void TearDown() override { clearFileFaults(); }
    std::string file(const std::string& name) const { return m_dir.file(name); }
    TempDir m_dir;
};

} // namespace

TEST_F(FileIO, FaultsFollowThePathFilterTheirCountAndTheirMark) {
    injectFileFault({.op = Op::Open, .error = EACCES, .pathContains = "guarded", .times = 2});
    EXPECT_EQ(append(file("other.txt"), "y"), Outcome(0, 1)); // not matched, not counted
    EXPECT_EQ(append(file("guarded.txt"), "y"), Outcome(EACCES, 0));
    EXPECT_EQ(append(file("guarded.txt"), "y"), Outcome(EACCES, 0));
    EXPECT_EQ(append(file("guarded.txt"), "y"), Outcome(0, 1));

    // A write mark counts over every matching call and gives a short write of exactly that many bytes;
    // once passed, nothing more goes out.
    const std::string path = file("data.bin");
    injectFileFault({.op = Op::Write, .error = ENOSPC, .pathContains = "data.bin", .afterBytes = 10});
    EXPECT_EQ(append(path, "0123"), Outcome(0, 4));
    EXPECT_EQ(append(path, "456789abcdef"), Outcome(ENOSPC, 6));
    EXPECT_EQ(append(path, "more"), Outcome(ENOSPC, 0));

    clearFileFaults();
    injectFileFault({.op = Op::Write, .error = EIO, .afterBytes = 2, .times = 1});
    EXPECT_EQ(append(path, "XYZ"), Outcome(EIO, 2));
    EXPECT_EQ(append(path, "XYZ"), Outcome(0, 3));
    EXPECT_EQ(readWholeFile(path), "0123456789XYXYZ");
}

TEST_F(FileIO, ACrashFaultEndsTheProcessLeavingWhatWasWritten) {
    const std::string path = file("crash.bin");
    const auto crash = [&] {
        injectFileFault({.op = Op::Write, .afterBytes = 7, .crash = true});
        append(path, "0123456789");
    };
    EXPECT_EXIT(crash(), ::testing::ExitedWithCode(kInjectedCrashExitCode), "");
    EXPECT_EQ(readWholeFile(path), "0123456");
}

TEST_F(FileIO, ReadFileHonoursItsLimitAndReadFaults) {
    std::string big;
    for (int i = 0; big.size() < 200000; ++i)
        big += std::to_string(i) + (i % 7 ? "," : "\n");
    writeWholeFile(file("big.bin"), big);
    std::string out = "stale";
    EXPECT_EQ(readFile(file("big.bin"), out, 100001), 0);
    EXPECT_EQ(out, big.substr(0, 100001));
    EXPECT_EQ(readFile(file("missing.bin"), out, 10), ENOENT);

    injectFileFault({.op = Op::Read, .error = EIO, .afterBytes = 70000, .times = 1});
    EXPECT_EQ(readFile(file("big.bin"), out, 1 << 20), EIO);
    EXPECT_EQ(out, big.substr(0, 70000));
    // A mark past the end of the file is never reached.
    injectFileFault({.op = Op::Read, .error = EIO, .afterBytes = big.size() + 1});
    EXPECT_EQ(readFile(file("big.bin"), out, 1 << 20), 0);
    EXPECT_EQ(out, big);
    clearFileFaults();

    // A named pipe with nobody at the far end reads as empty, and cannot be written, without waiting.
    ASSERT_EQ(::mkfifo(file("pipe.jpg").c_str(), 0600), 0);
    EXPECT_EQ(readFile(file("pipe.jpg"), out, 100), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(append(file("pipe.jpg"), "x").first, ENXIO);
}

TEST_F(FileIO, RenameReplacesAndFoldersAreMadeOnce) {
    writeWholeFile(file("a.txt"), "new");
    writeWholeFile(file("b.txt"), "old contents");
    injectFileFault({.op = Op::Rename, .error = EXDEV, .times = 1});
    EXPECT_EQ(renameFile(file("a.txt"), file("b.txt")), EXDEV);
    EXPECT_EQ(renameFile(file("a.txt"), file("b.txt")), 0);
    EXPECT_EQ(readWholeFile(file("b.txt")), "new");
    EXPECT_FALSE(fileExists(file("a.txt")));
    File f;
    EXPECT_EQ(f.open(file("b.txt"), File::Mode::CreateNew), EEXIST);

    const std::string nested = file("one/two/three");
    EXPECT_EQ(createDirectories(nested), 0);
    EXPECT_TRUE(std::filesystem::is_directory(nested));
    EXPECT_EQ(createDirectories(nested), 0);
    EXPECT_NE(createDirectories(file("b.txt")), 0);
    EXPECT_NE(createDirectories(file("b.txt/below")), 0);
}

TEST_F(FileIO, AReplacedFileKeepsItsModeAttributesAndLinkAndNothingIsLeftBehind) {
    const mode_t oldMask = ::umask(022);
    const std::string photo = file("photo.XIP");
    writeWholeFile(photo, "old");
    ASSERT_EQ(::chmod(photo.c_str(), 0664), 0);
    ASSERT_EQ(::setxattr(photo.c_str(), "user.note", "keep", 4, 0), 0);
    ASSERT_EQ(writeFileReplacing(photo, "new"), 0);
    struct stat st {};
    ASSERT_EQ(::stat(photo.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0664u); // not the umask's 0644
    char note[8] = {};
    EXPECT_EQ(::getxattr(photo.c_str(), "user.note", note, sizeof note), 4);
    EXPECT_STREQ(note, "keep");
    EXPECT_EQ(readWholeFile(photo), "new");

    // A link is written through: the file it leads to changes, the link stays a link.
    const std::string link = file("link.XIP");
    std::filesystem::create_symlink(photo, link);
    ASSERT_EQ(writeFileReplacing(link, "through"), 0);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(readWholeFile(photo), "through");
    std::filesystem::create_symlink(file("nowhere"), file("dangling"));
    EXPECT_EQ(writeFileReplacing(file("dangling"), "x"), ENOENT);
    EXPECT_FALSE(fileExists(file("nowhere")));

    // Prepared but not committed: the file is as it was and the new version goes with the object.
    {
        PendingReplace pending;
        ASSERT_EQ(pending.prepare(photo, std::string("pending")), 0);
        EXPECT_TRUE(fileExists(pending.temporary()));
        EXPECT_EQ(readWholeFile(photo), "through");
    }
    PendingReplace committed;
    ASSERT_EQ(committed.prepare(photo, std::string("committed")), 0);
    injectFileFault({.op = Op::Rename, .error = EIO, .times = 1});
    EXPECT_EQ(committed.commit(), EIO);
    EXPECT_EQ(readWholeFile(photo), "through");
    EXPECT_EQ(committed.commit(), 0);
    EXPECT_EQ(readWholeFile(photo), "committed");
    ::umask(oldMask);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_dir.path()), {}), 3); // photo, 2 links
}

TEST_F(FileIO, TemporaryFilesOfEndedProcessesGoWhenTheSameFileIsWrittenAgain) {
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ASSERT_GT(child, 0);
    ::waitpid(child, nullptr, 0);
    const std::string out = file("out.jpg");
    const std::string dead = out + ".tmp-" + std::to_string(child) + "-7";
    const std::string living = out + ".tmp-" + std::to_string(::getppid()) + "-2";
    const std::string other = file("other.jpg.tmp-" + std::to_string(child) + "-1");
    for (const std::string& leftover : {dead, living, other})
        writeWholeFile(leftover, "half");
    ASSERT_EQ(writeFileReplacing(out, "whole"), 0);
    EXPECT_FALSE(fileExists(dead));
    EXPECT_TRUE(fileExists(living)); // its writer may still rename it
    EXPECT_TRUE(fileExists(other));  // another file's: left for its own next write
    // One left behind after the folder was read is seen at the next write all the same.
    writeWholeFile(dead, "half");
    ASSERT_EQ(writeFileReplacing(out, "again"), 0);
    EXPECT_FALSE(fileExists(dead));
}

namespace {

using Kind = FolderEntry::Kind;

std::vector<std::pair<std::string, Kind>> listed(const std::string& folder) {
    std::vector<FolderEntry> entries;
    EXPECT_EQ(FolderListing::entries(folder, entries), 0);
    std::vector<std::pair<std::string, Kind>> out;
    for (const FolderEntry& e : entries)
        out.emplace_back(e.name, e.kind);
    return out;
}

std::vector<std::string> startingWith(const std::string& folder, const std::string& prefix) {
    std::vector<std::string> names;
    EXPECT_EQ(FolderListing::namesStartingWith(folder, prefix, names), 0);
    return names;
}

// The folder's time stamp set back, as if nothing had changed in it for a while.
void age(const std::string& folder) {
    const timespec times[2] = {{0, UTIME_OMIT}, {::time(nullptr) - 60, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, folder.c_str(), times, 0), 0);
}

} // namespace

TEST_F(FileIO, AFolderIsReadOnceAndKeptUpToDateByTheChangesMadeInIt) {
    const std::string folder = file("photos");
    std::filesystem::create_directories(folder + "/sub");
    for (const char* name : {"b.NEF", "a.jpg", "b_ACR.xmp"})
        writeWholeFile(folder + "/" + name, "x");
    std::filesystem::create_symlink("a.jpg", folder + "/link.jpg");
    const std::uint64_t reads = FolderListing::readCount();
    EXPECT_EQ(listed(folder), (std::vector<std::pair<std::string, Kind>>{{"a.jpg", Kind::File},
                                                                         {"b.NEF", Kind::File},
                                                                         {"b_ACR.xmp", Kind::File},
                                                                         {"link.jpg", Kind::Link},
                                                                         {"sub", Kind::Folder}}));
    // Changes made after the reading, however the folder is spelt, through every kind of write.
    ASSERT_EQ(writeFileReplacing(folder + "/b_ACR2.xmp", "y"), 0);
    ASSERT_EQ(renameFile(folder + "/b_ACR.xmp", folder + "/c_ACR.xmp"), 0);
    EXPECT_EQ(startingWith(folder + "/", "b_ACR"), (std::vector<std::string>{"b_ACR2.xmp"}));
    ASSERT_EQ(removeFile(folder + "/b_ACR2.xmp"), 0);
    std::filesystem::create_directory(folder + "/new");
    EXPECT_TRUE(startingWith(folder + "/./", "b_").empty());
    EXPECT_EQ(startingWith(folder, "new"), (std::vector<std::string>{"new"}));
    std::vector<std::string> names;
    ASSERT_EQ(FolderListing::namesEqualIgnoringCase(folder, "A.JPG", names), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"a.jpg"}));
    writeWholeFile(folder + "/A.jpg", "x");
    ASSERT_EQ(FolderListing::namesEqualIgnoringCase(folder, "a.JPG", names), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"A.jpg", "a.jpg"}));
    EXPECT_EQ(FolderListing::readCount(), reads + 1);

    // A folder removed and made again is a new folder.
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    EXPECT_TRUE(listed(file("photos/../photos")).empty());
    std::vector<FolderEntry> entries;
    EXPECT_EQ(FolderListing::entries(file("missing"), entries), ENOENT);
    writeWholeFile(file("plain"), "x");
    EXPECT_EQ(FolderListing::namesStartingWith(file("plain"), "", names), ENOTDIR);
}

TEST_F(FileIO, WithoutChangeNotificationsAFolderIsReadAgainWheneverItsTimeStampMayHideAChange) {
    FolderListing::useChangeNotifications(false);
    const std::string folder = file("card");
    std::filesystem::create_directories(folder);
    writeWholeFile(folder + "/IMG_1_ACR.xmp", "x");
    const std::uint64_t reads = FolderListing::readCount();
    EXPECT_EQ(startingWith(folder, "IMG_1"), (std::vector<std::string>{"IMG_1_ACR.xmp"}));
    writeWholeFile(folder + "/IMG_1_ACR2.xmp", "x"); // may fall in the same tick of the time stamp
    EXPECT_EQ(startingWith(folder, "IMG_1").size(), 2u);
    EXPECT_EQ(FolderListing::readCount(), reads + 2);
    age(folder);
    startingWith(folder, "IMG_1");
    startingWith(folder, "IMG_1");
    EXPECT_EQ(FolderListing::readCount(), reads + 3); // settled: kept
    writeWholeFile(folder + "/IMG_1_ACR3.xmp", "x");
    EXPECT_EQ(startingWith(folder, "IMG_1").size(), 3u);
    FolderListing::useChangeNotifications(true);
}
