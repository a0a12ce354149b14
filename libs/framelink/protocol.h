// capture-helper's wire protocol, shared by the helper and every client.
//
// Command connection, "/tmp/vistrel.sock" (stream): the client writes one
// line per command ("SET_TARGET <device> <port>\n", "GET_FRAME\n"); the
// helper answers each with one reply: a ReplyHeader, `length` bytes of text
// and, for a frame, `num_fds` descriptors as SCM_RIGHTS data sent with the
// first byte.
//
// Event connection, "/tmp/vistrel_event.sock" (sequenced packets): one
// VBlankEvent per message, one message per vertical blank of the target.
// A client that sent FOLLOW_SCANOUT on its command connection also gets
// scanout records (ScanoutRecord, types 2 to 4) and cursor records
// (CursorRecord, types 5 to 7) on it, each one message,
// each before the VBlankEvent of the blank it describes. Every event message
// starts with a type and the length of what follows, so a reader can skip a
// type it does not know.
//
// Every field is in host byte order.
#pragma once

#include <sys/un.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

inline constexpr const char *UDS_SERVER_PATH = "/tmp/vistrel.sock";
inline constexpr const char *UDS_EVENT_PATH = "/tmp/vistrel_event.sock";
static_assert(std::string_view(UDS_SERVER_PATH).size() < sizeof(sockaddr_un::sun_path) &&
                  std::string_view(UDS_EVENT_PATH).size() < sizeof(sockaddr_un::sun_path),
              "both socket paths fit a UNIX socket address with their NUL");

// A command line with its newline and a NUL fits this buffer (254 characters
// before the newline at most).
inline constexpr size_t UDS_REQUEST_BUFFER = 256;

inline constexpr uint32_t UDS_REPLY_MAGIC = 0xDEADBEEFu;
// Descriptors in one reply: one per plane.
inline constexpr int UDS_MAX_PLANES = 4;
// Longest reply text a client accepts: four metadata lines are far below it.
inline constexpr uint32_t UDS_MAX_REPLY_TEXT = 4096;

// The header in front of every reply.
struct ReplyHeader {
    uint32_t magic;    // UDS_REPLY_MAGIC
    uint32_t length;   // bytes of text that follow, no NUL
    uint32_t num_fds;  // descriptors in the SCM_RIGHTS message, 0 to UDS_MAX_PLANES
    uint32_t error;    // 1 for an "ERROR:" reply, 0 for "OK\n" and frame replies
};
static_assert(sizeof(ReplyHeader) == 16, "the reply header is 16 bytes on the wire");
static_assert(offsetof(ReplyHeader, length) == 4 && offsetof(ReplyHeader, num_fds) == 8 &&
              offsetof(ReplyHeader, error) == 12);

inline constexpr uint32_t UDS_EVENT_VBLANK = 1;          // VBlankEvent::type
inline constexpr uint32_t UDS_EVENT_VBLANK_LENGTH = 24;  // VBlankEvent::length: bytes after it

// One vertical blank, exactly as the helper sends it.
struct VBlankEvent {
    uint32_t type;            // UDS_EVENT_VBLANK
    uint32_t length;          // UDS_EVENT_VBLANK_LENGTH
    uint64_t sequence;        // the CRTC's vertical-blank sequence number
    uint64_t vblank_time_ns;  // the kernel's time of that blank, CLOCK_MONOTONIC
    uint64_t server_time_ns;  // the helper's CLOCK_REALTIME when it forwarded the event
};
static_assert(sizeof(VBlankEvent) == 32, "a vblank event is 32 bytes on the wire");
static_assert(offsetof(VBlankEvent, sequence) == 8 && offsetof(VBlankEvent, vblank_time_ns) == 16 &&
              offsetof(VBlankEvent, server_time_ns) == 24);
static_assert(sizeof(VBlankEvent) - offsetof(VBlankEvent, sequence) == UDS_EVENT_VBLANK_LENGTH);

