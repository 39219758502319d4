#pragma once

// What an ingest is asked to do: the settings the ingest dialog keeps (their keys, values and texts),
// one task's specification and running state, the list of files it copies, the destination folder of
// each photo, and the checks made before an ingest may start. Live ingest names its folders by the same
// rules.

#include "db/PreferenceKeys.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

struct VariableContext;

// -- the settings keys (the preferences' names)

inline constexpr auto& kIngestDisksKey = kPrefIngestDisks;
inline constexpr auto& kIngestFoldersKey = kPrefIngestFolders;
inline constexpr auto& kIngestUserFoldersKey = kPrefIngestUserFolders;
inline constexpr auto& kIngestSelectionKey = kPrefIngestSelection;
inline constexpr auto& kIngestPrimaryDestPathKey = kPrefIngestPrimaryDestPath;
inline constexpr auto& kIngestSecondaryDestPathEnabledKey = kPrefIngestSecondaryDestPathEnabled;
inline constexpr auto& kIngestSecondaryDestPathKey = kPrefIngestSecondaryDestPath;
inline constexpr auto& kIngestCopyPhotosKey = kPrefIngestCopyPhotos;
inline constexpr auto& kIngestDestFolderNameStringKey = kPrefIngestDestFolderNameString;
inline constexpr auto& kIngestAutoIncSuffixKey = kPrefIngestAutoIncSuffix;
inline constexpr auto& kIngestAutoIncSuffixNameKey = kPrefIngestAutoIncSuffixName;
inline constexpr auto& kIngestMergeDisksCheckKey = kPrefIngestMergeDisksCheck;
inline constexpr auto& kIngestSourceDirStructureKey = kPrefIngestSourceDirStructure;
inline constexpr auto& kIngestFilterLockedKey = kPrefIngestFilterLocked;
inline constexpr auto& kIngestFilterRawKey = kPrefIngestFilterRaw;
inline constexpr auto& kIngestIncrementalKey = kPrefIngestIncremental;
inline constexpr auto& kIngestRenameCheckKey = kPrefIngestRenameCheck;
inline constexpr auto& kIngestRenameEditKey = kPrefIngestRenameEdit;
inline constexpr auto& kIngestUseSeqnCheckKey = kPrefIngestUseSeqnCheck;
inline constexpr auto& kIngestApplyIPTCStationeryPadKey = kPrefIngestApplyIPTCStationeryPad;
inline constexpr auto& kIngestIPTCStationeryPadDataKey = kPrefIngestIPTCStationeryPadData;
inline constexpr auto& kIngestIPTCUseLocalKey = kPrefIngestIPTCUseLocal;
inline constexpr auto& kIngestIPTCUseGlobalKey = kPrefIngestIPTCUseGlobal;
inline constexpr auto& kIngestUnmountDisksKey = kPrefIngestUnmountDisks;
inline constexpr auto& kIngestReformatDisksKey = kPrefIngestReformatDisks;
inline constexpr auto& kIngestOpenContactSheetsComboKey = kPrefIngestOpenContactSheetsCombo;
inline constexpr auto& kIngestOpenContactSheetsInBackgroundKey = kPrefIngestOpenContactSheetsInBackground;
inline constexpr auto& kIngestAutoIngestCheckKey = kPrefIngestAutoIngestCheck;
inline constexpr auto& kIngestAutoCatalogCheckKey = kPrefIngestAutoCatalogCheck;
inline constexpr auto& kIngestSettingsSnapshot = kPrefIngestSettings;
inline constexpr char kIngestSerializedStateKey[] = "SerializedState";
inline constexpr char kIngestSnapshotStationeryKey[] = "IPTCStationeryPadData";
inline constexpr auto& kIngestDialogSettingsKey = kPrefIngestDialogSettings;

// "IngestCopyPhotos": the folder layout under each destination.
enum IngestFolderLayout : int {
    kIngestDirect = 0,           // "directly into primary and secondary folder(s)"
    kIngestDatedFolder = 1,      // "into dated folder only"
    kIngestNamedFolder = 2,      // "into folder with name"
    kIngestDatedNamedFolder = 3, // "into dated folder then folder with name"
};
// "IngestSourceDirStructure"
enum IngestSourceDirMode : int {
    kIngestIgnoreSourceDirs = 0,   // "ignore - copy all photos into same destination"
    kIngestKeepSourceDirNames = 1, // "keep separate source folder names only"
    kIngestPreserveSourceDirs = 2, // "preserve all source directories"
};
// "IngestOpenContactSheetsCombo"
enum IngestOpenSheets : int { kIngestOpenDuring = 0, kIngestOpenAfter = 1, kIngestOpenNever = 2 };

