// TIFF pixels through the TIFF library: decoding the main image of a file in bands of rows, encoding a
// bitmap as an LZW-compressed TIFF in memory, and the library's message handlers.

#include "NRF/NRFDecode.h"
#include "app/LumoLog.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

namespace {

// The library's own allocations (strip buffers, tag arrays) are capped at this, at eight bytes per
// allowed pixel, or at half the memory limit, whichever is smallest; a file that declares more is
// refused by the library.
constexpr tmsize_t kMaxLibraryAlloc = tmsize_t{1} << 30;
// The RGBA band handed to the library stays about this size.
constexpr std::size_t kBandBytes = std::size_t{8} << 20;
// A single strip up to this size is decoded as one band (the library would otherwise decode it again
// from its start for every band).
constexpr std::uint64_t kTallStripBytes = std::uint64_t{128} << 20;
// Directories looked at for the main image.
constexpr int kMaxDirectories = 16;

// ---- The library's messages ---------------------------------------------------------------------

void warningHandler(const char* module, const char* fmt, va_list args) {
    char message[1024];
    std::vsnprintf(message, sizeof message, fmt, args);
    LUMO_LOG("TIFF library warning: %s: %s", module ? module : "", message);
}

void errorHandler(const char* module, const char* fmt, va_list args) {
    char message[1024];
    std::vsnprintf(message, sizeof message, fmt, args);
    LUMO_LOG("TIFF library error: %s: %s", module ? module : "", message);
}

// The same for one open file, so that a decode logs its messages even where the process-wide
// handlers were never installed; 1 tells the library the message is handled. A decode passes its
// warning count, and gives up past kNRFDecodeMaxWarnings.
int openWarningHandler(TIFF*, void* count, const char* module, const char* fmt, va_list args) {
    if (count)
        ++*static_cast<int*>(count);
    warningHandler(module, fmt, args);
    return 1;
}

int openErrorHandler(TIFF*, void*, const char* module, const char* fmt, va_list args) {
    errorHandler(module, fmt, args);
    return 1;
}

// ---- Reading through a byte source --------------------------------------------------------------

struct ReadHandle {
    NRFByteSource* source = nullptr;
    std::uint64_t pos = 0;
    bool readFailed = false; // a read inside the source failed (not merely past its end)
};

tmsize_t readProc(thandle_t h, void* buffer, tmsize_t size) {
    auto* handle = static_cast<ReadHandle*>(h);
    const std::uint64_t total = handle->source->Size();
    if (size <= 0 || handle->pos >= total)
        return 0;
    const std::uint64_t n = std::min<std::uint64_t>(static_cast<std::uint64_t>(size), total - handle->pos);
    bool ok = false;
    try {
        ok = handle->source->ReadAt(handle->pos, buffer, static_cast<std::size_t>(n));
    } catch (...) {
        ok = false;
    }
    if (!ok) {
        handle->readFailed = true;
        return -1;
    }
    handle->pos += n;
    return static_cast<tmsize_t>(n);
}

tmsize_t noWriteProc(thandle_t, void*, tmsize_t) {
    return -1;
}

toff_t readSeekProc(thandle_t h, toff_t offset, int whence) {
    auto* handle = static_cast<ReadHandle*>(h);
    std::uint64_t base = 0;
    if (whence == SEEK_CUR)
        base = handle->pos;
    else if (whence == SEEK_END)
        base = handle->source->Size();
    if (offset > std::numeric_limits<std::uint64_t>::max() - base)
        return static_cast<toff_t>(-1);
    handle->pos = base + offset;
    return handle->pos;
}

toff_t readSizeProc(thandle_t h) {
    return static_cast<ReadHandle*>(h)->source->Size();
}

int closeProc(thandle_t) {
    return 0;
}

int noMapProc(thandle_t, void**, toff_t*) {
    return 0;
}

void noUnmapProc(thandle_t, void*, toff_t) {}

// Owns an open TIFF, its open options and the raw tile buffer lent to it (freed after the TIFF).
struct TiffCloser {
    TIFF* tif = nullptr;
    TIFFOpenOptions* opts = nullptr;
    std::vector<std::uint8_t> rawTileBuffer;
    int warnings = 0;
    bool tooManyWarnings() const { return warnings > kNRFDecodeMaxWarnings; }
    ~TiffCloser() {
        if (tif)
            TIFFClose(tif);
        if (opts)
            TIFFOpenOptionsFree(opts);
    }
};

// Owns a started TIFFRGBAImage.
struct RGBAImageEnder {
    TIFFRGBAImage* img = nullptr;
    ~RGBAImageEnder() {
        if (img)
            TIFFRGBAImageEnd(img);
    }
};

// Moves to the main image: the first directory (of the first few) that is not marked as a reduced
// resolution copy of another, else directory 0. False when no directory can be read.
bool selectMainImage(TIFF* tif) {
    for (int dir = 0; dir < kMaxDirectories; ++dir) {
        if (dir > 0 && !TIFFReadDirectory(tif))
            break;
        std::uint32_t subfileType = 0;
        if (!TIFFGetField(tif, TIFFTAG_SUBFILETYPE, &subfileType) || !(subfileType & FILETYPE_REDUCEDIMAGE))
            return true;
    }
    return TIFFSetDirectory(tif, 0) != 0;
}

// One raster pixel (ABGR as the library packs it) over white. The library hands back RGB with
// premultiplied alpha (it multiplies unassociated alpha itself); grey with unassociated alpha it
// leaves unmultiplied.
inline std::uint8_t overWhite(std::uint32_t c, std::uint32_t a, bool premultiplied) {
    if (a == 255)
        return static_cast<std::uint8_t>(c);
    if (premultiplied)
        return static_cast<std::uint8_t>(std::min<std::uint32_t>(255, c + (255 - a)));
    return static_cast<std::uint8_t>((c * a + 255 * (255 - a) + 127) / 255);
}

// The library (4.5.0) refuses an uncompressed tile unless its own raw buffer is exactly a tile long,
// but sizes that buffer in whole KiB when it makes it; a buffer of the exact size is lent to it
// instead. A tile stored longer than a tile then fails as damaged, as it should.
bool lendRawTileBuffer(TiffCloser& owner, std::uint64_t maxBytes) {
    TIFF* tif = owner.tif;
    std::uint16_t compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    if (!TIFFIsTiled(tif) || compression != COMPRESSION_NONE)
        return true;
    const std::uint64_t tileSize = TIFFTileSize64(tif);
    if (tileSize == 0 || tileSize % 1024 == 0 || tileSize > maxBytes)
        return true;
    try {
        owner.rawTileBuffer.assign(static_cast<std::size_t>(tileSize), 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return TIFFReadBufferSetup(tif, owner.rawTileBuffer.data(), static_cast<tmsize_t>(tileSize)) != 0;
}

// Strips of 8- or 16-bit grey or RGB samples stored pixel by pixel, with the common compressions: read one
// scanline at a time, which the library decodes as it goes, so a tall compressed strip (a whole image
// in one strip is common) is decoded once and only a row is held. Answers false when the image is not
// of that kind (the general path takes it); `result` is then untouched.
bool decodeScanlines(const TiffCloser& owner, std::uint32_t width, std::uint32_t height,
                     const NRFDecodeOptions& options, NRFBitmapBase& out, NRFErr& result) {
    TIFF* tif = owner.tif;
    std::uint16_t bits = 0, samples = 0, planar = 0, photometric = 0, compression = 0, format = 0;
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric))
        return false;
    if (TIFFIsTiled(tif) || (bits != 8 && bits != 16) || planar != PLANARCONFIG_CONTIG ||
        format != SAMPLEFORMAT_UINT)
        return false;
    switch (compression) {
    case COMPRESSION_NONE:
    case COMPRESSION_LZW:
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE:
    case COMPRESSION_PACKBITS:
        break;
    default:
        return false;
    }
    const int colours = photometric == PHOTOMETRIC_MINISBLACK ? 1 : photometric == PHOTOMETRIC_RGB ? 3 : 0;
    if (colours == 0 || samples < colours || samples > colours + 1)
        return false;
    // A fourth (or second) sample is used only when it is declared alpha.
    int alpha = 0; // 0 none, 1 associated, 2 unassociated
    if (samples == colours + 1) {
        std::uint16_t count = 0;
        std::uint16_t* kinds = nullptr;
        if (TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &count, &kinds) && count == 1 && kinds)
            alpha = kinds[0] == EXTRASAMPLE_ASSOCALPHA ? 1 : kinds[0] == EXTRASAMPLE_UNASSALPHA ? 2 : 0;
    }
    const tmsize_t lineSize = TIFFScanlineSize(tif);
    const std::size_t lineSamples = std::size_t{width} * samples;
    if (lineSize != static_cast<tmsize_t>(lineSamples * (bits / 8)))
        return false;
    const std::uint32_t factor = NRFReductionFactor(width, height, options.size);
    // The library's strip buffer is capped by its single-allocation limit; here a line, a row and the
    // reduced image.
    if ((result = NRFCheckDecodeMemory("NRFDecodeTIFF",
                                       static_cast<std::uint64_t>(lineSize) + lineSamples +
                                           NRFReducedBytes(width, height, colours, factor),
                                       options.maxBytes)) != 0)
        return true;
    std::vector<std::uint8_t> line, row;
    try {
        line.resize(static_cast<std::size_t>(lineSize));
        row.resize(std::size_t{width} * static_cast<std::size_t>(colours));
    } catch (const std::bad_alloc&) {
        result = 7;
        return true;
    }
    NRFRowReducer reducer;
    if (const NRFErr err = reducer.Start(width, height, colours, factor, out)) {
        result = err;
        return true;
    }
    for (std::uint32_t y = 0; y < height; ++y) {
        if (TIFFReadScanline(tif, line.data(), y, 0) < 0 || owner.tooManyWarnings()) {
            result = 9;
            return true;
        }
        if (bits == 16) { // the library gives the samples in this machine's order; to 8 bits, rounded
            for (std::size_t i = 0; i < lineSamples; ++i) {
                std::uint16_t wide = 0;
                std::memcpy(&wide, line.data() + 2 * i, 2);
                line[i] = static_cast<std::uint8_t>((std::uint32_t{wide} * 255 + 32767) / 65535);
            }
        }
        if (samples == colours) {
            reducer.AddRow(line.data());
            continue;
        }
        const std::uint8_t* src = line.data();
        std::uint8_t* dst = row.data();
        for (std::uint32_t x = 0; x < width; ++x, src += samples, dst += colours) {
            const std::uint32_t a = src[colours];
            for (int c = 0; c < colours; ++c)
                dst[c] = alpha == 0 ? src[c] : overWhite(src[c], a, alpha == 1);
        }
        reducer.AddRow(row.data());
    }
    result = reducer.Finish() ? 0 : 9;
    return true;
}

