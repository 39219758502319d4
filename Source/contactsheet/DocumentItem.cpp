#include "contactsheet/DocumentItem.h"

#include "NRF/NRF.h"
#include "app/LumoLog.h"
#include "cache/CachedImage.h"
#include "cache/LumoCache.h"
#include "db/LumoSortCache.h"
#include "metadata/PhotoMetadata.h"
#include "support/PathDigest.h"
#include "support/TextUtils.h"

#include <sys/stat.h>

#include <algorithm>
#include <exception>

namespace {

constexpr NRFFileType kUnknownType = NRFMakeFileType("????");

// The text shown for a failed change: what was being done, then what went wrong.
std::string failureText(const char* heading, NRFErr err) {
    std::string error = NRFGetErrorText();
    if (error.empty())
        error = lumo::formatString("The operation failed (error %u).", static_cast<unsigned>(err));
    return std::string(heading) + "\n" + error;
}

bool fileStatus(const std::string& path, std::uint64_t& size, std::int64_t& time) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return false;
    size = static_cast<std::uint64_t>(st.st_size);
    time = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
    return true;
}

// Reads (or brings up to date) the record of one handle and publishes it; 0 or the engine's result.
NRFErr loadHandle(CachedImage& image, NRFFileType type) {
    NRFImageInfoRef current = image.Record();
    if (current && !current->NeedsMetadataReload() && current->m_readComplete)
        return kNRFErrNone;
    NRFImageInfoRef record;
    if (current) {
        record = current->Clone();
    } else if (const NRFErr err = NRFOpenImage(image.Filename().c_str(), type, &record); err != kNRFErrNone) {
        return err;
    }
    if (const NRFErr err = NRFGetImageInfo(record.get()); err != kNRFErrNone) {
        if (!current)
            NRFCloseImage(&record);
        return err;
    }
    // Tag, rating, colour class, rotation and crop as the photo's prefs and XMP hold them; a photo
    // whose state cannot be read still shows with what the file gave.
    if (const NRFErr err = IPTCLoadPhotoState(record.get()); err != kNRFErrNone)
        LUMO_LOG("DocumentItem::Load() photo state of '%s' not read (%u)", record->m_path.c_str(),
                 static_cast<unsigned>(err));
    image.SetRecord(std::move(record));
    return kNRFErrNone;
}

// What the user sees is the stored picture, mirrored when bit 2 is set, then turned clockwise by the
// low bits. Mirroring left-right reverses the turns made so far; a top-bottom mirror is a left-right
// mirror followed by a half turn.
int turnedCode(int code, int quarterTurns) {
    return (code & 4) | ((code + quarterTurns) & 3);
}
int mirroredCode(int code, bool vertically) {
    return ((code & 4) ^ 4) | (((vertically ? 6 : 4) - (code & 3)) & 3);
}

} // namespace

DocumentItem::DocumentItem(std::shared_ptr<CachedImage> primary, std::shared_ptr<CachedImage> companion)
    : m_primary(std::move(primary)), m_companion(std::move(companion)) {}

DocumentItem::~DocumentItem() = default;

DocumentItem::Ref DocumentItem::ForFile(const std::string& path, NRFFileType type, bool isRaw) {
    auto item = std::make_shared<DocumentItem>(std::make_shared<CachedImage>(path));
    item->m_scannedType = type;
    item->m_scannedRaw = isRaw;
    return item;
}

DocumentItem::Ref DocumentItem::ForHandle(std::shared_ptr<CachedImage> image, NRFFileType type, bool isRaw) {
    auto item = std::make_shared<DocumentItem>(std::move(image));
    item->m_scannedType = type;
    item->m_scannedRaw = isRaw;
    return item;
}

// ---- handles

std::shared_ptr<CachedImage> DocumentItem::Primary() const {
    std::lock_guard lock(m_lock);
    return m_primary;
}

std::shared_ptr<CachedImage> DocumentItem::Companion() const {
    std::lock_guard lock(m_lock);
    return m_companion;
}