// The command words, the first word of a command line. SET_TARGET takes a
// device path and a port name; the others take nothing.
inline constexpr char UDS_COMMAND_SET_TARGET[] = "SET_TARGET";
inline constexpr char UDS_COMMAND_GET_FRAME[] = "GET_FRAME";
inline constexpr char UDS_COMMAND_FOLLOW_SCANOUT[] = "FOLLOW_SCANOUT";

// A command word followed by the line's end: the whole line of a command
// without arguments.
template <size_t N>
struct UdsCommandLine {
    char text[N + 1];
};
template <size_t N>
constexpr UdsCommandLine<N> uds_command_line(const char (&word)[N])
{
    UdsCommandLine<N> line{};
    for (size_t i = 0; i + 1 < N; i++)
        line.text[i] = word[i];
    line.text[N - 1] = '\n';
    return line;
}
inline constexpr UdsCommandLine UDS_GET_FRAME_LINE = uds_command_line(UDS_COMMAND_GET_FRAME);
inline constexpr UdsCommandLine UDS_FOLLOW_SCANOUT_LINE = uds_command_line(UDS_COMMAND_FOLLOW_SCANOUT);
inline constexpr const char *UDS_GET_FRAME_COMMAND = UDS_GET_FRAME_LINE.text;

// Opt-in to scanout records: "FOLLOW_SCANOUT\n" on the command connection,
// after SET_TARGET; answered "OK\n" (or an "ERROR: ..." reply). It lasts for
// that command connection, across later SET_TARGETs.
inline constexpr const char *UDS_FOLLOW_SCANOUT_COMMAND = UDS_FOLLOW_SCANOUT_LINE.text;

// Scanout record types (ScanoutRecord::type). Numbers 8 and up are kept for
// later records; readers skip types they do not know by their length.
inline constexpr uint32_t UDS_EVENT_BUFFER_NEW = 2;    // a buffer this client does not have, with its descriptors
inline constexpr uint32_t UDS_EVENT_BUFFER_SHOWN = 3;  // a buffer this client has, named by buffer_id
inline constexpr uint32_t UDS_EVENT_DARK = 4;          // the plane scans out nothing

// ScanoutRecord::plane.
inline constexpr uint32_t UDS_PLANE_PRIMARY = 0;

// ScanoutRecord::changed: what differs from the last buffer this client was
// told about on that plane (across a dark spell too). 0 on the first record
// after the opt-in, which has nothing to compare with.
inline constexpr uint32_t UDS_SCANOUT_CHANGED_SIZE = 1u << 0;
inline constexpr uint32_t UDS_SCANOUT_CHANGED_FORMAT = 1u << 1;
inline constexpr uint32_t UDS_SCANOUT_CHANGED_MODIFIER = 1u << 2;

// How many buffers each end keeps per event connection. Both ends follow
// one rule, driven only by the records, so they always agree on the set:
// a NEW or SHOWN record makes its buffer the most recently shown; before a
// NEW record's buffer is added to a set that already holds
// UDS_SCANOUT_MAX_BUFFERS, the least recently shown one is forgotten (the
// client closes its descriptors). DARK changes nothing. The helper names in
// SHOWN records only buffers still in the set; a forgotten buffer that goes
// on screen again comes as NEW with a fresh buffer_id.
inline constexpr uint32_t UDS_SCANOUT_MAX_BUFFERS = 4;

// Bytes of a ScanoutRecord after its type and length fields, without text.
inline constexpr uint32_t UDS_SCANOUT_RECORD_LENGTH = 64;

