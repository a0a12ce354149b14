// The driver's restart rules, driven by scripted pipelines that play the
// part of a control request and return a result code.
#include "apps/capture/core/pipeline_control.h"
#include "apps/capture/source/capture_session.h"
#include "apps/capture/supervisor/pipeline_driver.h"
#include "apps/capture/supervisor/worker.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace {

struct Run {
    int32_t mode;
    int32_t codec;  // -1 for the compatible pipeline, which takes none
    CaptureConfig config;
    bool fields_reset;
};

struct Step {
    std::function<void(PipelineControl *)> request;  // what the relay asked for during the run
    int result;
};

std::vector<Step> g_script;
std::vector<Run> g_runs;

int play(int32_t mode, int32_t codec, CaptureSession *session, PipelineControl *control)
{
    const bool reset = control->codec == nullptr && control->cpu_encoder == nullptr &&
                       !control->change_requested.load() && control->new_width == -1 && control->new_height == -1 &&
                       control->new_codec == CODEC_TYPE_UNCHANGED;
    g_runs.push_back({mode, codec, session->settings, reset});
    if (g_runs.size() > g_script.size())
        return -1;
    const Step &step = g_script[g_runs.size() - 1];
    if (step.request) {
        step.request(control);
        control->change_requested.store(true);
    }
    return step.result;
}

int scripted_compatible(EglContext *, CaptureSession *s, PipelineControl *c)
{
    return play(0, -1, s, c);
}
int scripted_balanced(EglContext *, CaptureSession *s, CodecType codec, PipelineControl *c)
{
    return play(1, codec, s, c);
}
int scripted_fast(EglContext *, CaptureSession *s, CodecType codec, PipelineControl *c)
{
    return play(2, codec, s, c);
}

const CapturePipelines kScripted = {scripted_compatible, scripted_balanced, scripted_fast};

class Driver : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_script.clear();
        g_runs.clear();
        g_terminate_flag = 0;
        session.settings = capture_config_default();
    }
    void drive(std::vector<Step> script)
    {
        g_script = std::move(script);
        testing::internal::CaptureStdout();
        capture_frame(&session, nullptr, &kScripted);
        testing::internal::GetCapturedStdout();
    }
    CaptureSession session = {};
};

auto ask_mode(int32_t mode, bool sync, int32_t fps)
{
    return [=](PipelineControl *c) {
        c->mode = mode;
        c->vblank_sync = sync;
        c->fps = fps;
    };
}

TEST_F(Driver, StartsInCompatibleModeWithTheCommandLineSettingsUntouched)
{
    session.settings.mode = 0;
    session.settings.fps = 30;
    session.settings.vblank_sync = true;
    drive({{nullptr, -1}});
    ASSERT_EQ(g_runs.size(), 1u);
    EXPECT_EQ(g_runs[0].mode, 0);
    EXPECT_EQ(g_runs[0].config.fps, 30);
    EXPECT_TRUE(g_runs[0].config.vblank_sync);
}

TEST_F(Driver, ModeSwitchesApplyTheirPacingOverrides)
{
    session.settings.mode = 0;
    drive({
        {ask_mode(2, false, 45), PIPELINE_RESTART_SETTINGS},  // compatible -> fast: VBlank-Sync, 45 fps
        {ask_mode(0, true, 30), PIPELINE_RESTART_SETTINGS},   // fast -> compatible: 60 fps, Fixed-FPS
        {ask_mode(1, false, 0), PIPELINE_RESTART_SETTINGS},   // -> balanced: pacing kept, fps kept
        {nullptr, -1},
    });
    ASSERT_EQ(g_runs.size(), 4u);
    EXPECT_EQ(g_runs[1].mode, 2);
    EXPECT_EQ(g_runs[1].config.fps, 45);
    EXPECT_TRUE(g_runs[1].config.vblank_sync);
    EXPECT_EQ(g_runs[2].mode, 0);
    EXPECT_EQ(g_runs[2].config.fps, 60);
    EXPECT_FALSE(g_runs[2].config.vblank_sync);
    EXPECT_EQ(g_runs[3].mode, 1);
    EXPECT_EQ(g_runs[3].config.mode, 1);
    EXPECT_EQ(g_runs[3].config.fps, 60);
    EXPECT_FALSE(g_runs[3].config.vblank_sync);
}

