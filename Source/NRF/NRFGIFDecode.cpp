#include "NRF/NRFDecode.h"

NRFErr NRFDecodeGIF(NRFByteSource&, const NRFDecodeOptions&, NRFBitmapBase& out) {
    out.Clear();
    return 3;
}
