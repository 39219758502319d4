#include "metadata/PhotoMetadata.h"

#include "NRF/NRF.h"
#include "NRF/NRFICC.h"
#include "NRF/NRFIPTCBlocks.h"
#include "NRF/NRFImagePrefs.h"
#include "NRF/NRFPlugin.h"
#include "NRF/NRFXMPBlocks.h"
#include "app/LumoLog.h"
#include "app/LumoPaths.h"
#include "db/PreferenceKeys.h"
#include "db/Preferences.h"
#include "metadata/IPTC_XMP_Utils.h"
#include "support/FileIO.h"
#include "support/PathDigest.h"
#include "support/TextUtils.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>

namespace {

const NRFFileTypeInfo* rowFor(NRFFileType type) {
    const int index = NRFFindFileType(type);
    return index < 0 ? nullptr : NRFGetFileTypeInfo(index);
}

bool statFile(const std::string& path, std::uint64_t& size, std::int64_t& modTimeNs) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return false;
    size = static_cast<std::uint64_t>(st.st_size);
    modTimeNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return true;
}

// The sidecar a save writes: the existing one, else the base name with ".xmp" (".XMP" beside a file
// whose extension is upper case).
std::string sidecarPathForWriting(const std::string& imagePath) {
    std::string existing = NRFLocalImageInfoRec::FindXmpSidecar(imagePath);
    if (!existing.empty())
        return existing;
    const std::filesystem::path path(imagePath);
    const std::string extension = path.extension().string();
    bool upper = false;
    for (const char c : extension)
        upper = upper || (c >= 'A' && c <= 'Z');
    return std::filesystem::path(imagePath).replace_extension(upper ? ".XMP" : ".xmp").string();
}

int fieldIndex(IPTCFieldID id) {
    return IPTCFieldIndexOf(id);
}
std::string& field(IPTCRec& record, IPTCFieldID id) {
    return record.m_fields[static_cast<std::size_t>(fieldIndex(id))];
}

bool dateValid(const IPTCRec& r) {
    return !r.m_noDate && r.m_dateYear <= 9999 && r.m_dateMonth >= 1 && r.m_dateMonth <= 12 &&
           r.m_dateDay >= 1 && r.m_dateDay <= 31;
}
bool timeValid(const IPTCRec& r) {
    return !r.m_noTime && r.m_timeHour < 24 && r.m_timeMinute < 60 && r.m_timeSecond < 60;
}

// The photo state of a record's 2:221 values (or XMP state) into the image record; only what is set.
bool hasState(const IPTCRec& record) {
    return !record.m_tagged.empty() || !record.m_colorClass.empty() || !record.m_rating.empty();
}
void stateIntoImage(const IPTCRec& record, const IPTCEncodingSettings& encoding, NRFImageInfoRec& image) {
    if (!record.m_tagged.empty())
        image.m_tag = record.m_tagged != "0";
    if (!record.m_rating.empty()) {
        const int rating = std::atoi(record.m_rating.c_str());
        if (rating >= 0 && rating <= 5)
            image.m_rating = static_cast<std::int16_t>(rating);
    }
    if (!record.m_colorClass.empty()) {
        int colorClass = -1;
        const std::string& cc = record.m_colorClass;
        if (cc.size() == 1 && cc[0] >= '0' && cc[0] <= '8')
            colorClass = cc[0] - '0';
        for (std::size_t i = 0; colorClass < 0 && i < encoding.m_colorClassNames.size(); ++i)
            if (!encoding.m_colorClassNames[i].empty() && lumo::iequals(cc, encoding.m_colorClassNames[i]))
                colorClass = static_cast<int>(i) + 1;
        if (colorClass >= 0)
            image.m_colorClass = static_cast<std::int16_t>(colorClass);
    }
    if (record.m_imageNumber != 0 && !image.m_imageNumber)
        image.m_imageNumber = record.m_imageNumber;
}
void stateIntoRecord(const NRFImageInfoRec& image, IPTCRec& record) {
    record.m_tagged = image.m_tag ? "1" : "0";
    record.m_colorClass =
        std::to_string(image.m_colorClass >= 0 && image.m_colorClass <= 8 ? image.m_colorClass : 0);
    record.m_rating = std::to_string(image.m_rating >= 0 && image.m_rating <= 5 ? image.m_rating : 0);
    record.m_imageNumber = image.m_imageNumber.value_or(0);
}

// The file's embedded packet, the extension joined in. False (with the engine's result) when the file's
// structure cannot be read.
NRFErr loadEmbeddedXMP(NRFImageInfoRec& image, NRFXMPPackets& packets, std::string& joined) {
    packets = {};
    joined.clear();
    if (!NRFContainerHoldsXMP(image.m_fileType))
        return kNRFErrNone;
    const NRFErr err = NRFLoadXMP(&image, &packets);
    if (err != kNRFErrNone)
        return err;
    joined = packets.main;
    if (!packets.extended.empty() && !XMPJoinExtended(joined, packets.extended))
        LUMO_LOG("The extended XMP of '%s' could not be joined; the main packet is read alone.",
                 image.m_path.c_str());
    return kNRFErrNone;
}

// The file's IIM block (empty when the container holds none or the file has none).
NRFErr loadIIMBlock(NRFImageInfoRec& image, std::string& block) {
    block.clear();
    if (!NRFContainerHoldsIIM(image.m_fileType))
        return kNRFErrNone;
    bool have = false;
    if (NRFHaveIPTC(&image, true, &have) != kNRFErrNone || !have)
        return kNRFErrNone;
    return NRFLoadIPTC(&image, &block);
}

// The XMP a load reads, chosen by the type's policy: the packet and where it came from.
NRFErr chooseXMP(NRFImageInfoRec& image, std::string& packet, IPTCXMPSource& source) {
    packet.clear();
    source = IPTCXMPSource::kNone;
    const NRFFileTypeInfo* row = rowFor(image.m_fileType);
    if (!row)
        return kNRFErrParam;
    const int policy = row->metadataStorage;
    const std::string sidecar =
        policy >= 2 && policy <= 4 ? NRFLocalImageInfoRec::FindXmpSidecar(image.m_path) : std::string();
    bool useSidecar = !sidecar.empty();
    if (useSidecar && policy == kNRFStorageTIFFRaw) {
        // Newer wins; the image file wins a tie.
        std::uint64_t size = 0;
        std::int64_t imageTime = 0, sidecarTime = 0;
        useSidecar = statFile(sidecar, size, sidecarTime) &&
                     (!statFile(image.m_path, size, imageTime) || sidecarTime > imageTime);
    }
    if (useSidecar) {
        if (const NRFErr err = NRFReadXMPSidecar(sidecar, packet); err != kNRFErrNone)
            return err;
        source = IPTCXMPSource::kSidecar;
        return kNRFErrNone;
    }
    if (policy == kNRFStorageNone)
        return kNRFErrNone;
    NRFXMPPackets packets;
    if (const NRFErr err = loadEmbeddedXMP(image, packets, packet); err != kNRFErrNone)
        return err;
    if (!packet.empty())
        source = IPTCXMPSource::kEmbedded;
    return kNRFErrNone;
}

