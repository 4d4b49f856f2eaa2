#include "recovery_stop.h"
