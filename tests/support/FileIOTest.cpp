#include "support/FileIO.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>

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
