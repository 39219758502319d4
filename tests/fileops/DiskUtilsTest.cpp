// The disk primitives and the Trash.

#include "support/DiskUtils.h"
#include "fileops/Trash.h"
#include "support/FileIO.h"
#include "support/TestSupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>

using lumo::test::namesIn;
using lumo::test::readWholeFile;
using lumo::test::TempDir;
using lumo::test::writeWholeFile;

namespace {

// Points the home Trash at a temporary folder for the life of the object.
class TrashHome {
public:
    explicit TrashHome(const std::string& folder = {})
        : m_home(folder.empty() ? m_dir.path() : folder),
          m_old(std::getenv("XDG_DATA_HOME") ? std::getenv("XDG_DATA_HOME") : "") {
        ::setenv("XDG_DATA_HOME", m_home.c_str(), 1);
    }
    ~TrashHome() {
        if (m_old.empty())
            ::unsetenv("XDG_DATA_HOME");
        else
            ::setenv("XDG_DATA_HOME", m_old.c_str(), 1);
    }
    std::string files() const { return m_home + "/Trash/files"; }
    std::string info() const { return m_home + "/Trash/info"; }

private:
    TempDir m_dir;
    std::string m_home;
    std::string m_old;
};

std::vector<std::string> g_logged;
void keepLine(const char*, int, const std::string& text) {
    g_logged.push_back(text);
}

} // namespace

TEST(DiskUtils, CopyKeepsBytesModeAndTimesAndNeverHalfWrites) {
    TempDir dir;
    const std::string src = dir.file("a.nef"), dst = dir.file("b.nef");
    const std::string bytes(3 << 20 | 17, 'x');
    writeWholeFile(src, bytes);
    ASSERT_EQ(::chmod(src.c_str(), 0640), 0);
    const struct timespec times[2] = {{1000000000, 5}, {1200000000, 123456789}};
    ASSERT_EQ(::utimensat(AT_FDCWD, src.c_str(), times, 0), 0);

    ASSERT_TRUE(DiskUtils::FileCopyWithAttrs(src, dst));
    EXPECT_EQ(readWholeFile(dst), bytes);
    struct stat st;
    ASSERT_EQ(::stat(dst.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_mtim.tv_sec, 1200000000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 123456789);

    // A write that fails half-way leaves the old destination and no temporary file.
    writeWholeFile(dst, "old");
    lumo::injectFileFault(
        {.op = lumo::FileFault::Op::Write, .error = ENOSPC, .pathContains = "b.nef", .afterBytes = 1 << 20});
    EXPECT_FALSE(DiskUtils::FileCopyWithAttrs(src, dst));
    lumo::clearFileFaults();
    EXPECT_EQ(DiskUtils::LastErrorText(), "No space left on device");
    EXPECT_EQ(readWholeFile(dst), "old");
    EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"a.nef", "b.nef"}));

    // A cancelled copy leaves nothing; the no-replace copy refuses an existing name.
    std::atomic<bool> cancel{true};
    EXPECT_FALSE(DiskUtils::FileCopyWithAttrs(src, dir.file("c.nef"), &cancel));
    EXPECT_FALSE(DiskUtils::FileCopyNoReplace(src, dst));
    EXPECT_EQ(readWholeFile(dst), "old");
    EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"a.nef", "b.nef"}));
}

TEST(DiskUtils, RenameAndMoveNeverReplace) {
    TempDir dir;
    writeWholeFile(dir.file("a"), "A");
    writeWholeFile(dir.file("b"), "B");
    DiskUtils::SetLogSink(&keepLine);
    EXPECT_TRUE(DiskUtils::Rename(dir.file("a"), dir.file("a")));
    EXPECT_FALSE(DiskUtils::Rename(dir.file("a"), dir.file("b")));
    EXPECT_FALSE(DiskUtils::Rename(dir.file("missing"), dir.file("c")));
    EXPECT_FALSE(DiskUtils::Rename(dir.file("a"), dir.file("no/such/folder")));
    DiskUtils::SetLogSink(nullptr);
    const std::string a = dir.file("a"), b = dir.file("b");
    EXPECT_EQ(g_logged,
              (std::vector<std::string>{
                  "DiskUtils::Rename('" + a + "', '" + b + "') failed.  Destination file already exists.",
                  "DiskUtils::Rename('" + dir.file("missing") + "', '" + dir.file("c") +
                      "') failed.  Source file does not exist.",
                  "DiskUtils::Rename('" + a + "', '" + dir.file("no/such/folder") + "') failed",
                  "Error: 'No such file or directory'",
                  "OS claims that: '" + dir.file("no/such/folder") +
                      "' does not exist (no collision) but we still can't rename the file",
              }));
    EXPECT_TRUE(DiskUtils::Rename(dir.file("a"), dir.file("c")));
    EXPECT_FALSE(DiskUtils::MoveFile(dir.file("c"), dir.file("b")));
    EXPECT_EQ(readWholeFile(dir.file("b")), "B");
    EXPECT_TRUE(DiskUtils::MoveFile(dir.file("c"), dir.file("d")));
    EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"b", "d"}));
    EXPECT_TRUE(DiskUtils::exists(dir.file("d")));
    EXPECT_FALSE(DiskUtils::exists(dir.file("c")));

    // Across volumes (a tmpfs when there is one): copied whole, then the source goes.
    struct stat shm, here;
    if (::stat("/dev/shm", &shm) == 0 && ::stat(dir.path().c_str(), &here) == 0 &&
        shm.st_dev != here.st_dev && ::access("/dev/shm", W_OK) == 0) {
        const std::string other = "/dev/shm/lumo-move-" + std::to_string(::getpid());
        ASSERT_TRUE(DiskUtils::MoveFile(dir.file("d"), other));
        EXPECT_FALSE(DiskUtils::exists(dir.file("d")));
        EXPECT_EQ(readWholeFile(other), "A");
        EXPECT_FALSE(DiskUtils::MoveFile(dir.file("b"), other)); // taken: not replaced
        EXPECT_EQ(readWholeFile(other), "A");
        EXPECT_TRUE(DiskUtils::exists(dir.file("b")));
        ::unlink(other.c_str());
    }
}

