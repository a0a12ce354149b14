// vistrel-helper-probe DEVICE PORT
//
// A short client session against a running capture-helper: SET_TARGET,
// GET_FRAME, a look at the frame's first plane through its descriptor, and
// one second of vertical-blank events. Prints what it got as key=value
// lines and exits 0 only when every step worked. Links only the helper's
// client library, so it can run wherever the helper runs.
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "libs/common/unix_socket.h"
#include "libs/framelink/framelink.h"

namespace {

int64_t monotonic_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool readable(int fd, int timeout_ms)
{
    pollfd p{fd, POLLIN, 0};
    int n;
    do {
        n = poll(&p, 1, timeout_ms);
    } while (n < 0 && errno == EINTR);
    return n > 0;
}

bool send_line(int fd, const std::string &line)
{
    return send(fd, line.data(), line.size(), MSG_NOSIGNAL) == ssize_t(line.size());
}

std::string printable(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out;
}

uint64_t field(const std::string &line, const char *key)
{
    std::string k = std::string(key) + "=";
    size_t at = 0;
    while ((at = line.find(k, at)) != std::string::npos) {
        if (at == 0 || line[at - 1] == '|')
            return strtoull(line.c_str() + at + k.size(), nullptr, 10);
        at += k.size();
    }
    return 0;
}

// FNV-1a over the first plane, sampled every 64th byte.
uint64_t checksum(const unsigned char *data, size_t size)
{
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < size; i += 64)
        h = (h ^ data[i]) * 1099511628211ull;
    return h;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s DEVICE PORT\n", argv[0]);
        return 2;
    }
    bool ok = true;
    UniqueFD command = unix_connect(UDS_SERVER_PATH, SOCK_STREAM, nullptr);
    if (!command) {
        printf("connect=failed (%s)\n", strerror(errno));
        return 1;
    }

    framelink::Reply reply;
    std::string set = std::string(UDS_COMMAND_SET_TARGET) + " " + argv[1] + " " + argv[2] + "\n";
    if (!send_line(command.get(), set) || framelink::read_reply(command.get(), 5000, &reply) < 0) {
        printf("set_target=no reply\n");
        return 1;
    }
    printf("set_target=%s\n", printable(reply.text).c_str());
    if (reply.text != "OK\n" || reply.header.error != 0)
        return 1;

    if (!send_line(command.get(), UDS_GET_FRAME_COMMAND) || framelink::read_reply(command.get(), 5000, &reply) < 0) {
        printf("frame=no reply\n");
        return 1;
    }
    const std::string &text = reply.text;
    const std::vector<UniqueFD> &fds = reply.fds;
    printf("frame=%s\n", printable(text).c_str());
    printf("frame_fds=%zu\n", fds.size());
    if (reply.header.error != 0 || fds.empty() || fds.size() != reply.header.num_fds)
        ok = false;

    if (!fds.empty()) {
        std::string first = text.substr(0, text.find("\r\n"));
        size_t size = size_t(field(first, "s")) * size_t(field(first, "h"));
        void *map = size ? mmap(nullptr, size, PROT_READ, MAP_SHARED, fds[0].get(), 0) : MAP_FAILED;
        if (map == MAP_FAILED) {
            printf("map=failed (%s)\n", size ? strerror(errno) : "no size");
            ok = false;
        } else {
            auto *bytes = static_cast<const unsigned char *>(map);
            uint64_t before = checksum(bytes, size);
            usleep(100000);
            uint64_t after = checksum(bytes, size);
            printf("map=%zu bytes\n", size);
            printf("picture_changes=%s\n", before != after ? "yes" : "no");
            munmap(map, size);
        }
    }
    reply = framelink::Reply();

    UniqueFD events = unix_connect(UDS_EVENT_PATH, SOCK_SEQPACKET, nullptr);
    if (!events) {
        printf("event_connect=failed (%s)\n", strerror(errno));
        return 1;
    }
    int count = 0, gaps = 0, bad = 0;
    uint64_t first_sequence = 0, last_sequence = 0, last_vblank = 0;
    int64_t start = monotonic_ms();
    for (;;) {
        int left = int(start + 1000 - monotonic_ms());
        if (left <= 0 || !readable(events.get(), left))
            break;
        char buffer[64];
        ssize_t n = recv(events.get(), buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        VBlankEvent e{};
        memcpy(&e, buffer, n >= ssize_t(sizeof e) ? sizeof e : size_t(n));
        if (n != ssize_t(sizeof e) || e.type != UDS_EVENT_VBLANK || e.length != UDS_EVENT_VBLANK_LENGTH ||
            (count && e.vblank_time_ns <= last_vblank)) {
            ++bad;
            continue;
        }
        if (count == 0)
            first_sequence = e.sequence;
        else if (e.sequence != last_sequence + 1)
            ++gaps;
        last_sequence = e.sequence;
        last_vblank = e.vblank_time_ns;
        ++count;
    }
    printf("events_per_second=%d\n", count);
    printf("event_sequences=%" PRIu64 "..%" PRIu64 " gaps=%d malformed=%d\n", first_sequence, last_sequence, gaps, bad);
    if (count == 0 || bad)
        ok = false;
    printf("result=%s\n", ok ? "ok" : "failed");
    return ok ? 0 : 1;
}
