// `capture` on a display that page-flips, changes mode and goes dark: the
// virtual display stamps every picture with the blank at which it went on
// screen (bottom left), and the relay reads that stamp back from the decoded
// stream (--watermark source).
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "tests/e2e/system_fixture.h"

namespace {

constexpr const char *kFlipWorld = kE2eFlipWorld720;

// What the blank stamps of a stream say about which buffers it showed.
struct StampCheck {
    size_t frames = 0;
    size_t repeats_or_back = 0;   // steps that repeat a stamp or go back
    std::string first_bad;        // the first such step, "frame N: A -> B"
    std::set<uint64_t> residues;  // stamps modulo 3: one per buffer of the rotation
};

StampCheck check_stamps(const std::vector<E2eSourceLine> &lines)
{
    StampCheck check;
    check.frames = lines.size();
    for (size_t i = 0; i < lines.size(); ++i) {
        check.residues.insert(lines[i].blank % 3);
        if (i > 0 && lines[i].blank <= lines[i - 1].blank) {
            if (check.repeats_or_back++ == 0)
                check.first_bad = "frame " + std::to_string(lines[i].frame) + ": " +
                                  std::to_string(lines[i - 1].blank) + " -> " + std::to_string(lines[i].blank);
        }
    }
    return check;
}

class ScanoutFollow : public E2eSystem {
protected:
    // The helper starts in the test, on the test's own world.
    void SetUp() override {}

    void start_world(const std::string &world)
    {
        ASSERT_EQ(e2e_write_file("/tmp/world.txt", world), 0);
        ASSERT_EQ(e2e_start_helper(&helper_, "/tmp/world.txt"), 0) << logs(helper_);
    }

    void start_relay(const std::vector<std::string> &extra = {})
    {
        std::vector<std::string> args = {"--latency", "--per-frame", "--watermark", "source", "--udp-port", "0"};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_EQ(e2e_start_relay(&relay_, args), 0) << e2e_stderr(&relay_);
    }

    // capture in mode with extra options; waits until a packet went out.
    void start_capture(const std::string &mode, const std::vector<std::string> &extra = {})
    {
        std::vector<std::string> args = {"-m", mode};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_EQ(e2e_start_capture(&capture_, args), 0);
        const bool compatible = mode == "compatible";
        ASSERT_TRUE(e2e_wait_for_text(&capture_, compatible ? "FPS t=" : "[GL+CPU] Frame ", 15000, !compatible))
            << logs(capture_);
    }

