#include "MainFrame.h"

#include "ContactSheetView.h"
#include "FolderPane.h"
#include "ItemOperations.h"
#include "LumoDoc.h"
#include "NRF/NRF.h"
#include "PreviewWindow.h"
#include "app/AppTimer.h"
#include "app/LumoLog.h"
#include "app/MessageBox.h"
#include "app/UIThread.h"
#include "contactsheet/ContactSheetSort.h"
#include "contactsheet/ContactSheetSortManager.h"
#include "db/PreferenceKeys.h"
#include "db/Preferences.h"

#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QDockWidget>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QProgressBar>
#include <QSlider>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

#include <algorithm>
#include <filesystem>

namespace {

// The application timer and the work other threads hand to this one run this often.
constexpr int kAppTimerMs = 30;

// The class's name as the preferences give it (the engine holds them), else its number.
QString colorClassName(int colorClass) {
    const std::string label = NRFGetColorClassLabel(colorClass);
    return label.empty() ? QCoreApplication::translate("CMainFrame", "Color Class %1").arg(colorClass)
                         : QStringLiteral("%1: %2").arg(colorClass).arg(QString::fromStdString(label));
}

QString cleanFolder(const QString& folder) {
    return QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
}

// An absolute path without "." and ".." steps or a trailing "/", kept as bytes.
std::string cleanFolderPath(const std::string& folder) {
    std::error_code ec;
    std::filesystem::path path = std::filesystem::absolute(folder, ec);
    if (ec)
        path = folder;
    std::string clean = path.lexically_normal().string();
    while (clean.size() > 1 && clean.back() == '/')
        clean.pop_back();
    return clean;
}

std::vector<std::string> documentFolderPaths(CLumoDoc& document) {
    std::vector<std::string> folders;
    for (const std::string& path : document.common().Paths())
        folders.push_back(cleanFolderPath(path));
    return folders;
}

QStringList documentFolders(CLumoDoc& document) {
    QStringList folders;
    for (const std::string& path : document.common().Paths())
        folders << cleanFolder(QString::fromStdString(path));
    return folders;
}

int thumbnailSizePreference() {
    std::int64_t size = kPrefContactSheetThumbnailSizeDefault;
    if (auto preferences = CPreferences::instance())
        size = preferences->getInt(kPrefContactSheetThumbnailSize, size);
    return static_cast<int>(
        std::clamp(size, kPrefContactSheetThumbnailSizeMinimum, kPrefContactSheetThumbnailSizeMaximum));
}

QString textPreference(const char* key) {
    auto preferences = CPreferences::instance();
    return preferences ? QString::fromStdString(preferences->getString(key, {})) : QString();
}

// A photo sheet of four frames under a lens: the window's icon.
QIcon lumographIcon() {
    QPixmap pixmap(64, 64);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x26, 0x32, 0x38));
    painter.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);
    const QColor frames[] = {QColor(0xff, 0xb3, 0x00), QColor(0x4f, 0xc3, 0xf7), QColor(0x81, 0xc7, 0x84),
                             QColor(0xef, 0x53, 0x50)};
    for (int i = 0; i < 4; ++i) {
        painter.setBrush(frames[i]);
        painter.drawRoundedRect(QRectF(11 + (i % 2) * 22, 11 + (i / 2) * 22, 18, 18), 3, 3);
    }
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor(0xf5, 0xf5, 0xf5), 4));
    painter.drawEllipse(QPointF(32, 32), 9, 9);
    return QIcon(pixmap);
}

} // namespace

// ---- the hand-over event

CHandOverEvent::CHandOverEvent(HandOverMessage message)
    : QEvent(eventType()), m_message(std::move(message)) {}

QEvent::Type CHandOverEvent::eventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

SingleInstance::Handler CMainFrame::handOverHandler() {
    // Runs on the listener thread: only the posting happens there.
    return [this](HandOverMessage message) {
        QCoreApplication::postEvent(this, new CHandOverEvent(std::move(message)));
    };
}

bool CMainFrame::event(QEvent* event) {
    if (event->type() != CHandOverEvent::eventType())
        return QMainWindow::event(event);
    const HandOverMessage& message = static_cast<CHandOverEvent*>(event)->message();
    std::error_code ec;
    if (std::filesystem::is_directory(message.path, ec))
        openFolderPaths({message.path});
    else
        LUMO_LOG("CMainFrame::event() hand-over of '%s' is no folder, nothing opened", message.path.c_str());
    if (!m_closed) {
        if (isMinimized())
            showNormal();
        raise();
        activateWindow();
    }
    return true;
}

