#pragma once

#include "app/MessageBox.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class ProgressDialogInterface;

// How worker threads put a failure to the user. Code that fails records what went wrong for its
// thread (Recorder); the operation then asks whether to retry, either through ErrorReporter::ShouldRetry
// or through its progress window (ProgressDialogInterface::AskRetry, answered with AnswerPendingQuestion).
// The question is only ever shown on the user-interface thread.
class ErrorReporter {
public:
    struct ErrorRecord {
        std::string highLevelMessage; // the action that failed, as the user would name it
        std::string lowLevelMessage;  // the error itself
        std::string path;
        bool canRetry = false; // whether trying the same thing again could succeed
    };

    // The last error of each thread. A thread's record lives until it is cleared or the thread ends;
    // other threads read it by the thread's kernel id.
    class Recorder {
    public:
        static void Record(std::string highLevelMessage, std::string lowLevelMessage, std::string path,
                           bool canRetry);
        static void Clear();
        static std::optional<ErrorRecord> Last();
        static std::optional<ErrorRecord> LastFor(std::uint64_t threadId);
    };

    // Asks the user whether to retry after the calling thread's last recorded error; true when the user
    // chose to retry. Answers false at once when `suppress` is set. Off the user-interface thread the
    // question is posted to it and this thread waits until it has been answered, or answers false when
    // that thread no longer takes questions (shutdown). `path` stands in for
    // a recorded error without a path. `flag` is passed through by callers and does not change the
    // question.
    static bool ShouldRetry(const std::string& path, bool suppress, bool flag);

    // Runs on the user-interface thread for thread `callerThreadId`: logs its last error, shows the
    // error dialog and stores whether the user chose to retry in `*bShouldRetry`.
    static void DoShouldRetry(std::uint64_t callerThreadId, const std::string& path, bool* bShouldRetry);
    // Shows a plain message; a failing front end gives cancelAnswer(buttons).
    static MessageBoxAnswer DoMessageBox(std::string_view text,
                                         MessageBoxButtons buttons = MessageBoxButtons::Ok);

    // Shows the error dialog for thread `threadId`'s last error and answers the reply code (1 continue,
    // 2 cancel, 3 retry, 4 skip); 2 when called off the user-interface thread.
    static std::uint32_t AskUser(std::uint64_t threadId, const std::string& path = {});
    static std::uint32_t ReplyFor(MessageBoxAnswer answer);
    // For a progress window's timer: answers the pending retry question of `dialog`, if any, through
    // the error dialog; true when there was one.
    static bool AnswerPendingQuestion(ProgressDialogInterface& dialog);
};
