#pragma once

#include <functional>
#include <string_view>

// How core code asks the user something. Each front end installs a handler (the terminal prompts,
// the desktop window shows a dialog); without one, the default answer is taken and the text logged.
// The handler always runs on the user-interface thread: a question from any other thread is queued
// to it (see UIThread.h) and the asking thread waits, polling every 10 ms, for the answer.

// RetrySkipCancel is the question a failing step of a background operation puts.
enum class MessageBoxButtons { Ok, OkCancel, YesNo, YesNoCancel, RetryCancel, RetrySkipCancel };
enum class MessageBoxAnswer { Ok, Cancel, Yes, No, Retry, Skip };

using MessageBoxHandler = std::function<MessageBoxAnswer(std::string_view text, MessageBoxButtons buttons)>;

void setMessageBoxHandler(MessageBoxHandler handler);
MessageBoxAnswer showMessageBox(std::string_view text, MessageBoxButtons buttons = MessageBoxButtons::Ok);

// The answer taken when nobody can be asked: the first button, except that a retry question is
// cancelled.
MessageBoxAnswer defaultAnswer(MessageBoxButtons buttons);
