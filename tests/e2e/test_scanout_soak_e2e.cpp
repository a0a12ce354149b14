// A minute of page flipping over five buffers, one more than either end
// keeps: every flip sends a new buffer and forgets the oldest, so a
// descriptor kept by mistake on either side shows as a growing count.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/e2e/system_fixture.h"

namespace {

constexpr char kFiveBufferWorld[] = "device /dev/dri/card1\n"
                                    "framebuffer 201 1280x720 XR24\n"
                                    "framebuffer 202 1280x720 XR24\n"
                                    "framebuffer 203 1280x720 XR24\n"
                                    "framebuffer 204 1280x720 XR24\n"
                                    "framebuffer 205 1280x720 XR24\n"
                                    "crtc 50 1280x720@60 fb=201\n"
                                    "encoder 80 crtc=50\n"
                                    "connector 100 DP-3 connected encoders=80\n"
                                    "pageflip crtc=50 fbs=201,202,203,204,205\n";

class ScanoutSoak : public E2eSystem {
protected:
    void SetUp() override
    {
        ASSERT_EQ(e2e_write_file("/tmp/world.txt", kFiveBufferWorld), 0);
        ASSERT_EQ(e2e_start_helper(&helper_, "/tmp/world.txt"), 0) << logs(helper_);
    }
};

TEST_F(ScanoutSoak, DescriptorsStayFlatOverAMinuteOfFlips)
{
    ASSERT_EQ(e2e_start_relay(&relay_, {"--latency", "--per-frame", "--watermark", "source", "--udp-port", "0"}), 0);
    ASSERT_EQ(e2e_start_capture(&capture_, {"-m", "balanced"}), 0);
    ASSERT_TRUE(e2e_wait_for_text(&capture_, "[GL+CPU] Frame ", 15000, true)) << logs(capture_);
    const pid_t worker = e2e_wait_child(capture_.pid, 1000);
    ASSERT_GT(worker, 0);
    e2e_sleep_ms(2000);
    const int helper_start = e2e_fd_count(helper_.pid), worker_start = e2e_fd_count(worker);
    int helper_max = helper_start, worker_max = worker_start;
    for (int second = 0; second < 60; ++second) {
        e2e_sleep_ms(1000);
        helper_max = std::max(helper_max, e2e_fd_count(helper_.pid));
        worker_max = std::max(worker_max, e2e_fd_count(worker));
    }
    const int helper_end = e2e_fd_count(helper_.pid), worker_end = e2e_fd_count(worker);
    stop_worker();
    auto summary = finish_relay();
    std::printf("[ report ] 60 s over 5 buffers: helper fds %d..%d (max %d), worker fds %d..%d (max %d), "
                "relay fps=%s frames=%s\n",
                helper_start, helper_end, helper_max, worker_start, worker_end, worker_max, summary["fps"].c_str(),
                summary["frames"].c_str());
    // A record in flight holds its buffer's descriptor for a moment on
    // either side; nothing may pile up.
    EXPECT_LE(helper_end, helper_start + 1);
    EXPECT_LE(worker_end, worker_start + 1);
    EXPECT_LE(helper_max, helper_start + 2);
    EXPECT_LE(worker_max, worker_start + 2);
    EXPECT_GT(std::stoll(summary["frames"]), 60 * 20);
}

}  // namespace
