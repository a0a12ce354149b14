// The balanced pipeline: the GPU converts each frame to I420, the planes come
// back through pixel-pack buffers one frame later, a software encoder encodes
// them and the streamer sends the packets.
extern "C" {
#include <libavcodec/packet.h>
}

#include <atomic>
#include <cstdio>

#include "apps/capture/encoders/cpu_encoder.h"
#include "apps/capture/gpu/gl_cpu_renderer.h"
#include "apps/capture/pipelines/packet_clock.h"
#include "apps/capture/pipelines/pipeline_common.h"
#include "apps/capture/pipelines/pipelines.h"
#include "apps/capture/source/capture_session.h"
#include "apps/capture/source/egl_context.h"
#include "apps/capture/streamer/streamer.h"
#include "apps/capture/core/pipeline_control.h"
#include "apps/capture/core/stop_flag.h"

namespace {


// Everything one run owns. The destructor releases what exists: the listener
// first, then the encoder (unpublished before anything else), the streamer,
// the renderer and the frame's import.
struct BalancedRun {
    PipelineControl *control = nullptr;
    FrameMetadata *frame = nullptr;
    FrameImport import{};
    bool imported = false;
    GlCpuRenderer renderer{};
    bool renderer_made = false;
    CpuEncoder *encoder = nullptr;
    StreamerConfig streamer_config{};
    Streamer *streamer = nullptr;
    VBlankRing ring{};

    BalancedRun() { import.image = EGL_NO_IMAGE_KHR; }
    BalancedRun(const BalancedRun &) = delete;
    BalancedRun &operator=(const BalancedRun &) = delete;

    ~BalancedRun()
    {
        vblank_ring_stop(&ring);
        if (encoder) {
            control->cpu_encoder.store(nullptr, std::memory_order_release);
            // The control thread may have picked the encoder up just before
            // it was unpublished; it is gone once the streamer has stopped.
            if (streamer)
                streamer_cleanup(streamer);
            streamer = nullptr;
            cpu_encoder_destroy(encoder);
        }
        if (streamer)
            streamer_cleanup(streamer);
        if (renderer_made)
            gl_cpu_cleanup(&renderer);
        if (imported) {
            egl_frame_release(&import);
            frame->texture = 0;
        }
    }
};

}  // namespace

int _capture_gl_cpu_hybrid(EglContext *egl, CaptureSession *session, CodecType codec, PipelineControl *control)
{
    const CpuEncoderInfo *row = cpu_find_encoder(codec);
    if (!row) {
        fprintf(stderr, "[GL+CPU] Unsupported codec: %s\n", codec_type_to_string(codec));
        cpu_encoder_list_available();
        return -1;
    }
    fprintf(stderr, "[GL+CPU] Selected encoder: %s (%s)\n", codec_type_to_string(codec), row->name);
    control->session = session;
    control->codec_type = codec;

    FrameMetadata *frame = session->metadata;
    if (!frame || frame->fd < 0)
        return -1;
    const CaptureConfig &settings = session->settings;

    BalancedRun run;
    run.control = control;
    run.frame = frame;
    if (egl_frame_import(egl->display, frame, &run.import) != 0)
        return -1;
    run.imported = true;
    frame->texture = run.import.texture;

    int32_t width = 0, height = 0;
    pipeline_output_size(session, "[GL+CPU]", &width, &height);

    run.renderer_made = true;
    if (gl_cpu_init(&run.renderer, egl->display, width, height) < 0) {
        fputs("[GL+CPU] GL render init failed\n", stderr);
        return -1;
    }

    int encoder_fps = settings.fps;
    if (settings.vblank_sync && frame->refresh_rate > 0)
        encoder_fps = int(frame->refresh_rate);
    if (cpu_encoder_create(&run.encoder, codec, width, height, encoder_fps) < 0) {
        run.encoder = nullptr;
        fputs("[GL+CPU] Encoder init failed\n", stderr);
        return -1;
    }
    control->cpu_encoder.store(run.encoder, std::memory_order_release);

    pipeline_streamer_config_fill(&run.streamer_config, session, width, height, codec, CAPTURE_MODE_BALANCED, control);
    if (streamer_init(&run.streamer, &run.streamer_config) != 0) {
        run.streamer = nullptr;
        return -1;
    }
    streamer_connect(run.streamer);

    pipeline_ring_start(&run.ring, session, &g_terminate_flag);

    PipelinePacing pacing{};
    pipeline_pacing_init(&pacing, settings.vblank_sync, frame->refresh_rate, settings.fps);
    PacketClock clock{};
    packet_clock_reset(&clock);
    const uint64_t loop_start = pipeline_now_ns();
    PacingCredit credit{};
    pacing_credit_reset(&credit, loop_start);
    RateWindow window{};
    rate_window_reset(&window, loop_start);

    int status = -1;
    uint64_t previous_ns = 0;
    int32_t frame_index = 0;
    bool looping = run.ring.running.load(std::memory_order_acquire);
    while (looping) {
        uint64_t event_ns = 0;
        if (pipeline_wait_event(&run.ring, control, "[GL+CPU] Pipeline restart requested\n", &event_ns) != 0)
            break;
        const bool vblank_sync = session->settings.vblank_sync;
        pipeline_pacing_update(&pacing, previous_ns, event_ns, vblank_sync, &run.streamer_config);

        const bool take = vblank_sync || pacing_credit_admit(&credit, event_ns, pacing.target_fps);
        if (take) {
            const uint64_t t0 = pipeline_now_ns();
            const uint8_t *y = nullptr, *u = nullptr, *v = nullptr;
            int32_t y_stride = 0, u_stride = 0, v_stride = 0;
            if (egl_frame_refresh(&run.import) != 0)
                status = -1;
            else
                status = gl_cpu_render_and_map(&run.renderer, run.import.texture, event_ns / 1000000, &y,
                                               &y_stride, &u, &u_stride, &v, &v_stride);
            const uint64_t t1 = pipeline_now_ns();
            if (status >= 0) {
                AVPacket *packet = nullptr;
                status = cpu_encoder_encode_planes(run.encoder, y, y_stride, u, u_stride, v, v_stride, &packet);
                const uint64_t t2 = pipeline_now_ns();
                gl_cpu_unmap(&run.renderer);
                if (status >= 0 && packet) {
                    const uint64_t pts_ms = packet_clock_next(&clock, event_ns, pacing.target_fps);
                    streamer_send_packet(run.streamer, packet, pts_ms);
                    const uint64_t t3 = pipeline_now_ns();
                    av_packet_unref(packet);
                    rate_window_count(&window, t3);
                    const double total = double(t3 - t0) / 1e6;
                    if (total > 5.0 || frame_index % 60 == 0)
                        fprintf(stderr,
                                "[GL+CPU] Frame %d | Mode: %s | FPS: %.1f/%.1f/%.1fHz | Time: total=%.2f "
                                "render=%.2f enc=%.2fms\n",
                                frame_index, vblank_sync ? "VBlank" : "Fixed", pacing.target_fps,
                                window.actual_fps, pacing.upstream_hz, total, double(t1 - t0) / 1e6,
                                double(t2 - t1) / 1e6);
                }
            }
        }
        frame_index += 1;
        looping = pipeline_loop_continues(&run.ring);
        previous_ns = event_ns;
    }

    vblank_ring_stop(&run.ring);
    return pipeline_result_code(control, status);
}