// ---- the window

CMainFrame::CMainFrame(QWidget* parent) : QMainWindow(parent) {
    setObjectName(QStringLiteral("MainFrame"));
    setWindowTitle(QStringLiteral("Lumograph"));
    setWindowIcon(lumographIcon());
    m_thumbnailSize = thumbnailSizePreference();
    m_captionTemplate = textPreference(kPrefContactSheetCaptionTemplate);

    m_tabs = new QTabWidget(this);
    m_tabs->setTabsClosable(true);
    m_tabs->setMovable(true);
    m_tabs->setDocumentMode(true);
    setCentralWidget(m_tabs);
    connect(m_tabs, &QTabWidget::tabCloseRequested, this, &CMainFrame::closeDocument);
    connect(m_tabs, &QTabWidget::currentChanged, this, &CMainFrame::activeSheetChanged);

    createFolderPane();
    createActions();
    createStatusBar();
    resize(1200, 800);

    m_appTimer = new QTimer(this);
    connect(m_appTimer, &QTimer::timeout, this, [] {
        AppUtils::HandleTimerCallback();
        runUIThreadTasks();
    });
    m_appTimer->start(kAppTimerMs);
    activeSheetChanged();
}

CMainFrame::~CMainFrame() {
    delete m_preview;
    closeAllDocuments();
}

void CMainFrame::createFolderPane() {
    m_folderPane = new CFolderPane;
    auto* dock = new QDockWidget(tr("Folders"), this);
    dock->setObjectName(QStringLiteral("FolderPane"));
    dock->setWidget(m_folderPane);
    addDockWidget(Qt::LeftDockWidgetArea, dock);
    resizeDocks({dock}, {240}, Qt::Horizontal);
    connect(m_folderPane, &CFolderPane::folderActivated, this,
            [this](const QString& folder) { openFolders({folder}); });
    connect(m_folderPane, &CFolderPane::itemsDropped, this,
            [this](const QString& folder, CContactSheetView* source, bool copy) {
                // Once the drag has ended: the mouse is free again for the progress window and its questions.
                QTimer::singleShot(0, this,
                                   [this, folder, copy, sheet = QPointer<CContactSheetView>(source)] {
                                       if (sheet)
                                           transferSelection(sheet, folder, copy);
                                   });
            });
}

void CMainFrame::createStatusBar() {
    m_itemsLabel = new QLabel(this);
    m_selectedLabel = new QLabel(this);
    m_sortLabel = new QLabel(this);
    m_sortProgress = new QProgressBar(this);
    m_sortProgress->setRange(0, 100);
    m_sortProgress->setMaximumWidth(160);
    m_sortProgress->hide();
    m_sortLabel->hide();
    statusBar()->addWidget(m_itemsLabel);
    statusBar()->addWidget(m_selectedLabel);
    statusBar()->addPermanentWidget(m_sortLabel);
    statusBar()->addPermanentWidget(m_sortProgress);
}

