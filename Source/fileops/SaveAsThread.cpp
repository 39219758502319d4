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
#include "background/ErrorReporter.h"
#include "background/ProgressDialogInterface.h"
#include "db/PreferenceKeys.h"
#include "db/Preferences.h"
#include "fileops/CopyPhotosThread.h"
#include "fileops/UniquePaths.h"
#include "metadata/IPTCUtils.h"
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

// The TIFF structure inside an EXIF segment ("Exif\0\0" at 4, the TIFF header at 10), read and patched
// in place with every offset checked.
class ExifPatcher {
public:
    explicit ExifPatcher(std::string& segment) : m_s(segment) {
        m_valid =
            m_s.size() >= kBase + 8 && (m_s.compare(kBase, 2, "II") == 0 || m_s.compare(kBase, 2, "MM") == 0);
        m_big = m_valid && m_s[kBase] == 'M';
    }
    bool valid() const { return m_valid; }

    bool read16(std::uint64_t at, std::uint32_t& v) const {
        if (at + 2 > m_s.size())
            return false;
        v = m_big ? (byte(at) << 8) | byte(at + 1) : (byte(at + 1) << 8) | byte(at);
        return true;
    }
    bool read32(std::uint64_t at, std::uint32_t& v) const {
        std::uint32_t a = 0, b = 0;
        if (!read16(at, a) || !read16(at + 2, b))
            return false;
        v = m_big ? (a << 16) | b : (b << 16) | a;
        return true;
    }
    void write16(std::uint64_t at, std::uint32_t v) {
        if (at + 2 > m_s.size())
            return;
        m_s[at + (m_big ? 0 : 1)] = static_cast<char>(v >> 8);
        m_s[at + (m_big ? 1 : 0)] = static_cast<char>(v);
    }
    void write32(std::uint64_t at, std::uint32_t v) {
        write16(at + (m_big ? 0 : 2), v >> 16);
        write16(at + (m_big ? 2 : 0), v & 0xFFFF);
    }
    // The segment positions of the IFD's entries, and of its next-IFD offset; false when it does not fit.
    bool entries(std::uint32_t ifdOffset, std::vector<std::uint64_t>& out, std::uint64_t& next) const {
        std::uint32_t count = 0;
        const std::uint64_t at = kBase + std::uint64_t{ifdOffset};
        if (ifdOffset < 8 || !read16(at, count) || at + 2 + 12 * std::uint64_t{count} + 4 > m_s.size())
            return false;
        out.clear();
        for (std::uint32_t i = 0; i < count; ++i)
            out.push_back(at + 2 + 12 * std::uint64_t{i});
        next = at + 2 + 12 * std::uint64_t{count};
        return true;
    }
    std::uint32_t tag(std::uint64_t entry) const {
        std::uint32_t v = 0;
        read16(entry, v);
        return v;
    }
    std::uint32_t value(std::uint64_t entry) const {
        std::uint32_t type = 0, v = 0;
        read16(entry + 2, type);
        if (type == 3)
            read16(entry + 8, v);
        else
            read32(entry + 8, v);
        return v;
    }
    // A SHORT or LONG value of one item set to `v` (other types are left alone).
    void setValue(std::uint64_t entry, std::uint32_t v) {
        std::uint32_t type = 0, count = 0;
        read16(entry + 2, type);
        read32(entry + 4, count);
        if (count != 1)
            return;
        if (type == 3 && v <= 0xFFFF)
            write16(entry + 8, v);
        else if (type == 4)
            write32(entry + 8, v);
    }

    static constexpr std::uint64_t kBase = 10;

private:
    std::uint32_t byte(std::uint64_t at) const { return static_cast<unsigned char>(m_s[at]); }
    std::string& m_s;
    bool m_valid = false, m_big = false;
};

