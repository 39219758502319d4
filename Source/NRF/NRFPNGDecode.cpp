// PNG pixels through libpng. The file is read front to back through a read callback over the byte
// source; libpng expands palettes, low-bit grey and tRNS transparency to 8-bit samples and scales 16-bit
// samples down, and alpha is laid over white here. Grey stays one channel. Gamma and colour chunks are
// not applied: the samples are passed on as stored, as the other decoders do.
//
// libpng reports errors by longjmp. Every call into it that may fail is made from a small function that
// does the setjmp and keeps only raw pointers and plain values live, so no destructor is ever skipped;
// the handles and buffers are owned by the caller, whose frame the jump never crosses.

#include "NRF/NRFDecode.h"
#include "app/LumoLog.h"

#include <png.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace {

constexpr std::uint32_t kMaxSide = std::uint32_t{1} << 20;
constexpr png_alloc_size_t kMaxChunk = png_alloc_size_t{8} << 20; // ancillary chunks held in memory
constexpr png_uint_32 kMaxCachedChunks = 128;                     // ancillary chunks kept at all
// A deflate stream never inflates to more than 1032 times its size (a match of 258 bytes costs at
// least two bits); the slack covers the framing of a very small file.
constexpr std::uint64_t kMaxInflateRatio = 1032;
constexpr std::uint64_t kInflateSlack = std::uint64_t{1} << 16;

// What the callbacks learn while libpng runs; read back after a jump.
struct PngState {
    NRFByteSource* source = nullptr;
    std::uint64_t pos = 0;
    bool cut = false;        // the file ended inside a read
    bool readFailed = false; // the source could not be read
    bool outOfMemory = false;
    int warnings = 0;
    char message[160] = {};
};

// The transformed image as libpng will deliver it.
struct PngHeader {
    std::uint32_t width = 0, height = 0;
    int channels = 0; // 1 grey, 2 grey + alpha, 3 RGB, 4 RGBA
    int bitDepth = 0;
    bool interlaced = false;
    std::size_t rowBytes = 0;
};

PngState* stateOf(png_structp png) {
    return static_cast<PngState*>(png_get_error_ptr(png));
}

void readCallback(png_structp png, png_bytep data, png_size_t length) {
    auto* state = static_cast<PngState*>(png_get_io_ptr(png));
    const std::uint64_t size = state->source->Size();
    if (state->pos > size || length > size - state->pos) {
        state->cut = true;
        png_error(png, "the file ends early");
    }
    if (!state->source->ReadAt(state->pos, data, length)) {
        state->readFailed = true;
        png_error(png, "the file cannot be read");
    }
    state->pos += length;
}

[[noreturn]] void errorCallback(png_structp png, png_const_charp message) {
    PngState* state = stateOf(png);
    if (state && message)
        std::snprintf(state->message, sizeof state->message, "%s", message);
    png_longjmp(png, 1);
}

// One line per file at most: damaged ancillary chunks are common and say little. Benign errors come
// here too; past kNRFDecodeMaxWarnings the file is given up.
void warningCallback(png_structp png, png_const_charp message) {
    PngState* state = stateOf(png);
    if (!state)
        return;
    if (++state->warnings == 1)
        LUMO_LOG("NRFDecodePNG() warning: %s", message ? message : "");
    if (state->warnings > kNRFDecodeMaxWarnings)
        png_error(png, "too many warnings");
}

png_voidp mallocCallback(png_structp png, png_alloc_size_t size) {
    void* p = std::malloc(size);
    if (!p) {
        if (auto* state = static_cast<PngState*>(png_get_mem_ptr(png)))
            state->outOfMemory = true;
    }
    return p;
}

void freeCallback(png_structp, png_voidp p) {
    std::free(p);
}

// Owns libpng's structures; its frame is never crossed by a jump.
struct PngHandles {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~PngHandles() {
        if (png)
            png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
    }
};

