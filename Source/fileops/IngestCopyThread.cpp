#include "fileops/IngestCopyThread.h"

#include "NRF/NRF.h"
#include "app/LumoLog.h"
#include "background/ErrorReporter.h"
#include "background/ProgressDialogInterface.h"
#include "db/Preferences.h"
#include "fileops/IncrementalIngest.h"
#include "fileops/IngestFilters.h"
#include "fileops/IngestReport.h"
#include "fileops/LumoCopyFile.h"
#include "fileops/VolumeManager.h"
#include "metadata/IPTCRec.h"
#include "metadata/MetadataTemplate.h"
#include "metadata/PhotoMetadata.h"
#include "support/NamedThread.h"
#include "variables/VariableExpander.h"
#include "variables/VariableSequence.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>

namespace fs = std::filesystem;

namespace {

std::atomic<int> g_runningTasks{0};
// Photos copied at once by one task.
constexpr std::size_t kIngestCopiers = 3;

__attribute__((format(printf, 1, 2))) std::string format(const char* text, ...) {
    char buffer[4096];
    va_list args;
    va_start(args, text);
    std::vsnprintf(buffer, sizeof buffer, text, args);
    va_end(args);
    return buffer;
}

std::string joinPath(const std::string& folder, const std::string& name) {
    if (name.empty())
        return folder;
    return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string fileNameOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string baseOf(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

std::string extensionOf(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? std::string() : name.substr(dot);
}

std::string withoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

bool mentionsIngestSequence(const std::string& text) {
    std::string lower = text;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower.find("{iseq") != std::string::npos || lower.find("{ingestseq") != std::string::npos;
}

bool usesSequence(const std::string& text) {
    return !text.empty() && ExpandVariables(text, VariableContext{}, kVariableFileName).usedSequence;
}

// "1.2 GB" and the like.
std::string byteText(std::uint64_t bytes) {
    const char* units[] = {"bytes", "KB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024.0 && unit < 4) {
        value /= 1024.0;
        ++unit;
    }
    char text[64];
    if (unit == 0)
        std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
    else
        std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

// The nearest folder of `path` that exists (the path itself when it does).
std::string existingAncestor(std::string path) {
    std::error_code ec;
    while (!path.empty() && !fs::exists(path, ec)) {
        const std::string parent = fs::path(path).parent_path().string();
        if (parent == path)
            break;
        path = parent;
    }
    return path.empty() ? std::string(".") : path;
}

std::uint64_t systemFreeSpace(const std::string& folder) {
    struct statvfs info {};
    if (::statvfs(existingAncestor(folder).c_str(), &info) != 0)
        return UINT64_MAX;
    return static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
}

// A photo opened for its name and folder templates: its image record and metadata.
struct OpenedPhoto {
    NRFImageInfoRef record;
    IPTCRec metadata;
    bool hasMetadata = false;
};

OpenedPhoto openPhoto(const IngestSourceFile& file) {
    OpenedPhoto photo;
    if (NRFOpenImage(file.path.c_str(), file.fileType, &photo.record) != kNRFErrNone) {
        photo.record.reset();
        return photo;
    }
    if (NRFGetImageInfo(photo.record.get()) == kNRFErrNone)
        photo.hasMetadata = NRFLoadIPTC(photo.record.get(), &photo.metadata) == kNRFErrNone;
    return photo;
}

} // namespace

// One source of the task with what was found on it.
struct IngestCopyThread::Source {
    std::string root;
    IngestSourceScan scan;
    IncrementalIngest incremental;
    bool isVolume = false;
    MountedVolume volume;
    std::string suffix; // the auto-increment suffix of its folder with name
    bool errors = false;
    bool allVerified = true;
};

IngestCopyThread::IngestCopyThread(IngestTaskSpec spec, ProgressDialogInterface* progress)
    : CProgressInfo(progress, false, false) {
    m_info.m_spec = std::move(spec);
}

IngestCopyThread::~IngestCopyThread() {
    CancelAndJoin();
}

int IngestCopyThread::RunningTasks() {
    return g_runningTasks.load();
}

void IngestCopyThread::Note(const std::string& message) {
    LUMO_LOG("%s", message.c_str());
    m_messages.push_back(message);
}

void IngestCopyThread::operator()() {
    ProgressDialogInterface& progress = *m_pProgressDlg;
    ++g_runningTasks;
    try {
        BeginBackgroundWork();
        Run();
    } catch (const std::exception& e) {
        LUMO_LOG("Unexpected exception in IngestCopyThread::operator() %s", e.what());
        progress.SetStatus(ProgressDialogInterface::kStatusException);
    } catch (...) {
        LUMO_LOG("Unexpected exception in IngestCopyThread::operator()");
        progress.SetStatus(ProgressDialogInterface::kStatusException);
    }
    try {
        EndBackgroundWork();
    } catch (...) {
        LUMO_LOG("Unexpected exception in IngestCopyThread::operator()");
    }
    const int left = --g_runningTasks;
    LUMO_LOG("%s", left > 0 ? IngestCopyText::kTaskCompleted : IngestCopyText::kAllTasksComplete);
    progress.SetFinished(true);
}

void IngestCopyThread::Run() {
    ProgressDialogInterface& progress = *m_pProgressDlg;
    const IngestTaskSpec& spec = m_info.m_spec;
    const std::shared_ptr<VolumeManager> installed = m_volumes ? nullptr : VolumeManager::instance();
    VolumeManager& volumes = m_volumes ? *m_volumes : *installed;
    progress.SetTitle(IngestCopyText::kTitle);

    // -- 1. the sources, what was copied before, the list of files
    progress.SetMessage(IngestCopyText::kScanning);
    LUMO_LOG("%s", IngestCopyText::kScanning);
    IngestScanOptions scanOptions;
    scanOptions.locked = static_cast<IngestLockFilter>(spec.m_filterLocked);
    scanOptions.raw = static_cast<IngestRawFilter>(spec.m_filterRaw);
    std::vector<std::unique_ptr<Source>> sources;
    for (const std::string& path : spec.m_sourcePaths) {
        auto source = std::make_unique<Source>();
        source->root = withoutTrailingSlash(path);
        if (volumes.volumeOf(source->root, &source->volume) &&
            withoutTrailingSlash(source->volume.mountPoint) == source->root)
            source->isVolume = true;
        source->scan = ScanIngestSource(source->root, scanOptions);
        if (source->scan.error != 0) {
            Note("The source \"" + source->root +
                 "\" could not be read: " + std::strerror(source->scan.error));
            source->errors = true;
            progress.SetStatus(ProgressDialogInterface::kStatusFailed);
        }
        if (spec.m_incremental) {
            std::string message;
            if (!source->incremental.open(source->root, &message, m_cacheFolder) && !message.empty())
                Note(message);
        }
        m_info.m_volumeErrors[source->root] = source->errors;
        sources.push_back(std::move(source));
        if (progress.IsCancelled())
            break;
    }

    // The photos to copy; a photo whose base name equals the one before it in the same folder (a raw
    // file and its JPEG) is its companion: it takes the same sequence number and the same name.
    struct Job {
        Source* source;
        const IngestSourceFile* file;
        bool companion;
        std::size_t photo; // the index of its photo (sequence numbering)
    };
    std::vector<Job> jobs;
    std::size_t photos = 0;
    std::uint64_t bytesToCopy = 0;
    IngestReport report;
    if (report.open(m_reportFolder))
        m_reportPath = report.path();
    else
        LUMO_LOG("IngestCopyThread::Run() no ingest report: %s", report.error().c_str());
    const auto reportLine = [&](const FileResult& result) {
        if (!report.isOpen())
            return;
        IngestReport::Line line;
        line.source = result.source;
        line.destinations = result.destinations;
        line.size = result.size;
        line.digest = result.digest;
        switch (result.outcome) {
        case Outcome::Copied:
            line.result = result.verified ? IngestReport::kVerified : IngestReport::kCopied;
            break;
        case Outcome::Arrived:
            line.result = IngestReport::kArrived;
            break;
        case Outcome::SkippedIncremental:
        case Outcome::SkippedAttached:
            line.result = IngestReport::kSkipped;
            break;
        case Outcome::Failed:
            line.result = result.error;
            break;
        }
        report.add(line);
    };
    for (const auto& source : sources) {
        std::size_t remaining = 0;
        const IngestSourceFile* previous = nullptr;
        for (const IngestSourceFile& file : source->scan.files) {
            if (file.isAttached) {
                const std::string line = format(IngestCopyText::kSkipAttached, file.path.c_str());
                LUMO_LOG("%s", line.c_str());
                continue;
            }
            if (source->incremental.enabled() &&
                source->incremental.wasCopied(file.relativePath, file.size, file.modificationTime)) {
                const std::string line = format(IngestCopyText::kSkipIncremental, file.path.c_str());
                LUMO_LOG("%s", line.c_str());
                progress.SetMessage(line);
                FileResult result;
                result.source = file.path;
                result.size = file.size;
                result.outcome = Outcome::SkippedIncremental;
                const IncrementalIngest::Record* record = source->incremental.find(file.relativePath);
                if (record && !record->digest.empty())
                    result.digest = record->digest;
                else
                    source->allVerified = false;
                result.verified = !result.digest.empty();
                reportLine(result);
                m_results.push_back(std::move(result));
                continue;
            }
            const bool companion = previous && folderOf(previous->path) == folderOf(file.path) &&
                                   baseOf(fileNameOf(previous->path)) == baseOf(fileNameOf(file.path));
            if (!companion)
                ++photos;
            jobs.push_back({source.get(), &file, companion, photos - 1});
            bytesToCopy += file.size + file.attachedBytes;
            previous = &file;
            ++remaining;
        }
        for (const IngestSpecialFolder& special : source->scan.specialFolders) {
            bytesToCopy += special.size;
            ++remaining;
        }
        m_info.m_remainingFiles[source->root] = remaining;
    }
    m_total = jobs.size();

    // Free space per destination volume: each destination on it takes a full copy.
    if (!progress.IsCancelled() && bytesToCopy > 0) {
        std::map<dev_t, std::pair<std::string, std::uint64_t>> needed;
        for (const std::string& destination : spec.Destinations()) {
            struct stat info {};
            const std::string existing = existingAncestor(destination);
            const dev_t device = ::stat(existing.c_str(), &info) == 0 ? info.st_dev : 0;
            auto& entry = needed[device];
            if (entry.first.empty())
                entry.first = destination;
            entry.second += bytesToCopy;
        }
        for (const auto& [device, entry] : needed) {
            const std::uint64_t available =
                m_freeSpace ? m_freeSpace(entry.first) : systemFreeSpace(entry.first);
            if (entry.second <= available)
                continue;
            const std::string question = format(IngestCopyText::kNotEnoughSpace, entry.first.c_str(),
                                                byteText(entry.second).c_str(), byteText(available).c_str());
            LUMO_LOG("%s", question.c_str());
            if (ErrorReporter::DoMessageBox(question, MessageBoxButtons::YesNo) != MessageBoxAnswer::Yes) {
                progress.SetStatus(ProgressDialogInterface::kStatusCancelled);
                progress.SetMessage(IngestCopyText::kCancelled);
                Note(IngestCopyText::kCancelled);
                return;
            }
        }
    }

    // The template, and the numbers: one task at a time counts and reserves them.
    std::optional<IPTCRec> stationery;
    if (spec.m_applyStationery) {
        IPTCRec loaded;
        if (LoadIngestStationery(spec, loaded)) {
            stationery = std::move(loaded);
        } else {
            Note(IngestText::kTemplateNotLoadable);
            progress.SetStatus(ProgressDialogInterface::kStatusError);
            return;
        }
    }
    const bool needSequence =
        (spec.m_rename && usesSequence(spec.m_renameString)) ||
        (spec.m_copyPhotos != kIngestDirect && usesSequence(spec.m_destFolderNameString)) ||
        (stationery && IPTCHaveSequenceVar(*stationery));
    const bool needIngestSequence =
        (spec.m_rename && mentionsIngestSequence(spec.m_renameString)) ||
        (spec.m_copyPhotos != kIngestDirect && mentionsIngestSequence(spec.m_destFolderNameString));
    std::optional<SequenceReservation> sequence, ingestSequence;
    if ((needSequence || needIngestSequence) && photos > 0) {
        if (IngestSequenceAllocation::InProgress()) {
            progress.SetTitle(IngestCopyText::kPreparing);
            progress.SetMessage(IngestCopyText::kScanningSequence);
        }
        IngestSequenceAllocation allocation;
        progress.SetTitle(IngestCopyText::kTitle);
        if (ActiveLiveIngestUsingSequence())
            LUMO_LOG("IngestCopyThread::Run() a live ingest uses the sequence too: numbers are reserved for "
                     "this task alone");
        if (needSequence)
            sequence = ReserveSequenceNumbers(SequenceKind::Sequence, static_cast<std::int64_t>(photos));
        if (needIngestSequence)
            ingestSequence = ReserveSequenceNumbers(SequenceKind::Ingest, 1);
        if (const auto preferences = CPreferences::instance())
            preferences->save();
    }
    const SequenceSetting sharedSequence = CurrentSequence(SequenceKind::Sequence);
    const SequenceSetting sharedIngest = CurrentSequence(SequenceKind::Ingest);
    m_info.m_sequence = sequence ? sequence->first : sharedSequence.next;
    m_info.m_sequenceDigits = sequence ? sequence->digits : sharedSequence.digits;
    m_info.m_ingestSequence =
        static_cast<std::uint64_t>(ingestSequence ? ingestSequence->first : sharedIngest.next);
    m_info.m_ingestSequenceDigits = ingestSequence ? ingestSequence->digits : sharedIngest.digits;

    // -- 2. reverse geocoding for the template
    if (stationery && IPTCHaveReverseGeocoding(*stationery)) {
        std::vector<std::string> paths;
        for (const Job& job : jobs)
            paths.push_back(job.file->path);
        if (!(m_reverseGeocode ? m_reverseGeocode(paths) : IPTCReverseGeocodePaths(paths))) {
            if (ErrorReporter::DoMessageBox(IngestCopyText::kGeocodingFailed, MessageBoxButtons::YesNo) !=
                MessageBoxAnswer::Yes) {
                if (sequence)
                    ReleaseUnusedSequenceNumbers(*sequence, 0);
                progress.SetStatus(ProgressDialogInterface::kStatusCancelled);
                progress.SetMessage(IngestCopyText::kCancelled);
                Note(IngestCopyText::kCancelled);
                return;
            }
            stationery->m_reverseGeocodingApply.fill(false);
        }
    }

    const std::vector<std::string> destinations = spec.Destinations();
    const bool namedFolder =
        spec.m_copyPhotos == kIngestNamedFolder || spec.m_copyPhotos == kIngestDatedNamedFolder;
    const auto contextFor = [&](std::size_t photo, const OpenedPhoto* opened) {
        VariableContext context;
        context.index = static_cast<std::uint32_t>(photo + 1);
        context.total = static_cast<std::uint32_t>(photos);
        context.sequence = m_info.m_sequence + static_cast<std::int64_t>(photo);
        context.sequenceDigits = m_info.m_sequenceDigits;
        context.ingestSequence = m_info.m_ingestSequence;
        context.ingestSequenceDigits = m_info.m_ingestSequenceDigits;
        if (opened) {
            context.image = opened->record.get();
            context.record = opened->hasMetadata ? &opened->metadata : nullptr;
        }
        return context;
    };

    // The auto-increment suffixes: one for all sources when merged, else one per source.
    if (spec.m_autoIncSuffix && namedFolder) {
        std::set<std::string> taken;
        std::string shared;
        for (const auto& source : sources) {
            if (spec.m_mergeSources && !shared.empty()) {
                source->suffix = shared;
                continue;
            }
            const auto first = std::find_if(jobs.begin(), jobs.end(),
                                            [&](const Job& job) { return job.source == source.get(); });
            std::optional<OpenedPhoto> opened;
            if (first != jobs.end())
                opened = openPhoto(*first->file);
            const VariableContext context = contextFor(0, opened ? &*opened : nullptr);
            source->suffix =
                NextAutoIncSuffix(IngestFolderRule::FromSpec(spec, spec.m_primaryDestPath), context, taken);
            taken.insert(source->suffix);
            shared = source->suffix;
        }
    }

    // -- 3. the copies
    std::uint16_t flags = kCopySoundFile | kCopyKeepArrived;
    if (spec.m_verify)
        flags |= kCopyVerify;
    if (spec.m_rename && !spec.m_renameString.empty())
        flags |= kCopyRenameTemplate;
    if (stationery)
        flags |= kCopyApplyMetadata;
    std::mutex shared; // the task's state while copiers run
    std::set<std::string> cleaned;
    const auto prepareFolder = [&](const std::string& folder, std::string& error) {
        std::lock_guard hold(shared);
        std::error_code ec;
        fs::create_directories(folder, ec);
        if (!fs::is_directory(folder, ec)) {
            error = IngestCopyText::kCreateFolderFailed + folder;
            LUMO_LOG("%s", error.c_str());
            return false;
        }
        if (cleaned.insert(folder).second) {
            // What an interrupted ingest left behind goes before anything new arrives.
            const int removed = CopyFile::RemoveLeftoverTemporaries(folder);
            if (removed > 0)
                LUMO_LOG("IngestCopyThread::Run() removed %d leftover temporary files in '%s'", removed,
                         folder.c_str());
            if (m_info.m_destinationPaths.insert(folder).second && m_openFolder &&
                spec.m_openContactSheets == kIngestOpenDuring)
                m_openFolder(folder);
        }
        return true;
    };

    // The photos go in units (a photo with its companions, which take its name) to a few copiers at
    // once, so that one copy's flush and read-back overlaps another's writing.
    std::vector<std::pair<std::size_t, std::size_t>> units; // [first, end) of jobs
    for (std::size_t j = 0; j < jobs.size(); ++j)
        if (!jobs[j].companion || units.empty())
            units.push_back({j, j + 1});
        else
            units.back().second = j + 1;
    std::vector<FileResult> jobResults(jobs.size());
    std::vector<bool> jobDone(jobs.size(), false);
    std::atomic<std::size_t> nextUnit{0};
    std::atomic<bool> stop{false};
    std::atomic<std::int64_t> photosUsed{0};
    const auto copyUnits = [&] {
        for (;;) {
            const std::size_t u = nextUnit++;
            if (u >= units.size())
                return;
            if (progress.IsCancelled()) {
                stop = true;
                return;
            }
            std::string companionBase; // the name its photo's copy got, for a companion
            for (std::size_t j = units[u].first; j < units[u].second; ++j) {
                const Job& job = jobs[j];
                Source& source = *job.source;
                const IngestSourceFile& file = *job.file;
                FileResult& result = jobResults[j];
                result.source = file.path;
                result.size = file.size;
                try {
                    const std::string line = format(IngestCopyText::kCopying, file.path.c_str());
                    LUMO_LOG("%s", line.c_str());
                    progress.SetMessage(line);
                    const OpenedPhoto opened = openPhoto(file);
                    VariableContext context = contextFor(job.photo, &opened);
                    std::string name; // the name of the first copy; the others take it too
                    if (job.companion && !companionBase.empty())
                        name = companionBase + extensionOf(fileNameOf(file.path));
                    bool allVerified = true, allArrived = true;
                    for (const std::string& destination : destinations) {
                        IngestFolderRule rule = IngestFolderRule::FromSpec(spec, destination);
                        rule.m_autoIncSuffix = source.suffix;
                        const std::string folder =
                            IngestDestinationFolder(rule, context, folderOf(file.relativePath));
                        if (!prepareFolder(folder, result.error))
                            break;
                        CopyFileRequest request;
                        request.sourcePath = file.path;
                        request.destinationFolder = folder;
                        request.image = opened.record.get();
                        request.namingTemplate = spec.m_renameString;
                        request.context = &context;
                        request.flags = flags;
                        if (stationery) {
                            const IPTCRec& pad = *stationery;
                            request.editMetadata = [&pad, &context](const NRFImageInfoRec& image,
                                                                    IPTCRec& metadata, std::string& error) {
                                return IPTCApplyStationeryToPhoto(pad, metadata, &image, context, &error);
                            };
                        }
                        CopyOutcome outcome;
                        request.outcome = &outcome;
                        std::string copyName = name;
                        if (CopyFile::FileCopyEx(request, copyName) != 1) {
                            result.error = CopyFile::ErrorText();
                            if (result.error.empty())
                                result.error = "The copy to '" + folder + "' failed.";
                            break;
                        }
                        if (name.empty())
                            name = copyName;
                        result.destinations.push_back(joinPath(folder, copyName));
                        if (result.digest.empty() && !outcome.digest.empty())
                            result.digest = outcome.digest.hex();
                        allVerified = allVerified && outcome.verified;
                        allArrived = allArrived && outcome.arrived;
                    }
                    if (!job.companion)
                        companionBase = name.empty() ? std::string() : baseOf(name);
                    if (result.error.empty() && result.destinations.size() == destinations.size()) {
                        result.verified = spec.m_verify && allVerified;
                        result.outcome = allArrived ? Outcome::Arrived : Outcome::Copied;
                        if (!result.verified) {
                            std::lock_guard hold(shared);
                            source.allVerified = false;
                        }
                        if (source.incremental.enabled()) {
                            // Recorded only now that every copy is complete (and verified).
                            std::lock_guard hold(shared);
                            source.incremental.record(file.relativePath, file.size, file.modificationTime,
                                                      result.verified ? result.digest : std::string());
                            std::string message;
                            if (!source.incremental.save(&message) && !message.empty())
                                Note(message);
                        }
                    } else {
                        if (result.error.empty())
                            result.error = "Not every copy was made.";
                        result.outcome = Outcome::Failed;
                    }
                } catch (const std::exception& e) {
                    result.outcome = Outcome::Failed;
                    result.error = e.what();
                } catch (...) {
                    result.outcome = Outcome::Failed;
                    result.error = "Unexpected error.";
                }
                std::lock_guard hold(shared);
                if (result.outcome == Outcome::Failed) {
                    LUMO_LOG(IngestCopyText::kCopyFailure, result.error.c_str());
                    source.errors = true;
                    m_info.m_volumeErrors[source.root] = true;
                    progress.SetStatus(ProgressDialogInterface::kStatusFailed);
                }
                reportLine(result);
                jobDone[j] = true;
                if (m_info.m_remainingFiles[source.root] > 0)
                    --m_info.m_remainingFiles[source.root];
                const std::uint64_t done = ++m_done;
                photosUsed = std::max<std::int64_t>(photosUsed, static_cast<std::int64_t>(job.photo + 1));
                progress.SetPercent(static_cast<unsigned>(done * 100 / jobs.size()));
                if (m_afterPhoto)
                    m_afterPhoto(file.path);
            }
        }
    };
    {
        const std::size_t copiers = std::min<std::size_t>(kIngestCopiers, units.size());
        std::vector<lumo::NamedThread> threads;
        for (std::size_t i = 1; i < copiers; ++i) {
            try {
                threads.emplace_back("IngestCopier", lumo::kBackgroundThreadStackSize, [&copyUnits] {
                    try {
                        copyUnits();
                    } catch (...) {
                        LUMO_LOG("Unexpected exception in IngestCopyThread's copier");
                    }
                });
            } catch (const std::exception& e) {
                LUMO_LOG("IngestCopyThread::Run() copies with fewer threads: %s", e.what());
                break;
            }
        }
        copyUnits();
        for (lumo::NamedThread& thread : threads)
            thread.join();
    }
    bool cancelled = stop.load() || progress.IsCancelled();
    for (std::size_t j = 0; j < jobs.size(); ++j)
        if (jobDone[j])
            m_results.push_back(std::move(jobResults[j]));
    if (sequence)
        ReleaseUnusedSequenceNumbers(*sequence,
                                     cancelled ? photosUsed.load() : static_cast<std::int64_t>(photos));

    // Special folders (video structures) go whole.
    for (const auto& source : sources) {
        if (cancelled || progress.IsCancelled()) {
            cancelled = true;
            break;
        }
        for (const IngestSpecialFolder& special : source->scan.specialFolders) {
            for (std::size_t d = 0; d < destinations.size(); ++d) {
                IngestFolderRule rule = IngestFolderRule::FromSpec(spec, destinations[d]);
                rule.m_autoIncSuffix = source->suffix;
                rule.m_sourceDirMode = kIngestIgnoreSourceDirs;
                const std::string target =
                    joinPath(IngestDestinationFolder(rule, contextFor(0, nullptr), ""), special.relativePath);
                const std::string line = format(d == 0 ? IngestCopyText::kCopyingSpecial
                                                       : IngestCopyText::kCopyingSpecialSecondary,
                                                special.path.c_str(), target.c_str());
                LUMO_LOG("%s", line.c_str());
                progress.SetMessage(line);
                FileResult result;
                result.source = special.path;
                result.size = special.size;
                result.outcome = Outcome::Copied;
                result.verified = spec.m_verify;
                std::error_code ec;
                std::vector<std::string> files;
                for (auto it = fs::recursive_directory_iterator(special.path, ec);
                     !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
                    if (it->is_regular_file(ec) && !it->is_symlink(ec))
                        files.push_back(it->path().string());
                if (ec)
                    result.error = "The folder \"" + special.path + "\" could not be read: " + ec.message();
                for (const std::string& path : files) {
                    if (!result.error.empty())
                        break;
                    const std::string relative = fs::path(path).lexically_relative(special.path).string();
                    const std::string folder = folderOf(joinPath(target, relative));
                    if (!prepareFolder(folder, result.error))
                        break;
                    CopyFileRequest request;
                    request.sourcePath = path;
                    request.destinationFolder = folder;
                    request.flags = flags & (kCopyVerify | kCopyKeepArrived);
                    CopyOutcome outcome;
                    request.outcome = &outcome;
                    std::string name = fileNameOf(path);
                    if (CopyFile::FileCopyEx(request, name) != 1) {
                        result.error = CopyFile::ErrorText();
                        break;
                    }
                    result.verified = result.verified && outcome.verified;
                }
                result.destinations.push_back(target);
                if (!result.error.empty()) {
                    result.outcome = Outcome::Failed;
                    LUMO_LOG(IngestCopyText::kCopyFailure, result.error.c_str());
                    source->errors = true;
                    m_info.m_volumeErrors[source->root] = true;
                    progress.SetStatus(ProgressDialogInterface::kStatusFailed);
                } else if (!result.verified) {
                    source->allVerified = false;
                }
                reportLine(result);
                m_results.push_back(std::move(result));
            }
            if (m_info.m_remainingFiles[source->root] > 0)
                --m_info.m_remainingFiles[source->root];
        }
    }

    // -- 4. the volumes: erase or unmount when asked
    bool unmountFailed = false;
    for (const auto& source : sources) {
        const char* root = source->root.c_str();
        if (spec.m_erase) {
            const bool errors = source->errors || cancelled || m_info.m_volumeErrors[source->root];
            // Files the filters (or their unknown types) left on the card would go with it.
            const bool filesLeft = !source->scan.passedOver.empty();
            if (errors) {
                Note(format(IngestCopyText::kNotErasingErrors, root));
            } else if (!source->isVolume || !source->volume.removable) {
                Note(format(IngestCopyText::kNotErasingSystemFiles, root));
            } else if (!source->scan.cameraCard) {
                std::error_code ec;
                const bool hasDCIM = fs::is_directory(source->root + "/DCIM", ec);
                Note(format(hasDCIM ? IngestCopyText::kNotErasingSystemFiles
                                    : IngestCopyText::kNotErasingIncompatible,
                            root));
            } else if (!spec.m_verify || !source->allVerified) {
                Note(format(IngestCopyText::kNotErasingUnverified, root));
            } else if (filesLeft) {
                Note(format(IngestCopyText::kNotErasingFiltered, root));
            } else {
                std::string error;
                if (volumes.erase(source->volume.mountPoint, &error)) {
                    Note(format(IngestCopyText::kErased, root));
                } else {
                    LUMO_LOG("IngestCopyThread::Run() erase of '%s' failed: %s", root, error.c_str());
                    Note(format(IngestCopyText::kEraseFailed, root));
                }
            }
        }
        if (spec.m_unmount && source->isVolume && !cancelled) {
            std::string error;
            if (!volumes.unmount(source->volume.device, &error)) {
                LUMO_LOG("IngestCopyThread::Run() unmount of '%s' failed: %s", source->volume.device.c_str(),
                         error.c_str());
                unmountFailed = true;
            }
        }
    }
    if (unmountFailed)
        Note(IngestCopyText::kUnmountFailed);

    // -- 5. the destinations, and the end
    if (m_openFolder && spec.m_openContactSheets == kIngestOpenAfter)
        for (const std::string& folder : m_info.m_destinationPaths)
            m_openFolder(folder);
    if (cancelled || progress.IsCancelled()) {
        progress.SetStatus(ProgressDialogInterface::kStatusCancelled);
        progress.SetMessage(IngestCopyText::kCancelled);
        Note(IngestCopyText::kCancelled);
    } else {
        progress.SetPercent(100);
        progress.SetMessage(IngestCopyText::kComplete);
        Note(IngestCopyText::kComplete);
    }
}
