// The JPEG reader's marker walk over any bytes, with the EXIF, XMP, Photoshop and ICC segments it finds
// and the checks of the embedded images after it; once with each setting of the first-metadata switch.

#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFImageInfo.h"
#include "NRF/NRFJPEGReader.h"
#include "app/LumoPaths.h"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool ready = [] {
        // The log goes to the null device so that a long run holds nothing in memory.
        char pattern[] = "/tmp/lumo_jpeg_fuzz_XXXXXX";
        const char* made = mkdtemp(pattern);
        if (!made || symlink("/dev/null", (std::string(made) + "/Lumo.log").c_str()) != 0)
            std::abort();
        LumoPaths::initialise(ResolvedLocations{made, made});
        return true;
    }();
    (void)ready;
    NRFMemoryByteSource source(data, size);
    for (const bool firstWins : {false, true}) {
        NRFContext context;
        context.firstMetadataWins = firstWins;
        NRFImageInfoRec record("", kNRFTypeJPEG);
        (void)NRFReadJPEGStructure(context, record, source);
    }
    return 0;
}