NRFErr decodeOpen(TiffCloser& owner, const NRFDecodeOptions& options, std::uint64_t allocCap,
                  NRFBitmapBase& out) {
    TIFF* tif = owner.tif;
    if (!selectMainImage(tif))
        return 9;
    std::uint32_t width = 0, height = 0;
    if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width) || !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height) ||
        width == 0 || height == 0)
        return 9;
    if (std::uint64_t{width} * height > options.maxPixels)
        return 7;
    // Only what the library says about the pixel data counts: unknown tags in the directories read so
    // far are warned about one by one, and many are common in files from scanners and raw converters.
    owner.warnings = 0;
    if (NRFErr result = 0; decodeScanlines(owner, width, height, options, out, result))
        return result;

    char message[1024] = {};
    if (!TIFFRGBAImageOK(tif, message)) {
        LUMO_LOG("NRFDecodeTIFF: %s", message);
        return 3;
    }
    TIFFRGBAImage img;
    std::memset(&img, 0, sizeof img);
    if (!TIFFRGBAImageBegin(&img, tif, 1, message)) {
        LUMO_LOG("NRFDecodeTIFF: %s", message);
        return 3;
    }
    RGBAImageEnder ender{&img};
    owner.warnings = 0;
    // Rows in the order the file stores them: asking for the file's own orientation makes the library
    // flip nothing (every value pairs with itself, and values outside 1..8 are never flipped).
    img.req_orientation = img.orientation;
    width = img.width;
    height = img.height;
    if (width == 0 || height == 0)
        return 9;
    // The library addresses rows with an int.
    if (std::uint64_t{width} * height > options.maxPixels || height > std::numeric_limits<int>::max())
        return 7;

    if (!lendRawTileBuffer(owner, allocCap))
        return 7;

    const bool grey = img.photometric == PHOTOMETRIC_MINISBLACK || img.photometric == PHOTOMETRIC_MINISWHITE;
    const int channels = grey ? 1 : 3;
    const bool premultiplied = !(grey && img.alpha == EXTRASAMPLE_UNASSALPHA);

    // A band is a whole number of strips or tiles high, so that each is decoded once, within the band
    // budget.
    std::uint32_t bandRows = 0;
    if (TIFFIsTiled(tif))
        TIFFGetField(tif, TIFFTAG_TILELENGTH, &bandRows);
    else
        TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &bandRows);
    const std::size_t rowBytes = std::size_t{width} * 4;
    const std::uint32_t budgetRows = static_cast<std::uint32_t>(
        std::min<std::size_t>(height, std::max<std::size_t>(1, kBandBytes / rowBytes)));
    if (bandRows > budgetRows &&
        std::uint64_t{bandRows} * rowBytes <= std::min(kTallStripBytes, options.maxBytes / 4))
        bandRows = std::min(bandRows, height); // one tall strip: decoded once, at the cost of memory
    else if (bandRows == 0 || bandRows > budgetRows)
        bandRows = budgetRows; // a strip taller still is decoded again for each band
    else
        bandRows = budgetRows / bandRows * bandRows;

    const std::uint32_t factor = NRFReductionFactor(width, height, options.size);
    if (const NRFErr err = NRFCheckDecodeMemory(
            "NRFDecodeTIFF",
            std::uint64_t{width} * bandRows * 4 + std::uint64_t{width} * static_cast<unsigned>(channels) +
                owner.rawTileBuffer.size() + NRFReducedBytes(width, height, channels, factor),
            options.maxBytes))
        return err;
    std::vector<std::uint32_t> raster;
    std::vector<std::uint8_t> row;
    try {
        raster.resize(std::size_t{width} * bandRows);
        row.resize(std::size_t{width} * static_cast<std::size_t>(channels));
    } catch (const std::bad_alloc&) {
        return 7;
    }

    NRFRowReducer reducer;
    if (const NRFErr err = reducer.Start(width, height, channels, factor, out))
        return err;

    for (std::uint32_t y = 0; y < height; y += bandRows) {
        const std::uint32_t rows = std::min(bandRows, height - y);
        img.row_offset = static_cast<int>(y);
        img.col_offset = 0;
        if (!TIFFRGBAImageGet(&img, raster.data(), width, rows) || owner.tooManyWarnings()) {
            out.Clear();
            return 9;
        }
        for (std::uint32_t r = 0; r < rows; ++r) {
            const std::uint32_t* src = raster.data() + std::size_t{r} * width;
            std::uint8_t* dst = row.data();
            if (grey) {
                for (std::uint32_t x = 0; x < width; ++x)
                    dst[x] = overWhite(TIFFGetR(src[x]), TIFFGetA(src[x]), premultiplied);
            } else {
                for (std::uint32_t x = 0; x < width; ++x, dst += 3) {
                    const std::uint32_t p = src[x], a = TIFFGetA(p);
                    dst[0] = overWhite(TIFFGetR(p), a, premultiplied);
                    dst[1] = overWhite(TIFFGetG(p), a, premultiplied);
                    dst[2] = overWhite(TIFFGetB(p), a, premultiplied);
                }
            }
            reducer.AddRow(row.data());
        }
    }
    if (!reducer.Finish()) {
        out.Clear();
        return 9;
    }
    return 0;
}

