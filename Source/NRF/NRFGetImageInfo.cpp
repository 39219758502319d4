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
#include <tuple>
#include <vector>

namespace {

// What decides whether a record read before must be read again: the file's and the sidecar's status.
auto fileStatus(const NRFImageInfoRec& record) {
    return std::make_tuple(record.m_fileSize, record.m_modTimeNs, record.m_hasXmpSidecar,
                           record.m_xmpSidecarSize, record.m_xmpSidecarModTimeNs);
}

// Reads the file's size, modification time and sidecar status into the record and refreshes its
// attached files. A file whose status cannot be read marks the record for good (result 10).
NRFErr readFileStatus(NRFImageInfoRec& record) {
    if (!record.RefreshFileStatus()) {
        record.m_fileSystemInfoFailed = true;
        NRFSetErrorText("Unable to get filesystem information for '%s'", record.m_path.c_str());
        return kNRFErrFileInfo;
    }
    record.m_infoReadTime = static_cast<std::int64_t>(std::time(nullptr));
    return NRFCheckForAttachedFiles(&record);
}

// The old reader lets go of the record, which then starts over as a record of `type`.
NRFErr retype(NRFImageInfoRec& record, NRFFileType type) {
    NRFCloseImageForPlugin(&record);
    record.ReInitForType(type);
    if (const NRFErr err = record.InitImageInfo(); err != kNRFErrNone)
        return err;
    return readFileStatus(record);
}

NRFErr getImageInfo(NRFImageInfoRec& record) {
    // Types the readers have found the file to be; a reader sending it back to one of them would make
    // the dispatch go round for ever.
    std::vector<NRFFileType> visited;
    bool typeFromReader = false;
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
            const bool readBefore = record.m_infoReadTime != 0;
            const auto before = fileStatus(record);
            if (const NRFErr err = readFileStatus(record); err != kNRFErrNone)
                return err;
            // Unchanged file and sidecar: what the record holds is still true.
            if (readBefore && fileStatus(record) == before)
                return kNRFErrNone;

            NRFFileType type = 0;
            if (const NRFErr err = NRFGetType(record.m_path.c_str(), &type, true); err != kNRFErrNone) {
                NRFSetErrorText("No plugin available for '%s'", record.m_path.c_str());
                return err;
            }
            // The table holds every type detection answers, so the new row is there.
            if (type != record.m_fileType)
                if (const NRFErr err = retype(record, type); err != kNRFErrNone)
                    return err;
        }
        typeFromReader = false;

        const NRFPluginFunctions& reader = *NRFGetPluginFunctions(NRFFindFileType(record.m_fileType));
        lumo::File file;
        if (file.open(record.m_path, lumo::File::Mode::Read) != 0) {
            NRFSetErrorText("Unable to open '%s'", record.m_path.c_str());
            return kNRFErrOpen;
        }
        // A reader without a GetImageInfo entry reads nothing more than the engine already has.
        if (!reader.GetImageInfo)
            return kNRFErrNone;
        const NRFFileType readerType = record.m_fileType;
        const NRFErr err = reader.GetImageInfo(NRFGetContext(), record, file);
        if (err != kNRFErrWrongType) {
            if (err != kNRFErrNone && NRFGetErrorText().empty())
                NRFSetErrorText("Could not read the image information of '%s' (error %u)",
                                record.m_path.c_str(), static_cast<unsigned>(err));
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
            return kNRFErrBadFormat;
        }
        if (const NRFErr retypeErr = retype(record, found); retypeErr != kNRFErrNone)
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
