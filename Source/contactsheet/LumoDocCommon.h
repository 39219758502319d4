#pragma once

// The contact sheet document without its window: the folders it shows, its items numbered by document
// number, the selection (and the preview windows' second selection), the user's arrangement, the
// rescans that keep it in step with the folders, and the batch changes over many items. Its own
// recursive lock guards its state; scans and rescans hold the process-wide scan lock.

#include "NRF/NRFImageInfo.h"
#include "archive/VObject.h"
#include "background/ThreadedJob.h"
#include "contactsheet/ContactSheetSort.h"
#include "contactsheet/ContactSheetSortManager.h"
#include "contactsheet/DocumentItem.h"
#include "contactsheet/DocumentSelection.h"
#include "support/Signal.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class ProgressDialogInterface;
struct FolderScanResult;

// The items of a sheet in the order a sort gave, with the keys it gathered.
struct SortedSheet {
    std::vector<DocumentItem::Ref> items; // the list the sort ran over (arrangement order for "Arrangement")
    ContactSheetSortResult result;        // order: indexes into `items`; records by index
};

// One change applied to many items.
struct BatchChange {
    enum Operation {
        SetTag,
        ToggleTag,
        ClearTag,
        SetColorClass, // value 0..8
        SetRating,     // value 0..5
        RotateClockwise,
        RotateCounterClockwise,
        MirrorHorizontally,
        MirrorVertically,
        SetCrop, // crop
        RemoveCrop,
    };
    Operation operation = SetTag;
    int value = 0;
    NRFNormalizedCrop crop;
};

class LumoDocCommon {
public:
    LumoDocCommon(); // takes the next document id (the process's counter starts at 1)
    ~LumoDocCommon();
    LumoDocCommon(const LumoDocCommon&) = delete;
    LumoDocCommon& operator=(const LumoDocCommon&) = delete;

    std::uint32_t DocumentID() const { return m_id; }

    // ---- folders
    // Opens a folder as the contact sheet (sets the primary path and "LastContactSheetPath", scans).
    // False when the folder could not be read.
    bool OnOpenDocument(const std::string& folder);
    // Shows several folders in one sheet; the first is the primary path.
    bool OpenFolders(const std::vector<std::string>& folders);
    std::string PrimaryPath() const;
    std::vector<std::string> Paths() const;
    // A shown folder got a new name or place: the paths (and "LastContactSheetPath") follow.
    void DocumentPathChangedFromTo(const std::string& oldPath, const std::string& newPath);

    // ---- saved window state (a hash): "document_paths" (the folders), "catalog_query", "tab_name",
    // "view_combined", "ignore_activate". Restoring opens the folders that still exist; false when none
    // does or the state is not a hash.
    CILA::VObject SavedState() const;
    bool RestoreState(const CILA::VObject& state);
    std::string TabName() const;

    // ---- rescan: false when a folder could not be read or the rescan failed (the items stay)
    bool Rescan();
    std::string LastRescanDigest() const;

    // ---- items
    std::size_t ItemCount() const;
    // By document number; null ("GetDocumentItemAt(%lu) was not found") when there is none.
    DocumentItem::Ref GetDocumentItemAt(std::uint32_t number) const;
    std::vector<DocumentItem::Ref> Items() const; // by document number
    // Takes the items out of the sheet; their files stay. Numbers the rest again.
    void DocumentRemoveItems(const std::vector<DocumentItem::Ref>& items);

    // ---- selection (the caller serialises access through WithSelection)
    void WithSelection(const std::function<void(DocumentSelection&)>& use);
    void WithPreviewSelection(const std::function<void(DocumentSelection&)>& use);
    std::vector<DocumentItem::Ref> SelectedItems() const;
    // Selects the items whose file names (or names without extension) are listed, and answers the
    // message: "There were %ld items in the selects file(s), all matched one or more files in the
    // Contact Sheet." or "There were %lu items in the selects file(s), %lu matches were found.".
    std::string SelectFromNames(const std::vector<std::string>& names);

    // ---- view settings
    bool JoinRawPlusJpeg() const; // "view_combined"
    // Before the first scan it only sets the view; afterwards it rescans to join or separate.
    void SetJoinRawPlusJpeg(bool joined);
    ContactSheetSortSettings SortSettings() const;
    void SetSortSettings(const ContactSheetSortSettings& settings);

