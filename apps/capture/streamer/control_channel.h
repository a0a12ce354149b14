// The control thread of a streamer: reads the relay's records from the
// control socket, answers CONFIG and hands every other known request to the
// StreamerConfig's feedback callback.
#pragma once

#include <cstddef>

struct StreamerConfig;

// Handles one record of n bytes read from the control socket fd, which is
// NUL-terminated at buffer[n]: the first matching prefix wins and anything
// else is ignored. A CONFIG query is answered on fd through reply, a buffer
// of 512 bytes.
void control_dispatch_record(const StreamerConfig *config, int fd, char *buffer, size_t n, char *reply);

// Asks the encoder for a key frame the way a relay's "IDR" record does (the
// feedback callback with FEEDBACK_KEYFRAME); nothing without a callback.
void control_request_keyframe(const StreamerConfig *config);

// Thread body started by streamer_init and joined by streamer_cleanup; arg is
// the Streamer. Idles without using the processor while there is no control
// connection (none yet, none available, or closed by the relay). Returns null.
void *ctrl_feedback_loop(void *arg);