// The EXIF segment made to describe the new picture: its pixel dimensions (ImageWidth/ImageLength and
// PixelXDimension/PixelYDimension where the segment has them) and its thumbnail, replaced by
// `thumbnail` or dropped when that is empty or does not fit the segment.
void updateExifForNewPicture(std::string& segment, std::uint32_t width, std::uint32_t height,
                             const std::string& thumbnail) {
    ExifPatcher exif(segment);
    std::uint32_t ifd0 = 0;
    if (!exif.valid() || !exif.read32(ExifPatcher::kBase + 4, ifd0))
        return;
    std::vector<std::uint64_t> entries;
    std::uint64_t next = 0;
    if (!exif.entries(ifd0, entries, next))
        return;
    std::uint32_t exifIFD = 0;
    for (const std::uint64_t entry : entries) {
        if (exif.tag(entry) == 0x100)
            exif.setValue(entry, width);
        else if (exif.tag(entry) == 0x101)
            exif.setValue(entry, height);
        else if (exif.tag(entry) == 0x8769)
            exifIFD = exif.value(entry);
    }
    std::uint64_t unused = 0;
    if (exifIFD != 0 && exif.entries(exifIFD, entries, unused))
        for (const std::uint64_t entry : entries) {
            if (exif.tag(entry) == 0xA002)
                exif.setValue(entry, width);
            else if (exif.tag(entry) == 0xA003)
                exif.setValue(entry, height);
        }

    // The thumbnail (IFD1): its bytes are cut off when they end the segment, as cameras write them.
    std::uint32_t ifd1 = 0;
    std::uint64_t offsetEntry = 0, lengthEntry = 0;
    if (exif.read32(next, ifd1) && ifd1 != 0 && exif.entries(ifd1, entries, unused)) {
        for (const std::uint64_t entry : entries) {
            if (exif.tag(entry) == 0x201)
                offsetEntry = entry;
            else if (exif.tag(entry) == 0x202)
                lengthEntry = entry;
        }
    }
    if (offsetEntry != 0 && lengthEntry != 0) {
        const std::uint64_t oldStart = ExifPatcher::kBase + exif.value(offsetEntry);
        if (oldStart + exif.value(lengthEntry) == segment.size() && oldStart > next + 4)
            segment.resize(oldStart);
    }
    const bool replace = offsetEntry != 0 && lengthEntry != 0 && !thumbnail.empty() &&
                         segment.size() + thumbnail.size() - 2 <= 0xFFFF;
    if (replace) {
        exif.setValue(offsetEntry, static_cast<std::uint32_t>(segment.size() - ExifPatcher::kBase));
        exif.setValue(lengthEntry, static_cast<std::uint32_t>(thumbnail.size()));
        segment += thumbnail;
    } else if (ifd1 != 0) {
        exif.write32(next, 0);
    }
    const std::size_t length = segment.size() - 2;
    segment[2] = static_cast<char>(length >> 8);
    segment[3] = static_cast<char>(length & 0xFF);
}

// The EXIF segment of the new JPEG: the source's own, else one built from the record; orientation 1,
// the new picture's size, and its thumbnail the new picture's.
std::string exifSegmentFor(NRFImageInfoRec& record, const NRFBitmapBase& bitmap) {
    std::string thumbnail;
    NRFBitmapBase small;
    if (bitmap.ScaleToFit(160, small)) {
        NRFSaveOptions options;
        options.quality = 75;
        if (NRFEncodeJPEG(small, options, thumbnail) != 0)
            thumbnail.clear();
    }
    std::string segment = sourceExifSegment(record);
    if (segment.empty()) {
        const auto rotation = record.m_orientation;
        record.m_orientation = 0;
        segment = NRFBuildExifSegment(record, bitmap.Width(), bitmap.Height());
        record.m_orientation = rotation;
    }
    if (!segment.empty())
        updateExifForNewPicture(segment, bitmap.Width(), bitmap.Height(), thumbnail);
    return segment;
}

} // namespace