// ---- Writing into memory ------------------------------------------------------------------------

struct WriteHandle {
    std::string* buffer = nullptr;
    std::uint64_t pos = 0;
    bool outOfMemory = false;
};

tmsize_t memReadProc(thandle_t h, void* buffer, tmsize_t size) {
    auto* handle = static_cast<WriteHandle*>(h);
    const std::uint64_t total = handle->buffer->size();
    if (size <= 0 || handle->pos >= total)
        return 0;
    const std::uint64_t n = std::min<std::uint64_t>(static_cast<std::uint64_t>(size), total - handle->pos);
    std::memcpy(buffer, handle->buffer->data() + handle->pos, static_cast<std::size_t>(n));
    handle->pos += n;
    return static_cast<tmsize_t>(n);
}

tmsize_t memWriteProc(thandle_t h, void* buffer, tmsize_t size) {
    auto* handle = static_cast<WriteHandle*>(h);
    if (size <= 0)
        return 0;
    const std::uint64_t n = static_cast<std::uint64_t>(size);
    std::string& out = *handle->buffer;
    try {
        if (handle->pos + n > out.size())
            out.resize(static_cast<std::size_t>(handle->pos + n));
    } catch (const std::bad_alloc&) {
        handle->outOfMemory = true;
        return -1;
    } catch (const std::length_error&) {
        handle->outOfMemory = true;
        return -1;
    }
    std::memcpy(out.data() + handle->pos, buffer, static_cast<std::size_t>(n));
    handle->pos += n;
    return size;
}

