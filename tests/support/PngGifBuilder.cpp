#include "PngGifBuilder.h"
