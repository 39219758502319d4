#include "NRF/NRFDecode.h"

NRFErr NRFDecodePNG(NRFByteSource&, const NRFDecodeOptions&, NRFBitmapBase& out) {
    out.Clear();
    return 3;
}
