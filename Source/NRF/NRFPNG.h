#pragma once

#include "NRF/NRFPlugin.h"

class NRFByteSource;

NRFGetImageInfoProc NRFPNGReaderGetImageInfo();

// What the reader does with the bytes of `source`, without the table (the fuzzer calls it over any
// bytes). `record` must carry the path and type.
NRFErr NRFReadPNGStructure(NRFContext& context, NRFImageInfoRec& record, NRFByteSource& source);
