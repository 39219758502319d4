#include "ContactSheetView.h"

#include "ContactSheetCellDelegate.h"
#include "ContactSheetModel.h"
#include "ItemOperations.h"
#include "LumoDoc.h"
#include "app/LumoLog.h"
#include "cache/LumoCache.h"
#include "db/PreferenceKeys.h"
#include "db/Preferences.h"
#include "support/TextUtils.h"

#include <QCoreApplication>
#include <QDrag>
#include <QItemSelection>
#include <QKeyEvent>
#include <QMimeData>
#include <QPointer>
#include <QScrollBar>

#include <algorithm>
#include <set>

namespace {

// How many screens of rows around the visible ones are pre-cached.
constexpr int kPrecacheScreens = 2;

// The cache's bitmap as an image (made on the worker thread that delivered it).
QImage imageFromBitmap(const NRFBitmapBase& bitmap) {
    if (bitmap.Empty() || (bitmap.Channels() != 1 && bitmap.Channels() != 3))
        return {};
    const int width = static_cast<int>(bitmap.Width()), height = static_cast<int>(bitmap.Height());
    QImage image(width, height, bitmap.Channels() == 1 ? QImage::Format_Grayscale8 : QImage::Format_RGB888);
    if (image.isNull())
        return {};
    for (int y = 0; y < height; ++y)
        std::memcpy(image.scanLine(y), bitmap.Row(static_cast<std::uint32_t>(y)), bitmap.Stride());
    // The form the screen draws without converting on every paint.
    return image.convertToFormat(QImage::Format_RGB32);
}

QColor defaultClassColor(int colorClass) {
    static const QColor colors[9] = {QColor(),
                                     QColor(0xd9, 0x30, 0x25),
                                     QColor(0xf0, 0x8a, 0x1c),
                                     QColor(0xf2, 0xd0, 0x1c),
                                     QColor(0x3c, 0xa8, 0x3c),
                                     QColor(0x2f, 0x6f, 0xd6),
                                     QColor(0x8e, 0x44, 0xc2),
                                     QColor(0x8a, 0x5a, 0x2b),
                                     QColor(0x80, 0x80, 0x80)};
    return colorClass >= 1 && colorClass <= 8 ? colors[colorClass] : QColor();
}

} // namespace

