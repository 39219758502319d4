#include "gps/GPSLog.h"
