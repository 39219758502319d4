#pragma once

// GetImageInfo of the JPEG row.

#include "NRF/NRFPlugin.h"

class NRFByteSource;

NRFGetImageInfoProc NRFJPEGReaderGetImageInfo();

// What the JPEG reader does with the bytes of `source`, without the table (the fuzzer calls it over any
// bytes). `record` must carry the path and type.
NRFErr NRFReadJPEGStructure(NRFContext& context, NRFImageInfoRec& record, NRFByteSource& source);
