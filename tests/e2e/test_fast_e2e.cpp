// The fast mode as the user runs it: capture-helper on a 1280x720@60 virtual
// display, vistrel-relay and `capture`, each a process of its own in the
// test's private /tmp. Without a VA-API device the run must fail at the
// device and the whole program end cleanly; with one, it must stream.
extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/hwcontext.h>
#include <libavutil/log.h>
}

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "tests/e2e/system_fixture.h"

namespace {

// The device the fast pipeline opens, tried the same way.
bool vaapi_device_opens()
{
    av_log_set_level(AV_LOG_QUIET);
    AVBufferRef *device = nullptr;
    const bool opened = av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VAAPI, "/dev/dri/renderD128", nullptr, 0) >= 0;
    av_buffer_unref(&device);
    return opened;
}

class FastSystem : public E2eSystem {
protected:
    // The lines of a fast run that failed at the device, followed by the
    // worker's and the supervisor's tear-down.
    void expect_failed_at_device_and_torn_down()
    {
        const std::string out = e2e_stdout(&capture_), err = e2e_stderr(&capture_);
        EXPECT_NE(err.find("[VAAPI] Selected encoder: H.264 (h264_vaapi)\n"), std::string::npos);
        EXPECT_NE(out.find("[Pipeline] AR30(EGL) -> Shader -> NV12(VAAPI) -> Encode\n"), std::string::npos);
        EXPECT_NE(err.find("Failed to create VAAPI device\n"), std::string::npos);
        // Nothing after the device: no encoder, pool or targets were made.
        EXPECT_EQ(err.find("[ZeroCopy]"), std::string::npos);
        EXPECT_EQ(err.find("[VAAPI] Encoder configuration failed"), std::string::npos);
        EXPECT_NE(out.find("[Capture "), std::string::npos);
        EXPECT_NE(out.find("清理完毕，退出。\n"), std::string::npos);
        EXPECT_NE(err.find("[Capture] 子进程退出，退出码 1\n"), std::string::npos);
        EXPECT_NE(out.find("[CAPTURE] Cleaning up capture module"), std::string::npos);
        EXPECT_NE(out.find("Capture finished."), std::string::npos);
    }
};

// The default mode is fast. Here it fails at the device: the worker ends by
// itself, the supervisor logs the exit and ends, the helper ends the event
// service of the client that went (whichever of its two connections it saw
// close first) and serves the next one; no datagram reached the relay.
TEST_F(FastSystem, WithoutADeviceTheRunFailsAtItAndEverythingEnds)
{
    if (vaapi_device_opens())
        GTEST_SKIP() << "a VA-API device opens on /dev/dri/renderD128; the failure path does not apply";
    ASSERT_EQ(e2e_start_relay(&relay_, {"--udp-port", "0"}), 0);
    for (const std::vector<std::string> &args : {std::vector<std::string>{}, {"-m", "fast", "-s", "0", "-f", "30"}}) {
        SCOPED_TRACE(args.empty() ? "default mode" : "-m fast, Fixed-FPS");
        ASSERT_EQ(e2e_start_capture(&capture_, args), 0);
        ASSERT_TRUE(e2e_wait_exit(&capture_, 15000)) << "capture did not end after the failed set-up";
        expect_failed_at_device_and_torn_down();
        ASSERT_TRUE(e2e_wait_for_text(&helper_, "[Helper Thread] Cleaning up thread for client", 5000, false,
                                      args.empty() ? 1 : 2))
            << logs(helper_);
    }
    auto summary = e2e_values((e2e_stop(&relay_, SIGTERM, 5000), e2e_stdout(&relay_)));
    EXPECT_EQ(summary["datagrams"], "0");
}

// A mode request for fast from the relay while balanced streams ends the
// balanced run with a restart; the fast run then fails at the device and
// the program ends the same way. The balanced stream reached the relay.
TEST_F(FastSystem, FastRequestWhileBalancedRunsEndsTheWorkerAtTheDevice)
{
    if (vaapi_device_opens())
        GTEST_SKIP() << "a VA-API device opens on /dev/dri/renderD128; the fast run would stream";
    ASSERT_EQ(e2e_start_relay(&relay_, {"--udp-port", "0", "--send", "1500:MODE:fast:sync"}), 0);
    ASSERT_EQ(e2e_start_capture(&capture_, {"-m", "balanced"}), 0);
    ASSERT_TRUE(e2e_wait_exit(&capture_, 20000)) << "capture did not end after the mode request";
    expect_failed_at_device_and_torn_down();
    const std::string err = e2e_stderr(&capture_);
    EXPECT_NE(err.find("[GL+CPU] Pipeline restart requested\n"), std::string::npos);
    // The balanced encoder was gone before the fast run started.
    const size_t destroyed = err.find("[CPU Encoder] Destroying libx264\n");
    EXPECT_NE(destroyed, std::string::npos);
    EXPECT_LT(destroyed, err.find("[VAAPI] Selected encoder"));
    auto summary = e2e_values((e2e_stop(&relay_, SIGTERM, 5000), e2e_stdout(&relay_)));
    EXPECT_GT(std::stoll(summary["frames"]), 0);
}

// With a device the fast mode streams the display: decodable H.264 at the
// display's size, readable watermarks, RTP times that never go back, the
// statistics line of the mode, and a prompt end on SIGTERM.
TEST_F(FastSystem, WithADeviceTheDisplayStreams)
{
    if (!vaapi_device_opens())
        GTEST_SKIP() << "no VA-API device opens on /dev/dri/renderD128 (no VA-API driver on this machine)";
    ASSERT_EQ(e2e_start_relay(&relay_, {"--latency", "--per-frame", "--udp-port", "0"}), 0);
    ASSERT_EQ(e2e_start_capture(&capture_, {"-m", "fast"}), 0);
    ASSERT_TRUE(e2e_wait_for_text(&capture_, "[VAAPI] Frame 0 | Mode: VBlank-Sync | FPS: target=60.0", 15000))
        << logs(capture_);
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    const pid_t worker = e2e_wait_child(capture_.pid, 1000);
    ASSERT_GT(worker, 0);
    kill(worker, SIGTERM);
    EXPECT_TRUE(e2e_wait_exit(&capture_, 5000));
    e2e_stop(&relay_, SIGTERM, 15000);
    auto summary = e2e_values(e2e_stdout(&relay_));
    std::printf("[ report ] fast 1280x720 H.264: relay fps=%s frames=%s latency p50=%s p95=%s ms\n",
                summary["fps"].c_str(), summary["frames"].c_str(), summary["latency_p50_ms"].c_str(),
                summary["latency_p95_ms"].c_str());
    EXPECT_EQ(summary["decoded_codec"], "h264");
    EXPECT_EQ(summary["decoded_size"], "1280x720");
    EXPECT_EQ(summary["timestamp_backward"], "0");
    EXPECT_EQ(summary["latency_unreadable"], "0");
    const std::vector<E2eFrameLine> frames = e2e_frame_lines(e2e_stdout(&relay_));
    ASSERT_GE(frames.size(), 10u);
    for (size_t i = 1; i < frames.size(); ++i)
        EXPECT_GT(frames[i].watermark_ms, frames[i - 1].watermark_ms) << "frame " << i;
    EXPECT_NE(e2e_stderr(&capture_).find("[Capture] 子进程退出，退出码 1\n"), std::string::npos);
}

}  // namespace
