// The worker's stop request, polled by every layer that loops.
#pragma once

#include <atomic>
#include <csignal>

// A stop request set from a signal handler and read by other threads: a
// lock-free atomic, so the store is safe in the handler and every reader
// sees it without a data race, whichever thread the signal lands on.
using StopFlag = std::atomic<std::sig_atomic_t>;
static_assert(StopFlag::is_always_lock_free, "the stop flag is set from a signal handler");

// 0 at start, set to 1 by the worker's SIGTERM handler, never cleared. The
// pipeline driver, the pipelines and the vblank ring's reader poll it.
extern StopFlag g_terminate_flag;
