#include "app/MessageBox.h"

#include "app/LumoLog.h"
#include "app/UIThread.h"

#include <mutex>

namespace {

std::mutex g_mutex;
MessageBoxHandler g_handler;

} // namespace

void setMessageBoxHandler(MessageBoxHandler handler) {
    std::lock_guard lock(g_mutex);
    g_handler = std::move(handler);
}

MessageBoxAnswer defaultAnswer(MessageBoxButtons buttons) {
    switch (buttons) {
    case MessageBoxButtons::Ok:
    case MessageBoxButtons::OkCancel:
        return MessageBoxAnswer::Ok;
    case MessageBoxButtons::YesNo:
    case MessageBoxButtons::YesNoCancel:
        return MessageBoxAnswer::Yes;
    case MessageBoxButtons::RetryCancel:
    case MessageBoxButtons::RetrySkipCancel:
        return MessageBoxAnswer::Cancel; // never retry for ever without a person to stop it
    }
    return MessageBoxAnswer::Ok;
}

MessageBoxAnswer cancelAnswer(MessageBoxButtons buttons) {
    switch (buttons) {
    case MessageBoxButtons::Ok:
        return MessageBoxAnswer::Ok;
    case MessageBoxButtons::YesNo:
        return MessageBoxAnswer::No;
    case MessageBoxButtons::OkCancel:
    case MessageBoxButtons::YesNoCancel:
    case MessageBoxButtons::RetryCancel:
    case MessageBoxButtons::RetrySkipCancel:
        return MessageBoxAnswer::Cancel;
    }
    return MessageBoxAnswer::Cancel;
}

MessageBoxAnswer showMessageBox(std::string_view text, MessageBoxButtons buttons) {
    MessageBoxHandler handler;
    {
        std::lock_guard lock(g_mutex);
        handler = g_handler;
    }
    if (!handler) {
        LUMO_LOG("message box without a front end: %.*s", static_cast<int>(text.size()), text.data());
        return defaultAnswer(buttons);
    }
    // Only the user-interface thread talks to the user: from any other thread the question is queued to
    // it and this thread waits for its answer. The handler is done with `text` and `answer` before the
    // wait ends, so they can stay on this thread's stack.
    MessageBoxAnswer answer = cancelAnswer(buttons);
    if (!runOnUIThreadAndWait("showMessageBox", [&] { answer = handler(text, buttons); }))
        return cancelAnswer(buttons);
    return answer;
}
