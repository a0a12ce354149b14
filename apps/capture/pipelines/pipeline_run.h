// One pipeline run: what every capture mode's run owns and the one order in
// which it is torn down. A mode adds its own set-up (renderer, surfaces,
// pixel-pack buffers, converter, encoder) and its per-frame step, and hands
// its own teardown to the run as a PipelineStage, whose steps the run calls
// at fixed points of its teardown:
//
//   1. stage.teardown_begins()
//   2. the listener is stopped and joined
//   3. stage.release_frame_path()   what the frame loop draws into or reads from
//   4. the published encoder is withdrawn from the PipelineControl
//   5. the streamer stops (and with it the control thread)
//   6. stage.release_encoder()
//   7. stage.release_renderer()     what was built over the frame's texture
//   8. the cursor's texture, then the frame's imports are released and the
//      frame's texture slot cleared
//
// The teardown runs in result() (so the result is read from the control
// only once the run's threads have stopped) or, at the latest, when the run
// goes out of scope.
//
// The buffers frames sample are the run's FollowedBuffers
// (followed_buffers.h), the cursor's images its CursorOverlay
// (cursor_overlay.h). While the display is dark no frame is made and the
// loop sleeps until a buffer is shown again. When every plane is followed,
// the stream has the CRTC's size (turned upright, see capture_picture) and
// each frame composes the planes of its blank (planes(), plain_picture());
// only a new mode, or a turn of the panel, ends the run. Otherwise a buffer
// of another size, format or modifier ends the run, and the session's frame
// becomes that buffer for the next run. Either way the result is
// PIPELINE_RESTART_SETTINGS; both happen in next_event.
//
// The run also holds the frame-loop state every mode shares: the display-rate
// estimate and the packet rate (pacing), the packet clock, the Fixed-FPS
// credit and the one-second rate window. Which picture a frame samples and
// when the loop waits are decided here too (frame_texture, next_event).
#pragma once

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GLES3/gl3.h>

#include <cstdint>

#include "apps/capture/convert/cursor_blend.h"
#include "apps/capture/core/capture_config.h"
#include "apps/capture/encoders/codec_types.h"
#include "apps/capture/gpu/shaders.h"
#include "apps/capture/core/stop_flag.h"
#include "apps/capture/pipelines/cursor_overlay.h"
#include "apps/capture/pipelines/followed_buffers.h"
#include "apps/capture/pipelines/packet_clock.h"
#include "apps/capture/source/capture_session.h"
#include "apps/capture/source/egl_context.h"
#include "apps/capture/streamer/streamer.h"

struct AVPacket;
struct ComposeLayer;
struct CursorPlacement;
struct CodecContext;
struct CpuEncoder;
struct PipelineControl;

// For a mode that draws with GL: the worker's EGL context, made now when the
// worker started without it (a compatible run on the processor needs none,
// and a later switch to a GL mode comes here). 0, or -1 after the messages.
int pipeline_gl_ready(EglContext *egl, const CaptureSession *session);

// CLOCK_BOOTTIME in nanoseconds.
uint64_t pipeline_now_ns();

// A mode without an encoder for the codec: "<what>: <codec's name>" on
// stderr, then the mode's encoder table (list_encoders). Returns -1, the
// run's result.
int pipeline_no_encoder(const char *what, CodecType codec, void (*list_encoders)());

// Publishes the run's session and codec on the control (the CONFIG reply
// reads them) and returns the session's frame, or null when it has none to
// sample.
FrameMetadata *pipeline_publish_session(CaptureSession *session, PipelineControl *control, CodecType codec);

// The encoded size of a run: the configured out_width x out_height when both
// are above 0, after writing "<tag> Scaling: %dx%d → %dx%d\n" (stderr) with
// the frame's size and that size; otherwise the frame's size, silently.
void pipeline_output_size(const CaptureSession *session, const char *tag, int32_t *width, int32_t *height);

// Whether a run streams the 10-bit picture: --hdr and a codec whose
// encoders here carry it (hdr_encoding_codec_supported). Under --hdr with
// another codec the run streams the 8-bit SDR picture, tone-mapped from an
// HDR signal, and tag says so once in the process.
bool pipeline_hdr_stream(const CaptureSession *session, CodecType codec, const char *tag);

