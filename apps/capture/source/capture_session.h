// The capture session (one display target of capture-helper: its frame and
// its event connection) and the vertical-blank ring between a pipeline and
// its listener thread.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "apps/capture/core/capture_config.h"
#include "apps/capture/core/plane_geometry.h"
#include "apps/capture/core/stop_flag.h"
#include "libs/framelink/framelink.h"

using FramePlane = framelink::FramePlane;

// The session's copy of the exported framebuffer: the description and
// descriptors as the helper's client library received them (owned, closed
// with the record or by capture_frame_close), and the GL objects of the
// running pipeline's import. The descriptors stay open for the life of the
// session. Move-only.
struct FrameMetadata : framelink::FrameMetadata {
    uint32_t texture = 0;      // GL texture of the running pipeline's import
    uint32_t framebuffer = 0;  // framebuffer object over that texture (compatible mode)
    // A YUV buffer on an overlay plane: its plane's colour encoding and range
    // (UDS_ENCODING_*, UDS_RANGE_*), handed to EGL as import hints.
    bool colour_hints = false;
    uint32_t colour_encoding = 0;
    uint32_t colour_range = 0;
};

struct ScanoutCache;

struct CaptureSession {
    CaptureConfig settings;
    bool initialised;
    ServerConnection *connection;  // belongs to the session's creator
    FrameMetadata *metadata;       // owned, allocated by capture_init
    // The buffers the helper sent while it follows the scanout for us; null
    // when the session fetched its frame once (the option, or a helper that
    // does not follow). Owned, allocated by capture_init.
    ScanoutCache *scanout;
};

// SET_TARGET with the settings' card path and port, one GET_FRAME,
// FOLLOW_SCANOUT unless the settings say fetch_once (a helper that refuses it
// leaves the session on its one frame, after one log line), and the event
// connection. 0, or -1 after logging; on failure nothing is left
// allocated and no frame descriptor is left open.
int capture_init(CaptureSession *session, const CaptureConfig *settings);

// What a run streams: the CRTC's picture, turned upright.
struct CapturePicture {
    // The CRTC as the helper told it when the planes are followed, else a
    // CRTC of the session frame's size (the frame shown whole on it).
    CrtcRecord crtc;
    bool planes;      // the helper follows every plane and told the CRTC
    uint32_t turns;   // clockwise quarter turns: the panel's orientation, then --rotate
    uint32_t width;   // the stream's size: the CRTC's turned by turns
    uint32_t height;
    HdrSignal hdr;    // the connector's colour (SDR unless the helper told PQ or HLG)
};
CapturePicture capture_picture(const CaptureSession *session);

// Prints "[CAPTURE] Cleaning up capture module", releases the session's
// FrameMetadata and scanout cache (closing every descriptor) and returns 0. The session
// record and its connection belong to the caller.
int capture_cleanup(CaptureSession *session);

// What is on screen at a blank: a buffer_id, 0 for a dark display, or this
// when not following or not told (yet).
inline constexpr uint64_t VBLANK_SHOWN_UNKNOWN = UINT64_MAX;

// The buffers received from the helper's scanout records, keyed by the
// helper's buffer_id, and which one is on screen. The listener thread applies
// the records; the pipeline thread reads. At most UDS_SCANOUT_MAX_BUFFERS
// are kept under the helper's own rule: a new or shown record makes its
// buffer the most recently shown, and before a new buffer joins a full set
// the least recently shown one is forgotten and its descriptors closed.
struct ScanoutBuffer {
    uint64_t buffer_id;   // 0: empty entry
    uint64_t last_shown;  // the cache's order stamp of its last new/shown record
    FrameMetadata frame;  // description and descriptors (owned by the cache)
};

// Where the display's cursor is at a blank: the image on its plane (0:
// hidden, or no cursor) and its place on the picture.
struct CursorPlacement {
    uint64_t image_id;  // the helper's buffer_id of the image, 0: nothing to draw
    int32_t x, y;       // top-left on the picture, may be negative or beyond it
    uint32_t width;     // the size it is shown at
    uint32_t height;
    // The framebuffer that shows it: a held image set again under a new id
    // (one cursor buffer, redrawn and set again) has a new picture.
    uint32_t fb_id;
};

// A cursor image as the helper sent it (descriptors owned by the cache).
struct CursorImage {
    uint64_t buffer_id;   // 0: empty entry
    uint64_t last_shown;  // order stamp of its last new/state record
    FrameMetadata frame;
};

struct ScanoutCache {
    std::mutex lock;
    ScanoutBuffer entries[UDS_SCANOUT_MAX_BUFFERS];
    uint64_t stamp;     // order stamps handed out so far
    uint64_t shown_id;  // on screen after the last record: 0 dark, VBLANK_SHOWN_UNKNOWN not told
    uint32_t refresh;   // the CRTC's refresh of the last record that had one (Hz)
    // The cursor images, kept under the helper's rule for them
    // (UDS_CURSOR_MAX_IMAGES), and the cursor after the last record.
    CursorImage cursor_images[UDS_CURSOR_MAX_IMAGES];
    uint64_t cursor_stamp;
    CursorPlacement cursor;
    // Set when the helper follows every plane for this session: the CRTC's
    // state, each plane's last state (by plane id, in the order they were
    // first told) and the overlay planes' buffers (UDS_OVERLAY_MAX_BUFFERS,
    // under the helper's rule for them).
    bool planes;
    CrtcRecord crtc;  // width 0 until told, or while the CRTC is off
    PlaneRecord plane_states[UDS_MAX_FOLLOWED_PLANES];
    uint32_t plane_state_count;
    ScanoutBuffer overlays[UDS_OVERLAY_MAX_BUFFERS];
    uint64_t overlay_stamp;
    HdrSignal hdr;  // the connector's colour after the last HDR record (SDR until told)
};

