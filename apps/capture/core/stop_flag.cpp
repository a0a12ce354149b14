#include "apps/capture/core/stop_flag.h"

StopFlag g_terminate_flag{0};
