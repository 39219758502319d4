#include "NRF/NRFThumbnails.h"

void NRFInstallStillLoaders(const NRFFileTypeInfo&, NRFPluginFunctions&) {}
