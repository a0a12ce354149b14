#include "apps/capture/pipelines/pipeline_run.h"

#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "apps/capture/convert/plane_compose.h"
#include "apps/capture/core/pipeline_control.h"
#include "apps/capture/core/stop_flag.h"
#include "apps/capture/encoders/hdr_encoding.h"
#include "apps/capture/pipelines/control_commands.h"
#include "libs/common/relay_protocol.h"

namespace {

// The picture of a session that does not follow the planes: its frame (of
// the size given) shown whole on a CRTC of that size.
CrtcPicture frame_picture(const FrameMetadata &frame, uint32_t width, uint32_t height)
{
    CrtcPicture picture{};
    picture.crtc.width = width;
    picture.crtc.height = height;
    PlaneRecord &primary = picture.planes[0];
    primary.buffer_id = 1;
    primary.kind = UDS_PLANE_KIND_PRIMARY;
    primary.width = width;
    primary.height = height;
    primary.format = frame.format;
    primary.modifier = frame.modifier;
    primary.src_w = width << 16;
    primary.src_h = height << 16;
    primary.crtc_w = width;
    primary.crtc_h = height;
    primary.rotation = UDS_ROTATE_0;
    primary.alpha = 0xffff;
    picture.count = 1;
    return picture;
}

}  // namespace

PipelineRun::PipelineRun(CaptureSession *session, PipelineControl *control, PipelineStage *stage)
    : session_(session), control_(control), stage_(stage), frame_(session->metadata), buffers_(session),
      overlays_(session, true), stream_(capture_picture(session)), cursor_overlay_(session->scanout)
{
    if (frame_)
        planes_ = frame_picture(*frame_, frame_->width, frame_->height);
}

PipelineRun::~PipelineRun()
{
    teardown();
}

void PipelineRun::teardown()
{
    if (torn_down_)
        return;
    torn_down_ = true;
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
    end_processor_layers();
    cursor_overlay_.release();
    scanout_changed_ = buffers_.scanout_changed();
    buffers_.release();
    overlays_.release();
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

int PipelineRun::import_frame(EGLDisplay display, PipelineImportKind kind)
{
    overlays_.prepare(display, kind);
    return buffers_.import_frame(display, kind);
}

GLuint PipelineRun::frame_texture() const
{
    return buffers_.texture();
}

int PipelineRun::refresh_frame()
{
    return buffers_.refresh();
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
    const bool ten_bit = session_->settings.hdr && hdr_encoding_codec_supported(codec);
    streamer_config_.hdr = ten_bit ? &stream_.hdr : nullptr;
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
        CrtcPicture picture;
        if (pipeline_wait_event(&ring_, control_, restart_line, &event->time_ns, &event->count, &event->restart, &shown,
                                &cursor, &picture) != 0)
            return -1;
        cursor_ = session_->settings.no_cursor ? CursorPlacement{} : cursor;
        if (session_->scanout && session_->scanout->planes && take_planes(picture, shown) != 0)
            return -1;
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
        const int chosen = buffers_.choose(shown);
        if (chosen != 0) {
            ring_.running.store(false, std::memory_order_release);
            return -1;
        }
        if (!stream_.planes && frame_)
            planes_ = frame_picture(*frame_, buffers_.current()->width, buffers_.current()->height);
        return 0;
    }
}

int PipelineRun::take_planes(const CrtcPicture &picture, uint64_t shown)
{
    // Not told yet: the frame alone, as without the planes. Off: the
    // scanout records tell the display dark.
    if (picture.crtc.width == 0 || picture.crtc.height == 0)
        return 0;
    const uint32_t turns = plane_stream_turns(picture.crtc.orientation, session_->settings.rotate);
    uint32_t width = 0, height = 0;
    plane_stream_size(picture.crtc.width, picture.crtc.height, turns, &width, &height);
    const bool colour_changed = !hdr_signal_equal(picture.hdr, stream_.hdr);
    if (width != stream_.width || height != stream_.height || colour_changed) {
        // A new mode, or the connector switched between SDR and HDR (or
        // to other metadata): the next run sets its stream up for it.
        if (colour_changed && width == stream_.width && height == stream_.height)
            fprintf(stderr, "[Capture] The display's colour changed to %s%s: restarting\n",
                    hdr_transfer_name(picture.hdr.transfer), picture.hdr.bt2020 ? " BT.2020" : "");
        buffers_.restart_from(shown);
        mode_changed_ = true;
        ring_.running.store(false, std::memory_order_release);
        return -1;
    }
    stream_.crtc = picture.crtc;
    stream_.planes = true;
    stream_.turns = turns;
    planes_ = picture;
    return 0;
}

