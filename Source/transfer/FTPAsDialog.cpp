// Upload preparation: the session folder of the upload cache, each photo taken or rendered into it, and
// the worker that hands the prepared files on to the transfer queue.

#include "transfer/FTPAsDialog.h"

#include "NRF/NRF.h"
#include "app/LumoApp.h"
#include "app/LumoLog.h"
#include "app/LumoPaths.h"
#include "background/ErrorReporter.h"
#include "background/ProgressDialogInterface.h"
#include "contactsheet/DocumentItem.h"
#include "contactsheet/FolderScan.h"
#include "fileops/UniquePaths.h"
#include "metadata/MetadataTemplate.h"
#include "metadata/PhotoMetadata.h"
#include "support/FileIO.h"
#include "variables/VariableExpander.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

constexpr char kSessionPrefix[] = "FTPSession_";
constexpr char kSessionLock[] = ".session-lock";

std::atomic<std::uint32_t> g_sessionCounter{0};

std::string fileNameOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string joinPath(const std::string& folder, const std::string& name) {
    return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

std::uint32_t millisecondsSinceStart() {
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                                      static_cast<std::uint64_t>(now.tv_nsec) / 1000000u);
}

// Takes the session lock of `folder` without waiting: the descriptor, or -1 when another process holds
// it (or it cannot be opened).
int takeSessionLock(const std::string& folder, bool create) {
    const std::string lock = joinPath(folder, kSessionLock);
    const int fd = ::open(lock.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0600);
    if (fd < 0)
        return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

// ---- the session folder

std::string FTPSessionFolder::Name(std::uint32_t milliseconds, std::uint32_t counter,
                                   const std::string& suffix) {
    char name[64];
    std::snprintf(name, sizeof name, "FTPSession_%u_%u", milliseconds, counter);
    return name + suffix;
}

bool FTPSessionFolder::Create(const std::string& suffix) {
    Remove();
    const std::string cache = LumoPaths::imageCacheFolder();
    if (cache.empty())
        return false;
    std::error_code error;
    fs::create_directories(cache, error);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string path = joinPath(cache, Name(millisecondsSinceStart(), g_sessionCounter++, suffix));
        if (::mkdir(path.c_str(), 0700) != 0) {
            if (errno == EEXIST)
                continue;
            LUMO_LOG("FTPSessionFolder::Create() could not make '%s': %s", path.c_str(),
                     std::strerror(errno));
            return false;
        }
        m_lockFd = takeSessionLock(path, true);
        if (m_lockFd < 0) {
            LUMO_LOG("FTPSessionFolder::Create() could not lock '%s'", path.c_str());
            fs::remove_all(path, error);
            return false;
        }
        m_path = path;
        return true;
    }
    return false;
}

FTPSessionFolder::~FTPSessionFolder() {
    Remove();
}

void FTPSessionFolder::Remove() {
    if (!m_path.empty()) {
        std::error_code error;
        fs::remove_all(m_path, error);
        if (error)
            LUMO_LOG("FTPSessionFolder::Remove() could not remove '%s': %s", m_path.c_str(),
                     error.message().c_str());
        m_path.clear();
    }
    if (m_lockFd >= 0) {
        ::close(m_lockFd);
        m_lockFd = -1;
    }
}

int FTPSessionFolder::RemoveLeftovers(const std::string& cacheFolder) {
    if (cacheFolder.empty())
        return 0;
    std::error_code error;
    std::vector<std::string> leftovers;
    for (fs::directory_iterator it(cacheFolder, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(kSessionPrefix, 0) == 0 && it->is_directory(error) && !it->is_symlink(error))
            leftovers.push_back(it->path().string());
    }
    int removed = 0;
    for (const std::string& folder : leftovers) {
        // A folder whose lock is held belongs to a run of another process. One without a lock file is
        // being made, unless it is older than a minute.
        struct stat status {};
        const bool hasLock = ::stat(joinPath(folder, kSessionLock).c_str(), &status) == 0;
        if (!hasLock && ::stat(folder.c_str(), &status) == 0 && std::time(nullptr) - status.st_mtime < 60)
            continue;
        const int fd = hasLock ? takeSessionLock(folder, false) : -2;
        if (fd == -1)
            continue;
        fs::remove_all(folder, error);
        if (fd >= 0)
            ::close(fd);
        if (error) {
            LUMO_LOG("FTPSessionFolder::RemoveLeftovers() could not remove '%s': %s", folder.c_str(),
                     error.message().c_str());
            continue;
        }
        ++removed;
    }
    return removed;
}

