#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

// The state an operation's thread and its progress window share. Every operation takes the one mutex
// for its whole body, so either side may call any of them at any time. A window derives from it (or
// holds one), polls it on a timer, and answers the retry question the operation's thread puts.
class ProgressDialogInterface {
public:
    static constexpr std::uint32_t kNoReply = 0xFFFFFFFFu;

    // Status codes; 0 while none of these happened.
    static constexpr std::uint32_t kStatusCancelled = 1;
    static constexpr std::uint32_t kStatusError = 5;
    static constexpr std::uint32_t kStatusFailed = 6;
    static constexpr std::uint32_t kStatusException = 8;

    // Reply codes of the retry question.
    static constexpr std::uint32_t kReplyContinue = 1;
    static constexpr std::uint32_t kReplyCancel = 2;
    static constexpr std::uint32_t kReplyRetry = 3;
    static constexpr std::uint32_t kReplySkip = 4;

    ProgressDialogInterface() = default;
    ProgressDialogInterface(const ProgressDialogInterface&) = delete;
    ProgressDialogInterface& operator=(const ProgressDialogInterface&) = delete;

    virtual std::string GetMessage();
    virtual void SetMessage(const std::string& message);
    virtual unsigned GetPercent();
    // Stores the smaller of `percent` and 100.
    virtual void SetPercent(unsigned percent);
    virtual bool IsFinished();
    virtual void SetFinished(bool finished);
    virtual bool IsCancelled();
    // Cancelling also sets the status to 1 and answers a pending question with "cancel", so that a
    // thread waiting for a window that is going away is let go.
    virtual void SetCancelled(bool cancelled);
    // Cancels as SetCancelled(true) does unless the operation has finished (whose status then stays);
    // true when it cancelled. For an owner that stops waiting for an operation before it has ended.
    bool CancelUnlessFinished();
    virtual void SetTitle(const std::string& title);
    virtual std::string GetTitle();
    virtual void SetStatus(std::uint32_t status);
    virtual std::uint32_t GetStatus();
    // Puts the retry question for thread `threadId` and blocks until the window answers it; returns
    // the reply code. Questions from several threads are put one after the other; once the operation
    // is cancelled, the answer is "cancel" without asking. The window always answers (a failure to
    // ask answers "cancel"); an owner that stops running the window cancels the operation first
    // (CProgressInfo does when it is destroyed), which answers a waiting question.
    virtual std::uint32_t AskRetry(std::uint64_t threadId);
    virtual ~ProgressDialogInterface() = default;

    // For the window: whether a question waits, whose it is (0 when none), and its answer. Answering
    // when no question waits does nothing.
    bool HasPendingQuestion();
    // Waits until a question is asked, the operation finishes or `timeout` passes, whichever is first.
    void WaitForWindowWork(std::chrono::milliseconds timeout);
    std::uint64_t PendingQuestionThread();
    void AnswerQuestion(std::uint32_t reply);

private:
    void CancelLocked();

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::string m_message;
    std::string m_title;
    unsigned m_percent = 0;
    bool m_finished = false;
    bool m_cancelled = false;
    std::uint32_t m_status = 0;
    // Invariant: m_reply holds an answer (not kNoReply) only between AnswerQuestion() and the asking
    // thread taking it, and no question is pending then.
    std::uint64_t m_questionThread = 0;
    bool m_questionPending = false;
    std::uint32_t m_reply = kNoReply;
};
