#pragma once

// Pixel decoders of the still formats that carry no embedded image good enough to show: TIFF (through
// the TIFF library), PNG (through libpng), GIF, Windows Bitmap and the merged image of Photoshop files.
// Each reads its file through a byte source, trusts no size or offset in it, and hands back 8-bit grey
// or RGB pixels in the order the file stores them (the caller turns them by the record's rotation
// code). Alpha is laid over white.
//
// Scaled decoding: with a wanted size the decoders average whole boxes of source pixels while the rows
// arrive (NRFRowReducer), so a thumbnail of a large image never holds the full image in memory. The
// result's long side is then the smallest box reduction that is still at least the wanted size (or
// the full size when that is smaller); the caller scales the rest of the way (NRFBitmapBase::ScaleToFit).
//
// Results: 0; 3 a variant the decoder does not handle (bit depth, colour mode, compression); 5 a read
// of the source failed; 7 out of memory, or more source pixels than the options allow; 9 the data is
// malformed or ends early.

#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFBitmapBase.h"
#include "NRF/NRFPlugin.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr std::uint64_t kNRFDecodeMaxPixels = std::uint64_t{1} << 30;

// The memory one decode may hold, in bytes: the "DecodeMemoryLimit" preference (MiB), read when the
// readers are loaded, or on first use when they never were. Every decoder answers 7 before it
// allocates anything large when what it must hold at once (the full image where it cannot stream, the
// libraries' own buffers, the reduced output) would exceed it; decoders that stream rows hold only a
// few rows and the reduced output, so they decode images of any size.
std::uint64_t NRFDecodeMemoryLimit();
// Sets the limit for the rest of the process (tests; a changed preference).
void NRFSetDecodeMemoryLimit(std::uint64_t bytes);
// Reads the preference again (when the preferences are open) and sets the limit from it.
void NRFReadDecodeMemoryLimit();

// More corrupt-data warnings than this from a decoding library stop the decode with 9: a file that
// damaged shows nothing worth the time, and some damage makes the libraries repeat work per warning.
inline constexpr int kNRFDecodeMaxWarnings = 20;

struct NRFDecodeOptions {
    std::uint32_t size = 0;                          // the wanted long side; 0 for the full size
    std::uint64_t maxPixels = kNRFDecodeMaxPixels;   // larger images are refused with 7
    std::uint64_t maxBytes = NRFDecodeMemoryLimit(); // see NRFDecodeMemoryLimit
};

// 0 when a decode holding `bytes` at once fits `maxBytes`; else logs "<name>() needs <n> MiB, more than
// the limit of <m> MiB" and answers 7.
NRFErr NRFCheckDecodeMemory(const char* name, std::uint64_t bytes, std::uint64_t maxBytes);
// The bytes a decode to NRFRowReducer holds: the reduced bitmap and the reducer's column sums.
std::uint64_t NRFReducedBytes(std::uint32_t width, std::uint32_t height, int channels, std::uint32_t factor);

NRFErr NRFDecodeTIFF(NRFByteSource& source, const NRFDecodeOptions& options, NRFBitmapBase& out);
NRFErr NRFDecodePNG(NRFByteSource& source, const NRFDecodeOptions& options, NRFBitmapBase& out);
// The first image, placed on the logical screen (white where it does not cover the screen or is
// transparent); a screen of 0 x 0 takes the first image's size.
NRFErr NRFDecodeGIF(NRFByteSource& source, const NRFDecodeOptions& options, NRFBitmapBase& out);
NRFErr NRFDecodeBMP(NRFByteSource& source, const NRFDecodeOptions& options, NRFBitmapBase& out);
// The merged (flattened) image that Photoshop stores after the layers.
NRFErr NRFDecodePSD(NRFByteSource& source, const NRFDecodeOptions& options, NRFBitmapBase& out);

// Installs the TIFF library's warning and error handlers, which send its messages to the log instead
// of the standard error stream. The TIFF reader's Initialize calls it; calling it again does no harm.
void NRFTIFFInstallLibraryHandlers();

// Encoders for saving bitmaps, into memory (the caller writes the file through a temporary name).
// They write options.dpi as the resolution when it is above 0 and embed options.iccProfile when it is
// not empty. 0, 7, or 9 when the library refuses.
NRFErr NRFEncodeTIFF(const NRFBitmapBase& bitmap, const NRFSaveOptions& options, std::string& out);
NRFErr NRFEncodePSD(const NRFBitmapBase& bitmap, const NRFSaveOptions& options, std::string& out);

// Runs a decoder's body: `out` is emptied when it fails, and running out of memory (std::bad_alloc from
// a buffer) answers 7, logged with the decoder's name.
NRFErr NRFRunDecoder(const char* name, NRFBitmapBase& out,
                     NRFErr (*body)(NRFByteSource&, const NRFDecodeOptions&, NRFBitmapBase&),
                     NRFByteSource& source, const NRFDecodeOptions& options);

// The largest whole factor by which a width x height image can be reduced with its long side still at
// least `size` (1 when `size` is 0 or not smaller than the long side).
std::uint32_t NRFReductionFactor(std::uint32_t width, std::uint32_t height, std::uint32_t size);

// Builds a bitmap from source rows that arrive top to bottom, averaging boxes of factor x factor source
// pixels (the boxes at the right and bottom edges hold what is left). With factor 1 the rows are
// copied as they are.
class NRFRowReducer {
public:
    // Allocates `out` as ceil(width / factor) x ceil(height / factor) with `channels` (1 or 3)
    // channels. 0, or 7 when the memory cannot be had.
    NRFErr Start(std::uint32_t width, std::uint32_t height, int channels, std::uint32_t factor,
                 NRFBitmapBase& out);
    // The next source row: width x channels bytes. Rows past the last are ignored.
    void AddRow(const std::uint8_t* row);
    // Rows received so far.
    std::uint32_t RowsDone() const { return m_rowsDone; }
    // Flushes a partly filled last box row; true when every source row arrived.
    bool Finish();

private:
    void flush();

    NRFBitmapBase* m_out = nullptr;
    std::uint32_t m_width = 0, m_height = 0, m_factor = 1, m_rowsDone = 0, m_rowsInBox = 0;
    int m_channels = 0;
    std::vector<std::uint32_t> m_sums; // per source column and channel, over the rows of the box row
};
