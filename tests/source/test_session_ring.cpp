#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <future>
#include <thread>

#include "apps/capture/source/capture_session.h"
#include "tests/framelink/fake_helper.h"

using namespace std::chrono_literals;

namespace {

CaptureConfig target_config()
{
    CaptureConfig c{};
    c.width = 2560;
    c.height = 1440;
    c.fps = 60;
    c.mode = CAPTURE_MODE_FAST;
    c.vblank_sync = true;
    c.card_index = -1;
    std::strcpy(c.port, "dp-3");
    std::strcpy(c.card_path, "/dev/dri/card1");
    // The handshake without FOLLOW_SCANOUT; FollowScanout below covers it.
    c.fetch_once = true;
    return c;
}

struct Session {
    ServerConnection conn{};
    CaptureSession session{};
    Session() { session.connection = &conn; }
    ~Session()
    {
        capture_cleanup(&session);
        uds_client_disconnect(&conn);
    }
};

}  // namespace

TEST(CaptureInit, OnePlaneFrame)
{
    UniqueFD p0 = fake::make_memfd(4096, [](size_t) { return uint8_t(5); });
    fake::CommandServer server({
        {"OK\n"},
        {"w=2560|h=1440|f=875713112|s=10240|o=0|m=0|r=60", false, {p0.get()}},
    });
    fake::EventServer events(0, 1ms);
    Session s;
    ASSERT_EQ(uds_client_connect(&s.conn, UDS_SERVER_PATH), 0);
    CaptureConfig cfg = target_config();
    ASSERT_EQ(capture_init(&s.session, &cfg), 0);
    EXPECT_TRUE(s.session.initialised);
    EXPECT_STREQ(s.session.settings.port, "dp-3");
    ASSERT_NE(s.session.metadata, nullptr);
    const FrameMetadata &m = *s.session.metadata;
    EXPECT_EQ(m.width, 2560u);
    EXPECT_EQ(m.refresh_rate, 60u);
    EXPECT_EQ(m.plane_count, 1);
    EXPECT_EQ(m.planes[0].fd.get(), m.fd);
    EXPECT_EQ(m.planes[0].stride, 10240u);
    EXPECT_EQ(m.planes[1].fd.get(), -1);
    EXPECT_EQ(m.planes[1].stride, 0u);
    EXPECT_GT(s.conn.event_fd.get(), 0);
    auto lines = server.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "SET_TARGET /dev/dri/card1 dp-3 \n");
    EXPECT_EQ(lines[1], "GET_FRAME\n");

    // The frame descriptor is the session's until it is cleaned up. The fake
    // server's thread may open a descriptor that takes the freed number, so
    // a number still in use must name another file.
    int fd = m.fd;
    struct stat before {};
    ASSERT_EQ(fstat(fd, &before), 0);
    capture_cleanup(&s.session);
    EXPECT_EQ(s.session.metadata, nullptr);
    struct stat after {};
    if (fstat(fd, &after) == 0) {
        EXPECT_FALSE(after.st_dev == before.st_dev && after.st_ino == before.st_ino)
            << "descriptor " << fd << " still open";
    }
}

