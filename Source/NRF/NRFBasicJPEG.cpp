#include "NRF/NRFBasicJPEG.h"

NRFErr NRFDecompressJPEG(const void*, std::size_t, std::uint32_t, NRFBitmapBase&) {
    return 9;
}
NRFErr NRFCompressJPEG(const NRFBitmapBase&, int, std::string&) {
    return 9;
}
NRFErr NRFBasicJPEGLoadImage(const std::string&, std::uint64_t, std::uint64_t, NRFBitmapBase&,
                             std::uint32_t) {
    return 9;
}
