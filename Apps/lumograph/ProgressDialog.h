#pragma once

#include "background/ProgressDialogInterface.h"

#include <QDialog>
#include <QElapsedTimer>

#include <cstdint>

class CProgressInfo;
class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;

// The progress window of a background operation: message, percent and Cancel, shown once the
// operation has run longer than a short delay. A timer polls the shared state, answers the retry
// question the operation's thread puts (Retry / Skip / Cancel) and ends the dialog when the operation
// has finished.
class CProgressDialog : public QDialog, public ProgressDialogInterface {
    Q_OBJECT
public:
    explicit CProgressDialog(QWidget* parent = nullptr, int showDelayMs = 400);
    ~CProgressDialog() override;

    // Starts `operation` with this dialog as its progress window, runs the dialog until the operation
    // has finished, and answers its status (0, or kStatusCancelled, kStatusFailed, ...).
    std::uint32_t run(CProgressInfo& operation);

    // Whether the window has been shown during the last run (a quick operation never shows it).
    bool wasShown() const { return m_shown; }

    // Closing the window (Escape, the title bar) cancels the operation; the window stays until the
    // operation has ended.
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void onTick();
    void syncFromState();
    void setOpacity(double opacity);
    void cancelByUser();

    QLabel* m_message = nullptr;
    QProgressBar* m_bar = nullptr;
    QPushButton* m_cancel = nullptr;
    QTimer* m_timer = nullptr;
    QElapsedTimer m_clock;
    int m_showDelayMs;
    bool m_shown = false;
    bool m_inTick = false;
    bool m_running = false;
    QString m_lastTitle;
};

// Makes showMessageBox() and the retry question of ErrorReporter show Qt message boxes, parented to the
// active window.
void installDesktopMessageBox();
