// The relay-request handler on a PipelineControl: what each payload asks
// for, what it leaves alone, and the encoder calls it makes (the fast run's
// through the requests its frame step takes).
#include "apps/capture/pipelines/control_commands.h"

#include "apps/capture/core/pipeline_control.h"
#include "apps/capture/encoders/codec.h"
#include "apps/capture/encoders/cpu_encoder.h"
#include "apps/capture/pipelines/pipelines.h"
#include "apps/capture/streamer/streamer.h"
#include "libs/common/ffmpeg_ptr.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

namespace {

// A record as the driver leaves it before a run, with recognisable requests.
struct Control {
    PipelineControl c{};
    Control()
    {
        c.new_width = -1;
        c.new_height = -1;
        c.new_codec = CODEC_TYPE_UNCHANGED;
        c.mode = 7;
        c.vblank_sync = true;
        c.fps = -7;
    }
    void feed(uint32_t event, const std::string &payload)
    {
        on_streamer_feedback(event, payload.data(), payload.size(), &c);
    }
    bool changed() const { return c.change_requested.load(std::memory_order_acquire); }
};

TEST(ControlCommands, ModeRequests)
{
    const struct {
        const char *payload;
        bool changes;
        int mode;
        bool sync;
        int fps;
    } cases[] = {
        {"fast:sync:30", true, 2, true, 30},
        {"balanced:fix", true, 1, false, 0},
        {"turbo:sync:30", true, 1, true, 30},  // unknown word: balanced
        {"compatible:1:60", true, 0, true, 60},
        {"fast:0", true, 2, false, 0},
        {"fast:sync\n", true, 2, false, 0},  // the pacing word carries the line feed
        {"fast", false, 7, true, -7},
        {":sync:30", false, 7, true, -7},
        {"averyveryverylongword:sync", false, 7, true, -7},
    };
    for (const auto &t : cases) {
        SCOPED_TRACE(t.payload);
        Control k;
        k.feed(FEEDBACK_MODE, t.payload);
        EXPECT_EQ(k.changed(), t.changes);
        EXPECT_EQ(k.c.mode, t.mode);
        EXPECT_EQ(k.c.vblank_sync, t.sync);
        EXPECT_EQ(k.c.fps, t.fps);
        EXPECT_EQ(k.c.new_width, -1);
        EXPECT_EQ(k.c.new_codec, CODEC_TYPE_UNCHANGED);
    }
}

TEST(ControlCommands, ModeLogLines)
{
    Control k;
    testing::internal::CaptureStderr();
    k.feed(FEEDBACK_MODE, "fast");
    k.feed(FEEDBACK_MODE, "turbo:sync:30");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[App] MODE query received\n fast \n "
                                                      "[App] MODE query received\n turbo:sync:30 \n "
                                                      "[App] Mode change: turbo vblank_sync=1 fps=30\n");
}

TEST(ControlCommands, CodecNamesAreExactAndLowerCase)
{
    const struct {
        const char *payload;
        int codec;
    } cases[] = {
        {"hevc", CODEC_TYPE_H265},  {"h265", CODEC_TYPE_H265},      {"vp9", CODEC_TYPE_VP9},
        {"h264", CODEC_TYPE_H264},  {"H265", CODEC_TYPE_UNCHANGED}, {"h265\n", CODEC_TYPE_UNCHANGED},
        {"", CODEC_TYPE_UNCHANGED},
    };
    for (const auto &t : cases) {
        SCOPED_TRACE(t.payload);
        Control k;
        testing::internal::CaptureStderr();
        k.feed(FEEDBACK_CODEC, t.payload);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(k.c.new_codec, t.codec);
        EXPECT_EQ(k.changed(), t.codec != CODEC_TYPE_UNCHANGED);
        EXPECT_EQ(err, std::string(t.codec == CODEC_TYPE_UNCHANGED ? "[App] Unknown codec: " : "[App] Codec change: ") +
                           t.payload + "\n");
    }
}

TEST(ControlCommands, ResolutionNeedsBothNumbers)
{
    Control k;
    k.feed(FEEDBACK_RESOLUTION, "1920");
    k.feed(FEEDBACK_RESOLUTION, "x1080");
    k.feed(FEEDBACK_RESOLUTION, "");
    EXPECT_FALSE(k.changed());
    EXPECT_EQ(k.c.new_width, -1);
    EXPECT_EQ(k.c.new_height, -1);

    // The payload need not end in NUL: only `length` bytes count.
    const char bytes[] = "1920x1080777";
    on_streamer_feedback(FEEDBACK_RESOLUTION, bytes, 9, &k.c);
    EXPECT_TRUE(k.changed());
    EXPECT_EQ(k.c.new_width, 1920);
    EXPECT_EQ(k.c.new_height, 1080);
    EXPECT_EQ(k.c.mode, 7);  // other requests are untouched
}

