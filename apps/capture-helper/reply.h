// Framing of every reply the server sends: a 16-byte header, the text, and
// for frame replies the descriptors as SCM_RIGHTS ancillary data.
#pragma once

#include <cstdint>

constexpr uint32_t kReplyMagic = 0xDEADBEEF;
constexpr int kReplyMaxFds = 4;

struct ReplyHeader {
    uint32_t magic;
    uint32_t length;
    uint32_t num_fds;
    uint32_t error;
};
static_assert(sizeof(ReplyHeader) == 16);

// Sends one reply: header, text (nullptr = none) and up to four descriptors
// in the given order. success = 1 for "OK\n" and frame replies, 0 for an
// error reply. Never raises SIGPIPE. Returns 0, or -1 after logging why.
int send_message(int socket, const char *text, const int *fds, int fd_count, int success);
