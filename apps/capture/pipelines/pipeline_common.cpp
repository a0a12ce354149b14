#include "apps/capture/pipelines/pipeline_common.h"

#include <time.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "apps/capture/core/pipeline_control.h"
#include "apps/capture/pipelines/control_commands.h"
#include "apps/capture/pipelines/packet_clock.h"
#include "apps/capture/source/capture_session.h"
#include "apps/capture/streamer/streamer.h"

namespace {

constexpr uint64_t kWindowNs = 999999999ull;
constexpr double kUnknownRefreshHz = 60.0;

}  // namespace

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
    const FrameMetadata *frame = session->metadata;
    if (settings.out_width > 0 && settings.out_height > 0) {
        fprintf(stderr, "%s Scaling: %dx%d \u2192 %dx%d\n", tag, int(frame->width), int(frame->height),
                settings.out_width, settings.out_height);
        *width = settings.out_width;
        *height = settings.out_height;
        return;
    }
    *width = int32_t(frame->width);
    *height = int32_t(frame->height);
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
    config->rtp_path = "/tmp/rtp.sock";
    config->control_path = "/tmp/rtcp.sock";
    config->width = width;
    config->height = height;
    config->codec_name = codec_type_to_string(codec);
    config->mode = mode;
    config->vblank_sync = session->settings.vblank_sync;
    config->fps = session->settings.fps;
    config->upstream_fps.store(0.0, std::memory_order_relaxed);
    config->upstream_width = session->metadata ? int32_t(session->metadata->width) : 0;
    config->upstream_height = session->metadata ? int32_t(session->metadata->height) : 0;
    config->feedback = on_streamer_feedback;
    config->feedback_user = control;
}

int pipeline_ring_start(VBlankRing *ring, CaptureSession *session, const StopFlag *stop_flag)
{
    const uint64_t start_events = 2;
    uds_client_event_write(session->connection, &start_events);
    if (vblank_ring_init(ring, session->connection, stop_flag) != 0)
        return -1;
    return vblank_ring_start(ring);
}

int pipeline_wait_event(VBlankRing *ring, const PipelineControl *control, const char *restart_line, uint64_t *event_ns,
                        uint64_t *events, bool *restart, uint64_t *shown, CursorPlacement *cursor)
{
    if (vblank_ring_take(ring, event_ns, events, shown, cursor) != 0)
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
