// The compatible mode as the user runs it: capture-helper on a 1280x720@60
// virtual display, vistrel-relay, and `capture -m compatible`, each a
// process of its own in the test's private /tmp. Speeds are reported, not
// asserted.
#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <thread>

#include "apps/capture/pipelines/watermark_font.h"
#include "tests/e2e/system_fixture.h"

namespace {

uint64_t wall_ms()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return uint64_t(ts.tv_sec) * 1000ull + uint64_t(ts.tv_nsec) / 1000000ull;
}

// The "cur" and "act" values of capture's statistics lines, in order.
std::vector<std::pair<double, double>> statistics(const std::string &out)
{
    std::vector<std::pair<double, double>> rows;
    const std::regex line(R"(FPS t=\d+ cur=([0-9.]+) act=([0-9.]+) up=)");
    for (auto it = std::sregex_iterator(out.begin(), out.end(), line); it != std::sregex_iterator(); ++it)
        rows.emplace_back(std::stod((*it)[1].str()), std::stod((*it)[2].str()));
    return rows;
}

class CompatibleSystem : public E2eSystem {
protected:
    // Starts capture with args and waits for the first statistics line of
    // the compatible mode (its first frame has been encoded).
    void start_compatible(const std::vector<std::string> &args = {"-m", "compatible"})
    {
        ASSERT_EQ(e2e_start_capture(&capture_, args), 0);
        ASSERT_TRUE(e2e_wait_for_text(&capture_, "FPS t=", 15000)) << logs(capture_);
    }
};

// H.264 at the frame's size whatever -w/-h say; every decoded picture
// carries capture's own wall-clock milliseconds in bitmap digits, rising;
// the rate starts at 30; SIGTERM ends the run with the teardown lines.
TEST_F(CompatibleSystem, StreamCarriesTheWallClockInBitmapDigits)
{
    ASSERT_EQ(e2e_start_relay(&relay_, {"--query-config", "--udp-port", "0", "--record", "/tmp/compat.mkv"}), 0);
    const uint64_t started_ms = wall_ms();
    start_compatible({"-m", "compatible", "-w", "640", "-h", "360"});
    e2e_sleep_ms(2500);
    const long long stop_ms = stop_worker();
    const uint64_t stopped_ms = wall_ms();
    auto summary = finish_relay();
    const std::string out = e2e_stdout(&capture_), err = e2e_stderr(&capture_);
    const auto rows = statistics(out);

    std::printf("[ report ] compatible 1280x720 H.264: relay fps=%s frames=%s; rate after %zu lines cur=%.1f "
                "act=%.1f; stopped %lld ms after SIGTERM\n",
                summary["fps"].c_str(), summary["frames"].c_str(), rows.size(), rows.empty() ? 0.0 : rows.back().first,
                rows.empty() ? 0.0 : rows.back().second, stop_ms);
    EXPECT_LT(stop_ms, 3000);
    EXPECT_NE(out.find("[Capture] Init Encoder: 1280x720 @ 60fps, 16000kbps\n"), std::string::npos);
    EXPECT_NE(out.find("[Capture] Cleaning up resources...\n"), std::string::npos);
    EXPECT_NE(out.find("[CODEC] Cleaning up codec context"), std::string::npos);
    EXPECT_NE(err.find("[Capture] \xe5\xad\x90\xe8\xbf\x9b\xe7\xa8\x8b\xe9\x80\x80\xe5\x87\xba"), std::string::npos)
        << err;  // the supervisor logged the worker's exit
    ASSERT_FALSE(rows.empty());
    EXPECT_TRUE(rows[0].first == 28.5 || rows[0].first == 30.0 || rows[0].first == 30.2) << rows[0].first;
    for (const auto &row : rows) {
        EXPECT_GE(row.first, 10.0);
        EXPECT_LE(row.first, 58.0);
    }

    EXPECT_EQ(summary["decoded_codec"], "h264");
    EXPECT_EQ(summary["decoded_size"], "1280x720");
    EXPECT_EQ(summary["timestamp_backward"], "0");
    EXPECT_EQ(summary["config.mode"], "compatible");
    EXPECT_EQ(summary["config.vblank_sync"], "fix");
    EXPECT_EQ(summary["config.fps"], "60");

    std::vector<E2eFrame> pictures;
    ASSERT_EQ(e2e_decode_file("/tmp/compat.mkv", 200, &pictures), 0);
    ASSERT_GE(pictures.size(), 5u);
    uint64_t previous = 0;
    for (size_t i = 0; i < pictures.size(); ++i) {
        SCOPED_TRACE("picture " + std::to_string(i));
        uint64_t stamp = 0;
        ASSERT_EQ(watermark_read_digits(pictures[i].luma.data(), pictures[i].width, pictures[i].height,
                                        pictures[i].width, 13, &stamp),
                  0);
        EXPECT_GE(stamp, started_ms);
        EXPECT_LE(stamp, stopped_ms);
        EXPECT_GT(stamp, previous);
        previous = stamp;
    }
}