// Following is asked for after GET_FRAME: every plane first, then the
// primary plane and cursor alone; a helper that knows neither command leaves
// the session on its fetched frame after one line.
TEST(CaptureInit, FollowPlanesThenScanoutOfferedOrRefused)
{
    UniqueFD p0 = fake::make_memfd(4096, [](size_t) { return uint8_t(5); });
    const fake::Reply ok{"OK\n"}, unknown{"ERROR: Unknown command\n", true};
    struct Case {
        const char *name;
        std::vector<fake::Reply> follow_replies;
        bool follows, planes;
    } cases[] = {
        {"planes", {ok}, true, true},
        {"scanout only", {unknown, ok}, true, false},
        {"neither", {unknown, unknown}, false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<fake::Reply> replies = {{"OK\n"},
                                            {"w=2560|h=1440|f=875713112|s=10240|o=0|m=0|r=60", false, {p0.get()}}};
        replies.insert(replies.end(), c.follow_replies.begin(), c.follow_replies.end());
        fake::CommandServer server(replies);
        fake::EventServer events(0, 1ms);
        Session s;
        ASSERT_EQ(uds_client_connect(&s.conn, UDS_SERVER_PATH), 0);
        CaptureConfig cfg = target_config();
        cfg.fetch_once = false;
        testing::internal::CaptureStderr();
        const int rc = capture_init(&s.session, &cfg);
        const std::string err = testing::internal::GetCapturedStderr();
        ASSERT_EQ(rc, 0);
        auto lines = server.lines();
        ASSERT_EQ(lines.size(), 2 + c.follow_replies.size());
        EXPECT_EQ(lines[2], "FOLLOW_PLANES\n");
        if (c.follow_replies.size() > 1)
            EXPECT_EQ(lines[3], "FOLLOW_SCANOUT\n");
        ASSERT_EQ(s.session.scanout != nullptr, c.follows);
        if (s.session.scanout)
            EXPECT_EQ(s.session.scanout->planes, c.planes);
        EXPECT_EQ(err.find("[Capture sub] the helper does not follow the scanout (ERROR: Unknown command): the "
                           "frame is fetched once\n") != std::string::npos,
                  !c.follows)
            << err;
    }
}

// The cache keeps four buffers under the helper's rule: the least recently
// shown goes first and its descriptors close with it; dark forgets nothing;
// a shown record for a buffer it does not hold makes the screen unknown.
TEST(ScanoutCache, LeastRecentlyShownIsForgotten)
{
    UniqueFD memory = fake::make_memfd(4096, [](size_t) { return uint8_t(1); });
    const int before = fake::open_fd_count();
    ScanoutCache *cache = scanout_cache_create();
    ASSERT_NE(cache, nullptr);
    auto record = [&](uint32_t type, uint64_t id, int *fd_out = nullptr) {
        framelink::EventMessage m;
        m.type = type;
        m.record.type = type;
        m.record.buffer_id = id;
        m.record.refresh = 60;
        if (type == UDS_EVENT_BUFFER_NEW) {
            m.frame.width = 32;
            m.frame.height = 32;
            m.frame.format = 875713112;
            m.frame.stride = 128;
            m.frame.plane_count = 1;
            m.frame.planes[0] = FramePlane{UniqueFD(), 128, 0};
            m.fds.emplace_back(fcntl(memory.get(), F_DUPFD_CLOEXEC, 0));
            if (fd_out)
                *fd_out = m.fds.back().get();
        }
        return scanout_cache_apply(cache, &m);
    };
    int second_fd = -1;
    ASSERT_EQ(record(UDS_EVENT_BUFFER_NEW, 1), 0);
    ASSERT_EQ(record(UDS_EVENT_BUFFER_NEW, 2, &second_fd), 0);
    ASSERT_EQ(record(UDS_EVENT_BUFFER_NEW, 3), 0);
    ASSERT_EQ(record(UDS_EVENT_BUFFER_NEW, 4), 0);
    ASSERT_EQ(record(UDS_EVENT_BUFFER_SHOWN, 1), 0);
    EXPECT_EQ(cache->shown_id, 1u);
    EXPECT_GE(fcntl(second_fd, F_GETFD), 0);
    ASSERT_EQ(record(UDS_EVENT_BUFFER_NEW, 5), 0);
    EXPECT_EQ(fcntl(second_fd, F_GETFD), -1) << "the forgotten buffer's descriptor is closed";
    EXPECT_FALSE(scanout_cache_holds(cache, 2));
    for (uint64_t id : {1, 3, 4, 5})
        EXPECT_TRUE(scanout_cache_holds(cache, id)) << id;
    EXPECT_EQ(cache->shown_id, 5u);

    ASSERT_EQ(record(UDS_EVENT_DARK, 0), 0);
    EXPECT_EQ(cache->shown_id, 0u);
    EXPECT_TRUE(scanout_cache_holds(cache, 3));

    FrameMetadata copy{};
    ASSERT_EQ(scanout_cache_copy(cache, 3, &copy), 0);
    EXPECT_EQ(copy.width, 32u);
    EXPECT_EQ(copy.refresh_rate, 60u);
    EXPECT_GE(fcntl(copy.fd, F_GETFD), 0);
    capture_frame_close(&copy);
    EXPECT_EQ(scanout_cache_copy(cache, 2, &copy), -1);

    testing::internal::CaptureStderr();
    EXPECT_EQ(record(UDS_EVENT_BUFFER_SHOWN, 2), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(cache->shown_id, VBLANK_SHOWN_UNKNOWN);

    scanout_cache_destroy(cache);
    EXPECT_EQ(fake::open_fd_count(), before);
}

TEST(CaptureInit, RefusedTargetSendsNoGetFrame)
{
    fake::CommandServer server({{"ERROR: Cannot open DRM device\n", true}, {"OK\n"}});
    Session s;
    ASSERT_EQ(uds_client_connect(&s.conn, UDS_SERVER_PATH), 0);
    CaptureConfig cfg = target_config();
    EXPECT_EQ(capture_init(&s.session, &cfg), -1);
    EXPECT_FALSE(s.session.initialised);
    EXPECT_EQ(s.session.metadata, nullptr);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(server.lines().size(), 1u);
}

TEST(CaptureInit, MissingFrameOrEventSocketFails)
{
    UniqueFD p0 = fake::make_memfd(4096, [](size_t) { return uint8_t(5); });
    {
        fake::CommandServer server({{"OK\n"}, {"ERROR: fill_meta_data fail\n", true}});
        Session s;
        ASSERT_EQ(uds_client_connect(&s.conn, UDS_SERVER_PATH), 0);
        CaptureConfig cfg = target_config();
        EXPECT_EQ(capture_init(&s.session, &cfg), -1);
        EXPECT_EQ(s.session.metadata, nullptr);
    }
    {
        // No event server: the event connection is retried, then given up,
        // and the received frame descriptor is closed again.
        fake::CommandServer server({{"OK\n"}, {"w=1|h=1|f=875713112|s=4|o=0|m=0|r=60", false, {p0.get()}}});
        Session s;
        ASSERT_EQ(uds_client_connect(&s.conn, UDS_SERVER_PATH), 0);
        server.wait_accepted();
        int before = fake::open_fd_count();
        CaptureConfig cfg = target_config();
        EXPECT_EQ(capture_init(&s.session, &cfg), -1);
        EXPECT_EQ(s.session.metadata, nullptr);
        EXPECT_FALSE(s.session.initialised);
        EXPECT_EQ(fake::open_fd_count(), before);
    }
}

namespace {

// A ring whose event connection is one end of a socket pair; the test sends
// events on the other end.
struct RingRig {
    ServerConnection conn{};
    UniqueFD peer;
    VBlankRing ring;
    StopFlag stop{0};
    uint64_t sent = 0;

    RingRig()
    {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) == 0) {
            conn.event_fd.reset(pair[0]);
            peer.reset(pair[1]);
        }
        vblank_ring_init(&ring, &conn, &stop);
    }
    ~RingRig()
    {
        vblank_ring_stop(&ring);
        uds_client_disconnect(&conn);
    }
    void send_events(int n)
    {
        for (int i = 0; i < n; ++i) {
            VBlankEvent ev = fake::make_event(++sent);
            ASSERT_EQ(send(peer.get(), &ev, sizeof(ev), 0), ssize_t(sizeof(ev)));
        }
    }
    void wait_written(uint64_t n)
    {
        while (ring.write_count.load() < n)
            std::this_thread::sleep_for(1ms);
    }
};

struct Taken {
    int rc;
    uint64_t time;
    uint64_t since;
};

std::future<Taken> take_async(VBlankRing *ring)
{
    return std::async(std::launch::async, [ring] {
        Taken t{};
        t.rc = vblank_ring_take(ring, &t.time, &t.since);
        return t;
    });
}

}  // namespace

