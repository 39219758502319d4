// Opening image records and filling them from their files: the status check that decides whether a
// file must be read again, re-detection of its type, and the reader dispatch with its re-dispatch when a
// reader finds the file to be of another type.

#include "NRF/NRF.h"

#include "NRF/NRFImageInfo.h"
#include "app/LumoLog.h"
#include "support/FileIO.h"

#include <algorithm>
#include <ctime>
#include <new>
#include <optional>
#include <tuple>
#include <vector>

namespace {

// What decides whether a record read before must be read again: the file's and the sidecar's status.
using FileStatus = std::tuple<std::uint64_t, std::int64_t, bool, std::uint64_t, std::int64_t>;

FileStatus fileStatus(const NRFImageInfoRec& record) {
    return std::make_tuple(record.m_fileSize, record.m_modTimeNs, record.m_hasXmpSidecar,
                           record.m_xmpSidecarSize, record.m_xmpSidecarModTimeNs);
}

void setFileStatus(NRFImageInfoRec& record, const FileStatus& status) {
    std::tie(record.m_fileSize, record.m_modTimeNs, record.m_hasXmpSidecar, record.m_xmpSidecarSize,
             record.m_xmpSidecarModTimeNs) = status;
}

// The file's status now. The record keeps the status of its last complete reading: the new one is
// stored only when the reading it starts succeeds, so that a failed reading is made again (and fails
// the same way) until the file changes. A file whose status cannot be read marks the record for good
// (result 10).
NRFErr currentStatus(NRFImageInfoRec& record, FileStatus& now) {
    const FileStatus stored = fileStatus(record);
    const bool read = record.RefreshFileStatus();
    now = fileStatus(record);
    setFileStatus(record, stored);
    if (read)
        return kNRFErrNone;
    record.m_fileSystemInfoFailed = true;
    NRFSetErrorText("Unable to get filesystem information for '%s'", record.m_path.c_str());
    return kNRFErrFileInfo;
}

// The reader lets go of the record, which starts over as a record of `type`: what the file gave goes,
// the prefs stay. The attached files are looked for again.
NRFErr startOver(NRFImageInfoRec& record, NRFFileType type) {
    NRFCloseImageForPlugin(&record);
    record.ReInitForType(type);
    if (const NRFErr err = record.InitImageInfo(); err != kNRFErrNone)
        return err;
    record.m_infoReadTime = static_cast<std::int64_t>(std::time(nullptr));
    return NRFCheckForAttachedFiles(&record);
}

// After a reader ran (whatever its result): a rotation that no reading of the file gave (the user's,
// or the prefs') stays when this reading found none either.
void settleRotation(NRFImageInfoRec& record, std::optional<std::int16_t> userRotation) {
    record.m_rotationFromFile = record.m_orientationPosCount != 0 || record.m_orientation != 0;
    if (!record.m_rotationFromFile && userRotation)
        record.m_orientation = *userRotation;
}

NRFErr getImageInfo(NRFImageInfoRec& record) {
    // Types the readers have found the file to be; a reader sending it back to one of them would make
    // the dispatch go round for ever.
    std::vector<NRFFileType> visited;
    bool typeFromReader = false;
    FileStatus status{};
    std::optional<std::int16_t> userRotation;
    for (;;) {
        if (record.FileSystemInfoFailed())
            return kNRFErrFileInfo;
        const int index = NRFFindFileType(record.m_fileType);
        if (index < 0) {
            NRFSetErrorText("No plugin available to handle '%s'", record.m_path.c_str());
            return kNRFErrParam;
        }
        // A record of another kind carries what the catalogue side read; there is no file to look at.
        if (!record.IsLocal())
            return record.m_hasInfo ? kNRFErrNone : kNRFErrNotLocal;

        if (!typeFromReader) {
            if (const NRFErr err = currentStatus(record, status); err != kNRFErrNone)
                return err;
            // Unchanged file and sidecar: what the record holds is still true.
            if (record.m_readComplete && status == fileStatus(record))
                return NRFCheckForAttachedFiles(&record);

            NRFFileType type = 0;
            if (const NRFErr err = NRFGetType(record.m_path.c_str(), &type, true); err != kNRFErrNone) {
                NRFSetErrorText("No plugin available for '%s'", record.m_path.c_str());
                return err;
            }
            if (!record.m_rotationFromFile)
                userRotation = record.m_orientation;
            // A record read before (or half read by a failed reading) starts over, so that nothing of
            // the old file stays: positions, counts, values the new file lacks. A fresh record only
            // changes type when it must. (The table holds every type detection answers.)
            const bool fresh = record.m_infoReadTime == 0;
            if (type != record.m_fileType || !fresh) {
                if (const NRFErr err = startOver(record, type); err != kNRFErrNone)
                    return err;
            } else {
                record.m_infoReadTime = static_cast<std::int64_t>(std::time(nullptr));
                if (const NRFErr err = NRFCheckForAttachedFiles(&record); err != kNRFErrNone)
                    return err;
            }
            if (userRotation)
                record.m_orientation = 0; // the reader finds the file's own, or none
        }
        typeFromReader = false;

        const NRFPluginFunctions& reader = *NRFGetPluginFunctions(NRFFindFileType(record.m_fileType));
        lumo::File file;
        if (file.open(record.m_path, lumo::File::Mode::Read) != 0) {
            NRFSetErrorText("Unable to open '%s'", record.m_path.c_str());
            settleRotation(record, userRotation);
            return kNRFErrOpen;
        }
        // A reader without a GetImageInfo entry reads nothing more than the engine already has.
        const NRFFileType readerType = record.m_fileType;
        const NRFErr err =
            reader.GetImageInfo ? reader.GetImageInfo(NRFGetContext(), record, file) : kNRFErrNone;
        if (err != kNRFErrWrongType) {
            record.KeepTextValid();
            settleRotation(record, userRotation);
            if (err == kNRFErrNone) {
                setFileStatus(record, status);
                record.m_readComplete = true;
            } else if (NRFGetErrorText().empty()) {
                NRFSetErrorText("Could not read the image information of '%s' (error %u)",
                                record.m_path.c_str(), static_cast<unsigned>(err));
            }
            return err;
        }
        file.close();

        const NRFFileType found = record.m_fileType;
        record.m_fileType = readerType; // the old reader closes its own record
        visited.push_back(readerType);
        if (std::find(visited.begin(), visited.end(), found) != visited.end() || NRFFindFileType(found) < 0) {
            LUMO_LOG("NRFGetImageInfo() the reader for '%s' sent '%s' on to '%s'",
                     NRFFileTypeString(readerType).c_str(), record.m_path.c_str(),
                     NRFFileTypeString(found).c_str());
            NRFSetErrorText("No plugin available to handle '%s'", record.m_path.c_str());
            settleRotation(record, userRotation);
            return kNRFErrBadFormat;
        }
        if (const NRFErr retypeErr = startOver(record, found); retypeErr != kNRFErrNone)
            return retypeErr;
        typeFromReader = true; // the reader looked inside: detection by name would undo its finding
    }
}

} // namespace