namespace {

// The snapshot's names, each bound to its option.
template <typename Visit>
void eachSetting(SaveAsOptions& o, Visit&& visit) {
    visit("SaveAsType", o.saveAsType);
    visit("DestinationType", o.destinationType);
    visit("SaveToFolderPath", o.folderTemplate);
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
    visit("WatermarkText", o.watermarkText);
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
    if (preferences)
        options.destinationFolder = preferences->getString(kPrefSaveAsLastDestPath, "");
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
    return preferences->setString(kPrefSaveAsLastDestPath, options.destinationFolder) &&
           preferences->setValue(kPrefSaveAsSettings, stored);
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

namespace {

// A 5 x 7 font for the characters 0x20 to 0x7E and a copyright sign: five columns a glyph, the top row
// in bit 0.
constexpr std::uint8_t kGlyphs[][5] = {
    {0x00, 0x00, 0x00, 0x00, 0x00}, {0x00, 0x00, 0x5F, 0x00, 0x00}, {0x00, 0x07, 0x00, 0x07, 0x00},
    {0x14, 0x7F, 0x14, 0x7F, 0x14}, {0x24, 0x2A, 0x7F, 0x2A, 0x12}, {0x23, 0x13, 0x08, 0x64, 0x62},
    {0x36, 0x49, 0x56, 0x20, 0x50}, {0x00, 0x00, 0x07, 0x00, 0x00}, {0x00, 0x1C, 0x22, 0x41, 0x00},
    {0x00, 0x41, 0x22, 0x1C, 0x00}, {0x14, 0x08, 0x3E, 0x08, 0x14}, {0x08, 0x08, 0x3E, 0x08, 0x08},
    {0x00, 0x50, 0x30, 0x00, 0x00}, {0x08, 0x08, 0x08, 0x08, 0x08}, {0x00, 0x60, 0x60, 0x00, 0x00},
    {0x20, 0x10, 0x08, 0x04, 0x02}, {0x3E, 0x51, 0x49, 0x45, 0x3E}, {0x00, 0x42, 0x7F, 0x40, 0x00},
    {0x42, 0x61, 0x51, 0x49, 0x46}, {0x21, 0x41, 0x45, 0x4B, 0x31}, {0x18, 0x14, 0x12, 0x7F, 0x10},
    {0x27, 0x45, 0x45, 0x45, 0x39}, {0x3C, 0x4A, 0x49, 0x49, 0x30}, {0x01, 0x71, 0x09, 0x05, 0x03},
    {0x36, 0x49, 0x49, 0x49, 0x36}, {0x06, 0x49, 0x49, 0x29, 0x1E}, {0x00, 0x36, 0x36, 0x00, 0x00},
    {0x00, 0x56, 0x36, 0x00, 0x00}, {0x08, 0x14, 0x22, 0x41, 0x00}, {0x14, 0x14, 0x14, 0x14, 0x14},
    {0x00, 0x41, 0x22, 0x14, 0x08}, {0x02, 0x01, 0x51, 0x09, 0x06}, {0x32, 0x49, 0x79, 0x41, 0x3E},
    {0x7E, 0x11, 0x11, 0x11, 0x7E}, {0x7F, 0x49, 0x49, 0x49, 0x36}, {0x3E, 0x41, 0x41, 0x41, 0x22},
    {0x7F, 0x41, 0x41, 0x22, 0x1C}, {0x7F, 0x49, 0x49, 0x49, 0x41}, {0x7F, 0x09, 0x09, 0x09, 0x01},
    {0x3E, 0x41, 0x49, 0x49, 0x7A}, {0x7F, 0x08, 0x08, 0x08, 0x7F}, {0x00, 0x41, 0x7F, 0x41, 0x00},
    {0x20, 0x40, 0x41, 0x3F, 0x01}, {0x7F, 0x08, 0x14, 0x22, 0x41}, {0x7F, 0x40, 0x40, 0x40, 0x40},
    {0x7F, 0x02, 0x0C, 0x02, 0x7F}, {0x7F, 0x04, 0x08, 0x10, 0x7F}, {0x3E, 0x41, 0x41, 0x41, 0x3E},
    {0x7F, 0x09, 0x09, 0x09, 0x06}, {0x3E, 0x41, 0x51, 0x21, 0x5E}, {0x7F, 0x09, 0x19, 0x29, 0x46},
    {0x46, 0x49, 0x49, 0x49, 0x31}, {0x01, 0x01, 0x7F, 0x01, 0x01}, {0x3F, 0x40, 0x40, 0x40, 0x3F},
    {0x1F, 0x20, 0x40, 0x20, 0x1F}, {0x3F, 0x40, 0x38, 0x40, 0x3F}, {0x63, 0x14, 0x08, 0x14, 0x63},
    {0x07, 0x08, 0x70, 0x08, 0x07}, {0x61, 0x51, 0x49, 0x45, 0x43}, {0x00, 0x7F, 0x41, 0x41, 0x00},
    {0x02, 0x04, 0x08, 0x10, 0x20}, {0x00, 0x41, 0x41, 0x7F, 0x00}, {0x04, 0x02, 0x01, 0x02, 0x04},
    {0x40, 0x40, 0x40, 0x40, 0x40}, {0x00, 0x01, 0x02, 0x04, 0x00}, {0x20, 0x54, 0x54, 0x54, 0x78},
    {0x7F, 0x48, 0x44, 0x44, 0x38}, {0x38, 0x44, 0x44, 0x44, 0x20}, {0x38, 0x44, 0x44, 0x48, 0x7F},
    {0x38, 0x54, 0x54, 0x54, 0x18}, {0x08, 0x7E, 0x09, 0x01, 0x02}, {0x0C, 0x52, 0x52, 0x52, 0x3E},
    {0x7F, 0x08, 0x04, 0x04, 0x78}, {0x00, 0x44, 0x7D, 0x40, 0x00}, {0x20, 0x40, 0x44, 0x3D, 0x00},
    {0x7F, 0x10, 0x28, 0x44, 0x00}, {0x00, 0x41, 0x7F, 0x40, 0x00}, {0x7C, 0x04, 0x18, 0x04, 0x78},
    {0x7C, 0x08, 0x04, 0x04, 0x78}, {0x38, 0x44, 0x44, 0x44, 0x38}, {0x7C, 0x14, 0x14, 0x14, 0x08},
    {0x08, 0x14, 0x14, 0x18, 0x7C}, {0x7C, 0x08, 0x04, 0x04, 0x08}, {0x48, 0x54, 0x54, 0x54, 0x20},
    {0x04, 0x3F, 0x44, 0x40, 0x20}, {0x3C, 0x40, 0x40, 0x20, 0x7C}, {0x1C, 0x20, 0x40, 0x20, 0x1C},
    {0x3C, 0x40, 0x30, 0x40, 0x3C}, {0x44, 0x28, 0x10, 0x28, 0x44}, {0x0C, 0x50, 0x50, 0x50, 0x3C},
    {0x44, 0x64, 0x54, 0x4C, 0x44}, {0x00, 0x08, 0x36, 0x41, 0x00}, {0x00, 0x00, 0x7F, 0x00, 0x00},
    {0x00, 0x41, 0x36, 0x08, 0x00}, {0x08, 0x04, 0x08, 0x10, 0x08}, {0x3E, 0x41, 0x5D, 0x55, 0x3E},
};
constexpr std::size_t kCopyrightGlyph = 95;
constexpr int kGlyphWidth = 5, kGlyphHeight = 7, kGlyphAdvance = 6;

// The glyphs of UTF-8 `text`: ASCII as it is, the copyright sign, "?" for any other character.
std::vector<std::size_t> glyphsOf(const std::string& text) {
    std::vector<std::size_t> glyphs;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            glyphs.push_back(c - 0x20u);
        } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0xA9) {
            glyphs.push_back(kCopyrightGlyph);
            ++i;
        } else if (c >= 0xC0 || c == '\t') {
            glyphs.push_back(c == '\t' ? 0 : '?' - 0x20u);
        }
        // Continuation bytes and control characters are not drawn.
    }
    return glyphs;
}

