// Client side of capture-helper's protocol: the command connection on
// "/tmp/vistrel.sock" (line commands, 16-byte reply header, text, SCM_RIGHTS
// descriptors) and the event connection on "/tmp/vistrel_event.sock" (one
// 32-byte VBlankEvent per sequenced-packet message).
//
// Every call returns 0 on success and a negative value on failure; on
// failure errno tells the system's reason where there is one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "libs/common/unique_fd.h"
#include "libs/framelink/protocol.h"

// The connection handle. The first two fields own the command and the event
// connection descriptors, -1 while not open. A default-made record is empty.
struct ServerConnection {
    UniqueFD fd;
    UniqueFD event_fd;
    // Set when a reply was not read to its end (time-out, broken reply): what
    // is left of it would be taken for the next command's reply, so every
    // later command on this connection fails with EPROTO instead.
    int out_of_step;
};

namespace framelink {

struct FramePlane {
    UniqueFD fd;  // owned; -1 when none
    uint32_t stride = 0;
    uint32_t offset = 0;
};

// One exported framebuffer as the library receives it. The plane table owns
// the descriptors; fd names plane 0's for reading (the descriptor
// planes[0] owns, -1 when none), and entry 0 repeats plane 0's stride and
// offset. Move-only: a move takes the descriptors along (the source is left
// with none); destroying the record, or uds_client_close_frame, closes them.
struct FrameMetadata {
    int fd = -1;  // plane 0 descriptor, -1 when none
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t format = 0;  // DRM fourcc
    uint32_t stride = 0;
    uint32_t offset = 0;
    uint64_t modifier = 0;
    uint32_t refresh_rate = 0;  // Hz, 0 when unknown
    int plane_count = 0;        // 0 to 4
    FramePlane planes[UDS_MAX_PLANES];

    FrameMetadata() = default;
    FrameMetadata(FrameMetadata &&other) noexcept { *this = std::move(other); }
    FrameMetadata &operator=(FrameMetadata &&other) noexcept;
    // The same description without any descriptor (every fd -1).
    FrameMetadata description() const;
};

// One reply as it arrived: the header, the text and every descriptor that
// came with it.
struct Reply {
    ReplyHeader header{};
    std::string text;
    std::vector<UniqueFD> fds;
    // Descriptors were dropped on the way in (more than a reply can carry).
    bool descriptors_lost = false;
};

// Reads one whole reply from a command connection within timeout_ms. 0 when
// it arrived whole; the caller still compares fds with header.num_fds and
// checks descriptors_lost. -1 with errno ETIMEDOUT, ECONNRESET (the peer
// closed first), EPROTO (wrong magic, text over UDS_MAX_REPLY_TEXT, more
// than UDS_MAX_PLANES descriptors announced; the header is kept) or the
// system's error. Nothing is printed.
int read_reply(int fd, int timeout_ms, Reply *reply);

// One message of the event connection as it arrived.
struct EventMessage {
    uint32_t type = 0;       // the message's type: UDS_EVENT_VBLANK, a scanout record type, or unknown
    VBlankEvent vblank{};    // filled for UDS_EVENT_VBLANK
    ScanoutRecord record{};  // filled for UDS_EVENT_BUFFER_NEW, _SHOWN and _DARK
    CursorRecord cursor{};   // filled for UDS_EVENT_CURSOR_NEW, _CURSOR_STATE and _NO_CURSOR
    CrtcRecord crtc{};       // filled for UDS_EVENT_CRTC_STATE
    PlaneRecord plane{};     // filled for UDS_EVENT_PLANE_NEW and _PLANE_STATE
    HdrRecord hdr{};         // filled for UDS_EVENT_HDR_STATE
    // UDS_EVENT_BUFFER_NEW, _CURSOR_NEW and _PLANE_NEW: the parsed description, its descriptor fields -1;
    // the descriptors themselves are in fds, one per plane in order.
    FrameMetadata frame{};
    std::vector<UniqueFD> fds;
};

// Reads one message from an event connection, waiting up to timeout_ms
// (-1: as long as it takes). 0: a whole message is in *message; a type this
// library does not know comes back with only its type set, for the caller to
// skip (any descriptors it carried are closed). 1: the stream ended (the
// helper closed it), errno ECONNRESET. -1 with ETIMEDOUT, EPROTO (shorter
// than its type and length, a length that does not match the message, a
// known type of the wrong size, a BUFFER_NEW, CURSOR_NEW or PLANE_NEW whose
// description or descriptors do not match its record, a PLANE_NEW that is not
// an overlay's, a CRTC record announcing more than UDS_MAX_FOLLOWED_PLANES
// planes, an HDR record with an EOTF or colorimetry it does not name,
// descriptors on any other message; all
// received descriptors are closed) or the system's error. Nothing is
// printed.
int read_event(int event_fd, int timeout_ms, EventMessage *message);

}  // namespace framelink

