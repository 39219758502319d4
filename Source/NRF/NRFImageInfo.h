#pragma once

// The engine's description of one image file: what the readers found in it, the per-image prefs, and
// where each piece of metadata sits in the file so that it can be rewritten in place. Records are shared
// between threads through reference-counted pointers (NRFImageInfoRef); a record itself is not
// thread-safe.

#include "archive/VObject.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// A calendar date and time of day, no zone (year 0 means "not set").
struct KLDateTime {
    std::int16_t year = 0;
    std::uint8_t month = 0, day = 0, hour = 0, minute = 0, second = 0;

    bool isValid() const { return year != 0; }
    bool operator==(const KLDateTime&) const = default;
};

// The calendar date and time of a count of seconds since 1970 (no zone applied); not set outside the
// years 1..9999.
KLDateTime KLDateTimeFromSeconds(std::int64_t seconds);

// A crop as fractions 0..1 of the unrotated image, with an angle in degrees and an optional aspect
// constraint (1.0 x 1.0 when unset). Valid when 0 <= left < right <= 1 and 0 <= top < bottom <= 1.
struct NRFNormalizedCrop {
    double left = 0.0, top = 0.0, right = 1.0, bottom = 1.0;
    double angle = 0.0;
    double constraintWidth = 1.0, constraintHeight = 1.0;
    bool constrained = false;

    bool operator==(const NRFNormalizedCrop&) const = default;
};

// "crop: left:... top:... right:... bottom:... angle:... constrain:(w, h, true|false)" for logs.
std::string NRFDescribeCrop(const NRFNormalizedCrop& crop);

// An embedded JPEG or TIFF image inside the file (thumbnail, preview, strip thumbnail). All zero when
// the file has none.
struct NRFEmbeddedImageLoc {
    std::uint32_t offset = 0, length = 0, width = 0, height = 0;

    bool present() const { return offset != 0 && length != 0; }
    bool operator==(const NRFEmbeddedImageLoc&) const = default;
};

// A Nikon Picture Control as the camera recorded it, each value as text ("Standard", "+2", "Auto",
// "n/a"); all empty when the file has none.
struct NRFPictureControl {
    std::string name, base, adjust, quickAdjust, sharpening, midRangeSharpening, clarity, contrast,
        brightness, saturation, hue, filterEffect, toningEffect, toningSaturation;

    bool empty() const { return name.empty() && base.empty(); }
    bool operator==(const NRFPictureControl&) const = default;
};

// A reader's private state for one open record (GIF and HEIF readers derive their own). Copied with
// the record, so a clone never shares it.
class PluginPrivateInfo {
public:
    virtual ~PluginPrivateInfo() = default;
    virtual std::shared_ptr<PluginPrivateInfo> clone() const = 0;
};

// Everything a record holds that comes from the file, its prefs or its sidecars. Clear() puts what the
// file gave back to its defaults and keeps the prefs; path, type and local flag are the record's
// identity and stay.
struct NRFImageInfoFields {
    // -- file status
    std::uint64_t m_fileSize = 0;
    std::int64_t m_modTimeNs = 0;    // modification time, nanoseconds since 1970 (UTC)
    std::int64_t m_infoReadTime = 0; // seconds since 1970, set when the information was read
    bool m_fileSystemInfoFailed = false;
    bool m_hasInfo = false; // a reader filled the record

    // -- image
    std::uint32_t m_width = 0, m_height = 0;               // the full (raw) image
    std::uint32_t m_displayWidth = 0, m_displayHeight = 0; // the best embedded image
    std::uint16_t m_bitsPerSample = 0, m_samplesPerPixel = 0, m_compression = 0;
    std::uint16_t m_photometric = 0; // 32803: a colour-filter-array raw in a TIFF file
    std::uint16_t m_rowsPerStrip = 0, m_planarConfig = 0, m_extraSamples = 0, m_yCbCrPositioning = 0;
    std::uint32_t m_stripOffset = 0, m_stripByteCount = 0; // the main image's first strip
    bool m_isColor = false;
    std::uint8_t m_jfifUnit = 0; // 1 dots per inch, 2 per cm
    std::uint16_t m_jfifXDensity = 0, m_jfifYDensity = 0;
    double m_xResolution = 0.0, m_yResolution = 0.0;
    std::uint16_t m_resolutionUnit = 0;
    std::int16_t m_orientation = 0; // rotation code: quarter turns clockwise, +4 when mirrored

