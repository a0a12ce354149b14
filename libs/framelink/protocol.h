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
// scanout records (ScanoutRecord, types 2 to 4) on it, each one message,
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
    uint32_t magic;     // UDS_REPLY_MAGIC
    uint32_t length;    // bytes of text that follow, no NUL
    uint32_t num_fds;   // descriptors in the SCM_RIGHTS message, 0 to UDS_MAX_PLANES
    uint32_t error;     // 1 for an "ERROR:" reply, 0 for "OK\n" and frame replies
};
static_assert(sizeof(ReplyHeader) == 16, "the reply header is 16 bytes on the wire");
static_assert(offsetof(ReplyHeader, length) == 4 && offsetof(ReplyHeader, num_fds) == 8 &&
              offsetof(ReplyHeader, error) == 12);

inline constexpr uint32_t UDS_EVENT_VBLANK = 1;  // VBlankEvent::type
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

// Opt-in to scanout records: "FOLLOW_SCANOUT\n" on the command connection,
// after SET_TARGET; answered "OK\n" (or an "ERROR: ..." reply). It lasts for
// that command connection, across later SET_TARGETs.
inline constexpr const char *UDS_FOLLOW_SCANOUT_COMMAND = "FOLLOW_SCANOUT\n";

// Scanout record types (ScanoutRecord::type). Numbers 5 and up are kept for
// later records (cursor plane, positions); readers skip types they do not
// know by their length.
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
    uint32_t format;       // DRM fourcc
    uint64_t modifier;
    uint32_t refresh;      // the CRTC's refresh in Hz when the record was made (0 for DARK or unknown)
    uint32_t reserved;     // 0
};
static_assert(sizeof(ScanoutRecord) == 72, "a scanout record is 72 bytes on the wire before its text");
static_assert(offsetof(ScanoutRecord, sequence) == 8 && offsetof(ScanoutRecord, buffer_id) == 16 &&
              offsetof(ScanoutRecord, plane) == 24 && offsetof(ScanoutRecord, fb_id) == 28 &&
              offsetof(ScanoutRecord, changed) == 32 && offsetof(ScanoutRecord, num_fds) == 36 &&
              offsetof(ScanoutRecord, text_length) == 40 && offsetof(ScanoutRecord, width) == 44 &&
              offsetof(ScanoutRecord, modifier) == 56 &&
              offsetof(ScanoutRecord, refresh) == 64);
static_assert(sizeof(ScanoutRecord) - offsetof(ScanoutRecord, sequence) == UDS_SCANOUT_RECORD_LENGTH);