// -- undo data: what a save replaced, kept in the cache folder under the file's path digest.

struct UndoData {
    std::string path;
    std::uint64_t sizeAfter = 0;
    std::int64_t timeAfter = 0;
    bool fileWritten = false, iimWritten = false, xmpWritten = false;
    std::string oldIIM, oldXMP, oldExtended;
    bool sidecarWritten = false, sidecarExisted = false;
    std::string sidecarPath, oldSidecar;
    std::uint64_t sidecarSizeAfter = 0;
    std::int64_t sidecarTimeAfter = 0;
    // What the save wrote: a save in a batch is renamed into place later, so the file's status after it
    // is not known when the undo data is kept; the content tells then whether the file is still as the
    // save left it.
    std::string newIIM, newXMP, newSidecar;
};

constexpr char kUndoMagic[] = "LumoMetadataUndo2\n";

void putString(std::string& out, const std::string& text) {
    out += std::to_string(text.size());
    out += ':';
    out += text;
}
void putNumber(std::string& out, std::int64_t number) {
    putString(out, std::to_string(number));
}

bool getString(const std::string& in, std::size_t& pos, std::string& text) {
    const std::size_t colon = in.find(':', pos);
    if (colon == std::string::npos || colon == pos || colon - pos > 12)
        return false;
    std::uint64_t length = 0;
    for (std::size_t i = pos; i < colon; ++i) {
        if (in[i] < '0' || in[i] > '9')
            return false;
        length = length * 10 + static_cast<std::uint64_t>(in[i] - '0');
    }
    if (length > in.size() - colon - 1)
        return false;
    text.assign(in, colon + 1, static_cast<std::size_t>(length));
    pos = colon + 1 + static_cast<std::size_t>(length);
    return true;
}
template <typename T>
bool getNumber(const std::string& in, std::size_t& pos, T& number) {
    std::string text;
    if (!getString(in, pos, text) || text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0')
        return false;
    number = static_cast<T>(value);
    return true;
}

std::string undoPath(const std::string& imagePath) {
    const std::string folder = LumoPaths::imageCacheFolder();
    if (folder.empty())
        return {};
    return folder + "/MetadataUndo/" + lumo::pathDigest(imagePath) + ".undo";
}

std::string encodeUndo(const UndoData& u) {
    std::string out = kUndoMagic;
    putString(out, u.path);
    putNumber(out, static_cast<std::int64_t>(u.sizeAfter));
    putNumber(out, u.timeAfter);
    putNumber(out, (u.fileWritten ? 1 : 0) | (u.iimWritten ? 2 : 0) | (u.xmpWritten ? 4 : 0) |
                       (u.sidecarWritten ? 8 : 0) | (u.sidecarExisted ? 16 : 0));
    putString(out, u.oldIIM);
    putString(out, u.oldXMP);
    putString(out, u.oldExtended);
    putString(out, u.sidecarPath);
    putString(out, u.oldSidecar);
    putString(out, u.newIIM);
    putString(out, u.newXMP);
    putString(out, u.newSidecar);
    putNumber(out, static_cast<std::int64_t>(u.sidecarSizeAfter));
    putNumber(out, u.sidecarTimeAfter);
    return out;
}

bool decodeUndo(const std::string& in, UndoData& u) {
    const std::size_t magic = sizeof kUndoMagic - 1;
    if (in.compare(0, magic, kUndoMagic) != 0)
        return false;
    std::size_t pos = magic;
    int flags = 0;
    if (!getString(in, pos, u.path) || !getNumber(in, pos, u.sizeAfter) || !getNumber(in, pos, u.timeAfter) ||
        !getNumber(in, pos, flags) || !getString(in, pos, u.oldIIM) || !getString(in, pos, u.oldXMP) ||
        !getString(in, pos, u.oldExtended) || !getString(in, pos, u.sidecarPath) ||
        !getString(in, pos, u.oldSidecar) || !getString(in, pos, u.newIIM) || !getString(in, pos, u.newXMP) ||
        !getString(in, pos, u.newSidecar) || !getNumber(in, pos, u.sidecarSizeAfter) ||
        !getNumber(in, pos, u.sidecarTimeAfter) || pos != in.size())
        return false;
    u.fileWritten = flags & 1;
    u.iimWritten = flags & 2;
    u.xmpWritten = flags & 4;
    u.sidecarWritten = flags & 8;
    u.sidecarExisted = flags & 16;
    return true;
}

// `inPlace`: the save's files have taken their places (no batch still holds them), so their status
// after the save is known.
void storeUndo(UndoData& u, bool inPlace) {
    const std::string where = undoPath(u.path);
    if (where.empty())
        return;
    if (u.fileWritten && inPlace)
        statFile(u.path, u.sizeAfter, u.timeAfter);
    if (u.sidecarWritten && inPlace)
        statFile(u.sidecarPath, u.sidecarSizeAfter, u.sidecarTimeAfter);
    const std::string folder = std::filesystem::path(where).parent_path().string();
    if (const int e = lumo::createDirectories(folder); e != 0) {
        LUMO_LOG("Unable to keep the undo data of '%s': %s", u.path.c_str(), std::strerror(e));
        return;
    }
    // Written beside and renamed, so that a reader never sees half of it, but not flushed: undo data is
    // a convenience, checked against the file before it is used, and a save of many files must not pay
    // a flush for each.
    const std::string temporary = where + ".tmp-" + std::to_string(::getpid());
    const std::string bytes = encodeUndo(u);
    lumo::File file;
    int e = file.open(temporary, lumo::File::Mode::Truncate);
    if (e == 0)
        e = file.write(bytes.data(), bytes.size());
    if (const int closed = file.close(); e == 0)
        e = closed;
    if (e == 0)
        e = lumo::renameFile(temporary, where);
    if (e != 0) {
        lumo::removeFile(temporary);
        LUMO_LOG("Unable to keep the undo data of '%s': %s", u.path.c_str(), std::strerror(e));
    }
}

constexpr std::size_t kMaxUndoSize = 256u << 20;

// Whether the file (or sidecar) is still as the save left it: the same status, or (when the status is
// not known or was touched) the same blocks.
bool fileAsSaved(NRFImageInfoRec& image, const UndoData& u) {
    std::uint64_t size = 0;
    std::int64_t time = 0;
    if (!statFile(u.path, size, time))
        return false;
    if (u.timeAfter != 0 && size == u.sizeAfter && time == u.timeAfter)
        return true;
    if (NRFGetImageInfo(&image) != kNRFErrNone)
        return false;
    NRFXMPPackets packets;
    std::string joined, block;
    if (u.xmpWritten && (loadEmbeddedXMP(image, packets, joined) != kNRFErrNone || packets.main != u.newXMP))
        return false;
    return !u.iimWritten || (loadIIMBlock(image, block) == kNRFErrNone && block == u.newIIM);
}
bool sidecarAsSaved(const UndoData& u) {
    std::uint64_t size = 0;
    std::int64_t time = 0;
    if (!statFile(u.sidecarPath, size, time))
        return false;
    if (u.sidecarTimeAfter != 0 && size == u.sidecarSizeAfter && time == u.sidecarTimeAfter)
        return true;
    std::string packet;
    return NRFReadXMPSidecar(u.sidecarPath, packet) == kNRFErrNone && packet == u.newSidecar;
}

// -- photo state writer (installed into the engine)

NRFErr writeXMPState(NRFImageInfoRec& image, unsigned what, bool withIIMState);

NRFErr photoStateWriter(NRFImageInfoRec& image) {
    // A JPEG keeps all of its state in its own metadata; the other types keep rotation and crop in
    // their ".XIP" and only the state the other programs read (tag, rating, colour class, orientation)
    // in their XMP.
    if (image.m_fileType == kNRFTypeJPEG)
        return writeXMPState(image, kXMPUpdateImageState | kXMPUpdateOrientation | kXMPUpdateCrop, true);
    return writeXMPState(image, kXMPUpdateImageState | kXMPUpdateOrientation, true);
}

std::once_flag gInitOnce;
bool gInitialized = false;

} // namespace

