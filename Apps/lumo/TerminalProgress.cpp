#include "TerminalProgress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

namespace {

constexpr auto kBarInterval = std::chrono::milliseconds(100);
constexpr auto kPlainInterval = std::chrono::seconds(5);
constexpr int kBarWidth = 24;

// The bar on the terminal now; only the user-interface thread draws.
TerminalProgress* s_active = nullptr;

int terminalWidth(FILE* out) {
    winsize ws{};
    if (::ioctl(fileno(out), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 20)
        return ws.ws_col;
    return 80;
}

} // namespace

TerminalProgress::TerminalProgress(std::string label, std::uint64_t total, FILE* out, int interactive)
    : m_label(std::move(label)), m_total(total), m_out(out),
      m_interactive(out && (interactive < 0 ? ::isatty(fileno(out)) != 0 : interactive != 0)) {
    if (!m_out)
        m_finished = true;
    else if (m_interactive)
        s_active = this;
}

TerminalProgress::~TerminalProgress() {
    finish();
    if (s_active == this)
        s_active = nullptr;
}

void TerminalProgress::clearLine() {
    if (!m_interactive || m_finished || !m_drawn)
        return;
    std::fputs("\r\x1b[K", m_out);
    std::fflush(m_out);
    m_drawn = false; // drawn again at the next update, whatever the interval
}

void TerminalProgress::clearActiveLine() {
    if (s_active)
        s_active->clearLine();
}

int TerminalProgress::percent() const {
    if (m_total == 0)
        return 0;
    return static_cast<int>(std::min<std::uint64_t>(m_done, m_total) * 100 / m_total);
}

void TerminalProgress::update(std::uint64_t done, std::string_view item) {
    if (m_finished)
        return;
    m_done = done;
    const auto now = std::chrono::steady_clock::now();
    if (m_interactive) {
        if (m_drawn && now - m_lastDraw < kBarInterval)
            return;
        m_lastDraw = now;
        drawBar(item);
        return;
    }
    const int tenth = m_total ? percent() / 10 : m_lastTenth;
    if (tenth != m_lastTenth || now - m_lastDraw >= kPlainInterval) {
        m_lastTenth = tenth;
        m_lastDraw = now;
        writeLine();
    }
}

void TerminalProgress::finish() {
    if (m_finished)
        return;
    if (m_interactive) {
        drawBar({});
        std::fputc('\n', m_out);
    } else if (!m_drawn || m_lastWritten != m_done) {
        writeLine();
    }
    m_finished = true;
    std::fflush(m_out);
    if (s_active == this)
        s_active = nullptr;
}

void TerminalProgress::drawBar(std::string_view item) {
    std::string line = "\r" + m_label + " ";
    if (m_total) {
        const int filled = percent() * kBarWidth / 100;
        line += '[';
        line.append(static_cast<std::size_t>(filled), '#');
        line.append(static_cast<std::size_t>(kBarWidth - filled), '.');
        line += "] " + std::to_string(percent()) + "% ";
        line += std::to_string(m_done) + "/" + std::to_string(m_total);
    } else {
        line += std::to_string(m_done);
    }
    if (!item.empty()) {
        line += "  ";
        line.append(item);
    }
    const std::size_t width = static_cast<std::size_t>(terminalWidth(m_out) - 1);
    if (line.size() - 1 > width)
        line.resize(width + 1);
    // Clear what a longer earlier line left behind.
    line += "\x1b[K";
    std::fputs(line.c_str(), m_out);
    std::fflush(m_out);
    m_drawn = true;
}

void TerminalProgress::writeLine() {
    if (m_total)
        std::fprintf(m_out, "%s: %llu/%llu (%d%%)\n", m_label.c_str(),
                     static_cast<unsigned long long>(m_done), static_cast<unsigned long long>(m_total),
                     percent());
    else
        std::fprintf(m_out, "%s: %llu\n", m_label.c_str(), static_cast<unsigned long long>(m_done));
    m_lastWritten = m_done;
    std::fflush(m_out);
    m_drawn = true;
}
