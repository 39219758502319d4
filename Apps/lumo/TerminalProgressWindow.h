#pragma once

#include "TerminalProgress.h"

#include <cstdint>
#include <functional>
#include <string>

class ProgressDialogInterface;

// The progress window of a background operation on a terminal. It runs on the user-interface thread
// while the operation's thread works: every 100 ms it draws the progress and the message, answers a
// retry question the operation has put (asking on the terminal, or by --yes / --no-input), runs the
// work other threads have queued for the user-interface thread (their message boxes), and turns
// Ctrl-C into a cancellation; a second Ctrl-C ends the program at once.
class TerminalProgressWindow {
public:
    // Shows the operation's percent. A null `out` shows nothing but still answers and cancels.
    TerminalProgressWindow(ProgressDialogInterface& progress, std::string label, FILE* out = stderr,
                           int interactive = -1);
    // Shows `itemsDone()` of `items` (files, say) instead; `itemsDone` is called on this thread and
    // must be safe to call while the operation works.
    TerminalProgressWindow(ProgressDialogInterface& progress, std::string label, std::uint64_t items,
                           std::function<std::uint64_t()> itemsDone, FILE* out = stderr,
                           int interactive = -1);
    // Returns when the operation has finished.
    void run();

private:
    void tick();

    ProgressDialogInterface& m_progress;
    TerminalProgress m_display;
    std::function<std::uint64_t()> m_itemsDone;
};
