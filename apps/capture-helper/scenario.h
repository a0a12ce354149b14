// The description of a virtual display world: its devices, their CRTCs,
// encoders, connectors and framebuffers, read from a small line-based text
// (the format is documented in this folder's README.md).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A pixel format a framebuffer may take: its fourcc code's name, the bytes
// of a pixel of plane 0, its planes (2: chroma after the luma, half height)
// and the depth the legacy framebuffer query reports (0 where it has none).
struct ScenarioFormat {
    const char *name;
    uint32_t fourcc;
    int bytes_per_pixel;
    int planes;
    int depth;
};

// The format of a fourcc, or nullptr for one no framebuffer takes.
const ScenarioFormat *scenario_format(uint32_t fourcc);

struct ScenarioFramebuffer {
    uint32_t id = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t format = 0;  // DRM fourcc
    uint64_t modifier = 0;
    int plane_count = 0;  // 1 (packed RGB) or 2 (NV12, P010)
    uint32_t pitches[4] = {};
    uint32_t offsets[4] = {};
    uint64_t size = 0;  // bytes of the buffer holding every plane
    // fill=0xAARRGGBB: a solid colour instead of the picture (stored
    // premultiplied in formats with alpha); never redrawn.
    bool filled = false;
    uint32_t fill = 0;
    // pattern=chart: the test chart of vd_picture.h instead of the picture;
    // never redrawn.
    bool chart = false;
};

struct ScenarioCrtc {
    uint32_t id = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t refresh = 0;  // Hz
    uint32_t fb_id = 0;    // 0 = nothing scanned out
    uint32_t turned = 0;   // degrees (0, 90, 180, 270) its pictures are drawn turned counter-clockwise
};

struct ScenarioEncoder {
    uint32_t id = 0;
    uint32_t crtc_id = 0;  // 0 = not driving a CRTC
};

// A connector's HDR output: the "HDR_OUTPUT_METADATA" blob (struct
// hdr_output_metadata, static metadata type 1; eotf 0 = off lists the
// property with no blob, value 0) and the "Colorspace" value.
struct ScenarioHdr {
    uint32_t eotf = 0;        // 0 off, 2 SMPTE ST 2084 (pq), 3 HLG (hlg)
    uint32_t colorspace = 0;  // the kernel's Colorspace value (9 BT2020_RGB by default with pq or hlg)
    uint16_t primaries[3][2] = {};  // R, G, B (x, y) in 0.00002 units
    uint16_t white[2] = {};
    uint16_t max_mastering = 0;  // cd/m2
    uint16_t min_mastering = 0;  // 0.0001 cd/m2
    uint16_t max_cll = 0, max_fall = 0;  // cd/m2
};

// From the blank at_vblank of the connector's CRTC the connector's HDR
// output is `hdr` (a new blob).
struct ScenarioHdrChange {
    uint64_t at_vblank = 0;
    uint32_t connector_id = 0;
    ScenarioHdr hdr;
};

struct ScenarioConnector {
    uint32_t id = 0;
    uint32_t type = 0;     // DRM connector type
    uint32_t type_id = 0;  // index within the type (DP-3 -> 3)
    bool connected = false;
    std::vector<uint32_t> encoder_ids;
    // The "panel orientation" property (listed only when given): 0 normal,
    // 1 upside down, 2 left side up, 3 right side up.
    bool has_orientation = false;
    uint32_t orientation = 0;
    // HDR output (listed only when hdr= is given): "HDR_OUTPUT_METADATA"
    // and "Colorspace"; hdr statements change it at blanks of its CRTC.
    bool has_hdr = false;
    ScenarioHdr hdr;
};

// The kernel's names of the connector "Colorspace" values, by value.
extern const char *const kScenarioColorspaces[13];

// Where a plane takes its picture from and where it shows it: the source
// rectangle in the buffer (whole buffer unless given), the rectangle on the
// CRTC (at x, y; the source's size, or the CRTC's for a primary plane,
// unless given) and the kernel's rotation bits (DRM_MODE_ROTATE_* |
// DRM_MODE_REFLECT_*).
struct ScenarioPlaneView {
    bool has_src = false;
    uint32_t src_x = 0, src_y = 0, src_w = 0, src_h = 0;
    int32_t x = 0, y = 0;
    bool has_size = false;
    uint32_t w = 0, h = 0;
    uint32_t rotation = 1;  // DRM_MODE_ROTATE_0
};

// An overlay plane on a CRTC showing a framebuffer (or, under a pageflip of
// the plane, its rotation), moving by (dx, dy) every blank and bouncing
// between the CRTC's edges.
struct ScenarioPlane {
    uint32_t id = 0;
    uint32_t crtc_id = 0;
    uint32_t fb_id = 0;
    ScenarioPlaneView view;
    bool has_zpos = false;
    uint32_t zpos = 0;
    uint32_t alpha = 0xffff;
    uint32_t blend = 0;     // 0 "Pre-multiplied", 1 "Coverage", 2 "None"
    uint32_t encoding = 0;  // COLOR_ENCODING: 0 BT.601, 1 BT.709, 2 BT.2020
    uint32_t range = 0;     // COLOR_RANGE: 0 limited, 1 full
    int32_t dx = 0, dy = 0;
};