bool PipelineRun::plain_picture() const
{
    const FrameImport *current = buffers_.current();
    if (stream_.turns != 0 || current->width != stream_.width || current->height != stream_.height ||
        buffers_.converted())
        return false;
    if (!stream_.planes)
        return true;
    return planes_.count == 1 && planes_.planes[0].kind == UDS_PLANE_KIND_PRIMARY &&
           plane_is_whole_screen(planes_.planes[0], stream_.crtc.width, stream_.crtc.height, 0);
}

bool PipelineRun::loop_continues() const
{
    return pipeline_loop_continues(&ring_);
}

int PipelineRun::result(int status, bool codec_restarts)
{
    // Every thread that writes the control's fields has stopped after this.
    teardown();
    if ((scanout_changed_ || mode_changed_) && !control_->change_requested.load(std::memory_order_acquire))
        return PIPELINE_RESTART_SETTINGS;
    return pipeline_result_code(control_, status, codec_restarts);
}

int PipelineRun::begin_processor_layers(ComposeLayer *layers, uint32_t *count)
{
    end_processor_layers();
    uint32_t n = 0;
    auto add = [&](const PlaneRecord &plane, const FrameMapping &map) {
        if (!map.mapped())
            return true;  // nothing the processor can read: left out
        if (frame_map_begin_read(&map) != 0)
            return false;
        reading_[reading_count_++] = &map;
        ComposeLayer &layer = layers[n++];
        layer.plane = plane;
        layer.plane.width = map.width;
        layer.plane.height = map.height;
        layer.plane.format = map.format;
        layer.data[0] = map.pixels();
        layer.stride[0] = map.stride;
        layer.data[1] = map.chroma();
        layer.stride[1] = map.chroma_stride;
        return true;
    };
    for (uint32_t i = 0; i < planes_.count; ++i) {
        const PlaneRecord &plane = planes_.planes[i];
        const FrameImport *import =
            plane.kind == UDS_PLANE_KIND_PRIMARY ? buffers_.current() : overlays_.layer(plane.buffer_id);
        if (import && !add(plane, import->mapping)) {
            end_processor_layers();
            return -1;
        }
    }
    // The cursor over everything, at its own size (a cursor plane crops,
    // it does not scale).
    uint32_t width = 0, height = 0;
    if (const uint32_t *argb = cursor_overlay_.argb(cursor_, &width, &height)) {
        ComposeLayer &layer = layers[n++];
        layer = ComposeLayer{};
        PlaneRecord &plane = layer.plane;
        plane.buffer_id = cursor_.image_id;
        plane.kind = UDS_PLANE_KIND_CURSOR;
        plane.width = width;
        plane.height = height;
        plane.format = FRAME_FOURCC_ARGB8888;
        const uint32_t shown_w = std::min(width, cursor_.width ? cursor_.width : width);
        const uint32_t shown_h = std::min(height, cursor_.height ? cursor_.height : height);
        plane.src_w = shown_w << 16;
        plane.src_h = shown_h << 16;
        plane.crtc_x = cursor_.x;
        plane.crtc_y = cursor_.y;
        plane.crtc_w = shown_w;
        plane.crtc_h = shown_h;
        plane.rotation = UDS_ROTATE_0;
        plane.alpha = 0xffff;
        plane.blend = UDS_BLEND_PREMULTI;
        layer.data[0] = reinterpret_cast<const uint8_t *>(argb);
        layer.stride[0] = width * 4;
    }
    *count = n;
    return 0;
}

void PipelineRun::end_processor_layers()
{
    for (uint32_t i = 0; i < reading_count_; ++i)
        frame_map_end_read(reading_[i]);
    reading_count_ = 0;
}

