#pragma once

#include "contactsheet/LumoDocCommon.h"

#include <QObject>
#include <QString>

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

// One open contact sheet in the window: the document core (LumoDocCommon) and the order its view shows
// it in. Lives on the user-interface thread; what the sort threads and the items report from other
// threads reaches it as queued calls.
class CLumoDoc : public QObject {
    Q_OBJECT
public:
    explicit CLumoDoc(QObject* parent = nullptr);
    // Tells the sort manager to stop work for the document and waits for its running jobs.
    ~CLumoDoc() override;

    LumoDocCommon& common() { return *m_common; }
    const LumoDocCommon& common() const { return *m_common; }
    std::uint32_t documentID() const { return m_common->DocumentID(); }

    // Opens the folders (the first names the tab) and starts the first sort; false when none could be
    // read.
    bool openFolders(const std::vector<std::string>& folders);
    // The saved window state of the document ("document_paths", "view_combined", ...), and restoring
    // from it (false when none of its folders exists any more).
    CILA::VObject savedState() const;
    bool restoreState(const CILA::VObject& state);
    // The tab's title: the primary folder's name.
    QString title() const;

    // Rescans the folders, then sorts again when anything changed.
    void rescan();
    // The stand-in for the registered message "RESCAN_CONTACT_SHEET-{9FCEE733-442F-4d90-9618-E5DCEB12BA4D}":
    // safe from any thread, the rescan runs later on the user-interface thread.
    void postRescan();
    // Queues a sort with the document's sort settings; sortProgress() reports, sorted() announces the
    // new order.
    void sort();
    void setSortSettings(const ContactSheetSortSettings& settings);
    bool isSorting() const { return m_sorting; }
    // The last status the running sort reported (percent 0..100 and its phase's text).
    int sortPercent() const;
    QString sortPhaseText() const;

    // The items in display order, as the last completed sort left them (filtered items left out).
    const std::vector<DocumentItem::Ref>& displayedItems() const { return m_displayed; }
    int rowOf(const DocumentItem* item) const; // -1 when not shown

Q_SIGNALS:
    // A sort was queued (sortProgress and sorted follow).
    void sortStarted();
    // 0..100 with the phase text ("Gathering sort info:", "Sorting:", ...).
    void sortProgress(int percent, const QString& phaseText);
    // The display order changed (or was set for the first time).
    void sorted();
    // The item at `row` changed (its tag, rating, rotation, ...).
    void itemChanged(int row);

private:
    struct Progress {
        std::mutex lock;
        int percent = 0;
        QString text;
    };
    void finishSort(std::uint64_t generation, bool completed, const SortedSheet& sheet);
    void setDisplayed(std::vector<DocumentItem::Ref> items);
    void itemSignalled(DocumentItem* item);

    std::unique_ptr<LumoDocCommon> m_common;
    std::vector<DocumentItem::Ref> m_displayed;
    std::unordered_map<const DocumentItem*, int> m_rows;
    bool m_sorting = false;
    std::uint64_t m_sortGeneration = 0;
    std::shared_ptr<Progress> m_progress = std::make_shared<Progress>();
    // The items' Changed signals and the document's ItemsChanged, ended with the document.
    lumo::SlotHolder m_connections;
    lumo::ScopedConnection m_itemsChanged;
};
