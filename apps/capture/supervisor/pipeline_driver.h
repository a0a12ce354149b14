// The pipeline driver: runs one capture pipeline at a time, chosen by the
// capture mode, and applies the settings a run's control requests asked for
// before starting the next run.
#pragma once

#include "apps/capture/encoders/codec_types.h"

struct CaptureSession;
struct EglContext;
struct PipelineControl;

// The pipeline entries the driver calls. The program wires the real
// pipelines; tests wire scripted ones.
struct CapturePipelines {
    int (*compatible)(EglContext *egl, CaptureSession *session, PipelineControl *control);
    int (*balanced)(EglContext *egl, CaptureSession *session, CodecType codec, PipelineControl *control);
    int (*fast)(EglContext *egl, CaptureSession *session, CodecType codec, PipelineControl *control);
};

// Runs pipelines until one returns a value outside 17..20 or the worker's
// stop flag is set before a run. Between runs the session's settings take the
// requested mode, pacing, frame rate and output size; the requested codec is
// kept for the next balanced or fast run. A mode whose entry is null, or a
// mode other than 0, 1, 2, ends the driver. Returns the last run's result
// (negative when the driver ended on a failed run; 0 for a stop before a run).
int capture_frame(CaptureSession *session, EglContext *egl, const CapturePipelines *pipelines);
