#pragma once

#include <functional>
#include <string_view>

// How core code asks the user something. Each front end installs a handler (the terminal prompts,
// the desktop window shows a dialog); without one, the default answer is taken and the text logged.
// The handler always runs on the user-interface thread: a question from any other thread is queued
// to it (see UIThread.h) and the asking thread waits for the answer. A question is always answered:
// when the handler throws (logged) or the user-interface thread no longer takes questions, the answer
// is cancelAnswer().

// RetrySkipCancel is the question a failing step of a background operation puts.
enum class MessageBoxButtons { Ok, OkCancel, YesNo, YesNoCancel, RetryCancel, RetrySkipCancel };
enum class MessageBoxAnswer { Ok, Cancel, Yes, No, Retry, Skip };

using MessageBoxHandler = std::function<MessageBoxAnswer(std::string_view text, MessageBoxButtons buttons)>;

void setMessageBoxHandler(MessageBoxHandler handler);
// Never throws.
MessageBoxAnswer showMessageBox(std::string_view text, MessageBoxButtons buttons = MessageBoxButtons::Ok);

// The answer taken when nobody can be asked: the first button, except that a retry question is
// cancelled.
MessageBoxAnswer defaultAnswer(MessageBoxButtons buttons);
// The answer that does the least, taken when asking failed: cancel when offered, else no, else ok.
MessageBoxAnswer cancelAnswer(MessageBoxButtons buttons);
