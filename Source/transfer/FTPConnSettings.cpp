#include "transfer/FTPConnSettings.h"