void IPTCPhotoStateIntoImage(const IPTCRec& record, const IPTCEncodingSettings& encoding,
                             NRFImageInfoRec& image) {
    stateIntoImage(record, encoding, image);
}

IPTCSaveSettings IPTCSaveSettingsFromPreferences() {
    IPTCSaveSettings settings;
    const std::shared_ptr<CPreferences> preferences = CPreferences::instance();
    if (!preferences)
        return settings;
    settings.m_standardAddIPTC =
        preferences->getBool(kPrefIPTCStandardAddIPTC, kPrefIPTCStandardAddIPTCDefault);
    settings.m_rawAddXMPSidecar =
        preferences->getBool(kPrefIPTCRawAddXMPSidecar, kPrefIPTCRawAddXMPSidecarDefault);
    settings.m_rawDontUpdateEmbedded =
        preferences->getBool(kPrefIPTCRawDontUpdateEmbedded, kPrefIPTCRawDontUpdateEmbeddedDefault);
    settings.m_rawAddXMP = preferences->getBool(kPrefIPTCRawAddXMP, kPrefIPTCRawAddXMPDefault);
    settings.m_rawAddIPTC = preferences->getBool(kPrefIPTCRawAddIPTC, kPrefIPTCRawAddIPTCDefault);
    settings.m_allowRawModification =
        preferences->getBool(kPrefAllowRawModification, kPrefAllowRawModificationDefault);
    return settings;
}

std::string IPTCReadOnlySaveRefusal(const NRFImageInfoRec& image, const IPTCSaveSettings& settings) {
    const IPTCSavePlan plan = IPTCPlanSave(image, settings);
    for (const std::string& target :
         {plan.m_writeIIM || plan.m_writeXMP ? image.m_path : std::string(),
          plan.m_writeSidecar ? NRFLocalImageInfoRec::FindXmpSidecar(image.m_path) : std::string()}) {
        struct stat st {};
        if (target.empty() || ::stat(target.c_str(), &st) != 0)
            continue; // a sidecar still to be made
        if ((st.st_mode & S_IWUSR) == 0 || ::access(target.c_str(), W_OK) != 0)
            return "Unable to gain write access to '" + target +
                   "'. Try setting file permissions to allow reading and writing.";
    }
    return {};
}

IPTCSavePlan IPTCPlanSave(const NRFImageInfoRec& image, const IPTCSaveSettings& settings) {
    IPTCSavePlan plan;
    const NRFFileTypeInfo* row = rowFor(image.m_fileType);
    if (!row) {
        plan.m_refusal = lumo::formatString("No plugin available for '%s'", image.m_path.c_str());
        return plan;
    }
    plan.m_policy = row->metadataStorage;
    const bool sidecarType = (row->capabilities & (kNRFCapRawSidecar | kNRFCapMovieSidecars)) != 0;
    const bool holdsXMP = NRFContainerHoldsXMP(image.m_fileType);
    const bool holdsIIM = NRFContainerHoldsIIM(image.m_fileType);
    const std::string cannotIPTC =
        lumo::formatString("Plugin for '%s' cannot update IPTC metadata.", image.m_path.c_str());
    if (image.m_fileType == kNRFTypeProxy || plan.m_policy == kNRFStorageNone ||
        (!(row->capabilities & kNRFCapIPTC) && !sidecarType)) {
        plan.m_refusal = cannotIPTC;
        return plan;
    }
    switch (plan.m_policy) {
    case kNRFStorageEmbedded:
        plan.m_writeXMP = holdsXMP;
        plan.m_writeIIM = holdsIIM && (settings.m_standardAddIPTC || !holdsXMP);
        break;
    case kNRFStorageTIFFRaw: {
        const bool embed = settings.m_allowRawModification && !settings.m_rawDontUpdateEmbedded &&
                           (settings.m_rawAddXMP || settings.m_rawAddIPTC);
        plan.m_writeXMP = embed && holdsXMP;
        plan.m_writeIIM = embed && settings.m_rawAddIPTC && holdsIIM;
        plan.m_writeSidecar = !(plan.m_writeXMP || plan.m_writeIIM) || settings.m_rawAddXMPSidecar;
        break;
    }
    case kNRFStorageHEIF:
        plan.m_writeXMP = holdsXMP;
        plan.m_writeSidecar = !holdsXMP;
        break;
    default: // kNRFStorageBesideFile
        plan.m_writeSidecar = true;
        break;
    }
    if (!plan.m_writeXMP && !plan.m_writeIIM && !plan.m_writeSidecar)
        plan.m_refusal = cannotIPTC;
    return plan;
}

NRFErr IPTCMetadataInitialize() {
    std::call_once(gInitOnce, [] {
        gInitialized = IPTCXMPInitialize();
        if (gInitialized)
            NRFSetImagePrefsWriter(&photoStateWriter);
        else
            LUMO_LOG("IPTCMetadataInitialize(): the XMP toolkit could not be initialised");
    });
    return gInitialized ? kNRFErrNone : kNRFErrException;
}

bool IPTCDateTimeIsValid(const IPTCRec& record) {
    return dateValid(record) && (record.m_noTime || timeValid(record));
}

void mergeMissingFromIIM(IPTCRec& record, const IPTCRec& iim) {
    for (std::size_t i = 0; i < record.m_fields.size(); ++i)
        if (record.m_fields[i].empty() && !iim.m_fields[i].empty())
            record.m_fields[i] = iim.m_fields[i];
    if (!dateValid(record) && dateValid(iim)) {
        record.m_dateYear = iim.m_dateYear;
        record.m_dateMonth = iim.m_dateMonth;
        record.m_dateDay = iim.m_dateDay;
        record.m_noDate = false;
    }
    if (!timeValid(record) && timeValid(iim)) {
        record.m_timeHour = iim.m_timeHour;
        record.m_timeMinute = iim.m_timeMinute;
        record.m_timeSecond = iim.m_timeSecond;
        record.m_noTime = false;
        record.m_hasZone = iim.m_hasZone;
        record.m_zoneHours = iim.m_zoneHours;
        record.m_zoneMinutes = iim.m_zoneMinutes;
    }
    if (record.m_tagged.empty())
        record.m_tagged = iim.m_tagged;
    if (record.m_colorClass.empty())
        record.m_colorClass = iim.m_colorClass;
    if (record.m_rating.empty())
        record.m_rating = iim.m_rating;
    if (record.m_imageNumber == 0)
        record.m_imageNumber = iim.m_imageNumber;
    if (record.m_unknown.empty())
        record.m_unknown = iim.m_unknown;
    record.m_isUTF8 = record.m_isUTF8 || iim.m_isUTF8;
}