CContactSheetView::CContactSheetView(CLumoDoc* document, QWidget* parent)
    : QListView(parent), m_document(document), m_documentID(document ? document->documentID() : 0) {
    setViewMode(QListView::IconMode);
    setFlow(QListView::LeftToRight);
    setWrapping(true);
    setResizeMode(QListView::Adjust);
    setMovement(QListView::Static);
    setUniformItemSizes(true);
    setLayoutMode(QListView::SinglePass);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionRectVisible(true);
    setDragEnabled(true);
    setDragDropMode(QAbstractItemView::DragOnly);
    setDefaultDropAction(Qt::MoveAction);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSpacing(0);

    m_model = new ContactSheetModel(document, this);
    m_delegate = new ContactSheetCellDelegate(this);
    setItemDelegate(m_delegate);
    setModel(m_model);
    loadColorClasses();
    updateLayout();

    m_requestTimer.setSingleShot(true);
    m_requestTimer.setInterval(0);
    connect(&m_requestTimer, &QTimer::timeout, this, &CContactSheetView::requestPictures);
    // The colour classes' names and colours follow the preferences.
    m_preferencesTimer.setInterval(1000);
    connect(&m_preferencesTimer, &QTimer::timeout, this, [this] {
        if (CPreferences::changeCount() != m_preferencesChange) {
            loadColorClasses();
            viewport()->update();
        }
    });
    m_preferencesTimer.start();
    m_sortProgressTimer.setObjectName(QStringLiteral("Timer: sort progress"));
    m_sortProgressTimer.setInterval(100);
    connect(&m_sortProgressTimer, &QTimer::timeout, this, [this] {
        if (!m_document || !m_document->isSorting()) {
            m_sortProgressTimer.stop();
            return;
        }
        Q_EMIT sortProgress(m_document->sortPercent(), m_document->sortPhaseText());
    });

    if (document) {
        connect(document, &CLumoDoc::sorted, this, &CContactSheetView::documentSorted);
        connect(document, &CLumoDoc::itemChanged, this, &CContactSheetView::documentItemChanged);
        connect(document, &CLumoDoc::sortStarted, this, [this] {
            if (!m_sortProgressTimer.isActive())
                m_sortProgressTimer.start();
            Q_EMIT sortProgress(m_document->sortPercent(), m_document->sortPhaseText());
        });
        connect(document, &CLumoDoc::sortProgress, this, &CContactSheetView::sortProgress);
        if (document->isSorting())
            m_sortProgressTimer.start();
    }
    connect(this, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& index) {
        if (index.isValid() && m_document)
            Q_EMIT previewRequested(m_model->items(), index.row());
    });
    connect(selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        // The document keeps the selection too (sorting by "Selected" and the item operations read it).
        if (m_document) {
            std::vector<std::uint32_t> numbers;
            for (const QModelIndex& index : selectionModel()->selectedIndexes())
                if (const DocumentItem* item = m_model->itemAt(index.row());
                    item && item->DocumentNumber() >= 0)
                    numbers.push_back(static_cast<std::uint32_t>(item->DocumentNumber()));
            std::sort(numbers.begin(), numbers.end());
            m_document->common().WithSelection(
                [&](DocumentSelection& selection) { selection.setFromList(numbers); });
        }
        Q_EMIT selectionCountChanged(static_cast<int>(selectionModel()->selectedIndexes().size()),
                                     m_model->rowCount());
    });
    connect(verticalScrollBar(), &QScrollBar::rangeChanged, this, [this] { scheduleRequests(); });
    scheduleRequests();
}

CLumoDoc* CContactSheetView::document() const {
    return m_document.data();
}

CContactSheetView::~CContactSheetView() {
    // Orders still queued for this sheet need not run; their answers find the view gone.
    if (m_documentID != 0)
        if (LumoCache* cache = LumoCache::instance())
            cache->cancel_document(static_cast<int>(m_documentID));
}

void CContactSheetView::loadColorClasses() {
    m_preferencesChange = CPreferences::changeCount();
    const std::shared_ptr<CPreferences> preferences = CPreferences::instance();
    for (int i = 1; i <= 8; ++i) {
        QColor color = defaultClassColor(i);
        QString label;
        if (preferences) {
            const std::string key = lumo::formatString(kPrefColorClassColorFormat, i);
            const std::string text = preferences->getString(key, "");
            if (!text.empty() && QColor::isValidColorName(QString::fromStdString(text)))
                color = QColor::fromString(QString::fromStdString(text));
            else if (const std::int64_t value = preferences->getInt(key, -1); value >= 0 && value <= 0xffffff)
                color = QColor::fromRgb(static_cast<QRgb>(value));
            label = QString::fromStdString(
                preferences->getString(lumo::formatString(kPrefColorClassLabelFormat, i), ""));
        }
        if (label.isEmpty())
            label = QString::fromStdString(NRFGetColorClassLabel(i));
        m_classColors[static_cast<std::size_t>(i)] = color;
        m_classLabels[static_cast<std::size_t>(i)] = label;
    }
}

QColor CContactSheetView::colorClassColor(int colorClass) const {
    return colorClass >= 1 && colorClass <= 8 ? m_classColors[static_cast<std::size_t>(colorClass)]
                                              : QColor();
}

QString CContactSheetView::colorClassLabel(int colorClass) const {
    return colorClass >= 1 && colorClass <= 8 ? m_classLabels[static_cast<std::size_t>(colorClass)]
                                              : QString();
}

// ---- size and caption

void CContactSheetView::setThumbnailSize(int pixels) {
    pixels = std::clamp(pixels, 48, 1024);
    if (pixels == m_thumbnailSize)
        return;
    m_thumbnailSize = pixels;
    m_wasComplete = false;
    updateLayout();
    scheduleRequests();
}

