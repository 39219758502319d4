#include "NRF/NRFExtractPreview.h"

#include "NRF/NRF.h"

void NRFInstallPreviewExtractor(const NRFFileTypeInfo&, NRFPluginFunctions&) {}

std::string NRFBuildExifSegment(const NRFImageInfoRec&, std::uint32_t, std::uint32_t) {
    return {};
}

NRFErr NRFExtractPreview(NRFImageInfoRec*, const char*, bool) {
    return 1;
}
