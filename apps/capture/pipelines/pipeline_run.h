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
//   8. the frame's import is released and the frame's texture slot cleared
//
// When the session follows the scanout, the run imports each buffer the
// helper sent once (on the pipeline thread, as it first goes on screen) and
// every frame samples the buffer that was on screen at the blank it answers.
// While the display is dark no frame is made and the loop sleeps until a
// buffer is shown again; a buffer of another size, format or modifier ends
// the run, and the session's frame becomes that buffer for the next run
// (result: PIPELINE_RESTART_SETTINGS). Both happen in next_event.
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
#include <vector>

#include "apps/capture/convert/cursor_blend.h"
#include "apps/capture/core/capture_config.h"
#include "apps/capture/encoders/codec_types.h"
#include "apps/capture/gpu/shaders.h"
#include "apps/capture/pipelines/packet_clock.h"
#include "apps/capture/pipelines/pipeline_common.h"
#include "apps/capture/source/capture_session.h"
#include "apps/capture/source/egl_context.h"
#include "apps/capture/streamer/streamer.h"

struct AVPacket;
struct CodecContext;
struct CpuEncoder;
struct PipelineControl;

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

// How the frame is bound for sampling. External: the shaders sample an
// external texture (dma-buf import, or an upload wrapped in an image). 2D:
// a dma-buf is bound to a 2D texture through its own image and a mapped
// frame's 2D upload texture is used, so it can sit behind a framebuffer.
// Mapped: no GL at all, each buffer is only mapped for the processor.
enum PipelineImportKind {
    PIPELINE_IMPORT_EXTERNAL = FRAME_IMPORT_EXTERNAL,
    PIPELINE_IMPORT_2D = FRAME_IMPORT_2D,
    PIPELINE_IMPORT_MAPPED = FRAME_IMPORT_MAPPED,
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
    // Brings the frame's texture up to the current picture (a mapped frame is
    // uploaded again; a dma-buf is the picture itself). 0, or -1 on a GL error.
    int refresh_frame();
    // The mapping of the buffer the last event chose (a MAPPED import, or an
    // upload's source); not mapped for a dma-buf import.
    const FrameMapping &frame_mapping() const { return current_->mapping; }

    // Publishes the run's encoder for the control commands; the run withdraws
    // it before the streamer stops.
    void publish_encoder(CpuEncoder *encoder);
    void publish_encoder(CodecContext *codec);

    // Fills the streamer's settings (see pipeline_streamer_config_fill); the
    // mode may adjust them before open_streamer.
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

    // The run's result code: with a change requested, 18 for a size request,
    // else 19 for a codec request when codec_restarts, else 17; 17 when the
    // scanout changed size or format; otherwise status.
    int result(int status, bool codec_restarts = true) const;

    // Frame-loop state shared by the modes.
    PipelinePacing pacing{};
    PacketClock clock{};
    PacingCredit credit{};
    RateWindow window{};

private:
    // One followed buffer's import in this run.
    struct FollowedImport {
        uint64_t buffer_id = 0;  // 0: empty
        uint64_t used = 0;       // order of the last frame that chose it
        FrameImport import{};
        GLuint framebuffer = 0;  // 2D imports only
    };

    // Makes shown the buffer frames sample: 0, 1 when the run must end on a
    // change of size or format, -1 when it cannot be imported.
    int choose_buffer(uint64_t shown);
    FollowedImport *import_followed(uint64_t buffer_id);
    static void release_followed(FollowedImport *entry);

    CaptureSession *session_;
    PipelineControl *control_;
    PipelineStage *stage_;
    FrameMetadata *frame_;
    FrameImport import_{};
    PipelineImportKind import_kind_ = PIPELINE_IMPORT_EXTERNAL;
    bool published_cpu_encoder_ = false;
    bool published_codec_ = false;
    StreamerConfig streamer_config_{};
    Streamer *streamer_ = nullptr;
    VBlankRing ring_{};
    FrameImport *current_ = &import_;  // what frames sample
    FollowedImport followed_[UDS_SCANOUT_MAX_BUFFERS];
    uint64_t followed_uses_ = 0;
    bool dark_ = false;
    // The buffer that ended the run on a change of size or format; it
    // becomes the session's frame once the run has released everything.
    bool scanout_changed_ = false;
    FrameMetadata next_frame_{};
    // The cursor: the placement of the last event, the image last read
    // (premultiplied ARGB) and what was made of it.
    bool cursor_read(const CursorPlacement &placement);
    CursorPlacement cursor_{};
    uint64_t cursor_image_ = 0;    // image in cursor_argb_
    uint32_t cursor_fb_ = 0;       // the framebuffer it was read under
    uint64_t cursor_reads_ = 0;    // counts reads: what the YUV copy and the texture were made from
    uint64_t cursor_refused_ = 0;  // an image that could not be read: not tried again
    std::vector<uint32_t> cursor_argb_;
    uint32_t cursor_width_ = 0, cursor_height_ = 0;
    CursorYuv cursor_yuv_{};
    uint64_t cursor_yuv_read_ = 0;
    GLuint cursor_texture_ = 0;
    uint64_t cursor_texture_read_ = 0;
};
