#include "apps/capture/pipelines/pipeline_run.h"

#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "apps/capture/core/pipeline_control.h"
#include "apps/capture/core/stop_flag.h"

PipelineRun::PipelineRun(CaptureSession *session, PipelineControl *control, PipelineStage *stage)
    : session_(session), control_(control), stage_(stage), frame_(session->metadata)
{
    next_frame_.fd = -1;
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
    if (cursor_texture_)
        glDeleteTextures(1, &cursor_texture_);
    cursor_texture_ = 0;
    for (FollowedImport &entry : followed_)
        release_followed(&entry);
    egl_frame_release(&import_);
    if (frame_)
        frame_->texture = 0;
    if (scanout_changed_ && frame_) {
        // The next run starts from the buffer now on screen.
        capture_frame_close(frame_);
        *frame_ = next_frame_;
        frame_->texture = 0;
        frame_->framebuffer = 0;
    } else {
        capture_frame_close(&next_frame_);
    }
}

namespace {

// How old an event may be when its frame starts: two refresh periods (at
// least 25 ms). A compositor draws into a buffer again once the next one is on
// screen, so a frame taken later than that may show a picture drawn for a
// later blank (or half drawn); the leftovers that waited in the connection
// while no run read it are much older still.
bool event_is_stale(uint64_t server_time_ns, uint32_t refresh_hz)
{
    const uint64_t period_ns = 1'000'000'000u / (refresh_hz ? refresh_hz : 60u);
    const uint64_t limit_ns = std::max<uint64_t>(2 * period_ns, 25'000'000u);
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const uint64_t now_ns = uint64_t(now.tv_sec) * 1'000'000'000u + uint64_t(now.tv_nsec);
    return server_time_ns + limit_ns < now_ns;
}

}  // namespace

void PipelineRun::release_followed(FollowedImport *entry)
{
    if (entry->framebuffer) {
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
        glDeleteFramebuffers(1, &entry->framebuffer);
    }
    egl_frame_release(&entry->import);
    *entry = FollowedImport{};
}

PipelineRun::FollowedImport *PipelineRun::import_followed(uint64_t buffer_id)
{
    FrameMetadata frame{};
    if (scanout_cache_copy(session_->scanout, buffer_id, &frame) != 0) {
        fprintf(stderr, "[Capture] scanout buffer %llu is no longer held\n",
                static_cast<unsigned long long>(buffer_id));
        return nullptr;
    }
    if (frame.width != frame_->width || frame.height != frame_->height || frame.format != frame_->format ||
        frame.modifier != frame_->modifier) {
        fprintf(stderr, "[Capture] Scanout changed to %ux%u format 0x%08x modifier 0x%llx at %u Hz: restarting\n",
                frame.width, frame.height, frame.format, static_cast<unsigned long long>(frame.modifier),
                frame.refresh_rate);
        capture_frame_close(&next_frame_);
        next_frame_ = frame;
        scanout_changed_ = true;
        return nullptr;
    }
    // Room: a buffer the helper has forgotten goes first, else the one
    // chosen longest ago.
    FollowedImport *slot = nullptr;
    for (FollowedImport &entry : followed_) {
        if (entry.buffer_id == 0 || !scanout_cache_holds(session_->scanout, entry.buffer_id)) {
            slot = &entry;
            break;
        }
        if (!slot || entry.used < slot->used)
            slot = &entry;
    }
    if (current_ == &slot->import)
        current_ = &import_;
    release_followed(slot);

    int rc = egl_frame_import(import_.display, &frame, &slot->import, FrameImportKind(import_kind_));
    // The import holds the buffer (image or mapping) from here on.
    capture_frame_close(&frame);
    if (rc == 0 && import_kind_ == PIPELINE_IMPORT_2D) {
        const GLuint texture = slot->import.upload ? slot->import.upload_texture : slot->import.texture;
        rc = setup_framebuffer_object(texture, &slot->framebuffer);
    }
    if (rc != 0) {
        fprintf(stderr, "[Capture] scanout buffer %llu cannot be imported\n",
                static_cast<unsigned long long>(buffer_id));
        release_followed(slot);
        return nullptr;
    }
    slot->buffer_id = buffer_id;
    return slot;
}

int PipelineRun::choose_buffer(uint64_t shown)
{
    FollowedImport *chosen = nullptr;
    for (FollowedImport &entry : followed_)
        if (entry.buffer_id == shown)
            chosen = &entry;
    if (!chosen) {
        chosen = import_followed(shown);
        if (!chosen)
            return scanout_changed_ ? 1 : -1;
    }
    chosen->used = ++followed_uses_;
    current_ = &chosen->import;
    if (chosen->framebuffer)
        glBindFramebuffer(GL_FRAMEBUFFER, chosen->framebuffer);
    return 0;
}

