#include "contactsheet/DocumentMetadataPreload.h"

#include "app/LumoLog.h"
#include "background/ErrorReporter.h"
#include "background/ProgressDialogInterface.h"

#include <algorithm>
#include <exception>
#include <memory>

namespace {

void applyFilter(const PreloadOptions& options, std::size_t first, std::size_t last) {
    LUMO_CHANNEL_LOG(DebugFlag::METADATA_PRELOAD_LOGGING, "calling filter for %llu up to %llu.",
                     static_cast<unsigned long long>(first), static_cast<unsigned long long>(last));
    if (options.applyFilter)
        options.applyFilter(first, last);
}

} // namespace

bool DocumentMetadataPreload::PreloadDocumentItems(LumoDocCommon* document,
                                                   std::vector<DocumentItem::Ref>& items,
                                                   const std::string& callerName,
                                                   const PreloadOptions& options) {
    std::erase(items, nullptr);
    if (items.size() == 1 && items.front()->IsLoaded()) {
        LUMO_CHANNEL_LOG(DebugFlag::METADATA_PRELOAD_LOGGING,
                         "%s: no preload needed for single cell, not a standin", callerName.c_str());
        applyFilter(options, 0, items.size());
        return true;
    }
    if (items.size() == 1 && !items.front()->IsLocallyAvailable()) {
        ErrorReporter::DoMessageBox(kNotLocalSingle);
        return false;
    }
    const bool needed =
        std::any_of(items.begin(), items.end(), [](const auto& item) { return !item->IsLoaded(); });
    if (!needed) {
        if (!ValidateBatch(items, true, true, true, items.size() == 1))
            return false;
        applyFilter(options, 0, items.size());
        return true;
    }
    if (!PreloadOnNewThread(document, items, options)) {
        ErrorReporter::DoMessageBox(kPreloadFailed);
        return false;
    }
    return true;
}

bool DocumentMetadataPreload::PreloadOnNewThread(LumoDocCommon* document,
                                                 std::vector<DocumentItem::Ref>& items,
                                                 const PreloadOptions& options) {
    std::unique_ptr<ProgressDialogInterface> own;
    ProgressDialogInterface* progress = options.progress;
    if (!progress) {
        own = std::make_unique<ProgressDialogInterface>();
        progress = own.get();
    }
    auto job = std::make_unique<PreloadJob>(document, items, options);
    PreloadJob& preload = *job;
    CThreadedJob operation(std::move(job), progress);
    if (!operation.Start())
        return false;
    operation.Join();
    return preload.Result() == PreloadResult::kSuccess;
}

PreloadResult DocumentMetadataPreload::PreloadWithProgress(LumoDocCommon*,
                                                           std::vector<DocumentItem::Ref>& items,
                                                           ProgressDialogInterface* progress,
                                                           const PreloadOptions& options) {
    try {
        const std::size_t batch = std::max<std::size_t>(options.batchSize, 1);
        if (progress)
            progress->SetMessage("Loading metadata...");
        for (std::size_t first = 0; first < items.size(); first += batch) {
            if (progress && progress->IsCancelled()) {
                LUMO_CHANNEL_LOG(DebugFlag::METADATA_PRELOAD_LOGGING, "batch load failed, user aborted");
                return PreloadResult::kUserAborted;
            }
            const std::size_t last = std::min(items.size(), first + batch);
            // A file that cannot be read stays unloaded: the operation reports it with its own failure.
            for (std::size_t i = first; i < last; ++i)
                if (items[i]->IsLocallyAvailable() && !items[i]->IsLoaded())
                    items[i]->Load();
            if (progress)
                progress->SetPercent(static_cast<unsigned>(last * 100 / items.size()));
        }
    } catch (const std::exception& e) {
        LUMO_LOG("DocumentMetadataPreload::PreloadWithProgress() exception: '%s'", e.what());
        LUMO_CHANNEL_LOG(DebugFlag::METADATA_PRELOAD_LOGGING, "batch load failed, preload error");
        return PreloadResult::kPreloadError;
    } catch (...) {
        LUMO_CHANNEL_LOG(DebugFlag::METADATA_PRELOAD_LOGGING, "batch load failed, preload error");
        return PreloadResult::kPreloadError;
    }
    if (!ValidateBatch(items, true, true, true, items.size() == 1))
        return PreloadResult::kValidationFailed;
    applyFilter(options, 0, items.size());
    return PreloadResult::kSuccess;
}

bool DocumentMetadataPreload::ValidateBatch(std::vector<DocumentItem::Ref>& items, bool shouldCheckRemote,
                                            bool shouldAsk, bool shouldSkipRemote, bool onlyOneItem) {
    if (!shouldCheckRemote)
        return true;
    std::vector<DocumentItem::Ref> remote;
    for (const auto& item : items)
        if (!item->IsLocallyAvailable())
            remote.push_back(item);
    if (remote.empty())
        return true;
    if (onlyOneItem || items.size() == 1) {
        ErrorReporter::DoMessageBox(kNotLocalProcessed);
        return false;
    }
    if (shouldAsk) {
        std::string text = kRemoteItemsFound;
        for (const auto& item : remote)
            text += "\n" + item->FileName();
        text += "\n\n";
        text += kIgnoreRemoteQuestion;
        if (ErrorReporter::DoMessageBox(text, MessageBoxButtons::YesNo) != MessageBoxAnswer::Yes)
            return false;
    } else if (!shouldSkipRemote) {
        return false;
    }
    std::erase_if(items, [](const auto& item) { return !item->IsLocallyAvailable(); });
    return true;
}

bool PreloadJob::Perform(CProgressInfo&) {
    m_result = DocumentMetadataPreload::PreloadWithProgress(m_document, m_items, m_pProgress, m_options);
    return m_result == PreloadResult::kSuccess;
}