// The packet clock's rate and the estimate of the display's vertical-blank rate.
struct PipelinePacing {
    double target_fps;
    double upstream_hz;
};

// VBlank-Sync: both start at the refresh rate, or at 60 when it is unknown
// (0). Fixed-FPS: target_fps is the configured fps, upstream_hz the refresh
// rate or 60.
void pipeline_pacing_init(PipelinePacing *pacing, bool vblank_sync, uint32_t refresh_rate, int32_t fps);

// One event's rate update (see upstream_rate_update). When the estimate
// moved it is published in the streamer's upstream_fps (config may be null)
// and, with vblank_sync, becomes the target rate.
void pipeline_pacing_update(PipelinePacing *pacing, uint64_t previous_ns, uint64_t event_ns, bool vblank_sync,
                            StreamerConfig *config);

// Frames per second over windows of just over a second (boot-time clock).
struct RateWindow {
    uint64_t start_ns;
    int32_t frames;
    double actual_fps;  // 0.0 until the first window has closed
};

void rate_window_reset(RateWindow *window, uint64_t now_ns);

// Counts one frame at now_ns; once more than 999,999,999 ns have passed
// since the window's start, actual_fps becomes frames per second over it and
// a new window starts at now_ns.
void rate_window_count(RateWindow *window, uint64_t now_ns);

// Fills config for a run: the fixed socket paths, the encoded
// size, the codec's display name, the mode (0 compatible, 1 balanced, 2
// fast), the session's pacing and fps, upstream_fps 0, the frame's size as
// upstream size, and on_streamer_feedback with the run's control.
void pipeline_streamer_config_fill(StreamerConfig *config, const CaptureSession *session, int32_t width, int32_t height,
                                   CodecType codec, int64_t mode, PipelineControl *control);

// Frame loop, step one: sleeps until an event is pending, then takes the
// newest (the ones in between are skipped). 0 with its time and, when events
// is not null, the number of events since the previous take; -1 when the
// loop must end now (ring stopped, stream ended, stop flag set). When the
// control asks for a change, writes restart_line (stderr), clears the ring's
// running, so this iteration is the last one, and sets *restart (when not
// null).
// shown, cursor and picture (when not null) get the buffer on screen, the
// cursor and the CRTC's planes at that event's blank (see vblank_ring_take).
int pipeline_wait_event(VBlankRing *ring, const PipelineControl *control, const char *restart_line, uint64_t *event_ns,
                        uint64_t *events = nullptr, bool *restart = nullptr, uint64_t *shown = nullptr,
                        CursorPlacement *cursor = nullptr, CrtcPicture *picture = nullptr);

// Frame loop, last step: false once the ring stopped running or the stop
// flag is set, so the iteration just completed was the last one.
bool pipeline_loop_continues(const VBlankRing *ring);

// The run's result: when a change was requested, 18 for a size request, else
// 19 for a codec request (17 when codec_restarts is false: a mode with one
// codec restarts like for any other setting), else 17; otherwise status.
int pipeline_result_code(const PipelineControl *control, int status, bool codec_restarts = true);

// A mode's own teardown steps (see the order above). Each is called once, at
// the end of every run, also after a set-up that failed half-way: a step
// releases what exists and leaves what was never made.
class PipelineStage {
public:
    virtual ~PipelineStage() = default;
    virtual void teardown_begins() {}
    virtual void release_frame_path() {}
    virtual void release_encoder() {}
    virtual void release_renderer() {}
};

// One wake-up of the frame loop.
struct PipelineEvent {
    uint64_t time_ns;  // the newest event's server time
    uint64_t count;    // events since the previous wake-up (1 when none was skipped)
    bool restart;      // a change was requested: the restart line is written and this is the last iteration
};

class PipelineRun {
public:
    // session->metadata must exist; stage must outlive the run.
    PipelineRun(CaptureSession *session, PipelineControl *control, PipelineStage *stage);
    ~PipelineRun();
    PipelineRun(const PipelineRun &) = delete;
    PipelineRun &operator=(const PipelineRun &) = delete;

    FrameMetadata *frame() const { return frame_; }
    // True when the session follows the scanout: each frame samples the
    // buffer its event chose, so nothing may be sampled before the first one.
    bool follows_scanout() const { return session_->scanout != nullptr; }

    // Set-up, in the order a mode calls them.

