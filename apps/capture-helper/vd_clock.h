// The virtual display's world and its clock. The world holds each device's
// framebuffers, CRTCs (their screens, page-flip schedules and cursor
// planes), overlay planes (whose state is a function of their CRTC's blank
// count) and open files; one clock thread produces every CRTC's vertical
// blanks from a timerfd at the CRTC's refresh: the sequence counter steps,
// the CRTC's statements act (renewals, mode changes, rotations, flips), the
// buffers going on screen (the CRTC's, the overlays') are drawn
// (vd_picture.h) and due sequence requests
// complete on their files. The DRM calls (virtual_display.h) read the
// world under its mutex; the clock thread alone writes a CRTC's count,
// screen, schedule and cursor place, under the mutex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "apps/capture-helper/scenario.h"
#include "apps/capture-helper/vd_picture.h"
#include "libs/common/unique_fd.h"

// What a CRTC scans out: its mode and the buffer on screen (0 = dark).
struct VdScreen {
    uint32_t width = 0, height = 0, refresh = 0;
    uint32_t fb_id = 0;
};

// The CRTC's statements in the order they act: by blank, and at one blank
// a renewal first, then a mode change, then a rotation's start, then a flip.
struct VdChange {
    enum Kind {
        Renew = 0,
        Mode = 1,
        Rotation = 2,
        Flip = 3
    };
    uint64_t at;
    Kind kind;
    size_t index;  // into the device's list of that kind
};

// The CRTC's page flipping, advanced by the clock thread alone.
struct VdSchedule {
    std::vector<VdChange> changes;
    size_t next = 0;
    const ScenarioPageflip *rotation = nullptr;
    size_t position = 0;  // of the rotation's buffer on screen (or last on screen)
};

// The CRTC's cursor plane, when its scenario gives it one.
struct VdCursor {
    const ScenarioCursor *desc = nullptr;  // null: no cursor plane
    uint32_t plane_id = 0;
    uint32_t fb_ids[2] = {};  // the two images it flips between when renewed
    int current = 0;          // index of the image on the plane
    // What the plane shows after the last blank (written under the world's
    // mutex by the clock thread only).
    uint32_t fb_id = 0;  // 0: hidden
    int32_t x = 0, y = 0;
};

struct VdCrtc {
    ScenarioCrtc desc;
    VdScreen screen;  // written under the world's mutex by the clock thread only
    uint64_t seq = 0;
    uint64_t last_ns = 0;       // CLOCK_MONOTONIC of the last blank
    uint64_t last_wall_ns = 0;  // CLOCK_REALTIME of the last blank
    VdSchedule schedule;
    UniqueFD timer;
    uint32_t plane_id = 0;  // its primary plane
    VdCursor cursor;
};

// An overlay plane of the scenario. What it shows is a function of its
// CRTC's blank count (its framebuffer, or its rotation's, and its place on
// a path), so a query can answer for any blank.
struct VdOverlay {
    const ScenarioPlane *desc = nullptr;
    size_t crtc_index = 0;
    std::vector<const ScenarioPageflip *> flips;  // its rotations, by first blank
};

// What a plane shows: framebuffer (0: nothing), the rectangle in the buffer
// (pixels) and on the CRTC, and the rotation bits.
struct VdPlaneState {
    uint32_t fb_id = 0;
    uint32_t src_x = 0, src_y = 0, src_w = 0, src_h = 0;
    int32_t x = 0, y = 0;
    uint32_t w = 0, h = 0;
    uint32_t rotation = 1;
};

struct VdDevice {
    ScenarioDevice desc;
    std::vector<VdOverlay> overlays;
    std::vector<std::unique_ptr<VdBuffer>> fbs;
    std::vector<VdCrtc> crtcs;
    uint32_t next_handle = 1;
    uint32_t type_property_id = 0;  // the planes' "type" property
    // The atomic plane properties (listed for files with the atomic capability).
    uint32_t fb_property_id = 0, crtc_property_id = 0, x_property_id = 0, y_property_id = 0, w_property_id = 0,
             h_property_id = 0;
    uint32_t src_x_property_id = 0, src_y_property_id = 0, src_w_property_id = 0, src_h_property_id = 0,
             zpos_property_id = 0, rotation_property_id = 0, alpha_property_id = 0, blend_property_id = 0,
             encoding_property_id = 0, range_property_id = 0;
    uint32_t orientation_property_id = 0;  // the connectors' "panel orientation"
    // The HDR connectors' "HDR_OUTPUT_METADATA" and "Colorspace"; the
    // metadata blob of connector i (of desc.connectors) is first_blob_id + i,
    // that of hdr change k first_blob_id + connectors + k.
    uint32_t hdr_property_id = 0, colorspace_property_id = 0, first_blob_id = 0;
};

// A sequence request waiting for its blank.
struct VdPending {
    uint32_t crtc_id;
    uint64_t target;
    uint64_t user_data;
};

// A sequence request whose blank came, waiting for the file's reader.
struct VdCompletion {
    uint64_t sequence;
    uint64_t ns;
    uint64_t wall_ns;
    uint64_t user_data;
};

// One open device: its descriptor is the eventfd `event`, readable while
// completions wait.
struct VdOpenFile {
    VdDevice *device = nullptr;
    UniqueFD event;
    std::vector<VdPending> pending;
    std::vector<VdCompletion> done;
    uint64_t delivering_wall_ns = 0;  // of the completion whose handler runs
    uint64_t delivering_seq = 0;      // its blank (while delivering_wall_ns is set)
    bool universal_planes = false;
    bool atomic = false;
};

struct VirtualWorld {
    std::vector<std::unique_ptr<VdDevice>> devices;
    std::mutex mutex;
    std::map<int, std::unique_ptr<VdOpenFile>> files;  // by descriptor
    UniqueFD epoll;
    UniqueFD stop_event;
    std::thread clock;
    bool stopped = false;
    std::once_flag stop_once;
};

// Builds the world (buffers drawn, schedules set, plane and property ids
// given) and starts its clock. nullptr with errno set.
VirtualWorld *vd_clock_create_world(const Scenario &scenario);
// Stops and joins the clock, marks the world stopped and wakes every open
// file's reader. Only the first call acts.
void vd_clock_stop(VirtualWorld *world);

// The device's CRTC or framebuffer with the id, or null.
VdCrtc *vd_clock_crtc(VdDevice *device, uint32_t id);
VdBuffer *vd_clock_buffer(VdDevice *device, uint32_t id);

// The cursor plane as a query on a file sees it: inside a sequence handler,
// at the blank being delivered (as the blank's time is), so a reader that
// runs late still reads that blank's place; elsewhere, after the last blank.
// Under the world's mutex.
void vd_clock_cursor_seen(const VdOpenFile &file, const VdCrtc &crtc, uint32_t *fb_id, int32_t *x, int32_t *y);

// The overlay plane as a query on a file sees it (the blank as for the
// cursor). Under the world's mutex.
VdPlaneState vd_clock_overlay_seen(const VdOpenFile &file, const VdDevice &device, const VdOverlay &overlay);

// The primary plane of the CRTC as it is after the last blank: the buffer on
// screen, placed by the scenario's scanout statement for it (default: the
// whole buffer on the whole CRTC). Under the world's mutex.
VdPlaneState vd_clock_primary_state(const VdDevice &device, const VdCrtc &crtc);

// CLOCK_REALTIME now, in ns.
uint64_t vd_clock_realtime_ns();
