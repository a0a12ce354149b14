// The compatible pipeline: the RGBA picture comes back through two
// pixel-pack buffers one frame late, the processor converts it to I420 (with
// AVX2 where it has it, through libswscale otherwise), a bitmap
// watermark of capture's wall clock is stamped into the luma plane, and the
// generic codec wrapper encodes H.264 for the streamer.
extern "C" {
#include <libavcodec/packet.h>
}

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>

#include "apps/capture/convert/yuv_convert.h"
#include "apps/capture/encoders/codec.h"
#include "apps/capture/pipelines/compatible_pipeline.h"
#include "apps/capture/pipelines/packet_clock.h"
#include "apps/capture/pipelines/pipeline_common.h"
#include "apps/capture/pipelines/pipelines.h"
#include "apps/capture/pipelines/watermark_font.h"
#include "apps/capture/source/capture_session.h"
#include "apps/capture/source/egl_context.h"
#include "apps/capture/streamer/streamer.h"
#include "apps/capture/supervisor/pipeline_control.h"
#include "apps/capture/supervisor/worker.h"

namespace {

constexpr int64_t kCompatibleMode = 0;
constexpr int32_t kBitrateKbps = 16000;
constexpr int32_t kReportedFps = 60;
constexpr double kInitialTargetFps = 30.0;
constexpr double kUnknownRefreshHz = 60.0;
// Set-up ended because the helper's event connection refused the start
// request; the process ends once the run has released what it made.
constexpr int kEventWriteFailed = -100;

double ms(uint64_t ns) { return double(ns) / 1e6; }

// Everything one run owns. The destructor releases what exists in the
// teardown order: the listener, the picture buffer, the pixel-pack buffers,
// the streamer (its control thread may still reach the encoder), the
// encoder, the texture and framebuffer, the image.
struct CompatibleRun {
    PipelineControl *control = nullptr;
    FrameMetadata *frame = nullptr;
    EGLDisplay display = EGL_NO_DISPLAY;
    // A dma-buf frame is bound to a 2D texture through its own image; a
    // memory frame is uploaded and its 2D upload texture is read instead.
    FrameImport upload{};
    bool uploaded = false;
    EGLImageKHR image = EGL_NO_IMAGE_KHR;
    GLuint texture = 0;
    GLuint framebuffer = 0;
    GLuint pbo[2] = {0, 0};
    CodecContext *codec = nullptr;
    StreamerConfig streamer_config{};
    Streamer *streamer = nullptr;
    VBlankRing ring{};
    std::unique_ptr<uint8_t[]> i420;
    bool announce_cleanup = false;

    CompatibleRun() { upload.image = EGL_NO_IMAGE_KHR; }
    CompatibleRun(const CompatibleRun &) = delete;
    CompatibleRun &operator=(const CompatibleRun &) = delete;