void addFTPUploadCacheService(CLumoApp& app) {
    app.shutdownSteps().add("Cleaning up leftover FTP files", [] {
        const int removed = FTPSessionFolder::RemoveLeftovers(LumoPaths::imageCacheFolder());
        if (removed > 0)
            LUMO_LOG("Removed %d leftover FTP upload session folder(s)", removed);
        return true;
    });
}

// ---- backups

bool FTPFile::SaveBackup(const std::string& path, const std::string& backupFolder, std::string* saved) {
    std::error_code error;
    fs::create_directories(backupFolder, error);
    std::string name = fileNameOf(path);
    if (!MakeUniqueFileName(backupFolder, name, {}, {}, false, RenameResolutionStyleFromPreferences())) {
        LUMO_LOG("FTPFile::SaveBackup: no free name for '%s' in '%s'", path.c_str(), backupFolder.c_str());
        return false;
    }
    const std::string destination = joinPath(backupFolder, name);
    LUMO_LOG("FTPFile::SaveBackup: copying file '%s' to '%s'", path.c_str(), destination.c_str());
    if (const int err = lumo::copyFileReplacing(path, destination); err != 0) {
        LUMO_LOG("FTPFile::SaveBackup: copy failed: %s", std::strerror(err));
        return false;
    }
    if (saved)
        *saved = destination;
    return true;
}

// ---- preparing one photo

FTPImageProcessing::FTPImageProcessing(const FTPAsOptions& options, std::string sessionFolder,
                                       std::vector<std::string> paths)
    : m_options(options), m_session(std::move(sessionFolder)) {
    if (m_options.processImages) {
        SaveAsOptions save = m_options.saveAs;
        save.destinationType = 0;
        save.destinationFolder = m_session;
        save.applyStationeryPad = m_options.applyTemplate;
        save.copyWavFiles = false;
        save.openDestination = false;
        m_renderer = std::make_unique<SaveAsThread>(std::move(paths), save);
        m_renderer->m_stepObserver = [](SaveAsStep step, const char* detail) {
            switch (step) {
            case SaveAsStep::Loading:
                LUMO_LOG("FTPImageProcessing: loading full resolution image.");
                break;
            case SaveAsStep::Cropping:
                LUMO_LOG("FTPImageProcessing: cropping.");
                break;
            case SaveAsStep::Rotating:
                LUMO_LOG("FTPImageProcessing: rotating.");
                break;
            case SaveAsStep::ScalingByPercentage:
                LUMO_LOG("FTPImageProcessing: scaling by percentage.");
                break;
            case SaveAsStep::ScalingToSize:
                LUMO_LOG("FTPImageProcessing: scaling by width and height.");
                break;
            case SaveAsStep::ScalingToBox:
                LUMO_LOG("FTPImageProcessing: scaling by box size.");
                break;
            case SaveAsStep::ConvertingToSRGB:
                LUMO_LOG("FTPImageProcessing: converting to sRGB color space.");
                break;
            case SaveAsStep::Sharpening:
                LUMO_LOG("FTPImageProcessing: sharpening.");
                break;
            case SaveAsStep::Watermarking:
                LUMO_LOG("FTPImageProcessing: watermarking.");
                break;
            case SaveAsStep::Saving:
                LUMO_LOG("FTPImageProcessing: saving as type %s.", detail);
                break;
            }
        };
    }
}

FTPImageProcessing::~FTPImageProcessing() = default;

