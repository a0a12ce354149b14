// The whole system as the user runs it: capture-helper on a 1280x720@60
// virtual display, vistrel-relay and `capture`, each a process of its own in
// the test's private /tmp. Each test starts the relay and capture with the
// options it needs; the fixture ends all three and shows their logs when a
// test failed.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/e2e_processes.h"

inline constexpr char kE2eWorld720[] = "device /dev/dri/card1\n"
                                       "framebuffer 200 1280x720 XR24\n"
                                       "crtc 50 1280x720@60 fb=200\n"
                                       "encoder 80 crtc=50\n"
                                       "connector 100 DP-3 connected encoders=80\n";

// Three 1280x720 buffers, the next one on screen at every blank, as a
// compositor page-flips.
inline constexpr char kE2eFlipWorld720[] = "device /dev/dri/card1\n"
                                           "framebuffer 201 1280x720 XR24\n"
                                           "framebuffer 202 1280x720 XR24\n"
                                           "framebuffer 203 1280x720 XR24\n"
                                           "crtc 50 1280x720@60 fb=201\n"
                                           "encoder 80 crtc=50\n"
                                           "connector 100 DP-3 connected encoders=80\n"
                                           "pageflip crtc=50 fbs=201,202,203\n";

inline void e2e_sleep_ms(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

class E2eSystem : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(e2e_write_file("/tmp/world-720.txt", kE2eWorld720), 0);
        ASSERT_EQ(e2e_start_helper(&helper_, "/tmp/world-720.txt"), 0) << logs(helper_);
    }

    void TearDown() override
    {
        if (HasFailure())
            std::fprintf(stderr, "--- capture ---\n%s\n--- relay ---\n%s%s\n--- helper ---\n%s\n",
                         logs(capture_).c_str(), e2e_stdout(&relay_).c_str(), e2e_stderr(&relay_).c_str(),
                         logs(helper_).c_str());
        e2e_stop(&capture_, SIGTERM, 3000);
        e2e_stop(&relay_, SIGTERM, 5000);
        e2e_stop(&helper_, SIGTERM, 3000);
    }

    static std::string logs(const E2eProcess &p) { return e2e_stdout(&p) + e2e_stderr(&p); }

    // SIGTERM to the worker; the milliseconds until the supervisor is gone.
    long long stop_worker()
    {
        const pid_t worker = e2e_wait_child(capture_.pid, 1000);
        EXPECT_GT(worker, 0);
        if (worker <= 0)
            return -1;
        const long long start = e2e_now_ms();
        kill(worker, SIGTERM);
        EXPECT_TRUE(e2e_wait_exit(&capture_, 5000)) << "capture did not end after SIGTERM to its worker";
        return e2e_now_ms() - start;
    }

    // The relay's summary after it was told to end.
    std::map<std::string, std::string> finish_relay()
    {
        e2e_stop(&relay_, SIGTERM, 15000);
        return e2e_values(e2e_stdout(&relay_));
    }

    // Streams the world described by text for ms in mode (extra: more
    // capture options), the relay recording to /tmp/NAME.mkv; the decoded
    // pictures of the first recording. *restarted: a second recording was
    // started (a new stream). relay_extra: more relay options.
    std::vector<E2eFrame> stream_world(const std::string &text, const std::string &mode,
                                       const std::vector<std::string> &extra, int ms, const std::string &name,
                                       bool *restarted = nullptr, const std::vector<std::string> &relay_extra = {})
    {
        std::vector<E2eFrame> frames;
        EXPECT_EQ(e2e_write_file("/tmp/world.txt", text), 0);
        EXPECT_EQ(e2e_start_helper(&helper_, "/tmp/world.txt"), 0) << logs(helper_);
        std::vector<std::string> relay_args = {"--udp-port", "0", "--record", "/tmp/" + name + ".mkv"};
        relay_args.insert(relay_args.end(), relay_extra.begin(), relay_extra.end());
        EXPECT_EQ(e2e_start_relay(&relay_, relay_args), 0) << e2e_stderr(&relay_);
        std::vector<std::string> args = {"-m", mode};
        args.insert(args.end(), extra.begin(), extra.end());
        EXPECT_EQ(e2e_start_capture(&capture_, args), 0);
        const bool compatible = mode == "compatible";
        EXPECT_TRUE(e2e_wait_for_text(&capture_, compatible ? "FPS t=" : "[GL+CPU] Frame ", 15000, !compatible))
            << logs(capture_);
        e2e_sleep_ms(ms);
        stop_worker();
        finish_relay();
        e2e_stop(&helper_, SIGTERM, 3000);
        EXPECT_EQ(e2e_decode_file("/tmp/" + name + ".mkv", 1000, &frames), 0);
        EXPECT_FALSE(frames.empty());
        struct stat st {};
        if (restarted)
            *restarted = stat(("/tmp/" + name + "-1.mkv").c_str(), &st) == 0;
        return frames;
    }

    E2eProcess helper_, relay_, capture_;
};
