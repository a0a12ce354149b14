// The DRM module, the virtual display and the frame export, linked directly.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "apps/capture-helper/drm_module.h"
#include "apps/capture-helper/frame_export.h"
#include "apps/capture-helper/reply.h"
#include "apps/capture-helper/scenario.h"
#include "tests/helper/blank_steps.h"
#include "tests/helper/display_stamp.h"

namespace {

const std::string kWorld = std::string(VISTREL_SOURCE_DIR) + "/tests/helper/scenarios/mixed.txt";

int open_fds()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (readdir(d))
        n++;
    closedir(d);
    return n;
}

struct Target {
    int rc, fd = -1;
    uint32_t connector = 0, crtc = 0;
};

Target resolve(const char *port, const char *dev)
{
    Target t;
    DrmDevice device;
    t.rc = find_port_name_from_dri(port, dev, &device, &t.connector, &t.crtc);
    t.fd = device.release();
    return t;
}

class World : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(drm_module_init_with(kWorld.c_str()), 0); }
    void TearDown() override { drm_module_shutdown(); }
};

TEST_F(World, ResolvesPortNames)
{
    for (const char *p : {"hdmi-1", "HDMI-1", "dp-virt-1", "virtual-1", "VKMS-1"}) {
        Target t = resolve(p, "/dev/dri/card0");
        EXPECT_EQ(t.rc, 1) << p;
        drm_device_close(t.fd);
    }
    Target v = resolve("dp-virt-1", "/dev/dri/card0");
    EXPECT_EQ(v.connector, 101u);
    EXPECT_EQ(v.crtc, 51u);
    drm_device_close(v.fd);
    EXPECT_EQ(resolve("dp-2", "/dev/dri/card0").rc, 0);   // disconnected
    EXPECT_EQ(resolve("hdmi1", "/dev/dri/card0").rc, 0);  // no '-'
    EXPECT_EQ(resolve("usb-1", "/dev/dri/card0").rc, -2);
    EXPECT_EQ(resolve("dp-1", "/dev/dri/card9").rc, -1);
}

TEST_F(World, ExportsSingleAndTwoPlaneFrames)
{
    PlaneEntry e[4] = {};
    int count = 0;
    Target t = resolve("hdmi-1", "/dev/dri/card0");
    ASSERT_EQ(fill_meta_data(t.fd, t.crtc, e, &count), 0);
    ASSERT_EQ(count, 1);
    char *line = serialize_metadata(&e[0], nullptr);
    EXPECT_STREQ(line, "w=64|h=48|f=875713112|s=256|o=0|m=0|r=60");
    free(line);
    e[0].fd.reset();
    drm_device_close(t.fd);

    Target n = resolve("virtual-1", "/dev/dri/card0");
    ASSERT_EQ(fill_meta_data(n.fd, n.crtc, e, &count), 0);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(e[0].modifier, 0x0100000000000001ull);
    EXPECT_EQ(e[1].full, 0);
    EXPECT_EQ(e[1].offset, 64u * 48u);
    for (int i = 0; i < count; i++)
        e[i].fd.reset();
    drm_device_close(n.fd);

    Target none = resolve("dp-4", "/dev/dri/card0");  // encoder without CRTC
    ASSERT_EQ(none.rc, 1);
    EXPECT_EQ(none.crtc, 0u);
    EXPECT_EQ(fill_meta_data(none.fd, none.crtc, e, &count), -1);
    drm_device_close(none.fd);
    Target blank = resolve("dp-5", "/dev/dri/card0");  // CRTC scanning out nothing
    EXPECT_EQ(fill_meta_data(blank.fd, blank.crtc, e, &count), -1);
    drm_device_close(blank.fd);
}

TEST_F(World, FallbackQueryAndHandlesOfZero)
{
    PlaneEntry e[4] = {};
    int count = 0;
    Target old = resolve("dp-1", "/dev/dri/card2");
    ASSERT_EQ(fill_meta_data(old.fd, old.crtc, e, &count), 0);
    ASSERT_EQ(count, 1);
    char *line = serialize_metadata(&e[0], nullptr);
    EXPECT_STREQ(line, "w=32|h=32|f=875713112|s=128|o=0|m=0|r=0");
    free(line);
    e[0].fd.reset();
    drm_device_close(old.fd);

    Target unpriv = resolve("dp-1", "/dev/dri/card3");
    ASSERT_EQ(fill_meta_data(unpriv.fd, unpriv.crtc, e, &count), 0);
    EXPECT_EQ(count, 0);
    drm_device_close(unpriv.fd);
}