void CMainFrame::createActions() {
    QToolBar* toolbar = addToolBar(tr("Toolbar"));
    toolbar->setObjectName(QStringLiteral("MainToolbar"));
    toolbar->setMovable(false);

    // The culling keys belong to the sheet and the preview: the menus show them ("\t") without taking them.
    QMenu* file = menuBar()->addMenu(tr("&File"));
    QAction* open = file->addAction(style()->standardIcon(QStyle::SP_DirOpenIcon), tr("&Open Folder..."),
                                    this, &CMainFrame::openFolderDialog);
    open->setShortcut(QKeySequence::Open);
    QAction* rescan = file->addAction(style()->standardIcon(QStyle::SP_BrowserReload), tr("&Rescan"), this,
                                      &CMainFrame::rescanActive);
    rescan->setShortcut(QKeySequence::Refresh);
    file->addAction(tr("&Bookmark This Folder"), this, [this] {
        if (CLumoDoc* document = activeDocument())
            m_folderPane->addBookmark(QString::fromStdString(document->common().PrimaryPath()));
    });
    file->addSeparator();
    file->addAction(tr("&Close"), QKeySequence::Close, this,
                    [this] { closeDocument(m_tabs->currentIndex()); });
    file->addAction(tr("&Quit"), QKeySequence::Quit, this, &QWidget::close);
    toolbar->addAction(open);
    toolbar->addAction(rescan);
    toolbar->addSeparator();

    QMenu* edit = menuBar()->addMenu(tr("&Edit"));
    edit->addAction(tr("Select &All\tCtrl+A"), this, [this] {
        if (CContactSheetView* view = activeView())
            view->selectAll();
    });
    edit->addAction(tr("Select &None\tCtrl+D"), this, [this] {
        if (CContactSheetView* view = activeView())
            view->clearSelection();
    });
    edit->addAction(tr("Select by &Names..."), this, &CMainFrame::selectByNames);
    edit->addSeparator();
    edit->addAction(tr("&Delete to Trash\tDel"), this, &CMainFrame::deleteSelection);

    QMenu* photo = menuBar()->addMenu(tr("&Photo"));
    QAction* tag =
        photo->addAction(tr("Toggle &Tag\tT"), this, [this] { changeSelection(BatchChange::ToggleTag, 0); });
    photo->addAction(tr("Set Tag"), this, [this] { changeSelection(BatchChange::SetTag, 0); });
    photo->addAction(tr("Clear Tag"), this, [this] { changeSelection(BatchChange::ClearTag, 0); });
    QMenu* rating = photo->addMenu(tr("&Rating"));
    for (int stars = 0; stars <= 5; ++stars)
        rating->addAction((stars == 0 ? tr("No Rating") : tr("%n Star(s)", nullptr, stars)) +
                              QStringLiteral("\t%1").arg(stars),
                          this, [this, stars] { changeSelection(BatchChange::SetRating, stars); });
    QMenu* color = photo->addMenu(tr("&Color Class"));
    color->addAction(tr("None\tAlt+0"), this, [this] { changeSelection(BatchChange::SetColorClass, 0); });
    for (int cls = 1; cls <= 8; ++cls) {
        QString keys = QStringLiteral("Alt+%1").arg(cls);
        if (cls <= 4)
            keys = QStringLiteral("%1, ").arg(cls + 5) + keys;
        color->addAction(colorClassName(cls) + QLatin1Char('\t') + keys, this,
                         [this, cls] { changeSelection(BatchChange::SetColorClass, cls); });
    }
    photo->addSeparator();
    QAction* rotateLeft = photo->addAction(tr("Rotate Counter-Clockwise\tCtrl+["), this, [this] {
        changeSelection(BatchChange::RotateCounterClockwise, 0);
    });
    QAction* rotateRight = photo->addAction(tr("Rotate Clockwise\tCtrl+]"), this,
                                            [this] { changeSelection(BatchChange::RotateClockwise, 0); });
    photo->addSeparator();
    QAction* preview = photo->addAction(tr("&Preview\tSpace"), this, &CMainFrame::previewSelection);
    tag->setIconText(tr("Tag"));
    preview->setIconText(tr("Preview"));
    rotateLeft->setIconText(tr("Rotate Left"));
    rotateRight->setIconText(tr("Rotate Right"));
    toolbar->addAction(tag);
    toolbar->addAction(rotateLeft);
    toolbar->addAction(rotateRight);
    toolbar->addAction(preview);
    toolbar->addSeparator();

    QMenu* sort = menuBar()->addMenu(tr("&Sort"));
    m_sortGroup = new QActionGroup(this);
    std::vector<ContactSheetCustomSort> customs = LoadCustomSorts();
    const unsigned typeCount = kSortCustomFirst + static_cast<unsigned>(customs.size());
    for (unsigned type = 0; type < typeCount; ++type) {
        const std::string name =
            type >= kSortCustomFirst ? customs[type - kSortCustomFirst].name : std::string();
        if (type == kSortCustomFirst)
            sort->addSeparator();
        QAction* action = sort->addAction(QString::fromStdString(ContactSheetSortTypeLabel(type, name)));
        action->setCheckable(true);
        action->setData(type);
        m_sortGroup->addAction(action);
        connect(action, &QAction::triggered, this, [this, type] { setSortType(type); });
    }
    sort->addSeparator();
    m_reverseAction = sort->addAction(tr("&Reverse Order"), this, &CMainFrame::setSortReverse);
    m_reverseAction->setCheckable(true);
    m_joinAction = sort->addAction(tr("&Join RAW + JPEG"), this, &CMainFrame::setJoinRawPlusJpeg);
    m_joinAction->setCheckable(true);
    auto* sortButton = new QToolButton(this);
    sortButton->setText(tr("Sort"));
    sortButton->setMenu(sort);
    sortButton->setPopupMode(QToolButton::InstantPopup);
    toolbar->addWidget(sortButton);

    QMenu* view = menuBar()->addMenu(tr("&View"));
    view->addAction(tr("&Larger Thumbnails"), QKeySequence::ZoomIn, this,
                    [this] { setThumbnailSize(m_thumbnailSize + 32); });
    view->addAction(tr("&Smaller Thumbnails"), QKeySequence::ZoomOut, this,
                    [this] { setThumbnailSize(m_thumbnailSize - 32); });
    view->addAction(tr("&Caption Line..."), this, &CMainFrame::editCaptionTemplate);
    QMenu* filters = view->addMenu(tr("&Filters"));
    m_tagFilterGroup = new QActionGroup(this);
    const std::pair<QString, ContactSheetTagFilter> tagFilters[] = {
        {tr("All Photos"), ContactSheetTagFilter::All},
        {tr("Tagged Only"), ContactSheetTagFilter::Tagged},
        {tr("Untagged Only"), ContactSheetTagFilter::Untagged}};
    for (const auto& [label, tagFilter] : tagFilters) {
        const ContactSheetTagFilter filter = tagFilter;
        QAction* action = filters->addAction(label);
        action->setCheckable(true);
        action->setData(static_cast<int>(filter));
        m_tagFilterGroup->addAction(action);
        connect(action, &QAction::triggered, this, [this, filter] {
            changeFilters([filter](ContactSheetSortSettings& s) { s.tagFilter = filter; });
        });
    }
    filters->addSeparator();
    for (int stars = 0; stars <= 5; ++stars) {
        QAction* action = filters->addAction(stars == 0 ? tr("Unrated") : tr("%n Star(s)", nullptr, stars));
        action->setCheckable(true);
        connect(action, &QAction::triggered, this, [this, stars](bool on) {
            changeFilters([stars, on](ContactSheetSortSettings& s) { s.ratingActive[stars] = on; });
        });
        m_ratingFilters.push_back(action);
    }
    filters->addSeparator();
    for (int cls = 0; cls <= 8; ++cls) {
        QAction* action = filters->addAction(cls == 0 ? tr("No Color Class") : colorClassName(cls));
        action->setCheckable(true);
        connect(action, &QAction::triggered, this, [this, cls](bool on) {
            changeFilters([cls, on](ContactSheetSortSettings& s) { s.colorClassActive[cls] = on; });
        });
        m_colorFilters.push_back(action);
    }
    filters->addSeparator();
    m_selectedOnlyAction = filters->addAction(tr("Selected Only"));
    m_selectedOnlyAction->setCheckable(true);
    connect(m_selectedOnlyAction, &QAction::triggered, this,
            [this](bool on) { changeFilters([on](ContactSheetSortSettings& s) { s.selectedOnly = on; }); });
    auto* filterButton = new QToolButton(this);
    filterButton->setText(tr("Filter"));
    filterButton->setMenu(filters);
    filterButton->setPopupMode(QToolButton::InstantPopup);
    toolbar->addWidget(filterButton);
    toolbar->addSeparator();

    m_sizeSlider = new QSlider(Qt::Horizontal, this);
    m_sizeSlider->setRange(static_cast<int>(kPrefContactSheetThumbnailSizeMinimum),
                           static_cast<int>(kPrefContactSheetThumbnailSizeMaximum));
    m_sizeSlider->setValue(m_thumbnailSize);
    m_sizeSlider->setMaximumWidth(160);
    m_sizeSlider->setToolTip(tr("Thumbnail size"));
    connect(m_sizeSlider, &QSlider::valueChanged, this, &CMainFrame::setThumbnailSize);
    toolbar->addWidget(m_sizeSlider);

    QMenu* help = menuBar()->addMenu(tr("&Help"));
    help->addAction(tr("&Keys"), QKeySequence::HelpContents, this,
                    [this] { QMessageBox::information(this, tr("Keys"), keysHelpText()); });
}