TEST(DiskUtils, WritableProbe) {
    TempDir dir;
    EXPECT_TRUE(DiskUtils::IsWritableFolder(dir.path()));
    EXPECT_TRUE(namesIn(dir.path()).empty());
    lumo::injectFileFault(
        {.op = lumo::FileFault::Op::Open, .error = EROFS, .pathContains = "__TMP__XXYYZZQ__.tmp"});
    EXPECT_FALSE(DiskUtils::IsWritableFolder(dir.path()));
    lumo::clearFileFaults();
    EXPECT_FALSE(DiskUtils::IsWritableFolder(dir.file("missing")));
}

TEST(Trash, MovesWithInfoAndUniqueNames) {
    TrashHome home;
    TempDir dir;
    const std::string photo = dir.file("My photo%1.NEF");
    writeWholeFile(photo, "one");
    std::string error;
    ASSERT_TRUE(MoveToTrash(photo, &error)) << error;
    EXPECT_FALSE(DiskUtils::exists(photo));
    EXPECT_EQ(readWholeFile(home.files() + "/My photo%1.NEF"), "one");
    const std::string info = readWholeFile(home.info() + "/My photo%1.NEF.trashinfo");
    char resolved[PATH_MAX];
    ASSERT_TRUE(::realpath(dir.path().c_str(), resolved));
    EXPECT_EQ(info.substr(0, info.find("DeletionDate=")),
              "[Trash Info]\nPath=" + std::string(resolved) + "/My%20photo%251.NEF\n");
    EXPECT_EQ(info.size(), info.find("DeletionDate=") + 13 + 19 + 1); // YYYY-MM-DDThh:mm:ss\n

    // The same name again gets the next free name.
    writeWholeFile(photo, "two");
    ASSERT_TRUE(MoveToTrash(photo, &error)) << error;
    EXPECT_EQ(readWholeFile(home.files() + "/My photo%1.NEF.2"), "two");
    EXPECT_TRUE(DiskUtils::exists(home.info() + "/My photo%1.NEF.2.trashinfo"));

    // A failed move leaves the file and no info file.
    EXPECT_FALSE(MoveToTrash(dir.file("missing.JPG"), &error));
    EXPECT_NE(error.find("missing.JPG"), std::string::npos);
    const std::string blocked = home.files() + "/blocked.JPG";
    writeWholeFile(dir.file("blocked.JPG"), "x");
    ASSERT_EQ(::mkdir((blocked).c_str(), 0700), 0);
    writeWholeFile(blocked + "/inside", "keeps the folder non-empty");
    // files/blocked.JPG taken without an info file: the next name is used, and its info file only.
    ASSERT_TRUE(MoveToTrash(dir.file("blocked.JPG"), &error)) << error;
    EXPECT_FALSE(DiskUtils::exists(home.info() + "/blocked.JPG.trashinfo"));
    EXPECT_TRUE(DiskUtils::exists(home.info() + "/blocked.JPG.2.trashinfo"));
    EXPECT_EQ(namesIn(home.info()).size(), 3u);

    // A rename that fails after the info file was written (a folder cannot go into its own Trash)
    // removes the info file again.
    TempDir outer;
    TrashHome inside(outer.file("data"));
    EXPECT_FALSE(MoveToTrash(outer.path(), &error));
    EXPECT_TRUE(DiskUtils::exists(outer.path()));
    EXPECT_TRUE(namesIn(inside.info()).empty());
}
