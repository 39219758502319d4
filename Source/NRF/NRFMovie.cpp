#include "NRF/NRFMovie.h"

#include "NRF/NRFBasicBMFF.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFImageInfo.h"

NRFErr NRFReadMovieStructure(NRFContext&, NRFImageInfoRec&, NRFByteSource&) {
    return 9;
}

void NRFInstallMovieReader(const NRFFileTypeInfo&, NRFPluginFunctions&) {}