QString CMainFrame::keysHelpText() {
    return tr("Contact sheet\n"
              "  Arrows, Page Up/Down, Home, End\tmove (Shift extends the selection)\n"
              "  Ctrl+A / Ctrl+D\tselect all / none\n"
              "  Space or Enter\tone-up preview\n"
              "  Delete\tmove to the Trash (after a question)\n"
              "  Drag to a folder of the pane\tmove there (Ctrl: copy)\n"
              "\n"
              "Sheet and preview (the keypad's digits too)\n"
              "  T\ttoggle the tag\n"
              "  0 1 2 3 4 5\trating: none, 1 to 5 stars\n"
              "  6 7 8 9\tcolor class 1, 2, 3, 4\n"
              "  Alt+1 .. Alt+8\tcolor class 1 to 8\n"
              "  Alt+0\tno color class\n"
              "  Ctrl+] / Ctrl+[\trotate clockwise / counter-clockwise\n"
              "\n"
              "Preview\n"
              "  Left/Right, Page Up/Down\tprevious / next photo\n"
              "  Home / End\tfirst / last photo\n"
              "  Z\t100% (Shift+arrows pan)\n"
              "  I\tinformation\n"
              "  C\tcrop: drag the handles, A next aspect ratio, Enter saves, Delete removes the crop, "
              "Escape cancels\n"
              "  Escape\tclose");
}