TEST(ControlCommands, LongPayloadsAreCutToTheWorkingCopy)
{
    Control k;
    // 63 bytes survive: the height's digits past them are lost.
    k.feed(FEEDBACK_RESOLUTION, std::string(58, '0') + "640x4801234");
    EXPECT_EQ(k.c.new_width, 640);
    EXPECT_EQ(k.c.new_height, 4);
    Control codec;
    codec.feed(FEEDBACK_CODEC, "vp9" + std::string(100, ' '));
    EXPECT_EQ(codec.c.new_codec, CODEC_TYPE_UNCHANGED);
}

TEST(ControlCommands, Pacing)
{
    Control sync;
    sync.c.vblank_sync = false;
    sync.feed(FEEDBACK_PACING, "sync");
    EXPECT_TRUE(sync.changed());
    EXPECT_TRUE(sync.c.vblank_sync);
    EXPECT_EQ(sync.c.fps, -7);

    Control fix;
    fix.feed(FEEDBACK_PACING, "fix:45");
    EXPECT_TRUE(fix.changed());
    EXPECT_FALSE(fix.c.vblank_sync);
    EXPECT_EQ(fix.c.fps, 45);

    Control bad;
    bad.feed(FEEDBACK_PACING, "sync\n");
    bad.feed(FEEDBACK_PACING, "fixed");
    EXPECT_FALSE(bad.changed());
    EXPECT_TRUE(bad.c.vblank_sync);
}

TEST(ControlCommands, ReconfigureAppliesItsLinesInOrder)
{
    Control k;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    k.feed(FEEDBACK_RECONFIG, "BPS:2000000\n\nCODEC:vp9\nNOISE:1\nRESOLUTION:1280x720\n");
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, "[App] Adjusting bitrate to 2000000 bps\n");
    EXPECT_EQ(err, "[App] Reconfig requested:\nBPS:2000000\n\nCODEC:vp9\nNOISE:1\nRESOLUTION:1280x720\n\n"
                   "[App] Codec change: vp9\n"
                   "[App] Resolution change requested: 1280x720\n"
                   "[App] Reconfig complete, restarting pipeline\n");
    EXPECT_TRUE(k.changed());
    EXPECT_EQ(k.c.new_codec, CODEC_TYPE_VP9);
    EXPECT_EQ(k.c.new_width, 1280);
    EXPECT_EQ(k.c.new_height, 720);

    Control rate_only;
    rate_only.feed(FEEDBACK_RECONFIG, "BPS:500000\n");
    EXPECT_FALSE(rate_only.changed());
}

TEST(ControlCommands, LoggedOnlyAndIgnoredRequests)
{
    Control k;
    testing::internal::CaptureStderr();
    k.feed(FEEDBACK_SDP, std::string("v=0\0x", 5));
    k.feed(FEEDBACK_RESTART, "");
    k.feed(0, "1920x1080");
    k.feed(10, "1920x1080");
    on_streamer_feedback(FEEDBACK_RESOLUTION, "1920x1080", 9, nullptr);
    on_streamer_feedback(FEEDBACK_BITRATE, "\x01\x02", 2, &k.c);  // too short
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, std::string("[App] Relay SDP received: v=0\0x\n", 32) + "[App] Pipeline restart requested\n");
    EXPECT_FALSE(k.changed());
    EXPECT_EQ(k.c.new_width, -1);
}