// The texts of the choices above; empty outside their range.
const char* IngestFolderLayoutText(int value);
const char* IngestSourceDirModeText(int value);
const char* IngestLockFilterText(int value);
const char* IngestRawFilterText(int value);
const char* IngestOpenSheetsText(int value);

inline constexpr char kIngestAutoIncSuffixNameUnset[] = "(undefined)";
// The dated folder of the "dated folder then folder with name" layout (the other layouts take the
// folder-name template), and the folder-name template when none was given.
inline constexpr char kIngestDatedFolderTemplate[] = "{datesortdash}";

namespace IngestText {
inline constexpr char kNoSourceDisks[] =
    "No source disks selected.  Please select one or more source disks from which to copy photos.";
inline constexpr char kNoSourceFolders[] =
    "No source folders selected.  Please select one or more folders from which to copy photos.";
inline constexpr char kNoPrimary[] =
    "Primary Destination folder not set.  Please choose the Primary Destination "
    "folder into which to copy photos.";
inline constexpr char kNoSecondary[] =
    "Secondary Destination folder checked but not set. Please choose the Secondary Destination folder into "
    "which to copy photos, or uncheck the option if the Secondary Destination is not desired.";
inline constexpr char kSameDestinations[] =
    "Primary and Secondary Destination folders are the same. This will result in duplicated files.  Please "
    "choose a different Secondary Destination folder, or uncheck the option if the Secondary Destination is "
    "not desired.";
inline constexpr char kSeveralSources[] =
    "When ingesting more than one %s, you must either choose to merge the %s into the same destination, or "
    "choose to copy into folder with name and auto increment the destination folder suffix.";
inline constexpr char kTemplateNotLoadable[] =
    "Apply Metadata (IPTC) Template is checked, but the stationery pad data could not be loaded, or has not "
    "been created yet.  Please use the Metadata (IPTC) Template button to create or edit your stationery pad "
    "settings.";
inline constexpr char kTemplateNothingTicked[] =
    "Apply Metadata (IPTC) Template is checked, but no fields in the stationery pad are checked to be "
    "applied.  Please check the checkboxes for fields in the stationery pad you wish to apply, or uncheck "
    "Apply Metadata (IPTC) Template.";
inline constexpr char kRenameSameName[] =
    "Rename ingested photos is checked, but the supplied rename string would cause all photos to be given "
    "the exact same name. Please use a sequence or other renaming variable so that photos can be given "
    "unique names when ingested.";
inline constexpr char kAutoIngestQuestion[] =
    "Turning on Auto Ingest will also turn on the preference for automatically opening\nthe Ingest dialog "
    "when a camera card is mounted. Continue?";
inline constexpr char kSelectionTitle[] = "Ingesting selected items from frontmost Contact Sheet";
inline constexpr char kMergeDisks[] = "Merge Disks into Same Destination";
inline constexpr char kMergeFolders[] = "Merge Folders into Same Destination";
} // namespace IngestText

struct IPTCRec;
struct IngestTaskSpec;
// The template an ingest applies: its own (a template file) when it uses the local one, else the
// current one. False when it cannot be loaded.
bool LoadIngestStationery(const IngestTaskSpec& spec, IPTCRec& stationery);

// -- one ingest

struct IngestTaskSpec {
    // Where the photos come from: volumes ("IngestDisks") or the user's folders ("IngestFolders"), each
    // a path; or the items of a contact sheet (m_fromSelection, their paths in m_sourcePaths).
    bool m_fromDisks = false;
    bool m_fromSelection = false;
    std::vector<std::string> m_sourcePaths;

    std::string m_primaryDestPath;
    bool m_secondaryEnabled = false;
    std::string m_secondaryDestPath;

    int m_copyPhotos = kIngestDirect;
    std::string m_destFolderNameString;
    bool m_autoIncSuffix = false;
    std::string m_autoIncSuffixName = kIngestAutoIncSuffixNameUnset;
    bool m_mergeSources = false;
    int m_sourceDirStructure = kIngestIgnoreSourceDirs;
    int m_filterLocked = 0; // "IngestFilterLocked" (IngestLockFilter of IngestFilters.h)
    int m_filterRaw = 0;    // "IngestFilterRaw" (IngestRawFilter)
    bool m_incremental = false;

    bool m_rename = false;
    std::string m_renameString;
    bool m_useSeqn = false;