// One scanout record. A BUFFER_NEW record is followed, in the same message,
// by text_length bytes of description, exactly the text of a GET_FRAME
// reply (a "w=|h=|f=|s=|o=|m=|r=" line, then one "s=|o=" line per further
// plane, joined by "\r\n"), and carries num_fds descriptors (one per line,
// in order) as SCM_RIGHTS data. SHOWN and DARK records have neither.
struct ScanoutRecord {
    uint32_t type;         // UDS_EVENT_BUFFER_NEW, _SHOWN or _DARK
    uint32_t length;       // UDS_SCANOUT_RECORD_LENGTH + text_length
    uint64_t sequence;     // the blank it describes; that blank's VBlankEvent follows
    uint64_t buffer_id;    // the helper's name of the buffer, 0 for DARK; never reused on a connection
    uint32_t plane;        // UDS_PLANE_PRIMARY
    uint32_t fb_id;        // the kernel's framebuffer id (ids are reused: key on buffer_id), 0 for DARK
    uint32_t changed;      // UDS_SCANOUT_CHANGED_* bits
    uint32_t num_fds;      // descriptors carried: 1 to UDS_MAX_PLANES for NEW, else 0
    uint32_t text_length;  // description bytes after the record: NEW only, at most UDS_MAX_REPLY_TEXT
    uint32_t width;        // the buffer's size, format and modifier (0 for DARK), also in SHOWN
    uint32_t height;
    uint32_t format;  // DRM fourcc
    uint64_t modifier;
    uint32_t refresh;   // the CRTC's refresh in Hz when the record was made (0 for DARK or unknown)
    uint32_t reserved;  // 0
};
static_assert(sizeof(ScanoutRecord) == 72, "a scanout record is 72 bytes on the wire before its text");
static_assert(offsetof(ScanoutRecord, sequence) == 8 && offsetof(ScanoutRecord, buffer_id) == 16 &&
              offsetof(ScanoutRecord, plane) == 24 && offsetof(ScanoutRecord, fb_id) == 28 &&
              offsetof(ScanoutRecord, changed) == 32 && offsetof(ScanoutRecord, num_fds) == 36 &&
              offsetof(ScanoutRecord, text_length) == 40 && offsetof(ScanoutRecord, width) == 44 &&
              offsetof(ScanoutRecord, modifier) == 56 && offsetof(ScanoutRecord, refresh) == 64);
static_assert(sizeof(ScanoutRecord) - offsetof(ScanoutRecord, sequence) == UDS_SCANOUT_RECORD_LENGTH);

// Cursor record types (CursorRecord::type): the CRTC's cursor plane.
inline constexpr uint32_t UDS_EVENT_CURSOR_NEW = 5;    // an image this client does not have, with its descriptors
inline constexpr uint32_t UDS_EVENT_CURSOR_STATE = 6;  // an image it has (by buffer_id), moved, or hidden
inline constexpr uint32_t UDS_EVENT_NO_CURSOR = 7;     // the CRTC has no cursor plane that can be read; sent once

// ScanoutRecord::plane of a cursor's image set, for logs.
inline constexpr uint32_t UDS_PLANE_CURSOR = 1;

// Cursor images kept per event connection, under the same rule as the
// primary plane's buffers (their own set): a NEW or STATE record naming an
// image makes it the most recently shown; before a NEW image joins a full
// set the least recently shown one is forgotten (descriptors closed).
// A STATE record of a hidden cursor changes nothing in the set.
inline constexpr uint32_t UDS_CURSOR_MAX_IMAGES = 4;

// Bytes of a CursorRecord after its type and length fields, without text.
inline constexpr uint32_t UDS_CURSOR_RECORD_LENGTH = 72;

