#pragma once

// Writing bitmaps as new image files: JPEG (quality, chroma subsampling, resolution, an optional
// profile), TIFF and Photoshop. The file is written under a temporary name beside its destination and
// renamed over it, so an existing file is either replaced whole or left as it was.

#include "NRF/NRFBitmapBase.h"
#include "NRF/NRFPlugin.h"

#include <string>

// Fills the SaveBitmapAsFile entry of the rows that can save a bitmap.
void NRFInstallBitmapSaver(const NRFFileTypeInfo& row, NRFPluginFunctions& functions);

// Encodes the bitmap as a baseline JPEG with the options (quality clamped to 1..100, subsampling 444,
// 422 or 420, a JFIF density in dots per inch when dpi > 0, the profile in APP2 chunks). 0, 1 for bad
// options, 7, or 9 when the library refuses.
NRFErr NRFEncodeJPEG(const NRFBitmapBase& bitmap, const NRFSaveOptions& options, std::string& out);
