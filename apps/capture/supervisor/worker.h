// The worker process: waits for the start word, creates the EGL context,
// acknowledges, runs the pipeline driver until it returns, tears EGL down.
#pragma once

#include "apps/capture/core/stop_flag.h"

struct CaptureSession;
struct CapturePipelines;

// Sets g_terminate_flag for SIGTERM; ignores every other signal number.
void child_signal_handler(int signal_number);

// Prints "[CAPTURE] Starting capture..." and runs child_main_loop; returns
// when the worker is done (its caller then exits with status 1). Returns 0.
int capture_start(CaptureSession *session, int fd, const CapturePipelines *pipelines);

// The worker's body. fd is the worker's end of the start socket pair and is
// closed on every path. Answers "OK:STARTED\n" once EGL is ready, or
// "ERROR:EGL_INIT_FAILED" when it is not; ends the process through die() when
// the EGL/GLES extension entry points are missing.
void child_main_loop(CaptureSession *session, int fd, const CapturePipelines *pipelines);

// Prints "[CAPTURE] Stopping capture...", closes the session connection's
// event and then command descriptor (each only when open); both are -1
// afterwards.
// Returns 0. Only the supervisor calls it.
int capture_stop(CaptureSession *session);