TEST_F(World, PixelsChangeAndExportsDoNotLeak)
{
    Target t = resolve("hdmi-1", "/dev/dri/card0");
    PlaneEntry e[4] = {};
    int count = 0;
    ASSERT_EQ(fill_meta_data(t.fd, t.crtc, e, &count), 0);
    const size_t size = 256 * 48;
    auto *p = static_cast<uint8_t *>(mmap(nullptr, size, PROT_READ, MAP_SHARED, e[0].fd.get(), 0));
    ASSERT_NE(p, MAP_FAILED);
    std::vector<uint8_t> before(p, p + size);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_NE(memcmp(before.data(), p, size), 0);
    munmap(p, size);
    e[0].fd.reset();

    int baseline = open_fds();
    for (int i = 0; i < 1000; i++) {
        ASSERT_EQ(fill_meta_data(t.fd, t.crtc, e, &count), 0);
        e[0].fd.reset();
    }
    EXPECT_EQ(open_fds(), baseline);
    drm_device_close(t.fd);
}

struct Seen {
    std::vector<uint64_t> seq, ns;
};

void on_sequence(int fd, uint64_t sequence, uint64_t ns, uint64_t user)
{
    auto *s = reinterpret_cast<Seen *>(user);
    s->seq.push_back(sequence);
    s->ns.push_back(ns);
    drm_crtc_queue_sequence(fd, 50, DRM_CRTC_SEQUENCE_RELATIVE, 1, nullptr, user);
}

TEST_F(World, SequenceEventsArriveEveryBlank)
{
    Target t = resolve("hdmi-1", "/dev/dri/card0");
    Seen seen;
    drmEventContext ctx{};
    ctx.version = 4;
    ctx.sequence_handler = on_sequence;
    ASSERT_EQ(
        drm_crtc_queue_sequence(t.fd, 50, DRM_CRTC_SEQUENCE_RELATIVE, 1, nullptr, reinterpret_cast<uint64_t>(&seen)),
        0);
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{t.fd, POLLIN, 0};
        if (poll(&p, 1, 100) == 1) {
            ASSERT_EQ(drm_handle_event(t.fd, &ctx), 0);
        }
    }
    // 30 blanks in the half second, fewer when the machine starves the test.
    EXPECT_GE(seen.seq.size(), 8u);
    EXPECT_LE(seen.seq.size(), 32u);
    expect_blank_steps(seen.seq, seen.ns, 1e9 / 60);
    drm_device_close(t.fd);
}

// Refused paths are never opened: opening a device file can have side
// effects, so inotify must see no open of any of them. A private node of the
// null device (1,3) stands in for /dev/null, which other processes open.
TEST(ProductionBackend, RefusesNonDrmFilesWithoutOpeningThem)
{
    ASSERT_EQ(drm_module_init_with(nullptr), 0);
    char fifo[] = "/tmp/vistrel-drm-fifo-XXXXXX";
    ASSERT_NE(mkdtemp(fifo), nullptr);
    std::string dir = fifo, pipe = dir + "/fifo", file = dir + "/file", null_node = dir + "/null";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    FILE *f = fopen(file.c_str(), "w");
    fclose(f);
    ASSERT_EQ(mknod(null_node.c_str(), S_IFCHR | 0600, makedev(1, 3)), 0);
    int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    for (const std::string &p : {pipe, file, null_node})
        ASSERT_GE(inotify_add_watch(watch, p.c_str(), IN_OPEN), 0) << p;
    for (const std::string &p : {pipe, file, null_node, std::string("/dev/null")}) {
        Target t = resolve("dp-1", p.c_str());
        EXPECT_EQ(t.rc, -1) << p;
        errno = 0;
        EXPECT_EQ(drm_device_open(p.c_str()), -1);
        EXPECT_EQ(errno, ENODEV) << p;
    }
    char events[4096];
    EXPECT_EQ(read(watch, events, sizeof events), -1) << "a refused path was opened";
    close(watch);
    unlink(null_node.c_str());
    unlink(pipe.c_str());
    unlink(file.c_str());
    rmdir(dir.c_str());
}

