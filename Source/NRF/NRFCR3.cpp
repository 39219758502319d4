#include "NRF/NRFCR3.h"

#include "NRF/NRFBasicBMFF.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFImageInfo.h"

NRFErr NRFReadCR3Structure(NRFContext&, NRFImageInfoRec&, NRFByteSource&) {
    return 9;
}

namespace {
NRFErr cr3GetImageInfo(NRFContext& context, NRFImageInfoRec& record, lumo::File& file) {
    NRFFileByteSource source(file);
    return NRFReadCR3Structure(context, record, source);
}
} // namespace

NRFGetImageInfoProc NRFCR3ReaderGetImageInfo() {
    return &cr3GetImageInfo;
}