NRFErr NRFLoadIPTC(NRFImageInfoRec* image, IPTCRec* record, IPTCXMPSource* source) {
    try {
        if (!image || !record)
            return kNRFErrParam;
        if (!image->IsLocal())
            return kNRFErrNotLocal;
        IPTCClearRecord(record);
        const IPTCEncodingSettings encoding = IPTCEncodingSettingsFromPreferences();
        std::string packet;
        IPTCXMPSource from = IPTCXMPSource::kNone;
        if (const NRFErr err = chooseXMP(*image, packet, from); err != kNRFErrNone)
            return err;
        if (source)
            *source = from;
        // The file's own orientation values hold its rotation; the other types keep their crop in
        // their ".XIP".
        const std::int16_t orientation = image->m_orientation;
        const NRFNormalizedCrop crop = image->m_crop;
        if (!packet.empty() && !LoadXMPMetadata(encoding, packet.data(), packet.size(), image, false, record))
            LUMO_LOG("NRFLoadIPTC(): the XMP of '%s' could not be read", image->m_path.c_str());
        if (image->m_rotationFromFile || image->m_orientationPosCount != 0)
            image->m_orientation = orientation;
        if (image->m_fileType != kNRFTypeJPEG)
            image->m_crop = crop;
        const bool xmpState = hasState(*record);

        std::string block;
        if (const NRFErr err = loadIIMBlock(*image, block); err != kNRFErrNone)
            LUMO_LOG("NRFLoadIPTC(): the IPTC block of '%s' could not be read (%u)", image->m_path.c_str(),
                     err);
        if (!block.empty()) {
            IPTCRec iim;
            const IPTCStatus status = IPTCUnpackRecFromBinary(
                encoding, reinterpret_cast<const std::uint8_t*>(block.data()), block.size(), false, &iim);
            if (status != kIPTCNoErr)
                LUMO_LOG("NRFLoadIPTC(): the IPTC block of '%s' is damaged (%d); what could be read is used",
                         image->m_path.c_str(), status);
            mergeMissingFromIIM(*record, iim);
            if (!xmpState && hasState(iim))
                stateIntoImage(iim, encoding, *image);
        }

        std::string& caption = field(*record, IPTC_CAPTION);
        if (caption.empty())
            caption = image->m_description;
        std::string& creator = field(*record, IPTC_BYLINE);
        if (creator.empty())
            creator = image->m_artist;
        std::string& copyright = field(*record, IPTC_COPYRIGHT);
        if (copyright.empty())
            copyright = image->m_copyright;
        const KLDateTime& t = image->m_captureTime;
        if (t.isValid()) {
            if (!dateValid(*record)) {
                record->m_dateYear = static_cast<std::uint16_t>(t.year);
                record->m_dateMonth = t.month;
                record->m_dateDay = t.day;
                record->m_noDate = false;
            }
            if (!timeValid(*record)) {
                record->m_timeHour = t.hour;
                record->m_timeMinute = t.minute;
                record->m_timeSecond = t.second;
                record->m_noTime = false;
                record->m_hasZone = false;
                if (image->m_timeZoneOffset) {
                    const int minutes = *image->m_timeZoneOffset;
                    record->m_hasZone = true;
                    record->m_zoneHours = static_cast<std::int16_t>(minutes / 60);
                    record->m_zoneMinutes = static_cast<std::uint16_t>(std::abs(minutes % 60));
                }
            }
        }
        return kNRFErrNone;
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFLoadIPTC()");
    }
    return kNRFErrException;
}