int PipelineRun::import_frame(EGLDisplay display, PipelineImportKind kind)
{
    import_kind_ = kind;
    import_.display = display;
    if (egl_frame_import(display, frame_, &import_, FrameImportKind(kind)) != 0)
        return -1;
    frame_->texture = frame_texture();
    return 0;
}

GLuint PipelineRun::frame_texture() const
{
    if (import_kind_ == PIPELINE_IMPORT_2D && current_->upload)
        return current_->upload_texture;
    return current_->texture;
}

int PipelineRun::refresh_frame()
{
    return egl_frame_refresh(current_);
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
    if (vblank_ring_init(&ring_, session_->connection, &g_terminate_flag, session_->scanout) != 0)
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
    for (;;) {
        *event = PipelineEvent{};
        uint64_t shown = VBLANK_SHOWN_UNKNOWN;
        CursorPlacement cursor{};
        if (pipeline_wait_event(&ring_, control_, restart_line, &event->time_ns, &event->count, &event->restart, &shown,
                                &cursor) != 0)
            return -1;
        cursor_ = session_->settings.no_cursor ? CursorPlacement{} : cursor;
        if (!session_->scanout || shown == VBLANK_SHOWN_UNKNOWN)
            return 0;
        // An event taken too late names a buffer that may have been drawn
        // again since: its records count, its frame does not.
        if (!event->restart && event_is_stale(event->time_ns, frame_->refresh_rate))
            continue;
        if (shown == 0) {
            if (!dark_)
                fputs("[Capture] Display dark: no frames until a buffer is shown again\n", stderr);
            dark_ = true;
            if (event->restart)
                return -1;
            continue;
        }
        if (dark_)
            fputs("[Capture] Display lit again\n", stderr);
        dark_ = false;
        const int chosen = choose_buffer(shown);
        if (chosen != 0) {
            ring_.running.store(false, std::memory_order_release);
            return -1;
        }
        return 0;
    }
}

bool PipelineRun::loop_continues() const
{
    return pipeline_loop_continues(&ring_);
}

int PipelineRun::result(int status, bool codec_restarts) const
{
    if (scanout_changed_ && !control_->change_requested.load(std::memory_order_acquire))
        return PIPELINE_RESTART_SETTINGS;
    return pipeline_result_code(control_, status, codec_restarts);
}

bool PipelineRun::cursor_read(const CursorPlacement &placement)
{
    const uint64_t image_id = placement.image_id;
    if (image_id == 0 || !session_->scanout || image_id == cursor_refused_)
        return false;
    // An image is read once; the same image under a new framebuffer id was
    // drawn again and set again, so it is read again.
    if (image_id == cursor_image_ && placement.fb_id == cursor_fb_)
        return true;
    if (scanout_cache_read_cursor(session_->scanout, image_id, &cursor_argb_, &cursor_width_, &cursor_height_) != 0) {
        cursor_refused_ = image_id;
        cursor_image_ = 0;
        return false;
    }
    cursor_image_ = image_id;
    cursor_fb_ = placement.fb_id;
    ++cursor_reads_;
    return true;
}

const CursorYuv *PipelineRun::cursor_yuv(const CursorPlacement &placement)
{
    if (!cursor_read(placement))
        return nullptr;
    if (cursor_yuv_read_ != cursor_reads_) {
        cursor_yuv_from_argb(cursor_argb_.data(), cursor_width_, cursor_height_, &cursor_yuv_);
        cursor_yuv_read_ = cursor_reads_;
    }
    return &cursor_yuv_;
}

CursorOverlayGl PipelineRun::cursor_gl(const CursorPlacement &placement)
{
    CursorOverlayGl none{0, 0.f, 0.f, 0.f, 0.f};
    if (!frame_ || frame_->width == 0 || frame_->height == 0 || !cursor_read(placement))
        return none;
    if (cursor_texture_read_ != cursor_reads_) {
        if (cursor_texture_)
            glDeleteTextures(1, &cursor_texture_);
        cursor_texture_ = shader_cursor_texture(cursor_argb_.data(), cursor_width_, cursor_height_);
        cursor_texture_read_ = cursor_reads_;
        if (!cursor_texture_)
            fputs("[Capture] cannot make the cursor's texture: left out\n", stderr);
    }
    if (!cursor_texture_)
        return none;
    // Drawn at the image's own size, as cursor planes show it.
    const float w = float(cursor_width_), h = float(cursor_height_);
    const float fw = float(frame_->width), fh = float(frame_->height);
    return CursorOverlayGl{cursor_texture_, float(placement.x) / fw, float(placement.y) / fh, w / fw, h / fh};
}
