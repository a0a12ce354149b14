// Guest-side checks of capture-helper against the kernel's vkms device.
//
//   vistrel-kernel-check --connector ID --modetest PATH --helper PATH [--setpriv PATH]
//                        [--capture PATH --relay PATH --mode MODE...]
//
// Runs modetest to hold a mode, starts the helper (production DRM path) and
// speaks the helper's protocol byte for byte. With --capture, --relay and
// one --mode per run, the capture program then streams modetest's flipping
// display to the relay in each mode, and the recording is compared with the
// kernel's own pictures. Every result is one line on
// standard output: "VISTREL CHECK <name> PASS|FAIL|SKIP <detail>" (SKIP with
// the reason when the kernel lacks what a check needs). Diagnostics go to
// standard error. Exit status 0 when every check passed.
#include "apps/capture/convert/cursor_blend.h"
#include "apps/capture/convert/plane_compose.h"
#include "apps/capture/pipelines/watermark_font.h"
#include "libs/common/unique_fd.h"
#include "libs/common/unix_socket.h"
#include "libs/framelink/framelink.h"
#include "tests/e2e/e2e_processes.h"

#include <fcntl.h>
#include <linux/dma-buf.h>
#include <sys/ioctl.h>
#include <poll.h>
#include <signal.h>
#include <sys/klog.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <xf86drm.h>
#include <xf86drmMode.h>

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr const char *kCommandSocket = UDS_SERVER_PATH;
constexpr const char *kEventSocket = UDS_EVENT_PATH;
constexpr const char *kCard = "/dev/dri/card0";
constexpr const char *kHelperLog = "/tmp/helper.log";
constexpr const char *kModetestLog = "/tmp/modetest.log";
constexpr unsigned kWidth = 1024, kHeight = 768, kPitch = 4096;

int g_failures = 0;

void report(const char *name, bool pass, const char *fmt, ...)
{
    char detail[2048];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(detail, sizeof detail, fmt, ap);
    va_end(ap);
    // Keep each result on one line whatever the detail holds.
    for (char *p = detail; *p; ++p)
        if (*p == '\n' || *p == '\r')
            *p = ' ';
    printf("VISTREL CHECK %s %s %s\n", name, pass ? "PASS" : "FAIL", detail);
    fflush(stdout);
    if (!pass)
        ++g_failures;
}

double now_s(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

uint64_t now_ns(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

void sleep_ms(int ms)
{
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

std::string escape(const std::string &s)
{
    std::string out;
    for (unsigned char c : s) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c < 32 || c > 126) {
            char b[8];
            snprintf(b, sizeof b, "\\x%02x", c);
            out += b;
        } else
            out += char(c);
    }
    return out;
}

// ---- processes -----------------------------------------------------------

struct Child {
    pid_t pid = -1;
    UniqueFD stdin_w;  // modetest runs until this is closed
};

// Starts argv with stdout and stderr appended to log; with hold_stdin the
// child's standard input is a pipe the caller keeps open. With private_tmp
// the child runs in a mount namespace of its own with an empty /tmp (the
// log is opened before), reachable as /proc/<pid>/root/tmp.
Child spawn(const std::vector<std::string> &argv, const char *log, bool hold_stdin, bool private_tmp = false)
{
    Child child;
    int pipefd[2] = {-1, -1};
    if (hold_stdin && pipe2(pipefd, O_CLOEXEC) != 0)
        return child;
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(log, O_WRONLY | O_CREAT | O_APPEND, 0644);
        int in = hold_stdin ? pipefd[0] : open("/dev/null", O_RDONLY);
        if (out < 0 || in < 0)
            _exit(127);
        if (private_tmp && (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                            mount("tmpfs", "/tmp", "tmpfs", 0, nullptr) != 0)) {
            dprintf(out, "private /tmp: %s\n", strerror(errno));
            _exit(127);
        }
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        unsetenv("VISTREL_VIRTUAL_DISPLAY");
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    if (hold_stdin) {
        close(pipefd[0]);
        if (pid > 0)
            child.stdin_w.reset(pipefd[1]);
        else
            close(pipefd[1]);
    }
    child.pid = pid;
    return child;
}

// Waits up to timeout_ms for the child to end; returns its wait status or -1.
int wait_child(pid_t pid, int timeout_ms)
{
    for (int waited = 0;; waited += 20) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return status;
        if (r < 0 || waited >= timeout_ms)
            return -1;
        sleep_ms(20);
    }
}

void stop_child(Child &child)
{
    if (child.pid <= 0)
        return;
    kill(child.pid, SIGTERM);
    if (wait_child(child.pid, 3000) < 0) {
        kill(child.pid, SIGKILL);
        waitpid(child.pid, nullptr, 0);
    }
    child.pid = -1;
}

bool alive(pid_t pid)
{
    int status = 0;
    return pid > 0 && waitpid(pid, &status, WNOHANG) == 0;
}

int count_fds(pid_t pid)
{
    std::string path = "/proc/" + std::to_string(pid) + "/fd";
    DIR *dir = opendir(path.c_str());
    if (!dir)
        return -1;
    int n = 0;
    while (dirent *e = readdir(dir))
        if (e->d_name[0] != '.')
            ++n;
    closedir(dir);
    return n;
}

// How many of the process's descriptors lead to a file whose name contains
// the text (a device path, or "dmabuf" for exported buffers).
int count_files(pid_t pid, const char *name_part)
{
    std::string base = "/proc/" + std::to_string(pid) + "/fd";
    DIR *dir = opendir(base.c_str());
    if (!dir)
        return -1;
    int found = 0;
    while (dirent *e = readdir(dir)) {
        char link[256];
        ssize_t n = readlink((base + "/" + e->d_name).c_str(), link, sizeof link - 1);
        if (n > 0) {
            link[n] = 0;
            found += strstr(link, name_part) != nullptr;
        }
    }
    closedir(dir);
    return found;
}

bool holds_file(pid_t pid, const char *path)
{
    return count_files(pid, path) > 0;
}

// The number after a line's name ("CapEff:") in a /proc file, in the base;
// 0 when the file or the line is missing.
uint64_t proc_number(const std::string &path, const char *name, int base)
{
    FILE *f = fopen(path.c_str(), "r");
    if (!f)
        return 0;
    char line[256];
    uint64_t value = 0;
    while (fgets(line, sizeof line, f))
        if (strncmp(line, name, strlen(name)) == 0)
            value = strtoull(line + strlen(name), nullptr, base);
    fclose(f);
    return value;
}

// CapEff of a process as a bit mask (0 when unreadable).
uint64_t effective_caps(pid_t pid)
{
    return proc_number("/proc/" + std::to_string(pid) + "/status", "CapEff:", 16);
}

// The kernel's shared memory in use, in kB (where vkms's buffers live); 0
// when unreadable.
long shmem_kb()
{
    return long(proc_number("/proc/meminfo", "Shmem:", 10));
}

// ---- the helper's protocol -----------------------------------------------

UniqueFD connect_unix(const char *path, int type, int timeout_ms)
{
    for (int waited = 0;; waited += 50) {
        const char *failed = nullptr;
        UniqueFD fd = unix_connect(path, type, &failed);
        if (fd) {
            timeval tv{5, 0};
            setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            return fd;
        }
        if (std::strcmp(failed, "connect") != 0 || waited >= timeout_ms)
            return UniqueFD();
        sleep_ms(50);
    }
}

// Connects to a helper that was just started; gives up early, saying how
// it ended, when the helper exits instead of listening.
UniqueFD connect_helper(Child &helper, std::string &why)
{
    for (int waited = 0; waited < 10000; waited += 50) {
        UniqueFD fd = connect_unix(kCommandSocket, SOCK_STREAM, 0);
        if (fd)
            return fd;
        int status = 0;
        if (helper.pid <= 0 || waitpid(helper.pid, &status, WNOHANG) == helper.pid) {
            char b[96];
            snprintf(b, sizeof b, "the helper ended (%s %d) without listening on %s",
                     WIFSIGNALED(status) ? "signal" : "status",
                     WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status), kCommandSocket);
            why = b;
            helper.pid = -1;
            return UniqueFD();
        }
        sleep_ms(50);
    }
    why = std::string("no server socket ") + kCommandSocket + " within 10 s";
    return UniqueFD();
}

struct Reply {
    bool received = false;  // a whole header and text arrived
    std::string error;      // why not
    uint32_t magic = 0, length = 0, num_fds = 0, error_flag = 0;
    std::string text;
    std::vector<uint8_t> raw;  // header and text as sent
    std::vector<UniqueFD> fds;
};

Reply request(int sock, const std::string &line)
{
    Reply reply;
    if (send(sock, line.data(), line.size(), MSG_NOSIGNAL) != ssize_t(line.size())) {
        reply.error = std::string("send: ") + strerror(errno);
        return reply;
    }
    framelink::Reply got;
    const int rc = framelink::read_reply(sock, 5000, &got);
    const int error = errno;
    reply.magic = got.header.magic;
    reply.length = got.header.length;
    reply.num_fds = got.header.num_fds;
    reply.error_flag = got.header.error;
    reply.fds = std::move(got.fds);
    if (rc < 0) {
        reply.error = error == EPROTO       ? "bad header"
                      : error == ECONNRESET ? "connection closed"
                                            : std::string("recvmsg: ") + strerror(error);
        return reply;
    }
    if (got.descriptors_lost) {
        reply.error = "descriptors truncated";
        return reply;
    }
    const auto *header = reinterpret_cast<const uint8_t *>(&got.header);
    reply.raw.assign(header, header + sizeof got.header);
    reply.raw.insert(reply.raw.end(), got.text.begin(), got.text.end());
    reply.text = std::move(got.text);
    reply.received = true;
    return reply;
}

std::string describe(const Reply &r)
{
    if (!r.received)
        return "no reply (" + r.error + ")";
    char b[96];
    snprintf(b, sizeof b, "len=%u num_fds=%u err=%u fds=%zu text=\"", r.length, r.num_fds, r.error_flag, r.fds.size());
    return b + escape(r.text) + "\"";
}

// ---- the framebuffer ------------------------------------------------------

struct Mapping {
    void *addr = MAP_FAILED;
    size_t size = 0;
    ~Mapping()
    {
        if (addr != MAP_FAILED)
            munmap(addr, size);
    }
    uint32_t pixel(unsigned x, unsigned y) const
    {
        uint32_t v;
        memcpy(&v, static_cast<const uint8_t *>(addr) + size_t(y) * kPitch + size_t(x) * 4, 4);
        return v & 0xFFFFFF;
    }
};

// Maps the whole of a buffer for reading; false, with the reason, when it
// cannot or when it is smaller than at_least bytes.
bool map_buffer(int fd, size_t at_least, Mapping &m, std::string &error)
{
    off_t size = lseek(fd, 0, SEEK_END);
    if (size <= 0 || size_t(size) < at_least) {
        error = "dma-buf size " + std::to_string(long(size)) + " below " + std::to_string(at_least);
        return false;
    }
    m.size = size_t(size);
    m.addr = mmap(nullptr, m.size, PROT_READ, MAP_SHARED, fd, 0);
    if (m.addr == MAP_FAILED) {
        error = std::string("mmap: ") + strerror(errno);
        return false;
    }
    return true;
}

bool map_frame(int fd, Mapping &m, std::string &error)
{
    return map_buffer(fd, size_t(kPitch) * kHeight, m, error);
}

// The top two thirds of modetest's default pattern: seven bars of 75% grey,
// yellow, cyan, green, magenta, red and blue.
bool shows_pattern(const Mapping &m, std::string &detail)
{
    static const uint32_t bars[7] = {0xC0C0C0, 0xC0C000, 0x00C0C0, 0x00C000, 0xC000C0, 0xC00000, 0x0000C0};
    bool ok = true;
    char b[32];
    detail = "bars";
    for (unsigned i = 0; i < 7; ++i) {
        unsigned x = (2 * i + 1) * kWidth / 14;
        for (unsigned y : {10u, kHeight / 3, kHeight * 6 / 9 - 10}) {
            uint32_t v = m.pixel(x, y);
            if (v != bars[i])
                ok = false;
            if (y == kHeight / 3) {
                snprintf(b, sizeof b, " %06x", v);
                detail += b;
            }
        }
    }
    return ok;
}

ino_t inode_of(int fd)
{
    struct stat st {};
    return fstat(fd, &st) == 0 ? st.st_ino : 0;
}

// The framebuffer the kernel says the CRTC scans out (0 when none).
uint32_t crtc_fb(int card, uint32_t crtc_id)
{
    drmModeCrtc *crtc = drmModeGetCrtc(card, crtc_id);
    if (!crtc)
        return 0;
    uint32_t fb = crtc->buffer_id;
    drmModeFreeCrtc(crtc);
    return fb;
}

uint32_t first_crtc(int card)
{
    drmModeRes *res = drmModeGetResources(card);
    if (!res)
        return 0;
    uint32_t id = res->count_crtcs > 0 ? res->crtcs[0] : 0;
    drmModeFreeResources(res);
    return id;
}

// ---- the checks -----------------------------------------------------------

const std::string kOkReply("\xEF\xBE\xAD\xDE\x03\0\0\0\0\0\0\0\0\0\0\0OK\n", 19);
const std::string kFrameText = "w=1024|h=768|f=875713112|s=4096|o=0|m=0|r=60";

void check_port_names(int sock)
{
    std::string failed;
    for (const char *port : {"virtual-1", "Virtual-1", "vkms-1"}) {
        Reply r = request(sock, std::string("SET_TARGET ") + kCard + " " + port + "\n");
        std::string raw(r.raw.begin(), r.raw.end());
        if (!r.received || raw != kOkReply || !r.fds.empty())
            failed += std::string(port) + ": " + describe(r) + "; ";
    }
    report("set-target-virtual", failed.empty(), "%s",
           failed.empty() ? "virtual-1, Virtual-1 and vkms-1 answered OK (19 bytes)" : failed.c_str());

    Reply r = request(sock, std::string("SET_TARGET ") + kCard + " hdmi-1\n");
    bool ok =
        r.received && r.text == "ERROR: Cannot update state\n" && r.error_flag == 1 && r.num_fds == 0 && r.fds.empty();
    report("set-target-hdmi", ok, "hdmi-1: %s", describe(r).c_str());
}

// Requests that the real device must refuse, each with its exact reply;
// the target selected before them stays usable.
void check_target_errors(int sock)
{
    struct Case {
        std::string line, reply;
    };
    const std::string card(kCard);
    const Case cases[] = {
        {"SET_TARGET " + card + " dp-virt-1\n", "OK\n"},
        {"SET_TARGET " + card + " Virtual-2\n", "ERROR: Cannot update state\n"},
        {"SET_TARGET " + card + " virtual1\n", "ERROR: Cannot update state\n"},
        {"SET_TARGET " + card + " usb-1\n", "ERROR: Cannot open DRM device\n"},
        {"SET_TARGET /dev/null virtual-1\n", "ERROR: Cannot open DRM device\n"},
        {"SET_TARGET /dev/dri/card9 virtual-1\n", "ERROR: Cannot open DRM device\n"},
        {"GET_FRAME\n", kFrameText},
    };
    std::string failed;
    for (const Case &c : cases) {
        Reply r = request(sock, c.line);
        bool error = c.reply.rfind("ERROR:", 0) == 0;
        size_t fds = c.reply == kFrameText ? 1 : 0;
        if (!r.received || r.text != c.reply || r.error_flag != (error ? 1u : 0u) || r.num_fds != fds ||
            r.fds.size() != fds)
            failed += escape(c.line) + " -> " + describe(r) + "; ";
    }
    report("set-target-errors", failed.empty(), "%s",
           failed.empty() ? "dp-virt-1 OK; Virtual-2, virtual1, usb-1, /dev/null and a missing card refused; the "
                            "earlier target still answers GET_FRAME"
                          : failed.c_str());
}

// GET_FRAME on the held mode; returns the descriptor for the later checks.
UniqueFD check_frame(int sock, pid_t helper)
{
    Reply r = request(sock, "GET_FRAME\n");
    bool ok = r.received && r.text == kFrameText && r.num_fds == 1 && r.error_flag == 0 && r.fds.size() == 1;
    report("get-frame-reply", ok, "%s", describe(r).c_str());
    if (r.fds.size() != 1)
        return UniqueFD();
    UniqueFD fd = std::move(r.fds[0]);

    // The server closes its copy once the reply is sent.
    int kept = count_files(helper, "dmabuf");
    for (int i = 0; i < 20 && kept != 0; ++i) {
        sleep_ms(50);
        kept = count_files(helper, "dmabuf");
    }
    report("get-frame-helper-closes", kept == 0, "the helper holds %d dma-buf descriptors after the reply", kept);

    char link[128] = {};
    readlink(("/proc/self/fd/" + std::to_string(fd.get())).c_str(), link, sizeof link - 1);
    int flags = fcntl(fd.get(), F_GETFL);
    bool readonly = (flags & O_ACCMODE) == O_RDONLY;
    report("get-frame-dmabuf", strstr(link, "dmabuf") != nullptr && readonly, "descriptor %s, %s", link,
           readonly ? "read-only" : "not read-only");

    Mapping m;
    std::string error, detail;
    if (!map_frame(fd.get(), m, error)) {
        report("get-frame-pattern", false, "%s", error.c_str());
        return fd;
    }
    report("get-frame-pattern", shows_pattern(m, detail), "%s", detail.c_str());
    return fd;
}

