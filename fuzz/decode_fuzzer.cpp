// One pixel decoder (chosen when the target is built) over any bytes, at a thumbnail size and at full
// size, with the limits users get: an input that declares a huge image and makes the decoder spend
// seconds or gigabytes is a finding (the fuzzer runs with a memory and a time limit), not something to
// hide behind a smaller cap.

#include "FuzzSupport.h"
#include "NRF/NRFDecode.h"

#include <cstddef>
#include <cstdint>

#ifndef LUMO_DECODER
#error "LUMO_DECODER names the decoder under test"
#endif

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lumoFuzzScratchFolder();
    NRFMemoryByteSource source(data, size);
    NRFDecodeOptions options;
    NRFBitmapBase bitmap;
    options.size = 64;
    (void)LUMO_DECODER(source, options, bitmap);
    options.size = 0;
    (void)LUMO_DECODER(source, options, bitmap);
    return 0;
}
