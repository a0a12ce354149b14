// The worker's stop request, polled by every layer that loops.
#pragma once

#include <csignal>

// 0 at start, set to 1 by the worker's SIGTERM handler, never cleared. The
// pipeline driver, the pipelines and the vblank ring's reader poll it.
extern volatile std::sig_atomic_t g_terminate_flag;