// While balanced runs, "MODE:compatible:fix:30" switches to the compatible
// mode (H.264, CONFIG: mode=compatible, vblank_sync=fix, fps=60) and
// "MODE:balanced:sync" switches back.
TEST_F(CompatibleSystem, ModeRequestsSwitchBetweenBalancedAndCompatible)
{
    ASSERT_EQ(e2e_start_relay(&relay_, {"--query-config", "--udp-port", "0", "--record", "/tmp/mode.mkv", "--send",
                                        "1000:MODE:compatible:fix:30", "--send", "3500:MODE:balanced:sync"}),
              0);
    ASSERT_EQ(e2e_start_capture(&capture_, {"-m", "balanced"}), 0);
    ASSERT_TRUE(e2e_wait_for_text(&relay_, "config.mode=compatible", 15000)) << e2e_stdout(&relay_);
    ASSERT_TRUE(e2e_wait_for_text(&relay_, "config.mode=balanced", 15000, false, 2)) << e2e_stdout(&relay_);
    e2e_sleep_ms(1000);
    stop_worker();
    auto summary = finish_relay();
    const std::string relay_out = e2e_stdout(&relay_);

    // The CONFIG answer of the compatible run.
    const size_t at = relay_out.find("config.mode=compatible");
    ASSERT_NE(at, std::string::npos);
    const size_t next = relay_out.find("config.mode=", at + 1);
    const std::string compatible_reply = relay_out.substr(at, next == std::string::npos ? next : next - at);
    EXPECT_NE(compatible_reply.find("config.vblank_sync=fix"), std::string::npos) << compatible_reply;
    EXPECT_NE(compatible_reply.find("config.fps=60"), std::string::npos) << compatible_reply;
    EXPECT_NE(compatible_reply.find("config.codec=H.264"), std::string::npos) << compatible_reply;
    EXPECT_GE(std::stoi(summary["streams"]), 3);
    EXPECT_EQ(summary["decoded_codec"], "h264");

    const std::string out = e2e_stdout(&capture_), err = e2e_stderr(&capture_);
    EXPECT_NE(out.find("[Capture] Init Encoder: 1280x720 @ "), std::string::npos) << out;
    EXPECT_NE(err.find("[Pipeline] Restart requested (compatible mode), exiting loop...\n"), std::string::npos);

    // The compatible run's stream decodes and carries the bitmap digits.
    std::vector<E2eFrame> pictures;
    ASSERT_EQ(e2e_decode_file("/tmp/mode-1.mkv", 5, &pictures), 0);
    ASSERT_FALSE(pictures.empty());
    uint64_t stamp = 0;
    EXPECT_EQ(watermark_read_digits(pictures.back().luma.data(), pictures.back().width, pictures.back().height,
                                    pictures.back().width, 13, &stamp),
              0);
}