int CContactSheetView::thumbnailSize() const {
    return m_thumbnailSize;
}

void CContactSheetView::updateLayout() {
    setGridSize(m_delegate->cellSize(m_thumbnailSize));
    doItemsLayout();
    viewport()->update();
}

void CContactSheetView::setCaptionTemplate(const QString& captionTemplate) {
    m_model->setCaptionTemplate(captionTemplate);
}

// ---- selection

std::vector<DocumentItem::Ref> CContactSheetView::selectedItems() const {
    std::vector<int> rows;
    for (const QModelIndex& index : selectionModel()->selectedIndexes())
        rows.push_back(index.row());
    std::sort(rows.begin(), rows.end());
    std::vector<DocumentItem::Ref> items;
    for (const int row : rows)
        if (DocumentItem::Ref item = m_model->refAt(row))
            items.push_back(std::move(item));
    return items;
}

DocumentItem::Ref CContactSheetView::currentItem() const {
    return m_model->refAt(currentIndex().row());
}

std::vector<DocumentItem::Ref> CContactSheetView::targetItems() const {
    std::vector<DocumentItem::Ref> items = selectedItems();
    if (items.empty())
        if (DocumentItem::Ref current = currentItem())
            items.push_back(std::move(current));
    return items;
}

void CContactSheetView::selectRows(const std::vector<int>& rows, int current) {
    QItemSelection selection;
    int start = -1, previous = -2;
    auto flush = [&] {
        if (start >= 0)
            selection.select(m_model->index(start), m_model->index(previous));
    };
    for (const int row : rows) {
        if (row != previous + 1) {
            flush();
            start = row;
        }
        previous = row;
    }
    flush();
    if (current >= 0)
        selectionModel()->setCurrentIndex(m_model->index(current), QItemSelectionModel::NoUpdate);
    selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
}

QString CContactSheetView::selectFromNames(const QStringList& names) {
    if (!m_document)
        return {};
    std::vector<std::string> list;
    list.reserve(static_cast<std::size_t>(names.size()));
    for (const QString& name : names)
        list.push_back(name.toStdString());
    const std::string message = m_document->common().SelectFromNames(list);
    const std::vector<DocumentItem::Ref> chosen = m_document->common().SelectedItems();
    std::set<const DocumentItem*> wanted;
    for (const DocumentItem::Ref& item : chosen)
        wanted.insert(item.get());
    std::vector<int> rows;
    const auto& shown = m_model->items();
    for (std::size_t row = 0; row < shown.size(); ++row)
        if (wanted.count(shown[row].get()))
            rows.push_back(static_cast<int>(row));
    selectRows(rows, rows.empty() ? -1 : rows.front());
    if (!rows.empty())
        scrollTo(m_model->index(rows.front()));
    return QString::fromStdString(message);
}

// ---- order

void CContactSheetView::FinishSort() {
    // The selection and the current item stay with their items in the new order.
    const std::vector<DocumentItem::Ref> selected = selectedItems();
    const DocumentItem::Ref current = currentItem();
    m_model->reload();
    std::vector<int> rows;
    for (const DocumentItem::Ref& item : selected)
        if (const int row = m_model->rowOf(item.get()); row >= 0)
            rows.push_back(row);
    std::sort(rows.begin(), rows.end());
    const int currentRow = current ? m_model->rowOf(current.get()) : -1;
    if (!rows.empty() || currentRow >= 0)
        selectRows(rows, currentRow);
    if (currentRow >= 0)
        scrollTo(m_model->index(currentRow));
    // Pictures of items that left the sheet go.
    std::set<const DocumentItem*> shown;
    for (const DocumentItem::Ref& item : m_model->items())
        shown.insert(item.get());
    for (auto it = m_pictures.begin(); it != m_pictures.end();)
        it = shown.count(it->first) ? std::next(it) : m_pictures.erase(it);
    for (auto it = m_pending.begin(); it != m_pending.end();)
        it = shown.count(it->first) ? std::next(it) : m_pending.erase(it);
    m_wasComplete = false;
    m_lastFirst = m_lastLast = -1;
    scheduleRequests();
    Q_EMIT selectionCountChanged(static_cast<int>(rows.size()), m_model->rowCount());
}

