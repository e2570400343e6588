#include "cli/console_port.h"
