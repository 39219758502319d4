#pragma once

// The one place where a photo's file is copied or moved into a destination folder under a free name.
// A copy never replaces a file unless asked (kCopyOverwrite), and a copy that fails never leaves a file
// under its final name: the photo and its attached files are copied under a temporary name first and
// only renamed once complete.

#include "NRF/NRFImageInfo.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct IPTCRec;
struct VariableContext;

enum CopyFileFlags : std::uint16_t {
    kCopyApplyMetadata = 1,   // merge the caller's metadata into the copy
    kCopySoundFile = 2,       // the photo's sound file goes along
    kCopyRenameTemplate = 4,  // the destination name comes from the naming template
    kCopyMove = 8,            // move instead of copy
    kCopyOverwrite = 16,      // keep the wanted name, replacing a file of that name
    kCopyEngineMetadata = 32, // set by the image copy: the engine carries the record it built
    // Every file of the copy is read back from the disk (after it is flushed and its cached pages are
    // dropped) and compared with the source's digest, computed while the source was read for the copy,
    // before the copy takes its final name. A mismatch or a read error fails the copy. (A move within
    // one volume copies no bytes: it has nothing to verify.) The caller's metadata goes into the copy
    // after its bytes were verified.
    kCopyVerify = 64,
    // A file already under the wanted name with the source's size and digest is this copy having arrived
    // before (an interrupted run): it is taken as the copy instead of copying again under a free name.
    // A verified copy that the caller's metadata changed carries its source's digest and size in the
    // extended attribute "user.lumo.source" to be known again (where the file system keeps them).
    kCopyKeepArrived = 128,
};

// A file's XXH3-128 digest.
struct FileDigest {
    std::uint64_t high = 0;
    std::uint64_t low = 0;

    bool operator==(const FileDigest&) const = default;
    bool empty() const { return high == 0 && low == 0; }
    // 32 lower-case hexadecimal digits.
    std::string hex() const;
    // False (and `digest` untouched) unless `text` is 32 hexadecimal digits.
    static bool fromHex(const std::string& text, FileDigest& digest);
};

// The digest and size of a file's bytes; with `uncached` the file's cached pages are flushed and dropped
// first, so that the bytes come from the disk. 0 or an errno value.
int DigestOfFile(const std::string& path, FileDigest& digest, std::uint64_t* size = nullptr,
                 bool uncached = false);

// What a copy did, for callers that keep records of their copies.
struct CopyOutcome {
    FileDigest digest;      // the source photo's digest (with kCopyVerify or when it had arrived)
    std::uint64_t size = 0; // the source photo's size in bytes
    bool verified = false;  // every file of the copy was read back and matched its source
    bool arrived = false;   // the photo was already there complete (kCopyKeepArrived): nothing was copied
    std::string path;       // the photo's final path
};

// Told (source, destination) before a file is copied or moved.
class CopyListener {
public:
    virtual ~CopyListener() = default;
    virtual void willCopy(const std::string& source, const std::string& destination) = 0;
};

struct CopyFileRequest {
    std::string sourcePath;
    std::string destinationFolder;
    const NRFImageInfoRec* image = nullptr; // may be null: a plain file copy
    const IPTCRec* metadata = nullptr;      // may be null
    std::string namingTemplate;             // with kCopyRenameTemplate
    VariableContext* context = nullptr;     // expansion state for the template (may be null)
    std::uint16_t flags = 0;
    std::vector<std::string> companionExtensions; // without dots
    std::vector<std::string> claimed;             // paths other copies of the same run will use
    CopyListener* listener = nullptr;
    // With kCopyApplyMetadata, instead of `metadata` merged over it: changes the photo's own metadata
    // (as read from the source file) into what the copy gets, so that a field may also be cleared.
    // False fails the copy before anything is written, with the reason in `error`.
    std::function<bool(const NRFImageInfoRec& image, IPTCRec& metadata, std::string& error)> editMetadata;
    CopyOutcome* outcome = nullptr; // filled on success when given
};

class CopyFile {
public:
    // 1 on success (`name` holds the name used), 0 on failure (the reason in ErrorText()). `name` in:
    // the wanted name, or empty.
    static int FileCopyEx(const CopyFileRequest& request, std::string& name);
    static int DoFileCopy(const CopyFileRequest& request, std::string& name);
    static int DoImageCopy(const CopyFileRequest& request, std::string& name);
    static int CopyNRFAsTempWithSynchronizedRename(const CopyFileRequest& request, std::string& name);
    // The last failure's text on this thread, in the user's words.
    static const std::string& ErrorText();

    // Whether `destination` holds the same bytes as `source` (same size, same digest); `digest` receives
    // the source's digest when they match.
    static bool HasArrived(const std::string& source, const std::string& destination, FileDigest* digest);
    // Removes what interrupted copies left in `folder`: the copy engine's temporary files ("tmp.{GUID}"
    // and their attached files, and the writable probe) unless a copy into the folder is under way, and
    // the "<name>.tmp-<pid>-<n>" files of processes that have ended. The number of files removed.
    static int RemoveLeftoverTemporaries(const std::string& folder);

    // For tests: called with each temporary file of a verified copy just before it is read back.
    using VerifyHook = std::function<void(const std::string& temporary)>;
    static void SetVerifyHookForTesting(VerifyHook hook);
};