// ---- sheets

CLumoDoc* CMainFrame::openFolders(const QStringList& folders) {
    std::vector<std::string> paths;
    for (const QString& folder : folders)
        paths.push_back(folder.toStdString());
    return openFolderPaths(paths);
}

CLumoDoc* CMainFrame::openFolderPaths(const std::vector<std::string>& folders) {
    std::vector<std::string> wanted;
    for (const std::string& folder : folders)
        if (!folder.empty())
            wanted.push_back(cleanFolderPath(folder));
    if (wanted.empty() || m_closed)
        return nullptr;
    for (const Sheet& sheet : m_sheets)
        if (documentFolderPaths(*sheet.document) == wanted) {
            m_tabs->setCurrentWidget(sheet.view);
            return sheet.document;
        }
    auto* document = new CLumoDoc(this);
    if (!document->openFolders(wanted)) {
        delete document;
        QStringList names;
        for (const std::string& folder : wanted)
            names << QString::fromStdString(folder);
        statusBar()->showMessage(tr("%1 could not be read.").arg(names.join(QStringLiteral(", "))), 10000);
        return nullptr;
    }
    addSheet(document);
    return document;
}

void CMainFrame::addSheet(CLumoDoc* document) {
    auto* view = new CContactSheetView(document);
    view->setThumbnailSize(m_thumbnailSize);
    view->setCaptionTemplate(m_captionTemplate);
    m_sheets.push_back({view, document});
    const auto ifActive = [this, view](auto&& call) {
        return [this, view, call](auto&&... args) {
            if (activeView() == view)
                call(args...);
        };
    };
    connect(view, &CContactSheetView::selectionCountChanged, this,
            ifActive([this](int, int) { updateStatus(); }));
    connect(view, &CContactSheetView::sortProgress, this,
            ifActive([this](int percent, const QString& text) { showSortProgress(percent, text); }));
    connect(document, &CLumoDoc::sorted, this, ifActive([this] { updateStatus(); }));
    connect(view, &CContactSheetView::previewRequested, this, &CMainFrame::openPreview);
    connect(view, &CContactSheetView::folderContentsChanged, this,
            [this](const QString& folder) { rescanSheetsShowing({folder}); });
    const int index = m_tabs->addTab(view, document->title());
    m_tabs->setTabToolTip(index, documentFolders(*document).join(QLatin1Char('\n')));
    m_tabs->setCurrentIndex(index);
    view->setFocus();
}

void CMainFrame::closeDocument(int index) {
    CContactSheetView* view = viewAt(index);
    const auto found =
        std::find_if(m_sheets.begin(), m_sheets.end(), [view](const Sheet& s) { return s.view == view; });
    if (!view || found == m_sheets.end())
        return;
    CLumoDoc* document = found->document;
    m_sheets.erase(found);
    m_tabs->removeTab(index);
    delete view;
    delete document;
    updateStatus();
}

void CMainFrame::closeAllDocuments() {
    while (!m_sheets.empty()) {
        const int index = m_tabs->indexOf(m_sheets.back().view);
        if (index < 0) { // not in the tabs: only ours to delete
            delete m_sheets.back().view;
            delete m_sheets.back().document;
            m_sheets.pop_back();
        } else {
            closeDocument(index);
        }
    }
}

