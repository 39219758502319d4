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
};
