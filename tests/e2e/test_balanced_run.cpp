// The balanced pipeline run in-process against a memory frame and a scripted
// event stream (one end of a sequenced-packet pair stands in for the helper's
// event socket), streaming to the real vistrel-relay. Event times are
// scripted exactly one display period apart; they are sent more slowly than
// that, so that this machine's speed does not decide which events are taken.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "apps/capture/core/capture_config.h"
#include "apps/capture/core/pipeline_control.h"
#include "apps/capture/core/stop_flag.h"
#include "apps/capture/pipelines/pipelines.h"
#include "apps/capture/source/capture_session.h"
#include "apps/capture/source/egl_context.h"
#include "tests/e2e/e2e_processes.h"

namespace {

constexpr uint32_t kXrgb8888 = 0x34325258;  // 'XR24'
constexpr uint64_t kPeriodNs = 16666667;    // 60 Hz

uint64_t realtime_ns()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

class BalancedRun : public testing::Test {
protected:
    static constexpr int kWidth = 960, kHeight = 540;

    void SetUp() override
    {
        g_terminate_flag = 0;
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        unsetenv("EGL_PLATFORM");
        frame_fd_.reset(memfd_create("frame", MFD_CLOEXEC | MFD_ALLOW_SEALING));
        ASSERT_TRUE(frame_fd_);
        const size_t size = size_t(kWidth) * kHeight * 4;
        ASSERT_EQ(ftruncate(frame_fd_.get(), off_t(size)), 0);
        void *map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, frame_fd_.get(), 0);
        ASSERT_NE(map, MAP_FAILED);
        pixels_ = static_cast<uint8_t *>(map);
        draw(0);

        meta_.fd = frame_fd_.get();
        meta_.width = kWidth;
        meta_.height = kHeight;
        meta_.format = kXrgb8888;
        meta_.stride = kWidth * 4;
        meta_.refresh_rate = 60;
        meta_.plane_count = 1;
        meta_.planes[0].stride = meta_.stride;

        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
        helper_end_.reset(pair[1]);
        connection_.event_fd.reset(pair[0]);

        session_.settings = capture_config_default();
        session_.settings.mode = CAPTURE_MODE_BALANCED;
        session_.initialised = true;
        session_.connection = &connection_;
        session_.metadata = &meta_;

        control_.new_width = -1;
        control_.new_height = -1;
        control_.new_codec = CODEC_TYPE_UNCHANGED;

        ASSERT_EQ(egl_context_init(&egl_, &meta_), 0);
        ASSERT_EQ(egl_load_entry_points(), 0);
    }

    void TearDown() override
    {
        egl_context_cleanup(&egl_);
        if (pixels_)
            munmap(pixels_, size_t(kWidth) * kHeight * 4);
    }

