#include "protocol/messages.h"
