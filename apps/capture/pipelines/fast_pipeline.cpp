// The fast pipeline: the GPU draws each frame straight into the NV12 VA-API
// surface the encoder reads next, the VA-API encoder encodes it and the
// streamer sends the packets. No pixel passes through the processor.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
#include <libavutil/hwcontext.h>
#include <libavutil/pixfmt.h>
}

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "apps/capture/encoders/vaapi_encoders.h"
#include "apps/capture/gpu/zerocopy.h"
#include "apps/capture/pipelines/packet_clock.h"
#include "apps/capture/pipelines/pipeline_common.h"
#include "apps/capture/pipelines/pipelines.h"
#include "apps/capture/source/capture_session.h"
#include "apps/capture/source/egl_context.h"
#include "apps/capture/streamer/streamer.h"
#include "apps/capture/core/pipeline_control.h"
#include "apps/capture/core/stop_flag.h"

namespace {

constexpr const char *kRenderNode = "/dev/dri/renderD128";
constexpr int kSurfacePool = 8;
constexpr int kUnknownRefreshTimeBase = 165;

// Everything one run owns, released by the destructor in this order: the
// listener, the render targets, the frame and packet, the surface pool, the
// streamer, the encoder and the device, and last the frame's import.
struct FastRun {
    FrameMetadata *frame = nullptr;
    FrameImport import{};
    bool imported = false;
    AVBufferRef *device = nullptr;
    AVCodecContext *encoder = nullptr;
    AVBufferRef *frames = nullptr;
    AVFrame *surface = nullptr;
    AVPacket *packet = nullptr;
    ZeroCopyTargets targets{};
    bool targets_made = false;
    StreamerConfig streamer_config{};
    Streamer *streamer = nullptr;
    VBlankRing ring{};

    FastRun() { import.image = EGL_NO_IMAGE_KHR; }
    FastRun(const FastRun &) = delete;
    FastRun &operator=(const FastRun &) = delete;

    ~FastRun()
    {
        vblank_ring_stop(&ring);
        if (targets_made)
            zerocopy_cleanup(&targets);
        av_frame_free(&surface);
        av_packet_free(&packet);
        av_buffer_unref(&frames);
        if (streamer)
            streamer_cleanup(streamer);
        avcodec_free_context(&encoder);
        av_buffer_unref(&device);
        if (imported) {
            egl_frame_release(&import);
            frame->texture = 0;
        }
    }
};

// The encoder context, its surface pool and the open encoder. 0, or -1 after
// the line of the step that failed (the pool and open fail silently).
int fast_open_encoder(FastRun *run, const VaapiEncoderInfo *row, int32_t width, int32_t height)
{
    if (av_hwdevice_ctx_create(&run->device, AV_HWDEVICE_TYPE_VAAPI, kRenderNode, nullptr, 0) < 0) {
        run->device = nullptr;
        fputs("Failed to create VAAPI device\n", stderr);
        return -1;
    }
    const AVCodec *codec = avcodec_find_encoder_by_name(row->name);
    if (!codec) {
        fprintf(stderr, "[VAAPI] Encoder %s not found (check driver support)\n", row->name);
        return -1;
    }
    run->encoder = avcodec_alloc_context3(codec);
    if (!run->encoder)
        return -1;

    AVCodecContext *context = run->encoder;
    const FrameMetadata *frame = run->frame;
    const int rate = frame->refresh_rate > 0 ? int(frame->refresh_rate) : kUnknownRefreshTimeBase;
    context->pix_fmt = AV_PIX_FMT_VAAPI;
    context->width = width;
    context->height = height;
    context->time_base = AVRational{1, rate};
    context->framerate = AVRational{rate, 1};
    context->hw_device_ctx = av_buffer_ref(run->device);
    if (!context->hw_device_ctx)
        return -1;
    if (row->configure(context, int(frame->width), int(frame->height)) < 0) {
        fputs("[VAAPI] Encoder configuration failed\n", stderr);
        return -1;
    }

    run->frames = av_hwframe_ctx_alloc(run->device);
    if (!run->frames)
        return -1;
    auto *pool = reinterpret_cast<AVHWFramesContext *>(run->frames->data);
    pool->format = AV_PIX_FMT_VAAPI;
    pool->sw_format = AV_PIX_FMT_NV12;
    pool->width = width;
    pool->height = height;
    pool->initial_pool_size = kSurfacePool;
    if (av_hwframe_ctx_init(run->frames) < 0)
        return -1;
    context->hw_frames_ctx = av_buffer_ref(run->frames);
    if (!context->hw_frames_ctx)
        return -1;
    if (avcodec_open2(context, codec, nullptr) < 0)
        return -1;
    return 0;
}

}  // namespace

