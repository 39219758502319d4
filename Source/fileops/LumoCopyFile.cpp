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

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <xxhash.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <new>
#include <optional>
#include <random>
#include <regex>

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

// The XXH3-128 digest of bytes given piece by piece.
class Digester {
public:
    Digester() : m_state(XXH3_createState()) {
        if (!m_state)
            throw std::bad_alloc();
        reset();
    }
    ~Digester() { XXH3_freeState(m_state); }
    Digester(const Digester&) = delete;
    Digester& operator=(const Digester&) = delete;

    void reset() { XXH3_128bits_reset(m_state); }
    void update(const void* data, std::size_t size) { XXH3_128bits_update(m_state, data, size); }
    FileDigest digest() const {
        const XXH128_hash_t hash = XXH3_128bits_digest(m_state);
        return FileDigest{hash.high64, hash.low64};
    }

private:
    XXH3_state_t* m_state;
};

std::mutex& verifyHookMutex() {
    static std::mutex mutex;
    return mutex;
}

CopyFile::VerifyHook& verifyHook() {
    static CopyFile::VerifyHook hook;
    return hook;
}

// One file of a verified copy.
struct VerifiedFile {
    std::string source;
    std::uint64_t size = 0;
    FileDigest digest;
};

// While it lives, every file this thread copies is digested as its source is read and read back from
// the disk before it takes its name; a copy that reads back differently, or not at all, fails.
class CopyVerifier : public DiskUtils::CopyObserver {
public:
    CopyVerifier() : m_previous(DiskUtils::SetCopyObserver(this)) {}
    ~CopyVerifier() override { DiskUtils::SetCopyObserver(m_previous); }
    CopyVerifier(const CopyVerifier&) = delete;
    CopyVerifier& operator=(const CopyVerifier&) = delete;

    void copyStarting(const std::string& src, const std::string&) override {
        m_digester.reset();
        m_source = src;
        m_size = 0;
    }
    void copyBytes(const char* data, std::size_t size) override {
        m_digester.update(data, size);
        m_size += size;
    }
    int copyComplete(const std::string& temporary) override {
        const FileDigest expected = m_digester.digest();
        {
            std::lock_guard lock(verifyHookMutex());
            if (verifyHook())
                verifyHook()(temporary);
        }
        FileDigest actual;
        std::uint64_t size = 0;
        if (const int e = DigestOfFile(temporary, actual, &size, true)) {
            m_failure =
                "The copy of '" + m_source + "' could not be read back to verify it: " + std::strerror(e);
            LUMO_LOG("CopyFile: verification of '%s' failed: '%s' could not be read back (%s)",
                     m_source.c_str(), temporary.c_str(), std::strerror(e));
            return e;
        }
        if (size != m_size || actual != expected) {
            m_failure = "The copy of '" + m_source + "' did not match it when read back from the disk.";
            LUMO_LOG(
                "CopyFile: verification of '%s' failed: '%s' reads back as %llu bytes, digest %s; the source "
                "has %llu bytes, digest %s",
                m_source.c_str(), temporary.c_str(), static_cast<unsigned long long>(size),
                actual.hex().c_str(), static_cast<unsigned long long>(m_size), expected.hex().c_str());
            return EIO;
        }
        m_files.push_back(VerifiedFile{m_source, m_size, expected});
        return 0;
    }

    // Why the last copy failed verification ("" when none did).
    const std::string& failure() const { return m_failure; }
    const VerifiedFile* fileFrom(const std::string& source) const {
        for (const VerifiedFile& file : m_files)
            if (file.source == source)
                return &file;
        return nullptr;
    }

private:
    DiskUtils::CopyObserver* m_previous;
    Digester m_digester;
    std::string m_source;
    std::uint64_t m_size = 0;
    std::string m_failure;
    std::vector<VerifiedFile> m_files;
};