// With the running encoders: bit rate and key frame reach whichever one the
// run registered, and never end the run.
TEST(ControlCommands, RateAndKeyFrameReachTheRunningEncoder)
{
    CpuEncoder *cpu = nullptr;
    ASSERT_EQ(cpu_encoder_create(&cpu, CODEC_TYPE_H264, 64, 64, 30), 0);
    Control balanced;
    balanced.c.cpu_encoder = cpu;
    const int32_t bps = 1500000;
    on_streamer_feedback(FEEDBACK_BITRATE, &bps, sizeof(bps), &balanced.c);
    testing::internal::CaptureStderr();
    balanced.feed(FEEDBACK_KEYFRAME, "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[App] Forcing IDR frame\n");
    EXPECT_EQ(cpu->requests.pending_bitrate.load(), 1500000);
    EXPECT_TRUE(cpu->requests.force_keyframe.load());
    EXPECT_FALSE(balanced.changed());
    cpu_encoder_destroy(cpu);

    CodecContext *codec = nullptr;
    const CodecEncoderConfig config{CODEC_TYPE_H264, 64, 64, 30, 1000, 30};
    ASSERT_EQ(codec_encoder_init(&codec, &config), 0);
    Control compatible;
    compatible.c.codec = codec;
    compatible.feed(FEEDBACK_RECONFIG, "BPS:2000000\nCODEC:vp9\n");
    compatible.feed(FEEDBACK_KEYFRAME, "");
    EXPECT_EQ(codec->requests.pending_bitrate.load(), 2000000);
    EXPECT_TRUE(codec->requests.force_keyframe.load());
    EXPECT_TRUE(compatible.changed());
    EXPECT_EQ(compatible.c.new_codec, CODEC_TYPE_VP9);
    testing::internal::CaptureStdout();
    codec_cleanup(codec);
    testing::internal::GetCapturedStdout();

    Control idle;  // no encoder registered (between runs): logged, nothing else
    idle.feed(FEEDBACK_KEYFRAME, "");
    on_streamer_feedback(FEEDBACK_BITRATE, &bps, sizeof(bps), &idle.c);
    EXPECT_FALSE(idle.changed());
}

// A fast run publishes the requests its frame step takes: the relay's key
// frame and bit rate reach the surface and the context that step hands to
// the VA-API encoder next, once, and never end the run. The control thread
// and the frame step meet only in the atomics of the requests
// (ThreadSanitizer checks the second half).
TEST(ControlCommands, FastRunTakesKeyFrameAndRateWithTheNextSurface)
{
    EncoderRequests requests;
    Control fast;
    fast.c.vaapi_requests = &requests;
    AvCodecContextPtr context(avcodec_alloc_context3(nullptr));
    AvFramePtr surface(av_frame_alloc());
    ASSERT_TRUE(context && surface);
    context->bit_rate = context->rc_max_rate = 8000000;

    const struct {
        const char *what;
        std::function<void()> ask;
        bool intra;
        int64_t rate;
    } steps[] = {
        {"nothing asked", [] {}, false, 8000000},
        {"key frame", [&] { fast.feed(FEEDBACK_KEYFRAME, ""); }, true, 8000000},
        {"taken once", [] {}, false, 8000000},
        {"rate and key frame",
         [&] {
             fast.feed(FEEDBACK_RECONFIG, "BPS:3000000\n");
             fast.feed(FEEDBACK_KEYFRAME, "");
         },
         true, 3000000},
        {"rate kept", [] {}, false, 3000000},
        {"rate alone", [&] { fast.feed(FEEDBACK_RECONFIG, "BPS:2500000\n"); }, false, 2500000},
    };
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    for (const auto &step : steps) {
        SCOPED_TRACE(step.what);
        step.ask();
        surface->pict_type = AV_PICTURE_TYPE_P;  // what a reused frame may carry
        surface->key_frame = 1;
        EXPECT_EQ(fast_take_requests(&fast.c, context.get(), surface.get()), step.intra);
        EXPECT_EQ(surface->pict_type, step.intra ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE);
        EXPECT_EQ(surface->key_frame, step.intra ? 1 : 0);
        EXPECT_EQ(context->bit_rate, step.rate);
        EXPECT_EQ(context->rc_max_rate, step.rate);
    }
    EXPECT_FALSE(fast.changed());

    // Withdrawn at the end of the run: a late request goes nowhere.
    fast.c.vaapi_requests = nullptr;
    fast.feed(FEEDBACK_KEYFRAME, "");
    EXPECT_FALSE(requests.force_keyframe.load());
    EXPECT_FALSE(fast_take_requests(&fast.c, context.get(), surface.get()));

    // The relay asks on the control thread while the frame step encodes.
    fast.c.vaapi_requests = &requests;
    std::atomic<bool> done{false};
    std::thread relay([&] {
        for (int32_t i = 1; i <= 200; ++i) {
            on_streamer_feedback(FEEDBACK_BITRATE, &i, sizeof(i), &fast.c);
            fast.feed(FEEDBACK_KEYFRAME, "");
        }
        done = true;
    });
    int intra = 0;
    while (!done)
        intra += fast_take_requests(&fast.c, context.get(), surface.get()) ? 1 : 0;
    relay.join();
    intra += fast_take_requests(&fast.c, context.get(), surface.get()) ? 1 : 0;
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    EXPECT_GE(intra, 1);
    EXPECT_EQ(context->bit_rate, 200);
}

}  // namespace