CContactSheetView* CMainFrame::viewAt(int index) const {
    return qobject_cast<CContactSheetView*>(m_tabs->widget(index));
}

CContactSheetView* CMainFrame::activeView() const {
    return qobject_cast<CContactSheetView*>(m_tabs->currentWidget());
}

const CMainFrame::Sheet* CMainFrame::sheetOf(const CContactSheetView* view) const {
    for (const Sheet& sheet : m_sheets)
        if (sheet.view == view)
            return &sheet;
    return nullptr;
}

CLumoDoc* CMainFrame::activeDocument() const {
    const Sheet* sheet = sheetOf(activeView());
    return sheet ? sheet->document : nullptr;
}

int CMainFrame::documentCount() const {
    return static_cast<int>(m_sheets.size());
}

void CMainFrame::activeSheetChanged() {
    CLumoDoc* document = activeDocument();
    setWindowTitle(document ? document->title() + QStringLiteral(" - Lumograph")
                            : QStringLiteral("Lumograph"));
    showSortProgress(document && document->isSorting() ? 0 : 100, {});
    syncSortMenu();
    updateStatus();
}

void CMainFrame::updateStatus() {
    CLumoDoc* document = activeDocument();
    CContactSheetView* view = activeView();
    if (!document || !view) {
        m_itemsLabel->setText(tr("No contact sheet open"));
        m_selectedLabel->clear();
        return;
    }
    const auto shown = static_cast<qulonglong>(document->displayedItems().size());
    const auto total = static_cast<qulonglong>(document->common().ItemCount());
    m_itemsLabel->setText(shown == total ? tr("%1 items").arg(shown)
                                         : tr("%1 of %2 items").arg(shown).arg(total));
    m_selectedLabel->setText(tr("%1 selected").arg(static_cast<qulonglong>(view->selectedItems().size())));
}

void CMainFrame::showSortProgress(int percent, const QString& text) {
    const bool running = percent < 100;
    m_sortProgress->setVisible(running);
    m_sortLabel->setVisible(running && !text.isEmpty());
    m_sortProgress->setValue(std::clamp(percent, 0, 100));
    m_sortLabel->setText(text);
}

void CMainFrame::rescanSheetsShowing(const QStringList& folders) {
    QStringList wanted;
    for (const QString& folder : folders)
        wanted << cleanFolder(folder);
    for (const Sheet& sheet : m_sheets) {
        const QStringList shown = documentFolders(*sheet.document);
        if (std::any_of(shown.begin(), shown.end(), [&](const QString& f) { return wanted.contains(f); }))
            sheet.document->rescan();
    }
}

void CMainFrame::transferSelection(CContactSheetView* source, const QString& folder, bool copy) {
    if (!sheetOf(source))
        return;
    const QString destination = cleanFolder(folder);
    std::vector<DocumentItem::Ref> items;
    QStringList touched{destination};
    for (const DocumentItem::Ref& item : source->selectedItems()) {
        const QString from = cleanFolder(QFileInfo(QString::fromStdString(item->FullPath())).absolutePath());
        if (!copy && from == destination)
            continue; // already there: moving it would only rename it
        items.push_back(item);
        touched << from;
    }
    if (items.empty())
        return;
    touched.removeDuplicates();
    transferItemsToFolder(this, items, folder.toStdString(), copy);
    LUMO_LOG("CContactSheetView::DragSelectedItems() completed operation, forcing rescan");
    rescanSheetsShowing(touched);
}

// ---- commands

void CMainFrame::openFolderDialog() {
    QString start = textPreference(kPrefLastContactSheetPath);
    if (start.isEmpty() || !QFileInfo(start).isDir())
        start = QDir::homePath();
    const QString folder = QFileDialog::getExistingDirectory(
        this, QStringLiteral("Please select a folder to open as a contact sheet."), start);
    if (!folder.isEmpty())
        openFolders({folder});
}

void CMainFrame::rescanActive() {
    if (CLumoDoc* document = activeDocument())
        document->rescan();
}

