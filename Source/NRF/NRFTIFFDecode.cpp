#include "NRF/NRFDecode.h"

NRFErr NRFDecodeTIFF(NRFByteSource&, const NRFDecodeOptions&, NRFBitmapBase& out) {
    out.Clear();
    return 3;
}

void NRFTIFFInstallLibraryHandlers() {}

NRFErr NRFEncodeTIFF(const NRFBitmapBase&, const NRFSaveOptions&, std::string&) {
    return 3;
}
