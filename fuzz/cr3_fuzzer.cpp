// The CR3 reader over any bytes, and the box walker on its own descending into every box.

#include "FuzzSupport.h"
#include "NRF/NRFBasicBMFF.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFCR3.h"
#include "NRF/NRFImageInfo.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lumoFuzzScratchFolder();
    NRFMemoryByteSource source(data, size);
    NRFContext context;
    NRFImageInfoRec record("", NRFMakeFileType("CCR3"));
    (void)NRFReadCR3Structure(context, record, source);

    NRFBMFFWalker walker(source);
    int budget = 20000; // the same bytes read at several skips must not take forever
    NRFBMFFVisitor visit = [&](const NRFBMFFBox& box) -> NRFErr {
        if (--budget < 0)
            return 1;
        // Every box is tried as a container, past the skips the readers use.
        for (std::uint64_t skip : {0, 8, 16, 24}) {
            if (skip > box.payloadSize())
                break;
            const NRFErr err = walker.WalkChildren(box, skip, visit);
            if (err == 0)
                return 0;
        }
        return 0;
    };
    (void)walker.Walk(0, source.Size(), visit);
    return 0;
}