// A new, empty cache (null when out of memory).
ScanoutCache *scanout_cache_create();

// Closes every descriptor it holds and frees it. Safe on null.
void scanout_cache_destroy(ScanoutCache *cache);

// Applies one scanout record (a BUFFER_NEW's descriptors are taken from
// message->fds). 0; -1 for a shown record that names a buffer the cache does
// not hold or a new one without descriptors (the helper and this end
// disagree: the record is dropped after a message, and what is on screen
// counts as unknown, so frames keep sampling the last buffer, until the next
// record).
int scanout_cache_apply(ScanoutCache *cache, framelink::EventMessage *message);

// The same for an overlay plane's buffer.
int scanout_cache_copy_overlay(ScanoutCache *cache, uint64_t buffer_id, FrameMetadata *out);
bool scanout_cache_holds_overlay(ScanoutCache *cache, uint64_t buffer_id);

// The CRTC's picture after the last record: its record and the planes that
// show something, bottom first (zpos, then plane id), the cursor plane left
// out. An empty picture (crtc.width 0) while the planes are not followed or
// not told yet. The caller holds cache->lock.
void scanout_cache_picture_locked(const ScanoutCache *cache, CrtcPicture *picture);

// Copies the description of buffer_id with duplicates of its descriptors
// (the caller closes them, see capture_frame_close). 0, or -1 when the cache
// does not hold it (or a duplicate failed; nothing is left open).
int scanout_cache_copy(ScanoutCache *cache, uint64_t buffer_id, FrameMetadata *out);

// Reads the cursor image image_id into *pixels as premultiplied ARGB8888
// (little-endian 32-bit words, width x height, no padding): maps its
// descriptor once, copies and unmaps. Linear ARGB8888 and XRGB8888 (opaque)
// images only. 0, or -1 after one log line (not held, another format, a
// modifier, a failed map).
int scanout_cache_read_cursor(ScanoutCache *cache, uint64_t image_id, std::vector<uint32_t> *pixels, uint32_t *width,
                              uint32_t *height);

// True while the cache holds buffer_id.
bool scanout_cache_holds(ScanoutCache *cache, uint64_t buffer_id);

// Closes a frame record's descriptors and marks them -1 (the client
// library's uds_client_close_frame: the one way a record is closed).
void capture_frame_close(FrameMetadata *frame);

inline constexpr int VBLANK_RING_SLOTS = 32;

// Owned by the running pipeline, shared with its listener thread. The
// listener writes a slot, then publishes write_count (release); the reader
// loads write_count (acquire). The lock and the condition only let the
// reader sleep.
struct VBlankRing {
    VBlankEvent slots[VBLANK_RING_SLOTS];
    // Per slot: the buffer_id on screen at that blank (0 dark), or
    // VBLANK_SHOWN_UNKNOWN.
    uint64_t shown[VBLANK_RING_SLOTS];
    // Per slot: the cursor at that blank (image 0 when none or not told).
    CursorPlacement cursor[VBLANK_RING_SLOTS];
    // Per slot: the CRTC and its planes at that blank (empty when the planes
    // are not followed).
    CrtcPicture picture[VBLANK_RING_SLOTS];
    // The session's scanout cache, or null: the listener applies the
    // records it reads to it.
    ScanoutCache *scanout;
    std::atomic<uint64_t> write_count;
    uint64_t read_count;
    std::mutex lock;
    std::condition_variable signal;
    std::atomic<bool> running;
    ServerConnection *connection;
    // The worker's stop flag (set by its SIGTERM handler), or null. A waiting
    // reader looks at it at least every 100 ms.
    const StopFlag *stop_flag;
    std::atomic<bool> ended;  // the event stream ended or failed
    pthread_t listener;
    bool listener_started;
};

// Empties the ring, binds it to the connection, the stop flag (may be null)
// and the scanout cache (null when not following) and sets running. 0, or -1
// on a null ring or connection.
int vblank_ring_init(VBlankRing *ring, ServerConnection *connection, const StopFlag *stop_flag,
                     ScanoutCache *scanout = nullptr);

// Starts vblank_listener_thread on the ring. 0, or -1 (running is cleared).
int vblank_ring_start(VBlankRing *ring);

// Clears running, wakes the reader and joins the listener. The listener
// leaves after the next event, when the stream ends, or within 100 ms when
// no event arrives. Safe to call more than once.
void vblank_ring_stop(VBlankRing *ring);

// Thread body (argument: the VBlankRing). Returns when running is cleared or
// the event stream ends; an ended stream clears running and wakes the reader.
void *vblank_listener_thread(void *ring);

// The reader's side: sleeps while no event is pending, then takes the newest
// event. 0 with the event's server time (ns) and the number of events since
// the previous take (1 when none was skipped); -1 when the ring has stopped
// (running cleared, stream ended) or the stop flag is set. shown_buffer gets
// the buffer on screen at that event's blank (see VBlankRing::shown). Any
// output may be null.
int vblank_ring_take(VBlankRing *ring, uint64_t *server_time_ns, uint64_t *events_since_last,
                     uint64_t *shown_buffer = nullptr, CursorPlacement *cursor = nullptr,
                     CrtcPicture *picture = nullptr);