void PipelineRun::gl_picture(ShaderPicture *picture, CursorOverlayGl *cursor, bool layered)
{
    *picture = ShaderPicture{};
    if (!layered && plain_picture()) {
        *cursor = cursor_gl(cursor_);
        return;
    }
    picture->crtc_width = stream_.crtc.width;
    picture->crtc_height = stream_.crtc.height;
    picture->turns = stream_.turns;
    static_assert(SHADER_PICTURE_MAX_LAYERS >= int(UDS_MAX_FOLLOWED_PLANES), "a picture holds every plane followed");
    for (uint32_t i = 0; i < planes_.count; ++i) {
        const PlaneRecord &plane = planes_.planes[i];
        ShaderLayer &layer = picture->layers[picture->count];
        layer.plane = plane;
        if (plane.kind == UDS_PLANE_KIND_PRIMARY && buffers_.converted()) {
            layer.texture = buffers_.primary_texture(plane);
            layer.external = false;
            layer.plane.width = buffers_.current()->width;
            layer.plane.height = buffers_.current()->height;
        } else if (plane.kind == UDS_PLANE_KIND_PRIMARY) {
            layer.texture = buffers_.texture();
            layer.external = buffers_.kind() == PIPELINE_IMPORT_EXTERNAL;
            layer.plane.width = buffers_.current()->width;
            layer.plane.height = buffers_.current()->height;
        } else {
            layer.texture = overlays_.layer_texture(plane, &layer.external);
        }
        picture->count += layer.texture != 0;
    }
    // Nothing to show (the planes have nothing, or no texture could be
    // made): one empty layer draws black, not the frame's texture.
    if (picture->count == 0)
        picture->layers[picture->count++] = ShaderLayer{0, false, PlaneRecord{}};
    uint32_t width = 0, height = 0;
    const GLuint texture = cursor_overlay_.texture(cursor_, &width, &height);
    *cursor = texture ? shader_cursor_in_picture(texture, cursor_.x, cursor_.y, width, height, *picture)
                      : CursorOverlayGl{0, 0.f, 0.f, 0.f, 0.f};
}

const CursorYuv *PipelineRun::cursor_yuv(const CursorPlacement &placement)
{
    return cursor_overlay_.yuv(placement);
}

CursorOverlayGl PipelineRun::cursor_gl(const CursorPlacement &placement)
{
    return frame_ ? cursor_overlay_.gl(placement, frame_->width, frame_->height)
                  : CursorOverlayGl{0, 0.f, 0.f, 0.f, 0.f};
}

// The pieces every run is built from.

namespace {

constexpr uint64_t kWindowNs = 999999999ull;
constexpr double kUnknownRefreshHz = 60.0;

}  // namespace

int pipeline_gl_ready(EglContext *egl, const CaptureSession *session)
{
    return egl_context_ensure(egl, session->metadata);
}

