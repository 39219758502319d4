#include "gps/ReverseGeoCache.h"
