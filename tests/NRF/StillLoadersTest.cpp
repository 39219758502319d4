#include "NRF/NRFTestSupport.h"