    // Imports the frame and stores the texture to sample in its texture slot.
    // 0, or -1 after the import's message (what was made is released at the
    // end of the run).
    int import_frame(EGLDisplay display, PipelineImportKind kind);
    // The texture a frame samples: external or 2D as imported, of the buffer
    // the last event chose. A 2D import of a followed buffer has its own
    // framebuffer object, which next_event binds when it chooses the buffer.
    GLuint frame_texture() const;
    // True when the frame is read on the processor and drawn as a layer (an
    // NV12 or P010 primary the GPU does not import): it has no texture.
    bool frame_converted() const { return buffers_.converted(); }
    // Brings the frame's texture up to the current picture (a mapped frame is
    // uploaded again; a dma-buf is the picture itself). 0, or -1 on a GL error.
    int refresh_frame();
    // The mapping of the buffer the last event chose (a MAPPED import, or an
    // upload's source); not mapped for a dma-buf import.
    const FrameMapping &frame_mapping() const { return buffers_.mapping(); }

    // Publishes the run's encoder for the control commands; the run withdraws
    // it before the streamer stops.
    void publish_encoder(CpuEncoder *encoder);
    void publish_encoder(CodecContext *codec);

    // Fills the streamer's settings (see pipeline_streamer_config_fill) and,
    // for a 10-bit run (pipeline_hdr_stream), the stream's colour (hdr());
    // the mode may adjust them before open_streamer.
    StreamerConfig &fill_streamer_config(int32_t width, int32_t height, CodecType codec, CaptureMode mode);
    StreamerConfig &streamer_config() { return streamer_config_; }
    // streamer_init on the run's settings: 0, or its failure code (no streamer).
    int open_streamer();
    // streamer_connect's result.
    int connect_streamer();
    // Sends one packet at pts_ms; the caller keeps its packet.
    void send_packet(const AVPacket *packet, uint64_t pts_ms);

    // Asks the helper for events (the 64-bit value 2 on the session's event
    // connection): uds_client_event_write's result.
    int request_events();
    // Binds the ring to the session's connection and the stop flag and starts
    // its listener: 0, or -1 with no listener.
    int start_listener();
    pthread_t listener() const { return ring_.listener; }

    // Starts the pacing (from the session's settings and the frame's refresh
    // rate), the packet clock, the credit and the rate window at now.
    void start_clocks();

    // The fast and balanced modes' whole start: fills the streamer's settings,
    // opens the streamer (0, or its failure code: the run must end) and
    // connects it, asks for events, starts the listener and the clocks; the
    // results of the connect, the request and the listener are not checked
    // (a listener that did not start gives a loop that ends at once).
    int start_streaming(int32_t width, int32_t height, CodecType codec, CaptureMode mode);

    // The frame loop every mode runs: per wake-up the newest event (see
    // next_event), then step(event, frame_index), which returns false to end
    // the loop at once (a failed frame that must end the run). Otherwise it
    // ends when the ring stops, after the iteration in which a change was
    // requested or the stop flag was seen.
    template <typename EventStep>
    void for_each_event(const char *restart_line, EventStep &&step)
    {
        int32_t frame_index = 0;
        bool looping = loop_starts();
        while (looping) {
            PipelineEvent event;
            if (next_event(restart_line, &event) != 0)
                break;
            if (!step(static_cast<const PipelineEvent &>(event), frame_index))
                break;
            frame_index += 1;
            looping = loop_continues();
        }
    }

    // The fast and balanced modes' frame loop: for_each_event with their
    // pacing rule: the rate estimate (published for CONFIG; under VBlank-Sync
    // also the packet rate), then the mode's step(event_ns, vblank_sync,
    // frame_index), the session's pacing being read again for every event.
    template <typename FrameStep>
    void follow_events(const char *restart_line, FrameStep &&step)
    {
        uint64_t previous_ns = 0;
        for_each_event(restart_line, [&](const PipelineEvent &event, int32_t frame_index) {
            const bool vblank_sync = session_->settings.vblank_sync;
            pipeline_pacing_update(&pacing, previous_ns, event.time_ns, vblank_sync, &streamer_config_);
            step(event.time_ns, vblank_sync, frame_index);
            previous_ns = event.time_ns;
            return true;
        });
    }

    // The frame loop.