// Many compatible runs leave the helper's descriptor count unchanged; a
// killed helper ends capture instead of leaving it waiting.
TEST_F(CompatibleSystem, RepeatedRunsLeakNothingAndAKilledHelperEndsCapture)
{
    ASSERT_EQ(e2e_start_relay(&relay_, {"--udp-port", "0"}), 0);
    int first_count = -1;
    for (int run = 0; run < 4; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        start_compatible();
        EXPECT_LT(stop_worker(), 3000);
        e2e_sleep_ms(300);  // the helper notices the client's end on its own schedule
        const int count = e2e_fd_count(helper_.pid);
        if (run == 0)
            first_count = count;
        else
            EXPECT_EQ(count, first_count);
    }

    start_compatible();
    kill(helper_.pid, SIGKILL);
    e2e_wait_exit(&helper_, 2000);
    EXPECT_TRUE(e2e_wait_exit(&capture_, 5000)) << "capture kept running without its helper";
}

// The relay going away and coming back does not end a compatible run, and
// the stream goes on to the relay that came back.
TEST_F(CompatibleSystem, RelayRestartDoesNotEndCapture)
{
    ASSERT_EQ(e2e_start_relay(&relay_, {"--udp-port", "0"}), 0);
    start_compatible();
    e2e_sleep_ms(500);
    e2e_stop(&relay_, SIGTERM, 5000);
    e2e_sleep_ms(1000);
    EXPECT_FALSE(e2e_reap(&capture_)) << "capture ended while the relay was away";
    ASSERT_EQ(e2e_start_relay(&relay_, {"--udp-port", "0", "--latency"}), 0);
    e2e_sleep_ms(1500);
    EXPECT_FALSE(e2e_reap(&capture_)) << "capture ended after the relay came back";
    // The stream finds the relay that came back, and a key frame lets it
    // decode.
    auto summary = finish_relay();
    EXPECT_GT(std::stoll(summary["datagrams"]), 0) << "no datagram reached the relay that came back";
    EXPECT_GT(std::stoll(summary["decoded_frames"]), 0);
    stop_worker();
}

}  // namespace

namespace {

// `-m auto` names its choice and the reason in one line before the first
// run, and the stream's CONFIG reports the mode it chose (on a machine with
// no VA-API and a software renderer: compatible, with the same-frame
// read-back).
TEST_F(CompatibleSystem, AutoModeSaysWhatItChoseAndRunsIt)
{
    ASSERT_EQ(e2e_start_relay(&relay_, {"--query-config", "--udp-port", "0"}), 0);
    ASSERT_EQ(e2e_start_capture(&capture_, {"-m", "auto"}), 0);
    ASSERT_TRUE(e2e_wait_for_text(&capture_, "[Capture] Start, mode=", 15000)) << logs(capture_);
    const std::string out = e2e_stdout(&capture_);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(\[Capture\] Auto mode: (\w+) \(([^\n]+)\)\n)"))) << out;
    const std::string chosen = m[1].str();
    std::printf("[ report ] auto: %s\n", m[0].str().c_str());
    EXPECT_NE(out.find("Mode: auto,"), std::string::npos) << out;
    EXPECT_NE(out.find("[Capture] Start, mode=" + chosen + "\n"), std::string::npos) << out;
    e2e_sleep_ms(2000);
    stop_worker();
    auto summary = finish_relay();
    EXPECT_EQ(summary["config.mode"], chosen);
    if (m[2].str().find("no VA-API device opens") != std::string::npos &&
        m[2].str().find("is a software one") != std::string::npos) {
        EXPECT_EQ(chosen, "compatible");
    }
    // The virtual display's memory frames are never imported by a GPU: the
    // compatible mode reads them on the processor.
    const bool processor = m[2].str().find("compatible on the processor") != std::string::npos;
    EXPECT_TRUE(processor) << m[2].str();
    // A mode that reads back says in one line whether it maps each frame's
    // own read-back; on a software renderer it always does.
    const bool reads_back = chosen != "fast" && !processor;
    EXPECT_EQ(out.find("[Capture] Same-frame read-back: ") != std::string::npos, reads_back) << out;
    if (m[2].str().find("is a software one") != std::string::npos && reads_back) {
        EXPECT_TRUE(std::regex_search(out, std::regex(R"(\[Capture\] Same-frame read-back: on \(GL renderer [^
]+ is a software one\)
)"))) << out;
    }
}

}  // namespace