// Reads the header and sets the transforms. 0, or 1 after a libpng error.
int startRead(png_structp png, png_infop info, PngHeader* header) {
    if (setjmp(png_jmpbuf(png)))
        return 1;
    png_set_user_limits(png, kMaxSide, kMaxSide);
    png_set_chunk_cache_max(png, kMaxCachedChunks);
    png_set_chunk_malloc_max(png, kMaxChunk);
    // Text, colour and other ancillary chunks are passed over unparsed (tRNS is kept): the pixels do
    // not need them, and a compressed text chunk could cost far more than the image.
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, nullptr, -1);
    png_read_info(png, info);
    png_set_expand(png);
    png_set_scale_16(png);
    header->interlaced = png_set_interlace_handling(png) > 1;
    png_read_update_info(png, info);
    header->width = png_get_image_width(png, info);
    header->height = png_get_image_height(png, info);
    header->channels = png_get_channels(png, info);
    header->bitDepth = png_get_bit_depth(png, info);
    header->rowBytes = png_get_rowbytes(png, info);
    return 0;
}

// Lays alpha over white and drops it: 2 -> 1 and 4 -> 3 channels; 1 and 3 are copied.
void composeRow(const std::uint8_t* in, std::uint32_t width, int channels, std::uint8_t* out) {
    const auto over = [](unsigned v, unsigned a) {
        return static_cast<std::uint8_t>((v * a + 255u * (255u - a) + 127u) / 255u);
    };
    if (channels == 1 || channels == 3) {
        std::memcpy(out, in, std::size_t{width} * static_cast<std::size_t>(channels));
    } else if (channels == 2) {
        for (std::uint32_t x = 0; x < width; ++x, in += 2)
            out[x] = over(in[0], in[1]);
    } else {
        for (std::uint32_t x = 0; x < width; ++x, in += 4, out += 3) {
            out[0] = over(in[0], in[3]);
            out[1] = over(in[1], in[3]);
            out[2] = over(in[2], in[3]);
        }
    }
}

// Streams the rows of a non-interlaced image into the reducer. 0, or 1 after a libpng error.
int readRows(png_structp png, const PngHeader* header, std::uint8_t* row, std::uint8_t* composed,
             NRFRowReducer* reducer) {
    if (setjmp(png_jmpbuf(png)))
        return 1;
    for (std::uint32_t y = 0; y < header->height; ++y) {
        png_read_row(png, row, nullptr);
        composeRow(row, header->width, header->channels, composed);
        reducer->AddRow(composed);
    }
    return 0;
}

// Reads every pass of an interlaced image into `rows`. 0, or 1 after a libpng error.
int readImage(png_structp png, png_bytepp rows) {
    if (setjmp(png_jmpbuf(png)))
        return 1;
    png_read_image(png, rows);
    return 0;
}

NRFErr failure(const PngState& state, const char* stage) {
    LUMO_LOG("NRFDecodePNG() %s: %s", stage, state.message);
    if (state.outOfMemory)
        return 7;
    if (state.readFailed)
        return 5;
    return 9;
}

// The IHDR chunk, so that an image beyond the limits is refused before libpng reads on: too many
// pixels (7), or more image data than the file's bytes can inflate to (9: the decode would fail at the
// end of the file anyway, after the whole work).
NRFErr checkDeclaredSize(NRFByteSource& source, const NRFDecodeOptions& options) {
    unsigned char head[26];
    if (source.Size() < sizeof head || !source.ReadAt(0, head, sizeof head) ||
        std::memcmp(head + 12, "IHDR", 4) != 0)
        return 0; // libpng reports what is wrong
    const auto be32 = [](const unsigned char* p) {
        return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
    };
    const std::uint32_t width = be32(head + 16), height = be32(head + 20);
    if (width > kMaxSide || height > kMaxSide || std::uint64_t{width} * height > options.maxPixels) {
        LUMO_LOG("NRFDecodePNG() image of %u x %u pixels is too large", width, height);
        return 7;
    }
    const unsigned depth = head[24], colourType = head[25];
    const unsigned samples = colourType == 2 ? 3 : colourType == 4 ? 2 : colourType == 6 ? 4 : 1;
    // The filtered rows of a straight image; an interlaced one holds a little more.
    const std::uint64_t rowBytes = (std::uint64_t{width} * samples * depth + 7) / 8 + 1;
    if (rowBytes * height > source.Size() * kMaxInflateRatio + kInflateSlack) {
        LUMO_LOG("NRFDecodePNG() %llu bytes cannot hold an image of %u x %u pixels",
                 static_cast<unsigned long long>(source.Size()), width, height);
        return 9;
    }
    return 0;
}