namespace {

// Packs the record as IIM in the write encoding; a text that encoding cannot carry makes the whole
// block UTF-8 (with the 1:90 escape) rather than losing it.
NRFErr packIIM(const IPTCEncodingSettings& encoding, const IPTCRec& record, std::string& block,
               bool& asUTF8) {
    asUTF8 = false;
    for (int attempt = 0; attempt < 2; ++attempt) {
        IPTCRec copy = record;
        if (attempt == 1) {
            copy.m_isUTF8 = true;
            asUTF8 = true;
        }
        std::unique_ptr<std::uint8_t[]> built;
        std::size_t size = 0;
        const IPTCStatus status = IPTCPackRecToBinary(encoding, &copy, &built, &size, false);
        if (status == kIPTCNoErr) {
            block.assign(reinterpret_cast<const char*>(built.get()), size);
            return kNRFErrNone;
        }
        if (status != kIPTCErrBadData || record.m_isUTF8 || IPTCIsUTF8Encoding(encoding.m_writeEncoding))
            break;
    }
    return kNRFErrBadFormat;
}

NRFErr saveFailed(const NRFImageInfoRec& image) {
    const std::string detail = NRFGetErrorText();
    if (detail.empty())
        NRFSetErrorText("Unable to save metadata for %s.", image.m_path.c_str());
    else
        NRFSetErrorText("Unable to save metadata for %s. %s", image.m_path.c_str(), detail.c_str());
    return 6;
}

NRFErr checkCanUpdate(NRFImageInfoRec& image, const IPTCSavePlan& plan) {
    if (!plan.m_refusal.empty()) {
        NRFSetErrorText("%s", plan.m_refusal.c_str());
        return kNRFErrParam;
    }
    bool yes = true;
    if (plan.m_writeIIM && (NRFCanUpdateIPTC(&image, &yes) != kNRFErrNone || !yes)) {
        NRFSetErrorText("Plugin for '%s' cannot update IPTC metadata.", image.m_path.c_str());
        return kNRFErrParam;
    }
    if (plan.m_writeXMP && (NRFCanUpdateXMP(&image, &yes) != kNRFErrNone || !yes)) {
        NRFSetErrorText("Plugin for '%s' cannot update XMP metadata.", image.m_path.c_str());
        return kNRFErrParam;
    }
    return kNRFErrNone;
}

// The packets a JPEG needs for `full` (split when it passes one segment), or `full` alone.
NRFXMPPackets packetsFor(const NRFImageInfoRec& image, const std::string& full) {
    NRFXMPPackets packets;
    if (image.m_fileType == kNRFTypeJPEG && !full.empty()) {
        if (!XMPSplitForJPEG(full, packets.main, packets.extended, packets.extendedGUID))
            packets = NRFXMPPackets{full, {}, {}};
    } else {
        packets.main = full;
    }
    return packets;
}

// Reads a sidecar that was just written back into a record, so that a packet that does not read is
// found now.
NRFErr readBackSidecar(const std::string& path, const IPTCEncodingSettings& encoding) {
    std::string packet;
    if (const NRFErr err = NRFReadXMPSidecar(path, packet); err != kNRFErrNone)
        return err;
    IPTCRec check;
    if (!LoadXMPMetadata(encoding, packet.data(), packet.size(), nullptr, false, &check)) {
        NRFSetErrorText("Unable to update XMP sidecar file metadata at '%s'.", path.c_str());
        return kNRFErrBadFormat;
    }
    return kNRFErrNone;
}

// What a sidecar is written over: the sidecar, else the file's embedded packet, so that a new sidecar
// (which wins over the file from then on) keeps what the file's XMP says.
NRFErr sidecarStartingPoint(NRFImageInfoRec& image, const std::string& sidecar, std::string& packet) {
    packet.clear();
    if (lumo::fileExists(sidecar))
        return NRFReadXMPSidecar(sidecar, packet);
    NRFXMPPackets packets;
    if (loadEmbeddedXMP(image, packets, packet) != kNRFErrNone)
        packet.clear(); // a damaged file still gets its sidecar
    return kNRFErrNone;
}

NRFErr writeXMPState(NRFImageInfoRec& image, unsigned what, bool withIIMState) {
    const IPTCSaveSettings settings = IPTCSaveSettingsFromPreferences();
    const IPTCEncodingSettings encoding = IPTCEncodingSettingsFromPreferences();
    const IPTCSavePlan plan = IPTCPlanSave(image, settings);
    if (!plan.m_refusal.empty()) {
        if (image.m_fileType == kNRFTypeJPEG) {
            NRFSetErrorText("%s", plan.m_refusal.c_str());
            return kNRFErrParam;
        }
        return kNRFErrNone; // the ".XIP" holds it all
    }
    const XMPSerializeOptions options;
    if (plan.m_writeXMP || (withIIMState && plan.m_writeIIM)) {
        NRFXMPPackets old;
        std::string existing;
        if (const NRFErr err = loadEmbeddedXMP(image, old, existing); err != kNRFErrNone) {
            NRFSetErrorText("Error loading metadata from '%s'.", image.m_path.c_str());
            return err;
        }
        NRFXMPPackets packets;
        std::string iim;
        NRFMetadataWrite write;
        if (plan.m_writeXMP) {
            std::string full;
            if (!XMPUpdateXMP(encoding, existing.empty() ? nullptr : &existing, image, what, options, full)) {
                NRFSetErrorText("Error updating XMP in file '%s'.", image.m_path.c_str());
                return kNRFErrBadFormat;
            }
            packets = packetsFor(image, full);
            write.xmp = &packets;
        }
        std::string block;
        if (withIIMState && NRFContainerHoldsIIM(image.m_fileType)) {
            if (const NRFErr err = loadIIMBlock(image, block); err != kNRFErrNone) {
                NRFSetErrorText("Error loading metadata from '%s'.", image.m_path.c_str());
                return err;
            }
            // The 2:221 copy goes where IIM is written, and where the file already has a block.
            if (plan.m_writeIIM || !block.empty()) {
                IPTCRec record;
                if (!block.empty() &&
                    IPTCUnpackRecFromBinary(encoding, reinterpret_cast<const std::uint8_t*>(block.data()),
                                            block.size(), false, &record) != kIPTCNoErr) {
                    NRFSetErrorText("Error loading metadata from '%s'.", image.m_path.c_str());
                    return kNRFErrBadFormat;
                }
                stateIntoRecord(image, record);
                bool asUTF8 = false;
                if (packIIM(encoding, record, iim, asUTF8) != kNRFErrNone)
                    return saveFailed(image);
                write.iim = &iim;
            }
        }
        if (write.xmp || write.iim)
            if (NRFSaveMetadataBlocks(&image, write) != kNRFErrNone)
                return saveFailed(image);
    }
    if (plan.m_writeSidecar) {
        const std::string sidecar = sidecarPathForWriting(image.m_path);
        std::string existing, full;
        if (const NRFErr err = sidecarStartingPoint(image, sidecar, existing); err != kNRFErrNone)
            return err;
        if (!XMPUpdateXMP(encoding, existing.empty() ? nullptr : &existing, image, what, options, full)) {
            NRFSetErrorText("Unable to update XMP sidecar file metadata at '%s'.", sidecar.c_str());
            return kNRFErrBadFormat;
        }
        if (const NRFErr err = NRFWriteXMPSidecar(sidecar, full); err != kNRFErrNone)
            return err;
        image.RefreshFileStatus();
    }
    return kNRFErrNone;
}

} // namespace

NRFErr DoSaveIPTC(NRFImageInfoRec* image, const IPTCRec& record, NRFMetadataCommit* batch,
                  IPTCSaveReport* report) {
    return DoSaveIPTC(image, record, IPTCSaveSettingsFromPreferences(), IPTCEncodingSettingsFromPreferences(),
                      batch, report);
}

