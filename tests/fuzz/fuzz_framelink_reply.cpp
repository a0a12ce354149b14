// What the helper writes back to libframelink: a reply header, its text and
// descriptors, parsed by the SET_TARGET and GET_FRAME calls, and the event
// connection's messages. The bytes come through real socket pairs, as from
// the helper; every path must leave no received descriptor open.
//
// Input: byte 0 picks the call (bit 0-1: SET_TARGET, GET_FRAME, events) and
// whether the harness writes a matching header in front of the text (bit 2);
// byte 1 how many descriptors ride along (0..6); the rest is the reply.
#include <sys/mman.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "libs/framelink/framelink.h"
#include "tests/fuzz/fuzz_util.h"

namespace {

// One page of memory the fake helper hands out as its frame.
int frame_memfd()
{
    static const int memfd = [] {
        const int m = memfd_create("fuzz-frame", MFD_CLOEXEC);
        if (m < 0 || ftruncate(m, 4096) < 0)
            abort();
        return m;
    }();
    return memfd;
}

// Sends the first byte with count copies of the frame's descriptor
// attached, then the rest.
bool send_with_descriptors(int fd, const uint8_t *data, size_t size, int count)
{
    const int memfd = frame_memfd();
    if (count == 0 || size == 0)
        return fuzz_write_all(fd, data, size);
    int fds[6];
    for (int i = 0; i < count; ++i)
        fds[i] = memfd;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof fds)] = {};
    iovec iov{const_cast<uint8_t *>(data), 1};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = CMSG_SPACE(sizeof(int) * count);
    cmsghdr *c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int) * count);
    std::memcpy(CMSG_DATA(c), fds, sizeof(int) * count);
    if (sendmsg(fd, &msg, MSG_NOSIGNAL) != 1)
        return false;
    return fuzz_write_all(fd, data + 1, size - 1);
}

void command_reply(bool get_frame, bool framed, int count, const uint8_t *data, size_t size)
{
    FuzzPair pair;
    if (!fuzz_pair(SOCK_STREAM, &pair))
        abort();
    std::vector<uint8_t> wire;
    if (framed) {
        const ReplyHeader header{UDS_REPLY_MAGIC, uint32_t(size), uint32_t(count),
                                 uint32_t(size >= 6 && std::memcmp(data, "ERROR:", 6) == 0)};
        wire.resize(sizeof header);
        std::memcpy(wire.data(), &header, sizeof header);
    }
    wire.insert(wire.end(), data, data + size);
    // Descriptors first arrive with the header, as the helper sends them.
    if (!send_with_descriptors(pair.theirs.get(), wire.data(), wire.size(), count))
        abort();
    shutdown(pair.theirs.get(), SHUT_WR);

    ServerConnection conn{};
    conn.fd = std::move(pair.ours);
    char text[128];
    framelink::FrameMetadata frame{};
    ServerReply reply{};
    reply.message = text;
    reply.message_size = sizeof text;
    reply.metadata = &frame;
    if (get_frame) {
        if (uds_client_get_frame_info(&conn, UDS_GET_FRAME_COMMAND, &reply, 50) == 0 && reply.has_frame) {
            if (frame.plane_count < 1 || frame.plane_count > UDS_MAX_PLANES)
                abort();
            uds_client_close_frame(&frame);
        }
    } else {
        uds_client_set_context(&conn, "SET_TARGET /dev/dri/card1 dp-3\n", &reply, 50);
    }
    if (std::memchr(text, '\0', sizeof text) == nullptr)
        abort();
}

// Events: the input is cut into messages at each byte 0xff.
void events(const uint8_t *data, size_t size)
{
    FuzzPair pair;
    if (!fuzz_pair(SOCK_SEQPACKET, &pair))
        abort();
    size_t start = 0;
    for (size_t i = 0; i <= size; ++i) {
        if (i == size || data[i] == 0xff) {
            send(pair.theirs.get(), data + start, i - start, MSG_NOSIGNAL | MSG_DONTWAIT);
            start = i + 1;
        }
    }
    shutdown(pair.theirs.get(), SHUT_WR);
    ServerConnection conn{};
    conn.event_fd = std::move(pair.ours);
    VBlankEvent event;
    for (int i = 0; i < 64 && uds_client_event_read(&conn, &event) == 0; ++i)
        if (event.type != 1 || event.length != 24)
            abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2 || size > 8192)
        return 0;
    const int call = data[0] & 3;
    const bool framed = (data[0] & 4) != 0;
    const int count = data[1] % 7;
    frame_memfd();
    const int lowest = fuzz_lowest_free_fd();
    if (call == 2)
        events(data + 2, size - 2);
    else
        command_reply(call == 1, framed, count, data + 2, size - 2);
    fuzz_expect_no_leak(lowest, "a reply");
    return 0;
}