// One cursor record, sent only when something of the cursor changed since
// the last one (image, position, size, shown/hidden). It always carries the
// whole state. A CURSOR_NEW record is followed by text_length bytes of
// description (the text of a GET_FRAME reply) and carries num_fds
// descriptors, exactly like a BUFFER_NEW record.
struct CursorRecord {
    uint32_t type;        // UDS_EVENT_CURSOR_NEW, _CURSOR_STATE or _NO_CURSOR
    uint32_t length;      // UDS_CURSOR_RECORD_LENGTH + text_length
    uint64_t sequence;    // the blank it describes; that blank's VBlankEvent follows
    uint64_t buffer_id;   // the helper's name of the image, 0 when hidden; never reused on a connection
    uint32_t fb_id;       // the kernel's framebuffer id, 0 when hidden
    uint32_t visible;     // 1 shown, 0 hidden (and for NO_CURSOR)
    int32_t x;            // CRTC_X, CRTC_Y: the image's top-left on the CRTC,
    int32_t y;            //   may be negative or beyond the picture
    uint32_t crtc_width;  // CRTC_W, CRTC_H: the size it is shown at
    uint32_t crtc_height;
    uint32_t num_fds;      // 1 to UDS_MAX_PLANES for CURSOR_NEW, else 0
    uint32_t text_length;  // description bytes after the record: CURSOR_NEW only
    uint32_t width;        // the image's size and DRM fourcc (0 when hidden)
    uint32_t height;
    uint32_t format;
    uint32_t reserved;  // 0
    uint64_t modifier;
};
static_assert(sizeof(CursorRecord) == 80, "a cursor record is 80 bytes on the wire before its text");
static_assert(offsetof(CursorRecord, sequence) == 8 && offsetof(CursorRecord, buffer_id) == 16 &&
              offsetof(CursorRecord, fb_id) == 24 && offsetof(CursorRecord, visible) == 28 &&
              offsetof(CursorRecord, x) == 32 && offsetof(CursorRecord, crtc_width) == 40 &&
              offsetof(CursorRecord, num_fds) == 48 && offsetof(CursorRecord, text_length) == 52 &&
              offsetof(CursorRecord, width) == 56 && offsetof(CursorRecord, format) == 64 &&
              offsetof(CursorRecord, modifier) == 72);
static_assert(sizeof(CursorRecord) - offsetof(CursorRecord, sequence) == UDS_CURSOR_RECORD_LENGTH);

// ---------------------------------------------------------------------------
// Following every plane. "FOLLOW_PLANES\n" on the command connection (after
// SET_TARGET, answered "OK\n" or an "ERROR: ..." reply) asks for everything
// FOLLOW_SCANOUT gives (the primary plane's scanout records and the cursor
// records, unchanged) and, on the same event connection, the records below:
// the CRTC's state (CrtcRecord) and the state of each plane on the CRTC
// (PlaneRecord), primary, overlays and cursor. Each goes out only when
// something in it changed, before the VBlankEvent of the blank it describes,
// and after that blank's scanout and cursor records (so a plane record may
// name the buffer a scanout or cursor record of the same blank just sent).
// The first blank after the opt-in sends the CRTC record and one plane
// record per plane. Like FOLLOW_SCANOUT it lasts for the command connection.
inline constexpr char UDS_COMMAND_FOLLOW_PLANES[] = "FOLLOW_PLANES";
inline constexpr UdsCommandLine UDS_FOLLOW_PLANES_LINE = uds_command_line(UDS_COMMAND_FOLLOW_PLANES);
inline constexpr const char *UDS_FOLLOW_PLANES_COMMAND = UDS_FOLLOW_PLANES_LINE.text;

inline constexpr uint32_t UDS_EVENT_CRTC_STATE = 8;   // CrtcRecord
inline constexpr uint32_t UDS_EVENT_PLANE_NEW = 9;    // PlaneRecord of an overlay with a buffer the client does not have
inline constexpr uint32_t UDS_EVENT_PLANE_STATE = 10; // PlaneRecord naming a buffer the client has, or none

// PlaneRecord::kind (the plane's "type" property). The primary and cursor
// planes keep their own buffer sets (the scanout and cursor records); a
// plane record of those kinds names a buffer of that set.
inline constexpr uint32_t UDS_PLANE_KIND_PRIMARY = 0;
inline constexpr uint32_t UDS_PLANE_KIND_CURSOR = 1;
inline constexpr uint32_t UDS_PLANE_KIND_OVERLAY = 2;

