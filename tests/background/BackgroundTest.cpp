#include "app/LumoLogger.h"
#include "app/MessageBox.h"
#include "app/UIThread.h"
#include "background/AppBusy.h"
#include "background/ErrorReporter.h"
#include "background/ImageCachePauser.h"
#include "background/ProgressDialogInterface.h"
#include "background/ThreadedJob.h"
#include "background/ThreadedWorker.h"
#include "support/NamedThread.h"
#include "support/TestSupport.h"
#include "support/Watchdog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using PDI = ProgressDialogInterface;

std::string logText() {
    LumoLogger::instance().flush();
    const std::string file = LumoLogger::instance().logFilePath();
    return (file.empty() || !std::filesystem::exists(file) ? std::string()
                                                           : lumo::test::readWholeFile(file)) +
           LumoLogger::instance().pendingText();
}

// A worker over `units` units; `step(unit, attempt)` decides each attempt (and may record an error or
// throw). A failed unit stays current until it is retried or skipped.
class ScriptedWorker : public CWorker {
public:
    ScriptedWorker(int units, std::function<bool(int, int)> step)
        : m_attempts(units, 0), m_step(std::move(step)) {}
    bool DoStep() override {
        const bool ok = m_step(m_unit, ++m_attempts[m_unit]);
        if (ok)
            ++m_unit;
        return ok;
    }
    void SkipStep() override { ++m_unit; }
    bool IsDone() override { return m_unit >= static_cast<int>(m_attempts.size()); }
    unsigned GetPercent() override { return static_cast<unsigned>(m_unit * 100 / m_attempts.size()); }
    void GetStatusText(std::string& text) override { text = "unit " + std::to_string(m_unit); }

    std::vector<int> m_attempts;

private:
    int m_unit = 0;
    std::function<bool(int, int)> m_step;
};

class FunctionJob : public CJob {
public:
    explicit FunctionJob(std::function<bool()> perform) : m_perform(std::move(perform)) {}
    bool Perform(CProgressInfo&) override { return m_perform(); }

private:
    std::function<bool()> m_perform;
};

class FakePauser : public ImageCachePauser {
public:
    void pause(bool waitForWorkers) override { m_calls += waitForWorkers ? "pause(wait) " : "pause "; }
    void resume() override { m_calls += "resume "; }
    std::string m_calls;
};

class BackgroundTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { setUIThread(); }
    void SetUp() override {
        setMessageBoxHandler([this](std::string_view text, MessageBoxButtons buttons) {
            EXPECT_EQ(buttons, MessageBoxButtons::RetrySkipCancel);
            m_questions.emplace_back(text);
            if (m_answers.empty())
                return MessageBoxAnswer::Cancel;
            const MessageBoxAnswer answer = m_answers.front();
            m_answers.pop_front();
            return answer;
        });
    }
    void TearDown() override {
        setMessageBoxHandler(nullptr);
        setImageCachePauser(nullptr);
    }

    // Plays the progress window until the operation finishes: answers its questions and runs what
    // other threads posted to the user-interface thread.
    void runToEnd(CProgressInfo& operation) {
        ASSERT_TRUE(operation.Start());
        while (!m_progress.IsFinished()) {
            ErrorReporter::AnswerPendingQuestion(m_progress);
            runUIThreadTasks();
            std::this_thread::yield();
        }
        operation.Join();
    }

    PDI m_progress;
    std::deque<MessageBoxAnswer> m_answers;
    std::vector<std::string> m_questions;
};

// A step that fails unit `bad` on its first `failures` attempts, recording `error` when there is one.
std::function<bool(int, int)> failing(int bad, int failures,
                                      std::optional<ErrorReporter::ErrorRecord> error) {
    return [=](int unit, int attempt) {
        if (unit != bad || attempt > failures)
            return true;
        if (error)
            ErrorReporter::Recorder::Record(error->highLevelMessage, error->lowLevelMessage, error->path,
                                            error->canRetry);
        return false;
    };
}

std::vector<int> attempts(CThreadedWorker& op) {
    return static_cast<ScriptedWorker&>(op.GetWorker()).m_attempts;
}

