// The capture session (one display target of capture-helper: its frame and
// its event connection) and the vertical-blank ring between a pipeline and
// its listener thread.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "apps/capture/core/capture_config.h"
#include "apps/capture/core/stop_flag.h"
#include "libs/framelink/framelink.h"

struct FramePlane {
    int fd;
    uint32_t stride;
    uint32_t offset;
};

// The session's copy of the exported framebuffer. The descriptors stay open
// for the life of the session.
struct FrameMetadata {
    int fd;                 // plane 0 descriptor
    uint32_t width;
    uint32_t height;
    uint32_t format;        // DRM fourcc
    uint32_t stride;
    uint32_t offset;
    uint64_t modifier;
    uint32_t refresh_rate;  // Hz, 0 when unknown
    uint32_t texture;       // GL texture of the running pipeline's import
    uint32_t framebuffer;   // framebuffer object over that texture (compatible mode)
    int plane_count;        // 0 to 4
    FramePlane planes[4];   // only the first plane_count entries are meaningful
};

struct CaptureSession {
    CaptureConfig settings;
    bool initialised;
    ServerConnection *connection;  // belongs to the session's creator
    FrameMetadata *metadata;       // owned, allocated by capture_init
};

// SET_TARGET with the settings' card path and port, one GET_FRAME, and the
// event connection. 0, or -1 after logging; on failure nothing is left
// allocated and no frame descriptor is left open.
int capture_init(CaptureSession *session, const CaptureConfig *settings);

// Prints "[CAPTURE] Cleaning up capture module", releases the session's
// FrameMetadata (closing the frame's descriptors) and returns 0. The session
// record and its connection belong to the caller.
int capture_cleanup(CaptureSession *session);

inline constexpr int VBLANK_RING_SLOTS = 32;

// Owned by the running pipeline, shared with its listener thread. The
// listener writes a slot, then publishes write_count (release); the reader
// loads write_count (acquire). The lock and the condition only let the
// reader sleep.
struct VBlankRing {
    VBlankEvent slots[VBLANK_RING_SLOTS];
    std::atomic<uint64_t> write_count;
    uint64_t read_count;
    std::mutex lock;
    std::condition_variable signal;
    std::atomic<bool> running;
    ServerConnection *connection;
    // The worker's stop flag (set by its SIGTERM handler), or null. A waiting
    // reader looks at it at least every 100 ms.
    const StopFlag *stop_flag;
    std::atomic<bool> ended;       // the event stream ended or failed
    pthread_t listener;
    bool listener_started;
};

// Empties the ring, binds it to the connection and the stop flag (may be
// null) and sets running. 0, or -1 on a null ring or connection.
int vblank_ring_init(VBlankRing *ring, ServerConnection *connection,
                     const StopFlag *stop_flag);

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
// (running cleared, stream ended) or the stop flag is set. Either output may
// be null.
int vblank_ring_take(VBlankRing *ring, uint64_t *server_time_ns, uint64_t *events_since_last);