NRFErr NRFOpenImage(const char* path, NRFFileType type, NRFImageInfoRef* record) {
    try {
        if (!path || !*path || !record) {
            NRFSetErrorText("Fatal error while opening file, bad parameter(s).");
            return kNRFErrParam;
        }
        record->reset();
        if (type == 0 && NRFGetType(path, &type, true) != kNRFErrNone) {
            NRFSetErrorText("No plugin available for '%s'", path);
            return kNRFErrUnknownType;
        }
        if (NRFFindFileType(type) < 0) {
            NRFSetErrorText("No plugin available for '%s'", path);
            return kNRFErrParam;
        }
        auto opened = std::make_shared<NRFLocalImageInfoRec>(path, type);
        if (const NRFErr err = opened->InitImageInfo(); err != kNRFErrNone)
            return err;
        *record = std::move(opened);
        return kNRFErrNone;
    } catch (const std::bad_alloc&) {
        NRFSetErrorText("Out of memory.");
        return kNRFErrMemory;
    } catch (const std::exception& e) {
        LUMO_LOG("Unexpected exception in NRFOpenImage() %s", e.what());
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFOpenImage()");
    }
    NRFSetErrorText("Unexpected exception while opening file.");
    return kNRFErrException;
}

NRFErr NRFCloseImage(NRFImageInfoRef* record) {
    if (!record)
        return kNRFErrParam;
    NRFErr err = kNRFErrNone;
    if (*record && (*record)->IsLocal())
        err = NRFCloseImageForPlugin(record->get());
    record->reset();
    return err;
}

NRFErr NRFGetImageInfo(NRFImageInfoRec* record) {
    try {
        if (!record)
            return kNRFErrParam;
        NRFSetErrorText("%s", "");
        return getImageInfo(*record);
    } catch (const std::bad_alloc&) {
        NRFSetErrorText("Out of memory.");
        return kNRFErrMemory;
    } catch (const std::exception& e) {
        LUMO_LOG("Unexpected exception in NRFGetImageInfo() %s", e.what());
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFGetImageInfo()");
    }
    return kNRFErrException;
}