NRFErr DoSaveIPTC(NRFImageInfoRec* image, const IPTCRec& input, const IPTCSaveSettings& settings,
                  const IPTCEncodingSettings& encoding, NRFMetadataCommit* batch, IPTCSaveReport* report) {
    try {
        if (!image)
            return kNRFErrParam;
        if (!image->IsLocal()) {
            NRFSetErrorText("Cannot save changes to non-local file '%s'.", image->m_path.c_str());
            return kNRFErrNotLocal;
        }
        IPTCSaveReport local;
        IPTCSaveReport& done = report ? *report : local;
        done = IPTCSaveReport{};
        const IPTCSavePlan plan = IPTCPlanSave(*image, settings);
        if (const NRFErr err = checkCanUpdate(*image, plan); err != kNRFErrNone)
            return err;
        IPTCRec record = input;
        stateIntoRecord(*image, record);
        const XMPSerializeOptions options;
        UndoData undo;
        undo.path = image->m_path;

        if (plan.m_writeXMP || plan.m_writeIIM) {
            NRFXMPPackets old;
            std::string existing;
            if (const NRFErr err = loadEmbeddedXMP(*image, old, existing); err != kNRFErrNone)
                return saveFailed(*image);
            NRFMetadataWrite write;
            NRFXMPPackets packets;
            if (plan.m_writeXMP) {
                std::string full;
                if (!XMPUpdateIPTC(encoding, existing.empty() ? nullptr : &existing, record, image, options,
                                   full)) {
                    NRFSetErrorText("Error updating XMP in file '%s'.", image->m_path.c_str());
                    return saveFailed(*image);
                }
                packets = packetsFor(*image, full);
                write.xmp = &packets;
                undo.xmpWritten = true;
                undo.newXMP = packets.main;
                undo.oldXMP = old.main;
                undo.oldExtended = old.extended;
            }
            std::string iim;
            if (plan.m_writeIIM) {
                std::string oldBlock;
                if (loadIIMBlock(*image, oldBlock) != kNRFErrNone)
                    return saveFailed(*image);
                if (packIIM(encoding, record, iim, done.m_iimAsUTF8) != kNRFErrNone) {
                    NRFSetErrorText("A text is too long for its IPTC field.");
                    return saveFailed(*image);
                }
                if (done.m_iimAsUTF8)
                    LUMO_LOG("DoSaveIPTC(): '%s' holds text the IPTC write encoding cannot carry; its IPTC "
                             "block is written as UTF-8",
                             image->m_path.c_str());
                write.iim = &iim;
                undo.iimWritten = true;
                undo.newIIM = iim;
                undo.oldIIM = oldBlock;
            }
            NRFSetErrorText("%s", "");
            if (NRFSaveMetadataBlocks(image, write, batch) != kNRFErrNone)
                return saveFailed(*image);
            done.m_wroteFile = true;
            undo.fileWritten = true;
        }
        // The sidecar after the file: when it fails, what the file got can still be undone.
        const auto writeSidecar = [&]() -> NRFErr {
            const std::string sidecar = sidecarPathForWriting(image->m_path);
            std::string existing, full;
            undo.sidecarPath = sidecar;
            undo.sidecarExisted = lumo::fileExists(sidecar);
            if (const NRFErr err = sidecarStartingPoint(*image, sidecar, existing); err != kNRFErrNone)
                return err;
            if (!XMPUpdateIPTC(encoding, existing.empty() ? nullptr : &existing, record, image, options,
                               full)) {
                NRFSetErrorText("Unable to update XMP sidecar file metadata at '%s'.", sidecar.c_str());
                return kNRFErrBadFormat;
            }
            if (const NRFErr err = NRFWriteXMPSidecar(sidecar, full, batch); err != kNRFErrNone)
                return err;
            undo.sidecarWritten = true;
            undo.newSidecar = full;
            undo.oldSidecar = undo.sidecarExisted ? existing : std::string();
            done.m_wroteSidecar = true;
            done.m_sidecarPath = sidecar;
            image->RefreshFileStatus();
            return batch ? kNRFErrNone : readBackSidecar(sidecar, encoding);
        };
        const NRFErr err = plan.m_writeSidecar ? writeSidecar() : kNRFErrNone;
        if (settings.m_keepUndo && (undo.fileWritten || undo.sidecarWritten))
            storeUndo(undo, batch == nullptr);
        return err;
    } catch (...) {
        LUMO_LOG("Unexpected exception in DoSaveIPTC()");
        NRFSetErrorText("Unable to save metadata for %s.", image ? image->m_path.c_str() : "");
    }
    return kNRFErrException;
}

NRFErr DoUndoSaveIPTC(NRFImageInfoRec* image) {
    try {
        if (!image)
            return kNRFErrParam;
        if (!image->IsLocal())
            return kNRFErrNotLocal;
        const std::string where = undoPath(image->m_path);
        std::string bytes;
        UndoData u;
        if (where.empty() || !lumo::fileExists(where)) {
            NRFSetErrorText("There is no metadata save to undo for '%s'.", image->m_path.c_str());
            return kNRFErrParam;
        }
        if (lumo::readFile(where, bytes, kMaxUndoSize) != 0 || !decodeUndo(bytes, u) ||
            u.path != image->m_path) {
            LUMO_LOG("Unable to read IPTC in NRFUndoSaveIPTC()");
            NRFSetErrorText("Unable to read IPTC in NRFUndoSaveIPTC()");
            return kNRFErrBadFormat;
        }
        if (u.fileWritten && !fileAsSaved(*image, u)) {
            NRFSetErrorText("'%s' changed since its metadata was saved; the save is not undone.",
                            u.path.c_str());
            return kNRFErrParam;
        }
        if (u.sidecarWritten && !sidecarAsSaved(u)) {
            NRFSetErrorText("'%s' changed since it was saved; the save is not undone.",
                            u.sidecarPath.c_str());
            return kNRFErrParam;
        }
        if (u.fileWritten) {
            NRFMetadataWrite write;
            NRFXMPPackets packets{u.oldXMP, u.oldExtended, {}};
            if (u.xmpWritten)
                write.xmp = &packets;
            if (u.iimWritten)
                write.iim = &u.oldIIM;
            if (const NRFErr err = NRFSaveMetadataBlocks(image, write); err != kNRFErrNone)
                return saveFailed(*image);
        }
        if (u.sidecarWritten) {
            if (u.sidecarExisted) {
                if (const NRFErr err = NRFWriteXMPSidecar(u.sidecarPath, u.oldSidecar); err != kNRFErrNone)
                    return err;
            } else if (const int e = lumo::removeFile(u.sidecarPath); e != 0 && e != ENOENT) {
                NRFSetErrorText("Unable to update XMP sidecar file at '%s', file may not be writeable.",
                                u.sidecarPath.c_str());
                return 6;
            }
            image->RefreshFileStatus();
        }
        lumo::removeFile(where);
        return kNRFErrNone;
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFUndoSaveIPTC()");
    }
    return kNRFErrException;
}

NRFErr NRFSaveXMP(NRFImageInfoRec* image, unsigned what) {
    try {
        if (!image)
            return kNRFErrParam;
        if (!image->IsLocal())
            return kNRFErrNotLocal;
        return writeXMPState(*image, what, false);
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFSaveXMP()");
    }
    return kNRFErrException;
}

NRFErr NRFDeleteMetadata(NRFImageInfoRec* image) {
    try {
        if (!image)
            return kNRFErrParam;
        if (!image->IsLocal())
            return kNRFErrNotLocal;
        const NRFFileTypeInfo* row = rowFor(image->m_fileType);
        if (!row) {
            NRFSetErrorText("No plugin available for '%s'", image->m_path.c_str());
            return kNRFErrParam;
        }
        const bool holdsXMP = NRFContainerHoldsXMP(image->m_fileType);
        const bool holdsIIM = NRFContainerHoldsIIM(image->m_fileType);
        if ((holdsXMP || holdsIIM) && row->metadataStorage != kNRFStorageBesideFile &&
            row->metadataStorage != kNRFStorageNone) {
            const std::string empty;
            const NRFXMPPackets none;
            NRFMetadataWrite write;
            if (holdsIIM)
                write.iim = &empty;
            if (holdsXMP)
                write.xmp = &none;
            if (NRFSaveMetadataBlocks(image, write) != kNRFErrNone)
                return saveFailed(*image);
        }
        if (row->metadataStorage >= kNRFStorageTIFFRaw && row->metadataStorage <= kNRFStorageBesideFile) {
            const std::string sidecar = NRFLocalImageInfoRec::FindXmpSidecar(image->m_path);
            if (!sidecar.empty())
                if (const int e = lumo::removeFile(sidecar); e != 0 && e != ENOENT) {
                    NRFSetErrorText("Unable to update XMP sidecar file at '%s', file may not be writeable.",
                                    sidecar.c_str());
                    return 6;
                }
            image->RefreshFileStatus();
        }
        return kNRFErrNone;
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFDeleteMetadata()");
    }
    return kNRFErrException;
}