// The overlay planes' buffers, one set for all overlay planes of the
// connection, under the rule of the scanout buffers: a PLANE_NEW or a
// PLANE_STATE naming a buffer makes it the most recently shown; before a
// PLANE_NEW's buffer joins a full set the least recently shown buffer that
// is not on screen is forgotten (descriptors closed). On screen: the buffer
// of an overlay plane's last record (the plane of the record being applied
// counts with the buffer it showed before). The set holds
// more buffers than a CRTC has overlays, so one always goes. A hidden
// plane changes nothing in the set.
inline constexpr uint32_t UDS_OVERLAY_MAX_BUFFERS = 16;

// Planes a CRTC record may announce and a client follows at most.
inline constexpr uint32_t UDS_MAX_FOLLOWED_PLANES = 16;

// CrtcRecord::orientation: the connector's "panel orientation".
inline constexpr uint32_t UDS_ORIENTATION_NORMAL = 0;
inline constexpr uint32_t UDS_ORIENTATION_UPSIDE_DOWN = 1;  // "Upside Down"
inline constexpr uint32_t UDS_ORIENTATION_LEFT_UP = 2;      // "Left Side Up": the panel's left edge is on top
inline constexpr uint32_t UDS_ORIENTATION_RIGHT_UP = 3;     // "Right Side Up"

inline constexpr uint32_t UDS_CRTC_RECORD_LENGTH = 32;

// The CRTC: its mode's size (0 x 0 while it is off: the display is dark),
// refresh, the connector's panel orientation, and how many planes can show
// on it (each gets plane records).
struct CrtcRecord {
    uint32_t type;    // UDS_EVENT_CRTC_STATE
    uint32_t length;  // UDS_CRTC_RECORD_LENGTH
    uint64_t sequence;
    uint32_t crtc_id;
    uint32_t width;   // the mode's hdisplay and vdisplay, 0 when off
    uint32_t height;
    uint32_t refresh;      // Hz, 0 when off or unknown
    uint32_t orientation;  // UDS_ORIENTATION_*
    uint32_t plane_count;  // planes followed, at most UDS_MAX_FOLLOWED_PLANES
};
static_assert(sizeof(CrtcRecord) == 40, "a CRTC record is 40 bytes on the wire");
static_assert(sizeof(CrtcRecord) - offsetof(CrtcRecord, sequence) == UDS_CRTC_RECORD_LENGTH);

// PlaneRecord::rotation: the plane's "rotation" bits, as the kernel's
// (DRM_MODE_ROTATE_0/90/180/270 = 1/2/4/8, counter-clockwise;
// DRM_MODE_REFLECT_X/Y = 16/32, applied to the source before it turns).
inline constexpr uint32_t UDS_ROTATE_0 = 1u << 0;
inline constexpr uint32_t UDS_ROTATE_90 = 1u << 1;
inline constexpr uint32_t UDS_ROTATE_180 = 1u << 2;
inline constexpr uint32_t UDS_ROTATE_270 = 1u << 3;
inline constexpr uint32_t UDS_REFLECT_X = 1u << 4;
inline constexpr uint32_t UDS_REFLECT_Y = 1u << 5;

// PlaneRecord::blend: the "pixel blend mode" property.
inline constexpr uint32_t UDS_BLEND_PREMULTI = 0;  // "Pre-multiplied" (also without the property)
inline constexpr uint32_t UDS_BLEND_COVERAGE = 1;  // "Coverage": colour not premultiplied
inline constexpr uint32_t UDS_BLEND_NONE = 2;      // "None": the pixel's alpha is ignored