TEST(Scenario, ReportsLineNumbers)
{
    Scenario s;
    std::string err;
    EXPECT_EQ(scenario_parse("device /dev/dri/card0\ncrtc 5 10x10@60 fb=9\n", "w", &s, &err), -1);
    EXPECT_NE(err.find("w:"), std::string::npos) << err;
    EXPECT_EQ(scenario_parse("device /dev/dri/card0\n\nbogus 1\n", "w", &s, &err), -1);
    EXPECT_EQ(err, "w:3: unknown keyword 'bogus'");
    EXPECT_EQ(scenario_parse("device /dev/dri/card0\nframebuffer 1 11x10 NV12\n", "w", &s, &err), -1);
    EXPECT_EQ(err.rfind("w:2:", 0), 0u) << err;
    // A mode change must show a buffer of the new size.
    const std::string world = "device /dev/dri/card0\nframebuffer 1 10x10 XR24\ncrtc 2 10x10@60 fb=1\n";
    EXPECT_EQ(scenario_parse(world + "mode 5 crtc=2 20x20@30 fb=1\n", "w", &s, &err), -1);
    EXPECT_NE(err.find("of another size"), std::string::npos) << err;
    EXPECT_EQ(scenario_parse(world + "pageflip crtc=2 fbs=1,3\n", "w", &s, &err), -1);
    EXPECT_NE(err.find("unknown framebuffer 3"), std::string::npos) << err;
    EXPECT_EQ(scenario_parse(world + "pageflip crtc=2 fbs=1 every=0\n", "w", &s, &err), -1);
    EXPECT_EQ(err.rfind("w:4:", 0), 0u) << err;
}

TEST(Text, JoinAndReplyFraming)
{
    const char *items[] = {"a", "bc", nullptr};
    char *j = join(items, "\r\n");
    EXPECT_STREQ(j, "a\r\nbc");
    free(j);
    const char *empty[] = {nullptr};
    j = join(empty, ",");
    EXPECT_STREQ(j, "");
    free(j);
    EXPECT_EQ(join(nullptr, ","), nullptr);
    EXPECT_EQ(join(items, nullptr), nullptr);

    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    ASSERT_EQ(send_message(sv[0], "OK\n", nullptr, 0, 1), 0);
    uint8_t buf[64];
    ASSERT_EQ(recv(sv[1], buf, sizeof(buf), 0), 19);
    const uint8_t expect[19] = {0xEF, 0xBE, 0xAD, 0xDE, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'O', 'K', '\n'};
    EXPECT_EQ(memcmp(buf, expect, 19), 0);

    int fds[2] = {open("/dev/null", O_RDONLY), open("/proc/self/stat", O_RDONLY)};
    ASSERT_EQ(send_message(sv[0], "x", fds, 2, 1), 0);
    char ctl[CMSG_SPACE(sizeof(int) * 4)];
    iovec iov{buf, sizeof(buf)};
    msghdr m{};
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    m.msg_control = ctl;
    m.msg_controllen = sizeof(ctl);
    ASSERT_EQ(recvmsg(sv[1], &m, 0), 17);
    cmsghdr *c = CMSG_FIRSTHDR(&m);
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(c->cmsg_len, CMSG_LEN(sizeof(int) * 2));
    int got[2];
    memcpy(got, CMSG_DATA(c), sizeof(got));
    struct stat a, b;
    fstat(fds[0], &a);
    fstat(got[0], &b);
    EXPECT_EQ(a.st_ino, b.st_ino);
    fstat(fds[1], &a);
    fstat(got[1], &b);
    EXPECT_EQ(a.st_ino, b.st_ino);
    for (int fd : {fds[0], fds[1], got[0], got[1], sv[0], sv[1]})
        close(fd);
}

}  // namespace

