#pragma once

#include "LumoCli.h"
#include "app/MessageBox.h"

#include <cstdio>

// Asks questions on the terminal: the text on stderr, the answer from stdin. With --yes every question
// is answered yes, and a retry question (which has no yes) skip; with --no-input, or when stdin is not a
// terminal, each question takes its default answer, which for a retry question is cancel. A question
// answered without asking is still shown, with the answer taken and why.
MessageBoxHandler makeTerminalMessageBox(const CommonOptions& options);

// The same, reading from `in` and writing to `out`, asking even when `in` is not a terminal.
MessageBoxAnswer askOnTerminal(std::string_view text, MessageBoxButtons buttons, FILE* in, FILE* out);