const IPTCRec* FTPImageProcessing::Stationery() {
    if (!m_options.applyTemplate)
        return nullptr;
    if (!m_stationeryLoaded) {
        m_stationeryLoaded = true;
        IPTCRec current;
        if (IPTCLoadCurrentStationery(current))
            m_stationery = std::move(current);
    }
    return m_stationery ? &*m_stationery : nullptr;
}

void FTPImageProcessing::DropReverseGeocoding() {
    if (Stationery())
        m_stationery->m_reverseGeocodingApply.fill(false);
}

bool FTPImageProcessing::Process(const std::string& path, std::uint32_t index, std::string& prepared,
                                 std::string& error) {
    LUMO_LOG("FTPImageProcessing: processing '%s'", path.c_str());
    const bool applyTemplate = Stationery() != nullptr;
    if (!m_options.processImages) {
        if (!applyTemplate) {
            LUMO_LOG("FTPImageProcessing: using original file.");
            prepared = path;
        } else {
            LUMO_LOG("FTPImageProcessing: using original file but applying Metadata (IPTC) Template.");
            if (!CopyWithTemplate(path, index, prepared, error))
                return false;
        }
    } else {
        LUMO_LOG(applyTemplate ? "FTPImageProcessing: using pre-applied packed IPTC record."
                               : "FTPImageProcessing: using IPTC from original file.");
        const std::size_t before = m_renderer->SavedPaths().size();
        const NRFErr result = m_renderer->SaveFile(path, index);
        if (result != 0 || m_renderer->SavedPaths().size() == before) {
            LUMO_LOG("%s (%u)", FTPAsText::kRenderFailed, static_cast<unsigned>(result));
            error = FTPAsText::kRenderFailed;
            return false;
        }
        prepared = m_renderer->SavedPaths().back();
        m_claimed.push_back(prepared);
    }
    LUMO_LOG("FTPImageProcessing: original file was '%s'.", path.c_str());
    LUMO_LOG("FTPImageProcessing: became '%s'", prepared.c_str());
    if (!m_options.backupFolder.empty())
        FTPFile::SaveBackup(prepared, m_options.backupFolder);
    return true;
}

bool FTPImageProcessing::CopyWithTemplate(const std::string& path, std::uint32_t index, std::string& prepared,
                                          std::string& error) {
    std::string name = fileNameOf(path);
    if (!MakeUniqueFileName(m_session, name, m_claimed, {}, false, RenameResolutionStyleFromPreferences())) {
        error = FTPAsText::kSaveError;
        return false;
    }
    const std::string copy = joinPath(m_session, name);
    if (const int err = lumo::copyFileReplacing(path, copy); err != 0) {
        LUMO_LOG("FTPImageProcessing: copying '%s' to '%s' failed: %s", path.c_str(), copy.c_str(),
                 std::strerror(err));
        error = FTPAsText::kSaveError;
        return false;
    }
    m_claimed.push_back(copy);
    NRFImageInfoRef record;
    IPTCRec metadata;
    if (NRFOpenImage(copy.c_str(), 0, &record) != 0 || !record || NRFGetImageInfo(record.get()) != 0 ||
        NRFLoadIPTC(record.get(), &metadata) != 0) {
        if (record)
            NRFCloseImage(&record);
        error = FTPAsText::kMetadataError;
        return false;
    }
    VariableContext context;
    context.index = index;
    context.image = record.get();
    std::string why;
    NRFErr saved = 0;
    if (!IPTCApplyStationeryToPhoto(*m_stationery, metadata, record.get(), context, &why)) {
        LUMO_LOG("FTPImageProcessing: applying the template to '%s' failed: %s", path.c_str(), why.c_str());
        saved = 6;
    } else {
        saved = DoSaveIPTC(record.get(), metadata);
    }
    NRFCloseImage(&record);
    if (saved != 0) {
        LUMO_LOG("FTPImageProcessing: writing the metadata into '%s' failed (%u)", copy.c_str(),
                 static_cast<unsigned>(saved));
        error = why.empty() ? FTPAsText::kSaveError : why;
        return false;
    }
    prepared = copy;
    return true;
}

// ---- the worker

