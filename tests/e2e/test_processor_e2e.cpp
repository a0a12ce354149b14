// `capture` where the GPU cannot import the scanout, as on virtual machines,
// servers' BMC graphics and software renderers: Mesa's EGL is hidden from
// the loader, so no EGL display can be made at all. The compatible mode
// (and the auto mode, which picks it) reads the framebuffer on the
// processor; a mode that needs GL fails at once, with a failure status and
// a line that says why. A worker started from a desktop's terminal opens a
// headless display whatever DISPLAY and WAYLAND_DISPLAY name.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "libs/common/unique_fd.h"
#include "tests/e2e/system_fixture.h"

namespace {

const std::vector<std::string> kNoEgl = {"__EGL_VENDOR_LIBRARY_FILENAMES=/nonexistent"};

// The flipping world with a still cursor over the blue bar: an opaque green
// 16x16 square with a translucent band on its right and bottom.
std::string flip_world_with_cursor()
{
    return std::string(kE2eFlipWorld720) + "cursor crtc=50 32x32 at=1000,200\n";
}

// Green in BT.709 limited range: Y 173, U 42, V 26.
bool green_at(const E2eFrame &f, int x, int y)
{
    const size_t c = size_t(y / 2) * size_t((f.width + 1) / 2) + size_t(x / 2);
    const int luma = f.luma[size_t(y) * size_t(f.width) + size_t(x)];
    return f.u[c] < 80 && f.v[c] < 80 && std::abs(luma - 173) < 30;
}

// A UNIX socket that listens and never accepts: a window system that does
// not answer.
UniqueFD silent_listener(const std::string &path)
{
    UniqueFD fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    unlink(path.c_str());
    if (!fd || bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(fd.get(), 4) != 0)
        return UniqueFD();
    return fd;
}

class ProcessorPath : public E2eSystem {
protected:
    void SetUp() override {}

    void start_world(const std::string &world)
    {
        ASSERT_EQ(e2e_write_file("/tmp/world.txt", world), 0);
        ASSERT_EQ(e2e_start_helper(&helper_, "/tmp/world.txt"), 0) << logs(helper_);
    }

    void start_capture(const std::vector<std::string> &args, const std::vector<std::string> &env)
    {
        ASSERT_EQ(e2e_spawn(&capture_, "capture", e2e_capture_program(), args, env), 0);
    }

    int exit_code() const { return WIFEXITED(capture_.status) ? WEXITSTATUS(capture_.status) : -1; }
};

}  // namespace

// Without any EGL, the compatible and the auto mode stream a page-flipping
// display: every frame shows a later blank than the one before, all three
// buffers of the rotation appear, and the cursor is drawn where its plane
// puts it.
TEST_F(ProcessorPath, CompatibleAndAutoStreamAFlippingDisplayWithoutEgl)
{
    start_world(flip_world_with_cursor());
    for (const char *mode : {"compatible", "auto"}) {
        SCOPED_TRACE(mode);
        const std::string recording = std::string("/tmp/processor-") + mode + ".mkv";
        ASSERT_EQ(e2e_start_relay(&relay_, {"--latency", "--per-frame", "--watermark", "source", "--udp-port", "0",
                                            "--record", recording}),
                  0)
            << e2e_stderr(&relay_);
        start_capture({"-m", mode}, kNoEgl);
        ASSERT_TRUE(e2e_wait_for_text(&capture_, "FPS t=", 15000)) << logs(capture_);
        e2e_sleep_ms(2000);
        stop_worker();
        finish_relay();
        EXPECT_EQ(exit_code(), 0);
        if (std::string(mode) == "auto")
            EXPECT_NE(e2e_stdout(&capture_).find("the scanout cannot be imported by the GPU: compatible on the "
                                                 "processor)"),
                      std::string::npos);

        const std::vector<E2eSourceLine> lines = e2e_source_lines(e2e_stdout(&relay_));
        std::set<uint64_t> residues;
        size_t back = 0;
        for (size_t i = 0; i < lines.size(); ++i) {
            residues.insert(lines[i].blank % 3);
            back += i > 0 && lines[i].blank <= lines[i - 1].blank;
        }
        std::printf("[ report ] %s without EGL: %zu frames, %zu repeated or back, %zu residues\n", mode,
                    lines.size(), back, residues.size());
        EXPECT_GE(lines.size(), 20u);
        EXPECT_EQ(back, 0u);
        EXPECT_EQ(residues.size(), 3u);

        std::vector<E2eFrame> frames;
        ASSERT_EQ(e2e_decode_file(recording, 200, &frames), 0);
        ASSERT_GE(frames.size(), 10u);
        for (size_t i = 1; i < frames.size(); ++i)
            for (int y : {202, 207, 213})
                for (int x : {1002, 1007, 1013})
                    ASSERT_TRUE(green_at(frames[i], x, y)) << "frame " << i << " at " << x << "," << y;
        e2e_stop(&relay_, SIGTERM, 3000);
    }
}

// A mode that needs GL, without any EGL: the worker answers the failure at
// once, the supervisor ends with status 1, and a line says what is missing.
TEST_F(ProcessorPath, GlModeWithoutEglFailsAtOnceAndSaysWhy)
{
    start_world(kE2eWorld720);
    const long long start = e2e_now_ms();
    start_capture({"-m", "balanced"}, kNoEgl);
    ASSERT_TRUE(e2e_wait_exit(&capture_, 5000)) << logs(capture_);
    EXPECT_LT(e2e_now_ms() - start, 5000);
    EXPECT_EQ(exit_code(), 1);
    const std::string err = e2e_stderr(&capture_);
    EXPECT_NE(err.find("no EGL driver is installed or found"), std::string::npos) << err;
    EXPECT_NE(err.find("EGL 初始化失败。"), std::string::npos);
    EXPECT_NE(e2e_stdout(&capture_).find("Capture finished."), std::string::npos);
}