// True when the peer closes the connection within the time (events that
// were still queued are read and dropped).
bool ends_within(int fd, int timeout_ms)
{
    const double start = now_s(CLOCK_MONOTONIC);
    while ((now_s(CLOCK_MONOTONIC) - start) * 1000 < timeout_ms) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 200) < 0)
            return false;
        uint8_t buf[64];
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
            return true;
    }
    return false;
}

// How often vkms has logged that its vblank timer fired more than one
// period late; each such overrun makes the kernel's sequence skip.
int timer_overruns()
{
    int size = klogctl(10, nullptr, 0);  // size of the kernel log buffer
    if (size <= 0)
        return 0;
    std::vector<char> log(size_t(size) + 1);
    int n = klogctl(3, log.data(), size);  // read it all, leave it in place
    if (n <= 0)
        return 0;
    log[size_t(n)] = 0;
    int count = 0;
    for (const char *p = log.data(); (p = strstr(p, "vblank timer overrun")); ++p)
        ++count;
    return count;
}

void check_events(int sock, int card, uint32_t crtc_id)
{
    Reply r = request(sock, std::string("SET_TARGET ") + kCard + " virtual-1\n");
    if (!r.received || r.text != "OK\n") {
        report("events", false, "SET_TARGET: %s", describe(r).c_str());
        return;
    }
    UniqueFD ev = connect_unix(kEventSocket, SOCK_SEQPACKET, 3000);
    if (!ev) {
        report("events", false, "cannot connect to %s: %s", kEventSocket, strerror(errno));
        return;
    }
    struct Event {
        uint64_t seq, vblank, server, recv_real, recv_mono;
    };
    std::vector<Event> events;
    std::string bad;
    const int overruns_before = timer_overruns();
    const double start = now_s(CLOCK_MONOTONIC);
    double first_at = 0, last_at = 0;
    while (now_s(CLOCK_MONOTONIC) - start < 3.0) {
        pollfd p{ev.get(), POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0) {
            bad += "no event for 1 s; ";
            break;
        }
        uint8_t buf[64];
        ssize_t n = recv(ev.get(), buf, sizeof buf, MSG_TRUNC);
        if (n <= 0) {
            bad += "event stream ended; ";
            break;
        }
        double at = now_s(CLOCK_MONOTONIC);
        static const uint8_t head[8] = {1, 0, 0, 0, 24, 0, 0, 0};
        if (n != 32 || memcmp(buf, head, 8) != 0) {
            bad += "message of " + std::to_string(n) + " bytes or bad type/length; ";
            continue;
        }
        Event e{};
        memcpy(&e.seq, buf + 8, 8);
        memcpy(&e.vblank, buf + 16, 8);
        memcpy(&e.server, buf + 24, 8);
        e.recv_real = now_ns(CLOCK_REALTIME);
        e.recv_mono = now_ns(CLOCK_MONOTONIC);
        if (events.empty())
            first_at = at;
        last_at = at;
        events.push_back(e);
    }
    // The kernel's own count and time of the latest vertical blank: the
    // events must carry the kernel's numbers, not a count of the helper's.
    uint64_t kernel_seq = 0, kernel_ns = 0;
    int seq_rc = drmCrtcGetSequence(card, crtc_id, &kernel_seq, &kernel_ns);
    const int seq_errno = errno;
    const int overruns = timer_overruns() - overruns_before;

    constexpr double kPeriodNs = 1e9 / 60.0;
    size_t gaps = 0, clock_faults = 0, bad_intervals = 0;
    double worst_interval = kPeriodNs;
    for (size_t i = 0; i < events.size(); ++i) {
        if (i > 0) {
            const Event &a = events[i - 1], &b = events[i];
            if (b.seq != a.seq + 1)
                ++gaps;
            // Each blank lies one period after the one before it, also
            // across a sequence the kernel skipped.
            double per = b.seq > a.seq && b.vblank > a.vblank ? double(b.vblank - a.vblank) / double(b.seq - a.seq) : 0;
            if (std::fabs(per - kPeriodNs) > kPeriodNs * 0.01)
                ++bad_intervals;
            if (std::fabs(per - kPeriodNs) > std::fabs(worst_interval - kPeriodNs))
                worst_interval = per;
        }
        // The vblank time is the kernel's monotonic clock, the server time
        // its wall clock; both must be near the moment the event arrived.
        if (events[i].vblank > events[i].recv_mono || events[i].recv_mono - events[i].vblank > 500000000ull ||
            llabs(int64_t(events[i].recv_real - events[i].server)) > 500000000ll)
            ++clock_faults;
    }
    bool kernel_agrees = false;
    double kernel_offset_ms = 0;
    if (seq_rc == 0 && !events.empty() && kernel_seq >= events.back().seq && kernel_seq - events.back().seq < 120) {
        double predicted = double(events.back().vblank) + double(kernel_seq - events.back().seq) * kPeriodNs;
        kernel_offset_ms = (double(kernel_ns) - predicted) / 1e6;
        kernel_agrees = std::fabs(kernel_offset_ms) < 0.5;
    }
    double rate = events.size() > 1 ? (events.size() - 1) / (last_at - first_at) : 0;
    double interval_ms =
        events.size() > 1 && events.back().seq > events.front().seq
            ? (events.back().vblank - events.front().vblank) / 1e6 / double(events.back().seq - events.front().seq)
            : 0;
    // The next request is queued relative to the kernel's count when the
    // event is handled; under emulation that is now and then a blank late,
    // and the kernel's own timer overruns skip too. A few skips are allowed,
    // each still timed exactly by the kernel (the interval check above);
    // a helper that re-arms two blanks ahead delivers half of them.
    // Skips the kernel logged as timer overruns are its own (a starved
    // guest); the rest must stay rare, and the rate holds when none occurred.
    const size_t helper_gaps = gaps - std::min(gaps, size_t(overruns));
    const bool rate_ok = overruns > 0 || (rate > 50 && rate < 66);
    bool ok = bad.empty() && events.size() >= 60 && helper_gaps * 10 <= events.size() && rate_ok && clock_faults == 0 &&
              bad_intervals == 0 && kernel_agrees && interval_ms > kPeriodNs / 1e6 * 0.99 &&
              interval_ms < kPeriodNs / 1e6 * 1.01;
    report("events", ok,
           "%zu events of 32 bytes, %.2f/s received, vblank period %.4f ms (worst %.4f), %zu intervals off "
           "by over 1%%, %zu sequence gaps (%d timer overruns logged by the kernel), %zu clock faults, sequence "
           "%" PRIu64 "..%" PRIu64 ", kernel at %" PRIu64 " (%s, %.3f ms from the events' clock) %s",
           events.size(), rate, interval_ms, worst_interval / 1e6, bad_intervals, gaps, overruns, clock_faults,
           events.empty() ? 0 : events.front().seq, events.empty() ? 0 : events.back().seq, kernel_seq,
           seq_rc == 0 ? "read" : strerror(seq_errno), kernel_offset_ms, bad.c_str());

    // A byte from the client ends the stream and the socket file goes away.
    send(ev.get(), "x", 1, MSG_NOSIGNAL);
    const double sent_at = now_s(CLOCK_MONOTONIC);
    const bool ended = ends_within(ev.get(), 3000);
    double took = now_s(CLOCK_MONOTONIC) - sent_at;
    bool removed = false;
    for (int i = 0; i < 40 && !removed; ++i) {
        removed = access(kEventSocket, F_OK) != 0;
        if (!removed)
            sleep_ms(50);
    }
    report("events-end-on-byte", ended && removed, "stream %s after %.3f s, socket file %s",
           ended ? "ended" : "did not end", took, removed ? "removed" : "still there");
}

// Wait for the helper's descriptor count to come back to at most base.
int settle_fds(pid_t pid, int base)
{
    int n = count_fds(pid);
    for (int i = 0; i < 60 && n > base; ++i) {
        sleep_ms(50);
        n = count_fds(pid);
    }
    return n;
}

// Receives one event within the time, or says why not.
std::string await_event(int ev, int timeout_ms)
{
    uint8_t buf[64];
    pollfd p{ev, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1)
        return "no event within " + std::to_string(timeout_ms) + " ms";
    ssize_t n = recv(ev, buf, sizeof buf, MSG_DONTWAIT | MSG_TRUNC);
    return n == 32 ? "" : "event of " + std::to_string(n) + " bytes";
}

// Rounds of connect, re-target twice, GET_FRAME, disconnect. The event
// service is stopped in every state: still waiting for its client (round
// kind 0), streaming to a client that has gone (1), and streaming to a
// client that stays connected after the command connection ended (2),
// which must see its stream end.
void check_retarget_loop(pid_t helper)
{
    const int rounds = 12;
    int base = settle_fds(helper, 0);
    int peak = base, after_max = base;
    std::string bad;
    for (int i = 0; i < rounds && bad.empty(); ++i) {
        const std::string round = "round " + std::to_string(i) + ": ";
        const int kind = i % 3;
        UniqueFD ev;
        {
            UniqueFD sock = connect_unix(kCommandSocket, SOCK_STREAM, 3000);
            if (!sock) {
                bad = round + "cannot connect";
                break;
            }
            for (const char *port : {"virtual-1", "vkms-1"}) {
                Reply r = request(sock.get(), std::string("SET_TARGET ") + kCard + " " + port + "\n");
                if (!r.received || r.text != "OK\n") {
                    bad = round + "SET_TARGET " + port + ": " + describe(r);
                    break;
                }
                if (kind == 0)
                    continue;
                ev = connect_unix(kEventSocket, SOCK_SEQPACKET, 3000);
                std::string why = ev ? await_event(ev.get(), 2000) : "cannot connect to the event socket";
                if (!why.empty()) {
                    bad = round + why + " after SET_TARGET " + port;
                    break;
                }
                peak = std::max(peak, count_fds(helper));
                if (kind == 1)
                    ev.reset();
            }
            if (!bad.empty())
                break;
            Reply f = request(sock.get(), "GET_FRAME\n");
            if (!f.received || f.fds.size() != 1 || f.text != kFrameText)
                bad = round + "GET_FRAME: " + describe(f);
            peak = std::max(peak, count_fds(helper));
        }
        if (kind == 2 && bad.empty() && !ends_within(ev.get(), 3000))
            bad = round + "the event stream went on after the command connection ended";
        ev.reset();
        if (!alive(helper)) {
            bad = "helper ended in " + round;
            break;
        }
        after_max = std::max(after_max, settle_fds(helper, base));
    }
    int final_count = settle_fds(helper, base);
    bool ok = bad.empty() && alive(helper) && final_count == base && after_max == base;
    report("retarget-loop", ok,
           "%d rounds, helper descriptors idle %d, at most %d while serving, %d after the worst round, %d at "
           "the end %s",
           rounds, base, peak, after_max, final_count, bad.c_str());
}

// The console takes the CRTC back only when the last file of the card is
// closed: the caller's card and every helper connection must be gone when
// modetest ends, or the CRTC is left without a framebuffer.
void check_page_flip(UniqueFD &card, uint32_t crtc_id, uint32_t pattern_fb, Child &modetest, const UniqueFD &first)
{
    card.reset();
    modetest.stdin_w.reset();
    int status = wait_child(modetest.pid, 5000);
    modetest.pid = -1;
    uint32_t fb = 0;
    for (int i = 0; i < 100 && (fb == 0 || fb == pattern_fb); ++i) {
        sleep_ms(50);
        if (!card)
            card.reset(open(kCard, O_RDWR | O_CLOEXEC));
        fb = card ? crtc_fb(card.get(), crtc_id) : 0;
    }
    std::string holders;
    if (fb == 0)
        if (DIR *dir = opendir("/proc")) {
            while (dirent *e = readdir(dir)) {
                pid_t pid = atoi(e->d_name);
                if (pid > 0 && pid != getpid() && holds_file(pid, kCard))
                    holders += " " + std::to_string(pid);
            }
            closedir(dir);
        }
    // The console's framebuffer may reuse the freed id; the buffer itself
    // is compared below.
    report("modetest-released", status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 && fb != 0,
           "modetest status %d, CRTC %u framebuffer %u -> %u%s%s", status, crtc_id, pattern_fb, fb,
           holders.empty() ? "" : ", card still open in processes", holders.c_str());

    UniqueFD sock = connect_unix(kCommandSocket, SOCK_STREAM, 3000);
    Reply t = request(sock.get(), std::string("SET_TARGET ") + kCard + " virtual-1\n");
    Reply r = request(sock.get(), "GET_FRAME\n");
    // The console's buffer has the same mode and layout, so the same text
    // describes another buffer.
    Mapping console;
    std::string console_error;
    bool ok = t.received && t.text == "OK\n" && r.received && r.fds.size() == 1 && r.num_fds == 1 &&
              r.text == kFrameText && first && inode_of(r.fds[0].get()) != inode_of(first.get()) &&
              map_frame(r.fds[0].get(), console, console_error);
    std::string console_detail;
    if (ok && shows_pattern(console, console_detail)) {
        ok = false;
        console_error = "the new buffer shows modetest's pattern";
    }
    report("page-flip-new-buffer", ok, "SET_TARGET: %s, GET_FRAME: %s, buffer inode %lu (first frame %lu) %s",
           describe(t).c_str(), describe(r).c_str(), r.fds.empty() ? 0ul : (unsigned long)inode_of(r.fds[0].get()),
           (unsigned long)inode_of(first.get()), console_error.c_str());

    Mapping m;
    std::string error, detail;
    bool mapped = first && map_frame(first.get(), m, error);
    bool pattern = mapped && shows_pattern(m, detail);
    report("page-flip-first-still-maps", mapped && pattern, "%s%s", mapped ? "mapped, " : error.c_str(),
           detail.c_str());
}

// The helper without CAP_SYS_ADMIN gets buffer handles of 0 while another
// client is master: GET_FRAME must not turn them into a frame.
void check_without_sys_admin(const std::string &setpriv, const std::string &helper_path)
{
    if (setpriv.empty() || access(setpriv.c_str(), X_OK) != 0) {
        report("no-cap-sys-admin", false, "setpriv is not in the guest");
        return;
    }
    Child helper =
        spawn({setpriv, "--inh-caps=-sys_admin", "--bounding-set=-sys_admin", "--", helper_path}, kHelperLog, false);
    std::string why;
    UniqueFD sock = connect_helper(helper, why);
    uint64_t caps = effective_caps(helper.pid);
    if (!sock || (caps & (1ull << 21)) != 0 || caps == 0) {
        if (sock)
            report("no-cap-sys-admin", false, "the helper still has CAP_SYS_ADMIN (CapEff %" PRIx64 ")", caps);
        else
            report("no-cap-sys-admin", false, "%s", why.c_str());
        stop_child(helper);
        return;
    }
    // The multi-plane query answers with buffer handles of 0, whose export
    // fails: every plane is left out and the frame reply is a bare header.
    // Nothing ends; the next GET_FRAME is answered the same way.
    Reply t = request(sock.get(), std::string("SET_TARGET ") + kCard + " virtual-1\n");
    std::string got;
    bool bare = true;
    for (int i = 0; i < 2; ++i) {
        Reply r = request(sock.get(), "GET_FRAME\n");
        bare = bare && r.received && r.length == 0 && r.num_fds == 0 && r.error_flag == 0 && r.fds.empty();
        got += (i ? "; then " : "") + describe(r);
    }
    bool serving = alive(helper.pid);
    bool ok = t.received && t.text == "OK\n" && bare && serving;
    report("no-cap-sys-admin", ok, "CapEff %" PRIx64 ", SET_TARGET: %s, GET_FRAME twice: %s, helper %s", caps,
           describe(t).c_str(), got.c_str(), serving ? "still serving" : "ended");
    stop_child(helper);
}

// What a mapped buffer shows: modetest's bars, or one colour all over (the
// plain buffer it flips to). Empty when neither.
std::string buffer_picture(int fd)
{
    Mapping m;
    std::string error, detail;
    if (!map_frame(fd, m, error))
        return "";
    if (shows_pattern(m, detail))
        return "bars";
    const uint32_t first = m.pixel(0, 0);
    for (unsigned y = 0; y < kHeight; y += 97)
        for (unsigned x = 0; x < kWidth; x += 61)
            if (m.pixel(x, y) != first)
                return "";
    char b[32];
    snprintf(b, sizeof b, "plain %06x", first);
    return b;
}

// A client that follows the scanout of the card's Virtual-1: its command
// connection goes to *sock, its event connection is returned. Empty, with
// the reason in *why, when the helper refused. root is put before the
// sockets' paths (a helper with a /tmp of its own).
UniqueFD start_following(UniqueFD *sock, std::string *why, const std::string &root = "",
                         const char *command = UDS_FOLLOW_SCANOUT_COMMAND)
{
    *sock = connect_unix((root + kCommandSocket).c_str(), SOCK_STREAM, 3000);
    Reply t = request(sock->get(), std::string("SET_TARGET ") + kCard + " virtual-1\n");
    Reply f = request(sock->get(), command);
    UniqueFD ev = connect_unix((root + kEventSocket).c_str(), SOCK_SEQPACKET, 10000);
    const int error = errno;
    if (!t.received || t.text != "OK\n" || !f.received || f.text != "OK\n" || !ev) {
        *why = "SET_TARGET: " + describe(t) + ", " + std::string(command, strlen(command) - 1) + ": " + describe(f) +
               (ev ? "" : ", no event connection on " + root + kEventSocket + ": " + strerror(error));
        ev.reset();
    }
    return ev;
}

