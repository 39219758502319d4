#pragma once

#include <QMainWindow>
#include <QStringList>

class CLumoDoc;
class CContactSheetView;

// The main window: one tab per open contact sheet, the folder pane, the status bar (items, selected,
// sort progress), menus and the toolbar. The layout and the open folders are kept in the preferences
// and restored at the next start.
class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    explicit CMainFrame(QWidget* parent = nullptr);
    ~CMainFrame() override;

    // Opens the folders as one contact sheet in a new tab (a folder already open is brought forward).
    CLumoDoc* openFolders(const QStringList& folders);
    CContactSheetView* activeView() const;
    int documentCount() const;

    // The open folders and the window layout: written at close, read at start.
    void saveSession();
    void restoreSession();
};
