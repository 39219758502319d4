#include "transfer/FTPClient.h"