const char* IPTCPhotoOperationErrorText(IPTCPhotoOperation operation) {
    switch (operation) {
    case IPTCPhotoOperation::kSetTag:
        return "While setting a tag an error occurred:";
    case IPTCPhotoOperation::kToggleTag:
        return "While toggling a tag an error occurred:";
    case IPTCPhotoOperation::kClearTag:
        return "While clearing a tag an error occurred:";
    case IPTCPhotoOperation::kSetColorClass:
        return "While setting a color class an error occurred:";
    case IPTCPhotoOperation::kSetRating:
        return "While setting a rating an error occurred:";
    case IPTCPhotoOperation::kRotateClockwise:
        return "While rotating an image clockwise an error occurred:";
    case IPTCPhotoOperation::kRotateCounterClockwise:
        return "While rotating an image counter-clockwise an error occurred:";
    case IPTCPhotoOperation::kSetRotation:
        return "While setting rotation an error occurred:";
    case IPTCPhotoOperation::kMirrorHorizontally:
        return "While mirroring an image horizontally an error occurred:";
    case IPTCPhotoOperation::kMirrorVertically:
        return "While mirroring an image vertically an error occurred:";
    case IPTCPhotoOperation::kSetMirror:
        return "While setting mirror an error occurred:";
    case IPTCPhotoOperation::kSetCrop:
        return "While setting a crop an error occurred:";
    case IPTCPhotoOperation::kRemoveCrop:
        return "While removing a crop an error occurred:";
    case IPTCPhotoOperation::kSaveMetadata:
        return "While saving metadata an error occurred:";
    }
    return "";
}

namespace {

// Brings the photo's current state into the record before one part of it changes: the ".XIP" of the
// types that keep one, then the XMP (by the type's policy; for a JPEG also its IIM 2:221 when the XMP
// holds none). A rotation the file holds itself stays the file's.
NRFErr loadPhotoState(NRFImageInfoRec& image) {
    if (image.m_fileType != kNRFTypeJPEG) {
        const NRFErr err = NRFLoadXMLPrefs(&image);
        if (err != kNRFErrNone && err != kNRFErrOpen)
            return err;
    }
    std::string packet;
    IPTCXMPSource source = IPTCXMPSource::kNone;
    if (const NRFErr err = chooseXMP(image, packet, source); err != kNRFErrNone)
        return err;
    const std::int16_t orientation = image.m_orientation;
    const NRFNormalizedCrop crop = image.m_crop;
    bool fromXMP = false;
    if (!packet.empty()) {
        const bool hadTag = image.m_tag;
        const std::int16_t hadRating = image.m_rating, hadClass = image.m_colorClass;
        fromXMP = XMPReadImageState(packet, image) &&
                  (PropertyExistsInXMP(packet, kLumographXMPNamespaceURI, "Prefs") ||
                   PropertyExistsInXMP(packet, kLumographXMPNamespaceURI, "Tagged") ||
                   PropertyExistsInXMP(packet, "http://ns.adobe.com/xap/1.0/", "Rating"));
        if (!fromXMP) {
            image.m_tag = hadTag;
            image.m_rating = hadRating;
            image.m_colorClass = hadClass;
        }
    }
    if (image.m_rotationFromFile || image.m_orientationPosCount != 0)
        image.m_orientation = orientation;
    if (image.m_fileType != kNRFTypeJPEG)
        image.m_crop = crop; // the ".XIP" holds the crop of the other types
    if (!fromXMP && image.m_fileType == kNRFTypeJPEG) {
        std::string block;
        if (loadIIMBlock(image, block) == kNRFErrNone && !block.empty()) {
            const IPTCEncodingSettings encoding = IPTCEncodingSettingsFromPreferences();
            IPTCRec iim;
            IPTCUnpackRecFromBinary(encoding, reinterpret_cast<const std::uint8_t*>(block.data()),
                                    block.size(), false, &iim);
            stateIntoImage(iim, encoding, image);
        }
    }
    return kNRFErrNone;
}

NRFErr loadStateOrFail(NRFImageInfoRec& image) {
    if (const NRFErr err = loadPhotoState(image); err != kNRFErrNone) {
        NRFSetErrorText("Error loading metadata from '%s'.", image.m_path.c_str());
        return err;
    }
    return kNRFErrNone;
}

struct HeldState {
    bool tag;
    std::int16_t colorClass, rating, orientation;
    NRFNormalizedCrop crop;
    explicit HeldState(const NRFImageInfoRec& i)
        : tag(i.m_tag), colorClass(i.m_colorClass), rating(i.m_rating), orientation(i.m_orientation),
          crop(i.m_crop) {}
    void restore(NRFImageInfoRec& i) const {
        i.m_tag = tag;
        i.m_colorClass = colorClass;
        i.m_rating = rating;
        i.m_orientation = orientation;
        i.m_crop = crop;
    }
};

template <typename Change>
NRFErr changeState(NRFImageInfoRec* image, Change change) {
    try {
        if (!image)
            return kNRFErrParam;
        if (!image->IsLocal()) {
            NRFSetErrorText("This item is not locally available and cannot be modified.");
            return kNRFErrNotLocal;
        }
        if (const NRFErr err = loadStateOrFail(*image); err != kNRFErrNone)
            return err;
        const HeldState held(*image);
        change(*image);
        const NRFErr err = NRFSaveImagePrefs(image);
        if (err != kNRFErrNone)
            held.restore(*image);
        return err;
    } catch (...) {
        LUMO_LOG("Unexpected exception while changing the state of a photo");
    }
    return kNRFErrException;
}

} // namespace

NRFErr IPTCLoadPhotoState(NRFImageInfoRec* image) {
    try {
        if (!image)
            return kNRFErrParam;
        if (!image->IsLocal())
            return kNRFErrNotLocal;
        return loadStateOrFail(*image);
    } catch (...) {
        LUMO_LOG("Unexpected exception in IPTCLoadPhotoState()");
    }
    return kNRFErrException;
}

NRFErr IPTCSetPhotoTag(NRFImageInfoRec* image, int mode) {
    if (mode < 0 || mode > 2)
        return kNRFErrParam;
    return changeState(image, [mode](NRFImageInfoRec& i) { i.m_tag = mode == 2 ? !i.m_tag : mode == 1; });
}

NRFErr IPTCSetPhotoRating(NRFImageInfoRec* image, int rating) {
    if (rating < 0 || rating > 5)
        return kNRFErrParam;
    return changeState(image,
                       [rating](NRFImageInfoRec& i) { i.m_rating = static_cast<std::int16_t>(rating); });
}

NRFErr IPTCSetPhotoColorClass(NRFImageInfoRec* image, int colorClass) {
    if (colorClass < 0 || colorClass > 8)
        return kNRFErrParam;
    return changeState(
        image, [colorClass](NRFImageInfoRec& i) { i.m_colorClass = static_cast<std::int16_t>(colorClass); });
}

NRFErr IPTCSetPhotoCrop(NRFImageInfoRec* image, const NRFNormalizedCrop& crop) {
    if (!(crop.left >= 0.0 && crop.left < crop.right && crop.right <= 1.0 && crop.top >= 0.0 &&
          crop.top < crop.bottom && crop.bottom <= 1.0))
        return kNRFErrParam;
    return changeState(image, [&crop](NRFImageInfoRec& i) { i.m_crop = crop; });
}

