#pragma once

// The contact sheet document without its window: the folders it shows, its items numbered by document
// number, the selection (and the preview windows' second selection), the user's arrangement, the
// rescans that keep it in step with the folders, and the batch changes over many items. Its own
// recursive lock guards its state; scans and rescans hold the process-wide scan lock.

#include "contactsheet/ContactSheetSort.h"
#include "contactsheet/DocumentItem.h"
#include "contactsheet/DocumentSelection.h"
#include "support/Signal.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

class ProgressDialogInterface;

class LumoDocCommon {
public:
    LumoDocCommon(); // takes the next document id (the process's counter starts at 1)
    ~LumoDocCommon();
    LumoDocCommon(const LumoDocCommon&) = delete;
    LumoDocCommon& operator=(const LumoDocCommon&) = delete;

    std::uint32_t DocumentID() const { return m_id; }

    // ---- folders
    // Opens a folder as the contact sheet (sets the primary path and "LastContactSheetPath", scans).
    bool OnOpenDocument(const std::string& folder);
    // Shows several folders in one sheet; the first is the primary path.
    bool OpenFolders(const std::vector<std::string>& folders);
    std::string PrimaryPath() const;
    std::vector<std::string> Paths() const;
    void DocumentPathChangedFromTo(const std::string& oldPath, const std::string& newPath);

    // ---- rescan: false when the folders could not be read (the items stay)
    bool Rescan();
    std::string LastRescanDigest() const;

    // ---- items
    std::size_t ItemCount() const;
    // By document number; null ("GetDocumentItemAt(%lu) was not found") when there is none.
    DocumentItem::Ref GetDocumentItemAt(std::uint32_t number) const;
    std::vector<DocumentItem::Ref> Items() const; // by document number
    void DocumentRemoveItems(const std::vector<DocumentItem::Ref>& items);

    // ---- selection (the caller serialises access through WithSelection)
    void WithSelection(const std::function<void(DocumentSelection&)>& use);
    void WithPreviewSelection(const std::function<void(DocumentSelection&)>& use);
    std::vector<DocumentItem::Ref> SelectedItems() const;
    // Selects the items whose file names (or base names) are listed; the message of the result.
    std::string SelectFromNames(const std::vector<std::string>& names);

    // ---- view settings
    bool JoinRawPlusJpeg() const { return m_joined; } // "view_combined"
    void SetJoinRawPlusJpeg(bool joined);             // rescans to join or separate
    ContactSheetSortSettings SortSettings() const;
    void SetSortSettings(const ContactSheetSortSettings& settings);

    // ---- arrangement (".lumoarrangement.dat")
    // The user's order of file names; empty when the folder has none.
    std::vector<std::string> Arrangement() const;
    bool SaveArrangement(const std::vector<std::string>& fileNames);
    // The items in arrangement order: arranged names first in their order, the rest after in name order.
    std::vector<std::uint32_t> ArrangedOrder() const;

    // ---- sorting: queues a sort on the sort manager; `done` runs on a sort thread
    void Sort(std::function<void(bool completed, const std::vector<DocumentItem::Ref>& ordered)> done);

    // ---- deleting: moves the items' files (each with its companion and attached files) to the Trash,
    // or deletes them when `permanently`; removes the items that went. The texts of the failures.
    std::vector<std::string> DocumentDeleteMarkedItems(const std::vector<DocumentItem::Ref>& items,
                                                       bool permanently, ProgressDialogInterface* progress);

    // Emitted when items were added or removed by a rescan (not for an unchanged folder).
    lumo::Signal<> ItemsChanged;

private:
    mutable std::recursive_mutex m_lock;
    std::uint32_t m_id;
    std::vector<std::string> m_paths;
    std::vector<DocumentItem::Ref> m_items;
    DocumentSelection m_selection;
    DocumentSelection m_previewSelection;
    bool m_joined = true;
    ContactSheetSortSettings m_sort;
    std::string m_lastDigest;
    std::uint32_t m_sortSerial = 0;
};

// Free functions over a document, each checking its argument first ("DocumentGetItem() passed NULL
// document." and the rest).
DocumentItem::Ref DocumentGetItem(LumoDocCommon* document, std::uint32_t number);
std::uint32_t DocumentGetDocumentID(LumoDocCommon* document);
void DocumentRemoveItems(LumoDocCommon* document, const std::vector<DocumentItem::Ref>& items);
