#include "ItemOperations.h"

#include "LumoDoc.h"
#include "ProgressDialog.h"

#include "background/ErrorReporter.h"
#include "background/ThreadedJob.h"
#include "background/ThreadedWorker.h"
#include "fileops/LumoCopyFile.h"

#include <QKeyEvent>

#include <cstdio>
#include <memory>

namespace {

// Key_0 .. Key_9 as the digit, else -1.
int digitOf(int key) {
    return key >= Qt::Key_0 && key <= Qt::Key_9 ? key - Qt::Key_0 : -1;
}

// X11 key symbols of the bracket keys: some layouts report another key() with Ctrl held.
constexpr quint32 kKeysymBracketLeft = 0x5b;
constexpr quint32 kKeysymBracketRight = 0x5d;

BatchChange changeOf(BatchChange::Operation operation, int value = 0) {
    BatchChange change;
    change.operation = operation;
    change.value = value;
    return change;
}

// How many failure texts one message shows before it only counts the rest.
constexpr std::size_t kFailuresShown = 5;

// `summary`, then the first failures' texts and how many more there were.
std::string failuresText(const std::string& summary, const std::vector<std::string>& failures) {
    std::string text = summary;
    for (std::size_t i = 0; i < failures.size() && i < kFailuresShown; ++i)
        text += "\n\n" + failures[i];
    if (failures.size() > kFailuresShown) {
        char more[64];
        std::snprintf(more, sizeof more, "\n\n(and %zu more)", failures.size() - kFailuresShown);
        text += more;
    }
    return text;
}

std::string countText(const char* format, std::size_t failed, std::size_t total) {
    char text[160];
    std::snprintf(text, sizeof text, format, failed, total);
    return text;
}

// Copies or moves one item per step. A failing item stays current so that Retry performs it again.
class TransferWorker : public CWorker {
public:
    TransferWorker(std::vector<DocumentItem::Ref> items, std::string folder, bool copy)
        : m_items(std::move(items)), m_folder(std::move(folder)), m_copy(copy) {}

    bool DoStep() override {
        const DocumentItem::Ref& item = m_items[m_index];
        if (!item) {
            ++m_index;
            return true;
        }
        // A move into the folder the photo is already in leaves it where it is.
        if (!m_copy && folderOf(item->FullPath()) == m_folder) {
            ++m_arrived;
            ++m_index;
            return true;
        }
        CopyFileRequest request;
        request.destinationFolder = m_folder;
        request.flags = static_cast<std::uint16_t>(kCopySoundFile | (m_copy ? 0 : kCopyMove));
        std::string name;
        std::string error;
        if (item->ImageCopy(request, name, &error) != 1) {
            ErrorReporter::Recorder::Record(m_copy ? "While copying a photo an error occurred:"
                                                   : "While moving a photo an error occurred:",
                                            lowLevel(error), item->FullPath(), true);
            return false;
        }
        ++m_arrived;
        ++m_index;
        return true;
    }
    bool IsDone() override { return m_index >= m_items.size(); }
    unsigned GetPercent() override {
        return m_items.empty() ? 100 : static_cast<unsigned>(m_index * 100 / m_items.size());
    }
    void GetStatusText(std::string& text) override {
        char message[128];
        std::snprintf(message, sizeof message,
                      m_copy ? "Copying %zu of %zu photos..." : "Moving %zu of %zu photos...", m_index + 1,
                      m_items.size());
        text = message;
    }
    void SkipStep() override { ++m_index; }

    int Arrived() const { return m_arrived; }

private:
    static std::string folderOf(const std::string& path) {
        const std::size_t slash = path.rfind('/');
        return slash == std::string::npos ? std::string() : path.substr(0, slash);
    }
    // The copy's text without its heading line.
    static std::string lowLevel(const std::string& error) {
        const std::size_t newline = error.find('\n');
        return newline == std::string::npos ? error : error.substr(newline + 1);
    }

    std::vector<DocumentItem::Ref> m_items;
    std::string m_folder;
    bool m_copy;
    std::size_t m_index = 0;
    int m_arrived = 0;
};

// The trash move of DocumentDeleteMarkedItems as a background job.
class DeleteToTrashJob : public CJob {
public:
    DeleteToTrashJob(LumoDocCommon& document, std::vector<DocumentItem::Ref> items)
        : m_document(document), m_items(std::move(items)) {}
    bool Perform(CProgressInfo&) override {
        m_failures = m_document.DocumentDeleteMarkedItems(m_items, false, m_pProgress);
        return m_failures.empty();
    }
    const std::vector<std::string>& Failures() const { return m_failures; }

private:
    LumoDocCommon& m_document;
    std::vector<DocumentItem::Ref> m_items;
    std::vector<std::string> m_failures;
};

} // namespace

