#pragma once

// Extracting a raw's embedded JPEG preview to a file of its own, with an EXIF segment built from the
// record on request.

#include "NRF/NRFPlugin.h"

#include <string>

class NRFImageInfoRec;

// Fills the ExtractPreview entry of a row that has one.
void NRFInstallPreviewExtractor(const NRFFileTypeInfo& row, NRFPluginFunctions& functions);

// The EXIF APP1 segment (marker, length, "Exif\0\0", TIFF structure) built from a record: version
// "0221", IFD0 with DateTime and Orientation, the EXIF IFD with DateTimeOriginal, the pixel dimensions
// and a UserComment with the "ASCII" prefix, and the GPS IFD when the record has a position.
std::string NRFBuildExifSegment(const NRFImageInfoRec& record, std::uint32_t width, std::uint32_t height);