void DocumentItem::SetPrimary(std::shared_ptr<CachedImage> primary) {
    std::lock_guard lock(m_lock);
    m_primary = std::move(primary);
}

void DocumentItem::SetCompanion(std::shared_ptr<CachedImage> companion) {
    std::lock_guard lock(m_lock);
    m_companion = std::move(companion);
    if (!m_companion) {
        m_companionType = 0;
        m_companionRaw = false;
    }
}

void DocumentItem::SetCompanion(std::shared_ptr<CachedImage> companion, NRFFileType type, bool isRaw) {
    std::lock_guard lock(m_lock);
    m_companion = std::move(companion);
    m_companionType = m_companion ? type : 0;
    m_companionRaw = m_companion && isRaw;
}

bool DocumentItem::HasCompanion() const {
    return Companion() != nullptr;
}

NRFFileType DocumentItem::ScannedType() const {
    std::lock_guard lock(m_lock);
    return m_scannedType;
}

NRFFileType DocumentItem::CompanionScannedType() const {
    std::lock_guard lock(m_lock);
    return m_companionType;
}

bool DocumentItem::CompanionIsRaw() const {
    std::lock_guard lock(m_lock);
    return m_companionRaw;
}

NRFImageInfoRef DocumentItem::PrimaryRecord() const {
    const std::shared_ptr<CachedImage> image = Primary();
    return image ? image->Record() : nullptr;
}

NRFImageInfoRef DocumentItem::CompanionRecord() const {
    const std::shared_ptr<CachedImage> image = Companion();
    return image ? image->Record() : nullptr;
}

std::uint32_t DocumentItem::Load() {
    const std::shared_ptr<CachedImage> primary = Primary();
    if (!primary)
        return kNRFErrParam;
    const NRFErr err = loadHandle(*primary, ScannedType());
    if (const std::shared_ptr<CachedImage> companion = Companion())
        loadHandle(*companion, CompanionScannedType()); // the item stands on its primary
    return err;
}

bool DocumentItem::IsLoaded() const {
    if (!PrimaryRecord())
        return false;
    return !HasCompanion() || CompanionRecord() != nullptr;
}

// ---- attributes

std::string DocumentItem::FileName() const {
    return std::string(lumo::baseName(FullPath()));
}

std::string DocumentItem::FullPath() const {
    const std::shared_ptr<CachedImage> image = Primary();
    return image ? image->Filename() : std::string();
}

std::string DocumentItem::CompanionPath() const {
    const std::shared_ptr<CachedImage> image = Companion();
    return image ? image->Filename() : std::string();
}

NRFFileType DocumentItem::FileType() const {
    if (!Primary())
        return kUnknownType;
    if (const NRFImageInfoRef record = PrimaryRecord(); record && record->m_fileType != 0)
        return record->m_fileType;
    const NRFFileType scanned = ScannedType();
    return scanned ? scanned : kUnknownType;
}

bool DocumentItem::IsRaw() const {
    if (!Primary())
        return false;
    const NRFImageInfoRef record = PrimaryRecord();
    if (!record) {
        std::lock_guard lock(m_lock);
        return m_scannedRaw;
    }
    std::uint32_t capabilities = 0;
    return NRFGetCapabilities(record->m_fileType, &capabilities) == kNRFErrNone &&
           (capabilities & kNRFCapRawPreview) != 0;
}

std::string DocumentItem::UniqueID() const {
    const std::string path = FullPath();
    return path.empty() ? std::string() : lumo::pathDigest(path);
}

std::uint64_t DocumentItem::FileSize() const {
    if (const NRFImageInfoRef record = PrimaryRecord())
        return record->m_fileSize;
    std::lock_guard lock(m_lock);
    return m_listedSize;
}

std::int64_t DocumentItem::ModificationTimeNs() const {
    if (const NRFImageInfoRef record = PrimaryRecord())
        return record->m_modTimeNs;
    std::lock_guard lock(m_lock);
    return m_listedTime;
}

