#pragma once

// GetImageInfo of Canon CR3 raws: the box walk, track 1's full-size JPEG, the metadata uuid's TIFF
// blocks (CMT1-CMT4) and the preview uuid's THMB and PRVW images.

#include "NRF/NRFPlugin.h"

class NRFByteSource;

NRFGetImageInfoProc NRFCR3ReaderGetImageInfo();

// What the reader does with the bytes of `source`, without the table (the fuzzer calls it over any
// bytes). `record` must carry the path and type.
NRFErr NRFReadCR3Structure(NRFContext& context, NRFImageInfoRec& record, NRFByteSource& source);