    // -- colour
    std::uint16_t m_colorSpaceCode = 0; // 1 embedded ICC, 2 sRGB, 3 Adobe RGB, up to 7 built-in
    std::uint16_t m_exifColorSpace = 0;
    std::array<std::uint16_t, 4> m_yCbCrCoefficients{}; // Cr→R, Cb→B, Cb→G, Cr→G in units of 1/16384
    std::array<double, 2> m_whitePoint{};
    std::array<double, 6> m_primaryChromaticities{};

    // -- capture
    KLDateTime m_captureTime;
    std::optional<std::uint32_t> m_subSeconds;    // 1/10000 s
    std::optional<std::int16_t> m_timeZoneOffset; // minutes east of UTC (OffsetTimeOriginal)
    bool m_dateFromExif = false;

    // -- camera
    std::string m_make, m_model, m_software, m_firmware, m_bodySerial, m_cameraSerial, m_lensModel;
    std::string m_artist, m_copyright, m_description, m_userComment;
    // from the maker notes
    std::string m_lensType; // the maker's name for its lens number
    std::optional<std::uint32_t> m_lensTypeNumber;
    std::string m_owner;
    std::optional<std::uint32_t> m_shutterCount; // actuations
    std::string m_quality, m_focusMode, m_sharpness, m_toneComp, m_colorMode, m_whiteMode;
    std::optional<std::uint32_t> m_kelvin; // white balance colour temperature
    NRFPictureControl m_pictureControl;

    // -- exposure: each value only when the file holds it (0 is a value of its own for most of them:
    // no flash, auto white balance, no exposure bias)
    std::optional<float> m_exposureTime; // seconds
    std::optional<float> m_fNumber;
    std::optional<float> m_shutterSpeedValue;                 // APEX
    std::optional<float> m_apertureValue, m_maxApertureValue; // APEX
    std::optional<std::uint16_t> m_exposureProgram;
    std::string m_exposureProgramText;
    std::optional<std::uint32_t> m_iso;
    std::uint32_t m_exifVersion = 0; // the four version characters, big-endian
    std::optional<std::uint16_t> m_meteringMode, m_lightSource, m_flash;
    std::optional<float> m_focalLength;           // mm
    std::optional<std::uint16_t> m_focalLength35; // mm
    std::optional<std::uint16_t> m_whiteBalance;
    std::optional<float> m_brightness, m_exposureBias, m_subjectDistance;
    std::optional<std::uint32_t> m_exifImageNumber;
    std::optional<double> m_duration; // seconds, for movies

    // -- position
    bool m_hasGPS = false;
    double m_latitude = 0.0, m_longitude = 0.0;               // degrees, north and east positive
    std::optional<double> m_altitude;                         // metres above sea level
    std::optional<double> m_gpsTime;                          // seconds since 1970 (UTC)
    std::optional<double> m_bearing;                          // degrees (image direction)
    std::uint32_t m_gpsVersion = 0;                           // the four version bytes, big-endian
    std::uint8_t m_gpsLatitudeRef = 0, m_gpsLongitudeRef = 0; // 'N'/'S', 'E'/'W'; '?' when missing
    std::uint8_t m_gpsAltitudeRef = 0;                        // 1: below sea level
    bool m_gpsHasTimeStamp = false, m_gpsTimeHasFraction = false;
    std::uint8_t m_gpsHours = 0, m_gpsMinutes = 0, m_gpsSeconds = 0;
    std::uint16_t m_gpsMilliseconds = 0;
    std::string m_gpsDateStamp; // "YYYY:MM:DD" as written
    std::string m_gpsSatellites, m_gpsMapDatum;
    std::uint8_t m_gpsStatus = 0, m_gpsMeasureMode = 0, m_gpsSpeedRef = 0, m_gpsTrackRef = 0;
    std::uint8_t m_gpsImgDirectionRef = 0;
    std::optional<double> m_gpsDOP, m_gpsSpeed, m_gpsTrack;

