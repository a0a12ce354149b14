// The compatible pipeline run in-process against a memory frame and a
// scripted event stream (one end of a sequenced-packet pair stands in for the
// helper's event socket), streaming to the real vistrel-relay. Events are
// scripted one 60 Hz period apart and sent more slowly than that, so this
// machine's speed decides neither which events are taken nor the rate.
#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <regex>
#include <thread>

#include "apps/capture/convert/yuv_convert.h"
#include "apps/capture/core/capture_config.h"
#include "apps/capture/core/pipeline_control.h"
#include "apps/capture/core/stop_flag.h"
#include "apps/capture/encoders/codec.h"
#include "apps/capture/pipelines/pipelines.h"
#include "apps/capture/pipelines/watermark_font.h"
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

// The values of every "FPS t=... cur=X ..." statistics line.
std::vector<double> statistics_rates(const std::string &out)
{
    std::vector<double> rates;
    const std::regex line(R"(FPS t=\d+ cur=([0-9.]+) act=[0-9.]+ up=[0-9.]+Hz diff=[-+][0-9.]+ms total=)");
    for (auto it = std::sregex_iterator(out.begin(), out.end(), line); it != std::sregex_iterator(); ++it)
        rates.push_back(std::stod((*it)[1].str()));
    return rates;
}

class CompatibleRun : public testing::Test {
protected:
    static constexpr int kWidth = 1280, kHeight = 720;

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

        new_event_pair();

        session_.settings = capture_config_default();
        session_.settings.mode = CAPTURE_MODE_COMPATIBLE;
        session_.settings.vblank_sync = false;
        session_.settings.fps = 60;
        // The GL path (upload, draw, pixel-pack read-back) is what most of
        // these tests pin; the processor's path is asked for where wanted.
        session_.settings.gl_readback = true;
        session_.initialised = true;
        session_.connection = &connection_;
        session_.metadata = &meta_;

        reset_control();
        ASSERT_EQ(egl_context_init(&egl_, &meta_), 0);
        ASSERT_EQ(egl_load_entry_points(), 0);
    }

    void TearDown() override
    {
        egl_context_cleanup(&egl_);
        if (pixels_)
            munmap(pixels_, size_t(kWidth) * kHeight * 4);
    }

    void new_event_pair()
    {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
        helper_end_.reset(pair[1]);
        connection_.event_fd.reset(pair[0]);
    }

    void reset_control()
    {
        control_.change_requested = false;
        control_.new_width = -1;
        control_.new_height = -1;
        control_.new_codec = CODEC_TYPE_UNCHANGED;
    }

    // A bright vertical bar 64 pixels further on per frame over a gradient,
    // below the watermark's rows.
    void draw(int frame)
    {
        if (bars_) {
            draw_bars();
            return;
        }
        const int bar = (frame * 64) % kWidth;
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                uint8_t *p = pixels_ + (size_t(y) * kWidth + x) * 4;
                const bool lit = y > 150 && x >= bar && x < bar + 32;
                p[0] = lit ? 250 : uint8_t(x / 8);
                p[1] = lit ? 250 : uint8_t(y / 4);
                p[2] = lit ? 250 : 60;
                p[3] = 0xff;
            }
    }

    // Eight colour bars (stored as written: B, G, R, X), still.
    void draw_bars()
    {
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                const uint8_t *c = kBars[x * 8 / kWidth];
                uint8_t *p = pixels_ + (size_t(y) * kWidth + x) * 4;
                p[0] = c[0];
                p[1] = c[1];
                p[2] = c[2];
                p[3] = 0xff;
            }
    }
    static constexpr uint8_t kBars[8][3] = {{235, 235, 235}, {235, 235, 16}, {16, 235, 235}, {16, 235, 16},
                                            {235, 16, 235},  {235, 16, 16},  {16, 16, 235},  {128, 128, 128}};

    // Sends `count` events one period apart in the helper's time, spaced
    // spacing_ms in real time, redrawing before each; on_event runs after
    // event i was sent. Then ends the stream.
    std::thread feed(int count, int spacing_ms, std::function<void(int)> on_event = {})
    {
        return std::thread([this, count, spacing_ms, on_event] {
            // Start once the run has published its encoder and had time to
            // start its streamer and listener.
            for (long long end = e2e_now_ms() + 10000; e2e_now_ms() < end;
                 std::this_thread::sleep_for(std::chrono::milliseconds(5)))
                if (control_.codec.load() != nullptr)
                    break;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            first_event_ns_ = realtime_ns();
            for (int i = 0; i < count && !stop_feeding_; ++i) {
                draw(i);
                const uint64_t gap = i + 1 == count ? last_gap_ns_ : 0;
                VBlankEvent e{1, 24, uint64_t(i + 1), 0, first_event_ns_ + uint64_t(i) * kPeriodNs + gap};
                if (send(helper_end_.get(), &e, sizeof e, MSG_NOSIGNAL) != ssize_t(sizeof e))
                    break;
                if (on_event)
                    on_event(i);
                std::this_thread::sleep_for(std::chrono::milliseconds(spacing_ms));
            }
            shutdown(helper_end_.get(), SHUT_RDWR);
        });
    }

    int run() { return _capture_cpu_h264(&egl_, &session_, &control_); }

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
    bool bars_ = false;
    uint64_t last_gap_ns_ = 0;  // added to the last event's time
};

