#include "NRF/NRFThumbnails.h"

#include "NRF/NRF.h"
#include "NRF/NRFBasicJPEG.h"
#include "NRF/NRFBitmapBase.h"
#include "NRF/NRFImageInfo.h"
#include "app/LumoLog.h"

#include <algorithm>
#include <exception>
#include <string>

namespace {

bool isJPEGPreview(const NRFImageInfoRec& record) {
    return record.m_previewIsJPEG && record.m_preview.present();
}

bool hasStrip(const NRFImageInfoRec& record) {
    const NRFEmbeddedImageLoc& strip = record.m_stripThumbnail;
    return strip.present() && strip.width != 0 && strip.height != 0;
}

NRFErr loadJPEG(const NRFImageInfoRec& record, const NRFEmbeddedImageLoc& loc, NRFBitmapBase& bitmap,
                std::uint32_t size) {
    return NRFBasicJPEGLoadImage(record.m_path, loc.offset, loc.length, bitmap, size);
}

std::uint8_t clampByte(int value) {
    return static_cast<std::uint8_t>(std::clamp(value, 0, 255));
}

// Y, Cb, Cr to R, G, B with the file's coefficients (units of 1/16384: Cr→R, Cb→B, Cb→G, Cr→G).
void yCbCrToRGB(const std::uint8_t* in, std::uint8_t* out, const std::array<std::uint16_t, 4>& k) {
    const int y = in[0], cb = in[1] - 128, cr = in[2] - 128;
    const auto term = [](int factor, int value) {
        return (factor * value + (value < 0 ? -8192 : 8192)) / 16384;
    };
    out[0] = clampByte(y + term(k[0], cr));
    out[1] = clampByte(y - term(k[2], cb) - term(k[3], cr));
    out[2] = clampByte(y + term(k[1], cb));
}

// The uncompressed strip thumbnail as a 24-bit bitmap scaled to fit `size` (0: as stored). Grey
// strips hold one byte a pixel, colour strips three: Y, Cb, Cr when the file gives YCbCr
// coefficients, else R, G, B.
NRFErr loadStrip(const NRFImageInfoRec& record, NRFBitmapBase& bitmap, std::uint32_t size) {
    const NRFEmbeddedImageLoc& strip = record.m_stripThumbnail;
    const std::uint64_t pixels = std::uint64_t{strip.width} * strip.height;
    const std::uint64_t channels = pixels == 0 ? 0 : strip.length / pixels;
    if ((channels != 1 && channels != 3) || channels * pixels != strip.length)
        return 9;
    std::string bytes;
    if (const NRFErr read = NRFReadEmbeddedBytes(record.m_path, strip.offset, strip.length, bytes); read != 0)
        return read;
    NRFBitmapBase full;
    if (!full.Allocate(strip.width, strip.height, 3))
        return 7;
    const auto& k = record.m_yCbCrCoefficients;
    const bool yCbCr =
        channels == 3 && std::all_of(k.begin(), k.end(), [](std::uint16_t v) { return v != 0; });
    const auto* src = reinterpret_cast<const std::uint8_t*>(bytes.data());
    for (std::uint32_t y = 0; y < strip.height; ++y) {
        std::uint8_t* dst = full.Row(y);
        for (std::uint32_t x = 0; x < strip.width; ++x, dst += 3) {
            if (channels == 1) {
                dst[0] = dst[1] = dst[2] = *src++;
                continue;
            }
            if (yCbCr)
                yCbCrToRGB(src, dst, k);
            else
                std::copy_n(src, 3, dst);
            src += 3;
        }
    }
    if (!full.ScaleToFit(size, bitmap))
        return 7;
    if (strip.width == 160 && strip.height == 120)
        bitmap.flags |= kNRFBitmapExifThumbnail;
    return 0;
}

// Turns a loaded bitmap upright by the record's rotation code.
NRFErr applyRotation(const NRFImageInfoRec& record, NRFBitmapBase& bitmap) {
    const int code = record.m_orientation;
    if (code <= 0 || code > 7)
        return 0;
    if (bitmap.Rotate(code))
        return 0;
    bitmap.Clear();
    return 7;
}

NRFErr finish(const NRFImageInfoRec& record, NRFBitmapBase& bitmap, NRFErr result) {
    if (result != 0) {
        bitmap.Clear();
        return result;
    }
    return applyRotation(record, bitmap);
}

// The JPEG reader's thumbnail: the JPEG preview when there is one, else the EXIF thumbnail.
NRFErr jpegLoadThumbnail(NRFContext&, NRFImageInfoRec& record, NRFOperationArgs* args) {
    if (!args || !args->bitmap)
        return 1;
    NRFBitmapBase& bitmap = *args->bitmap;
    bitmap.flags = 0;
    NRFErr result = 13;
    if (isJPEGPreview(record)) {
        result = loadJPEG(record, record.m_preview, bitmap, args->size);
        if (result != 0 && result != 7) {
            LUMO_LOG("NRFJPEGLoadThumbnail() invalidating fuzzy preview on:%s, result:%d",
                     record.m_path.c_str(), static_cast<int>(result));
            record.m_preview = NRFEmbeddedImageLoc{};
        }
    } else if (record.m_thumbnail.present()) {
        result = loadJPEG(record, record.m_thumbnail, bitmap, args->size);
        if (result != 0 && result != 7) {
            LUMO_LOG("NRFJPEGLoadThumbnail() invalidating thumbnail on:%s, result:%d", record.m_path.c_str(),
                     static_cast<int>(result));
            record.m_thumbnail = NRFEmbeddedImageLoc{};
        }
    }
    return finish(record, bitmap, result);
}

} // namespace