// Starts modetest holding the 1024x768 mode with more options (-v, -C) and
// waits until it holds the card; then opens the card into *card and waits
// for the CRTC (*crtc_id) to scan out *fb (left 0 when it never does).
Child start_modetest(const std::string &path, const std::string &connector, const std::vector<std::string> &options,
                     UniqueFD *card, uint32_t *crtc_id, uint32_t *fb)
{
    std::vector<std::string> argv = {path, "-M", "vkms", "-s", connector + ":1024x768"};
    argv.insert(argv.end(), options.begin(), options.end());
    Child child = spawn(argv, kModetestLog, true);
    bool opened = false;
    for (int i = 0; i < 200 && !opened && alive(child.pid); ++i) {
        opened = holds_file(child.pid, kCard);
        if (!opened)
            sleep_ms(50);
    }
    card->reset(opened ? open(kCard, O_RDWR | O_CLOEXEC) : -1);
    *crtc_id = *card ? first_crtc(card->get()) : 0;
    *fb = 0;
    for (int i = 0; i < 200 && *crtc_id && !*fb && alive(child.pid); ++i) {
        *fb = crtc_fb(card->get(), *crtc_id);
        if (!*fb)
            sleep_ms(50);
    }
    return child;
}

// modetest page-flips between two buffers at every blank (-v). A client
// that follows the scanout is told of a change at nearly every blank,
// alternating between two buffers, each exported once and showing
// modetest's picture, and the helper's descriptors stay flat. A client that
// did not ask, on the same flipping display, gets today's replies and
// 32-byte events only.
void check_follow_scanout(pid_t helper, const std::string &modetest_path, const std::string &connector)
{
    UniqueFD card;
    uint32_t crtc_id = 0, fb = 0;
    Child flipper = start_modetest(modetest_path, connector, {"-v"}, &card, &crtc_id, &fb);
    // The kernel's cost of the helper's per-blank work, for the record (under
    // emulation it is inflated): the primary plane query, and at a change
    // the export of plane 0 with its identity.
    double plane_us = 0, export_us = 0, new_us = 0;
    if (fb && drmSetClientCap(card.get(), DRM_CLIENT_CAP_UNIVERSAL_PLANES, 1) == 0) {
        uint32_t primary = 0;
        if (drmModePlaneRes *planes = drmModeGetPlaneResources(card.get())) {
            for (uint32_t i = 0; i < planes->count_planes && !primary; ++i)
                if (drmModePlane *p = drmModeGetPlane(card.get(), planes->planes[i])) {
                    if (p->crtc_id == crtc_id)
                        primary = p->plane_id;
                    drmModeFreePlane(p);
                }
            drmModeFreePlaneResources(planes);
        }
        constexpr int kRounds = 500;
        double t0 = now_s(CLOCK_MONOTONIC);
        for (int i = 0; i < kRounds && primary; ++i)
            if (drmModePlane *p = drmModeGetPlane(card.get(), primary))
                drmModeFreePlane(p);
        double t1 = now_s(CLOCK_MONOTONIC);
        // Once without and once with another holder of the buffer's
        // dma-buf (the following client holds it: the kernel then hands out
        // the same one instead of making a new one).
        auto export_rounds = [&] {
            double start = now_s(CLOCK_MONOTONIC);
            for (int i = 0; i < kRounds; ++i) {
                drmModeFB2 *f2 = drmModeGetFB2(card.get(), fb);
                if (!f2)
                    break;
                int prime = -1;
                if (drmPrimeHandleToFD(card.get(), f2->handles[0], DRM_CLOEXEC, &prime) == 0) {
                    (void)inode_of(prime);
                    close(prime);
                }
                drm_gem_close request{};
                request.handle = f2->handles[0];
                drmIoctl(card.get(), DRM_IOCTL_GEM_CLOSE, &request);
                drmModeFreeFB2(f2);
            }
            return (now_s(CLOCK_MONOTONIC) - start) * 1e6 / kRounds;
        };
        new_us = export_rounds();
        UniqueFD holder;
        if (drmModeFB2 *f2 = drmModeGetFB2(card.get(), fb)) {
            int prime = -1;
            if (drmPrimeHandleToFD(card.get(), f2->handles[0], DRM_CLOEXEC, &prime) == 0)
                holder.reset(prime);
            drmModeFreeFB2(f2);
        }
        export_us = holder ? export_rounds() : 0;
        plane_us = primary ? (t1 - t0) * 1e6 / kRounds : 0;
    }
    card.reset();
    if (!fb) {
        report("follow-scanout", false, "modetest -v did not light the CRTC");
        stop_child(flipper);
        return;
    }
    sleep_ms(300);  // let the flipping settle in

    constexpr uint64_t kBlanks = 600;
    std::string bad;
    uint64_t blanks = 0, records = 0, alternations = 0, first_seq = 0, last_seq = 0;
    // The helper exports the buffer on screen at every change to tell which
    // it is and closes it at once, so a single count may catch that copy:
    // the counts compared are the least of the first and of the last 100
    // blanks.
    int fds_early = INT32_MAX, fds_late = INT32_MAX, fds_peak = 0, dmabufs_late = INT32_MAX;
    std::vector<uint64_t> new_ids;
    std::vector<std::string> pictures;
    {
        UniqueFD sock;
        UniqueFD ev = start_following(&sock, &bad);
        uint64_t last_id = 0;
        bool record_pending = false;
        while (bad.empty() && blanks < kBlanks) {
            framelink::EventMessage m;
            int rc = framelink::read_event(ev.get(), 3000, &m);
            if (rc != 0) {
                bad = std::string("event stream: ") + (rc > 0 ? "ended" : strerror(errno));
                break;
            }
            if (m.type == UDS_EVENT_VBLANK) {
                if (record_pending && m.vblank.sequence != last_seq)
                    bad = "a record of blank " + std::to_string(last_seq) + " before the event of blank " +
                          std::to_string(m.vblank.sequence);
                record_pending = false;
                if (blanks++ == 0)
                    first_seq = m.vblank.sequence;
                const int n = count_fds(helper);
                fds_peak = std::max(fds_peak, n);
                if (blanks <= 100)
                    fds_early = std::min(fds_early, n);
                if (blanks > kBlanks - 100) {
                    fds_late = std::min(fds_late, n);
                    dmabufs_late = std::min(dmabufs_late, count_files(helper, "dmabuf"));
                }
                continue;
            }
            if (m.type >= UDS_EVENT_CURSOR_NEW && m.type <= UDS_EVENT_NO_CURSOR)
                continue;  // vkms's cursor plane: its records are not this check's
            if (record_pending) {
                bad = "two records before one event";
                break;
            }
            record_pending = true;
            last_seq = m.record.sequence;
            if (m.type == UDS_EVENT_BUFFER_NEW) {
                new_ids.push_back(m.record.buffer_id);
                pictures.push_back(m.fds.empty() ? "" : buffer_picture(m.fds[0].get()));
                if (m.frame.width != kWidth || m.frame.height != kHeight || m.fds.size() != 1)
                    bad = "new buffer " + std::to_string(m.frame.width) + "x" + std::to_string(m.frame.height) +
                          " with " + std::to_string(m.fds.size()) + " descriptors";
            } else if (m.type != UDS_EVENT_BUFFER_SHOWN) {
                bad = "record of type " + std::to_string(m.type) + " while modetest flips";
            }
            if (records++ > 0 && m.record.buffer_id != last_id)
                alternations++;
            last_id = m.record.buffer_id;
        }
    }

    // Then a client that does not follow: today's replies and events.
    std::string plain_bad;
    {
        UniqueFD sock = connect_unix(kCommandSocket, SOCK_STREAM, 3000);
        Reply t = request(sock.get(), std::string("SET_TARGET ") + kCard + " virtual-1\n");
        Reply g = request(sock.get(), "GET_FRAME\n");
        if (!t.received || t.raw != std::vector<uint8_t>(kOkReply.begin(), kOkReply.end()) || !g.received ||
            g.text != kFrameText || g.fds.size() != 1)
            plain_bad = "SET_TARGET: " + describe(t) + ", GET_FRAME: " + describe(g);
        UniqueFD ev = connect_unix(kEventSocket, SOCK_SEQPACKET, 3000);
        // The reader refuses an event of another size or with descriptors.
        for (int i = 0; i < 120 && plain_bad.empty(); ++i) {
            framelink::EventMessage m;
            int rc = ev ? framelink::read_event(ev.get(), 3000, &m) : -1;
            if (rc != 0 || m.type != UDS_EVENT_VBLANK)
                plain_bad = "message " + std::to_string(i) + ": " +
                            (rc != 0 ? std::string(strerror(errno)) : "type " + std::to_string(m.type));
        }
    }
    flipper.stdin_w.reset();
    wait_child(flipper.pid, 5000);
    stop_child(flipper);

    const uint64_t span = last_seq > first_seq ? last_seq - first_seq + 1 : 1;
    bool two_buffers = new_ids.size() == 2 && new_ids[0] != new_ids[1];
    bool pictures_ok = pictures.size() == 2 && !pictures[0].empty() && !pictures[1].empty() &&
                       (pictures[0] == "bars" || pictures[1] == "bars");
    // modetest queues its next flip when the last one completes, so a
    // change lands at most every blank; under emulation it misses some.
    bool nearly_every = records * 10 >= blanks * 7 && alternations + 1 >= records;
    bool flat = fds_early > 0 && fds_late == fds_early && fds_peak <= fds_early + 1 && dmabufs_late == 0;
    report("follow-scanout", bad.empty() && two_buffers && pictures_ok && nearly_every && flat,
           "%" PRIu64 " blanks (%" PRIu64 " apart), %" PRIu64 " records, %" PRIu64
           " changes of buffer, new buffers %zu (%s / %s), helper descriptors %d in the first 100 blanks, %d in "
           "the last 100 (at most %d), dma-bufs held %d; kernel cost per blank: plane query %.1f us, export "
           "and identity at a flip to a held buffer %.1f us, to a new one %.1f us %s",
           blanks, span, records, alternations, new_ids.size(), pictures.size() > 0 ? pictures[0].c_str() : "-",
           pictures.size() > 1 ? pictures[1].c_str() : "-", fds_early, fds_late, fds_peak, dmabufs_late, plane_us,
           export_us, new_us, bad.c_str());
    report("follow-scanout-not-asked", plain_bad.empty(), "%s",
           plain_bad.empty() ? "OK reply, frame reply and 120 events of 32 bytes without descriptors"
                             : plain_bad.c_str());
}

// ---- the cursor plane -----------------------------------------------------

void report_skip(const char *name, const char *why)
{
    printf("VISTREL CHECK %s SKIP %s\n", name, why);
    fflush(stdout);
}

// The buffers (or cursor images) a following client holds, least recently
// shown first, under the rule both ends keep (4 of each).
struct HeldImages {
    static_assert(UDS_CURSOR_MAX_IMAGES == UDS_SCANOUT_MAX_BUFFERS);
    struct Image {
        uint64_t id;
        UniqueFD fd;
        framelink::FrameMetadata frame;
    };
    std::vector<Image> images;
    size_t capacity = UDS_CURSOR_MAX_IMAGES;  // UDS_OVERLAY_MAX_BUFFERS for the overlays' set

    void add(uint64_t id, UniqueFD fd, const framelink::FrameMetadata &frame)
    {
        if (images.size() >= capacity)
            images.erase(images.begin());
        images.push_back(Image{id, std::move(fd), frame.description()});
    }
    // Makes the image the most recently shown; null when it is not held.
    const Image *show(uint64_t id)
    {
        for (size_t i = 0; i < images.size(); ++i)
            if (images[i].id == id) {
                std::rotate(images.begin() + long(i), images.begin() + long(i) + 1, images.end());
                return &images.back();
            }
        return nullptr;
    }
    const Image *find(uint64_t id) const
    {
        for (const Image &image : images)
            if (image.id == id)
                return &image;
        return nullptr;
    }
};

// Copies a mapped 32-bit image (ARGB8888, XRGB8888) into tight rows; empty
// when it cannot be mapped or is smaller than its description says.
std::vector<uint32_t> read_argb(int fd, const framelink::FrameMetadata &frame, std::string &error)
{
    const off_t size = lseek(fd, 0, SEEK_END);
    const uint64_t need = uint64_t(frame.offset) + uint64_t(frame.stride) * frame.height;
    if (frame.width == 0 || frame.height == 0 || frame.stride < frame.width * 4 || size < off_t(need)) {
        error = "image of " + std::to_string(long(size)) + " bytes for " + std::to_string(frame.width) + "x" +
                std::to_string(frame.height) + " pitch " + std::to_string(frame.stride);
        return {};
    }
    void *addr = mmap(nullptr, size_t(size), PROT_READ, MAP_SHARED, fd, 0);
    if (addr == MAP_FAILED) {
        error = std::string("mmap: ") + strerror(errno);
        return {};
    }
    // The read is bracketed for the processor, as the capture program's is.
    dma_buf_sync sync{DMA_BUF_SYNC_START | DMA_BUF_SYNC_READ};
    ioctl(fd, DMA_BUF_IOCTL_SYNC, &sync);
    std::vector<uint32_t> pixels(size_t(frame.width) * frame.height);
    for (uint32_t y = 0; y < frame.height; ++y)
        memcpy(&pixels[size_t(y) * frame.width],
               static_cast<const uint8_t *>(addr) + frame.offset + size_t(y) * frame.stride, size_t(frame.width) * 4);
    sync.flags = DMA_BUF_SYNC_END | DMA_BUF_SYNC_READ;
    ioctl(fd, DMA_BUF_IOCTL_SYNC, &sync);
    munmap(addr, size_t(size));
    return pixels;
}

