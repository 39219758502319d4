#pragma once

// The journal of a rename: one file beside the photos of each folder a rename touches, written before
// the first photo moves and removed when every photo is under its new name or back under its original
// one. A rename cut short by a kill or a power loss leaves it behind; recovery puts every file back
// under its original name. The folders whose journals are live are also listed in a small index in the
// cache folder, so that start-up finds them wherever they are.
//
// The journal's text: the line "lumo rename journal 1", an optional owner line
//   O <TAB> process id <TAB> the process's start time (clock ticks after boot)
// and a line per photo
//   P <TAB> original stem <TAB> temporary stem <TAB> new stem (empty until pass 2) { <TAB> suffix }
// where each suffix is what follows the stem in the name of one file the photo owns (".NEF", ".xmp").
// Lines of another kind are skipped; a line whose names could leave the folder is refused.

#include <cstdint>
#include <string>
#include <vector>

class CLumoApp;

inline constexpr char kRenameJournalName[] = ".lumo-rename-journal";
// In the cache folder: the folders that hold a live journal, one a line.
inline constexpr char kRenameJournalIndexName[] = "LumoRenameJournals.txt";

struct RenameJournalEntry {
    std::string originalStem, temporaryStem, newStem;
    std::vector<std::string> suffixes;
    bool operator==(const RenameJournalEntry&) const = default;
};

// The process that writes a journal; a journal whose owner still runs is never recovered.
struct RenameJournalOwner {
    std::int64_t pid = 0; // 0: none recorded
    std::uint64_t startTime = 0;
    bool operator==(const RenameJournalOwner&) const = default;
};

struct RenameJournal {
    RenameJournalOwner owner;
    std::vector<RenameJournalEntry> entries;
};

// False when `text` is not a journal this program wrote (its first line differs).
bool ParseRenameJournal(const std::string& text, RenameJournal& out);
std::string RenameJournalText(const RenameJournal& journal);

RenameJournalOwner CurrentRenameJournalOwner();
// True while the process `owner` names runs (a process that has ended but not been reaped has not).
bool RenameJournalOwnerRuns(const RenameJournalOwner& owner);

// Puts back what an interrupted rename left in `folder`: every file under a temporary or a new name
// whose original name is free again takes its original name, then the journal goes (and leaves the
// index). A journal whose owner still runs is left alone (0). Returns the number of files put back, or
// -1 when a journal could not be read or a file stayed.
int RecoverInterruptedRename(const std::string& folder, std::string* report = nullptr);

// The index of live journals (nothing happens while the cache folder is unknown). Listing is
// idempotent; false when the index could not be written.
bool ListRenameJournalFolder(const std::string& folder);
void UnlistRenameJournalFolder(const std::string& folder);
std::vector<std::string> ListedRenameJournalFolders();

// Start-up: recovers every listed folder (each logged); a listed folder that is gone or holds no journal
// is dropped from the index. Returns the number of files put back.
int RecoverListedRenames();
// Adds that recovery to start-up ("Cleanup leftovers").
void addRenameRecoveryService(CLumoApp& app);
