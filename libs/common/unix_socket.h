// UNIX-domain sockets by path: bind (and listen) a server socket, connect a
// client. Every socket is close-on-exec. The functions print nothing: on
// failure they return an empty UniqueFD, errno says why and *failed_call
// names the call that failed ("socket", "unlink", "bind", "chmod",
// "listen", "connect"; "path" for a path that does not fit), so each caller
// words its own message.
#pragma once

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "libs/common/unique_fd.h"

// The longest path a socket address holds; one byte stays for the NUL.
inline constexpr size_t kUnixPathMax = sizeof(sockaddr_un::sun_path) - 1;

// Fills *out for path. A path longer than kUnixPathMax is refused (false,
// errno ENAMETOOLONG) unless cut_long_path is set, in which case it is cut
// to fit. A null path is refused with EINVAL.
inline bool unix_address(const char *path, sockaddr_un *out, bool cut_long_path = false)
{
    if (path == nullptr) {
        errno = EINVAL;
        return false;
    }
    if (!cut_long_path && std::strlen(path) > kUnixPathMax) {
        errno = ENAMETOOLONG;
        return false;
    }
    *out = sockaddr_un{};
    out->sun_family = AF_UNIX;
    std::strncpy(out->sun_path, path, kUnixPathMax);
    out->sun_path[kUnixPathMax] = '\0';
    return true;
}

struct UnixBindOptions {
    int flags = 0;        // added to socket()'s type, e.g. SOCK_NONBLOCK
    int backlog = -1;     // listen() backlog; below 0 the socket does not listen
    bool strict = false;  // a failed unlink (other than ENOENT) or chmod is an error
};

// Creates a socket of the given type, removes any file at path, binds to it,
// makes the file 0666 so unprivileged peers can reach it, and listens when
// options.backlog >= 0. A failure after the bind removes the file again.
inline UniqueFD unix_bind(const char *path, int type, const UnixBindOptions &options, const char **failed_call)
{
    const char *ignored = nullptr;
    const char **failed = failed_call ? failed_call : &ignored;
    sockaddr_un addr;
    if (!unix_address(path, &addr)) {
        *failed = "path";
        return UniqueFD();
    }
    UniqueFD fd(socket(AF_UNIX, type | options.flags | SOCK_CLOEXEC, 0));
    if (!fd) {
        *failed = "socket";
        return fd;
    }
    if (unlink(path) < 0 && errno != ENOENT && options.strict) {
        *failed = "unlink";
        const int saved = errno;
        fd.reset();
        errno = saved;
        return fd;
    }
    if (bind(fd.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) < 0) {
        *failed = "bind";
        const int saved = errno;
        fd.reset();
        errno = saved;
        return fd;
    }
    auto undo = [&](const char *call) {
        *failed = call;
        const int saved = errno;
        fd.reset();
        unlink(path);
        errno = saved;
    };
    if (chmod(path, 0666) < 0 && options.strict) {
        undo("chmod");
        return fd;
    }
    if (options.backlog >= 0 && listen(fd.get(), options.backlog) < 0)
        undo("listen");
    return fd;
}

// Connects a socket of the given type (plus flags) to path; an interrupted
// connect is retried. A path too long for an address is refused unless
// cut_long_path is set (see unix_address).
inline UniqueFD unix_connect(const char *path, int type, const char **failed_call, bool cut_long_path = false)
{
    const char *ignored = nullptr;
    const char **failed = failed_call ? failed_call : &ignored;
    sockaddr_un addr;
    if (!unix_address(path, &addr, cut_long_path)) {
        *failed = "path";
        return UniqueFD();
    }
    UniqueFD fd(socket(AF_UNIX, type | SOCK_CLOEXEC, 0));
    if (!fd) {
        *failed = "socket";
        return fd;
    }
    int rc;
    do {
        rc = connect(fd.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        *failed = "connect";
        const int saved = errno;
        fd.reset();
        errno = saved;
    }
    return fd;
}
