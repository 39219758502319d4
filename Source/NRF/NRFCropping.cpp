#include "NRF/NRFCropping.h"
