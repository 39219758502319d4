// The CRW, RAF and X3F readers over any bytes.

#include "NRF/NRFBasicTIFF.h"
#include "NRF/NRFContainerReaders.h"
#include "NRF/NRFImageInfo.h"
#include "app/LumoPaths.h"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool ready = [] {
        // The log goes to the null device so that a long run holds nothing in memory.
        char pattern[] = "/tmp/lumo_container_fuzz_XXXXXX";
        const char* made = mkdtemp(pattern);
        if (!made || symlink("/dev/null", (std::string(made) + "/Lumo.log").c_str()) != 0)
            std::abort();
        LumoPaths::initialise(ResolvedLocations{made, made});
        return true;
    }();
    (void)ready;
    NRFMemoryByteSource source(data, size);
    NRFContext context;
    for (const char* code : {"CCRW", "FRAF", "FX3F"}) {
        NRFImageInfoRec record("", NRFMakeFileType(code));
        (void)NRFReadContainerStructure(context, record, source);
    }
    return 0;
}
