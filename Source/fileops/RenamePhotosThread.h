#pragma once

// Renaming the selected photos of a contact sheet from one naming template, all or nothing: every photo
// first goes to a temporary name, then to its new name; a failure or a cancel puts every photo back
// under its original name. A journal beside the photos (old and temporary names, then the new ones)
// lets a rename cut short by a kill or a power loss be rolled back at the next start.

#include "background/ProgressInfo.h"
#include "contactsheet/DocumentItem.h"
#include "fileops/RenameJournal.h"
#include "variables/VariableExpander.h"
#include "variables/VariableSequence.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace RenameText {
inline constexpr char kPreparing[] = "Preparing to Rename...";
inline constexpr char kRenaming[] = "Renaming selected Photos...";
inline constexpr char kRestoring[] = "Restoring original filenames...";
inline constexpr char kNoImageInfo[] = "Error: Could not get image information.";
inline constexpr char kEmptyName[] = "Error: Renamed file name is empty.";
inline constexpr char kErrorHeading[] = "Renaming error:";
inline constexpr char kCancelHeading[] = "Rename Photos:";
inline constexpr char kCancelled[] = "Operation cancelled.  The original filenames will be restored.";
inline constexpr char kCancelledKeep[] =
    "\nThe operation will be cancelled, with all photos retaining their original filenames.";
inline constexpr char kWillRestore[] =
    "\nThe operation will be cancelled, and the original filenames will be restored.";
inline constexpr char kUnexpected[] = "Unexpected exception in RenamePhotosThread::operator()";
} // namespace RenameText

// One photo of a rename.
struct RenameRecord {
    std::uint32_t state = 0;  // 0 original name, 1 temporary name, 2 new name
    std::string originalPath; // the main file
    std::string originalName;
    std::string temporaryName; // "_###_TMP_%05d_%s"
    std::string newName;       // with its extension
};

// The new file name of `item` from `namingTemplate` (expanded with `context`), with the extension of the
// item's file in the case "UseUppercaseExtensions" asks for, illegal characters replaced and the ends
// trimmed. Empty, with `error` set, when the item has no image information or the name comes out empty.
// `forExample`: the always-append resolution styles show their first number.
std::string ComputeRenamedFileName(const std::string& namingTemplate, DocumentItem& item,
                                   VariableContext& context, std::string& error, bool forExample = false);

// Whether a template uses the running sequence number ({sequence}, {seqn}, {auto}).
bool RenameTemplateUsesSequence(const std::string& namingTemplate);

class RenamePhotosThread : public CProgressInfo {
public:
    RenamePhotosThread(ProgressDialogInterface* progress, std::vector<DocumentItem::Ref> items,
                       std::string namingTemplate);
    ~RenamePhotosThread() override;

    const std::vector<RenameRecord>& Records() const { return m_records; }
    const std::vector<std::string>& OldPaths() const { return m_oldPaths; }
    const std::vector<std::string>& NewPaths() const { return m_newPaths; }
    // The message shown to the user last (heading, a line break, the text); empty when none.
    const std::string& ShownMessage() const { return m_shown; }

    // The body, run on the calling thread (Start() runs it on the operation's own thread).
    void Run() { operator()(); }

protected:
    void operator()() override;
    const char* ThreadName() const override { return "RenamePhotos"; }

private:
    bool prepare();
    bool renameItem(DocumentItem& item, const std::string& baseName, const std::string& extensionCaseOf);
    void show(const char* heading, const std::string& text);
    std::string currentNameText() const;
    void restore();
    bool writeJournals(bool withNewNames);
    void removeJournals();
    // The reserved numbers go back to the shared sequence when nothing was renamed.
    void giveBackSequence();

    std::vector<DocumentItem::Ref> m_items;
    std::string m_template;
    std::string m_currentName;
    VariableContext m_context;
    std::string m_errorText;
    std::vector<std::string> m_oldPaths, m_newPaths;
    std::vector<RenameRecord> m_records;
    std::vector<std::string> m_resolved;           // pass 2's resolved names, one per record
    std::vector<std::vector<std::string>> m_owned; // each photo's files before pass 1
    std::string m_shown;
    std::optional<SequenceReservation> m_reservation;
};
