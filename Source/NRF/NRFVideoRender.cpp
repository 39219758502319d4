#include "NRF/NRFVideoRender.h"

#include "NRF/NRFBitmapBase.h"

std::string NRFVideoRenderPath() {
    return {};
}

NRFErr NRFRenderMovieFrame(const std::string&, double, NRFBitmapBase&) {
    return 1;
}