TEST_F(BackgroundTest, FailedStepAsksOnlyAfterARetryableError) {
    // No error recorded, or one that a retry cannot mend: every unit is still tried, nobody is asked.
    for (bool record : {false, true}) {
        const auto error =
            record ? std::optional(ErrorReporter::ErrorRecord{"Copying", "full", "/a", false}) : std::nullopt;
        CThreadedWorker op(std::make_unique<ScriptedWorker>(3, failing(1, 99, error)), &m_progress);
        runToEnd(op);
        EXPECT_EQ(attempts(op), (std::vector<int>{1, 1, 1}));
        EXPECT_EQ(m_progress.GetStatus(), PDI::kStatusFailed);
        EXPECT_EQ(m_progress.GetPercent(), 100u);
        EXPECT_EQ(m_progress.GetTitle(), "Progress");
        EXPECT_TRUE(m_questions.empty());
        m_progress.SetStatus(0);
        m_progress.SetFinished(false);
    }

    // A retryable error is put to the user; "continue" goes on with the next unit.
    m_answers = {MessageBoxAnswer::Ok};
    CThreadedWorker op(
        std::make_unique<ScriptedWorker>(
            3, failing(1, 99, ErrorReporter::ErrorRecord{"While copying:", "EIO", "/b.jpg", true})),
        &m_progress);
    runToEnd(op);
    EXPECT_EQ(attempts(op), (std::vector<int>{1, 1, 1}));
    ASSERT_EQ(m_questions.size(), 1u);
    EXPECT_EQ(m_questions[0], "While copying:\n\nEIO\n\n/b.jpg");
    EXPECT_EQ(m_progress.GetStatus(), PDI::kStatusFailed);
}

TEST_F(BackgroundTest, RetriedStepSucceedsOnTheFourthAttempt) {
    m_answers = {MessageBoxAnswer::Retry, MessageBoxAnswer::Retry, MessageBoxAnswer::Retry};
    CThreadedWorker op(std::make_unique<ScriptedWorker>(
                           2, failing(0, 3, ErrorReporter::ErrorRecord{"Renaming", "busy", "", true})),
                       &m_progress);
    runToEnd(op);
    EXPECT_EQ(attempts(op), (std::vector<int>{4, 1}));
    EXPECT_EQ(m_questions.size(), 3u);
    EXPECT_EQ(m_progress.GetStatus(), 0u);
}

TEST_F(BackgroundTest, CancelStopsTheWorkerEarly) {
    // Cancelled from the progress window while a unit runs.
    const auto cancelAt2 = [this](int unit, int) {
        if (unit == 2)
            m_progress.SetCancelled(true);
        return true;
    };
    CThreadedWorker op(std::make_unique<ScriptedWorker>(5, cancelAt2), &m_progress);
    runToEnd(op);
    EXPECT_EQ(attempts(op), (std::vector<int>{1, 1, 1, 0, 0}));
    EXPECT_EQ(m_progress.GetStatus(), PDI::kStatusCancelled);

    // Cancelled by the answer to the retry question.
    PDI progress;
    m_answers = {MessageBoxAnswer::Cancel};
    CThreadedWorker second(
        std::make_unique<ScriptedWorker>(3, failing(0, 99, ErrorReporter::ErrorRecord{"A", "B", "C", true})),
        &progress);
    ASSERT_TRUE(second.Start());
    while (!progress.IsFinished())
        ErrorReporter::AnswerPendingQuestion(progress);
    second.Join();
    EXPECT_EQ(attempts(second), (std::vector<int>{1, 0, 0}));
    EXPECT_EQ(progress.GetStatus(), PDI::kStatusCancelled);
}

TEST_F(BackgroundTest, ExceptionInAStepEndsTheWorkerWithStatus8) {
    FakePauser pauser;
    setImageCachePauser(&pauser);
    CThreadedWorker op(std::make_unique<ScriptedWorker>(3,
                                                        [](int unit, int) {
                                                            EXPECT_TRUE(IsAppBusy());
                                                            if (unit == 1)
                                                                throw std::runtime_error("step exploded");
                                                            return true;
                                                        }),
                       &m_progress, true);
    runToEnd(op);
    EXPECT_EQ(m_progress.GetStatus(), PDI::kStatusException);
    EXPECT_TRUE(m_progress.IsFinished());
    EXPECT_EQ(pauser.m_calls, "pause(wait) resume ");
    EXPECT_FALSE(IsAppBusy());
    EXPECT_NE(logText().find("ThreadedWorker:"), std::string::npos);
    EXPECT_NE(logText().find("Unexpected exception in CThreadedWorker::operator() what: step exploded"),
              std::string::npos);
}

