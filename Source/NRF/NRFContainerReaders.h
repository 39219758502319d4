#pragma once

// GetImageInfo of the raw formats with containers of their own that wrap JPEG previews and EXIF
// blocks: Canon CRW (CIFF heaps), Fuji RAF, Sigma X3F.

#include "NRF/NRFPlugin.h"

class NRFByteSource;

// The entry for a row, or null when the row is not one of these formats.
NRFGetImageInfoProc NRFContainerReaderGetImageInfo(NRFFileType type);

// What the reader of the record's type does with the bytes of `source`, without the table (the fuzzer
// calls it over any bytes). `record` must carry the path and type.
NRFErr NRFReadContainerStructure(NRFContext& context, NRFImageInfoRec& record, NRFByteSource& source);
