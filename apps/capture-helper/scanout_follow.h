// Following what a CRTC's primary plane scans out, for one event client
// that asked for it: at each vertical blank one plane query tells the
// framebuffer id; when it changed since the previous blank the follower
// works out the record to send (a buffer the client has not been sent, with
// its description and exported planes; a buffer it has, by name; dark) and
// what differs from the last buffer told (size, format, modifier).
//
// A buffer's identity is the inode of its plane 0 export (a dma-buf, or the
// virtual display's memfd), never the framebuffer id alone: the kernel
// gives a removed framebuffer's id to the next one, and one buffer object
// exports to one dma-buf for as long as any descriptor of it is open. The
// client keeps every buffer the follower remembers open (both ends forget
// under the same rule, UDS_SCANOUT_MAX_BUFFERS least recently shown), so a
// remembered inode cannot pass to a new buffer.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "apps/capture-helper/frame_export.h"
#include "libs/framelink/protocol.h"

struct ScanoutBuffer {
    uint64_t buffer_id = 0;
    dev_t dev = 0;
    ino_t ino = 0;
    uint32_t width = 0, height = 0, format = 0;
    uint64_t modifier = 0;
};

struct ScanoutFollower {
    uint32_t crtc_id = 0;
    uint32_t plane_id = 0;               // the CRTC's primary plane; 0: the CRTC query stands in
    bool started = false;                // a record was made (the first one always is)
    uint32_t last_fb = 0;                // the id seen at the previous blank
    bool told_any = false;               // a buffer was told, so `changed` compares with it
    ScanoutBuffer told;                  // the last buffer told
    uint32_t told_fb = 0;                // its framebuffer id; 0 after dark
    std::vector<ScanoutBuffer> buffers;  // what the client holds, least recently shown first
    uint64_t next_buffer_id = 1;
};

// One record to send: the record, and for a new buffer or cursor image its
// description text and planes (the entries own the descriptors until they
// go).
template <typename Record>
struct PlaneUpdate {
    Record record{};
    std::string text;
    PlaneEntry entries[UDS_MAX_PLANES];
    int count = 0;
};
using ScanoutUpdate = PlaneUpdate<ScanoutRecord>;

// Exports framebuffer fb_id and looks for it among the buffers a client
// holds (set, least recently shown first; identity by the inode of the
// plane 0 export). 1: a buffer the client does not have; its exports and
// description are in entries/count/text and *shown is its new entry, already
// in the set with a fresh id from *next_id (the least recently shown one
// forgotten when the set held max). 0: a known buffer, now the most recently
// shown, its exports closed. -1 with errno set (nothing left open).
// keep: ids of buffers on screen, never the one forgotten (the set holds
// more buffers than there are planes).
// The CRTC's index among the device's CRTCs (what a plane's possible_crtcs
// bits name), or -1: errno ENOENT for a CRTC the device does not list, or
// the resources query's error.
int scanout_crtc_index(int drm_fd, uint32_t crtc_id);

int scanout_identify_buffer(std::vector<ScanoutBuffer> *set, size_t max, uint64_t *next_id, int drm_fd,
                            uint32_t fb_id, uint32_t refresh, PlaneEntry *entries, int *count, std::string *text,
                            ScanoutBuffer *shown, const std::vector<uint64_t> *keep = nullptr);

// Prepares a follower of the CRTC on the device: asks for universal planes
// and finds the CRTC's primary plane (by its "type" property). Without one
// (a kernel that lists no primary planes) the CRTC query stands in. 0, or
// -1 with errno set when the device cannot be asked at all.
int scanout_follower_init(ScanoutFollower *follower, int drm_fd, uint32_t crtc_id);

// The check of one blank. 1: *update holds the record to send before the
// blank's event (the follower already counts it as sent); 0: nothing
// changed; -1: the plane could not be read or its buffer not exported
// (errno set; nothing is sent, and the next change of id tries again).
int scanout_follower_check(ScanoutFollower *follower, int drm_fd, uint64_t sequence, ScanoutUpdate *update);

// Following the CRTC's cursor plane for the same client. Its state is read
// with one property query a blank (FB_ID, CRTC_ID, CRTC_X/Y, CRTC_W/H, which
// the kernel lists for atomic clients); a record goes out only when any of
// it changed. Images are exported and named like the primary plane's
// buffers, in a set of their own (UDS_CURSOR_MAX_IMAGES).
struct CursorFollower {
    uint32_t crtc_id = 0;
    uint32_t plane_id = 0;  // 0: no cursor plane to follow
    uint32_t prop_fb = 0, prop_crtc = 0, prop_x = 0, prop_y = 0, prop_w = 0, prop_h = 0;
    bool absent_told = false;  // "no cursor" was sent
    bool started = false;      // a state was sent
    // The state last told.
    uint32_t fb_id = 0;
    bool visible = false;
    int32_t x = 0, y = 0;
    uint32_t crtc_width = 0, crtc_height = 0;
    uint32_t image_fb = 0;              // the framebuffer id of `image`, 0 none
    uint32_t refused_fb = 0;            // an image whose export failed, until another is shown
    ScanoutBuffer image;                // the image last shown
    std::vector<ScanoutBuffer> images;  // what the client holds, least recently shown first
    uint64_t next_buffer_id = 1;
};

using CursorUpdate = PlaneUpdate<CursorRecord>;

// Finds the CRTC's cursor plane and the ids of its properties (asking for
// the atomic capability). A device without one leaves plane_id 0: the first
// check then tells the client there is no cursor. Never fails.
void cursor_follower_init(CursorFollower *follower, int drm_fd, uint32_t crtc_id);

// The check of one blank: 1 with a record in *update, 0 when nothing
// changed. An image that cannot be exported is told as a hidden cursor
// (after one line on stderr) and not tried again until the plane shows
// another. A plane whose properties can no longer be read is told once as
// no cursor.
int cursor_follower_check(CursorFollower *follower, int drm_fd, uint64_t sequence, CursorUpdate *update);
