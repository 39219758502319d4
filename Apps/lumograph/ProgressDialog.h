#pragma once

#include "background/ProgressDialogInterface.h"

#include <QDialog>

#include <cstdint>

class CProgressInfo;

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
};

// Makes showMessageBox() and the retry question of ErrorReporter show Qt message boxes.
void installDesktopMessageBox();