namespace {

// The default world's display and its one-plane frame.
void export_default_frame(Target *t, PlaneEntry *e)
{
    *t = resolve("DisplayPort-3", "/dev/dri/card1");
    ASSERT_EQ(t->rc, 1);
    int count = 0;
    ASSERT_EQ(fill_meta_data(t->fd, t->crtc, e, &count), 0);
    ASSERT_EQ(count, 1);
}

struct Snapshots {
    const uint8_t *pixels = nullptr;
    size_t pitch = 0;
    size_t height = 0;
    uint32_t crtc = 0;
    int events = 0, stale = 0;
};

// The frame counter's corner of the picture (bottom left), copied row by row.
std::vector<uint8_t> counter_corner(const Snapshots &s)
{
    const size_t rows = 200, bytes = 820 * 4;
    std::vector<uint8_t> out(rows * bytes);
    for (size_t y = 0; y < rows; y++)
        std::memcpy(out.data() + y * bytes, s.pixels + (s.height - rows + y) * s.pitch, bytes);
    return out;
}

// The blank number a copied corner shows, or -1 when it does not read
// (drawing under way).
int64_t corner_blank(const std::vector<uint8_t> &corner)
{
    RelaySourceStamp stamp{};
    return read_display_stamp(corner.data(), 820 * 4, 820, 200, &stamp) ? int64_t(stamp.blank) : -1;
}

// Takes the corner at the event and 4 ms later. A sample whose second look
// shows a later blank, or a drawing under way, (a late wake-up on a loaded
// machine) is not counted; the event's own blank must be on screen at the
// event and stay unchanged.
void on_blank_snapshot(int fd, uint64_t sequence, uint64_t blank_ns, uint64_t user)
{
    auto *s = reinterpret_cast<Snapshots *>(user);
    std::vector<uint8_t> at_event = counter_corner(*s);
    std::this_thread::sleep_for(std::chrono::milliseconds(4));
    std::vector<uint8_t> later = counter_corner(*s);
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t blank = int64_t(sequence % 1000000), first = corner_blank(at_event), second = corner_blank(later);
    const bool next_came = second < 0 || second > blank;
    if (!next_came && uint64_t(now.tv_sec) * 1000000000ull + uint64_t(now.tv_nsec) - blank_ns < 15000000ull) {
        s->stale += later != at_event || first != blank;
        s->events++;
    }
    drm_crtc_queue_sequence(fd, s->crtc, DRM_CRTC_SEQUENCE_RELATIVE, 1, nullptr, user);
}

// As on hardware, where the flip has happened when the blank's event
// arrives: a client that reads the frame as soon as the event comes sees
// that blank's picture, not the previous one being redrawn under it.
TEST(DefaultWorld, BlankEventsComeAfterThePictureIsDrawn)
{
    ASSERT_EQ(drm_module_init_with("1"), 0);
    Target t;
    PlaneEntry e[4] = {};
    export_default_frame(&t, e);
    ASSERT_FALSE(HasFatalFailure());
    const size_t size = size_t(e[0].stride) * e[0].height;
    void *map = mmap(nullptr, size, PROT_READ, MAP_SHARED, e[0].fd.get(), 0);
    ASSERT_NE(map, MAP_FAILED);
    Snapshots snaps;
    snaps.pixels = static_cast<const uint8_t *>(map);
    snaps.pitch = e[0].stride;
    snaps.height = e[0].height;
    snaps.crtc = t.crtc;
    drmEventContext ctx{};
    ctx.version = 4;
    ctx.sequence_handler = on_blank_snapshot;
    ASSERT_EQ(drm_crtc_queue_sequence(t.fd, t.crtc, DRM_CRTC_SEQUENCE_RELATIVE, 1, nullptr,
                                      reinterpret_cast<uint64_t>(&snaps)),
              0);
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{t.fd, POLLIN, 0};
        if (poll(&p, 1, 100) == 1) {
            ASSERT_EQ(drm_handle_event(t.fd, &ctx), 0);
        }
    }
    EXPECT_GE(snaps.events, 10);
    EXPECT_EQ(snaps.stale, 0) << "of " << snaps.events << " events";
    munmap(map, size);
    e[0].fd.reset();
    drm_device_close(t.fd);
    drm_module_shutdown();
}

// A display that flips, goes dark and changes its mode, watched as a client
// of the helper watches it: at each blank's event, what the CRTC query
// reports and what the buffer on screen shows.
const std::string kFlipping = std::string(VISTREL_SOURCE_DIR) + "/tests/helper/scenarios/flipping.txt";

struct Mapped {
    const uint8_t *pixels = nullptr;
    size_t size = 0;
    uint32_t pitch = 0, width = 0, height = 0;
};

