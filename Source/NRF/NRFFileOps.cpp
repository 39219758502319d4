// Copying, moving and renaming a photo together with its attached files. Every operation is all or
// nothing: what arrived of a failed copy is removed again, a failed rename puts back what it renamed,
// and a move lets go of its sources only once every file has arrived.

#include "NRF/NRF.h"

#include "NRF/NRFImageInfo.h"
#include "app/LumoLog.h"
#include "support/DiskUtils.h"
#include "support/FileIO.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <mutex>
#include <utility>

namespace {

void diskUtilsLogSink(const char* file, int line, const std::string& text) {
    if (isDebugFlagOn(DebugFlag::COPY_MOVE_LOGGING))
        ::lumoLogAt(file, line, "%s", text.c_str());
}

struct PathParts {
    std::string folder;    // with its trailing slash, or empty
    std::string stem;      // the name without its extension
    std::string base;      // folder + stem
    std::string extension; // with its dot, or empty
};

PathParts splitPath(const std::string& path) {
    PathParts parts;
    const std::size_t slash = path.rfind('/');
    parts.folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string name = path.substr(parts.folder.size());
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) {
        parts.stem = name;
    } else {
        parts.stem = name.substr(0, dot);
        parts.extension = name.substr(dot);
    }
    parts.base = parts.folder + parts.stem;
    return parts;
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

bool isSoundFile(const std::string& path) {
    std::string extension = splitPath(path).extension;
    for (char& c : extension)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extension == ".wav";
}

// The name `attached` (a file attached to `photo`) takes when the photo is called `newPath`: files named
// after the whole photo name (photo.NEF.NKS) follow the whole new name; "SND_" sound files keep their
// prefix before the new base name; the others take the new base name with what followed the old one
// (photo.XMP, photo_ACR.xmp).
std::string attachedNameFor(const std::string& photo, const std::string& attached,
                            const std::string& newPath) {
    const PathParts from = splitPath(photo), to = splitPath(newPath), file = splitPath(attached);
    if (startsWith(attached, photo + "."))
        return newPath + attached.substr(photo.size());
    if (startsWith(file.stem, "SND_") && !startsWith(from.stem, "SND_"))
        return to.folder + "SND_" + to.stem + file.extension;
    if (startsWith(attached, from.base))
        return to.base + attached.substr(from.base.size());
    return to.base + file.extension;
}

// The photo and the files that go with it: (source, destination) pairs, the photo first.
NRFErr planFiles(NRFImageInfoRec* record, const std::string& newPath, bool withSound,
                 std::vector<std::pair<std::string, std::string>>& pairs) {
    if (const NRFErr err = NRFCheckForAttachedFiles(record))
        return err;
    pairs.emplace_back(record->m_path, newPath);
    for (const std::string& attached : record->m_attachedFiles)
        if (withSound || !isSoundFile(attached))
            pairs.emplace_back(attached, attachedNameFor(record->m_path, attached, newPath));
    return kNRFErrNone;
}

bool sameVolume(const std::string& file, const std::string& folder) {
    struct stat a, b;
    return ::stat(file.c_str(), &a) == 0 && ::stat(folder.empty() ? "." : folder.c_str(), &b) == 0 &&
           a.st_dev == b.st_dev;
}

NRFErr writeFailure(const std::string& path) {
    NRFSetErrorText("Unable to write '%s': %s", path.c_str(), DiskUtils::LastErrorText().c_str());
    return kNRFErrWrite;
}

NRFErr copyFiles(NRFImageInfoRec* record, const std::string& destination, unsigned flags) {
    if (NRFFindFileType(record->m_fileType) < 0) {
        NRFSetErrorText("No plugin available to handle '%s'", record->m_path.c_str());
        return kNRFErrUnknownType;
    }
    const std::string folder = splitPath(destination).folder;
    if (!DiskUtils::IsWritableFolder(folder.empty() ? "." : folder)) {
        NRFSetErrorText("Destination path is read-only: '%s'.", folder.c_str());
        return kNRFErrWrite;
    }
    std::vector<std::pair<std::string, std::string>> pairs;
    if (const NRFErr err = planFiles(record, destination, (flags & kNRFCopyWithSound) != 0, pairs))
        return err;
    for (const auto& [from, to] : pairs)
        if (DiskUtils::exists(to)) {
            NRFSetErrorText("Unable to write '%s': %s", to.c_str(), "File exists");
            return kNRFErrWrite;
        }

    const bool move = (flags & kNRFCopyMove) != 0;
    std::vector<std::pair<std::string, std::string>> done;
    if (move && sameVolume(record->m_path, folder)) {
        // One volume: each file changes its name; a failure renames back what had moved.
        for (const auto& pair : pairs) {
            if (!DiskUtils::Rename(pair.first, pair.second)) {
                const NRFErr err = writeFailure(pair.second);
                for (auto it = done.rbegin(); it != done.rend(); ++it)
                    DiskUtils::Rename(it->second, it->first);
                return err;
            }
            done.push_back(pair);
        }
        lumo::syncFolderOf(destination);
        return kNRFErrNone;
    }
    for (const auto& pair : pairs) {
        if (!DiskUtils::FileCopyNoReplace(pair.first, pair.second)) {
            const NRFErr err = writeFailure(pair.second);
            for (const auto& arrived : done)
                lumo::removeFile(arrived.second);
            return err;
        }
        done.push_back(pair);
    }
    if (move) // every file has arrived whole: only now do the sources go
        for (const auto& pair : pairs)
            if (int e = lumo::removeFile(pair.first))
                LUMO_CHANNEL_LOG(DebugFlag::COPY_MOVE_LOGGING, "DoCopyFile(): could not remove '%s' (%d)",
                                 pair.first.c_str(), e);
    return kNRFErrNone;
}

NRFErr renameFiles(NRFImageInfoRec* record, const std::string& newPath, unsigned flags) {
    if (record->m_path == newPath)
        return kNRFErrNone;
    std::vector<std::pair<std::string, std::string>> pairs;
    if (const NRFErr err = planFiles(record, newPath, true, pairs))
        return err;
    const bool replace = (flags & kNRFRenameReplace) != 0;
    auto isSource = [&](const std::string& path) {
        for (const auto& pair : pairs)
            if (pair.first == path)
                return true;
        return false;
    };
    if (!replace)
        for (const auto& [from, to] : pairs)
            if (from != to && !isSource(to) && DiskUtils::exists(to)) {
                NRFSetErrorText("Unable to rename '%s' to '%s': %s", from.c_str(), to.c_str(), "File exists");
                return kNRFErrWrite;
            }

    // A file that is replaced is kept under a second name until every rename has succeeded, so that a
    // failure can put it back.
    std::vector<std::pair<std::string, std::string>> kept; // (replaced path, kept name)
    std::vector<std::pair<std::string, std::string>> done;
    auto undo = [&] {
        for (auto it = done.rbegin(); it != done.rend(); ++it)
            lumo::renameFile(it->second, it->first);
        for (const auto& [path, keptName] : kept)
            lumo::renameFile(keptName, path);
    };
    for (const auto& pair : pairs) {
        if (pair.first == pair.second)
            continue;
        bool ok;
        std::string why;
        if (replace) {
            if (DiskUtils::exists(pair.second) && !isSource(pair.second)) {
                const std::string keptName = pair.second + ".replaced-" + std::to_string(::getpid()) + "-" +
                                             std::to_string(kept.size());
                if (::link(pair.second.c_str(), keptName.c_str()) == 0)
                    kept.emplace_back(pair.second, keptName);
            }
            const int e = lumo::renameFile(pair.first, pair.second);
            ok = e == 0;
            if (!ok)
                why = std::strerror(e);
        } else {
            ok = DiskUtils::Rename(pair.first, pair.second);
            if (!ok)
                why = DiskUtils::LastErrorText();
        }
        if (!ok) {
            NRFSetErrorText("Unable to rename '%s' to '%s': %s", pair.first.c_str(), pair.second.c_str(),
                            why.c_str());
            undo();
            return kNRFErrWrite;
        }
        done.push_back(pair);
    }
    for (const auto& entry : kept)
        ::unlink(entry.second.c_str());
    lumo::syncFolderOf(newPath);
    record->m_path = newPath;
    NRFCheckForAttachedFiles(record);
    return kNRFErrNone;
}

} // namespace

