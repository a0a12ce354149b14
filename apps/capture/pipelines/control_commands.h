// The handler of the relay's requests: bit-rate and key-frame requests act on
// the running encoder at once; resolution, codec, mode and pacing requests are
// written into the run's PipelineControl and end the running pipeline.
#pragma once

#include <cstdint>

// The streamer's feedback callback. event is a FeedbackEvent (1 to 9), data
// and length its payload (need not be NUL-terminated), control the run's
// PipelineControl. Every value field of a request is stored before
// change_requested is set (release store). A null control, event 0 or an
// event above 9 does nothing; malformed payloads change nothing.
void on_streamer_feedback(uint32_t event, const void *data, uint64_t length, void *control);