    // A picture that moves: a bright vertical bar 64 pixels further on per
    // frame over a gradient.
    void draw(int frame)
    {
        if (noisy_) {
            // Detail that changes everywhere every frame: costly to encode.
            uint32_t state = 2463534242u + uint32_t(frame) * 7919u;
            uint32_t *words = reinterpret_cast<uint32_t *>(pixels_);
            for (size_t i = 0; i < size_t(kWidth) * kHeight; ++i) {
                state ^= state << 13;
                state ^= state >> 17;
                state ^= state << 5;
                words[i] = state | 0xff000000u;
            }
            return;
        }
        const int bar = (frame * 64) % kWidth;
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                uint8_t *p = pixels_ + (size_t(y) * kWidth + x) * 4;
                const bool lit = x >= bar && x < bar + 32;
                p[0] = lit ? 250 : uint8_t(x / 8);
                p[1] = lit ? 250 : uint8_t(y / 4);
                p[2] = lit ? 250 : 60;
                p[3] = 0xff;
            }
    }

    // Sends `count` events (wall-clock times one period apart from a start
    // near now), redrawing the frame before each, spaced spacing_ms in real
    // time; on_event runs after event i was sent. Then ends the stream.
    std::thread feed(int count, int spacing_ms, std::function<void(int)> on_event = {})
    {
        return std::thread([this, count, spacing_ms, on_event] {
            // Events queued before the listener runs would be taken as one:
            // start once the run has published its encoder and had time to
            // start its streamer and listener.
            for (long long end = e2e_now_ms() + 10000; e2e_now_ms() < end;
                 std::this_thread::sleep_for(std::chrono::milliseconds(5)))
                if (control_.cpu_encoder.load() != nullptr)
                    break;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            first_event_ns_ = realtime_ns();
            for (int i = 0; i < count && !stop_feeding_; ++i) {
                draw(i);
                VBlankEvent e{1, 24, uint64_t(i + 1), 0, first_event_ns_ + uint64_t(i) * kPeriodNs};
                if (send(helper_end_.get(), &e, sizeof e, MSG_NOSIGNAL) != ssize_t(sizeof e))
                    break;
                if (on_event)
                    on_event(i);
                std::this_thread::sleep_for(std::chrono::milliseconds(spacing_ms));
            }
            shutdown(helper_end_.get(), SHUT_RDWR);
        });
    }

    uint64_t event_ms(int i) const { return (first_event_ns_ + uint64_t(i) * kPeriodNs) / 1000000; }

    // The event whose millisecond is ms, or -1.
    int event_index(uint64_t ms, int count) const
    {
        for (int i = 0; i < count; ++i)
            if (event_ms(i) == ms)
                return i;
        return -1;
    }

    int run(CodecType codec) { return _capture_gl_cpu_hybrid(&egl_, &session_, codec, &control_); }

    UniqueFD frame_fd_;
    uint8_t *pixels_ = nullptr;
    FrameMetadata meta_{};
    UniqueFD helper_end_;
    ServerConnection connection_{};
    CaptureSession session_{};
    PipelineControl control_{};
    EglContext egl_{};
    uint64_t first_event_ns_ = 0;
    std::atomic<bool> stop_feeding_{false};
    bool noisy_ = false;
};

// VBlank-Sync: every event renders, the first packet comes from the second
// event and shows the first event's watermark, packet times step by one
// period, the decoded pictures are the frame's and they move.
TEST_F(BalancedRun, VBlankSyncStreamsEveryEventWithItsWatermark)
{
    E2eProcess relay;
    ASSERT_EQ(e2e_start_relay(&relay, {"--latency", "--per-frame", "--udp-port", "0", "--record", "/tmp/run.mkv"}), 0);
    const int events = 24;
    std::thread feeder = feed(events, 100);
    const int result = run(CODEC_TYPE_H264);
    feeder.join();
    EXPECT_EQ(result, 0);  // the stream ended; the last encode succeeded
    EXPECT_EQ(control_.cpu_encoder.load(), nullptr);
    EXPECT_EQ(meta_.texture, 0u);
    e2e_stop(&relay, SIGINT, 10000);

    // Events are sent slowly enough that none is skipped on a quiet
    // machine; on a loaded one the pipeline may skip some (it always takes
    // the newest), so the checks hold either way.
    const std::string out = e2e_stdout(&relay);
    auto values = e2e_values(out);
    EXPECT_LE(std::stoi(values["frames"]), events - 1);
    EXPECT_EQ(values["decoded_size"], "960x540");
    EXPECT_EQ(values["decoded_codec"], "h264");
    EXPECT_EQ(values["timestamp_backward"], "0");

    std::vector<E2eFrameLine> frames = e2e_frame_lines(out);
    ASSERT_GE(frames.size(), 5u);
    int previous = -1;
    for (size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i));
        // Each picture shows one event's time, in the events' order.
        const int index = event_index(frames[i].watermark_ms, events);
        ASSERT_GT(index, previous);
        // The packet carries the time of the event it was read back at,
        // the one after the event it shows: one period per event.
        if (i + 1 < frames.size() && i > 0) {
            const double step = double(uint32_t(frames[i].rtp_timestamp - frames[i - 1].rtp_timestamp)) / 90.0;
            EXPECT_NEAR(step, double(frames[i + 1].watermark_ms - frames[i].watermark_ms), 2.5);
        }
        previous = index;
    }
    if (frames.size() == size_t(events - 1)) {  // nothing skipped: the first packet shows the first event
        EXPECT_EQ(frames[0].watermark_ms, event_ms(0));
    }
    // One frame late: the last event's picture is never sent.
    EXPECT_LT(frames.back().watermark_ms, event_ms(events - 1));

    std::vector<E2eFrame> pictures;
    ASSERT_EQ(e2e_decode_file("/tmp/run.mkv", events, &pictures), 0);
    ASSERT_GE(pictures.size(), 4u);
    for (size_t i = 1; i < pictures.size(); ++i)
        EXPECT_GT(e2e_luma_difference(pictures[i - 1], pictures[i], 200, 540), 2.0) << "frame " << i;
}

