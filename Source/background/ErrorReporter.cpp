#include "background/ErrorReporter.h"

#include "app/LumoLog.h"
#include "app/UIThread.h"
#include "background/ProgressDialogInterface.h"
#include "support/ProcessInfo.h"

#include <exception>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace {

using ErrorRecord = ErrorReporter::ErrorRecord;

struct RecordRegistry {
    std::mutex mutex;
    std::unordered_map<std::uint64_t, ErrorRecord> records;
};

// Never destroyed: threads may still end (and drop their records) while the process exits.
RecordRegistry& registry() {
    static RecordRegistry* const instance = new RecordRegistry;
    return *instance;
}

std::uint64_t callingThreadId() {
    return static_cast<std::uint64_t>(lumo::currentThreadId());
}

// Drops the thread's record when the thread ends, so that a kernel id used again by a later thread
// does not inherit it.
struct ThreadRecordOwner {
    std::uint64_t threadId = callingThreadId();
    ~ThreadRecordOwner() {
        RecordRegistry& r = registry();
        std::lock_guard lock(r.mutex);
        r.records.erase(threadId);
    }
};

thread_local ThreadRecordOwner t_recordOwner;

std::string dialogText(const ErrorRecord& record) {
    std::string text = record.highLevelMessage.empty() ? "An error occurred." : record.highLevelMessage;
    if (!record.lowLevelMessage.empty())
        text += "\n\n" + record.lowLevelMessage;
    if (!record.path.empty())
        text += "\n\n" + record.path;
    return text;
}

// The thread's last error, with `path` standing in for a missing one.
ErrorRecord recordFor(std::uint64_t threadId, const std::string& path) {
    ErrorRecord record = ErrorReporter::Recorder::LastFor(threadId).value_or(ErrorRecord{});
    if (record.path.empty())
        record.path = path;
    return record;
}

std::uint32_t showErrorDialog(const ErrorRecord& record) {
    if (!isUIThread())
        return ProgressDialogInterface::kReplyCancel;
    return ErrorReporter::ReplyFor(showMessageBox(dialogText(record), MessageBoxButtons::RetrySkipCancel));
}

} // namespace

void ErrorReporter::Recorder::Record(std::string highLevelMessage, std::string lowLevelMessage,
                                     std::string path, bool canRetry) {
    const std::uint64_t id = t_recordOwner.threadId;
    RecordRegistry& r = registry();
    std::lock_guard lock(r.mutex);
    r.records[id] =
        ErrorRecord{std::move(highLevelMessage), std::move(lowLevelMessage), std::move(path), canRetry};
}

void ErrorReporter::Recorder::Clear() {
    RecordRegistry& r = registry();
    std::lock_guard lock(r.mutex);
    r.records.erase(callingThreadId());
}

std::optional<ErrorRecord> ErrorReporter::Recorder::Last() {
    return LastFor(callingThreadId());
}

std::optional<ErrorRecord> ErrorReporter::Recorder::LastFor(std::uint64_t threadId) {
    RecordRegistry& r = registry();
    std::lock_guard lock(r.mutex);
    const auto it = r.records.find(threadId);
    if (it == r.records.end())
        return std::nullopt;
    return it->second;
}

std::uint32_t ErrorReporter::ReplyFor(MessageBoxAnswer answer) {
    switch (answer) {
    case MessageBoxAnswer::Retry:
        return ProgressDialogInterface::kReplyRetry;
    case MessageBoxAnswer::Skip:
        return ProgressDialogInterface::kReplySkip;
    case MessageBoxAnswer::Cancel:
    case MessageBoxAnswer::No:
        return ProgressDialogInterface::kReplyCancel;
    case MessageBoxAnswer::Ok:
    case MessageBoxAnswer::Yes:
        return ProgressDialogInterface::kReplyContinue;
    }
    return ProgressDialogInterface::kReplyCancel;
}

bool ErrorReporter::ShouldRetry(const std::string& path, bool suppress, bool /*flag*/) {
    if (suppress)
        return false;
    const std::uint64_t caller = callingThreadId();
    if (isUIThread()) {
        bool bShouldRetry = false;
        LUMO_LOG("ErrorReporter::ShouldRetry(), caller threadID is %llu (main thread), addr of bShouldRetry "
                 "is %p.",
                 static_cast<unsigned long long>(caller), static_cast<void*>(&bShouldRetry));
        DoShouldRetry(caller, path, &bShouldRetry);
        return bShouldRetry;
    }

    // Shared with the posted task, which may outlive this wait when the question is dropped unasked.
    struct Question {
        bool bShouldRetry = false;
    };
    auto question = std::make_shared<Question>();
    LUMO_LOG("ErrorReporter::ShouldRetry(), caller threadID is %llu, addr of bShouldRetry is %p.",
             static_cast<unsigned long long>(caller), static_cast<void*>(&question->bShouldRetry));
    // Not asked (the user-interface thread no longer takes questions) counts as "do not retry".
    const bool asked = runOnUIThreadAndWait("ErrorReporter::ShouldRetry", [question, caller, path] {
        DoShouldRetry(caller, path, &question->bShouldRetry);
    });
    return asked && question->bShouldRetry;
}

void ErrorReporter::DoShouldRetry(std::uint64_t callerThreadId, const std::string& path, bool* bShouldRetry) {
    *bShouldRetry = false;
    try {
        const ErrorRecord record = recordFor(callerThreadId, path);
        LUMO_LOG("DoShouldRetry()\nhigh-level message:'%s'\nlow-level message: '%s'\npath:'%s'",
                 record.highLevelMessage.c_str(), record.lowLevelMessage.c_str(), record.path.c_str());
        if (showErrorDialog(record) == ProgressDialogInterface::kReplyRetry) {
            *bShouldRetry = true;
            LUMO_LOG(
                "DoShouldRetry(), User chose to retry.  Caller threadID is %llu, addr of bShouldRetry is %p.",
                static_cast<unsigned long long>(callerThreadId), static_cast<void*>(bShouldRetry));
        }
    } catch (const std::exception& e) {
        LUMO_LOG("Caught exception in ErrorReporter::DoShouldRetry(): '%s'", e.what());
    } catch (...) {
        LUMO_LOG("Unexpected exception in ErrorReporter::DoShouldRetry()");
    }
}

MessageBoxAnswer ErrorReporter::DoMessageBox(std::string_view text, MessageBoxButtons buttons) {
    try {
        return showMessageBox(text, buttons);
    } catch (const std::exception& e) {
        LUMO_LOG("Caught exception in ErrorReporter::DoMessageBox(): '%s'", e.what());
    } catch (...) {
        LUMO_LOG("Unexpected exception in ErrorReporter::DoMessageBox()");
    }
    return cancelAnswer(buttons);
}

std::uint32_t ErrorReporter::AskUser(std::uint64_t threadId, const std::string& path) {
    try {
        return showErrorDialog(recordFor(threadId, path));
    } catch (const std::exception& e) {
        LUMO_LOG("ErrorReporter::AskUser() %s", e.what());
    } catch (...) {
        LUMO_LOG("ErrorReporter::AskUser() unknown exception");
    }
    return ProgressDialogInterface::kReplyCancel;
}

bool ErrorReporter::AnswerPendingQuestion(ProgressDialogInterface& dialog) {
    if (!dialog.HasPendingQuestion())
        return false;
    dialog.AnswerQuestion(AskUser(dialog.PendingQuestionThread()));
    return true;
}
