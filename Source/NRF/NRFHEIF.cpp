#include "NRF/NRFHEIF.h"

#include "NRF/NRFBasicBMFF.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFBitmapBase.h"

NRFErr NRFReadHEIFItems(NRFContext&, NRFImageInfoRec&, NRFByteSource&) {
    return 9;
}

NRFErr NRFHEIFDecode(const std::string&, std::uint32_t, NRFBitmapBase&) {
    return 9;
}

NRFErr NRFHEIFWriteXMP(NRFImageInfoRec&, const std::string&) {
    return 1;
}

void NRFInstallHEIFReader(const NRFFileTypeInfo&, NRFPluginFunctions&) {}