void DocumentItem::SetListedStamp(std::uint64_t size, std::int64_t lastWriteTime) {
    std::lock_guard lock(m_lock);
    m_listedSize = size;
    m_listedTime = lastWriteTime;
}

bool DocumentItem::Tag() const {
    const NRFImageInfoRef record = PrimaryRecord();
    return record && record->m_tag;
}

int DocumentItem::Rating() const {
    const NRFImageInfoRef record = PrimaryRecord();
    return record ? record->m_rating : 0;
}

int DocumentItem::ColorClass() const {
    const NRFImageInfoRef record = PrimaryRecord();
    return record ? record->m_colorClass : 0;
}

int DocumentItem::Rotation() const {
    const NRFImageInfoRef record = PrimaryRecord();
    return record ? record->m_orientation : 0;
}

bool DocumentItem::HasCrop() const {
    const NRFImageInfoRef record = PrimaryRecord();
    return record && !(record->m_crop == NRFNormalizedCrop{});
}

NRFNormalizedCrop DocumentItem::Crop() const {
    const NRFImageInfoRef record = PrimaryRecord();
    return record ? record->m_crop : NRFNormalizedCrop{};
}

KLDateTime DocumentItem::CaptureDateTime() const {
    const NRFImageInfoRef record = PrimaryRecord();
    return record ? record->m_captureTime : KLDateTime{};
}

bool DocumentItem::HasSoundFile() const {
    const NRFImageInfoRef record = PrimaryRecord();
    return record && record->m_soundFileCount > 0;
}

std::vector<std::string> DocumentItem::AllFiles() const {
    std::vector<std::string> files;
    const auto add = [&files](const std::shared_ptr<CachedImage>& image) {
        if (!image)
            return;
        files.push_back(image->Filename());
        if (const NRFImageInfoRef record = image->Record())
            for (const std::string& attached : record->m_attachedFiles)
                if (std::find(files.begin(), files.end(), attached) == files.end())
                    files.push_back(attached);
    };
    add(Primary());
    add(Companion());
    return files;
}

// ---- change operations

void DocumentItem::published(const std::string& path, std::uint64_t oldSize, std::int64_t oldTime,
                             bool picturesChange) {
    // The sort keys of the file are no longer what the sort cache holds; pictures cached for it are
    // stale once the file itself was rewritten (or the way it is shown changed).
    LumoSortCache::purgeSortInfoFor(path);
    std::uint64_t size = 0;
    std::int64_t time = 0;
    const bool rewritten = !fileStatus(path, size, time) || size != oldSize || time != oldTime;
    if (rewritten || picturesChange)
        if (LumoCache* cache = LumoCache::instance())
            cache->forget(path);
}

DocumentItem::Result DocumentItem::change(const char* heading, const char* refusal,
                                          const std::function<NRFErr(NRFImageInfoRec&)>& apply,
                                          bool picturesChange) {
    std::unique_lock changing(m_changeLock);
    if (!IsLocallyAvailable())
        return {kNRFErrNotLocal, refusal};
    const std::shared_ptr<CachedImage> primary = Primary();
    if (!primary)
        return {kNRFErrParam, std::string(heading) + "\nThe item has no file."};
    NRFSetErrorText("%s", "");
    if (const NRFErr err = loadHandle(*primary, ScannedType()); err != kNRFErrNone)
        return {err, failureText(heading, err)};
    const NRFImageInfoRef current = primary->Record();
    const std::string path = primary->Filename();
    std::uint64_t oldSize = 0;
    std::int64_t oldTime = 0;
    fileStatus(path, oldSize, oldTime);
    NRFImageInfoRef changed = current->Clone();
    NRFErr err = kNRFErrException;
    try {
        err = apply(*changed);
    } catch (const std::exception& e) {
        LUMO_LOG("Unexpected exception in DocumentItem::change() '%s'", e.what());
    } catch (...) {
        LUMO_LOG("Unexpected exception in DocumentItem::change()");
    }
    if (err != kNRFErrNone)
        return {err, failureText(heading, err)};
    primary->SetRecord(std::move(changed));
    published(path, oldSize, oldTime, picturesChange);
    changing.unlock();
    Changed.emit(*this);
    return {};
}