// PlaneRecord::color_encoding and color_range (YUV buffers only).
inline constexpr uint32_t UDS_ENCODING_BT601 = 0;   // "ITU-R BT.601 YCbCr"
inline constexpr uint32_t UDS_ENCODING_BT709 = 1;   // "ITU-R BT.709 YCbCr"
inline constexpr uint32_t UDS_ENCODING_BT2020 = 2;  // "ITU-R BT.2020 YCbCr"
inline constexpr uint32_t UDS_RANGE_LIMITED = 0;    // "YCbCr limited range"
inline constexpr uint32_t UDS_RANGE_FULL = 1;       // "YCbCr full range"

inline constexpr uint32_t UDS_PLANE_RECORD_LENGTH = 112;

// One plane's whole state. A PLANE_NEW record (overlays only) is followed by
// text_length bytes of description and carries num_fds descriptors, exactly
// like a BUFFER_NEW record. A plane that shows nothing (no framebuffer, or
// on another CRTC) has buffer_id 0 and every field after plane_id 0.
struct PlaneRecord {
    uint32_t type;    // UDS_EVENT_PLANE_NEW or _PLANE_STATE
    uint32_t length;  // UDS_PLANE_RECORD_LENGTH + text_length
    uint64_t sequence;
    uint64_t buffer_id;  // in the set of the plane's kind; 0: the plane shows nothing
    uint32_t plane_id;   // the kernel's plane id
    uint32_t kind;       // UDS_PLANE_KIND_*
    uint32_t fb_id;
    uint32_t num_fds;      // 1 to UDS_MAX_PLANES for PLANE_NEW, else 0
    uint32_t text_length;  // PLANE_NEW only
    uint32_t width;        // the buffer's size, fourcc and modifier
    uint32_t height;
    uint32_t format;
    uint64_t modifier;
    uint32_t zpos;
    uint32_t src_x;  // SRC_X/Y/W/H: the source rectangle in the buffer, 16.16 fixed point
    uint32_t src_y;
    uint32_t src_w;
    uint32_t src_h;
    int32_t crtc_x;  // CRTC_X/Y/W/H: where it is shown, may reach past the CRTC's edges
    int32_t crtc_y;
    uint32_t crtc_w;
    uint32_t crtc_h;
    uint32_t rotation;        // UDS_ROTATE_* | UDS_REFLECT_*
    uint32_t alpha;           // plane alpha, 0 (clear) to 0xffff (opaque)
    uint32_t blend;           // UDS_BLEND_*
    uint32_t color_encoding;  // UDS_ENCODING_*
    uint32_t color_range;     // UDS_RANGE_*
};
static_assert(sizeof(PlaneRecord) == 120, "a plane record is 120 bytes on the wire before its text");
static_assert(offsetof(PlaneRecord, buffer_id) == 16 && offsetof(PlaneRecord, plane_id) == 24 &&
              offsetof(PlaneRecord, num_fds) == 36 && offsetof(PlaneRecord, width) == 44 &&
              offsetof(PlaneRecord, modifier) == 56 && offsetof(PlaneRecord, zpos) == 64 &&
              offsetof(PlaneRecord, crtc_x) == 84 && offsetof(PlaneRecord, rotation) == 100 &&
              offsetof(PlaneRecord, color_range) == 116);
static_assert(sizeof(PlaneRecord) - offsetof(PlaneRecord, sequence) == UDS_PLANE_RECORD_LENGTH);

// ---------------------------------------------------------------------------
// HDR output. A client that follows every plane also gets the connector's
// HDR state: at the first blank after FOLLOW_PLANES and whenever it changes,
// after that blank's plane records and before its VBlankEvent. It comes from
// the connector's "HDR_OUTPUT_METADATA" blob (the kernel's struct
// hdr_output_metadata, static metadata type 1) and its "Colorspace"
// property; a connector without them, or without a blob, is SDR with every
// field after colorimetry 0.
inline constexpr uint32_t UDS_EVENT_HDR_STATE = 11;  // HdrRecord

