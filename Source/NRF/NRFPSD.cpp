#include "NRF/NRFPSD.h"

#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFImageInfo.h"

NRFErr NRFReadPSDStructure(NRFContext&, NRFImageInfoRec&, NRFByteSource&) {
    return 9;
}

namespace {
NRFErr getImageInfo(NRFContext& context, NRFImageInfoRec& record, lumo::File& file) {
    NRFFileByteSource source(file);
    return NRFReadPSDStructure(context, record, source);
}
} // namespace

NRFGetImageInfoProc NRFPSDReaderGetImageInfo() {
    return &getImageInfo;
}
