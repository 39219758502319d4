#include "app/MessageBox.h"

#include "app/LumoLog.h"
#include "app/UIThread.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

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
    if (isUIThread())
        return handler(text, buttons);

    // Only the user-interface thread talks to the user: the question is queued to it, and this thread
    // polls until it has been answered.
    struct Question {
        std::string text;
        std::atomic<bool> answered{false};
        MessageBoxAnswer answer = MessageBoxAnswer::Cancel;
    };
    auto question = std::make_shared<Question>();
    question->text = std::string(text);
    postToUIThread([question, handler, buttons] {
        question->answer = handler(question->text, buttons);
        question->answered = true;
    });
    while (!question->answered)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return question->answer;
}