void CContactSheetView::documentSorted() {
    m_sortProgressTimer.stop();
    FinishSort();
}

void CContactSheetView::documentItemChanged(int row) {
    const DocumentItem::Ref item = m_model->refAt(row);
    if (!item)
        return;
    // A turned photo gives the cache a new picture: the ones kept for the item are forgotten.
    if (auto found = m_pictures.find(item.get()); found != m_pictures.end()) {
        const int rotation = item->Rotation();
        bool stale = false;
        for (const auto& [size, picture] : found->second)
            stale = stale || picture.rotation != rotation;
        if (stale) {
            m_pictures.erase(found);
            m_pending.erase(item.get());
            m_wasComplete = false;
        }
    }
    m_model->itemChanged(row);
    scheduleRequests();
}

// ---- pictures

const ContactSheetCellPicture* CContactSheetView::pictureFor(const DocumentItem* item, bool* exact) const {
    const auto found = m_pictures.find(item);
    if (exact)
        *exact = false;
    if (found == m_pictures.end() || found->second.empty())
        return nullptr;
    const auto& sizes = found->second;
    const auto wanted = static_cast<std::uint32_t>(m_thumbnailSize);
    if (const auto it = sizes.find(wanted); it != sizes.end()) {
        if (exact)
            *exact = true;
        return &it->second;
    }
    // The largest smaller one stands in; else the smallest larger one.
    auto above = sizes.upper_bound(wanted);
    if (above != sizes.begin())
        return &std::prev(above)->second;
    return &above->second;
}

void CContactSheetView::visibleRows(int& first, int& last) const {
    first = 0;
    last = -1;
    const int count = m_model->rowCount();
    if (count == 0)
        return;
    const QRect area = viewport()->rect();
    // The cells run left to right and then down: their tops never decrease with the row.
    auto below = [&](int row) { return visualRect(m_model->index(row)).bottom() < area.top(); };
    auto beyond = [&](int row) { return visualRect(m_model->index(row)).top() > area.bottom(); };
    int lo = 0, hi = count;
    while (lo < hi) {
        const int mid = (lo + hi) / 2;
        if (below(mid))
            lo = mid + 1;
        else
            hi = mid;
    }
    first = lo;
    lo = first;
    hi = count;
    while (lo < hi) {
        const int mid = (lo + hi) / 2;
        if (beyond(mid))
            hi = mid;
        else
            lo = mid + 1;
    }
    last = lo - 1;
}

bool CContactSheetView::visibleCellsComplete() const {
    int first = 0, last = -1;
    visibleRows(first, last);
    for (int row = first; row <= last; ++row) {
        bool exact = false;
        const DocumentItem* item = m_model->itemAt(row);
        if (item && (!pictureFor(item, &exact) || !exact))
            return false;
    }
    return true;
}

void CContactSheetView::scheduleRequests() {
    if (!m_requestTimer.isActive())
        m_requestTimer.start();
}

