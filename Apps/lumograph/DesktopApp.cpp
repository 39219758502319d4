#include "DesktopApp.h"

#include "MainFrame.h"

#include <QApplication>

int lumographMain(int argc, char** argv) {
    QApplication application(argc, argv);
    CMainFrame frame;
    frame.show();
    return QApplication::exec();
}