// HdrRecord::eotf: the metadata's EOTF (CTA-861 values).
inline constexpr uint32_t UDS_HDR_EOTF_SDR = 0;  // traditional gamma, or no metadata
inline constexpr uint32_t UDS_HDR_EOTF_PQ = 2;   // SMPTE ST 2084
inline constexpr uint32_t UDS_HDR_EOTF_HLG = 3;  // ARIB STD-B67 hybrid log-gamma

// HdrRecord::colorimetry: the connector's "Colorspace" by the kernel's names
// (numbered as the kernel's DRM_MODE_COLORIMETRY_*); DEFAULT without it.
inline constexpr uint32_t UDS_COLORIMETRY_DEFAULT = 0;             // "Default"
inline constexpr uint32_t UDS_COLORIMETRY_SMPTE_170M_YCC = 1;      // "SMPTE_170M_YCC"
inline constexpr uint32_t UDS_COLORIMETRY_BT709_YCC = 2;           // "BT709_YCC"
inline constexpr uint32_t UDS_COLORIMETRY_XVYCC_601 = 3;           // "XVYCC_601"
inline constexpr uint32_t UDS_COLORIMETRY_XVYCC_709 = 4;           // "XVYCC_709"
inline constexpr uint32_t UDS_COLORIMETRY_SYCC_601 = 5;            // "SYCC_601"
inline constexpr uint32_t UDS_COLORIMETRY_OPYCC_601 = 6;           // "opYCC_601"
inline constexpr uint32_t UDS_COLORIMETRY_OPRGB = 7;               // "opRGB"
inline constexpr uint32_t UDS_COLORIMETRY_BT2020_CYCC = 8;         // "BT2020_CYCC"
inline constexpr uint32_t UDS_COLORIMETRY_BT2020_RGB = 9;          // "BT2020_RGB"
inline constexpr uint32_t UDS_COLORIMETRY_BT2020_YCC = 10;         // "BT2020_YCC"
inline constexpr uint32_t UDS_COLORIMETRY_DCI_P3_RGB_D65 = 11;     // "DCI-P3_RGB_D65"
inline constexpr uint32_t UDS_COLORIMETRY_DCI_P3_RGB_THEATER = 12; // "DCI-P3_RGB_Theater"
inline constexpr uint32_t UDS_COLORIMETRY_COUNT = 13;

inline constexpr uint32_t UDS_HDR_RECORD_LENGTH = 48;

// The connector's HDR state, the metadata's fields as the kernel's struct
// holds them.
struct HdrRecord {
    uint32_t type;    // UDS_EVENT_HDR_STATE
    uint32_t length;  // UDS_HDR_RECORD_LENGTH
    uint64_t sequence;
    uint32_t connector_id;
    uint32_t eotf;                      // UDS_HDR_EOTF_*
    uint32_t colorimetry;               // UDS_COLORIMETRY_*
    uint16_t primaries[3][2];           // display primaries R, G, B as (x, y), 0.00002 units
    uint16_t white_point[2];            // (x, y), 0.00002 units
    uint16_t max_mastering_luminance;   // cd/m2
    uint16_t min_mastering_luminance;   // 0.0001 cd/m2
    uint16_t max_cll;                   // cd/m2
    uint16_t max_fall;                  // cd/m2
    uint32_t reserved;                  // 0
};
static_assert(sizeof(HdrRecord) == 56, "an HDR record is 56 bytes on the wire");
static_assert(offsetof(HdrRecord, connector_id) == 16 && offsetof(HdrRecord, colorimetry) == 24 &&
              offsetof(HdrRecord, primaries) == 28 && offsetof(HdrRecord, white_point) == 40 &&
              offsetof(HdrRecord, max_mastering_luminance) == 44 && offsetof(HdrRecord, max_fall) == 50);
static_assert(sizeof(HdrRecord) - offsetof(HdrRecord, sequence) == UDS_HDR_RECORD_LENGTH);
