#include "gps/GPSMatch.h"
