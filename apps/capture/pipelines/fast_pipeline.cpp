// The fast pipeline: the GPU draws each frame straight into the NV12 VA-API
// surface the encoder reads next, the VA-API encoder encodes it and the
// streamer sends the packets. No pixel passes through the processor. An HDR
// signal is tone-mapped to SDR in the conversion; with --hdr (H.265 or AV1)
// the surfaces are P010 and the encoder makes the 10-bit stream.
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

#include "apps/capture/core/pipeline_control.h"
#include "apps/capture/encoders/codec_types.h"
#include "apps/capture/encoders/hdr_encoding.h"
#include "apps/capture/encoders/vaapi_encoders.h"
#include "apps/capture/gpu/zerocopy.h"
#include "apps/capture/pipelines/packet_clock.h"
#include "apps/capture/pipelines/pipeline_run.h"
#include "apps/capture/pipelines/pipelines.h"
#include "libs/common/ffmpeg_ptr.h"

namespace {

constexpr const char *kRenderNode = "/dev/dri/renderD128";
constexpr int kSurfacePool = 8;
constexpr int kUnknownRefreshTimeBase = 165;

// The fast run's own parts: the VA-API device, the encoder with its surface
// pool, the reusable frame and packet, and the render targets over the pool.
// The render targets, the frame and packet and the pool go once the listener
// has stopped; the encoder and the device once the streamer has.
struct FastStage final : PipelineStage {
    // What the relay asks of the encoder, published in the control for the
    // run and taken by the frame step; withdrawn before the streamer (and
    // its control thread) stops, and alive until the run is gone.
    EncoderRequests requests;
    PipelineControl *control = nullptr;
    AVBufferRef *device = nullptr;
    AvCodecContextPtr encoder;
    AVBufferRef *frames = nullptr;
    AvFramePtr surface;
    AvPacketPtr packet;
    ZeroCopyTargets targets{};
    bool targets_made = false;

    void teardown_begins() override
    {
        if (control)
            control->vaapi_requests.store(nullptr, std::memory_order_release);
    }
    void release_frame_path() override
    {
        if (targets_made)
            zerocopy_cleanup(&targets);
        targets_made = false;
        surface.reset();
        packet.reset();
        av_buffer_unref(&frames);
    }
    void release_encoder() override
    {
        encoder.reset();
        av_buffer_unref(&device);
    }
};

// The encoder context, its surface pool and the open encoder; with hdr the
// 10-bit stream of that signal over P010 surfaces. 0, or -1 after the line of
// the step that failed (the SDR pool and open fail silently).
int fast_open_encoder(FastStage *stage, const FrameMetadata *frame, const VaapiEncoderInfo *row, int32_t width,
                      int32_t height, const HdrSignal *hdr)
{
    if (av_hwdevice_ctx_create(&stage->device, AV_HWDEVICE_TYPE_VAAPI, kRenderNode, nullptr, 0) < 0) {
        stage->device = nullptr;
        fputs("Failed to create VAAPI device\n", stderr);
        return -1;
    }
    const AVCodec *codec = avcodec_find_encoder_by_name(row->name);
    if (!codec) {
        fprintf(stderr, "[VAAPI] Encoder %s not found (check driver support)\n", row->name);
        return -1;
    }
    stage->encoder.reset(avcodec_alloc_context3(codec));
    if (!stage->encoder)
        return -1;

    AVCodecContext *context = stage->encoder.get();
    const int rate = frame->refresh_rate > 0 ? int(frame->refresh_rate) : kUnknownRefreshTimeBase;
    context->pix_fmt = AV_PIX_FMT_VAAPI;
    context->width = width;
    context->height = height;
    context->time_base = AVRational{1, rate};
    context->framerate = AVRational{rate, 1};
    context->hw_device_ctx = av_buffer_ref(stage->device);
    if (!context->hw_device_ctx)
        return -1;
    if (row->configure(context, width, height) < 0) {
        fputs("[VAAPI] Encoder configuration failed\n", stderr);
        return -1;
    }
    if (hdr && hdr_encoding_configure(context, row->name, *hdr) != 0)
        return -1;

    stage->frames = av_hwframe_ctx_alloc(stage->device);
    if (!stage->frames)
        return -1;
    auto *pool = reinterpret_cast<AVHWFramesContext *>(stage->frames->data);
    pool->format = AV_PIX_FMT_VAAPI;
    pool->sw_format = hdr ? AV_PIX_FMT_P010 : AV_PIX_FMT_NV12;
    pool->width = width;
    pool->height = height;
    pool->initial_pool_size = kSurfacePool;
    if (av_hwframe_ctx_init(stage->frames) < 0) {
        if (hdr)
            fputs("[VAAPI] The driver refused P010 surfaces: no 10-bit stream here\n", stderr);
        return -1;
    }
    context->hw_frames_ctx = av_buffer_ref(stage->frames);
    if (!context->hw_frames_ctx)
        return -1;
    if (avcodec_open2(context, codec, nullptr) < 0) {
        if (hdr)
            fprintf(stderr, "[VAAPI] %s refused the 10-bit stream from P010 surfaces on this driver\n", row->name);
        return -1;
    }
    return 0;
}

}  // namespace