FTPAsThread::FTPAsThread(std::vector<std::string> paths, FTPAsOptions options,
                         ProgressDialogInterface* progress)
    : CProgressInfo(progress), m_paths(std::move(paths)), m_options(std::move(options)) {}

FTPAsThread::~FTPAsThread() {
    CancelAndJoin();
}

std::vector<std::string> FTPAsThread::SelectFiles(const std::vector<std::string>& paths, int rawJpegChoice) {
    std::vector<DocumentItem::Ref> items;
    items.reserve(paths.size());
    for (const std::string& path : paths) {
        NRFFileType type = 0;
        std::uint32_t capabilities = 0;
        const bool known = NRFGetType(path.c_str(), &type, false) == 0 && type != 0 &&
                           NRFGetCapabilities(type, &capabilities) == 0;
        items.push_back(DocumentItem::ForFile(path, type, known && (capabilities & kNRFCapRawPreview) != 0));
    }
    std::vector<std::string> selected;
    for (const DocumentItem::Ref& item : JoinRawPlusJpeg(std::move(items))) {
        if (!item->HasCompanion() || rawJpegChoice != kSendJpegOnly)
            selected.push_back(item->FullPath());
        if (item->HasCompanion() && rawJpegChoice != kSendRawOnly)
            selected.push_back(item->CompanionPath());
    }
    return selected;
}

void FTPAsThread::operator()() {
    try {
        Run();
    } catch (const std::exception& e) {
        LUMO_LOG("FTPAsThread: %s", e.what());
        m_error = FTPAsText::kUnexpected;
    } catch (...) {
        m_error = FTPAsText::kUnknown;
    }
    if (m_pProgressDlg) {
        if (!m_error.empty()) {
            m_pProgressDlg->SetMessage(m_error);
            if (m_pProgressDlg->GetStatus() == 0)
                m_pProgressDlg->SetStatus(ProgressDialogInterface::kStatusException);
        }
        m_pProgressDlg->SetFinished(true);
    }
}

void FTPAsThread::Run() {
    ProgressDialogInterface* progress = m_pProgressDlg;
    if (progress)
        progress->SetMessage(FTPAsText::kPreparing);
    const std::vector<std::string> files = SelectFiles(m_paths, m_options.rawJpegChoice);
    const bool needsSession = m_options.processImages || m_options.applyTemplate;
    if (needsSession && !m_session.Create()) {
        m_error = FTPAsText::kFolderError;
        return;
    }
    FTPImageProcessing processing(m_options, m_session.Path(), files);
    if (const IPTCRec* stationery = processing.Stationery();
        stationery && IPTCHaveReverseGeocoding(*stationery)) {
        if (!(m_reverseGeocode ? m_reverseGeocode(files) : IPTCReverseGeocodePaths(files))) {
            if (ErrorReporter::DoMessageBox(FTPAsText::kGeocodingFailed, MessageBoxButtons::YesNo) !=
                MessageBoxAnswer::Yes) {
                if (progress)
                    progress->SetStatus(ProgressDialogInterface::kStatusCancelled);
                return;
            }
            processing.DropReverseGeocoding();
        }
    }
    std::uint32_t index = 0;
    for (const std::string& path : files) {
        if (progress && progress->IsCancelled())
            break;
        ++index;
        if (progress)
            progress->SetMessage("Preparing " + fileNameOf(path));
        FTPPreparedFile file;
        file.source = path;
        try {
            if (!processing.Process(path, index, file.prepared, file.error))
                file.prepared.clear();
        } catch (const std::exception& e) {
            LUMO_LOG("FTPAsThread: preparing '%s': %s", path.c_str(), e.what());
            file.prepared.clear();
            file.error = FTPAsText::kUnexpected;
        } catch (...) {
            file.prepared.clear();
            file.error = FTPAsText::kUnknown;
        }
        if (!file.error.empty() && progress && progress->GetStatus() == 0)
            progress->SetStatus(ProgressDialogInterface::kStatusFailed);
        m_files.push_back(file);
        if (m_queueFile && file.error.empty())
            m_queueFile(file);
        if (progress)
            progress->SetPercent(static_cast<unsigned>(index * 100 / files.size()));
    }
}
