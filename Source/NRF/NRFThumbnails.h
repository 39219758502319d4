#pragma once

// The thumbnail and preview loaders of the readers: the JPEG reader's LoadThumbnail and the shared raw
// defaults (NRFPluginGenericLoadJpegOrTiffThumbnail, NRFPluginGenericLoadFuzzyJpegOrTiffThumbnail).

#include "NRF/NRFPlugin.h"

// Fills the loader entries (LoadThumbnail, LoadFuzzyThumbnail, LoadImage, LoadPreview) of a row that
// has them.
void NRFInstallThumbnailLoaders(const NRFFileTypeInfo& row, NRFPluginFunctions& functions);

// Fills the loader entries of the still formats that are decoded rather than shown through an embedded
// image (JPEG's own pixels, TIFF, Photoshop, Windows Bitmap, GIF, PNG, EPS-TIFF).
void NRFInstallStillLoaders(const NRFFileTypeInfo& row, NRFPluginFunctions& functions);

// The embedded JPEG thumbnail, else the uncompressed strip thumbnail, at `size` as the file stores it
// (not turned). 13 when there is none; one that fails to decode (other than for memory) is logged and
// forgotten.
NRFErr NRFLoadEmbeddedThumbnailAsStored(NRFImageInfoRec& record, std::uint32_t size, NRFBitmapBase& bitmap);
