// The loaders of the still formats whose own pixels are the picture: JPEG, TIFF, Photoshop, Windows
// Bitmap, GIF and PNG, and EPS files through their TIFF preview. A thumbnail is the file's embedded one
// (JPEG EXIF thumbnail, TIFF IFD1, Photoshop resource, EPS preview); a preview or a full image is the
// file decoded at the smallest scale that still covers the wanted size, unless an embedded image covers
// it already. Every result is turned upright by the record's rotation code.

#include "NRF/NRF.h"
#include "NRF/NRFBasicJPEG.h"
#include "NRF/NRFBitmapBase.h"
#include "NRF/NRFDecode.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFPSD.h"
#include "NRF/NRFResample.h"
#include "NRF/NRFThumbnails.h"
#include "app/LumoLog.h"
#include "support/FileIO.h"

#include <algorithm>
#include <utility>

namespace {

using Decoder = NRFErr (*)(NRFByteSource&, const NRFDecodeOptions&, NRFBitmapBase&);

bool isType(const NRFImageInfoRec& record, const char* code) {
    return record.m_fileType == NRFMakeFileType(code);
}

// The decoder of the file's own pixels; null for JPEG (decoded through its own path) and EPS.
Decoder decoderFor(NRFFileType type) {
    if (type == kNRFTypeTIFF)
        return &NRFDecodeTIFF;
    if (type == NRFMakeFileType("PNGf"))
        return &NRFDecodePNG;
    if (type == NRFMakeFileType("GIFf"))
        return &NRFDecodeGIF;
    if (type == NRFMakeFileType("WBMP"))
        return &NRFDecodeBMP;
    if (type == NRFMakeFileType("APSD"))
        return &NRFDecodePSD;
    return nullptr;
}

// Opens the file and runs `decode` over it, or over the part [offset, offset + length) when length is
// not 0. Whole files are read as they are decoded, outside the engine's embedded-image lock: the lock
// keeps small embedded reads from interleaving, a full decode would hold it for seconds.
NRFErr decodeFromFile(const std::string& path, Decoder decode, std::uint64_t offset, std::uint64_t length,
                      std::uint32_t size, NRFBitmapBase& out) {
    lumo::File file;
    if (file.open(path, lumo::File::Mode::Read) != 0) {
        LUMO_LOG("NRFLoadStillImage failed to open '%s' for reading", path.c_str());
        return kNRFErrOpen;
    }
    NRFFileByteSource whole(file);
    NRFDecodeOptions options;
    options.size = size;
    if (length == 0)
        return decode(whole, options, out);
    NRFWindowByteSource part(whole, offset, length);
    return decode(part, options, out);
}

// The file's own pixels at `size` (0: full size), not yet turned.
NRFErr decodeOwnPixels(const NRFImageInfoRec& record, std::uint32_t size, NRFBitmapBase& out) {
    if (record.m_fileType == kNRFTypeJPEG)
        return NRFBasicJPEGLoadImage(record.m_path, record.m_jpegSOIPos, 0, out, size);
    if (isType(record, "EPSF")) {
        if (!record.m_thumbnail.present())
            return kNRFErrNoThumbnail;
        return decodeFromFile(record.m_path, &NRFDecodeTIFF, record.m_thumbnail.offset,
                              record.m_thumbnail.length, size, out);
    }
    const Decoder decode = decoderFor(record.m_fileType);
    if (!decode)
        return kNRFErrNoThumbnail;
    return decodeFromFile(record.m_path, decode, 0, 0, size, out);
}

// Photoshop files before version 5 stored their resource thumbnail in blue, green, red order.
void swapRedAndBlue(NRFBitmapBase& bitmap) {
    if (bitmap.Channels() != 3)
        return;
    for (std::uint32_t y = 0; y < bitmap.Height(); ++y) {
        std::uint8_t* p = bitmap.Row(y);
        for (std::uint32_t x = 0; x < bitmap.Width(); ++x, p += 3)
            std::swap(p[0], p[2]);
    }
}

bool hasEmbeddedThumbnail(const NRFImageInfoRec& record) {
    const NRFEmbeddedImageLoc& strip = record.m_stripThumbnail;
    return record.m_thumbnail.present() || (strip.present() && strip.width != 0 && strip.height != 0);
}

// The embedded thumbnail at `size`, not yet turned. 13 when there is none; a thumbnail that fails to
// decode (other than for memory) is forgotten so that it is not tried again.
NRFErr loadEmbeddedThumbnail(NRFImageInfoRec& record, std::uint32_t size, NRFBitmapBase& out) {
    if (isType(record, "EPSF")) {
        if (!record.m_thumbnail.present())
            return kNRFErrNoThumbnail;
        const NRFErr result = decodeOwnPixels(record, size, out);
        if (result != kNRFErrNone && result != kNRFErrMemory && result != kNRFErrOpen) {
            LUMO_LOG("NRFPluginGenericLoadJpegOrTiffThumbnail() failed to load '%s' with error %d",
                     record.m_path.c_str(), static_cast<int>(result));
            record.m_thumbnail = NRFEmbeddedImageLoc{};
        }
        return result;
    }
    if (!hasEmbeddedThumbnail(record))
        return kNRFErrNoThumbnail;
    const NRFErr result = NRFLoadEmbeddedThumbnailAsStored(record, size, out);
    if (result != kNRFErrNone)
        return result;
    if (isType(record, "APSD")) {
        const auto* info = dynamic_cast<const PSDPluginPrivateInfo*>(record.m_privateInfo.get());
        if (info && info->m_thumbnailIsBGR)
            swapRedAndBlue(out);
    }
    return kNRFErrNone;
}

NRFErr turnUpright(const NRFImageInfoRec& record, NRFBitmapBase& bitmap, NRFErr result) {
    if (result != kNRFErrNone) {
        bitmap.Clear();
        return result;
    }
    const int code = record.m_orientation;
    if (code > 0 && code < 8 && !bitmap.Rotate(code)) {
        bitmap.Clear();
        return kNRFErrMemory;
    }
    return kNRFErrNone;
}

// LoadThumbnail: the embedded thumbnail only (13 when the file has none).
NRFErr stillLoadThumbnail(NRFContext&, NRFImageInfoRec& record, NRFOperationArgs* args) {
    if (!args || !args->bitmap)
        return kNRFErrParam;
    NRFBitmapBase& bitmap = *args->bitmap;
    bitmap.flags = 0;
    return turnUpright(record, bitmap, loadEmbeddedThumbnail(record, args->size, bitmap));
}

// LoadPreview and LoadFuzzyThumbnail: an embedded image when it covers the wanted size, else the file's
// pixels decoded at that size.
NRFErr stillLoadPreview(NRFContext&, NRFImageInfoRec& record, NRFOperationArgs* args) {
    if (!args || !args->bitmap)
        return kNRFErrParam;
    NRFBitmapBase& bitmap = *args->bitmap;
    bitmap.flags = 0;
    const std::uint32_t size = args->size;
    if (size != 0 && !isType(record, "EPSF")) {
        const NRFEmbeddedImageLoc& candidate =
            record.m_previewIsJPEG && record.m_preview.present() ? record.m_preview : record.m_thumbnail;
        const std::uint32_t longSide = std::max(candidate.width, candidate.height);
        // A thumbnail with bands (160 x 120 of a 3:2 picture) is not the picture.
        if (candidate.present() && longSide >= size &&
            NRFSimilarProportions(candidate.width, candidate.height, record.m_width, record.m_height)) {
            NRFErr result = kNRFErrNoThumbnail;
            if (&candidate == &record.m_preview) {
                result =
                    NRFBasicJPEGLoadImage(record.m_path, candidate.offset, candidate.length, bitmap, size);
                if (result != kNRFErrNone && result != kNRFErrMemory)
                    record.m_preview = NRFEmbeddedImageLoc{};
            } else {
                result = loadEmbeddedThumbnail(record, size, bitmap);
            }
            if (result == kNRFErrNone || result == kNRFErrMemory)
                return turnUpright(record, bitmap, result);
        }
    }
    const NRFErr result = decodeOwnPixels(record, size, bitmap);
    if (result != kNRFErrNone && result != kNRFErrMemory)
        LUMO_LOG("NRFLoadStillImage failed to decode '%s' with error %d", record.m_path.c_str(),
                 static_cast<int>(result));
    return turnUpright(record, bitmap, result);
}

// LoadImage: the file's pixels at the wanted size (0: full size).
NRFErr stillLoadImage(NRFContext&, NRFImageInfoRec& record, NRFOperationArgs* args) {
    if (!args || !args->bitmap)
        return kNRFErrParam;
    NRFBitmapBase& bitmap = *args->bitmap;
    bitmap.flags = 0;
    const NRFErr result = decodeOwnPixels(record, args->size, bitmap);
    if (result != kNRFErrNone && result != kNRFErrMemory)
        LUMO_LOG("NRFLoadStillImage failed to decode '%s' with error %d", record.m_path.c_str(),
                 static_cast<int>(result));
    return turnUpright(record, bitmap, result);
}

} // namespace

void NRFInstallStillLoaders(const NRFFileTypeInfo& row, NRFPluginFunctions& functions) {
    const NRFFileType type = row.fileType;
    if (type == kNRFTypeJPEG) {
        // LoadThumbnail stays the JPEG reader's own.
        functions.LoadFuzzyThumbnail = &stillLoadPreview;
        functions.LoadPreview = &stillLoadPreview;
        functions.LoadImage = &stillLoadImage;
        return;
    }
    if (type == NRFMakeFileType("EPSF")) {
        // Never rendered: the TIFF preview is all there is to show.
        functions.LoadThumbnail = &stillLoadThumbnail;
        functions.LoadFuzzyThumbnail = &stillLoadPreview;
        functions.LoadPreview = &stillLoadPreview;
        return;
    }
    if (!decoderFor(type))
        return;
    functions.LoadThumbnail = &stillLoadThumbnail;
    functions.LoadFuzzyThumbnail = &stillLoadPreview;
    functions.LoadPreview = &stillLoadPreview;
    functions.LoadImage = &stillLoadImage;
}