// Copies into a folder hold a shared lock on it while their temporary files exist; the clean-up of
// leftover temporary files takes it exclusively, so that it never removes the file of a copy under way
// (in this process or another).
class FolderCopyLock {
public:
    FolderCopyLock(const std::string& folder, int operation) {
        m_fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (m_fd < 0)
            return;
        int result;
        do
            result = ::flock(m_fd, operation);
        while (result != 0 && errno == EINTR);
        m_error = result == 0 ? 0 : errno;
    }
    ~FolderCopyLock() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FolderCopyLock(const FolderCopyLock&) = delete;
    FolderCopyLock& operator=(const FolderCopyLock&) = delete;
    // Whether another holder refused the lock (a non-blocking request).
    bool refused() const { return m_fd >= 0 && m_error == EWOULDBLOCK; }

private:
    int m_fd = -1;
    int m_error = 0;
};

// The failure's text: what verification found when it failed the copy, else `otherwise`.
int failVerifiedCopy(const CopyVerifier* verifier, const std::string& otherwise) {
    errorText() = verifier && !verifier->failure().empty() ? verifier->failure() : otherwise;
    return 0;
}

bool isSoundFile(const std::string& path) {
    std::string extension = extensionOf(fileNameOf(path));
    for (char& c : extension)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extension == "wav";
}

// The name an attached file of `photo` has beside the copy `copy` (the image engine's naming): files
// named after the whole photo name (photo.NEF.NKS) follow the whole name; "SND_" sound files keep their
// prefix; the others take the copy's base name with what followed the photo's (photo.XMP).
std::string attachedNameBeside(const std::string& photo, const std::string& attached,
                               const std::string& copy) {
    const std::size_t slash = copy.rfind('/');
    const std::string copyFolder = slash == std::string::npos ? std::string() : copy.substr(0, slash + 1);
    const std::string copyStem = baseOf(fileNameOf(copy));
    const std::string photoBase =
        photo.substr(0, photo.size() - fileNameOf(photo).size()) + baseOf(fileNameOf(photo));
    const std::string attachedName = fileNameOf(attached);
    if (attached.compare(0, photo.size() + 1, photo + ".") == 0)
        return copy + attached.substr(photo.size());
    if (attachedName.compare(0, 4, "SND_") == 0 && fileNameOf(photo).compare(0, 4, "SND_") != 0)
        return copyFolder + "SND_" + copyStem + "." + extensionOf(attachedName);
    if (attached.compare(0, photoBase.size(), photoBase) == 0)
        return copyFolder + copyStem + attached.substr(photoBase.size());
    const std::string extension = extensionOf(attachedName);
    return copyFolder + copyStem + (extension.empty() ? "" : "." + extension);
}

// The extended attribute a copy changed by the caller's metadata keeps its source's digest and size in.
constexpr char kSourceMark[] = "user.lumo.source";

void markCopyOf(const std::string& copy, const VerifiedFile& source) {
    const std::string mark = source.digest.hex() + " " + std::to_string(source.size);
    if (::setxattr(copy.c_str(), kSourceMark, mark.data(), mark.size(), 0) != 0)
        LUMO_CHANNEL_LOG(DebugFlag::COPY_MOVE_LOGGING, "CopyFile: '%s' cannot carry its source's digest: %s",
                         copy.c_str(), std::strerror(errno));
}

// Whether `copy` carries the mark of `source` (same digest, same size); `digest` receives it.
bool markedCopyOf(const std::string& copy, const std::string& source, FileDigest& digest) {
    char mark[64];
    const ssize_t length = ::getxattr(copy.c_str(), kSourceMark, mark, sizeof mark - 1);
    if (length <= 0)
        return false;
    mark[length] = 0;
    const std::string text(mark, static_cast<std::size_t>(length));
    const std::size_t space = text.find(' ');
    FileDigest marked, actual;
    std::uint64_t size = 0;
    if (space == std::string::npos || !FileDigest::fromHex(text.substr(0, space), marked) ||
        DigestOfFile(source, actual, &size) != 0 || actual != marked ||
        std::to_string(size) != text.substr(space + 1))
        return false;
    digest = actual;
    return true;
}

enum class Arrival { No, Yes, Failed };

