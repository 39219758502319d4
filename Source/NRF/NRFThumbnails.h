#pragma once

// The thumbnail and preview loaders of the readers: the JPEG reader's LoadThumbnail and the shared raw
// defaults (NRFPluginGenericLoadJpegOrTiffThumbnail, NRFPluginGenericLoadFuzzyJpegOrTiffThumbnail).

#include "NRF/NRFPlugin.h"

// Fills the loader entries (LoadThumbnail, LoadFuzzyThumbnail, LoadImage, LoadPreview) of a row that
// has them.
void NRFInstallThumbnailLoaders(const NRFFileTypeInfo& row, NRFPluginFunctions& functions);
