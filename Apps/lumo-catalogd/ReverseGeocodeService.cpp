#include "ReverseGeocodeService.h"
