#include "libs/framelink/framelink.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "libs/common/unique_fd.h"
#include "libs/common/unix_socket.h"
#include "libs/framelink/description.h"

namespace {

constexpr int kEventConnectRetryMs = 2000;
constexpr int kEventConnectStepMs = 10;

int64_t now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int open_unix(int type, const char *path, UniqueFD *out)
{
    UniqueFD fd = unix_connect(path, type, nullptr);
    if (!fd) {
        if (errno == ENAMETOOLONG)
            errno = EINVAL;
        return -1;
    }
    *out = std::move(fd);
    return 0;
}

// Waits until fd is readable or the deadline passes. 0 ready, -1 with
// ETIMEDOUT or the poll error.
int wait_readable(int fd, int64_t deadline_ms)
{
    for (;;) {
        int64_t left = deadline_ms - now_ms();
        if (left <= 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        pollfd p{fd, POLLIN, 0};
        int rc = poll(&p, 1, int(left));
        if (rc > 0)
            return 0;
        if (rc < 0 && errno != EINTR)
            return -1;
    }
}

int send_all(int fd, const char *data, size_t len)
{
    while (len > 0) {
        ssize_t n = send(fd, data, len, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        data += n;
        len -= size_t(n);
    }
    return 0;
}

// Collects the descriptors of every SCM_RIGHTS message in msg.
void take_descriptors(msghdr *msg, std::vector<UniqueFD> *fds)
{
    for (cmsghdr *c = CMSG_FIRSTHDR(msg); c; c = CMSG_NXTHDR(msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
            continue;
        size_t n = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        const unsigned char *data = CMSG_DATA(c);
        for (size_t i = 0; i < n; ++i) {
            int fd;
            std::memcpy(&fd, data + i * sizeof(int), sizeof(int));
            fds->emplace_back(fd);
        }
    }
}

// Reads exactly len bytes before the deadline, gathering any descriptors
// passed along with them. A peer that closes early gives ECONNRESET.
int recv_exact(int fd, char *buf, size_t len, int64_t deadline_ms, std::vector<UniqueFD> *fds, bool *truncated)
{
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * UDS_MAX_PLANES) + 64];
    while (len > 0) {
        if (wait_readable(fd, deadline_ms) < 0)
            return -1;
        iovec iov{buf, len};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
        ssize_t n = recvmsg(fd, &msg, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return -1;
        }
        take_descriptors(&msg, fds);
        if (msg.msg_flags & MSG_CTRUNC)
            *truncated = true;
        if (n == 0) {
            errno = ECONNRESET;
            return -1;
        }
        buf += n;
        len -= size_t(n);
    }
    return 0;
}

// Reads one reply before the deadline; the header is stored as soon as it
// is in, so a caller sees what a refused reply announced.
int receive_reply(int fd, int64_t deadline_ms, framelink::Reply *reply)
{
    *reply = framelink::Reply();
    ReplyHeader header{};
    if (recv_exact(fd, reinterpret_cast<char *>(&header), sizeof(header), deadline_ms, &reply->fds,
                   &reply->descriptors_lost) < 0)
        return -1;
    reply->header = header;
    if (header.magic != UDS_REPLY_MAGIC || header.length > UDS_MAX_REPLY_TEXT ||
        header.num_fds > unsigned(UDS_MAX_PLANES)) {
        errno = EPROTO;
        return -1;
    }
    reply->text.assign(header.length, '\0');
    if (header.length > 0 &&
        recv_exact(fd, reply->text.data(), header.length, deadline_ms, &reply->fds, &reply->descriptors_lost) < 0)
        return -1;
    return 0;
}

void copy_message(ServerReply *reply, const std::string &text)
{
    if (!reply->message || reply->message_size == 0)
        return;
    size_t n = std::min(text.size(), reply->message_size - 1);
    std::memcpy(reply->message, text.data(), n);
    reply->message[n] = '\0';
}

// Sends one command line and receives its reply: header, text, descriptors.
// A well-formed error reply is a failure too (EPROTO), its text kept.
int transact(ServerConnection *conn, const char *command, ServerReply *reply, int timeout_ms,
             framelink::Reply *received)
{
    if (!conn || !conn->fd || !command || !reply) {
        errno = EINVAL;
        return -1;
    }
    reply->header = {};
    reply->has_frame = 0;
    copy_message(reply, "");
    if (conn->out_of_step) {
        errno = EPROTO;
        return -1;
    }
    if (send_all(conn->fd.get(), command, std::strlen(command)) < 0)
        return -1;

    // From here until the whole reply is read, a failure leaves the rest of
    // the reply (or all of a late one) in the stream.
    conn->out_of_step = 1;
    int64_t deadline = now_ms() + (timeout_ms > 0 ? timeout_ms : 0);
    const int rc = receive_reply(conn->fd.get(), deadline, received);
    reply->header = received->header;
    if (rc < 0)
        return -1;
    conn->out_of_step = 0;
    copy_message(reply, received->text);
    if (received->descriptors_lost || received->fds.size() != reply->header.num_fds || reply->header.error != 0) {
        errno = EPROTO;
        return -1;
    }
    return 0;
}

// Parses a frame description (one line per plane) into out, every
// descriptor field -1. planes: how many lines there must be.
bool parse_frame_description(const std::string &text, size_t planes, framelink::FrameMetadata *out)
{
    framelink::Description d{};
    if (!framelink::parse_description(text, &d) || size_t(d.plane_count) != planes)
        return false;
    framelink::FrameMetadata frame;
    frame.width = d.width;
    frame.height = d.height;
    frame.format = d.format;
    frame.stride = d.planes[0].stride;
    frame.offset = d.planes[0].offset;
    frame.modifier = d.modifier;
    frame.refresh_rate = d.refresh;
    for (int i = 0; i < UDS_MAX_PLANES; ++i)
        frame.planes[i] = {UniqueFD(), i < d.plane_count ? d.planes[i].stride : 0,
                           i < d.plane_count ? d.planes[i].offset : 0};
    frame.plane_count = d.plane_count;
    *out = std::move(frame);
    return true;
}

bool parse_frame(const std::string &text, std::vector<UniqueFD> *fds, framelink::FrameMetadata *out)
{
    framelink::FrameMetadata frame;
    if (!parse_frame_description(text, fds->size(), &frame))
        return false;
    // Only now do the descriptors pass to the caller.
    for (size_t i = 0; i < fds->size(); ++i)
        frame.planes[i].fd = std::move((*fds)[i]);
    frame.fd = frame.planes[0].fd.get();
    *out = std::move(frame);
    return true;
}

}  // namespace

int framelink::read_reply(int fd, int timeout_ms, Reply *reply)
{
    if (fd < 0 || !reply) {
        errno = EINVAL;
        return -1;
    }
    return receive_reply(fd, now_ms() + (timeout_ms > 0 ? timeout_ms : 0), reply);
}

int uds_client_connect(ServerConnection *conn, const char *path)
{
    if (!conn) {
        errno = EINVAL;
        return -1;
    }
    UniqueFD fd;
    if (open_unix(SOCK_STREAM, path, &fd) < 0)
        return -1;
    conn->fd = std::move(fd);
    conn->out_of_step = 0;
    return 0;
}

int uds_client_set_context(ServerConnection *conn, const char *command, ServerReply *reply, int timeout_ms)
{
    framelink::Reply received;
    if (transact(conn, command, reply, timeout_ms, &received) < 0)
        return -1;
    if (received.text == "OK\n" && received.fds.empty())
        return 0;
    errno = EPROTO;
    return -1;
}

int uds_client_get_frame_info(ServerConnection *conn, const char *command, ServerReply *reply, int timeout_ms)
{
    framelink::Reply received;
    if (transact(conn, command, reply, timeout_ms, &received) < 0)
        return -1;
    if (reply->header.length == 0 && received.fds.empty())
        return 0;  // the helper could export no plane
    if (!reply->metadata) {
        errno = EINVAL;
        return -1;
    }
    if (!parse_frame(received.text, &received.fds, reply->metadata)) {
        errno = EPROTO;
        return -1;
    }
    reply->has_frame = 1;
    return 0;
}

int framelink::read_event(int event_fd, int timeout_ms, EventMessage *message)
{
    if (event_fd < 0 || !message) {
        errno = EINVAL;
        return -1;
    }
    *message = EventMessage();
    if (timeout_ms >= 0 && wait_readable(event_fd, now_ms() + timeout_ms) < 0)
        return -1;
    // One byte more than the longest known message, so a longer one shows.
    alignas(8) char buf[std::max({sizeof(ScanoutRecord), sizeof(CursorRecord), sizeof(PlaneRecord)}) +
                        UDS_MAX_REPLY_TEXT + 1];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * UDS_MAX_PLANES) + 64];
    iovec iov{buf, sizeof buf};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = recvmsg(event_fd, &msg, MSG_CMSG_CLOEXEC | MSG_TRUNC);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return -1;
    std::vector<UniqueFD> fds;
    take_descriptors(&msg, &fds);
    if (n == 0) {
        errno = ECONNRESET;
        return 1;
    }
    auto refuse = [] {
        errno = EPROTO;
        return -1;
    };
    uint32_t head[2];
    if (size_t(n) < sizeof head)
        return refuse();
    std::memcpy(head, buf, sizeof head);
    if (uint64_t(head[1]) + sizeof head != uint64_t(n))
        return refuse();
    if (head[0] == UDS_EVENT_VBLANK) {
        if (size_t(n) != sizeof(VBlankEvent) || !fds.empty())
            return refuse();
        std::memcpy(&message->vblank, buf, sizeof(VBlankEvent));
        message->type = head[0];
        return 0;
    }
    // A record: its fixed part, then text_length bytes of description and
    // num_fds descriptors for a new buffer or image, nothing for the others.
    auto take = [&](auto *record, bool carries) {
        if (size_t(n) < sizeof *record || size_t(n) > sizeof buf - 1 || (msg.msg_flags & MSG_CTRUNC))
            return refuse();
        std::memcpy(record, buf, sizeof *record);
        if (uint64_t(record->text_length) + sizeof *record != uint64_t(n) || record->num_fds != fds.size())
            return refuse();
        if (carries) {
            if (record->num_fds == 0 || !parse_frame_description(std::string(buf + sizeof *record, record->text_length),
                                                                 fds.size(), &message->frame))
                return refuse();
            message->fds = std::move(fds);
        } else if (record->num_fds != 0 || record->text_length != 0) {
            return refuse();
        }
        message->type = head[0];
        return 0;
    };
    if (head[0] == UDS_EVENT_CURSOR_NEW || head[0] == UDS_EVENT_CURSOR_STATE || head[0] == UDS_EVENT_NO_CURSOR)
        return take(&message->cursor, head[0] == UDS_EVENT_CURSOR_NEW);
    if (head[0] == UDS_EVENT_BUFFER_NEW || head[0] == UDS_EVENT_BUFFER_SHOWN || head[0] == UDS_EVENT_DARK)
        return take(&message->record, head[0] == UDS_EVENT_BUFFER_NEW);
    if (head[0] == UDS_EVENT_PLANE_NEW || head[0] == UDS_EVENT_PLANE_STATE) {
        if (take(&message->plane, head[0] == UDS_EVENT_PLANE_NEW) != 0)
            return -1;
        // A new buffer is always an overlay's; a plane showing nothing says nothing else.
        const PlaneRecord &p = message->plane;
        if ((head[0] == UDS_EVENT_PLANE_NEW && (p.kind != UDS_PLANE_KIND_OVERLAY || p.buffer_id == 0)) ||
            p.kind > UDS_PLANE_KIND_OVERLAY)
            return refuse();
        return 0;
    }
    if (head[0] == UDS_EVENT_CRTC_STATE) {
        if (size_t(n) != sizeof(CrtcRecord) || !fds.empty())
            return refuse();
        std::memcpy(&message->crtc, buf, sizeof(CrtcRecord));
        if (message->crtc.plane_count > UDS_MAX_FOLLOWED_PLANES)
            return refuse();
        message->type = head[0];
        return 0;
    }
    if (head[0] == UDS_EVENT_HDR_STATE) {
        if (size_t(n) != sizeof(HdrRecord) || !fds.empty())
            return refuse();
        std::memcpy(&message->hdr, buf, sizeof(HdrRecord));
        const HdrRecord &h = message->hdr;
        if ((h.eotf != UDS_HDR_EOTF_SDR && h.eotf != UDS_HDR_EOTF_PQ && h.eotf != UDS_HDR_EOTF_HLG) ||
            h.colorimetry >= UDS_COLORIMETRY_COUNT)
            return refuse();
        message->type = head[0];
        return 0;
    }
    // Not known here: the caller skips it; its descriptors are closed.
    message->type = head[0];
    return 0;
}

