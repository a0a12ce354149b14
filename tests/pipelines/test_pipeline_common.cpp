#include "apps/capture/pipelines/pipeline_run.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "apps/capture/core/capture_config.h"
#include "apps/capture/core/pipeline_control.h"
#include "apps/capture/source/capture_session.h"
#include "apps/capture/streamer/streamer.h"
#include "libs/common/unique_fd.h"

namespace {

constexpr uint64_t kBase = 1733467200000000000ull;  // a wall-clock time in ns

TEST(PipelinePacing, StartsFromTheRefreshRateOrSixty)
{
    PipelinePacing p{};
    pipeline_pacing_init(&p, true, 75, 30);
    EXPECT_EQ(p.target_fps, 75.0);
    EXPECT_EQ(p.upstream_hz, 75.0);
    pipeline_pacing_init(&p, true, 0, 30);
    EXPECT_EQ(p.target_fps, 60.0);
    EXPECT_EQ(p.upstream_hz, 60.0);
    pipeline_pacing_init(&p, false, 144, 30);
    EXPECT_EQ(p.target_fps, 30.0);
    EXPECT_EQ(p.upstream_hz, 144.0);
    pipeline_pacing_init(&p, false, 0, 25);
    EXPECT_EQ(p.target_fps, 25.0);
    EXPECT_EQ(p.upstream_hz, 60.0);
}

TEST(PipelinePacing, FollowsTheDisplayAndPublishesTheEstimate)
{
    StreamerConfig config{};
    PipelinePacing p{};
    pipeline_pacing_init(&p, true, 60, 30);

    // Exact 60 Hz gaps keep the estimate at 60.
    uint64_t t = kBase;
    for (int i = 0; i < 100; ++i, t += 16666667)
        pipeline_pacing_update(&p, t, t + 16666667, true, &config);
    EXPECT_NEAR(p.upstream_hz, 60.0, 1e-3);
    EXPECT_NEAR(config.upstream_fps.load(), p.upstream_hz, 1e-12);

    // A 50 Hz gap moves it by 5% of the difference, and the target with it.
    pipeline_pacing_update(&p, t, t + 20000000, true, &config);
    EXPECT_NEAR(p.upstream_hz, 0.95 * 60.0 + 0.05 * 50.0, 1e-3);
    EXPECT_EQ(p.target_fps, p.upstream_hz);
    EXPECT_EQ(config.upstream_fps.load(), p.upstream_hz);

    // In Fixed-FPS the target stays at the configured rate.
    PipelinePacing fixed{};
    pipeline_pacing_init(&fixed, false, 60, 30);
    pipeline_pacing_update(&fixed, kBase, kBase + 20000000, false, &config);
    EXPECT_NEAR(fixed.upstream_hz, 59.5, 1e-9);
    EXPECT_EQ(fixed.target_fps, 30.0);
}

TEST(PipelinePacing, IgnoresFirstBackwardAndLongGaps)
{
    StreamerConfig config{};
    config.upstream_fps.store(-1.0);
    PipelinePacing p{};
    pipeline_pacing_init(&p, true, 60, 30);
    pipeline_pacing_update(&p, 0, kBase, true, &config);                      // first event
    pipeline_pacing_update(&p, kBase, kBase, true, &config);                  // not later
    pipeline_pacing_update(&p, kBase + 5, kBase, true, &config);              // backwards
    pipeline_pacing_update(&p, kBase, kBase + 1000000000, true, &config);     // a whole second
    pipeline_pacing_update(&p, kBase, kBase + 7000000000ull, true, nullptr);  // a long pause
    EXPECT_EQ(p.upstream_hz, 60.0);
    EXPECT_EQ(p.target_fps, 60.0);
    EXPECT_EQ(config.upstream_fps.load(), -1.0);  // nothing published
    // Just under a second still counts.
    pipeline_pacing_update(&p, kBase, kBase + 999999999, true, &config);
    EXPECT_NEAR(p.upstream_hz, 0.95 * 60.0 + 0.05, 1e-6);
}

TEST(RateWindow, ClosesAfterMoreThanASecond)
{
    RateWindow w{};
    rate_window_reset(&w, 1000);
    for (int i = 1; i <= 30; ++i)
        rate_window_count(&w, 1000 + uint64_t(i) * 33333333);  // the 30th lands at 999,999,990 ns
    EXPECT_EQ(w.actual_fps, 0.0);
    EXPECT_EQ(w.frames, 30);
    rate_window_count(&w, 1000 + 1000000000);  // exactly 1 s: closes
    EXPECT_NEAR(w.actual_fps, 31.0, 1e-9);
    EXPECT_EQ(w.frames, 0);
    EXPECT_EQ(w.start_ns, 1000u + 1000000000u);
    rate_window_count(&w, 1000 + 1999999999);  // 999,999,999 ns later: still open
    EXPECT_NEAR(w.actual_fps, 31.0, 1e-9);
    EXPECT_EQ(w.frames, 1);
}

TEST(PipelineResult, ChangeRequestsPickTheirCode)
{
    PipelineControl c{};
    c.new_width = c.new_height = -1;
    c.new_codec = CODEC_TYPE_UNCHANGED;
    EXPECT_EQ(pipeline_result_code(&c, 0), 0);
    EXPECT_EQ(pipeline_result_code(&c, -22), -22);
    c.new_codec = CODEC_TYPE_VP9;
    EXPECT_EQ(pipeline_result_code(&c, 0), 0);  // not requested: the status
    c.change_requested = true;
    EXPECT_EQ(pipeline_result_code(&c, -1), PIPELINE_RESTART_CODEC);
    // A mode with one codec restarts for a codec request like for any setting.
    EXPECT_EQ(pipeline_result_code(&c, -1, false), PIPELINE_RESTART_SETTINGS);
    c.new_height = 540;
    EXPECT_EQ(pipeline_result_code(&c, 0), PIPELINE_RESTART_RESIZE);
    c.new_height = -1;
    c.new_width = 0;
    EXPECT_EQ(pipeline_result_code(&c, 0), PIPELINE_RESTART_RESIZE);
    c.new_width = -1;
    c.new_codec = CODEC_TYPE_UNCHANGED;
    EXPECT_EQ(pipeline_result_code(&c, 0), PIPELINE_RESTART_SETTINGS);
}

struct SessionFixture {
    FrameMetadata meta{};
    ServerConnection connection{};
    CaptureSession session{};
    SessionFixture()
    {
        meta.width = 2560;
        meta.height = 1440;
        session.settings = capture_config_default();
        session.metadata = &meta;
        session.connection = &connection;
    }
};

TEST(PipelineSetup, OutputSizeAndScalingLine)
{
    SessionFixture f;
    int32_t w = 0, h = 0;
    testing::internal::CaptureStderr();
    pipeline_output_size(&f.session, "[GL+CPU]", &w, &h);
    f.session.settings.out_width = 1280;  // only one of the two: no scaling
    pipeline_output_size(&f.session, "[GL+CPU]", &w, &h);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(w, 2560);
    EXPECT_EQ(h, 1440);

    f.session.settings.out_height = 720;
    testing::internal::CaptureStderr();
    pipeline_output_size(&f.session, "[GL+CPU]", &w, &h);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[GL+CPU] Scaling: 2560x1440 \xe2\x86\x92 1280x720\n");
    EXPECT_EQ(w, 1280);
    EXPECT_EQ(h, 720);
}

// The frame loop's wait against a listener fed through a socket pair.
class FrameLoopWait : public testing::Test {
protected:
    void SetUp() override
    {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
        theirs_.reset(pair[1]);
        f_.connection.event_fd.reset(pair[0]);
        control_.new_width = control_.new_height = -1;
        control_.new_codec = CODEC_TYPE_UNCHANGED;
        ASSERT_EQ(vblank_ring_init(&ring_, f_.session.connection, &stop_), 0);
        ASSERT_EQ(vblank_ring_start(&ring_), 0);
    }
    void TearDown() override { vblank_ring_stop(&ring_); }

