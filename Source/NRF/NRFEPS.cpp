#include "NRF/NRFEPS.h"

#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFImageInfo.h"

NRFErr NRFReadEPSStructure(NRFContext&, NRFImageInfoRec&, NRFByteSource&) {
    return 9;
}

namespace {
NRFErr getImageInfo(NRFContext& context, NRFImageInfoRec& record, lumo::File& file) {
    NRFFileByteSource source(file);
    return NRFReadEPSStructure(context, record, source);
}
} // namespace

NRFGetImageInfoProc NRFEPSReaderGetImageInfo() {
    return &getImageInfo;
}