// modetest's cursor test (-C) sets an ARGB8888 image of the card's cursor
// size (its DRM_CAP_CURSOR_WIDTH/HEIGHT, 512x512 on vkms) whose every byte
// is 0x77 (a translucent grey) through the legacy cursor calls, which wrap
// the same buffer in a new framebuffer at every enable. It is shown where
// the CRTC's cursor was last moved to, then moves down the diagonal from
// half its size on both axes in steps of 1, 5 and 10 until it meets the
// bottom edge, hidden and shown again in between. A following client
// gets the image once, with a description that maps and shows modetest's
// grey, then the moves along the diagonal and the hides and shows by name;
// descriptors stay flat on both ends, and the helper keeps nothing of
// modetest's buffers once they are gone.
void check_cursor_follow(pid_t helper, const std::string &modetest_path, const std::string &connector)
{
    UniqueFD card;
    uint32_t crtc_id = 0, fb = 0;
    const long shmem_before = shmem_kb();
    long shmem_after = 0;
    Child mover = start_modetest(modetest_path, connector, {"-C"}, &card, &crtc_id, &fb);
    uint64_t cap_w = 0, cap_h = 0;
    if (card && (drmGetCap(card.get(), DRM_CAP_CURSOR_WIDTH, &cap_w) != 0 ||
                 drmGetCap(card.get(), DRM_CAP_CURSOR_HEIGHT, &cap_h) != 0))
        cap_w = cap_h = 64;  // what modetest takes when the card does not say
    card.reset();
    if (!fb) {
        report("cursor-follow", false, "modetest -C did not light the CRTC");
        stop_child(mover);
        return;
    }

    constexpr uint64_t kBlanks = 300;
    std::string bad, picture = "no image";
    uint64_t blanks = 0, holding = 0, news = 0, moves = 0, hides = 0, shows = 0, diagonal = 0, last_seq = 0;
    uint64_t fb_changes = 0;
    uint32_t last_fb = 0;
    int64_t first_x = -1, first_y = -1, last_x = -1, last_y = -1;
    bool record_pending = false, bounced = false, was_visible = false;
    std::vector<uint32_t> fb_ids;
    uint32_t width = 0, height = 0, format = 0, crtc_w = 0, crtc_h = 0;
    int fds_early = INT32_MAX, fds_late = INT32_MAX, fds_peak = 0, dmabufs_late = INT32_MAX;
    int own_early = INT32_MAX, own_late = INT32_MAX;
    {
        HeldImages held;
        UniqueFD sock;
        UniqueFD ev = start_following(&sock, &bad);
        while (bad.empty() && blanks < kBlanks) {
            framelink::EventMessage m;
            int rc = framelink::read_event(ev.get(), 3000, &m);
            if (rc != 0) {
                bad = std::string("event stream: ") + (rc > 0 ? "ended" : strerror(errno));
                break;
            }
            if (m.type == UDS_EVENT_VBLANK) {
                if (record_pending && m.vblank.sequence != last_seq)
                    bad = "a cursor record of blank " + std::to_string(last_seq) + " before the event of blank " +
                          std::to_string(m.vblank.sequence);
                record_pending = false;
                ++blanks;
                const int n = count_fds(helper), own = count_fds(getpid());
                fds_peak = std::max(fds_peak, n);
                if (blanks <= 60)
                    fds_early = std::min(fds_early, n);
                // The client's own count from when it holds the image.
                if (news > 0 && ++holding <= 60)
                    own_early = std::min(own_early, own);
                if (blanks > kBlanks - 60) {
                    fds_late = std::min(fds_late, n);
                    own_late = std::min(own_late, own);
                    dmabufs_late = std::min(dmabufs_late, count_files(helper, "dmabuf"));
                }
                continue;
            }
            if (m.type < UDS_EVENT_CURSOR_NEW || m.type > UDS_EVENT_NO_CURSOR)
                continue;  // the primary plane's records: the scanout checks' business
            const CursorRecord &c = m.cursor;
            if (record_pending) {
                bad = "two cursor records before one event";
                break;
            }
            record_pending = true;
            last_seq = c.sequence;
            if (m.type == UDS_EVENT_NO_CURSOR) {
                bad = "the helper says the CRTC has no cursor";
                break;
            }
            if (!c.visible) {
                if (c.buffer_id != 0 || c.fb_id != 0 || !m.fds.empty())
                    bad = "a hidden cursor with image " + std::to_string(c.buffer_id);
                hides += was_visible;
                was_visible = false;
                continue;
            }
            if (m.type == UDS_EVENT_CURSOR_NEW) {
                ++news;
                if (m.fds.size() != 1) {
                    bad = "a new image with " + std::to_string(m.fds.size()) + " descriptors";
                    break;
                }
                width = c.width, height = c.height, format = c.format;
                std::string error;
                std::vector<uint32_t> pixels = read_argb(m.fds[0].get(), m.frame, error);
                size_t grey = 0;
                for (uint32_t p : pixels)
                    grey += p == 0x77777777u;
                char b[96];
                snprintf(b, sizeof b, "%zu of %zu pixels 0x77777777, first %08x", grey, pixels.size(),
                         pixels.empty() ? 0u : pixels[0]);
                picture = pixels.empty() ? error : b;
                if (pixels.empty() || grey != pixels.size())
                    bad = "the image does not show modetest's grey: " + picture;
                held.add(c.buffer_id, std::move(m.fds[0]), m.frame);
            }
            if (!held.show(c.buffer_id)) {
                bad = "a shown cursor names image " + std::to_string(c.buffer_id) + ", which the client does not hold";
                break;
            }
            if (std::find(fb_ids.begin(), fb_ids.end(), c.fb_id) == fb_ids.end())
                fb_ids.push_back(c.fb_id);
            fb_changes += last_fb != 0 && c.fb_id != last_fb;
            last_fb = c.fb_id;
            crtc_w = c.crtc_width, crtc_h = c.crtc_height;
            shows += !was_visible && first_x >= 0;
            was_visible = true;
            if (c.x < 0 || c.x > int32_t(kWidth) || c.y < 0 || c.y > int32_t(kHeight))
                bad = "a position off modetest's path: " + std::to_string(c.x) + "," + std::to_string(c.y);
            if (c.x != last_x || c.y != last_y)
                ++moves;
            // Down the diagonal until the bottom edge turns it.
            if (!bounced && c.x != c.y) {
                bounced = true;
                if (c.y < int32_t(kHeight) - 64)
                    bad = "the cursor left the diagonal at " + std::to_string(c.x) + "," + std::to_string(c.y);
            } else if (!bounced) {
                if (c.x < last_x)
                    bad = "the cursor went back up the diagonal from " + std::to_string(last_x) + " to " +
                          std::to_string(c.x);
                diagonal += c.x != last_x;
            }
            if (first_x < 0)
                first_x = c.x, first_y = c.y;
            last_x = c.x, last_y = c.y;
        }
        // modetest's buffers (a 3 MB display buffer, a 1 MB cursor image) go
        // once it has ended and this client has let go of the image, unless
        // the helper, still serving this client, kept a GEM handle or an
        // export of them.
        held.images.clear();
        mover.stdin_w.reset();
        wait_child(mover.pid, 5000);
        stop_child(mover);
        // modetest leaves its image on the cursor plane when it ends; with
        // the card's mastership free again, this client takes it off.
        card.reset(open(kCard, O_RDWR | O_CLOEXEC));
        if (!card || drmModeSetCursor(card.get(), crtc_id, 0, 0, 0) != 0)
            bad += std::string(bad.empty() ? "" : "; ") + "cannot take modetest's cursor off: " + strerror(errno);
        card.reset();
        shmem_after = shmem_kb();
        for (int i = 0; i < 30 && shmem_after - shmem_before > 512; ++i) {
            sleep_ms(100);
            shmem_after = shmem_kb();
        }
    }

    const bool image_ok = news == 1 && width == cap_w && height == cap_h && crtc_w == width && crtc_h == height &&
                          format == 0x34325241;  // 'AR24'
    const bool flat = fds_early > 0 && fds_late == fds_early && fds_peak <= fds_early + 1 && dmabufs_late == 0 &&
                      own_late == own_early && shmem_before > 0 && shmem_after - shmem_before <= 512;
    report("cursor-follow",
           bad.empty() && image_ok && fb_changes >= 1 && diagonal >= 10 && hides >= 1 && shows >= 1 && flat,
           "%" PRIu64 " blanks: %" PRIu64 " new images (%ux%u format %08x shown at %ux%u, cursor size %" PRIu64
           "x%" PRIu64 "; %s), %" PRIu64 " moves (%" PRIu64 " along the diagonal, %" PRId64 ",%" PRId64 " to %" PRId64
           ",%" PRId64 "), hidden %" PRIu64 " times and shown again %" PRIu64
           " times, the image under %zu framebuffer ids (%" PRIu64 " changes); helper "
           "descriptors %d in the first 60 blanks, %d in the last 60 (at most %d), dma-bufs held %d; the client's "
           "%d and %d; shared memory %ld kB before modetest, %ld kB when it had ended %s",
           blanks, news, width, height, format, crtc_w, crtc_h, cap_w, cap_h, picture.c_str(), moves, diagonal, first_x,
           first_y, last_x, last_y, hides, shows, fb_ids.size(), fb_changes, fds_early, fds_late, fds_peak,
           dmabufs_late, own_early, own_late, shmem_before, shmem_after, bad.c_str());
}

// A dumb buffer with its framebuffer and a mapping, released in reverse.
struct DumbBuffer {
    int card = -1;
    uint32_t handle = 0, fb = 0, pitch = 0;
    uint64_t size = 0;
    void *map = MAP_FAILED;

    DumbBuffer() = default;
    DumbBuffer(const DumbBuffer &) = delete;
    DumbBuffer &operator=(const DumbBuffer &) = delete;
    ~DumbBuffer()
    {
        if (map != MAP_FAILED)
            munmap(map, size_t(size));
        if (fb)
            drmModeRmFB(card, fb);
        if (handle) {
            drm_mode_destroy_dumb destroy{};
            destroy.handle = handle;
            drmIoctl(card, DRM_IOCTL_MODE_DESTROY_DUMB, &destroy);
        }
    }
    bool create(int fd, uint32_t width, uint32_t height, uint32_t format, std::string &error)
    {
        card = fd;
        drm_mode_create_dumb c{};
        c.width = width;
        c.height = height;
        c.bpp = 32;
        if (drmIoctl(card, DRM_IOCTL_MODE_CREATE_DUMB, &c) != 0) {
            error = std::string("dumb buffer: ") + strerror(errno);
            return false;
        }
        handle = c.handle, pitch = c.pitch, size = c.size;
        const uint32_t handles[4] = {handle}, pitches[4] = {pitch}, offsets[4] = {0};
        if (drmModeAddFB2(card, width, height, format, handles, pitches, offsets, &fb, 0) != 0) {
            error = std::string("framebuffer: ") + strerror(errno);
            return false;
        }
        drm_mode_map_dumb m{};
        m.handle = handle;
        if (drmIoctl(card, DRM_IOCTL_MODE_MAP_DUMB, &m) != 0) {
            error = std::string("map dumb: ") + strerror(errno);
            return false;
        }
        map = mmap(nullptr, size_t(size), PROT_READ | PROT_WRITE, MAP_SHARED, card, off_t(m.offset));
        if (map == MAP_FAILED) {
            error = std::string("mmap: ") + strerror(errno);
            return false;
        }
        return true;
    }
    uint32_t *row(uint32_t y) const
    {
        return reinterpret_cast<uint32_t *>(static_cast<uint8_t *>(map) + size_t(y) * pitch);
    }
};

// The id of the object's property of that name, 0 when it has none.
uint32_t property_id(int card, uint32_t object, uint32_t type, const char *name)
{
    drmModeObjectProperties *props = drmModeObjectGetProperties(card, object, type);
    uint32_t id = 0;
    for (uint32_t i = 0; props && i < props->count_props && !id; ++i)
        if (drmModePropertyRes *p = drmModeGetProperty(card, props->props[i])) {
            if (strcmp(p->name, name) == 0)
                id = p->prop_id;
            drmModeFreeProperty(p);
        }
    drmModeFreeObjectProperties(props);
    return id;
}

// The plane of that type (DRM_PLANE_TYPE_*) that may drive the CRTC of the
// index, the first or, with skip, a later one in the card's order.
uint32_t plane_of_type(int card, unsigned crtc_index, uint64_t type, unsigned skip = 0)
{
    drmModePlaneRes *planes = drmModeGetPlaneResources(card);
    uint32_t found = 0;
    for (uint32_t i = 0; planes && i < planes->count_planes && !found; ++i) {
        drmModePlane *p = drmModeGetPlane(card, planes->planes[i]);
        if (!p)
            continue;
        if (p->possible_crtcs & (1u << crtc_index)) {
            drmModeObjectProperties *props = drmModeObjectGetProperties(card, p->plane_id, DRM_MODE_OBJECT_PLANE);
            for (uint32_t k = 0; props && k < props->count_props; ++k)
                if (drmModePropertyRes *prop = drmModeGetProperty(card, props->props[k])) {
                    if (strcmp(prop->name, "type") == 0 && props->prop_values[k] == type && skip-- == 0)
                        found = p->plane_id;
                    drmModeFreeProperty(prop);
                }
            drmModeFreeObjectProperties(props);
        }
        drmModeFreePlane(p);
    }
    drmModeFreePlaneResources(planes);
    return found;
}

// BT.709 limited range of a 0xXXRRGGBB picture over [x0,x1) x [y0,y1) (even
// bounds), chroma the mean of each 2x2 block: the conversion the capture
// program's compatible mode makes, written plainly. Planes of the whole
// picture; outside the region they stay 0.
struct Picture420 {
    std::vector<uint8_t> y, u, v;
};

void to_420(const uint32_t *const *rows, int x0, int y0, int x1, int y1, Picture420 *out)
{
    out->y.assign(size_t(kWidth) * kHeight, 0);
    out->u.assign(size_t(kWidth / 2) * (kHeight / 2), 0);
    out->v.assign(out->u.size(), 0);
    auto rgb = [&](int x, int y, double *r, double *g, double *b) {
        const uint32_t p = rows[y][x];
        *r = double((p >> 16) & 0xFF), *g = double((p >> 8) & 0xFF), *b = double(p & 0xFF);
    };
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) {
            double r, g, b;
            rgb(x, y, &r, &g, &b);
            out->y[size_t(y) * kWidth + size_t(x)] =
                uint8_t(std::lround(16.0 + (0.2126 * r + 0.7152 * g + 0.0722 * b) * 219.0 / 255.0));
        }
    for (int cy = y0 / 2; cy < y1 / 2; ++cy)
        for (int cx = x0 / 2; cx < x1 / 2; ++cx) {
            double sr = 0, sg = 0, sb = 0;
            for (int y = 2 * cy; y < 2 * cy + 2; ++y)
                for (int x = 2 * cx; x < 2 * cx + 2; ++x) {
                    double r, g, b;
                    rgb(x, y, &r, &g, &b);
                    sr += r / 4, sg += g / 4, sb += b / 4;
                }
            const size_t i = size_t(cy) * (kWidth / 2) + size_t(cx);
            out->u[i] = uint8_t(std::lround(128.0 + (-0.1146 * sr - 0.3854 * sg + 0.5 * sb) * 224.0 / 255.0));
            out->v[i] = uint8_t(std::lround(128.0 + (0.5 * sr - 0.4542 * sg - 0.0458 * sb) * 224.0 / 255.0));
        }
}

// The end of the kernel's log.
std::string kernel_log_tail(size_t bytes)
{
    int size = klogctl(10, nullptr, 0);
    if (size <= 0)
        return "";
    std::vector<char> log(size_t(size) + 1);
    int n = klogctl(3, log.data(), size);
    if (n <= 0)
        return "";
    std::string text(log.data(), size_t(n));
    return text.size() > bytes ? text.substr(text.size() - bytes) : text;
}

// ---- commits of the client's own ------------------------------------------

// One property of one object in an atomic commit.
struct PropertySet {
    uint32_t object, type;
    const char *prop;
    uint64_t value;
};

// The card as this client's own, for commits of its own: the CRTC, the
// display connector with its 1024x768 mode (as a property blob), the
// writeback connector and the CRTC's planes of each type, two overlays (0
// when it has none).
struct OwnCard {
    UniqueFD card;
    uint32_t crtc_id = 0, conn_id = 0, wb_id = 0, mode_blob = 0;
    uint32_t primary = 0, overlays[2] = {0, 0}, cursor = 0;

    OwnCard() = default;
    OwnCard(const OwnCard &) = delete;
    OwnCard &operator=(const OwnCard &) = delete;
    ~OwnCard()
    {
        if (mode_blob)
            drmModeDestroyPropertyBlob(card.get(), mode_blob);
    }
};

// Opens the card as its master with the atomic and writeback capabilities
// and finds what OwnCard holds. False, with the check reported (FAIL, or
// SKIP when the kernel lacks writeback), when the card cannot serve.
bool own_card_open(const char *name, const std::string &connector_name, OwnCard *own)
{
    own->card.reset(open(kCard, O_RDWR | O_CLOEXEC));
    const int card = own->card.get();
    if (!own->card || drmSetMaster(card) != 0) {
        report(name, false, "cannot become the card's master: %s", strerror(errno));
        return false;
    }
    if (drmSetClientCap(card, DRM_CLIENT_CAP_UNIVERSAL_PLANES, 1) != 0 ||
        drmSetClientCap(card, DRM_CLIENT_CAP_ATOMIC, 1) != 0) {
        report(name, false, "the atomic capability is refused: %s", strerror(errno));
        return false;
    }
    if (drmSetClientCap(card, DRM_CLIENT_CAP_WRITEBACK_CONNECTORS, 1) != 0) {
        report_skip(name, "this kernel offers no writeback connectors to clients");
        return false;
    }
    own->conn_id = uint32_t(strtoul(connector_name.c_str(), nullptr, 10));
    drmModeModeInfo mode{};
    bool have_mode = false;
    if (drmModeRes *res = drmModeGetResources(card)) {
        own->crtc_id = res->count_crtcs > 0 ? res->crtcs[0] : 0;
        for (int i = 0; i < res->count_connectors; ++i)
            if (drmModeConnector *c = drmModeGetConnector(card, res->connectors[i])) {
                if (c->connector_type == DRM_MODE_CONNECTOR_WRITEBACK)
                    own->wb_id = c->connector_id;
                for (int k = 0; c->connector_id == own->conn_id && k < c->count_modes && !have_mode; ++k)
                    if (c->modes[k].hdisplay == kWidth && c->modes[k].vdisplay == kHeight)
                        mode = c->modes[k], have_mode = true;
                drmModeFreeConnector(c);
            }
        drmModeFreeResources(res);
    }
    if (!own->wb_id) {
        report_skip(name, "vkms lists no writeback connector (module parameter enable_writeback)");
        return false;
    }
    own->primary = plane_of_type(card, 0, DRM_PLANE_TYPE_PRIMARY);
    own->overlays[0] = plane_of_type(card, 0, DRM_PLANE_TYPE_OVERLAY);
    own->overlays[1] = plane_of_type(card, 0, DRM_PLANE_TYPE_OVERLAY, 1);
    own->cursor = plane_of_type(card, 0, DRM_PLANE_TYPE_CURSOR);
    if (!own->crtc_id || !have_mode || !own->primary || !own->cursor) {
        report(name, false, "CRTC %u, a 1024x768 mode on connector %u %s, primary plane %u, cursor plane %u",
               own->crtc_id, own->conn_id, have_mode ? "found" : "missing", own->primary, own->cursor);
        return false;
    }
    if (drmModeCreatePropertyBlob(card, &mode, sizeof mode, &own->mode_blob) != 0) {
        report(name, false, "mode blob: %s", strerror(errno));
        return false;
    }
    return true;
}

// One commit of the named properties; with a writeback framebuffer it waits
// for the kernel's composition into it. Empty, or why not.
std::string own_card_commit(const OwnCard &own, const std::vector<PropertySet> &sets, bool modeset,
                            uint32_t writeback_fb)
{
    const int card = own.card.get();
    std::unique_ptr<drmModeAtomicReq, void (*)(drmModeAtomicReq *)> req(drmModeAtomicAlloc(), drmModeAtomicFree);
    int32_t fence = -1;
    std::vector<PropertySet> all = sets;
    if (writeback_fb) {
        all.push_back({own.wb_id, DRM_MODE_OBJECT_CONNECTOR, "WRITEBACK_FB_ID", writeback_fb});
        all.push_back({own.wb_id, DRM_MODE_OBJECT_CONNECTOR, "WRITEBACK_OUT_FENCE_PTR", uint64_t(uintptr_t(&fence))});
    }
    for (const PropertySet &s : all) {
        const uint32_t id = property_id(card, s.object, s.type, s.prop);
        if (!id)
            return "object " + std::to_string(s.object) + " has no property " + s.prop;
        drmModeAtomicAddProperty(req.get(), s.object, id, s.value);
    }
    const uint32_t flags = modeset ? DRM_MODE_ATOMIC_ALLOW_MODESET : 0;
    if (drmModeAtomicCommit(card, req.get(), flags, nullptr) != 0) {
        const std::string why = std::string("atomic commit: ") + strerror(errno);
        // Once more as a test with DRM's core, driver and atomic messages
        // on, so that the client's log shows the kernel's reasons.
        constexpr const char *kDebug = "/sys/module/drm/parameters/debug";
        char was[32] = "0";
        if (FILE *debug = fopen(kDebug, "r")) {
            if (!fgets(was, sizeof was, debug))
                strcpy(was, "0");
            fclose(debug);
        }
        if (FILE *debug = fopen(kDebug, "w")) {
            fputs("0x15", debug);
            fclose(debug);
            drmModeAtomicCommit(card, req.get(), flags | DRM_MODE_ATOMIC_TEST_ONLY, nullptr);
            if ((debug = fopen(kDebug, "w"))) {
                fputs(was, debug);
                fclose(debug);
            }
            fprintf(stderr, "the kernel on the refused commit:\n%s\n", kernel_log_tail(3000).c_str());
        }
        return why;
    }
    UniqueFD fence_fd(fence);
    pollfd p{fence_fd.get(), POLLIN, 0};
    if (writeback_fb && (!fence_fd || poll(&p, 1, 5000) != 1))
        return "the writeback was not done within 5 s";
    return "";
}

