#include "PhotoOperation.h"

#include "AppSession.h"
#include "ErrorText.h"
#include "JsonValue.h"
#include "NRF/NRF.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFXMPBlocks.h"
#include "TerminalProgressWindow.h"
#include "background/ErrorReporter.h"
#include "background/ProgressDialogInterface.h"
#include "background/ThreadedWorker.h"
#include "metadata/PhotoMetadata.h"
#include "support/PhotoLocks.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <iostream>
#include <optional>
#include <vector>

namespace {

// Files whose new content waits in one batch before the batch is committed: enough that a run over a
// folder pays a flush per batch rather than per file, few enough that a kill loses little work.
constexpr std::size_t kFilesPerBatch = 64;

struct ItemResult {
    std::string path;
    bool reached = false;  // false for files a cancellation left untouched
    bool notAFile = false; // an argument that stands for no file: `outcome` says why
    PhotoOutcome outcome;
};

class PhotoWorker : public CWorker {
public:
    PhotoWorker(const PhotoOperation& operation, std::vector<ItemResult>& results,
                std::atomic<std::uint64_t>& filesDone)
        : m_operation(operation), m_results(results), m_filesDone(filesDone) {}

    ~PhotoWorker() override {
        commit();
        m_locks.unlockAll();
    }

    bool DoStep() override {
        ItemResult& item = m_results[m_next];
        if (item.notAFile) {
            advance();
            return true;
        }
        item.reached = true;
        item.outcome = change(item.path);
        if (item.outcome.result != 0) {
            // The files before it take their places now: the user may cancel at the question.
            commit();
            ErrorReporter::Recorder::Record(m_operation.heading, item.outcome.error, item.path,
                                            item.outcome.retryable);
            return false;
        }
        if (m_batch)
            m_pending.push_back(m_next);
        advance();
        return true;
    }
    void SkipStep() override { advance(); }
    bool IsDone() override { return m_next >= m_results.size(); }
    unsigned GetPercent() override {
        return m_results.empty() ? 100 : static_cast<unsigned>(m_next * 100 / m_results.size());
    }
    void GetStatusText(std::string& text) override {
        char line[96];
        std::snprintf(line, sizeof line, "Performing operation on %u of %u items...",
                      static_cast<unsigned>(m_next + 1), static_cast<unsigned>(m_results.size()));
        text = line;
    }

private:
    PhotoOutcome change(const std::string& path) {
        m_locks.lock(path, [this] { commit(); });
        PhotoOutcome outcome = changeLocked(path);
        if (!m_batch)
            m_locks.unlockAll();
        return outcome;
    }

    PhotoOutcome changeLocked(const std::string& path) {
        PhotoOutcome outcome;
        NRFImageInfoRef image;
        if (!openPhoto(path, image, outcome))
            return outcome;
        if (!writable(*image, outcome)) {
            NRFCloseImage(&image);
            return outcome;
        }
        if (m_operation.batched && !m_batch)
            m_batch = std::make_unique<NRFMetadataCommit>();
        outcome = m_operation.change(*image, m_batch.get());
        // A record whose file waits in the batch is read again when the batch commits: it stays open
        // until then.
        if (m_batch)
            m_open.push_back(std::move(image));
        else
            NRFCloseImage(&image);
        return outcome;
    }

    // A read-only file or sidecar is refused before anything is written; the user may fix it and retry.
    bool writable(NRFImageInfoRec& image, PhotoOutcome& outcome) const {
        std::string refusal = IPTCReadOnlySaveRefusal(image, m_saving);
        if (refusal.empty())
            return true;
        outcome.result = kResultUnwritable;
        outcome.error = std::move(refusal);
        outcome.retryable = true;
        return false;
    }

    void advance() {
        ++m_next;
        if (m_open.size() >= kFilesPerBatch || IsDone() || (!m_open.empty() && cancelled()))
            commit();
        m_filesDone = m_next;
    }

    bool cancelled() const { return m_pProgress != nullptr && m_pProgress->IsCancelled(); }

    // Puts every file waiting in the batch in place of its original. A file the commit could not put
    // in place keeps its original and fails.
    void commit() {
        if (!m_batch)
            return;
        std::vector<std::string> failed;
        const int error = m_batch->commit(&failed);
        for (const std::string& path : failed)
            for (const std::size_t index : m_pending) {
                PhotoOutcome& outcome = m_results[index].outcome;
                if (m_results[index].path != path && outcome.sidecar != path)
                    continue;
                outcome.result = kResultUnwritable;
                outcome.error = "The new version of '" + path + "' could not take its place (" +
                                errnoText(error != 0 ? error : EIO) + "); it is as it was";
            }
        m_pending.clear();
        m_batch.reset();
        for (NRFImageInfoRef& image : m_open)
            NRFCloseImage(&image);
        m_open.clear();
        m_locks.unlockAll();
    }