// With the same-frame read-back the packet of an event shows that event's
// picture: the first event sends, and so does the last, whose picture the
// one-frame-late read-back never sends.
TEST_F(BalancedRun, SameFrameReadBackSendsEachEventsOwnPicture)
{
    session_.settings.same_frame_readback = true;
    E2eProcess relay;
    ASSERT_EQ(e2e_start_relay(&relay, {"--latency", "--per-frame", "--udp-port", "0"}), 0);
    const int events = 12;
    // The last event is taken before the stream ends, however busy the machine.
    std::thread feeder = feed(events, 100, [](int i) {
        if (i == events - 1)
            std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    });
    EXPECT_EQ(run(CODEC_TYPE_H264), 0);
    feeder.join();
    e2e_stop(&relay, SIGINT, 10000);

    std::vector<E2eFrameLine> frames = e2e_frame_lines(e2e_stdout(&relay));
    ASSERT_GE(frames.size(), 5u);
    EXPECT_EQ(frames.front().watermark_ms, event_ms(0));
    EXPECT_EQ(frames.back().watermark_ms, event_ms(events - 1));
    for (size_t i = 1; i < frames.size(); ++i)
        EXPECT_GT(event_index(frames[i].watermark_ms, events), event_index(frames[i - 1].watermark_ms, events));
}

// Fixed-FPS at 30 on a 60 Hz display: the first two events render, then
// every second one; packet times step by about 1/30 s.
TEST_F(BalancedRun, FixedFpsThinsEventsToTheConfiguredRate)
{
    session_.settings.vblank_sync = false;
    session_.settings.fps = 30;
    E2eProcess relay;
    ASSERT_EQ(e2e_start_relay(&relay, {"--latency", "--per-frame", "--udp-port", "0"}), 0);
    const int events = 30;
    std::thread feeder = feed(events, 100);
    EXPECT_EQ(run(CODEC_TYPE_H264), 0);
    feeder.join();
    e2e_stop(&relay, SIGINT, 10000);

    const std::string out = e2e_stdout(&relay);
    // Renders: events 0, 1, 3, 5, ..., 29 (16); the first gives no packet.
    EXPECT_LE(std::stoi(e2e_values(out)["frames"]), 15);
    std::vector<E2eFrameLine> frames = e2e_frame_lines(out);
    ASSERT_GE(frames.size(), 5u);
    for (size_t i = 2; i < frames.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i));
        const int index = event_index(frames[i].watermark_ms, events);
        const int before = event_index(frames[i - 1].watermark_ms, events);
        ASSERT_GE(before, 0);
        EXPECT_GE(index - before, 2);  // never two frames in one 30 Hz period
        const uint32_t step = frames[i].rtp_timestamp - frames[i - 1].rtp_timestamp;
        EXPECT_GE(step, 2700u);
    }
    if (frames.size() == 15u) {  // nothing skipped: exactly events 0, 1, 3, 5, ...
        EXPECT_EQ(frames[0].watermark_ms, event_ms(0));
        EXPECT_EQ(frames[1].watermark_ms, event_ms(1));
        for (size_t i = 2; i < frames.size(); ++i)
            EXPECT_EQ(frames[i].watermark_ms, event_ms(int(2 * i - 1))) << "frame " << i;
    }
}

// A resolution request ends the run with 18 after one more event; a codec
// request with 19.
// Size and codec requests keep coming while the run ends: the first ends
// the run, the rest arrive during its teardown. The run's result is read
// from the control only after the control thread has stopped, so it is the
// code of a request that was taken, and ThreadSanitizer (the tsan stage
// runs this test) sees no race between the result and the late requests.
TEST_F(BalancedRun, RequestsDuringTheRunsEndDoNotRaceItsResult)
{
    std::vector<std::string> args = {"--udp-port", "0"};
    for (int i = 0; i < 60; ++i) {
        args.push_back("--send");
        args.push_back(std::to_string(400 + 4 * i) + (i % 2 ? ":CODEC:vp9" : ":RESOLUTION:960x540"));
    }
    E2eProcess relay;
    ASSERT_EQ(e2e_start_relay(&relay, args), 0);
    testing::internal::CaptureStderr();
    std::thread feeder = feed(200, 30);
    const int result = run(CODEC_TYPE_H264);
    stop_feeding_ = true;
    feeder.join();
    stop_feeding_ = false;
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, PIPELINE_RESTART_RESIZE);
    EXPECT_EQ(control_.new_width, 960);
    EXPECT_EQ(control_.cpu_encoder.load(), nullptr);
    e2e_stop(&relay, SIGINT, 5000);
}