// At 30 frames a second on a 60 Hz display the first event and then every
// second one give a frame; the stream is H.264 at the frame's own size; each
// decoded picture carries capture's wall clock in bitmap digits, rising with
// the frames; packet times step by about 1/30 s; the picture moves.
TEST_F(CompatibleRun, StreamsEverySecondEventWithTheWallClockWatermark)
{
    session_.settings.out_width = 640;  // not used by this mode
    session_.settings.out_height = 360;
    E2eProcess relay;
    ASSERT_EQ(e2e_start_relay(&relay, {"--udp-port", "0", "--query-config", "--record", "/tmp/run.mkv"}), 0);
    const int events = 25;
    const uint64_t before_ms = realtime_ns() / 1000000;
    testing::internal::CaptureStdout();
    std::thread feeder = feed(events, 60);
    const int result = run();
    feeder.join();
    const uint64_t after_ms = realtime_ns() / 1000000;
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, 0);  // the stream ended
    EXPECT_EQ(control_.codec, nullptr);
    EXPECT_EQ(meta_.texture, 0u);
    EXPECT_EQ(meta_.framebuffer, 0u);
    e2e_stop(&relay, SIGINT, 10000);

    EXPECT_NE(out.find("[Capture] Init Encoder: 1280x720 @ 60fps, 16000kbps\n"), std::string::npos) << out;
    EXPECT_NE(out.find("[Capture] Cleaning up resources...\n"), std::string::npos);
    // The first frame prints the statistics line: the initial 30, after one
    // adaptation step (5% down for a slow frame, 0.2 up for a quick one).
    const std::vector<double> rates = statistics_rates(out);
    ASSERT_FALSE(rates.empty()) << out;
    EXPECT_TRUE(rates[0] == 28.5 || rates[0] == 30.0 || rates[0] == 30.2) << rates[0];

    const std::string relay_out = e2e_stdout(&relay);
    auto values = e2e_values(relay_out);
    // Frames at events 0, 2, 4, ..., 24: 13 pictures, 13 packets (no delay
    // in the encoder's output is allowed for: at least 12).
    EXPECT_GE(std::stoi(values["frames"]), 12);
    EXPECT_LE(std::stoi(values["frames"]), 13);
    EXPECT_EQ(values["timestamp_backward"], "0");
    EXPECT_EQ(values["config.mode"], "compatible");
    EXPECT_EQ(values["config.vblank_sync"], "fix");
    EXPECT_EQ(values["config.fps"], "60");

    std::vector<E2eFrame> pictures;
    ASSERT_EQ(e2e_decode_file("/tmp/run.mkv", 100, &pictures), 0);
    ASSERT_GE(pictures.size(), 10u);
    uint64_t previous = 0;
    for (size_t i = 0; i < pictures.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(pictures[i].width, kWidth);
        ASSERT_EQ(pictures[i].height, kHeight);
        uint64_t stamp = 0;
        ASSERT_EQ(watermark_read_digits(pictures[i].luma.data(), kWidth, kHeight, kWidth, 13, &stamp), 0);
        EXPECT_GE(stamp, before_ms);
        EXPECT_LE(stamp, after_ms);
        EXPECT_GE(stamp, previous + 30);  // events are sent 60 ms apart, frames every second one
        previous = stamp;
        // Pictures 0 and 1 are both the one drawn before event 0: the read-back
        // primed at set-up, then the one started by frame 0.
        if (i == 1) {
            EXPECT_LT(e2e_luma_difference(pictures[0], pictures[1], 200, kHeight), 0.5);
        } else if (i > 1) {
            EXPECT_GT(e2e_luma_difference(pictures[i - 1], pictures[i], 200, kHeight), 1.0);
        }
    }
}

