#include "apps/capture/pipelines/pipeline_run.h"

#include <atomic>
#include <cstdio>

#include "apps/capture/core/pipeline_control.h"
#include "apps/capture/core/stop_flag.h"

PipelineRun::PipelineRun(CaptureSession *session, PipelineControl *control, PipelineStage *stage)
    : session_(session), control_(control), stage_(stage), frame_(session->metadata)
{
    import_.image = EGL_NO_IMAGE_KHR;
}

PipelineRun::~PipelineRun()
{
    stage_->teardown_begins();
    vblank_ring_stop(&ring_);
    stage_->release_frame_path();
    // The control thread may have picked an encoder up just before it was
    // withdrawn; it lets go of it once the streamer has stopped.
    if (published_cpu_encoder_)
        control_->cpu_encoder.store(nullptr, std::memory_order_release);
    if (published_codec_)
        control_->codec.store(nullptr, std::memory_order_release);
    if (streamer_)
        streamer_cleanup(streamer_);
    streamer_ = nullptr;
    stage_->release_encoder();
    stage_->release_renderer();
    egl_frame_release(&import_);
    if (frame_)
        frame_->texture = 0;
}

int PipelineRun::import_frame(EGLDisplay display, PipelineImportKind kind)
{
    import_kind_ = kind;
    if (kind == PIPELINE_IMPORT_2D && !egl_frame_is_memory(frame_)) {
        // A dma-buf behind a 2D texture, through its own image.
        import_.display = display;
        import_.image = create_egl_image(display, frame_);
        if (import_.image == EGL_NO_IMAGE_KHR)
            return -1;
        while (glGetError() != GL_NO_ERROR) {
        }
        if (import_texture_from_image(import_.image, &import_.texture) != 0)
            return -1;
    } else if (egl_frame_import(display, frame_, &import_) != 0) {
        return -1;
    }
    frame_->texture = frame_texture();
    return 0;
}

GLuint PipelineRun::frame_texture() const
{
    if (import_kind_ == PIPELINE_IMPORT_2D && import_.upload)
        return import_.upload_texture;
    return import_.texture;
}

int PipelineRun::refresh_frame()
{
    return egl_frame_refresh(&import_);
}

void PipelineRun::publish_encoder(CpuEncoder *encoder)
{
    control_->cpu_encoder.store(encoder, std::memory_order_release);
    published_cpu_encoder_ = true;
}

void PipelineRun::publish_encoder(CodecContext *codec)
{
    control_->codec.store(codec, std::memory_order_release);
    published_codec_ = true;
}

StreamerConfig &PipelineRun::fill_streamer_config(int32_t width, int32_t height, CodecType codec, CaptureMode mode)
{
    pipeline_streamer_config_fill(&streamer_config_, session_, width, height, codec, mode, control_);
    return streamer_config_;
}

int PipelineRun::open_streamer()
{
    const int rc = streamer_init(&streamer_, &streamer_config_);
    if (rc != 0)
        streamer_ = nullptr;
    return rc;
}

int PipelineRun::connect_streamer()
{
    return streamer_connect(streamer_);
}

void PipelineRun::send_packet(const AVPacket *packet, uint64_t pts_ms)
{
    streamer_send_packet(streamer_, packet, pts_ms);
}

int PipelineRun::request_events()
{
    const uint64_t start_events = 2;
    return uds_client_event_write(session_->connection, &start_events);
}

int PipelineRun::start_listener()
{
    if (vblank_ring_init(&ring_, session_->connection, &g_terminate_flag) != 0)
        return -1;
    return vblank_ring_start(&ring_);
}

void PipelineRun::start_clocks()
{
    const CaptureConfig &settings = session_->settings;
    pipeline_pacing_init(&pacing, settings.vblank_sync, frame_->refresh_rate, settings.fps);
    packet_clock_reset(&clock);
    const uint64_t now = pipeline_now_ns();
    pacing_credit_reset(&credit, now);
    rate_window_reset(&window, now);
}

int PipelineRun::start_streaming(int32_t width, int32_t height, CodecType codec, CaptureMode mode)
{
    fill_streamer_config(width, height, codec, mode);
    const int rc = open_streamer();
    if (rc != 0)
        return rc;
    connect_streamer();
    request_events();
    start_listener();
    start_clocks();
    return 0;
}

bool PipelineRun::loop_starts() const
{
    return ring_.running.load(std::memory_order_acquire);
}

int PipelineRun::next_event(const char *restart_line, PipelineEvent *event)
{
    *event = PipelineEvent{};
    return pipeline_wait_event(&ring_, control_, restart_line, &event->time_ns, &event->count, &event->restart);
}

bool PipelineRun::loop_continues() const
{
    return pipeline_loop_continues(&ring_);
}

int PipelineRun::result(int status, bool codec_restarts) const
{
    return pipeline_result_code(control_, status, codec_restarts);
}