NRFErr IPTCSetPhotoRotation(NRFImageInfoRec* image, int code) {
    if (code < 0 || code > 7) {
        NRFSetErrorText("Error setting rotation, bad parameter");
        return kNRFErrParam;
    }
    if (!image)
        return kNRFErrParam;
    if (image->m_fileType != kNRFTypeJPEG) {
        if (const NRFErr err = NRFLoadXMLPrefs(image); err != kNRFErrNone && err != kNRFErrOpen)
            return err;
        if (const NRFErr err = NRFSetRotationAndSaveImagePrefs(image, code); err != kNRFErrNone)
            return err;
        // An XMP copy of the orientation (another program's, or ours) follows.
        std::string packet;
        IPTCXMPSource source = IPTCXMPSource::kNone;
        if (chooseXMP(*image, packet, source) == kNRFErrNone && !packet.empty() &&
            PropertyExistsInXMP(packet, "http://ns.adobe.com/tiff/1.0/", "Orientation"))
            return NRFSaveXMP(image, kXMPUpdateOrientation);
        return kNRFErrNone;
    }
    if (image->m_orientationPosCount != 0) {
        std::string packet;
        IPTCXMPSource source = IPTCXMPSource::kNone;
        if (chooseXMP(*image, packet, source) == kNRFErrNone &&
            (packet.empty() || !PropertyExistsInXMP(packet, "http://ns.adobe.com/tiff/1.0/", "Orientation")))
            return NRFSetRotation(image, code);
    }
    // A JPEG: its XMP (with the tiff:Orientation copy) is rewritten first, then the EXIF orientation
    // values the rewritten file holds are set in place.
    const NRFErr err =
        changeState(image, [code](NRFImageInfoRec& i) { i.m_orientation = static_cast<std::int16_t>(code); });
    if (err != kNRFErrNone)
        return err;
    if (image->m_orientationPosCount != 0)
        return NRFSetRotation(image, code);
    image->m_orientation = static_cast<std::int16_t>(code);
    return kNRFErrNone;
}

namespace {

// The profile as APP2 "ICC_PROFILE" chunks placed after the JPEG's SOI and its APP0/APP1 segments.
// False when the stream does not start as a JPEG or already holds a profile.
bool insertICCProfile(std::string& jpeg, const std::string& profile) {
    constexpr std::size_t kChunk = 65519; // 65535 - 2 (length) - 14 (signature, sequence, count)
    const std::size_t chunks = (profile.size() + kChunk - 1) / kChunk;
    if (profile.empty() || chunks > 255 || jpeg.size() < 4 || static_cast<unsigned char>(jpeg[0]) != 0xFF ||
        static_cast<unsigned char>(jpeg[1]) != 0xD8)
        return false;
    std::size_t pos = 2;
    while (pos + 4 <= jpeg.size() && static_cast<unsigned char>(jpeg[pos]) == 0xFF) {
        const unsigned marker = static_cast<unsigned char>(jpeg[pos + 1]);
        const std::size_t length = (std::size_t{static_cast<unsigned char>(jpeg[pos + 2])} << 8) |
                                   static_cast<unsigned char>(jpeg[pos + 3]);
        if (marker == 0xE2 && jpeg.compare(pos + 4, 12, std::string("ICC_PROFILE\0", 12)) == 0)
            return false;
        if ((marker != 0xE0 && marker != 0xE1) || length < 2 || pos + 2 + length > jpeg.size())
            break;
        pos += 2 + length;
    }
    std::string segments;
    for (std::size_t i = 0; i < chunks; ++i) {
        const std::string data = profile.substr(i * kChunk, kChunk);
        const std::size_t length = 2 + 14 + data.size();
        segments += "\xFF\xE2";
        segments += static_cast<char>(length >> 8);
        segments += static_cast<char>(length & 0xFF);
        segments.append("ICC_PROFILE\0", 12);
        segments += static_cast<char>(i + 1);
        segments += static_cast<char>(chunks);
        segments += data;
    }
    jpeg.insert(pos, segments);
    return true;
}

} // namespace

NRFErr IPTCCopyMetadataToJPEG(NRFImageInfoRec* source, const std::string& jpegPath, bool withProfile) {
    try {
        if (!source)
            return kNRFErrParam;
        if (withProfile) {
            std::string profile;
            if (NRFLoadICCProfile(source, &profile) != kNRFErrNone || profile.empty())
                profile = NRFICCBuiltInProfile(source->m_colorSpaceCode);
            std::string bytes;
            if (!profile.empty() && lumo::readFile(jpegPath, bytes, kNRFMaxIPTCBlock * 16) == 0 &&
                insertICCProfile(bytes, profile))
                if (const int e = lumo::writeFileReplacing(jpegPath, bytes, nullptr, false); e != 0) {
                    NRFSetErrorText("Unable to write '%s': %s", jpegPath.c_str(), std::strerror(e));
                    return 6;
                }
        }
        IPTCRec record;
        if (const NRFErr err = NRFLoadIPTC(source, &record); err != kNRFErrNone)
            return err;
        NRFImageInfoRef jpeg;
        NRFErr err = NRFOpenImage(jpegPath.c_str(), kNRFTypeJPEG, &jpeg);
        if (err == kNRFErrNone)
            err = NRFGetImageInfo(jpeg.get());
        if (err != kNRFErrNone)
            return err;
        jpeg->m_tag = source->m_tag;
        jpeg->m_colorClass = source->m_colorClass;
        jpeg->m_rating = source->m_rating;
        jpeg->m_imageNumber = source->m_imageNumber;
        jpeg->m_orientation = source->m_orientation;
        // A raw shown through its preview keeps the crop drawn on that preview as its draft.
        const NRFNormalizedCrop full;
        jpeg->m_crop = source->m_crop == full ? source->m_draftCrop : source->m_crop;

        const IPTCEncodingSettings encoding = IPTCEncodingSettingsFromPreferences();
        const XMPSerializeOptions options;
        std::string prefs, fullPacket;
        if (!XMPUpdateXMP(encoding, nullptr, *jpeg,
                          kXMPUpdateImageState | kXMPUpdateOrientation | kXMPUpdateCrop, options, prefs) ||
            !XMPUpdateIPTC(encoding, &prefs, record, jpeg.get(), options, fullPacket)) {
            NRFSetErrorText("Error updating XMP in file '%s'.", jpegPath.c_str());
            return kNRFErrBadFormat;
        }
        IPTCRec withState = record;
        stateIntoRecord(*jpeg, withState);
        std::string iim;
        bool asUTF8 = false;
        if (packIIM(encoding, withState, iim, asUTF8) != kNRFErrNone)
            return saveFailed(*jpeg);
        const NRFXMPPackets packets = packetsFor(*jpeg, fullPacket);
        NRFMetadataWrite write;
        write.iim = &iim;
        write.xmp = &packets;
        if (NRFSaveMetadataBlocks(jpeg.get(), write) != kNRFErrNone)
            return saveFailed(*jpeg);
        return kNRFErrNone;
    } catch (...) {
        LUMO_LOG("Unexpected exception in IPTCCopyMetadataToJPEG()");
    }
    return kNRFErrException;
}
