#include "platform/Socket.h"
