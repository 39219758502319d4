// The movie readers (QuickTime/MPEG-4 boxes, AVI, MPEG streams) and the bare box walker over any bytes.

#include "FuzzSupport.h"
#include "NRF/NRFBasicBMFF.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFMovie.h"
#include "NRF/NRFPlugin.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace {

// Every box, every container entered as far as the walker allows.
NRFErr walkAll(NRFBMFFWalker& walker, const NRFBMFFBox& box, unsigned& budget) {
    if (budget == 0)
        return 1;
    --budget;
    std::string bytes;
    (void)walker.ReadBytes(box.payload(), box.payloadSize() < 64 ? box.payloadSize() : 64, bytes);
    const std::uint64_t skip = box.is("meta") ? 4 : box.is("stsd") ? 8 : box.hasUUID ? 16 : 0;
    if (box.payloadSize() >= 8 + skip)
        (void)walker.WalkChildren(box, skip,
                                  [&](const NRFBMFFBox& child) { return walkAll(walker, child, budget); });
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lumoFuzzScratchFolder();
    NRFMemoryByteSource source(data, size);
    NRFContext context;
    for (const char* code : {"MooV", "MPG4", "WAVI", "MPEG"}) {
        NRFImageInfoRec record("", NRFMakeFileType(code));
        (void)NRFReadMovieStructure(context, record, source);
    }
    NRFBMFFWalker walker(source);
    unsigned budget = 100000;
    (void)walker.Walk(0, source.Size(), [&](const NRFBMFFBox& box) { return walkAll(walker, box, budget); });
    NRFBMFFFileType fileType;
    (void)NRFReadBMFFFileType(source, fileType);
    return 0;
}
