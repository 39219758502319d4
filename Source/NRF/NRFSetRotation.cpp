// Setting an image's rotation: the record takes the new code, and a file that carries EXIF Orientation
// values gets them rewritten in place. Only the two bytes of each recorded value are written; the
// file's length never changes. A file without them keeps its rotation in the image prefs, which the
// caller saves.

#include "NRF/NRF.h"

#include "NRF/NRFImageInfo.h"
#include "NRF/NRFImagePrefs.h"
#include "app/LumoLog.h"
#include "support/FileIO.h"
#include "support/TextUtils.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

namespace {

constexpr NRFErr kUpdateFailed = 5; // a position, read, write or sync on the open file failed
constexpr NRFErr kNoWriteAccess = 6;
constexpr std::size_t kMaxOrientationPositions =
    std::tuple_size_v<decltype(NRFImageInfoRec::m_orientationPos)>;

// EXIF Orientation by rotation code.
constexpr std::array<std::uint16_t, 8> kExifOrientationForCode = {1, 6, 3, 8, 2, 7, 4, 5};

// Quarter turns clockwise a reader found the record's embedded preview already stored turned by. The
// codes the user sets describe the picture as shown; the file describes it as stored. No reader
// reports a turned preview yet: one that does records it in the record and this answers it.
int previewQuarterTurns(const NRFImageInfoRec&) {
    return 0;
}

// The code as stored: the preview's own turn taken off, the mirror bit kept.
int storedRotation(int code, int previewTurns) {
    return (((code & 3) - previewTurns) % 4 + 4) % 4 | (code & 4);
}

NRFErr fail(NRFErr err, const std::string& text) {
    NRFSetErrorText("%s", text.c_str());
    LUMO_LOG("%s", text.c_str());
    return err;
}

NRFErr updateFailed(const std::string& path) {
    return fail(kUpdateFailed,
                lumo::formatString("Error updating rotation information on '%s'.", path.c_str()));
}

// The user's read-only decision stands: a file whose owner may not write it is not made writable.
bool ownerMayWrite(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && (st.st_mode & S_IWUSR) != 0;
}

std::array<unsigned char, 2> encode16(std::uint16_t value, bool bigEndian) {
    const auto hi = static_cast<unsigned char>(value >> 8), lo = static_cast<unsigned char>(value & 0xFF);
    return bigEndian ? std::array<unsigned char, 2>{hi, lo} : std::array<unsigned char, 2>{lo, hi};
}

// The two bytes of each recorded Orientation value as they were before a write, to put them back.
struct HeldOrientation {
    std::array<std::array<unsigned char, 2>, kMaxOrientationPositions> bytes{};
    std::size_t count = 0;
};

std::size_t positionCount(const NRFImageInfoRec& record) {
    return std::min<std::size_t>(record.m_orientationPosCount, record.m_orientationPos.size());
}

// Positions in the order they are written: IFD0's value (the first recorded) last, so that a write cut
// short leaves IFD0, which readers believe, as it was, and the next rotation sets every position from it.
std::size_t writeOrder(std::size_t i, std::size_t count) {
    return (i + 1) % count;
}

NRFErr openForUpdate(const std::string& path, lumo::File& file) {
    const std::string noAccess = lumo::formatString(
        "Unable to gain write access to '%s'. Try setting file permissions to allow reading and writing.",
        path.c_str());
    if (!ownerMayWrite(path))
        return fail(kNoWriteAccess, noAccess);
    if (file.open(path, lumo::File::Mode::Update) != 0)
        return fail(kNoWriteAccess, noAccess);
    return kNRFErrNone;
}

// Rewrites every recorded EXIF Orientation value for `code`. Each position must still hold an
// Orientation value (1..8 in its own byte order) inside the file before anything is written: a file
// changed behind the record's back is left as it is. `held` receives what the positions held.
NRFErr writeOrientation(NRFImageInfoRec& record, int code, HeldOrientation& held) {
    const std::string& path = record.m_path;
    lumo::File file;
    if (const NRFErr err = openForUpdate(path, file))
        return err;
    std::uint64_t size = 0;
    if (file.size(size) != 0)
        return updateFailed(path);
    const std::size_t count = positionCount(record);
    held.count = count;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t pos = record.m_orientationPos[i];
        auto& bytes = held.bytes[i];
        std::size_t got = 0;
        if (pos + 2 > size || file.readAt(bytes.data(), 2, pos, got) != 0 || got != 2)
            return updateFailed(path);
        const unsigned value =
            record.m_orientationBigEndian[i] ? (bytes[0] << 8 | bytes[1]) : (bytes[1] << 8 | bytes[0]);
        if (value < 1 || value > 8) {
            LUMO_LOG("NRFSetRotation() '%s' holds %u where its orientation was at %llu", path.c_str(), value,
                     static_cast<unsigned long long>(pos));
            return updateFailed(path);
        }
    }