// The properties that show a plane on the CRTC: the source rectangle
// (whole pixels) of its framebuffer at the CRTC rectangle of the same size.
std::vector<PropertySet> plane_sets(uint32_t plane, uint32_t crtc_id, uint32_t fb, uint32_t src_x, uint32_t src_y,
                                    int32_t x, int32_t y, uint32_t width, uint32_t height)
{
    constexpr uint32_t P = DRM_MODE_OBJECT_PLANE;
    return {{plane, P, "FB_ID", fb},
            {plane, P, "CRTC_ID", crtc_id},
            {plane, P, "SRC_X", uint64_t(src_x) << 16},
            {plane, P, "SRC_Y", uint64_t(src_y) << 16},
            {plane, P, "SRC_W", uint64_t(width) << 16},
            {plane, P, "SRC_H", uint64_t(height) << 16},
            {plane, P, "CRTC_X", uint64_t(int64_t(x))},
            {plane, P, "CRTC_Y", uint64_t(int64_t(y))},
            {plane, P, "CRTC_W", width},
            {plane, P, "CRTC_H", height}};
}

// The mode on the display connector, the writeback connector detached and
// the primary plane showing the whole of its framebuffer.
std::vector<PropertySet> display_sets(const OwnCard &own, uint32_t primary_fb)
{
    std::vector<PropertySet> sets = {{own.crtc_id, DRM_MODE_OBJECT_CRTC, "ACTIVE", 1},
                                     {own.crtc_id, DRM_MODE_OBJECT_CRTC, "MODE_ID", own.mode_blob},
                                     {own.conn_id, DRM_MODE_OBJECT_CONNECTOR, "CRTC_ID", own.crtc_id},
                                     {own.wb_id, DRM_MODE_OBJECT_CONNECTOR, "CRTC_ID", 0}};
    for (const PropertySet &s : plane_sets(own.primary, own.crtc_id, primary_fb, 0, 0, 0, 0, kWidth, kHeight))
        sets.push_back(s);
    return sets;
}

// vkms 6.1 lets no other encoder share a CRTC with its writeback one
// (neither may clone the other), so the kernel composes the same planes
// with the writeback connector alone on the CRTC.
std::vector<PropertySet> writeback_sets(const OwnCard &own)
{
    return {{own.conn_id, DRM_MODE_OBJECT_CONNECTOR, "CRTC_ID", 0},
            {own.wb_id, DRM_MODE_OBJECT_CONNECTOR, "CRTC_ID", own.crtc_id}};
}

// vkms composes the CRTC's planes into its writeback connector's buffer.
// As the card's master, the client shows bars of its own and its own cursor
// (four quadrants: opaque red, half covering green, clear, three-quarter
// white, all premultiplied) in the picture, across the right and bottom and
// across the left and top edges. At each place a following client's records
// (the primary buffer, the cursor's image and place) go through the capture
// program's own blend into the converted primary picture. Then the kernel
// composes each place into the writeback buffer; over the cursor's
// rectangle and a margin of 4 pixels around it, converted the same way, it
// must match the capture program's composite.
void check_cursor_writeback(const std::string &connector_name)
{
    const char *name = "cursor-writeback";
    OwnCard own;
    if (!own_card_open(name, connector_name, &own))
        return;
    const uint32_t cursor = own.cursor;

    std::string error;
    DumbBuffer bars, image, out;
    if (!bars.create(own.card.get(), kWidth, kHeight, 0x34325258 /* XR24 */, error) ||
        !image.create(own.card.get(), 64, 64, 0x34325241 /* AR24 */, error) ||
        !out.create(own.card.get(), kWidth, kHeight, 0x34325258, error)) {
        report(name, false, "%s", error.c_str());
        return;
    }
    static const uint32_t colours[16] = {0x202020, 0xE0E0E0, 0xC02020, 0x20C020, 0x2020C0, 0xC0C020,
                                         0x20C0C0, 0xC020C0, 0x808080, 0x402010, 0x104020, 0x201040,
                                         0xF0A060, 0x60F0A0, 0xA060F0, 0x000000};
    for (uint32_t y = 0; y < kHeight; ++y)
        for (uint32_t x = 0; x < kWidth; ++x)
            bars.row(y)[x] = 0xFF000000u | colours[(x / 64 + (y >= kHeight / 2 ? 5 : 0)) % 16];
    for (uint32_t y = 0; y < 64; ++y)
        for (uint32_t x = 0; x < 64; ++x)
            image.row(y)[x] = y < 32 ? (x < 32 ? 0xFFE01010u : 0x80008000u) : (x < 32 ? 0u : 0xC0C0C0C0u);

    auto cursor_at = [&](int32_t x, int32_t y) {
        return std::vector<PropertySet>{{cursor, DRM_MODE_OBJECT_PLANE, "CRTC_X", uint64_t(int64_t(x))},
                                        {cursor, DRM_MODE_OBJECT_PLANE, "CRTC_Y", uint64_t(int64_t(y))}};
    };

    struct Place {
        int32_t x, y;
        const char *what;
        Picture420 composite;  // the capture program's, from the records
        CursorRecord told;
    };
    Place places[] = {{496, 350, "inside", {}, {}},
                      {980, 720, "across the right and bottom edges", {}, {}},
                      {-20, -12, "across the left and top edges", {}, {}}};
    auto region = [&](const Place &p, int *x0, int *y0, int *x1, int *y1) {
        *x0 = std::max(0, p.x - 4), *y0 = std::max(0, p.y - 4);
        *x1 = std::min(int(kWidth), p.x + 68), *y1 = std::min(int(kHeight), p.y + 68);
    };
    std::string detail, bad;
    const double start = now_s(CLOCK_MONOTONIC);

    // The picture on the display connector, followed by a client: each
    // place of the cursor told, and the capture program's composite of it.
    std::vector<PropertySet> mode_set = display_sets(own, bars.fb);
    for (const PropertySet &s : plane_sets(cursor, own.crtc_id, image.fb, 0, 0, 0, 0, 64, 64))
        if (strcmp(s.prop, "CRTC_X") != 0 && strcmp(s.prop, "CRTC_Y") != 0)
            mode_set.push_back(s);
    {
        UniqueFD sock, ev;
        HeldImages primaries, images;
        uint64_t primary_id = 0;
        CursorRecord state{};
        for (size_t n = 0; n < sizeof places / sizeof places[0] && bad.empty(); ++n) {
            Place &place = places[n];
            std::vector<PropertySet> sets = n == 0 ? mode_set : std::vector<PropertySet>{};
            for (const PropertySet &s : cursor_at(place.x, place.y))
                sets.push_back(s);
            std::string why = own_card_commit(own, sets, n == 0, 0);
            if (!why.empty()) {
                bad = std::string(place.what) + ": " + why;
                break;
            }
            if (n == 0) {
                // The client follows the display once the mode is up.
                ev = start_following(&sock, &bad);
                if (!ev)
                    break;
            }
            // The records of the next few blanks after the commit tell the
            // committed state; the events of earlier blanks that waited in
            // the connection while the last place was composed count for
            // nothing (an emulated guest composes slowly).
            const uint64_t committed_ns = now_ns(CLOCK_MONOTONIC);
            for (int blanks = 0; blanks < 4 && bad.empty();) {
                framelink::EventMessage m;
                if (framelink::read_event(ev.get(), 3000, &m) != 0) {
                    bad = std::string("event stream: ") + strerror(errno);
                    break;
                }
                if (m.type == UDS_EVENT_VBLANK && m.vblank.vblank_time_ns > committed_ns)
                    ++blanks;
                else if (m.type == UDS_EVENT_BUFFER_NEW && !m.fds.empty()) {
                    primaries.add(m.record.buffer_id, std::move(m.fds[0]), m.frame);
                    primary_id = m.record.buffer_id;
                } else if (m.type == UDS_EVENT_BUFFER_SHOWN)
                    primary_id = m.record.buffer_id;
                else if (m.type == UDS_EVENT_CURSOR_NEW && !m.fds.empty()) {
                    images.add(m.cursor.buffer_id, std::move(m.fds[0]), m.frame);
                    state = m.cursor;
                } else if (m.type == UDS_EVENT_CURSOR_STATE || m.type == UDS_EVENT_NO_CURSOR)
                    state = m.cursor;
            }
            if (!bad.empty())
                break;

            const HeldImages::Image *shown = primaries.show(primary_id);
            const HeldImages::Image *img = state.visible ? images.show(state.buffer_id) : nullptr;
            if (!shown || !img) {
                bad = std::string(place.what) + ": the client holds " + (shown ? "" : "no primary buffer ") +
                      (img ? "" : "no shown cursor image");
                break;
            }
            std::vector<uint32_t> under = read_argb(shown->fd.get(), shown->frame, error);
            std::vector<uint32_t> argb = read_argb(img->fd.get(), img->frame, error);
            if (under.size() != size_t(kWidth) * kHeight || argb.empty()) {
                bad = std::string(place.what) + ": " + error;
                break;
            }
            std::vector<const uint32_t *> rows(kHeight);
            for (uint32_t y = 0; y < kHeight; ++y)
                rows[y] = &under[size_t(y) * kWidth];
            int x0, y0, x1, y1;
            region(place, &x0, &y0, &x1, &y1);
            to_420(rows.data(), x0, y0, x1, y1, &place.composite);
            CursorYuv yuv;
            cursor_yuv_from_argb(argb.data(), img->frame.width, img->frame.height, &yuv);
            cursor_yuv_blend_i420(yuv, state.x, state.y, state.crtc_width, state.crtc_height, place.composite.y.data(),
                                  kWidth, place.composite.u.data(), place.composite.v.data(), kWidth / 2,
                                  int32_t(kWidth), int32_t(kHeight));
            place.told = state;
        }
    }

    // The kernel composes each place with the writeback connector alone on
    // the CRTC.
    for (size_t n = 0; n < sizeof places / sizeof places[0] && bad.empty(); ++n) {
        const Place &place = places[n];
        std::vector<PropertySet> sets = cursor_at(place.x, place.y);
        if (n == 0)
            for (const PropertySet &s : writeback_sets(own))
                sets.push_back(s);
        std::string why = own_card_commit(own, sets, n == 0, out.fb);
        if (!why.empty()) {
            bad = std::string("writeback ") + place.what + ": " + why;
            break;
        }
        int x0, y0, x1, y1;
        region(place, &x0, &y0, &x1, &y1);
        std::vector<const uint32_t *> rows(kHeight);
        for (uint32_t y = 0; y < kHeight; ++y)
            rows[y] = out.row(y);
        Picture420 kernel;
        to_420(rows.data(), x0, y0, x1, y1, &kernel);
        int worst_y = 0, worst_c = 0, drawn = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) {
                const size_t i = size_t(y) * kWidth + size_t(x);
                worst_y = std::max(worst_y, std::abs(int(place.composite.y[i]) - int(kernel.y[i])));
                // The kernel drew the cursor here: its picture differs from the bars.
                drawn += (out.row(y)[x] & 0xFFFFFF) != (bars.row(y)[x] & 0xFFFFFF);
            }
        for (int cy = y0 / 2; cy < y1 / 2; ++cy)
            for (int cx = x0 / 2; cx < x1 / 2; ++cx) {
                const size_t i = size_t(cy) * (kWidth / 2) + size_t(cx);
                worst_c = std::max({worst_c, std::abs(int(place.composite.u[i]) - int(kernel.u[i])),
                                    std::abs(int(place.composite.v[i]) - int(kernel.v[i]))});
            }
        char b[256];
        snprintf(b, sizeof b,
                 "%s%s (%d,%d) told as (%d,%d) %ux%u: %d pixels drawn by the kernel, worst luma %d, chroma %d",
                 detail.empty() ? "" : "; ", place.what, place.x, place.y, place.told.x, place.told.y,
                 place.told.crtc_width, place.told.crtc_height, drawn, worst_y, worst_c);
        detail += b;
        if (place.told.x != place.x || place.told.y != place.y || worst_y > 3 || worst_c > 3 || drawn < 100)
            bad = "the composites differ";
    }
    report(name, bad.empty(), "%s; %.1f s %s", detail.c_str(), now_s(CLOCK_MONOTONIC) - start, bad.c_str());
}

// ---- every plane ----------------------------------------------------------

// Where pictures of a failed comparison are kept; the guest's /init sends
// them to the host, which writes them beside the serial log.
constexpr const char *kPictureDir = "/tmp/pictures";

// BT.709 luma of a 0xXXRRGGBB pixel, 0 to 255.
double luma709(uint32_t p)
{
    return 0.2126 * double((p >> 16) & 0xFF) + 0.7152 * double((p >> 8) & 0xFF) + 0.0722 * double(p & 0xFF);
}

// Writes a 0xXXRRGGBB picture (tight rows) as a binary PPM into kPictureDir;
// the path, or empty when it could not.
std::string save_ppm(const char *name, const std::vector<uint32_t> &pixels)
{
    mkdir(kPictureDir, 0755);
    const std::string path = std::string(kPictureDir) + "/" + name;
    std::unique_ptr<FILE, int (*)(FILE *)> f(fopen(path.c_str(), "wb"), fclose);
    if (!f)
        return "";
    fprintf(f.get(), "P6\n%u %u\n255\n", kWidth, kHeight);
    std::vector<uint8_t> row(size_t(kWidth) * 3);
    for (uint32_t y = 0; y < kHeight; ++y) {
        for (uint32_t x = 0; x < kWidth; ++x) {
            const uint32_t p = pixels[size_t(y) * kWidth + x];
            row[3 * x] = uint8_t(p >> 16), row[3 * x + 1] = uint8_t(p >> 8), row[3 * x + 2] = uint8_t(p);
        }
        if (fwrite(row.data(), 1, row.size(), f.get()) != row.size())
            return "";
    }
    return fflush(f.get()) == 0 ? path : "";
}

// Compares a composed picture with the kernel's by BT.709 luma over the
// whole frame: at most 2 steps apart everywhere. The detail names the worst
// pixel, its place and both values; on a failure both pictures are saved
// (as what-capture.ppm and what-kernel.ppm).
bool luma_matches(const char *what, const std::vector<uint32_t> &composed, const std::vector<uint32_t> &kernel,
                  std::string *detail)
{
    double worst = -1;
    size_t at = 0, over = 0;
    for (size_t i = 0; i < composed.size(); ++i) {
        const double d = std::fabs(luma709(composed[i]) - luma709(kernel[i]));
        over += d > 2.0;
        if (d > worst)
            worst = d, at = i;
    }
    char b[320];
    if (worst == 0)
        snprintf(b, sizeof b, "%s: the same luma at every pixel", what);
    else
        snprintf(b, sizeof b,
                 "%s: worst luma difference %.1f at (%zu,%zu), composed %06x (luma %.1f), kernel %06x (luma %.1f), "
                 "%zu pixels over 2",
                 what, worst, at % kWidth, at / kWidth, composed[at] & 0xFFFFFF, luma709(composed[at]),
                 kernel[at] & 0xFFFFFF, luma709(kernel[at]), over);
    *detail = b;
    if (over == 0)
        return true;
    const std::string mine = save_ppm((std::string(what) + "-capture.ppm").c_str(), composed);
    const std::string theirs = save_ppm((std::string(what) + "-kernel.ppm").c_str(), kernel);
    // The host writes them beside the serial log under the same names.
    *detail += mine.empty() || theirs.empty() ? "; the pictures could not be saved"
                                              : "; pictures kept as " + mine.substr(mine.rfind('/') + 1) + " and " +
                                                    theirs.substr(theirs.rfind('/') + 1);
    return false;
}

// The layers of a CRTC as the composer takes them: every plane that shows
// something, bottom first by zpos (then plane id), the cursor on top.
void order_layers(std::vector<ComposeLayer> *layers)
{
    std::stable_sort(layers->begin(), layers->end(), [](const ComposeLayer &a, const ComposeLayer &b) {
        const bool ca = a.plane.kind == UDS_PLANE_KIND_CURSOR, cb = b.plane.kind == UDS_PLANE_KIND_CURSOR;
        if (ca != cb)
            return cb;
        return a.plane.zpos != b.plane.zpos ? a.plane.zpos < b.plane.zpos : a.plane.plane_id < b.plane.plane_id;
    });
}

