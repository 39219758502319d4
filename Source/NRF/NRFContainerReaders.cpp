#include "NRF/NRFContainerReaders.h"

NRFGetImageInfoProc NRFContainerReaderGetImageInfo(NRFFileType) {
    return nullptr;
}

NRFErr NRFReadContainerStructure(NRFContext&, NRFImageInfoRec&, NRFByteSource&) {
    return 1;
}
