// The client library against the real capture-helper on the virtual display
// (and on a scenario world with a two-plane frame).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <vector>

#include "tests/e2e/e2e_processes.h"
#include "tests/framelink/fake_helper.h"

using namespace std::chrono_literals;

namespace {

constexpr uint32_t kXR24 = 875713112;
constexpr uint32_t kNV12 = 842094158;

struct Client {
    ServerConnection conn{};
    char message[256] = {};
    framelink::FrameMetadata frame{};
    ~Client()
    {
        uds_client_close_frame(&frame);
        uds_client_disconnect(&conn);
    }
    int set_target(const char *card, const char *port)
    {
        char command[128];
        snprintf(command, sizeof(command), "%s %s %s \n", UDS_COMMAND_SET_TARGET, card, port);
        ServerReply r{};
        r.message = message;
        r.message_size = sizeof(message);
        return uds_client_set_context(&conn, command, &r, 2000);
    }
    int get_frame(ServerReply *r)
    {
        *r = {};
        r->message = message;
        r->message_size = sizeof(message);
        r->metadata = &frame;
        return uds_client_get_frame_info(&conn, UDS_GET_FRAME_COMMAND, r, 2000);
    }
};

class RealHelper : public testing::Test {
protected:
    void start(const std::string &world = "1")
    {
        ASSERT_EQ(e2e_start_helper(&helper_, world), 0) << helper_log();
        ASSERT_EQ(uds_client_connect(&client_.conn, UDS_SERVER_PATH), 0) << strerror(errno);
    }
    void targeted(const char *port = "dp-3")
    {
        ASSERT_NO_FATAL_FAILURE(start());
        ASSERT_EQ(client_.set_target("/dev/dri/card1", port), 0) << client_.message;
    }
    void TearDown() override
    {
        if (HasFailure())
            std::fprintf(stderr, "--- capture-helper log ---\n%s\n", helper_log().c_str());
    }

    std::string helper_log() const { return e2e_stdout(&helper_) + e2e_stderr(&helper_); }

    E2eProcess helper_;
    Client client_;
};

// A read-only private copy of the mapped plane.
std::vector<uint8_t> snapshot(int fd, size_t size)
{
    void *p = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED)
        return {};
    std::vector<uint8_t> copy(static_cast<uint8_t *>(p), static_cast<uint8_t *>(p) + size);
    munmap(p, size);
    return copy;
}

uint64_t realtime_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

}  // namespace

TEST_F(RealHelper, SetTargetRefusedThenAccepted)
{
    ASSERT_NO_FATAL_FAILURE(start());
    ServerReply r{};
    // No target yet: a frame request is refused and passes no descriptor.
    int before = fake::open_fd_count();
    EXPECT_NE(client_.get_frame(&r), 0);
    EXPECT_STREQ(client_.message, "ERROR: No target set. Call SET_TARGET first\n");
    EXPECT_EQ(r.header.error, 1u);
    EXPECT_FALSE(r.has_frame);
    EXPECT_EQ(fake::open_fd_count(), before);

    EXPECT_NE(client_.set_target("/dev/dri/card1", "hdmi-1"), 0);
    EXPECT_STREQ(client_.message, "ERROR: Cannot update state\n");
    EXPECT_NE(client_.set_target("/dev/dri/card1", "dp3"), 0);
    EXPECT_STREQ(client_.message, "ERROR: Cannot update state\n");
    EXPECT_NE(client_.set_target("/dev/dri/card1", "usb-1"), 0);
    EXPECT_STREQ(client_.message, "ERROR: Cannot open DRM device\n");
    EXPECT_NE(client_.set_target("/dev/dri/card7", "dp-3"), 0);
    EXPECT_STREQ(client_.message, "ERROR: Cannot open DRM device\n");

    // Port names match without regard to case.
    EXPECT_EQ(client_.set_target("/dev/dri/card1", "DP-3"), 0) << client_.message;
    EXPECT_STREQ(client_.message, "OK\n");
    EXPECT_EQ(client_.set_target("/dev/dri/card1", "dp-3"), 0) << client_.message;
    // A refused re-target keeps the target that works.
    EXPECT_NE(client_.set_target("/dev/dri/card1", "dp-4"), 0);
    ASSERT_EQ(client_.get_frame(&r), 0) << client_.message;
    EXPECT_TRUE(r.has_frame);
    EXPECT_FALSE(e2e_reap(&helper_));
}