int uds_client_follow_scanout(ServerConnection *conn, ServerReply *reply, int timeout_ms)
{
    return uds_client_set_context(conn, UDS_FOLLOW_SCANOUT_COMMAND, reply, timeout_ms);
}

int uds_client_follow_planes(ServerConnection *conn, ServerReply *reply, int timeout_ms)
{
    return uds_client_set_context(conn, UDS_FOLLOW_PLANES_COMMAND, reply, timeout_ms);
}

int uds_client_event_connect(ServerConnection *conn, const char *path)
{
    if (!conn) {
        errno = EINVAL;
        return -1;
    }
    int64_t deadline = now_ms() + kEventConnectRetryMs;
    for (;;) {
        UniqueFD fd;
        if (open_unix(SOCK_SEQPACKET, path, &fd) == 0) {
            conn->event_fd = std::move(fd);
            return 0;
        }
        bool not_yet = errno == ENOENT || errno == ECONNREFUSED || errno == EAGAIN;
        if (!not_yet || now_ms() >= deadline)
            return -1;
        usleep(kEventConnectStepMs * 1000);
    }
}

int uds_client_event_read(ServerConnection *conn, VBlankEvent *event)
{
    if (!conn || !conn->event_fd || !event) {
        errno = EINVAL;
        return -1;
    }
    // One byte more than an event, so a longer message shows as truncated.
    char buf[sizeof(VBlankEvent) + 1];
    ssize_t n;
    do {
        n = recv(conn->event_fd.get(), buf, sizeof(buf), MSG_TRUNC);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return -1;
    if (n == 0) {
        errno = ECONNRESET;
        return 1;
    }
    if (size_t(n) != sizeof(VBlankEvent)) {
        errno = EPROTO;
        return -1;
    }
    VBlankEvent ev;
    std::memcpy(&ev, buf, sizeof(ev));
    if (ev.type != UDS_EVENT_VBLANK || ev.length != UDS_EVENT_VBLANK_LENGTH) {
        errno = EPROTO;
        return -1;
    }
    *event = ev;
    return 0;
}

int uds_client_event_write(ServerConnection *conn, const uint64_t *value)
{
    if (!conn || !value || !conn->event_fd) {
        errno = EINVAL;
        return -1;
    }
    pollfd p{conn->event_fd.get(), POLLRDHUP, 0};
    int rc;
    do {
        rc = poll(&p, 1, 0);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0)
        return -1;
    if (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) {
        errno = ECONNRESET;
        return -1;
    }
    return 0;
}

void uds_client_disconnect(ServerConnection *conn)
{
    if (!conn)
        return;
    conn->event_fd.reset();
    conn->fd.reset();
    conn->out_of_step = 0;
}

namespace {

// Every field of a frame record but its descriptors.
void copy_description(const framelink::FrameMetadata &from, framelink::FrameMetadata *to)
{
    std::tie(to->width, to->height, to->format, to->stride, to->offset, to->modifier, to->refresh_rate,
             to->plane_count) = std::tie(from.width, from.height, from.format, from.stride, from.offset, from.modifier,
                                         from.refresh_rate, from.plane_count);
    for (int i = 0; i < UDS_MAX_PLANES; ++i) {
        to->planes[i].stride = from.planes[i].stride;
        to->planes[i].offset = from.planes[i].offset;
    }
}

}  // namespace

framelink::FrameMetadata &framelink::FrameMetadata::operator=(FrameMetadata &&other) noexcept
{
    if (this == &other)
        return *this;
    copy_description(other, this);
    fd = std::exchange(other.fd, -1);
    for (int i = 0; i < UDS_MAX_PLANES; ++i)
        planes[i].fd = std::move(other.planes[i].fd);
    return *this;
}

framelink::FrameMetadata framelink::FrameMetadata::description() const
{
    FrameMetadata copy;
    copy_description(*this, &copy);
    return copy;
}

void uds_client_close_frame(framelink::FrameMetadata *frame)
{
    if (!frame)
        return;
    for (int i = 0; i < UDS_MAX_PLANES; ++i) {
        frame->planes[i].fd.reset();
    }
    frame->fd = -1;
    frame->plane_count = 0;
}
