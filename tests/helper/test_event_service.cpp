// The vertical-blank event service of the real capture-helper: the events
// on the wire, how a stream ends, one client per target, and the service's
// lifetime when it is stopped while waiting for its client, while blocked
// on a client that does not read, and over hundreds of targets.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "tests/helper/blank_steps.h"
#include "tests/helper/display_stamp.h"
#include "tests/helper/helper_fixture.h"

namespace {

constexpr const char *kDefaultTarget = "SET_TARGET /dev/dri/card1 dp-3";

int64_t wall_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

bool socket_file_exists()
{
    struct stat st {};
    return stat(UDS_EVENT_PATH, &st) == 0;
}

bool wait_socket_file_gone(int timeout_ms)
{
    for (int waited = 0; waited < timeout_ms; waited += 5) {
        if (!socket_file_exists())
            return true;
        usleep(5000);
    }
    return false;
}

// Reads until end of stream: the number of events that were still queued,
// or -1 when the stream did not end within timeout_ms.
int drain(int fd, int timeout_ms)
{
    VBlankEvent event;
    for (int count = 0; count < 100000; ++count) {
        ssize_t n = read_event(fd, &event, timeout_ms);
        if (n == 0 || (n < 0 && errno == ECONNRESET))
            return count;
        if (n < 0)
            return -1;
    }
    return -1;
}

bool stream_ends(int fd, int timeout_ms)
{
    return drain(fd, timeout_ms) >= 0;
}

int64_t monotonic_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

class EventServiceTest : public HelperFixture {
protected:
    // Starts the helper, lets one client set a target and leave, and keeps
    // the helper's thread and descriptor counts at rest for comparison.
    void start_and_measure_rest()
    {
        start("1");
        ASSERT_EQ(ask(kDefaultTarget), "OK\n");
        disconnect();
        idle_threads_ = helper_thread_count(helper_);
        idle_fds_ = helper_fd_count(helper_);
        ASSERT_GT(idle_fds_, 0);
    }

    void expect_at_rest()
    {
        EXPECT_EQ(helper_thread_count(helper_), idle_threads_);
        EXPECT_EQ(helper_fd_count(helper_), idle_fds_);
    }

    int idle_threads_ = 0;
    int idle_fds_ = 0;
};

}  // namespace