TEST_F(RealHelper, OnePlaneFrameMapsAndShowsTheMovingPicture)
{
    ASSERT_NO_FATAL_FAILURE(targeted());
    ASSERT_EQ(uds_client_event_connect(&client_.conn, UDS_EVENT_PATH), 0);
    int before = fake::open_fd_count();
    ServerReply r{};
    ASSERT_EQ(client_.get_frame(&r), 0) << client_.message;
    ASSERT_TRUE(r.has_frame);
    const framelink::FrameMetadata &f = client_.frame;
    EXPECT_EQ(f.width, 2560u);
    EXPECT_EQ(f.height, 1440u);
    EXPECT_EQ(f.format, kXR24);
    EXPECT_EQ(f.stride, 10240u);
    EXPECT_EQ(f.offset, 0u);
    EXPECT_EQ(f.modifier, 0u);
    EXPECT_EQ(f.refresh_rate, 60u);
    ASSERT_EQ(f.plane_count, 1);
    EXPECT_EQ(f.planes[0].fd.get(), f.fd);
    EXPECT_EQ(f.planes[1].fd.get(), -1);
    EXPECT_EQ(r.header.num_fds, 1u);
    EXPECT_EQ(fake::open_fd_count(), before + 1);
    // The helper hands out a read-only descriptor that is not inherited by exec.
    EXPECT_EQ(fcntl(f.fd, F_GETFL) & O_ACCMODE, O_RDONLY);
    EXPECT_TRUE(fcntl(f.fd, F_GETFD) & FD_CLOEXEC);

    const size_t size = size_t(f.stride) * f.height;
    struct stat st {};
    ASSERT_EQ(fstat(f.fd, &st), 0);
    ASSERT_GE(size_t(st.st_size), size);
    std::vector<uint8_t> first = snapshot(f.fd, size);
    ASSERT_EQ(first.size(), size);
    // Some three vertical blanks later the same buffer shows another picture.
    VBlankEvent ev{};
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(uds_client_event_read(&client_.conn, &ev), 0);
    std::vector<uint8_t> later = snapshot(f.fd, size);
    ASSERT_EQ(later.size(), size);
    EXPECT_NE(std::memcmp(first.data(), later.data(), size), 0);

    // Each frame request passes a new descriptor; closing them leaves none.
    framelink::FrameMetadata kept = std::move(client_.frame);
    ASSERT_EQ(client_.get_frame(&r), 0);
    EXPECT_NE(client_.frame.fd, kept.fd);
    EXPECT_EQ(fake::open_fd_count(), before + 2);
    uds_client_close_frame(&kept);
    uds_client_close_frame(&client_.frame);
    EXPECT_EQ(fake::open_fd_count(), before);
}

TEST_F(RealHelper, TwoPlaneFrameFromAScenario)
{
    ASSERT_NO_FATAL_FAILURE(start(std::string(VISTREL_SOURCE_DIR) + "/tests/framelink/nv12-world.txt"));
    ASSERT_EQ(client_.set_target("/dev/dri/card0", "hdmi-1"), 0) << client_.message;
    int before = fake::open_fd_count();
    ServerReply r{};
    ASSERT_EQ(client_.get_frame(&r), 0) << client_.message;
    ASSERT_TRUE(r.has_frame);
    const framelink::FrameMetadata &f = client_.frame;
    EXPECT_EQ(f.width, 1280u);
    EXPECT_EQ(f.height, 720u);
    EXPECT_EQ(f.format, kNV12);
    EXPECT_EQ(f.refresh_rate, 30u);
    EXPECT_EQ(f.modifier, 0x0100000000000002ull);
    ASSERT_EQ(f.plane_count, 2);
    EXPECT_EQ(f.planes[0].fd.get(), f.fd);
    EXPECT_GE(f.planes[1].fd.get(), 0);
    EXPECT_NE(f.planes[1].fd.get(), f.fd);
    EXPECT_GE(f.planes[1].stride, 1280u);
    EXPECT_EQ(fake::open_fd_count(), before + 2);
    // Both planes map: luma rows at plane 0, chroma rows at plane 1's offset.
    const size_t luma_end = f.offset + size_t(f.stride) * f.height;
    const size_t chroma_end = f.planes[1].offset + size_t(f.planes[1].stride) * (f.height / 2);
    struct stat luma {
    }, chroma{};
    ASSERT_EQ(fstat(f.fd, &luma), 0);
    ASSERT_EQ(fstat(f.planes[1].fd.get(), &chroma), 0);
    ASSERT_GE(size_t(luma.st_size), luma_end);
    ASSERT_GE(size_t(chroma.st_size), chroma_end);
    EXPECT_EQ(snapshot(f.fd, luma_end).size(), luma_end);
    EXPECT_EQ(snapshot(f.planes[1].fd.get(), chroma_end).size(), chroma_end);
}

