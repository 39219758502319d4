#include "NRF/NRFBMP.h"

#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFImageInfo.h"

NRFErr NRFReadBMPStructure(NRFContext&, NRFImageInfoRec&, NRFByteSource&) {
    return 9;
}

namespace {
NRFErr getImageInfo(NRFContext& context, NRFImageInfoRec& record, lumo::File& file) {
    NRFFileByteSource source(file);
    return NRFReadBMPStructure(context, record, source);
}
} // namespace

NRFGetImageInfoProc NRFBMPReaderGetImageInfo() {
    return &getImageInfo;
}