    void send_event(uint64_t time_ns)
    {
        VBlankEvent e{1, 24, ++sequence_, 0, time_ns};
        ASSERT_EQ(send(theirs_.get(), &e, sizeof e, 0), ssize_t(sizeof e));
    }

    SessionFixture f_;
    UniqueFD ours_, theirs_;
    VBlankRing ring_{};
    PipelineControl control_{};
    StopFlag stop_{0};
    uint64_t sequence_ = 0;
};

TEST_F(FrameLoopWait, TakesTheNewestAndStopsAfterARestartRequest)
{
    send_event(kBase + 1);
    send_event(kBase + 2);
    send_event(kBase + 3);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    uint64_t t = 0;
    testing::internal::CaptureStderr();
    ASSERT_EQ(pipeline_wait_event(&ring_, &control_, "[GL+CPU] Pipeline restart requested\n", &t), 0);
    EXPECT_EQ(t, kBase + 3);
    EXPECT_TRUE(pipeline_loop_continues(&ring_));

    send_event(kBase + 4);
    control_.change_requested = true;
    ASSERT_EQ(pipeline_wait_event(&ring_, &control_, "[GL+CPU] Pipeline restart requested\n", &t), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[GL+CPU] Pipeline restart requested\n");
    EXPECT_EQ(t, kBase + 4);                        // this iteration still runs...
    EXPECT_FALSE(pipeline_loop_continues(&ring_));  // ...and is the last
    EXPECT_EQ(pipeline_wait_event(&ring_, &control_, "x", &t), -1);
}

TEST_F(FrameLoopWait, StopFlagAndEndedStreamEndTheWait)
{
    uint64_t t = 0;
    std::thread stopper([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        stop_ = 1;
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(pipeline_wait_event(&ring_, &control_, "x", &t), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    stopper.join();
    EXPECT_FALSE(pipeline_loop_continues(&ring_));

    // A helper that goes away ends the stream: the wait does not hang.
    stop_ = 0;
    send_event(kBase + 9);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(pipeline_wait_event(&ring_, &control_, "x", &t), 0);
    EXPECT_TRUE(pipeline_loop_continues(&ring_));
    theirs_.reset();
    EXPECT_EQ(pipeline_wait_event(&ring_, &control_, "x", &t), -1);
    EXPECT_FALSE(pipeline_loop_continues(&ring_));
}

// A run's teardown calls the mode's steps at their places: the listener and
// the frame path first, the encoder only once it has been withdrawn from the
// control (so the control thread can no longer reach it), the frame's slot
// cleared last.
TEST(PipelineRun, TeardownWithdrawsTheEncoderBeforeTheModeReleasesIt)
{
    SessionFixture f;
    f.meta.fd = -1;
    f.meta.texture = 77;
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
    UniqueFD theirs(pair[1]);
    f.connection.event_fd.reset(pair[0]);
    PipelineControl control{};
    // Never used as an encoder: only its publication is watched.
    auto *encoder = reinterpret_cast<CpuEncoder *>(&control);

    struct Recorder final : PipelineStage {
        const PipelineControl *control = nullptr;
        std::vector<std::string> steps;
        std::string encoder_state() const { return control->cpu_encoder.load() ? "published" : "withdrawn"; }
        void teardown_begins() override { steps.push_back("begins"); }
        void release_frame_path() override { steps.push_back("frame path, encoder " + encoder_state()); }
        void release_encoder() override { steps.push_back("encoder, encoder " + encoder_state()); }
        void release_renderer() override { steps.push_back("renderer"); }
    } stage;
    stage.control = &control;
    {
        PipelineRun run(&f.session, &control, &stage);
        run.publish_encoder(encoder);
        EXPECT_EQ(control.cpu_encoder.load(), encoder);
        run.fill_streamer_config(320, 240, CODEC_TYPE_H264, CAPTURE_MODE_BALANCED);
        ASSERT_EQ(run.open_streamer(), 0);
        ASSERT_EQ(run.request_events(), 0);
        ASSERT_EQ(run.start_listener(), 0);
        EXPECT_TRUE(run.loop_starts());
    }
    const std::vector<std::string> expected = {"begins", "frame path, encoder published", "encoder, encoder withdrawn",
                                               "renderer"};
    EXPECT_EQ(stage.steps, expected);
    EXPECT_EQ(f.meta.texture, 0u);
}

TEST(PipelineRing, RefusesASessionWithoutConnection)
{
    SessionFixture f;
    f.session.connection = nullptr;
    PipelineControl control{};
    PipelineStage stage;
    PipelineRun run(&f.session, &control, &stage);
    // The event write and the ring refuse the null connection; no loop runs.
    EXPECT_NE(run.request_events(), 0);
    EXPECT_EQ(run.start_listener(), -1);
    EXPECT_FALSE(run.loop_starts());
}

}  // namespace
