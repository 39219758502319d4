// The terminal's progress display and questions, on streams in memory.

#include "TerminalProgress.h"
#include "TerminalProgressWindow.h"
#include "TerminalPrompt.h"
#include "app/UIThread.h"
#include "background/ErrorReporter.h"
#include "background/ProgressDialogInterface.h"
#include "background/ThreadedWorker.h"

#include <csignal>

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

TEST(TerminalProgress, BarRedrawsOneLineAndGivesWayToOtherLines) {
    MemoryStream out;
    {
        TerminalProgress progress("Scanning", 4, out.file, 1);
        progress.update(1, "DSC_0041.NEF");
        // A line printed meanwhile goes on a line of its own; the bar comes back below it at once.
        TerminalProgress::clearActiveLine();
        std::fputs("DSC_0041.NEF -> DSC_0041.jpg\n", out.file);
        progress.update(2, "DSC_0042.NEF");
        progress.finish();
        progress.update(3); // ignored once finished
        progress.clearLine();
    }
    const std::string text = out.text();
    EXPECT_NE(text.find("\rScanning [######..................] 25% 1/4  DSC_0041.NEF\x1b[K\r\x1b[K"
                        "DSC_0041.NEF -> DSC_0041.jpg\n"
                        "\rScanning [############............] 50% 2/4  DSC_0042.NEF\x1b[K"),
              std::string::npos)
        << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);

    TerminalProgress silent("Scanning", 4, nullptr); // --quiet
    silent.update(2);
    TerminalProgress::clearActiveLine();
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
        {"s\n", MessageBoxButtons::RetrySkipCancel, MessageBoxAnswer::Skip},
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

namespace {

// Ten units; unit 3 fails once with an error worth retrying; a unit can raise Ctrl-C.
class CountingWorker : public CWorker {
public:
    explicit CountingWorker(int interruptAt = -1) : m_interruptAt(interruptAt) {}
    bool DoStep() override {
        if (m_unit == m_interruptAt)
            raise(SIGINT);
        if (m_unit == 3 && !m_failed) {
            m_failed = true;
            ErrorReporter::Recorder::Record("While copying a photo an error occurred:", "disk full",
                                            "/card/IMG_3.CR2", true);
            return false;
        }
        ++m_unit;
        return true;
    }
    void SkipStep() override { ++m_unit; }
    bool IsDone() override { return m_unit >= 10; }
    unsigned GetPercent() override { return static_cast<unsigned>(m_unit * 10); }
    void GetStatusText(std::string& text) override { text = "unit " + std::to_string(m_unit); }

private:
    int m_unit = 0;
    int m_interruptAt;
    bool m_failed = false;
};

// Runs the worker under a terminal progress window with the given common options; the window counts
// the worker's units when `countUnits` is set.
std::uint32_t runUnderWindow(CommonOptions options, int interruptAt, std::string& shown,
                             bool countUnits = false) {
    setUIThread();
    setMessageBoxHandler(makeTerminalMessageBox(options));
    ProgressDialogInterface progress;
    CThreadedWorker operation(std::make_unique<CountingWorker>(interruptAt), &progress);
    MemoryStream out;
    EXPECT_TRUE(operation.Start());
    if (countUnits)
        TerminalProgressWindow(
            progress, "Copying", 10, [&progress] { return progress.GetPercent() / 10; }, out.file, 0)
            .run();
    else
        TerminalProgressWindow(progress, "Copying", out.file, 0).run();
    operation.Join();
    setMessageBoxHandler({});
    shown = out.text();
    return progress.GetStatus();
}

} // namespace

TEST(TerminalProgressWindow, AnswersTheRetryQuestionAndTurnsCtrlCIntoCancel) {
    std::string shown;
    CommonOptions yes;
    yes.yes = true; // a retry question is answered "skip": the unit is passed over, the status says so
    EXPECT_EQ(runUnderWindow(yes, -1, shown), ProgressDialogInterface::kStatusFailed);
    EXPECT_NE(shown.find("Copying: 100/100 (100%)\n"), std::string::npos) << shown;

    CommonOptions noInput;
    noInput.noInput = true; // nobody to ask: "cancel" stops the operation
    EXPECT_EQ(runUnderWindow(noInput, -1, shown), ProgressDialogInterface::kStatusCancelled);

    EXPECT_EQ(runUnderWindow(yes, 6, shown), ProgressDialogInterface::kStatusCancelled); // one Ctrl-C

    EXPECT_EQ(runUnderWindow(yes, -1, shown, true), ProgressDialogInterface::kStatusFailed);
    EXPECT_NE(shown.find("Copying: 10/10 (100%)\n"), std::string::npos) << shown; // units, not percent
}
