#include "NRF/NRFPNG.h"

#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFImageInfo.h"

NRFErr NRFReadPNGStructure(NRFContext&, NRFImageInfoRec&, NRFByteSource&) {
    return 9;
}

namespace {
NRFErr getImageInfo(NRFContext& context, NRFImageInfoRec& record, lumo::File& file) {
    NRFFileByteSource source(file);
    return NRFReadPNGStructure(context, record, source);
}
} // namespace

NRFGetImageInfoProc NRFPNGReaderGetImageInfo() {
    return &getImageInfo;
}
