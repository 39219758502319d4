#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

// Shows how far long work has come. On a terminal it redraws one line in place (a bar, the percentage,
// the count and the current item), at most ten times a second; elsewhere (a pipe, a log file) it
// writes a plain line at every tenth of the work, and at least every five seconds. A total of 0 means
// the amount of work is not known: only the count is shown.
//
// Nothing else may write on the bar's line: whoever prints while a bar is shown (a line per file, a
// question) calls clearLine() or clearActiveLine() first, and the bar comes back below at the next
// update.
class TerminalProgress {
public:
    // `interactive`: -1 to decide by whether `out` is a terminal, 0 for plain lines, 1 for the bar.
    // A null `out` shows nothing (--quiet).
    TerminalProgress(std::string label, std::uint64_t total, FILE* out = stderr, int interactive = -1);
    ~TerminalProgress();
    TerminalProgress(const TerminalProgress&) = delete;
    TerminalProgress& operator=(const TerminalProgress&) = delete;

    void setTotal(std::uint64_t total) { m_total = total; }
    void update(std::uint64_t done, std::string_view item = {});
    // Draws the final state and ends the line; further updates are ignored.
    void finish();
    // Takes the bar off its line, so that what is printed next starts on a line of its own.
    void clearLine();
    // clearLine() on the bar being shown, if there is one (for code that does not hold it).
    static void clearActiveLine();

private:
    void drawBar(std::string_view item);
    void writeLine();
    int percent() const;

    std::string m_label;
    std::uint64_t m_total;
    std::uint64_t m_done = 0;
    FILE* m_out;
    bool m_interactive;
    bool m_finished = false;
    bool m_drawn = false;
    int m_lastTenth = -1;
    std::uint64_t m_lastWritten = 0;
    std::chrono::steady_clock::time_point m_lastDraw{};
};
