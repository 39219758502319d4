#include "transfer/FileTransferQueue.h"
