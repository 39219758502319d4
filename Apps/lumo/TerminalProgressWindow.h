#pragma once

#include "TerminalProgress.h"

#include <string>

class ProgressDialogInterface;

// The progress window of a background operation on a terminal. It runs on the user-interface thread
// while the operation's thread works: every 100 ms it draws the percent and the message, answers a
// retry question the operation has put (asking on the terminal, or by --yes / --no-input), runs the
// work other threads have queued for the user-interface thread (their message boxes), and turns
// Ctrl-C into a cancellation; a second Ctrl-C ends the program at once.
class TerminalProgressWindow {
public:
    TerminalProgressWindow(ProgressDialogInterface& progress, std::string label, FILE* out = stderr,
                           int interactive = -1);
    // Returns when the operation has finished.
    void run();

private:
    void tick();

    ProgressDialogInterface& m_progress;
    TerminalProgress m_display;
};
