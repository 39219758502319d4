#pragma once

// Writing bitmaps as new image files: JPEG (quality, chroma subsampling, resolution, an optional
// profile), TIFF and Photoshop. The file is written under a temporary name beside its destination and
// renamed over it, so an existing file is either replaced whole or left as it was.

#include "NRF/NRFBitmapBase.h"
#include "NRF/NRFPlugin.h"

#include <string>

// Fills the SaveBitmapAsFile entry of the rows that can save a bitmap.
void NRFInstallBitmapSaver(const NRFFileTypeInfo& row, NRFPluginFunctions& functions);
