#pragma once

// Live ingest: watches source folders (a tethered camera's folder, say) and copies each new photo, as
// soon as it is complete, into one or more destinations, with the naming, metadata-template and folder
// rules of ingest. The watch loop (LiveIngestWatcher) decides when a file is new and complete; the task
// (LiveIngestCopyThread) copies it with its companion and attached files, verified, to every
// destination.

#include "archive/VObject.h"
#include "background/ProgressInfo.h"
#include "fileops/IngestTask.h"
#include "metadata/IPTCRec.h"
#include "variables/VariableSequence.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

struct VariableContext;

namespace LiveIngestText {
inline constexpr char kMissingDestSpecs[] = "LiveIngestCopyThread::ingest_file: missing dest specs";
inline constexpr char kNoCompanionType[] = "LiveIngestCopyThread::ingest_file: couldn't get filetype for raw "
                                           "companion";
inline constexpr char kNoPrimaryType[] =
    "LiveIngestCopyThread::ingest_file: have companion, but can't get filetype for primary";
inline constexpr char kCreateFolderFailed[] = "Failed to create destination directory: ";
inline constexpr char kCopiedLog[] = "LIVEINGEST: OK, Copied '%s'";
inline constexpr char kFailedLog[] = "LIVEINGEST: FAILED, Copying '%s' to '%s'";
inline constexpr char kErrorCopying[] = "Error copying: ";
inline constexpr char kErrorCopyingTo[] = " to: ";
inline constexpr char kErrorCopyingEnd[] = " or one of its attached files.";
inline constexpr char kErrorDeleting[] = "Error deleting: ";
inline constexpr char kLoopException[] = "LiveIngestCopyThread: caught RubyException: %s";
inline constexpr char kUnknownException[] = "LiveIngestCopyThread caught unknown exception";
inline constexpr char kCopyException[] =
    "LiveIngestCopyThread::copy_file: caught exception during file copy.";
inline constexpr char kWatching[] = "Live Ingest: watching for new photos...";
} // namespace LiveIngestText

// The keys of the specification record and of its destination records.
namespace LiveIngestKey {
inline constexpr char kSourcePaths[] = "source_paths";
inline constexpr char kDestSpecs[] = "dest_specs";
inline constexpr char kDoingRename[] = "doing_rename";
inline constexpr char kRenameString[] = "rename_string";
inline constexpr char kApplyingStationeryPad[] = "applying_stationery_pad";
inline constexpr char kAutoCatalog[] = "auto_catalog";
inline constexpr char kDestPathRoot[] = "dest_path_root";
inline constexpr char kUsingDatedFolder[] = "using_dated_folder";
inline constexpr char kUsingFolderName[] = "using_folder_name";
inline constexpr char kFolderName[] = "folder_name";
inline constexpr char kSrcDirMode[] = "src_dir_mode";
inline constexpr char kOpenContactSheets[] = "open_contact_sheets";
} // namespace LiveIngestKey

struct LiveIngestDestSpec {
    std::string m_destPathRoot;
    bool m_usingDatedFolder = false;
    bool m_usingFolderName = false;
    std::string m_folderName;                   // template of the dated folder / folder with name
    int m_srcDirMode = kIngestIgnoreSourceDirs; // IngestSourceDirMode
    bool m_openContactSheets = false;
};

struct LiveIngestSpec {
    std::vector<std::string> m_sourcePaths;
    std::vector<LiveIngestDestSpec> m_destSpecs;
    bool m_doingRename = false;
    std::string m_renameString;
    bool m_applyingStationeryPad = false;
    bool m_autoCatalog = false;

    // The keyed record; FromVObject keeps the defaults of missing or mistyped entries and is false
    // for a value that is no record.
    CILA::VObject ToVObject() const;
    static bool FromVObject(const CILA::VObject& record, LiveIngestSpec& spec);

    // The settings ("Live Ingest:Settings") and the named snapshots ("Live Ingest:Snapshot:" + name);
    // false when the preferences are not open or hold no such record.
    bool SaveSettings() const;
    bool LoadSettings();
    bool SaveSnapshot(const std::string& name) const;
    bool LoadSnapshot(const std::string& name);
};

// Watches folders, recursively (folders made later are watched too), and reports each new file once it
// is complete: closed after writing (or moved in) and its size unchanged for kSettleTime, and for a JPEG
// ending with its EOI marker. A raw file and its JPEG/HEIF partner (same folder and base name) are
// reported together: a complete one waits up to kPartnerWait for a partner that is not complete yet,
// and kPartnerLateWait when no partner has shown up at all. Files present when the watch starts are not
// new. Items matching the ingest bad-file or bad-folder patterns are ignored, as are the folders in
// `excluded` (the destinations, when they lie below a source).
class LiveIngestWatcher {
public:
    static constexpr std::chrono::milliseconds kSettleTime{150};
    static constexpr std::chrono::milliseconds kPartnerWait{3000};
    static constexpr std::chrono::milliseconds kPartnerLateWait{250};
    static constexpr std::chrono::milliseconds kTick{25};

