// The control thread over a real sequenced-packet connection: the record
// table, the CONFIG reply, and a relay that closes its end.
#include "apps/capture/streamer/streamer.h"
#include "tests/streamer/peers.h"
#include "libs/common/relay_protocol.h"

#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr const char *kRtp = relay_protocol::kRtpSocketPath;
constexpr const char *kControl = relay_protocol::kControlSocketPath;

struct Seen {
    uint32_t event;
    bool has_data;
    std::string payload;  // the bytes, or the i32 as decimal for event 2
    uint64_t length;
    bool terminated;  // a NUL follows a text payload
};

struct Recorder {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Seen> events;
    pid_t tid = 0;
    bool hold = false;  // the callback waits while set

    static void callback(uint32_t event, const void *data, uint64_t length, void *user)
    {
        auto *r = static_cast<Recorder *>(user);
        Seen s{event, data != nullptr, {}, length, false};
        if (event == FEEDBACK_BITRATE && data) {
            int32_t v;
            std::memcpy(&v, data, sizeof(v));
            s.payload = std::to_string(v);
        } else if (data) {
            s.payload.assign(static_cast<const char *>(data), length);
            s.terminated = static_cast<const char *>(data)[length] == '\0';
        }
        std::unique_lock<std::mutex> guard(r->lock);
        r->tid = static_cast<pid_t>(syscall(SYS_gettid));
        r->events.push_back(s);
        r->changed.notify_all();
        r->changed.wait(guard, [r] { return !r->hold; });
    }
    bool wait_for(size_t count)
    {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::seconds(5), [&] { return events.size() >= count; });
    }
};

struct ControlTest : ::testing::Test {
    UniqueFD rtp, listener, control;
    StreamerConfig config{};
    Recorder recorder;
    Streamer *streamer = nullptr;

    void SetUp() override
    {
        rtp = peer_bind_datagram(kRtp);
        listener = peer_listen_seqpacket(kControl);
        ASSERT_TRUE(rtp && listener);
        config.rtp_path = kRtp;
        config.control_path = kControl;
        config.width = 1280;
        config.height = 720;
        config.codec_name = "H264";
        config.mode = 0;
        config.vblank_sync = false;
        config.fps = 60;
        config.upstream_fps = 59.94;
        config.upstream_width = 2560;
        config.upstream_height = 1440;
        config.feedback = Recorder::callback;
        config.feedback_user = &recorder;
    }
    void connect()
    {
        ASSERT_EQ(streamer_init(&streamer, &config), 0);
        testing::internal::CaptureStdout();
        ASSERT_EQ(streamer_connect(streamer), 0);
        testing::internal::GetCapturedStdout();
        control = peer_accept(listener.get(), 1000);
        ASSERT_TRUE(control);
    }
    std::string query(const std::string &record = "CONFIG")
    {
        EXPECT_TRUE(peer_send_record(control.get(), record));
        return peer_read_record(control.get(), 5000);
    }
    void TearDown() override
    {
        if (streamer) {
            EXPECT_EQ(streamer_cleanup(streamer), 0);
        }
    }
};

const char kCompatibleReply[] =
    "CONFIG\nresolution=1280x720\nupstream_resolution=2560x1440\ncodec=H264\nmode=compatible\n"
    "vblank_sync=fix\nfps=60\nupstream_fps=59.9\n";

TEST_F(ControlTest, RecordsBecomeEventsByTheirFirstBytes)
{
    connect();
    const std::string long_sdp = "SDP:" + std::string(4996, 'a');
    const std::vector<std::string> records = {
        "SDP:v=0\n", "BPS:4000000",       "BPS:abc",           "IDRX",  "RESOLUTION:1280x720\n", "CODEC:", "RESTART",
        "RECONFIG",  "RECONFIG\nBPS:1\n", "MODE:fast:sync:30", "HELLO", "sdp:lower case",        "BPS",    long_sdp,
    };
    for (const std::string &r : records)
        ASSERT_TRUE(peer_send_record(control.get(), r));
    // Records are handled in order, one at a time: once CONFIGURE is
    // answered, every record before it has been dispatched.
    EXPECT_EQ(query("CONFIGURE"), kCompatibleReply);

    const std::vector<Seen> expected = {
        {FEEDBACK_SDP, true, "v=0\n", 4, true},
        {FEEDBACK_BITRATE, true, "4000000", 4, false},
        {FEEDBACK_BITRATE, true, "0", 4, false},
        {FEEDBACK_KEYFRAME, false, "", 0, false},
        {FEEDBACK_RESOLUTION, true, "1280x720\n", 9, true},
        {FEEDBACK_CODEC, true, "", 0, true},
        {FEEDBACK_RESTART, false, "", 0, false},
        {FEEDBACK_RECONFIG, true, "BPS:1\n", 6, true},
        {FEEDBACK_MODE, true, "fast:sync:30", 12, true},
        {FEEDBACK_SDP, true, std::string(4091, 'a'), 4091, true},
    };
    std::lock_guard<std::mutex> guard(recorder.lock);
    ASSERT_EQ(recorder.events.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        const Seen &got = recorder.events[i];
        EXPECT_EQ(got.event, expected[i].event);
        EXPECT_EQ(got.has_data, expected[i].has_data);
        EXPECT_EQ(got.payload, expected[i].payload);
        EXPECT_EQ(got.length, expected[i].length);
        EXPECT_EQ(got.terminated, expected[i].terminated);
    }
}

