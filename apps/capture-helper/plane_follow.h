// Following every plane of a CRTC, for an event client that asked for it:
// the CRTC's state (mode size, refresh, the connector's panel orientation,
// how many planes), the connector's HDR state and each plane's whole state (buffer, rectangles, zpos,
// rotation, alpha, blend mode, colour encoding and range), told only when
// it changed, after the blank's scanout and cursor records.
//
// The planes are those whose possible CRTCs include this one, primary
// first, then the overlays, the cursor last. Each is read with one property
// query a blank. The primary plane's record names the buffer the scanout
// follower told for the blank, the cursor plane's the image the cursor
// follower told; every other plane's buffers are exported once and then
// named, in one set for all of them (UDS_OVERLAY_MAX_BUFFERS, least
// recently shown forgotten first, identity by the inode of the export as
// for the scanout).
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "apps/capture-helper/scanout_follow.h"
#include "libs/framelink/protocol.h"

// One plane followed: its property ids (0: the plane has no such property,
// its default applies), the kernel's enum values of its enum properties
// with the wire's constants, and what was last told of it.
struct FollowedPlane {
    uint32_t plane_id = 0;
    uint32_t kind = UDS_PLANE_KIND_OVERLAY;  // primary and cursor only for the scanout's and cursor's planes
    uint32_t default_zpos = 0;               // by place: primary < overlays < cursor
    uint32_t prop_fb = 0, prop_crtc = 0, prop_src_x = 0, prop_src_y = 0, prop_src_w = 0, prop_src_h = 0,
             prop_crtc_x = 0, prop_crtc_y = 0, prop_crtc_w = 0, prop_crtc_h = 0, prop_zpos = 0, prop_rotation = 0,
             prop_alpha = 0, prop_blend = 0, prop_encoding = 0, prop_range = 0;
    std::vector<std::pair<uint64_t, uint32_t>> blend_values, encoding_values, range_values;
    bool told = false;
    PlaneRecord last{};       // the state last told, its header fields 0
    uint32_t refused_fb = 0;  // a buffer whose export failed, until the plane shows another
    bool unreadable_said = false;
    ScanoutBuffer shown;  // overlay: the buffer last told on it (buffer_id 0: none)
};

// The connector's HDR state: its property ids (0: none, the connector is
// SDR), the blob last read and what it held, what was last told.
struct HdrFollower {
    uint32_t connector_id = 0;
    uint32_t prop_metadata = 0, prop_colorspace = 0;
    std::vector<std::pair<uint64_t, uint32_t>> colorspace_values;
    uint64_t blob_id = 0;
    HdrRecord metadata{};  // of blob_id: eotf, primaries and luminances
    bool told = false;
    HdrRecord last{};  // its header fields 0
};

struct PlaneFollower {
    uint32_t crtc_id = 0;
    uint32_t orientation = UDS_ORIENTATION_NORMAL;
    std::vector<FollowedPlane> planes;
    bool crtc_told = false;
    CrtcRecord crtc_last{};                      // its header fields 0
    std::vector<ScanoutBuffer> overlay_buffers;  // what the client holds, least recently shown first
    uint64_t next_buffer_id = 1;
    HdrFollower hdr;
};

using PlaneStateUpdate = PlaneUpdate<PlaneRecord>;

// Prepares the follower of the CRTC, after the scanout and cursor followers
// of the same client were prepared: finds the planes (atomic capability,
// at most UDS_MAX_FOLLOWED_PLANES) and their property ids, and the panel
// orientation of the connector (0: none). 0, or -1 with errno set when the
// device cannot be asked at all.
int plane_follower_init(PlaneFollower *follower, int drm_fd, uint32_t crtc_id, uint32_t connector_id,
                        const ScanoutFollower &scanout, const CursorFollower &cursor);

// The CRTC's state at this blank: 1 with *record to send (always at the
// first blank), 0 unchanged, -1 when the CRTC cannot be read (errno set).
int plane_follower_check_crtc(PlaneFollower *follower, int drm_fd, uint64_t sequence, CrtcRecord *record);

// The connector's HDR state at this blank (one property query; its
// metadata blob is read only when the blob changes): 1 with *record to send
// (always at the first blank), 0 unchanged, -1 when the connector cannot be
// read (errno set).
int plane_follower_check_hdr(PlaneFollower *follower, int drm_fd, uint64_t sequence, HdrRecord *record);

// Plane number `index` (below planes.size()) at this blank, read after the
// scanout and cursor followers' checks of the same blank: 1 with a record
// in *update (and for a new overlay buffer its description and exports), 0
// unchanged. A plane whose properties cannot be read sends nothing (one
// line on stderr the first time); an overlay buffer that cannot be
// exported is told as showing nothing (one line on stderr) and not tried
// again until the plane shows another.
int plane_follower_check_plane(PlaneFollower *follower, size_t index, int drm_fd, uint64_t sequence,
                               const ScanoutFollower &scanout, const CursorFollower &cursor,
                               PlaneStateUpdate *update);
