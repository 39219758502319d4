#include "app/LumoLogger.h"
#include "app/LumoPaths.h"
#include "app/Version.h"
#include "support/FileIO.h"
#include "support/NamedThread.h"
#include "support/TestSupport.h"
#include "support/TextUtils.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdarg>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

using lumo::test::readWholeFile;
using lumo::test::writeWholeFile;
using Texts = std::vector<std::string>;
using Op = lumo::FileFault::Op;

namespace {

// Groups: 3 the thread id, 4 the message. The memory field is at least seven digits wide.
const std::regex kLine(R"(\[(Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec))"
                       R"(-\d{2}-\d{4} \d{2}:\d{2}:\d{2}\.\d{3}\]\[([0-9a-f]{8})\]\[\d{7,}\] (.*))");

std::string header() {
    const std::string stars = std::string(80, '*') + "\n";
    return stars + stars + stars + stars + stars + versionLine() + "\n";
}

// The messages of a log that starts with the header, checking that every line is whole; with
// `withThread`, each is preceded by its line's thread id and a space.
Texts messagesOf(const std::string& text, bool withThread = false) {
    EXPECT_TRUE(text.starts_with(header()) && text.ends_with("\n")) << text.substr(0, 600);
    Texts messages;
    for (std::string_view line : lumo::splitLines(std::string_view(text).substr(header().size()))) {
        std::match_results<std::string_view::const_iterator> m;
        EXPECT_TRUE(std::regex_match(line.begin(), line.end(), m, kLine)) << line;
        messages.push_back(m.size() < 5 ? std::string(line)
                                        : (withThread ? m[3].str() + " " : "") + m[4].str());
    }
    return messages;
}

[[gnu::format(printf, 3, 4)]] int formatInto(char* buffer, std::size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = formatLogBuffer(buffer, size, format, args);
    va_end(args);
    return n;
}

class LumoLoggerTest : public ::testing::Test {
protected:
    void TearDown() override { lumo::clearFileFaults(); }

    // Puts `old` in the log, logs one message through a new logger, and answers the file.
    std::string logOver(const std::string& old, const std::string& message) {
        writeWholeFile(m_path, old);
        LumoLogger logger("Lumo.log", [&] { return m_dir.path(); });
        logger.logMessage(message);
        for (const auto& entry : std::filesystem::directory_iterator(m_dir.path()))
            EXPECT_FALSE(entry.path().filename().string().starts_with("log_")) << "a trim copy was left";
        return readWholeFile(m_path);
    }

    lumo::test::TempDir m_dir;
    std::string m_path = m_dir.file("Lumo.log");
};

} // namespace

TEST_F(LumoLoggerTest, LinesCarryTimeThreadMemoryAndPosition) {
    LumoLogger logger("Lumo.log", [&] { return m_dir.path(); });
    logger.logMessage("plain message");
    logger.logAtPosition("/build/Source/app/LumoApp.cpp", 35, "Initializing Instance");
    logger.logMessage("already ends\n");
    logger.logMessage("");
    logger.writeRaw("raw bytes\n");
    std::string text = readWholeFile(m_path);
    // The memory field counts memory in use, not reserved address space: far below 10^7 KiB here.
    EXPECT_TRUE(std::regex_search(text, std::regex(R"(\]\[\d{7}\] plain message\n)"))) << text;
    ASSERT_TRUE(text.ends_with("\nraw bytes\n"));
    text.resize(text.size() - 10);
    EXPECT_EQ(messagesOf(text),
              (Texts{"plain message", "LumoApp.cpp:35 Initializing Instance", "already ends", ""}));
}

TEST_F(LumoLoggerTest, MessagesKeepTo4096Bytes) {
    // A call site's message of 4095 bytes is logged; one of 4096 becomes the marker.
    const std::string run = lumo::test::testRunFolder();
    LumoPaths::initialise(ResolvedLocations{run + "/settings", run + "/cache"});
    LumoLogger::instance().flush();
    std::uint64_t before = 0;
    lumo::fileSize(LumoPaths::logFilePath(), before);
    lumoLogAt("/src/Here.cpp", 12, "%s", std::string(4096, 't').c_str());
    lumoLog("%s", std::string(4095, 'f').c_str());
    const std::string added = readWholeFile(LumoPaths::logFilePath()).substr(before);
    LumoPaths::reset();
    EXPECT_TRUE(
        std::regex_search(added, std::regex(R"(\] Here\.cpp:12 <data too large>\n\[.*\] f{4095}\n$)")))
        << added;

    // A buffer under 17 bytes is too small for the marker: the cut text stays.
    char buffer[17];
    EXPECT_EQ(formatInto(buffer, 17, "%s%d", "0123456789abcdef", 7), 16);
    EXPECT_STREQ(buffer, "<data too large>");
    EXPECT_EQ(formatInto(buffer, 16, "%s", "0123456789abcdefXYZ"), 15);
    EXPECT_STREQ(buffer, "0123456789abcde");
}

