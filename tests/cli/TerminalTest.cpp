// The terminal's progress display and questions, on streams in memory.

#include "TerminalProgress.h"
#include "TerminalPrompt.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

// A FILE* whose text can be read back.
struct MemoryStream {
    char* buffer = nullptr;
    size_t size = 0;
    FILE* file = open_memstream(&buffer, &size);
    ~MemoryStream() {
        std::fclose(file);
        std::free(buffer);
    }
    std::string text() {
        std::fflush(file);
        return std::string(buffer, size);
    }
};

} // namespace

TEST(TerminalProgress, PlainLinesAtEveryTenthAndAtTheEnd) {
    MemoryStream out;
    {
        TerminalProgress progress("Copying", 200, out.file, 0);
        for (std::uint64_t i = 1; i <= 199; ++i)
            progress.update(i, "IMG_0001.CR2");
    }
    const std::string text = out.text();
    EXPECT_EQ(text.find('\r'), std::string::npos);
    EXPECT_NE(text.find("Copying: 20/200 (10%)\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Copying: 180/200 (90%)\n"), std::string::npos);
    EXPECT_NE(text.find("Copying: 199/200 (99%)\n"), std::string::npos); // the final state
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 11);
}

TEST(TerminalProgress, BarRedrawsOneLine) {
    MemoryStream out;
    {
        TerminalProgress progress("Scanning", 4, out.file, 1);
        progress.update(2, "DSC_0042.NEF");
        progress.finish();
        progress.update(3); // ignored once finished
    }
    const std::string text = out.text();
    EXPECT_NE(text.find("\rScanning [############............] 50% 2/4  DSC_0042.NEF"), std::string::npos)
        << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
}

TEST(TerminalPrompt, AnswersFromTheTypedLine) {
    struct Case {
        const char* typed;
        MessageBoxButtons buttons;
        MessageBoxAnswer answer;
    } cases[] = {
        {"\n", MessageBoxButtons::YesNo, MessageBoxAnswer::Yes},
        {"maybe\nno\n", MessageBoxButtons::YesNo, MessageBoxAnswer::No}, // asks again
        {"c\n", MessageBoxButtons::YesNoCancel, MessageBoxAnswer::Cancel},
        {"r\n", MessageBoxButtons::RetryCancel, MessageBoxAnswer::Retry},
        {"", MessageBoxButtons::RetryCancel, MessageBoxAnswer::Cancel}, // end of input
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed);
        FILE* in = std::tmpfile();
        std::fputs(c.typed, in);
        std::rewind(in);
        MemoryStream out;
        EXPECT_EQ(askOnTerminal("Replace the file?", c.buttons, in, out.file), c.answer);
        EXPECT_NE(out.text().find("Replace the file?"), std::string::npos);
        std::fclose(in);
    }
}
