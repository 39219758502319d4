// The GIF and EPS readers over any bytes.

#include "FuzzSupport.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFEPS.h"
#include "NRF/NRFGIF.h"
#include "NRF/NRFImageInfo.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lumoFuzzScratchFolder();
    NRFMemoryByteSource source(data, size);
    NRFContext context;
    NRFImageInfoRec gif("", NRFMakeFileType("GIFf"));
    (void)NRFReadGIFStructure(context, gif, source);
    NRFImageInfoRec eps("", NRFMakeFileType("EPSF"));
    (void)NRFReadEPSStructure(context, eps, source);
    return 0;
}