void CMainFrame::selectByNames() {
    CContactSheetView* view = activeView();
    if (!view)
        return;
    bool ok = false;
    const QString text = QInputDialog::getMultiLineText(this, tr("Select by Names"),
                                                        tr("The names to select, one a line:"), {}, &ok);
    if (!ok)
        return;
    QStringList names;
    for (const QString& line : text.split(QLatin1Char('\n')))
        if (!line.trimmed().isEmpty())
            names << line.trimmed();
    const QString message = view->selectFromNames(names);
    if (!message.isEmpty())
        showMessageBox(message.toStdString());
}

void CMainFrame::deleteSelection() {
    CContactSheetView* view = activeView();
    CLumoDoc* document = activeDocument();
    if (!view || !document)
        return;
    const std::vector<DocumentItem::Ref> items = view->selectedItems();
    if (!items.empty())
        deleteItemsToTrash(this, *document, items);
}

void CMainFrame::changeSelection(int operation, int value) {
    CContactSheetView* view = activeView();
    if (!view)
        return;
    std::vector<DocumentItem::Ref> items = view->selectedItems();
    if (items.empty())
        if (DocumentItem::Ref current = view->currentItem())
            items.push_back(current);
    if (items.empty())
        return;
    BatchChange change;
    change.operation = static_cast<BatchChange::Operation>(operation);
    change.value = value;
    runItemChange(this, items, change);
}

void CMainFrame::previewSelection() {
    CContactSheetView* view = activeView();
    CLumoDoc* document = activeDocument();
    if (!view || !document)
        return;
    const std::vector<DocumentItem::Ref> selected = view->selectedItems();
    if (selected.size() > 1) {
        openPreview(selected, 0);
        return;
    }
    const std::vector<DocumentItem::Ref>& shown = document->displayedItems();
    if (shown.empty())
        return;
    const DocumentItem::Ref current = selected.empty() ? view->currentItem() : selected.front();
    openPreview(shown, std::max(0, document->rowOf(current.get())));
}

void CMainFrame::openPreview(const std::vector<DocumentItem::Ref>& items, int index) {
    if (items.empty() || m_closed)
        return;
    delete m_preview; // one preview at a time
    m_preview = new CPreviewWindow(items, index, this);
    m_preview->setWindowFlag(Qt::Window);
    m_preview->setAttribute(Qt::WA_DeleteOnClose);
    m_preview->resize(size() * 0.9);
    m_preview->show();
    m_preview->raise();
    m_preview->activateWindow();
}

void CMainFrame::setSortType(unsigned type) {
    if (auto preferences = CPreferences::instance())
        preferences->setInt(kPrefContactSheetSortExtended, type);
    changeFilters([type](ContactSheetSortSettings& s) {
        s.sortType = type;
        s.custom = CustomSortForType(type).value_or(ContactSheetCustomSort{});
    });
}

void CMainFrame::setSortReverse(bool reverse) {
    if (auto preferences = CPreferences::instance())
        preferences->setBool(kPrefContactSheetSortReverse, reverse);
    changeFilters([reverse](ContactSheetSortSettings& s) { s.reverse = reverse; });
}

void CMainFrame::setJoinRawPlusJpeg(bool joined) {
    if (auto preferences = CPreferences::instance())
        preferences->setBool(kPrefJoinRAWPlusJPEG, joined);
    if (CLumoDoc* document = activeDocument()) {
        document->common().SetJoinRawPlusJpeg(joined);
        document->sort();
    }
}

void CMainFrame::changeFilters(const std::function<void(ContactSheetSortSettings&)>& change) {
    CLumoDoc* document = activeDocument();
    if (!document)
        return;
    ContactSheetSortSettings settings = document->common().SortSettings();
    change(settings);
    document->setSortSettings(settings);
    document->sort();
    syncSortMenu();
}

void CMainFrame::syncSortMenu() {
    CLumoDoc* document = activeDocument();
    const ContactSheetSortSettings settings =
        document ? document->common().SortSettings() : ContactSheetSortSettingsFromPreferences();
    for (QAction* action : m_sortGroup->actions())
        action->setChecked(action->data().toUInt() == settings.sortType);
    for (QAction* action : m_tagFilterGroup->actions())
        action->setChecked(action->data().toInt() == static_cast<int>(settings.tagFilter));
    m_reverseAction->setChecked(settings.reverse);
    for (std::size_t i = 0; i < m_ratingFilters.size(); ++i)
        m_ratingFilters[i]->setChecked(settings.ratingActive[i]);
    for (std::size_t i = 0; i < m_colorFilters.size(); ++i)
        m_colorFilters[i]->setChecked(settings.colorClassActive[i]);
    m_selectedOnlyAction->setChecked(settings.selectedOnly);
    m_joinAction->setChecked(document ? document->common().JoinRawPlusJpeg() : true);
    for (QAction* action : {m_reverseAction, m_joinAction, m_selectedOnlyAction})
        action->setEnabled(document != nullptr);
}