void NRFInstallDiskUtilsLog() {
    static std::once_flag once;
    std::call_once(once, [] { DiskUtils::SetLogSink(&diskUtilsLogSink); });
}

NRFErr DoCopyFile(NRFImageInfoRec* record, const char* destination, unsigned flags) {
    try {
        NRFInstallDiskUtilsLog();
        if (!record || !destination || !*destination) {
            NRFSetErrorText("Fatal error while opening file, bad parameter(s).");
            return kNRFErrParam;
        }
        return copyFiles(record, destination, flags);
    } catch (const std::exception& e) {
        LUMO_LOG("Unexpected exception in DoCopyFile() %s", e.what());
    } catch (...) {
        LUMO_LOG("Unexpected exception in DoCopyFile()");
    }
    return kNRFErrException;
}

NRFErr NRFRenameFile(NRFImageInfoRec* record, const char* newPath, unsigned flags) {
    try {
        NRFInstallDiskUtilsLog();
        if (!record || !newPath || !*newPath) {
            NRFSetErrorText("Fatal error while opening file, bad parameter(s).");
            return kNRFErrParam;
        }
        return renameFiles(record, newPath, flags);
    } catch (const std::exception& e) {
        LUMO_LOG("Unexpected exception in NRFRenameFile() %s", e.what());
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFRenameFile()");
    }
    return kNRFErrException;
}

NRFErr NRFAttachedFileNamesFor(NRFImageInfoRec* record, const std::string& newPath,
                               std::vector<std::string>* names) {
    try {
        if (!record || !names || newPath.empty())
            return kNRFErrParam;
        names->clear();
        std::vector<std::string> files;
        int sounds = 0;
        if (const NRFErr err = NRFFindAttachedFiles(record->m_path, record->m_fileType, &files, &sounds))
            return err;
        for (const std::string& file : files)
            names->push_back(attachedNameFor(record->m_path, file, newPath));
        return kNRFErrNone;
    } catch (const std::exception& e) {
        LUMO_LOG("Unexpected exception in NRFAttachedFileNamesFor() %s", e.what());
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFAttachedFileNamesFor()");
    }
    return kNRFErrException;
}
