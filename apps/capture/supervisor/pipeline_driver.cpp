#include "apps/capture/supervisor/pipeline_driver.h"

#include "apps/capture/core/capture_config.h"
#include "apps/capture/core/pipeline_control.h"
#include "apps/capture/core/stop_flag.h"
#include "apps/capture/source/capture_session.h"

#include <cstdio>

namespace {

// Fields 1 to 6 of the record start every run empty.
void reset_run_fields(PipelineControl *control)
{
    control->codec.store(nullptr, std::memory_order_relaxed);
    control->cpu_encoder.store(nullptr, std::memory_order_relaxed);
    control->change_requested.store(false, std::memory_order_relaxed);
    control->new_width = -1;
    control->new_height = -1;
    control->new_codec = CODEC_TYPE_UNCHANGED;
}

int run_pipeline(int32_t mode, CaptureSession *session, EglContext *egl, CodecType codec, PipelineControl *control,
                 const CapturePipelines *pipelines)
{
    switch (mode) {
    case CAPTURE_MODE_COMPATIBLE:
        if (pipelines->compatible != nullptr)
            return pipelines->compatible(egl, session, control);
        break;
    case CAPTURE_MODE_BALANCED:
        if (pipelines->balanced != nullptr)
            return pipelines->balanced(egl, session, codec, control);
        break;
    case CAPTURE_MODE_FAST:
        if (pipelines->fast != nullptr)
            return pipelines->fast(egl, session, codec, control);
        break;
    default: break;
    }
    fprintf(stderr, "[Capture] No pipeline for mode %s\n", capture_mode_name(mode));
    return -1;
}

}  // namespace

int capture_frame(CaptureSession *session, EglContext *egl, const CapturePipelines *pipelines)
{
    CaptureConfig &config = session->settings;
    printf("[Capture] Start, mode=%s\n", capture_mode_name(config.mode));

    PipelineControl control{};
    control.mode = config.mode;
    control.vblank_sync = config.vblank_sync;
    control.fps = config.fps;

    // The 10-bit stream of --hdr starts in H.265, which carries it.
    CodecType codec = config.hdr ? CODEC_TYPE_H265 : CODEC_TYPE_H264;
    int32_t previous_mode = config.mode;
    int32_t requested_mode = config.mode;
    int32_t requested_fps = config.fps;
    int32_t requested_codec = CODEC_TYPE_UNCHANGED;
    int result = 0;

    for (;;) {
        if (requested_codec != CODEC_TYPE_UNCHANGED)
            codec = static_cast<CodecType>(requested_codec);

        if (requested_mode != previous_mode) {
            if (requested_fps > 0)
                config.fps = requested_fps;
            config.mode = requested_mode;
            if (requested_mode == CAPTURE_MODE_COMPATIBLE) {
                config.fps = 60;
                config.vblank_sync = false;
            } else if (requested_mode == CAPTURE_MODE_FAST) {
                config.vblank_sync = true;
            }
        } else {
            if (config.mode == CAPTURE_MODE_BALANCED)
                config.vblank_sync = control.vblank_sync;
            if (requested_fps > 0)
                config.fps = requested_fps;
        }

        if (result == PIPELINE_RESTART_RESIZE) {
            config.out_width = control.new_width;
            config.out_height = control.new_height;
        }

        reset_run_fields(&control);

        if (g_terminate_flag)
            return 0;

        const int32_t mode = config.mode;
        result = run_pipeline(mode, session, egl, codec, &control, pipelines);
        previous_mode = mode;

        // 17 to 20 start another run; anything else ends the driver.
        if (result < PIPELINE_RESTART_SETTINGS || result > 20)
            return result;
        requested_codec = control.new_codec;
        requested_mode = control.mode;
        requested_fps = control.fps;
    }
}