    // Told the files of one photo, its main file first (the raw file of a pair). A photo is offered once
    // for each content its files had (a file written again is offered again).
    using Handler = std::function<void(const std::vector<std::string>& files)>;

    LiveIngestWatcher(std::vector<std::string> sources, std::vector<std::string> excluded = {});
    ~LiveIngestWatcher();
    LiveIngestWatcher(const LiveIngestWatcher&) = delete;
    LiveIngestWatcher& operator=(const LiveIngestWatcher&) = delete;

    // Starts watching; false (the reason in `error`) when the system refused it.
    bool Start(std::string& error);
    // Waits up to `timeout` for events and hands every photo that became complete to `handler`.
    void Poll(std::chrono::milliseconds timeout, const Handler& handler);
    // Folders watched now.
    std::size_t WatchedFolders() const { return m_folders.size(); }

private:
    using Clock = std::chrono::steady_clock;
    struct Pending {
        bool closed = false;       // closed after writing (or moved in) since the last change
        Clock::time_point changed; // last write, close or move seen
        std::uint64_t size = 0;    // at the last close
        std::int64_t mtime = 0;
        std::optional<Clock::time_point> completeSince; // ready, waiting for a partner
    };

    void watchTree(const std::string& folder, bool filesAreNew);
    void addWatch(const std::string& folder);
    void readEvents();
    bool ready(const std::string& path, Pending& pending, Clock::time_point now);
    bool excluded(const std::string& path) const;

    std::vector<std::string> m_sources;
    std::vector<std::string> m_excluded;
    int m_fd = -1;
    std::map<int, std::string> m_folders; // watch descriptor -> folder
    std::map<std::string, Pending> m_pending;
    std::set<std::string> m_existing; // there at the start and not written since
    // Files handed over, with the size and time they had then: a file is offered once per content.
    std::map<std::string, std::pair<std::uint64_t, std::int64_t>> m_done;
};

// The live ingest task: its own thread runs the watch loop until cancelled and copies each photo.
class LiveIngestCopyThread : public CProgressInfo {
public:
    // What one photo came to.
    struct PhotoResult {
        std::vector<std::string> sources;      // main file first
        std::vector<std::string> destinations; // the main file's copies
        std::string error;                     // empty when every copy succeeded
        std::chrono::steady_clock::time_point offered;
    };

    LiveIngestCopyThread(LiveIngestSpec spec, ProgressDialogInterface* progress,
                         std::optional<IPTCRec> stationery = std::nullopt);
    ~LiveIngestCopyThread() override;

    // Told each photo on the task's thread once its copies are done.
    std::function<void(const PhotoResult&)> m_onIngested;
    // With "auto_catalog": told the copies of each photo to add to the catalog.
    std::function<void(const std::vector<std::string>& copies)> m_addToCatalog;
    // With a destination's "open_contact_sheets": told each destination folder once, when it is first
    // written to (the front end opens or refreshes its contact sheet).
    std::function<void(const std::string& folder)> m_openFolder;
    // Remove the source photo (with its attached files) once every copy succeeded.
    bool m_removeSources = false;
    // Copies verified by reading them back (the default).
    bool m_verify = true;

    // Copies one photo (the file at `path`, with `companion` when it is one of a raw+JPEG pair) to
    // every destination. False when a copy failed (the reason in `result.error`).
    bool ingest_file(const std::string& path, const std::string& companion, PhotoResult& result);
    // The destination folder of `path` for one destination record, expanded but not made.
    std::string get_dest_folder_expanded(const LiveIngestDestSpec& dest, const std::string& path,
                                         const VariableContext& context) const;
    // Deletes every file of a photo, each tried up to 10 times 100 ms apart (write permission given
    // first); false with "Error deleting: " + path for the first that stays.
    static bool remove_source_photo(const std::vector<std::string>& files, std::string& error);
    // Whether the JPEG file at `path` ends with its EOI marker.
    static bool jpeg_file_is_complete(const std::string& path);
    static bool file_is_raw_type(const std::string& path);
    // Whether the rename template or the metadata template uses the running sequence number.
    bool using_sequence() const;
    // Whether a live ingest task that uses the running sequence number is running in this process
    // (ingest tasks ask before they allocate numbers).
    static bool active_live_ingest_using_sequence();

    // Why the watch could not start (empty when it did).
    const std::string& StartError() const { return m_startError; }
    // Whether the watch has started (the task copies what arrives from then on).
    bool Watching() const { return m_watching.load(); }

protected:
    void operator()() override;
    const char* ThreadName() const override { return "LiveIngest"; }

private:
    void Run();
    bool copyToDestination(const LiveIngestDestSpec& dest, const std::string& path,
                           const std::string& companion, VariableContext& context, PhotoResult& result);

    LiveIngestSpec m_spec;
    std::optional<IPTCRec> m_stationery;
    bool m_usesSequence = false;
    SequenceSetting m_ingestSequence;
    std::string m_startError;
    std::atomic<bool> m_watching{false};
    std::set<std::string> m_openedFolders;
};
