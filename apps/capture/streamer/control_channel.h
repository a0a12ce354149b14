// The control thread of a streamer: reads the relay's records from the
// control socket, answers CONFIG and hands every other known request to the
// StreamerConfig's feedback callback.
#pragma once

// Thread body started by streamer_init and joined by streamer_cleanup; arg is
// the Streamer. Idles without using the processor while there is no control
// connection (none yet, none available, or closed by the relay). Returns null.
void *ctrl_feedback_loop(void *arg);