toff_t memSeekProc(thandle_t h, toff_t offset, int whence) {
    auto* handle = static_cast<WriteHandle*>(h);
    std::uint64_t base = 0;
    if (whence == SEEK_CUR)
        base = handle->pos;
    else if (whence == SEEK_END)
        base = handle->buffer->size();
    if (offset > std::numeric_limits<std::uint64_t>::max() - base)
        return static_cast<toff_t>(-1);
    handle->pos = base + offset;
    return handle->pos;
}

toff_t memSizeProc(thandle_t h) {
    return static_cast<WriteHandle*>(h)->buffer->size();
}

bool writeImage(TIFF* tif, const NRFBitmapBase& bitmap, const NRFSaveOptions& options) {
    const std::uint32_t width = bitmap.Width(), height = bitmap.Height();
    const int channels = bitmap.Channels();
    const std::size_t stride = bitmap.Stride();
    const std::uint32_t rowsPerStrip =
        static_cast<std::uint32_t>(std::clamp<std::size_t>((64 * 1024) / stride, 1, height));
    bool ok =
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width) && TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height) &&
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8) &&
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, static_cast<std::uint16_t>(channels)) &&
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, channels == 1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB) &&
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW) &&
        TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL) &&
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rowsPerStrip) &&
        TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    if (ok && options.dpi > 0.0) {
        const float dpi = static_cast<float>(options.dpi);
        ok = TIFFSetField(tif, TIFFTAG_XRESOLUTION, dpi) && TIFFSetField(tif, TIFFTAG_YRESOLUTION, dpi) &&
             TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    }
    if (ok && !options.iccProfile.empty()) {
        if (options.iccProfile.size() > std::numeric_limits<std::uint32_t>::max())
            return false;
        ok = TIFFSetField(tif, TIFFTAG_ICCPROFILE, static_cast<std::uint32_t>(options.iccProfile.size()),
                          options.iccProfile.data());
    }
    if (!ok)
        return false;
    // The library's strip writer may modify the bytes it is given (horizontal differencing), so each
    // strip is copied first.
    std::vector<std::uint8_t> strip;
    try {
        strip.resize(stride * rowsPerStrip);
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (std::uint32_t y = 0, index = 0; y < height; y += rowsPerStrip, ++index) {
        const std::uint32_t rows = std::min(rowsPerStrip, height - y);
        for (std::uint32_t r = 0; r < rows; ++r)
            std::memcpy(strip.data() + r * stride, bitmap.Row(y + r), stride);
        if (TIFFWriteEncodedStrip(tif, index, strip.data(), static_cast<tmsize_t>(stride * rows)) < 0)
            return false;
    }
    return TIFFWriteDirectory(tif) != 0;
}

} // namespace