// The processor's composition of the layers at the 1024x768 CRTC, unturned;
// empty, with the reason, when it refused a layer.
std::vector<uint32_t> compose(std::vector<ComposeLayer> layers, std::string *why)
{
    order_layers(&layers);
    std::vector<uint32_t> picture(size_t(kWidth) * kHeight);
    if (plane_compose_xrgb(layers.data(), uint32_t(layers.size()), kWidth, kHeight, 0,
                           reinterpret_cast<uint8_t *>(picture.data()), kWidth * 4) != 0) {
        *why = "the composer refused a layer (its message is in the client's log)";
        return {};
    }
    return picture;
}

// What a client that follows every plane holds: the CRTC's record, each
// plane's last record and the buffers of the three sets, mapped.
struct PlanesFollower {
    CrtcRecord crtc{};
    std::map<uint32_t, PlaneRecord> planes;  // by plane id
    HeldImages primaries, cursors, overlays;
    PlanesFollower() { overlays.capacity = UDS_OVERLAY_MAX_BUFFERS; }

    // Takes one message in. The reader has refused a NEW record whose
    // descriptors do not match its description.
    void take(framelink::EventMessage &m)
    {
        UniqueFD first = m.fds.empty() ? UniqueFD() : std::move(m.fds[0]);
        switch (m.type) {
        case UDS_EVENT_BUFFER_NEW: primaries.add(m.record.buffer_id, std::move(first), m.frame); break;
        case UDS_EVENT_BUFFER_SHOWN: primaries.show(m.record.buffer_id); break;
        case UDS_EVENT_CURSOR_NEW: cursors.add(m.cursor.buffer_id, std::move(first), m.frame); break;
        case UDS_EVENT_CURSOR_STATE:
            if (m.cursor.visible)
                cursors.show(m.cursor.buffer_id);
            break;
        case UDS_EVENT_CRTC_STATE: crtc = m.crtc; break;
        case UDS_EVENT_PLANE_NEW:
            overlays.add(m.plane.buffer_id, std::move(first), m.frame);
            planes[m.plane.plane_id] = m.plane;
            break;
        case UDS_EVENT_PLANE_STATE:
            if (m.plane.buffer_id && m.plane.kind == UDS_PLANE_KIND_OVERLAY)
                overlays.show(m.plane.buffer_id);
            planes[m.plane.plane_id] = m.plane;
            break;
        default: break;
        }
    }

    // The buffer a plane record names, in the set of its kind.
    const HeldImages::Image *buffer_of(const PlaneRecord &plane) const
    {
        const HeldImages &set = plane.kind == UDS_PLANE_KIND_PRIMARY  ? primaries
                                : plane.kind == UDS_PLANE_KIND_CURSOR ? cursors
                                                                      : overlays;
        return set.find(plane.buffer_id);
    }
};

// A mapped dma-buf, read between the processor's sync brackets.
struct SyncedMapping {
    Mapping map;
    int fd = -1;
    ~SyncedMapping()
    {
        if (map.addr != MAP_FAILED) {
            dma_buf_sync sync{DMA_BUF_SYNC_END | DMA_BUF_SYNC_READ};
            ioctl(fd, DMA_BUF_IOCTL_SYNC, &sync);
        }
    }
};

// One plane as a client set it: its state as a plane record and its buffer.
struct SetPlane {
    PlaneRecord want;
    const DumbBuffer *buffer;
};

// A plane record of what a client sets: a source rectangle of whole pixels
// shown unscaled, unturned, opaque as a plane, premultiplied.
PlaneRecord set_record(uint32_t plane, uint32_t kind, uint32_t zpos, uint32_t format, const DumbBuffer &buffer,
                       uint32_t w, uint32_t h, uint32_t sx, uint32_t sy, uint32_t sw, uint32_t sh, int32_t x, int32_t y)
{
    PlaneRecord r{};
    r.buffer_id = 1, r.fb_id = buffer.fb, r.plane_id = plane, r.kind = kind, r.zpos = zpos, r.format = format;
    r.width = w, r.height = h, r.src_x = sx << 16, r.src_y = sy << 16, r.src_w = sw << 16, r.src_h = sh << 16;
    r.crtc_x = x, r.crtc_y = y, r.crtc_w = sw, r.crtc_h = sh;
    r.rotation = UDS_ROTATE_0, r.alpha = 0xFFFF, r.blend = UDS_BLEND_PREMULTI;
    return r;
}

// The composition of what a following client was told of the planes set,
// from the buffers it holds. Empty, with the first reason in *bad, when the
// records differ from what was set or a buffer cannot be read; *told says
// what the records say.
std::vector<uint32_t> compose_told(const PlanesFollower &follower, uint32_t crtc_id, const std::vector<SetPlane> &set,
                                   std::string *told, std::string *bad)
{
    char b[256];
    snprintf(b, sizeof b, "told: CRTC %u %ux%u orientation %u, %u planes", follower.crtc.crtc_id, follower.crtc.width,
             follower.crtc.height, follower.crtc.orientation, follower.crtc.plane_count);
    *told = b;
    auto fail = [&](const std::string &why) {
        if (bad->empty())
            *bad = why;
    };
    if (follower.crtc.crtc_id != crtc_id || follower.crtc.width != kWidth || follower.crtc.height != kHeight ||
        follower.crtc.orientation != UDS_ORIENTATION_NORMAL)
        fail("the CRTC record differs from the mode set");
    std::vector<ComposeLayer> layers;
    std::vector<std::unique_ptr<SyncedMapping>> maps;
    for (const SetPlane &plane : set) {
        const PlaneRecord &want = plane.want;
        auto it = follower.planes.find(want.plane_id);
        if (it == follower.planes.end()) {
            *told += "; plane " + std::to_string(want.plane_id) + " untold";
            fail("a plane was not told");
            continue;
        }
        const PlaneRecord &p = it->second;
        snprintf(b, sizeof b, "; plane %u kind %u %.4s %ux%u src %u,%u+%ux%u at %d,%d+%ux%u zpos %u", p.plane_id,
                 p.kind, reinterpret_cast<const char *>(&p.format), p.width, p.height, p.src_x >> 16, p.src_y >> 16,
                 p.src_w >> 16, p.src_h >> 16, p.crtc_x, p.crtc_y, p.crtc_w, p.crtc_h, p.zpos);
        *told += b;
        if (p.kind != want.kind || p.format != want.format || p.width != want.width || p.height != want.height ||
            p.src_x != want.src_x || p.src_y != want.src_y || p.src_w != want.src_w || p.src_h != want.src_h ||
            p.crtc_x != want.crtc_x || p.crtc_y != want.crtc_y || p.crtc_w != want.crtc_w || p.crtc_h != want.crtc_h ||
            !p.buffer_id || p.fb_id != want.fb_id) {
            fail("plane " + std::to_string(p.plane_id) + "'s record differs from the state set");
            continue;
        }
        const HeldImages::Image *image = follower.buffer_of(p);
        if (!image) {
            fail("plane " + std::to_string(p.plane_id) + " names a buffer the client lacks");
            continue;
        }
        auto map = std::make_unique<SyncedMapping>();
        std::string error;
        const size_t need = size_t(image->frame.offset) + size_t(image->frame.stride) * image->frame.height;
        if (!map_buffer(image->fd.get(), need, map->map, error)) {
            fail("plane " + std::to_string(p.plane_id) + ": " + error);
            continue;
        }
        map->fd = image->fd.get();
        dma_buf_sync sync{DMA_BUF_SYNC_START | DMA_BUF_SYNC_READ};
        ioctl(map->fd, DMA_BUF_IOCTL_SYNC, &sync);
        layers.push_back(ComposeLayer{
            p, {static_cast<const uint8_t *>(map->map.addr) + image->frame.offset, nullptr}, {image->frame.stride, 0}});
        maps.push_back(std::move(map));
    }
    return bad->empty() ? compose(layers, bad) : std::vector<uint32_t>();
}

// vkms composes the primary plane, two overlays and the cursor into its
// writeback connector's buffer; the capture program's composer must draw
// the same picture from what a client that sent FOLLOW_PLANES is told.
// As the card's master, this client shows its own picture: a gradient with
// a checker on the primary plane (XR24); on the first overlay (AR24,
// premultiplied, at (300,200), a 320x240 source rectangle from (24,12) of a
// 400x300 buffer whose outside is magenta) an opaque gradient, a block of
// alpha 0x80, a clear block and a ramp of alpha from clear to opaque; on
// the second, above it (vkms 6.1 has no zpos property: the card's order),
// a checker of alpha 0xC0 and 0x40 from (560,400) across the right edge;
// and the cursor's four quadrants over both. Then, followed as a change,
// the first overlay moves and shows another source rectangle (with some of
// the magenta), the second flips to a buffer of opaque and clear stripes
// across the left edge and the cursor moves. For each, the records of the
// next blanks must tell the state set, and the composition of the records
// and their buffers must match the kernel's within 2 steps of luma over
// the whole frame. The composition of the state the client set itself,
// from its own buffers, is held to the same bound: when only the records'
// one differs, the helper told something else than what was shown.
void check_planes_writeback(const std::string &connector_name)
{
    const char *name = "planes-writeback";
    OwnCard own;
    if (!own_card_open(name, connector_name, &own))
        return;
    if (!own.overlays[1]) {
        report_skip(name, "vkms lists fewer than two overlay planes (module parameter enable_overlay)");
        return;
    }
    const double start = now_s(CLOCK_MONOTONIC);
    constexpr uint32_t kXR24 = 0x34325258, kAR24 = 0x34325241;
    std::string error;
    DumbBuffer base, panel, band, stripes, pointer, out;
    const int card = own.card.get();
    if (!base.create(card, kWidth, kHeight, kXR24, error) || !panel.create(card, 400, 300, kAR24, error) ||
        !band.create(card, 500, 120, kAR24, error) || !stripes.create(card, 300, 200, kAR24, error) ||
        !pointer.create(card, 64, 64, kAR24, error) || !out.create(card, kWidth, kHeight, kXR24, error)) {
        report(name, false, "%s", error.c_str());
        return;
    }
    for (uint32_t y = 0; y < kHeight; ++y)
        for (uint32_t x = 0; x < kWidth; ++x)
            base.row(y)[x] = 0xFF000000u | (x * 255 / (kWidth - 1)) << 16 | (y * 255 / (kHeight - 1)) << 8 |
                             (((x / 32 + y / 32) & 1) ? 0xC0u : 0x30u);
    for (uint32_t y = 0; y < 300; ++y)
        for (uint32_t x = 0; x < 400; ++x) {
            const int32_t sx = int32_t(x) - 24, sy = int32_t(y) - 12;
            uint32_t p;
            if (sx < 0 || sy < 0 || sx >= 320 || sy >= 240)
                p = 0xFFFF00FFu;  // outside the first source rectangle
            else if (sy < 80)
                p = 0xFF000040u | uint32_t(sx * 255 / 319) << 16 | uint32_t(sy * 3) << 8;
            else if (sy < 160)
                p = sx < 160 ? 0x80604020u : 0u;
            else {
                const uint32_t a = uint32_t(sx) * 255 / 319;
                p = a << 24 | (a * 0xE0 / 255) << 16 | (a * 0xE0 / 255) << 8 | a * 0x20 / 255;
            }
            panel.row(y)[x] = p;
        }
    for (uint32_t y = 0; y < 120; ++y)
        for (uint32_t x = 0; x < 500; ++x)
            band.row(y)[x] = ((x / 16 + y / 16) & 1) ? 0xC0183090u : 0x40081020u;
    for (uint32_t y = 0; y < 200; ++y)
        for (uint32_t x = 0; x < 300; ++x)
            stripes.row(y)[x] = (x / 10) & 1 ? 0u : 0xFF20A0E0u;
    for (uint32_t y = 0; y < 64; ++y)
        for (uint32_t x = 0; x < 64; ++x)
            pointer.row(y)[x] = y < 32 ? (x < 32 ? 0xFFE01010u : 0x80008000u) : (x < 32 ? 0u : 0xC0C0C0C0u);

    const uint32_t primary = own.primary, first = own.overlays[0], second = own.overlays[1], cursor = own.cursor;
    constexpr uint32_t P = UDS_PLANE_KIND_PRIMARY, O = UDS_PLANE_KIND_OVERLAY, C = UDS_PLANE_KIND_CURSOR;
    struct State {
        const char *what;
        std::vector<SetPlane> planes;
        std::string told, bad;
        std::vector<uint32_t> from_records, from_state;
    };
    State states[] = {{"first",
                       {{set_record(primary, P, 0, kXR24, base, kWidth, kHeight, 0, 0, kWidth, kHeight, 0, 0), &base},
                        {set_record(first, O, 1, kAR24, panel, 400, 300, 24, 12, 320, 240, 300, 200), &panel},
                        {set_record(second, O, 2, kAR24, band, 500, 120, 0, 0, 500, 120, 560, 400), &band},
                        {set_record(cursor, C, 3, kAR24, pointer, 64, 64, 0, 0, 64, 64, 590, 410), &pointer}},
                       "",
                       "",
                       {},
                       {}},
                      {"changed",
                       {{set_record(primary, P, 0, kXR24, base, kWidth, kHeight, 0, 0, kWidth, kHeight, 0, 0), &base},
                        {set_record(first, O, 1, kAR24, panel, 400, 300, 60, 40, 320, 240, 100, 480), &panel},
                        {set_record(second, O, 2, kAR24, stripes, 300, 200, 0, 0, 300, 200, -100, 100), &stripes},
                        {set_record(cursor, C, 3, kAR24, pointer, 64, 64, 0, 0, 64, 64, 150, 500), &pointer}},
                       "",
                       "",
                       {},
                       {}}};
    // The commit of a state's overlays and cursor.
    auto plane_commit = [&](const State &state) {
        std::vector<PropertySet> sets;
        for (const SetPlane &plane : state.planes) {
            const PlaneRecord &w = plane.want;
            if (w.kind != P)
                for (const PropertySet &p : plane_sets(w.plane_id, own.crtc_id, plane.buffer->fb, w.src_x >> 16,
                                                       w.src_y >> 16, w.crtc_x, w.crtc_y, w.crtc_w, w.crtc_h))
                    sets.push_back(p);
        }
        return sets;
    };

    // On the display connector, followed by a client that sent
    // FOLLOW_PLANES once the first state is up: the records of the next few
    // blanks after each commit tell the committed state.
    std::string bad;
    {
        PlanesFollower follower;
        UniqueFD sock, ev;
        for (size_t n = 0; n < 2 && bad.empty(); ++n) {
            State &state = states[n];
            std::vector<PropertySet> sets = n == 0 ? display_sets(own, base.fb) : std::vector<PropertySet>();
            for (const PropertySet &p : plane_commit(state))
                sets.push_back(p);
            bad = own_card_commit(own, sets, n == 0, 0);
            if (!bad.empty()) {
                bad = std::string("showing the ") + state.what + " planes: " + bad;
                break;
            }
            const uint64_t committed_ns = now_ns(CLOCK_MONOTONIC);
            if (n == 0)
                ev = start_following(&sock, &state.bad, "", UDS_FOLLOW_PLANES_COMMAND);
            for (int blanks = 0; ev && blanks < 3 && state.bad.empty();) {
                framelink::EventMessage m;
                if (framelink::read_event(ev.get(), 3000, &m) != 0)
                    state.bad = std::string("event stream: ") + strerror(errno);
                else if (m.type == UDS_EVENT_VBLANK)
                    blanks += m.vblank.vblank_time_ns > committed_ns;
                else
                    follower.take(m);
            }
            if (state.bad.empty())
                state.from_records = compose_told(follower, own.crtc_id, state.planes, &state.told, &state.bad);
            // The same state from the client's own buffers.
            std::vector<ComposeLayer> layers;
            for (const SetPlane &plane : state.planes)
                layers.push_back(ComposeLayer{
                    plane.want, {static_cast<const uint8_t *>(plane.buffer->map), nullptr}, {plane.buffer->pitch, 0}});
            std::string why;
            state.from_state = compose(layers, &why);
        }
    }

    // The kernel's composition of each state, with the writeback connector
    // alone on the CRTC.
    std::string set_detail, told_detail;
    bool set_ok = bad.empty(), told_ok = bad.empty();
    std::vector<uint32_t> kernel(size_t(kWidth) * kHeight);
    for (size_t n = 0; n < 2 && bad.empty(); ++n) {
        State &state = states[n];
        std::vector<PropertySet> sets = plane_commit(state);
        if (n == 0)
            for (const PropertySet &p : writeback_sets(own))
                sets.push_back(p);
        bad = own_card_commit(own, sets, n == 0, out.fb);
        if (!bad.empty()) {
            bad = std::string("the writeback of the ") + state.what + " planes: " + bad;
            set_ok = told_ok = false;
            break;
        }
        for (uint32_t y = 0; y < kHeight; ++y)
            memcpy(&kernel[size_t(y) * kWidth], out.row(y), size_t(kWidth) * 4);

        // The kernel drew the overlays and the cursor: its picture differs
        // from the primary plane's over most of what of them is on the CRTC.
        std::string drew = std::string(state.what) + " planes: the kernel drew";
        bool drawn = true;
        for (const SetPlane &plane : state.planes) {
            const PlaneRecord &w = plane.want;
            if (w.kind == P)
                continue;
            const int32_t x0 = std::max(0, w.crtc_x), x1 = std::min(int32_t(kWidth), w.crtc_x + int32_t(w.crtc_w));
            const int32_t y0 = std::max(0, w.crtc_y), y1 = std::min(int32_t(kHeight), w.crtc_y + int32_t(w.crtc_h));
            int32_t count = 0;
            for (int32_t y = y0; y < y1; ++y)
                for (int32_t x = x0; x < x1; ++x)
                    count += ((kernel[size_t(y) * kWidth + size_t(x)] ^ base.row(uint32_t(y))[x]) & 0xFFFFFF) != 0;
            drew += std::string(w.kind == C ? " " : " plane ") + std::to_string(w.plane_id) + ": " +
                    std::to_string(count) + " of " + std::to_string((x1 - x0) * (y1 - y0)) + ",";
            drawn = drawn && count * 4 >= (x1 - x0) * (y1 - y0);
        }
        const std::string picture = std::string("planes-") + state.what;
        std::string detail = "the composer refused the state";
        const bool matches = drawn && !state.from_state.empty() &&
                             luma_matches((picture + "-set").c_str(), state.from_state, kernel, &detail);
        set_detail += (set_detail.empty() ? "" : "; ") + drew + " " + detail;
        set_ok = set_ok && matches;
        detail = state.bad;
        const bool told_matches = drawn && state.bad.empty() &&
                                  luma_matches((picture + "-records").c_str(), state.from_records, kernel, &detail);
        told_detail +=
            (told_detail.empty() ? "" : "; ") + std::string(state.what) + " planes: " + detail + "; " + state.told;
        told_ok = told_ok && told_matches;
    }
    report("planes-writeback-set", set_ok, "the state the client set, composed by the processor: %s%s", bad.c_str(),
           set_detail.c_str());
    report(name, told_ok, "%s%s; %.1f s", bad.c_str(), told_detail.c_str(), now_s(CLOCK_MONOTONIC) - start);
}

