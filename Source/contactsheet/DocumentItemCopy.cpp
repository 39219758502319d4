// Renaming and copying an item: kept apart from the rest of the item so that a program that never
// renames or copies items does not link the engine's file operations and the file copy.

#include "NRF/NRF.h"
#include "app/LumoLog.h"
#include "cache/CachedImage.h"
#include "contactsheet/DocumentItem.h"
#include "db/LumoSortCache.h"
#include "fileops/LumoCopyFile.h"

#include <cctype>

namespace {

std::string failureText(const char* heading, NRFErr err) {
    std::string error = NRFGetErrorText();
    if (error.empty())
        error = "The operation failed (error " + std::to_string(err) + ").";
    return std::string(heading) + "\n" + error;
}

} // namespace

// ---- rename

DocumentItem::Result DocumentItem::Rename(const std::string& newBaseName,
                                          const std::string& extensionCaseOf) {
    std::unique_lock changing(m_changeLock);
    const char* heading = DocumentItemText::kRenameHeading;
    if (!IsLocallyAvailable())
        return {kNRFErrNotLocal, DocumentItemText::kNotLocalRename};
    if (newBaseName.empty() || newBaseName.find('/') != std::string::npos || newBaseName == "." ||
        newBaseName == "..")
        return {kNRFErrParam, std::string(heading) + "\nThe name '" + newBaseName + "' is not a file name."};
    const std::shared_ptr<CachedImage> primary = Primary();
    const std::shared_ptr<CachedImage> companion = Companion();
    if (!primary)
        return {kNRFErrParam, std::string(heading) + "\nThe item has no file."};
    NRFSetErrorText("%s", "");
    if (const NRFErr err = Load(); err != kNRFErrNone)
        return {err, failureText(heading, err)};
    if (companion && !companion->Record())
        return {kNRFErrOpen, failureText(heading, kNRFErrOpen)};

    // Each file keeps its own extension in its own folder.
    bool upper = true;
    for (const char c : extensionCaseOf)
        if (std::isalpha(static_cast<unsigned char>(c))) {
            upper = std::isupper(static_cast<unsigned char>(c)) != 0;
            break;
        }
    const auto renamedPath = [&](const std::string& path) {
        const std::size_t slash = path.rfind('/');
        const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
        const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        const std::size_t dot = name.rfind('.');
        std::string extension = dot == std::string::npos || dot == 0 ? std::string() : name.substr(dot);
        if (!extensionCaseOf.empty())
            for (char& c : extension)
                c = static_cast<char>(upper ? std::toupper(static_cast<unsigned char>(c))
                                            : std::tolower(static_cast<unsigned char>(c)));
        return folder + newBaseName + extension;
    };
    const std::string oldPrimary = primary->Filename();
    const std::string newPrimary = renamedPath(oldPrimary);
    if (newPrimary == oldPrimary)
        return {};
    NRFImageInfoRef primaryRecord = primary->Record()->Clone();
    if (const NRFErr err = NRFRenameFile(primaryRecord.get(), newPrimary.c_str(), 0); err != kNRFErrNone)
        return {err, failureText(heading, err)};
    NRFImageInfoRef companionRecord;
    std::string oldCompanion, newCompanion;
    if (companion) {
        oldCompanion = companion->Filename();
        newCompanion = renamedPath(oldCompanion);
        companionRecord = companion->Record()->Clone();
        if (const NRFErr err = NRFRenameFile(companionRecord.get(), newCompanion.c_str(), 0);
            err != kNRFErrNone) {
            const std::string text = failureText(heading, err);
            // All or nothing: the primary takes its old name again.
            if (NRFRenameFile(primaryRecord.get(), oldPrimary.c_str(), 0) != kNRFErrNone)
                LUMO_LOG("DocumentItem::Rename() could not put back '%s' as '%s'", newPrimary.c_str(),
                         oldPrimary.c_str());
            return {err, text};
        }
    }
    primary->SetFilename(newPrimary);
    primary->SetRecord(std::move(primaryRecord));
    LumoSortCache::purgeSortInfoFor(oldPrimary);
    if (companion) {
        companion->SetFilename(newCompanion);
        companion->SetRecord(std::move(companionRecord));
        LumoSortCache::purgeSortInfoFor(oldCompanion);
    }
    changing.unlock();
    Changed.emit(*this);
    return {};
}