// What a command call hands back. The caller provides the message buffer
// (and, for GET_FRAME, the metadata to fill); the library fills the rest.
struct ServerReply {
    ReplyHeader header;                  // the header as received
    char *message;                       // caller's buffer for the reply text, or null
    size_t message_size;                 // its size; the text is cut to fit and NUL-terminated
    framelink::FrameMetadata *metadata;  // GET_FRAME only: filled when a frame arrived
    int has_frame;                       // non-zero when GET_FRAME delivered a frame
};

// Connects the command connection to the server socket at path.
int uds_client_connect(ServerConnection *conn, const char *path);

// Sends the SET_TARGET command and waits up to timeout_ms for the reply.
// 0 only when the server answered exactly "OK\n". A reply that does not
// arrive whole in time leaves the connection out of step (see above).
int uds_client_set_context(ServerConnection *conn, const char *command, ServerReply *reply, int timeout_ms);

// Sends GET_FRAME and waits up to timeout_ms for the reply. 0 when a well
// formed reply arrived: if it carries a frame, has_frame is set and
// reply->metadata holds the parsed lines and the received descriptors, which
// now belong to the caller (see uds_client_close_frame). A bare header gives
// 0 with has_frame 0. An error reply, a malformed reply or a time-out gives
// -1 with the reply text (if any) in the message buffer and no descriptor
// left open.
int uds_client_get_frame_info(ServerConnection *conn, const char *command, ServerReply *reply, int timeout_ms);

// Sends FOLLOW_SCANOUT (after SET_TARGET) and waits up to timeout_ms for the
// reply: from then on the event connection carries scanout records as well
// (read them with framelink::read_event). 0 only when the helper answered
// exactly "OK\n". A helper without the command answers "ERROR: Unknown
// command\n": -1 with EPROTO and the text in the message buffer.
int uds_client_follow_scanout(ServerConnection *conn, ServerReply *reply, int timeout_ms);

// Sends FOLLOW_PLANES (after SET_TARGET): the event connection then carries
// everything FOLLOW_SCANOUT gives and the CRTC and plane records. As
// uds_client_follow_scanout otherwise.
int uds_client_follow_planes(ServerConnection *conn, ServerReply *reply, int timeout_ms);

// Connects the event connection. The helper creates the event socket in a
// thread of its own after SET_TARGET, so a missing or refusing socket is
// retried for up to two seconds.
int uds_client_event_connect(ServerConnection *conn, const char *path);

// Blocks until the next event and returns it whole. Non-zero once the stream
// has ended (peer closed), on a read error, or on a message that is not a
// 32-byte event of type 1.
int uds_client_event_read(ServerConnection *conn, VBlankEvent *event);

// The pipeline's "ready for events" call, made before its listener starts.
// The helper ends the event stream when anything arrives on the event
// connection, so nothing is written: the call checks that the event
// connection is open and has not been ended by the peer, and returns 0 then.
// A null value, a closed or an ended event connection gives -1.
int uds_client_event_write(ServerConnection *conn, const uint64_t *value);

// Closes both connections that are open; both are -1 afterwards.
void uds_client_disconnect(ServerConnection *conn);

// Closes every descriptor of a frame filled by uds_client_get_frame_info and
// marks them -1.
void uds_client_close_frame(framelink::FrameMetadata *frame);