std::optional<BatchChange> cullingChangeForKey(const QKeyEvent& event) {
    const Qt::KeyboardModifiers mods = event.modifiers() & ~Qt::KeypadModifier;
    const bool ctrl = mods.testFlag(Qt::ControlModifier);
    const bool alt = mods.testFlag(Qt::AltModifier);
    const bool meta = mods.testFlag(Qt::MetaModifier);
    const int key = event.key();

    if (ctrl && !meta) {
        if (event.isAutoRepeat())
            return std::nullopt;
        if (key == Qt::Key_BracketRight || event.nativeVirtualKey() == kKeysymBracketRight)
            return changeOf(BatchChange::RotateClockwise);
        if (key == Qt::Key_BracketLeft || event.nativeVirtualKey() == kKeysymBracketLeft)
            return changeOf(BatchChange::RotateCounterClockwise);
        return std::nullopt;
    }
    if (ctrl || meta)
        return std::nullopt;
    if (key == Qt::Key_T && !alt) {
        if (event.isAutoRepeat())
            return std::nullopt;
        return changeOf(BatchChange::ToggleTag);
    }
    const int digit = digitOf(key);
    if (digit < 0)
        return std::nullopt;
    if (alt)
        return digit <= 8 ? std::optional(changeOf(BatchChange::SetColorClass, digit)) : std::nullopt;
    if (digit <= 5)
        return changeOf(BatchChange::SetRating, digit);
    return changeOf(BatchChange::SetColorClass, digit - 5);
}

bool runItemChange(QWidget* parent, const std::vector<DocumentItem::Ref>& items, const BatchChange& change) {
    if (items.empty())
        return true;
    auto job = std::make_unique<BatchChangeJob>(items, change);
    BatchChangeJob& batch = *job;
    CProgressDialog dialog(parent);
    CThreadedJob operation(std::move(job), nullptr, true);
    const std::uint32_t status = dialog.run(operation);
    const std::vector<std::string>& failures = batch.Failures();
    // Each failure's text names the action and the error.
    if (!failures.empty())
        ErrorReporter::DoMessageBox(failuresText(
            countText("%zu of %zu photos could not be changed.", failures.size(), items.size()), failures));
    else if (status == ProgressDialogInterface::kStatusException)
        ErrorReporter::DoMessageBox(
            "While changing photos an error occurred:\n\nThe operation ended unexpectedly.");
    return failures.empty() && status == 0;
}

bool deleteItemsToTrash(QWidget* parent, CLumoDoc& document, const std::vector<DocumentItem::Ref>& items) {
    if (items.empty())
        return true;
    char question[160];
    if (items.size() == 1)
        std::snprintf(question, sizeof question, "Move 1 photo to the Trash?");
    else
        std::snprintf(question, sizeof question, "Move %zu photos to the Trash?", items.size());
    if (ErrorReporter::DoMessageBox(question, MessageBoxButtons::YesNo) != MessageBoxAnswer::Yes)
        return false;
    auto job = std::make_unique<DeleteToTrashJob>(document.common(), items);
    DeleteToTrashJob& trash = *job;
    CProgressDialog dialog(parent);
    CThreadedJob operation(std::move(job), nullptr, true);
    const std::uint32_t status = dialog.run(operation);
    const std::vector<std::string>& failures = trash.Failures();
    if (!failures.empty())
        ErrorReporter::DoMessageBox(failuresText(
            "While moving photos to the Trash an error occurred:\n\n" +
                countText("%zu files of %zu photos could not be moved.", failures.size(), items.size()),
            failures));
    return failures.empty() && status == 0;
}

int transferItemsToFolder(QWidget* parent, const std::vector<DocumentItem::Ref>& items,
                          const std::string& folder, bool copy) {
    if (items.empty() || folder.empty())
        return 0;
    std::string destination = folder;
    while (destination.size() > 1 && destination.back() == '/')
        destination.pop_back();
    auto worker = std::make_unique<TransferWorker>(items, destination, copy);
    TransferWorker& transfer = *worker;
    CProgressDialog dialog(parent);
    CThreadedWorker operation(std::move(worker));
    dialog.run(operation);
    return transfer.Arrived();
}
