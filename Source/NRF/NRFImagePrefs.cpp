#include "NRF/NRFImagePrefs.h"

#include <atomic>

#include "NRF/NRF.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFPlugin.h"
#include "NRF/NRFXMLImagePrefs.h"
#include "app/LumoLog.h"
#include "support/FileIO.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr std::uint32_t fourCC(const char (&code)[5]) {
    return (static_cast<std::uint32_t>(static_cast<unsigned char>(code[0])) << 24) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(code[1])) << 16) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(code[2])) << 8) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(code[3]));
}

constexpr std::uint32_t kEOFMarker = fourCC("klbl");
constexpr std::uint32_t kEOFKindPrefs = fourCC("klip");
constexpr std::uint32_t kEOFKindThumbnail = fourCC("kltn");
constexpr std::size_t kEOFTrailerLength = 12;
// Our own documents are a few hundred bytes; the importer refuses anything over a megabyte.
constexpr std::size_t kMaxSidecarSize = 1024 * 1024;

std::uint32_t bigEndian32(const unsigned char* p) {
    return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
           (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}

// The trailer's words, when the last 12 bytes carry the marker and a kind we know.
bool parseTrailer(const unsigned char* trailer, NRFEOFBlock& out) {
    out = NRFEOFBlock{};
    const std::uint32_t length = bigEndian32(trailer);
    const std::uint32_t kind = bigEndian32(trailer + 4);
    if (bigEndian32(trailer + 8) != kEOFMarker || (kind != kEOFKindPrefs && kind != kEOFKindThumbnail))
        return false;
    out.present = true;
    out.kind = kind;
    out.length = length;
    return true;
}

// Only a prefs block of the one known size is ever removed.
bool isRemovablePrefsBlock(const NRFEOFBlock& block, std::uint64_t fileSize) {
    return block.present && block.kind == kEOFKindPrefs && block.length == kNRFEOFPayloadLength &&
           fileSize >= kNRFEOFBlockLength;
}

// The path without the extension of its last component (the dot included).
std::string withoutExtension(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    const std::size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) ||
        dot == (slash == std::string::npos ? 0 : slash + 1))
        return path;
    return path.substr(0, dot);
}

} // namespace

std::string NRFXIPSidecarPath(const std::string& imagePath, bool existingOnly) {
    const std::string base = withoutExtension(imagePath);
    const std::string upper = base + ".XIP", lower = base + ".xip";
    if (lumo::fileExists(upper))
        return upper;
    if (lumo::fileExists(lower))
        return lower;
    return existingOnly ? std::string() : upper;
}

NRFErr NRFLoadXMLPrefs(NRFImageInfoRec* record) {
    try {
        if (!record)
            return kNRFErrParam;
        const std::string sidecar = NRFXIPSidecarPath(record->m_path, true);
        // An empty sidecar (a write of an older version cut short) holds nothing: as good as none.
        std::uint64_t size = 0;
        if (sidecar.empty() || (lumo::fileSize(sidecar, size) == 0 && size == 0))
            return kNRFErrOpen;
        const NRFErr err = NRFXMLImagePrefsImporter().ImportImagePrefsFromFile(*record, sidecar);
        if (err == kNRFErrPrefsUnreadable)
            NRFSetErrorText("Unable to read '%s'.", sidecar.c_str());
        else if (err == kNRFErrBadFormat)
            NRFSetErrorText("'%s' is not an image prefs document.", sidecar.c_str());
        return err;
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFLoadXMLPrefs()");
    }
    return kNRFErrException;
}

NRFErr NRFWhackXMLPrefs(NRFImageInfoRec* record) {
    try {
        if (!record)
            return kNRFErrParam;
        const std::string base = withoutExtension(record->m_path);
        for (const char* extension : {".XIP", ".xip"}) {
            const std::string sidecar = base + extension;
            if (!lumo::fileExists(sidecar))
                continue;
            if (const int e = lumo::removeFile(sidecar); e != 0 && e != ENOENT) {
                LUMO_LOG("Unable to delete '%s': %s", sidecar.c_str(), std::strerror(e));
                return 6;
            }
        }
        return kNRFErrNone;
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFWhackXMLPrefs()");
    }
    return kNRFErrException;
}

