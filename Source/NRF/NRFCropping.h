#pragma once

// The crop model: a rectangle with an angle over the image, edited with the mouse, kept inside the
// image, and given back as a normalised crop.

#include "NRF/NRFImageInfo.h"