TEST(VBlankRing, ReaderSleepsThenTakesTheNewest)
{
    RingRig rig;
    ASSERT_EQ(vblank_ring_start(&rig.ring), 0);

    auto first = take_async(&rig.ring);
    EXPECT_EQ(first.wait_for(200ms), std::future_status::timeout);
    rig.send_events(1);
    Taken t = first.get();
    EXPECT_EQ(t.rc, 0);
    EXPECT_EQ(t.since, 1u);
    EXPECT_EQ(t.time, fake::make_event(1).server_time_ns);

    // 40 unread events lap the 32 slots; the reader gets the 40th of them.
    rig.send_events(40);
    rig.wait_written(41);
    t = take_async(&rig.ring).get();
    EXPECT_EQ(t.rc, 0);
    EXPECT_EQ(t.since, 40u);
    EXPECT_EQ(t.time, fake::make_event(41).server_time_ns);

    auto next = take_async(&rig.ring);
    EXPECT_EQ(next.wait_for(200ms), std::future_status::timeout);
    rig.send_events(1);
    t = next.get();
    EXPECT_EQ(t.rc, 0);
    EXPECT_EQ(t.since, 1u);
    EXPECT_EQ(t.time, fake::make_event(42).server_time_ns);
}

TEST(VBlankRing, EndOfStreamWakesTheReader)
{
    RingRig rig;
    ASSERT_EQ(vblank_ring_start(&rig.ring), 0);
    auto waiting = take_async(&rig.ring);
    EXPECT_EQ(waiting.wait_for(100ms), std::future_status::timeout);
    rig.peer.reset();
    ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(waiting.get().rc, -1);
    EXPECT_TRUE(rig.ring.ended.load());
    EXPECT_FALSE(rig.ring.running.load());
    EXPECT_EQ(vblank_ring_take(&rig.ring, nullptr, nullptr), -1);
}