int _capture_vaapi_zerocopy(EglContext *egl, CaptureSession *session, CodecType codec, PipelineControl *control)
{
    const VaapiEncoderInfo *row = vaapi_find_encoder(codec);
    if (!row) {
        fprintf(stderr, "[VAAPI] Unsupported codec type: %s\n", codec_type_to_string(codec));
        vaapi_list_encoders();
        return -1;
    }
    if (!row->configure) {
        fprintf(stderr, "[VAAPI] Encoder %s not implemented yet\n", row->name);
        return -1;
    }
    fprintf(stderr, "[VAAPI] Selected encoder: %s (%s)\n", codec_type_to_string(codec), row->name);
    // The running encoder is not published in the control: bit-rate and
    // key-frame requests have no effect in this mode.
    control->session = session;
    control->codec_type = codec;

    FrameMetadata *frame = session->metadata;
    if (!frame || frame->fd < 0)
        return -1;
    const CaptureConfig &settings = session->settings;

    FastRun run;
    run.frame = frame;
    if (egl_frame_import(egl->display, frame, &run.import) != 0)
        return -1;
    run.imported = true;
    frame->texture = run.import.texture;
    puts("[Pipeline] AR30(EGL) -> Shader -> NV12(VAAPI) -> Encode");
    fflush(stdout);

    int32_t width = 0, height = 0;
    pipeline_output_size(session, "[VAAPI]", &width, &height);
    if (fast_open_encoder(&run, row, width, height) != 0)
        return -1;

    run.surface = av_frame_alloc();
    run.packet = av_packet_alloc();
    if (!run.surface || !run.packet)
        return -1;

    run.targets_made = true;
    if (zerocopy_init_from_pool(&run.targets, run.frames, egl->display, width, height) != 0) {
        fputs("[ZeroCopy] Init failed\n", stderr);
        return -1;
    }

    pipeline_streamer_config_fill(&run.streamer_config, session, width, height, codec, CAPTURE_MODE_FAST, control);
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
    RateWindow window{};
    rate_window_reset(&window, pipeline_now_ns());

    int status = 0;
    int64_t frame_pts = 0;
    uint64_t previous_ns = 0;
    int32_t frame_index = 0;
    bool looping = run.ring.running.load(std::memory_order_acquire);
    while (looping) {
        uint64_t event_ns = 0;
        if (pipeline_wait_event(&run.ring, control, "[Pipeline] Restart requested, exiting loop...\n", &event_ns) != 0)
            break;
        const bool vblank_sync = session->settings.vblank_sync;
        pipeline_pacing_update(&pacing, previous_ns, event_ns, vblank_sync, &run.streamer_config);

        const uint64_t t0 = pipeline_now_ns();
        const int got = av_hwframe_get_buffer(run.frames, run.surface, 0);
        if (got < 0) {
            fprintf(stderr, "[Encode] No free surface in pool (ret=%d)\n", got);
            status = got;
        } else {
            const auto surface_id = uint32_t(reinterpret_cast<uintptr_t>(run.surface->data[3]));
            const int32_t index = zerocopy_find_index_by_surface(&run.targets, surface_id);
            if (index < 0) {
                fprintf(stderr, "[Encode] Unknown surface ID %u\n", surface_id);
                av_frame_unref(run.surface);
            } else {
                egl_frame_refresh(&run.import);
                zerocopy_render_to_index(&run.targets, index, run.import.texture, uint32_t(width),
                                         uint32_t(height), event_ns / 1000000);
                const uint64_t t1 = pipeline_now_ns();
                run.surface->pts = frame_pts;
                const int sent = avcodec_send_frame(run.encoder, run.surface);
                // The surface returns to the pool once the encoder is done with it.
                av_frame_unref(run.surface);
                if (sent < 0) {
                    fprintf(stderr, "[Encode] send_frame failed: %d\n", sent);
                    status = sent;
                    frame_pts += 1;
                } else {
                    status = 0;
                    const uint64_t t2 = pipeline_now_ns();
                    uint64_t t3 = 0;
                    while (avcodec_receive_packet(run.encoder, run.packet) >= 0) {
                        const uint64_t pts_ms = packet_clock_next(&clock, event_ns, pacing.target_fps);
                        streamer_send_packet(run.streamer, run.packet, pts_ms);
                        t3 = pipeline_now_ns();
                        av_packet_unref(run.packet);
                    }
                    // An iteration whose frame gave no packet yet is timed
                    // up to the end of the receive loop.
                    if (t3 == 0)
                        t3 = pipeline_now_ns();
                    rate_window_count(&window, t3);
                    const double total = double(t3 - t0) / 1e6;
                    if (total > 3.0 || frame_index % 60 == 0) {
                        const double lead = packet_clock_lead_ms(&clock, event_ns);
                        printf("[VAAPI] Frame %d | Mode: %s | FPS: target=%.1f actual=%.1f upstream=%.1fHz | "
                               "Time: total=%.2fms render=%.2f enc=%.2f | VirtDiff=%+.2fms (%.2fx frame)\n",
                               frame_index, vblank_sync ? "VBlank-Sync" : "Fixed-FPS", pacing.target_fps,
                               window.actual_fps, pacing.upstream_hz, total, double(t1 - t0) / 1e6,
                               double(t2 - t1) / 1e6, lead, lead / (1000.0 / pacing.target_fps));
                        fflush(stdout);
                    }
                    frame_pts += 1;
                }
            }
        }
        frame_index += 1;
        looping = pipeline_loop_continues(&run.ring);
        previous_ns = event_ns;
    }

    vblank_ring_stop(&run.ring);
    zerocopy_cleanup(&run.targets);
    return pipeline_result_code(control, status);
}