TEST_F(LumoLoggerTest, OnlyALogOver10MiBIsCutToItsTailOncePerLogger) {
    const std::string exact(LumoLogger::kTrimKeep, 'o');
    std::string text = logOver(exact, "appended");
    EXPECT_TRUE(text.starts_with(exact));
    EXPECT_EQ(messagesOf(text.substr(exact.size())), Texts{"appended"});

    // The copy fails a little way into its fourth piece: the copy goes, the log stays as it was.
    std::string old(LumoLogger::kTrimThreshold, '\0');
    for (std::size_t i = 0; i < old.size(); ++i)
        old[i] = static_cast<char>('a' + (i * 7 + i / 4093) % 26);
    lumo::injectFileFault(
        {.op = Op::Write, .pathContains = "log_", .afterBytes = 3 * LumoLogger::kTrimPiece + 10});
    text = logOver(old, "written anyway");
    EXPECT_TRUE(text.starts_with(old));
    EXPECT_EQ(messagesOf(text.substr(old.size())), Texts{"written anyway"});
    lumo::clearFileFaults();

    text = logOver(old, "after the cut");
    EXPECT_TRUE(text.compare(0, LumoLogger::kTrimKeep, old, 1) == 0) << "the log must keep its last 10 MiB";
    EXPECT_EQ(messagesOf(text.substr(LumoLogger::kTrimKeep)), Texts{"after the cut"});

    // Growing past the limit later changes nothing for a logger that has written.
    LumoLogger logger("Lumo.log", [&] { return m_dir.path(); });
    logger.writeRaw(old);
    logger.logMessage("still whole");
    EXPECT_GT(readWholeFile(m_path).size(), LumoLogger::kTrimKeep + old.size());
}

TEST_F(LumoLoggerTest, TextWaitsUntilItCanBeWrittenAndForTheThreshold) {
    std::string folder;
    LumoLogger logger("Lumo.log", [&] { return folder; });
    logger.logMessage("one");
    logger.flush();
    EXPECT_TRUE(logger.pendingText().starts_with(header()));
    // Once the folder is known (and made) and the log opens, everything goes out in order; the first
    // folder answered is kept.
    lumo::injectFileFault({.op = Op::Open, .error = EACCES, .pathContains = "Lumo.log"});
    folder = m_dir.path() + "/logs";
    logger.logMessage("two");
    const std::string path = folder + "/Lumo.log";
    EXPECT_FALSE(lumo::fileExists(path));
    lumo::clearFileFaults();
    folder = m_dir.path() + "/elsewhere";
    logger.logMessage("three");
    EXPECT_EQ(messagesOf(readWholeFile(path)), (Texts{"one", "two", "three"}));

    // A short write: what did not go out goes out next time, each byte once.
    const std::size_t before = readWholeFile(path).size();
    lumo::injectFileFault({.op = Op::Write, .error = ENOSPC, .afterBytes = 100, .times = 1});
    const std::string four(200, '4');
    logger.logMessage(four);
    const std::string written = readWholeFile(path);
    EXPECT_EQ(written.size(), before + 100);
    logger.logMessage("five");
    EXPECT_TRUE(readWholeFile(path).starts_with(written));
    EXPECT_EQ(messagesOf(readWholeFile(path)), (Texts{"one", "two", "three", four, "five"}));

    // With a threshold, text waits until it has grown that long; clearing it writes what waits.
    EXPECT_EQ(logger.setFlushThreshold(300), 0u);
    logger.logMessage("held back");
    EXPECT_EQ(messagesOf(readWholeFile(path)).size(), 5u);
    logger.logMessage(std::string(300, 'x'));
    EXPECT_EQ(messagesOf(readWholeFile(path)).size(), 7u);
    logger.logMessage("tail");
    EXPECT_EQ(logger.setFlushThreshold(0), 300u);
    EXPECT_EQ(messagesOf(readWholeFile(path)).back(), "tail");
}

TEST_F(LumoLoggerTest, ThreadsNeverTearOrLoseLines) {
    constexpr int kThreads = 8, kMessages = 500;
    LumoLogger logger("Lumo.log", [&] { return m_dir.path(); });
    {
        std::vector<lumo::NamedThread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back("logger", 1 << 20, [&] {
                for (int i = 0; i < kMessages; ++i)
                    logger.logMessage(lumo::formatString("%08x %d", static_cast<unsigned>(gettid()), i));
            });
    }
    // Each line carries its writer's thread id; each thread's lines are there once, in its order.
    std::map<std::string, int> next;
    for (const std::string& message : messagesOf(readWholeFile(m_path), true)) {
        const std::string thread = message.substr(0, 8);
        ASSERT_EQ(message, thread + " " + thread + " " + std::to_string(next[thread]++));
    }
    EXPECT_EQ(next.size(), std::size_t{kThreads});
    for (const auto& [thread, count] : next)
        EXPECT_EQ(count, kMessages) << thread;
}