namespace {
const char* headingOf(IPTCPhotoOperation operation) {
    return IPTCPhotoOperationErrorText(operation);
}
} // namespace

DocumentItem::Result DocumentItem::SetTag(bool on) {
    return change(
        headingOf(on ? IPTCPhotoOperation::kSetTag : IPTCPhotoOperation::kClearTag),
        DocumentItemText::kNotLocalModify,
        [on](NRFImageInfoRec& r) { return IPTCSetPhotoTag(&r, on ? 1 : 0); }, false);
}

DocumentItem::Result DocumentItem::ToggleTag() {
    return change(
        headingOf(IPTCPhotoOperation::kToggleTag), DocumentItemText::kNotLocalModify,
        [](NRFImageInfoRec& r) { return IPTCSetPhotoTag(&r, 2); }, false);
}

DocumentItem::Result DocumentItem::ClearTag() {
    return change(
        headingOf(IPTCPhotoOperation::kClearTag), DocumentItemText::kNotLocalModify,
        [](NRFImageInfoRec& r) { return IPTCSetPhotoTag(&r, 0); }, false);
}

DocumentItem::Result DocumentItem::SetColorClass(int colorClass) {
    return change(
        headingOf(IPTCPhotoOperation::kSetColorClass), DocumentItemText::kNotLocalModify,
        [colorClass](NRFImageInfoRec& r) { return IPTCSetPhotoColorClass(&r, colorClass); }, false);
}

DocumentItem::Result DocumentItem::SetRating(int rating) {
    return change(
        headingOf(IPTCPhotoOperation::kSetRating), DocumentItemText::kNotLocalModify,
        [rating](NRFImageInfoRec& r) { return IPTCSetPhotoRating(&r, rating); }, false);
}

namespace {
// A rotation or mirror starts from the photo's current code, as its prefs and XMP hold it.
NRFErr setCodeFrom(NRFImageInfoRec& r, const std::function<int(int)>& next) {
    if (const NRFErr err = IPTCLoadPhotoState(&r); err != kNRFErrNone)
        return err;
    return IPTCSetPhotoRotation(&r, next(r.m_orientation & 7));
}
} // namespace

DocumentItem::Result DocumentItem::RotateClockwise() {
    return change(
        headingOf(IPTCPhotoOperation::kRotateClockwise), DocumentItemText::kNotLocalRotate,
        [](NRFImageInfoRec& r) { return setCodeFrom(r, [](int c) { return turnedCode(c, 1); }); }, true);
}

DocumentItem::Result DocumentItem::RotateCounterClockwise() {
    return change(
        headingOf(IPTCPhotoOperation::kRotateCounterClockwise), DocumentItemText::kNotLocalRotate,
        [](NRFImageInfoRec& r) { return setCodeFrom(r, [](int c) { return turnedCode(c, 3); }); }, true);
}

DocumentItem::Result DocumentItem::SetRotation(int code) {
    return change(
        headingOf(IPTCPhotoOperation::kSetRotation), DocumentItemText::kNotLocalRotate,
        [code](NRFImageInfoRec& r) { return IPTCSetPhotoRotation(&r, code); }, true);
}

DocumentItem::Result DocumentItem::MirrorHorizontally() {
    return change(
        headingOf(IPTCPhotoOperation::kMirrorHorizontally), DocumentItemText::kNotLocalMirror,
        [](NRFImageInfoRec& r) { return setCodeFrom(r, [](int c) { return mirroredCode(c, false); }); },
        true);
}

DocumentItem::Result DocumentItem::MirrorVertically() {
    return change(
        headingOf(IPTCPhotoOperation::kMirrorVertically), DocumentItemText::kNotLocalMirror,
        [](NRFImageInfoRec& r) { return setCodeFrom(r, [](int c) { return mirroredCode(c, true); }); }, true);
}