void CContactSheetView::requestPictures() {
    if (!m_document || !isVisible())
        return;

    int first = 0, last = -1;
    visibleRows(first, last);
    if (last < first) {
        checkVisibleFilled();
        return;
    }
    LumoCache* cache = LumoCache::instance();
    // Scrolled far since the last pass: what was queued for the old screen is no longer wanted.
    if (cache && m_lastFirst >= 0 && (last < m_lastFirst || first > m_lastLast)) {
        cache->cancel_document(static_cast<int>(m_document->documentID()));
        m_pending.clear();
    }
    m_lastFirst = first;
    m_lastLast = last;
    m_precacheRefused = false;
    const int count = m_model->rowCount();
    for (int row = first; row <= last; ++row)
        request(m_model->refAt(row), row, false);
    // Then the rows a screen or two around them, nearest first.
    const int screen = last - first + 1;
    for (int step = 1; step <= kPrecacheScreens * screen; ++step) {
        if (last + step < count)
            request(m_model->refAt(last + step), last + step, true);
        if (first - step >= 0)
            request(m_model->refAt(first - step), first - step, true);
    }
    forgetFarPictures(std::max(0, first - kPrecacheScreens * screen),
                      std::min(count - 1, last + kPrecacheScreens * screen));
    if (cache) {
        // What the screen shows, for the cache's budget.
        const std::size_t onScreen = static_cast<std::size_t>(screen) *
                                     static_cast<std::size_t>(m_thumbnailSize) *
                                     static_cast<std::size_t>(m_thumbnailSize) * 4;
        if (onScreen != m_onScreenBytes) {
            m_onScreenBytes = onScreen;
            cache->set_on_screen_bytes(onScreen);
        }
    }
    checkVisibleFilled();
}

void CContactSheetView::forgetFarPictures(int keepFirst, int keepLast) {
    // The pictures kept stay within the rows asked for; the cache still holds the others in memory, so
    // scrolling back asks for them again cheaply.
    const std::size_t span = static_cast<std::size_t>(std::max(0, keepLast - keepFirst + 1));
    if (m_pictures.size() <= 2 * span + 64)
        return;
    for (auto it = m_pictures.begin(); it != m_pictures.end();) {
        const int row = m_model->rowOf(it->first);
        it = row >= keepFirst && row <= keepLast ? std::next(it) : m_pictures.erase(it);
    }
}

void CContactSheetView::request(const DocumentItem::Ref& item, int row, bool precache) {
    if (!item)
        return;
    const auto size = static_cast<std::uint32_t>(m_thumbnailSize);
    if (const auto found = m_pictures.find(item.get());
        found != m_pictures.end() && found->second.count(size))
        return;
    auto& pending = m_pending[item.get()];
    if (pending.count(size))
        return;
    LumoCache* cache = LumoCache::instance();
    if (!cache)
        return;
    LumoCache::Request request;
    request.path = item->FullPath();
    request.size = size;
    request.hints = precache ? LumoCache::kHintPrecache : 0;
    request.doc = static_cast<int>(m_document->documentID());
    request.cell = row;
    const std::uint64_t ticket = m_nextTicket++;
    const int rotation = item->Rotation();
    const bool loaded = item->IsLoaded();
    const QPointer<CContactSheetView> self(this);
    pending[size] = Pending{ticket};
    const std::uint64_t order = cache->submit_work_order(
        request, [self, item, size, ticket, rotation, loaded](const LumoCachePicture& answer) {
            // On a worker thread: the picture becomes an image here, and the item's record is read here
            // when nothing has read it yet (its marks and caption need it), never on the window's thread.
            ContactSheetCellPicture picture;
            picture.rotation = rotation;
            if (!answer.cancelled) {
                if (answer.isError()) {
                    picture.error = true;
                    picture.errorText = QString::fromStdString(
                        answer.errorText.empty() ? LumoCache::error_text(answer.error) : answer.errorText);
                } else if (answer.bitmap) {
                    picture.image = imageFromBitmap(*answer.bitmap);
                }
                if (!loaded) {
                    if (!item->IsLoaded())
                        item->Load();
                    picture.rotation = item->Rotation(); // asked before the record said how it stands
                }
            }
            QCoreApplication* app = QCoreApplication::instance();
            if (!app)
                return;
            const bool cancelled = answer.cancelled;
            QMetaObject::invokeMethod(
                app,
                [self, item, size, ticket, cancelled, picture = std::move(picture)]() mutable {
                    if (CContactSheetView* view = self.data())
                        view->delivered(item, size, ticket, cancelled, std::move(picture));
                },
                Qt::QueuedConnection);
        });
    if (order == 0) { // a pre-cache order the cache turned down while it is busy: asked again later
        pending.erase(size);
        m_precacheRefused = true;
    }
}

