#include "gps/ReverseGeoUtils.h"