TEST(VBlankRing, ClearingRunningEndsReaderAndListener)
{
    RingRig rig;
    ASSERT_EQ(vblank_ring_start(&rig.ring), 0);
    auto waiting = take_async(&rig.ring);
    EXPECT_EQ(waiting.wait_for(100ms), std::future_status::timeout);
    // No event ever comes: both sides still end.
    auto stopped = std::async(std::launch::async, [&] { vblank_ring_stop(&rig.ring); });
    ASSERT_EQ(stopped.wait_for(5s), std::future_status::ready);
    ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(waiting.get().rc, -1);
    EXPECT_FALSE(rig.ring.listener_started);
    EXPECT_FALSE(rig.ring.ended.load());
}

TEST(VBlankRing, StopFlagEndsAWaitingReader)
{
    RingRig rig;
    ASSERT_EQ(vblank_ring_start(&rig.ring), 0);
    auto waiting = take_async(&rig.ring);
    EXPECT_EQ(waiting.wait_for(100ms), std::future_status::timeout);
    rig.stop = 1;
    ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(waiting.get().rc, -1);
}

TEST(VBlankRing, BrokenEventStreamStopsTheRing)
{
    RingRig rig;
    ASSERT_EQ(vblank_ring_start(&rig.ring), 0);
    char junk[8] = {};
    ASSERT_EQ(send(rig.peer.get(), junk, sizeof(junk), 0), 8);
    auto waiting = take_async(&rig.ring);
    ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(waiting.get().rc, -1);
    EXPECT_TRUE(rig.ring.ended.load());
}