// With kCopyKeepArrived: whether the photo is already at `destination` (an interrupted run copied it),
// with its attached files; attached files still missing there are copied now.
Arrival arrivedBefore(const CopyFileRequest& request, NRFImageInfoRec* record,
                      const std::string& destination) {
    if (!(request.flags & kCopyKeepArrived) || (request.flags & (kCopyOverwrite | kCopyMove)) ||
        !DiskUtils::exists(destination))
        return Arrival::No;
    for (const std::string& claimed : request.claimed)
        if (claimed == destination)
            return Arrival::No;
    FileDigest digest;
    // A copy changed by the caller's metadata is known by the mark of its source; its attached files
    // (changed with it) by their names.
    const bool marked = markedCopyOf(destination, request.sourcePath, digest);
    if (!marked && !CopyFile::HasArrived(request.sourcePath, destination, &digest))
        return Arrival::No;
    std::vector<std::pair<std::string, std::string>> missing;
    if (record) {
        if (NRFCheckForAttachedFiles(record) != kNRFErrNone)
            return Arrival::No;
        for (const std::string& attached : record->m_attachedFiles) {
            if (isSoundFile(attached) && !(request.flags & kCopySoundFile))
                continue;
            const std::string target = attachedNameBeside(request.sourcePath, attached, destination);
            if (!DiskUtils::exists(target))
                missing.emplace_back(attached, target);
            else if (!marked && !CopyFile::HasArrived(attached, target, nullptr))
                return Arrival::No;
        }
    }
    std::optional<CopyVerifier> verifier;
    if (request.flags & kCopyVerify)
        verifier.emplace();
    for (const auto& [from, to] : missing)
        if (!DiskUtils::FileCopyNoReplace(from, to)) {
            failVerifiedCopy(verifier ? &*verifier : nullptr,
                             "Unable to copy '" + from + "' to '" + to + "': " + DiskUtils::LastErrorText());
            return Arrival::Failed;
        }
    LUMO_CHANNEL_LOG(DebugFlag::COPY_MOVE_LOGGING, "CopyFile: '%s' had already arrived as '%s'",
                     request.sourcePath.c_str(), destination.c_str());
    if (request.outcome) {
        std::uint64_t size = 0;
        lumo::fileSize(request.sourcePath, size);
        *request.outcome = CopyOutcome{digest, size, true, true, destination};
    }
    return Arrival::Yes;
}