    // -- prefs: the user's, imported from the ".XIP" sidecar or set through the record. No reading of
    // the file resets them (a reader may fill one the file holds, as a movie's rating).
    bool m_tag = false;
    std::int16_t m_colorClass = 0; // 0 none, 1..8
    std::int16_t m_rating = 0;     // 0..5
    std::optional<std::uint32_t> m_imageNumber;
    NRFNormalizedCrop m_crop, m_draftCrop;

    // -- sidecars
    bool m_hasXmpSidecar = false;
    std::uint64_t m_xmpSidecarSize = 0;
    std::int64_t m_xmpSidecarModTimeNs = 0;
    std::vector<std::string> m_attachedFiles;
    std::uint32_t m_soundFileCount = 0;

    // -- edits
    std::uint32_t m_malformedCount = 0; // malformed EXIF entries and stray JPEG bytes

    // -- locations: the file as it was last read; writers that change the file update them
    std::uint32_t m_exifSegmentPos = 0, m_exifSegmentLength = 0, m_exifIFDEntryPos = 0, m_interopIFDPos = 0;
    std::uint32_t m_exifIFDPos = 0;
    std::uint32_t m_gpsIFDEntryPos = 0, m_gpsIFDPos = 0;
    // GPS values and their references, for rewriting a position in place
    std::uint32_t m_gpsLatitudePos = 0, m_gpsLongitudePos = 0, m_gpsAltitudePos = 0;
    std::uint32_t m_gpsLatitudeRefPos = 0, m_gpsLongitudeRefPos = 0, m_gpsAltitudeRefPos = 0;
    std::uint32_t m_makerNotePos = 0, m_makerNoteLength = 0;
    std::uint32_t m_canonOptionalDataLength = 0; // the trailing block some Canon raws carry
    std::uint32_t m_jpegSOIPos = 0, m_jpegSOSPos = 0, m_jpegInsertPos = 0, m_jpegEndOfMetadata = 0;
    std::uint32_t m_jfifPos = 0;
    bool m_cameraOriginal = false; // an EXIF segment, and neither JFIF nor an "AppleMark" comment
    std::uint32_t m_photoshopPos = 0, m_photoshopLength = 0, m_photoshopCount = 0;
    std::uint32_t m_iptcPos = 0, m_iptcLength = 0, m_iptcIFDEntryPos = 0;
    std::uint32_t m_xmpIFDEntryPos = 0, m_xmpSegmentPos = 0, m_xmpSegmentLength = 0;
    std::uint32_t m_xmpPacketPos = 0, m_xmpPacketLength = 0;
    std::uint32_t m_iccIFDEntryPos = 0, m_iccTotalLength = 0, m_iccChunkCount = 0;
    std::array<std::uint32_t, 64> m_iccChunkPos{};
    std::uint32_t m_descriptionPos = 0, m_descriptionLength = 0;
    std::uint32_t m_artistPos = 0, m_artistLength = 0;
    std::uint32_t m_copyrightPos = 0, m_copyrightLength = 0;
    std::uint32_t m_pixelXDimension = 0, m_pixelYDimension = 0;
    NRFEmbeddedImageLoc m_thumbnail;
    std::uint32_t m_thumbnailIFDEntryPos = 0;
    bool m_thumbnailIsJPEG = false;
    NRFEmbeddedImageLoc m_stripThumbnail; // uncompressed: length = width x height x 3 (RGB) or x 1 (grey)
    NRFEmbeddedImageLoc m_preview;
    NRFEmbeddedImageLoc m_fuzzyPreview; // the small preview some raws carry (a maker note points at it)
    bool m_previewIsJPEG = false;
    bool m_previewOffsetIsAbsolute = false;
    std::uint32_t m_subIFDCount = 0;
    std::array<std::uint32_t, 10> m_subIFDOffsets{};
    std::uint32_t m_orientationPosCount = 0;
    std::array<std::uint32_t, 4> m_orientationPos{};
    std::array<bool, 4> m_orientationBigEndian{};
    std::uint32_t m_datePosCount = 0;
    std::array<std::uint32_t, 8> m_datePos{};