// The last event comes a second after the one before, so its pass always
// makes a frame. With the same-frame read-back that frame is the last
// event's own picture; one frame late, it is the previous frame's.
TEST_F(CompatibleRun, SameFrameReadBackEncodesThePassOwnPicture)
{
    last_gap_ns_ = 1000000000ull;
    const int events = 9;
    const int last_bar = ((events - 1) * 64) % kWidth;  // where draw() puts the last event's bar
    for (const bool same_frame : {true, false}) {
        SCOPED_TRACE(same_frame ? "same frame" : "one frame late");
        session_.settings.same_frame_readback = same_frame;
        new_event_pair();
        E2eProcess relay;
        ASSERT_EQ(e2e_start_relay(&relay, {"--udp-port", "0", "--record", "/tmp/last.mkv"}), 0);
        testing::internal::CaptureStdout();
        std::thread feeder = feed(events, 60, [](int i) {
            if (i == events - 1)
                std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        });
        EXPECT_EQ(run(), 0);
        feeder.join();
        testing::internal::GetCapturedStdout();
        e2e_stop(&relay, SIGINT, 10000);

        std::vector<E2eFrame> pictures;
        ASSERT_EQ(e2e_decode_file("/tmp/last.mkv", 100, &pictures), 0);
        ASSERT_GE(pictures.size(), 3u);
        const E2eFrame &last = pictures.back();
        const int lit = last.luma[size_t(400) * kWidth + last_bar + 16];
        if (same_frame)
            EXPECT_GT(lit, 180);
        else
            EXPECT_LT(lit, 140);
        unlink("/tmp/last.mkv");
    }
}

}  // namespace

namespace {

// A change request ends the run at the next event with the restart line:
// 18 for a size, 17 for everything else, a codec request included (this
// mode always encodes H.264). The encoder is unpublished before it goes.
TEST_F(CompatibleRun, ChangeRequestsEndTheRunWithTheirRestartCode)
{
    struct Case {
        const char *record;
        int expected;
    } cases[] = {{"RESOLUTION:960x540", PIPELINE_RESTART_RESIZE},
                 {"CODEC:vp9", PIPELINE_RESTART_SETTINGS},
                 {"MODE:balanced:sync", PIPELINE_RESTART_SETTINGS}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.record);
        reset_control();
        new_event_pair();
        E2eProcess relay;
        ASSERT_EQ(e2e_start_relay(&relay, {"--udp-port", "0", "--send", std::string("400:") + c.record}), 0);
        testing::internal::CaptureStderr();
        std::thread feeder = feed(200, 30);
        const long long start = e2e_now_ms();
        const int result = run();
        const long long took = e2e_now_ms() - start;
        stop_feeding_ = true;
        feeder.join();
        stop_feeding_ = false;
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(result, c.expected);
        EXPECT_LT(took, 4000);  // the run did not wait for the 200 events
        EXPECT_NE(err.find("[Pipeline] Restart requested (compatible mode), exiting loop...\n"), std::string::npos)
            << err;
        EXPECT_EQ(control_.codec, nullptr);
        e2e_stop(&relay, SIGINT, 5000);
    }
    EXPECT_EQ(control_.mode, CAPTURE_MODE_BALANCED);
}

// The stop flag ends the run after the current pass, also while it waits
// for an event that does not come.
TEST_F(CompatibleRun, StopFlagEndsTheRunPromptly)
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
    const int result = run();
    const long long ended_at = e2e_now_ms();
    feeder.join();
    EXPECT_EQ(result, 0);
    EXPECT_GT(stopped_at, 0);
    EXPECT_LT(ended_at - stopped_at, 1000);
    EXPECT_EQ(control_.codec, nullptr);
    e2e_stop(&relay, SIGINT, 5000);
    // Six events at 40 ms on a 30 fps target give every other one (0, 2, 4)
    // when the machine keeps up; under load the rate estimate moves, so only
    // the bounds are held: some frames, never more than the events.
    const int frames = std::atoi(e2e_values(e2e_stdout(&relay))["frames"].c_str());
    EXPECT_GE(frames, 2);
    EXPECT_LE(frames, 6);
}

