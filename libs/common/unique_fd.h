// A move-only owner of one file descriptor: closes it exactly once, and lets
// it go when ownership passes on (to SCM_RIGHTS, a record, another process).
#pragma once

#include <unistd.h>

#include <utility>

class UniqueFD {
public:
    UniqueFD() = default;
    explicit UniqueFD(int fd) : fd_(fd) {}
    UniqueFD(const UniqueFD &) = delete;
    UniqueFD &operator=(const UniqueFD &) = delete;
    UniqueFD(UniqueFD &&other) noexcept : fd_(other.release()) {}
    UniqueFD &operator=(UniqueFD &&other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    ~UniqueFD() { reset(); }

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
            ::close(old);
    }

private:
    int fd_ = -1;
};
