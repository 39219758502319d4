#include "support/FileIO.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

using namespace lumo;
using lumo::test::readWholeFile;
using lumo::test::TempDir;
using lumo::test::writeWholeFile;
using Op = FileFault::Op;

namespace {

class FileIO : public ::testing::Test {
protected:
    void TearDown() override { clearFileFaults(); }

    // Appends `text` to the file; answers the error and how many bytes went out.
    static std::pair<int, std::size_t> append(const std::string& path, const std::string& text) {
        File file;
        if (int e = file.open(path, File::Mode::Append))
            return {e, 0};
        std::size_t written = 0;
        const int e = file.write(text.data(), text.size(), &written);
        return {e, written};
    }

    TempDir m_dir;
};

} // namespace

TEST_F(FileIO, OpenFaultsFollowPathFilterAndCount) {
    writeWholeFile(m_dir.file("guarded.txt"), "x");
    writeWholeFile(m_dir.file("other.txt"), "y");
    injectFileFault({.op = Op::Open, .error = EACCES, .pathContains = "guarded", .times = 2});

    File file;
    EXPECT_EQ(file.open(m_dir.file("other.txt"), File::Mode::Read), 0); // not matched, not counted
    EXPECT_EQ(file.open(m_dir.file("guarded.txt"), File::Mode::Read), EACCES);
    EXPECT_FALSE(file.isOpen());
    EXPECT_EQ(file.open(m_dir.file("guarded.txt"), File::Mode::Read), EACCES);
    EXPECT_EQ(file.open(m_dir.file("guarded.txt"), File::Mode::Read), 0);

    injectFileFault({.op = Op::Rename, .error = EXDEV});
    EXPECT_EQ(renameFile(m_dir.file("other.txt"), m_dir.file("moved.txt")), EXDEV);
    EXPECT_TRUE(fileExists(m_dir.file("other.txt")));
    clearFileFaults();
    EXPECT_EQ(renameFile(m_dir.file("other.txt"), m_dir.file("moved.txt")), 0);
}

TEST_F(FileIO, AfterBytesGivesAShortWriteOfExactlyThatMany) {
    const std::string path = m_dir.file("data.bin");
    injectFileFault({.op = Op::Write, .error = ENOSPC, .pathContains = "data.bin", .afterBytes = 10});

    // The budget counts over every matching call.
    EXPECT_EQ(append(path, "0123"), (std::pair<int, std::size_t>{0, 4}));
    EXPECT_EQ(append(path, "456789abcdef"), (std::pair<int, std::size_t>{ENOSPC, 6}));
    EXPECT_EQ(readWholeFile(path), "0123456789");
    // A fault without a count keeps failing: nothing more goes out.
    EXPECT_EQ(append(path, "more"), (std::pair<int, std::size_t>{ENOSPC, 0}));
    EXPECT_EQ(readWholeFile(path), "0123456789");
    // Other files are not touched.
    EXPECT_EQ(append(m_dir.file("free.bin"), "abcdefghijklmnop"), (std::pair<int, std::size_t>{0, 16}));

    clearFileFaults();
    injectFileFault({.op = Op::Write, .error = EIO, .afterBytes = 2, .times = 1});
    EXPECT_EQ(append(path, "XYZ"), (std::pair<int, std::size_t>{EIO, 2}));
    EXPECT_EQ(append(path, "XYZ"), (std::pair<int, std::size_t>{0, 3}));
    EXPECT_EQ(readWholeFile(path), "0123456789XYXYZ");
}

TEST_F(FileIO, CrashFaultEndsTheProcessLeavingWhatWasWritten) {
    const std::string path = m_dir.file("crash.bin");
    EXPECT_EXIT(
        {
            injectFileFault({.op = Op::Write, .afterBytes = 7, .crash = true});
            append(path, "0123456789");
        },
        ::testing::ExitedWithCode(kInjectedCrashExitCode), "");
    EXPECT_EQ(readWholeFile(path), "0123456");
}

TEST_F(FileIO, ReadFileHonoursItsLimit) {
    std::string big(200000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 31 + i / 977);
    writeWholeFile(m_dir.file("big.bin"), big);

    std::string out = "stale";
    EXPECT_EQ(readFile(m_dir.file("big.bin"), out, 100001), 0);
    EXPECT_EQ(out, big.substr(0, 100001));
    EXPECT_EQ(readFile(m_dir.file("big.bin"), out, 1 << 20), 0);
    EXPECT_EQ(out, big);
    EXPECT_EQ(readFile(m_dir.file("big.bin"), out, 0), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(readFile(m_dir.file("missing.bin"), out, 10), ENOENT);

    injectFileFault({.op = Op::Read, .error = EIO, .afterBytes = 70000});
    EXPECT_EQ(readFile(m_dir.file("big.bin"), out, 1 << 20), EIO);
    EXPECT_EQ(out, big.substr(0, 70000));
}

TEST_F(FileIO, FilesAndFolders) {
    const std::string a = m_dir.file("a.txt"), b = m_dir.file("b.txt");
    writeWholeFile(a, "new");
    writeWholeFile(b, "old contents");
    EXPECT_EQ(renameFile(a, b), 0);
    EXPECT_EQ(readWholeFile(b), "new");
    EXPECT_FALSE(fileExists(a));

    File file;
    EXPECT_EQ(file.open(b, File::Mode::CreateNew), EEXIST);
    EXPECT_EQ(file.open(b, File::Mode::Truncate), 0);
    std::uint64_t size = 99;
    EXPECT_EQ(file.size(size), 0);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(file.write("abc", 3), 0);
    EXPECT_EQ(file.close(), 0);
    EXPECT_EQ(fileSize(b, size), 0);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(file.write("abc", 3), EBADF);
    EXPECT_EQ(removeFile(b), 0);
    EXPECT_EQ(removeFile(b), ENOENT);

    const std::string nested = m_dir.file("one/two/three");
    EXPECT_EQ(createDirectories(nested), 0);
    EXPECT_TRUE(std::filesystem::is_directory(nested));
    EXPECT_EQ(createDirectories(nested), 0);
    writeWholeFile(m_dir.file("plain"), "x");
    EXPECT_NE(createDirectories(m_dir.file("plain")), 0);
    EXPECT_NE(createDirectories(m_dir.file("plain/below")), 0);
}