// The primary plane's rectangles whenever the CRTC shows the framebuffer.
struct ScenarioScanout {
    uint32_t crtc_id = 0;
    uint32_t fb_id = 0;
    ScenarioPlaneView view;
};

// A statement about one framebuffer at one of a CRTC's vertical blanks.
struct ScenarioBlankFb {
    uint64_t at_vblank = 0;
    uint32_t crtc_id = 0;
    uint32_t fb_id = 0;
};

// At the CRTC's vertical blank number at_vblank the CRTC starts showing
// framebuffer fb_id, as after a page flip. 0 darkens the CRTC (it scans out
// nothing, and a rotation waits); a later flip to a buffer lights it again
// and a rotation goes on from that buffer's place in its list (from where
// it stopped for a buffer not in the list).
using ScenarioFlip = ScenarioBlankFb;

// From vertical blank from_vblank the CRTC shows fb_ids[0], then the next
// buffer of the list every `every` blanks, round and round, as a compositor
// that page-flips. A later rotation of the same CRTC replaces it from its
// own first blank.
struct ScenarioPageflip {
    uint32_t crtc_id = 0;
    uint32_t plane_id = 0;  // set instead of crtc_id: an overlay plane flips (no flip or darkening acts on it)
    std::vector<uint32_t> fb_ids;
    uint32_t every = 1;
    uint64_t from_vblank = 0;
};

// At the CRTC's vertical blank number at_vblank the CRTC takes a new mode
// (size and refresh) and shows framebuffer fb_id, which has that size. Any
// rotation of the CRTC ends there.
struct ScenarioModeChange {
    uint64_t at_vblank = 0;
    uint32_t crtc_id = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t refresh = 0;  // Hz
    uint32_t fb_id = 0;
};

// At the CRTC's vertical blank number at_vblank framebuffer fb_id starts to
// name new memory (same size and format, a fresh buffer object), as when a
// client removes a framebuffer and the kernel hands its id to the next one.
// It acts before every other statement of that blank.
using ScenarioRenewal = ScenarioBlankFb;

// The CRTC's cursor plane: a linear ARGB8888 image of width x height at
// (x, y) on the CRTC, moving by (dx, dy) every blank and bouncing at the
// CRTC's edges. From blank hide_at (if set) it is hidden, from show_at
// (if set) shown again. Every renew_every blanks (0: never) the plane
// flips to a new image (fresh memory, the other of two framebuffer ids).
// Every redraw_every blanks (0: never) the image is drawn again in its own
// memory (the square red and green by turns) and set on the plane again
// under the other framebuffer id, which names the same memory: what a
// compositor with one cursor buffer does through the legacy cursor call.
struct ScenarioCursor {
    uint32_t crtc_id = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    int32_t x = 0;
    int32_t y = 0;
    int32_t dx = 0;
    int32_t dy = 0;
    bool hides = false;
    uint64_t hide_at = 0;
    bool shows = false;
    uint64_t show_at = 0;
    uint32_t renew_every = 0;
    uint32_t redraw_every = 0;
};

struct ScenarioDevice {
    std::string path;
    bool multi_plane_query = true;  // false: the multi-plane framebuffer query fails
    bool handles = true;            // false: framebuffer queries report handle 0
    std::vector<ScenarioFramebuffer> framebuffers;
    std::vector<ScenarioCrtc> crtcs;
    std::vector<ScenarioEncoder> encoders;
    std::vector<ScenarioConnector> connectors;
    std::vector<ScenarioFlip> flips;
    std::vector<ScenarioPageflip> pageflips;
    std::vector<ScenarioModeChange> modes;
    std::vector<ScenarioRenewal> renewals;
    std::vector<ScenarioCursor> cursors;  // at most one per CRTC
    std::vector<ScenarioPlane> planes;
    std::vector<ScenarioScanout> scanouts;  // at most one per CRTC and framebuffer
    std::vector<ScenarioHdrChange> hdr_changes;
};

struct Scenario {
    std::vector<ScenarioDevice> devices;
};

// Parses a world description. 0 with *out filled, or -1 with *error set to
// "<origin>:<line>: <what is wrong>" (origin names the text in messages).
int scenario_parse(const std::string &text, const char *origin, Scenario *out, std::string *error);

// Reads and parses the file at path. 0, or -1 with *error set.
int scenario_load(const char *path, Scenario *out, std::string *error);

// The default world: "/dev/dri/card1" with a connected DisplayPort-3 on one
// CRTC at 2560x1440, 60 Hz, scanning out a linear XRGB8888 framebuffer.
const char *scenario_default_text();

// Connector type for a kernel connector type name ("DP", "HDMI-A", "Virtual",
// case-insensitive) or a decimal number; -1 when unknown.
int scenario_connector_type(const std::string &name);