// The companion is copied under the primary's resulting base name (the name the copy gave the primary,
// with the companion's own extension), so that the pair stays a pair at the destination even when the
// primary's wanted name was taken and the copy chose another. A companion that fails to copy does not
// change the result (the primary is the photo), but its failure is logged and its text returned.
int DocumentItem::ImageCopy(const CopyFileRequest& request, std::string& name, std::string* error) {
    const std::shared_ptr<CachedImage> primary = Primary();
    const std::shared_ptr<CachedImage> companion = Companion();
    if (!primary) {
        if (error)
            *error = std::string(DocumentItemText::kCopyHeading) + "\nThe item has no file.";
        return 0;
    }
    Load();
    const NRFImageInfoRef primaryRecord = primary->Record();
    CopyFileRequest primaryRequest = request;
    primaryRequest.sourcePath = primary->Filename();
    primaryRequest.image = primaryRecord.get();
    // The name chosen for the primary must leave the companion's name free as well.
    if (companion) {
        const std::string companionSource = companion->Filename();
        const std::size_t slash = companionSource.rfind('/');
        const std::size_t dot = companionSource.rfind('.');
        if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1))
            primaryRequest.companionExtensions.push_back(companionSource.substr(dot + 1));
    }
    LUMO_LOG("primary:DocumentItem::ImageCopy() calling CopyFile::FileCopyEx()");
    const int result = CopyFile::FileCopyEx(primaryRequest, name);
    LUMO_LOG("primary:DocumentItem::ImageCopy() called CopyFile::FileCopyEx() result = %ld",
             static_cast<long>(result));
    if (result != 1) {
        if (error)
            *error = std::string(DocumentItemText::kCopyHeading) + "\n" + CopyFile::ErrorText();
        return 0;
    }
    if (!companion)
        return 1;

    const NRFImageInfoRef companionRecord = companion->Record();
    CopyFileRequest companionRequest = request;
    companionRequest.sourcePath = companion->Filename();
    companionRequest.image = companionRecord.get();
    companionRequest.flags = static_cast<std::uint16_t>(request.flags & ~kCopyRenameTemplate);
    // The primary's resulting base name with the companion's own extension.
    const std::size_t primaryDot = name.rfind('.');
    const std::string base =
        primaryDot == std::string::npos || primaryDot == 0 ? name : name.substr(0, primaryDot);
    const std::string source = companion->Filename();
    const std::size_t slash = source.rfind('/');
    const std::string sourceName = slash == std::string::npos ? source : source.substr(slash + 1);
    const std::size_t dot = sourceName.rfind('.');
    std::string companionName =
        base + (dot == std::string::npos || dot == 0 ? std::string() : sourceName.substr(dot));
    if (CompanionIsRaw())
        LUMO_LOG(
            "companion:primary:DocumentItem::ImageCopy() calling CopyFile::FileCopyEx() for RAW companion");
    else
        LUMO_LOG("companion:primary:DocumentItem::ImageCopy() calling CopyFile::FileCopyEx() for non-raw "
                 "companion");
    if (CopyFile::FileCopyEx(companionRequest, companionName) != 1) {
        LUMO_LOG("DocumentItem::ImageCopy() companion '%s' was not copied: %s", source.c_str(),
                 CopyFile::ErrorText().c_str());
        if (error)
            *error = std::string(DocumentItemText::kCopyHeading) + "\n" + CopyFile::ErrorText();
    }
    return 1;
}
