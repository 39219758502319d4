#pragma once

// Upload preparation: each photo to send is taken as it is, or rendered into a processed copy (as save
// as renders), with the metadata template applied when asked, into a session folder of the upload
// cache; the prepared files are then handed to the transfer queue. The session folder goes when the
// run ends; one left behind by a run that was killed is removed at shutdown of a later run.

#include "background/ProgressInfo.h"
#include "fileops/SaveAsThread.h"
#include "metadata/IPTCRec.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class CLumoApp;

namespace FTPAsText {
inline constexpr char kPreparing[] = "Preparing files for upload...";
inline constexpr char kMetadataError[] = "There was an error while getting metadata for a file.";
inline constexpr char kSaveError[] =
    "There was an error while saving to the upload cache.  Please check your available disk space.";
inline constexpr char kFolderError[] = "There was an error while building the upload cache directory "
                                       "structure.  Please check your available disk space.";
inline constexpr char kUnexpected[] = "An unexpected exception has occurred while preparing files for "
                                      "upload.  Please check your Disk Cache and available disk space.";
inline constexpr char kUnknown[] = "An unknown error has occurred.";
inline constexpr char kRenderFailed[] = "Image Preprocessing (save as JPEG) failed.";
inline constexpr char kGeocodingFailed[] =
    "The Metadata (IPTC) Template being applied during the upload operation\nrequests Reverse Geocoding "
    "but it has failed.  Continue without\nReverse Geocoding?";
inline constexpr char kSendBoth[] = "Send both RAW & JPEG files";
inline constexpr char kSendJpegOnly[] = "Send JPEG files only";
inline constexpr char kSendRawOnly[] = "Send RAW files only";
} // namespace FTPAsText

// Which files of a raw file joined with its JPEG (HEIF, HEIC) partner are sent.
enum FTPRawJpegChoice : int { kSendRawAndJpeg = 0, kSendJpegOnly = 1, kSendRawOnly = 2 };

struct FTPAsOptions {
    // Rendered copies (the save-as options; the destination is the session folder) instead of the
    // original files.
    bool processImages = false;
    SaveAsOptions saveAs;
    // The current metadata template applied to what is sent (never to the originals).
    bool applyTemplate = false;
    int rawJpegChoice = kSendRawAndJpeg;
    // When set, every prepared file is also copied here (FTPFile::SaveBackup).
    std::string backupFolder;
};

// The upload cache's session folder of one run: "FTPSession_%u_%u%s" (milliseconds since system start,
// a running counter, a suffix) inside the program's cache folder. While it lives, the folder holds a
// lock that tells other processes it is in use; it is removed with everything in it when it goes.
class FTPSessionFolder {
public:
    // Makes a new session folder; false (and no folder) when it could not be made.
    bool Create(const std::string& suffix = {});
    ~FTPSessionFolder();
    FTPSessionFolder() = default;
    FTPSessionFolder(const FTPSessionFolder&) = delete;
    FTPSessionFolder& operator=(const FTPSessionFolder&) = delete;

    const std::string& Path() const { return m_path; }
    // Removes the folder now (later calls do nothing).
    void Remove();

    // The name of a session folder (without its folder).
    static std::string Name(std::uint32_t milliseconds, std::uint32_t counter, const std::string& suffix);
    // Removes the session folders in `cacheFolder` that no running process holds; answers how many.
    static int RemoveLeftovers(const std::string& cacheFolder);

private:
    std::string m_path;
    int m_lockFd = -1;
};

// Adds the removal of session folders that killed runs left behind to shutdown ("Cleaning up leftover
// FTP files").
void addFTPUploadCacheService(CLumoApp& app);

class FTPFile {
public:
    // Copies a prepared file into `backupFolder` under a free name; false when it failed.
    static bool SaveBackup(const std::string& path, const std::string& backupFolder,
                           std::string* saved = nullptr);
};

// Prepares one photo at a time into the session folder.
class FTPImageProcessing {
public:
    // `paths`: the photos of the run (for the {variables} of the rendering).
    FTPImageProcessing(const FTPAsOptions& options, std::string sessionFolder,
                       std::vector<std::string> paths);
    ~FTPImageProcessing();

    // The template's reverse-geocoding flags are dropped (the user chose to go on without).
    void DropReverseGeocoding();
    // The current template when it is applied (null when not asked or there is none).
    const IPTCRec* Stationery();

    // Prepares the `index`th photo (from 1): true with the file to send in `prepared` (the original
    // itself when nothing is done to it); false with the reason for the user in `error`.
    bool Process(const std::string& path, std::uint32_t index, std::string& prepared, std::string& error);

private:
    bool CopyWithTemplate(const std::string& path, std::uint32_t index, std::string& prepared,
                          std::string& error);

    FTPAsOptions m_options;
    std::string m_session;
    std::vector<std::string> m_claimed;
    std::unique_ptr<SaveAsThread> m_renderer;
    bool m_stationeryLoaded = false;
    std::optional<IPTCRec> m_stationery;
};

// One file of the run.
struct FTPPreparedFile {
    std::string source;   // the photo's file
    std::string prepared; // the file to send (empty when preparing failed)
    std::string error;    // why it failed
};

// The preparation worker: prepares every photo (with its raw or JPEG partner as the choice says) and
// hands each prepared file to `m_queueFile` in order.
class FTPAsThread : public CProgressInfo {
public:
    FTPAsThread(std::vector<std::string> paths, FTPAsOptions options,
                ProgressDialogInterface* progress = nullptr);
    ~FTPAsThread() override;

    // Takes each prepared file as soon as it is ready (on the worker thread).
    std::function<void(const FTPPreparedFile& file)> m_queueFile;
    // Looks up the places of the photos' GPS positions for the template; false when it failed (the user
    // is then asked whether to go on without). Without one set, the installed geocoder is used.
    std::function<bool(const std::vector<std::string>& paths)> m_reverseGeocode;

    // The files the raw+JPEG choice keeps of `paths`, in order (needs the image engine).
    static std::vector<std::string> SelectFiles(const std::vector<std::string>& paths, int rawJpegChoice);

    // After the run: every file, in order, and the session folder (empty until made; removed with the
    // worker, or by RemoveSession()).
    const std::vector<FTPPreparedFile>& Files() const { return m_files; }
    const std::string& SessionFolder() const { return m_session.Path(); }
    void RemoveSession() { m_session.Remove(); }
    // The worker's own failure (the session folder, an exception); empty when there was none.
    const std::string& Error() const { return m_error; }

protected:
    void operator()() override;
    const char* ThreadName() const override { return "FTPAs"; }

private:
    void Run();

    std::vector<std::string> m_paths;
    FTPAsOptions m_options;
    FTPSessionFolder m_session;
    std::vector<FTPPreparedFile> m_files;
    std::string m_error;
};
