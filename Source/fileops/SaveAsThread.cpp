// Save As: the per-photo pipeline (load, crop, turn, scale, sRGB, sharpen, watermark, encode, metadata,
// sound file) and the worker running it over a selection.

#include "fileops/SaveAsThread.h"

#include "NRF/NRFBasicJPEG.h"
#include "NRF/NRFDecode.h"
#include "NRF/NRFExtractPreview.h"
#include "NRF/NRFICC.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFResample.h"
#include "app/LumoLog.h"
#include "background/ProgressDialogInterface.h"
#include "db/PreferenceKeys.h"
#include "db/Preferences.h"
#include "fileops/UniquePaths.h"
#include "metadata/MetadataTemplate.h"
#include "metadata/PhotoMetadata.h"
#include "support/FileIO.h"
#include "variables/VariableExpander.h"

#include <png.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <exception>
#include <memory>
#include <new>
#include <type_traits>

namespace {

std::string formatText(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string formatText(const char* format, ...) {
    char buffer[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

std::string fileNameOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string stemOf(const std::string& name) {
    const auto dot = name.find_last_of('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

std::string extensionOf(const std::string& name) {
    const auto dot = name.find_last_of('.');
    return dot == std::string::npos || dot == 0 ? std::string() : name.substr(dot + 1);
}

const char* typeExtension(int type) {
    switch (type) {
    case kSaveAsTIFF:
        return "tif";
    case kSaveAsPNG:
        return "png";
    default:
        return "jpg";
    }
}

// The new extension in the case "UseUppercaseExtensions" asks for: 0 lower, 1 upper, 2 and 3 the case
// of the source's extension (upper when it has no letter).
std::string extensionInCase(const std::string& extension, const std::string& sourceExtension) {
    std::int64_t setting = kPrefUseUppercaseExtensionsDefault;
    if (const auto preferences = CPreferences::instance())
        setting = preferences->getInt(kPrefUseUppercaseExtensions, kPrefUseUppercaseExtensionsDefault);
    bool upper = setting == 1;
    if (setting >= 2) {
        upper = true;
        for (const char c : sourceExtension)
            if (std::isalpha(static_cast<unsigned char>(c))) {
                upper = std::isupper(static_cast<unsigned char>(c)) != 0;
                break;
            }
    }
    std::string out = extension;
    for (char& c : out)
        c = static_cast<char>(upper ? std::toupper(static_cast<unsigned char>(c))
                                    : std::tolower(static_cast<unsigned char>(c)));
    return out;
}

struct RecordCloser {
    NRFImageInfoRef& record;
    ~RecordCloser() {
        if (record)
            NRFCloseImage(&record);
    }
};

NRFErr encodePNG(const NRFBitmapBase& bitmap, std::string& out) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = bitmap.Width();
    image.height = bitmap.Height();
    image.format = bitmap.Channels() == 1 ? PNG_FORMAT_GRAY : PNG_FORMAT_RGB;
    png_alloc_size_t size = 0;
    const auto stride = static_cast<png_int_32>(bitmap.Stride());
    if (!png_image_write_to_memory(&image, nullptr, &size, 0, bitmap.Row(0), stride, nullptr))
        return 9;
    out.resize(size);
    if (!png_image_write_to_memory(&image, out.data(), &size, 0, bitmap.Row(0), stride, nullptr)) {
        png_image_free(&image);
        return 9;
    }
    out.resize(size);
    return 0;
}

// `segment` (a whole APP1) inserted after the JPEG's start marker, and after its JFIF segment when it
// has one, so that readers find it where they look.
void insertExif(std::string& jpeg, const std::string& segment) {
    if (segment.empty() || jpeg.size() < 4)
        return;
    std::size_t at = 2;
    if (static_cast<unsigned char>(jpeg[2]) == 0xFF && static_cast<unsigned char>(jpeg[3]) == 0xE0 &&
        jpeg.size() >= 6) {
        const std::size_t length = (static_cast<std::size_t>(static_cast<unsigned char>(jpeg[4])) << 8) |
                                   static_cast<unsigned char>(jpeg[5]);
        if (4 + length <= jpeg.size())
            at = 4 + length;
    }
    jpeg.insert(at, segment);
}

// The source JPEG's own EXIF segment, whole, with its orientation values set to 1 (the pixels are turned
// upright); empty when the source is no JPEG or its segment cannot be read as recorded.
std::string sourceExifSegment(const NRFImageInfoRec& record) {
    if (record.m_fileType != kNRFTypeJPEG || record.m_exifSegmentLength == 0)
        return {};
    const std::uint64_t begin = record.m_exifSegmentPos;
    std::string file;
    if (lumo::readFile(record.m_path, file, static_cast<std::size_t>(begin) + 4 + 0xFFFF) != 0 ||
        file.size() < begin + 10)
        return {};
    const auto byte = [&](std::uint64_t at) { return static_cast<unsigned char>(file[at]); };
    const std::uint64_t length = (std::uint64_t{byte(begin + 2)} << 8) | byte(begin + 3);
    if (byte(begin) != 0xFF || byte(begin + 1) != 0xE1 || length < 8 || begin + 2 + length > file.size() ||
        file.compare(begin + 4, 6, std::string("Exif\0\0", 6)) != 0)
        return {};
    std::string segment = file.substr(begin, 2 + length);
    for (std::uint32_t i = 0; i < std::min<std::uint32_t>(record.m_orientationPosCount, 4); ++i) {
        const std::uint64_t at = record.m_orientationPos[i];
        if (at < begin + 10 || at + 2 > begin + 2 + length)
            continue;
        const bool big = record.m_orientationBigEndian[i];
        segment[at - begin] = static_cast<char>(big ? 0 : 1);
        segment[at - begin + 1] = static_cast<char>(big ? 1 : 0);
    }
    return segment;
}

// The EXIF segment of the new JPEG: the source's own, else one built from the record; orientation 1.
std::string exifSegmentFor(NRFImageInfoRec& record, std::uint32_t width, std::uint32_t height) {
    if (std::string own = sourceExifSegment(record); !own.empty())
        return own;
    const auto rotation = record.m_orientation;
    record.m_orientation = 0;
    std::string built = NRFBuildExifSegment(record, width, height);
    record.m_orientation = rotation;
    return built;
}

} // namespace

namespace {

// The snapshot's names, each bound to its option.
template <typename Visit>
void eachSetting(SaveAsOptions& o, Visit&& visit) {
    visit("SaveAsType", o.saveAsType);
    visit("DestinationType", o.destinationType);
    visit("SaveToFolderPath", o.destinationFolder);
    visit("SaveToFolderRootPath", o.rootFolder);
    visit("CreateSubfolderPath", o.subfolderTemplate);
    visit("RenamePhotosCheck", o.renamePhotos);
    visit("RenameString", o.renameString);
    visit("RenameSequenceCheck", o.renameSequence);
    visit("ApplyStationeryPadCheck", o.applyStationeryPad);
    visit("ApplyCropCheck", o.applyCrop);
    visit("PreserveExifCheck", o.preserveExif);
    visit("ConvertToSRGBCheck", o.convertToSRGB);
    visit("SharpenPixelsCheck", o.sharpenPixels);
    visit("WatermarkCheck", o.watermark);
    visit("WatermarkImage", o.watermarkImage);
    visit("WatermarkOpacity", o.watermarkOpacity);
    visit("CopyWavFilesCheck", o.copyWavFiles);
    visit("OpenDestinationCheckbox", o.openDestination);
    visit("ScaleType", o.scaleType);
    visit("ScalePercentage", o.scalePercentage);
    visit("ScaleBoxSize", o.scaleBoxSize);
    visit("ScaleBoxUnits", o.scaleBoxUnits);
    visit("CustomWidth", o.customWidth);
    visit("CustomHeight", o.customHeight);
    visit("ImageResolution", o.imageResolution);
    visit("JpegQuality100", o.jpegQuality);
    visit("SubsampleChroma", o.subsampleChroma);
    visit("LimitJPEGSizeCheck", o.limitJPEGSize);
    visit("LimitJPEGSize", o.limitJPEGSizeKB);
    visit("RawQuality", o.rawQuality);
    visit("RenderSource", o.renderSource);
}

template <typename T>
void readSetting(const CILA::VObject& value, T& out) {
    using Type = CILA::VObject;
    if constexpr (std::is_same_v<T, bool>) {
        if (value.dataType() == Type::DT_BOOL)
            out = value.getbool();
    } else if constexpr (std::is_same_v<T, std::string>) {
        if (value.dataType() == Type::DT_STR)
            out = value.getstr();
    } else if constexpr (std::is_floating_point_v<T>) {
        if (value.dataType() == Type::DT_INTEGER || value.dataType() == Type::DT_DOUBLE)
            out = value.getdouble();
    } else {
        if (value.dataType() == Type::DT_INTEGER && value.getint() >= 0)
            out = static_cast<T>(value.getint());
    }
}

} // namespace

SaveAsOptions SaveAsOptionsFromPreferences() {
    SaveAsOptions options;
    const auto preferences = CPreferences::instance();
    CILA::VObject stored;
    if (!preferences || !preferences->getValue(kPrefSaveAsSettings, stored) ||
        stored.dataType() != CILA::VObject::DT_HASH)
        return options;
    eachSetting(options, [&](const char* name, auto& field) {
        if (const CILA::VObject* value = stored.fetch(name))
            readSetting(*value, field);
    });
    return options;
}

bool SaveAsOptionsToPreferences(const SaveAsOptions& options) {
    const auto preferences = CPreferences::instance();
    if (!preferences)
        return false;
    CILA::VObject stored = CILA::VObject::makeHash();
    SaveAsOptions copy = options;
    eachSetting(copy, [&](const char* name, auto& field) { stored.store(name, CILA::VObject(field)); });
    return preferences->setValue(kPrefSaveAsSettings, stored);
}

JPEGSizingThread::JPEGSizingThread(const NRFBitmapBase& bitmap, const NRFSaveOptions& options,
                                   std::uint64_t limitBytes)
    : m_bitmap(bitmap), m_options(options), m_limit(limitBytes) {}

NRFErr JPEGSizingThread::Run(std::string& out, int& quality, bool& fits) {
    const auto encodeAt = [&](int q, std::string& bytes) {
        m_options.quality = q;
        ++m_encodings;
        return NRFEncodeJPEG(m_bitmap, m_options, bytes);
    };
    const int wanted = std::clamp(m_options.quality, 1, 100);
    std::string best, encoded;
    // The wanted quality first: most photos fit at once.
    if (const NRFErr err = encodeAt(wanted, encoded); err != 0)
        return err;
    int bestQuality = encoded.size() <= m_limit ? wanted : 0;
    if (bestQuality != 0)
        best.swap(encoded);
    // Otherwise the highest quality below it that fits (the size grows with the quality).
    for (int low = 1, high = wanted - 1; bestQuality == 0 && low <= high;) {
        const int mid = (low + high) / 2;
        if (const NRFErr err = encodeAt(mid, encoded); err != 0)
            return err;
        if (encoded.size() <= m_limit) {
            best.swap(encoded);
            bestQuality = mid;
            low = mid + 1;
        } else {
            high = mid - 1;
        }
    }
    fits = bestQuality != 0;
    if (!fits) {
        if (const NRFErr err = encodeAt(1, best); err != 0)
            return err;
        bestQuality = 1;
    }
    out.swap(best);
    quality = bestQuality;
    return 0;
}

void SharpenBitmap(NRFBitmapBase& bitmap, double amount) {
    if (bitmap.Empty())
        return;
    const std::uint32_t width = bitmap.Width(), height = bitmap.Height();
    const int channels = bitmap.Channels();
    const std::size_t stride = bitmap.Stride();
    std::vector<std::uint8_t> original(stride * height);
    for (std::uint32_t y = 0; y < height; ++y)
        std::copy_n(bitmap.Row(y), stride, original.data() + y * stride);
    auto at = [&](std::int64_t x, std::int64_t y, int c) -> int {
        x = std::clamp<std::int64_t>(x, 0, width - 1);
        y = std::clamp<std::int64_t>(y, 0, height - 1);
        return original[static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(x) * channels + c];
    };
    static constexpr int kWeights[3] = {1, 2, 1};
    for (std::uint32_t y = 0; y < height; ++y) {
        std::uint8_t* row = bitmap.Row(y);
        for (std::uint32_t x = 0; x < width; ++x)
            for (int c = 0; c < channels; ++c) {
                int blur = 0;
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx)
                        blur += kWeights[dy + 1] * kWeights[dx + 1] *
                                at(std::int64_t{x} + dx, std::int64_t{y} + dy, c);
                const double value = at(x, y, c);
                const double sharpened = value + amount * (value - blur / 16.0);
                row[std::size_t{x} * channels + c] =
                    static_cast<std::uint8_t>(std::clamp(std::lround(sharpened), 0L, 255L));
            }
    }
}

bool WatermarkBitmap(NRFBitmapBase& bitmap, const NRFBitmapBase& mark, double opacity) {
    if (bitmap.Empty() || mark.Empty())
        return false;
    NRFBitmapBase scaled;
    const std::uint32_t maxWidth = std::max<std::uint32_t>(1, bitmap.Width() / 4);
    const NRFBitmapBase* use = &mark;
    if (mark.Width() > maxWidth || mark.Height() > bitmap.Height()) {
        const double factor =
            std::min(double(maxWidth) / mark.Width(), double(bitmap.Height()) / mark.Height());
        const auto w = std::max<std::uint32_t>(1, static_cast<std::uint32_t>(mark.Width() * factor));
        const auto h = std::max<std::uint32_t>(1, static_cast<std::uint32_t>(mark.Height() * factor));
        if (!NRFResample(mark, w, h, scaled))
            return false;
        use = &scaled;
    }
    opacity = std::clamp(opacity, 0.0, 1.0);
    const std::uint32_t margin = std::min(bitmap.Width() - use->Width(), bitmap.Height() - use->Height()) / 2;
    const std::uint32_t left =
        std::min(bitmap.Width() - use->Width(), bitmap.Width() - use->Width() - margin / 4);
    const std::uint32_t top =
        bitmap.Height() - use->Height() - std::min(margin / 4, bitmap.Height() - use->Height());
    for (std::uint32_t y = 0; y < use->Height(); ++y) {
        std::uint8_t* row = bitmap.Row(top + y) + std::size_t{left} * bitmap.Channels();
        const std::uint8_t* markRow = use->Row(y);
        for (std::uint32_t x = 0; x < use->Width(); ++x)
            for (int c = 0; c < bitmap.Channels(); ++c) {
                const int markValue =
                    markRow[std::size_t{x} * use->Channels() + std::min(c, use->Channels() - 1)];
                std::uint8_t& value = row[std::size_t{x} * bitmap.Channels() + c];
                value = static_cast<std::uint8_t>(std::lround(value * (1.0 - opacity) + markValue * opacity));
            }
    }
    return true;
}

void SaveAsScaledSize(const SaveAsOptions& options, std::uint32_t width, std::uint32_t height,
                      std::int64_t& outWidth, std::int64_t& outHeight) {
    outWidth = width;
    outHeight = height;
    switch (options.scaleType) {
    case kScalePercentage:
        outWidth = std::llround(width * options.scalePercentage / 100.0);
        outHeight = std::llround(height * options.scalePercentage / 100.0);
        break;
    case kScaleBox: {
        const double side = std::max(width, height);
        if (side <= 0 || options.scaleBoxSize == 0) {
            outWidth = outHeight = 0;
            break;
        }
        if (side <= options.scaleBoxSize)
            break; // never enlarged to fill the box
        const double factor = options.scaleBoxSize / side;
        outWidth = std::max<std::int64_t>(1, std::llround(width * factor));
        outHeight = std::max<std::int64_t>(1, std::llround(height * factor));
        break;
    }
    case kScaleCustom:
        outWidth = options.customWidth;
        outHeight = options.customHeight;
        break;
    default:
        break;
    }
}

SaveAsThread::SaveAsThread(std::vector<std::string> paths, SaveAsOptions options,
                           ProgressDialogInterface* progress)
    : CProgressInfo(progress), m_paths(std::move(paths)), m_options(std::move(options)) {}

SaveAsThread::~SaveAsThread() {
    CancelAndJoin();
}

std::string SaveAsThread::EndMessage() const {
    return m_errorCount != 0 ? "There were errors during the Save As operation." : std::string();
}

NRFErr SaveAsThread::fail(const std::string& text, NRFErr code) {
    LUMO_LOG("%s", text.c_str());
    m_lastFailure = text;
    return code == 0 ? 6 : code;
}

NRFErr SaveAsThread::SaveFile(const std::string& path, std::uint32_t index) {
    m_lastFailure.clear();
    // 1. The photo's image information.
    NRFImageInfoRef record;
    RecordCloser closer{record};
    if (NRFOpenImage(path.c_str(), 0, &record) != 0 || !record || NRFGetImageInfo(record.get()) != 0)
        return fail(formatText("SaveAsThread::SaveFile(): couldn't get image info for '%s'.", path.c_str()),
                    6);

    // 2. Its metadata.
    std::unique_ptr<IPTCRec> metadata;
    try {
        metadata = std::make_unique<IPTCRec>();
    } catch (const std::bad_alloc&) {
        return fail("SaveAsThread::SaveFile(): Extremely low on memory, couldn't allocate IPTC Record", 7);
    }
    if (NRFLoadIPTC(record.get(), metadata.get()) != 0)
        metadata.reset();

    // 3. The destination name.
    const std::string sourceName = fileNameOf(path);
    const std::string extension =
        extensionInCase(typeExtension(m_options.saveAsType), extensionOf(sourceName));
    std::string stem = stemOf(sourceName);
    if (m_options.renamePhotos) {
        VariableContext context;
        context.image = record.get();
        context.record = metadata.get();
        context.index = index;
        context.total = static_cast<std::uint32_t>(m_paths.size());
        stem = ReplaceIllegalFileNameCharacters(
            ExpandVariables(m_options.renameString, context, kVariableFileName).text);
        if (stem.empty())
            return fail("SaveAsThread::SaveFile(): Expanded rename name is empty.", 6);
    }
    std::string name = stem + "." + extension;

    // 4. A free name in the destination folder.
    const std::string& folder = m_options.destinationFolder;
    if (folder.empty() || lumo::createDirectories(folder) != 0)
        return fail(
            formatText("SaveAsThread::SaveFile(): unable to build directory path at '%s'.", folder.c_str()),
            6);
    if (!MakeUniqueFileName(folder, name, m_claimed, {}, m_options.renamePhotos,
                            RenameResolutionStyleFromPreferences()))
        return fail(
            formatText("SaveAsThread::SaveFile(): could not get a unique filename for '%s' (too many naming "
                       "collisions).  Choose a more unique name or add a {sequence}.",
                       name.c_str()),
            6);
    const std::string destination = folder.back() == '/' ? folder + name : folder + "/" + name;

    // 5. The metadata template, applied to the new file's metadata only.
    std::unique_ptr<IPTCRec> applied;
    if (m_options.applyStationeryPad) {
        IPTCRec stationery;
        if (IPTCLoadCurrentStationery(stationery)) {
            if (IPTCHaveReverseGeocoding(stationery))
                LUMO_LOG("SaveAsThread::SaveFile(): the template asks for reverse geocoding, which is not "
                         "available; its other fields are applied");
            applied = std::make_unique<IPTCRec>(metadata ? *metadata : IPTCRec{});
            VariableContext context;
            context.image = record.get();
            context.record = metadata.get();
            context.index = index;
            context.total = static_cast<std::uint32_t>(m_paths.size());
            std::string message;
            if (const int err =
                    IPTCApplyStationery(stationery, *applied, StationeryDateInfo{}, context, &message);
                err != 0)
                return fail("SaveAsThread::SaveFile(): " + message, static_cast<NRFErr>(err));
        }
    }
    const IPTCRec* newMetadata = applied ? applied.get() : metadata.get();

    // 6. The pixels, as stored (the crop is in the stored frame), then 7. cropped and turned upright.
    const int rotation = record->m_orientation;
    record->m_orientation = 0;
    NRFBitmapBase bitmap;
    const NRFErr loaded = NRFLoadFileAsBitmap(record.get(), &bitmap, 0);
    record->m_orientation = static_cast<std::int16_t>(rotation);
    if (loaded != 0 || bitmap.Empty())
        return fail(formatText("SaveAsThread::SaveFile(): could not load image data for '%s', error was %ld",
                               path.c_str(), static_cast<long>(loaded != 0 ? loaded : 13)),
                    loaded != 0 ? loaded : 13);
    if (m_options.applyCrop) {
        const NRFNormalizedCrop& crop = record->m_crop;
        const double w = bitmap.Width(), h = bitmap.Height();
        const auto left = static_cast<std::uint32_t>(std::clamp(crop.left, 0.0, 1.0) * w);
        const auto top = static_cast<std::uint32_t>(std::clamp(crop.top, 0.0, 1.0) * h);
        const auto right = static_cast<std::uint32_t>(std::clamp(crop.right, 0.0, 1.0) * w);
        const auto bottom = static_cast<std::uint32_t>(std::clamp(crop.bottom, 0.0, 1.0) * h);
        if (right > left && bottom > top &&
            (right - left < bitmap.Width() || bottom - top < bitmap.Height())) {
            NRFBitmapBase cropped;
            if (const NRFErr err = bitmap.CropInto(left, top, right - left, bottom - top, cropped); err != 0)
                return fail(
                    formatText("SaveAsThread::SaveFile(): could not load image data for '%s', error was %ld",
                               path.c_str(), static_cast<long>(err)),
                    err);
            bitmap = std::move(cropped);
        }
    }
    if (rotation != 0 && !bitmap.Rotate(rotation))
        return fail(formatText("SaveAsThread::SaveFile(): could not load image data for '%s', error was %ld",
                               path.c_str(), 7L),
                    7);

    // 8. Scaled.
    std::int64_t width = 0, height = 0;
    SaveAsScaledSize(m_options, bitmap.Width(), bitmap.Height(), width, height);
    if (width <= 0 || height <= 0 || width > 65535 || height > 65535)
        return fail(formatText("SaveFile(): Invalid scale dimensions: (%ld, %ld)", static_cast<long>(width),
                               static_cast<long>(height)),
                    1);
    if (width != bitmap.Width() || height != bitmap.Height()) {
        if (!NRFResample(bitmap, static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height),
                         bitmap))
            return fail(formatText("SaveFile(): Invalid scale dimensions: (%ld, %ld)",
                                   static_cast<long>(width), static_cast<long>(height)),
                        7);
    }

    // 9. sRGB.
    bool converted = false;
    if (m_options.convertToSRGB) {
        if (NRFICCConvertRecordBitmapToSRGB(*record, bitmap) == 0)
            converted = true;
        else
            LUMO_LOG("SaveAsThread::SaveFile(): Unable to convert bitmap to SRGB, continuing with "
                     "unconverted bitmap.");
    }

    // 10. Sharpened, then watermarked.
    if (m_options.sharpenPixels)
        SharpenBitmap(bitmap);
    if (m_options.watermark && !m_options.watermarkImage.empty()) {
        NRFImageInfoRef markRecord;
        RecordCloser markCloser{markRecord};
        NRFBitmapBase mark;
        if (NRFOpenImage(m_options.watermarkImage.c_str(), 0, &markRecord) == 0 &&
            NRFGetImageInfo(markRecord.get()) == 0 && NRFLoadFileAsBitmap(markRecord.get(), &mark, 0) == 0)
            WatermarkBitmap(bitmap, mark, m_options.watermarkOpacity);
        else
            LUMO_LOG("SaveAsThread::SaveFile(): could not load the watermark '%s'",
                     m_options.watermarkImage.c_str());
    }

    // 11. Encoded and written with the metadata.
    NRFSaveOptions save;
    save.quality = std::clamp(m_options.jpegQuality, 1, 100);
    save.chromaSubsampling = m_options.subsampleChroma ? 420 : 444;
    save.dpi = m_options.imageResolution;
    if (converted)
        save.iccProfile = NRFICCBuiltInProfile(2);
    const bool limited =
        m_options.saveAsType == kSaveAsJPEG && m_options.limitJPEGSize && m_options.limitJPEGSizeKB > 0;
    const std::uint64_t limit = m_options.limitJPEGSizeKB * 1024;
    std::string exif;
    if (m_options.saveAsType == kSaveAsJPEG && m_options.preserveExif)
        exif = exifSegmentFor(*record, bitmap.Width(), bitmap.Height());
    // The encoded file; with a size limit, its pixels get what the EXIF and `metadataBytes` leave.
    const auto encode = [&](std::uint64_t metadataBytes, std::string& bytes) -> NRFErr {
        try {
            if (m_options.saveAsType == kSaveAsTIFF)
                return NRFEncodeTIFF(bitmap, save, bytes);
            if (m_options.saveAsType == kSaveAsPNG)
                return encodePNG(bitmap, bytes);
            NRFErr err = 0;
            if (limited) {
                const std::uint64_t overhead = exif.size() + metadataBytes;
                JPEGSizingThread sizing(bitmap, save, limit > overhead ? limit - overhead : 1);
                int quality = 0;
                bool fits = false;
                err = sizing.Run(bytes, quality, fits);
                if (err == 0 && !fits)
                    LUMO_LOG("SaveAsThread::SaveFile(): '%s' does not fit %llu KB even at quality 1",
                             path.c_str(), static_cast<unsigned long long>(m_options.limitJPEGSizeKB));
            } else {
                err = NRFEncodeJPEG(bitmap, save, bytes);
            }
            if (err == 0)
                insertExif(bytes, exif);
            return err;
        } catch (const std::bad_alloc&) {
            return 7;
        }
    };
    // The metadata written into the new file after its pixels; a size limit is checked on the whole file
    // and the pixels encoded again, with the room the metadata took, when it was passed.
    std::uint64_t metadataBytes = 0;
    for (int attempt = 0;; ++attempt) {
        std::string bytes;
        const NRFErr encoded = encode(metadataBytes, bytes);
        if (encoded != 0 || lumo::writeFileReplacing(destination, bytes) != 0)
            return fail(formatText("SaveAsThread::SaveFile(): error saving file '%s'", destination.c_str()),
                        encoded != 0 ? encoded : 6);
        if (attempt == 0)
            m_claimed.push_back(destination);
        if (m_options.saveAsType == kSaveAsJPEG) {
            if (const NRFErr err = IPTCCopyMetadataToJPEG(record.get(), destination, false); err != 0)
                LUMO_LOG("SaveAsThread::SaveFile(): could not copy the metadata into '%s' (%u)",
                         destination.c_str(), static_cast<unsigned>(err));
        }
        if (newMetadata && (applied || m_options.saveAsType == kSaveAsTIFF)) {
            NRFImageInfoRef saved;
            RecordCloser savedCloser{saved};
            NRFErr err = NRFOpenImage(destination.c_str(), 0, &saved);
            if (err == 0)
                err = NRFGetImageInfo(saved.get());
            if (err == 0)
                err = DoSaveIPTC(saved.get(), *newMetadata);
            if (err != 0)
                LUMO_LOG("SaveAsThread::SaveFile(): could not write the metadata into '%s' (%u)",
                         destination.c_str(), static_cast<unsigned>(err));
        }
        std::uint64_t size = 0;
        if (!limited || attempt == 2 || lumo::fileSize(destination, size) != 0 || size <= limit)
            break;
        metadataBytes = size > bytes.size() ? size - bytes.size() : metadataBytes + (size - limit);
    }
    m_savedPaths.push_back(destination);

    // 12. The sound file along.
    if (m_options.copyWavFiles) {
        std::vector<std::string> attached;
        int soundFiles = 0;
        if (NRFFindAttachedFiles(path, record->m_fileType, &attached, &soundFiles) == 0)
            for (const std::string& file : attached) {
                std::string ext = extensionOf(file);
                std::string lower = ext;
                for (char& c : lower)
                    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                if (lower != "wav")
                    continue;
                std::string wav = destination.substr(0, destination.size() - extension.size()) + ext;
                if (const int error = lumo::copyFileReplacing(file, wav); error != 0)
                    LUMO_LOG(
                        "SaveAsThread::SaveFile(): failed to copy WAV file to destination, error was %ld",
                        static_cast<long>(error));
            }
    }
    return 0;
}

void SaveAsThread::operator()() {
    ProgressDialogInterface* progress = m_pProgressDlg;
    try {
        if (progress)
            progress->SetMessage("Saving selected Photos...");
        std::uint32_t index = 0;
        for (const std::string& path : m_paths) {
            if (progress && progress->IsCancelled())
                break;
            ++index;
            if (progress)
                progress->SetMessage("Saving " + fileNameOf(path));
            NRFErr result = 0;
            try {
                result = SaveFile(path, index);
            } catch (const std::exception& e) {
                result = fail(
                    formatText("SaveAsThread::SaveFile(): an exception occurred: %s, while processing '%s'",
                               e.what(), path.c_str()),
                    8);
            } catch (...) {
                result = fail(
                    formatText("SaveAsThread::SaveFile(): an unkown exception occurred while processing '%s'",
                               path.c_str()),
                    8);
            }
            m_destinations.push_back(result == 0 ? m_savedPaths.back() : std::string());
            m_failures.push_back(result == 0 ? std::string() : m_lastFailure);
            if (result != 0) {
                ++m_errorCount;
                if (progress && progress->GetStatus() == 0)
                    progress->SetStatus(ProgressDialogInterface::kStatusFailed);
            }
            if (progress)
                progress->SetPercent(static_cast<unsigned>(index * 100 / m_paths.size()));
        }
        if (progress && m_errorCount != 0)
            progress->SetMessage(EndMessage());
    } catch (...) {
        LUMO_LOG("Unexpected exception in SaveAsThread::operator()");
        if (progress)
            progress->SetStatus(ProgressDialogInterface::kStatusException);
    }
    if (progress)
        progress->SetFinished(true);
}
