// The HEIF item walk (top-level boxes, "meta" and its item boxes, the EXIF item through the TIFF
// parser, the XMP item's location) over any bytes; libheif stays out of the loop.

#include "FuzzSupport.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFHEIF.h"
#include "NRF/NRFImageInfo.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lumoFuzzScratchFolder();
    NRFMemoryByteSource source(data, size);
    NRFContext context;
    NRFImageInfoRec record("", kNRFTypeHEIC);
    (void)NRFReadHEIFItems(context, record, source);
    NRFHEIFItemTable table;
    if (NRFReadHEIFItemTable(source, table) == 0) {
        std::uint64_t pos = 0, length = 0;
        for (const NRFHEIFLocation& loc : table.locations)
            if (NRFHEIFItemExtent(table, loc.itemId, source.Size(), pos, length) &&
                (pos > source.Size() || length > source.Size() - pos))
                __builtin_trap(); // an extent said to lie inside the source must
        (void)NRFHEIFFindXMPItem(table);
    }
    return 0;
}