TEST_F(BalancedRun, ChangeRequestsEndTheRunWithTheirRestartCode)
{
    struct Case {
        const char *record;
        int expected;
    } cases[] = {{"RESOLUTION:960x540", PIPELINE_RESTART_RESIZE},
                 {"CODEC:vp9", PIPELINE_RESTART_CODEC},
                 {"MODE:compatible:fix:30", PIPELINE_RESTART_SETTINGS}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.record);
        control_.change_requested = false;
        control_.new_width = control_.new_height = -1;
        control_.new_codec = CODEC_TYPE_UNCHANGED;
        E2eProcess relay;
        ASSERT_EQ(e2e_start_relay(&relay, {"--udp-port", "0", "--send", std::string("400:") + c.record}), 0);
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
        helper_end_.reset(pair[1]);
        connection_.event_fd.reset(pair[0]);

        testing::internal::CaptureStderr();
        std::thread feeder = feed(200, 30);
        const long long start = e2e_now_ms();
        const int result = run(CODEC_TYPE_H264);
        const long long took = e2e_now_ms() - start;
        stop_feeding_ = true;
        feeder.join();
        stop_feeding_ = false;
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(result, c.expected);
        EXPECT_LT(took, 3000);  // the run did not wait for the 200 events
        EXPECT_NE(err.find("[GL+CPU] Pipeline restart requested\n"), std::string::npos);
        EXPECT_EQ(control_.cpu_encoder.load(), nullptr);
        e2e_stop(&relay, SIGINT, 5000);
    }
    EXPECT_EQ(control_.mode, CAPTURE_MODE_COMPATIBLE);
}

// The stop flag ends the run after the current iteration, with everything
// released; setting it while no event comes ends the wait as well.
TEST_F(BalancedRun, StopFlagEndsTheRunPromptly)
{
    E2eProcess relay;
    ASSERT_EQ(e2e_start_relay(&relay, {"--udp-port", "0"}), 0);
    long long stopped_at = 0;
    std::thread feeder = feed(6, 40, [&](int i) {
        if (i == 5) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            stopped_at = e2e_now_ms();
            g_terminate_flag = 1;
            std::this_thread::sleep_for(std::chrono::milliseconds(2000));
        }
    });
    const int result = run(CODEC_TYPE_H264);
    const long long ended_at = e2e_now_ms();
    feeder.join();
    EXPECT_TRUE(result < 17 || result > 20) << result;
    EXPECT_GT(stopped_at, 0);
    EXPECT_LT(ended_at - stopped_at, 1000);
    EXPECT_EQ(control_.cpu_encoder.load(), nullptr);
    e2e_stop(&relay, SIGINT, 5000);
    // At most one packet per event before the stop, none after it.
    EXPECT_LE(std::stoi(e2e_values(e2e_stdout(&relay))["frames"]), 5);
}

// VP9 and the other software codecs stream and decode as their own codec.
TEST_F(BalancedRun, Vp9RunDecodesAsVp9)
{
    E2eProcess relay;
    ASSERT_EQ(e2e_start_relay(&relay, {"--codec", "vp9", "--latency", "--udp-port", "0"}), 0);
    std::thread feeder = feed(12, 100);
    EXPECT_EQ(run(CODEC_TYPE_VP9), 0);
    feeder.join();
    e2e_stop(&relay, SIGINT, 10000);
    auto values = e2e_values(e2e_stdout(&relay));
    EXPECT_EQ(values["decoded_codec"], "vp9");
    EXPECT_EQ(values["decoded_size"], "960x540");
    EXPECT_GE(std::stoi(values["latency_frames"]), 3);
}

