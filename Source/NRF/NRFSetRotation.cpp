#include "NRF/NRF.h"

#include "NRF/NRFImageInfo.h"

NRFErr NRFSetRotation(NRFImageInfoRec*, int) {
    return 1;
}