// A tiled framebuffer that no GPU imports here cannot be read on the
// processor either: one line names the modifier and the run fails, without
// a crash.
TEST_F(ProcessorPath, TiledFramebufferWithoutEglIsRefusedInOneLine)
{
    start_world("device /dev/dri/card1\n"
                "framebuffer 200 1280x720 XR24 modifier=0x0100000000000001\n"
                "crtc 50 1280x720@60 fb=200\n"
                "encoder 80 crtc=50\n"
                "connector 100 DP-3 connected encoders=80\n");
    for (const char *mode : {"compatible", "auto"}) {
        SCOPED_TRACE(mode);
        start_capture({"-m", mode}, kNoEgl);
        ASSERT_TRUE(e2e_wait_exit(&capture_, 10000)) << logs(capture_);
        EXPECT_TRUE(WIFEXITED(capture_.status));
        EXPECT_EQ(exit_code(), 1);
        const std::string err = e2e_stderr(&capture_);
        EXPECT_NE(err.find("modifier 0x0100000000000001 is tiled or compressed"), std::string::npos) << err;
    }
}

// Six buffers in rotation, more than either end keeps: buffers are
// forgotten, sent again and mapped again at every blank. Over 1,000 flips
// the worker's descriptors stay where they were once the stream ran.
TEST_F(ProcessorPath, DescriptorsStayFlatOverAThousandFlipsOfMappedBuffers)
{
    std::string world = "device /dev/dri/card1\n";
    for (int id = 201; id <= 206; ++id)
        world += "framebuffer " + std::to_string(id) + " 640x360 XR24\n";
    world += "crtc 50 640x360@250 fb=201\n"
             "encoder 80 crtc=50\n"
             "connector 100 DP-3 connected encoders=80\n"
             "pageflip crtc=50 fbs=201,202,203,204,205,206\n";
    start_world(world);
    ASSERT_EQ(e2e_start_relay(&relay_, {"--udp-port", "0"}), 0) << e2e_stderr(&relay_);
    start_capture({"-m", "compatible"}, kNoEgl);
    ASSERT_TRUE(e2e_wait_for_text(&capture_, "FPS t=", 15000)) << logs(capture_);
    const pid_t worker = e2e_wait_child(capture_.pid, 1000);
    ASSERT_GT(worker, 0);
    // A buffer's descriptors are in flight for a moment at nearly every
    // blank (received, then copied for its import): the settled count is the
    // fewest seen over a few samples.
    auto settled = [&] {
        int fewest = e2e_fd_count(worker);
        for (int i = 0; i < 9; ++i) {
            e2e_sleep_ms(10);
            fewest = std::min(fewest, e2e_fd_count(worker));
        }
        return fewest;
    };
    e2e_sleep_ms(500);
    const int before = settled();
    // 4.4 s at 250 Hz: 1,100 flips.
    e2e_sleep_ms(4400);
    const int after = settled();
    std::printf("[ report ] worker descriptors: %d before, %d after 1,100 flips\n", before, after);
    EXPECT_GT(before, 0);
    EXPECT_EQ(after, before);
    EXPECT_EQ(stop_worker() >= 0, true);
    const auto summary = finish_relay();
    EXPECT_GT(std::atoll(summary.count("packets") ? summary.at("packets").c_str() : "0"), 50);
}

// DISPLAY and WAYLAND_DISPLAY name sockets that never answer, as in a
// terminal of a desktop whose compositor hangs: the GL modes start as
// without them, on a headless display.
TEST_F(ProcessorPath, WindowSystemVariablesDoNotReachTheWorker)
{
    start_world(kE2eWorld720);
    ASSERT_EQ(mkdir("/tmp/.X11-unix", 01777) == 0 || errno == EEXIST, true);
    UniqueFD x11 = silent_listener("/tmp/.X11-unix/X42");
    UniqueFD wayland = silent_listener("/tmp/wayland-silent");
    ASSERT_TRUE(x11 && wayland);
    const std::vector<std::string> env = {"DISPLAY=:42", "WAYLAND_DISPLAY=/tmp/wayland-silent",
                                          "XDG_RUNTIME_DIR=/tmp"};
    struct Case {
        std::vector<std::string> args;
        const char *frame_line;
        bool on_stderr;
    };
    for (const Case &c : {Case{{"-m", "balanced"}, "[GL+CPU] Frame ", true},
                          Case{{"-m", "compatible", "--gl-readback"}, "FPS t=", false}}) {
        SCOPED_TRACE(c.args[1]);
        ASSERT_EQ(e2e_start_relay(&relay_, {"--udp-port", "0"}), 0) << e2e_stderr(&relay_);
        start_capture(c.args, env);
        ASSERT_TRUE(e2e_wait_for_text(&capture_, c.frame_line, 20000, c.on_stderr)) << logs(capture_);
        stop_worker();
        EXPECT_EQ(exit_code(), 0);
        const auto summary = finish_relay();
        EXPECT_NE(summary.count("packets"), 0u);
    }
}
