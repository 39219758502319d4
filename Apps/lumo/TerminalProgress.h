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
class TerminalProgress {
public:
    // `interactive`: -1 to decide by whether `out` is a terminal, 0 for plain lines, 1 for the bar.
    TerminalProgress(std::string label, std::uint64_t total, FILE* out = stderr, int interactive = -1);
    ~TerminalProgress();
    TerminalProgress(const TerminalProgress&) = delete;
    TerminalProgress& operator=(const TerminalProgress&) = delete;

    void setTotal(std::uint64_t total) { m_total = total; }
    void update(std::uint64_t done, std::string_view item = {});
    // Draws the final state and ends the line; further updates are ignored.
    void finish();

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
