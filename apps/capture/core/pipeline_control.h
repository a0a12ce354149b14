// The record through which a running pipeline, the control commands and the
// pipeline driver talk, and the pipelines' restart codes.
#pragma once

#include <atomic>
#include <cstdint>

struct CodecContext;
struct CpuEncoder;
struct EncoderRequests;
struct CaptureSession;

enum PipelineResult : int32_t {
    PIPELINE_RESTART_SETTINGS = 17,  // mode, pacing or frame rate changed
    PIPELINE_RESTART_RESIZE = 18,    // output size changed
    PIPELINE_RESTART_CODEC = 19,     // codec changed (balanced and fast only)
};

// Owned by the driver and lent to each run. The control thread writes the
// value fields and then sets change_requested with a release store; the
// pipeline polls change_requested with an acquire load once per frame; the
// driver reads the value fields only after the run has returned.
//
// The running encoder is published in codec or cpu_encoder (the fast run,
// whose VA-API encoder the control thread must not touch, publishes only the
// requests its frame step takes, in vaapi_requests) with a release store and
// withdrawn (null) before the streamer, and with it the control thread,
// stops; the control thread loads each pointer once per request with an
// acquire load and uses that value only.
struct PipelineControl {
    std::atomic<CodecContext *> codec;      // the compatible run's encoder, or null
    std::atomic<CpuEncoder *> cpu_encoder;  // the balanced run's encoder, or null
    std::atomic<bool> change_requested;
    int32_t new_width;        // -1 = unchanged
    int32_t new_height;       // -1 = unchanged
    int32_t new_codec;        // CodecType; 5 = unchanged
    int32_t mode;             // requested capture mode
    bool vblank_sync;         // requested pacing
    int32_t fps;              // requested frame rate; <= 0 keeps the current one
    CaptureSession *session;  // set by the balanced and fast runs
    int32_t codec_type;       // CodecType of the running balanced or fast run

    // The fast run's pending key frame and bit rate, or null.
    std::atomic<EncoderRequests *> vaapi_requests;
};

static_assert(sizeof(std::atomic<bool>) == 1, "change_requested is one byte");
