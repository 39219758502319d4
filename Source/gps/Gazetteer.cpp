#include "gps/Gazetteer.h"