NRFErr NRFLoadEmbeddedThumbnailAsStored(NRFImageInfoRec& record, std::uint32_t size, NRFBitmapBase& bitmap) {
    bitmap.flags = 0;
    NRFErr result = 13;
    NRFEmbeddedImageLoc* tried = nullptr;
    if (record.m_thumbnail.present()) {
        tried = &record.m_thumbnail;
        result = loadJPEG(record, record.m_thumbnail, bitmap, size);
    } else if (hasStrip(record)) {
        tried = &record.m_stripThumbnail;
        result = loadStrip(record, bitmap, size);
    }
    if (tried && result != 0 && result != 7) {
        LUMO_LOG("NRFPluginGenericLoadJpegOrTiffThumbnail() failed to load '%s' with error %d",
                 record.m_path.c_str(), static_cast<int>(result));
        *tried = NRFEmbeddedImageLoc{};
    }
    if (result != 0)
        bitmap.Clear();
    return result;
}

namespace {

// The raw readers' thumbnail: the JPEG thumbnail, else the uncompressed strip.
NRFErr genericLoadJpegOrTiffThumbnail(NRFContext&, NRFImageInfoRec& record, NRFOperationArgs* args) {
    if (!args || !args->bitmap)
        return 1;
    NRFBitmapBase& bitmap = *args->bitmap;
    return finish(record, bitmap, NRFLoadEmbeddedThumbnailAsStored(record, args->size, bitmap));
}

// The raw readers' preview: a rendering when one is wanted and available (none is: the engine has
// no raw renderer), else with kNRFLoadAllowEmbedded the best embedded image, trying each in turn.
NRFErr genericLoadFuzzyJpegOrTiffThumbnail(NRFContext&, NRFImageInfoRec& record, NRFOperationArgs* args) {
    if (!args || !args->bitmap)
        return 1;
    NRFBitmapBase& bitmap = *args->bitmap;
    bitmap.flags = 0;
    const std::uint32_t request = args->requestFlags;
    if (!(request & kNRFLoadAllowEmbedded))
        return 22;
    const char* path = record.m_path.c_str();
    // In order: the JPEG preview, the JPEG thumbnail, the uncompressed strip.
    NRFEmbeddedImageLoc* const locations[] = {&record.m_preview, &record.m_thumbnail,
                                              &record.m_stripThumbnail};
    const bool present[] = {isJPEGPreview(record), record.m_thumbnail.present(), hasStrip(record)};
    for (int i = 0; i < 3; ++i) {
        if (!present[i])
            continue;
        const NRFErr result = i == 2 ? loadStrip(record, bitmap, args->size)
                                     : loadJPEG(record, *locations[i], bitmap, args->size);
        if (result == 0) {
            if (request & kNRFLoadWantRendered)
                bitmap.flags |= kNRFBitmapSubstitute;
            return finish(record, bitmap, 0);
        }
        if (result == 7)
            return finish(record, bitmap, 7);
        const int code = static_cast<int>(result);
        if (i == 0)
            LUMO_LOG("NRFPluginGenericLoadFuzzyJpegOrTiffThumbnail() failed to load fuzzy preview '%s' with "
                     "error %d",
                     path, code);
        else if (i == 1)
            LUMO_LOG("NRFPluginGenericLoadFuzzyJpegOrTiffThumbnail() failed to load JPEG thumbnail '%s' with "
                     "error %d",
                     path, code);
        else
            LUMO_LOG("NRFPluginGenericLoadFuzzyJpegOrTiffThumbnail() failed to load TIFF thumbnail '%s' with "
                     "error %d",
                     path, code);
        *locations[i] = NRFEmbeddedImageLoc{};
    }
    bitmap.Clear();
    return 13;
}

// LoadImage of the raw rows: the same images at full size.
NRFErr genericLoadImage(NRFContext& context, NRFImageInfoRec& record, NRFOperationArgs* args) {
    if (!args)
        return 1;
    NRFOperationArgs fullSize = *args;
    fullSize.size = 0;
    return genericLoadFuzzyJpegOrTiffThumbnail(context, record, &fullSize);
}

// The steps of every record operation: null arguments 1, a record not on a local disk 20, a type not in
// the table 1, every exception logged and answered with 8.
template <class Answer>
NRFErr dispatchLoad(const char* name, NRFImageInfoRec* record, NRFBitmapBase* bitmap, Answer&& answer) {
    try {
        if (!record || !bitmap)
            return kNRFErrParam;
        if (!record->IsLocal())
            return kNRFErrNotLocal;
        const int index = NRFFindFileType(record->m_fileType);
        if (index < 0)
            return kNRFErrParam;
        return answer(*NRFGetPluginFunctions(index));
    } catch (const std::exception& e) {
        LUMO_LOG("Unexpected exception in %s() %s", name, e.what());
    } catch (...) {
        LUMO_LOG("Unexpected exception in %s()", name);
    }
    return kNRFErrException;
}

NRFErr callLoader(NRFOperationProc entry, NRFImageInfoRec& record, NRFBitmapBase& bitmap, std::uint32_t size,
                  std::uint32_t requestFlags) {
    if (!entry)
        return kNRFErrNoThumbnail;
    NRFOperationArgs args;
    args.bitmap = &bitmap;
    args.size = size;
    args.requestFlags = requestFlags;
    return entry(NRFGetContext(), record, &args);
}

} // namespace