struct BlankSample {
    uint64_t seq = 0, blank_ns = 0;
    bool current = false;  // no later blank had come when the sample was done
    bool follows = false;  // the blank before had its own event (it was not merged into this one)
    uint32_t buffer = 0, width = 0, height = 0, refresh = 0;
    bool stamp_read = false;
    RelaySourceStamp stamp{};
};

struct Watch {
    uint32_t crtc = 0;
    uint64_t until = 0;
    const std::map<uint32_t, Mapped> *maps = nullptr;
    std::vector<BlankSample> samples;
    bool done = false;
};

void on_watched_blank(int fd, uint64_t seq, uint64_t ns, uint64_t user)
{
    auto *w = reinterpret_cast<Watch *>(user);
    BlankSample s;
    s.seq = seq;
    s.blank_ns = ns;
    if (drmModeCrtcPtr c = drm_get_crtc(fd, w->crtc)) {
        s.buffer = c->buffer_id;
        s.width = c->width;
        s.height = c->height;
        s.refresh = c->mode.vrefresh;
        drm_free_crtc(c);
    }
    auto m = w->maps->find(s.buffer);
    if (m != w->maps->end())
        s.stamp_read = read_display_stamp(m->second.pixels, m->second.pitch, int(m->second.width),
                                          int(m->second.height), &s.stamp);
    // The next request lands one past the CRTC's count: when that is this
    // blank's successor, everything above was seen at this blank.
    uint64_t queued = 0;
    if (seq < w->until)
        drm_crtc_queue_sequence(fd, w->crtc, DRM_CRTC_SEQUENCE_RELATIVE, 1, &queued, user);
    else
        w->done = true;
    s.current = queued == seq + 1;
    w->samples.push_back(s);
}

class FlippingWorld : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(drm_module_init_with(kFlipping.c_str()), 0);
        fd_ = drm_device_open("/dev/dri/card0");
        ASSERT_GE(fd_, 0);
        for (uint32_t id : {201u, 202u, 203u, 204u, 205u}) {
            drmModeFB2Ptr fb = drm_get_fb2(fd_, id);
            ASSERT_NE(fb, nullptr);
            int prime = -1;
            ASSERT_EQ(drm_prime_handle_to_fd(fd_, fb->handles[0], DRM_CLOEXEC, &prime), 0);
            Mapped m{nullptr, size_t(fb->pitches[0]) * fb->height, fb->pitches[0], fb->width, fb->height};
            drm_free_fb2(fb);
            void *p = mmap(nullptr, m.size, PROT_READ, MAP_SHARED, prime, 0);
            close(prime);
            ASSERT_NE(p, MAP_FAILED);
            m.pixels = static_cast<const uint8_t *>(p);
            maps_[id] = m;
        }
    }

    void TearDown() override
    {
        for (auto &[id, m] : maps_)
            munmap(const_cast<uint8_t *>(m.pixels), m.size);
        drm_device_close(fd_);
        drm_module_shutdown();
    }

    // Follows the CRTC's blanks from the next one to blank `until`; the
    // samples taken before a later blank came.
    std::vector<BlankSample> watch(uint32_t crtc, uint64_t until)
    {
        Watch w;
        w.crtc = crtc;
        w.until = until;
        w.maps = &maps_;
        drmEventContext ctx{};
        ctx.version = 4;
        ctx.sequence_handler = on_watched_blank;
        EXPECT_EQ(
            drm_crtc_queue_sequence(fd_, crtc, DRM_CRTC_SEQUENCE_RELATIVE, 1, nullptr, reinterpret_cast<uint64_t>(&w)),
            0);
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!w.done && std::chrono::steady_clock::now() < end) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 100) == 1) {
                EXPECT_EQ(drm_handle_event(fd_, &ctx), 0);
            }
        }
        EXPECT_TRUE(w.done);
        std::vector<BlankSample> current;
        for (size_t i = 0; i < w.samples.size(); i++) {
            BlankSample s = w.samples[i];
            s.follows = i > 0 && w.samples[i - 1].seq + 1 == s.seq;
            if (s.current)
                current.push_back(s);
        }
        return current;
    }

    int fd_ = -1;
    std::map<uint32_t, Mapped> maps_;
};