    const std::uint16_t exifValue = kExifOrientationForCode[static_cast<std::size_t>(code)];
    for (std::size_t n = 0; n < count; ++n) {
        const std::size_t i = writeOrder(n, count);
        const auto bytes = encode16(exifValue, record.m_orientationBigEndian[i]);
        if (file.writeAt(bytes.data(), bytes.size(), record.m_orientationPos[i]) != 0)
            return updateFailed(path);
    }
    // The one-byte orientation fields some raw formats keep would be written here from their own table;
    // no reader records their positions yet.
    if (file.sync() != 0 || file.close() != 0)
        return updateFailed(path);

    // The change is ours: the record takes the file's new status so that it is not read again as a
    // file changed by someone else.
    if (!record.RefreshFileStatus())
        LUMO_LOG("NRFSetRotation() couldn't get file info for '%s' after the update", path.c_str());
    return kNRFErrNone;
}

// Puts back what writeOrientation found at each position.
NRFErr restoreOrientation(NRFImageInfoRec& record, const HeldOrientation& held) {
    lumo::File file;
    if (const NRFErr err = openForUpdate(record.m_path, file))
        return err;
    for (std::size_t n = 0; n < held.count; ++n) {
        const std::size_t i = writeOrder(n, held.count);
        if (file.writeAt(held.bytes[i].data(), 2, record.m_orientationPos[i]) != 0)
            return updateFailed(record.m_path);
    }
    if (file.sync() != 0 || file.close() != 0)
        return updateFailed(record.m_path);
    record.RefreshFileStatus();
    return kNRFErrNone;
}

// Checks the code and reads the file; the code as stored, or a failure.
NRFErr prepareRotation(NRFImageInfoRec* record, int code, int& stored) {
    if (!record)
        return kNRFErrParam;
    if (code < 0 || code > 7)
        return fail(kNRFErrParam, "Error setting rotation, bad parameter");
    if (const NRFErr err = NRFGetImageInfo(record); err != kNRFErrNone)
        return err;
    stored = storedRotation(code, previewQuarterTurns(*record));
    return kNRFErrNone;
}

NRFErr guardedWrite(NRFImageInfoRec& record, int stored, HeldOrientation& held) {
    try {
        return writeOrientation(record, stored, held);
    } catch (...) {
        return fail(kNRFErrException,
                    lumo::formatString("Unexpected exception while updating rotation on '%s'.",
                                       record.m_path.c_str()));
    }
}

} // namespace

NRFErr NRFSetRotation(NRFImageInfoRec* record, int code) {
    try {
        int stored = 0;
        if (const NRFErr err = prepareRotation(record, code, stored); err != kNRFErrNone)
            return err;
        record->m_orientation = static_cast<std::int16_t>(stored);
        if (record->m_orientationPosCount == 0)
            return kNRFErrNone;
        HeldOrientation held;
        return guardedWrite(*record, stored, held);
    } catch (...) {
        return fail(kNRFErrException, "Unexpected exception in NRFSetRotation()");
    }
}

NRFErr NRFSetRotationAndSaveImagePrefs(NRFImageInfoRec* record, int code) {
    try {
        int stored = 0;
        if (const NRFErr err = prepareRotation(record, code, stored); err != kNRFErrNone)
            return err;
        record->m_orientation = static_cast<std::int16_t>(stored);
        NRFPendingImagePrefs prefs;
        if (const NRFErr err = prefs.Prepare(*record); err != kNRFErrNone)
            return err;
        HeldOrientation held;
        if (record->m_orientationPosCount != 0)
            if (const NRFErr err = guardedWrite(*record, stored, held); err != kNRFErrNone)
                return err; // the prepared document goes with `prefs`
        if (const NRFErr err = prefs.Commit(); err != kNRFErrNone) {
            const std::string why = NRFGetErrorText();
            if (held.count != 0 && restoreOrientation(*record, held) != kNRFErrNone)
                LUMO_LOG("NRFSetRotation() could not put back the orientation of '%s' after: %s",
                         record->m_path.c_str(), why.c_str());
            NRFSetErrorText("%s", why.c_str());
            return err;
        }
        return kNRFErrNone;
    } catch (...) {
        return fail(kNRFErrException, "Unexpected exception in NRFSetRotation()");
    }
}
