// Shared pieces of the fuzz targets: feeding bytes through a socket pair as
// another process would write them, and a cheap check that a call left no
// descriptor open.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "libs/common/unique_fd.h"

// The lowest free descriptor number. Descriptors are always allocated
// lowest first, so a call that leaks one moves this number.
inline int fuzz_lowest_free_fd()
{
    const int fd = dup(0);
    if (fd >= 0)
        close(fd);
    return fd;
}

// Aborts (a finding) when the lowest free descriptor moved.
inline void fuzz_expect_no_leak(int before, const char *what)
{
    const int after = fuzz_lowest_free_fd();
    if (after != before) {
        fprintf(stderr, "%s left a descriptor open (lowest free %d, was %d)\n", what, after, before);
        abort();
    }
}

// A connected socket pair of the given type; both -1 on failure.
struct FuzzPair {
    UniqueFD ours;
    UniqueFD theirs;
};

inline bool fuzz_pair(int type, FuzzPair *pair)
{
    int sv[2];
    if (socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, sv) < 0)
        return false;
    pair->ours.reset(sv[0]);
    pair->theirs.reset(sv[1]);
    return true;
}

// Writes all of data to fd (a stream socket whose buffer holds it).
inline bool fuzz_write_all(int fd, const uint8_t *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}
