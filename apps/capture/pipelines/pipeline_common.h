// What the fast and balanced pipelines share: the boot-time clock, the
// missing encoder's message, the run's session published, the output size
// choice, the pacing state with its display-rate estimate, the
// one-second rate window, the streamer settings of a run, the start of the
// vertical-blank listener, the frame loop's wait and stop rules, and the
// choice of a run's result code.
#pragma once

#include <cstdint>

#include "apps/capture/core/stop_flag.h"
#include "apps/capture/encoders/codec_types.h"

struct CaptureSession;
struct FrameMetadata;
struct PipelineControl;
struct StreamerConfig;
struct VBlankRing;
struct CursorPlacement;

// CLOCK_BOOTTIME in nanoseconds.
uint64_t pipeline_now_ns();

// A mode without an encoder for the codec: "<what>: <codec's name>" on
// stderr, then the mode's encoder table (list_encoders). Returns -1, the
// run's result.
int pipeline_no_encoder(const char *what, CodecType codec, void (*list_encoders)());

// Publishes the run's session and codec on the control (the CONFIG reply
// reads them) and returns the session's frame, or null when it has none to
// sample.
FrameMetadata *pipeline_publish_session(CaptureSession *session, PipelineControl *control, CodecType codec);

// The encoded size of a run: the configured out_width x out_height when both
// are above 0, after writing "<tag> Scaling: %dx%d → %dx%d\n" (stderr) with
// the frame's size and that size; otherwise the frame's size, silently.
void pipeline_output_size(const CaptureSession *session, const char *tag, int32_t *width, int32_t *height);

// The packet clock's rate and the estimate of the display's vertical-blank rate.
struct PipelinePacing {
    double target_fps;
    double upstream_hz;
};

// VBlank-Sync: both start at the refresh rate, or at 60 when it is unknown
// (0). Fixed-FPS: target_fps is the configured fps, upstream_hz the refresh
// rate or 60.
void pipeline_pacing_init(PipelinePacing *pacing, bool vblank_sync, uint32_t refresh_rate, int32_t fps);

// One event's rate update (see upstream_rate_update). When the estimate
// moved it is published in the streamer's upstream_fps (config may be null)
// and, with vblank_sync, becomes the target rate.
void pipeline_pacing_update(PipelinePacing *pacing, uint64_t previous_ns, uint64_t event_ns, bool vblank_sync,
                            StreamerConfig *config);

// Frames per second over windows of just over a second (boot-time clock).
struct RateWindow {
    uint64_t start_ns;
    int32_t frames;
    double actual_fps;  // 0.0 until the first window has closed
};

void rate_window_reset(RateWindow *window, uint64_t now_ns);

// Counts one frame at now_ns; once more than 999,999,999 ns have passed
// since the window's start, actual_fps becomes frames per second over it and
// a new window starts at now_ns.
void rate_window_count(RateWindow *window, uint64_t now_ns);

// Fills config for a run: the fixed socket paths, the encoded
// size, the codec's display name, the mode (0 compatible, 1 balanced, 2
// fast), the session's pacing and fps, upstream_fps 0, the frame's size as
// upstream size, and on_streamer_feedback with the run's control.
void pipeline_streamer_config_fill(StreamerConfig *config, const CaptureSession *session, int32_t width, int32_t height,
                                   CodecType codec, int64_t mode, PipelineControl *control);

// Asks the helper for events (writes the 64-bit value 2 on the session's
// event connection; its result is not checked), binds the ring to the
// session's connection and the stop flag and starts its listener. 0, or -1
// with the ring not running (nothing to join).
int pipeline_ring_start(VBlankRing *ring, CaptureSession *session, const StopFlag *stop_flag);

// Frame loop, step one: sleeps until an event is pending, then takes the
// newest (the ones in between are skipped). 0 with its time and, when events
// is not null, the number of events since the previous take; -1 when the
// loop must end now (ring stopped, stream ended, stop flag set). When the
// control asks for a change, writes restart_line (stderr), clears the ring's
// running, so this iteration is the last one, and sets *restart (when not
// null).
// shown and cursor (when not null) get the buffer on screen and the cursor
// at that event's blank (see vblank_ring_take).
int pipeline_wait_event(VBlankRing *ring, const PipelineControl *control, const char *restart_line, uint64_t *event_ns,
                        uint64_t *events = nullptr, bool *restart = nullptr, uint64_t *shown = nullptr,
                        CursorPlacement *cursor = nullptr);

// Frame loop, last step: false once the ring stopped running or the stop
// flag is set, so the iteration just completed was the last one.
bool pipeline_loop_continues(const VBlankRing *ring);

// The run's result: when a change was requested, 18 for a size request, else
// 19 for a codec request (17 when codec_restarts is false: a mode with one
// codec restarts like for any other setting), else 17; otherwise status.
int pipeline_result_code(const PipelineControl *control, int status, bool codec_restarts = true);