// The listener's side of the cursor records: a thousand new images keep at
// most four descriptors open (the helper's rule), a hidden cursor has no
// image, a state naming a forgotten image leaves the cursor out, and an
// image reads back once as premultiplied words (an XRGB one made opaque).
TEST(CursorCache, ImagesUnderTheKeptSetRuleAndReadOnce)
{
    ScanoutCache *cache = scanout_cache_create();
    ASSERT_NE(cache, nullptr);
    const int before = fake::open_fd_count();
    auto image = [](uint64_t id, uint32_t format, uint32_t pixel) {
        framelink::EventMessage m;
        m.type = UDS_EVENT_CURSOR_NEW;
        m.cursor.buffer_id = id;
        m.cursor.visible = 1;
        m.cursor.x = -3;
        m.cursor.y = 7;
        m.cursor.crtc_width = m.cursor.crtc_height = 2;
        UniqueFD fd(memfd_create("cursor", MFD_CLOEXEC));
        const uint32_t px[4] = {pixel, pixel, pixel, pixel};
        EXPECT_EQ(write(fd.get(), px, sizeof px), ssize_t(sizeof px));
        m.frame = framelink::FrameMetadata{};
        m.frame.width = m.frame.height = 2;
        m.frame.format = format;
        m.frame.stride = m.frame.planes[0].stride = 8;
        m.frame.plane_count = 1;
        m.fds.push_back(std::move(fd));
        return m;
    };
    constexpr uint32_t kArgb = 0x34325241, kXrgb = 0x34325258;
    for (uint64_t id = 1; id <= 1000; ++id) {
        framelink::EventMessage m = image(id, kArgb, 0x80402010u);
        ASSERT_EQ(scanout_cache_apply(cache, &m), 0);
    }
    EXPECT_EQ(fake::open_fd_count(), before + int(UDS_CURSOR_MAX_IMAGES));
    EXPECT_EQ(cache->cursor.image_id, 1000u);
    EXPECT_EQ(cache->cursor.x, -3);

    std::vector<uint32_t> pixels;
    uint32_t w = 0, h = 0;
    ASSERT_EQ(scanout_cache_read_cursor(cache, 997, &pixels, &w, &h), 0);
    EXPECT_EQ(w, 2u);
    EXPECT_EQ(pixels, std::vector<uint32_t>(4, 0x80402010u));
    EXPECT_EQ(scanout_cache_read_cursor(cache, 996, &pixels, &w, &h), -1) << "forgotten";

    framelink::EventMessage hidden;
    hidden.type = UDS_EVENT_CURSOR_STATE;
    ASSERT_EQ(scanout_cache_apply(cache, &hidden), 0);
    EXPECT_EQ(cache->cursor.image_id, 0u);
    framelink::EventMessage stale;
    stale.type = UDS_EVENT_CURSOR_STATE;
    stale.cursor.visible = 1;
    stale.cursor.buffer_id = 3;
    EXPECT_EQ(scanout_cache_apply(cache, &stale), -1);
    EXPECT_EQ(cache->cursor.image_id, 0u);

    framelink::EventMessage opaque = image(1001, kXrgb, 0x00102030u);
    ASSERT_EQ(scanout_cache_apply(cache, &opaque), 0);
    ASSERT_EQ(scanout_cache_read_cursor(cache, 1001, &pixels, &w, &h), 0);
    EXPECT_EQ(pixels[0], 0xFF102030u);
    EXPECT_EQ(fake::open_fd_count(), before + int(UDS_CURSOR_MAX_IMAGES));

    scanout_cache_destroy(cache);
    EXPECT_EQ(fake::open_fd_count(), before);
}

