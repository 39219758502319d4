#include "LumoDoc.h"

#include "app/LumoLog.h"
#include "cache/LumoCache.h"
#include "contactsheet/ContactSheetSortManager.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMetaObject>
#include <QPointer>

namespace {

// Runs `work` on the user-interface thread while `target` lives; safe from any thread (the application
// object receives the call, so it never lands on an object being destroyed).
template <typename Work>
void postToDocument(const QPointer<CLumoDoc>& target, Work work) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return;
    QMetaObject::invokeMethod(
        app,
        [target, work = std::move(work)]() mutable {
            if (CLumoDoc* doc = target.data())
                work(*doc);
        },
        Qt::QueuedConnection);
}

} // namespace

CLumoDoc::CLumoDoc(QObject* parent) : QObject(parent), m_common(std::make_unique<LumoDocCommon>()) {
    // A rescan or a removal changed the items (on whichever thread did it): sort again.
    const QPointer<CLumoDoc> self(this);
    m_itemsChanged =
        m_common->ItemsChanged.connect([self] { postToDocument(self, [](CLumoDoc& doc) { doc.sort(); }); });
}

CLumoDoc::~CLumoDoc() {
    m_itemsChanged.disconnect();
    m_connections.disconnectAll();
    try {
        if (ContactSheetSortManager* manager = ContactSheetSortManager::instance())
            manager->stop_work_for_document(documentID());
        if (LumoCache* cache = LumoCache::instance())
            cache->cancel_document(static_cast<int>(documentID()));
    } catch (const std::exception&) {
        LUMO_LOG("Unexpected exception in CLumoDoc::~CLumoDoc()");
    }
}

bool CLumoDoc::openFolders(const std::vector<std::string>& folders) {
    if (!m_common->OpenFolders(folders))
        return false;
    // The cells show at once in listing order; the sort's order follows.
    setDisplayed(m_common->Items());
    Q_EMIT sorted();
    sort();
    return true;
}

CILA::VObject CLumoDoc::savedState() const {
    return m_common->SavedState();
}

bool CLumoDoc::restoreState(const CILA::VObject& state) {
    if (!m_common->RestoreState(state))
        return false;
    setDisplayed(m_common->Items());
    Q_EMIT sorted();
    sort();
    return true;
}

QString CLumoDoc::title() const {
    return QFileInfo(QString::fromStdString(m_common->PrimaryPath())).fileName();
}

void CLumoDoc::rescan() {
    // A changed folder fires ItemsChanged, which sorts again.
    try {
        m_common->Rescan();
    } catch (const std::exception&) {
        LUMO_LOG("Unexpected exception in CLumoDoc::Rescan()");
    }
}

void CLumoDoc::postRescan() {
    postToDocument(QPointer<CLumoDoc>(this), [](CLumoDoc& doc) { doc.rescan(); });
}

void CLumoDoc::sort() {
    const std::uint64_t generation = ++m_sortGeneration;
    m_sorting = true;
    {
        std::lock_guard lock(m_progress->lock);
        m_progress->percent = 0;
        m_progress->text =
            QString::fromUtf8(ContactSheetSortStatus::PhaseText(ContactSheetSortStatus::Gathering));
    }
    Q_EMIT sortStarted();
    const QPointer<CLumoDoc> self(this);
    std::weak_ptr<Progress> progress = m_progress;
    m_common->Sort(
        [self, generation](bool completed, const SortedSheet& sorted) {
            postToDocument(self, [generation, completed, sorted](CLumoDoc& doc) {
                doc.finishSort(generation, completed, sorted);
            });
        },
        [self, progress](const ContactSheetSortStatus& status) {
            const std::shared_ptr<Progress> shared = progress.lock();
            if (!shared)
                return;
            const int percent = static_cast<int>(std::min(status.percent, 100u));
            const QString text = QString::fromUtf8(ContactSheetSortStatus::PhaseText(status.phase));
            {
                std::lock_guard lock(shared->lock);
                if (shared->percent == percent && shared->text == text)
                    return;
                shared->percent = percent;
                shared->text = text;
            }
            postToDocument(self, [percent, text](CLumoDoc& doc) {
                if (doc.isSorting())
                    Q_EMIT doc.sortProgress(percent, text);
            });
        });
}

void CLumoDoc::finishSort(std::uint64_t generation, bool completed, const SortedSheet& sheet) {
    // A newer sort was queued after this one: its answer is the one to show.
    if (generation != m_sortGeneration)
        return;
    m_sorting = false;
    if (!completed)
        return;
    std::vector<DocumentItem::Ref> items;
    items.reserve(sheet.result.order.size());
    for (const std::uint32_t index : sheet.result.order)
        if (index < sheet.items.size() && sheet.items[index])
            items.push_back(sheet.items[index]);
    setDisplayed(std::move(items));
    Q_EMIT sortProgress(
        100, QString::fromUtf8(ContactSheetSortStatus::PhaseText(ContactSheetSortStatus::Sorting)));
    Q_EMIT sorted();
}

int CLumoDoc::sortPercent() const {
    std::lock_guard lock(m_progress->lock);
    return m_progress->percent;
}

QString CLumoDoc::sortPhaseText() const {
    std::lock_guard lock(m_progress->lock);
    return m_progress->text;
}

void CLumoDoc::setSortSettings(const ContactSheetSortSettings& settings) {
    m_common->SetSortSettings(settings);
}

void CLumoDoc::setDisplayed(std::vector<DocumentItem::Ref> items) {
    m_connections.disconnectAll();
    m_displayed = std::move(items);
    m_rows.clear();
    m_rows.reserve(m_displayed.size());
    const QPointer<CLumoDoc> self(this);
    for (std::size_t row = 0; row < m_displayed.size(); ++row) {
        DocumentItem* item = m_displayed[row].get();
        m_rows.emplace(item, static_cast<int>(row));
        // The stand-in for "DOCUMENT_CELL_UPDATE-{9FCEE733-442F-4d90-9618-E5DCEB12BA4D}": a change on
        // any thread reaches the cell on the user-interface thread.
        m_connections.keep(item->Changed.connect([self, item](DocumentItem&) {
            postToDocument(self, [item](CLumoDoc& doc) { doc.itemSignalled(item); });
        }));
    }
}

void CLumoDoc::itemSignalled(DocumentItem* item) {
    const int row = rowOf(item);
    if (row >= 0)
        Q_EMIT itemChanged(row);
}

int CLumoDoc::rowOf(const DocumentItem* item) const {
    const auto found = m_rows.find(item);
    return found == m_rows.end() ? -1 : found->second;
}