    // True while the listener runs: the loop is entered at all.
    bool loop_starts() const;
    // Sleeps until an event is pending and takes the newest, and chooses the
    // buffer its frame samples. Events of a dark display are passed over. 0,
    // or -1 when the loop must end now (also for a change of the scanout's
    // size or format, and when a buffer cannot be imported). When a change is
    // requested, writes restart_line (stderr), stops the ring and sets
    // event->restart (-1 instead while the display is dark).
    int next_event(const char *restart_line, PipelineEvent *event);
    // False once the iteration just completed was the last one.
    bool loop_continues() const;

    // The stream: its size is the run's (capture_picture at the run's start).
    const CapturePicture &stream() const { return stream_; }
    // The connector's colour for this run: a change restarts the run.
    const HdrSignal &hdr() const { return stream_.hdr; }
    // The CRTC's planes at the blank of the last event; for a session that
    // does not follow the planes, the frame alone shown whole.
    const CrtcPicture &planes() const { return planes_; }
    // True when the buffer the last event chose, shown whole and unturned,
    // is the stream's picture: the plain conversion of the frame serves (and
    // the cursor is drawn over it as always).
    bool plain_picture() const;
    // The planes of the last event for the processor's composer, bottom
    // first, each with its mapping, and the cursor on top unless there is
    // none to draw. Each buffer's read is begun (end_processor_layers ends
    // them). 0 with *count layers (at most UDS_MAX_FOLLOWED_PLANES + 1);
    // -1 when a read was refused (every read begun is ended again).
    int begin_processor_layers(ComposeLayer *layers, uint32_t *count);
    void end_processor_layers();
    // The planes of the last event for the conversion shaders, and the
    // cursor over them: count 0 and the plain cursor for a plain picture;
    // otherwise each plane's texture (an overlay's import made the first
    // time it shows, an upload brought up to date), and the cursor turned
    // with the stream. Call after refresh_frame. layered: a plain picture
    // too comes as its one layer (the frame's texture need not be external).
    void gl_picture(ShaderPicture *picture, CursorOverlayGl *cursor, bool layered = false);

    // The display's cursor at the blank of the last event: image 0 when
    // there is none to draw (hidden, no cursor plane, not following, or left
    // out by the settings).
    const CursorPlacement &cursor() const { return cursor_; }
    // The image of placement converted for the processor's blend, or null
    // when there is nothing to draw. Each image is read and converted once.
    const CursorYuv *cursor_yuv(const CursorPlacement &placement);
    // The cursor of placement for the shaders: its texture (made once per
    // image) and its rectangle over the frame; texture 0 when none.
    CursorOverlayGl cursor_gl(const CursorPlacement &placement);

    // Tears the run down (the order above), then picks its result code from
    // the control, whose fields no thread of the run writes any more: with a
    // change requested, 18 for a size request, else 19 for a codec request
    // when codec_restarts, else 17; 17 when the scanout changed size or
    // format; otherwise status. The mode returns it as its last step.
    int result(int status, bool codec_restarts = true);

    // Frame-loop state shared by the modes.
    PipelinePacing pacing{};
    PacketClock clock{};
    PacingCredit credit{};
    RateWindow window{};

private:
    // The teardown in the order above; once.
    void teardown();
    // The planes of an event: adopts the CRTC's state, or ends the run when
    // its mode (or the panel's turn) changed the stream's size, the buffer
    // shown becoming the session's frame. 0, or -1 after the restart line
    // when the run must end.
    int take_planes(const CrtcPicture &picture, uint64_t shown);

    CaptureSession *session_;
    PipelineControl *control_;
    PipelineStage *stage_;
    FrameMetadata *frame_;
    bool torn_down_ = false;
    bool published_cpu_encoder_ = false;
    bool published_codec_ = false;
    StreamerConfig streamer_config_{};
    Streamer *streamer_ = nullptr;
    VBlankRing ring_{};
    FollowedBuffers buffers_;
    FollowedBuffers overlays_;
    CapturePicture stream_{};
    CrtcPicture planes_{};
    const FrameMapping *reading_[UDS_MAX_FOLLOWED_PLANES + 1] = {};  // reads begun for the composer
    uint32_t reading_count_ = 0;
    bool dark_ = false;
    bool scanout_changed_ = false;
    bool mode_changed_ = false;
    // The cursor: the placement of the last event and its images.
    CursorPlacement cursor_{};
    CursorOverlay cursor_overlay_;
};
