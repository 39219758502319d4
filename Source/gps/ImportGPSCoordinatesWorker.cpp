#include "gps/ImportGPSCoordinatesWorker.h"
