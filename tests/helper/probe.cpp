// vistrel-helper-probe DEVICE PORT
//
// A short client session against a running capture-helper: SET_TARGET,
// GET_FRAME, a look at the frame's first plane through its descriptor, and
// one second of vertical-blank events. Prints what it got as key=value
// lines and exits 0 only when every step worked. Depends on nothing but
// the C library, so it can run wherever the helper runs.
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
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

namespace {

struct Header {
    uint32_t magic, length, num_fds, error;
};

struct Event {
    uint32_t type, length;
    uint64_t sequence, vblank_ns, server_ns;
};

int64_t monotonic_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int connect_to(int type, const char *path)
{
    int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path, sizeof addr.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
        close(fd);
        return -1;
    }
    return fd;
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

// One reply: header, text and descriptors. false on time-out or a bad reply.
bool read_reply(int fd, Header *header, std::string *text, std::vector<int> *fds)
{
    if (!readable(fd, 5000))
        return false;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
    iovec iov{header, sizeof *header};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(fd, &msg, MSG_CMSG_CLOEXEC | MSG_WAITALL);
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
            size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < count; ++i) {
                int received;
                memcpy(&received, CMSG_DATA(c) + i * sizeof(int), sizeof received);
                fds->push_back(received);
            }
        }
    }
    if (n != ssize_t(sizeof *header) || header->magic != 0xDEADBEEF || header->length > 4096)
        return false;
    text->assign(header->length, '\0');
    size_t got = 0;
    while (got < text->size()) {
        if (!readable(fd, 5000))
            return false;
        ssize_t r = read(fd, text->data() + got, text->size() - got);
        if (r <= 0)
            return false;
        got += size_t(r);
    }
    return true;
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

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s DEVICE PORT\n", argv[0]);
        return 2;
    }
    bool ok = true;
    int command = connect_to(SOCK_STREAM, "/tmp/vistrel.sock");
    if (command < 0) {
        printf("connect=failed (%s)\n", strerror(errno));
        return 1;
    }

    Header header{};
    std::string text;
    std::vector<int> fds;
    std::string set = std::string("SET_TARGET ") + argv[1] + " " + argv[2] + "\n";
    if (!send_line(command, set) || !read_reply(command, &header, &text, &fds)) {
        printf("set_target=no reply\n");
        return 1;
    }
    printf("set_target=%s\n", printable(text).c_str());
    if (text != "OK\n" || header.error != 0)
        return 1;

    fds.clear();
    if (!send_line(command, "GET_FRAME\n") || !read_reply(command, &header, &text, &fds)) {
        printf("frame=no reply\n");
        return 1;
    }
    printf("frame=%s\n", printable(text).c_str());
    printf("frame_fds=%zu\n", fds.size());
    if (header.error != 0 || fds.empty() || fds.size() != header.num_fds)
        ok = false;

    if (!fds.empty()) {
        std::string first = text.substr(0, text.find("\r\n"));
        size_t size = size_t(field(first, "s")) * size_t(field(first, "h"));
        void *map = size ? mmap(nullptr, size, PROT_READ, MAP_SHARED, fds[0], 0) : MAP_FAILED;
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
    for (int fd : fds)
        close(fd);

    int events = connect_to(SOCK_SEQPACKET, "/tmp/vistrel_event.sock");
    if (events < 0) {
        printf("event_connect=failed (%s)\n", strerror(errno));
        close(command);
        return 1;
    }
    int count = 0, gaps = 0, bad = 0;
    uint64_t first_sequence = 0, last_sequence = 0, last_vblank = 0;
    int64_t start = monotonic_ms();
    for (;;) {
        int left = int(start + 1000 - monotonic_ms());
        if (left <= 0 || !readable(events, left))
            break;
        char buffer[64];
        ssize_t n = recv(events, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        Event e{};
        memcpy(&e, buffer, n >= ssize_t(sizeof e) ? sizeof e : size_t(n));
        if (n != ssize_t(sizeof e) || e.type != 1 || e.length != 24 || (count && e.vblank_ns <= last_vblank)) {
            ++bad;
            continue;
        }
        if (count == 0)
            first_sequence = e.sequence;
        else if (e.sequence != last_sequence + 1)
            ++gaps;
        last_sequence = e.sequence;
        last_vblank = e.vblank_ns;
        ++count;
    }
    printf("events_per_second=%d\n", count);
    printf("event_sequences=%" PRIu64 "..%" PRIu64 " gaps=%d malformed=%d\n", first_sequence, last_sequence, gaps, bad);
    if (count == 0 || bad)
        ok = false;
    close(events);
    close(command);
    printf("result=%s\n", ok ? "ok" : "failed");
    return ok ? 0 : 1;
}
