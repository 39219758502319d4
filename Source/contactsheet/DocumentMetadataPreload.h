#pragma once

// Making sure the records (metadata, photo state) of a set of items are read before an operation runs
// over them: read on a background operation with a progress window, then checked (only local items can
// be processed) and handed to the view's filter.

#include "background/ThreadedJob.h"
#include "contactsheet/DocumentItem.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

class LumoDocCommon;
class ProgressDialogInterface;

enum class PreloadResult { kSuccess, kUserAborted, kPreloadError, kValidationFailed };

struct PreloadOptions {
    // The view's filter over the items [first, last) once they are loaded; may be empty.
    std::function<void(std::size_t first, std::size_t last)> applyFilter;
    // The progress window of the background load; null: one of the operation's own, not shown.
    ProgressDialogInterface* progress = nullptr;
    // Items read per batch (the cancel check and the progress run between batches).
    std::size_t batchSize = 32;
};

class DocumentMetadataPreload {
public:
    static constexpr char kNotLocalSingle[] =
        "This operation can only be performed on local items.  This item is not locally available.";
    static constexpr char kPreloadFailed[] =
        "Preloading Metadata has failed and the operation has been cancelled.";
    static constexpr char kNotLocalProcessed[] =
        "This item is not locally available and cannot be processed.";
    static constexpr char kRemoteItemsFound[] = "Remote items found:";
    static constexpr char kIgnoreRemoteQuestion[] =
        "This task can only operate on local items.\n\nWould you like to "
        "ignore the remote items and continue processing the "
        "remaining local items?";

    // Loads what `items` lack (on a background operation), then applies the filter; false when the
    // operation must not go on (the user has been told why). `items` keeps only what may be processed.
    static bool PreloadDocumentItems(LumoDocCommon* document, std::vector<DocumentItem::Ref>& items,
                                     const std::string& callerName, const PreloadOptions& options = {});
    // Runs PreloadJob and waits for it; true on success.
    static bool PreloadOnNewThread(LumoDocCommon* document, std::vector<DocumentItem::Ref>& items,
                                   const PreloadOptions& options = {});
    // The body of PreloadJob: reads the items in batches with progress, validates, applies the filter.
    static PreloadResult PreloadWithProgress(LumoDocCommon* document, std::vector<DocumentItem::Ref>& items,
                                             ProgressDialogInterface* progress,
                                             const PreloadOptions& options = {});
    // Only local items can be processed: false when the batch cannot go on; remote items are dropped
    // from `items` when the user (or `shouldSkipRemote` without asking) agrees.
    static bool ValidateBatch(std::vector<DocumentItem::Ref>& items, bool shouldCheckRemote, bool shouldAsk,
                              bool shouldSkipRemote, bool onlyOneItem);
};

// The one-shot background job of PreloadOnNewThread.
class PreloadJob : public CJob {
public:
    PreloadJob(LumoDocCommon* document, std::vector<DocumentItem::Ref>& items, PreloadOptions options)
        : m_document(document), m_items(items), m_options(std::move(options)) {}
    bool Perform(CProgressInfo& operation) override;
    PreloadResult Result() const { return m_result; }

private:
    LumoDocCommon* m_document;
    std::vector<DocumentItem::Ref>& m_items;
    PreloadOptions m_options;
    PreloadResult m_result = PreloadResult::kPreloadError;
};
