#include "TerminalProgressWindow.h"

#include "LumoCli.h"
#include "app/UIThread.h"
#include "background/ErrorReporter.h"
#include "background/ProgressDialogInterface.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

constexpr auto kTick = std::chrono::milliseconds(100);

std::atomic<int> g_interrupts{0};

void onInterrupt(int) {
    if (g_interrupts.fetch_add(1) >= 1) {
        static const char kMessage[] = "\nlumo: interrupted\n";
        [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
        ::_exit(kExitCancelled);
    }
}

// Ctrl-C cancels the operation while the window runs; the previous handling returns afterwards.
class InterruptScope {
public:
    InterruptScope() {
        g_interrupts = 0;
        struct sigaction action {};
        action.sa_handler = onInterrupt;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &m_previous);
    }
    ~InterruptScope() { sigaction(SIGINT, &m_previous, nullptr); }

private:
    struct sigaction m_previous {};
};

} // namespace

TerminalProgressWindow::TerminalProgressWindow(ProgressDialogInterface& progress, std::string label,
                                               FILE* out, int interactive)
    : m_progress(progress), m_display(std::move(label), 100, out, interactive) {}

void TerminalProgressWindow::run() {
    InterruptScope interrupts;
    while (!m_progress.IsFinished()) {
        tick();
        std::this_thread::sleep_for(kTick);
    }
    tick();
    m_display.finish();
}

void TerminalProgressWindow::tick() {
    if (g_interrupts > 0 && !m_progress.IsCancelled())
        m_progress.SetCancelled(true);
    m_display.update(m_progress.GetPercent(), m_progress.GetMessage());
    ErrorReporter::AnswerPendingQuestion(m_progress);
    runUIThreadTasks();
}