    const PhotoOperation& m_operation;
    const IPTCSaveSettings m_saving = IPTCSaveSettingsFromPreferences();
    std::vector<ItemResult>& m_results;
    std::atomic<std::uint64_t>& m_filesDone;
    std::size_t m_next = 0;
    std::unique_ptr<NRFMetadataCommit> m_batch;
    std::vector<std::size_t> m_pending;  // the files whose content waits in m_batch
    std::vector<NRFImageInfoRef> m_open; // their records (and those of files that failed meanwhile)
    lumo::PhotoLocks m_locks;            // the photos this process holds while it changes them
};

} // namespace

bool openPhoto(const std::string& path, std::shared_ptr<NRFImageInfoRec>& image, PhotoOutcome& outcome) {
    // A file whose name no reader knows is no photo: the engine would open it as a proxy, which keeps
    // no metadata.
    NRFFileType type = 0;
    NRFErr err = NRFGetType(path.c_str(), &type, false);
    if (err == kNRFErrNone)
        err = NRFOpenImage(path.c_str(), type, &image);
    if (err == kNRFErrNone)
        err = NRFGetImageInfo(image.get());
    if (err == kNRFErrNone)
        return true;
    outcome = engineFailure(err, path);
    outcome.retryable = false;
    NRFCloseImage(&image);
    return false;
}

PhotoOutcome engineFailure(NRFErr result, const std::string& path, bool writing) {
    PhotoOutcome outcome;
    outcome.result = result;
    outcome.error = engineFailureText(result, path);
    outcome.retryable = writing && (result == kResultUnwritable || result == kResultUnexpected);
    return outcome;
}

int runPhotoOperation(const CommonOptions& common, const FileArguments& files,
                      const PhotoOperation& operation) {
    if (files.empty())
        return noFilesGiven();
    AppSession session(common, kImageEngineService | kPreferencesService | operation.services);
    if (!session.started())
        return commandFailed(common, kResultUnexpected, session.error());
    if (operation.prepare)
        if (const int status = operation.prepare(); status != kExitDone)
            return status;

    const std::vector<FileArgument> arguments = files.expand();
    std::vector<ItemResult> results(arguments.size());
    for (std::size_t i = 0; i < results.size(); ++i) {
        results[i].path = arguments[i].path;
        if (arguments[i].error) {
            results[i].notAFile = results[i].reached = true;
            results[i].outcome.result = arguments[i].result;
            results[i].outcome.error = errnoText(arguments[i].error);
        }
    }
    std::atomic<std::uint64_t> filesDone{0};
    ProgressDialogInterface progress;
    CThreadedWorker worker(std::make_unique<PhotoWorker>(operation, results, filesDone), &progress);
    if (!worker.Start()) {
        std::fprintf(stderr, "lumo: the operation could not be started\n");
        return kExitSomeFailed;
    }
    // The window answers questions and Ctrl-C even when it shows nothing: --quiet, or a single file.
    TerminalProgressWindow(
        progress, operation.label, results.size(), [&filesDone] { return filesDone.load(); },
        common.quiet || results.size() < 2 ? nullptr : stderr)
        .run();
    worker.Join();

    int status = kExitDone;
    nlohmann::ordered_json all = nlohmann::ordered_json::array();
    for (const ItemResult& item : results) {
        if (!item.reached)
            continue;
        const PhotoOutcome& outcome = item.outcome;
        if (outcome.result != 0) {
            status = kExitSomeFailed;
            reportFailure(item.path, operation.heading + " " + outcome.error);
            all.push_back(failureJson(item.path, outcome.result, outcome.error));
            continue;
        }
        nlohmann::ordered_json entry = {{"path", item.path}};
        for (const auto& [key, value] : outcome.json.items())
            entry[key] = value;
        all.push_back(std::move(entry));
        if (!common.json && !common.quiet && !outcome.line.empty())
            std::printf("%s: %s\n", oneLine(item.path).c_str(), outcome.line.c_str());
    }
    return finishPhotoCommand(common, all, progress.GetStatus(), status);
}

int finishPhotoCommand(const CommonOptions& common, const nlohmann::ordered_json& all,
                       std::uint32_t progressStatus, int status) {
    if (common.json)
        std::cout << jsonText(all, 2) << '\n';
    std::fflush(stdout);
    switch (progressStatus) {
    case ProgressDialogInterface::kStatusCancelled:
        std::fprintf(stderr, "lumo: cancelled\n");
        return kExitCancelled;
    case ProgressDialogInterface::kStatusError:
    case ProgressDialogInterface::kStatusException:
        return kExitSomeFailed;
    default:
        return status;
    }
}
