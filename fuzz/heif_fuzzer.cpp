// The HEIF item walk (top-level boxes, "meta" and its item boxes, the EXIF item through the TIFF
// parser, the XMP item's location) over any bytes, and the XMP writer placing a packet into a copy in
// memory (over the old packet, and one too large for it); libheif stays out of the loop.

#include "FuzzSupport.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFHEIF.h"
#include "NRF/NRFImageInfo.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lumoFuzzScratchFolder();
    NRFMemoryByteSource source(data, size);
    NRFContext context;
    NRFImageInfoRec record("", kNRFTypeHEIC);
    (void)NRFReadHEIFItems(context, record, source);
    NRFHEIFItemTable table;
    std::uint64_t pos = 0, length = 0;
    if (NRFReadHEIFItemTable(source, table) == 0) {
        for (const NRFHEIFLocation& loc : table.locations)
            if (NRFHEIFItemExtent(table, loc.itemId, source.Size(), pos, length) &&
                (pos > source.Size() || length > source.Size() - pos))
                __builtin_trap(); // an extent said to lie inside the source must
        (void)NRFHEIFFindXMPItem(table);
    }

    // A placed packet must read back where its item says, whole.
    static const std::string small = "<x:xmpmeta xmlns:x='adobe:ns:meta/'/>";
    static const std::string large =
        "<x:xmpmeta xmlns:x='adobe:ns:meta/'>" + std::string(3000, 'x') + "</x:xmpmeta>";
    const std::string file(reinterpret_cast<const char*>(data), size);
    for (const std::string* packet : {&small, &large}) {
        std::string out;
        if (NRFHEIFPlaceXMP(file, *packet, out) != 0)
            continue;
        NRFMemoryByteSource written(out.data(), out.size());
        NRFHEIFItemTable after;
        if (NRFReadHEIFItemTable(written, after) != 0)
            __builtin_trap();
        const NRFHEIFItem* xmp = NRFHEIFFindXMPItem(after);
        if (!xmp || !NRFHEIFItemExtent(after, xmp->id, out.size(), pos, length) || length < packet->size() ||
            out.compare(pos, packet->size(), *packet) != 0)
            __builtin_trap();
    }
    return 0;
}
