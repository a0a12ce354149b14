#include "tests/streamer/peers.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "libs/common/unix_socket.h"

namespace {

bool readable(int fd, int timeout_ms)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeout_ms) > 0 && (p.revents & POLLIN);
}

}  // namespace

UniqueFD peer_bind_datagram(const char *path)
{
    return unix_bind(path, SOCK_DGRAM, {}, nullptr);
}

UniqueFD peer_listen_seqpacket(const char *path)
{
    return unix_bind(path, SOCK_SEQPACKET, {.backlog = 4}, nullptr);
}

UniqueFD peer_accept(int listener, int timeout_ms)
{
    if (!readable(listener, timeout_ms))
        return UniqueFD();
    return UniqueFD(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
}

std::vector<Datagram> peer_drain(int fd, int quiet_ms)
{
    std::vector<Datagram> out;
    Datagram buffer(65536);
    while (readable(fd, quiet_ms)) {
        const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0)
            break;
        out.emplace_back(buffer.begin(), buffer.begin() + n);
    }
    return out;
}

std::string peer_read_record(int fd, int timeout_ms)
{
    if (!readable(fd, timeout_ms))
        return {};
    char buffer[4096];
    const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

bool peer_send_record(int fd, const std::string &record)
{
    return send(fd, record.data(), record.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(record.size());
}

bool peer_parse_rtp(const Datagram &d, RtpHeader *out)
{
    if (d.size() < 12)
        return false;
    out->version = d[0] >> 6;
    out->marker = (d[1] & 0x80) != 0;
    out->payload_type = d[1] & 0x7f;
    out->sequence = static_cast<uint16_t>(d[2] << 8 | d[3]);
    out->timestamp = static_cast<uint32_t>(d[4]) << 24 | d[5] << 16 | d[6] << 8 | d[7];
    out->ssrc = static_cast<uint32_t>(d[8]) << 24 | d[9] << 16 | d[10] << 8 | d[11];
    return true;
}

bool peer_is_rtcp(const Datagram &d)
{
    return d.size() >= 2 && d[1] >= 200 && d[1] <= 204;
}

long elapsed_ms(const std::function<void()> &work)
{
    const auto begin = std::chrono::steady_clock::now();
    work();
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin).count());
}