void CMainFrame::setThumbnailSize(int pixels) {
    pixels = std::clamp(pixels, static_cast<int>(kPrefContactSheetThumbnailSizeMinimum),
                        static_cast<int>(kPrefContactSheetThumbnailSizeMaximum));
    if (pixels == m_thumbnailSize && m_sizeSlider->value() == pixels)
        return;
    m_thumbnailSize = pixels;
    m_sizeSlider->setValue(pixels);
    for (const Sheet& sheet : m_sheets)
        sheet.view->setThumbnailSize(pixels);
    if (auto preferences = CPreferences::instance())
        preferences->setInt(kPrefContactSheetThumbnailSize, pixels);
}

void CMainFrame::editCaptionTemplate() {
    bool ok = false;
    const QString text = QInputDialog::getText(
        this, tr("Caption Line"), tr("The line under each thumbnail ({variables}; empty for the file name):"),
        QLineEdit::Normal, m_captionTemplate, &ok);
    if (!ok)
        return;
    m_captionTemplate = text;
    for (const Sheet& sheet : m_sheets)
        sheet.view->setCaptionTemplate(text);
    if (auto preferences = CPreferences::instance())
        preferences->setString(kPrefContactSheetCaptionTemplate, text.toStdString());
}

// ---- session

void CMainFrame::saveSession() {
    auto preferences = CPreferences::instance();
    if (!preferences)
        return;
    preferences->setString(kPrefMDIStateWindowPlacement, saveGeometry().toBase64().toStdString());
    preferences->setString(kPrefSessionStatePanes, saveState().toBase64().toStdString());
    CILA::VObject documents = CILA::VObject::makeVector();
    for (int i = 0; i < m_tabs->count(); ++i)
        if (const Sheet* sheet = sheetOf(viewAt(i)))
            documents.append(sheet->document->savedState());
    preferences->setValue(kPrefMDIStateDocuments, documents);
    preferences->setInt(kPrefMDIStateActiveDocument, std::max(0, m_tabs->currentIndex()));
    preferences->save();
}

void CMainFrame::restoreLayout() {
    auto preferences = CPreferences::instance();
    if (!preferences)
        return;
    const auto bytes = [&](const char* key) {
        return QByteArray::fromBase64(QByteArray::fromStdString(preferences->getString(key, {})));
    };
    const QByteArray geometry = bytes(kPrefMDIStateWindowPlacement);
    if (!geometry.isEmpty())
        restoreGeometry(geometry);
    const QByteArray state = bytes(kPrefSessionStatePanes);
    if (!state.isEmpty())
        restoreState(state);
}

void CMainFrame::restoreSession() {
    restoreLayout();
    auto preferences = CPreferences::instance();
    CILA::VObject documents;
    if (!preferences || !preferences->getValue(kPrefMDIStateDocuments, documents))
        return;
    const auto active = preferences->getInt(kPrefMDIStateActiveDocument, 0);
    for (std::size_t i = 0; i < documents.size(); ++i) {
        auto* document = new CLumoDoc(this);
        if (document->restoreState(documents.at(i)))
            addSheet(document);
        else
            delete document; // none of its folders is left
    }
    if (active >= 0 && active < m_tabs->count())
        m_tabs->setCurrentIndex(static_cast<int>(active));
}

// ---- closing

void CMainFrame::closeEvent(QCloseEvent* event) {
    shutDown();
    event->accept();
}

void CMainFrame::shutDown() {
    if (m_closed)
        return;
    m_closed = true;
    m_appTimer->stop();
    delete m_preview;
    if (m_keepsSession)
        saveSession();
    hide();
    if (m_endsApplication) {
        // The sort threads end first, so that closing the sheets waits for none of their jobs.
        LUMO_LOG("Terminating ContactSheetSortManager");
        ContactSheetSortManager::terminate();
    }
    closeAllDocuments();
}

CPreviewWindow* CMainFrame::previewWindow() const {
    return m_preview;
}
