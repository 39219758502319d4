// The PNG reader over any bytes.

#include "FuzzSupport.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFPNG.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lumoFuzzScratchFolder();
    NRFMemoryByteSource source(data, size);
    NRFContext context;
    NRFImageInfoRec record("", NRFMakeFileType("PNGf"));
    (void)NRFReadPNGStructure(context, record, source);
    return 0;
}