TEST_F(EventServiceTest, StreamsOneEventPerVerticalBlank)
{
    start("1");
    ASSERT_EQ(ask(kDefaultTarget), "OK\n");
    UniqueFD events = event_connect();
    ASSERT_TRUE(events.valid());

    std::vector<VBlankEvent> got;
    timespec start{}, now{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    do {
        VBlankEvent event{};
        char raw[64];
        ASSERT_TRUE(read_event(events.get(), &event) == 32) << "every event is one 32-byte message";
        memcpy(raw, &event, 8);
        const unsigned char head[8] = {1, 0, 0, 0, 24, 0, 0, 0};
        ASSERT_EQ(memcmp(raw, head, 8), 0);
        int64_t wall = wall_ns();
        EXPECT_LE(int64_t(event.server_time_ns), wall);
        EXPECT_GT(int64_t(event.server_time_ns), wall - 1000000000);
        got.push_back(event);
        clock_gettime(CLOCK_MONOTONIC, &now);
    } while ((now.tv_sec - start.tv_sec) * 1000000000 + (now.tv_nsec - start.tv_nsec) < 2000000000);

    // About 60 a second on the 60 Hz mode, never more; fewer when the shared
    // machine starves the client. A ThreadSanitizer build is too slow to
    // draw every blank of the virtual display.
#ifdef __SANITIZE_THREAD__
    const bool full_speed = false;
#else
    const bool full_speed = true;
#endif
    EXPECT_LE(got.size(), 125u);
    EXPECT_GE(got.size(), full_speed ? 30u : 2u);
    std::vector<uint64_t> sequence, blank_ns;
    for (const VBlankEvent &e : got) {
        sequence.push_back(e.sequence);
        blank_ns.push_back(e.vblank_time_ns);
    }
    expect_blank_steps(sequence, blank_ns, 1e9 / 60, full_speed);
    for (size_t i = 1; i < got.size(); ++i)
        EXPECT_GE(got[i].server_time_ns, got[i - 1].server_time_ns) << "at " << i;
    // The blanks are on the monotonic clock, one mode period apart on average.
    double period_ms = double(got.back().vblank_time_ns - got.front().vblank_time_ns) /
                       double(got.back().sequence - got.front().sequence) / 1e6;
    EXPECT_NEAR(period_ms, 1000.0 / 60, 1.0);
    timespec mono{};
    clock_gettime(CLOCK_MONOTONIC, &mono);
    EXPECT_LE(got.back().vblank_time_ns, uint64_t(mono.tv_sec) * 1000000000 + uint64_t(mono.tv_nsec));
}

// The picture on screen at a blank's event names that blank and shows, in
// milliseconds, the very time the event carries: the relay measures the
// whole path from it.
TEST_F(EventServiceTest, PictureShowsTheBlankAndTheTimeOfItsEvent)
{
    start("1");
    ASSERT_EQ(ask(kDefaultTarget), "OK\n");
    Reply frame;
    ASSERT_EQ(request(client_.get(), UDS_COMMAND_GET_FRAME, &frame), 0);
    ASSERT_EQ(frame.text, "w=2560|h=1440|f=875713112|s=10240|o=0|m=0|r=60");
    ASSERT_EQ(frame.fds.size(), 1u);
    constexpr int kWidth = 2560, kHeight = 1440, kPitch = kWidth * 4;
    const size_t size = size_t(kPitch) * kHeight;
    void *map = mmap(nullptr, size, PROT_READ, MAP_SHARED, frame.fds[0].get(), 0);
    ASSERT_NE(map, MAP_FAILED);
    UniqueFD events = event_connect();
    ASSERT_TRUE(events.valid());

    int matched = 0, late = 0;
    for (int i = 0; i < 90; ++i) {
        VBlankEvent event{};
        ASSERT_EQ(read_event(events.get(), &event), 32);
        RelaySourceStamp stamp{};
        ASSERT_TRUE(read_display_stamp(static_cast<const uint8_t *>(map), kPitch, kWidth, kHeight, &stamp))
            << "event " << i;
        // A reader that wakes up late may already see a later blank's picture,
        // never an earlier one.
        ASSERT_GE(stamp.blank, event.sequence % 1000000) << "event " << i;
        if (stamp.blank != event.sequence % 1000000) {
            late++;
            continue;
        }
        EXPECT_EQ(stamp.wall_ms, event.server_time_ns / 1000000) << "blank " << event.sequence;
        matched++;
    }
    EXPECT_GE(matched, 30) << late << " events read late";
    munmap(map, size);
}

TEST_F(EventServiceTest, ClientByteEndsStreamAndNewTargetIsNeeded)
{
    start("1");
    ASSERT_EQ(ask(kDefaultTarget), "OK\n");
    UniqueFD events = event_connect();
    ASSERT_TRUE(events.valid());
    VBlankEvent event;
    ASSERT_EQ(read_event(events.get(), &event), 32);

    // A second client of the same target is never accepted.
    UniqueFD second = event_connect();
    if (second.valid()) {
        EXPECT_EQ(read_event(second.get(), &event, 300), -1);
    }

    ASSERT_EQ(send(events.get(), "x", 1, MSG_NOSIGNAL), 1);
    EXPECT_TRUE(stream_ends(events.get(), 3000));
    EXPECT_TRUE(helper_wait_for_text(helper_, "[Helper Thread] Client disconnected.\n", 3000));
    EXPECT_TRUE(wait_socket_file_gone(3000));
    EXPECT_EQ(helper_count_text(helper_, "[Event Thread] Client connected"), 1);
    if (second.valid()) {
        EXPECT_TRUE(stream_ends(second.get(), 3000));
    }
    EXPECT_FALSE(event_connect().valid());

    // The target itself stays set; only a new SET_TARGET offers events again.
    Reply frame;
    ASSERT_EQ(request(client_.get(), UDS_COMMAND_GET_FRAME, &frame), 0);
    EXPECT_EQ(frame.fds.size(), 1u);
    ASSERT_EQ(ask(kDefaultTarget), "OK\n");
    // The ended service is not reported as a running one being stopped.
    EXPECT_EQ(helper_count_text(helper_, "[Main Socket] Stopping old event thread"), 0);
    events = event_connect();
    ASSERT_TRUE(events.valid());
    EXPECT_EQ(read_event(events.get(), &event), 32);
}

TEST_F(EventServiceTest, CommandDisconnectEndsEventStream)
{
    start("1");
    ASSERT_EQ(ask(kDefaultTarget), "OK\n");
    UniqueFD events = event_connect();
    ASSERT_TRUE(events.valid());
    VBlankEvent event;
    ASSERT_EQ(read_event(events.get(), &event), 32);
    disconnect();
    EXPECT_TRUE(stream_ends(events.get(), 3000));
    EXPECT_FALSE(socket_file_exists());
}

// The service is stopped while it still waits for its event client: each
// re-target and each disconnect must end the waiting thread, and the new
// target's socket must be the one that is served.
TEST_F(EventServiceTest, StopEndsServiceWaitingForItsClient)
{
    start_and_measure_rest();

    client_ = command_connect();
    ASSERT_EQ(ask(kDefaultTarget), "OK\n");
    const int serving_threads = helper_thread_count(helper_);
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(ask(kDefaultTarget), "OK\n");
    EXPECT_EQ(helper_count_text(helper_, "[Main Socket] Stopping old event thread"), 20);
    EXPECT_EQ(helper_thread_count(helper_), serving_threads);

    UniqueFD events = event_connect();
    ASSERT_TRUE(events.valid());
    VBlankEvent event;
    EXPECT_EQ(read_event(events.get(), &event), 32);
    events.reset();

    ASSERT_EQ(ask(kDefaultTarget), "OK\n");
    disconnect();
    EXPECT_FALSE(socket_file_exists());
    expect_at_rest();
}

// A client that never reads fills its socket and blocks the service in a
// send; a re-target, a disconnect and a byte from the client must still end
// it.
TEST_F(EventServiceTest, StopEndsServiceBlockedOnClientThatDoesNotRead)
{
    start_and_measure_rest();

    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        client_ = command_connect();
        ASSERT_EQ(ask(kDefaultTarget), "OK\n");
        UniqueFD stuck = event_connect();
        ASSERT_TRUE(stuck.valid());
        const int64_t connected = monotonic_ms();
        // The server's send buffer holds between four and five seconds of
        // events at 60 Hz.
        sleep(6);

        if (round == 0) {
            // Re-target: answered, the old stream ends, the new one flows.
            ASSERT_EQ(ask(kDefaultTarget), "OK\n");
            int queued = drain(stuck.get(), 3000);
            ASSERT_GE(queued, 0) << "the old stream did not end";
            // Fewer events were queued than blanks went by: the service
            // really was held up by the full socket.
            EXPECT_LT(queued, (monotonic_ms() - connected) * 60 / 1000 - 30);
            UniqueFD events = event_connect();
            ASSERT_TRUE(events.valid());
            VBlankEvent event;
            EXPECT_EQ(read_event(events.get(), &event), 32);
        } else if (round == 2) {
            // The client speaks without reading: its stream ends.
            ASSERT_EQ(send(stuck.get(), "x", 1, MSG_NOSIGNAL), 1);
            EXPECT_TRUE(helper_wait_for_text(helper_, "[Helper Thread] Client disconnected.\n", 3000));
            EXPECT_TRUE(stream_ends(stuck.get(), 3000));
            EXPECT_TRUE(wait_socket_file_gone(3000));
        }
        disconnect();
        if (round == 1) {
            EXPECT_TRUE(stream_ends(stuck.get(), 3000));
        }
        expect_at_rest();
    }
    EXPECT_EQ(helper_count_text(helper_, "Failed to write to client"), 0);
}

TEST_F(EventServiceTest, RepeatedTargetsAndReconnectsDoNotLeak)
{
    start_and_measure_rest();

    VBlankEvent event;
    UniqueFD keep;
    for (int i = 0; i < 300; ++i) {
        if (!client_.valid())
            client_ = command_connect();
        ASSERT_EQ(ask(kDefaultTarget), "OK\n") << "round " << i;
        switch (i % 4) {
        case 0:  // nobody connects to the event socket
            break;
        case 1: {  // a reader that takes one event and hangs up
            UniqueFD events = event_connect();
            ASSERT_TRUE(events.valid()) << "round " << i;
            ASSERT_EQ(read_event(events.get(), &event), 32) << "round " << i;
            break;
        }
        case 2: {  // a reader that ends its own stream
            UniqueFD events = event_connect();
            ASSERT_TRUE(events.valid()) << "round " << i;
            send(events.get(), "q", 1, MSG_NOSIGNAL);
            break;
        }
        case 3:  // connected but never read
            keep = event_connect();
            break;
        }
        if (i % 3 == 2)
            disconnect();
    }
    if (client_.valid())
        disconnect();
    expect_at_rest();
    EXPECT_FALSE(socket_file_exists());
}
