// The balanced pipeline: the GPU converts each frame to I420, the planes come
// back through pixel-pack buffers one frame later (or in the same pass with
// the same-frame read-back), a software encoder encodes them and the
// streamer sends the packets. An HDR signal is tone-mapped to SDR in the
// conversion; with --hdr (and a codec that carries it) the planes are the
// 10-bit stream's instead, encoded as such.
extern "C" {
#include <libavcodec/packet.h>
}

#include <atomic>
#include <cstdio>

#include "apps/capture/core/pipeline_control.h"
#include "apps/capture/encoders/cpu_encoder.h"
#include "apps/capture/gpu/gl_cpu_renderer.h"
#include "apps/capture/pipelines/packet_clock.h"
#include "apps/capture/pipelines/pipeline_run.h"
#include "apps/capture/pipelines/pipelines.h"

namespace {

// The balanced run's own parts: the I420 renderer and the software encoder.
struct BalancedStage final : PipelineStage {
    GlCpuRenderer renderer{};
    bool renderer_made = false;
    CpuEncoder *encoder = nullptr;

    void release_encoder() override
    {
        if (encoder)
            cpu_encoder_destroy(encoder);
        encoder = nullptr;
    }
    void release_renderer() override
    {
        if (renderer_made)
            gl_cpu_cleanup(&renderer);
        renderer_made = false;
    }
};

}  // namespace

int _capture_gl_cpu_hybrid(EglContext *egl, CaptureSession *session, CodecType codec, PipelineControl *control)
{
    const CpuEncoderInfo *row = cpu_find_encoder(codec);
    if (!row)
        return pipeline_no_encoder("[GL+CPU] Unsupported codec", codec, cpu_encoder_list_available);
    fprintf(stderr, "[GL+CPU] Selected encoder: %s (%s)\n", codec_type_to_string(codec), row->name);
    if (pipeline_gl_ready(egl, session) != 0)
        return -1;
    FrameMetadata *frame = pipeline_publish_session(session, control, codec);
    if (!frame)
        return -1;
    const CaptureConfig &settings = session->settings;

    BalancedStage stage;
    PipelineRun run(session, control, &stage);
    if (run.import_frame(egl->display, PIPELINE_IMPORT_EXTERNAL) != 0)
        return -1;

    int32_t width = 0, height = 0;
    pipeline_output_size(session, "[GL+CPU]", &width, &height);

    stage.renderer_made = true;
    if (gl_cpu_init(&stage.renderer, egl->display, width, height) < 0) {
        fputs("[GL+CPU] GL render init failed\n", stderr);
        return -1;
    }
    gl_cpu_set_same_frame(&stage.renderer, settings.same_frame_readback);
    const bool ten_bit = pipeline_hdr_stream(session, codec, "[GL+CPU]");
    if (gl_cpu_set_signal(&stage.renderer, run.hdr(), ten_bit) != 0)
        return -1;

    int encoder_fps = settings.fps;
    if (settings.vblank_sync && frame->refresh_rate > 0)
        encoder_fps = int(frame->refresh_rate);
    const int created = ten_bit ? cpu_encoder_create_hdr(&stage.encoder, codec, width, height, encoder_fps, run.hdr())
                                : cpu_encoder_create(&stage.encoder, codec, width, height, encoder_fps);
    if (created < 0) {
        stage.encoder = nullptr;
        fputs("[GL+CPU] Encoder init failed\n", stderr);
        return -1;
    }
    run.publish_encoder(stage.encoder);

    if (run.start_streaming(width, height, codec, CAPTURE_MODE_BALANCED) != 0)
        return -1;

    int status = -1;
    run.follow_events("[GL+CPU] Pipeline restart requested\n", [&](uint64_t event_ns, bool vblank_sync,
                                                                   int32_t frame_index) {
        const PipelinePacing &pacing = run.pacing;
        const bool take = vblank_sync || pacing_credit_admit(&run.credit, event_ns, pacing.target_fps);
        if (take) {
            const uint64_t t0 = pipeline_now_ns();
            const uint8_t *y = nullptr, *u = nullptr, *v = nullptr;
            int32_t y_stride = 0, u_stride = 0, v_stride = 0;
            CursorOverlayGl cursor{};
            ShaderPicture picture;
            if (run.refresh_frame() != 0) {
                status = -1;
            } else {
                run.gl_picture(&picture, &cursor);
                status = gl_cpu_render_and_map(&stage.renderer, run.frame_texture(), event_ns / 1000000, &y, &y_stride,
                                               &u, &u_stride, &v, &v_stride, &cursor, &picture);
            }
            const uint64_t t1 = pipeline_now_ns();
            if (status >= 0) {
                AVPacket *packet = nullptr;
                status = cpu_encoder_encode_planes(stage.encoder, y, y_stride, u, u_stride, v, v_stride, &packet);
                const uint64_t t2 = pipeline_now_ns();
                gl_cpu_unmap(&stage.renderer);
                if (status >= 0 && packet) {
                    const uint64_t pts_ms = packet_clock_next(&run.clock, event_ns, pacing.target_fps);
                    run.send_packet(packet, pts_ms);
                    const uint64_t t3 = pipeline_now_ns();
                    av_packet_unref(packet);
                    rate_window_count(&run.window, t3);
                    const double total = double(t3 - t0) / 1e6;
                    if (total > 5.0 || frame_index % 60 == 0)
                        fprintf(stderr,
                                "[GL+CPU] Frame %d | Mode: %s | FPS: %.1f/%.1f/%.1fHz | Time: total=%.2f "
                                "render=%.2f enc=%.2fms\n",
                                frame_index, vblank_sync ? "VBlank" : "Fixed", pacing.target_fps, run.window.actual_fps,
                                pacing.upstream_hz, total, double(t1 - t0) / 1e6, double(t2 - t1) / 1e6);
                }
            }
        }
    });
    return run.result(status);
}
