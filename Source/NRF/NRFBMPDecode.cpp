#include "NRF/NRFDecode.h"

NRFErr NRFDecodeBMP(NRFByteSource&, const NRFDecodeOptions&, NRFBitmapBase& out) {
    out.Clear();
    return 3;
}
