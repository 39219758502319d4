#pragma once

// What the raw readers share: telling a JPEG stream under a raw name, placing embedded JPEGs, and the
// sizes a raw reports once read.

#include <cstdint>

class NRFByteSource;
class NRFImageInfoRec;
struct NRFEmbeddedImageLoc;

// The source begins with a JPEG stream (SOI and a marker).
bool NRFStartsWithJPEG(NRFByteSource& source);
// A JPEG stream at a file position, when it lies inside the source (and below 4 GiB, the record's
// limit) and its SOF gives its size.
bool NRFLocateJPEG(NRFByteSource& source, std::uint64_t pos, std::uint64_t length, NRFEmbeddedImageLoc& out);
// The record's preview becomes this JPEG, at a file position.
void NRFSetJPEGPreview(NRFImageInfoRec& record, const NRFEmbeddedImageLoc& preview);
// A raw turned a quarter reports its image and preview sizes as shown.
void NRFSwapSizesForRotation(NRFImageInfoRec& record);
// The displayed size: the preview's, else the thumbnail's.
void NRFSetDisplaySize(NRFImageInfoRec& record);
