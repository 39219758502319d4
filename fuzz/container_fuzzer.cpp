// The CRW, RAF and X3F readers over any bytes.

#include "FuzzSupport.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFContainerReaders.h"
#include "NRF/NRFImageInfo.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lumoFuzzScratchFolder();
    NRFMemoryByteSource source(data, size);
    NRFContext context;
    for (const char* code : {"CCRW", "FRAF", "FX3F"}) {
        NRFImageInfoRec record("", NRFMakeFileType(code));
        (void)NRFReadContainerStructure(context, record, source);
    }
    return 0;
}