TEST_F(RealHelper, EventConnectionWaitsForTheEventSocket)
{
    ASSERT_NO_FATAL_FAILURE(start());
    // The event socket exists only once SET_TARGET has started its service.
    auto connected =
        std::async(std::launch::async, [this] { return uds_client_event_connect(&client_.conn, UDS_EVENT_PATH); });
    EXPECT_EQ(connected.wait_for(300ms), std::future_status::timeout);
    ASSERT_EQ(client_.set_target("/dev/dri/card1", "dp-3"), 0) << client_.message;
    ASSERT_EQ(connected.get(), 0);
    EXPECT_GT(client_.conn.event_fd.get(), 0);
    VBlankEvent ev{};
    ASSERT_EQ(uds_client_event_read(&client_.conn, &ev), 0);
    EXPECT_EQ(ev.type, 1u);
}

TEST_F(RealHelper, SixtyEventsASecondReadWhole)
{
    ASSERT_NO_FATAL_FAILURE(targeted());
    ASSERT_EQ(uds_client_event_connect(&client_.conn, UDS_EVENT_PATH), 0);
    // Raw messages first: each event is one 32-byte message.
    unsigned char raw[64];
    ssize_t n = recv(client_.conn.event_fd.get(), raw, sizeof(raw), 0);
    ASSERT_EQ(n, 32);
    const unsigned char head[8] = {1, 0, 0, 0, 0x18, 0, 0, 0};
    EXPECT_EQ(std::memcmp(raw, head, 8), 0);

    std::vector<VBlankEvent> events(61);
    for (VBlankEvent &ev : events)
        ASSERT_EQ(uds_client_event_read(&client_.conn, &ev), 0);
    uint64_t now = realtime_ns();
    int gaps = 0;
    for (size_t i = 1; i < events.size(); ++i) {
        ASSERT_GT(events[i].sequence, events[i - 1].sequence) << i;
        ASSERT_GT(events[i].vblank_time_ns, events[i - 1].vblank_time_ns) << i;
        ASSERT_GE(events[i].server_time_ns, events[i - 1].server_time_ns) << i;
        gaps += events[i].sequence != events[i - 1].sequence + 1;
    }
    // A reader that keeps up sees consecutive blanks; a loaded machine (the
    // suite runs in parallel) may make the helper skip some.
    EXPECT_LE(gaps, 15);
    // The helper's own blank times: 60 per second.
    const double blanks = double(events.back().sequence - events.front().sequence);
    const double seconds = double(events.back().vblank_time_ns - events.front().vblank_time_ns) / 1e9;
    EXPECT_NEAR(blanks / seconds, 60.0, 2.0) << blanks << " blanks in " << seconds << " s";
    // Server time is the helper's wall clock when it forwarded the event.
    EXPECT_LE(events.back().server_time_ns, now);
    EXPECT_GT(events.back().server_time_ns, now - 5000000000ull);
}

// Every pipeline run calls the write before its listener starts reading; the
// helper ends the stream on any byte from the client, so the events must
// keep coming across runs.
TEST_F(RealHelper, PipelineLikeSequenceKeepsReceivingEvents)
{
    ASSERT_NO_FATAL_FAILURE(targeted());
    ASSERT_EQ(uds_client_event_connect(&client_.conn, UDS_EVENT_PATH), 0);
    const uint64_t two = 2;
    uint64_t last = 0;
    for (int run = 0; run < 3; ++run) {
        ASSERT_EQ(uds_client_event_write(&client_.conn, &two), 0) << run;
        for (int i = 0; i < 20; ++i) {
            VBlankEvent ev{};
            ASSERT_EQ(uds_client_event_read(&client_.conn, &ev), 0) << run << " " << i;
            EXPECT_GT(ev.sequence, last);
            last = ev.sequence;
        }
    }
    EXPECT_EQ(helper_log().find("Client disconnected"), std::string::npos);

    // Once the helper is gone the stream reports its end, and the write
    // says the event connection is over.
    e2e_stop(&helper_);
    VBlankEvent ev{};
    int rc = 0;
    for (int i = 0; i < 200 && rc == 0; ++i)
        rc = uds_client_event_read(&client_.conn, &ev);
    EXPECT_NE(rc, 0);
    EXPECT_NE(uds_client_event_write(&client_.conn, &two), 0);
}
