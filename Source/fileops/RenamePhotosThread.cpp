// Renaming photos: the name computation, the worker's passes and the journal that makes an interrupted
// rename recoverable.

#include "fileops/RenamePhotosThread.h"

#include "NRF/NRF.h"
#include "app/LumoLog.h"
#include "background/ErrorReporter.h"
#include "background/ProgressDialogInterface.h"
#include "contactsheet/LumoDocCommon.h"
#include "db/Preferences.h"
#include "dyn_platform/DynPlatform.h"
#include "fileops/UniquePaths.h"
#include "metadata/IPTCRec.h"
#include "metadata/PhotoMetadata.h"
#include "support/FileIO.h"
#include "variables/VariableSequence.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>

#include <sys/syscall.h>
#include <unistd.h>

namespace {

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string nameOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The text after the last "." (none for a name without one or starting with its only ".").
std::string extensionOf(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? std::string() : name.substr(dot + 1);
}

std::string stemOf(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

bool isSpace(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

std::string trimmedName(std::string name) {
    for (bool changed = true; changed && name.size() > 1;) {
        const std::string before = name;
        while (name.size() > 1 && isSpace(name.back()))
            name.pop_back();
        while (name.size() > 1 && isSpace(name.front()))
            name.erase(0, 1);
        if (name.size() > 1 && name.back() == '.')
            name.pop_back();
        changed = name != before;
    }
    return name;
}

bool equalNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// Tests that kill a rename in its second pass: with LUMO_TEST_RENAME_PAUSE_AFTER=N and
// LUMO_TEST_RENAME_PAUSE_FILE=PATH, the rename writes PATH once N photos have their new names and then
// waits (a minute at most) for the kill.
void pauseForTest(std::size_t renamed) {
    const char* after = std::getenv("LUMO_TEST_RENAME_PAUSE_AFTER");
    const char* file = std::getenv("LUMO_TEST_RENAME_PAUSE_FILE");
    if (!after || !file || std::to_string(renamed) != after)
        return;
    lumo::writeFileReplacing(file, "paused\n");
    for (int i = 0; i < 600; ++i)
        ::usleep(100000);
}

std::uint64_t currentThreadId() {
    return static_cast<std::uint64_t>(::syscall(SYS_gettid));
}

} // namespace

bool RenameTemplateUsesSequence(const std::string& namingTemplate) {
    VariableContext context;
    return ExpandVariables(namingTemplate, context, kVariableFileName).usedSequence;
}

std::string ComputeRenamedFileName(const std::string& namingTemplate, DocumentItem& item,
                                   VariableContext& context, std::string& error, bool forExample) {
    item.Load();
    const NRFImageInfoRef image = item.PrimaryRecord();
    if (!image) {
        error = RenameText::kNoImageInfo;
        return {};
    }
    const std::string fileName = item.FileName();
    IPTCRec metadata;
    const bool haveMetadata = NRFLoadIPTC(image.get(), &metadata) == kNRFErrNone;
    context.image = image.get();
    context.record = haveMetadata ? &metadata : nullptr;
    std::string name = ExpandVariables(namingTemplate, context, kVariableFileName).text;
    context.image = nullptr;
    context.record = nullptr;
    if (name.empty()) {
        error = RenameText::kEmptyName;
        return {};
    }
    if (forExample) {
        const int style = RenameResolutionStyleFromPreferences();
        if (style == kResolveAlwaysAppendDigit)
            name += "1";
        else if (style == kResolveAlwaysAppendDigits)
            name += "01";
    }
    const std::string source = extensionOf(fileName);
    if (!source.empty())
        name += "." + ExtensionInPreferredCase(source, source);
    name = ReplaceIllegalFileNameCharacters(name);
    return trimmedName(name);
}

// ---- the worker

RenamePhotosThread::RenamePhotosThread(ProgressDialogInterface* progress,
                                       std::vector<DocumentItem::Ref> items, std::string namingTemplate)
    : CProgressInfo(progress), m_items(std::move(items)), m_template(std::move(namingTemplate)) {}

RenamePhotosThread::~RenamePhotosThread() {
    CancelAndJoin();
}

void RenamePhotosThread::show(const char* heading, const std::string& text) {
    m_shown = std::string(heading) + "\n" + text;
    LUMO_LOG("%s", m_shown.c_str());
    ErrorReporter::DoMessageBox(m_shown);
}

std::string RenamePhotosThread::currentNameText() const {
    return m_currentName.empty() ? std::string("photos.") : "photo \"" + m_currentName + "\".";
}

bool RenamePhotosThread::renameItem(DocumentItem& item, const std::string& baseName,
                                    const std::string& extensionCaseOf) {
    for (;;) {
        const DocumentItem::Result result = item.Rename(baseName, extensionCaseOf);
        if (result)
            return true;
        ErrorReporter::Recorder::Record(result.message, {}, item.FullPath(), true);
        if (!m_pProgressDlg || m_pProgressDlg->IsCancelled() ||
            m_pProgressDlg->AskRetry(currentThreadId()) != ProgressDialogInterface::kReplyRetry)
            return false;
    }
}

bool RenamePhotosThread::writeJournals(bool withNewNames) {
    std::map<std::string, RenameJournal> journals; // folder -> its journal
    const RenameJournalOwner owner = CurrentRenameJournalOwner();
    for (std::size_t i = 0; i < m_records.size(); ++i) {
        const RenameRecord& record = m_records[i];
        const std::string folder = folderOf(record.originalPath);
        RenameJournal& journal = journals[folder];
        journal.owner = owner;
        const std::string stem = stemOf(record.originalName);
        RenameJournalEntry entry{stem,
                                 stemOf(record.temporaryName),
                                 withNewNames && i < m_resolved.size() ? stemOf(m_resolved[i])
                                                                       : std::string(),
                                 {}};
        for (const std::string& path : m_owned[i]) {
            const std::string name = nameOf(path);
            if (folderOf(path) == folder && name.compare(0, stem.size(), stem) == 0)
                entry.suffixes.push_back(name.substr(stem.size()));
        }
        journal.entries.push_back(std::move(entry));
    }
    for (const auto& [folder, journal] : journals) {
        // Listed first: a journal on disk is always one that start-up finds.
        if (!withNewNames && !ListRenameJournalFolder(folder)) {
            m_errorText = "Could not list the rename journal of '" + folder + "' in the cache folder.";
            return false;
        }
        if (const int e = lumo::writeFileReplacing(folder + kRenameJournalName, RenameJournalText(journal))) {
            m_errorText = "Could not write the rename journal in '" + folder + "': " + std::strerror(e);
            return false;
        }
    }
    return true;
}

void RenamePhotosThread::removeJournals() {
    std::vector<std::string> folders;
    for (const RenameRecord& record : m_records)
        folders.push_back(folderOf(record.originalPath));
    std::sort(folders.begin(), folders.end());
    folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
    for (const std::string& folder : folders) {
        if (lumo::fileExists(folder + kRenameJournalName)) {
            lumo::removeFile(folder + kRenameJournalName);
            lumo::syncFolderOf(folder + kRenameJournalName);
        }
        UnlistRenameJournalFolder(folder);
    }
}

bool RenamePhotosThread::prepare() {
    const std::size_t count = m_items.size();
    for (std::size_t i = 0; i < count; ++i) {
        m_pProgressDlg->SetPercent(static_cast<unsigned>(i * 100 / count));
        if (m_pProgressDlg->IsCancelled())
            return false;
        m_context.index = static_cast<std::uint32_t>(i + 1);
        DocumentItem& item = *m_items[i];
        RenameRecord& record = m_records[i];
        m_currentName = item.FileName();
        record.originalPath = item.FullPath();
        record.originalName = m_currentName;
        char temporary[64];
        std::snprintf(temporary, sizeof temporary, "_###_TMP_%05d_", static_cast<int>(i));
        record.temporaryName = temporary + record.originalName;
        record.newName = ComputeRenamedFileName(m_template, item, m_context, m_errorText);
        if (record.newName.empty())
            return false;
        m_context.sequence += 1;
    }
    return true;
}

void RenamePhotosThread::restore() {
    m_pProgressDlg->SetMessage(RenameText::kRestoring);
    const std::size_t count = m_records.size();
    for (std::size_t i = count; i-- > 0;) {
        RenameRecord& record = m_records[i];
        if (record.state != 2)
            continue;
        m_pProgressDlg->SetMessage("Restoring " + record.originalName);
        m_pProgressDlg->SetPercent(static_cast<unsigned>(50 + i * 50 / count));
        if (m_items[i]->Rename(stemOf(record.temporaryName), extensionOf(record.originalName)))
            record.state = 1;
        else
            LUMO_LOG("RenamePhotosThread: could not put '%s' back under '%s'", m_items[i]->FullPath().c_str(),
                     record.temporaryName.c_str());
    }
    for (std::size_t i = count; i-- > 0;) {
        RenameRecord& record = m_records[i];
        if (record.state != 1)
            continue;
        m_pProgressDlg->SetPercent(static_cast<unsigned>(i * 50 / count));
        if (m_items[i]->Rename(stemOf(record.originalName), extensionOf(record.originalName)))
            record.state = 0;
        else
            LUMO_LOG("RenamePhotosThread: could not put '%s' back under '%s'", m_items[i]->FullPath().c_str(),
                     record.originalName.c_str());
    }
    if (std::all_of(m_records.begin(), m_records.end(), [](const RenameRecord& r) { return r.state == 0; }))
        removeJournals();
}

void RenamePhotosThread::giveBackSequence() {
    // Only while every photo is back under its original name: a name made with a number keeps it.
    if (m_reservation &&
        std::all_of(m_records.begin(), m_records.end(), [](const RenameRecord& r) { return r.state == 0; }))
        ReleaseUnusedSequenceNumbers(*m_reservation, 0);
    m_reservation.reset();
}

void RenamePhotosThread::operator()() {
    ProgressDialogInterface& progress = *m_pProgressDlg;
    try {
        progress.SetMessage(RenameText::kPreparing);
        const std::size_t count = m_items.size();
        m_records.assign(count, RenameRecord{});
        m_owned.assign(count, {});
        const SequenceSetting shared = CurrentSequence(SequenceKind::Sequence);
        m_context.sequence = shared.next;
        m_context.sequenceDigits = shared.digits;
        m_context.total = static_cast<std::uint32_t>(count);

        // Whatever an earlier, interrupted rename left in these folders is put back first. A journal that
        // stays (a file could not be put back, or another rename runs there) is never overwritten.
        bool journalStays = false;
        for (const auto& item : m_items) {
            const std::string folder = folderOf(item->FullPath());
            RecoverInterruptedRename(folder);
            if (!journalStays && lumo::fileExists(folder + kRenameJournalName)) {
                journalStays = true;
                m_errorText = "The folder '" + folder +
                              "' holds the journal of another rename that is still running or could not be "
                              "undone (lumo rename --recover).";
            }
        }

        if (journalStays || !prepare()) {
            if (progress.IsCancelled()) {
                progress.SetStatus(ProgressDialogInterface::kStatusCancelled);
            } else {
                std::string text = "Unable to rename, because an error occurred while preparing to rename " +
                                   currentNameText();
                if (!m_errorText.empty())
                    text += "\n\n" + m_errorText + "\n";
                show(RenameText::kErrorHeading, text + RenameText::kCancelledKeep);
                progress.SetStatus(ProgressDialogInterface::kStatusError);
            }
            progress.SetFinished(true);
            return;
        }

        // More than eight photos reaching one name cannot all be told apart.
        std::map<std::string, int> targets;
        for (std::size_t i = 0; i < count; ++i)
            if (++targets[folderOf(m_records[i].originalPath) + m_records[i].newName] > 8) {
                m_currentName = m_records[i].newName;
                show(RenameText::kErrorHeading,
                     "Unable to rename, because many photos are being renamed to the exact same name, " +
                         m_currentName +
                         ".  Please try using a sequence, or choose different renaming variables so that "
                         "unique "
                         "names can be generated for all photos when renaming." +
                         RenameText::kCancelledKeep);
                progress.SetStatus(ProgressDialogInterface::kStatusError);
                progress.SetFinished(true);
                return;
            }

        progress.SetMessage(RenameText::kRenaming);
        if (RenameTemplateUsesSequence(m_template)) {
            m_reservation = ReserveSequenceNumbers(SequenceKind::Sequence, static_cast<std::int64_t>(count));
            if (const auto preferences = CPreferences::instance())
                preferences->save();
            // Another operation took numbers since the names were made: they are made again with ours.
            if (m_reservation->first != shared.next) {
                m_context.sequence = m_reservation->first;
                m_context.sequenceDigits = m_reservation->digits;
                if (!prepare()) {
                    giveBackSequence();
                    show(RenameText::kErrorHeading,
                         "Unable to rename, because an error occurred while preparing to rename " +
                             currentNameText() + "\n\n" + m_errorText + "\n" + RenameText::kCancelledKeep);
                    progress.SetStatus(progress.IsCancelled() ? ProgressDialogInterface::kStatusCancelled
                                                              : ProgressDialogInterface::kStatusError);
                    progress.SetFinished(true);
                    return;
                }
            }
        }

        bool failed = false;
        for (std::size_t i = 0; i < count; ++i)
            m_owned[i] = DocumentItemOwnedFiles(*m_items[i]);
        if (!writeJournals(false)) {
            removeJournals();
            giveBackSequence();
            show(RenameText::kErrorHeading,
                 "Unable to rename, because an error occurred while preparing to rename " +
                     std::string("photos.") + "\n\n" + m_errorText + "\n" + RenameText::kCancelledKeep);
            progress.SetStatus(ProgressDialogInterface::kStatusError);
            progress.SetFinished(true);
            return;
        }

        // Pass 1: every photo to its temporary name.
        for (std::size_t i = 0; i < count && !failed; ++i) {
            RenameRecord& record = m_records[i];
            if (record.state != 0)
                continue;
            progress.SetPercent(static_cast<unsigned>(i * 50 / count));
            if (progress.IsCancelled()) {
                failed = true;
                break;
            }
            progress.SetMessage("Preparing " + record.originalName + " for rename");
            m_currentName = record.originalName;
            if (!renameItem(*m_items[i], stemOf(record.temporaryName), extensionOf(record.originalName))) {
                failed = true;
                break;
            }
            m_oldPaths.insert(m_oldPaths.end(), m_owned[i].begin(), m_owned[i].end());
            record.state = 1;
        }

        // The names free on disk now that every photo is out of the way, each leaving its companions'
        // names free too; the journal learns them before any photo takes one.
        if (!failed) {
            m_resolved.assign(count, {});
            std::vector<std::string> claimed;
            const int style = RenameResolutionStyleFromPreferences();
            for (std::size_t i = 0; i < count && !failed; ++i) {
                const RenameRecord& record = m_records[i];
                std::string name = record.newName;
                std::vector<std::string> extensions;
                for (const std::string& path : DocumentItemOwnedFiles(*m_items[i]))
                    if (const std::string extension = extensionOf(nameOf(path));
                        !extension.empty() && !equalNoCase(extension, extensionOf(name)))
                        extensions.push_back(extension);
                const std::string folder = folderOf(record.originalPath);
                if (record.newName != record.originalName &&
                    !MakeUniqueFileName(folder, name, claimed, extensions, false, style)) {
                    m_currentName = record.originalName;
                    failed = true;
                    break;
                }
                m_resolved[i] = name;
                claimed.push_back(folder + name);
                for (const std::string& extension : extensions)
                    claimed.push_back(folder + stemOf(name) + "." + extension);
            }
            if (!failed && !writeJournals(true))
                failed = true;
        }

        // Pass 2: every photo to its new name.
        for (std::size_t i = 0; i < count && !failed; ++i) {
            RenameRecord& record = m_records[i];
            if (record.state != 1)
                continue;
            progress.SetPercent(static_cast<unsigned>(50 + i * 50 / count));
            if (progress.IsCancelled()) {
                failed = true;
                break;
            }
            m_currentName = record.originalName;
            progress.SetMessage("Renaming " + record.originalName + " to " + record.newName);
            if (!renameItem(*m_items[i], stemOf(m_resolved[i]), extensionOf(m_resolved[i]))) {
                failed = true;
                break;
            }
            const std::vector<std::string> files = DocumentItemOwnedFiles(*m_items[i]);
            m_newPaths.insert(m_newPaths.end(), files.begin(), files.end());
            record.state = 2;
            pauseForTest(i + 1);
        }

        if (failed) {
            if (progress.IsCancelled()) {
                show(RenameText::kCancelHeading, RenameText::kCancelled);
            } else {
                show(RenameText::kErrorHeading,
                     "An error occurred while renaming " + currentNameText() + RenameText::kWillRestore);
                progress.SetStatus(ProgressDialogInterface::kStatusError);
            }
            restore();
            giveBackSequence();
            progress.SetFinished(true);
            return;
        }
        removeJournals();

        auto& catalog = DynPlatform::instance();
        if (catalog.isRunning() && m_oldPaths.size() == m_newPaths.size()) {
            std::vector<std::pair<std::string, std::string>> pairs;
            for (std::size_t i = 0; i < m_oldPaths.size(); ++i)
                pairs.emplace_back(m_oldPaths[i], m_newPaths[i]);
            catalog.document_rename_batch(pairs);
        }
        progress.SetPercent(100);
    } catch (...) {
        LUMO_LOG("%s (%s:%d)", RenameText::kUnexpected, __FILE__, __LINE__);
        progress.SetStatus(ProgressDialogInterface::kStatusException);
        // No photo is left under a temporary name.
        try {
            restore();
            giveBackSequence();
        } catch (...) {
            LUMO_LOG("%s (%s:%d)", RenameText::kUnexpected, __FILE__, __LINE__);
        }
    }
    progress.SetFinished(true);
}
