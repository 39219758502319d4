#include "ProgressDialog.h"

#include "background/ProgressInfo.h"

CProgressDialog::CProgressDialog(QWidget* parent, int) : QDialog(parent) {}

CProgressDialog::~CProgressDialog() = default;

std::uint32_t CProgressDialog::run(CProgressInfo& operation) {
    operation.SetProgressDialog(this);
    operation.Start();
    operation.Join();
    return GetStatus();
}

void installDesktopMessageBox() {}