NRFErr NRFDecodeTIFF(NRFByteSource& source, const NRFDecodeOptions& options, NRFBitmapBase& out) {
    out.Clear();
    ReadHandle handle{&source};
    TiffCloser closer;
    closer.opts = TIFFOpenOptionsAlloc();
    if (!closer.opts)
        return 7;
    const std::uint64_t maxLibraryAlloc = static_cast<std::uint64_t>(kMaxLibraryAlloc);
    // No single allocation of the library (a strip, a tile, a tag's values) above eight bytes per
    // allowed pixel, 1 GiB, or half the decode's memory limit.
    const std::uint64_t allocCap = std::max<std::uint64_t>(
        std::min(std::clamp<std::uint64_t>(options.maxPixels, 1 << 16, maxLibraryAlloc / 8) * 8,
                 options.maxBytes / 2),
        1 << 16);
    TIFFOpenOptionsSetMaxSingleMemAlloc(closer.opts, static_cast<tmsize_t>(allocCap));
    TIFFOpenOptionsSetWarningHandlerExtR(closer.opts, openWarningHandler, &closer.warnings);
    TIFFOpenOptionsSetErrorHandlerExtR(closer.opts, openErrorHandler, nullptr);
    closer.tif = TIFFClientOpenExt("NRFDecodeTIFF", "rm", &handle, readProc, noWriteProc, readSeekProc,
                                   closeProc, readSizeProc, noMapProc, noUnmapProc, closer.opts);
    NRFErr err = closer.tif ? decodeOpen(closer, options, allocCap, out) : 9;
    if (err == 9 && handle.readFailed)
        err = 5;
    if (err != 0)
        out.Clear();
    return err;
}