    ~CompatibleRun()
    {
        if (announce_cleanup)
            puts("[Capture] Cleaning up resources...");
        vblank_ring_stop(&ring);
        i420.reset();
        for (GLuint &name : pbo) {
            if (name)
                destroy_pbo(name);
            name = 0;
        }
        if (codec)
            std::atomic_ref<CodecContext *>(control->codec).store(nullptr, std::memory_order_release);
        if (streamer)
            streamer_cleanup(streamer);
        if (codec)
            codec_cleanup(codec);
        if (framebuffer) {
            glBindFramebuffer(GL_FRAMEBUFFER, 0);
            glDeleteFramebuffers(1, &framebuffer);
        }
        if (uploaded) {
            egl_frame_release(&upload);
        } else {
            if (texture)
                glDeleteTextures(1, &texture);
            if (image != EGL_NO_IMAGE_KHR && p_eglDestroyImageKHR)
                p_eglDestroyImageKHR(display, image);
        }
        // No stale names stay in the session's frame for the next run.
        if (frame) {
            frame->texture = 0;
            frame->framebuffer = 0;
        }
    }
};

// Set-up steps 1 to 5: the frame as a 2D texture behind a complete
// framebuffer that stays bound, and the two pixel-pack buffers.
int import_frame(CompatibleRun &run, FrameMetadata *frame)
{
    if (egl_frame_is_memory(frame)) {
        if (egl_frame_import(run.display, frame, &run.upload) != 0)
            return -1;
        run.uploaded = true;
        frame->texture = run.upload.upload_texture;
    } else {
        run.image = create_egl_image(run.display, frame);
        if (run.image == EGL_NO_IMAGE_KHR)
            return -1;
        while (glGetError() != GL_NO_ERROR) {
        }
        if (import_texture_from_image(run.image, &run.texture) != 0)
            return -1;
        frame->texture = run.texture;
    }
    if (setup_framebuffer_object(frame->texture, &run.framebuffer) != 0)
        return -1;
    frame->framebuffer = run.framebuffer;

    run.announce_cleanup = true;
    const size_t bytes = size_t(frame->width) * frame->height * 4;
    for (GLuint &name : run.pbo) {
        name = create_pbo(bytes);
        if (!name)
            return -1;
    }
    return 0;
}

// Everything but the process exit on a refused start request.
int run_compatible(EglContext *egl, CaptureSession *session, PipelineControl *control)
{
    FrameMetadata *frame = session->metadata;
    if (!frame || frame->fd < 0)
        return -1;
    const int32_t fps = session->settings.fps;
    const int32_t width = int32_t(frame->width);
    const int32_t height = int32_t(frame->height);

    CompatibleRun run;
    run.control = control;
    run.frame = frame;
    run.display = egl->display;
    if (import_frame(run, frame) != 0)
        return -1;

    CodecEncoderConfig encoder_config{CODEC_TYPE_H264, width, height, fps, kBitrateKbps, fps / 2};
    printf("[Capture] Init Encoder: %dx%d @ %dfps, %dkbps\n", width, height, fps, kBitrateKbps);
    if (codec_encoder_init(&run.codec, &encoder_config) != 0) {
        run.codec = nullptr;
        fputs("Encoder init failed\n", stderr);
        return -1;
    }
    std::atomic_ref<CodecContext *>(control->codec).store(run.codec, std::memory_order_release);

    pipeline_streamer_config_fill(&run.streamer_config, session, width, height, CODEC_TYPE_H264, kCompatibleMode,
                                  control);
    run.streamer_config.codec_name = "H264";
    run.streamer_config.vblank_sync = false;
    run.streamer_config.fps = kReportedFps;
    if (streamer_init(&run.streamer, &run.streamer_config) != 0) {
        run.streamer = nullptr;
        fputs("Streamer init failed\n", stderr);
        return -1;
    }
    if (streamer_connect(run.streamer) != 0) {
        fputs("Streamer connect failed\n", stderr);
        return -1;
    }

    puts("[Capture] Starting VBlank Event Loop...");
    fflush(stdout);
    const uint64_t start_events = 2;
    if (uds_client_event_write(session->connection, &start_events) != 0)
        return kEventWriteFailed;

    start_pbo_read(run.pbo[0], width, height);

    if (vblank_ring_init(&run.ring, session->connection, &g_terminate_flag) != 0 ||
        vblank_ring_start(&run.ring) != 0)
        return -1;
    printf("[Debug] VBlank thread created: %lu\n", static_cast<unsigned long>(run.ring.listener));

    const size_t luma = size_t(width) * height;
    // libswscale writes whole chroma samples, so an odd size needs a few
    // bytes past the packed picture.
    run.i420.reset(new (std::nothrow) uint8_t[luma * 3 / 2 + 2 * size_t(width) + 64]);
    if (!run.i420)
        return -1;
    uint8_t *y_plane = run.i420.get();
    uint8_t *u_plane = y_plane + luma;
    uint8_t *v_plane = u_plane + luma / 4;

    double target_fps = kInitialTargetFps;
    double upstream_hz = frame->refresh_rate > 0 ? double(frame->refresh_rate) : kUnknownRefreshHz;
    PacingCredit credit{};
    pacing_credit_reset(&credit, pipeline_now_ns());
    uint64_t last_event_ns = 0;
    uint32_t pass = 0;
    unsigned parity = 0;
    CompatPacketClock clock{};
    compat_packet_clock_reset(&clock);
    RateWindow window{};
    rate_window_reset(&window, pipeline_now_ns());
    fprintf(stderr, "[Capture] Pixels %d\n", int(frame->format));

    for (;;) {
        uint64_t t = 0, events = 0;
        if (vblank_ring_take(&run.ring, &t, &events) != 0)
            break;
        if (control->change_requested.load(std::memory_order_acquire)) {
            fputs("[Pipeline] Restart requested (compatible mode), exiting loop...\n", stderr);
            run.ring.running.store(false, std::memory_order_release);
            break;
        }
        const int32_t n = int32_t(events);
        if (n > 0 && t > last_event_ns && last_event_ns != 0) {
            upstream_hz = compat_upstream_rate_update(upstream_hz, last_event_ns, t, n);
            run.streamer_config.upstream_fps.store(upstream_hz, std::memory_order_relaxed);
        }

        const double interval = 1e9 / target_fps;
        if (!pacing_credit_admit(&credit, t, target_fps)) {
            last_event_ns = t;
            pass += 1;
            continue;
        }

        const uint64_t frame_start = pipeline_now_ns();
        if (egl_frame_refresh(&run.upload) == 0)
            start_pbo_read(run.pbo[(parity + 1) % 2], width, height);
        const void *pixels = map_pbo(run.pbo[parity], size_t(width) * height * 4);
        if (!pixels) {
            glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
            fputs("Map PBO failed\n", stderr);
            break;
        }
        const uint64_t convert_start = pipeline_now_ns();
        const int converted = rgba_to_yuv420p_bt709(uint32_t(width), uint32_t(height),
                                                    static_cast<const uint8_t *>(pixels), uint32_t(width) * 4,
                                                    y_plane, u_plane, v_plane);
        const uint64_t convert_ns = pipeline_now_ns() - convert_start;
        unmap_pbo(run.pbo[parity]);
        if (converted != 0) {
            fputs("SIMD Color conversion failed\n", stderr);
            break;
        }

        watermark_draw_ms(y_plane, width, height, width, watermark_wall_clock_ms());

        AVPacket *packet = nullptr;
        const uint64_t encode_start = pipeline_now_ns();
        const int encoded = codec_encode_frame(run.codec, run.i420.get(), &packet);
        const uint64_t encode_ns = pipeline_now_ns() - encode_start;
        if (encoded != 0) {
            fprintf(stderr, "Encode failed: %d\n", encoded);
            break;
        }

        uint64_t send_ns = 0;
        if (packet) {
            const uint64_t pts = compat_packet_clock_next(&clock, t, target_fps);
            const uint64_t send_start = pipeline_now_ns();
            streamer_send_packet(run.streamer, packet, pts);
            send_ns = pipeline_now_ns() - send_start;
            av_packet_free(&packet);
        }
        parity ^= 1u;

        const uint64_t frame_end = pipeline_now_ns();
        rate_window_count(&window, frame_end);
        const uint64_t total_ns = frame_end - frame_start;
        target_fps = compat_target_fps_update(target_fps, total_ns, interval, fps, upstream_hz, pass);
        if (pass % 60 == 0) {
            const double lead = clock.first_packet ? 0.0 : clock.virtual_clock_ms - double(t / 1000000);
            printf("FPS t=%.0f cur=%.1f act=%.1f up=%.1fHz diff=%+.2fms total=%.1fms yuv=%.1f enc=%.1f "
                   "send=%.1f\n",
                   double(fps), target_fps, window.actual_fps, upstream_hz, lead, ms(total_ns), ms(convert_ns),
                   ms(encode_ns), ms(send_ns));
            fflush(stdout);
        }
        last_event_ns = t;
        pass += 1;
    }

    run.ring.running.store(false, std::memory_order_release);
    // A codec request restarts this mode like any other setting: it always
    // encodes H.264.
    if (!control->change_requested.load(std::memory_order_acquire))
        return 0;
    if (control->new_height >= 0 || control->new_width >= 0)
        return PIPELINE_RESTART_RESIZE;
    return PIPELINE_RESTART_SETTINGS;
}

}  // namespace

double compat_target_fps_update(double target_fps, uint64_t total_ns, double interval_ns, int32_t fps,
                                double upstream_hz, uint32_t pass)
{
    const double total = double(total_ns);
    if (total > 0.9 * interval_ns)
        return std::max(10.0, 0.95 * target_fps);
    if (total < 0.7 * interval_ns && double(fps) > target_fps && upstream_hz - 2.0 > target_fps && pass % 10 == 0)
        return target_fps + 0.2;
    return target_fps;
}

int _capture_cpu_h264(EglContext *egl, CaptureSession *session, PipelineControl *control)
{
    const int result = run_compatible(egl, session, control);
    if (result == kEventWriteFailed)
        exit(1);
    return result;
}
