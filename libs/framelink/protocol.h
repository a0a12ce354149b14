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