    // -- byte order
    bool m_tiffBigEndian = false, m_fileBigEndian = false;

    bool operator==(const NRFImageInfoFields&) const = default;
};

// What undoing the last save needs. A TIFF save appends a new IFD0 (the old one and everything else
// stay where they were), so undoing it restores the header's IFD0 offset and the old length; the other
// formats keep the block the save replaced.
struct NRFIPTCUndoData {
    bool valid = false;
    std::uint32_t fileType = 0;
    std::uint32_t oldIFDOffset = 0;
    std::uint64_t oldFileSize = 0;
    std::string oldBlock; // empty: the file had none
};

class NRFImageInfoRec;
class NRFLocalImageInfoRec;
using NRFImageInfoRef = std::shared_ptr<NRFImageInfoRec>;

class NRFImageInfoRec : public NRFImageInfoFields {
public:
    // The version written ahead of the serialised fields; Deserialize refuses any other.
    static constexpr int kSerialVersion = 101;

    NRFImageInfoRec() = default;
    NRFImageInfoRec(std::string path, std::uint32_t fileType)
        : m_path(std::move(path)), m_fileType(fileType) {}
    virtual ~NRFImageInfoRec() = default;

    // A new record with the same values and its own copy of the reader's private state.
    virtual NRFImageInfoRef Clone() const;
    // The record's own image information; null for a record of a kind that has none.
    virtual NRFImageInfoRec* ImageInfo() { return this; }
    virtual const NRFImageInfoRec* ImageInfo() const { return this; }
    virtual bool IsLocal() const { return false; }
    virtual bool FileSystemInfoFailed() const { return m_fileSystemInfoFailed; }
    // True when the file or its XMP sidecar changed since the record was filled.
    virtual bool NeedsMetadataReload() const { return false; }
    // Reads the file's size, modification time and sidecar status into the record; false when the
    // file's status cannot be read (the record keeps its values).
    virtual bool RefreshFileStatus() { return false; }
    // Replaces `out` with the record's values (a hash with "version" 101). The exposure values a file
    // may lack keep their old form (the value, or 0 when absent) and "presentValues" names those the
    // file holds; data without that list counts a value as held when it is not 0. Does not throw;
    // false and logged on failure.
    virtual bool Serialize(CILA::VObject& out) const;
    // Takes every value from `in`; on any failure (other version, missing or mistyped field) logs why,
    // leaves the record as it was and answers false. The reader's private state stays only when `in`
    // describes the file this record read, at the same status; otherwise it goes, and NRFGetImageInfo
    // reads the file again (keeping the prefs) before the record is trusted.
    virtual bool Deserialize(const CILA::VObject& in);
    // The file was found to be of another type: forget what the old reader read (Clear) and take the
    // new type.
    virtual void ReInitForType(std::uint32_t fileType);
    // Lets the reader for the record's type prepare the record; answers the engine result (0 success).
    virtual std::uint32_t InitImageInfo() { return 20; }

    // Resets every value read from the file, the file status and the reader's private state; the
    // identity and the prefs (tag, colour class, rating, image number, crop, draft crop) stay. Logs
    // "Unexpected exception in Clear()" when that fails.
    void Clear();
    // Text the readers took from the file that is not well-formed UTF-8 (a reader that took bytes as
    // they were) gets U+FFFD for each ill-formed piece, so that everything shown or written from the
    // record is text. The path is left as the file system spells it.
    void KeepTextValid();

    // -- identity
    std::string m_path;
    std::uint32_t m_fileType = 0; // four-character code, big-endian spelling ("JPEG")
    std::shared_ptr<PluginPrivateInfo> m_privateInfo;

