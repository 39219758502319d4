#pragma once

// GetImageInfo of the TIFF row and of the TIFF-structured raw rows.

#include "NRF/NRFPlugin.h"

class NRFByteSource;

// The entry for a row, or null when the row's reader is not TIFF-structured.
NRFGetImageInfoProc NRFTIFFReaderGetImageInfo(NRFFileType type);

// What the reader of the record's type does with the bytes of `source`, without the table (the fuzzer
// calls it over any bytes). A header found pointing at an abandoned IFD0 is repaired in the record's
// file only when `repairFile` is set and the repair is certain to lose nothing.
NRFErr NRFReadTIFFStructure(NRFContext& context, NRFImageInfoRec& record, NRFByteSource& source,
                            bool repairFile);
