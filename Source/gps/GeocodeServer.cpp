#include "gps/GeocodeServer.h"