double samplePixel(const NRFBitmapBase& bitmap, double x, double y, int channel) {
    const double fx = std::clamp(x, 0.0, static_cast<double>(bitmap.Width() - 1));
    const double fy = std::clamp(y, 0.0, static_cast<double>(bitmap.Height() - 1));
    const auto x0 = static_cast<std::uint32_t>(fx), y0 = static_cast<std::uint32_t>(fy);
    const std::uint32_t x1 = std::min(x0 + 1, bitmap.Width() - 1), y1 = std::min(y0 + 1, bitmap.Height() - 1);
    const double ax = fx - x0, ay = fy - y0;
    const int channels = bitmap.Channels();
    const auto at = [&](std::uint32_t px, std::uint32_t py) {
        return static_cast<double>(bitmap.Row(py)[std::size_t{px} * channels + channel]);
    };
    return (at(x0, y0) * (1 - ax) + at(x1, y0) * ax) * (1 - ay) +
           (at(x0, y1) * (1 - ax) + at(x1, y1) * ax) * ay;
}

} // namespace

bool WatermarkBitmapText(NRFBitmapBase& bitmap, const std::string& text, double opacity) {
    std::vector<std::size_t> glyphs = glyphsOf(text);
    while (!glyphs.empty() && glyphs.back() == 0)
        glyphs.pop_back();
    if (bitmap.Empty() || glyphs.empty())
        return false;
    opacity = std::clamp(opacity, 0.0, 1.0);
    const std::uint32_t width = bitmap.Width(), height = bitmap.Height();
    // Letters a thirtieth of the short side high, smaller when the line would not fit; the line cut
    // when even the smallest letters do not fit.
    std::uint64_t scale =
        std::max<std::uint64_t>(1, (std::min(width, height) + 15u * kGlyphHeight) / (30u * kGlyphHeight));
    const auto lineWidth = [&](std::uint64_t s, std::size_t n) {
        // The text, its outline and a margin of two letter pixels either side.
        return (n * kGlyphAdvance - 1) * s + 2 * (s / 3 + 1) + 4 * s;
    };
    while (scale > 1 && lineWidth(scale, glyphs.size()) > width)
        --scale;
    while (!glyphs.empty() && lineWidth(scale, glyphs.size()) > width)
        glyphs.pop_back();
    const std::uint64_t outline = scale / 3 + 1;
    const std::uint64_t boxHeight = kGlyphHeight * scale + 2 * outline;
    if (glyphs.empty() || boxHeight + 4 * scale > height)
        return false;
    const std::uint64_t boxWidth = (glyphs.size() * kGlyphAdvance - 1) * scale + 2 * outline;
    // 2 where a letter is, 1 on its outline.
    std::vector<std::uint8_t> mask(boxWidth * boxHeight, 0);
    for (std::size_t g = 0; g < glyphs.size(); ++g)
        for (int column = 0; column < kGlyphWidth; ++column)
            for (int row = 0; row < kGlyphHeight; ++row) {
                if (!(kGlyphs[glyphs[g]][column] & (1u << row)))
                    continue;
                const std::uint64_t x0 = outline + (g * kGlyphAdvance + column) * scale;
                const std::uint64_t y0 = outline + row * scale;
                for (std::uint64_t y = y0 - outline; y < y0 + scale + outline; ++y)
                    for (std::uint64_t x = x0 - outline; x < x0 + scale + outline; ++x) {
                        std::uint8_t& m = mask[y * boxWidth + x];
                        const bool ink = x >= x0 && x < x0 + scale && y >= y0 && y < y0 + scale;
                        m = std::max<std::uint8_t>(m, ink ? 2 : 1);
                    }
            }
    const std::uint64_t left = 2 * scale, top = height - 2 * scale - boxHeight;
    const int channels = bitmap.Channels();
    for (std::uint64_t y = 0; y < boxHeight; ++y) {
        std::uint8_t* row = bitmap.Row(static_cast<std::uint32_t>(top + y)) + left * channels;
        for (std::uint64_t x = 0; x < boxWidth; ++x) {
            const std::uint8_t m = mask[y * boxWidth + x];
            if (m == 0)
                continue;
            const double ink = m == 2 ? 255.0 : 0.0;
            for (int c = 0; c < channels; ++c) {
                std::uint8_t& value = row[x * channels + c];
                value = static_cast<std::uint8_t>(std::lround(value * (1.0 - opacity) + ink * opacity));
            }
        }
    }
    return true;
}

