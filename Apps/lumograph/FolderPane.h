#pragma once

#include <QString>
#include <QStringList>
#include <QTreeWidget>

class CContactSheetView;

// The folder pane: the user's home, the Pictures folder, mounted volumes and cards, and the bookmarks
// kept in the preferences, each with its folder tree (listed when opened). Activating a folder asks
// for it as a contact sheet; photos dragged from a sheet onto a folder are handed to the frame to move
// there (copy with Ctrl).
class CFolderPane : public QTreeWidget {
    Q_OBJECT
public:
    explicit CFolderPane(QWidget* parent = nullptr);

    // Lists the volumes and the bookmarks again (a card arrived, the bookmarks changed).
    void refreshRoots();
    QStringList bookmarks() const;
    void addBookmark(const QString& folder);
    void removeBookmark(const QString& folder);

    void refreshVolumes();
    // The folders removable volumes and cards are mounted in for `user` (/media/USER, /run/media/USER,
    // /mnt), and the volumes mounted there now.
    static QStringList volumeFolders(const QString& user);
    static QStringList mountedVolumes(const QString& user);
    // The user's Pictures folder (the XDG pictures folder, else ~/Pictures).
    static QString picturesFolder();

Q_SIGNALS:
    void folderActivated(const QString& folder);
    void itemsDropped(const QString& folder, CContactSheetView* source, bool copy);

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    QTreeWidgetItem* addFolder(QTreeWidgetItem* parent, const QString& label, const QString& path);
    void fillChildren(QTreeWidgetItem* item);
    void fillBookmarks();
    void saveBookmarks(const QStringList& folders);
    QString folderAt(const QPoint& pos) const;

    QTreeWidgetItem* m_volumes = nullptr;
    QTreeWidgetItem* m_bookmarks = nullptr;
};
