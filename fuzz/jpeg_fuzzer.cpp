// The JPEG reader's marker walk over any bytes, with the EXIF, XMP, Photoshop and ICC segments it finds
// and the checks of the embedded images after it, once with each setting of the first-metadata switch;
// then the JPEG decoder over the same bytes.

#include "FuzzSupport.h"
#include "NRF/NRFBasicJPEG.h"
#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFJPEGReader.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lumoFuzzScratchFolder();
    NRFMemoryByteSource source(data, size);
    for (const bool firstWins : {false, true}) {
        NRFContext context;
        context.firstMetadataWins = firstWins;
        NRFImageInfoRec record("", kNRFTypeJPEG);
        (void)NRFReadJPEGStructure(context, record, source);
    }
    // The decoder behind the thumbnails: any bytes end in a bitmap or a result code, at a thumbnail's
    // size and at full size, within the decode memory limit users get.
    NRFBitmapBase bitmap;
    (void)NRFDecompressJPEG(data, size, 64, bitmap);
    (void)NRFDecompressJPEG(data, size, 0, bitmap);
    return 0;
}