NRFErr CropBitmap(const NRFBitmapBase& bitmap, const NRFNormalizedCrop& crop, NRFBitmapBase& out) {
    if (bitmap.Empty())
        return 1;
    const double w = bitmap.Width(), h = bitmap.Height();
    const bool finite = std::isfinite(crop.left) && std::isfinite(crop.top) && std::isfinite(crop.right) &&
                        std::isfinite(crop.bottom) && std::isfinite(crop.angle);
    if (!finite)
        return 1;
    if (std::fabs(std::remainder(crop.angle, 360.0)) < 1e-6) {
        const auto left = static_cast<std::uint32_t>(std::clamp(crop.left, 0.0, 1.0) * w);
        const auto top = static_cast<std::uint32_t>(std::clamp(crop.top, 0.0, 1.0) * h);
        const auto right = static_cast<std::uint32_t>(std::clamp(crop.right, 0.0, 1.0) * w);
        const auto bottom = static_cast<std::uint32_t>(std::clamp(crop.bottom, 0.0, 1.0) * h);
        if (right <= left || bottom <= top)
            return 1;
        return bitmap.CropInto(left, top, right - left, bottom - top, out);
    }
    // The rectangle is upright in a frame turned by the angle about the image's centre: its centre and
    // size are those of the fractions, its sides turned by the angle. A turned crop may reach a little
    // past the edges (the crop model keeps it inside); the edge pixels are repeated there.
    const double cropWidth = (crop.right - crop.left) * w, cropHeight = (crop.bottom - crop.top) * h;
    if (!(cropWidth >= 1.0 && cropHeight >= 1.0) || cropWidth > 2 * w || cropHeight > 2 * h)
        return 1;
    const auto outWidth = static_cast<std::uint32_t>(std::lround(cropWidth));
    const auto outHeight = static_cast<std::uint32_t>(std::lround(cropHeight));
    NRFBitmapBase turned;
    if (!turned.Allocate(outWidth, outHeight, bitmap.Channels()))
        return 7;
    const double centerX = (crop.left + crop.right) / 2.0 * w, centerY = (crop.top + crop.bottom) / 2.0 * h;
    const double radians = crop.angle * M_PI / 180.0;
    const double cosine = std::cos(radians), sine = std::sin(radians);
    const int channels = bitmap.Channels();
    for (std::uint32_t y = 0; y < outHeight; ++y) {
        std::uint8_t* row = turned.Row(y);
        const double dy = y + 0.5 - outHeight / 2.0;
        for (std::uint32_t x = 0; x < outWidth; ++x) {
            const double dx = x + 0.5 - outWidth / 2.0;
            // Pixel centres: the sample point is half a pixel off the pixel's corner.
            const double sx = centerX + cosine * dx - sine * dy - 0.5;
            const double sy = centerY + sine * dx + cosine * dy - 0.5;
            for (int c = 0; c < channels; ++c)
                row[std::size_t{x} * channels + c] = static_cast<std::uint8_t>(
                    std::lround(std::clamp(samplePixel(bitmap, sx, sy, c), 0.0, 255.0)));
        }
    }
    out = std::move(turned);
    return 0;
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
    return m_errorCount != 0 ? SaveAsText::kErrors : std::string();
}

