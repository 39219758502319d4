#include "MainFrame.h"

#include "ContactSheetView.h"
#include "LumoDoc.h"

CMainFrame::CMainFrame(QWidget* parent) : QMainWindow(parent) {}

CMainFrame::~CMainFrame() = default;

CLumoDoc* CMainFrame::openFolders(const QStringList&) {
    return nullptr;
}

CContactSheetView* CMainFrame::activeView() const {
    return nullptr;
}

int CMainFrame::documentCount() const {
    return 0;
}

void CMainFrame::saveSession() {}

void CMainFrame::restoreSession() {}