// Set-up failures return -1 and leave nothing published: no frame; a frame
// the upload refuses (before any buffer exists, so no clean-up line); no
// relay to connect to (the made objects are released, with the line).
TEST_F(CompatibleRun, SetupFailuresReleaseEverything)
{
    session_.metadata = nullptr;
    EXPECT_EQ(run(), -1);
    session_.metadata = &meta_;

    meta_.plane_count = 2;
    testing::internal::CaptureStdout();
    EXPECT_EQ(run(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout().find("Cleaning up"), std::string::npos);
    meta_.plane_count = 1;

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(run(), -1);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Streamer connect failed\n"), std::string::npos) << err;
    EXPECT_NE(out.find("[Capture] Cleaning up resources...\n"), std::string::npos) << out;
    EXPECT_EQ(control_.codec, nullptr);
}

// The helper's event connection refusing the start request ends the run
// as a failure, in both paths, with everything it made released.
TEST_F(CompatibleRun, RefusedEventRequestEndsTheRunAsAFailure)
{
    E2eProcess relay;
    ASSERT_EQ(e2e_start_relay(&relay, {"--udp-port", "0"}), 0);
    helper_end_.reset();
    for (const bool gl : {true, false}) {
        SCOPED_TRACE(gl ? "GL read-back" : "processor");
        session_.settings.gl_readback = gl;
        testing::internal::CaptureStdout();
        EXPECT_EQ(run(), -1);
        EXPECT_NE(testing::internal::GetCapturedStdout().find("[Capture] Cleaning up resources...\n"),
                  std::string::npos);
        EXPECT_EQ(control_.codec, nullptr);
        EXPECT_EQ(meta_.texture, 0u);
    }
}

}  // namespace

// The colours come out of the stream as libswscale converts them (BT.709
// limited range): each bar's middle decodes within 2 of libswscale's own
// values for the same picture, in all three planes, through the GL
// read-back and straight from the mapping on the processor alike.
class CompatibleColours : public CompatibleRun, public testing::WithParamInterface<bool> {};

INSTANTIATE_TEST_SUITE_P(Paths, CompatibleColours, testing::Bool(),
                         [](const testing::TestParamInfo<bool> &info) {
                             return info.param ? "GlReadback" : "Processor";
                         });

TEST_P(CompatibleColours, ColourBarsDecodeAsLibswscaleConvertsThem)
{
    session_.settings.gl_readback = GetParam();
    bars_ = true;
    draw_bars();
    std::vector<uint8_t> expected(size_t(kWidth) * kHeight * 3 / 2);
    uint8_t *ey = expected.data(), *eu = ey + kWidth * kHeight, *ev = eu + kWidth * kHeight / 4;
    // The frame is XRGB8888 (B, G, R, X in memory); the read-back gives R, G, B, A.
    std::vector<uint8_t> rgba(size_t(kWidth) * kHeight * 4);
    for (size_t i = 0; i < rgba.size(); i += 4) {
        rgba[i] = pixels_[i + 2];
        rgba[i + 1] = pixels_[i + 1];
        rgba[i + 2] = pixels_[i];
        rgba[i + 3] = 0xff;
    }
    ASSERT_EQ(rgba_to_yuv420p_libav(kWidth, kHeight, rgba.data(), kWidth * 4, ey, eu, ev), 0);

    E2eProcess relay;
    ASSERT_EQ(e2e_start_relay(&relay, {"--udp-port", "0", "--record", "/tmp/bars.mkv"}), 0);
    testing::internal::CaptureStdout();
    std::thread feeder = feed(12, 40);
    EXPECT_EQ(run(), 0);
    feeder.join();
    testing::internal::GetCapturedStdout();
    e2e_stop(&relay, SIGINT, 10000);

    std::vector<E2eFrame> pictures;
    ASSERT_EQ(e2e_decode_file("/tmp/bars.mkv", 100, &pictures), 0);
    ASSERT_GE(pictures.size(), 3u);
    const E2eFrame &last = pictures.back();
    ASSERT_EQ(last.width, kWidth);
    ASSERT_EQ(last.u.size(), size_t(kWidth / 2) * (kHeight / 2));
    const int cw = kWidth / 2;
    for (int bar = 0; bar < 8; ++bar) {
        SCOPED_TRACE("bar " + std::to_string(bar));
        // Below the watermark, clear of the bar's edges.
        const int x = bar * kWidth / 8 + kWidth / 16, y = 400;
        EXPECT_NEAR(last.luma[size_t(y) * kWidth + x], ey[size_t(y) * kWidth + x], 2);
        EXPECT_NEAR(last.u[size_t(y / 2) * cw + x / 2], eu[size_t(y / 2) * cw + x / 2], 2);
        EXPECT_NEAR(last.v[size_t(y / 2) * cw + x / 2], ev[size_t(y / 2) * cw + x / 2], 2);
    }
}