NRFErr decode(NRFByteSource& source, const NRFDecodeOptions& options, NRFBitmapBase& out) {
    if (NRFErr err = checkDeclaredSize(source, options))
        return err;
    PngState state;
    state.source = &source;
    PngHandles handles;
    handles.png = png_create_read_struct_2(PNG_LIBPNG_VER_STRING, &state, errorCallback, warningCallback,
                                           &state, mallocCallback, freeCallback);
    if (!handles.png)
        return 7;
    handles.info = png_create_info_struct(handles.png);
    if (!handles.info)
        return 7;
    png_set_read_fn(handles.png, &state, readCallback);

    PngHeader header;
    if (startRead(handles.png, handles.info, &header) != 0)
        return failure(state, "header");
    if (header.bitDepth != 8 || header.channels < 1 || header.channels > 4 ||
        header.rowBytes < std::size_t{header.width} * static_cast<std::size_t>(header.channels))
        return 3;
    if (header.width > kMaxSide || header.height > kMaxSide ||
        std::uint64_t{header.width} * header.height > options.maxPixels)
        return 7;

    const int outChannels = header.channels <= 2 ? 1 : 3;
    const std::uint32_t factor = NRFReductionFactor(header.width, header.height, options.size);
    // Held at once: the reduced image, a composed row, and a row as libpng gives it, or for an
    // interlaced image every row with its pointer.
    std::uint64_t held = NRFReducedBytes(header.width, header.height, outChannels, factor) +
                         std::uint64_t{header.width} * static_cast<unsigned>(outChannels);
    held += header.interlaced ? (std::uint64_t{header.rowBytes} + sizeof(png_bytep)) * header.height
                              : std::uint64_t{header.rowBytes};
    if (NRFErr err = NRFCheckDecodeMemory("NRFDecodePNG", held, options.maxBytes))
        return err;
    NRFRowReducer reducer;
    if (NRFErr err = reducer.Start(header.width, header.height, outChannels, factor, out))
        return err;
    std::vector<std::uint8_t> composed(std::size_t{header.width} * static_cast<std::size_t>(outChannels));

    if (!header.interlaced) {
        std::vector<std::uint8_t> row(header.rowBytes);
        if (readRows(handles.png, &header, row.data(), composed.data(), &reducer) != 0) {
            out.Clear();
            return failure(state, "rows");
        }
    } else {
        // Every pass adds to every part of the image: the whole image is held, within maxPixels.
        std::vector<std::uint8_t> image(header.rowBytes * header.height);
        std::vector<png_bytep> rows(header.height);
        for (std::uint32_t y = 0; y < header.height; ++y)
            rows[y] = image.data() + header.rowBytes * y;
        if (readImage(handles.png, rows.data()) != 0) {
            out.Clear();
            return failure(state, "image");
        }
        for (std::uint32_t y = 0; y < header.height; ++y) {
            composeRow(rows[y], header.width, header.channels, composed.data());
            reducer.AddRow(composed.data());
        }
    }
    reducer.Finish();
    return 0;
}

} // namespace

NRFErr NRFDecodePNG(NRFByteSource& source, const NRFDecodeOptions& options, NRFBitmapBase& out) {
    return NRFRunDecoder("NRFDecodePNG", out, &decode, source, options);
}
