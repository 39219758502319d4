#pragma once

// JPEG data in and out of bitmaps, through the JPEG library, and the reading of an embedded JPEG from a
// file.

#include "NRF/NRFBitmapBase.h"
#include "NRF/NRFPlugin.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

// Decodes JPEG data from memory. `wantedSize` 0 gives the full size; otherwise the library's DCT scaling
// (1/8 .. 1) is chosen so that the long side is the smallest that is still at least `wantedSize` (never
// more pixels decoded than needed). 0; 7 out of memory; 9 for data the library refuses ("DecompressJPEG
// error loading jpeg from data.", and the library's text as "NRFJPEGErrorExit: %s").
// The decode holds at most NRFDecodeMemoryLimit() bytes (or `maxBytes`): a stream that needs more
// (the output, and the whole image's coefficients for a progressive one) answers 7 before the library
// allocates them. Data far too short for its declared size, more than 500 scans, or more than
// kNRFDecodeMaxWarnings corrupt-data warnings answer 9.
NRFErr NRFDecompressJPEG(const void* data, std::size_t size, std::uint32_t wantedSize, NRFBitmapBase& out);
NRFErr NRFDecompressJPEG(const void* data, std::size_t size, std::uint32_t wantedSize, std::uint64_t maxBytes,
                         NRFBitmapBase& out);
// Encodes a bitmap as a baseline JPEG of the given quality (1..100), chroma subsampled 2 x 2. 0, 7 or 9.
NRFErr NRFCompressJPEG(const NRFBitmapBase& bitmap, int quality, std::string& out);
// Encodes the bitmap as a baseline JPEG with the options (quality clamped to 1..100, subsampling 444,
// 422 or 420, a JFIF density in dots per inch when dpi > 0, the profile in APP2 chunks). 0, 1 for bad
// options or an empty bitmap, 7, or 9 when the library refuses.
NRFErr NRFEncodeJPEG(const NRFBitmapBase& bitmap, const NRFSaveOptions& options, std::string& out);
// Reads `length` bytes at `offset` of the file (0: to its end) under the engine-wide read lock and
// decodes them at `size` as NRFDecompressJPEG does; the decoding runs outside the lock. Failures are
// logged with the texts "NRFBasicJPEGLoadImage filesize for '%s' is zero", "... failed to open '%s' for
// reading", "... failed to seek to offset %lu in file '%s'", "... failed to allocate %lu bytes to load
// file '%s'", "... failed to read %lu bytes of file '%s'". The bytes read count against the decode's
// memory limit. 0, 5 (file), 7 or 9.
NRFErr NRFBasicJPEGLoadImage(const std::string& path, std::uint64_t offset, std::uint64_t length,
                             NRFBitmapBase& bitmap, std::uint32_t size);

// Reading embedded images from files is serialised across the engine by this lock; decoding is not.
std::recursive_mutex& NRFEmbeddedReadLock();
// Reads `length` bytes at `offset` of the file (0: to its end) under that lock, with the
// NRFBasicJPEGLoadImage log texts on failure. 0, 5 or 7.
NRFErr NRFReadEmbeddedBytes(const std::string& path, std::uint64_t offset, std::uint64_t length,
                            std::string& bytes);
