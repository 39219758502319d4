#pragma once

#include "app/SingleInstance.h"
#include "contactsheet/DocumentItem.h"

#include <QEvent>
#include <QMainWindow>
#include <QPointer>
#include <QStringList>

#include <string>
#include <vector>

#include <functional>
#include <vector>

class CLumoDoc;
class CContactSheetView;
class CFolderPane;
class CPreviewWindow;
class QActionGroup;
class QLabel;
class QProgressBar;
class QSlider;
class QTabWidget;
class QTimer;
struct ContactSheetSortSettings;

// A folder handed over by a second start of the program, posted from the listener thread to the
// window's event loop.
class CHandOverEvent : public QEvent {
public:
    explicit CHandOverEvent(HandOverMessage message);
    static QEvent::Type eventType();
    const HandOverMessage& message() const { return m_message; }

private:
    HandOverMessage m_message;
};

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
    // The same for paths as the system gives them: a name that is not UTF-8 (an old card, a share)
    // stays byte for byte, where a QString would have replaced its bytes.
    CLumoDoc* openFolderPaths(const std::vector<std::string>& folders);
    CContactSheetView* activeView() const;
    int documentCount() const;
    CContactSheetView* viewAt(int index) const;
    CFolderPane* folderPane() const { return m_folderPane; }

    // The open folders and the window layout: written at close, read at start.
    void saveSession();
    void restoreSession();
    // The window's size, place, panes and toolbar alone (when the command line names the folders).
    void restoreLayout();
    // Whether closing writes the session (not for a headless screenshot run).
    void setKeepsSession(bool keeps) { m_keepsSession = keeps; }
    // The application's own frame: closing it also ends the sort threads before the sheets close, as
    // the application's shutdown expects. Frames of a test share the process's services and leave them.
    void setEndsApplication(bool ends) { m_endsApplication = ends; }

    // The window's part of the application's shutdown, as closing it runs it: the preview goes, the
    // session is written, the sort threads end (for the application's frame) and the sheets close.
    // Runs once.
    void shutDown();

    // Hand-overs received on the listener thread, posted to this window as CHandOverEvent: each opens
    // its folder and brings the window forward. The frame must outlive the listener.
    SingleInstance::Handler handOverHandler();

    // Closes the sheet of tab `index` (its view, then its document).
    void closeDocument(int index);
    // Rescans every open sheet that shows one of `folders`.
    void rescanSheetsShowing(const QStringList& folders);
    // Moves (or copies) the sheet's selected photos into `folder`, then rescans the sheets concerned.
    void transferSelection(CContactSheetView* source, const QString& folder, bool copy);
    CPreviewWindow* previewWindow() const;
    // The keys the sheet and the preview take, as the Help menu shows them.
    static QString keysHelpText();

protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    struct Sheet {
        CContactSheetView* view;
        CLumoDoc* document;
    };

    void createActions();
    void createFolderPane();
    void createStatusBar();
    void closeAllDocuments();
    const Sheet* sheetOf(const CContactSheetView* view) const;
    CLumoDoc* activeDocument() const;
    void activeSheetChanged();
    void updateStatus();
    void showSortProgress(int percent, const QString& text);
    void addSheet(CLumoDoc* document);
    void openPreview(const std::vector<DocumentItem::Ref>& items, int index);

    // Menu commands.
    void openFolderDialog();
    void rescanActive();
    void selectByNames();
    void deleteSelection();
    void changeSelection(int operation, int value);
    void previewSelection();
    void setSortType(unsigned type);
    void setSortReverse(bool reverse);
    void setJoinRawPlusJpeg(bool joined);
    void changeFilters(const std::function<void(ContactSheetSortSettings&)>& change);
    void setThumbnailSize(int pixels);
    void editCaptionTemplate();
    void syncSortMenu();

    QTabWidget* m_tabs = nullptr;
    CFolderPane* m_folderPane = nullptr;
    std::vector<Sheet> m_sheets;
    QPointer<CPreviewWindow> m_preview;
    QTimer* m_appTimer = nullptr;
    QLabel* m_itemsLabel = nullptr;
    QLabel* m_selectedLabel = nullptr;
    QLabel* m_sortLabel = nullptr;
    QProgressBar* m_sortProgress = nullptr;
    QSlider* m_sizeSlider = nullptr;
    QActionGroup* m_sortGroup = nullptr;
    QActionGroup* m_tagFilterGroup = nullptr;
    QAction* m_reverseAction = nullptr;
    QAction* m_joinAction = nullptr;
    QAction* m_selectedOnlyAction = nullptr;
    std::vector<QAction*> m_ratingFilters;
    std::vector<QAction*> m_colorFilters;
    int m_thumbnailSize = 160;
    QString m_captionTemplate;
    bool m_keepsSession = true;
    bool m_endsApplication = false;
    bool m_closed = false;
};
