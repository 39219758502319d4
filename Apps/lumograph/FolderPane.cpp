#include "FolderPane.h"

#include "ContactSheetView.h"
#include "app/LumoLog.h"
#include "db/PreferenceKeys.h"
#include "db/Preferences.h"

#include <QContextMenuEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QMenu>
#include <QStandardPaths>
#include <QStyle>

namespace {

constexpr int kPathRole = Qt::UserRole;
constexpr int kFilledRole = Qt::UserRole + 1;

QString userName() {
    QString user = qEnvironmentVariable("USER");
    if (user.isEmpty())
        user = QFileInfo(QDir::homePath()).fileName();
    return user;
}

QStringList subfolders(const QString& folder) {
    QStringList paths;
    const QDir dir(folder);
    for (const QString& name :
         dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase))
        paths << dir.filePath(name);
    return paths;
}

// The drag of photos from one of our sheets; other drags are not taken.
CContactSheetView* sheetOf(const QDropEvent* event) {
    return qobject_cast<CContactSheetView*>(event->source());
}

} // namespace

CFolderPane::CFolderPane(QWidget* parent) : QTreeWidget(parent) {
    setHeaderHidden(true);
    setColumnCount(1);
    setAcceptDrops(true);
    setDropIndicatorShown(true);
    setDragDropMode(QAbstractItemView::DropOnly);
    connect(this, &QTreeWidget::itemExpanded, this, &CFolderPane::fillChildren);
    connect(this, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem* item) {
        const QString path = item->data(0, kPathRole).toString();
        if (!path.isEmpty())
            Q_EMIT folderActivated(path);
    });

    const QIcon homeIcon = style()->standardIcon(QStyle::SP_DirHomeIcon);
    addFolder(nullptr, tr("Home"), QDir::homePath())->setIcon(0, homeIcon);
    const QString pictures = picturesFolder();
    if (QFileInfo(pictures).isDir())
        addFolder(nullptr, tr("Pictures"), pictures);
    m_volumes = new QTreeWidgetItem(this, QStringList{tr("Volumes and Cards")});
    m_volumes->setIcon(0, style()->standardIcon(QStyle::SP_DriveHDIcon));
    m_bookmarks = new QTreeWidgetItem(this, QStringList{tr("Bookmarks")});
    m_bookmarks->setIcon(0, style()->standardIcon(QStyle::SP_DirLinkIcon));
    refreshRoots();

    // A card put in or taken out shows up in the folders volumes are mounted in.
    auto* watcher = new QFileSystemWatcher(this);
    for (const QString& folder : volumeFolders(userName()))
        if (QFileInfo(folder).isDir())
            watcher->addPath(folder);
    connect(watcher, &QFileSystemWatcher::directoryChanged, this, &CFolderPane::refreshVolumes);
}

QString CFolderPane::picturesFolder() {
    const QString xdg = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    return xdg.isEmpty() ? QDir::home().filePath(QStringLiteral("Pictures")) : xdg;
}

QStringList CFolderPane::volumeFolders(const QString& user) {
    return {QStringLiteral("/media/") + user, QStringLiteral("/run/media/") + user, QStringLiteral("/mnt")};
}

QStringList CFolderPane::mountedVolumes(const QString& user) {
    QStringList volumes;
    for (const QString& base : volumeFolders(user))
        volumes << subfolders(base);
    return volumes;
}

void CFolderPane::refreshRoots() {
    refreshVolumes();
    fillBookmarks();
}

void CFolderPane::refreshVolumes() {
    qDeleteAll(m_volumes->takeChildren());
    for (const QString& volume : mountedVolumes(userName()))
        addFolder(m_volumes, QFileInfo(volume).fileName(), volume);
    m_volumes->setExpanded(true);
}

QTreeWidgetItem* CFolderPane::addFolder(QTreeWidgetItem* parent, const QString& label, const QString& path) {
    auto* item = parent ? new QTreeWidgetItem(parent, QStringList{label})
                        : new QTreeWidgetItem(this, QStringList{label});
    item->setData(0, kPathRole, path);
    item->setToolTip(0, path);
    item->setIcon(0, style()->standardIcon(QStyle::SP_DirIcon));
    // Listed when opened: a pane over large trees and slow volumes reads only what the user looks at.
    item->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
    return item;
}