// Plane records: overlay buffers are kept under the helper's rule (eight,
// least recently shown forgotten, descriptors closed with them); each
// plane keeps its last state; the picture lists the planes that show
// something bottom first, without the cursor; a state naming a buffer this
// end does not hold shows that plane as showing nothing.
TEST(ScanoutCache, PlaneStatesAndOverlayBuffers)
{
    UniqueFD memory = fake::make_memfd(4096, [](size_t) { return uint8_t(1); });
    const int before = fake::open_fd_count();
    ScanoutCache *cache = scanout_cache_create();
    ASSERT_NE(cache, nullptr);
    cache->planes = true;
    auto plane = [&](uint32_t type, uint32_t plane_id, uint32_t kind, uint64_t buffer, uint32_t zpos) {
        framelink::EventMessage m;
        m.type = type;
        m.plane = PlaneRecord{};
        m.plane.type = type;
        m.plane.plane_id = plane_id;
        m.plane.kind = kind;
        m.plane.buffer_id = buffer;
        m.plane.zpos = zpos;
        if (type == UDS_EVENT_PLANE_NEW) {
            m.frame.width = 32;
            m.frame.height = 32;
            m.frame.format = 875713089;
            m.frame.stride = 128;
            m.frame.plane_count = 1;
            m.fds.emplace_back(fcntl(memory.get(), F_DUPFD_CLOEXEC, 0));
        }
        return scanout_cache_apply(cache, &m);
    };
    framelink::EventMessage crtc;
    crtc.type = UDS_EVENT_CRTC_STATE;
    crtc.crtc = CrtcRecord{UDS_EVENT_CRTC_STATE, UDS_CRTC_RECORD_LENGTH, 1, 40, 1920, 1080, 60, 0, 4};
    ASSERT_EQ(scanout_cache_apply(cache, &crtc), 0);

    EXPECT_EQ(plane(UDS_EVENT_PLANE_STATE, 31, UDS_PLANE_KIND_PRIMARY, 1, 0), 0);
    EXPECT_EQ(plane(UDS_EVENT_PLANE_NEW, 40, UDS_PLANE_KIND_OVERLAY, 10, 3), 0);
    EXPECT_EQ(plane(UDS_EVENT_PLANE_NEW, 41, UDS_PLANE_KIND_OVERLAY, 11, 2), 0);
    EXPECT_EQ(plane(UDS_EVENT_PLANE_STATE, 50, UDS_PLANE_KIND_CURSOR, 5, 9), 0);
    CrtcPicture picture;
    {
        std::lock_guard<std::mutex> guard(cache->lock);
        scanout_cache_picture_locked(cache, &picture);
    }
    EXPECT_EQ(picture.crtc.width, 1920u);
    ASSERT_EQ(picture.count, 3u);
    EXPECT_EQ(picture.planes[0].plane_id, 31u);
    EXPECT_EQ(picture.planes[1].plane_id, 41u);  // zpos 2 under zpos 3
    EXPECT_EQ(picture.planes[2].plane_id, 40u);

    // Sixteen more new buffers on plane 41, more than the set holds: buffer
    // 10 stays while plane 40 shows it; 11 (plane 41's before) goes first,
    // then the least recently shown of the others.
    for (uint64_t id = 20; id < 20 + UDS_OVERLAY_MAX_BUFFERS; ++id)
        EXPECT_EQ(plane(UDS_EVENT_PLANE_NEW, 41, UDS_PLANE_KIND_OVERLAY, id, 2), 0);
    EXPECT_TRUE(scanout_cache_holds_overlay(cache, 10));
    EXPECT_FALSE(scanout_cache_holds_overlay(cache, 11));
    EXPECT_FALSE(scanout_cache_holds_overlay(cache, 20));
    EXPECT_TRUE(scanout_cache_holds_overlay(cache, 21));
    FrameMetadata copy;
    ASSERT_EQ(scanout_cache_copy_overlay(cache, 19 + UDS_OVERLAY_MAX_BUFFERS, &copy), 0);
    EXPECT_EQ(copy.width, 32u);
    capture_frame_close(&copy);

    // Plane 40 hidden: its buffer may go now.
    EXPECT_EQ(plane(UDS_EVENT_PLANE_STATE, 40, UDS_PLANE_KIND_OVERLAY, 0, 3), 0);
    EXPECT_EQ(plane(UDS_EVENT_PLANE_NEW, 41, UDS_PLANE_KIND_OVERLAY, 99, 2), 0);
    EXPECT_FALSE(scanout_cache_holds_overlay(cache, 10));
    testing::internal::CaptureStderr();
    EXPECT_EQ(plane(UDS_EVENT_PLANE_STATE, 40, UDS_PLANE_KIND_OVERLAY, 10, 3), -1);
    testing::internal::GetCapturedStderr();
    {
        std::lock_guard<std::mutex> guard(cache->lock);
        scanout_cache_picture_locked(cache, &picture);
    }
    ASSERT_EQ(picture.count, 2u);
    EXPECT_EQ(picture.planes[1].buffer_id, 99u);

    scanout_cache_destroy(cache);
    EXPECT_EQ(fake::open_fd_count(), before);
}