    bool m_applyStationery = false;
    std::string m_stationeryData; // the ingest's own template: the path of its template file
    bool m_useLocalStationery = false;
    bool m_useGlobalStationery = true;

    bool m_unmount = false;
    bool m_erase = false;
    int m_openContactSheets = kIngestOpenNever;
    bool m_openInBackground = false;
    bool m_autoIngest = false;
    bool m_autoCatalog = false;

    // Every copy read back and compared with its source before it takes its name.
    bool m_verify = true;

    // The destination folders in use: the primary, and the secondary when enabled.
    std::vector<std::string> Destinations() const;

    // From the preferences (the defaults above where a key is unset), and back.
    static IngestTaskSpec FromPreferences();
    bool SaveToPreferences() const;
};

// One file (or special folder) to copy.
struct FileCopySpec {
    std::string m_sourcePath;
    std::string m_sourceVolume; // the source root the file was found under
    std::string m_relativePath; // the file's folder below the source root, as the structure mode keeps it
    std::vector<std::string> m_attachedFiles; // sidecar and sound files that travel with it
    std::vector<std::string> m_destFolders;   // per destination, filled when the file is copied
    std::string m_finalName;                  // the copy's name, filled when copied
    std::uint64_t m_size = 0;
    std::int64_t m_mtime = 0;
    bool m_specialFolder = false; // a video structure copied whole
    bool m_attached = false;      // travels with another file of the list
};

// A task's running state.
struct IngestTaskInfo {
    IngestTaskSpec m_spec;
    std::int64_t m_sequence = 0; // the next {sequence} of this task
    int m_sequenceDigits = 0;
    std::uint64_t m_ingestSequence = 0; // this task's {iseq}
    int m_ingestSequenceDigits = 0;
    std::map<std::string, std::size_t> m_remainingFiles; // per source volume
    std::set<std::string> m_destinationPaths;            // every folder written to
    std::map<std::string, bool> m_volumeErrors;          // per source volume
};

// -- destination folders

// A folder name made from an expanded template: the characters a file system refuses become "-", "\"
// (and "/") separate folders, white space around a separator goes, a run of separators becomes one, and
// no leading or trailing separator, "." or ".." part is left.
std::string CleanIngestFolderName(const std::string& expanded);

// The folder layout of one destination (ingest's settings, or a live ingest destination record).
struct IngestFolderRule {
    std::string m_root;
    bool m_usingDatedFolder = false;
    bool m_usingFolderName = false;
    std::string m_folderName; // template
    int m_sourceDirMode = kIngestIgnoreSourceDirs;
    std::string m_autoIncSuffix; // appended to the folder with name (empty: none)

    static IngestFolderRule FromSpec(const IngestTaskSpec& spec, const std::string& root);
};

// The destination folder of a photo: the root, the dated folder and/or folder with name (expanded for
// the photo of `context`, cleaned), then the photo's source folder as the mode keeps it: nothing, the
// last folder of `relativeDir`, or all of it. Not created.
std::string IngestDestinationFolder(const IngestFolderRule& rule, const VariableContext& context,
                                    const std::string& relativeDir);

// The first free auto-increment suffix for the folder with name under `root`: "-1", "-2" ... such that
// no folder of that name exists and none is in `taken` (suffixes given to other sources of the task).
std::string NextAutoIncSuffix(const IngestFolderRule& rule, const VariableContext& context,
                              const std::set<std::string>& taken);

// -- checks before an ingest starts

class IngestValidator {
public:
    // Empty when the ingest may start, otherwise the first refusal's message.
    static std::string Validate(const IngestTaskSpec& spec);
    // Whether the naming template gives every photo the same name.
    static bool RenameGivesSameName(const std::string& renameString);
};

// -- sequence numbers shared by ingest tasks and live ingest

// Serialises sequence allocation between tasks: one task at a time holds it while it counts and reserves
// its numbers.
class IngestSequenceAllocation {
public:
    IngestSequenceAllocation();
    ~IngestSequenceAllocation();
    IngestSequenceAllocation(const IngestSequenceAllocation&) = delete;
    IngestSequenceAllocation& operator=(const IngestSequenceAllocation&) = delete;
    // Whether any task holds it now.
    static bool InProgress();

private:
    std::unique_lock<std::mutex> m_lock;
};

// "active_live_ingest_using_sequence?": a live ingest task that names its copies with the sequence sets
// this while it runs; ingest tasks ask it before reserving numbers.
void SetLiveIngestUsingSequence(bool using_);
bool ActiveLiveIngestUsingSequence();