// The rotation of CRTC 50 as the scenario describes it: the buffer on
// screen at blank b and the blank at which it went on screen.
std::pair<uint32_t, uint64_t> rotation_at(uint64_t b)
{
    const uint32_t fbs[3] = {201, 202, 203};
    if (b < 13)
        return {fbs[(b / 2) % 3], b - b % 2};
    if (b < 21)
        return {0, 0};
    if (b == 21)
        return {203, 21};
    return {fbs[((b - 22) / 2) % 3], b - b % 2};
}

// Each buffer of the rotation in turn, each showing the blank it was flipped
// at (so it was drawn before it went on screen and never while it was on
// screen), no buffer while dark, and the rotation going on from the buffer
// that lit the CRTC again.
TEST_F(FlippingWorld, PageFlipsShowEachBufferInTurnAndDarkShowsNone)
{
    const std::vector<BlankSample> samples = watch(50, 40);
    std::map<uint32_t, int> seen;
    for (const BlankSample &s : samples) {
        SCOPED_TRACE("blank " + std::to_string(s.seq));
        const auto [buffer, flipped_at] = rotation_at(s.seq);
        EXPECT_EQ(s.buffer, buffer);
        seen[s.buffer]++;
        if (buffer == 0)
            continue;
        ASSERT_TRUE(s.stamp_read);
        // A loaded machine may run two blanks as one: the flip then shows at
        // the later one.
        if (s.follows || flipped_at == s.seq) {
            EXPECT_EQ(s.stamp.blank, flipped_at);
        } else {
            EXPECT_GE(s.stamp.blank, flipped_at);
            EXPECT_LE(s.stamp.blank, s.seq);
        }
    }
    // A loaded machine may miss some blanks, not every one of a kind.
    for (uint32_t id : {0u, 201u, 202u, 203u})
        EXPECT_GE(seen[id], 1) << "buffer " << id << " never seen on screen";
}

// At blank 30 the CRTC reports the new size, buffer and refresh, the new
// buffer shows the count, and the blanks come twice as fast.
TEST_F(FlippingWorld, ModeChangeChangesSizeAndRate)
{
    const std::vector<BlankSample> samples = watch(51, 100);
    int before = 0, after = 0;
    for (const BlankSample &s : samples) {
        SCOPED_TRACE("blank " + std::to_string(s.seq));
        const bool changed = s.seq >= 30;
        EXPECT_EQ(s.buffer, changed ? 205u : 204u);
        EXPECT_EQ(s.width, changed ? 1024u : 832u);
        EXPECT_EQ(s.height, changed ? 768u : 480u);
        EXPECT_EQ(s.refresh, changed ? 120u : 60u);
        // One buffer stays on screen and is drawn in place; the next blank's
        // picture may already be under way.
        if (s.stamp_read) {
            EXPECT_GE(s.stamp.blank, s.seq);
            EXPECT_LE(s.stamp.blank, s.seq + 1);
        }
        (changed ? after : before)++;
    }
    ASSERT_GE(before, 2);
    ASSERT_GE(after, 2);
    // Mean blank periods from the blanks' own times, each side of the change.
    auto period = [&](uint64_t from, uint64_t to) {
        const BlankSample *a = nullptr, *b = nullptr;
        for (const BlankSample &s : samples) {
            if (s.seq >= from && !a)
                a = &s;
            if (s.seq <= to)
                b = &s;
        }
        if (!a || !b || b->seq <= a->seq)
            return 0.0;
        return double(b->blank_ns - a->blank_ns) / double(b->seq - a->seq) / 1e6;
    };
    EXPECT_NEAR(period(5, 29), 1000.0 / 60, 2.0);
    EXPECT_NEAR(period(35, 100), 1000.0 / 120, 1.0);
}

TEST(DefaultWorld, DescribesTheDisplayCaptureExpects)
{
    ASSERT_EQ(drm_module_init_with("1"), 0);
    EXPECT_TRUE(drm_module_is_virtual());
    Target t;
    PlaneEntry e[4] = {};
    export_default_frame(&t, e);
    ASSERT_FALSE(HasFatalFailure());
    char *line = serialize_metadata(&e[0], nullptr);
    EXPECT_STREQ(line, "w=2560|h=1440|f=875713112|s=10240|o=0|m=0|r=60");
    free(line);
    e[0].fd.reset();
    drm_device_close(t.fd);
    drm_module_shutdown();
    EXPECT_FALSE(drm_module_is_virtual());
    EXPECT_EQ(drm_module_init_with("/nonexistent/world.txt"), -1);
}

}  // namespace
