#pragma once

// One ingest task: scans its sources (folders, or camera cards' DCIM trees), leaves out what an earlier
// ingest copied, asks when a destination lacks the space, takes its sequence numbers (one task at a
// time), and copies each photo with its attached files to the primary and then the secondary
// destination, named and filled in by the templates and verified on the way. A camera card is erased
// or unmounted afterwards only when everything on it arrived verified in every destination. Runs on its
// own thread behind a progress window; several tasks may run at once.

#include "background/ProgressInfo.h"
#include "fileops/IngestTask.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class VolumeManager;

namespace IngestCopyText {
inline constexpr char kTitle[] = "Ingest";
inline constexpr char kScanning[] = "Scanning source paths...";
inline constexpr char kPreparing[] = "Preparing to Ingest";
inline constexpr char kScanningSequence[] = "Scanning to determine {seqn} numbering...";
inline constexpr char kNotEnoughSpace[] = "There is not enough space on volume \"%s\" to copy the requested "
                                          "files. %s is needed, and %s is available. Proceed anyway?";
inline constexpr char kGeocodingFailed[] =
    "The Metadata (IPTC) Template being applied during the Ingest operation\nrequests Reverse Geocoding but "
    "it has failed.  Continue without\nReverse Geocoding?";
inline constexpr char kSkipAttached[] = "Skipping attached file \"%s\" because it will be copied along with "
                                        "another file";
inline constexpr char kSkipIncremental[] =
    "Skipping file \"%s\" because it was previously copied (incremental)";
inline constexpr char kCopying[] = "Copying file \"%s\"";
inline constexpr char kCreateFolderFailed[] = "Failed to create destination directory: ";
inline constexpr char kCopyingSpecial[] = "Copying special folder \"%s\" to primary \"%s\"";
inline constexpr char kCopyingSpecialSecondary[] = "Copying special folder \"%s\" to secondary \"%s\"";
inline constexpr char kCopyFailure[] = "IngestCopyThread::copyAllFiles() copy failure: '%s'";
inline constexpr char kNotErasingErrors[] = "Warning: Not erasing volume \"%s\", because there were errors.";
inline constexpr char kNotErasingIncompatible[] = "Warning: Not erasing volume \"%s\", because it is from a "
                                                  "camera that is incompatible with having its files erased.";
inline constexpr char kNotErasingSystemFiles[] = "Warning: Not erasing volume \"%s\", because it contains "
                                                 "system files or is not a removable volume.";
// Beyond the three above: copies not verified, or files on the card that were not copied (photos the
// lock or raw filter left out, files of unknown types).
inline constexpr char kNotErasingUnverified[] =
    "Warning: Not erasing volume \"%s\", because not every file on it was verified in every destination.";
inline constexpr char kNotErasingFiltered[] =
    "Warning: Not erasing volume \"%s\", because files on it were not copied.";
inline constexpr char kErased[] = "Volume \"%s\" was erased successfully.";
inline constexpr char kEraseFailed[] = "Warning: One or more files on volume \"%s\" could not be erased.";
inline constexpr char kUnmountFailed[] = "Unable to unmount selected volume(s).";
inline constexpr char kComplete[] = "Ingest complete.";
inline constexpr char kCancelled[] = "Ingest was cancelled";
inline constexpr char kTaskCompleted[] = "Attention: an Ingest task just completed.";
inline constexpr char kAllTasksComplete[] = "Attention: all Ingest tasks are complete.";
} // namespace IngestCopyText

class IngestCopyThread : public CProgressInfo {
public:
    IngestCopyThread(IngestTaskSpec spec, ProgressDialogInterface* progress);
    ~IngestCopyThread() override;

    // -- set before Start()
    // Looks up the places of the photos' GPS positions for the template; false when it failed (the user
    // is then asked whether to go on without). Without one set, the installed geocoder is used.
    std::function<bool(const std::vector<std::string>& photos)> m_reverseGeocode;
    // Opens (or refreshes) a destination folder as a contact sheet.
    std::function<void(const std::string& folder)> m_openFolder;
    // The free bytes of the volume holding `folder` (statvfs when not set).
    std::function<std::uint64_t(const std::string& folder)> m_freeSpace;
    // The volumes (the installed manager when null).
    VolumeManager* m_volumes = nullptr;
    // Where the incremental records live (the cache folder when empty) and the report goes (the log
    // folder when empty).
    std::string m_cacheFolder;
    std::string m_reportFolder;
    // Called after each photo (with its source path) once its copies are done: tests stop a run here.
    std::function<void(const std::string& source)> m_afterPhoto;

    // -- after the run
    enum class Outcome { Copied, Arrived, SkippedIncremental, SkippedAttached, Failed };
    struct FileResult {
        std::string source;
        std::vector<std::string> destinations; // full paths of the copies
        std::uint64_t size = 0;
        std::string digest;
        Outcome outcome = Outcome::Failed;
        bool verified = false;
        std::string error;
    };
    const std::vector<FileResult>& Results() const { return m_results; }
    // The warnings and notes for the user, in order (erase and unmount results, read-only volumes,
    // incremental record errors, the completion text).
    const std::vector<std::string>& Messages() const { return m_messages; }
    const IngestTaskInfo& Info() const { return m_info; }
    const std::string& ReportPath() const { return m_reportPath; }
    // Photos handled so far (for a progress count) and the number to handle.
    std::uint64_t PhotosDone() const { return m_done.load(); }
    std::uint64_t PhotosTotal() const { return m_total.load(); }

    // Ingest tasks running in the process now.
    static int RunningTasks();

protected:
    void operator()() override;
    const char* ThreadName() const override { return "IngestCopy"; }

private:
    struct Source;
    void Run();
    void Note(const std::string& message);

    IngestTaskInfo m_info;
    std::vector<FileResult> m_results;
    std::vector<std::string> m_messages;
    std::string m_reportPath;
    std::atomic<std::uint64_t> m_done{0};
    std::atomic<std::uint64_t> m_total{0};
};