bool fast_take_requests(PipelineControl *control, AVCodecContext *encoder, AVFrame *surface)
{
    EncoderRequests *const requests = control->vaapi_requests.load(std::memory_order_acquire);
    if (requests == nullptr) {
        surface->pict_type = AV_PICTURE_TYPE_NONE;
        surface->key_frame = 0;
        return false;
    }
    return encoder_take_requests(requests, encoder, surface);
}

int _capture_vaapi_zerocopy(EglContext *egl, CaptureSession *session, CodecType codec, PipelineControl *control)
{
    if (pipeline_gl_ready(egl, session) != 0)
        return -1;
    const VaapiEncoderInfo *row = vaapi_find_encoder(codec);
    if (!row)
        return pipeline_no_encoder("[VAAPI] Unsupported codec type", codec, vaapi_list_encoders);
    if (!row->configure) {
        fprintf(stderr, "[VAAPI] Encoder %s not implemented yet\n", row->name);
        return -1;
    }
    fprintf(stderr, "[VAAPI] Selected encoder: %s (%s)\n", codec_type_to_string(codec), row->name);
    FrameMetadata *frame = pipeline_publish_session(session, control, codec);
    if (!frame)
        return -1;

    FastStage stage;
    stage.control = control;
    PipelineRun run(session, control, &stage);
    if (run.import_frame(egl->display, PIPELINE_IMPORT_EXTERNAL) != 0)
        return -1;
    puts("[Pipeline] AR30(EGL) -> Shader -> NV12(VAAPI) -> Encode");
    fflush(stdout);

    int32_t width = 0, height = 0;
    pipeline_output_size(session, "[VAAPI]", &width, &height);
    const bool ten_bit = pipeline_hdr_stream(session, codec, "[VAAPI]");
    const HdrSignal &signal = run.hdr();
    if (fast_open_encoder(&stage, frame, row, width, height, ten_bit ? &signal : nullptr) != 0)
        return -1;
    // Key-frame and bit-rate requests reach the encoder through the frame
    // step: the control thread never touches the VA-API context.
    control->vaapi_requests.store(&stage.requests, std::memory_order_release);

    stage.surface.reset(av_frame_alloc());
    stage.packet.reset(av_packet_alloc());
    if (!stage.surface || !stage.packet)
        return -1;

    stage.targets_made = true;
    if (zerocopy_init_from_pool(&stage.targets, stage.frames, egl->display, width, height) != 0) {
        fputs("[ZeroCopy] Init failed\n", stderr);
        return -1;
    }
    // The SDR picture of an SDR signal keeps the programs as they are.
    if ((ten_bit || hdr_signal_is_hdr(signal)) && zerocopy_set_signal(&stage.targets, signal) != 0)
        return -1;

    if (run.start_streaming(width, height, codec, CAPTURE_MODE_FAST) != 0)
        return -1;

    int status = 0;
    int64_t frame_pts = 0;
    run.follow_events("[Pipeline] Restart requested, exiting loop...\n", [&](uint64_t event_ns, bool vblank_sync,
                                                                             int32_t frame_index) {
        const PipelinePacing &pacing = run.pacing;
        const uint64_t t0 = pipeline_now_ns();
        const int got = av_hwframe_get_buffer(stage.frames, stage.surface.get(), 0);
        if (got < 0) {
            fprintf(stderr, "[Encode] No free surface in pool (ret=%d)\n", got);
            status = got;
        } else {
            const auto surface_id = uint32_t(reinterpret_cast<uintptr_t>(stage.surface->data[3]));
            const int32_t index = zerocopy_find_index_by_surface(&stage.targets, surface_id);
            if (index < 0) {
                fprintf(stderr, "[Encode] Unknown surface ID %u\n", surface_id);
                av_frame_unref(stage.surface.get());
            } else {
                run.refresh_frame();
                CursorOverlayGl cursor{};
                ShaderPicture picture;
                run.gl_picture(&picture, &cursor);
                zerocopy_render_to_index(&stage.targets, index, run.frame_texture(), uint32_t(width), uint32_t(height),
                                         event_ns / 1000000, &cursor, &picture);
                const uint64_t t1 = pipeline_now_ns();
                stage.surface->pts = frame_pts;
                fast_take_requests(control, stage.encoder.get(), stage.surface.get());
                if (ten_bit)
                    hdr_encoding_tag_frame(stage.surface.get(), row->name, signal);
                const int sent = avcodec_send_frame(stage.encoder.get(), stage.surface.get());
                // The surface returns to the pool once the encoder is done with it.
                av_frame_unref(stage.surface.get());
                if (sent < 0) {
                    fprintf(stderr, "[Encode] send_frame failed: %d\n", sent);
                    status = sent;
                    frame_pts += 1;
                } else {
                    status = 0;
                    const uint64_t t2 = pipeline_now_ns();
                    uint64_t t3 = 0;
                    while (avcodec_receive_packet(stage.encoder.get(), stage.packet.get()) >= 0) {
                        if (ten_bit)
                            hdr_encoding_amend_packet(stage.packet.get(), row->name, signal);
                        const uint64_t pts_ms = packet_clock_next(&run.clock, event_ns, pacing.target_fps);
                        run.send_packet(stage.packet.get(), pts_ms);
                        t3 = pipeline_now_ns();
                        av_packet_unref(stage.packet.get());
                    }
                    // An iteration whose frame gave no packet yet is timed
                    // up to the end of the receive loop.
                    if (t3 == 0)
                        t3 = pipeline_now_ns();
                    rate_window_count(&run.window, t3);
                    const double total = double(t3 - t0) / 1e6;
                    if (total > 3.0 || frame_index % 60 == 0) {
                        const double lead = packet_clock_lead_ms(&run.clock, event_ns);
                        printf("[VAAPI] Frame %d | Mode: %s | FPS: target=%.1f actual=%.1f upstream=%.1fHz | "
                               "Time: total=%.2fms render=%.2f enc=%.2f | VirtDiff=%+.2fms (%.2fx frame)\n",
                               frame_index, vblank_sync ? "VBlank-Sync" : "Fixed-FPS", pacing.target_fps,
                               run.window.actual_fps, pacing.upstream_hz, total, double(t1 - t0) / 1e6,
                               double(t2 - t1) / 1e6, lead, lead / (1000.0 / pacing.target_fps));
                        fflush(stdout);
                    }
                    frame_pts += 1;
                }
            }
        }
    });
    return run.result(status);
}
