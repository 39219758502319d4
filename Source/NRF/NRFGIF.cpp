#include "NRF/NRFGIF.h"

#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFImageInfo.h"

NRFErr NRFReadGIFStructure(NRFContext&, NRFImageInfoRec&, NRFByteSource&) {
    return 9;
}

namespace {
NRFErr getImageInfo(NRFContext& context, NRFImageInfoRec& record, lumo::File& file) {
    NRFFileByteSource source(file);
    return NRFReadGIFStructure(context, record, source);
}
} // namespace

NRFGetImageInfoProc NRFGIFReaderGetImageInfo() {
    return &getImageInfo;
}