uint64_t pipeline_now_ns()
{
    timespec ts;
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

int pipeline_no_encoder(const char *what, CodecType codec, void (*list_encoders)())
{
    fprintf(stderr, "%s: %s\n", what, codec_type_to_string(codec));
    list_encoders();
    return -1;
}

FrameMetadata *pipeline_publish_session(CaptureSession *session, PipelineControl *control, CodecType codec)
{
    control->session = session;
    control->codec_type = codec;
    FrameMetadata *frame = session->metadata;
    return frame && frame->fd >= 0 ? frame : nullptr;
}

void pipeline_output_size(const CaptureSession *session, const char *tag, int32_t *width, int32_t *height)
{
    const CaptureConfig &settings = session->settings;
    const CapturePicture picture = capture_picture(session);
    if (settings.out_width > 0 && settings.out_height > 0) {
        fprintf(stderr, "%s Scaling: %dx%d \u2192 %dx%d\n", tag, int(picture.width), int(picture.height),
                settings.out_width, settings.out_height);
        *width = settings.out_width;
        *height = settings.out_height;
        return;
    }
    *width = int32_t(picture.width);
    *height = int32_t(picture.height);
}

bool pipeline_hdr_stream(const CaptureSession *session, CodecType codec, const char *tag)
{
    if (!session->settings.hdr)
        return false;
    if (hdr_encoding_codec_supported(codec))
        return true;
    static std::atomic<bool> told{false};
    if (!told.exchange(true))
        fprintf(stderr, "%s --hdr: %s cannot carry the 10-bit stream here; streaming 8-bit SDR (HDR tone-mapped)\n",
                tag, codec_type_to_string(codec));
    return false;
}

void pipeline_pacing_init(PipelinePacing *pacing, bool vblank_sync, uint32_t refresh_rate, int32_t fps)
{
    const double display_hz = refresh_rate > 0 ? double(refresh_rate) : kUnknownRefreshHz;
    pacing->upstream_hz = display_hz;
    pacing->target_fps = vblank_sync ? display_hz : double(fps);
}

void pipeline_pacing_update(PipelinePacing *pacing, uint64_t previous_ns, uint64_t event_ns, bool vblank_sync,
                            StreamerConfig *config)
{
    // Same gap rule as the estimate itself: a first event, one that is not
    // later, or a pause of a second or more changes nothing.
    if (previous_ns == 0 || previous_ns >= event_ns || event_ns - previous_ns > kWindowNs)
        return;
    pacing->upstream_hz = upstream_rate_update(pacing->upstream_hz, previous_ns, event_ns);
    if (config)
        config->upstream_fps.store(pacing->upstream_hz, std::memory_order_relaxed);
    if (vblank_sync)
        pacing->target_fps = pacing->upstream_hz;
}

void rate_window_reset(RateWindow *window, uint64_t now_ns)
{
    window->start_ns = now_ns;
    window->frames = 0;
    window->actual_fps = 0.0;
}

void rate_window_count(RateWindow *window, uint64_t now_ns)
{
    window->frames += 1;
    if (now_ns > window->start_ns && now_ns - window->start_ns > kWindowNs) {
        window->actual_fps = double(window->frames) * 1e9 / double(now_ns - window->start_ns);
        window->frames = 0;
        window->start_ns = now_ns;
    }
}

void pipeline_streamer_config_fill(StreamerConfig *config, const CaptureSession *session, int32_t width, int32_t height,
                                   CodecType codec, int64_t mode, PipelineControl *control)
{
    config->rtp_path = relay_protocol::kRtpSocketPath;
    config->control_path = relay_protocol::kControlSocketPath;
    config->width = width;
    config->height = height;
    config->codec_name = codec_type_to_string(codec);
    config->mode = mode;
    config->vblank_sync = session->settings.vblank_sync;
    config->fps = session->settings.fps;
    config->upstream_fps.store(0.0, std::memory_order_relaxed);
    const CapturePicture picture = capture_picture(session);
    config->upstream_width = int32_t(picture.width);
    config->upstream_height = int32_t(picture.height);
    config->feedback = on_streamer_feedback;
    config->feedback_user = control;
}

int pipeline_wait_event(VBlankRing *ring, const PipelineControl *control, const char *restart_line, uint64_t *event_ns,
                        uint64_t *events, bool *restart, uint64_t *shown, CursorPlacement *cursor,
                        CrtcPicture *picture)
{
    if (vblank_ring_take(ring, event_ns, events, shown, cursor, picture) != 0)
        return -1;
    if (control->change_requested.load(std::memory_order_acquire)) {
        fputs(restart_line, stderr);
        ring->running.store(false, std::memory_order_release);
        if (restart)
            *restart = true;
    }
    return 0;
}

bool pipeline_loop_continues(const VBlankRing *ring)
{
    if (!ring->running.load(std::memory_order_acquire))
        return false;
    return !(ring->stop_flag && ring->stop_flag->load());
}

int pipeline_result_code(const PipelineControl *control, int status, bool codec_restarts)
{
    if (!control->change_requested.load(std::memory_order_acquire))
        return status;
    if (control->new_height >= 0 || control->new_width >= 0)
        return PIPELINE_RESTART_RESIZE;
    if (codec_restarts && control->new_codec != CODEC_TYPE_UNCHANGED)
        return PIPELINE_RESTART_CODEC;
    return PIPELINE_RESTART_SETTINGS;
}