TEST_F(BackgroundTest, JobResultsAndCacheAndBusyMark) {
    FakePauser pauser;
    setImageCachePauser(&pauser);
    int performed = 0;
    {
        // Start twice: one thread, one Perform. A false result is status 6.
        PDI progress;
        CThreadedJob job(std::make_unique<FunctionJob>([&] {
                             ++performed;
                             EXPECT_TRUE(IsAppBusy());
                             return false;
                         }),
                         &progress, true);
        EXPECT_TRUE(job.Start());
        EXPECT_FALSE(job.Start());
        job.Join();
        EXPECT_EQ(performed, 1);
        EXPECT_EQ(progress.GetStatus(), PDI::kStatusFailed);
        EXPECT_TRUE(progress.IsFinished());
        EXPECT_EQ(pauser.m_calls, "pause resume ");
        EXPECT_FALSE(IsAppBusy());
    }
    {
        // Without the flag the cache is left alone; a throwing job ends with status 8.
        PDI progress;
        CThreadedJob job(std::make_unique<FunctionJob>([]() -> bool { throw 42; }), &progress);
        job.Start();
        job.Join();
        EXPECT_EQ(progress.GetStatus(), PDI::kStatusException);
        EXPECT_TRUE(progress.IsFinished());
        EXPECT_EQ(pauser.m_calls, "pause resume ");
        EXPECT_NE(logText().find("ThreadedJob:"), std::string::npos);
        EXPECT_NE(logText().find("Unexpected exception in CThreadedJob::operator()"), std::string::npos);
    }
    // Nothing starts without a progress window.
    CThreadedJob orphan(std::make_unique<FunctionJob>([] { return true; }));
    EXPECT_FALSE(orphan.Start());

    // Overlapping operations: the busy mark stays until the last one clears it.
    MarkAppBusy();
    MarkAppBusy();
    ClearAppBusy();
    EXPECT_TRUE(IsAppBusy());
    ClearAppBusy();
    ClearAppBusy();
    EXPECT_FALSE(IsAppBusy());
}

TEST_F(BackgroundTest, AnOwnerThatStopsServingItsOperationNeverHangsOnIt) {
    lumo::test::Watchdog watchdog("joining a worker that waits on the user");
    // The window goes (an exception, an early return) while the worker waits on the retry question:
    // destroying the operation cancels it, which answers the question, before it joins the thread.
    {
        CThreadedWorker op(std::make_unique<ScriptedWorker>(
                               3, failing(0, 99, ErrorReporter::ErrorRecord{"Copying", "EIO", "/c", true})),
                           &m_progress);
        ASSERT_TRUE(op.Start());
        while (!m_progress.HasPendingQuestion())
            std::this_thread::yield();
    }
    EXPECT_TRUE(m_progress.IsFinished());
    EXPECT_EQ(m_progress.GetStatus(), PDI::kStatusCancelled);
    EXPECT_TRUE(m_questions.empty());

    // Joined on the user-interface thread while the work waits for a question put to that thread:
    // the join serves it.
    PDI progress;
    m_answers = {MessageBoxAnswer::Retry};
    CThreadedJob job(std::make_unique<FunctionJob>([] {
                         ErrorReporter::Recorder::Record("Sending", "timeout", "/d.jpg", true);
                         return ErrorReporter::ShouldRetry("", false, false);
                     }),
                     &progress);
    ASSERT_TRUE(job.Start());
    job.Join();
    EXPECT_EQ(m_questions, std::vector<std::string>{"Sending\n\ntimeout\n\n/d.jpg"});
    EXPECT_EQ(progress.GetStatus(), 0u);
}