DocumentItem::Result DocumentItem::SetMirror(bool mirrored) {
    return change(
        headingOf(IPTCPhotoOperation::kSetMirror), DocumentItemText::kNotLocalMirror,
        [mirrored](NRFImageInfoRec& r) {
            return setCodeFrom(r, [mirrored](int c) { return (c & 3) | (mirrored ? 4 : 0); });
        },
        true);
}

DocumentItem::Result DocumentItem::SetCrop(const NRFNormalizedCrop& crop) {
    return change(
        headingOf(IPTCPhotoOperation::kSetCrop), DocumentItemText::kNotLocalModify,
        [&crop](NRFImageInfoRec& r) { return IPTCSetPhotoCrop(&r, crop); }, true);
}

DocumentItem::Result DocumentItem::RemoveCrop() {
    return change(
        headingOf(IPTCPhotoOperation::kRemoveCrop), DocumentItemText::kNotLocalModify,
        [](NRFImageInfoRec& r) { return IPTCSetPhotoCrop(&r, NRFNormalizedCrop{}); }, true);
}

DocumentItem::Result DocumentItem::SaveMetadata(const IPTCRec& record) {
    return change(
        headingOf(IPTCPhotoOperation::kSaveMetadata), DocumentItemText::kNotLocalModify,
        [&record](NRFImageInfoRec& r) { return DoSaveIPTC(&r, record); }, false);
}

DocumentItem::Result DocumentItem::SaveCompanionIptcOnly(const IPTCRec& record) {
    std::unique_lock changing(m_changeLock);
    const char* heading = headingOf(IPTCPhotoOperation::kSaveMetadata);
    if (!IsLocallyAvailable())
        return {kNRFErrNotLocal, DocumentItemText::kNotLocalModify};
    const std::shared_ptr<CachedImage> companion = Companion();
    if (!companion)
        return {};
    try {
        NRFSetErrorText("%s", "");
        if (const NRFErr err = loadHandle(*companion, CompanionScannedType()); err != kNRFErrNone)
            return {err, failureText(heading, err)};
        const std::string path = companion->Filename();
        std::uint64_t oldSize = 0;
        std::int64_t oldTime = 0;
        fileStatus(path, oldSize, oldTime);
        NRFImageInfoRef changed = companion->Record()->Clone();
        if (const NRFErr err = DoSaveIPTC(changed.get(), record); err != kNRFErrNone)
            return {err, failureText(heading, err)};
        companion->SetRecord(std::move(changed));
        published(path, oldSize, oldTime, false);
    } catch (...) {
        LUMO_LOG("Unexpected exception during file updating in DocumentItem::SaveCompanionIptcOnly()");
        return {kNRFErrException, failureText(heading, kNRFErrException)};
    }
    changing.unlock();
    Changed.emit(*this);
    return {};
}

// ---- refresh

bool DocumentItem::UpdateDocumentItem() {
    try {
        for (const auto& [image, type] :
             {std::pair{Primary(), ScannedType()}, std::pair{Companion(), CompanionScannedType()}}) {
            if (!image)
                continue;
            const NRFImageInfoRef current = image->Record();
            if (!current) {
                if (loadHandle(*image, type) != kNRFErrNone)
                    return false;
                continue;
            }
            // Brought up to date from the files (NRFGetImageInfo reads only what changed); published only
            // when read whole.
            NRFImageInfoRef fresh = current->Clone();
            if (NRFGetImageInfo(fresh.get()) != kNRFErrNone)
                return false;
            image->SetRecord(std::move(fresh));
        }
        return true;
    } catch (const std::exception& e) {
        LUMO_LOG("DocumentItem::UpdateDocumentItem() exception: '%s'", e.what());
    } catch (...) {
        LUMO_LOG("DocumentItem::UpdateDocumentItem() unknown exception");
    }
    return false;
}
