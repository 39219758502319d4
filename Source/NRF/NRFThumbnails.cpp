#include "NRF/NRFThumbnails.h"

#include "NRF/NRF.h"

void NRFInstallThumbnailLoaders(const NRFFileTypeInfo&, NRFPluginFunctions&) {}

NRFErr NRFLoadFileThumbnail(NRFImageInfoRec*, NRFBitmapBase*, std::uint32_t, bool) {
    return 1;
}
NRFErr NRFLoadFilePreview(NRFImageInfoRec*, NRFBitmapBase*, std::uint32_t, std::uint32_t) {
    return 1;
}