void CFolderPane::fillChildren(QTreeWidgetItem* item) {
    const QString path = item->data(0, kPathRole).toString();
    if (path.isEmpty() || item->data(0, kFilledRole).toBool())
        return;
    item->setData(0, kFilledRole, true);
    const QStringList children = subfolders(path);
    for (const QString& child : children)
        addFolder(item, QFileInfo(child).fileName(), child);
    if (children.isEmpty())
        item->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicator);
}

QStringList CFolderPane::bookmarks() const {
    QStringList folders;
    if (auto preferences = CPreferences::instance())
        for (const QString& line :
             QString::fromStdString(preferences->getString(kPrefFolderPaneBookmarks, {}))
                 .split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            folders << line;
    return folders;
}

void CFolderPane::saveBookmarks(const QStringList& folders) {
    if (auto preferences = CPreferences::instance()) {
        preferences->setString(kPrefFolderPaneBookmarks, folders.join(QLatin1Char('\n')).toStdString());
        preferences->save();
    }
    fillBookmarks();
}

void CFolderPane::addBookmark(const QString& folder) {
    QStringList folders = bookmarks();
    if (folder.isEmpty() || folder.contains(QLatin1Char('\n')) || folders.contains(folder))
        return;
    folders << folder;
    saveBookmarks(folders);
}

void CFolderPane::removeBookmark(const QString& folder) {
    QStringList folders = bookmarks();
    if (folders.removeAll(folder) > 0)
        saveBookmarks(folders);
}

void CFolderPane::fillBookmarks() {
    qDeleteAll(m_bookmarks->takeChildren());
    for (const QString& folder : bookmarks())
        addFolder(m_bookmarks, QFileInfo(folder).fileName(), folder);
    m_bookmarks->setExpanded(true);
}

QString CFolderPane::folderAt(const QPoint& pos) const {
    const QTreeWidgetItem* item = itemAt(pos);
    return item ? item->data(0, kPathRole).toString() : QString();
}

void CFolderPane::dragEnterEvent(QDragEnterEvent* event) {
    if (sheetOf(event))
        event->acceptProposedAction();
    else
        event->ignore();
}

void CFolderPane::dragMoveEvent(QDragMoveEvent* event) {
    if (sheetOf(event) && !folderAt(event->position().toPoint()).isEmpty()) {
        event->setDropAction(event->modifiers() & Qt::ControlModifier ? Qt::CopyAction : Qt::MoveAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void CFolderPane::dropEvent(QDropEvent* event) {
    CContactSheetView* source = sheetOf(event);
    const QString folder = folderAt(event->position().toPoint());
    if (!source || folder.isEmpty()) {
        event->ignore();
        return;
    }
    const bool copy = event->modifiers() & Qt::ControlModifier;
    event->setDropAction(copy ? Qt::CopyAction : Qt::MoveAction);
    event->accept();
    LUMO_CHANNEL_LOG(DebugFlag::DRAG_DROP_LOGGING, "CFolderPane::dropEvent() %s to '%s'",
                     copy ? "copy" : "move", folder.toUtf8().constData());
    Q_EMIT itemsDropped(folder, source, copy);
}

void CFolderPane::contextMenuEvent(QContextMenuEvent* event) {
    const QTreeWidgetItem* item = itemAt(event->pos());
    const QString folder = item ? item->data(0, kPathRole).toString() : QString();
    QMenu menu(this);
    if (!folder.isEmpty()) {
        menu.addAction(tr("Open as Contact Sheet"), this, [this, folder] { Q_EMIT folderActivated(folder); });
        if (item->parent() == m_bookmarks)
            menu.addAction(tr("Remove Bookmark"), this, [this, folder] { removeBookmark(folder); });
        else
            menu.addAction(tr("Add Bookmark"), this, [this, folder] { addBookmark(folder); });
    }
    menu.addAction(tr("Refresh Volumes"), this, &CFolderPane::refreshRoots);
    menu.exec(event->globalPos());
}
