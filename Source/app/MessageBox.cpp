#include "app/MessageBox.h"

#include "app/LumoLog.h"

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
    if (handler)
        return handler(text, buttons);
    LUMO_LOG("message box without a front end: %.*s", static_cast<int>(text.size()), text.data());
    return defaultAnswer(buttons);
}
