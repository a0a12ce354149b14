// A move-only owner of one file descriptor: closes it exactly once, and lets
// it go when ownership passes on (to SCM_RIGHTS, a record, another process).
// -1 is the only "none". A descriptor that must be closed by a call of its
// own (a device module's close) gets its own instance of the template.
#pragma once

#include <unistd.h>

#include <utility>

template <void (*Close)(int)>
class BasicUniqueFD {
public:
    BasicUniqueFD() = default;
    explicit BasicUniqueFD(int fd) : fd_(fd) {}
    BasicUniqueFD(const BasicUniqueFD &) = delete;
    BasicUniqueFD &operator=(const BasicUniqueFD &) = delete;
    BasicUniqueFD(BasicUniqueFD &&other) noexcept : fd_(other.release()) {}
    BasicUniqueFD &operator=(BasicUniqueFD &&other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    ~BasicUniqueFD() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }

    // Gives up ownership without closing; the caller now owns the descriptor.
    int release() { return std::exchange(fd_, -1); }

    // Closes the owned descriptor (if any) and takes ownership of fd.
    void reset(int fd = -1)
    {
        int old = std::exchange(fd_, fd);
        if (old >= 0)
            Close(old);
    }

private:
    int fd_ = -1;
};

inline void unique_fd_close(int fd)
{
    ::close(fd);
}

using UniqueFD = BasicUniqueFD<unique_fd_close>;