    // Streams the flipping world for two seconds and reads the stamps back.
    StampCheck stream_flipping(const std::string &mode, const std::vector<std::string> &extra)
    {
        start_capture(mode, extra);
        e2e_sleep_ms(2000);
        stop_worker();
        finish_relay();
        return check_stamps(e2e_source_lines(e2e_stdout(&relay_)));
    }
};

// Following, every frame shows a later blank than the one before and all
// three buffers of the rotation appear, in the balanced and the compatible
// mode. Sampling the one buffer fetched at the start (--fetch-once) shows
// that buffer's stale pictures: stamps repeat and all fall on one residue.
TEST_F(ScanoutFollow, EveryFrameShowsTheBufferOnScreenAtItsBlank)
{
    start_world(kFlipWorld);
    for (const char *mode : {"balanced", "compatible"}) {
        SCOPED_TRACE(mode);
        start_relay();
        const StampCheck followed = stream_flipping(mode, {});
        std::printf("[ report ] %s following: %zu frames, %zu repeated or back, %zu residues\n", mode, followed.frames,
                    followed.repeats_or_back, followed.residues.size());
        EXPECT_GE(followed.frames, 30u);
        EXPECT_EQ(followed.repeats_or_back, 0u) << followed.first_bad;
        EXPECT_EQ(followed.residues.size(), 3u);
        EXPECT_EQ(e2e_stderr(&capture_).find("does not follow the scanout"), std::string::npos);
        e2e_stop(&capture_, SIGTERM, 3000);
    }

    start_relay();
    const StampCheck fetched = stream_flipping("balanced", {"--fetch-once"});
    std::printf("[ report ] balanced fetch-once: %zu frames, %zu repeated or back, %zu residues\n", fetched.frames,
                fetched.repeats_or_back, fetched.residues.size());
    EXPECT_GE(fetched.frames, 30u);
    EXPECT_GT(fetched.repeats_or_back, 0u);
    EXPECT_EQ(fetched.residues.size(), 1u);
}

// A mode change to 1024x768 at 30 Hz during a run: the run restarts at the
// new size and rate within two seconds of the change, in the same worker,
// and neither the helper nor the worker keeps descriptors of the buffers it
// no longer shows.
TEST_F(ScanoutFollow, ModeChangeRestartsTheRunAtTheNewSize)
{
    constexpr uint64_t kModeBlank = 300;
    start_world(std::string(kFlipWorld) + "framebuffer 210 1024x768 XR24\n" + "mode " + std::to_string(kModeBlank) +
                " crtc=50 1024x768@30 fb=210\n");
    start_relay({"--record", "/tmp/mode.mkv"});
    start_capture("balanced");
    const pid_t worker = e2e_wait_child(capture_.pid, 1000);
    ASSERT_GT(worker, 0);
    ASSERT_TRUE(e2e_wait_for_text(&capture_, "[Capture] Scanout changed to 1024x768", 8000, true)) << logs(capture_);
    ASSERT_TRUE(e2e_wait_for_text(&capture_, "[GL+CPU] Frame ", 5000, true, 2)) << logs(capture_);
    EXPECT_NE(e2e_stderr(&capture_).find("at 30 Hz: restarting"), std::string::npos);
    e2e_sleep_ms(500);
    const int worker_fds = e2e_fd_count(worker), helper_fds = e2e_fd_count(helper_.pid);
    e2e_sleep_ms(1500);
    EXPECT_EQ(e2e_fd_count(worker), worker_fds);
    EXPECT_EQ(e2e_fd_count(helper_.pid), helper_fds);
    EXPECT_EQ(e2e_children(capture_.pid), std::vector<pid_t>{worker});
    stop_worker();
    auto summary = finish_relay();
    // The encoder of the new run is told the new rate.
    EXPECT_NE(e2e_stderr(&capture_).find("Created libx264: 1024x768 @ 30fps"), std::string::npos);

    EXPECT_EQ(summary["decoded_size"], "1024x768");
    const std::vector<E2eSourceLine> lines = e2e_source_lines(e2e_stdout(&relay_));
    const auto first_after =
        std::find_if(lines.begin(), lines.end(), [&](const E2eSourceLine &l) { return l.blank >= kModeBlank; });
    ASSERT_NE(first_after, lines.end());
    std::printf("[ report ] mode change at blank %llu: first frame of the new mode shows blank %llu\n",
                static_cast<unsigned long long>(kModeBlank), static_cast<unsigned long long>(first_after->blank));
    EXPECT_LE(first_after->blank - kModeBlank, 120u);

    std::vector<E2eFrame> pictures;
    ASSERT_EQ(e2e_decode_file("/tmp/mode-1.mkv", 3, &pictures), 0);
    ASSERT_FALSE(pictures.empty());
    EXPECT_EQ(pictures[0].width, 1024);
    EXPECT_EQ(pictures[0].height, 768);
}

// Two seconds of a dark display: nothing reaches the relay while it is dark,
// the stream goes on within half a second of the display lighting again, and
// the worker is the one that ran before.
TEST_F(ScanoutFollow, DarkDisplayPausesTheStream)
{
    constexpr uint64_t kDark = 240, kLit = 360;
    start_world(std::string(kFlipWorld) + "flip " + std::to_string(kDark) + " crtc=50 fb=0\n" + "flip " +
                std::to_string(kLit) + " crtc=50 fb=201\n");
    start_relay();
    start_capture("balanced");
    const pid_t worker = e2e_wait_child(capture_.pid, 1000);
    ASSERT_GT(worker, 0);
    ASSERT_TRUE(e2e_wait_for_text(&capture_, "[Capture] Display lit again", 12000, true)) << logs(capture_);
    e2e_sleep_ms(1000);
    EXPECT_EQ(e2e_children(capture_.pid), std::vector<pid_t>{worker});
    stop_worker();
    finish_relay();

    const std::vector<E2eSourceLine> lines = e2e_source_lines(e2e_stdout(&relay_));
    ASSERT_FALSE(lines.empty());
    // Wall-clock times of the blanks, from the stamp of a frame before the
    // dark spell (the virtual display's blanks are 1/60 s apart).
    const auto before =
        std::find_if(lines.rbegin(), lines.rend(), [&](const E2eSourceLine &l) { return l.blank < kDark; });
    ASSERT_NE(before, lines.rend()) << "no frame before the display went dark";
    auto blank_ms = [&](uint64_t blank) {
        return double(before->source_ms) + (double(blank) - double(before->blank)) * 1000.0 / 60.0;
    };
    const double dark_ms = blank_ms(kDark), lit_ms = blank_ms(kLit);
    double first_after_ms = 0;
    for (const E2eSourceLine &l : lines) {
        const double arrival = double(l.source_ms) + l.latency_ms;
        SCOPED_TRACE("frame " + std::to_string(l.frame) + " of blank " + std::to_string(l.blank));
        EXPECT_FALSE(l.blank >= kDark && l.blank < kLit);
        // A frame drawn before the dark spell may still be on its way as it
        // starts; none arrives in the rest of it.
        EXPECT_FALSE(arrival > dark_ms + 150 && arrival < lit_ms);
        if (l.blank >= kLit && first_after_ms == 0)
            first_after_ms = arrival;
    }
    ASSERT_GT(first_after_ms, 0) << "no frame after the display lit again";
    std::printf("[ report ] dark for %.0f ms; first frame after it arrived %.0f ms after the display lit\n",
                lit_ms - dark_ms, first_after_ms - lit_ms);
    EXPECT_LT(first_after_ms - lit_ms, 500.0);
}

}  // namespace