NRFErr NRFPendingImagePrefs::Prepare(NRFImageInfoRec& record) {
    m_replace.discard();
    if (!record.IsLocal()) {
        NRFSetErrorText("Cannot save changes to non-local file '%s'.", record.m_path.c_str());
        return kNRFErrNotLocal;
    }
    if (NRFFindFileType(record.m_fileType) < 0) {
        NRFSetErrorText("Cannot save changes to an unknown file type '%s'.", record.m_path.c_str());
        return kNRFErrUnknownType;
    }
    if (record.m_fileType == kNRFTypeJPEG) {
        NRFSetErrorText("Saving image prefs into the file's own metadata is not available for '%s'.",
                        record.m_path.c_str());
        return 22;
    }
    m_sidecar = NRFXIPSidecarPath(record.m_path, false);
    std::string existing;
    struct stat st {};
    if (::stat(m_sidecar.c_str(), &st) == 0) {
        // A sidecar its owner made read-only is the owner's "do not change"; one another user's
        // permissions keep us from writing is not ours to replace either.
        if ((st.st_mode & S_IWUSR) == 0 || ::access(m_sidecar.c_str(), W_OK) != 0) {
            NRFSetErrorText("Unable to gain write access to '%s'. Try setting file permissions to allow "
                            "reading and writing.",
                            m_sidecar.c_str());
            return 6;
        }
        if (const int e = lumo::readFile(m_sidecar, existing, kMaxSidecarSize + 1); e != 0) {
            NRFSetErrorText("Unable to read '%s' (%s); it is left as it is.", m_sidecar.c_str(),
                            std::strerror(e));
            return 6;
        }
    }
    std::string text;
    if (const NRFErr err = NRFXMLImagePrefsMerge(record, existing, text); err != kNRFErrNone) {
        if (err == kNRFErrBadFormat)
            NRFSetErrorText("'%s' is not an image prefs document; it is left as it is.", m_sidecar.c_str());
        else
            NRFSetErrorText("Unable to write the image prefs of '%s'.", record.m_path.c_str());
        return err;
    }
    if (const int e = m_replace.prepare(m_sidecar, text); e != 0) {
        LUMO_LOG("Unable to write image prefs to '%s': %s", m_sidecar.c_str(), std::strerror(e));
        NRFSetErrorText("Unable to write the image prefs of '%s': %s", record.m_path.c_str(),
                        std::strerror(e));
        return 6;
    }
    return kNRFErrNone;
}

NRFErr NRFPendingImagePrefs::Commit() {
    if (const int e = m_replace.commit(); e != 0) {
        LUMO_LOG("Unable to write image prefs to '%s': %s", m_sidecar.c_str(), std::strerror(e));
        NRFSetErrorText("Unable to write '%s': %s", m_sidecar.c_str(), std::strerror(e));
        m_replace.discard();
        return 6;
    }
    return kNRFErrNone;
}

namespace {
std::atomic<NRFImagePrefsWriter> gImagePrefsWriter{nullptr};
}

void NRFSetImagePrefsWriter(NRFImagePrefsWriter writer) {
    gImagePrefsWriter.store(writer);
}
NRFImagePrefsWriter NRFGetImagePrefsWriter() {
    return gImagePrefsWriter.load();
}

