#include "TerminalProgressWindow.h"

#include "Interrupts.h"
#include "app/UIThread.h"
#include "background/ErrorReporter.h"
#include "background/ProgressDialogInterface.h"

#include <chrono>

namespace {

constexpr auto kTick = std::chrono::milliseconds(100);

} // namespace

TerminalProgressWindow::TerminalProgressWindow(ProgressDialogInterface& progress, std::string label,
                                               FILE* out, int interactive)
    : m_progress(progress), m_display(std::move(label), 100, out, interactive) {}

TerminalProgressWindow::TerminalProgressWindow(ProgressDialogInterface& progress, std::string label,
                                               std::uint64_t items, std::function<std::uint64_t()> itemsDone,
                                               FILE* out, int interactive)
    : m_progress(progress), m_display(std::move(label), items, out, interactive),
      m_itemsDone(std::move(itemsDone)) {}

void TerminalProgressWindow::run() {
    InterruptScope interrupts;
    while (!m_progress.IsFinished()) {
        tick();
        m_progress.WaitForWindowWork(kTick);
    }
    tick();
    m_display.finish();
}

void TerminalProgressWindow::tick() {
    if (interrupted() && !m_progress.IsCancelled())
        m_progress.SetCancelled(true);
    m_display.update(m_itemsDone ? m_itemsDone() : m_progress.GetPercent(), m_progress.GetMessage());
    ErrorReporter::AnswerPendingQuestion(m_progress);
    runUIThreadTasks();
}