TEST_F(Driver, PacingRequestInFastModeChangesOnlyTheFrameRate)
{
    drive({{ask_mode(2, false, 30), PIPELINE_RESTART_SETTINGS}, {nullptr, -1}});
    ASSERT_EQ(g_runs.size(), 2u);
    EXPECT_EQ(g_runs[1].mode, 2);
    EXPECT_EQ(g_runs[1].config.fps, 30);
    EXPECT_TRUE(g_runs[1].config.vblank_sync);
}

TEST_F(Driver, PacingRequestInBalancedModeChangesPacingAndRate)
{
    session.settings.mode = 1;
    drive({{ask_mode(1, false, 25), PIPELINE_RESTART_SETTINGS}, {nullptr, -1}});
    ASSERT_EQ(g_runs.size(), 2u);
    EXPECT_FALSE(g_runs[1].config.vblank_sync);
    EXPECT_EQ(g_runs[1].config.fps, 25);
}

TEST_F(Driver, ResizeReachesTheNextRunAndStays)
{
    drive({
        {[](PipelineControl *c) {
             c->new_width = 1280;
             c->new_height = 720;
         },
         PIPELINE_RESTART_RESIZE},
        {ask_mode(2, true, 0), PIPELINE_RESTART_SETTINGS},
        {nullptr, -1},
    });
    ASSERT_EQ(g_runs.size(), 3u);
    EXPECT_EQ(g_runs[0].config.out_width, 0);
    EXPECT_EQ(g_runs[1].config.out_width, 1280);
    EXPECT_EQ(g_runs[1].config.out_height, 720);
    EXPECT_EQ(g_runs[2].config.out_width, 1280);
    EXPECT_EQ(g_runs[2].config.out_height, 720);
}

TEST_F(Driver, CodecRequestSurvivesACompatibleRun)
{
    drive({
        {[](PipelineControl *c) { c->new_codec = CODEC_TYPE_VP9; }, PIPELINE_RESTART_CODEC},
        {ask_mode(0, false, 0), PIPELINE_RESTART_SETTINGS},
        {[](PipelineControl *c) {
             c->new_codec = CODEC_TYPE_H265;
             c->mode = 1;
         },
         PIPELINE_RESTART_SETTINGS},
        {ask_mode(2, true, 0), PIPELINE_RESTART_SETTINGS},
        {nullptr, -1},
    });
    ASSERT_EQ(g_runs.size(), 5u);
    EXPECT_EQ(g_runs[0].codec, CODEC_TYPE_H264);
    EXPECT_EQ(g_runs[1].codec, CODEC_TYPE_VP9);
    EXPECT_EQ(g_runs[2].mode, 0);
    EXPECT_EQ(g_runs[3].mode, 1);
    EXPECT_EQ(g_runs[3].codec, CODEC_TYPE_H265);
    EXPECT_EQ(g_runs[4].mode, 2);
    EXPECT_EQ(g_runs[4].codec, CODEC_TYPE_H265);
}

TEST_F(Driver, EveryRunStartsWithTheRunFieldsReset)
{
    drive({
        {[](PipelineControl *c) {
             c->new_width = 640;
             c->new_height = 480;
             c->new_codec = 2;
         },
         PIPELINE_RESTART_RESIZE},
        {nullptr, -1},
    });
    ASSERT_EQ(g_runs.size(), 2u);
    EXPECT_TRUE(g_runs[0].fields_reset);
    EXPECT_TRUE(g_runs[1].fields_reset);
}

TEST_F(Driver, TwentyRestartsLikeSeventeenAndOtherValuesEnd)
{
    drive({{nullptr, 20}, {nullptr, 20}, {nullptr, 0}});
    EXPECT_EQ(g_runs.size(), 3u);
    for (int ending : {16, 21, -1, -2}) {
        g_runs.clear();
        drive({{nullptr, ending}, {nullptr, 17}});
        EXPECT_EQ(g_runs.size(), 1u) << ending;
    }
}

TEST_F(Driver, StopFlagPreventsTheNextRun)
{
    drive({{[](PipelineControl *) { g_terminate_flag = 1; }, PIPELINE_RESTART_SETTINGS}, {nullptr, -1}});
    EXPECT_EQ(g_runs.size(), 1u);
}

}  // namespace
