#pragma once

#include "NRF/NRFPlugin.h"

class NRFByteSource;

NRFGetImageInfoProc NRFEPSReaderGetImageInfo();

// What the reader does with the bytes of `source`, without the table (the fuzzer calls it over any
// bytes). `record` must carry the path and type.
NRFErr NRFReadEPSStructure(NRFContext& context, NRFImageInfoRec& record, NRFByteSource& source);
