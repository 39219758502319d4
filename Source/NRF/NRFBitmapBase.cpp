#include "NRF/NRFBitmapBase.h"

bool NRFBitmapBase::Allocate(std::uint32_t, std::uint32_t, int) {
    return false;
}
void NRFBitmapBase::Clear() {}
bool NRFBitmapBase::Rotate(int) {
    return false;
}
NRFErr NRFBitmapBase::CropInto(std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t,
                               NRFBitmapBase&) const {
    return 1;
}
bool NRFBitmapBase::ScaleToFit(std::uint32_t, NRFBitmapBase&) const {
    return false;
}