    // ---- arrangement (".lumoarrangement.dat", see ArrangementFile.h)
    // The user's order (file names, or full paths for several folders); empty when there is none.
    std::vector<std::string> Arrangement() const;
    // Keeps `files` as the order. 0 or an errno value.
    int SaveArrangement(const std::vector<std::string>& files);
    // Document numbers in arrangement order: arranged files first in their order, the rest after in
    // listing (name) order.
    std::vector<std::uint32_t> ArrangedOrder() const;

    // ---- sorting
    // Sorts on the calling thread, reporting through `status` when given; nullopt when cancelled.
    std::optional<SortedSheet> SortNow(const ContactSheetSortSettings& settings,
                                       const std::function<bool()>& shouldCancel = {},
                                       std::function<void(const ContactSheetSortStatus&)> status = {}) const;
    // Queues a sort with the view's settings on the sort manager (on the calling thread when there is
    // none); `done` runs on a sort thread, and so does `status` (the phases and percentages) when given.
    void Sort(std::function<void(bool completed, const SortedSheet& sorted)> done,
              std::function<void(const ContactSheetSortStatus&)> status = {});

    // ---- deleting: moves every file of each item (with its companion and attached files) to the
    // Trash, or deletes them when `permanently`; the items whose files all went leave the sheet. The
    // texts of the failures (an item with a file that stayed stays too).
    std::vector<std::string> DocumentDeleteMarkedItems(const std::vector<DocumentItem::Ref>& items,
                                                       bool permanently, ProgressDialogInterface* progress);

    // Emitted when a rescan or a removal changed the items (not for an unchanged folder).
    lumo::Signal<> ItemsChanged;

private:
    // `opening`: the sheet was just given its folders, and may start from the directory cache.
    bool RescanGuarded(bool opening);
    bool RescanLocked(bool opening);
    void AddListingLocked(FolderScanResult listing, const char* inductStep);
    void ForgetItemsLocked();
    void NumberItems(std::vector<DocumentItem::Ref>& items);

    mutable std::recursive_mutex m_lock;
    std::uint32_t m_id;
    std::vector<std::string> m_paths;
    std::vector<DocumentItem::Ref> m_items;
    DocumentSelection m_selection;
    DocumentSelection m_previewSelection;
    bool m_joined = true;
    bool m_scanned = false;
    std::string m_tabName;
    std::string m_catalogQuery;
    bool m_ignoreActivate = false;
    ContactSheetSortSettings m_sort;
    std::string m_lastDigest;
    std::string m_cacheDigest; // the digest of the listing the directory cache holds for m_paths
    std::uint32_t m_sortSerial = 0;
};

// Every file the item owns and a delete takes with it: primary, companion, and their attached files
// (as the record knows them and as they are on disk now). Reads the record when it is not read yet.
std::vector<std::string> DocumentItemOwnedFiles(DocumentItem& item);

// Applies `change` to each item in turn ("Performing operation on %u of %u items...", for a crop
// "Setting Crop on %lu of %lu"), stopping when the progress window is cancelled. The texts of the
// items that failed (each the operation's message with the error).
std::vector<std::string> DocumentBatchChange(const std::vector<DocumentItem::Ref>& items,
                                             const BatchChange& change, ProgressDialogInterface* progress);

// The same as a background job (run it with CThreadedJob): the items are held until it ends, and the
// failures' texts are kept for the window that shows the outcome.
class BatchChangeJob : public CJob {
public:
    BatchChangeJob(std::vector<DocumentItem::Ref> items, const BatchChange& change)
        : m_items(std::move(items)), m_change(change) {}
    bool Perform(CProgressInfo& operation) override;
    const std::vector<std::string>& Failures() const { return m_failures; }

private:
    std::vector<DocumentItem::Ref> m_items;
    BatchChange m_change;
    std::vector<std::string> m_failures;
};

// Free functions over a document, each checking its argument first ("DocumentGetItem() passed NULL
// document." and the rest).
DocumentItem::Ref DocumentGetItem(LumoDocCommon* document, std::uint32_t number);
std::uint32_t DocumentGetDocumentID(LumoDocCommon* document);
LumoDocCommon* DocumentGetCommon(LumoDocCommon* document);
std::string PrivateDocumentLastRescanDigest(LumoDocCommon* document);
void DocumentRemoveItems(LumoDocCommon* document, const std::vector<DocumentItem::Ref>& items);
std::vector<std::string> DocumentDeleteMarkedItems(LumoDocCommon* document,
                                                   const std::vector<DocumentItem::Ref>& items,
                                                   bool permanently, ProgressDialogInterface* progress);
