#include "apps/capture/core/stop_flag.h"

volatile std::sig_atomic_t g_terminate_flag = 0;