// ---- the stream -----------------------------------------------------------

// What the display showed at one blank, as a following client's records
// tell it.
struct Shown {
    uint64_t sequence = 0;
    uint64_t time_ms = 0;  // the helper's wall clock when it forwarded the blank
    uint64_t buffer = 0;   // the primary plane's buffer (the helper's name), 0 while dark
    bool cursor = false;   // the cursor is shown
    uint64_t image = 0;    // its image
    int32_t x = 0, y = 0;
    uint32_t shown_width = 0, shown_height = 0;
};

// A following client's account of the display while the capture program
// streams it: each buffer's and cursor image's pixels as the kernel holds
// them (read through the mapping of the exported buffer), and what was on
// screen at every blank.
struct DisplayLog {
    int ev = -1;
    std::map<uint64_t, std::vector<uint32_t>> buffers;  // 0xXXRRGGBB rows, by buffer
    std::map<uint64_t, CursorYuv> images;
    std::vector<Shown> blanks;
    Shown now;
    std::string bad;
};

// Reads the event connection for ms milliseconds into the log.
void follow_display(DisplayLog &log, int ms)
{
    const double end = now_s(CLOCK_MONOTONIC) + ms / 1000.0;
    while (log.bad.empty()) {
        const int left = int((end - now_s(CLOCK_MONOTONIC)) * 1000);
        if (left <= 0)
            return;
        framelink::EventMessage m;
        const int rc = framelink::read_event(log.ev, left, &m);
        if (rc < 0 && errno == ETIMEDOUT)
            return;
        if (rc != 0) {
            log.bad = std::string("event stream: ") + (rc > 0 ? "ended" : strerror(errno));
            return;
        }
        std::string error;
        switch (m.type) {
        case UDS_EVENT_VBLANK:
            log.now.sequence = m.vblank.sequence;
            log.now.time_ms = m.vblank.server_time_ns / 1000000;
            log.blanks.push_back(log.now);
            break;
        case UDS_EVENT_BUFFER_NEW:
            if (m.frame.width != kWidth || m.frame.height != kHeight || m.fds.size() != 1) {
                log.bad = "a new buffer of " + std::to_string(m.frame.width) + "x" + std::to_string(m.frame.height);
                break;
            }
            log.buffers[m.record.buffer_id] = read_argb(m.fds[0].get(), m.frame, error);
            if (log.buffers[m.record.buffer_id].empty())
                log.bad = "buffer " + std::to_string(m.record.buffer_id) + ": " + error;
            log.now.buffer = m.record.buffer_id;
            break;
        case UDS_EVENT_BUFFER_SHOWN:
            log.now.buffer = m.record.buffer_id;
            break;
        case UDS_EVENT_DARK:
            log.now.buffer = 0;
            break;
        case UDS_EVENT_CURSOR_NEW: {
            std::vector<uint32_t> argb = m.fds.size() == 1 ? read_argb(m.fds[0].get(), m.frame, error) : std::vector<uint32_t>();
            if (argb.empty()) {
                log.bad = "cursor image " + std::to_string(m.cursor.buffer_id) + ": " + error;
                break;
            }
            cursor_yuv_from_argb(argb.data(), m.frame.width, m.frame.height, &log.images[m.cursor.buffer_id]);
        }
            [[fallthrough]];
        case UDS_EVENT_CURSOR_STATE:
        case UDS_EVENT_NO_CURSOR:
            log.now.cursor = m.cursor.visible != 0;
            log.now.image = m.cursor.buffer_id;
            log.now.x = m.cursor.x, log.now.y = m.cursor.y;
            log.now.shown_width = m.cursor.crtc_width, log.now.shown_height = m.cursor.crtc_height;
            break;
        default:
            break;
        }
    }
}

