#include "transfer/FileTransferAgent.h"
