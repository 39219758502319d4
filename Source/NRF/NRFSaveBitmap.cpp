#include "NRF/NRFSaveBitmap.h"

void NRFInstallBitmapSaver(const NRFFileTypeInfo&, NRFPluginFunctions&) {}

NRFErr NRFEncodeJPEG(const NRFBitmapBase&, const NRFSaveOptions&, std::string&) {
    return 3;
}