void NRFInstallThumbnailLoaders(const NRFFileTypeInfo& row, NRFPluginFunctions& functions) {
    if (row.fileType == kNRFTypeJPEG) {
        functions.LoadThumbnail = &jpegLoadThumbnail;
        return;
    }
    if (!(row.capabilities & kNRFCapRawPreview))
        return;
    functions.LoadThumbnail = &genericLoadJpegOrTiffThumbnail;
    functions.LoadFuzzyThumbnail = &genericLoadFuzzyJpegOrTiffThumbnail;
    functions.LoadImage = &genericLoadImage;
    functions.LoadPreview = &genericLoadFuzzyJpegOrTiffThumbnail;
}

NRFErr NRFLoadFileThumbnail(NRFImageInfoRec* record, NRFBitmapBase* bitmap, std::uint32_t size, bool fuzzy) {
    return dispatchLoad("NRFLoadFileThumbnail", record, bitmap, [&](const NRFPluginFunctions& f) -> NRFErr {
        if (!fuzzy)
            return callLoader(f.LoadThumbnail, *record, *bitmap, size, 0);
        // The small preview a maker note points at comes first; a failure forgets it and lets the
        // reader answer with what else it has.
        if (record->m_fuzzyPreview.present()) {
            bitmap->flags = 0;
            const NRFErr result = loadJPEG(*record, record->m_fuzzyPreview, *bitmap, size);
            if (result == 0 || result == 7)
                return finish(*record, *bitmap, result);
            LUMO_LOG("NRFLoadFileThumbnail() failed to load fuzzy preview '%s' with error %d",
                     record->m_path.c_str(), static_cast<int>(result));
            record->m_fuzzyPreview = NRFEmbeddedImageLoc{};
        }
        return callLoader(f.LoadFuzzyThumbnail, *record, *bitmap, size, kNRFLoadAllowEmbedded);
    });
}

NRFErr NRFLoadFilePreview(NRFImageInfoRec* record, NRFBitmapBase* bitmap, std::uint32_t size,
                          std::uint32_t requestFlags) {
    return dispatchLoad("NRFLoadFilePreview", record, bitmap, [&](const NRFPluginFunctions& f) {
        return callLoader(f.LoadPreview, *record, *bitmap, size, requestFlags);
    });
}

NRFErr NRFLoadFileAsBitmap(NRFImageInfoRec* record, NRFBitmapBase* bitmap, std::uint32_t size) {
    return dispatchLoad("NRFLoadFileAsBitmap", record, bitmap, [&](const NRFPluginFunctions& f) {
        return callLoader(f.LoadImage, *record, *bitmap, size, kNRFLoadAllowEmbedded);
    });
}