void NRFTIFFInstallLibraryHandlers() {
    TIFFSetWarningHandler(warningHandler);
    TIFFSetErrorHandler(errorHandler);
}

NRFErr NRFEncodeTIFF(const NRFBitmapBase& bitmap, const NRFSaveOptions& options, std::string& out) {
    out.clear();
    if (bitmap.Empty() || (bitmap.Channels() != 1 && bitmap.Channels() != 3))
        return 9;
    std::string buffer;
    WriteHandle handle{&buffer};
    TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
    if (!opts)
        return 7;
    TIFFOpenOptionsSetWarningHandlerExtR(opts, openWarningHandler, nullptr);
    TIFFOpenOptionsSetErrorHandlerExtR(opts, openErrorHandler, nullptr);
    TIFF* tif = TIFFClientOpenExt("NRFEncodeTIFF", "w", &handle, memReadProc, memWriteProc, memSeekProc,
                                  closeProc, memSizeProc, noMapProc, noUnmapProc, opts);
    TIFFOpenOptionsFree(opts);
    if (!tif)
        return handle.outOfMemory ? 7 : 9;
    const bool written = writeImage(tif, bitmap, options);
    TIFFClose(tif); // flushes what is still buffered
    if (handle.outOfMemory)
        return 7;
    if (!written)
        return 9;
    out.swap(buffer);
    return 0;
}
