// The copy engine. A photo is copied by the image engine together with its attached files under a
// temporary name ("tmp.{GUID}.ext") in the destination folder; only then, under the process-wide scan
// lock, is a free final name chosen and the whole set renamed to it. A failure at any step removes the
// temporary files (or, for a move, puts them back where they came from), so nothing is ever left under
// the final name or a temporary one, and an existing file is replaced only with kCopyOverwrite.

#include "fileops/LumoCopyFile.h"

#include "NRF/NRF.h"
#include "app/LumoLog.h"
#include "db/PreferenceKeys.h"
#include "db/Preferences.h"
#include "fileops/UniquePaths.h"
#include "metadata/IPTCRec.h"
#include "metadata/IPTCUtils.h"
#include "metadata/PhotoMetadata.h"
#include "support/DiskUtils.h"
#include "support/FileIO.h"
#include "support/ScanLock.h"
#include "variables/VariableExpander.h"

#include <sys/random.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>

namespace {

constexpr NRFFileType kTypeUnknown = NRFMakeFileType("????");
constexpr NRFFileType kTypeIllegal = NRFMakeFileType("ILGL");
// Longer destination names are refused before anything is written.
constexpr std::size_t kMaxDestinationNameCharacters = 256;

std::string& errorText() {
    thread_local std::string text;
    return text;
}

__attribute__((format(printf, 1, 2))) int failWith(const char* format, ...) {
    char buffer[4096];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    errorText() = buffer;
    return 0;
}

std::string fileNameOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The extension without its dot ("" for none; a leading dot is no extension).
std::string extensionOf(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? std::string() : name.substr(dot + 1);
}

std::string baseOf(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

std::string joinPath(const std::string& folder, const std::string& name) {
    return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

std::size_t characterCount(const std::string& text) {
    std::size_t count = 0;
    for (const char c : text)
        count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return count;
}

std::string withExtension(const std::string& base, const std::string& extension) {
    return extension.empty() ? base : base + "." + extension;
}

// The destination name: the caller's, or the template's for this photo, or the source's name; the image
// copy puts the source's extension into the preferred case.
std::string destinationName(const CopyFileRequest& request, const IPTCRec* metadata, const std::string& given,
                            bool preferredCase, bool& callerNamed) {
    callerNamed = !given.empty();
    if (callerNamed)
        return given;
    const std::string source = fileNameOf(request.sourcePath);
    const bool fromTemplate = (request.flags & kCopyRenameTemplate) && request.image;
    const std::string extension = preferredCase || fromTemplate
                                      ? ExtensionInPreferredCase(extensionOf(source), extensionOf(source))
                                      : extensionOf(source);
    if (fromTemplate && !request.namingTemplate.empty()) {
        VariableContext context = request.context ? *request.context : VariableContext{};
        context.image = request.image;
        context.record = metadata;
        const std::string base = ExpandVariables(request.namingTemplate, context, kVariableFileName).text;
        if (!base.empty())
            return withExtension(base, extension);
    }
    return withExtension(baseOf(source), extension);
}

// "{%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}" from 16 random bytes (version 4).
std::string newGuidText() {
    unsigned char b[16];
    if (::getrandom(b, sizeof b, 0) != static_cast<ssize_t>(sizeof b)) {
        std::random_device device;
        for (unsigned char& byte : b)
            byte = static_cast<unsigned char>(device());
    }
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
    const unsigned long data1 = (static_cast<unsigned long>(b[0]) << 24) |
                                (static_cast<unsigned long>(b[1]) << 16) |
                                (static_cast<unsigned long>(b[2]) << 8) | b[3];
    char text[64];
    std::snprintf(text, sizeof text, "{%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", data1,
                  static_cast<unsigned>((b[4] << 8) | b[5]), static_cast<unsigned>((b[6] << 8) | b[7]), b[8],
                  b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return text;
}

// The caller's metadata over the photo's own: every field, date, time and photo state the caller set.
void mergeCallerMetadata(IPTCRec& into, const IPTCRec& from) {
    for (std::size_t i = 0; i < from.m_fields.size(); ++i)
        if (!from.m_fields[i].empty())
            into.m_fields[i] = from.m_fields[i];
    if (!from.m_noDate) {
        into.m_dateYear = from.m_dateYear;
        into.m_dateMonth = from.m_dateMonth;
        into.m_dateDay = from.m_dateDay;
        into.m_noDate = false;
    }
    if (!from.m_noTime) {
        into.m_timeHour = from.m_timeHour;
        into.m_timeMinute = from.m_timeMinute;
        into.m_timeSecond = from.m_timeSecond;
        into.m_hasZone = from.m_hasZone;
        into.m_zoneHours = from.m_zoneHours;
        into.m_zoneMinutes = from.m_zoneMinutes;
        into.m_noTime = false;
    }
    for (auto [target, value] :
         {std::pair{&into.m_colorClass, &from.m_colorClass}, std::pair{&into.m_rating, &from.m_rating},
          std::pair{&into.m_tagged, &from.m_tagged}})
        if (!value->empty())
            *target = *value;
}

// A record of the photo the engine can copy: the caller's when it is a local one, else a new one.
NRFImageInfoRef localRecordFor(const CopyFileRequest& request) {
    if (request.image && request.image->IsLocal() && request.image->m_path == request.sourcePath)
        return request.image->Clone();
    NRFImageInfoRef record;
    const NRFFileType type = request.image ? request.image->m_fileType : 0;
    if (NRFOpenImage(request.sourcePath.c_str(), type, &record) != kNRFErrNone)
        return nullptr;
    return record;
}

// What is left of a failed copy under the temporary name goes: removed, or for a move put back.
void discardTemporary(const std::string& temporary, NRFFileType type, const std::string& source, bool moved) {
    NRFImageInfoRef record;
    if (NRFOpenImage(temporary.c_str(), type, &record) == kNRFErrNone && moved) {
        if (DoCopyFile(record.get(), source.c_str(), kNRFCopyWithSound | kNRFCopyMove) == kNRFErrNone)
            return;
        LUMO_LOG("CopyFile: the moved files stay under '%s': they could not be put back to '%s'",
                 temporary.c_str(), source.c_str());
        return;
    }
    if (moved) // never remove the only copy of a moved photo
        return;
    std::vector<std::string> attached;
    int sounds = 0;
    if (record)
        NRFFindAttachedFiles(temporary, record->m_fileType, &attached, &sounds);
    lumo::removeFile(temporary);
    for (const std::string& file : attached)
        lumo::removeFile(file);
}

int copyAsTemporaryAndRename(const CopyFileRequest& request, NRFImageInfoRec* record, const IPTCRec* metadata,
                             bool callerNamed, std::string& name) {
    const std::string& folder = request.destinationFolder;
    const int style = RenameResolutionStyleFromPreferences();
    const bool overwrite = (request.flags & kCopyOverwrite) != 0;
    const bool move = (request.flags & kCopyMove) != 0;
    const std::string temporaryName = withExtension("tmp." + newGuidText(), extensionOf(name));
    const std::string temporary = joinPath(folder, temporaryName);

    if (request.listener) {
        std::string expected = name;
        if (!overwrite)
            MakeUniqueFileName(folder, expected, request.claimed, request.companionExtensions, callerNamed,
                               style);
        request.listener->willCopy(request.sourcePath, joinPath(folder, expected));
    }
    unsigned engineFlags = 0;
    if (request.flags & kCopySoundFile)
        engineFlags |= kNRFCopyWithSound;
    if (move)
        engineFlags |= kNRFCopyMove;
    if (DoCopyFile(record, temporary.c_str(), engineFlags) != kNRFErrNone)
        return failWith("%s", NRFGetErrorText().c_str());

    // From here on a failure leaves nothing under the temporary name.
    NRFImageInfoRef copy;
    NRFFileType type = record->m_fileType;
    if (NRFGetType(temporary.c_str(), &type, true) != kNRFErrNone)
        type = record->m_fileType;
    auto fail = [&](const std::string& why) {
        copy.reset();
        discardTemporary(temporary, type, request.sourcePath, move);
        errorText() = why;
        return 0;
    };
    if (NRFOpenImage(temporary.c_str(), type, &copy) != kNRFErrNone)
        return fail(NRFGetErrorText());
    if (metadata) {
        // The caller's metadata goes into the copy before it takes its name. The save writes the copy's
        // photo state with it: the copy's own (its original's) first, then what the metadata sets.
        if (NRFGetImageInfo(copy.get()) != kNRFErrNone)
            return fail(NRFGetErrorText());
        IPTCRec own;
        NRFLoadIPTC(copy.get(), &own);
        IPTCPhotoStateIntoImage(*metadata, IPTCEncodingSettingsFromPreferences(), *copy);
        if (DoSaveIPTC(copy.get(), *metadata) != kNRFErrNone)
            return fail(NRFGetErrorText());
    }
    // The attached files of the copy make their names taken too (photo.XMP, photo.NEF.NKS).
    std::vector<std::string> companions = request.companionExtensions;
    if (NRFCheckForAttachedFiles(copy.get()) == kNRFErrNone) {
        const std::string base = baseOf(temporary) + ".";
        for (const std::string& file : copy->m_attachedFiles)
            if (file.compare(0, base.size(), base) == 0)
                companions.push_back(file.substr(base.size()));
    }

    std::lock_guard lock(lumo::scanLock());
    LUMO_CHANNEL_LOG(DebugFlag::COPY_MOVE_LOGGING,
                     "CopyFile::CopyNRFAsTempWithSynchronizedRename() got rescan lock");
    std::string resolved = name;
    if (!overwrite &&
        !MakeUniqueFileName(folder, resolved, request.claimed, companions, callerNamed, style)) {
        const std::string sourceName = fileNameOf(request.sourcePath);
        bool found = false;
        if (name != sourceName) {
            resolved = baseOf(name) + "-" + sourceName;
            found = MakeUniqueFileName(folder, resolved, request.claimed, companions, callerNamed, style);
        }
        if (!found) {
            char message[8192];
            std::snprintf(
                message, sizeof message,
                "There were too many files with the same name at the destination.\n\n'%s' could not be "
                "renamed to '%s'.  This can occur when copying a large number of similarly-named "
                "files to a single folder.",
                temporaryName.c_str(), name.c_str());
            LUMO_LOG("%s", message);
            return fail(message);
        }
    }
    const std::string finalPath = joinPath(folder, resolved);
    if (NRFRenameFile(copy.get(), finalPath.c_str(), overwrite ? unsigned{kNRFRenameReplace} : 0u) !=
        kNRFErrNone) {
        LUMO_CHANNEL_LOG(DebugFlag::COPY_MOVE_LOGGING,
                         "CopyFile::CopyNRFAsTempWithSynchronizedRename() failed to rename '%s' to '%s'",
                         temporary.c_str(), finalPath.c_str());
        return fail(NRFGetErrorText());
    }
    LUMO_CHANNEL_LOG(DebugFlag::COPY_MOVE_LOGGING,
                     "CopyFile::CopyNRFAsTempWithSynchronizedRename() file renamed to '%s'",
                     finalPath.c_str());
    name = resolved;
    return 1;
}

// Linux file systems keep no creation time that a program may set: the copy keeps the photo's
// modification time (FileCopyWithAttrs copies it), and the log says so once.
void noteCreationTimes() {
    bool on = kPrefUpdateCreationTimesDuringCopyDefault;
    if (const auto preferences = CPreferences::instance())
        on = preferences->getBool(kPrefUpdateCreationTimesDuringCopy,
                                  kPrefUpdateCreationTimesDuringCopyDefault);
    static std::once_flag once;
    if (on)
        std::call_once(once, [] {
            LUMO_LOG(
                "CopyFile::DoImageCopy(): UpdateCreationTimesDuringCopy: this system has no creation time to "
                "set; copies keep the photo's modification time");
        });
}

} // namespace

const std::string& CopyFile::ErrorText() {
    return errorText();
}

int CopyFile::FileCopyEx(const CopyFileRequest& request, std::string& name) {
    try {
        NRFInstallDiskUtilsLog();
        errorText().clear();
        if (request.sourcePath.empty() || request.destinationFolder.empty())
            return failWith("Nothing to copy.");
        const NRFFileType type = request.image ? request.image->m_fileType : 0;
        if (!request.image || type == kNRFTypeProxy || type == kTypeUnknown || type == kTypeIllegal)
            return DoFileCopy(request, name);
        return DoImageCopy(request, name);
    } catch (const std::exception& e) {
        LUMO_LOG("Unexpected exception in CopyFile::FileCopyEx() %s", e.what());
    } catch (...) {
        LUMO_LOG("Unexpected exception in CopyFile::FileCopyEx()");
    }
    return failWith("Unexpected error while copying '%s'.", request.sourcePath.c_str());
}

int CopyFile::DoFileCopy(const CopyFileRequest& request, std::string& name) {
    bool callerNamed = false;
    std::string wanted = destinationName(request, request.metadata, name, false, callerNamed);
    const bool overwrite = (request.flags & kCopyOverwrite) != 0;
    if (!overwrite &&
        !MakeUniqueFileName(request.destinationFolder, wanted, request.claimed, request.companionExtensions,
                            callerNamed, RenameResolutionStyleFromPreferences()))
        return failWith("No free name for '%s' in '%s'.", wanted.c_str(), request.destinationFolder.c_str());
    const std::string destination = joinPath(request.destinationFolder, wanted);
    if (request.listener)
        request.listener->willCopy(request.sourcePath, destination);
    bool ok;
    if (request.flags & kCopyMove) {
        if (!overwrite) {
            ok = DiskUtils::MoveFile(request.sourcePath, destination);
        } else {
            ok = lumo::renameFile(request.sourcePath, destination) == 0 ||
                 (DiskUtils::FileCopyWithAttrs(request.sourcePath, destination) &&
                  lumo::removeFile(request.sourcePath) == 0);
        }
    } else {
        ok = overwrite ? DiskUtils::FileCopyWithAttrs(request.sourcePath, destination)
                       : DiskUtils::FileCopyNoReplace(request.sourcePath, destination);
    }
    if (!ok)
        return failWith("Unable to copy '%s' to '%s': %s", request.sourcePath.c_str(), destination.c_str(),
                        DiskUtils::LastErrorText().c_str());
    name = wanted;
    return 1;
}

int CopyFile::DoImageCopy(const CopyFileRequest& request, std::string& name) {
    NRFImageInfoRef record = localRecordFor(request);
    if (!record)
        return failWith("%s", NRFGetErrorText().c_str());
    // The photo's own metadata is read only when something uses it: the naming template, or the
    // caller's metadata merged over it to be written into the copy.
    const bool apply = (request.flags & kCopyApplyMetadata) && (request.metadata || request.editMetadata);
    const bool useTemplate = (request.flags & kCopyRenameTemplate) && name.empty();
    IPTCRec merged;
    const IPTCRec* metadata = request.metadata;
    if (apply || useTemplate) {
        if (NRFGetImageInfo(record.get()) == kNRFErrNone)
            NRFLoadIPTC(record.get(), &merged);
        if (apply && request.editMetadata) {
            std::string why;
            if (!request.editMetadata(*record, merged, why))
                return failWith("%s", why.c_str());
        } else if (apply) {
            mergeCallerMetadata(merged, *request.metadata);
        }
        metadata = &merged;
    }
    bool callerNamed = false;
    std::string wanted = destinationName(request, metadata, name, true, callerNamed);
    if (characterCount(wanted) > kMaxDestinationNameCharacters) {
        LUMO_LOG("CopyFile::DoImageCopy(): ERROR filename '%s' is too long", wanted.c_str());
        return failWith("The file name '%s' is too long.", wanted.c_str());
    }
    wanted = ReplaceIllegalFileNameCharacters(wanted);
    if (!copyAsTemporaryAndRename(request, record.get(), apply ? &merged : nullptr, callerNamed, wanted))
        return 0;
    noteCreationTimes();
    name = wanted;
    return 1;
}

int CopyFile::CopyNRFAsTempWithSynchronizedRename(const CopyFileRequest& request, std::string& name) {
    NRFImageInfoRef record = localRecordFor(request);
    if (!record)
        return failWith("%s", NRFGetErrorText().c_str());
    bool callerNamed = !name.empty();
    if (!callerNamed)
        name = fileNameOf(request.sourcePath);
    return copyAsTemporaryAndRename(request, record.get(), nullptr, callerNamed, name);
}

std::string FileDigest::hex() const {
    char text[33];
    std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(high),
                  static_cast<unsigned long long>(low));
    return text;
}

bool FileDigest::fromHex(const std::string& text, FileDigest& digest) {
    if (text.size() != 32)
        return false;
    FileDigest parsed;
    for (std::size_t i = 0; i < 32; ++i) {
        const char c = text[i];
        unsigned value;
        if (c >= '0' && c <= '9')
            value = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f')
            value = static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            value = static_cast<unsigned>(c - 'A' + 10);
        else
            return false;
        std::uint64_t& half = i < 16 ? parsed.high : parsed.low;
        half = (half << 4) | value;
    }
    digest = parsed;
    return true;
}

int DigestOfFile(const std::string&, FileDigest&, std::uint64_t*, bool) {
    return ENOSYS;
}

bool CopyFile::HasArrived(const std::string&, const std::string&, FileDigest*) {
    return false;
}

int CopyFile::RemoveLeftoverTemporaries(const std::string&) {
    return 0;
}

void CopyFile::SetVerifyHookForTesting(VerifyHook) {}
