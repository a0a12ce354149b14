#include "apps/capture-helper/reply.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

int send_message(int socket, const char *text, const int *fds, int fd_count, int success)
{
    fprintf(stderr, "msg:%s num_fds=%d\n", text ? text : "", fd_count);
    if (fd_count < 0 || fd_count > UDS_MAX_PLANES || (fd_count > 0 && !fds)) {
        errno = EINVAL;
        perror("sendmsg");
        return -1;
    }
    size_t length = text ? strlen(text) : 0;
    ReplyHeader header{UDS_REPLY_MAGIC, static_cast<uint32_t>(length), static_cast<uint32_t>(fd_count),
                       success ? 0u : 1u};

    iovec iov[2];
    iov[0].iov_base = &header;
    iov[0].iov_len = sizeof(header);
    iov[1].iov_base = const_cast<char *>(text ? text : "");
    iov[1].iov_len = length;

    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * UDS_MAX_PLANES)];
    memset(control, 0, sizeof(control));
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = length ? 2 : 1;
    if (fd_count > 0) {
        msg.msg_control = control;
        msg.msg_controllen = CMSG_SPACE(sizeof(int) * fd_count);
        cmsghdr *cm = CMSG_FIRSTHDR(&msg);
        cm->cmsg_level = SOL_SOCKET;
        cm->cmsg_type = SCM_RIGHTS;
        cm->cmsg_len = CMSG_LEN(sizeof(int) * fd_count);
        memcpy(CMSG_DATA(cm), fds, sizeof(int) * fd_count);
    }

    size_t total = sizeof(header) + length;
    size_t sent = 0;
    while (sent < total) {
        ssize_t n = sendmsg(socket, &msg, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EPIPE)
                fputs("[send_message] EPIPE: peer closed connection\n", stderr);
            else if (errno == EAGAIN)
                fputs("[send_message] would block (EAGAIN)\n", stderr);
            else
                perror("sendmsg");
            return -1;
        }
        sent += static_cast<size_t>(n);
        // A short send on a stream socket: the descriptors went with the first
        // part; send the rest of the bytes on their own.
        msg.msg_control = nullptr;
        msg.msg_controllen = 0;
        size_t skip = static_cast<size_t>(n);
        while (msg.msg_iovlen > 0 && skip >= msg.msg_iov[0].iov_len) {
            skip -= msg.msg_iov[0].iov_len;
            msg.msg_iov++;
            msg.msg_iovlen--;
        }
        if (msg.msg_iovlen > 0) {
            msg.msg_iov[0].iov_base = static_cast<char *>(msg.msg_iov[0].iov_base) + skip;
            msg.msg_iov[0].iov_len -= skip;
        }
    }
    return 0;
}
