#include "NRF/NRFDecode.h"

NRFErr NRFDecodePSD(NRFByteSource&, const NRFDecodeOptions&, NRFBitmapBase& out) {
    out.Clear();
    return 3;
}

NRFErr NRFEncodePSD(const NRFBitmapBase&, const NRFSaveOptions&, std::string&) {
    return 3;
}
