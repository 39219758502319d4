// The Photoshop and Windows Bitmap readers over any bytes.

#include "FuzzSupport.h"
#include "NRF/NRFBMP.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFPSD.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lumoFuzzScratchFolder();
    NRFMemoryByteSource source(data, size);
    NRFContext context;
    {
        NRFImageInfoRec record("", NRFMakeFileType("APSD"));
        (void)NRFReadPSDStructure(context, record, source);
    }
    {
        NRFImageInfoRec record("", NRFMakeFileType("WBMP"));
        (void)NRFReadBMPStructure(context, record, source);
    }
    return 0;
}
