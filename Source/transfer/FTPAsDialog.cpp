#include "transfer/FTPAsDialog.h"