    // -- kept by NRFGetImageInfo, never serialised
    // The values describe the file at the recorded status: its reader finished without a fault. Until
    // then (and after a failed reading) the recorded status is empty, so the file is read again.
    bool m_readComplete = false;
    // The last reading found a rotation in the file (an Orientation value or a rotation of the format's
    // own). When it did not, the record's rotation is the user's and a reading that finds none keeps it.
    bool m_rotationFromFile = false;
    // What undoing the last IPTC save needs (kept when the file is read again).
    NRFIPTCUndoData m_iptcUndo;

protected:
    NRFImageInfoRec(const NRFImageInfoRec& other);
    NRFImageInfoRec& operator=(const NRFImageInfoRec&) = delete;
};

// A record for a file on a local or mounted disk, opened by NRFOpenImage.
class NRFLocalImageInfoRec : public NRFImageInfoRec {
public:
    using NRFImageInfoRec::NRFImageInfoRec;

    NRFImageInfoRef Clone() const override;
    bool IsLocal() const override { return true; }
    bool NeedsMetadataReload() const override;
    bool RefreshFileStatus() override;
    std::uint32_t InitImageInfo() override;

    // The sidecar beside `imagePath`: its base name with ".XMP", else ".xmp"; empty when neither exists.
    static std::string FindXmpSidecar(const std::string& imagePath);

    // The reader dispatch calls this to prepare a newly opened record; set once by the engine's
    // initialisation. Without it InitImageInfo answers 1.
    using InitImageInfoHandler = std::function<std::uint32_t(NRFLocalImageInfoRec&)>;
    static void SetInitImageInfoHandler(InitImageInfoHandler handler);

protected:
    NRFLocalImageInfoRec(const NRFLocalImageInfoRec& other) = default;
};

// The record's present values for display and machine-readable output, under stable names ("width",
// "captureTime", "gps", "preview", ...); values the record does not have are left out.
void describeImageInfo(const NRFImageInfoRec& record,
                       std::vector<std::pair<std::string, CILA::VObject>>& fields);

// Per-thread collection of the metadata changes made through a record, for the catalogue side. Begin
// and commit nest; the base is the record's state at the outermost begin, and every commit writes the
// fields changed since then into the caller's hash ({name: new value}).
class NRFMetadataAccumulator {
public:
    // The calling thread's accumulator, created on first use.
    static NRFMetadataAccumulator& forThisThread();

    void accumulate_begin(const NRFImageInfoRec* record, CILA::VObject& diffs);
    void accumulate_commit(const NRFImageInfoRec* record, CILA::VObject& diffs);
    int depth() const { return m_depth; }

    // Whether the catalogue link is active; by default whether the catalog service runs. Tests
    // replace it. Process-wide; set before accumulators are used.
    static void SetLinkActiveProbe(std::function<bool()> probe);

private:
    int m_depth = 0;
    bool m_haveBase = false;
    CILA::VObject m_base;
};

// begin on construction, commit into `diffs` on destruction.
class NRFScopedMetadataDiffsAccumulator {
public:
    NRFScopedMetadataDiffsAccumulator(const NRFImageInfoRec* record, CILA::VObject& diffs);
    ~NRFScopedMetadataDiffsAccumulator();
    NRFScopedMetadataDiffsAccumulator(const NRFScopedMetadataDiffsAccumulator&) = delete;
    NRFScopedMetadataDiffsAccumulator& operator=(const NRFScopedMetadataDiffsAccumulator&) = delete;

private:
    const NRFImageInfoRec* m_record;
    CILA::VObject& m_diffs;
};

// The same pair for the outermost edit of an operation: it owns the differences, and commit() hands
// them over before the scope ends (the destructor commits only when commit() was not called).
class NRFOuterMetadataDiffsAccumulator {
public:
    explicit NRFOuterMetadataDiffsAccumulator(const NRFImageInfoRec* record);
    ~NRFOuterMetadataDiffsAccumulator();
    NRFOuterMetadataDiffsAccumulator(const NRFOuterMetadataDiffsAccumulator&) = delete;
    NRFOuterMetadataDiffsAccumulator& operator=(const NRFOuterMetadataDiffsAccumulator&) = delete;

    const CILA::VObject& commit();

private:
    const NRFImageInfoRec* m_record;
    CILA::VObject m_diffs;
    bool m_committed = false;
};