NRFErr NRFSaveImagePrefs(NRFImageInfoRec* record) {
    try {
        if (!record)
            return kNRFErrParam;
        const NRFImagePrefsWriter writer = gImagePrefsWriter.load();
        if (record->m_fileType == kNRFTypeJPEG && writer) {
            if (!record->IsLocal()) {
                NRFSetErrorText("Cannot save changes to non-local file '%s'.", record->m_path.c_str());
                return kNRFErrNotLocal;
            }
            return writer(*record);
        }
        NRFPendingImagePrefs prefs;
        if (const NRFErr err = prefs.Prepare(*record); err != kNRFErrNone)
            return err;
        if (writer)
            if (const NRFErr err = writer(*record); err != kNRFErrNone)
                return err; // the prepared document goes with `prefs`
        return prefs.Commit();
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFSaveImagePrefs()");
    }
    return kNRFErrException;
}

NRFErr NRFLoadEOFBlocks(const std::string& path, NRFEOFBlock& out) {
    try {
        out = NRFEOFBlock{};
        lumo::File file;
        if (const int e = file.open(path, lumo::File::Mode::Read); e != 0)
            return kNRFErrOpen;
        std::uint64_t size = 0;
        if (file.size(size) != 0 || size < kEOFTrailerLength)
            return kNRFErrNone;
        unsigned char trailer[kEOFTrailerLength];
        std::size_t got = 0;
        if (file.readAt(trailer, sizeof trailer, size - kEOFTrailerLength, got) != 0 || got != sizeof trailer)
            return kNRFErrNone;
        if (!parseTrailer(trailer, out) || !isRemovablePrefsBlock(out, size))
            return kNRFErrNone;
        out.payload.resize(kNRFEOFPayloadLength);
        if (file.readAt(out.payload.data(), kNRFEOFPayloadLength, size - kNRFEOFBlockLength, got) != 0 ||
            got != kNRFEOFPayloadLength)
            out.payload.clear();
        return kNRFErrNone;
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFLoadEOFBlocks()");
    }
    return kNRFErrException;
}

NRFErr NRFRemoveEOFPrefs(const std::string& path, bool& removed) {
    removed = false;
    try {
        // Opened for update first: a file we may not write is left alone and reported.
        lumo::File file;
        if (const int e = file.open(path, lumo::File::Mode::Update); e != 0) {
            LUMO_LOG("Unable to open '%s' to remove its old prefs block: %s", path.c_str(), std::strerror(e));
            return kNRFErrOpen;
        }
        std::uint64_t size = 0;
        if (file.size(size) != 0 || size < kEOFTrailerLength)
            return kNRFErrNone;
        unsigned char trailer[kEOFTrailerLength];
        std::size_t got = 0;
        if (file.readAt(trailer, sizeof trailer, size - kEOFTrailerLength, got) != 0 || got != sizeof trailer)
            return kNRFErrNone;
        NRFEOFBlock block;
        if (!parseTrailer(trailer, block) || !isRemovablePrefsBlock(block, size))
            return kNRFErrNone;
        file.close();
        std::uint64_t now = 0;
        if (lumo::fileSize(path, now) != 0 || now != size)
            return kNRFErrNone; // changed under us: leave it for the next time
        // Cutting the end off is one step: the file is either whole or without the block.
        if (::truncate(path.c_str(), static_cast<off_t>(size - kNRFEOFBlockLength)) != 0) {
            LUMO_LOG("Unable to remove the old prefs block of '%s': %s", path.c_str(), std::strerror(errno));
            return 6;
        }
        removed = true;
        return kNRFErrNone;
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFRemoveEOFPrefs()");
    }
    return kNRFErrException;
}

NRFErr NRFRemoveEOFPrefs(std::string& bytes, bool& removed) {
    removed = false;
    try {
        if (bytes.size() < kEOFTrailerLength)
            return kNRFErrNone;
        NRFEOFBlock block;
        const auto* trailer =
            reinterpret_cast<const unsigned char*>(bytes.data() + bytes.size() - kEOFTrailerLength);
        if (!parseTrailer(trailer, block) || !isRemovablePrefsBlock(block, bytes.size()))
            return kNRFErrNone;
        bytes.resize(bytes.size() - kNRFEOFBlockLength);
        removed = true;
        return kNRFErrNone;
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFRemoveEOFPrefs()");
    }
    return kNRFErrException;
}
