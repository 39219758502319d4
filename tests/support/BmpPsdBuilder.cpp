#include "BmpPsdBuilder.h"
