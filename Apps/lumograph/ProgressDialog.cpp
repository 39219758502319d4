#include "ProgressDialog.h"

#include "ErrorDialog.h"

#include "app/MessageBox.h"
#include "app/UIThread.h"
#include "background/ErrorReporter.h"
#include "background/ProgressInfo.h"

#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <chrono>

namespace {

constexpr int kTickMs = 50;
// How long run() waits for the operation before it enters the dialog's loop at all: most changes of a
// few photos end within it, and then no window appears.
constexpr int kQuickPollMs = 150;

} // namespace

CProgressDialog::CProgressDialog(QWidget* parent, int showDelayMs)
    : QDialog(parent), m_showDelayMs(showDelayMs) {
    setModal(true);
    setWindowTitle(tr("Progress"));
    m_lastTitle = windowTitle();
    m_message = new QLabel(this);
    m_message->setMinimumWidth(360);
    m_message->setWordWrap(true);
    m_bar = new QProgressBar(this);
    m_bar->setRange(0, 100);
    m_bar->setValue(0);
    auto* buttons = new QDialogButtonBox(this);
    m_cancel = buttons->addButton(QDialogButtonBox::Cancel);
    connect(m_cancel, &QPushButton::clicked, this, [this] { cancelByUser(); });
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_message);
    layout->addWidget(m_bar);
    layout->addWidget(buttons);

    // One-shot, re-armed at the end of each tick: a tick that shows the retry question (a nested event
    // loop) is never entered again while the question is up.
    m_timer = new QTimer(this);
    m_timer->setSingleShot(true);
    m_timer->setInterval(kTickMs);
    connect(m_timer, &QTimer::timeout, this, [this] { onTick(); });
}

CProgressDialog::~CProgressDialog() = default;

void CProgressDialog::cancelByUser() {
    if (IsFinished())
        return;
    SetCancelled(true);
    m_cancel->setEnabled(false);
    m_message->setText(tr("Cancelling..."));
}

void CProgressDialog::reject() {
    if (m_running)
        cancelByUser();
    else
        QDialog::reject();
}

void CProgressDialog::closeEvent(QCloseEvent* event) {
    if (m_running) {
        event->ignore();
        cancelByUser();
        return;
    }
    QDialog::closeEvent(event);
}

void CProgressDialog::setOpacity(double opacity) {
    // Platforms without window opacity (offscreen) would only complain.
    const QString platform = QGuiApplication::platformName();
    if (platform != QLatin1String("offscreen") && platform != QLatin1String("minimal"))
        setWindowOpacity(opacity);
}

void CProgressDialog::syncFromState() {
    const int percent = static_cast<int>(GetPercent());
    if (m_bar->value() != percent)
        m_bar->setValue(percent);
    if (!IsCancelled()) {
        const QString message = QString::fromStdString(GetMessage());
        if (m_message->text() != message)
            m_message->setText(message);
    }
    const QString title = QString::fromStdString(GetTitle());
    if (!title.isEmpty() && title != m_lastTitle) {
        m_lastTitle = title;
        setWindowTitle(title);
    }
}

void CProgressDialog::onTick() {
    if (m_inTick)
        return;
    m_inTick = true;
    if (!m_shown && m_showDelayMs > 0 && m_clock.elapsed() >= m_showDelayMs) {
        m_shown = true;
        setOpacity(1.0);
    }
    syncFromState();
    ErrorReporter::AnswerPendingQuestion(*this);
    // Worker threads may wait for the user-interface thread while this dialog's loop runs.
    runUIThreadTasks();
    m_inTick = false;
    if (IsFinished()) {
        syncFromState();
        done(QDialog::Accepted);
        return;
    }
    m_timer->start();
}

std::uint32_t CProgressDialog::run(CProgressInfo& operation) {
    m_shown = false;
    m_running = true;
    m_clock.start();
    operation.SetProgressDialog(this);
    operation.Start();

    // A quick operation ends before any window would show: serve it here without entering a loop.
    const int quickMs = m_showDelayMs > 0 ? std::min(m_showDelayMs, kQuickPollMs) : kQuickPollMs;
    while (!IsFinished() && m_clock.elapsed() < quickMs) {
        ErrorReporter::AnswerPendingQuestion(*this);
        runUIThreadTasks();
        WaitForWindowWork(std::chrono::milliseconds(10));
    }
    if (!IsFinished()) {
        // Until the delay has passed the window is there (modal) but not seen.
        if (m_showDelayMs > 0)
            setOpacity(0.0);
        else
            m_shown = true;
        m_timer->start();
        exec();
        m_timer->stop();
        hide();
    }
    syncFromState();
    operation.Join();
    m_running = false;
    return GetStatus();
}

void installDesktopMessageBox() {
    setMessageBoxHandler([](std::string_view text, MessageBoxButtons buttons) {
        return showDesktopMessageBox(nullptr, text, buttons);
    });
}