TEST_F(ControlTest, ConfigIsAnsweredWithoutACallbackAndFollowsTheConfig)
{
    config.feedback = nullptr;
    connect();
    EXPECT_TRUE(peer_send_record(control.get(), "IDR"));  // dropped silently
    EXPECT_EQ(query(), kCompatibleReply);

    config.upstream_fps = 30.04;  // the pipeline keeps it current
    config.codec_name = nullptr;
    config.mode = 2;
    config.vblank_sync = true;
    EXPECT_EQ(query(), "CONFIG\nresolution=1280x720\nupstream_resolution=2560x1440\ncodec=unknown\nmode=fast\n"
                       "vblank_sync=sync\nfps=60\nupstream_fps=30.0\n");
    config.mode = 1;
    EXPECT_NE(query().find("\nmode=balanced\n"), std::string::npos);
}

// A 10-bit stream's reply adds its colour after the 8-bit reply's lines;
// the mastering metadata only when the connector gives it.
TEST_F(ControlTest, TenBitStreamReplyAddsItsColour)
{
    const HdrSignal pq{HDR_TRANSFER_PQ, true, {{35400, 14600}, {8500, 39850}, {6550, 2300}}, {15635, 16450}, 1000, 50,
                       1000, 400};
    HdrSignal hlg;
    hlg.transfer = HDR_TRANSFER_HLG;
    hlg.bt2020 = true;
    const HdrSignal sdr;
    const struct {
        const HdrSignal *signal;
        std::string added;
    } cases[] = {
        {&pq, "depth=10\nprimaries=bt2020\ntransfer=smpte2084\nmatrix=bt2020nc\nrange=limited\n"
              "mastering_display=0.70800,0.29200,0.17000,0.79700,0.13100,0.04600,0.31270,0.32900,1000,0.0050\n"
              "content_light=1000,400\n"},
        {&hlg, "depth=10\nprimaries=bt2020\ntransfer=arib-std-b67\nmatrix=bt2020nc\nrange=limited\n"},
        {&sdr, "depth=10\nprimaries=bt709\ntransfer=bt709\nmatrix=bt709\nrange=limited\n"},
        {nullptr, ""},
    };
    connect();
    for (const auto &c : cases) {
        config.hdr = c.signal;
        EXPECT_EQ(query(), kCompatibleReply + c.added);
    }
}

std::pair<long, long> cpu_ticks(pid_t tid)
{
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(in, line);
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string skip;
    for (int i = 3; i < 14; ++i)  // state .. cmajflt
        fields >> skip;
    long utime = -1, stime = -1;
    fields >> utime >> stime;
    return {utime, stime};
}

// The relay asks for the configuration and closes at once: the failed reply
// is reported (no SIGPIPE), the thread then sleeps instead of spinning on
// end of stream, and cleanup ends it promptly.
TEST_F(ControlTest, RelayThatClosesCostsNothingAndStopsPromptly)
{
    connect();
    recorder.hold = true;
    ASSERT_TRUE(peer_send_record(control.get(), "RESTART"));
    ASSERT_TRUE(recorder.wait_for(1));
    const pid_t tid = recorder.tid;
    ASSERT_GT(tid, 0);

    // The thread is held in the callback while the relay asks and leaves,
    // so the reply goes to a closed connection.
    testing::internal::CaptureStderr();
    ASSERT_TRUE(peer_send_record(control.get(), "CONFIG"));
    control.reset();
    {
        std::lock_guard<std::mutex> guard(recorder.lock);
        recorder.hold = false;
        recorder.changed.notify_all();
    }
    usleep(300000);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "[Streamer] CONFIG query received\n"
                   "[Streamer] Failed to send CONFIG response: Broken pipe\n");

    const auto before = cpu_ticks(tid);
    ASSERT_GE(before.first, 0);
    usleep(1000000);
    const auto after = cpu_ticks(tid);
    EXPECT_LE((after.first + after.second) - (before.first + before.second), 2)
        << "the control thread keeps running after the relay closed";

    EXPECT_LT(elapsed_ms([&] { EXPECT_EQ(streamer_cleanup(streamer), 0); }), 200);
    streamer = nullptr;
}

// A reader blocked on a live connection is ended by cleanup too.
TEST_F(ControlTest, CleanupEndsABlockedRead)
{
    connect();
    EXPECT_EQ(query(), kCompatibleReply);
    usleep(100000);
    EXPECT_LT(elapsed_ms([&] { EXPECT_EQ(streamer_cleanup(streamer), 0); }), 200);
    streamer = nullptr;
}

}  // namespace
