// The three capture pipelines, one per capture mode. Each runs frame loops
// from the session's framebuffer until a change is requested, the worker is
// asked to stop, or it fails; it releases everything it created and returns
// a PipelineResult code (17, 18, 19), another value when it ended for another
// reason (negative on failure).
#pragma once

#include "apps/capture/encoders/codec_types.h"

struct CaptureSession;
struct EglContext;
struct PipelineControl;

// compatible: RGBA read back, converted on the processor, always H.264.
int _capture_cpu_h264(EglContext *egl, CaptureSession *session, PipelineControl *control);

// balanced: planar YUV from the GPU, a software encoder of the given codec.
int _capture_gl_cpu_hybrid(EglContext *egl, CaptureSession *session, CodecType codec, PipelineControl *control);

// fast: NV12 VA-API surfaces drawn by the GPU, a VA-API encoder of the codec.
int _capture_vaapi_zerocopy(EglContext *egl, CaptureSession *session, CodecType codec, PipelineControl *control);

struct AVCodecContext;
struct AVFrame;

// The fast run's frame step, as it hands a surface to the VA-API encoder:
// takes what the relay asked since the previous frame from the requests the
// run published in control->vaapi_requests. A key frame makes the surface an
// intra picture (pict_type I and key_frame, which the encoder turns into an
// IDR); a bit rate becomes the context's bit_rate and rc_max_rate. Without a
// request the picture type is left to the encoder. True for an intra picture.
bool fast_take_requests(PipelineControl *control, AVCodecContext *encoder, AVFrame *surface);