void CContactSheetView::delivered(const DocumentItem::Ref& item, std::uint32_t size, std::uint64_t ticket,
                                  bool cancelled, ContactSheetCellPicture picture) {
    if (auto found = m_pending.find(item.get()); found != m_pending.end()) {
        auto it = found->second.find(size);
        if (it == found->second.end() || it->second.ticket != ticket)
            return; // an answer to a request that was dropped since
        found->second.erase(it);
    } else {
        return;
    }
    if (cancelled)
        return;
    if (!picture.error && picture.image.isNull()) {
        picture.error = true;
        picture.errorText = QString::fromUtf8(LumoCache::error_text(0));
    }
    // A turn since the request: this picture is already out of date.
    if (picture.rotation != item->Rotation()) {
        scheduleRequests();
        return;
    }
    m_pictures[item.get()][size] = std::move(picture);
    if (m_precacheRefused)
        scheduleRequests();
    const int row = m_model->rowOf(item.get());
    if (row >= 0) {
        m_model->itemChanged(row); // the record may have arrived with the picture: marks and caption
        update(m_model->index(row));
    }
    checkVisibleFilled();
}

void CContactSheetView::checkVisibleFilled() {
    const bool complete = visibleCellsComplete();
    if (complete && !m_wasComplete) {
        m_wasComplete = true;
        Q_EMIT visibleCellsFilled();
    } else if (!complete) {
        m_wasComplete = false;
    }
}

// ---- events

void CContactSheetView::showEvent(QShowEvent* event) {
    QListView::showEvent(event);
    scheduleRequests();
}

void CContactSheetView::resizeEvent(QResizeEvent* event) {
    QListView::resizeEvent(event);
    scheduleRequests();
}

void CContactSheetView::scrollContentsBy(int dx, int dy) {
    QListView::scrollContentsBy(dx, dy);
    scheduleRequests();
}

void CContactSheetView::keyPressEvent(QKeyEvent* event) {
    const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
    if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
        return;
    }
    if (event->key() == Qt::Key_D && modifiers == Qt::ControlModifier) {
        clearSelection();
        return;
    }
    if (std::optional<BatchChange> change = cullingChangeForKey(*event)) {
        const std::vector<DocumentItem::Ref> items = targetItems();
        if (!items.empty())
            runItemChange(this, items, *change);
        return;
    }
    switch (event->key()) {
    case Qt::Key_Delete:
        if (modifiers == Qt::NoModifier && m_document) {
            const std::vector<DocumentItem::Ref> items = targetItems();
            if (!items.empty())
                deleteItemsToTrash(this, *m_document, items);
            return;
        }
        break;
    case Qt::Key_Space:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (m_document && !m_model->items().empty()) {
            Q_EMIT previewRequested(m_model->items(), std::max(0, currentIndex().row()));
            return;
        }
        break;
    default:
        break;
    }
    QListView::keyPressEvent(event);
}

void CContactSheetView::startDrag(Qt::DropActions supportedActions) {
    const QModelIndexList indexes = selectionModel()->selectedIndexes();
    if (indexes.isEmpty())
        return;
    QMimeData* mime = m_model->mimeData(indexes);
    if (!mime)
        return;
    auto* drag = new QDrag(this);
    drag->setMimeData(mime);
    const DocumentItem* first = m_model->itemAt(indexes.front().row());
    if (const ContactSheetCellPicture* picture = first ? pictureFor(first) : nullptr;
        picture && !picture->image.isNull())
        drag->setPixmap(QPixmap::fromImage(picture->image.scaled(96, 96, Qt::KeepAspectRatio)));
    // A drop that moved the photos away (into a folder of the folder pane) leaves this sheet stale.
    if (drag->exec(supportedActions, Qt::MoveAction) == Qt::MoveAction && m_document) {
        LUMO_LOG("CContactSheetView::DragSelectedItems() completed operation, forcing rescan");
        m_document->postRescan();
        Q_EMIT folderContentsChanged(QString::fromStdString(m_document->common().PrimaryPath()));
    }
}