// Set-up failures release what was made and return -1: a codec without a
// software encoder, a session without a frame.
TEST_F(BalancedRun, SetupFailuresReleaseEverything)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(run(CODEC_TYPE_UNCHANGED), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("[GL+CPU] Unsupported codec: Unknown\n"), std::string::npos);

    session_.metadata = nullptr;
    EXPECT_EQ(run(CODEC_TYPE_H264), -1);
    session_.metadata = &meta_;

    // A frame the upload path refuses (two planes) fails before the renderer.
    meta_.plane_count = 2;
    EXPECT_EQ(run(CODEC_TYPE_H264), -1);
    EXPECT_EQ(control_.cpu_encoder.load(), nullptr);
    EXPECT_EQ(meta_.texture, 0u);
}

}  // namespace

namespace {

// Mean packet bytes of the inter frames in [from, to).
double mean_inter_bytes(const std::vector<E2eFrame> &pictures, size_t from, size_t to)
{
    double sum = 0;
    int n = 0;
    for (size_t i = from; i < to && i < pictures.size(); ++i)
        if (!pictures[i].key_frame) {
            sum += pictures[i].packet_bytes;
            ++n;
        }
    return n ? sum / n : 0.0;
}

// A rate request reaches the running encoder without a restart, and on VP9
// the frames after it are smaller. (The H.264 row encodes at a constant
// quantiser, which no rate request changes. VP8's real-time mode picks its
// speed from how long the machine takes per frame: on a loaded machine its
// noisy frames sit at the size of its coarsest quantiser before the request
// as after it, so only the request's arrival is checked there.)
class BalancedRate : public BalancedRun, public testing::WithParamInterface<CodecType> {};

TEST_P(BalancedRate, BitRateRequestActsWithoutRestart)
{
    const CodecType codec = GetParam();
    noisy_ = true;
    const char *name = codec == CODEC_TYPE_VP8 ? "vp8" : "vp9";
    E2eProcess relay;
    ASSERT_EQ(e2e_start_relay(&relay, {"--codec", name, "--udp-port", "0", "--record", "/tmp/rate.mkv", "--send",
                                       "1500:BPS:500000"}),
              0);
    std::thread feeder = feed(30, 100);
    testing::internal::CaptureStderr();
    EXPECT_EQ(run(codec), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    feeder.join();
    e2e_stop(&relay, SIGINT, 10000);
    EXPECT_NE(err.find("[CPU Encoder] Bitrate set to 500000 bps\n"), std::string::npos);
    EXPECT_EQ(e2e_values(e2e_stdout(&relay))["streams"], "1");
    std::vector<E2eFrame> pictures;
    ASSERT_EQ(e2e_decode_file("/tmp/rate.mkv", 100, &pictures), 0);
    ASSERT_GE(pictures.size(), 9u);
    const size_t third = pictures.size() / 3;
    const double before = mean_inter_bytes(pictures, 1, third), after = mean_inter_bytes(pictures, 2 * third, 100);
    std::printf("[ report ] %s inter-frame bytes %.0f before, %.0f after\n", name, before, after);
    if (codec == CODEC_TYPE_VP9) {
        EXPECT_LT(after, 0.8 * before);
    }
}

INSTANTIATE_TEST_SUITE_P(Codecs, BalancedRate, testing::Values(CODEC_TYPE_VP8, CODEC_TYPE_VP9));

}  // namespace

namespace {

// A key-frame request gives an intra frame within a few frames, long before
// the group of pictures (60) would.
TEST_F(BalancedRun, KeyFrameRequestGivesAnIntraFrame)
{
    E2eProcess relay;
    ASSERT_EQ(e2e_start_relay(&relay, {"--udp-port", "0", "--record", "/tmp/idr.mkv", "--send", "1200:IDR"}), 0);
    std::thread feeder = feed(24, 100);
    EXPECT_EQ(run(CODEC_TYPE_H264), 0);
    feeder.join();
    e2e_stop(&relay, SIGINT, 10000);
    std::vector<E2eFrame> pictures;
    ASSERT_EQ(e2e_decode_file("/tmp/idr.mkv", 100, &pictures), 0);
    ASSERT_GE(pictures.size(), 8u);
    EXPECT_TRUE(pictures[0].key_frame);
    int intra = 0;
    for (size_t i = 1; i < pictures.size(); ++i)
        intra += pictures[i].key_frame ? 1 : 0;
    EXPECT_EQ(intra, 1);
}

}  // namespace
