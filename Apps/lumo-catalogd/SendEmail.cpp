#include "SendEmail.h"