std::string file_text(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The last lines of a log on one line, " | " between them.
std::string log_tail(const std::string &path, int lines)
{
    std::vector<std::string> all;
    std::istringstream in(file_text(path));
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            all.push_back(line);
    std::string out;
    for (size_t i = all.size() > size_t(lines) ? all.size() - size_t(lines) : 0; i < all.size(); ++i)
        out += (out.empty() ? "" : " | ") + all[i];
    return out.empty() ? "(empty log)" : out;
}

// Follows the display until text shows in a process's log (true), the
// process ends or ms have passed (false).
bool await_log(DisplayLog &log, const Child &child, const std::string &path, const char *text, int ms)
{
    for (int waited = 0; waited < ms; waited += 100) {
        if (file_text(path).find(text) != std::string::npos)
            return true;
        if (!alive(child.pid))
            return file_text(path).find(text) != std::string::npos;
        follow_display(log, 100);
    }
    return false;
}

// Signals a process and follows the display until it has ended, killing
// it after ms.
void end_following(DisplayLog &log, Child &child, int signal_number, int ms)
{
    if (child.pid <= 0)
        return;
    kill(child.pid, signal_number);
    for (int waited = 0; waited < ms && alive(child.pid); waited += 100)
        follow_display(log, 100);
    stop_child(child);
}

// One run of the capture program against the relay, recording the stream.
struct StreamRun {
    std::string mode, recording, capture_log, relay_log;
    std::string why;  // empty when the stream came
};

constexpr int kStreamMs = 8000;

StreamRun run_capture(DisplayLog &log, const std::string &mode, const std::string &capture_path,
                      const std::string &relay_path)
{
    StreamRun run;
    run.mode = mode;
    run.recording = "/tmp/stream-" + mode + ".mkv";
    run.capture_log = "/tmp/capture-" + mode + ".log";
    run.relay_log = "/tmp/relay-" + mode + ".log";
    unlink(run.recording.c_str());
    Child relay = spawn({relay_path, "--query-config", "--udp-port", "0", "--record", run.recording},
                        run.relay_log.c_str(), false);
    if (!await_log(log, relay, run.relay_log, "ready=1", 15000)) {
        run.why = "the relay did not come up: " + log_tail(run.relay_log, 5);
        stop_child(relay);
        return run;
    }
    Child capture = spawn({capture_path, "-c", kCard, "-p", "virtual-1", "-m", mode}, run.capture_log.c_str(), false);
    // The relay names the stream at its first datagram.
    if (await_log(log, capture, run.relay_log, "SSRC", 30000))
        follow_display(log, kStreamMs);
    else
        run.why = std::string(alive(capture.pid) ? "no datagram reached the relay within 30 s"
                                                 : "capture ended before streaming") +
                  "; capture's last lines: " + log_tail(run.capture_log, 12);
    // Its worker ends on SIGTERM, and then the supervisor.
    for (pid_t worker : e2e_children(capture.pid))
        kill(worker, SIGTERM);
    end_following(log, capture, 0, 10000);
    follow_display(log, 300);
    end_following(log, relay, SIGTERM, 5000);
    return run;
}

// The watermark's cells, left out of every comparison: the one part of the
// picture that is the capture program's and not the display's.
constexpr int kMarkX0 = WATERMARK_ORIGIN_X & ~1, kMarkY0 = WATERMARK_ORIGIN_Y & ~1;
constexpr int kMarkX1 = (WATERMARK_ORIGIN_X + 12 * WATERMARK_PEN_STEP + 8 * WATERMARK_SCALE + 1) & ~1;
constexpr int kMarkY1 = (WATERMARK_ORIGIN_Y + 8 * WATERMARK_SCALE + 1) & ~1;

bool in_mark(int x, int y)
{
    return x >= kMarkX0 && x < kMarkX1 && y >= kMarkY0 && y < kMarkY1;
}

double psnr(uint64_t squared, uint64_t samples)
{
    if (samples == 0)
        return 0;
    if (squared == 0)
        return 99.0;
    return 10.0 * std::log10(255.0 * 255.0 * double(samples) / double(squared));
}

// Luma of what a blank showed at one pixel: the buffer's, under the
// cursor's image as the processor blends it.
int shown_luma(const Picture420 &base, const CursorYuv *image, const Shown &s, int x, int y)
{
    const int under = base.y[size_t(y) * kWidth + size_t(x)];
    if (!image)
        return under;
    const int64_t cx = int64_t(x) - s.x, cy = int64_t(y) - s.y;
    if (cx < 0 || cy < 0 || cx >= std::min<int64_t>(image->width, s.shown_width) ||
        cy >= std::min<int64_t>(image->height, s.shown_height))
        return under;
    const size_t i = size_t(cy) * image->width + size_t(cx);
    return std::clamp<int64_t>((image->y[i] + (255 - image->a[i]) * int64_t(under) * 256 / 255 + 128) >> 8, 0, 255);
}

// How a decoded picture compares with the blank it was matched to.
struct FrameMatch {
    uint64_t stamp_ms = 0;
    const Shown *shown = nullptr;  // null: no blank fits
    double psnr = 0;               // luma and chroma, the watermark left out
    double margin = 0;             // over the best blank showing another buffer (sampled luma)
    int cursor_from = 0;           // blanks from it to the one whose cursor record fits the picture
    bool cursor_on_screen = false;
    double cursor_psnr = 0, bare_psnr = 0;  // luma over the cursor's rectangle, with and without it
    int32_t cursor_x = 0, cursor_y = 0;
    int shift_x = 0, shift_y = 0;  // a cursor that does not fit: where it fits best
    double shift_psnr = 0;
    int cursor_motion = 0;  // the most the records move it between two blanks around the picture's
    int covered[4] = {0, 0, 0, 0};  // a cursor that does not fit: the rectangle it covers in the picture
};

// Ties each decoded picture to the blank it shows: among the blanks the
// helper forwarded in the 1.2 s before the watermark's time (and after the
// previous picture's blank; under emulation a frame takes hundreds of
// milliseconds to convert and encode), the one whose picture, the buffer on
// screen with the cursor where the records put it, is closest over a grid
// of every fourth row and column. The cursor is then taken from the
// records of that blank or of one at most kCursorBlanks away, whichever
// fits best: each helper reads the cursor plane some time after the blank,
// and modetest moves its cursor between blanks, so the capture program's
// helper and the one that keeps the account may tell a blank's cursor a
// step apart. Then the whole picture is compared with it.
constexpr int kCursorBlanks = 6;

std::vector<FrameMatch> match_frames(const std::vector<E2eFrame> &frames, const DisplayLog &log,
                                     std::map<uint64_t, Picture420> &pictures, int *unreadable)
{
    constexpr uint64_t kWindowMs = 1200;
    std::vector<FrameMatch> out;
    uint64_t previous = 0;
    for (const E2eFrame &f : frames) {
        FrameMatch match;
        if (watermark_read_digits(f.luma.data(), f.width, f.height, f.width, 13, &match.stamp_ms) != 0) {
            ++*unreadable;
            continue;
        }
        // Sampled luma PSNR of the picture against a buffer under a cursor state.
        auto coarse = [&](const Shown &s) {
            Picture420 &base = pictures[s.buffer];
            if (base.y.empty()) {
                const std::vector<uint32_t> &argb = log.buffers.at(s.buffer);
                std::vector<const uint32_t *> rows(kHeight);
                for (uint32_t y = 0; y < kHeight; ++y)
                    rows[y] = &argb[size_t(y) * kWidth];
                to_420(rows.data(), 0, 0, kWidth, kHeight, &base);
            }
            const auto image = log.images.find(s.image);
            const CursorYuv *cursor = s.cursor && image != log.images.end() ? &image->second : nullptr;
            uint64_t squared = 0, samples = 0;
            for (int y = 0; y < int(kHeight); y += 4)
                for (int x = 0; x < int(kWidth); x += 4) {
                    if (in_mark(x, y))
                        continue;
                    const int d = int(f.luma[size_t(y) * kWidth + size_t(x)]) - shown_luma(base, cursor, s, x, y);
                    squared += uint64_t(d * d);
                    ++samples;
                }
            return psnr(squared, samples);
        };
        double best = -1, other_best = -1;
        size_t at = 0;
        for (size_t i = 0; i < log.blanks.size(); ++i) {
            const Shown &s = log.blanks[i];
            if (s.sequence <= previous || s.time_ms > match.stamp_ms + 1 || s.time_ms + kWindowMs < match.stamp_ms ||
                !log.buffers.count(s.buffer))
                continue;
            const double score = coarse(s);
            if (score > best) {
                if (match.shown && match.shown->buffer != s.buffer)
                    other_best = std::max(other_best, best);
                best = score;
                match.shown = &s;
                at = i;
            } else if (match.shown && s.buffer != match.shown->buffer) {
                other_best = std::max(other_best, score);
            }
        }
        if (!match.shown) {
            out.push_back(match);
            continue;
        }
        previous = match.shown->sequence;
        match.margin = other_best < 0 ? 99.0 : best - other_best;
        Shown s = *match.shown;
        double cursor_best = best;
        // The records up to the watermark's time are looked at, to tell a
        // cursor from a later blank than the picture's.
        for (size_t i = at >= size_t(kCursorBlanks) ? at - kCursorBlanks : 0;
             i < log.blanks.size() && (i <= at + kCursorBlanks || log.blanks[i].time_ms <= match.stamp_ms); ++i) {
            Shown t = log.blanks[i];
            t.buffer = match.shown->buffer;
            const double score = i == at ? best : coarse(t);
            if (score > cursor_best) {
                cursor_best = score;
                s = t;
                match.cursor_from = int(i) - int(at);
            }
        }
        Picture420 expected = pictures[s.buffer];
        const auto image = log.images.find(s.image);
        const bool drawn = s.cursor && image != log.images.end();
        if (drawn)
            cursor_yuv_blend_i420(image->second, s.x, s.y, s.shown_width, s.shown_height, expected.y.data(), kWidth,
                                  expected.u.data(), expected.v.data(), kWidth / 2, int32_t(kWidth), int32_t(kHeight));
        uint64_t squared = 0, samples = 0, cursor_squared = 0, bare_squared = 0, cursor_samples = 0;
        const int cx0 = std::max(0, s.x), cy0 = std::max(0, s.y);
        const int cx1 = drawn ? std::min<int>(kWidth, s.x + int(std::min(image->second.width, s.shown_width))) : 0;
        const int cy1 = drawn ? std::min<int>(kHeight, s.y + int(std::min(image->second.height, s.shown_height))) : 0;
        for (int y = 0; y < int(kHeight); ++y)
            for (int x = 0; x < int(kWidth); ++x) {
                if (in_mark(x, y))
                    continue;
                const size_t i = size_t(y) * kWidth + size_t(x);
                const int d = int(f.luma[i]) - int(expected.y[i]);
                squared += uint64_t(d * d);
                ++samples;
                if (x >= cx0 && x < cx1 && y >= cy0 && y < cy1) {
                    const int bare = int(f.luma[i]) - int(pictures[s.buffer].y[i]);
                    cursor_squared += uint64_t(d * d);
                    bare_squared += uint64_t(bare * bare);
                    ++cursor_samples;
                }
            }
        for (int y = 0; y < int(kHeight / 2); ++y)
            for (int x = 0; x < int(kWidth / 2); ++x) {
                if (in_mark(2 * x, 2 * y))
                    continue;
                const size_t i = size_t(y) * (kWidth / 2) + size_t(x);
                const int du = int(f.u[i]) - int(expected.u[i]), dv = int(f.v[i]) - int(expected.v[i]);
                squared += uint64_t(du * du + dv * dv);
                samples += 2;
            }
        match.psnr = psnr(squared, samples);
        // A cursor with at least a 32x32 corner in the picture counts as shown.
        match.cursor_on_screen = cursor_samples >= 32 * 32;
        match.cursor_psnr = psnr(cursor_squared, cursor_samples);
        match.cursor_x = s.x, match.cursor_y = s.y;
        // Where a cursor that does not fit its records is in the picture:
        // the best shift within 24 pixels, over a grid of its rectangle.
        if (match.cursor_on_screen && match.cursor_psnr < 35.0) {
            // How far the records move the cursor from one blank to the next
            // around the picture's.
            for (size_t i = at > 0 ? at - 1 : 0; i + 1 < log.blanks.size() && i <= at; ++i)
                match.cursor_motion = std::max({match.cursor_motion, std::abs(log.blanks[i + 1].x - log.blanks[i].x),
                                                std::abs(log.blanks[i + 1].y - log.blanks[i].y)});
            double shifted_best = -1;
            for (int dy = -12; dy <= 12; ++dy)
                for (int dx = -12; dx <= 12; ++dx) {
                    Shown t = s;
                    t.x += dx, t.y += dy;
                    uint64_t sq = 0, n = 0;
                    for (int y = cy0; y < cy1; y += 4)
                        for (int x = cx0; x < cx1; x += 4) {
                            if (in_mark(x, y))
                                continue;
                            const int d = int(f.luma[size_t(y) * kWidth + size_t(x)]) -
                                          shown_luma(pictures[s.buffer], &image->second, t, x, y);
                            sq += uint64_t(d * d);
                            ++n;
                        }
                    // A uniform image clipped at an edge fits equally well at
                    // several shifts: the smallest of them counts.
                    const double score = psnr(sq, n);
                    const bool nearer = std::max(std::abs(dx), std::abs(dy)) <
                                        std::max(std::abs(match.shift_x), std::abs(match.shift_y));
                    if (score > shifted_best + 0.01 || (score > shifted_best - 0.01 && nearer))
                        shifted_best = std::max(shifted_best, score), match.shift_x = dx, match.shift_y = dy;
                }
            match.shift_psnr = shifted_best;
            // The rectangle the cursor covers in the picture: where it
            // differs from the bare buffer by more than 16 steps of luma.
            int bx0 = kWidth, by0 = kHeight, bx1 = -1, by1 = -1;
            for (int y = 0; y < int(kHeight); ++y)
                for (int x = 0; x < int(kWidth); ++x) {
                    const size_t i = size_t(y) * kWidth + size_t(x);
                    if (in_mark(x, y) || std::abs(int(f.luma[i]) - int(pictures[s.buffer].y[i])) <= 16)
                        continue;
                    bx0 = std::min(bx0, x), by0 = std::min(by0, y), bx1 = std::max(bx1, x), by1 = std::max(by1, y);
                }
            match.covered[0] = bx0, match.covered[1] = by0, match.covered[2] = bx1, match.covered[3] = by1;
        }
        match.bare_psnr = psnr(bare_squared, cursor_samples);
        out.push_back(match);
    }
    return out;
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The capture program streams the flipping display with its cursor: the
// relay records the stream, and the decoded pictures must be what the
// kernel scanned out at the blanks they answer (PSNR of at least 35 dB over
// luma and chroma for nine in ten, none below 30 dB, the watermark's cells
// left out), consecutive pictures must follow modetest's flips between its
// two buffers, and the cursor must be in the picture where the records put
// it (nine in ten).
void check_stream(const std::string &mode, DisplayLog &log, const std::string &capture_path,
                  const std::string &relay_path)
{
    const std::string name = "stream-" + mode;
    const size_t first_blank = log.blanks.size();
    StreamRun run = run_capture(log, mode, capture_path, relay_path);
    const size_t blanks = log.blanks.size() - first_blank;
    const std::string relay_text = file_text(run.relay_log), capture_text = file_text(run.capture_log);
    auto line_of = [](const std::string &text, const char *start) {
        const size_t at = text.find(start);
        return at == std::string::npos ? std::string("-") : text.substr(at, text.find('\n', at) - at);
    };
    const std::string chosen = line_of(capture_text, "[Capture] Auto mode:");
    const std::string config = line_of(relay_text, "config.mode=");
    if (!run.why.empty() || !log.bad.empty()) {
        report(name.c_str(), false, "%s%s%s", run.why.c_str(), log.bad.empty() ? "" : "; the display's records: ",
               log.bad.c_str());
        return;
    }
    std::vector<E2eFrame> frames;
    const int decoded = e2e_decode_file(run.recording, 600, &frames);
    size_t wrong_size = 0;
    for (const E2eFrame &f : frames)
        wrong_size += f.width != int(kWidth) || f.height != int(kHeight) || f.u.empty();
    const bool stream_ok = decoded == 0 && frames.size() >= 5 && wrong_size == 0 &&
                           config == "config.mode=compatible" &&
                           (mode != "auto" || chosen.find("Auto mode: compatible") != std::string::npos);
    report(name.c_str(), stream_ok,
           "%zu decoded frames of the recording (%zu not 1024x768 4:2:0) over %zu blanks; %s; %s; capture's last "
           "lines: %s",
           frames.size(), wrong_size, blanks, config.c_str(), chosen.c_str(), log_tail(run.capture_log, 3).c_str());
    if (!stream_ok)
        return;

    std::map<uint64_t, Picture420> pictures;
    int unreadable = 0;
    const double start = now_s(CLOCK_MONOTONIC);
    const std::vector<FrameMatch> matches = match_frames(frames, log, pictures, &unreadable);
    const double took = now_s(CLOCK_MONOTONIC) - start;
    std::vector<double> values, margins, lags;
    size_t unmatched = 0, below = 0;
    for (const FrameMatch &m : matches) {
        if (!m.shown) {
            ++unmatched;
            continue;
        }
        values.push_back(m.psnr);
        margins.push_back(m.margin);
        lags.push_back(double(m.stamp_ms) - double(m.shown->time_ms));
        below += m.psnr < 35.0;
    }
    const double worst = values.empty() ? 0 : *std::min_element(values.begin(), values.end());
    // The frames that fail a check, for the record.
    auto failing = [&](const auto &fails) {
        std::string text;
        int listed = 0;
        for (const FrameMatch &m : matches) {
            if (!m.shown || !fails(m) || listed++ >= 4)
                continue;
            char b[320];
            snprintf(b, sizeof b,
                     "; blank %" PRIu64 " (+%" PRId64 " ms) buffer %" PRIu64 ": %.1f dB (%.1f over the other), cursor at "
                     "%d,%d (record %+d) %.1f/%.1f dB, fits best %+d,%+d from there (%.1f dB; moving %d), covers %d,%d-%d,%d",
                     m.shown->sequence, int64_t(m.stamp_ms) - int64_t(m.shown->time_ms), m.shown->buffer, m.psnr,
                     m.margin, m.cursor_x, m.cursor_y, m.cursor_from, m.cursor_psnr, m.bare_psnr, m.shift_x, m.shift_y,
                     m.shift_psnr, m.cursor_motion, m.covered[0], m.covered[1], m.covered[2], m.covered[3]);
            text += b;
        }
        return text;
    };
    auto below_35 = [](const FrameMatch &m) { return m.psnr < 35.0; };
    // A cursor fits where the records of its blank, or of one at most
    // kCursorBlanks away, put it; or, as each helper reads the cursor plane
    // at its own moment after the blank while modetest moves it, within the
    // motion of one blank (at least 3 pixels) of there. It must stand out of
    // the bare buffer by 10 dB.
    auto shifted = [](const FrameMatch &m) {
        return m.cursor_psnr < 35.0 && m.shift_psnr >= 35.0 &&
               std::max(std::abs(m.shift_x), std::abs(m.shift_y)) <= std::max(3, m.cursor_motion);
    };
    auto cursor_missed = [&](const FrameMatch &m) {
        return m.cursor_on_screen && !((m.cursor_psnr >= 35.0 || shifted(m)) && m.bare_psnr + 10.0 <= 35.0 &&
                                       std::abs(m.cursor_from) <= kCursorBlanks);
    };
    report((name + "-picture").c_str(),
           unreadable == 0 && unmatched == 0 && !values.empty() && below * 10 <= values.size() && worst >= 30.0,
           "%zu frames matched to a blank (%d watermarks unreadable, %zu without a blank in the 1.2 s before their "
           "watermark): PSNR against the kernel's picture min %.1f dB, median %.1f dB (watermark cells left out), "
           "%zu below 35 dB (at most a tenth may be, none below 30 dB); watermark %.0f ms after the blank (median); "
           "compared in %.1f s%s",
           values.size(), unreadable, unmatched, worst, median(values), below, median(lags), took,
           failing(below_35).c_str());

    // The buffer each picture shows, and its changes from one to the next.
    std::map<uint64_t, size_t> per_buffer;
    // Each picture must tell its buffer from the other: by 10 dB, or, for at
    // most a tenth of them (a frame the encoder sent coarse after a flip, on
    // a loaded machine), by 3 dB.
    size_t changes = 0, pairs = 0, clear = 0, told = 0;
    const Shown *last = nullptr;
    for (const FrameMatch &m : matches) {
        if (!m.shown)
            continue;
        ++per_buffer[m.shown->buffer];
        clear += m.margin >= 10.0;
        told += m.margin >= 3.0;
        if (last) {
            ++pairs;
            changes += last->buffer != m.shown->buffer;
        }
        last = m.shown;
    }
    size_t fewest = per_buffer.size() >= 2 ? SIZE_MAX : 0;
    for (const auto &[buffer, count] : per_buffer)
        fewest = std::min(fewest, count);
    std::string counts;
    for (const auto &[buffer, count] : per_buffer)
        counts += (counts.empty() ? "" : ", ") + std::to_string(count) + " of buffer " + std::to_string(buffer);
    report((name + "-flips").c_str(), per_buffer.size() == 2 && fewest >= 1 && changes >= 2 && told == values.size() &&
                                      clear * 10 >= values.size() * 9,
           "%zu of %zu consecutive frame pairs change buffer with the display's flips (%s; %zu frames tell their "
           "buffer from the other by at least 10 dB, nine in ten must, and every one by 3 dB; median %.1f dB)%s",
           changes, pairs, counts.c_str(), clear, median(margins),
           failing([](const FrameMatch &m) { return m.margin < 10.0; }).c_str());

    size_t shown = 0, found = 0, neighbour = 0, moved = 0;
    std::vector<double> with, without;
    std::string from;
    for (const FrameMatch &m : matches) {
        if (!m.shown || !m.cursor_on_screen)
            continue;
        ++shown;
        with.push_back(m.cursor_psnr);
        without.push_back(m.bare_psnr);
        found += !cursor_missed(m);
        neighbour += m.cursor_from != 0;
        moved += !cursor_missed(m) && shifted(m);
        from += (from.empty() ? "" : " ") + std::to_string(m.cursor_from);
    }
    report((name + "-cursor").c_str(), shown >= 3 && found * 10 >= shown * 9,
           "cursor found in %zu of %zu frames whose blank had it on screen (nine in ten must be): luma PSNR over its "
           "rectangle %.1f dB with it where the records put it, %.1f dB without it (medians); %zu took the cursor "
           "record of another blank, at most %d away (blanks from the picture's: %s); %zu found within one blank's "
           "motion of the records' place%s",
           found, shown, median(with), median(without), neighbour, kCursorBlanks, from.c_str(), moved,
           failing(cursor_missed).c_str());
}

// modetest flips its two buffers at every blank and moves its cursor; the
// capture program streams it once in each mode given.
void check_streams(const std::vector<std::string> &modes, const std::string &modetest_path,
                   const std::string &connector, const std::string &helper_path, const std::string &capture_path,
                   const std::string &relay_path)
{
    UniqueFD card;
    uint32_t crtc_id = 0, fb = 0;
    Child display = start_modetest(modetest_path, connector, {"-v", "-C"}, &card, &crtc_id, &fb);
    card.reset();
    if (!fb) {
        report("stream", false, "modetest -v -C did not light the CRTC");
        stop_child(display);
        return;
    }
    // The helper serves one command connection at a time, and the capture
    // program holds it while it runs: the display's records come from a
    // second helper with a /tmp of its own. Both tell the kernel's blank
    // numbers.
    Child watcher = spawn({helper_path}, "/tmp/helper-records.log", false, true);
    const std::string root = "/proc/" + std::to_string(watcher.pid) + "/root";
    DisplayLog log;
    UniqueFD sock;
    std::string why;
    // Until the child has mounted its own /tmp, its /tmp is this one's.
    auto own_tmp = [&] {
        struct stat mine {}, its {};
        return stat("/tmp", &mine) == 0 && stat((root + "/tmp").c_str(), &its) == 0 && mine.st_dev != its.st_dev &&
               access((root + kCommandSocket).c_str(), F_OK) == 0;
    };
    for (int i = 0; i < 100 && alive(watcher.pid) && !own_tmp(); ++i)
        sleep_ms(100);
    UniqueFD ev = start_following(&sock, &why, root);
    if (!ev) {
        report("stream", false, "the following client of a second helper was refused: %s; its log: %s", why.c_str(),
               log_tail("/tmp/helper-records.log", 8).c_str());
        stop_child(watcher);
        stop_child(display);
        return;
    }
    log.ev = ev.get();
    for (const std::string &mode : modes)
        check_stream(mode, log, capture_path, relay_path);
    ev.reset();
    sock.reset();
    stop_child(watcher);
    display.stdin_w.reset();
    wait_child(display.pid, 5000);
    stop_child(display);
}

}  // namespace

int main(int argc, char **argv)
{
    std::string modetest_path, helper_path, setpriv, connector, capture_path, relay_path;
    std::vector<std::string> modes;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string key = argv[i];
        if (key == "--connector")
            connector = argv[i + 1];
        else if (key == "--capture")
            capture_path = argv[i + 1];
        else if (key == "--relay")
            relay_path = argv[i + 1];
        else if (key == "--mode")
            modes.push_back(argv[i + 1]);
        else if (key == "--modetest")
            modetest_path = argv[i + 1];
        else if (key == "--helper")
            helper_path = argv[i + 1];
        else if (key == "--setpriv")
            setpriv = argv[i + 1];
    }
    if (connector.empty() || modetest_path.empty() || helper_path.empty() ||
        (!modes.empty() && (capture_path.empty() || relay_path.empty()))) {
        fprintf(stderr,
                "usage: %s --connector ID --modetest PATH --helper PATH [--setpriv PATH] [--capture PATH --relay "
                "PATH --mode MODE...]\n",
                argv[0]);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);

    // modetest opens the card first, so it is master; only then may others
    // open it (the first opener of a card without master becomes master).
    Child modetest = spawn({modetest_path, "-M", "vkms", "-s", connector + ":1024x768"}, kModetestLog, true);
    bool opened = false;
    for (int i = 0; i < 200 && !opened && alive(modetest.pid); ++i) {
        opened = holds_file(modetest.pid, kCard);
        if (!opened)
            sleep_ms(50);
    }
    UniqueFD card(opened ? open(kCard, O_RDWR | O_CLOEXEC) : -1);
    uint32_t crtc_id = card ? first_crtc(card.get()) : 0;
    uint32_t pattern_fb = 0;
    for (int i = 0; i < 200 && crtc_id && !pattern_fb && alive(modetest.pid); ++i) {
        pattern_fb = crtc_fb(card.get(), crtc_id);
        if (!pattern_fb)
            sleep_ms(50);
    }
    report("mode-held", pattern_fb != 0, "modetest %s the card, CRTC %u scans out framebuffer %u",
           opened ? "opened" : "did not open", crtc_id, pattern_fb);
    if (!pattern_fb) {
        stop_child(modetest);
        return 1;
    }

    Child helper = spawn({helper_path}, kHelperLog, false);
    std::string why;
    UniqueFD sock = connect_helper(helper, why);
    report("helper-started", bool(sock), "%s", sock ? "connected to /tmp/vistrel.sock" : why.c_str());
    if (!sock) {
        stop_child(helper);
        stop_child(modetest);
        return 1;
    }
    check_port_names(sock.get());
    Reply t = request(sock.get(), std::string("SET_TARGET ") + kCard + " virtual-1\n");
    UniqueFD first;
    if (t.received && t.text == "OK\n")
        first = check_frame(sock.get(), helper.pid);
    else
        report("get-frame-reply", false, "SET_TARGET virtual-1: %s", describe(t).c_str());
    check_target_errors(sock.get());
    check_events(sock.get(), card.get(), crtc_id);
    sock.reset();
    check_retarget_loop(helper.pid);
    stop_child(helper);

    // While modetest is master and the helper lacks CAP_SYS_ADMIN, the
    // kernel hides the buffer handles.
    check_without_sys_admin(setpriv, helper_path);

    helper = spawn({helper_path}, kHelperLog, false);
    UniqueFD ready = connect_helper(helper, why);
    if (!ready)
        report("helper-restarted", false, "%s", why.c_str());
    ready.reset();
    check_page_flip(card, crtc_id, pattern_fb, modetest, first);
    // modetest must be the card's master again: nothing else may hold it.
    card.reset();
    sleep_ms(500);
    check_follow_scanout(helper.pid, modetest_path, connector);
    check_cursor_follow(helper.pid, modetest_path, connector);
    // modetest has ended: this client takes the card for its own commits.
    sleep_ms(300);
    check_cursor_writeback(connector);
    sleep_ms(300);
    check_planes_writeback(connector);
    if (!modes.empty()) {
        sleep_ms(300);
        check_streams(modes, modetest_path, connector, helper_path, capture_path, relay_path);
    }
    bool helper_alive = alive(helper.pid);
    report("helper-alive", helper_alive, "%s", helper_alive ? "helper still serving" : "helper ended");
    stop_child(helper);
    stop_child(modetest);
    return g_failures == 0 ? 0 : 1;
}