// A verified copy's outcome.
void recordOutcome(const CopyFileRequest& request, const std::optional<VerifiedFile>& file,
                   const std::string& path) {
    if (!request.outcome)
        return;
    CopyOutcome outcome;
    outcome.path = path;
    if (file) {
        outcome.digest = file->digest;
        outcome.size = file->size;
        outcome.verified = true;
    } else {
        lumo::fileSize(request.sourcePath, outcome.size);
    }
    *request.outcome = outcome;
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
    const FolderCopyLock folderLock(folder, LOCK_SH);
    std::optional<VerifiedFile> verified;
    {
        std::optional<CopyVerifier> verifier;
        if (request.flags & kCopyVerify)
            verifier.emplace();
        if (DoCopyFile(record, temporary.c_str(), engineFlags) != kNRFErrNone)
            return failVerifiedCopy(verifier ? &*verifier : nullptr, NRFGetErrorText());
        if (verifier)
            if (const VerifiedFile* file = verifier->fileFrom(record->m_path))
                verified = *file;
    }

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
        // The copy no longer has its source's bytes: it carries the source's digest to be known again.
        if (verified && (request.flags & kCopyKeepArrived))
            markCopyOf(temporary, *verified);
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
    recordOutcome(request, verified, finalPath);
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
    switch (arrivedBefore(request, nullptr, joinPath(request.destinationFolder, wanted))) {
    case Arrival::Yes:
        name = wanted;
        return 1;
    case Arrival::Failed:
        return 0;
    case Arrival::No:
        break;
    }
    const FolderCopyLock folderLock(request.destinationFolder, LOCK_SH);
    std::optional<CopyVerifier> verifier;
    if (request.flags & kCopyVerify)
        verifier.emplace();
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
        return failVerifiedCopy(verifier ? &*verifier : nullptr, "Unable to copy '" + request.sourcePath +
                                                                     "' to '" + destination +
                                                                     "': " + DiskUtils::LastErrorText());
    std::optional<VerifiedFile> verified;
    if (verifier)
        if (const VerifiedFile* file = verifier->fileFrom(request.sourcePath))
            verified = *file;
    name = wanted;
    recordOutcome(request, verified, destination);
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
    switch (arrivedBefore(request, record.get(), joinPath(request.destinationFolder, wanted))) {
    case Arrival::Yes:
        name = wanted;
        return 1;
    case Arrival::Failed:
        return 0;
    case Arrival::No:
        break;
    }
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

int DigestOfFile(const std::string& path, FileDigest& digest, std::uint64_t* size, bool uncached) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    if (uncached) {
        // Written pages are dropped only once they are clean.
        if (::fdatasync(fd) != 0 && errno != EINVAL)
            return errno;
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    Digester digester;
    std::vector<char> piece(1 << 20);
    std::uint64_t total = 0;
    for (;;) {
        const ssize_t got = ::read(fd, piece.data(), piece.size());
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (got == 0)
            break;
        digester.update(piece.data(), static_cast<std::size_t>(got));
        total += static_cast<std::uint64_t>(got);
    }
    digest = digester.digest();
    if (size)
        *size = total;
    return 0;
}

bool CopyFile::HasArrived(const std::string& source, const std::string& destination, FileDigest* digest) {
    struct stat from {
    }, to{};
    if (::stat(source.c_str(), &from) != 0 || ::stat(destination.c_str(), &to) != 0 ||
        !S_ISREG(from.st_mode) || !S_ISREG(to.st_mode) || from.st_size != to.st_size ||
        (from.st_dev == to.st_dev && from.st_ino == to.st_ino))
        return false;
    FileDigest a, b;
    std::uint64_t sizeA = 0, sizeB = 0;
    if (DigestOfFile(source, a, &sizeA) != 0 || DigestOfFile(destination, b, &sizeB, true) != 0 ||
        sizeA != sizeB || a != b)
        return false;
    if (digest)
        *digest = a;
    return true;
}

int CopyFile::RemoveLeftoverTemporaries(const std::string& folder) {
    // "tmp.{GUID}" with what follows it, and the attached sound files "SND_tmp.{GUID}...".
    static const std::regex copyTemporary(
        R"((SND_)?tmp\.\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\}(\..*)?)");
    static const std::regex ownedTemporary(R"(.+\.tmp-([0-9]{1,9})-[0-9]+)");
    std::vector<std::string> ended, copies;
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder.empty() ? "." : folder, error), end;
         !error && it != end; it.increment(error)) {
        if (!it->is_regular_file(error) || it->is_symlink(error))
            continue;
        const std::string entryName = it->path().filename().string();
        if (entryName.find("tmp") == std::string::npos && entryName.find("TMP") == std::string::npos)
            continue;
        std::smatch match;
        if (entryName == "__TMP__XXYYZZQ__.tmp") { // the writable probe of a copy
            copies.push_back(it->path().string());
        } else if (std::regex_match(entryName, match, ownedTemporary)) {
            const pid_t pid = static_cast<pid_t>(std::stol(match[1].str()));
            if (pid > 0 && pid != ::getpid() && ::kill(pid, 0) != 0 && errno == ESRCH)
                ended.push_back(it->path().string());
        } else if (std::regex_match(entryName, copyTemporary)) {
            copies.push_back(it->path().string());
        }
    }
    if (error) {
        LUMO_LOG("CopyFile::RemoveLeftoverTemporaries() could not read '%s': %s", folder.c_str(),
                 error.message().c_str());
        return 0;
    }
    int removed = 0;
    auto remove = [&](const std::string& path) {
        if (lumo::removeFile(path) == 0) {
            LUMO_LOG("CopyFile::RemoveLeftoverTemporaries() removed '%s'", path.c_str());
            ++removed;
        }
    };
    for (const std::string& path : ended)
        remove(path);
    if (!copies.empty()) {
        const FolderCopyLock lock(folder, LOCK_EX | LOCK_NB);
        if (lock.refused())
            LUMO_LOG(
                "CopyFile::RemoveLeftoverTemporaries() left %zu temporary files in '%s': a copy into it is "
                "under way",
                copies.size(), folder.c_str());
        else
            for (const std::string& path : copies)
                remove(path);
    }
    if (removed)
        lumo::syncFolderOf(joinPath(folder, "."));
    return removed;
}

void CopyFile::SetVerifyHookForTesting(VerifyHook hook) {
    std::lock_guard lock(verifyHookMutex());
    verifyHook() = std::move(hook);
}
