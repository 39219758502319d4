#pragma once

// Scaling bitmaps to an exact size with a separable Catmull-Rom filter (widened when reducing, so every
// source pixel counts); large reductions average whole boxes first.

#include "NRF/NRFBitmapBase.h"

#include <cstdint>

// `in` scaled to width x height into `out` (which may be `in`). False when the memory cannot be had or a
// size is 0 (`out` unchanged).
bool NRFResample(const NRFBitmapBase& in, std::uint32_t width, std::uint32_t height, NRFBitmapBase& out);
// `in` reduced to fit inside maxSide x maxSide, keeping its proportions. False when it already fits (or
// maxSide is 0) or the memory cannot be had; `out` is then unchanged.
bool NRFResampleToFit(const NRFBitmapBase& in, std::uint32_t maxSide, NRFBitmapBase& out);
// True when a width x height image has the proportions of a pictureWidth x pictureHeight one within 2%
// (an embedded thumbnail a pixel or two off); false when any side is 0.
bool NRFSimilarProportions(std::uint32_t width, std::uint32_t height, std::uint32_t pictureWidth,
                           std::uint32_t pictureHeight);
