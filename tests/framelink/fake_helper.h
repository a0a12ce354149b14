// Small in-test stand-ins for capture-helper's two sockets: a command server
// that answers each request line with the next scripted reply, and an event
// server that sends 32-byte events and, like the real one, ends the stream
// as soon as anything arrives from its client.
#pragma once

#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "libs/common/unique_fd.h"
#include "libs/common/unix_socket.h"
#include "libs/framelink/framelink.h"

namespace fake {

inline UniqueFD listen_on(const char *path, int type)
{
    return unix_bind(path, type, {.backlog = 1}, nullptr);
}

// A memfd of size bytes filled by fill(byte index).
template <typename Fill>
inline UniqueFD make_memfd(size_t size, Fill fill)
{
    UniqueFD fd(memfd_create("fake-frame", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!fd || ftruncate(fd.get(), off_t(size)) != 0)
        return UniqueFD();
    auto *p = static_cast<uint8_t *>(mmap(nullptr, size, PROT_WRITE, MAP_SHARED, fd.get(), 0));
    if (p == MAP_FAILED)
        return UniqueFD();
    for (size_t i = 0; i < size; ++i)
        p[i] = fill(i);
    munmap(p, size);
    return fd;
}

inline int open_fd_count()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (dirent *e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
    return n - 1;  // the directory's own descriptor
}

struct Reply {
    std::string text;
    bool error = false;
    std::vector<int> fds;  // sent as SCM_RIGHTS (not owned)
    uint32_t magic = UDS_REPLY_MAGIC;
    int num_fds_field = -1;  // header value; -1 = fds.size()
    size_t split_at = 0;     // > 0: send the first bytes, pause, then the rest
    bool silent = false;     // never answer
    int delay_ms = 0;        // wait this long before answering
};

inline int send_reply(int sock, const Reply &r)
{
    std::string bytes(sizeof(ReplyHeader), '\0');
    ReplyHeader h{r.magic, uint32_t(r.text.size()), uint32_t(r.num_fds_field < 0 ? int(r.fds.size()) : r.num_fds_field),
                  r.error ? 1u : 0u};
    std::memcpy(bytes.data(), &h, sizeof(h));
    bytes += r.text;
    size_t first = r.split_at > 0 && r.split_at < bytes.size() ? r.split_at : bytes.size();
    iovec iov{bytes.data(), first};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 8)] = {};
    if (!r.fds.empty()) {
        msg.msg_control = control;
        msg.msg_controllen = CMSG_SPACE(sizeof(int) * r.fds.size());
        cmsghdr *c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int) * r.fds.size());
        std::memcpy(CMSG_DATA(c), r.fds.data(), sizeof(int) * r.fds.size());
    }
    if (sendmsg(sock, &msg, MSG_NOSIGNAL) < 0)
        return -1;
    if (first < bytes.size()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (send(sock, bytes.data() + first, bytes.size() - first, MSG_NOSIGNAL) < 0)
            return -1;
    }
    return 0;
}

// Accepts one client on "/tmp/vistrel.sock" and answers its request lines in
// order with the scripted replies; records the lines it received.
class CommandServer {
public:
    explicit CommandServer(std::vector<Reply> replies) : replies_(std::move(replies))
    {
        listener_ = listen_on(UDS_SERVER_PATH, SOCK_STREAM);
        thread_ = std::thread([this] { run(); });
    }
    ~CommandServer()
    {
        stop_ = true;
        thread_.join();
    }
    // Waits until the client's connection has been accepted.
    void wait_accepted()
    {
        while (!accepted_)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::vector<std::string> lines()
    {
        std::lock_guard<std::mutex> g(mutex_);
        return lines_;
    }

private:
    void run()
    {
        UniqueFD client;
        while (!stop_ && !client) {
            pollfd p{listener_.get(), POLLIN, 0};
            if (poll(&p, 1, 20) > 0)
                client.reset(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        }
        accepted_ = bool(client);
        std::string line;
        size_t next = 0;
        while (!stop_ && client) {
            pollfd p{client.get(), POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            char c;
            if (recv(client.get(), &c, 1, 0) <= 0)
                break;
            line += c;
            if (c != '\n')
                continue;
            {
                std::lock_guard<std::mutex> g(mutex_);
                lines_.push_back(line);
            }
            line.clear();
            if (next < replies_.size()) {
                const Reply &r = replies_[next++];
                if (r.delay_ms > 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(r.delay_ms));
                if (!r.silent)
                    send_reply(client.get(), r);
            }
        }
    }

    std::vector<Reply> replies_;
    UniqueFD listener_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> accepted_{false};
    std::mutex mutex_;
    std::vector<std::string> lines_;
    std::thread thread_;
};

inline VBlankEvent make_event(uint64_t seq)
{
    return VBlankEvent{UDS_EVENT_VBLANK, UDS_EVENT_VBLANK_LENGTH, seq, seq * 16666667ull,
                       1700000000000000000ull + seq * 16666667ull};
}

// Creates "/tmp/vistrel_event.sock" after bind_delay, accepts one client and
// sends count events every period; anything arriving from the client ends
// the stream (client_wrote() then says so), as in the real helper.
class EventServer {
public:
    EventServer(int count, std::chrono::milliseconds period,
                std::chrono::milliseconds bind_delay = std::chrono::milliseconds(0))
        : count_(count), period_(period), bind_delay_(bind_delay)
    {
        thread_ = std::thread([this] { run(); });
    }
    ~EventServer()
    {
        stop_ = true;
        thread_.join();
    }
    bool client_wrote() const { return client_wrote_; }
    int sent() const { return sent_; }

private:
    void run()
    {
        auto until = std::chrono::steady_clock::now() + bind_delay_;
        while (!stop_ && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        UniqueFD listener = listen_on(UDS_EVENT_PATH, SOCK_SEQPACKET);
        UniqueFD client;
        while (!stop_ && !client) {
            pollfd p{listener.get(), POLLIN, 0};
            if (poll(&p, 1, 20) > 0)
                client.reset(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        }
        auto next = std::chrono::steady_clock::now();
        for (int i = 0; !stop_ && client && i < count_;) {
            pollfd p{client.get(), POLLIN | POLLRDHUP, 0};
            int wait = int(
                std::chrono::duration_cast<std::chrono::milliseconds>(next - std::chrono::steady_clock::now()).count());
            if (poll(&p, 1, wait > 0 ? wait : 0) > 0) {
                client_wrote_ = true;
                break;
            }
            if (std::chrono::steady_clock::now() < next)
                continue;
            VBlankEvent ev = make_event(uint64_t(i + 1));
            if (send(client.get(), &ev, sizeof(ev), MSG_NOSIGNAL) != sizeof(ev))
                break;
            ++i;
            sent_ = i;
            next += period_;
        }
        // Hold the stream open until told to stop, unless the client wrote.
        while (!stop_ && client && !client_wrote_) {
            pollfd p{client.get(), POLLIN | POLLRDHUP, 0};
            if (poll(&p, 1, 20) > 0)
                client_wrote_ = true;
        }
        unlink(UDS_EVENT_PATH);
    }

    int count_;
    std::chrono::milliseconds period_;
    std::chrono::milliseconds bind_delay_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> client_wrote_{false};
    std::atomic<int> sent_{0};
    std::thread thread_;
};

}  // namespace fake
