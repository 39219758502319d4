#pragma once

// The movie readers: QuickTime and MPEG-4 files (boxes: "moov" metadata, QuickTime keys, the makers'
// own tags, XMP), AVI and MPEG program streams (frame size and duration from their headers). Their
// pictures come from the movie-frame renderer.

#include "NRF/NRFPlugin.h"

class NRFByteSource;

// Fills the row's entries: GetImageInfo and the thumbnail and preview loaders.
void NRFInstallMovieReader(const NRFFileTypeInfo& row, NRFPluginFunctions& functions);

// What the reader of the record's type does with the bytes of `source`, without the table (the fuzzer
// calls it over any bytes). `record` must carry the path and type.
NRFErr NRFReadMovieStructure(NRFContext& context, NRFImageInfoRec& record, NRFByteSource& source);

// The time in seconds of the frame that stands for the movie: 1 s, or the middle of a shorter movie.
double NRFMovieFrameTime(const NRFImageInfoRec& record);