void SaveAsThread::tell(SaveAsStep step, const char* detail) const {
    if (m_stepObserver)
        m_stepObserver(step, detail);
}

NRFErr SaveAsThread::fail(const std::string& text, NRFErr code) {
    LUMO_LOG("%s", text.c_str());
    m_lastFailure = text;
    return code == 0 ? 6 : code;
}

VariableContext SaveAsThread::contextFor(std::uint32_t index) const {
    VariableContext context;
    context.index = index;
    context.total = static_cast<std::uint32_t>(m_paths.size());
    if (m_reservation) {
        context.sequence = m_reservation->first + std::max<std::int64_t>(0, std::int64_t{index} - 1);
        context.sequenceDigits = m_reservation->digits;
    } else {
        const SequenceSetting shared = CurrentSequence(SequenceKind::Sequence);
        context.sequence = shared.next;
        context.sequenceDigits = shared.digits;
    }
    return context;
}

const IPTCRec* SaveAsThread::stationery() {
    if (!m_options.applyStationeryPad)
        return nullptr;
    if (!m_stationeryLoaded) {
        m_stationeryLoaded = true;
        IPTCRec current;
        if (IPTCLoadCurrentStationery(current))
            m_stationery = std::move(current);
    }
    return m_stationery ? &*m_stationery : nullptr;
}