TEST_F(BackgroundTest, ProgressStateAndAskRetryAcrossThreads) {
    PDI progress;
    progress.SetPercent(250);
    EXPECT_EQ(progress.GetPercent(), 100u);

    // The asking thread blocks until a window thread answers.
    std::atomic<std::uint32_t> reply{0};
    {
        lumo::NamedThread window("fake-window", 1 << 20, [&] {
            while (!progress.HasPendingQuestion())
                std::this_thread::yield();
            EXPECT_EQ(progress.PendingQuestionThread(), 42u);
            progress.AnswerQuestion(PDI::kReplySkip);
        });
        reply = progress.AskRetry(42);
    }
    EXPECT_EQ(reply, PDI::kReplySkip);
    EXPECT_FALSE(progress.HasPendingQuestion());

    // Cancelling lets a waiting asker go with "cancel", and later questions are not put at all.
    {
        lumo::NamedThread asker("asker", 1 << 20, [&] { reply = progress.AskRetry(7); });
        while (!progress.HasPendingQuestion())
            std::this_thread::yield();
        progress.SetCancelled(true);
    }
    EXPECT_EQ(reply, PDI::kReplyCancel);
    EXPECT_EQ(progress.GetStatus(), PDI::kStatusCancelled);
    EXPECT_EQ(progress.AskRetry(7), PDI::kReplyCancel);
}

TEST_F(BackgroundTest, ShouldRetryOnAndOffTheUserInterfaceThread) {
    EXPECT_FALSE(ErrorReporter::ShouldRetry("/x.jpg", true, false));
    EXPECT_TRUE(m_questions.empty());

    ErrorReporter::Recorder::Record("Saving", "read-only", "", true);
    m_answers = {MessageBoxAnswer::Retry};
    EXPECT_TRUE(ErrorReporter::ShouldRetry("/x.jpg", false, false));
    ASSERT_EQ(m_questions.size(), 1u);
    EXPECT_EQ(m_questions[0], "Saving\n\nread-only\n\n/x.jpg");
    ErrorReporter::Recorder::Clear();
    const std::string log = logText();
    EXPECT_NE(log.find("(main thread), addr of bShouldRetry is"), std::string::npos);
    EXPECT_NE(
        log.find(
            "DoShouldRetry()\nhigh-level message:'Saving'\nlow-level message: 'read-only'\npath:'/x.jpg'"),
        std::string::npos);
    EXPECT_NE(log.find("DoShouldRetry(), User chose to retry.  Caller threadID is"), std::string::npos);

    // From a worker thread the question waits for the user-interface thread, and shows that thread's
    // own error. Off that thread no question can be shown at all.
    m_answers = {MessageBoxAnswer::Retry};
    std::atomic<bool> done{false};
    bool answer = false;
    std::uint32_t direct = 0;
    lumo::NamedThread worker("should-retry", 1 << 20, [&] {
        ErrorReporter::Recorder::Record("Ingesting", "card removed", "/card/1.jpg", true);
        direct = ErrorReporter::AskUser(0);
        answer = ErrorReporter::ShouldRetry("", false, false);
        done = true;
    });
    while (!done) {
        runUIThreadTasks();
        std::this_thread::yield();
    }
    worker.join();
    EXPECT_TRUE(answer);
    EXPECT_EQ(direct, PDI::kReplyCancel);
    ASSERT_EQ(m_questions.size(), 2u);
    EXPECT_EQ(m_questions[1], "Ingesting\n\ncard removed\n\n/card/1.jpg");
    EXPECT_NE(logText().find("addr of bShouldRetry is"), std::string::npos);

    EXPECT_EQ(ErrorReporter::ReplyFor(MessageBoxAnswer::Retry), 3u);
    EXPECT_EQ(ErrorReporter::ReplyFor(MessageBoxAnswer::Cancel), 2u);
    EXPECT_EQ(ErrorReporter::ReplyFor(MessageBoxAnswer::No), 2u);
    EXPECT_EQ(ErrorReporter::ReplyFor(MessageBoxAnswer::Yes), 1u);
    EXPECT_EQ(ErrorReporter::ReplyFor(MessageBoxAnswer::Ok), 1u);

    // A front end that throws: the question answers "no retry", a message "cancel", and the failure is
    // logged.
    setMessageBoxHandler([](std::string_view, MessageBoxButtons) -> MessageBoxAnswer {
        throw std::runtime_error("no display");
    });
    EXPECT_FALSE(ErrorReporter::ShouldRetry("/y.jpg", false, false));
    EXPECT_EQ(ErrorReporter::DoMessageBox("hello", MessageBoxButtons::OkCancel), MessageBoxAnswer::Cancel);
    EXPECT_NE(logText().find("showMessageBox: exception: no display"), std::string::npos);
}

} // namespace
