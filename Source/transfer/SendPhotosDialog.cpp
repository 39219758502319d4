#include "transfer/SendPhotosDialog.h"