std::string SaveAsThread::destinationFolderFor(const std::string& path, const NRFImageInfoRec& record,
                                               const VariableContext& context) {
    // The rule is copying's: the same types, templates and folder making.
    if (!m_destinationRule) {
        CopyOptions rule;
        rule.m_destinationType = std::clamp(m_options.destinationType, 0, 3);
        rule.m_lastDestPath = m_options.destinationFolder;
        rule.m_createSubfolderPath = m_options.subfolderTemplate;
        rule.m_toParentFolderPath = m_options.rootFolder;
        rule.m_toFolderPath = m_options.folderTemplate;
        const IPTCRec* applied = stationery();
        rule.m_applyIPTC = applied != nullptr;
        m_destinationRule =
            std::make_unique<CopyPhotosThread>(std::vector<DocumentItem::Ref>{}, rule, nullptr, std::string(),
                                               applied ? std::optional<IPTCRec>(*applied) : std::nullopt);
    }
    const DocumentItem::Ref item = DocumentItem::ForFile(path, record.m_fileType, false);
    return m_destinationRule->GetDestPathForCell(*item, context);
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
        ExtensionInPreferredCase(typeExtension(m_options.saveAsType), extensionOf(sourceName));
    std::string stem = stemOf(sourceName);
    VariableContext context = contextFor(index);
    context.image = record.get();
    context.record = metadata.get();
    if (m_options.renamePhotos) {
        stem = ReplaceIllegalFileNameCharacters(
            ExpandVariables(m_options.renameString, context, kVariableFileName).text);
        if (stem.empty())
            return fail("SaveAsThread::SaveFile(): Expanded rename name is empty.", 6);
    }
    std::string name = stem + "." + extension;

    // 4. A free name in the destination folder.
    const std::string folder = destinationFolderFor(path, *record, context);
    if (folder.empty()) {
        const std::string& rule = m_options.destinationType == kCopyToSubfolder ? m_options.subfolderTemplate
                                  : m_options.destinationType == kCopyToFolderUnderRoot
                                      ? m_options.rootFolder + "/" + m_options.folderTemplate
                                      : m_options.destinationFolder;
        return fail(
            formatText("SaveAsThread::SaveFile(): unable to build directory path at '%s'.", rule.c_str()), 6);
    }
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
    if (const IPTCRec* current = stationery()) {
        // (The run asked about reverse geocoding before its first photo.)
        applied = std::make_unique<IPTCRec>(metadata ? *metadata : IPTCRec{});
        std::string message;
        if (const int err = IPTCApplyStationery(*current, *applied, StationeryDateInfo{}, context, &message);
            err != 0)
            return fail("SaveAsThread::SaveFile(): " + message, static_cast<NRFErr>(err));
        if (record && record->m_hasGPS && IPTCHaveReverseGeocoding(*current))
            if (const std::optional<IPTCLocation> place = IPTCReverseGeocode(*record))
                IPTCApplyReverseGeocoding(*current, *applied, *place);
    }
    const IPTCRec* newMetadata = applied ? applied.get() : metadata.get();

    // 6. The pixels, as stored (the crop is in the stored frame), then 7. cropped and turned upright.
    const int rotation = record->m_orientation;
    record->m_orientation = 0;
    NRFBitmapBase bitmap;
    tell(SaveAsStep::Loading);
    const NRFErr loaded = NRFLoadFileAsBitmap(record.get(), &bitmap, 0);
    record->m_orientation = static_cast<std::int16_t>(rotation);
    if (loaded != 0 || bitmap.Empty())
        return fail(formatText("SaveAsThread::SaveFile(): could not load image data for '%s', error was %ld",
                               path.c_str(), static_cast<long>(loaded != 0 ? loaded : 13)),
                    loaded != 0 ? loaded : 13);
    if (m_options.applyCrop && !(record->m_crop == NRFNormalizedCrop{})) {
        // The crop's rectangle, turned by its angle, in the stored frame; one that gives no pixel is
        // no crop.
        tell(SaveAsStep::Cropping);
        NRFBitmapBase cropped;
        const NRFErr err = CropBitmap(bitmap, record->m_crop, cropped);
        if (err == 7)
            return fail(
                formatText("SaveAsThread::SaveFile(): could not load image data for '%s', error was %ld",
                           path.c_str(), static_cast<long>(err)),
                err);
        if (err == 0)
            bitmap = std::move(cropped);
    }
    if (rotation != 0)
        tell(SaveAsStep::Rotating);
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
        tell(m_options.scaleType == kScalePercentage ? SaveAsStep::ScalingByPercentage
             : m_options.scaleType == kScaleCustom   ? SaveAsStep::ScalingToSize
                                                     : SaveAsStep::ScalingToBox);
        if (!NRFResample(bitmap, static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height),
                         bitmap))
            return fail(formatText("SaveFile(): Invalid scale dimensions: (%ld, %ld)",
                                   static_cast<long>(width), static_cast<long>(height)),
                        7);
    }

    // 9. sRGB.
    bool converted = false;
    if (m_options.convertToSRGB) {
        tell(SaveAsStep::ConvertingToSRGB);
        if (NRFICCConvertRecordBitmapToSRGB(*record, bitmap) == 0)
            converted = true;
        else
            LUMO_LOG("SaveAsThread::SaveFile(): Unable to convert bitmap to SRGB, continuing with "
                     "unconverted bitmap.");
    }

    // 10. Sharpened, then watermarked.
    if (m_options.sharpenPixels) {
        tell(SaveAsStep::Sharpening);
        SharpenBitmap(bitmap);
    }
    if (m_options.watermark && (!m_options.watermarkImage.empty() || !m_options.watermarkText.empty()))
        tell(SaveAsStep::Watermarking);
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
    if (m_options.watermark && !m_options.watermarkText.empty())
        WatermarkBitmapText(bitmap, ExpandVariables(m_options.watermarkText, context, 0).text,
                            m_options.watermarkOpacity);

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
        exif = exifSegmentFor(*record, bitmap);
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
    tell(SaveAsStep::Saving, m_options.saveAsType == kSaveAsTIFF  ? "TIFF"
                             : m_options.saveAsType == kSaveAsPNG ? "PNG"
                                                                  : "JPEG");
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
        // JPEG takes the source's metadata blocks as they are; TIFF and PNG have them written.
        if (newMetadata && (applied || m_options.saveAsType != kSaveAsJPEG)) {
            NRFImageInfoRef saved;
            RecordCloser savedCloser{saved};
            NRFErr err = NRFOpenImage(destination.c_str(), 0, &saved);
            if (err == 0)
                err = NRFGetImageInfo(saved.get());
            if (err == 0) {
                // The save writes the new file's photo state: its original's, or what the template sets.
                saved->m_tag = record->m_tag;
                saved->m_colorClass = record->m_colorClass;
                saved->m_rating = record->m_rating;
                IPTCPhotoStateIntoImage(*newMetadata, IPTCEncodingSettingsFromPreferences(), *saved);
                err = DoSaveIPTC(saved.get(), *newMetadata);
            }
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
            progress->SetMessage(SaveAsText::kSaving);
        // The shared running sequence: the numbers of the whole run are taken before the first photo.
        const bool renameUsesSequence =
            m_options.renamePhotos &&
            ExpandVariables(m_options.renameString, VariableContext{}, kVariableFileName).usedSequence;
        const IPTCRec* current = stationery();
        if (current && IPTCHaveReverseGeocoding(*current)) {
            // Without a lookup of its own the run uses the installed geocoder, which finds (and
            // caches) each place before the first photo.
            const bool found =
                m_reverseGeocode ? m_reverseGeocode(m_paths) : IPTCReverseGeocodePaths(m_paths);
            if (!found) {
                if (ErrorReporter::DoMessageBox(SaveAsText::kGeocodingFailed, MessageBoxButtons::YesNo) !=
                    MessageBoxAnswer::Yes) {
                    if (progress) {
                        progress->SetStatus(ProgressDialogInterface::kStatusCancelled);
                        progress->SetFinished(true);
                    }
                    return;
                }
                m_stationery->m_reverseGeocodingApply.fill(false);
            }
        }
        if (renameUsesSequence || (current && IPTCHaveSequenceVar(*current))) {
            m_reservation =
                ReserveSequenceNumbers(SequenceKind::Sequence, static_cast<std::int64_t>(m_paths.size()));
            if (const auto preferences = CPreferences::instance())
                preferences->save();
        }
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
        if (m_reservation)
            ReleaseUnusedSequenceNumbers(*m_reservation, index);
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
